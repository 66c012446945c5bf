// Every build of the frame loops this processor runs, and how to run one
// over a graph: split it as the decoders do, plan it, and call the loop.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../src/plintor/model/kernels/dispatch.hpp"
#include "../../src/plintor/model/kernels/split_layout.hpp"
#include "reference.hpp"

namespace plintor::kernels::portable {
ViterbiFrames viterbi_frames;
ForwardFrames forward_frames;
}  // namespace plintor::kernels::portable

namespace plintor::tests {

struct Build {
    std::string name;
    kernels::ViterbiFrames *viterbi;
    kernels::ForwardFrames *forward;
};

// The target's builds that this processor runs, and the portable build,
// which is tested on every target.
inline std::vector<Build> runnable_builds()
{
    std::vector<Build> builds;
    for (const kernels::FrameLoops &loops : kernels::frame_loop_builds()) {
        if (loops.runs_here())
            builds.push_back({loops.isa, loops.viterbi_frames, loops.forward_frames});
    }
    if (builds.back().name != "portable")
        builds.push_back(
            {"portable", kernels::portable::viterbi_frames, kernels::portable::forward_frames});
    return builds;
}

// A split layout in vectors of its own, so that a test can reshape it.
struct Layout {
    std::vector<std::uint32_t> bnd_state, pred_list, bnd_src, bnd_orig;
    std::vector<std::int64_t> bnd_ptr;
    std::vector<float> bnd_weight;
    std::vector<std::uint32_t> bnd_dcol;
    std::vector<std::int64_t> run_lo, run_hi;
    std::vector<std::uint32_t> run_col;

    kernels::LayoutView view() const
    {
        return {bnd_state,  pred_list, bnd_src, bnd_orig, bnd_ptr,
                bnd_weight, bnd_dcol,  run_lo,  run_hi,   run_col};
    }
};

template <class T>
std::vector<T> copy(std::span<T> values)
{
    return {values.begin(), values.end()};
}

inline Layout split(const Graph &g, float identity, bool with_orig)
{
    kernels::SplitStorage storage;
    const auto fault =
        kernels::split_layout(g.ptr, g.pred, g.weight, g.columns, identity, with_orig, storage);
    if (fault) throw std::runtime_error("the test graph does not split");
    const kernels::SplitArrays &s = storage.arrays;
    return {copy(s.bnd_state), copy(s.pred_list),  copy(s.bnd_src),  copy(s.bnd_orig),
            copy(s.bnd_ptr),   copy(s.bnd_weight), copy(s.bnd_dcol), copy(s.run_lo),
            copy(s.run_hi),    copy(s.run_col)};
}

// An empty run whose bounds are reversed: the loops skip it, but the runs
// no longer tile the states, so the shift takes its run-by-run path.
inline void break_tiling(Layout &layout)
{
    const auto at = static_cast<std::ptrdiff_t>(layout.run_lo.size() / 2);
    layout.run_lo.insert(layout.run_lo.begin() + at, 3);
    layout.run_hi.insert(layout.run_hi.begin() + at, 1);
    layout.run_col.insert(layout.run_col.begin() + at, 0);
}

// The boundaries in the opposite order, each with its edges: the same
// recursion, through the loops' path for boundary states that do not ascend.
inline void reverse_boundaries(Layout &layout)
{
    Layout r = layout;
    const std::size_t num_bnd = layout.bnd_state.size();
    std::size_t edge = 0;
    r.bnd_ptr.assign(1, 0);
    for (std::size_t k = 0; k < num_bnd; ++k) {
        const std::size_t j = num_bnd - 1 - k;
        r.bnd_state[k] = layout.bnd_state[j];
        r.bnd_dcol[k] = layout.bnd_dcol[j];
        for (auto p = layout.bnd_ptr[j]; p < layout.bnd_ptr[j + 1]; ++p, ++edge) {
            r.bnd_src[edge] = layout.bnd_src[p];
            r.bnd_weight[edge] = layout.bnd_weight[p];
            if (!layout.bnd_orig.empty()) r.bnd_orig[edge] = layout.bnd_orig[p];
        }
        r.bnd_ptr.push_back(static_cast<std::int64_t>(edge));
    }
    layout = std::move(r);
}

inline ViterbiResult run_viterbi(const Build &build, const Layout &layout,
                                 const std::vector<float> &log_initial,
                                 const std::vector<float> &log_dens, std::int32_t num_cols,
                                 std::int32_t renorm_period)
{
    const auto n = static_cast<std::int32_t>(log_initial.size());
    const auto frames = static_cast<std::int32_t>(log_dens.size() / num_cols);
    const kernels::LayoutView view = layout.view();
    kernels::PlanStorage plan;
    kernels::make_plan(view, n, plan);
    const std::size_t stride = std::max<std::size_t>(view.bnd_state.size(), 1);
    std::vector<std::uint32_t> bt(stride * frames, unwritten);
    std::vector<float> pl(std::max<std::size_t>(view.pred_list.size(), 1));
    std::vector<float> prev = log_initial, cur(n);
    kernels::ViterbiScores scores{prev.data(), cur.data(), n};
    build.viterbi(view, plan.view(), {log_dens.data(), frames, num_cols}, renorm_period, pl.data(),
                  {bt.data(), stride}, scores);
    ViterbiResult r{{scores.prev, scores.prev + n},
                    std::vector<std::uint32_t>(std::size_t(frames) * n, unwritten),
                    scores.offset};
    for (std::int32_t t = 0; t < frames; ++t) {
        for (std::size_t j = 0; j < view.bnd_state.size(); ++j)
            r.back[std::size_t(t) * n + view.bnd_state[j]] = bt[t * stride + j];
    }
    return r;
}

// Steps the frames in chunks of the given lengths, the last chunk taking
// what remains.
inline ForwardResult run_forward(const Build &build, const Layout &layout,
                                 const std::vector<float> &initial, const std::vector<float> &dens,
                                 std::int32_t num_cols, const std::vector<std::size_t> &chunks)
{
    const auto n = static_cast<std::int32_t>(initial.size());
    const std::size_t frames = dens.size() / num_cols;
    const kernels::LayoutView view = layout.view();
    kernels::PlanStorage plan;
    kernels::make_plan(view, n, plan);
    const std::size_t num_edges = view.bnd_src.size();
    std::vector<float> belief = initial, scratch(n), products(num_edges);
    std::vector<double> wide(num_edges);
    kernels::widen_weights(view.bnd_weight, wide.data());
    std::vector<float> pl(std::max<std::size_t>(view.pred_list.size(), 1));
    kernels::BeliefBuffers buffers{belief, scratch, products, wide};
    std::vector<std::uint32_t> out(frames);
    std::size_t t = 0;
    for (std::size_t k = 0; t < frames; ++k) {
        const std::size_t length = k < chunks.size() ? std::min(chunks[k], frames - t) : frames - t;
        build.forward(view, plan.view(), std::span(dens).subspan(t * num_cols, length * num_cols),
                      num_cols, pl, buffers, std::span(out).subspan(t, length));
        t += length;
    }
    return {{buffers.belief.begin(), buffers.belief.end()}, out, buffers.least_mass};
}

}  // namespace plintor::tests
