// Owning handle for a strong Python reference.
#pragma once

#include "python_compat.hpp"

#include <utility>

namespace plintor {

// Holds one strong reference, or none.  The handle is the only owner of the
// reference it holds: it is dropped when the handle dies or is reassigned,
// unless release() hands it over first.  Borrowed references never enter a
// PyRef except through ref(), which takes a new reference of its own.
class PyRef {
  public:
    PyRef() noexcept = default;
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : obj_(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept
    {
        PyRef old(std::move(*this));
        obj_ = other.release();
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    // Takes over a new reference (or NULL, for an error return).
    static PyRef steal(PyObject *obj) noexcept { return PyRef(obj); }
    // Takes a new reference to a borrowed object.
    static PyRef ref(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit PyRef(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

}  // namespace plintor
