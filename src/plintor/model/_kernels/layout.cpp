#include "layout.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "module.hpp"
#include "numpy_api.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

constexpr Py_ssize_t max_count = std::numeric_limits<std::int32_t>::max();

// The checks below run without early exit, as reductions the compiler
// vectorises: the arrays nearly always pass them.

bool offsets_are_valid(std::span<const std::uint32_t> ptr, std::size_t num_edges)
{
    std::uint32_t decreasing = 0;
    for (std::size_t s = 1; s < ptr.size(); ++s)
        decreasing |= ptr[s] < ptr[s - 1];
    return decreasing == 0 && ptr.back() <= num_edges;
}

bool all_below(std::span<const std::uint32_t> values, std::uint64_t limit)
{
    std::uint32_t highest = 0;
    for (const std::uint32_t value : values)
        highest = std::max(highest, value);
    return values.empty() || highest < limit;
}

// The same for a limit that is a count, 2**31 - 1 at most.  A value is
// below such a limit exactly when its top bit is clear and subtracting the
// limit wraps around, setting the top bit: both tests join in one AND over
// all values, three vector operations for four values where SSE2 has no
// unsigned maximum.
bool all_below_count(std::span<const std::uint32_t> values, std::int32_t count)
{
    const auto limit = static_cast<std::uint32_t>(count);
    std::uint32_t below = ~std::uint32_t{0};
    for (const std::uint32_t value : values)
        below &= ~value & (value - limit);
    return (below >> 31) != 0;
}

}  // namespace

std::int32_t check_graph(const char *function, const char *weight_name, const Graph &graph)
{
    const auto ptr = graph.ptr.span();
    if (ptr.size() < 2)
        return invalid(function, "'ptr' must hold at least two offsets (one state)");
    if (static_cast<Py_ssize_t>(ptr.size()) - 1 > max_count || graph.pred.extent() > max_count) {
        return invalid(function, "the graph has more than 2**31 - 1 states or edges");
    }
    const auto num_states = static_cast<std::int32_t>(ptr.size() - 1);
    const std::size_t num_edges = std::min(graph.pred.span().size(), graph.weight.span().size());
    if (graph.pred.extent() != graph.weight.extent()) {
        PyErr_Format(PyExc_ValueError, "%s(): 'pred' and '%s' must have the same length", function,
                     weight_name);
        return -1;
    }
    if (!offsets_are_valid(ptr, num_edges)) {
        return invalid(function,
                       "the offsets in 'ptr' must not decrease and must stay inside 'pred'");
    }
    if (!all_below_count(graph.pred.span(), num_states)) {
        return invalid(function, "every predecessor in 'pred' must be a state below len(ptr) - 1");
    }
    if (graph.columns.extent() != num_states) {
        return invalid(function, "'columns' must have one entry per state (len(ptr) - 1)");
    }
    return num_states;
}

int check_columns(const char *function, const Array<std::uint32_t> &columns, Py_ssize_t num_cols)
{
    if (all_below(columns.span(), static_cast<std::uint64_t>(num_cols))) return 0;
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
    if (array.extent() > max_count + 1) {
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
    PyRef split_layout = PyRef::steal(module_lookup("_split_layout"));
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

namespace {

constexpr const char layout_function[] = "_split_layout";

int bad_layout(const char *what)
{
    PyErr_Format(PyExc_ValueError, "%s() returned an inconsistent layout: %s", layout_function,
                 what);
    return -1;
}

int check_lengths(const kernels::LayoutView &layout, bool with_orig)
{
    const Py_ssize_t num_bnd = std::ssize(layout.bnd_state);
    const Py_ssize_t num_runs = std::ssize(layout.run_lo);
    if (num_bnd > max_count || std::ssize(layout.pred_list) > max_count || num_runs > max_count ||
        std::ssize(layout.bnd_src) > max_count) {
        return bad_layout("more than 2**31 - 1 entries");
    }
    if (std::ssize(layout.bnd_ptr) != num_bnd + 1)
        return bad_layout("len(bnd_ptr) != len(bnd_state) + 1");
    if (std::ssize(layout.bnd_dcol) != num_bnd)
        return bad_layout("len(bnd_dcol) != len(bnd_state)");
    if (std::ssize(layout.run_hi) != num_runs || std::ssize(layout.run_col) != num_runs) {
        return bad_layout("run_lo, run_hi and run_col differ in length");
    }
    const Py_ssize_t num_edges = std::ssize(layout.bnd_src);
    if (std::ssize(layout.bnd_weight) != num_edges ||
        (with_orig && std::ssize(layout.bnd_orig) != num_edges)) {
        return bad_layout("the boundary edge arrays differ in length");
    }
    return 0;
}

int check_edges(const kernels::LayoutView &layout, std::int32_t num_states, bool with_orig)
{
    const auto bnd_ptr = layout.bnd_ptr;
    if (bnd_ptr.front() != 0 || bnd_ptr.back() != std::ssize(layout.bnd_src)) {
        return bad_layout("bnd_ptr must run from 0 to the number of boundary edges");
    }
    if (!std::is_sorted(bnd_ptr.begin(), bnd_ptr.end())) return bad_layout("bnd_ptr decreases");
    const auto pred_list = layout.pred_list;
    if (!all_below_count(pred_list, num_states) || !all_below_count(layout.bnd_state, num_states)) {
        return bad_layout("a state index is out of range");
    }
    const auto bnd_src = layout.bnd_src;
    if (!all_below_count(bnd_src, static_cast<std::int32_t>(pred_list.size())))
        return bad_layout("bnd_src is out of range");
    if (!with_orig) return 0;
    const auto bnd_orig = layout.bnd_orig;
    for (std::size_t p = 0; p < bnd_src.size(); ++p) {
        if (bnd_orig[p] != pred_list[bnd_src[p]])
            return bad_layout("bnd_orig != pred_list[bnd_src]");
    }
    return 0;
}

// State 0 has no left neighbour to shift from, so it must be a boundary
// state.  Every run must lie in range, an empty one too: the frame loops
// compare the bounds as 32-bit integers, which could turn an empty run into
// a long one.
int check_runs(const kernels::LayoutView &layout, std::int32_t num_states)
{
    if (std::ranges::find(layout.bnd_state, 0u) == layout.bnd_state.end())
        return bad_layout("state 0 must be a boundary state");
    for (std::size_t r = 0; r < layout.run_lo.size(); ++r) {
        const std::int64_t lo = layout.run_lo[r];
        const std::int64_t hi = layout.run_hi[r];
        if (lo < 1 || lo > num_states || hi < 1 || hi > num_states)
            return bad_layout("a run is out of range");
    }
    return 0;
}

// Whether every state is a boundary state or in a run, for runs of any
// shape.
bool every_state_written(const kernels::LayoutView &layout, std::int32_t num_states)
{
    std::vector<std::uint8_t> written(static_cast<std::size_t>(num_states), 0);
    for (const std::uint32_t s : layout.bnd_state)
        written[s] = 1;
    for (std::size_t r = 0; r < layout.run_lo.size(); ++r) {
        if (layout.run_lo[r] >= layout.run_hi[r]) continue;
        std::fill(written.begin() + layout.run_lo[r], written.begin() + layout.run_hi[r], 1);
    }
    return std::ranges::find(written, 0) == written.end();
}

// The largest column a frame reads: those of the boundary states and of the
// non-empty runs.
std::uint32_t largest_column(const kernels::LayoutView &layout)
{
    std::uint32_t max_col = 0;
    for (const std::uint32_t col : layout.bnd_dcol)
        max_col = std::max(max_col, col);
    for (std::size_t r = 0; r < layout.run_lo.size(); ++r) {
        if (layout.run_lo[r] < layout.run_hi[r]) max_col = std::max(max_col, layout.run_col[r]);
    }
    return max_col;
}

// Every state must be written in every frame, so that no frame reads what
// an earlier one left behind.  Runs that follow each other from state 1 to
// the last state, as _split_layout makes them, are checked without a pass
// over the states; their bounds are in range by then, so reading them as
// 32-bit integers changes nothing.
int check_coverage(const kernels::LayoutView &layout, std::int32_t num_states,
                   std::uint32_t *max_column)
{
    if (check_runs(layout, num_states) < 0) return -1;
    if (!kernels::runs_tile_states(layout.run_lo, layout.run_hi, num_states) &&
        !every_state_written(layout, num_states))
        return bad_layout("a state is in no run and is not a boundary state");
    *max_column = largest_column(layout);
    return 0;
}

}  // namespace

int check_layout(const Layout &layout, std::int32_t num_states, bool with_orig,
                 std::uint32_t *max_column)
{
    const kernels::LayoutView view = layout.view();
    if (check_lengths(view, with_orig) < 0) return -1;
    if (check_edges(view, num_states, with_orig) < 0) return -1;
    return check_coverage(view, num_states, max_column);
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
