// The ColumnRuns, the columns of the boundary states, and where the columns
// of a graph change.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "distinct.hpp"
#include "index_rules.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plintor::kernels {

// States s >= 1 whose column differs from that of s-1: flagged in one pass
// the compiler vectorises, then found among the flags, which are sparse.
template <class Column>
void column_changes(std::span<const Column> columns, std::vector<std::int64_t> &change)
{
    change.clear();
    if (columns.empty()) return;
    std::vector<std::uint8_t> changed(columns.size());
    for (std::size_t s = 1; s < columns.size(); ++s)
        changed[s] = columns[s] != columns[s - 1];
    detail::append_marked(std::span<const std::uint8_t>(changed), change);
}

#if defined(__SSE2__)
// The same for uint32 columns, the type the decoders bind, in SSE2: sixteen
// states are compared at once, and the few changes found from the bits of
// the comparison.
inline void column_changes(std::span<const std::uint32_t> columns,
                           std::vector<std::int64_t> &change)
{
    change.clear();
    const std::uint32_t *col = columns.data();
    auto differs = [col](std::size_t s) {
        const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i *>(col + s));
        const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i *>(col + s - 1));
        return ~static_cast<unsigned>(
                   _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(cur, prev)))) &
               0xfu;
    };
    std::size_t s = 1;
    for (; s + 16 <= columns.size(); s += 16) {
        unsigned changes =
            differs(s) | differs(s + 4) << 4 | differs(s + 8) << 8 | differs(s + 12) << 12;
        for (; changes != 0; changes &= changes - 1)
            change.push_back(static_cast<std::int64_t>(s) + std::countr_zero(changes));
    }
    for (; s < columns.size(); ++s) {
        if (columns[s] != columns[s - 1]) change.push_back(static_cast<std::int64_t>(s));
    }
}
#endif

// The first column fault: a boundary state without a column, or no column
// at all for the first run.
template <class Column>
std::optional<IndexFault> find_column_fault(std::span<const std::int64_t> bnd,
                                            std::span<const Column> columns)
{
    const auto num_columns = static_cast<std::int64_t>(columns.size());
    for (const std::int64_t s : bnd) {
        if (s >= num_columns) return IndexFault{s, num_columns};
    }
    if (columns.empty()) return IndexFault{0, 0};
    return std::nullopt;
}

// The column of every boundary state; find_column_fault found none missing.
template <class Column>
void gather_columns(std::span<const std::int64_t> bnd, std::span<const Column> columns,
                    std::span<std::uint32_t> bnd_dcol)
{
    for (std::size_t j = 0; j < bnd.size(); ++j) {
        bnd_dcol[j] = static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[bnd[j]]));
    }
}

// The ColumnRuns: one run per stretch of equal columns, the last ending at
// num_states, given the states where the column changes.  The first run is
// made to start at state 1: every run member is computed from its left
// neighbour, which state 0 lacks.
template <class Column>
void fill_runs(std::span<const std::int64_t> change, std::span<const Column> columns,
               std::int64_t num_states, std::span<std::int64_t> run_lo,
               std::span<std::int64_t> run_hi, std::span<std::uint32_t> run_col)
{
    run_lo[0] = 1;
    run_col[0] = static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[0]));
    for (std::size_t r = 0; r < change.size(); ++r) {
        run_hi[r] = change[r];
        run_lo[r + 1] = change[r];
        run_col[r + 1] = static_cast<std::uint32_t>(static_cast<std::int64_t>(columns[change[r]]));
    }
    run_hi[change.size()] = num_states;
}

}  // namespace plintor::kernels
