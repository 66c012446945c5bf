// The builds of the frame loops, and the choice among them.
//
// viterbi_frames.cpp and forward_frames.cpp are compiled once per
// instruction set that CMakeLists.txt lists, each build in a namespace of
// its own name.  The module chooses one build when it is imported, the
// widest this processor runs unless its start-up names another, and keeps
// it for the life of the process.  All builds give the same results bit
// for bit.
#pragma once

#include <span>
#include <string_view>

#include "forward.hpp"
#include "viterbi.hpp"

namespace plintor::kernels {

struct FrameLoops {
    const char *isa;  // the build's name, as PLINTOR_KERNEL_ISA gives it
    bool (*runs_here)();
    ViterbiFrames *viterbi_frames;
    ForwardFrames *forward_frames;
};

// Every build, narrowest first; the first one runs on every processor of
// its architecture.
std::span<const FrameLoops> frame_loop_builds();

// The widest build this processor runs.
const FrameLoops &widest_frame_loops();

// The build called `isa`, or nullptr when there is none of that name.
const FrameLoops *find_frame_loops(std::string_view isa);

}  // namespace plintor::kernels
