// decode: offline Viterbi decoding over the contiguous tempo-lane grid.
//
// The parser only binds and converts the arguments.  decode_impl checks what
// the frame loop relies on, lays the graph out through the module's current
// _split_layout, allocates every buffer through the module's current np, runs
// the recursion with the interpreter lock released and backtracks the best
// path with the lock held again.
#include "python_compat.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>

#include "../kernels/viterbi.hpp"
#include "binding.hpp"
#include "decoder_layout.hpp"
#include "function.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "numpy_calls.hpp"
#include "pyref.hpp"

namespace plintor {

namespace {

constexpr const char function_name[] = "decode";

// Six required arrays, then renorm_period with its default.
constexpr Py_ssize_t renorm_period_index = 6;
constexpr long default_renorm_period = 1024;

struct DecodeArgs {
    Graph graph;  // its weights are log_prob
    Array<float, 2> log_dens;
    Array<float> log_initial;
    std::int32_t renorm_period;
};

// Arrays in parameter order, so that the first failure is the one reported.
int bind_decode_args(const Signature &sig, PyObject *const *bound, DecodeArgs &args)
{
    auto bind = [&](auto &array, int index) {
        return array.acquire_required(bound[index], function_name, sig.params[index]);
    };
    if (bind(args.graph.pred, 0) < 0 || bind(args.graph.ptr, 1) < 0 ||
        bind(args.graph.weight, 2) < 0 || bind(args.log_dens, 3) < 0 ||
        bind(args.graph.columns, 4) < 0 || bind(args.log_initial, 5) < 0) {
        return -1;
    }
    return convert_int32(bound[renorm_period_index], &args.renorm_period);
}

// The column limit comes first, before anything else is looked at.  The
// rest are the caller's obligations, checked so that no input can make the
// frame loop read or write out of range.  Returns the number of states.
std::int32_t check_arguments(const DecodeArgs &args)
{
    const Py_ssize_t num_cols = args.log_dens.extent(1);
    if (num_cols > kernels::max_columns) {
        PyErr_SetString(PyExc_ValueError,
                        "compiled decoder supports at most 16 observation columns");
        return -1;
    }
    const std::int32_t num_states = check_graph(function_name, "log_prob", args.graph);
    if (num_states < 0) return -1;
    if (args.log_initial.extent() != num_states) {
        return invalid(function_name, "'log_initial' must have one entry per state (len(ptr) - 1)");
    }
    if (check_columns(function_name, args.graph.columns, num_cols) < 0) return -1;
    if (args.log_dens.extent(0) > std::numeric_limits<std::int32_t>::max()) {
        return invalid(function_name, "'log_dens' has more than 2**31 - 1 frames");
    }
    return num_states;
}

// _split_layout may have been replaced: besides what every decoder checks,
// each column the frames read must be a column of log_dens.
int check_decode_layout(const Layout &layout, std::int32_t num_states, Py_ssize_t num_cols)
{
    std::uint32_t max_column = 0;
    if (check_layout(layout, num_states, true, &max_column) < 0) return -1;
    if (max_column < num_cols) return 0;
    PyErr_Format(PyExc_ValueError,
                 "_split_layout() returned an inconsistent layout: column %u is not below the "
                 "number of density columns (%zd)",
                 max_column, num_cols);
    return -1;
}

struct Workspace {
    Array<float> pl;
    Array<std::uint8_t> is_bnd;
    Array<std::uint32_t> bnd_col;
    Array<float> buf_a;
    Array<float> buf_b;
    Array<std::uint32_t, 2> bt;
};

// Buffers whose natural length can be 0 get length 1, so that each one is
// a real allocation with a valid data pointer.
int allocate_workspace(PyObject *np, const DecodeArgs &args, const Layout &layout,
                       std::int32_t num_states, Workspace &work)
{
    const Py_ssize_t num_frames = args.log_dens.extent(0);
    const Py_ssize_t bt_width = std::max(layout.num_bnd(), 1);
    constexpr auto positional = DtypeArgument::positional;
    if (np_new(np, "empty", "float32", {std::max(layout.num_pred(), 1)}, positional, work.pl) < 0 ||
        np_new(np, "zeros", "uint8", {num_states}, positional, work.is_bnd) < 0 ||
        np_new(np, "zeros", "uint32", {num_states}, positional, work.bnd_col) < 0 ||
        np_copy_floats(np, args.log_initial.owner(), num_states, work.buf_a) < 0 ||
        np_new(np, "empty", "float32", {num_states}, positional, work.buf_b) < 0) {
        return -1;
    }
    return np_new(np, "empty", "uint32", {num_frames, bt_width}, positional, work.bt);
}

// Picks the best final state, backtracks from it and returns the pair
// (path, log_probability).  A final score of minus infinity or NaN has no
// path of written back-pointers behind it: its path is all zeros.
PyObject *best_path(PyObject *np, const Workspace &work, const kernels::BackPointers &bt,
                    const kernels::ViterbiScores &scores, std::int32_t num_frames)
{
    const std::span<const float> last(scores.prev, static_cast<std::size_t>(scores.num_states));
    const std::int32_t state = kernels::first_argmax(last);
    const double log_probability = scores.offset + static_cast<double>(last[state]);
    Array<std::int64_t> path;
    if (np_new(np, "empty", "int64", {num_frames}, DtypeArgument::positional, path) < 0)
        return nullptr;
    if (last[state] > -std::numeric_limits<float>::infinity()) {
        kernels::backtrack(bt, work.is_bnd.span(), work.bnd_col.span(),
                           static_cast<std::uint32_t>(state), path.span());
    } else {
        std::ranges::fill(path.span(), 0);
    }
    PyRef log_probability_obj = PyRef::steal(PyFloat_FromDouble(log_probability));
    if (!log_probability_obj) return nullptr;
    return PyTuple_Pack(2, path.owner(), log_probability_obj.get());
}

PyObject *decode_impl(const DecodeArgs &args)
{
    const std::int32_t num_states = check_arguments(args);
    if (num_states < 0) return nullptr;
    const Py_ssize_t num_cols = args.log_dens.extent(1);
    Layout layout;
    if (load_layout(args.graph, 0.0, true, layout) < 0 ||
        check_decode_layout(layout, num_states, num_cols) < 0) {
        return nullptr;
    }
    PyRef np = PyRef::steal(module_lookup(np_name));
    if (!np) return nullptr;
    Workspace work;
    if (allocate_workspace(np.get(), args, layout, num_states, work) < 0) return nullptr;
    kernels::mark_boundaries(layout.view().bnd_state, work.is_bnd.span(), work.bnd_col.span());

    const auto num_frames = static_cast<std::int32_t>(args.log_dens.extent(0));
    const kernels::Densities dens = {
        .data = args.log_dens.data(),
        .num_frames = num_frames,
        .num_cols = static_cast<std::int32_t>(num_cols),
    };
    const kernels::BackPointers bt = {
        .data = work.bt.data(),
        .stride = static_cast<std::size_t>(work.bt.extent(1)),
    };
    kernels::ViterbiScores scores = {
        .prev = work.buf_a.data(),
        .cur = work.buf_b.data(),
        .num_states = num_states,
    };
    kernels::PlanStorage plan;
    kernels::make_plan(layout.view(), num_states, plan);
    {
        GilRelease unlocked;
        frame_loops().viterbi_frames(layout.view(), plan.view(), dens, args.renorm_period,
                                     work.pl.data(), bt, scores);
    }
    return best_path(np.get(), work, bt, scores, num_frames);
}

PyObject *decode(KernelFunction *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *bound[max_params];
    const Signature &sig = func->def->signature;
    if (bind_arguments(sig, args, nargs, kwnames, bound) < 0) return nullptr;
    if (bound[renorm_period_index] == nullptr) {
        bound[renorm_period_index] = kernel_function_default(func, renorm_period_index);
    }
    DecodeArgs decode_args;
    if (bind_decode_args(sig, bound, decode_args) < 0) return nullptr;
    return decode_impl(decode_args);
}

FunctionDef decode_def = {
    .name = function_name,
    .qualname = function_name,
    .doc = nullptr,
    .signature = {.name = function_name,
                  .params = {"pred", "ptr", "log_prob", "log_dens", "columns", "log_initial",
                             "renorm_period"},
                  .num_required = 6},
    .is_method = false,
    .parser = decode,
};

}  // namespace

int add_decode(PyObject *module)
{
    PyRef defaults = PyRef::steal(Py_BuildValue("(l)", default_renorm_period));
    if (!defaults) return -1;
    PyRef func = PyRef::steal(kernel_function_new(&decode_def, defaults.get()));
    if (!func) return -1;
    return PyModule_AddObjectRef(module, "decode", func.get());
}

}  // namespace plintor
