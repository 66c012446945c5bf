// Binding of Python call arguments to named parameters and typed arrays.
//
// Every entry point binds through bind_arguments(): positional and keyword
// arguments are matched to the parameter names of a Signature, with the
// module's fixed messages for missing, surplus and unknown arguments.  Typed
// array parameters are then acquired in place through the buffer protocol by
// Array<T, NDim>, which checks element type, dimensions and layout and holds
// the buffer until it goes out of scope.
#pragma once

#include "python_compat.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <utility>

namespace plintor {

// The most parameters an entry point has (decode's seven).
inline constexpr std::size_t max_params = 7;

// The parameter list of one entry point.  `interned` holds one interned str
// per parameter, made once by intern_signature() at module start-up, so that
// keywords usually match by identity.
struct Signature {
    const char *name;                               // the function name used in binding messages
    std::array<const char *, max_params> params{};  // in order, then NULL
    Py_ssize_t num_required = 0;
    std::array<PyObject *, max_params> interned{};

    Py_ssize_t size() const
    {
        Py_ssize_t count = 0;
        while (count < static_cast<Py_ssize_t>(max_params) && params[count] != nullptr)
            ++count;
        return count;
    }
};

int intern_signature(Signature &sig);

// Binds the vectorcall arguments of one call.  On success bound[i] is a
// borrowed reference to the argument of parameter i, or NULL for an optional
// parameter that was not given.  Returns -1 with an exception set otherwise.
int bind_arguments(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **bound);

// The same for a call that arrives as an argument tuple and keyword dict.
int bind_arguments_dict(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **bound);

// Scalar conversions of bound arguments.
int convert_double(PyObject *obj, double *out);
int convert_int32(PyObject *obj, std::int32_t *out);

// The argument errors of the entry points, each returning -1 with the
// exception set.  TypeError: `function`'s array `argument` was given None.
int refuse_none(const char *function, const char *argument);
// ValueError "function(): what".
int invalid(const char *function, const char *what);

enum class ElementKind { signed_integer, unsigned_integer, floating, other };

template <class T>
struct ElementTraits;

template <>
struct ElementTraits<std::uint8_t> {
    static constexpr const char *name = "uint8_t";
    static constexpr ElementKind kind = ElementKind::unsigned_integer;
};

template <>
struct ElementTraits<std::uint32_t> {
    static constexpr const char *name = "uint32_t";
    static constexpr ElementKind kind = ElementKind::unsigned_integer;
};

template <>
struct ElementTraits<std::int64_t> {
    static constexpr const char *name = "int64_t";
    static constexpr ElementKind kind = ElementKind::signed_integer;
};

template <>
struct ElementTraits<float> {
    static constexpr const char *name = "float";
    static constexpr ElementKind kind = ElementKind::floating;
};

struct ElementType {
    const char *name;
    ElementKind kind;
    std::size_t size;
};

// An acquired buffer, released when the holder dies.  Move-only.
class Buffer {
  public:
    static constexpr int max_ndim = 2;

    Buffer() noexcept = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    Buffer(Buffer &&other) noexcept
        : view_(other.view_),
          extents_(other.extents_),
          held_(std::exchange(other.held_, false)),
          source_(std::exchange(other.source_, nullptr))
    {
    }
    Buffer &operator=(Buffer &&other) noexcept
    {
        Buffer old(std::move(*this));
        view_ = other.view_;
        extents_ = other.extents_;
        held_ = std::exchange(other.held_, false);
        source_ = std::exchange(other.source_, nullptr);
        return *this;
    }
    ~Buffer() { release(); }

    // Acquires `obj` as a writable, C-contiguous array of `ndim` dimensions
    // whose elements are of type `type`.  None binds as an empty array with
    // no data.  Returns -1 with an exception set, holding nothing.
    int acquire(PyObject *obj, int ndim, const ElementType &type);
    void release() noexcept;

    bool is_none() const noexcept { return !held_; }
    void *data() const noexcept { return held_ ? view_.buf : nullptr; }
    Py_ssize_t extent(int dim) const noexcept { return held_ ? extents_[dim] : 0; }
    // The object that was bound, borrowed; NULL for None.  It is not always
    // the buffer's `obj`: for an exporter written in Python that is a wrapper
    // which offers no buffer of its own.
    PyObject *owner() const noexcept { return source_; }

  private:
    // Some exporters point the view's shape into the view itself, which a
    // move would leave dangling; the extents are copied out at acquisition.
    Py_buffer view_{};
    std::array<Py_ssize_t, max_ndim> extents_{};
    bool held_ = false;
    PyObject *source_ = nullptr;  // a strong reference while held
};

// A typed view of an acquired buffer with NDim dimensions.
template <class T, int NDim = 1>
class Array {
    static_assert(NDim >= 1 && NDim <= Buffer::max_ndim);

  public:
    int acquire(PyObject *obj)
    {
        static constexpr ElementType type{ElementTraits<T>::name, ElementTraits<T>::kind,
                                          sizeof(T)};
        return buffer_.acquire(obj, NDim, type);
    }

    // The same for a parameter that cannot take None: `function`'s
    // `argument` refuses it with TypeError.
    int acquire_required(PyObject *obj, const char *function, const char *argument)
    {
        if (obj == Py_None) return refuse_none(function, argument);
        return acquire(obj);
    }

    bool is_none() const noexcept { return buffer_.is_none(); }
    T *data() const noexcept { return static_cast<T *>(buffer_.data()); }
    Py_ssize_t extent(int dim = 0) const noexcept { return buffer_.extent(dim); }
    std::span<T> span() const noexcept
    {
        Py_ssize_t count = 1;
        for (int d = 0; d < NDim; ++d)
            count *= extent(d);
        return {data(), static_cast<std::size_t>(count)};
    }
    PyObject *owner() const noexcept { return buffer_.owner(); }

  private:
    Buffer buffer_;
};

}  // namespace plintor
