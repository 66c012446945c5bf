// Viterbi decoding over the tempo-lane grid, in float32.
//
// An interior state's only predecessor is s-1 at log-probability 0, so its
// score is the previous frame shifted by one state plus the density of its
// column: a stride-1 add over each ColumnRun.  Only boundary states take a
// maximum over their predecessors, and only they store back-pointers; an
// interior state's back-pointer is always s-1.
//
// Every result is defined bit for bit: additions are float32 in a fixed
// order, maxima are strict (ties keep the earliest edge or lowest state, a
// NaN never wins) and the amounts that renormalisation subtracts add up in
// double precision.  The frame loop (viterbi_frames.cpp) allocates nothing and
// checks no index: the caller has checked the layout against the buffers
// beforehand.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "plan.hpp"
#include "types.hpp"

namespace plintor::kernels {

// The score of what cannot happen.
inline constexpr float minus_infinity = -std::numeric_limits<float>::infinity();

// Observation log-densities, row-major (num_frames, num_cols).
struct Densities {
    const float *data;
    std::int32_t num_frames;
    std::int32_t num_cols;
};

// Back-pointer table, row-major (num_frames, stride): entry (t, j) is the
// state at frame t-1 from which boundary j is best reached at frame t.
struct BackPointers {
    std::uint32_t *data;
    std::size_t stride;  // the number of boundaries, at least 1

    std::uint32_t *row(std::int32_t t) const { return data + static_cast<std::size_t>(t) * stride; }
};

// The two score buffers of the recursion, which trade places every frame,
// and the sum of everything renormalisation has subtracted from the scores.
struct ViterbiScores {
    float *prev;  // the last frame's scores; the initial scores before frame 0
    float *cur;   // receives the next frame's scores
    std::int32_t num_states;
    double offset = 0.0;
};

// Runs the recursion over every frame.  Afterwards `scores.prev` holds the
// last frame's scores and bt row t the back-pointers of frame t.  `pl` has
// room for pred_list.size() scores; `plan` describes `layout`.  Each
// instruction set has its own build of it (viterbi_frames.cpp, chosen in
// dispatch.hpp).
using ViterbiFrames = void(const LayoutView &layout, const FramePlan &plan, const Densities &dens,
                           std::int32_t renorm_period, float *pl, const BackPointers &bt,
                           ViterbiScores &scores);

// Flags the boundary states and records each one's boundary number.  Every
// flag is written, so backtracking does not depend on how the buffer was
// allocated; the numbers of interior states are never read.
inline void mark_boundaries(std::span<const std::uint32_t> bnd_state,
                            std::span<std::uint8_t> is_bnd, std::span<std::uint32_t> bnd_col)
{
    std::fill(is_bnd.begin(), is_bnd.end(), std::uint8_t{0});
    for (std::size_t j = 0; j < bnd_state.size(); ++j) {
        is_bnd[bnd_state[j]] = 1;
        bnd_col[bnd_state[j]] = static_cast<std::uint32_t>(j);
    }
}

// The index NumPy's argmax returns: the first NaN if there is one, else the
// lowest index among equal maxima.  `scores` must not be empty.
inline std::int32_t first_argmax(std::span<const float> scores)
{
    std::size_t best = 0;
    for (std::size_t s = 0; s < scores.size(); ++s) {
        if (std::isnan(scores[s])) return static_cast<std::int32_t>(s);
        if (scores[s] > scores[best]) best = s;
    }
    return static_cast<std::int32_t>(best);
}

// Follows the back-pointers from `final_state` at the last frame to frame 0.
// Only valid for a final score above minus infinity: such a score is reached
// only through scores above minus infinity, and every boundary state that
// has one at frame t had its entry of row t written.
inline void backtrack(const BackPointers &bt, std::span<const std::uint8_t> is_bnd,
                      std::span<const std::uint32_t> bnd_col, std::uint32_t final_state,
                      std::span<std::int64_t> path)
{
    std::uint32_t state = final_state;
    for (auto t = static_cast<std::int32_t>(path.size()) - 1; t >= 0; --t) {
        path[t] = state;
        state = is_bnd[state] != 0 ? bt.row(t)[bnd_col[state]] : state - 1;
    }
}

}  // namespace plintor::kernels
