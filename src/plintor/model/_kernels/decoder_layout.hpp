// The SplitLayout as the decoders hold it, and the checks that make it safe
// to run a frame loop over it.
//
// Both decoders call the module's current _split_layout, bind the arrays it
// returns in place and check, once per call or construction, everything the
// frame loops rely on: the loops themselves check no index.  While
// _split_layout is the module's own, its result is computed in place
// instead, without a Python object: the same arrays, passing the same checks.
#pragma once

#include "python_compat.hpp"

#include <cstdint>
#include <iterator>
#include <optional>

#include "../kernels/plan.hpp"
#include "../kernels/split_layout.hpp"
#include "binding.hpp"

namespace plintor {

// The transition graph as the caller passed it, bound in place.
struct Graph {
    Array<std::uint32_t> pred;
    Array<std::uint32_t> ptr;
    Array<float> weight;  // log-probabilities or probabilities
    Array<std::uint32_t> columns;
};

// The arrays bound from what _split_layout returned, or those computed in
// place; view() shows whichever there are.
struct Layout {
    Array<std::uint32_t> bnd_state;
    Array<std::uint32_t> pred_list;
    Array<std::uint32_t> bnd_src;
    Array<std::uint32_t> bnd_orig;  // bound by decode only
    Array<std::int64_t> bnd_ptr;
    Array<float> bnd_weight;
    Array<std::uint32_t> bnd_dcol;
    Array<std::int64_t> run_lo;
    Array<std::int64_t> run_hi;
    Array<std::uint32_t> run_col;
    std::optional<kernels::SplitStorage> computed;

    kernels::LayoutView view() const;
    std::int32_t num_bnd() const { return static_cast<std::int32_t>(std::ssize(view().bnd_state)); }
    std::int32_t num_pred() const
    {
        return static_cast<std::int32_t>(std::ssize(view().pred_list));
    }
};

// Checks that the graph is one the decoders can run on: at least one state,
// sizes that fit the kernels' 32-bit counts, offsets that do not decrease
// and stay inside `pred` and `weight`, predecessors that are states, and one
// column per state.  Returns the number of states, or -1 with ValueError.
std::int32_t check_graph(const char *function, const char *weight_name, const Graph &graph);

// Checks that every column of `columns` is below `num_cols`.
int check_columns(const char *function, const Array<std::uint32_t> &columns, Py_ssize_t num_cols);

// Calls the module's _split_layout on the graph, as one-dimensional views of
// its arrays, and binds the result by key.  `with_orig` also binds bnd_orig.
int load_layout(const Graph &graph, double identity, bool with_orig, Layout &layout);

// Whether `func` is the module's own _split_layout.
bool is_module_split_layout(PyObject *func);

// What the module's own _split_layout returns for the graph, as views of its
// arrays, computed into `storage`; -1 with the same IndexError otherwise.
// bnd_orig is kept only with `with_orig`.
int split_in_place(const Graph &graph, double identity, bool with_orig,
                   kernels::SplitStorage &storage);

// Checks the bound layout against `num_states` states: consistent lengths,
// indices in range, monotone offsets, state 0 a boundary state and every
// other state written in each frame by a run or a boundary.  On success
// `*max_column` is the largest observation column a frame reads.
int check_layout(const Layout &layout, std::int32_t num_states, bool with_orig,
                 std::uint32_t *max_column);

}  // namespace plintor
