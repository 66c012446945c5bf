// Where C++ exceptions stop: every call from the interpreter into the
// module passes through guarded(), so that no exception reaches the
// interpreter, which would end the process.
#pragma once

#include "python_compat.hpp"

#include <exception>
#include <new>
#include <type_traits>

namespace plintor {

// Calls `body` on behalf of `entry_point`, which names it in the message.
// An exception that escapes it becomes MemoryError when memory ran out and
// RuntimeError otherwise, and `body`'s failure value is returned: NULL for
// an object, -1 for a status.
template <class Body>
auto guarded(const char *entry_point, Body &&body) noexcept -> std::invoke_result_t<Body>
{
    using Result = std::invoke_result_t<Body>;
    static_assert(std::is_pointer_v<Result> || std::is_same_v<Result, int>);
    try {
        return body();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_Format(PyExc_RuntimeError, "%s(): internal error: %s", entry_point, error.what());
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "%s(): internal error", entry_point);
    }
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        return -1;
    }
}

}  // namespace plintor
