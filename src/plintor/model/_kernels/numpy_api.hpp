// NumPy's C interface, shared by the files of the extension.  module.cpp
// loads it at start-up; every other file includes it with NO_IMPORT_ARRAY.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL plintor_kernels_ARRAY_API
#ifndef PLINTOR_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include "python_compat.hpp"
