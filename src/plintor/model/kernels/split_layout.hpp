// Interior/boundary split of a tempo-lane transition graph.
//
// A state is deterministic when its one predecessor is s-1 with the identity
// weight; its update is then a plain shift of the previous frame.  Every
// other state is a boundary state, whose predecessor edges are gathered into
// flat arrays here.  The states are also cut into runs that share one
// observation column.
//
// Offsets, predecessors and columns are read as int64 and weights as
// float64, whatever integer or floating type holds them, exactly as if the
// arrays had been cast to those types first.  Indices follow NumPy's
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

// The position an in-range `index` refers to in an array of `size` elements.
inline std::int64_t wrap_index(std::int64_t index, std::int64_t size)
{
    return index < 0 ? index + size : index;
}

// First of `indices` that is out of range for `size`, if any.  Indices are
// nearly always in range, which their extremes show in one vectorisable pass.
template <class Index>
std::optional<IndexFault> find_fault(std::span<const Index> indices, std::int64_t size)
{
    std::int64_t lowest = 0;
    std::int64_t highest = -1;
    for (const Index value : indices) {
        lowest = std::min(lowest, static_cast<std::int64_t>(value));
        highest = std::max(highest, static_cast<std::int64_t>(value));
    }
    if (lowest >= -size && highest < size) return std::nullopt;
    for (const Index value : indices) {
        const auto index = static_cast<std::int64_t>(value);
        if (index < -size || index >= size) return IndexFault{index, size};
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

// Boundary states, ascending.  The first edge of every state is read, from
// `pred` and from `weight`, whatever its count; a first edge out of range of
// either is a fault, reported in the order of the two gathers.
template <class Ptr, class Pred, class Weight>
std::optional<IndexFault> find_boundaries(std::span<const Ptr> ptr, std::span<const Pred> pred,
                                          std::span<const Weight> weight, double identity,
                                          BoundarySplit &split)
{
    const auto pred_size = static_cast<std::int64_t>(pred.size());
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    const std::int64_t size = std::min(pred_size, weight_size);
    const std::int64_t num_states = std::max<std::int64_t>(split.num_states, 0);
    split.bnd.resize(static_cast<std::size_t>(num_states));
    // Written through a local pointer, which the stores cannot alias.
    std::int64_t *bnd = split.bnd.data();
    std::size_t num_bnd = 0;
    for (std::int64_t s = 0; s < num_states; ++s) {
        const auto first = static_cast<std::int64_t>(ptr[s]);
        if (first < -size || first >= size) {
            const auto first_edges = ptr.first(static_cast<std::size_t>(num_states));
            if (auto fault = find_fault(first_edges, pred_size)) return fault;
            return find_fault(first_edges, weight_size);
        }
        // Both first edges are in range, so all three tests run without
        // branches: nearly every state is deterministic, and each of the few
        // boundaries would cost a mispredicted branch.
        const bool deterministic =
            (wrapping_sub(static_cast<std::int64_t>(ptr[s + 1]), first) == 1) &
            (static_cast<std::int64_t>(pred[wrap_index(first, pred_size)]) == s - 1) &
            (static_cast<double>(weight[wrap_index(first, weight_size)]) == identity);
        bnd[num_bnd] = s;
        num_bnd += deterministic ? 0 : 1;
    }
    split.bnd.resize(num_bnd);
    return std::nullopt;
}

// Edge positions ptr[s] .. ptr[s+1]-1 of every boundary state, in order, and
// the predecessor each of them stores.
template <class Ptr, class Pred>
std::optional<IndexFault> gather_edges(std::span<const Ptr> ptr, std::span<const Pred> pred,
                                       BoundarySplit &split)
{
    const auto pred_size = static_cast<std::int64_t>(pred.size());
    std::int64_t running = 0;
    std::size_t num_edges = 0;
    split.bnd_ptr.resize(split.bnd.size() + 1);
    split.bnd_ptr[0] = 0;
    for (std::size_t j = 0; j < split.bnd.size(); ++j) {
        const auto lo = static_cast<std::int64_t>(ptr[split.bnd[j]]);
        const auto hi = static_cast<std::int64_t>(ptr[split.bnd[j] + 1]);
        running = wrapping_add(running, wrapping_sub(hi, lo));
        split.bnd_ptr[j + 1] = running;
        if (lo >= hi) continue;
        if (lo < -pred_size) return IndexFault{lo, pred_size};
        if (hi > pred_size) return IndexFault{std::max(lo, pred_size), pred_size};
        num_edges += static_cast<std::size_t>(hi - lo);
    }
    split.glob.resize(num_edges);
    split.bnd_orig.resize(num_edges);
    std::size_t edge = 0;
    for (const std::int64_t s : split.bnd) {
        const auto hi = static_cast<std::int64_t>(ptr[s + 1]);
        for (auto p = static_cast<std::int64_t>(ptr[s]); p < hi; ++p, ++edge) {
            split.glob[edge] = p;
            split.bnd_orig[edge] = static_cast<std::uint32_t>(pred[wrap_index(p, pred_size)]);
        }
    }
    return std::nullopt;
}

// pred_list: the distinct predecessors, ascending; bnd_src: each edge's slot
// in it.  Predecessor states are usually small numbers, so a table indexed
// by state finds the few distinct ones in linear time; sorting covers
// arbitrary values.
inline void deduplicate_predecessors(BoundarySplit &split)
{
    const auto &orig = split.bnd_orig;
    if (orig.empty()) return;
    const std::uint32_t max_state = *std::max_element(orig.begin(), orig.end());
    if (max_state > 8 * orig.size() + 65536) {
        split.pred_list = orig;
        std::sort(split.pred_list.begin(), split.pred_list.end());
        split.pred_list.erase(std::unique(split.pred_list.begin(), split.pred_list.end()),
                              split.pred_list.end());
        split.bnd_src.resize(orig.size());
        for (std::size_t p = 0; p < orig.size(); ++p) {
            const auto slot =
                std::lower_bound(split.pred_list.begin(), split.pred_list.end(), orig[p]);
            split.bnd_src[p] = static_cast<std::uint32_t>(slot - split.pred_list.begin());
        }
        return;
    }
    constexpr std::uint32_t unseen = UINT32_MAX;
    std::vector<std::uint32_t> slot(std::size_t{max_state} + 1, unseen);
    for (const std::uint32_t state : orig) {
        if (slot[state] == unseen) {
            slot[state] = 0;
            split.pred_list.push_back(state);
        }
    }
    std::sort(split.pred_list.begin(), split.pred_list.end());
    for (std::size_t k = 0; k < split.pred_list.size(); ++k) {
        slot[split.pred_list[k]] = static_cast<std::uint32_t>(k);
    }
    split.bnd_src.resize(orig.size());
    for (std::size_t p = 0; p < orig.size(); ++p)
        split.bnd_src[p] = slot[orig[p]];
}

// States s >= 1 whose column differs from that of s-1.  Changes are rare,
// so each block of states is first tested as a whole, without branches.
template <class Column>
std::vector<std::int64_t> column_changes(std::span<const Column> columns)
{
    constexpr std::size_t block = 16;
    std::vector<std::int64_t> change;
    auto scan = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi; ++s) {
            if (columns[s] != columns[s - 1]) change.push_back(static_cast<std::int64_t>(s));
        }
    };
    std::size_t s = 1;
    for (; s + block <= columns.size(); s += block) {
        bool changes = false;
        for (std::size_t k = 0; k < block; ++k)
            changes |= columns[s + k] != columns[s + k - 1];
        if (changes) scan(s, s + block);
    }
    scan(s, columns.size());
    return change;
}

}  // namespace detail

// Finds the boundary states of the graph and gathers their edges.  Returns
// the first out-of-range index in the order the gathers read them: the first
// edge of every state in `pred`, then in `weight`, then the boundary edges.
template <class Ptr, class Pred, class Weight>
std::optional<IndexFault> split_boundaries(std::span<const Ptr> ptr, std::span<const Pred> pred,
                                           std::span<const Weight> weight, double identity,
                                           BoundarySplit &split)
{
    split.num_states = static_cast<std::int64_t>(ptr.size()) - 1;
    if (auto fault = detail::find_boundaries(ptr, pred, weight, identity, split)) return fault;
    if (auto fault = detail::gather_edges(ptr, pred, split)) return fault;
    detail::deduplicate_predecessors(split);
    return std::nullopt;
}

// Cuts the states into ColumnRuns and gathers the boundary weights and
// columns.  The first run is made to start at state 1: every run member is
// computed from its left neighbour, which state 0 lacks.
template <class Weight, class Column>
std::optional<IndexFault> split_runs(const BoundarySplit &bounds, std::span<const Weight> weight,
                                     std::span<const Column> columns, RunSplit &runs)
{
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    runs.bnd_weight.resize(bounds.glob.size());
    for (std::size_t e = 0; e < bounds.glob.size(); ++e) {
        const std::int64_t p = bounds.glob[e];
        if (p < -weight_size || p >= weight_size) return IndexFault{p, weight_size};
        runs.bnd_weight[e] =
            static_cast<float>(static_cast<double>(weight[wrap_index(p, weight_size)]));
    }
    const auto num_columns = static_cast<std::int64_t>(columns.size());
    runs.bnd_dcol.resize(bounds.bnd.size());
    for (std::size_t j = 0; j < bounds.bnd.size(); ++j) {
        const std::int64_t s = bounds.bnd[j];
        if (s >= num_columns) return IndexFault{s, num_columns};
        runs.bnd_dcol[j] = static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[s]));
    }
    if (columns.empty()) return IndexFault{0, 0};
    const std::vector<std::int64_t> change = detail::column_changes(columns);
    runs.run_lo.assign(1, 0);
    runs.run_lo.insert(runs.run_lo.end(), change.begin(), change.end());
    runs.run_hi = change;
    runs.run_hi.push_back(bounds.num_states);
    runs.run_col.resize(runs.run_lo.size());
    for (std::size_t r = 0; r < runs.run_lo.size(); ++r) {
        runs.run_col[r] =
            static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[runs.run_lo[r]]));
    }
    runs.run_lo[0] = 1;
    return std::nullopt;
}

}  // namespace plintor::kernels
