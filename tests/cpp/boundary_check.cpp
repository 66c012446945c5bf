// Throws through guarded(), the boundary every call into the module passes,
// and prints the Python exception each throw became, one per line.
#include "../../src/plintor/model/_kernels/python_compat.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "../../src/plintor/model/_kernels/boundary.hpp"

namespace {

void report(const char *outcome)
{
    PyObject *error = PyErr_GetRaisedException();
    PyObject *text = error != nullptr ? PyObject_Str(error) : nullptr;
    std::printf("%s %s: %s\n", outcome, error != nullptr ? Py_TYPE(error)->tp_name : "-",
                text != nullptr ? PyUnicode_AsUTF8(text) : "-");
    Py_XDECREF(text);
    Py_XDECREF(error);
}

}  // namespace

int main()
{
    Py_Initialize();
    PyObject *none = plintor::guarded("entry", []() -> PyObject * { throw std::bad_alloc(); });
    report(none == nullptr ? "NULL" : "object");
    const int status = plintor::guarded("entry", []() -> int { throw std::out_of_range("x"); });
    report(status == -1 ? "-1" : "status");
    none = plintor::guarded("entry", []() -> PyObject * { throw 42; });
    report(none == nullptr ? "NULL" : "object");
    return Py_FinalizeEx() < 0 ? 1 : 0;
}
