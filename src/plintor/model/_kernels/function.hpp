// The function objects of the module's functions and methods.
//
// A KernelFunction is a small vectorcall object that carries the attributes
// of a Python function (__name__, __qualname__, __module__, __doc__,
// __defaults__, __signature__) and binds as a method when it is stored in a
// class dictionary.  Each one calls a parser that binds the arguments and
// then a typed implementation.
#pragma once

#include "python_compat.hpp"

#include "binding.hpp"

namespace plintor {

struct KernelFunction;

// Called with the function object itself (for its defaults) and the
// vectorcall arguments; for a method the instance is args[0].
using KernelParser = PyObject *(*)(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames);

// One table per function: its names, docstring, parameters and parser.
struct FunctionDef {
    const char *name;
    const char *qualname;
    const char *doc;  // NULL: no docstring
    Signature signature;
    bool is_method;  // the instance comes first and is not a bound parameter
    KernelParser parser;
};

struct KernelFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionDef *def;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;
};

extern PyTypeObject KernelFunctionType;

// Creates a function object for `def`; `defaults` (may be NULL) is the
// tuple of defaults of the trailing parameters.
PyObject *kernel_function_new(FunctionDef *def, PyObject *defaults);

// The default value of parameter `index`, borrowed from __defaults__.
PyObject *kernel_function_default(const KernelFunction *func, Py_ssize_t index);

// Checks that a method was called with an instance of `type` first.
int check_method_self(const KernelFunction *func, PyTypeObject *type, PyObject *const *args,
                      Py_ssize_t nargs);

}  // namespace plintor
