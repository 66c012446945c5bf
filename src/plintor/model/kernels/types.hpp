// The types every part of the numerics shares: the SplitLayout as the frame
// loops read it, and the limit on observation columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace plintor::kernels {

// A frame's densities are copied into a fixed buffer of this many columns,
// which limits both decoders to as many observation columns.
inline constexpr std::int32_t max_columns = 16;

// The SplitLayout: the boundary states and their gathered edges, and the
// ColumnRuns.  The forward decoder does not backtrack and leaves bnd_orig
// empty.
struct LayoutView {
    std::span<const std::uint32_t> bnd_state;
    std::span<const std::uint32_t> pred_list;
    std::span<const std::uint32_t> bnd_src;
    std::span<const std::uint32_t> bnd_orig;
    std::span<const std::int64_t> bnd_ptr;
    std::span<const float> bnd_weight;
    std::span<const std::uint32_t> bnd_dcol;
    std::span<const std::int64_t> run_lo;
    std::span<const std::int64_t> run_hi;
    std::span<const std::uint32_t> run_col;
};

}  // namespace plintor::kernels
