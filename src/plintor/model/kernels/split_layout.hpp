// Interior/boundary split of a tempo-lane transition graph.
//
// A state is deterministic when its one predecessor is s-1 with the identity
// weight; its update is then a plain shift of the previous frame.  Every
// other state is a boundary state, whose predecessor edges are gathered into
// flat arrays here.  The states are also cut into runs that share one
// observation column.
//
// The graph arrives as int64 offsets and predecessors, float64 weights and
// int64 columns, exactly as the host converted them.  Indices follow NumPy's
// indexing rules: a negative index counts from the end, and an index outside
// [-size, size) is a fault that the caller reports as an IndexError.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace plintor::kernels {

// An index that lies outside the array it indexes.
struct IndexFault {
    std::int64_t index;
    std::int64_t size;
};

// Wrap-around arithmetic, as NumPy's int64 arithmetic does.
inline std::int64_t wrapping_sub(std::int64_t a, std::int64_t b)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

// The position `index` refers to in an array of `size` elements, if any.
inline std::optional<std::int64_t> normalise_index(std::int64_t index, std::int64_t size)
{
    if (index < -size || index >= size) return std::nullopt;
    return index < 0 ? index + size : index;
}

// First index of `indices` that is out of range for `size`, if any.
inline std::optional<IndexFault> find_fault(std::span<const std::int64_t> indices,
                                            std::int64_t size)
{
    for (std::int64_t index : indices) {
        if (!normalise_index(index, size)) return IndexFault{index, size};
    }
    return std::nullopt;
}

// The boundary states and their gathered predecessor edges.
struct BoundarySplit {
    std::int64_t num_states = 0;        // length of ptr minus 1 (may be -1)
    std::vector<std::int64_t> bnd;      // boundary states, ascending
    std::vector<std::int64_t> glob;     // edge positions of boundary edges, as stored in ptr
    std::vector<std::int64_t> bnd_ptr;  // 0, then the running sum of their edge counts
    std::vector<std::uint32_t> bnd_orig;
    std::vector<std::uint32_t> pred_list;
    std::vector<std::uint32_t> bnd_src;
};

// The ColumnRuns and the per-boundary columns and weights.
struct RunSplit {
    std::vector<float> bnd_weight;
    std::vector<std::uint32_t> bnd_dcol;
    std::vector<std::int64_t> run_lo;
    std::vector<std::int64_t> run_hi;
    std::vector<std::uint32_t> run_col;
};

namespace detail {

inline std::optional<IndexFault> first_edge_fault(std::span<const std::int64_t> first_edges,
                                                  std::size_t pred_size, std::size_t weight_size)
{
    if (auto fault = find_fault(first_edges, static_cast<std::int64_t>(pred_size))) return fault;
    return find_fault(first_edges, static_cast<std::int64_t>(weight_size));
}

// Edge positions ptr[s] .. ptr[s+1]-1 of every boundary state, in order.
inline std::optional<IndexFault> gather_edges(std::span<const std::int64_t> ptr,
                                              std::int64_t pred_size, BoundarySplit &split)
{
    std::int64_t running = 0;
    split.bnd_ptr.assign(1, 0);
    for (std::int64_t s : split.bnd) {
        const std::int64_t lo = ptr[s];
        const std::int64_t hi = ptr[s + 1];
        running = wrapping_add(running, wrapping_sub(hi, lo));
        split.bnd_ptr.push_back(running);
        if (lo >= hi) continue;
        if (lo < -pred_size) return IndexFault{lo, pred_size};
        if (hi > pred_size) return IndexFault{std::max(lo, pred_size), pred_size};
        for (std::int64_t p = lo; p < hi; ++p) split.glob.push_back(p);
    }
    return std::nullopt;
}

inline void deduplicate_predecessors(BoundarySplit &split)
{
    split.pred_list = split.bnd_orig;
    std::sort(split.pred_list.begin(), split.pred_list.end());
    split.pred_list.erase(std::unique(split.pred_list.begin(), split.pred_list.end()),
                          split.pred_list.end());
    split.bnd_src.reserve(split.bnd_orig.size());
    for (std::uint32_t state : split.bnd_orig) {
        auto slot = std::lower_bound(split.pred_list.begin(), split.pred_list.end(), state);
        split.bnd_src.push_back(static_cast<std::uint32_t>(slot - split.pred_list.begin()));
    }
}

}  // namespace detail

// Finds the boundary states of the graph and gathers their edges.  Returns
// the first out-of-range index in the order the gathers read them: the first
// edge of every state in `pred`, then in `weight`, then the boundary edges.
inline std::optional<IndexFault> split_boundaries(std::span<const std::int64_t> ptr,
                                                  std::span<const std::int64_t> pred,
                                                  std::span<const double> weight, double identity,
                                                  BoundarySplit &split)
{
    const std::int64_t num_states = static_cast<std::int64_t>(ptr.size()) - 1;
    split.num_states = num_states;
    const auto first_edges = ptr.first(num_states > 0 ? static_cast<std::size_t>(num_states) : 0);
    if (auto fault = detail::first_edge_fault(first_edges, pred.size(), weight.size())) {
        return fault;
    }
    const auto pred_size = static_cast<std::int64_t>(pred.size());
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    for (std::int64_t s = 0; s < num_states; ++s) {
        const std::int64_t first = ptr[s];
        const bool deterministic =
            wrapping_sub(ptr[s + 1], first) == 1 &&
            pred[*normalise_index(first, pred_size)] == s - 1 &&
            weight[*normalise_index(first, weight_size)] == identity;
        if (!deterministic) split.bnd.push_back(s);
    }
    if (auto fault = detail::gather_edges(ptr, pred_size, split)) return fault;
    split.bnd_orig.reserve(split.glob.size());
    for (std::int64_t p : split.glob) {
        split.bnd_orig.push_back(static_cast<std::uint32_t>(pred[*normalise_index(p, pred_size)]));
    }
    detail::deduplicate_predecessors(split);
    return std::nullopt;
}

// Cuts the states into ColumnRuns and gathers the boundary weights and
// columns.  The first run is made to start at state 1: every run member is
// computed from its left neighbour, which state 0 lacks.
inline std::optional<IndexFault> split_runs(const BoundarySplit &boundaries,
                                            std::span<const double> weight,
                                            std::span<const std::int64_t> columns, RunSplit &runs)
{
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    const auto num_columns = static_cast<std::int64_t>(columns.size());
    if (auto fault = find_fault(boundaries.glob, weight_size)) return fault;
    runs.bnd_weight.reserve(boundaries.glob.size());
    for (std::int64_t p : boundaries.glob) {
        runs.bnd_weight.push_back(static_cast<float>(weight[*normalise_index(p, weight_size)]));
    }
    if (auto fault = find_fault(boundaries.bnd, num_columns)) return fault;
    runs.bnd_dcol.reserve(boundaries.bnd.size());
    for (std::int64_t s : boundaries.bnd) runs.bnd_dcol.push_back(static_cast<std::uint32_t>(columns[s]));
    if (columns.empty()) return IndexFault{0, 0};
    runs.run_lo.push_back(0);
    for (std::size_t s = 1; s < columns.size(); ++s) {
        if (columns[s] != columns[s - 1]) {
            runs.run_lo.push_back(static_cast<std::int64_t>(s));
            runs.run_hi.push_back(static_cast<std::int64_t>(s));
        }
    }
    runs.run_hi.push_back(boundaries.num_states);
    for (std::int64_t lo : runs.run_lo) runs.run_col.push_back(static_cast<std::uint32_t>(columns[lo]));
    runs.run_lo[0] = 1;
    return std::nullopt;
}

}  // namespace plintor::kernels
