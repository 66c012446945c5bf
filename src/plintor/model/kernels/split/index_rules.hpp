// NumPy's indexing rules, as the split follows them: a negative index counts
// from the end, an index outside [-size, size) is a fault that the caller
// reports as IndexError, and int64 arithmetic wraps around.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace plintor::kernels {

// An index that lies outside the array it indexes.
struct IndexFault {
    std::int64_t index;
    std::int64_t size;
};

// Wrap-around arithmetic, as NumPy's int64 arithmetic does.
inline std::int64_t wrapping_sub(std::int64_t a, std::int64_t b)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

// The position an in-range `index` refers to in an array of `size` elements.
inline std::int64_t wrap_index(std::int64_t index, std::int64_t size)
{
    return index < 0 ? index + size : index;
}

// First of `indices` that is out of range for `size`, if any.  Indices are
// nearly always in range, which their extremes show in one vectorisable pass.
template <class Index>
std::optional<IndexFault> find_fault(std::span<const Index> indices, std::int64_t size)
{
    std::int64_t lowest = 0;
    std::int64_t highest = -1;
    for (const Index value : indices) {
        lowest = std::min(lowest, static_cast<std::int64_t>(value));
        highest = std::max(highest, static_cast<std::int64_t>(value));
    }
    if (lowest >= -size && highest < size) return std::nullopt;
    for (const Index value : indices) {
        const auto index = static_cast<std::int64_t>(value);
        if (index < -size || index >= size) return IndexFault{index, size};
    }
    return std::nullopt;
}

// The edges of one boundary state: positions lo .. hi-1, as stored in ptr.
struct EdgeRange {
    std::int64_t lo;
    std::int64_t hi;

    // The number of edges, once the range is known to lie inside its array.
    std::size_t count() const { return lo < hi ? static_cast<std::size_t>(hi - lo) : 0; }
};

// Writes convert(values[p]) for the positions p = lo .. hi-1, all in range,
// to `out`; returns the end of what it wrote.  Negative positions count from
// the end, so the range is read as up to two contiguous pieces.
template <class T, class Out, class Convert>
Out *gather_range(std::span<const T> values, std::int64_t lo, std::int64_t hi, Out *out,
                  Convert convert)
{
    const auto size = static_cast<std::int64_t>(values.size());
    const std::int64_t split = std::clamp<std::int64_t>(0, lo, hi);
    for (std::int64_t p = lo; p < split; ++p)
        *out++ = convert(values[p + size]);
    for (std::int64_t p = split; p < hi; ++p)
        *out++ = convert(values[p]);
    return out;
}

// The first boundary edge outside an array of `size` elements, in the order
// the gathers read them.
inline std::optional<IndexFault> find_edge_fault(std::span<const EdgeRange> ranges,
                                                 std::int64_t size)
{
    for (const auto [lo, hi] : ranges) {
        if (lo >= hi) continue;
        if (lo < -size) return IndexFault{lo, size};
        if (hi > size) return IndexFault{std::max(lo, size), size};
    }
    return std::nullopt;
}

// The number of boundary edges, once find_edge_fault has found them in
// range.
inline std::size_t count_edges(std::span<const EdgeRange> ranges)
{
    std::size_t num_edges = 0;
    for (const EdgeRange &range : ranges)
        num_edges += range.count();
    return num_edges;
}

}  // namespace plintor::kernels
