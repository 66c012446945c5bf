#include "dispatch.hpp"

#include <algorithm>
#include <iterator>

// PLINTOR_ISA_BUILDS comes from CMakeLists.txt: one
// PLINTOR_BUILD(namespace, namespace of its forward loop, processor feature)
// per build, narrowest first.
#ifndef PLINTOR_ISA_BUILDS
#error "PLINTOR_ISA_BUILDS lists the builds of the frame loops"
#endif

namespace plintor::kernels {

#define PLINTOR_BUILD(isa, forward, feature) \
    namespace isa {                          \
    ViterbiFrames viterbi_frames;            \
    }                                        \
    namespace forward {                      \
    ForwardFrames forward_frames;            \
    }
PLINTOR_ISA_BUILDS
#undef PLINTOR_BUILD

namespace {

#if defined(__x86_64__) || defined(_M_X64)
// The processor check runs in this unit, which is built for the baseline:
// nothing of a wider build runs before it has passed.
#define PLINTOR_RUNS_HERE(feature) [] { return __builtin_cpu_supports(feature) != 0; }
#else
// One build, which every processor of the architecture runs.
#define PLINTOR_RUNS_HERE(feature) [] { return true; }
#endif

#define PLINTOR_BUILD(isa, forward, feature) \
    {#isa, PLINTOR_RUNS_HERE(feature), isa::viterbi_frames, forward::forward_frames},
constexpr FrameLoops builds[] = {PLINTOR_ISA_BUILDS};
#undef PLINTOR_BUILD
#undef PLINTOR_RUNS_HERE

}  // namespace

std::span<const FrameLoops> frame_loop_builds()
{
#if defined(__x86_64__) || defined(_M_X64)
    __builtin_cpu_init();
#endif
    return builds;
}

const FrameLoops &widest_frame_loops()
{
    const auto all = frame_loop_builds();
    const auto widest = std::find_if(all.rbegin(), all.rend(),
                                     [](const FrameLoops &build) { return build.runs_here(); });
    return widest != all.rend() ? *widest : all.front();
}

const FrameLoops *find_frame_loops(std::string_view isa)
{
    const auto all = frame_loop_builds();
    const auto found = std::ranges::find(all, isa, &FrameLoops::isa);
    return found != all.end() ? &*found : nullptr;
}

}  // namespace plintor::kernels
