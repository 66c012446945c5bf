// The forward loop's argmax, for one instruction set: the lowest state of
// largest mass, over vectors and single values.  Included by
// forward_frames.cpp only, private to it as frame_steps.hpp is to the
// frame-loop units.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "frame_steps.hpp"

namespace plintor::kernels::PLINTOR_ISA {

namespace {

// values > best ? values : best, lane by lane: one instruction where the
// build has it, else the comparison and a select.  The pick's running best
// then waits on one instruction per vector, not on the comparison too.
template <class V = Vec>
typename V::F greater_of(typename V::F values, typename V::F best)
{
    if constexpr (requires { V::max(values, best); }) {
        return V::max(values, best);
    } else {
        return V::select(V::greater(values, best), values, best);
    }
}

// The lowest index of the largest value visited, as a scan from -1 that
// moves only to a strictly greater value finds it (NaN never wins, ties go
// to the lower index).  Vectors come first, spread over several sets of
// lanes so that the comparisons of consecutive vectors do not wait for one
// another, then single values at higher indices.  Each lane and the single
// values keep the earliest index of their own maximum, so the earliest index
// among those that hold the overall maximum is the scan's; on a tie with the
// single values, a lane's index is the earlier.  A vector visited twice
// brings the same values and indices again, which changes no lane's earliest
// maximum.  Ways is the number of sets of lanes.
template <int Ways>
class Pick {
  public:
    static constexpr int ways = Ways;

    Pick()
    {
        for (int w = 0; w < ways; ++w) {
            best_[w] = Vec::broadcast(-1.0f);
            where_[w] = Vec::broadcast_index(0);
        }
    }

    // The vector of the states from s.
    void visit(int way, Vec::F values, std::int32_t s)
    {
        const Vec::M wins = Vec::greater(values, best_[way]);
        best_[way] = greater_of(values, best_[way]);
        where_[way] = Vec::select(wins, Vec::broadcast_index(s), where_[way]);
    }

    void visit(float value, std::int32_t s)
    {
        if (value > top_) {
            top_ = value;
            at_ = s;
        }
    }

    std::uint32_t result() const
    {
        float top = -1.0f;
        for (int w = 0; w < ways; ++w)
            top = std::max(top, Vec::max_lane(best_[w]));
        if (!(top > -1.0f) || top < top_) return static_cast<std::uint32_t>(at_);
        std::int32_t at = no_index;
        for (int w = 0; w < ways; ++w) {
            const Vec::M holds_top = Vec::equal(best_[w], Vec::broadcast(top));
            const Vec::I state = Vec::add(where_[w], Vec::lane_index());
            at = std::min(
                at, Vec::min_lane(Vec::select(holds_top, state, Vec::broadcast_index(no_index))));
        }
        return static_cast<std::uint32_t>(at);
    }

  private:
    Vec::F best_[ways];
    // The first index of the vector each lane's best came in; the lane's
    // own offset is added once, in result().
    Vec::I where_[ways];
    float top_ = -1.0f;
    std::int32_t at_ = 0;
};

// A pass that does nothing but pick spreads its vectors over four sets of
// lanes, so that the comparisons of consecutive vectors do not wait for one
// another.
using PassPick = Pick<4>;

// Only the largest value visited, for a pick beside the frame's total: a
// vector then costs one instruction where keeping its index cost five, and
// first_scaled_state finds the index afterwards.  One set of lanes is
// enough, since the total's chain of additions is far slower than its
// maxima.
class TopPick {
  public:
    static constexpr int ways = 1;

    void visit(int, Vec::F values, std::int32_t) { best_ = greater_of(values, best_); }
    void visit(float value, std::int32_t)
    {
        if (value > top_) top_ = value;
    }

    // The largest value visited, or -1 when none is greater.
    float top() const { return std::max(top_, Vec::max_lane(best_)); }

  private:
    Vec::F best_ = Vec::broadcast(-1.0f);
    float top_ = -1.0f;
};

// The lowest state s of a[0..n) whose mass times `scale`, rounded to
// float32, is `top`, where top is the largest of those products or -1
// (which gives 0): the pick's result, for a pick that kept only the largest
// product.  A mass whose product is `top` lies within a rounding of
// top / scale, so the masses below that are passed over by a comparison,
// and only the few others are multiplied, in double, as the frame loop's
// slow path multiplies.
inline std::uint32_t first_scaled_state(const float *a, std::int32_t n, float scale, float top)
{
    if (!(top > -1.0f)) return 0;
    std::int32_t s = 0;
    // Rounding moves a normal product by less than a part in 2^24, so every
    // mass of product `top` is above `bound`, and above the float32 below
    // it: subnormal masses are too coarse to take the margin themselves.
    const double bound = static_cast<double>(top) / scale * (1.0 - 0x1p-20);
    if (top >= std::numeric_limits<float>::min() && scale > 0.0f &&
        bound <= std::numeric_limits<float>::max()) {
        float below = static_cast<float>(bound);
        if (static_cast<double>(below) >= bound) below = std::nextafter(below, 0.0f);
        const Vec::F below_lanes = Vec::broadcast(below);
        for (; s + width <= n; s += width) {
            if (!Vec::any(Vec::greater(Vec::load(a + s), below_lanes))) continue;
            for (std::int32_t i = s; i < s + width; ++i) {
                if (multiply_via_double(a[i], scale) == top) return static_cast<std::uint32_t>(i);
            }
        }
    }
    for (; s < n; ++s) {
        if (multiply_via_double(a[s], scale) == top) return static_cast<std::uint32_t>(s);
    }
    return 0;
}

// Calls one(way, s) for the whole vectors from `s` up to n, each set of
// the PassPick's lanes in turn; returns where the whole vectors end.
template <class Visit>
std::int32_t visit_vectors(std::int32_t s, std::int32_t n, Visit one)
{
    for (; s + PassPick::ways * width <= n; s += PassPick::ways * width) {
        for (int way = 0; way < PassPick::ways; ++way)
            one(way, s + way * width);
    }
    for (; s + width <= n; s += width)
        one(0, s);
    return s;
}

}  // namespace

}  // namespace plintor::kernels::PLINTOR_ISA
