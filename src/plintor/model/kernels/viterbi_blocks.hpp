// The Viterbi loop over block_frames frames at a time, for one instruction
// set, where the plan allows it (see blocks_fit in plan.hpp).  A frame-by-
// frame pass reads and writes every state's score once per frame, and the
// group tables are read once per frame; a block does both once for all of
// its frames.
//
// The values are the frame-by-frame loop's, from the same additions in the
// same order: a state's score at the block's last frame is its score k
// frames back plus the k densities in between, added one frame after the
// other, where k is block_frames, or fewer for a state fewer than
// block_frames states past a boundary, which then starts from the
// boundary's score at that frame.  The boundaries of each frame are reduced
// over the scores of the frame before, with the group reduction's own rule.
//
// Included by viterbi_frames.cpp only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "frame_steps.hpp"
#include "simd_group.hpp"
#include "viterbi.hpp"

namespace plintor::kernels::PLINTOR_ISA {

namespace {

constexpr int block = block_frames;

// The densities of the frames of one block, and the scores of pred_list
// at each frame but the last, in plan.block_scores.
struct Block {
    FrameDensities frames[block];
    // pl_rows[k]: the scores of pred_list at frame k - 1 of the block, the
    // scores before it for k = 0.
    float *pl_rows[block] = {};

    Block(const FramePlan &plan, float *pl, std::size_t num_pred)
    {
        pl_rows[0] = pl;
        if (plan.block_scores.empty()) return;
        for (int k = 1; k < block; ++k)
            pl_rows[k] = plan.block_scores.data() + (k - 1) * num_pred;
    }

    void load(const Densities &dens, std::int32_t t)
    {
        const auto num_cols = static_cast<std::size_t>(dens.num_cols);
        for (int k = 0; k < block; ++k)
            frames[k].load(dens.data + static_cast<std::size_t>(t + k) * num_cols, num_cols);
    }

    // The score at the block's frame `last` of a state that `steps` frames
    // earlier scored `score`, through the states after it, whose columns
    // start at col[1]: the shift's additions, in frame order.
    float carry(float score, const std::uint8_t *col, int last, int steps) const
    {
        for (int i = 1; i <= steps; ++i)
            score = score + frames[last - steps + i].d[col[i]];
        return score;
    }
};

// The scores of the pred_list states at each frame of the block but the
// last, pl_rows[k][i] for pred_list[i], state by state in pred_list order:
// a state k frames into the block carries its score from k states back,
// since blocks_fit keeps the boundaries away from it.  The shift carries
// them as it goes, while the scores it has just read are in the cache.
class PredScores {
  public:
    PredScores(std::span<const std::uint32_t> pred_list, const std::uint8_t *col, const float *prev,
               Block &b)
        : pred_list_(pred_list), col_(col), prev_(prev), b_(b)
    {
    }

    // The states of pred_list, in its order, until one at or past `end`;
    // returns that one, or the largest int32 when none is left, so that the
    // shift checks one number per vector.
    std::int32_t up_to(std::int32_t end)
    {
        const auto stop = static_cast<std::uint32_t>(end);
        for (; next_ < pred_list_.size(); ++next_) {
            if (pred_list_[next_] >= stop) return static_cast<std::int32_t>(pred_list_[next_]);
            carry(next_);
        }
        return std::numeric_limits<std::int32_t>::max();
    }

  private:
    void carry(std::size_t i)
    {
        const std::uint32_t p = pred_list_[i];
        b_.pl_rows[0][i] = prev_[p];
        for (int k = 1; k < block; ++k)
            b_.pl_rows[k][i] = b_.carry(prev_[p - k], col_ + p - k, k - 1, k);
    }

    std::span<const std::uint32_t> pred_list_;
    const std::uint8_t *col_;
    const float *prev_;
    Block &b_;
    std::size_t next_ = 0;
};

// The boundaries of group g at every frame of the block, frame k into
// best[k] and where[k]: per frame the group reduction's strict scan in slot
// order, the weights and slots loaded once for all the frames.
void reduce_group_block(const BoundaryGroups &groups, std::size_t g, const Block &b,
                        float (&best_out)[block][group_lanes],
                        std::uint32_t (&where_out)[block][group_lanes])
{
    Group::F dens[block];
    Group::F best[block];
    Group::I where[block];
    for (int k = 0; k < block; ++k) {
        dens[k] = Group::densities(b.frames[k].d, groups.lane_col.data() + group_lanes * g);
        best[k] = Group::minus_infinity();
        where[k] = Group::no_slot();
    }
    const float *weight = groups.entry_weight.data() + group_lanes * groups.entry_ptr[g];
    const std::uint32_t *slot = groups.entry_slot.data() + groups.entry_ptr[g];
    const std::uint32_t *end = groups.entry_slot.data() + groups.entry_ptr[g + 1];
    for (; slot < end; ++slot, weight += group_lanes) {
        for (int k = 0; k < block; ++k)
            Group::keep(Group::candidate(b.pl_rows[k] + *slot, weight, dens[k]), slot, best[k],
                        where[k]);
    }
    for (int k = 0; k < block; ++k) {
        Group::store(best_out[k], best[k]);
        Group::store(where_out[k], where[k]);
    }
}

// b[s] for the states block..n-1 from a[s - block], the densities of the
// block's frames added in frame order, each from the column of the state
// the score has reached by then, carrying `preds` as it passes them.  The
// states this reads wrongly, the boundaries and the states fewer than
// `block` states past one, are written again by settle_group.
template <bool narrow>
void shift_block(const std::uint8_t *col, const Block &blk, std::int32_t n, const float *a,
                 float *b, PredScores &preds)
{
    if (n - block < 2 * width) {
        preds.up_to(n);
        for (std::int32_t s = block; s < n; ++s)
            b[s] = blk.carry(a[s - block], col + s - block, block - 1, block);
        return;
    }
    typename Vec::Table tables[block];
    for (int k = 0; k < block; ++k)
        tables[k] = Vec::table(blk.frames[k].d);
    auto one = [&](std::int32_t s) {
        Vec::F score = Vec::load(a + s - block);
        for (int k = 0; k < block; ++k)
            score = Vec::add(score, density_lookup<narrow>(tables[k], col + s - block + 1 + k));
        Vec::store(b + s, score);
    };
    one(block);
    std::int32_t s = first_aligned_state(b + block - 1) + block - 1;
    std::int32_t next_pred = 0;
    for (; s + width <= n; s += width) {
        one(s);
        if (s > next_pred) next_pred = preds.up_to(s);
    }
    if (s < n) one(n - width);
    preds.up_to(n);
}

// The line the caches fetch, in bytes, on the targets built for; a
// back-pointer row holds one for every groups_per_line groups.
constexpr std::size_t cache_line = 64;
constexpr std::size_t groups_per_line = cache_line / (group_lanes * sizeof(std::uint32_t));

// Asks for the back-pointers of the boundaries from `first` on in the rows
// of frames next .. next + count - 1, to be brought in for writing.  The
// rows are new to the caches.  A block asks for the next block's rows a line
// at a time, as its groups reach them, which spreads the requests over its
// work: asked for all at once at its start, they queued behind each other,
// and the 4/4 bar grid's blocks took 2.5 % longer.
void prefetch_group(const BackPointers &bt, std::int32_t next, std::int32_t count,
                    std::size_t first)
{
    for (std::int32_t k = 0; k < count; ++k)
        __builtin_prefetch(bt.row(next + k) + first, 1);
}

// The boundaries of group g at every frame of the block, and what follows
// from them at the block's last frame: each boundary's score, and each
// state fewer than `block` states past it, before the next boundary, from
// the boundary's score at the frame that many back.  A back-pointer is
// written only when a candidate beats minus infinity.  Every
// groups_per_line groups, it asks for the next `ahead` rows' line.
void settle_group(const LayoutView &layout, const BoundaryGroups &groups, std::size_t g,
                  const std::uint8_t *col, const Block &b, std::int32_t t, std::int32_t ahead,
                  const BackPointers &bt, ViterbiScores &scores)
{
    alignas(32) float best[block][group_lanes];
    alignas(32) std::uint32_t where[block][group_lanes];
    reduce_group_block(groups, g, b, best, where);
    const std::size_t num_bnd = layout.bnd_state.size();
    const std::size_t first = group_lanes * g;
    const std::size_t count = std::min(group_lanes, num_bnd - first);
    // The pointers are taken once, before the stores: a store may alias any
    // object whose address has left the function, the layout, the table and
    // the scores included, which had them loaded again for every store.
    std::uint32_t *rows[block];
    for (int k = 0; k < block; ++k)
        rows[k] = bt.row(t + k) + first;
    if (g % groups_per_line == 0) prefetch_group(bt, t + block, ahead, first);
    const std::uint32_t *pred_list = layout.pred_list.data();
    const std::uint32_t *states = layout.bnd_state.data() + first;
    const std::int32_t num_states = scores.num_states;
    float *cur = scores.cur;
    for (std::size_t i = 0; i < count; ++i) {
        for (int k = 0; k < block; ++k) {
            if (best[k][i] > minus_infinity) rows[k][i] = pred_list[where[k][i]];
        }
        const auto s = static_cast<std::int32_t>(states[i]);
        const auto next =
            first + i + 1 < num_bnd ? static_cast<std::int32_t>(states[i + 1]) : num_states;
        cur[s] = best[block - 1][i];
        for (int m = 1; m < block && s + m < next; ++m)
            cur[s + m] = b.carry(best[block - 1 - m][i], col + s, block - 1, m);
    }
}

// Frames t .. t + block - 1, from scores.prev into scores.cur.
void viterbi_block(const LayoutView &layout, const FramePlan &plan, const Densities &dens,
                   bool narrow, std::int32_t t, Block &b, const BackPointers &bt,
                   ViterbiScores &scores)
{
    const std::uint8_t *col = plan.state_col.data();
    b.load(dens, t);
    PredScores preds(layout.pred_list, col, scores.prev, b);
    if (narrow)
        shift_block<true>(col, b, scores.num_states, scores.prev, scores.cur, preds);
    else
        shift_block<false>(col, b, scores.num_states, scores.prev, scores.cur, preds);
    const std::int32_t ahead = std::min(block, dens.num_frames - (t + block));
    for (std::size_t g = 0; g + 1 < plan.groups.entry_ptr.size(); ++g)
        settle_group(layout, plan.groups, g, col, b, t, ahead, bt, scores);
}

}  // namespace

}  // namespace plintor::kernels::PLINTOR_ISA
