// What the entry points share with the module object.
#pragma once

#include "python_compat.hpp"

#include "../kernels/dispatch.hpp"

namespace plintor {

inline constexpr const char module_name[] = "plintor.model._kernels";

// A name that the entry points look up in the module namespace on every
// call.  It is interned when the module starts, so that a lookup neither
// makes nor hashes a str.
struct ModuleName {
    const char *text;
    PyObject *interned = nullptr;
};
extern ModuleName np_name;            // "np"
extern ModuleName split_layout_name;  // "_split_layout"

// Looks `name` up in the module namespace as it is now, then among the
// built-in names; a new reference, or NULL with NameError set.
PyObject *module_lookup(const ModuleName &name);

// The build of the frame loops chosen when the module was imported.
const kernels::FrameLoops &frame_loops();

// The parts of the module namespace that live in other files.
extern PyTypeObject ForwardDecoderType;
int add_split_layout(PyObject *module);
int add_decode(PyObject *module);
int add_forward_decoder(PyObject *module);
int add_forward_decoder_methods();

}  // namespace plintor
