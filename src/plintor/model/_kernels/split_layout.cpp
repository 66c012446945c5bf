// _split_layout: the interior/boundary split both decoders are built on.
//
// The arguments go through NumPy's own conversion (asarray, then astype to
// int64 or float64), so every array-like NumPy accepts is read with NumPy's
// casting rules; the split itself runs in compiled loops that follow NumPy's
// indexing rules, negative indices and IndexError included.
#include "numpy_api.hpp"

#include <cstring>
#include <new>
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

// np.asarray(obj).astype(typenum): always a fresh, contiguous copy.
PyObject *convert_vector(PyObject *obj, int typenum, const char *argument)
{
    PyRef array = PyRef::steal(PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
    if (!array) return nullptr;
    auto *arr = reinterpret_cast<PyArrayObject *>(array.get());
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_ValueError,
                     "_split_layout() argument '%s' must be one-dimensional, not %d-dimensional",
                     argument, PyArray_NDIM(arr));
        return nullptr;
    }
    return PyArray_CastToType(arr, PyArray_DescrFromType(typenum), 0);
}

template <class T>
std::span<const T> vector_span(const PyRef &array)
{
    auto *arr = reinterpret_cast<PyArrayObject *>(array.get());
    return {static_cast<const T *>(PyArray_DATA(arr)), static_cast<std::size_t>(PyArray_DIM(arr, 0))};
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
    PyRef ptr_np = PyRef::steal(convert_vector(ptr, NPY_INT64, "ptr"));
    if (!ptr_np) return nullptr;
    PyRef pred_np = PyRef::steal(convert_vector(pred, NPY_INT64, "pred"));
    if (!pred_np) return nullptr;
    PyRef weight_np = PyRef::steal(convert_vector(weight, NPY_FLOAT64, "weight"));
    if (!weight_np) return nullptr;
    kernels::BoundarySplit bounds;
    if (auto fault = kernels::split_boundaries(
            vector_span<std::int64_t>(ptr_np), vector_span<std::int64_t>(pred_np),
            vector_span<double>(weight_np), identity, bounds)) {
        return raise_index_error(*fault);
    }
    PyRef col_np = PyRef::steal(convert_vector(columns, NPY_INT64, "columns"));
    if (!col_np) return nullptr;
    kernels::RunSplit runs;
    if (auto fault = kernels::split_runs(bounds, vector_span<double>(weight_np),
                                         vector_span<std::int64_t>(col_np), runs)) {
        return raise_index_error(*fault);
    }
    return build_layout(bounds, runs);
}

PyObject *split_layout(KernelFunction *, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames)
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
