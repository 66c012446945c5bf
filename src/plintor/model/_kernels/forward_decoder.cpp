// ForwardDecoder: the streaming forward decoder as a Python class.
//
// A decoder holds, for its whole life, the SplitLayout of its graph (computed
// in place while _split_layout is the module's own, else bound from what a
// replacement returned), its own copy of the initial distribution, the
// belief and the working buffers.  All of them are made at
// construction, so that step allocates nothing but its output and reset
// nothing at all.  The instance holds arrays only, so it takes no part in
// garbage collection, and it cannot be pickled or copied.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "../kernels/dispatch.hpp"
#include "../kernels/forward.hpp"
#include "binding.hpp"
#include "function.hpp"
#include "gil.hpp"
#include "layout.hpp"
#include "module.hpp"
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

constexpr const char reset_doc[] = "Restore the belief to the initial distribution.";

constexpr const char step_doc[] =
    "Advance over a chunk of linear densities ``(T, C)``; return the\n"
    "        per-frame argmax state ``(T,)``. Updates the persistent belief.";

constexpr const char decoder_name[] = "ForwardDecoder";

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
    kernels::ForwardChunk *forward_chunk = nullptr;
    // One product per boundary edge, formed anew every frame before it is
    // read, so the buffer starts out unwritten.
    std::unique_ptr<float[]> edge_products;
    // bnd_weight widened to double for the frame loop.  A layout computed in
    // place is the decoder's alone and is widened once; one that
    // _split_layout returned may be rewritten by whoever else holds it, so
    // it is widened again before every chunk.
    std::unique_ptr<double[]> wide_weights;
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

DecoderState &decoder_state(PyObject *self)
{
    return reinterpret_cast<ForwardDecoderObject *>(self)->state;
}

// --- Construction -------------------------------------------------------

constexpr const char *cinit_params[] = {"pred", "ptr", "prob", "columns", "initial"};
PyObject *cinit_interned[std::size(cinit_params)];
Signature cinit_signature = {
    .name = "__cinit__",
    .params = cinit_params,
    .num_required = static_cast<Py_ssize_t>(std::size(cinit_params)),
    .interned = cinit_interned,
};

// The attribute `name` of the module's `np` as it is bound now.
PyObject *numpy_attr(const char *name)
{
    PyRef np = PyRef::steal(module_lookup("np"));
    if (!np) return nullptr;
    return PyObject_GetAttrString(np.get(), name);
}

// Guards the frame loop against a host that rebinds `np`: the loop trusts
// every buffer length.
int check_length(const char *function, Py_ssize_t length, Py_ssize_t expected)
{
    if (length == expected) return 0;
    PyErr_Format(PyExc_ValueError, "np.%s() returned %zd elements, expected %zd", function, length,
                 expected);
    return -1;
}

// The keywords of the calls below, interned once at start-up.
constexpr const char *float_vector_keywords[] = {"dtype", "copy"};
PyObject *float_vector_keywords_interned[std::size(float_vector_keywords)];

// np.<function>(source, dtype=np.float32[, copy=True]), bound as a float32
// vector of `length` elements.  The keywords are passed as names beside the
// arguments, which spares building a dict that the call would take apart.
int new_float_vector(const char *function, PyObject *source, bool copy, Py_ssize_t length,
                     Array<float> &vector)
{
    PyRef func = PyRef::steal(numpy_attr(function));
    if (!func) return -1;
    PyRef dtype = PyRef::steal(numpy_attr("float32"));
    if (!dtype) return -1;
    PyObject *const *keywords = float_vector_keywords_interned;
    PyRef kwnames = PyRef::steal(copy ? PyTuple_Pack(2, keywords[0], keywords[1])
                                      : PyTuple_Pack(1, keywords[0]));
    if (!kwnames) return -1;
    PyObject *const args[] = {source, dtype.get(), Py_True};
    PyRef result = PyRef::steal(PyObject_Vectorcall(func.get(), args, 1, kwnames.get()));
    if (!result || vector.acquire(result.get()) < 0) return -1;
    return check_length(function, vector.extent(), length);
}

int new_empty_vector(Py_ssize_t length, Array<float> &vector)
{
    PyRef size = PyRef::steal(PyLong_FromSsize_t(length));
    if (!size) return -1;
    return new_float_vector("empty", size.get(), false, length, vector);
}

// A copy of the caller's `initial`, read through a view of the bound buffer
// so that exactly the memory that passed the binding is copied.
int copy_initial(const Array<float> &initial, Array<float> &copy)
{
    PyRef view = PyRef::steal(PyMemoryView_FromObject(initial.owner()));
    if (!view) return -1;
    return new_float_vector("array", view.get(), true, initial.extent(), copy);
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
    state.forward_chunk = kernels::select_frame_loops().forward_chunk;
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

// A decoder built from None could not step, so None is refused here.
template <class T>
int acquire_required(PyObject *obj, const char *argument, Array<T> &array)
{
    if (require_array(decoder_name, argument, obj) < 0) return -1;
    return array.acquire(obj);
}

int construct(PyObject *args, PyObject *kwargs, DecoderState &state)
{
    PyObject *bound[std::size(cinit_params)];
    if (bind_arguments_dict(cinit_signature, args, kwargs, bound) < 0) return -1;
    Graph graph;
    Array<float> initial;
    if (acquire_required(bound[0], "pred", graph.pred) < 0 ||
        acquire_required(bound[1], "ptr", graph.ptr) < 0 ||
        acquire_required(bound[2], "prob", graph.weight) < 0 ||
        acquire_required(bound[3], "columns", graph.columns) < 0 ||
        acquire_required(bound[4], "initial", initial) < 0) {
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
    new (&decoder_state(self.get())) DecoderState();
    try {
        if (construct(args, kwargs, decoder_state(self.get())) < 0) return nullptr;
        decoder_state(self.get()).constructed = true;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
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

// --- reset and step -----------------------------------------------------

// One decoder must not be used from two threads at once: step runs its
// frame loop with the interpreter lock released, and a second caller would
// race on the belief.  The second caller gets an error instead, and so does
// the caller of a decoder whose construction failed.
int refuse_if_busy(const char *method, const DecoderState &state)
{
    if (!state.constructed) {
        PyErr_Format(PyExc_ValueError, "%s(): this ForwardDecoder was not fully constructed",
                     method);
        return -1;
    }
    if (!state.in_step) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "%s(): another step() is running on this ForwardDecoder; a decoder must not be "
                 "used from two threads at once",
                 method);
    return -1;
}

// Marks a decoder busy for the lifetime of the object.
class StepGuard {
  public:
    explicit StepGuard(DecoderState &state) noexcept : state_(state) { state_.in_step = true; }
    StepGuard(const StepGuard &) = delete;
    StepGuard &operator=(const StepGuard &) = delete;
    ~StepGuard() { state_.in_step = false; }

  private:
    DecoderState &state_;
};

Signature reset_signature = {
    .name = "reset",
    .params = {},
    .num_required = 0,
    .interned = nullptr,
};

PyObject *reset_impl(DecoderState &state)
{
    if (refuse_if_busy("reset", state) < 0) return nullptr;
    std::ranges::copy(state.initial.span(), state.belief.data());
    Py_RETURN_NONE;
}

PyObject *reset(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (check_method_self(func, &ForwardDecoderType, args, nargs) < 0) return nullptr;
    if (bind_arguments(reset_signature, args + 1, nargs - 1, kwnames, nullptr) < 0) return nullptr;
    return reset_impl(decoder_state(args[0]));
}

constexpr const char *step_params[] = {"dens"};
PyObject *step_interned[std::size(step_params)];
Signature step_signature = {
    .name = "step",
    .params = step_params,
    .num_required = 1,
    .interned = step_interned,
};

int check_columns_of_chunk(const DecoderState &state, Py_ssize_t num_cols)
{
    if (num_cols > static_cast<Py_ssize_t>(kernels::max_forward_columns)) {
        PyErr_SetString(PyExc_ValueError,
                        "forward decoder supports at most 16 observation columns");
        return -1;
    }
    if (num_cols <= static_cast<Py_ssize_t>(state.max_column)) {
        PyErr_Format(PyExc_ValueError,
                     "step(): the decoder reads observation column %lu, but 'dens' has only %zd "
                     "columns",
                     static_cast<unsigned long>(state.max_column), num_cols);
        return -1;
    }
    return 0;
}

// np.empty(num_frames, np.uint32), bound as `out`; a new reference.
PyObject *new_output(Py_ssize_t num_frames, Array<std::uint32_t> &out)
{
    PyRef empty = PyRef::steal(numpy_attr("empty"));
    if (!empty) return nullptr;
    PyRef dtype = PyRef::steal(numpy_attr("uint32"));
    if (!dtype) return nullptr;
    PyRef size = PyRef::steal(PyLong_FromSsize_t(num_frames));
    if (!size) return nullptr;
    PyRef result =
        PyRef::steal(PyObject_CallFunctionObjArgs(empty.get(), size.get(), dtype.get(), nullptr));
    if (!result || out.acquire(result.get()) < 0) return nullptr;
    if (check_length("empty", out.extent(), num_frames) < 0) return nullptr;
    return result.release();
}

PyObject *step_impl(DecoderState &state, const Array<float, 2> &dens)
{
    if (refuse_if_busy("step", state) < 0) return nullptr;
    const StepGuard guard(state);
    const Py_ssize_t num_cols = dens.extent(1);
    if (check_columns_of_chunk(state, num_cols) < 0) return nullptr;
    if (dens.extent(0) > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "step(): 'dens' has more than 2**31 - 1 frames");
        return nullptr;
    }
    Array<std::uint32_t> out;
    PyRef result = PyRef::steal(new_output(dens.extent(0), out));
    if (!result) return nullptr;
    const kernels::LayoutView layout = state.layout.view();
    const std::size_t num_edges = layout.bnd_src.size();
    kernels::BeliefBuffers buffers{.belief = state.belief.span(),
                                   .scratch = state.scratch.span(),
                                   .products = {state.edge_products.get(), num_edges},
                                   .wide_weights = {state.wide_weights.get(), num_edges}};
    {
        const GilRelease unlocked;
        if (!state.layout.computed)
            kernels::widen_weights(layout.bnd_weight, state.wide_weights.get());
        state.forward_chunk(layout, state.plan.view(), dens.span(),
                            static_cast<std::size_t>(num_cols), state.pl.span(), buffers,
                            out.span());
    }
    // After an odd number of frames the belief lives in the former scratch.
    if (buffers.belief.data() != state.belief.data()) std::swap(state.belief, state.scratch);
    return result.release();
}

PyObject *step(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (check_method_self(func, &ForwardDecoderType, args, nargs) < 0) return nullptr;
    PyObject *bound[std::size(step_params)];
    if (bind_arguments(step_signature, args + 1, nargs - 1, kwnames, bound) < 0) return nullptr;
    if (require_array("step", "dens", bound[0]) < 0) return nullptr;
    Array<float, 2> dens;
    if (dens.acquire(bound[0]) < 0) return nullptr;
    return step_impl(decoder_state(args[0]), dens);
}

// --- Pickling -----------------------------------------------------------

// A decoder's belief and buffers cannot be rebuilt from its arguments, so
// pickle, copy and deepcopy are refused.
PyObject *refuse_pickling(const Signature &signature, KernelFunction *func, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames, PyObject **bound)
{
    if (check_method_self(func, &ForwardDecoderType, args, nargs) < 0) return nullptr;
    if (bind_arguments(signature, args + 1, nargs - 1, kwnames, bound) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

Signature reduce_signature = {
    .name = "__reduce__",
    .params = {},
    .num_required = 0,
    .interned = nullptr,
};

PyObject *reduce(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    return refuse_pickling(reduce_signature, func, args, nargs, kwnames, nullptr);
}

constexpr const char *setstate_params[] = {"state"};
PyObject *setstate_interned[std::size(setstate_params)];
Signature setstate_signature = {
    .name = "__setstate__",
    .params = setstate_params,
    .num_required = 1,
    .interned = setstate_interned,
};

PyObject *setstate(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *bound[std::size(setstate_params)];
    return refuse_pickling(setstate_signature, func, args, nargs, kwnames, bound);
}

// --- The class ----------------------------------------------------------

const FunctionDef reset_def = {
    .name = "reset",
    .qualname = "ForwardDecoder.reset",
    .doc = reset_doc,
    .signature = &reset_signature,
    .is_method = true,
    .parser = reset,
};

const FunctionDef step_def = {
    .name = "step",
    .qualname = "ForwardDecoder.step",
    .doc = step_doc,
    .signature = &step_signature,
    .is_method = true,
    .parser = step,
};

const FunctionDef reduce_def = {
    .name = "__reduce__",
    .qualname = "ForwardDecoder.__reduce__",
    .doc = nullptr,
    .signature = &reduce_signature,
    .is_method = true,
    .parser = reduce,
};

const FunctionDef setstate_def = {
    .name = "__setstate__",
    .qualname = "ForwardDecoder.__setstate__",
    .doc = nullptr,
    .signature = &setstate_signature,
    .is_method = true,
    .parser = setstate,
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

int add_method(const FunctionDef &def)
{
    PyRef func = PyRef::steal(kernel_function_new(&def, nullptr));
    if (!func) return -1;
    return set_class_attr(def.name, func.get());
}

}  // namespace

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
    for (std::size_t k = 0; k < std::size(float_vector_keywords); ++k) {
        float_vector_keywords_interned[k] = PyUnicode_InternFromString(float_vector_keywords[k]);
        if (float_vector_keywords_interned[k] == nullptr) return -1;
    }
    if (PyType_Ready(&ForwardDecoderType) < 0) return -1;
    auto *type = reinterpret_cast<PyObject *>(&ForwardDecoderType);
    if (PyModule_AddObjectRef(module, decoder_name, type) < 0) return -1;
    if (set_class_attr(reset_def.name, Py_None) < 0) return -1;
    if (set_class_attr(step_def.name, Py_None) < 0) return -1;
    if (add_method(reduce_def) < 0) return -1;
    return add_method(setstate_def);
}

int add_forward_decoder_methods()
{
    if (add_method(reset_def) < 0) return -1;
    return add_method(step_def);
}

}  // namespace plintor
