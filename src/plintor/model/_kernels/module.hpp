// What the entry points share with the module object.
#pragma once

#include "python_compat.hpp"

#include "../kernels/dispatch.hpp"

namespace plintor {

inline constexpr const char module_name[] = "plintor.model._kernels";

// Looks `name` up in the module namespace as it is now, then among the
// built-in names; a new reference, or NULL with NameError set.
PyObject *module_lookup(const char *name);

// The build of the frame loops chosen when the module was imported.
const kernels::FrameLoops &frame_loops();

// The parts of the module namespace that live in other files.
extern PyTypeObject ForwardDecoderType;
int add_split_layout(PyObject *module);
int add_decode(PyObject *module);
int add_forward_decoder(PyObject *module);
int add_forward_decoder_methods();

}  // namespace plintor
