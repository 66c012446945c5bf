// Interior/boundary split of a tempo-lane transition graph: the one split
// behind _split_layout and the decoders.
//
// A state is deterministic when its one predecessor is s-1 with the identity
// weight; its update is then a plain shift of the previous frame.  Every
// other state is a boundary state, whose predecessor edges are gathered into
// flat arrays here.  The states are also cut into runs that share one
// observation column.  Indices follow NumPy's rules (split/index_rules.hpp),
// and any integer or floating type is read as int64 or float64.
//
// The split runs in the order of NumPy's steps, and a fault ends it where
// NumPy's IndexError would: first the graph (boundaries, then the gathers
// from pred), then the columns (the gather from weight, then the columns of
// the boundary states and of the first run).  _split_layout converts
// `columns` only in between, as NumPy does.  write() then fills arrays of
// the lengths the split reports, wherever the caller keeps them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "split/boundaries.hpp"
#include "split/distinct.hpp"
#include "split/index_rules.hpp"
#include "split/runs.hpp"
#include "split/storage.hpp"

namespace plintor::kernels {

class Split {
  public:
    // The boundary states and their edge ranges; a fault when a first edge
    // or a boundary edge lies outside `pred` (or a first edge outside
    // `weight`).
    template <class Ptr, class Pred, class Weight>
    std::optional<IndexFault> find_boundaries(std::span<const Ptr> ptr, std::span<const Pred> pred,
                                              std::span<const Weight> weight, double identity)
    {
        num_states_ = std::ssize(ptr) - 1;
        if (auto fault = kernels::find_boundaries(ptr, pred, weight, identity, bnd_)) return fault;
        find_edge_ranges(ptr, std::span<const std::int64_t>(bnd_), ranges_);
        return find_edge_fault(ranges_, std::ssize(pred));
    }

    std::size_t num_bnd() const { return bnd_.size(); }
    std::size_t num_edges() const { return count_edges(ranges_); }

    // The predecessors of the boundary edges, gathered into `orig`
    // (num_edges() of them), and their distinct values.  Later steps read
    // them from `orig`, so `pred` may change afterwards.
    template <class Pred>
    void gather_predecessors(std::span<const Pred> pred, std::span<std::uint32_t> orig)
    {
        kernels::gather_predecessors(pred, std::span<const EdgeRange>(ranges_), orig);
        cut_pieces(ranges_, orig, pieces_);
        gathered_ = true;
        find_distinct();
    }

    // The same for uint32 predecessors and offsets that count from the start
    // of `pred`, read in place; `pred` must not change until write().
    void read_predecessors_in_place(std::span<const std::uint32_t> pred)
    {
        cut_pieces_in_place(ranges_, pred, pieces_);
        find_distinct();
    }

    std::size_t num_pred() const { return distinct_.size(); }

    // Where the columns change; a fault when a boundary edge lies outside
    // `weight`, or a boundary state or the first run has no column.
    template <class Weight, class Column>
    std::optional<IndexFault> find_runs(std::span<const Weight> weight,
                                        std::span<const Column> columns)
    {
        if (auto fault = find_edge_fault(ranges_, std::ssize(weight))) return fault;
        if (auto fault = find_column_fault(std::span<const std::int64_t>(bnd_), columns))
            return fault;
        column_changes(columns, change_);
        return std::nullopt;
    }

    std::size_t num_runs() const { return change_.size() + 1; }

    // Fills `out`, whose arrays have the lengths above; bnd_orig is left
    // alone when it is empty or is where gather_predecessors wrote.
    template <class Weight, class Column>
    void write(std::span<const Weight> weight, std::span<const Column> columns,
               const SplitArrays &out) const
    {
        const std::span<const std::int64_t> states(bnd_);
        const std::span<const EdgeRange> ranges(ranges_);
        std::ranges::copy(distinct_, out.pred_list.begin());
        find_slots(pieces_, out.pred_list, out.bnd_src);
        if (!gathered_ && !out.bnd_orig.empty()) copy_pieces(out.bnd_orig);
        gather_weights(weight, ranges, out.bnd_weight);
        fill_states(states, out.bnd_state);
        fill_offsets(ranges, out.bnd_ptr);
        gather_columns(states, columns, out.bnd_dcol);
        fill_runs(std::span<const std::int64_t>(change_), columns, num_states_, out.run_lo,
                  out.run_hi, out.run_col);
    }

  private:
    void find_distinct()
    {
        const auto hint = static_cast<std::size_t>(std::max<std::int64_t>(num_states_, 0));
        distinct_predecessors(pieces_, hint, distinct_);
    }

    void copy_pieces(std::span<std::uint32_t> orig) const
    {
        auto out = orig.begin();
        for (const auto piece : pieces_)
            out = std::ranges::copy(piece, out).out;
    }

    std::int64_t num_states_ = 0;  // len(ptr) - 1: -1 for an empty ptr
    std::vector<std::int64_t> bnd_;
    std::vector<EdgeRange> ranges_;
    EdgePieces pieces_;
    std::vector<std::uint32_t> distinct_;
    std::vector<std::int64_t> change_;
    bool gathered_ = false;  // whether the pieces are of bnd_orig itself
};

// The whole split of a graph held as the decoders hold it, into `out`.  The
// offsets are unsigned, so every edge range is one piece of `pred`, read in
// place; bnd_orig is kept only when `with_orig` is set.
inline std::optional<IndexFault> split_layout(std::span<const std::uint32_t> ptr,
                                              std::span<const std::uint32_t> pred,
                                              std::span<const float> weight,
                                              std::span<const std::uint32_t> columns,
                                              double identity, bool with_orig, SplitStorage &out)
{
    Split split;
    if (auto fault = split.find_boundaries(ptr, pred, weight, identity)) return fault;
    split.read_predecessors_in_place(pred);
    if (auto fault = split.find_runs(weight, columns)) return fault;
    const std::size_t num_edges = split.num_edges();
    out.allocate(split.num_bnd(), split.num_pred(), num_edges, with_orig ? num_edges : 0,
                 split.num_runs());
    split.write(weight, columns, out.arrays);
    return std::nullopt;
}

}  // namespace plintor::kernels
