// _split_layout: the interior/boundary split both decoders are built on.
//
// The arguments go through NumPy's own conversion (asarray, then astype to
// int64 or float64), so every array-like NumPy accepts is read with NumPy's
// casting rules; the split itself runs in compiled loops that follow NumPy's
// indexing rules, negative indices and IndexError included.
#include "numpy_api.hpp"

#include <algorithm>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "../kernels/split_layout.hpp"
#include "decoder_layout.hpp"
#include "function.hpp"
#include "module.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

constexpr const char split_layout_doc[] =
    "Interior/boundary split + constant-column runs shared by both kernels.\n"
    "\n"
    "    A state is *deterministic* (a plain phase advance) when its single\n"
    "    predecessor is ``s-1`` with weight ``identity`` \u2014 log-prob 0 for Viterbi,\n"
    "    probability 1 for the forward decode; the rest are *boundaries* that reduce\n"
    "    over their predecessors. ``weight`` is the per-edge log-prob or probability;\n"
    "    the gathered boundary weights come back as float32. Returns the layout arrays\n"
    "    (``bnd_orig`` is the boundary predecessors for Viterbi backtracking; the\n"
    "    forward decode ignores it).";

// A one-dimensional argument as the split reads it: the caller's own array
// when it already holds one of the element types the split reads directly,
// otherwise NumPy's conversion of it (asarray, then astype).  Reading a
// uint32 or float32 array in place gives the same values as the cast would.
struct Vector {
    PyRef array;
    int typenum;

    template <class T>
    std::span<const T> span() const
    {
        auto *arr = reinterpret_cast<PyArrayObject *>(array.get());
        return {static_cast<const T *>(PyArray_DATA(arr)),
                static_cast<std::size_t>(PyArray_DIM(arr, 0))};
    }
};

bool is_readable_in_place(PyObject *array, int narrow_typenum, int wide_typenum)
{
    auto *arr = reinterpret_cast<PyArrayObject *>(array);
    const int typenum = PyArray_TYPE(arr);
    return PyArray_ISCARRAY_RO(arr) && PyArray_ISNOTSWAPPED(arr) &&
           (typenum == narrow_typenum || typenum == wide_typenum);
}

int read_vector(PyObject *obj, bool integer, const char *argument, Vector &vector)
{
    const int wide = integer ? NPY_INT64 : NPY_FLOAT64;
    const int narrow = integer ? NPY_UINT32 : NPY_FLOAT32;
    PyRef array = PyRef::steal(PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
    if (!array) return -1;
    auto *arr = reinterpret_cast<PyArrayObject *>(array.get());
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_ValueError,
                     "_split_layout() argument '%s' must be one-dimensional, not %d-dimensional",
                     argument, PyArray_NDIM(arr));
        return -1;
    }
    // asarray returns an array as it is and wraps the decoders' memoryviews
    // without a copy, so arrays of these types are read in place.
    if (is_readable_in_place(array.get(), narrow, wide)) {
        vector.typenum = PyArray_TYPE(arr);
        vector.array = std::move(array);
        return 0;
    }
    vector.array = PyRef::steal(PyArray_CastToType(arr, PyArray_DescrFromType(wide), 0));
    vector.typenum = wide;
    return vector.array ? 0 : -1;
}

// Calls `visit` with the span of an integer (uint32 or int64) vector.
template <class Visit>
auto visit_integers(const Vector &vector, Visit &&visit)
{
    if (vector.typenum == NPY_UINT32) return visit(vector.span<std::uint32_t>());
    return visit(vector.span<std::int64_t>());
}

// Calls `visit` with the span of a real (float32 or float64) vector.
template <class Visit>
auto visit_reals(const Vector &vector, Visit &&visit)
{
    if (vector.typenum == NPY_FLOAT32) return visit(vector.span<float>());
    return visit(vector.span<double>());
}

PyObject *raise_index_error(const kernels::IndexFault &fault)
{
    PyErr_Format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %lld",
                 static_cast<long long>(fault.index), static_cast<long long>(fault.size));
    return nullptr;
}

// The result arrays, by key, in the order the result lists them.
enum Key {
    bnd_state,
    pred_list,
    bnd_src,
    bnd_orig,
    bnd_ptr,
    bnd_weight,
    bnd_dcol,
    run_lo,
    run_hi,
    run_col,
    num_keys
};

constexpr const char *key_names[num_keys] = {"bnd_state", "pred_list",  "bnd_src",  "bnd_orig",
                                             "bnd_ptr",   "bnd_weight", "bnd_dcol", "run_lo",
                                             "run_hi",    "run_col"};

template <class T>
constexpr int typenum_of()
{
    if constexpr (std::is_same_v<T, std::uint32_t>) return NPY_UINT32;
    if constexpr (std::is_same_v<T, std::int64_t>) return NPY_INT64;
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, std::uint32_t> ||
                  std::is_same_v<T, std::int64_t>);
    return NPY_FLOAT32;
}

// The result as the split fills it.  Each array is made once its length is
// known, and the split writes straight into it.
struct Result {
    PyRef arrays[num_keys];

    template <class T>
    int make(Key key, std::size_t length, std::span<T> &data)
    {
        npy_intp size = static_cast<npy_intp>(length);
        arrays[key] = PyRef::steal(PyArray_SimpleNew(1, &size, typenum_of<T>()));
        if (!arrays[key]) return -1;
        auto *array = reinterpret_cast<PyArrayObject *>(arrays[key].get());
        data = {static_cast<T *>(PyArray_DATA(array)), length};
        return 0;
    }

    template <class T>
    std::span<T> span(Key key) const
    {
        auto *array = reinterpret_cast<PyArrayObject *>(arrays[key].get());
        return {static_cast<T *>(PyArray_DATA(array)),
                static_cast<std::size_t>(PyArray_DIM(array, 0))};
    }

    PyObject *as_dict() const
    {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return nullptr;
        for (int key = 0; key < num_keys; ++key) {
            if (PyDict_SetItemString(dict.get(), key_names[key], arrays[key].get()) < 0)
                return nullptr;
        }
        return dict.release();
    }
};

// The steps that read `ptr` and `pred`: converting `columns` may run Python
// code, which could change these arrays, so they are read before, as
// NumPy's steps read them.
template <class Ptr, class Pred, class Weight>
int split_predecessors(std::span<const Ptr> ptr, std::span<const Pred> pred,
                       std::span<const Weight> weight, double identity, kernels::Split &split,
                       Result &result)
{
    if (auto fault = split.find_boundaries(ptr, pred, weight, identity)) {
        raise_index_error(*fault);
        return -1;
    }
    std::span<std::uint32_t> orig;
    if (result.make(bnd_orig, split.num_edges(), orig) < 0) return -1;
    split.gather_predecessors(pred, orig);
    return 0;
}

// The rest, once `columns` is converted: the runs, and every array.
template <class Weight, class Column>
int split_columns(std::span<const Weight> weight, std::span<const Column> columns,
                  kernels::Split &split, Result &result)
{
    if (auto fault = split.find_runs(weight, columns)) {
        raise_index_error(*fault);
        return -1;
    }
    kernels::SplitArrays out;
    out.bnd_orig = result.span<std::uint32_t>(bnd_orig);
    const std::size_t num_bnd = split.num_bnd();
    const std::size_t num_edges = split.num_edges();
    const std::size_t num_runs = split.num_runs();
    if (result.make(bnd_state, num_bnd, out.bnd_state) < 0 ||
        result.make(pred_list, split.num_pred(), out.pred_list) < 0 ||
        result.make(bnd_src, num_edges, out.bnd_src) < 0 ||
        result.make(bnd_ptr, num_bnd + 1, out.bnd_ptr) < 0 ||
        result.make(bnd_weight, num_edges, out.bnd_weight) < 0 ||
        result.make(bnd_dcol, num_bnd, out.bnd_dcol) < 0 ||
        result.make(run_lo, num_runs, out.run_lo) < 0 ||
        result.make(run_hi, num_runs, out.run_hi) < 0 ||
        result.make(run_col, num_runs, out.run_col) < 0) {
        return -1;
    }
    split.write(weight, columns, out);
    return 0;
}

PyObject *split_layout_impl(PyObject *pred, PyObject *ptr, PyObject *weight, PyObject *columns,
                            double identity)
{
    Vector ptr_np, pred_np, weight_np, col_np;
    if (read_vector(ptr, true, "ptr", ptr_np) < 0 || read_vector(pred, true, "pred", pred_np) < 0 ||
        read_vector(weight, false, "weight", weight_np) < 0) {
        return nullptr;
    }
    kernels::Split split;
    Result result;
    const int status = visit_integers(ptr_np, [&](auto ptr_span) {
        return visit_integers(pred_np, [&](auto pred_span) {
            return visit_reals(weight_np, [&](auto weight_span) {
                return split_predecessors(ptr_span, pred_span, weight_span, identity, split,
                                          result);
            });
        });
    });
    if (status < 0) return nullptr;
    if (read_vector(columns, true, "columns", col_np) < 0) return nullptr;
    const int columns_status = visit_reals(weight_np, [&](auto weight_span) {
        return visit_integers(col_np, [&](auto col_span) {
            return split_columns(weight_span, col_span, split, result);
        });
    });
    if (columns_status < 0) return nullptr;
    return result.as_dict();
}

PyObject *split_layout(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames)
{
    PyObject *bound[max_params];
    if (bind_arguments(func->def->signature, args, nargs, kwnames, bound) < 0) return nullptr;
    double identity;
    if (convert_double(bound[4], &identity) < 0) return nullptr;
    return split_layout_impl(bound[0], bound[1], bound[2], bound[3], identity);
}

FunctionDef split_layout_def = {
    .name = "_split_layout",
    .qualname = "_split_layout",
    .doc = split_layout_doc,
    .signature = {.name = "_split_layout",
                  .params = {"pred", "ptr", "weight", "columns", "identity"},
                  .num_required = 5},
    .is_method = false,
    .parser = split_layout,
};

}  // namespace

bool is_module_split_layout(PyObject *func)
{
    return Py_IS_TYPE(func, &KernelFunctionType) &&
           reinterpret_cast<KernelFunction *>(func)->def == &split_layout_def;
}

// The graph's arrays were bound as uint32 and float32 vectors, the types
// _split_layout reads in place, so the split reads the very values it would.
int split_in_place(const Graph &graph, double identity, bool with_orig,
                   kernels::SplitStorage &storage)
{
    const auto fault =
        kernels::split_layout(graph.ptr.span(), graph.pred.span(), graph.weight.span(),
                              graph.columns.span(), identity, with_orig, storage);
    if (!fault) return 0;
    raise_index_error(*fault);
    return -1;
}

int add_split_layout(PyObject *module)
{
    PyRef func = PyRef::steal(kernel_function_new(&split_layout_def, nullptr));
    if (!func) return -1;
    return PyModule_AddObjectRef(module, "_split_layout", func.get());
}

}  // namespace plintor
