// The Viterbi frame loop, for one instruction set (see frame_steps.hpp):
// per frame the shift of the runs, then each boundary state's best edge and
// its back-pointer, and every renorm_period frames the renormalisation.
// Where the plan allows it, frames run block_frames at a time instead
// (viterbi_blocks.hpp), with the same result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "frame_steps.hpp"
#include "simd_group.hpp"
#include "viterbi.hpp"
#include "viterbi_blocks.hpp"

namespace plintor::kernels::PLINTOR_ISA {

namespace {

// The first of the n (at least `width`) edges whose candidate
// (pl[k] + w[k]) + density is largest, or -1 when none beats minus
// infinity.  Each lane keeps its own strictly-greater winner (as the first
// edge of the vector it came in, the lane offset added at the end), so a lane
// holds the earliest index of its own maximum; the earliest index among the
// lanes that hold the overall maximum is then the plain scan's winner.  The
// last vector may revisit edges: a revisited edge brings the same candidate
// and index again, which changes no lane's earliest maximum.
std::int32_t first_best_edge(const float *pl, const float *w, std::int32_t n, float density)
{
    const Vec::F dvec = Vec::broadcast(density);
    Vec::F best = Vec::broadcast(minus_infinity);
    Vec::I where = Vec::broadcast_index(0);
    auto visit = [&](std::int32_t k) {
        const Vec::F candidate = Vec::add(Vec::add(Vec::load(pl + k), Vec::load(w + k)), dvec);
        const Vec::M wins = Vec::greater(candidate, best);
        best = Vec::select(wins, candidate, best);
        where = Vec::select(wins, Vec::broadcast_index(k), where);
    };
    std::int32_t k = 0;
    for (; k + width < n; k += width)
        visit(k);
    visit(n - width);
    const float top = Vec::max_lane(best);
    if (!(top > minus_infinity)) return -1;
    const Vec::M holds_top = Vec::equal(best, Vec::broadcast(top));
    const Vec::I edge = Vec::add(where, Vec::lane_index());
    return Vec::min_lane(Vec::select(holds_top, edge, Vec::broadcast_index(no_index)));
}

// One boundary, edge by edge.  A back-pointer is written only when a
// candidate beats minus infinity.
float reduce_edges(const LayoutView &layout, std::int64_t lo, std::int64_t hi, float density,
                   const float *pl, std::uint32_t &back)
{
    float best = minus_infinity;
    for (std::int64_t p = lo; p < hi; ++p) {
        const float candidate = (pl[layout.bnd_src[p]] + layout.bnd_weight[p]) + density;
        if (candidate > best) {
            best = candidate;
            back = layout.bnd_orig[p];
        }
    }
    return best;
}

// The boundaries of group g from its slots, into group_lanes best scores
// and winning slots.  The slots are scanned as two halves at once, so that
// two chains of comparisons overlap; the later half's winner stands where
// its best is strictly greater, which keeps the earliest winner on a tie.
void reduce_group(const BoundaryGroups &groups, std::size_t g, const float *d, const float *pl,
                  float *best_out, std::uint32_t *where_out)
{
    const Group::F dens = Group::densities(d, groups.lane_col.data() + group_lanes * g);
    const std::uint32_t lo = groups.entry_ptr[g];
    const std::uint32_t hi = groups.entry_ptr[g + 1];
    const std::uint32_t half = (hi - lo) / 2;
    const std::uint32_t *slot = groups.entry_slot.data() + lo;
    const std::uint32_t *later_slot = slot + half;
    const float *weight = groups.entry_weight.data() + group_lanes * lo;
    const float *later_weight = weight + group_lanes * half;
    Group::F best = Group::minus_infinity();
    Group::F later_best = best;
    Group::I where = Group::no_slot();
    Group::I later_where = where;
    for (std::uint32_t k = 0; k < half; ++k) {
        Group::keep(Group::candidate(pl + slot[k], weight, dens), slot + k, best, where);
        Group::keep(Group::candidate(pl + later_slot[k], later_weight, dens), later_slot + k,
                    later_best, later_where);
        weight += group_lanes;
        later_weight += group_lanes;
    }
    if (lo + 2 * half < hi) {
        Group::keep(Group::candidate(pl + later_slot[half], later_weight, dens), later_slot + half,
                    later_best, later_where);
    }
    Group::join(later_best, later_where, best, where);
    Group::store(best_out, best);
    Group::store(where_out, where);
}

// Every boundary through its group; a back-pointer is written only when a
// candidate beats minus infinity.
void reduce_groups(const LayoutView &layout, const BoundaryGroups &groups, const float *d,
                   const float *pl, float *cur, std::uint32_t *bt_row)
{
    const std::size_t num_bnd = layout.bnd_state.size();
    for (std::size_t g = 0; g + 1 < groups.entry_ptr.size(); ++g) {
        alignas(32) float best[group_lanes];
        alignas(32) std::uint32_t where[group_lanes];
        reduce_group(groups, g, d, pl, best, where);
        const std::size_t first = group_lanes * g;
        const std::size_t count = std::min(group_lanes, num_bnd - first);
        for (std::size_t i = 0; i < count; ++i) {
            cur[layout.bnd_state[first + i]] = best[i];
            if (best[i] > minus_infinity) bt_row[first + i] = layout.pred_list[where[i]];
        }
    }
}

void reduce_boundaries(const LayoutView &layout, const FramePlan &plan, const float *d,
                       const float *pl, float *cur, std::uint32_t *bt_row)
{
    if (!plan.groups.entry_ptr.empty()) {
        reduce_groups(layout, plan.groups, d, pl, cur, bt_row);
        return;
    }
    const float *weight = layout.bnd_weight.data();
    for (std::size_t j = 0; j < layout.bnd_state.size(); ++j) {
        const float density = d[layout.bnd_dcol[j]];
        const std::int64_t lo = layout.bnd_ptr[j];
        const std::int64_t hi = layout.bnd_ptr[j + 1];
        const std::uint32_t slot = plan.first_slot[j];
        float best = minus_infinity;
        if (slot != no_slot && hi - lo >= width) {
            const auto n = static_cast<std::int32_t>(hi - lo);
            const std::int32_t k = first_best_edge(pl + slot, weight + lo, n, density);
            if (k >= 0) {
                best = (pl[slot + k] + weight[lo + k]) + density;
                bt_row[j] = layout.bnd_orig[lo + k];
            }
        } else {
            best = reduce_edges(layout, lo, hi, density, pl, bt_row[j]);
        }
        cur[layout.bnd_state[j]] = best;
    }
}

// Subtracts the frame's best score and accounts for it in `offset`.  The
// maximum is a strict left-to-right scan from scores[0], which fixes the
// outcome for NaNs and signed zeros; a frame whose best score is minus
// infinity or NaN is left as it is.  It runs once every renorm_period
// frames, so it stays a plain loop.
void renormalise(float *scores, std::int32_t num_states, double &offset)
{
    float top = scores[0];
    for (std::int32_t s = 1; s < num_states; ++s) {
        if (scores[s] > top) top = scores[s];
    }
    if (!(top > minus_infinity)) return;
    for (std::int32_t s = 0; s < num_states; ++s)
        scores[s] -= top;
    offset += static_cast<double>(top);
}

// Whether frames t .. t + block - 1 may run as one block: the plan allows
// it, they exist, and none before the last is renormalised after.
bool block_at(const FramePlan &plan, std::int32_t t, std::int32_t num_frames,
              std::int32_t renorm_period)
{
    if (plan.block_scores.empty() || num_frames - t < block) return false;
    return renorm_period <= 0 || renorm_period - t % renorm_period >= block;
}

// Asks for the back-pointer row of frame t, if there is one, to be brought
// in for writing while the frame before it runs.  Each frame writes a row
// the caches have never held, a boundary group at a time: without the
// request, the stores waited on memory at every new line.  A block asks for
// its next rows itself, group by group (see prefetch_group).
void prefetch_row(const BackPointers &bt, std::int32_t t, std::int32_t num_frames)
{
    if (t >= num_frames) return;
    const auto *row = reinterpret_cast<const char *>(bt.row(t));
    for (std::size_t at = 0; at < bt.stride * sizeof(std::uint32_t); at += cache_line)
        __builtin_prefetch(row + at, 1);
}

void viterbi_frame(const LayoutView &layout, const FramePlan &plan, const Densities &dens,
                   bool narrow, std::int32_t t, FrameDensities &frame, float *pl,
                   const BackPointers &bt, ViterbiScores &scores)
{
    const auto num_cols = static_cast<std::size_t>(dens.num_cols);
    frame.load(dens.data + static_cast<std::size_t>(t) * num_cols, num_cols);
    gather(layout.pred_list, scores.prev, pl);
    shift(Add{}, {layout.run_lo, layout.run_hi, layout.run_col}, plan, frame.d, narrow,
          scores.num_states, scores.prev, scores.cur);
    reduce_boundaries(layout, plan, frame.d, pl, scores.cur, bt.row(t));
}

}  // namespace

void viterbi_frames(const LayoutView &layout, const FramePlan &plan, const Densities &dens,
                    std::int32_t renorm_period, float *pl, const BackPointers &bt,
                    ViterbiScores &scores)
{
    FrameDensities frame;
    Block blk(plan, pl, layout.pred_list.size());
    const bool narrow = narrow_columns(static_cast<std::size_t>(dens.num_cols));
    for (std::int32_t t = 0; t < dens.num_frames;) {
        if (block_at(plan, t, dens.num_frames, renorm_period)) {
            viterbi_block(layout, plan, dens, narrow, t, blk, bt, scores);
            t += block;
        } else {
            prefetch_row(bt, t + 1, dens.num_frames);
            viterbi_frame(layout, plan, dens, narrow, t, frame, pl, bt, scores);
            t += 1;
        }
        if (renorm_period > 0 && t % renorm_period == 0)
            renormalise(scores.cur, scores.num_states, scores.offset);
        float *done = scores.cur;
        scores.cur = scores.prev;
        scores.prev = done;
    }
}

}  // namespace plintor::kernels::PLINTOR_ISA
