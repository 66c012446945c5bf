// Picks, once per call, which build of the frame loops runs.
//
// frames.cpp is compiled for SSE2 (every x86-64 processor), AVX2 and
// AVX-512F; the widest one the processor runs is chosen at run time, so the
// shipped module needs no processor-specific build.  All builds give the
// same results bit for bit.
#pragma once

#include "forward.hpp"
#include "viterbi.hpp"

namespace plintor::kernels {

namespace sse2 {
ViterbiForward viterbi_forward;
ForwardChunk forward_chunk;
}  // namespace sse2

namespace avx2 {
ViterbiForward viterbi_forward;
ForwardChunk forward_chunk;
}  // namespace avx2

namespace avx512 {
ViterbiForward viterbi_forward;
ForwardChunk forward_chunk;
}  // namespace avx512

struct FrameLoops {
    ViterbiForward *viterbi_forward;
    ForwardChunk *forward_chunk;
};

// The widest build this processor runs.  The environment variable
// PLINTOR_KERNEL_ISA (sse2, avx2 or avx512) selects a narrower one, so that
// tests can run every build the machine supports; a build the processor
// cannot run, or any other value, is ignored.  It reads the environment, so
// call it with the interpreter lock held.
FrameLoops select_frame_loops();

}  // namespace plintor::kernels
