// The boundary states of a graph and the edges they gather.
//
// A state is deterministic when its one predecessor is s-1 with the identity
// weight; every other state is a boundary state.  Offsets, predecessors and
// weights are read as int64 and float64, whatever integer or floating type
// holds them, exactly as if the arrays had been cast to those types first.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "index_rules.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plintor::kernels {

namespace detail {

// Whether `value` is one of the values of the integer type T.
template <class T>
bool holds(std::int64_t value)
{
    if constexpr (std::is_signed_v<T>) {
        return value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
    } else {
        return value >= 0 && static_cast<std::uint64_t>(value) <= std::numeric_limits<T>::max();
    }
}

// `identity` as a Weight, when a Weight holds it exactly and finite: a
// weight read as float64 then equals `identity` exactly when it equals this
// value.
template <class Weight>
std::optional<Weight> narrow_identity(double identity)
{
    if (!(std::fabs(identity) <= static_cast<double>(std::numeric_limits<Weight>::max())))
        return std::nullopt;
    const auto narrow = static_cast<Weight>(identity);
    if (static_cast<double>(narrow) != identity) return std::nullopt;
    return narrow;
}

// Whether state s, whose first edge lies inside both `pred` and `weight`,
// is deterministic.  The three tests run without branches: nearly every
// state passes them all.
template <class Ptr, class Pred, class Weight>
bool is_deterministic(std::span<const Ptr> ptr, std::span<const Pred> pred,
                      std::span<const Weight> weight, double identity, std::int64_t s)
{
    const auto first = static_cast<std::int64_t>(ptr[s]);
    const auto pred_size = static_cast<std::int64_t>(pred.size());
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    // As ints, so that & does not read as a mistaken && (clang warns).
    const int one_edge = wrapping_sub(static_cast<std::int64_t>(ptr[s + 1]), first) == 1;
    const int from_previous =
        static_cast<std::int64_t>(pred[wrap_index(first, pred_size)]) == s - 1;
    const int at_identity = static_cast<double>(weight[wrap_index(first, weight_size)]) == identity;
    return (one_edge & from_previous & at_identity) != 0;
}

// The states a block test covers at once.  Tempo lanes are longer, so most
// blocks lie inside one lane.
inline constexpr int state_block = 16;

// The first boundary state among s .. s+state_block-1 (s >= 1), as an
// offset from s, or state_block when there is none; -1 when the block
// cannot be tested this way.  While the offsets count up by one from
// ptr[s], the states' first edges are consecutive and in range: their
// offsets, predecessors and weights are then compared with ptr[s]+1, ...,
// s-1, ... and `identity` element by element, which the compiler
// vectorises.  The first state that fails a test is a boundary state, and
// those before it are deterministic.  Other blocks are left to the exact
// test, state by state.
template <class Ptr, class Pred, class Weight>
int first_boundary_in_block(std::span<const Ptr> ptr, std::span<const Pred> pred,
                            std::span<const Weight> weight, Weight identity, std::int64_t s)
{
    const auto base = static_cast<std::int64_t>(ptr[s]);
    const auto size = static_cast<std::int64_t>(std::min(pred.size(), weight.size()));
    if (base < 0 || base + state_block > size || !holds<Ptr>(base + state_block) ||
        !holds<Pred>(s - 1 + state_block)) {
        return -1;
    }
    const Ptr *offsets = ptr.data() + s + 1;
    const Pred *preds = pred.data() + base;
    const Weight *weights = weight.data() + base;
    const auto next_offset = static_cast<Ptr>(base + 1);
    const auto prev_state = static_cast<Pred>(s - 1);
    // The loop is kept rolled for the vectoriser: unrolled first, as a loop
    // of a known short count would be, it turns into scalar code.
    std::uint32_t fails[state_block];
#pragma GCC unroll 1
    for (int k = 0; k < state_block; ++k) {
        fails[k] = static_cast<std::uint32_t>(
            (offsets[k] != static_cast<Ptr>(next_offset + static_cast<Ptr>(k))) |
            (preds[k] != static_cast<Pred>(prev_state + static_cast<Pred>(k))) |
            (weights[k] != identity));
    }
    std::uint32_t any = 0;
#pragma GCC unroll 1
    for (int k = 0; k < state_block; ++k)
        any |= fails[k];
    if (any == 0) return state_block;
    int k = 0;
    while (fails[k] == 0)
        ++k;
    return k;
}

#if defined(__SSE2__)
// The same for the types the decoders bind, four states at a time in SSE2,
// the x86-64 baseline.  Offsets are compared as steps of one from ptr[s]:
// up to the first state that fails, they count up from it all the same.
inline int first_boundary_in_block(std::span<const std::uint32_t> ptr,
                                   std::span<const std::uint32_t> pred,
                                   std::span<const float> weight, float identity, std::int64_t s)
{
    const auto base = static_cast<std::int64_t>(ptr[s]);
    const auto size = static_cast<std::int64_t>(std::min(pred.size(), weight.size()));
    if (base + state_block > size || !holds<std::uint32_t>(base + state_block) ||
        !holds<std::uint32_t>(s - 1 + state_block)) {
        return -1;
    }
    const std::uint32_t *offsets = ptr.data() + s;
    const std::uint32_t *preds = pred.data() + base;
    const float *weights = weight.data() + base;
    const __m128i one = _mm_set1_epi32(1);
    const __m128 identities = _mm_set1_ps(identity);
    __m128i prev_states =
        _mm_add_epi32(_mm_set1_epi32(static_cast<int>(s - 1)), _mm_setr_epi32(0, 1, 2, 3));
    unsigned fails = 0;
    for (int k = 0; k < state_block; k += 4) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(offsets + k));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(offsets + k + 1));
        const __m128i one_edge = _mm_cmpeq_epi32(_mm_sub_epi32(next, first), one);
        const __m128i from_prev = _mm_cmpeq_epi32(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(preds + k)), prev_states);
        const __m128 plain = _mm_and_ps(_mm_castsi128_ps(_mm_and_si128(one_edge, from_prev)),
                                        _mm_cmpeq_ps(_mm_loadu_ps(weights + k), identities));
        fails |= static_cast<unsigned>(~_mm_movemask_ps(plain) & 0xf) << k;
        prev_states = _mm_add_epi32(prev_states, _mm_set1_epi32(4));
    }
    return fails == 0 ? state_block : std::countr_zero(fails);
}
#endif

// The first first-edge fault: in `pred` for any state, else in `weight`.
template <class Ptr>
std::optional<IndexFault> first_edge_fault(std::span<const Ptr> first_edges, std::int64_t pred_size,
                                           std::int64_t weight_size)
{
    if (auto fault = find_fault(first_edges, pred_size)) return fault;
    return find_fault(first_edges, weight_size);
}

}  // namespace detail

// Boundary states, ascending.  The first edge of every state is read, from
// `pred` and from `weight`, whatever its count; a first edge out of range of
// either is a fault, reported in the order of the two gathers.
template <class Ptr, class Pred, class Weight>
std::optional<IndexFault> find_boundaries(std::span<const Ptr> ptr, std::span<const Pred> pred,
                                          std::span<const Weight> weight, double identity,
                                          std::vector<std::int64_t> &bnd)
{
    const auto pred_size = static_cast<std::int64_t>(pred.size());
    const auto weight_size = static_cast<std::int64_t>(weight.size());
    const std::int64_t size = std::min(pred_size, weight_size);
    const std::int64_t num_states = std::max<std::int64_t>(std::ssize(ptr) - 1, 0);
    const std::optional<Weight> narrow = detail::narrow_identity<Weight>(identity);
    bnd.clear();
    std::int64_t s = 0;
    while (s < num_states) {
        const int found = narrow && s > 0 && s + detail::state_block <= num_states
                              ? detail::first_boundary_in_block(ptr, pred, weight, *narrow, s)
                              : -1;
        if (found == detail::state_block) {
            s += detail::state_block;
        } else if (found >= 0) {
            bnd.push_back(s + found);
            s += found + 1;
        } else {
            const auto first = static_cast<std::int64_t>(ptr[s]);
            if (first < -size || first >= size) {
                const auto first_edges = ptr.first(static_cast<std::size_t>(num_states));
                return detail::first_edge_fault(first_edges, pred_size, weight_size);
            }
            if (!detail::is_deterministic(ptr, pred, weight, identity, s)) bnd.push_back(s);
            ++s;
        }
    }
    return std::nullopt;
}

// The edge ranges of the boundary states.  They are read from ptr once:
// every later step works from them.
template <class Ptr>
void find_edge_ranges(std::span<const Ptr> ptr, std::span<const std::int64_t> bnd,
                      std::vector<EdgeRange> &ranges)
{
    ranges.resize(bnd.size());
    for (std::size_t j = 0; j < bnd.size(); ++j) {
        ranges[j] = {static_cast<std::int64_t>(ptr[bnd[j]]),
                     static_cast<std::int64_t>(ptr[bnd[j] + 1])};
    }
}

// bnd_ptr: 0, then the running sum of the boundary states' edge counts,
// negative counts included, with int64 wrap-around.
inline void fill_offsets(std::span<const EdgeRange> ranges, std::span<std::int64_t> bnd_ptr)
{
    std::int64_t running = 0;
    bnd_ptr[0] = 0;
    for (std::size_t j = 0; j < ranges.size(); ++j) {
        running = wrapping_add(running, wrapping_sub(ranges[j].hi, ranges[j].lo));
        bnd_ptr[j + 1] = running;
    }
}

inline void fill_states(std::span<const std::int64_t> bnd, std::span<std::uint32_t> bnd_state)
{
    for (std::size_t j = 0; j < bnd.size(); ++j)
        bnd_state[j] = static_cast<std::uint32_t>(bnd[j]);
}

// The predecessor of every boundary edge, in order; the edges are in range.
template <class Pred>
void gather_predecessors(std::span<const Pred> pred, std::span<const EdgeRange> ranges,
                         std::span<std::uint32_t> bnd_orig)
{
    std::uint32_t *out = bnd_orig.data();
    for (const auto [lo, hi] : ranges) {
        out = gather_range(pred, lo, hi, out, [](Pred value) {
            return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
        });
    }
}

// The weight of every boundary edge, rounded to float32; the edges are in
// range.
template <class Weight>
void gather_weights(std::span<const Weight> weight, std::span<const EdgeRange> ranges,
                    std::span<float> bnd_weight)
{
    float *out = bnd_weight.data();
    for (const auto [lo, hi] : ranges) {
        out = gather_range(weight, lo, hi, out, [](Weight value) {
            return static_cast<float>(static_cast<double>(value));
        });
    }
}

}  // namespace plintor::kernels
