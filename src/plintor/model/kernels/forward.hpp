// Forward (filtering) recursion over the contiguous tempo-lane grid.
//
// One frame carries the belief through the transition model and weights it
// by the frame's observation densities, in the linear domain and in float32:
// every state of a ColumnRun takes its left neighbour's mass times the run's
// density (a stride-1 shift), then each boundary state sums its predecessors'
// masses, weighted by the edge probabilities, and takes its own density.
// The new belief is normalised and its argmax reported.
//
// Results are reproducible bit for bit: every product is rounded to float32
// on its own (the build contracts no multiply-adds), and every sum runs in
// the one order written here.  Nothing is range-checked; the caller vouches
// for the layout (see forward_chunk).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <utility>

namespace plintor::kernels {

// A frame's densities are copied into a fixed buffer of this many columns.
inline constexpr std::size_t max_forward_columns = 16;

// The SplitLayout arrays the recursion reads.
struct ForwardLayout {
    std::span<const std::int64_t> run_lo;
    std::span<const std::int64_t> run_hi;
    std::span<const std::int64_t> bnd_ptr;
    std::span<const std::uint32_t> run_col;
    std::span<const std::uint32_t> bnd_state;
    std::span<const std::uint32_t> bnd_dcol;
    std::span<const std::uint32_t> pred_list;
    std::span<const std::uint32_t> bnd_src;
    std::span<const float> bnd_weight;
};

// The belief and the buffer that receives the next one; they trade places
// after every frame.
struct BeliefBuffers {
    std::span<float> belief;
    std::span<float> scratch;
};

namespace detail {

// Boundary states read their predecessors' masses from one compact array,
// filled once per frame, instead of from scattered belief entries.
inline void gather_predecessors(std::span<const std::uint32_t> pred_list, std::span<const float> a,
                                std::span<float> pl)
{
    for (std::size_t j = 0; j < pred_list.size(); ++j)
        pl[j] = a[pred_list[j]];
}

// Phase advance: b[s] = a[s-1] * d[column] over every run.  The boundary
// states inside the runs are written too; sum_boundaries overwrites them.
inline void shift_runs(const ForwardLayout &layout, const float *d, std::span<const float> a,
                       std::span<float> b)
{
    for (std::size_t r = 0; r < layout.run_lo.size(); ++r) {
        const auto lo = static_cast<std::int32_t>(layout.run_lo[r]);
        const auto hi = static_cast<std::int32_t>(layout.run_hi[r]);
        if (lo >= hi)
            continue;
        const float dval = d[layout.run_col[r]];
        const float *src = a.data() + lo - 1;
        float *dst = b.data() + lo;
        for (std::int32_t i = 0; i < hi - lo; ++i)
            dst[i] = src[i] * dval;
    }
}

// Each boundary state sums its edges in their stored order.
inline void sum_boundaries(const ForwardLayout &layout, const float *d, std::span<const float> pl,
                           std::span<float> b)
{
    for (std::size_t j = 0; j < layout.bnd_state.size(); ++j) {
        float acc = 0.0f;
        for (std::int64_t p = layout.bnd_ptr[j]; p < layout.bnd_ptr[j + 1]; ++p) {
            acc += pl[layout.bnd_src[p]] * layout.bnd_weight[p];
        }
        b[layout.bnd_state[j]] = acc * d[layout.bnd_dcol[j]];
    }
}

// Strictly left to right, one float32 addition at a time: any other order
// rounds differently.
inline float total_mass(std::span<const float> b)
{
    float ssum = 0.0f;
    for (const float mass : b)
        ssum += mass;
    return ssum;
}

// The largest mass, NaN skipped, or `floor` when no mass exceeds it.  The
// maximum of a set does not depend on the order of the comparisons, so they
// run in independent lanes instead of one long chain of dependent ones.
inline float largest_mass(std::span<const float> b, float floor)
{
    constexpr std::size_t lanes = 8;
    std::array<float, lanes> best;
    best.fill(floor);
    std::size_t s = 0;
    for (; s + lanes <= b.size(); s += lanes) {
        for (std::size_t k = 0; k < lanes; ++k)
            best[k] = b[s + k] > best[k] ? b[s + k] : best[k];
    }
    for (; s < b.size(); ++s)
        best[0] = b[s] > best[0] ? b[s] : best[0];
    float largest = floor;
    for (const float lane : best)
        largest = lane > largest ? lane : largest;
    return largest;
}

// The lowest state of largest mass, as a scan from -1 that moves only to a
// strictly greater mass finds it: the first state whose mass equals the
// largest one, if that is above -1.  Neither the scan nor == tells -0 from
// +0, so the sign of a zero maximum does not matter.
inline std::uint32_t first_argmax(std::span<const float> b)
{
    const float best = largest_mass(b, -1.0f);
    if (!(best > -1.0f))
        return 0;
    return static_cast<std::uint32_t>(std::ranges::find(b, best) - b.begin());
}

// A frame without positive total mass (zero, negative or NaN) keeps its
// masses as they are and reports state 0.
inline std::uint32_t normalise_and_pick(std::span<float> b)
{
    const float ssum = total_mass(b);
    if (!(ssum > 0.0f))
        return 0;
    const float inv_sum = 1.0f / ssum;
    for (float &mass : b)
        mass = mass * inv_sum;
    return first_argmax(b);
}

}  // namespace detail

// One frame: `a` is the belief before it, `b` receives the belief after it
// and `d` holds its densities.  Returns the frame's argmax state.
inline std::uint32_t forward_frame(const ForwardLayout &layout, const float *d,
                                   std::span<const float> a, std::span<float> b,
                                   std::span<float> pl)
{
    detail::gather_predecessors(layout.pred_list, a, pl);
    detail::shift_runs(layout, d, a, b);
    detail::sum_boundaries(layout, d, pl, b);
    return detail::normalise_and_pick(b);
}

// Advances the belief over the out.size() frames of `dens`, row-major with
// `num_cols` densities per frame, and writes each frame's argmax to `out`.
// On return buffers.belief holds the belief after the last frame.
//
// The caller guarantees what the loop does not check: num_cols is at most
// max_forward_columns and above every column of run_col and bnd_dcol; the
// runs lie within the states 1..N-1 and together with the boundary states
// cover all N states; every index in pred_list, bnd_state and bnd_src is in
// range; bnd_ptr rises from 0 to the number of boundary edges; belief and
// scratch hold N entries and pl at least pred_list.size().
inline void forward_chunk(const ForwardLayout &layout, std::span<const float> dens,
                          std::size_t num_cols, std::span<float> pl, BeliefBuffers &buffers,
                          std::span<std::uint32_t> out)
{
    std::array<float, max_forward_columns> d{};
    for (std::size_t frame = 0; frame < out.size(); ++frame) {
        std::ranges::copy(dens.subspan(frame * num_cols, num_cols), d.begin());
        out[frame] = forward_frame(layout, d.data(), buffers.belief, buffers.scratch, pl);
        std::swap(buffers.belief, buffers.scratch);
    }
}

}  // namespace plintor::kernels
