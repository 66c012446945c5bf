// What the Viterbi and the forward frame loops share, for one instruction
// set: a frame's densities, the gather of the boundary predecessors' scores
// and the stride-1 shift of the runs.  Included by viterbi_frames.cpp and
// forward_frames.cpp, each built once per instruction set (see simd.hpp).
//
// All builds compute every value with the same float32 operations in the
// same order, so their results agree bit for bit: vectors only do at once
// what the plain loop does one state or one edge at a time, and every
// comparison that picks a winner keeps the plain loop's rule (strictly
// greater, earliest on ties, NaN never wins).  Where a layout lacks the
// shape a vector path needs (see plan.hpp), the plain loop runs.  No loop
// allocates or checks an index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "plan.hpp"
#include "simd.hpp"
#include "types.hpp"

namespace plintor::kernels::PLINTOR_ISA {

// Private to each frame-loop unit that includes it, as if written there:
// the compiler then inlines and specialises these as it would its own.
namespace {

constexpr int width = Vec::width;
constexpr std::int32_t no_index = std::numeric_limits<std::int32_t>::max();

// The shift's operation in the Viterbi loop: a score plus its density.
struct Add {
    Vec::F apply(Vec::F a, Vec::F b) const { return Vec::add(a, b); }
    float apply(float a, float b) const { return a + b; }
};

// A frame's densities, with the columns past num_cols zero so that a whole
// vector of them can be loaded.
struct FrameDensities {
    alignas(64) float d[max_columns] = {};

    void load(const float *row, std::size_t num_cols)
    {
        for (std::size_t c = 0; c < num_cols; ++c)
            d[c] = row[c];
    }
};

void gather(std::span<const std::uint32_t> pred_list, const float *a, float *pl)
{
    for (std::size_t k = 0; k < pred_list.size(); ++k)
        pl[k] = a[pred_list[k]];
}

// b[s] = a[s-1] op d[column of s], run by run: boundary states inside a
// run are written too and overwritten by the boundary pass afterwards.
template <class Op>
void shift_runs(const Op &op, std::span<const std::int64_t> run_lo,
                std::span<const std::int64_t> run_hi, std::span<const std::uint32_t> run_col,
                const float *d, const float *a, float *b)
{
    for (std::size_t r = 0; r < run_lo.size(); ++r) {
        const auto lo = static_cast<std::int32_t>(run_lo[r]);
        const auto hi = static_cast<std::int32_t>(run_hi[r]);
        // The column of an empty run is never checked, so it is never read.
        if (lo >= hi) continue;
        const float dval = d[run_col[r]];
        const Vec::F dvec = Vec::broadcast(dval);
        std::int32_t s = lo;
        for (; s + width <= hi; s += width)
            Vec::store(b + s, op.apply(Vec::load(a + s - 1), dvec));
        for (; s < hi; ++s)
            b[s] = op.apply(a[s - 1], dval);
    }
}

// A build whose Vec::lookup_narrow takes the density of a column below
// Vec::narrow_columns from fewer registers than lookup does.
template <class V>
concept narrow_lookup = requires(const typename V::Table &table, const std::uint8_t *cols) {
    V::lookup_narrow(table, cols);
};

// Whether a frame of num_cols columns may take the narrow lookup.
template <class V = Vec>
bool narrow_columns(std::size_t num_cols)
{
    if constexpr (narrow_lookup<V>) {
        return num_cols <= V::narrow_columns;
    } else {
        return false;
    }
}

// A state's density from its column, narrow where narrow_columns allows it.
template <bool narrow, class V = Vec>
typename V::F density_lookup(const typename V::Table &table, const std::uint8_t *cols)
{
    if constexpr (narrow && narrow_lookup<V>) {
        return V::lookup_narrow(table, cols);
    } else {
        return V::lookup(table, cols);
    }
}

// The first state s of 1..width whose b + s is a vector-aligned address, for
// a float buffer b: stores that split a cache line cost twice.
inline std::int32_t first_aligned_state(const float *b)
{
    constexpr std::uintptr_t bytes = width * sizeof(float);
    const std::uintptr_t gap = (bytes - reinterpret_cast<std::uintptr_t>(b + 1) % bytes) % bytes;
    return 1 + static_cast<std::int32_t>(gap / sizeof(float));
}

// The same over states 1..n-1 at once, each state's density looked up from
// its column: one vector from state 1, then whole vectors that store
// aligned, and a last one ending at n-1.  `a` and `b` are distinct, so the
// vectors may overlap.
template <bool narrow, class Op>
void shift_states(const Op &op, const std::uint8_t *col, const float *d, std::int32_t n,
                  const float *a, float *b)
{
    const auto table = Vec::table(d);
    auto one = [&](std::int32_t s) {
        Vec::store(b + s, op.apply(Vec::load(a + s - 1), density_lookup<narrow>(table, col + s)));
    };
    if (n - 1 < 2 * width) {
        for (std::int32_t s = 1; s < n; ++s)
            b[s] = op.apply(a[s - 1], d[col[s]]);
        return;
    }
    one(1);
    std::int32_t s = first_aligned_state(b);
    // Two vectors a turn halve the loop's own instructions.
    for (; s + 2 * width <= n; s += 2 * width) {
        one(s);
        one(s + width);
    }
    for (; s + width <= n; s += width)
        one(s);
    if (s < n) one(n - width);
}

struct Runs {
    std::span<const std::int64_t> lo;
    std::span<const std::int64_t> hi;
    std::span<const std::uint32_t> col;
};

// `narrow` as narrow_columns gives it for the frame.
template <class Op>
void shift(const Op &op, const Runs &runs, const FramePlan &plan, const float *d, bool narrow,
           std::int32_t n, const float *a, float *b)
{
    if (plan.state_col.empty()) {
        shift_runs(op, runs.lo, runs.hi, runs.col, d, a, b);
    } else if (narrow) {
        shift_states<true>(op, plan.state_col.data(), d, n, a, b);
    } else {
        shift_states<false>(op, plan.state_col.data(), d, n, a, b);
    }
}

}  // namespace

}  // namespace plintor::kernels::PLINTOR_ISA
