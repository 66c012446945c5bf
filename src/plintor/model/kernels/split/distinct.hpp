// The distinct predecessors of the boundary edges (pred_list) and the slot
// of every edge's predecessor among them (bnd_src).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "index_rules.hpp"

namespace plintor::kernels {

// The predecessors of the boundary edges, one piece per boundary state.
using EdgePieces = std::vector<std::span<const std::uint32_t>>;

namespace detail {

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

}  // namespace plintor::kernels
