// The forward decoder's instance state, shared by its construction
// (forward_decoder.cpp) and its methods reset and step (forward_step.cpp).
#pragma once

#include "python_compat.hpp"

#include <cstdint>
#include <memory>

#include "../kernels/forward.hpp"
#include "../kernels/plan.hpp"
#include "binding.hpp"
#include "decoder_layout.hpp"
#include "function.hpp"

namespace plintor {

inline constexpr const char decoder_name[] = "ForwardDecoder";

// What a decoder holds besides its object header.  These are C++ objects:
// tp_new builds them in place right after allocation and tp_dealloc
// destroys them before the memory is freed.
struct DecoderState {
    std::int32_t num_states = 0;
    // Every layout array but bnd_orig, which only backtracking reads.
    Layout layout;
    Array<float> pl;
    Array<float> belief;
    Array<float> scratch;
    Array<float> initial;
    // The vector paths the frame loop takes, and the build of the loop that
    // runs: both chosen at construction.
    kernels::PlanStorage plan;
    kernels::ForwardFrames *forward_frames = nullptr;
    // One product per boundary edge, formed anew every frame before it is
    // read, so the buffer starts out unwritten.
    std::unique_ptr<float[]> edge_products;
    // bnd_weight widened to double for the frame loop.  A layout computed in
    // place is the decoder's alone and is widened once; one that
    // _split_layout returned may be rewritten by whoever else holds it, so
    // it is widened again before every chunk.
    std::unique_ptr<double[]> wide_weights;
    // What the last step left in BeliefBuffers::least_mass for the next; 0
    // (not known) for a new or reset belief.
    float least_mass = 0.0f;
    // The largest observation column a frame reads: step needs more columns.
    std::uint32_t max_column = 0;
    // Set while a step runs.  It is read and written only with the
    // interpreter lock held, so a plain bool serves.
    bool in_step = false;
    // Set once construction has succeeded.  A subclass's finaliser can still
    // reach, and keep, an instance whose construction failed half-way.
    bool constructed = false;
};

struct ForwardDecoderObject {
    PyObject_HEAD DecoderState state;
};

inline DecoderState &decoder_state(PyObject *self)
{
    return reinterpret_cast<ForwardDecoderObject *>(self)->state;
}

// Stores a method in the class dictionary under its name.
int add_decoder_method(FunctionDef &def);

}  // namespace plintor
