// Arrays made through the module's `np`, as the decoders make every buffer.
//
// `np` is looked up in the module namespace by the caller, so a host may
// rebind it; whatever it returns is bound like an argument and must have
// exactly the shape asked for before anything writes into it.
#pragma once

#include "python_compat.hpp"

#include <array>
#include <type_traits>

#include "binding.hpp"

namespace plintor {

template <int NDim>
using Shape = std::array<Py_ssize_t, NDim>;

// How the element type is passed: np.empty(n, np.float32) or
// np.empty(n, dtype=np.float32).
enum class DtypeArgument { positional, keyword };

// np.<maker>(shape, np.<dtype>), bound to `out`.
template <class T, int NDim>
int np_new(PyObject *np, const char *maker, const char *dtype,
           const std::type_identity_t<Shape<NDim>> &shape, DtypeArgument how, Array<T, NDim> &out);

// np.array(source, dtype=np.float32, copy=True), `length` elements, bound
// to `out`: a copy that nothing else shares.
int np_copy_floats(PyObject *np, PyObject *source, Py_ssize_t length, Array<float> &out);

// Interns the keyword names the calls pass and takes NumPy's own makers and
// element types from `numpy`; once, at start-up.
int prepare_numpy_calls(PyObject *numpy);

}  // namespace plintor
