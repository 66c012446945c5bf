// Scoped release of the interpreter lock around a frame loop.
#pragma once

#include "python_compat.hpp"

namespace plintor {

// Releases the lock for the lifetime of the object.  Nothing in its scope
// may touch a Python object.
class GilRelease {
  public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState *state_;
};

}  // namespace plintor
