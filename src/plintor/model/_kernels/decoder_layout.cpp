#include "decoder_layout.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "../kernels/layout_checks.hpp"
#include "module.hpp"
#include "numpy_api.hpp"
#include "pyref.hpp"

namespace plintor {

std::int32_t check_graph(const char *function, const char *weight_name, const Graph &graph)
{
    const auto ptr = graph.ptr.span();
    if (ptr.size() < 2)
        return invalid(function, "'ptr' must hold at least two offsets (one state)");
    if (static_cast<Py_ssize_t>(ptr.size()) - 1 > kernels::max_count ||
        graph.pred.extent() > kernels::max_count) {
        return invalid(function, "the graph has more than 2**31 - 1 states or edges");
    }
    const auto num_states = static_cast<std::int32_t>(ptr.size() - 1);
    const std::size_t num_edges = std::min(graph.pred.span().size(), graph.weight.span().size());
    if (graph.pred.extent() != graph.weight.extent()) {
        PyErr_Format(PyExc_ValueError, "%s(): 'pred' and '%s' must have the same length", function,
                     weight_name);
        return -1;
    }
    if (!kernels::offsets_are_valid(ptr, num_edges)) {
        return invalid(function,
                       "the offsets in 'ptr' must not decrease and must stay inside 'pred'");
    }
    if (!kernels::all_below_count(graph.pred.span(), num_states)) {
        return invalid(function, "every predecessor in 'pred' must be a state below len(ptr) - 1");
    }
    if (graph.columns.extent() != num_states) {
        return invalid(function, "'columns' must have one entry per state (len(ptr) - 1)");
    }
    return num_states;
}

int check_columns(const char *function, const Array<std::uint32_t> &columns, Py_ssize_t num_cols)
{
    if (kernels::all_below(columns.span(), static_cast<std::uint64_t>(num_cols))) return 0;
    PyErr_Format(PyExc_ValueError,
                 "%s(): every entry of 'columns' must be below the number of density columns (%zd)",
                 function, num_cols);
    return -1;
}

namespace {

PyObject *graph_view(PyObject *owner)
{
    return PyMemoryView_FromObject(owner);
}

// Looks `key` up in the layout: by dict lookup for an exact dict, so that a
// missing key raises KeyError with the key, otherwise by item access.
PyObject *layout_item(PyObject *layout, const char *key)
{
    PyRef name = PyRef::steal(PyUnicode_FromString(key));
    if (!name) return nullptr;
    if (!PyDict_CheckExact(layout)) return PyObject_GetItem(layout, name.get());
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(layout, name.get(), &value) == 0) {
        PyErr_SetObject(PyExc_KeyError, name.get());
    }
    return value;
}

// A private copy of an index array, bound in its place.  The frame loops
// trust the indices once check_layout has passed them, but whoever built the
// layout may still hold its arrays and change them afterwards.  No layout
// array of a graph the kernels can count has more than 2**31 entries, so a
// longer one is refused before it is read.
template <class T>
int keep_private_copy(Array<T> &array)
{
    constexpr int typenum = std::is_same_v<T, std::uint32_t> ? NPY_UINT32 : NPY_INT64;
    static_assert(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::int64_t>);
    if (array.extent() > kernels::max_count + 1) {
        PyErr_SetString(PyExc_ValueError,
                        "_split_layout() returned an inconsistent layout: more than 2**31 - 1 "
                        "entries");
        return -1;
    }
    npy_intp size = array.extent();
    PyRef copy = PyRef::steal(PyArray_SimpleNew(1, &size, typenum));
    if (!copy) return -1;
    std::ranges::copy(
        array.span(),
        static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(copy.get()))));
    return array.acquire(copy.get());
}

template <class T>
int bind_item(PyObject *layout, const char *key, Array<T> &array)
{
    PyRef value = PyRef::steal(layout_item(layout, key));
    if (!value) return -1;
    if (array.acquire(value.get()) < 0) return -1;
    if constexpr (std::is_integral_v<T>) return keep_private_copy(array);
    return 0;
}

int bind_layout(PyObject *result, bool with_orig, Layout &layout)
{
    if (bind_item(result, "bnd_state", layout.bnd_state) < 0) return -1;
    if (bind_item(result, "pred_list", layout.pred_list) < 0) return -1;
    if (bind_item(result, "bnd_src", layout.bnd_src) < 0) return -1;
    if (with_orig && bind_item(result, "bnd_orig", layout.bnd_orig) < 0) return -1;
    if (bind_item(result, "bnd_ptr", layout.bnd_ptr) < 0) return -1;
    if (bind_item(result, "bnd_weight", layout.bnd_weight) < 0) return -1;
    if (bind_item(result, "bnd_dcol", layout.bnd_dcol) < 0) return -1;
    if (bind_item(result, "run_lo", layout.run_lo) < 0) return -1;
    if (bind_item(result, "run_hi", layout.run_hi) < 0) return -1;
    return bind_item(result, "run_col", layout.run_col);
}

}  // namespace

int load_layout(const Graph &graph, double identity, bool with_orig, Layout &layout)
{
    PyRef split_layout = PyRef::steal(module_lookup(split_layout_name));
    if (!split_layout) return -1;
    if (is_module_split_layout(split_layout.get()))
        return split_in_place(graph, identity, with_orig, layout.computed.emplace());
    PyRef pred = PyRef::steal(graph_view(graph.pred.owner()));
    if (!pred) return -1;
    PyRef ptr = PyRef::steal(graph_view(graph.ptr.owner()));
    if (!ptr) return -1;
    PyRef weight = PyRef::steal(graph_view(graph.weight.owner()));
    if (!weight) return -1;
    PyRef columns = PyRef::steal(graph_view(graph.columns.owner()));
    if (!columns) return -1;
    PyRef identity_obj = PyRef::steal(PyFloat_FromDouble(identity));
    if (!identity_obj) return -1;
    PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(split_layout.get(), pred.get(),
                                                             ptr.get(), weight.get(), columns.get(),
                                                             identity_obj.get(), nullptr));
    if (!result) return -1;
    return bind_layout(result.get(), with_orig, layout);
}

int check_layout(const Layout &layout, std::int32_t num_states, bool with_orig,
                 std::uint32_t *max_column)
{
    const char *fault = kernels::layout_fault(layout.view(), num_states, with_orig, max_column);
    if (fault == nullptr) return 0;
    PyErr_Format(PyExc_ValueError, "_split_layout() returned an inconsistent layout: %s", fault);
    return -1;
}

kernels::LayoutView Layout::view() const
{
    if (computed) return computed->view();
    return {
        .bnd_state = bnd_state.span(),
        .pred_list = pred_list.span(),
        .bnd_src = bnd_src.span(),
        .bnd_orig = bnd_orig.span(),
        .bnd_ptr = bnd_ptr.span(),
        .bnd_weight = bnd_weight.span(),
        .bnd_dcol = bnd_dcol.span(),
        .run_lo = run_lo.span(),
        .run_hi = run_hi.span(),
        .run_col = run_col.span(),
    };
}

}  // namespace plintor