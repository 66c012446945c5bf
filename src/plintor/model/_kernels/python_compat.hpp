// Python.h, with the parts of the C API of CPython 3.13 that the extension
// uses made available on 3.11 and 3.12.  Every unit of the extension
// includes this header instead of Python.h.
//
// pythoncapi_compat.h provides the dictionary functions of 3.13
// (PyDict_GetItemRef, PyDict_SetDefaultRef) and the member constants of
// 3.12 (Py_T_OBJECT_EX, Py_READONLY).  It lacks the two 3.12 functions
// below, which are written here on top of the 3.11 API.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // PyMemberDef, part of Python.h from 3.12 on
#endif

#include "pythoncapi_compat.h"

#if PY_VERSION_HEX < 0x030C0000

// The exception being raised, normalised and carrying its traceback, as a
// new reference; the error indicator is cleared.  Null when none is set.
static inline PyObject *PyErr_GetRaisedException(void)
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Raises `exception` again, stealing the reference; null clears the error
// indicator.
static inline void PyErr_SetRaisedException(PyObject *exception)
{
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(Py_TYPE(exception)), exception, PyException_GetTraceback(exception));
}

// A new reference to the type's dictionary.
static inline PyObject *PyType_GetDict(PyTypeObject *type)
{
    return Py_XNewRef(type->tp_dict);
}

#endif
