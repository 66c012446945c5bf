#include "numpy_calls.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>

#include "numpy_api.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

// The keywords of the calls, passed as names beside the arguments, which
// spares building a dict that the call would take apart.
constexpr const char *keyword_names[] = {"dtype", "copy"};
PyObject *keywords[std::size(keyword_names)];

// NumPy's own makers and element types, taken from the module when the
// extension starts.  While the module's `np` is NumPy and still binds these
// very objects, np.empty(shape, np.uint32) and the like are made through
// NumPy's C interface: the same array, for a fraction of a Python call's
// cost, which a step over one frame would otherwise pay on every call.
// Anything rebound is called as usual.
struct NumpyName {
    const char *text;
    int typenum;  // the element type's number; -1 for a maker
    PyObject *interned = nullptr;
    PyObject *original = nullptr;
};

NumpyName numpy_names[] = {
    {.text = "empty", .typenum = -1},
    {.text = "zeros", .typenum = -1},
    {.text = "float32", .typenum = NPY_FLOAT32},
    {.text = "uint8", .typenum = NPY_UINT8},
    {.text = "uint32", .typenum = NPY_UINT32},
    {.text = "int64", .typenum = NPY_INT64},
};
PyObject *numpy_module = nullptr;

const NumpyName *find_numpy_name(const char *text)
{
    for (const NumpyName &name : numpy_names) {
        if (std::strcmp(name.text, text) == 0) return &name;
    }
    return nullptr;
}

// Whether np.<text> is NumPy's own object; NULL if it is not, or if `np` is
// not NumPy.  Reads the module's dictionary, which runs no Python code.
const NumpyName *original_in(PyObject *np, const char *text)
{
    const NumpyName *name = find_numpy_name(text);
    if (np != numpy_module || name == nullptr || name->original == nullptr) return nullptr;
    PyObject *bound = PyDict_GetItemWithError(PyModule_GetDict(np), name->interned);
    if (bound == nullptr) PyErr_Clear();
    return bound == name->original ? name : nullptr;
}

// np.<maker>(shape, np.<dtype>) through the C interface when both names are
// NumPy's own; NULL without an exception set when they are not.
template <int NDim>
PyObject *make_directly(PyObject *np, const char *maker, const char *dtype,
                        const Shape<NDim> &shape)
{
    const NumpyName *made_by = original_in(np, maker);
    const NumpyName *type = original_in(np, dtype);
    if (made_by == nullptr || type == nullptr) return nullptr;
    npy_intp dims[NDim];
    for (int d = 0; d < NDim; ++d)
        dims[d] = shape[d];
    if (std::strcmp(made_by->text, "zeros") == 0)
        return PyArray_ZEROS(NDim, dims, type->typenum, 0);
    return PyArray_EMPTY(NDim, dims, type->typenum, 0);
}

template <int NDim>
PyObject *shape_object(const Shape<NDim> &shape)
{
    if constexpr (NDim == 1) {
        return PyLong_FromSsize_t(shape[0]);
    } else {
        return Py_BuildValue("(nn)", shape[0], shape[1]);
    }
}

// Binds what np.<maker>() returned, if it has exactly the shape asked for.
template <class T, int NDim>
int bind_new(PyObject *array, const char *maker, const Shape<NDim> &shape, Array<T, NDim> &out)
{
    if (out.acquire(array) < 0) return -1;
    bool matches = !out.is_none();
    for (int d = 0; d < NDim; ++d)
        matches = matches && out.extent(d) == shape[d];
    if (matches) return 0;
    PyErr_Format(PyExc_ValueError, "np.%s() did not return an array of the requested shape", maker);
    return -1;
}

// np.<maker>(first, np.<dtype>, copy=True if `copy`), the dtype positional
// or by keyword.
PyObject *call_maker(PyObject *np, const char *maker, PyObject *first, const char *dtype,
                     DtypeArgument how, bool copy)
{
    PyRef func = PyRef::steal(PyObject_GetAttrString(np, maker));
    if (!func) return nullptr;
    PyRef type = PyRef::steal(PyObject_GetAttrString(np, dtype));
    if (!type) return nullptr;
    PyObject *const args[] = {first, type.get(), Py_True};
    if (how == DtypeArgument::positional) return PyObject_Vectorcall(func.get(), args, 2, nullptr);
    PyRef names = PyRef::steal(copy ? PyTuple_Pack(2, keywords[0], keywords[1])
                                    : PyTuple_Pack(1, keywords[0]));
    if (!names) return nullptr;
    return PyObject_Vectorcall(func.get(), args, 1, names.get());
}

}  // namespace

template <class T, int NDim>
int np_new(PyObject *np, const char *maker, const char *dtype,
           const std::type_identity_t<Shape<NDim>> &shape, DtypeArgument how, Array<T, NDim> &out)
{
    PyRef array = PyRef::steal(make_directly<NDim>(np, maker, dtype, shape));
    if (!array && PyErr_Occurred()) return -1;
    if (!array) {
        PyRef shape_obj = PyRef::steal(shape_object<NDim>(shape));
        if (!shape_obj) return -1;
        array = PyRef::steal(call_maker(np, maker, shape_obj.get(), dtype, how, false));
        if (!array) return -1;
    }
    return bind_new<T, NDim>(array.get(), maker, shape, out);
}

template int np_new<float, 1>(PyObject *, const char *, const char *, const Shape<1> &,
                              DtypeArgument, Array<float> &);
template int np_new<std::uint8_t, 1>(PyObject *, const char *, const char *, const Shape<1> &,
                                     DtypeArgument, Array<std::uint8_t> &);
template int np_new<std::uint32_t, 1>(PyObject *, const char *, const char *, const Shape<1> &,
                                      DtypeArgument, Array<std::uint32_t> &);
template int np_new<std::int64_t, 1>(PyObject *, const char *, const char *, const Shape<1> &,
                                     DtypeArgument, Array<std::int64_t> &);
template int np_new<std::uint32_t, 2>(PyObject *, const char *, const char *, const Shape<2> &,
                                      DtypeArgument, Array<std::uint32_t, 2> &);

int np_copy_floats(PyObject *np, PyObject *source, Py_ssize_t length, Array<float> &out)
{
    PyRef array =
        PyRef::steal(call_maker(np, "array", source, "float32", DtypeArgument::keyword, true));
    if (!array) return -1;
    return bind_new<float, 1>(array.get(), "array", {length}, out);
}

int prepare_numpy_calls(PyObject *numpy)
{
    for (std::size_t k = 0; k < std::size(keyword_names); ++k) {
        if (keywords[k] == nullptr) keywords[k] = PyUnicode_InternFromString(keyword_names[k]);
        if (keywords[k] == nullptr) return -1;
    }
    if (numpy_module != nullptr) return 0;
    for (NumpyName &name : numpy_names) {
        name.interned = PyUnicode_InternFromString(name.text);
        if (name.interned == nullptr) return -1;
        name.original = PyObject_GetAttr(numpy, name.interned);
        if (name.original == nullptr) return -1;
    }
    numpy_module = Py_NewRef(numpy);
    return 0;
}

}  // namespace plintor
