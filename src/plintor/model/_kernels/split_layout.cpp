// _split_layout: the interior/boundary split both decoders are built on.
//
// The arguments go through NumPy's own conversion (asarray, then astype to
// int64 or float64), so every array-like NumPy accepts is read with NumPy's
// casting rules; the split itself runs in compiled loops that follow NumPy's
// indexing rules, negative indices and IndexError included.
#include "numpy_api.hpp"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "../kernels/split_layout.hpp"
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

constexpr const char *split_layout_params[] = {"pred", "ptr", "weight", "columns", "identity"};
PyObject *split_layout_interned[std::size(split_layout_params)];
Signature split_layout_signature = {
    .name = "_split_layout",
    .params = split_layout_params,
    .num_required = static_cast<Py_ssize_t>(std::size(split_layout_params)),
    .interned = split_layout_interned,
};

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

template <class T>
PyObject *new_vector(std::span<const T> values, int typenum)
{
    npy_intp size = static_cast<npy_intp>(values.size());
    PyObject *array = PyArray_SimpleNew(1, &size, typenum);
    if (array != nullptr && !values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)), values.data(),
                    values.size_bytes());
    }
    return array;
}

template <class T>
int set_entry(PyObject *layout, const char *key, const std::vector<T> &values, int typenum)
{
    PyRef array = PyRef::steal(new_vector(std::span<const T>(values), typenum));
    if (!array) return -1;
    return PyDict_SetItemString(layout, key, array.get());
}

PyObject *build_layout(const kernels::BoundarySplit &bounds, const kernels::RunSplit &runs)
{
    const std::vector<std::uint32_t> bnd_state(bounds.bnd.begin(), bounds.bnd.end());
    PyRef layout = PyRef::steal(PyDict_New());
    if (!layout) return nullptr;
    PyObject *dict = layout.get();
    if (set_entry(dict, "bnd_state", bnd_state, NPY_UINT32) < 0 ||
        set_entry(dict, "pred_list", bounds.pred_list, NPY_UINT32) < 0 ||
        set_entry(dict, "bnd_src", bounds.bnd_src, NPY_UINT32) < 0 ||
        set_entry(dict, "bnd_orig", bounds.bnd_orig, NPY_UINT32) < 0 ||
        set_entry(dict, "bnd_ptr", bounds.bnd_ptr, NPY_INT64) < 0 ||
        set_entry(dict, "bnd_weight", runs.bnd_weight, NPY_FLOAT32) < 0 ||
        set_entry(dict, "bnd_dcol", runs.bnd_dcol, NPY_UINT32) < 0 ||
        set_entry(dict, "run_lo", runs.run_lo, NPY_INT64) < 0 ||
        set_entry(dict, "run_hi", runs.run_hi, NPY_INT64) < 0 ||
        set_entry(dict, "run_col", runs.run_col, NPY_UINT32) < 0) {
        return nullptr;
    }
    return layout.release();
}

PyObject *split_layout_impl(PyObject *pred, PyObject *ptr, PyObject *weight, PyObject *columns,
                            double identity)
{
    Vector ptr_np, pred_np, weight_np, col_np;
    if (read_vector(ptr, true, "ptr", ptr_np) < 0 || read_vector(pred, true, "pred", pred_np) < 0 ||
        read_vector(weight, false, "weight", weight_np) < 0) {
        return nullptr;
    }
    kernels::BoundarySplit bounds;
    auto fault = visit_integers(ptr_np, [&](auto ptr_span) {
        return visit_integers(pred_np, [&](auto pred_span) {
            return visit_reals(weight_np, [&](auto weight_span) {
                return kernels::split_boundaries(ptr_span, pred_span, weight_span, identity,
                                                 bounds);
            });
        });
    });
    if (fault) return raise_index_error(*fault);
    if (read_vector(columns, true, "columns", col_np) < 0) return nullptr;
    kernels::RunSplit runs;
    fault = visit_reals(weight_np, [&](auto weight_span) {
        return visit_integers(col_np, [&](auto col_span) {
            return kernels::split_runs(bounds, weight_span, col_span, runs);
        });
    });
    if (fault) return raise_index_error(*fault);
    return build_layout(bounds, runs);
}

PyObject *split_layout(KernelFunction *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *bound[std::size(split_layout_params)];
    if (bind_arguments(split_layout_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    double identity;
    if (convert_double(bound[4], &identity) < 0) return nullptr;
    try {
        return split_layout_impl(bound[0], bound[1], bound[2], bound[3], identity);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

const FunctionDef split_layout_def = {
    .name = "_split_layout",
    .qualname = "_split_layout",
    .doc = split_layout_doc,
    .signature = &split_layout_signature,
    .is_method = false,
    .parser = split_layout,
};

}  // namespace

int add_split_layout(PyObject *module)
{
    PyRef func = PyRef::steal(kernel_function_new(&split_layout_def, nullptr));
    if (!func) return -1;
    return PyModule_AddObjectRef(module, "_split_layout", func.get());
}

}  // namespace plintor
