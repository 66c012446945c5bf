// The Viterbi loop's boundary tables: the boundaries in groups of
// group_lanes consecutive boundary numbers, and per group the pred_list
// slots that feed any of them, in ascending order, each with one weight per
// boundary of the group: its edge's weight, or minus infinity where the
// slot feeds that boundary no edge.
//
// A group then reduces all its boundaries at once, slot by slot, one lane
// per boundary.  A lane sees its own boundary's candidates in slot order,
// and a slot that does not feed its boundary brings
// (score + -inf) + density, minus infinity or NaN, which never wins the
// strict comparison.  That is the edge-by-edge scan exactly when every
// boundary's edges read ascending slots, so that edge order is slot order
// and no slot feeds a boundary twice; other layouts get no tables and keep
// the edge-by-edge loops.  The winning slot names the back-pointer, since
// the layout checks make every edge's bnd_orig its slot's state.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "types.hpp"

namespace plintor::kernels {

inline constexpr std::size_t group_lanes = 8;

struct BoundaryGroups {
    // Group g's slots are entry_slot[entry_ptr[g] .. entry_ptr[g + 1]]; empty
    // without tables.
    std::span<const std::uint32_t> entry_ptr;
    std::span<const std::uint32_t> entry_slot;
    // group_lanes weights per entry, lane i for boundary group_lanes * g + i.
    std::span<const float> entry_weight;
    // group_lanes columns per group; lanes past the last boundary read 0.
    std::span<const std::uint8_t> lane_col;
};

// Whether the group reduction is the edge-by-edge scan for this layout.  The
// forward decoder, which needs no tables, leaves bnd_orig empty.
inline bool groups_fit(const LayoutView &in)
{
    if (in.bnd_orig.size() != in.bnd_src.size() || in.bnd_state.empty()) return false;
    for (std::size_t j = 0; j < in.bnd_state.size(); ++j) {
        const auto lo = static_cast<std::size_t>(in.bnd_ptr[j]);
        const auto hi = static_cast<std::size_t>(in.bnd_ptr[j + 1]);
        for (std::size_t p = lo + 1; p < hi; ++p) {
            if (in.bnd_src[p] <= in.bnd_src[p - 1]) return false;
        }
    }
    return true;
}

// The distinct slots each group reads, ascending, one group after another,
// and where each group's slots start.
inline void group_slots(const LayoutView &in, std::vector<std::uint32_t> &slots,
                        std::vector<std::uint32_t> &starts)
{
    const std::size_t num_bnd = in.bnd_state.size();
    for (std::size_t first = 0; first < num_bnd; first += group_lanes) {
        const std::size_t start = slots.size();
        starts.push_back(static_cast<std::uint32_t>(start));
        const std::size_t last = std::min(first + group_lanes, num_bnd);
        const auto lo = static_cast<std::ptrdiff_t>(in.bnd_ptr[first]);
        const auto hi = static_cast<std::ptrdiff_t>(in.bnd_ptr[last]);
        slots.insert(slots.end(), in.bnd_src.begin() + lo, in.bnd_src.begin() + hi);
        std::sort(slots.begin() + static_cast<std::ptrdiff_t>(start), slots.end());
        slots.erase(std::unique(slots.begin() + static_cast<std::ptrdiff_t>(start), slots.end()),
                    slots.end());
    }
    starts.push_back(static_cast<std::uint32_t>(slots.size()));
}

// The tables, owned for as long as the plan is used, in one allocation.
struct GroupStorage {
    std::unique_ptr<std::byte[]> block;
    BoundaryGroups view;

    void make(const LayoutView &in)
    {
        view = {};
        if (!groups_fit(in)) return;
        std::vector<std::uint32_t> slots;
        std::vector<std::uint32_t> starts;
        group_slots(in, slots, starts);
        const std::size_t num_groups = starts.size() - 1;
        const std::size_t num_entries = slots.size();
        block.reset(new std::byte[4 * (num_groups + 1) + 4 * num_entries +
                                  4 * group_lanes * num_entries + group_lanes * num_groups]);
        auto *ptr = reinterpret_cast<std::uint32_t *>(block.get());
        auto *slot = ptr + num_groups + 1;
        auto *weight = reinterpret_cast<float *>(slot + num_entries);
        auto *col = reinterpret_cast<std::uint8_t *>(weight + group_lanes * num_entries);
        std::copy(starts.begin(), starts.end(), ptr);
        std::copy(slots.begin(), slots.end(), slot);
        std::fill_n(weight, group_lanes * num_entries, -std::numeric_limits<float>::infinity());
        std::fill_n(col, group_lanes * num_groups, std::uint8_t{0});
        for (std::size_t j = 0; j < in.bnd_state.size(); ++j) {
            const std::size_t g = j / group_lanes;
            const std::size_t lane = j % group_lanes;
            col[j] = static_cast<std::uint8_t>(in.bnd_dcol[j]);
            // Both the edges and the group's slots ascend.
            std::size_t e = ptr[g];
            for (auto p = in.bnd_ptr[j]; p < in.bnd_ptr[j + 1]; ++p) {
                const auto at = static_cast<std::size_t>(p);
                while (slot[e] != in.bnd_src[at])
                    ++e;
                weight[group_lanes * e + lane] = in.bnd_weight[at];
            }
        }
        view = {{ptr, num_groups + 1},
                {slot, num_entries},
                {weight, group_lanes * num_entries},
                {col, group_lanes * num_groups}};
    }
};

}  // namespace plintor::kernels
