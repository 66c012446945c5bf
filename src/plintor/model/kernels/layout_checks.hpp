// The checks that make a graph and a layout safe to run the frame loops
// over: the loops themselves check no index.  A host may replace
// _split_layout, so a layout is checked like any input; each check returns
// what is wrong with it, or nullptr.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <span>
#include <vector>

#include "plan.hpp"
#include "types.hpp"

namespace plintor::kernels {

inline constexpr std::int64_t max_count = std::numeric_limits<std::int32_t>::max();

// The checks below run without early exit, as reductions the compiler
// vectorises: the arrays nearly always pass them.

inline bool offsets_are_valid(std::span<const std::uint32_t> ptr, std::size_t num_edges)
{
    std::uint32_t decreasing = 0;
    for (std::size_t s = 1; s < ptr.size(); ++s)
        decreasing |= ptr[s] < ptr[s - 1];
    return decreasing == 0 && ptr.back() <= num_edges;
}

inline bool all_below(std::span<const std::uint32_t> values, std::uint64_t limit)
{
    std::uint32_t highest = 0;
    for (const std::uint32_t value : values)
        highest = std::max(highest, value);
    return values.empty() || highest < limit;
}

// The same for a limit that is a count, 2**31 - 1 at most.  A value is
// below such a limit exactly when its top bit is clear and subtracting the
// limit wraps around, setting the top bit: both tests join in one AND over
// all values, three vector operations for four values where SSE2 has no
// unsigned maximum.
inline bool all_below_count(std::span<const std::uint32_t> values, std::int32_t count)
{
    const auto limit = static_cast<std::uint32_t>(count);
    std::uint32_t below = ~std::uint32_t{0};
    for (const std::uint32_t value : values)
        below &= ~value & (value - limit);
    return (below >> 31) != 0;
}

inline const char *length_fault(const LayoutView &layout, bool with_orig)
{
    const Py_ssize_t num_bnd = std::ssize(layout.bnd_state);
    const Py_ssize_t num_runs = std::ssize(layout.run_lo);
    if (num_bnd > max_count || std::ssize(layout.pred_list) > max_count || num_runs > max_count ||
        std::ssize(layout.bnd_src) > max_count) {
        return "more than 2**31 - 1 entries";
    }
    if (std::ssize(layout.bnd_ptr) != num_bnd + 1) return "len(bnd_ptr) != len(bnd_state) + 1";
    if (std::ssize(layout.bnd_dcol) != num_bnd) return "len(bnd_dcol) != len(bnd_state)";
    if (std::ssize(layout.run_hi) != num_runs || std::ssize(layout.run_col) != num_runs) {
        return "run_lo, run_hi and run_col differ in length";
    }
    const Py_ssize_t num_edges = std::ssize(layout.bnd_src);
    if (std::ssize(layout.bnd_weight) != num_edges ||
        (with_orig && std::ssize(layout.bnd_orig) != num_edges)) {
        return "the boundary edge arrays differ in length";
    }
    return nullptr;
}

inline const char *edge_fault(const LayoutView &layout, std::int32_t num_states, bool with_orig)
{
    const auto bnd_ptr = layout.bnd_ptr;
    if (bnd_ptr.front() != 0 || bnd_ptr.back() != std::ssize(layout.bnd_src)) {
        return "bnd_ptr must run from 0 to the number of boundary edges";
    }
    if (!std::is_sorted(bnd_ptr.begin(), bnd_ptr.end())) return "bnd_ptr decreases";
    const auto pred_list = layout.pred_list;
    if (!all_below_count(pred_list, num_states) || !all_below_count(layout.bnd_state, num_states)) {
        return "a state index is out of range";
    }
    const auto bnd_src = layout.bnd_src;
    if (!all_below_count(bnd_src, static_cast<std::int32_t>(pred_list.size())))
        return "bnd_src is out of range";
    if (!with_orig) return nullptr;
    const auto bnd_orig = layout.bnd_orig;
    for (std::size_t p = 0; p < bnd_src.size(); ++p) {
        if (bnd_orig[p] != pred_list[bnd_src[p]]) return "bnd_orig != pred_list[bnd_src]";
    }
    return nullptr;
}

// State 0 has no left neighbour to shift from, so it must be a boundary
// state.  Every run must lie in range, an empty one too: the frame loops
// compare the bounds as 32-bit integers, which could turn an empty run into
// a long one.
inline const char *run_fault(const LayoutView &layout, std::int32_t num_states)
{
    if (std::ranges::find(layout.bnd_state, 0u) == layout.bnd_state.end())
        return "state 0 must be a boundary state";
    for (std::size_t r = 0; r < layout.run_lo.size(); ++r) {
        const std::int64_t lo = layout.run_lo[r];
        const std::int64_t hi = layout.run_hi[r];
        if (lo < 1 || lo > num_states || hi < 1 || hi > num_states) return "a run is out of range";
    }
    return nullptr;
}

// Whether every state is a boundary state or in a run, for runs of any
// shape.
inline bool every_state_written(const LayoutView &layout, std::int32_t num_states)
{
    std::vector<std::uint8_t> written(static_cast<std::size_t>(num_states), 0);
    for (const std::uint32_t s : layout.bnd_state)
        written[s] = 1;
    for (std::size_t r = 0; r < layout.run_lo.size(); ++r) {
        if (layout.run_lo[r] >= layout.run_hi[r]) continue;
        std::fill(written.begin() + layout.run_lo[r], written.begin() + layout.run_hi[r], 1);
    }
    return std::ranges::find(written, 0) == written.end();
}

// The largest column a frame reads: those of the boundary states and of the
// non-empty runs.
inline std::uint32_t largest_column(const LayoutView &layout)
{
    std::uint32_t max_col = 0;
    for (const std::uint32_t col : layout.bnd_dcol)
        max_col = std::max(max_col, col);
    for (std::size_t r = 0; r < layout.run_lo.size(); ++r) {
        if (layout.run_lo[r] < layout.run_hi[r]) max_col = std::max(max_col, layout.run_col[r]);
    }
    return max_col;
}

// Every state must be written in every frame, so that no frame reads what
// an earlier one left behind.  Runs that follow each other from state 1 to
// the last state, as _split_layout makes them, are checked without a pass
// over the states; their bounds are in range by then, so reading them as
// 32-bit integers changes nothing.
inline const char *coverage_fault(const LayoutView &layout, std::int32_t num_states,
                                  std::uint32_t *max_column)
{
    if (const char *fault = run_fault(layout, num_states)) return fault;
    if (!runs_tile_states(layout.run_lo, layout.run_hi, num_states) &&
        !every_state_written(layout, num_states))
        return "a state is in no run and is not a boundary state";
    *max_column = largest_column(layout);
    return nullptr;
}

// What is wrong with a layout of num_states states, or nullptr: lengths,
// index ranges, monotone offsets, state 0 a boundary state and every other
// state written in each frame.  On success `*max_column` is the largest
// observation column a frame reads.
inline const char *layout_fault(const LayoutView &layout, std::int32_t num_states, bool with_orig,
                                std::uint32_t *max_column)
{
    if (const char *fault = length_fault(layout, with_orig)) return fault;
    if (const char *fault = edge_fault(layout, num_states, with_orig)) return fault;
    return coverage_fault(layout, num_states, max_column);
}

}  // namespace plintor::kernels
