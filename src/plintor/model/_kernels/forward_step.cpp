// ForwardDecoder.reset and ForwardDecoder.step: the methods that move the
// belief of a constructed decoder.  step advances it over a chunk with the
// interpreter lock released and allocates nothing but its output.
#include "python_compat.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "forward_decoder.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "numpy_calls.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

constexpr const char reset_doc[] = "Restore the belief to the initial distribution.";

constexpr const char step_doc[] =
    "Advance over a chunk of linear densities ``(T, C)``; return the\n"
    "        per-frame argmax state ``(T,)``. Updates the persistent belief.";

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

PyObject *reset_impl(DecoderState &state)
{
    if (refuse_if_busy("reset", state) < 0) return nullptr;
    std::ranges::copy(state.initial.span(), state.belief.data());
    state.least_mass = 0.0f;
    Py_RETURN_NONE;
}

PyObject *reset(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (check_method_self(func, &ForwardDecoderType, args, nargs) < 0) return nullptr;
    if (bind_arguments(func->def->signature, args + 1, nargs - 1, kwnames, nullptr) < 0)
        return nullptr;
    return reset_impl(decoder_state(args[0]));
}

int check_columns_of_chunk(const DecoderState &state, Py_ssize_t num_cols)
{
    if (num_cols > kernels::max_columns) {
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
    PyRef np = PyRef::steal(module_lookup(np_name));
    if (!np ||
        np_new(np.get(), "empty", "uint32", {dens.extent(0)}, DtypeArgument::positional, out) < 0) {
        return nullptr;
    }
    const kernels::LayoutView layout = state.layout.view();
    const std::size_t num_edges = layout.bnd_src.size();
    kernels::BeliefBuffers buffers{.belief = state.belief.span(),
                                   .scratch = state.scratch.span(),
                                   .products = {state.edge_products.get(), num_edges},
                                   .wide_weights = {state.wide_weights.get(), num_edges},
                                   .least_mass = state.least_mass};
    {
        const GilRelease unlocked;
        if (!state.layout.computed)
            kernels::widen_weights(layout.bnd_weight, state.wide_weights.get());
        state.forward_frames(layout, state.plan.view(), dens.span(),
                             static_cast<std::size_t>(num_cols), state.pl.span(), buffers,
                             out.span());
    }
    // After an odd number of frames the belief lives in the former scratch.
    if (buffers.belief.data() != state.belief.data()) std::swap(state.belief, state.scratch);
    state.least_mass = buffers.least_mass;
    return Py_NewRef(out.owner());
}

PyObject *step(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (check_method_self(func, &ForwardDecoderType, args, nargs) < 0) return nullptr;
    PyObject *bound[max_params];
    const Signature &sig = func->def->signature;
    if (bind_arguments(sig, args + 1, nargs - 1, kwnames, bound) < 0) return nullptr;
    Array<float, 2> dens;
    if (dens.acquire_required(bound[0], sig.name, sig.params[0]) < 0) return nullptr;
    return step_impl(decoder_state(args[0]), dens);
}

FunctionDef reset_def = {
    .name = "reset",
    .qualname = "ForwardDecoder.reset",
    .doc = reset_doc,
    .signature = {.name = "reset"},
    .is_method = true,
    .parser = reset,
};

FunctionDef step_def = {
    .name = "step",
    .qualname = "ForwardDecoder.step",
    .doc = step_doc,
    .signature = {.name = "step", .params = {"dens"}, .num_required = 1},
    .is_method = true,
    .parser = step,
};

}  // namespace

int add_forward_decoder_methods()
{
    if (add_decoder_method(reset_def) < 0) return -1;
    return add_decoder_method(step_def);
}

}  // namespace plintor
