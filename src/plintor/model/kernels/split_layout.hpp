// Interior/boundary split of a tempo-lane transition graph.
//
// A state is deterministic when its one predecessor is s-1 with the identity
// weight; its update is then a plain shift of the previous frame.  Every
// other state is a boundary state, whose predecessor edges are gathered into
// flat arrays here.  The states are also cut into runs that share one
// observation column.
//
// Offsets, predecessors and columns are read as int64 and weights as
// float64, whatever integer or floating type holds them, exactly as if the
// arrays had been cast to those types first.  Indices follow NumPy's
// indexing rules: a negative index counts from the end, and an index outside
// [-size, size) is a fault that the caller reports as an IndexError.
//
// The split is a sequence of steps, each writing into storage the caller
// provides, so that a caller can put the results straight into the arrays
// it returns; split_layout() runs them all into a SplitStorage.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "plan.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The predecessors of the boundary edges, one piece per boundary state.
using EdgePieces = std::vector<std::span<const std::uint32_t>>;

namespace detail {

// Whether `value` is one of the values of the integer type T.
template <class T>
bool holds(std::int64_t value)
{
    if constexpr (std::is_signed_v<T>) {
        return value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
    } else {
        return value >= 0 && static_cast<std::uint64_t>(value) <= std::numeric_limits<T>::max();
    }
}

// `identity` as a Weight, when a Weight holds it exactly and finite: a
// weight read as float64 then equals `identity` exactly when it equals this
// value.
template <class Weight>
std::optional<Weight> narrow_identity(double identity)
{
    if (!(std::fabs(identity) <= static_cast<double>(std::numeric_limits<Weight>::max())))
        return std::nullopt;
    const auto narrow = static_cast<Weight>(identity);
    if (static_cast<double>(narrow) != identity) return std::nullopt;
    return narrow;
}

// Whether state s, whose first edge lies inside both `pred` and `weight`,
// is deterministic.  The three tests run without branches: nearly every
// state passes them all.
template <class Ptr, class Pred, class Weight>
bool is_deterministic(std::span<const Ptr> ptr, std::span<const Pred> pred,
                      std::span<const Weight> weight, double identity, std::int64_t s)
{
    const auto first = static_cast<std::int64_t>(ptr[s]);
    const auto pred_size = static_cast<std::int64_t>(pred.size());
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    return (wrapping_sub(static_cast<std::int64_t>(ptr[s + 1]), first) == 1) &
           (static_cast<std::int64_t>(pred[wrap_index(first, pred_size)]) == s - 1) &
           (static_cast<double>(weight[wrap_index(first, weight_size)]) == identity);
}

// The states a block test covers at once.  Tempo lanes are longer, so most
// blocks lie inside one lane.
inline constexpr int state_block = 16;

// The first boundary state among s .. s+state_block-1 (s >= 1), as an
// offset from s, or state_block when there is none; -1 when the block
// cannot be tested this way.  While the offsets count up by one from
// ptr[s], the states' first edges are consecutive and in range: their
// offsets, predecessors and weights are then compared with ptr[s]+1, ...,
// s-1, ... and `identity` element by element, which the compiler
// vectorises.  The first state that fails a test is a boundary state, and
// those before it are deterministic.  Other blocks are left to the exact
// test, state by state.
template <class Ptr, class Pred, class Weight>
int first_boundary_in_block(std::span<const Ptr> ptr, std::span<const Pred> pred,
                            std::span<const Weight> weight, Weight identity, std::int64_t s)
{
    const auto base = static_cast<std::int64_t>(ptr[s]);
    const auto size = static_cast<std::int64_t>(std::min(pred.size(), weight.size()));
    if (base < 0 || base + state_block > size || !holds<Ptr>(base + state_block) ||
        !holds<Pred>(s - 1 + state_block)) {
        return -1;
    }
    const Ptr *offsets = ptr.data() + s + 1;
    const Pred *preds = pred.data() + base;
    const Weight *weights = weight.data() + base;
    const auto next_offset = static_cast<Ptr>(base + 1);
    const auto prev_state = static_cast<Pred>(s - 1);
    // The loop is kept rolled for the vectoriser: unrolled first, as a loop
    // of a known short count would be, it turns into scalar code.
    std::uint32_t fails[state_block];
#pragma GCC unroll 1
    for (int k = 0; k < state_block; ++k) {
        fails[k] = static_cast<std::uint32_t>(
            (offsets[k] != static_cast<Ptr>(next_offset + static_cast<Ptr>(k))) |
            (preds[k] != static_cast<Pred>(prev_state + static_cast<Pred>(k))) |
            (weights[k] != identity));
    }
    std::uint32_t any = 0;
#pragma GCC unroll 1
    for (int k = 0; k < state_block; ++k)
        any |= fails[k];
    if (any == 0) return state_block;
    int k = 0;
    while (fails[k] == 0)
        ++k;
    return k;
}

#if defined(__SSE2__)
// The same for the types the decoders bind, four states at a time in SSE2,
// the x86-64 baseline.  Offsets are compared as steps of one from ptr[s]:
// up to the first state that fails, they count up from it all the same.
inline int first_boundary_in_block(std::span<const std::uint32_t> ptr,
                                   std::span<const std::uint32_t> pred,
                                   std::span<const float> weight, float identity, std::int64_t s)
{
    const auto base = static_cast<std::int64_t>(ptr[s]);
    const auto size = static_cast<std::int64_t>(std::min(pred.size(), weight.size()));
    if (base + state_block > size || !holds<std::uint32_t>(base + state_block) ||
        !holds<std::uint32_t>(s - 1 + state_block)) {
        return -1;
    }
    const std::uint32_t *offsets = ptr.data() + s;
    const std::uint32_t *preds = pred.data() + base;
    const float *weights = weight.data() + base;
    const __m128i one = _mm_set1_epi32(1);
    const __m128 identities = _mm_set1_ps(identity);
    __m128i prev_states =
        _mm_add_epi32(_mm_set1_epi32(static_cast<int>(s - 1)), _mm_setr_epi32(0, 1, 2, 3));
    unsigned fails = 0;
    for (int k = 0; k < state_block; k += 4) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(offsets + k));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(offsets + k + 1));
        const __m128i one_edge = _mm_cmpeq_epi32(_mm_sub_epi32(next, first), one);
        const __m128i from_prev = _mm_cmpeq_epi32(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(preds + k)), prev_states);
        const __m128 plain = _mm_and_ps(_mm_castsi128_ps(_mm_and_si128(one_edge, from_prev)),
                                        _mm_cmpeq_ps(_mm_loadu_ps(weights + k), identities));
        fails |= static_cast<unsigned>(~_mm_movemask_ps(plain) & 0xf) << k;
        prev_states = _mm_add_epi32(prev_states, _mm_set1_epi32(4));
    }
    return fails == 0 ? state_block : std::countr_zero(fails);
}
#endif

// The first first-edge fault: in `pred` for any state, else in `weight`.
template <class Ptr>
std::optional<IndexFault> first_edge_fault(std::span<const Ptr> first_edges, std::int64_t pred_size,
                                           std::int64_t weight_size)
{
    if (auto fault = find_fault(first_edges, pred_size)) return fault;
    return find_fault(first_edges, weight_size);
}

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

// Whether a[0..n) equals b[0..n); a vectorisable pass without early exit.
inline bool equal_values(const std::uint32_t *a, const std::uint32_t *b, std::size_t n)
{
    std::uint32_t difference = 0;
    for (std::size_t k = 0; k < n; ++k)
        difference |= a[k] ^ b[k];
    return difference == 0;
}

inline std::size_t total_size(const EdgePieces &pieces)
{
    std::size_t size = 0;
    for (const auto piece : pieces)
        size += piece.size();
    return size;
}

// Appends the v with seen[v] set, ascending.  The marks are sparse, so
// eight of them are tested at once, and the few set ones found from the
// bits of the word without a branch per mark.
template <class Index>
void append_marked(std::span<const std::uint8_t> seen, std::vector<Index> &out)
{
    constexpr std::uint64_t low_bits = 0x0101010101010101;
    std::size_t v = 0;
    for (; v + 8 <= seen.size(); v += 8) {
        std::uint64_t marks;
        std::memcpy(&marks, seen.data() + v, sizeof marks);
        for (marks &= low_bits; marks != 0; marks &= marks - 1) {
            const auto byte = static_cast<std::size_t>(std::countr_zero(marks)) / 8;
            out.push_back(static_cast<Index>(v + byte));
        }
    }
    for (; v < seen.size(); ++v) {
        if (seen[v] != 0) out.push_back(static_cast<Index>(v));
    }
}

inline void sort_distinct(const EdgePieces &pieces, std::vector<std::uint32_t> &out)
{
    out.clear();
    for (const auto piece : pieces)
        out.insert(out.end(), piece.begin(), piece.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

// The distinct values of all pieces, ascending.  Predecessor states are
// usually small numbers, so marking them in a table indexed by state finds
// them in linear time; values far beyond their number are sorted instead.
// The table starts with `hint` entries, the number of states, and grows
// to the largest value.
inline void distinct_values(const EdgePieces &pieces, std::size_t hint,
                            std::vector<std::uint32_t> &out)
{
    out.clear();
    const std::size_t size = total_size(pieces);
    if (size == 0) return;
    const std::size_t sparse = 8 * size + 65536;
    std::vector<std::uint8_t> seen(std::min(hint, sparse), 0);
    // Marked through locals: byte stores may alias anything, so the
    // table's own pointer and size would be reloaded after every mark.
    std::uint8_t *marks = seen.data();
    std::size_t num_marks = seen.size();
    // Whether the table holds `value`, grown to it if need be; false for a
    // value that calls for sorting.
    auto holds_mark = [&](std::uint32_t value) {
        if (value < num_marks) return true;
        if (value > sparse) return false;
        seen.resize(std::size_t{value} + 1, 0);
        marks = seen.data();
        num_marks = seen.size();
        return true;
    };
    for (const auto piece : pieces) {
        const std::uint32_t *value = piece.data();
        const std::uint32_t *end = value + piece.size();
        // Four marks for each test of the table's size.
        for (; end - value >= 4; value += 4) {
            if (!holds_mark(std::max(std::max(value[0], value[1]), std::max(value[2], value[3]))))
                return sort_distinct(pieces, out);
            marks[value[0]] = 1;
            marks[value[1]] = 1;
            marks[value[2]] = 1;
            marks[value[3]] = 1;
        }
        for (; value != end; ++value) {
            if (!holds_mark(*value)) return sort_distinct(pieces, out);
            marks[*value] = 1;
        }
    }
    // No more distinct values than values, nor than places in the table.
    out.reserve(std::min(size, seen.size()));
    append_marked(seen, out);
}

// The slot of `value` in the ascending, non-empty `list`, which holds it.
// The search halves the range without branches, which the compiler turns
// into conditional moves: a branch would be mispredicted at every other
// step.
inline std::uint32_t slot_of(std::span<const std::uint32_t> list, std::uint32_t value)
{
    const std::uint32_t *first = list.data();
    for (std::size_t n = list.size(); n > 1; n -= n / 2)
        first = first[n / 2] <= value ? first + n / 2 : first;
    return static_cast<std::uint32_t>(first - list.data());
}

// The slots in `list` of the predecessors of one boundary state.  They are
// usually consecutive slots, which one vector comparison confirms;
// otherwise each is found from the one before, or searched for.
inline void assign_slots(std::span<const std::uint32_t> list, std::span<const std::uint32_t> preds,
                         std::uint32_t *slots)
{
    if (preds.empty()) return;
    const std::uint32_t first = slot_of(list, preds[0]);
    if (first + preds.size() <= list.size() &&
        equal_values(list.data() + first, preds.data(), preds.size())) {
        for (std::size_t k = 0; k < preds.size(); ++k)
            slots[k] = first + static_cast<std::uint32_t>(k);
        return;
    }
    std::uint32_t slot = first;
    for (std::size_t k = 0; k < preds.size(); ++k) {
        const bool follows = slot + 1 < list.size() && list[slot + 1] == preds[k];
        slot = follows ? slot + 1 : slot_of(list, preds[k]);
        slots[k] = slot;
    }
}

}  // namespace detail

// Boundary states, ascending.  The first edge of every state is read, from
// `pred` and from `weight`, whatever its count; a first edge out of range of
// either is a fault, reported in the order of the two gathers.
template <class Ptr, class Pred, class Weight>
std::optional<IndexFault> find_boundaries(std::span<const Ptr> ptr, std::span<const Pred> pred,
                                          std::span<const Weight> weight, double identity,
                                          std::vector<std::int64_t> &bnd)
{
    const auto pred_size = static_cast<std::int64_t>(pred.size());
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    const std::int64_t size = std::min(pred_size, weight_size);
    const std::int64_t num_states = std::max<std::int64_t>(std::ssize(ptr) - 1, 0);
    const std::optional<Weight> narrow = detail::narrow_identity<Weight>(identity);
    bnd.clear();
    std::int64_t s = 0;
    while (s < num_states) {
        const int found = narrow && s > 0 && s + detail::state_block <= num_states
                              ? detail::first_boundary_in_block(ptr, pred, weight, *narrow, s)
                              : -1;
        if (found == detail::state_block) {
            s += detail::state_block;
        } else if (found >= 0) {
            bnd.push_back(s + found);
            s += found + 1;
        } else {
            const auto first = static_cast<std::int64_t>(ptr[s]);
            if (first < -size || first >= size) {
                const auto first_edges = ptr.first(static_cast<std::size_t>(num_states));
                return detail::first_edge_fault(first_edges, pred_size, weight_size);
            }
            if (!detail::is_deterministic(ptr, pred, weight, identity, s)) bnd.push_back(s);
            ++s;
        }
    }
    return std::nullopt;
}

// States s >= 1 whose column differs from that of s-1: flagged in one pass
// the compiler vectorises, then found among the flags, which are sparse.
template <class Column>
void column_changes(std::span<const Column> columns, std::vector<std::int64_t> &change)
{
    change.clear();
    if (columns.empty()) return;
    std::vector<std::uint8_t> changed(columns.size());
    for (std::size_t s = 1; s < columns.size(); ++s)
        changed[s] = columns[s] != columns[s - 1];
    detail::append_marked(std::span<const std::uint8_t>(changed), change);
}

#if defined(__SSE2__)
// The same for uint32 columns, the type the decoders bind, in SSE2: sixteen
// states are compared at once, and the few changes found from the bits of
// the comparison.
inline void column_changes(std::span<const std::uint32_t> columns,
                           std::vector<std::int64_t> &change)
{
    change.clear();
    const std::uint32_t *col = columns.data();
    auto differs = [col](std::size_t s) {
        const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i *>(col + s));
        const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i *>(col + s - 1));
        return ~static_cast<unsigned>(
                   _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(cur, prev)))) &
               0xfu;
    };
    std::size_t s = 1;
    for (; s + 16 <= columns.size(); s += 16) {
        unsigned changes =
            differs(s) | differs(s + 4) << 4 | differs(s + 8) << 8 | differs(s + 12) << 12;
        for (; changes != 0; changes &= changes - 1)
            change.push_back(static_cast<std::int64_t>(s) + std::countr_zero(changes));
    }
    for (; s < columns.size(); ++s) {
        if (columns[s] != columns[s - 1]) change.push_back(static_cast<std::int64_t>(s));
    }
}
#endif

// The edge ranges of the boundary states.  They are read from ptr once:
// every later step works from them.
template <class Ptr>
void find_edge_ranges(std::span<const Ptr> ptr, std::span<const std::int64_t> bnd,
                      std::vector<EdgeRange> &ranges)
{
    ranges.resize(bnd.size());
    for (std::size_t j = 0; j < bnd.size(); ++j) {
        ranges[j] = {static_cast<std::int64_t>(ptr[bnd[j]]),
                     static_cast<std::int64_t>(ptr[bnd[j] + 1])};
    }
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

// bnd_ptr: 0, then the running sum of the boundary states' edge counts,
// negative counts included, with int64 wrap-around.
inline void fill_offsets(std::span<const EdgeRange> ranges, std::span<std::int64_t> bnd_ptr)
{
    std::int64_t running = 0;
    bnd_ptr[0] = 0;
    for (std::size_t j = 0; j < ranges.size(); ++j) {
        running = wrapping_add(running, wrapping_sub(ranges[j].hi, ranges[j].lo));
        bnd_ptr[j + 1] = running;
    }
}

inline void fill_states(std::span<const std::int64_t> bnd, std::span<std::uint32_t> bnd_state)
{
    for (std::size_t j = 0; j < bnd.size(); ++j)
        bnd_state[j] = static_cast<std::uint32_t>(bnd[j]);
}

// The predecessor of every boundary edge, in order; the edges are in range.
template <class Pred>
void gather_predecessors(std::span<const Pred> pred, std::span<const EdgeRange> ranges,
                         std::span<std::uint32_t> bnd_orig)
{
    std::uint32_t *out = bnd_orig.data();
    for (const auto [lo, hi] : ranges) {
        out = detail::gather_range(pred, lo, hi, out, [](Pred value) {
            return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
        });
    }
}

// The weight of every boundary edge, rounded to float32; the edges are in
// range.
template <class Weight>
void gather_weights(std::span<const Weight> weight, std::span<const EdgeRange> ranges,
                    std::span<float> bnd_weight)
{
    float *out = bnd_weight.data();
    for (const auto [lo, hi] : ranges) {
        out = detail::gather_range(weight, lo, hi, out, [](Weight value) {
            return static_cast<float>(static_cast<double>(value));
        });
    }
}

// The predecessors of the boundary edges as pieces of `values`, which holds
// them all in order, as gather_predecessors writes them.
inline void cut_pieces(std::span<const EdgeRange> ranges, std::span<const std::uint32_t> values,
                       EdgePieces &pieces)
{
    pieces.clear();
    pieces.reserve(ranges.size());
    std::size_t edge = 0;
    for (const EdgeRange &range : ranges) {
        pieces.push_back(values.subspan(edge, range.count()));
        edge += range.count();
    }
}

// The predecessors of the boundary edges as pieces of `pred` itself, for
// edge ranges that count from its start.
inline void cut_pieces_in_place(std::span<const EdgeRange> ranges,
                                std::span<const std::uint32_t> pred, EdgePieces &pieces)
{
    pieces.clear();
    pieces.reserve(ranges.size());
    for (const EdgeRange &range : ranges)
        pieces.push_back(pred.subspan(static_cast<std::size_t>(range.lo), range.count()));
}

// pred_list: the distinct predecessors of the boundary edges, ascending.
// `num_states` is the number of states, which they are usually below.
inline void distinct_predecessors(const EdgePieces &pieces, std::size_t num_states,
                                  std::vector<std::uint32_t> &pred_list)
{
    detail::distinct_values(pieces, num_states, pred_list);
}

// bnd_src: the slot in pred_list of every boundary edge's predecessor.
// The edges of each boundary state are looked up together.
inline void find_slots(const EdgePieces &pieces, std::span<const std::uint32_t> pred_list,
                       std::span<std::uint32_t> bnd_src)
{
    std::uint32_t *slots = bnd_src.data();
    for (const auto piece : pieces) {
        detail::assign_slots(pred_list, piece, slots);
        slots += piece.size();
    }
}

// The first column fault: a boundary state without a column, or no column
// at all for the first run.
template <class Column>
std::optional<IndexFault> find_column_fault(std::span<const std::int64_t> bnd,
                                            std::span<const Column> columns)
{
    const auto num_columns = static_cast<std::int64_t>(columns.size());
    for (const std::int64_t s : bnd) {
        if (s >= num_columns) return IndexFault{s, num_columns};
    }
    if (columns.empty()) return IndexFault{0, 0};
    return std::nullopt;
}

// The column of every boundary state; find_column_fault found none missing.
template <class Column>
void gather_columns(std::span<const std::int64_t> bnd, std::span<const Column> columns,
                    std::span<std::uint32_t> bnd_dcol)
{
    for (std::size_t j = 0; j < bnd.size(); ++j) {
        bnd_dcol[j] = static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[bnd[j]]));
    }
}

// The ColumnRuns: one run per stretch of equal columns, the last ending at
// num_states, given the states where the column changes.  The first run is
// made to start at state 1: every run member is computed from its left
// neighbour, which state 0 lacks.
template <class Column>
void fill_runs(std::span<const std::int64_t> change, std::span<const Column> columns,
               std::int64_t num_states, std::span<std::int64_t> run_lo,
               std::span<std::int64_t> run_hi, std::span<std::uint32_t> run_col)
{
    run_lo[0] = 1;
    run_col[0] = static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[0]));
    for (std::size_t r = 0; r < change.size(); ++r) {
        run_hi[r] = change[r];
        run_lo[r + 1] = change[r];
        run_col[r + 1] = static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[change[r]]));
    }
    run_hi[change.size()] = num_states;
}

// The whole split in one allocation: the layout a decoder keeps.  Its
// arrays are made together once their lengths are known, so that a
// decoder holds, and later frees, one block rather than ten; each array is
// written in full right after.
struct SplitStorage {
    std::unique_ptr<std::byte[]> block;
    std::span<std::uint32_t> bnd_state;
    std::span<std::uint32_t> pred_list;
    std::span<std::uint32_t> bnd_src;
    std::span<std::uint32_t> bnd_orig;
    std::span<std::int64_t> bnd_ptr;
    std::span<float> bnd_weight;
    std::span<std::uint32_t> bnd_dcol;
    std::span<std::int64_t> run_lo;
    std::span<std::int64_t> run_hi;
    std::span<std::uint32_t> run_col;

    // Makes the arrays: the int64 ones first, which keeps every array
    // aligned to its elements.
    void allocate(std::size_t num_bnd, std::size_t num_pred, std::size_t num_edges,
                  std::size_t num_orig, std::size_t num_runs)
    {
        const std::size_t num_wide = num_bnd + 1 + 2 * num_runs;
        const std::size_t num_narrow = 2 * num_bnd + num_pred + 2 * num_edges + num_orig + num_runs;
        block.reset(new std::byte[8 * num_wide + 4 * num_narrow]);
        auto *wide = reinterpret_cast<std::int64_t *>(block.get());
        bnd_ptr = take(wide, num_bnd + 1);
        run_lo = take(wide, num_runs);
        run_hi = take(wide, num_runs);
        auto *narrow = reinterpret_cast<std::uint32_t *>(wide);
        bnd_state = take(narrow, num_bnd);
        pred_list = take(narrow, num_pred);
        bnd_src = take(narrow, num_edges);
        bnd_orig = take(narrow, num_orig);
        bnd_dcol = take(narrow, num_bnd);
        run_col = take(narrow, num_runs);
        bnd_weight = {reinterpret_cast<float *>(narrow), num_edges};
    }

    LayoutView view() const
    {
        return {bnd_state,  pred_list, bnd_src, bnd_orig, bnd_ptr,
                bnd_weight, bnd_dcol,  run_lo,  run_hi,   run_col};
    }

  private:
    template <class T>
    static std::span<T> take(T *&next, std::size_t length)
    {
        const std::span<T> array(next, length);
        next += length;
        return array;
    }
};

// Runs every step of the split on a graph held as the decoders hold it,
// with the faults of _split_layout in the same order.  The offsets are
// unsigned, so every edge range is one piece of `pred`, read in place; the
// predecessors are gathered into bnd_orig only when `with_orig` is set.
inline std::optional<IndexFault> split_layout(std::span<const std::uint32_t> ptr,
                                              std::span<const std::uint32_t> pred,
                                              std::span<const float> weight,
                                              std::span<const std::uint32_t> columns,
                                              double identity, bool with_orig, SplitStorage &out)
{
    std::vector<std::int64_t> bnd;
    if (auto fault = find_boundaries(ptr, pred, weight, identity, bnd)) return fault;
    const std::span<const std::int64_t> states(bnd);
    std::vector<EdgeRange> ranges;
    find_edge_ranges(ptr, states, ranges);
    if (auto fault = find_edge_fault(ranges, std::ssize(pred))) return fault;
    if (auto fault = find_edge_fault(ranges, std::ssize(weight))) return fault;
    if (auto fault = find_column_fault(states, columns)) return fault;
    EdgePieces pieces;
    cut_pieces_in_place(ranges, pred, pieces);
    std::vector<std::uint32_t> distinct;
    distinct_predecessors(pieces, ptr.size() - 1, distinct);
    std::vector<std::int64_t> change;
    column_changes(columns, change);
    const std::size_t num_edges = count_edges(ranges);
    out.allocate(bnd.size(), distinct.size(), num_edges, with_orig ? num_edges : 0,
                 change.size() + 1);
    std::ranges::copy(distinct, out.pred_list.begin());
    find_slots(pieces, out.pred_list, out.bnd_src);
    if (with_orig) gather_predecessors(pred, std::span<const EdgeRange>(ranges), out.bnd_orig);
    gather_weights(weight, std::span<const EdgeRange>(ranges), out.bnd_weight);
    fill_states(states, out.bnd_state);
    fill_offsets(ranges, out.bnd_ptr);
    gather_columns(states, columns, out.bnd_dcol);
    fill_runs(std::span<const std::int64_t>(change), columns, std::ssize(ptr) - 1, out.run_lo,
              out.run_hi, out.run_col);
    return std::nullopt;
}

}  // namespace plintor::kernels
