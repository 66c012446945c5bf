#include "binding.hpp"

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "numpy_api.hpp"
#include "pyref.hpp"

namespace plintor {

int intern_signature(Signature &sig)
{
    for (Py_ssize_t i = 0; i < sig.size(); ++i) {
        if (sig.interned[i] == nullptr) {
            sig.interned[i] = PyUnicode_InternFromString(sig.params[i]);
            if (sig.interned[i] == nullptr) return -1;
        }
    }
    return 0;
}

namespace {

// "f() takes exactly 2 positional arguments (1 given)" and its variants.
int raise_count_error(const Signature &sig, bool below, Py_ssize_t given)
{
    const Py_ssize_t num_params = sig.size();
    const bool exact = sig.num_required == num_params;
    const char *relation = exact ? "exactly" : (below ? "at least" : "at most");
    const Py_ssize_t expected = (below && !exact) ? sig.num_required : num_params;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, relation, expected, expected == 1 ? "" : "s", given);
    return -1;
}

bool positional_count_is_bad(const Signature &sig, Py_ssize_t nargs, bool have_keywords)
{
    const Py_ssize_t num_params = sig.size();
    if (have_keywords) return nargs > num_params;
    if (sig.num_required == num_params) return nargs != num_params;
    return nargs < sig.num_required || nargs > num_params;
}

// Index of the parameter called `keyword`, -1 if there is none, -2 on error.
Py_ssize_t find_parameter(const Signature &sig, PyObject *keyword)
{
    const Py_ssize_t num_params = sig.size();
    for (Py_ssize_t i = 0; i < num_params; ++i) {
        if (sig.interned[i] == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < num_params; ++i) {
        const int equal = PyUnicode_Compare(sig.interned[i], keyword);
        if (equal == -1 && PyErr_Occurred()) return -2;
        if (equal == 0) return i;
    }
    return -1;
}

int bind_keyword(const Signature &sig, Py_ssize_t nargs, PyObject *keyword, PyObject *value,
                 PyObject **bound)
{
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
        return -1;
    }
    const Py_ssize_t index = find_parameter(sig, keyword);
    if (index == -2) return -1;
    if (index == -1) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     keyword);
        return -1;
    }
    if (index < nargs || bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     sig.name, keyword);
        return -1;
    }
    bound[index] = value;
    return 0;
}

int bind_keywords(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *const *kwvalues, std::span<PyObject *const> kwnames, PyObject **bound)
{
    const Py_ssize_t num_params = sig.size();
    if (positional_count_is_bad(sig, nargs, !kwnames.empty())) {
        return raise_count_error(sig, nargs < sig.num_required, nargs);
    }
    for (Py_ssize_t i = 0; i < num_params; ++i)
        bound[i] = i < nargs ? args[i] : nullptr;
    for (std::size_t k = 0; k < kwnames.size(); ++k) {
        if (bind_keyword(sig, nargs, kwnames[k], kwvalues[k], bound) < 0) return -1;
    }
    for (Py_ssize_t i = 0; i < sig.num_required; ++i) {
        if (bound[i] == nullptr) return raise_count_error(sig, true, i);
    }
    return 0;
}

}  // namespace

int bind_arguments(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **bound)
{
    std::span<PyObject *const> names;
    if (kwnames != nullptr) {
        names = {&PyTuple_GET_ITEM(kwnames, 0),
                 static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames))};
    }
    return bind_keywords(sig, args, nargs, args + nargs, names, bound);
}

int bind_arguments_dict(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **bound)
{
    std::vector<PyObject *> names;
    std::vector<PyObject *> values;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            names.push_back(key);
            values.push_back(value);
        }
    }
    return bind_keywords(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), values.data(),
                         names, bound);
}

int refuse_none(const char *function, const char *argument)
{
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an array, not None", function,
                 argument);
    return -1;
}

int invalid(const char *function, const char *what)
{
    PyErr_Format(PyExc_ValueError, "%s(): %s", function, what);
    return -1;
}

int convert_double(PyObject *obj, double *out)
{
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return 0;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

int convert_int32(PyObject *obj, std::int32_t *out)
{
    PyRef converted;
    if (!PyLong_Check(obj)) {
        PyNumberMethods *number = Py_TYPE(obj)->tp_as_number;
        if (number == nullptr || number->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return -1;
        }
        converted = PyRef::steal(number->nb_int(obj));
        if (!converted) return -1;
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(converted.get())->tp_name);
            return -1;
        }
        obj = converted.get();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<std::int32_t>(value);
    return 0;
}

namespace {

// What a buffer's struct-module format string says about its element.
struct FormatElement {
    bool big_endian = false;
    ElementType type{"an unparsable format", ElementKind::other, 0};
};

struct FormatCode {
    char code;
    const char *name;
    ElementKind kind;
    std::size_t native_size;
    std::size_t standard_size;  // 0: not allowed after a standard-size prefix
};

constexpr FormatCode format_codes[] = {
    {'?', "'bool'", ElementKind::other, sizeof(bool), 1},
    {'c', "'char'", ElementKind::other, 1, 1},
    {'b', "'signed char'", ElementKind::signed_integer, 1, 1},
    {'B', "'unsigned char'", ElementKind::unsigned_integer, 1, 1},
    {'h', "'short'", ElementKind::signed_integer, sizeof(short), 2},
    {'H', "'unsigned short'", ElementKind::unsigned_integer, sizeof(short), 2},
    {'i', "'int'", ElementKind::signed_integer, sizeof(int), 4},
    {'I', "'unsigned int'", ElementKind::unsigned_integer, sizeof(int), 4},
    {'l', "'long'", ElementKind::signed_integer, sizeof(long), 4},
    {'L', "'unsigned long'", ElementKind::unsigned_integer, sizeof(long), 4},
    {'q', "'long long'", ElementKind::signed_integer, sizeof(long long), 8},
    {'Q', "'unsigned long long'", ElementKind::unsigned_integer, sizeof(long long), 8},
    {'n', "'Py_ssize_t'", ElementKind::signed_integer, sizeof(Py_ssize_t), 0},
    {'N', "'size_t'", ElementKind::unsigned_integer, sizeof(size_t), 0},
    {'e', "'half'", ElementKind::floating, 2, 2},
    {'f', "'float'", ElementKind::floating, sizeof(float), 4},
    {'d', "'double'", ElementKind::floating, sizeof(double), 8},
    {'g', "'long double'", ElementKind::floating, sizeof(long double), 0},
};

const char *describe_compound(char code)
{
    switch (code) {
        case 'Z':
            return "a complex number";
        case 'T':
            return "a struct";
        case 'O':
            return "a Python object";
        case 'P':
            return "a pointer";
        case 's':
        case 'p':
            return "a string";
        case 'x':
            return "padding";
        default:
            return "an unparsable format";
    }
}

FormatElement parse_format(const char *format)
{
    FormatElement element;
    if (format == nullptr) format = "B";
    bool standard = false;
    switch (*format) {
        case '>':
        case '!':
            element.big_endian = true;
            return element;
        case '=':
        case '<':
            standard = true;
            ++format;
            break;
        case '@':
        case '^':
            ++format;
            break;
        default:
            break;
    }
    for (const FormatCode &code : format_codes) {
        if (code.code != format[0]) continue;
        const std::size_t size = standard ? code.standard_size : code.native_size;
        if (format[1] != '\0' || size == 0) break;
        element.type = {code.name, code.kind, size};
        return element;
    }
    element.type.name = describe_compound(format[0]);
    return element;
}

bool is_c_contiguous(const Py_buffer &view)
{
    if (view.strides == nullptr) return true;
    Py_ssize_t expected = view.itemsize;
    for (int d = view.ndim - 1; d >= 0; --d) {
        if (view.shape[d] > 1 && view.strides[d] != expected) return false;
        expected *= view.shape[d];
    }
    return true;
}

int check_view(const Py_buffer &view, int ndim, const ElementType &type)
{
    if (view.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     view.ndim);
        return -1;
    }
    const FormatElement element = parse_format(view.format);
    if (element.big_endian) {
        PyErr_SetString(PyExc_ValueError,
                        "Big-endian buffer not supported on little-endian compiler");
        return -1;
    }
    if (element.type.kind != type.kind || element.type.size != type.size) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     type.name, "'", element.type.name);
        return -1;
    }
    if (static_cast<std::size_t>(view.itemsize) != type.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<std::size_t>(view.itemsize), view.itemsize == 1 ? "" : "s",
                     type.name, type.size, type.size == 1 ? "" : "s");
        return -1;
    }
    if (!is_c_contiguous(view)) {
        PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
        return -1;
    }
    // Elements are read through typed pointers, which must be aligned; an
    // empty buffer has no element to read.
    if (view.len > 0 && reinterpret_cast<std::uintptr_t>(view.buf) % type.size != 0) {
        PyErr_Format(PyExc_ValueError, "Buffer not aligned to its %zu-byte elements.", type.size);
        return -1;
    }
    return 0;
}

char kind_letter(ElementKind kind)
{
    switch (kind) {
        case ElementKind::signed_integer:
            return 'i';
        case ElementKind::unsigned_integer:
            return 'u';
        case ElementKind::floating:
            return 'f';
        default:
            return '\0';
    }
}

// Whether `obj` is a NumPy array that the buffer protocol would hand out as
// it is and that check_view() would accept: its data can then be read off
// the array, without the cost of exporting a buffer, which a step over one
// frame would pay on every call.  Anything else takes the protocol's path
// and its messages.
bool is_plain_array(PyObject *obj, int ndim, const ElementType &type)
{
    if (!PyArray_CheckExact(obj)) return false;
    auto *array = reinterpret_cast<PyArrayObject *>(obj);
    const PyArray_Descr *descr = PyArray_DESCR(array);
    return PyArray_NDIM(array) == ndim && PyTypeNum_ISNUMBER(descr->type_num) &&
           descr->kind == kind_letter(type.kind) &&
           static_cast<std::size_t>(PyArray_ITEMSIZE(array)) == type.size &&
           PyArray_ISNOTSWAPPED(array) && PyArray_IS_C_CONTIGUOUS(array) &&
           PyArray_ISWRITEABLE(array) && PyArray_ISALIGNED(array);
}

}  // namespace

int Buffer::acquire(PyObject *obj, int ndim, const ElementType &type)
{
    release();
    if (obj == Py_None) return 0;
    if (is_plain_array(obj, ndim, type)) {
        // A view with no exporting object, which PyBuffer_Release leaves be;
        // the strong reference in source_ keeps the array alive.
        auto *array = reinterpret_cast<PyArrayObject *>(obj);
        view_ = Py_buffer{};
        view_.buf = PyArray_DATA(array);
        view_.len = PyArray_NBYTES(array);
        for (int d = 0; d < ndim; ++d)
            extents_[d] = PyArray_DIM(array, d);
        held_ = true;
        source_ = Py_NewRef(obj);
        return 0;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
        return -1;
    }
    held_ = true;
    if (check_view(view_, ndim, type) < 0) {
        release();
        return -1;
    }
    for (int d = 0; d < ndim; ++d)
        extents_[d] = view_.shape[d];
    source_ = Py_NewRef(obj);
    return 0;
}

void Buffer::release() noexcept
{
    if (held_) {
        held_ = false;
        PyBuffer_Release(&view_);
        Py_CLEAR(source_);
    }
}

}  // namespace plintor
