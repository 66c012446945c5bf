// Facts about a layout that let the frame loops take their vector paths,
// found once per decode call or per decoder, never per frame.
//
// Every path computes the same values in the same order as the plain loops;
// a layout that lacks one of these shapes (a host may replace _split_layout)
// simply takes the plain loop for that part.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

namespace plintor::kernels {

// The SplitLayout as the frame loops read it.  The forward decoder does not
// backtrack and leaves bnd_orig empty.
struct LayoutView {
    std::span<const std::uint32_t> bnd_state;
    std::span<const std::uint32_t> pred_list;
    std::span<const std::uint32_t> bnd_src;
    std::span<const std::uint32_t> bnd_orig;
    std::span<const std::int64_t> bnd_ptr;
    std::span<const float> bnd_weight;
    std::span<const std::uint32_t> bnd_dcol;
    std::span<const std::int64_t> run_lo;
    std::span<const std::int64_t> run_hi;
    std::span<const std::uint32_t> run_col;
};

// Marks a boundary whose edges do not read consecutive pred_list slots.
inline constexpr std::uint32_t no_slot = std::numeric_limits<std::uint32_t>::max();

struct FramePlan {
    // The column of every state, when the runs tile the states 1..N-1 one
    // after another: the shift then runs over all of them at once, taking
    // each state's density from its column.  Empty otherwise.
    std::span<const std::uint8_t> state_col;
    // Per boundary: the pred_list slot its first edge reads when its edges
    // read consecutive slots, so their scores load as one vector; else
    // no_slot.
    std::span<const std::uint32_t> first_slot;
    // Whether bnd_state strictly ascends, so that one pass in state order
    // can both write the boundary masses and sum the frame.
    bool ascending = false;
};

// Whether runs lo..hi, read as 32-bit integers like the frame loops read
// them, follow each other from state 1 to state num_states - 1.
inline bool runs_tile_states(std::span<const std::int64_t> run_lo,
                             std::span<const std::int64_t> run_hi, std::int32_t num_states)
{
    std::int32_t next = 1;
    for (std::size_t r = 0; r < run_lo.size(); ++r) {
        const auto lo = static_cast<std::int32_t>(run_lo[r]);
        const auto hi = static_cast<std::int32_t>(run_hi[r]);
        if (lo != next || hi < lo) return false;
        next = hi;
    }
    return next == num_states;
}

// state_col[s] for every state of the tiling runs; state 0, in no run,
// gets column 0, which nothing reads.
inline void fill_state_columns(std::span<const std::int64_t> run_lo,
                               std::span<const std::int64_t> run_hi,
                               std::span<const std::uint32_t> run_col,
                               std::span<std::uint8_t> state_col)
{
    state_col[0] = 0;
    // std::fill with the bounds in locals: byte stores may alias anything,
    // so a plain loop would reload the run's bounds after every store.
    for (std::size_t r = 0; r < run_lo.size(); ++r) {
        const auto lo = static_cast<std::size_t>(run_lo[r]);
        const auto hi = static_cast<std::size_t>(run_hi[r]);
        std::fill(state_col.begin() + lo, state_col.begin() + hi,
                  static_cast<std::uint8_t>(run_col[r]));
    }
}

inline void fill_first_slots(std::span<const std::int64_t> bnd_ptr,
                             std::span<const std::uint32_t> bnd_src,
                             std::span<std::uint32_t> first_slot)
{
    for (std::size_t j = 0; j + 1 < bnd_ptr.size(); ++j) {
        const std::int64_t lo = bnd_ptr[j];
        const std::int64_t hi = bnd_ptr[j + 1];
        // Without an early exit the test vectorises; nearly every boundary
        // passes it anyway.  A step other than one leaves bits in `gaps`.
        std::uint32_t gaps = 0;
        for (auto p = static_cast<std::size_t>(lo) + 1; p < static_cast<std::size_t>(hi); ++p)
            gaps |= bnd_src[p] - bnd_src[p - 1] - 1;
        first_slot[j] = gaps == 0 && lo < hi ? bnd_src[lo] : no_slot;
    }
}

inline bool strictly_ascending(std::span<const std::uint32_t> values)
{
    for (std::size_t i = 1; i < values.size(); ++i) {
        if (values[i] <= values[i - 1]) return false;
    }
    return true;
}

// What a FramePlan refers to, owned for as long as the plan is used, in
// one allocation: a decoder keeps its plan for its whole life.
struct PlanStorage {
    std::unique_ptr<std::byte[]> block;
    std::span<std::uint8_t> state_col;
    std::span<std::uint32_t> first_slot;
    bool ascending = false;

    // Makes both arrays, first_slot first to keep it aligned.
    void allocate(std::size_t num_cols, std::size_t num_slots)
    {
        block.reset(new std::byte[4 * num_slots + num_cols]);
        auto *slots = reinterpret_cast<std::uint32_t *>(block.get());
        first_slot = {slots, num_slots};
        state_col = {reinterpret_cast<std::uint8_t *>(slots + num_slots), num_cols};
    }

    FramePlan view() const { return {state_col, first_slot, ascending}; }
};

// The plan of a checked layout of num_states states.
inline void make_plan(const LayoutView &in, std::int32_t num_states, PlanStorage &plan)
{
    const bool tiled = runs_tile_states(in.run_lo, in.run_hi, num_states);
    plan.allocate(tiled ? static_cast<std::size_t>(num_states) : 0, in.bnd_state.size());
    if (tiled) fill_state_columns(in.run_lo, in.run_hi, in.run_col, plan.state_col);
    fill_first_slots(in.bnd_ptr, in.bnd_src, plan.first_slot);
    plan.ascending = strictly_ascending(in.bnd_state);
}

}  // namespace plintor::kernels
