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
#include <utility>

#include "boundary_groups.hpp"
#include "types.hpp"

namespace plintor::kernels {

// Marks a boundary whose edges do not read consecutive pred_list slots.
inline constexpr std::uint32_t no_slot = std::numeric_limits<std::uint32_t>::max();

// The forward loop forms the boundary edges' products this many at a time.
inline constexpr std::int64_t product_block = 8;

// The Viterbi loop takes this many frames in one pass over the states where
// the layout allows it (see blocks_fit): the scores stream through the
// caches once per block instead of once per frame.
inline constexpr std::int32_t block_frames = 4;

// product_block consecutive edges of one boundary, which read consecutive
// pred_list slots.  Edges number fewer than 2**31, as every array does.
struct ProductBlock {
    std::uint32_t slot;  // the slot the first edge reads
    std::uint32_t edge;  // the first edge
};

struct FramePlan {
    // The column of every state, when the runs tile the states 1..N-1 one
    // after another: the shift then runs over all of them at once, taking
    // each state's density from its column.  Empty otherwise.
    std::span<const std::uint8_t> state_col;
    // Per boundary: the pred_list slot its first edge reads when its edges
    // read consecutive slots, so their scores load as one vector; else
    // no_slot.
    std::span<const std::uint32_t> first_slot;
    // The edges of the boundaries with a first slot and at least
    // product_block edges, in blocks (a boundary's last block may overlap
    // the one before it), so that one loop with a fixed body forms all their
    // products; the other boundaries, in loose_boundaries, take the plain
    // loop.  Only the forward loop reads these.
    std::span<const ProductBlock> product_blocks;
    std::span<const std::uint32_t> loose_boundaries;
    // Whether bnd_state strictly ascends, so that one pass in state order
    // can both write the boundary masses and sum the frame.
    bool ascending = false;
    // The Viterbi loop's boundary groups, where the layout allows them.
    BoundaryGroups groups;
    // Where the Viterbi loop keeps the scores of pred_list at a block's
    // frames before its last, block_frames - 1 rows of at least one score.
    // Empty where the layout takes no blocks.
    std::span<float> block_scores;
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

// Splits the boundaries into blocks and loose boundaries; returns the
// number of each.
inline std::pair<std::size_t, std::size_t> fill_product_blocks(
    std::span<const std::int64_t> bnd_ptr, std::span<const std::uint32_t> first_slot,
    std::span<ProductBlock> blocks, std::span<std::uint32_t> loose)
{
    std::size_t num_blocks = 0;
    std::size_t num_loose = 0;
    for (std::size_t j = 0; j < first_slot.size(); ++j) {
        const std::int64_t lo = bnd_ptr[j];
        const std::int64_t n = bnd_ptr[j + 1] - lo;
        if (first_slot[j] == no_slot || n < product_block) {
            loose[num_loose++] = static_cast<std::uint32_t>(j);
            continue;
        }
        auto block_at = [&](std::int64_t k) {
            blocks[num_blocks++] = {static_cast<std::uint32_t>(first_slot[j] + k),
                                    static_cast<std::uint32_t>(lo + k)};
        };
        std::int64_t k = 0;
        for (; k + product_block <= n; k += product_block)
            block_at(k);
        if (k < n) block_at(n - product_block);
    }
    return {num_blocks, num_loose};
}

// Whether the Viterbi loop may take frames in blocks: the shift runs over all
// states, the groups reduce the boundaries, the boundaries ascend from state
// 0, and every state that a boundary reads lies at least block_frames - 1
// states past the last boundary before it.  Its scores through a block then
// follow from the scores before the block by the shift alone, so the
// boundaries of every frame of the block reduce without the scores of the
// frames in between.
inline bool blocks_fit(const LayoutView &in, bool tiled, const BoundaryGroups &groups,
                       bool ascending)
{
    if (!tiled || groups.entry_ptr.empty() || !ascending || in.bnd_state[0] != 0) return false;
    for (const std::uint32_t p : in.pred_list) {
        const auto after = std::upper_bound(in.bnd_state.begin(), in.bnd_state.end(), p);
        if (p - *(after - 1) < static_cast<std::uint32_t>(block_frames - 1)) return false;
    }
    return true;
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
    std::span<ProductBlock> product_blocks;
    std::span<std::uint32_t> loose_boundaries;
    bool ascending = false;
    GroupStorage groups;
    std::unique_ptr<float[]> block_scores_storage;
    std::span<float> block_scores;

    // Makes the arrays, widest elements first to keep each aligned; the
    // product blocks and loose boundaries get room for as many as there can
    // be, and make_plan trims their spans.
    void allocate(std::size_t num_cols, std::size_t num_bnd, std::size_t num_edges)
    {
        const std::size_t max_blocks = num_edges / product_block + num_bnd;
        block.reset(new std::byte[sizeof(ProductBlock) * max_blocks + 8 * num_bnd + num_cols]);
        auto *blocks = reinterpret_cast<ProductBlock *>(block.get());
        product_blocks = {blocks, max_blocks};
        auto *slots = reinterpret_cast<std::uint32_t *>(blocks + max_blocks);
        first_slot = {slots, num_bnd};
        loose_boundaries = {slots + num_bnd, num_bnd};
        state_col = {reinterpret_cast<std::uint8_t *>(slots + 2 * num_bnd), num_cols};
    }

    FramePlan view() const
    {
        return {state_col, first_slot,  product_blocks, loose_boundaries,
                ascending, groups.view, block_scores};
    }

    void allocate_block_scores(std::size_t num_pred)
    {
        const std::size_t size = (block_frames - 1) * std::max<std::size_t>(num_pred, 1);
        block_scores_storage.reset(new float[size]);
        block_scores = {block_scores_storage.get(), size};
    }
};

// The plan of a checked layout of num_states states.
inline void make_plan(const LayoutView &in, std::int32_t num_states, PlanStorage &plan)
{
    const bool tiled = runs_tile_states(in.run_lo, in.run_hi, num_states);
    plan.allocate(tiled ? static_cast<std::size_t>(num_states) : 0, in.bnd_state.size(),
                  in.bnd_src.size());
    if (tiled) fill_state_columns(in.run_lo, in.run_hi, in.run_col, plan.state_col);
    fill_first_slots(in.bnd_ptr, in.bnd_src, plan.first_slot);
    const auto [num_blocks, num_loose] = fill_product_blocks(
        in.bnd_ptr, plan.first_slot, plan.product_blocks, plan.loose_boundaries);
    plan.product_blocks = plan.product_blocks.first(num_blocks);
    plan.loose_boundaries = plan.loose_boundaries.first(num_loose);
    plan.ascending = strictly_ascending(in.bnd_state);
    plan.groups.make(in);
    if (blocks_fit(in, tiled, plan.groups.view, plan.ascending))
        plan.allocate_block_scores(in.pred_list.size());
}

}  // namespace plintor::kernels
