// Forward (filtering) recursion over the contiguous tempo-lane grid.
//
// One frame carries the belief through the transition model and weights it
// by the frame's observation densities, in the linear domain and in float32:
// every state of a ColumnRun takes its left neighbour's mass times the run's
// density (a stride-1 shift), then each boundary state sums its predecessors'
// masses, weighted by the edge probabilities, and takes its own density.
// The new belief is normalised and its argmax reported.  The frame loop
// itself is in forward_frames.cpp.
//
// Results are reproducible bit for bit: every product is rounded to float32
// on its own (the build contracts no multiply-adds), and every sum runs in
// one fixed order.  Nothing is range-checked; the caller vouches
// for the layout (see ForwardChunk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "plan.hpp"
#include "types.hpp"

namespace plintor::kernels {

// The belief and the buffer that receives the next one, which trade places
// after every frame, room for one product per boundary edge, and the
// boundary edge weights widened to double (see widen_weights).
struct BeliefBuffers {
    std::span<float> belief;
    std::span<float> scratch;
    std::span<float> products;
    std::span<const double> wide_weights;
    // No mass of the belief is below this, or 0 where that is not known: the
    // loop leaves it for the next chunk, whose first frame then skips the
    // tests for the slow path (forward_products.hpp) when they would find
    // nothing.  Only the time depends on it.
    float least_mass = 0.0f;
};

// The frame loop multiplies in double precision, which gives the float32
// products' bits without the slow path x86 cores take on subnormal float32
// products; it reads the weights already widened.
inline void widen_weights(std::span<const float> weight, double *wide)
{
    for (std::size_t p = 0; p < weight.size(); ++p)
        wide[p] = weight[p];
}

// Advances the belief over the out.size() frames of `dens`, row-major with
// `num_cols` densities per frame, and writes each frame's argmax to `out`.
// On return buffers.belief holds the belief after the last frame.
//
// The caller guarantees what the loop does not check: num_cols is at most
// max_columns and above every column of run_col and bnd_dcol; the
// runs lie within the states 1..N-1 and together with the boundary states
// cover all N states; every index in pred_list, bnd_state and bnd_src is in
// range; bnd_ptr rises from 0 to the number of boundary edges; belief and
// scratch hold N entries, products and wide_weights one per boundary edge
// (wide_weights widened from bnd_weight) and pl at least pred_list.size();
// `plan` describes `layout`.  Each instruction set has its own build of it
// (forward_frames.cpp, chosen in dispatch.hpp).
using ForwardFrames = void(const LayoutView &layout, const FramePlan &plan,
                           std::span<const float> dens, std::size_t num_cols, std::span<float> pl,
                           BeliefBuffers &buffers, std::span<std::uint32_t> out);

}  // namespace plintor::kernels
