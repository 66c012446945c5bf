// ForwardDecoder: the streaming forward decoder as a Python class.
//
// A decoder holds, for its whole life, the SplitLayout of its graph (computed
// in place while _split_layout is the module's own, else bound from what a
// replacement returned), its own copy of the initial distribution, the
// belief and the working buffers.  All of them are made at
// construction, so that step allocates nothing but its output and reset
// nothing at all.  The instance holds arrays only, so it takes no part in
// garbage collection, and it cannot be pickled or copied.
#include "python_compat.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "../kernels/forward.hpp"
#include "boundary.hpp"
#include "forward_decoder.hpp"
#include "module.hpp"
#include "numpy_calls.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

constexpr const char forward_decoder_doc[] =
    "Streaming forward (filtering) decode over the contiguous tempo-lane grid.\n"
    "\n"
    "    The HMM forward algorithm (Rabiner 1989) for the Krebs/B\u00f6ck/Widmer state\n"
    "    space. Like :func:`decode` it exploits lane contiguity: an interior state's\n"
    "    only predecessor is ``s-1`` at probability 1, so its update is a stride-1\n"
    "    shift times the observation density; only the few boundary states sum over\n"
    "    predecessors.\n"
    "\n"
    "    Linear domain, normalised every frame \u2014 the forward recursion needs a proper\n"
    "    distribution and the normalisation also guards float32 underflow. The belief\n"
    "    persists across :meth:`step` calls, so logits can be pushed in arbitrary\n"
    "    chunks (streaming). :meth:`step` returns the per-frame argmax state, from\n"
    "    which the caller reads beats causally.\n"
    "    ";

// --- Construction -------------------------------------------------------

Signature cinit_signature = {
    .name = "__cinit__",
    .params = {"pred", "ptr", "prob", "columns", "initial"},
    .num_required = 5,
};

// np.empty(length, dtype=np.float32), with the module's np as it is now.
int new_empty_vector(Py_ssize_t length, Array<float> &vector)
{
    PyRef np = PyRef::steal(module_lookup(np_name));
    if (!np) return -1;
    return np_new(np.get(), "empty", "float32", {length}, DtypeArgument::keyword, vector);
}

// A copy of the caller's `initial`, read through a view of the bound buffer
// so that exactly the memory that passed the binding is copied.
int copy_initial(const Array<float> &initial, Array<float> &copy)
{
    PyRef view = PyRef::steal(PyMemoryView_FromObject(initial.owner()));
    if (!view) return -1;
    PyRef np = PyRef::steal(module_lookup(np_name));
    if (!np) return -1;
    return np_copy_floats(np.get(), view.get(), initial.extent(), copy);
}

// Keeps the layout arrays the module's _split_layout returns for the graph,
// once they have passed the checks the frame loop relies on: a host may
// replace _split_layout.
int take_layout(const Graph &graph, DecoderState &state)
{
    Layout &layout = state.layout;
    if (load_layout(graph, 1.0, false, layout) < 0) return -1;
    if (check_layout(layout, state.num_states, false, &state.max_column) < 0) return -1;
    const kernels::LayoutView view = layout.view();
    kernels::make_plan(view, state.num_states, state.plan);
    state.edge_products = std::make_unique_for_overwrite<float[]>(view.bnd_src.size());
    state.wide_weights = std::make_unique_for_overwrite<double[]>(view.bnd_src.size());
    kernels::widen_weights(view.bnd_weight, state.wide_weights.get());
    state.forward_frames = frame_loops().forward_frames;
    return 0;
}

int construct_impl(const Graph &graph, const Array<float> &initial, DecoderState &state)
{
    state.num_states = check_graph(decoder_name, "prob", graph);
    if (state.num_states < 0) return -1;
    if (initial.extent() != state.num_states) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): 'initial' must have one entry per state (%d), not %zd", decoder_name,
                     state.num_states, initial.extent());
        return -1;
    }
    if (take_layout(graph, state) < 0) return -1;
    if (new_empty_vector(std::max(state.layout.num_pred(), 1), state.pl) < 0) return -1;
    if (copy_initial(initial, state.initial) < 0) return -1;
    if (copy_initial(initial, state.belief) < 0) return -1;
    return new_empty_vector(state.num_states, state.scratch);
}

// A decoder built from None could not step, so None is refused.
int construct(PyObject *args, PyObject *kwargs, DecoderState &state)
{
    const Signature &sig = cinit_signature;
    PyObject *bound[max_params];
    if (bind_arguments_dict(sig, args, kwargs, bound) < 0) return -1;
    Graph graph;
    Array<float> initial;
    auto bind = [&](auto &array, int index) {
        return array.acquire_required(bound[index], decoder_name, sig.params[index]);
    };
    if (bind(graph.pred, 0) < 0 || bind(graph.ptr, 1) < 0 || bind(graph.weight, 2) < 0 ||
        bind(graph.columns, 3) < 0 || bind(initial, 4) < 0) {
        return -1;
    }
    return construct_impl(graph, initial, state);
}

// Construction is part of __new__, so a subclass's __init__ always finds a
// complete decoder; the inherited __init__ ignores the arguments.  A failure
// releases the half-built instance at once.
PyObject *forward_decoder_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    DecoderState &state = decoder_state(self.get());
    new (&state) DecoderState();
    const int status = guarded(decoder_name, [&] { return construct(args, kwargs, state); });
    if (status < 0) return nullptr;
    state.constructed = true;
    return self.release();
}

void forward_decoder_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    // A subclass's finaliser runs first, and may resurrect the decoder.
    // Python subclasses have run it already, in their own dealloc.
    if (type->tp_finalize != nullptr && type->tp_dealloc == forward_decoder_dealloc &&
        PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;
    }
    decoder_state(self).~DecoderState();
    type->tp_free(self);
}

// --- Pickling -----------------------------------------------------------

// A decoder's belief and buffers cannot be rebuilt from its arguments, so
// pickle, copy and deepcopy are refused, __reduce__ and __setstate__ alike.
PyObject *refuse_pickling(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames)
{
    if (check_method_self(func, &ForwardDecoderType, args, nargs) < 0) return nullptr;
    PyObject *bound[max_params];
    if (bind_arguments(func->def->signature, args + 1, nargs - 1, kwnames, bound) < 0)
        return nullptr;
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

FunctionDef reduce_def = {
    .name = "__reduce__",
    .qualname = "ForwardDecoder.__reduce__",
    .doc = nullptr,
    .signature = {.name = "__reduce__"},
    .is_method = true,
    .parser = refuse_pickling,
};

FunctionDef setstate_def = {
    .name = "__setstate__",
    .qualname = "ForwardDecoder.__setstate__",
    .doc = nullptr,
    .signature = {.name = "__setstate__", .params = {"state"}, .num_required = 1},
    .is_method = true,
    .parser = refuse_pickling,
};

// Stores `value` in the class dictionary under `name`.  The class is a
// static type, closed to attribute assignment, so its dictionary is written
// directly and the type's attribute cache told.
int set_class_attr(const char *name, PyObject *value)
{
    PyRef dict = PyRef::steal(PyType_GetDict(&ForwardDecoderType));
    if (!dict || PyDict_SetItemString(dict.get(), name, value) < 0) return -1;
    PyType_Modified(&ForwardDecoderType);
    return 0;
}

}  // namespace

int add_decoder_method(FunctionDef &def)
{
    PyRef func = PyRef::steal(kernel_function_new(&def, nullptr));
    if (!func) return -1;
    return set_class_attr(def.name, func.get());
}

PyTypeObject ForwardDecoderType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "plintor.model._kernels.ForwardDecoder",
    .tp_basicsize = sizeof(ForwardDecoderObject),
    .tp_dealloc = forward_decoder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = forward_decoder_doc,
    .tp_new = forward_decoder_new,
};

// The methods reset and step arrive later, in add_forward_decoder_methods;
// their keys are entered now so that the class dictionary lists reset,
// step, __reduce__ and __setstate__ in that order.
int add_forward_decoder(PyObject *module)
{
    if (intern_signature(cinit_signature) < 0) return -1;
    if (PyType_Ready(&ForwardDecoderType) < 0) return -1;
    auto *type = reinterpret_cast<PyObject *>(&ForwardDecoderType);
    if (PyModule_AddObjectRef(module, decoder_name, type) < 0) return -1;
    if (set_class_attr("reset", Py_None) < 0) return -1;
    if (set_class_attr("step", Py_None) < 0) return -1;
    if (add_decoder_method(reduce_def) < 0) return -1;
    return add_decoder_method(setstate_def);
}

}  // namespace plintor
