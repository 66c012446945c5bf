#include "numpy_calls.hpp"

#include <cstdint>
#include <iterator>

#include "pyref.hpp"

namespace plintor {

namespace {

// The keywords of the calls, passed as names beside the arguments, which
// spares building a dict that the call would take apart.
constexpr const char *keyword_names[] = {"dtype", "copy"};
PyObject *keywords[std::size(keyword_names)];

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
    PyRef shape_obj = PyRef::steal(shape_object<NDim>(shape));
    if (!shape_obj) return -1;
    PyRef array = PyRef::steal(call_maker(np, maker, shape_obj.get(), dtype, how, false));
    if (!array) return -1;
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

int intern_numpy_keywords()
{
    for (std::size_t k = 0; k < std::size(keyword_names); ++k) {
        if (keywords[k] == nullptr) keywords[k] = PyUnicode_InternFromString(keyword_names[k]);
        if (keywords[k] == nullptr) return -1;
    }
    return 0;
}

}  // namespace plintor
