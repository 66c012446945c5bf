// The forward loop's sums, for one instruction set: the products of the
// boundary edges, the boundary masses and the frame's total, each a chain
// of float32 additions in the one order the results are defined by.
// Included by forward_frames.cpp only, private to it as frame_steps.hpp is
// to the frame-loop units.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "frame_steps.hpp"

namespace plintor::kernels::PLINTOR_ISA {

namespace {

// Whether the edge products are spread over other work.  With 8 lanes and
// more the frame loop has issue slots to spare beside the total's chain,
// where the products then cost nothing; with 4 the shift's vectors fill
// them already, and spreading the products made the SSE2 build 5 % slower.
constexpr bool spread_products = width >= 8;

// pl[src] * weight of the boundary edges in the plan's blocks, into
// `products`: the products do not depend on each other, so they are formed
// several at a time, and only the sums over them remain as dependent
// chains.  The blocks are formed in the order of their edges, each with the
// same fixed body: a varying count of vectors per boundary would
// mispredict at every boundary.  The weights come widened to double, so
// that the products go through double precision like multiply_via_double's.
class EdgeProducts {
  public:
    EdgeProducts(const FramePlan &plan, const float *pl, const double *wide_weight, float *products)
        : next_(plan.product_blocks.data()),
          end_(next_ + plan.product_blocks.size()),
          pl_(pl),
          wide_weight_(wide_weight),
          products_(products)
    {
    }

    // The products of every block that starts below `edge`.
    void up_to(std::int64_t edge)
    {
        for (; next_ != end_ && next_->edge < edge; ++next_)
            form(*next_);
    }

    // One block more, if any is left and the build spreads the products:
    // a caller calls this between pieces of other work.
    void one_more()
    {
        if constexpr (spread_products) {
            if (next_ != end_) form(*next_++);
        }
    }

    void finish() { up_to(std::numeric_limits<std::int64_t>::max()); }

  private:
    // The block's addresses are worked out before its first store: a vector
    // store may alias anything, the block and this object included, which
    // would have them read again for every store.
    void form(const ProductBlock &block) const
    {
        const float *pl = pl_ + block.slot;
        const double *wide_weight = wide_weight_ + block.edge;
        float *products = products_ + block.edge;
        for (int k = 0; k < product_block; k += Vec::wide_width)
            Vec::multiply_wide(pl + k, wide_weight + k, products + k);
    }

    const ProductBlock *next_;
    const ProductBlock *end_;
    const float *pl_;
    const double *wide_weight_;
    float *products_;
};

// The products of the boundaries that have no blocks.
void loose_products(const LayoutView &layout, const FramePlan &plan, const float *pl,
                    const double *wide_weight, float *products)
{
    for (const std::uint32_t j : plan.loose_boundaries) {
        for (std::int64_t p = layout.bnd_ptr[j]; p < layout.bnd_ptr[j + 1]; ++p)
            products[p] = multiply_via_double(pl[layout.bnd_src[p]], wide_weight[p]);
    }
}

// The products of every boundary edge.
void edge_products(const LayoutView &layout, const FramePlan &plan, const float *pl,
                   const double *wide_weight, float *products)
{
    EdgeProducts(plan, pl, wide_weight, products).finish();
    loose_products(layout, plan, pl, wide_weight, products);
}

// Adds x[0..count-1] to `total` strictly one after another: any other order
// rounds differently.  Unrolled only to spend fewer instructions per
// addition, so that more of the surrounding work fits beside the chain.
float add_in_order(const float *x, std::int32_t count, float total)
{
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        total += x[i];
        total += x[i + 1];
        total += x[i + 2];
        total += x[i + 3];
    }
    for (; i < count; ++i)
        total += x[i];
    return total;
}

// Mass of boundary j: its edge products summed in their stored order, from
// 0, times its density.  The frame's total waits for each boundary mass in
// turn, so this multiply above all must not take the slow path.
float boundary_mass(const LayoutView &layout, std::size_t j, const float *d, const float *products)
{
    const std::int64_t lo = layout.bnd_ptr[j];
    const auto n = static_cast<std::int32_t>(layout.bnd_ptr[j + 1] - lo);
    return multiply_via_double(add_in_order(products + lo, n, 0.0f), d[layout.bnd_dcol[j]]);
}

float add_masses(const float *b, std::int32_t lo, std::int32_t hi, float ssum)
{
    return add_in_order(b + lo, hi - lo, ssum);
}

// The total of x[0..n-1] added to `total` and the sum of y[0..m-1] from 0,
// each strictly in order, worked out in one loop: two chains of dependent
// additions that then advance side by side.  One loop after the other
// would fill the window of instructions the processor looks ahead in with
// the first chain, and the second would wait.
struct TwoSums {
    float total;
    float sum;
};

// ahead(k) is called before x[k-16..k) is read, and ahead(n + 1) before the
// rest and x[n], for a caller that stores x, and then x[n], as the total
// goes; a pass that has stored all of x before passes NothingAhead.  Each
// call costs a caller that stores a bounds check and the entry and exit of
// its store loop: asked every 8 states rather than 16, the AVX2 frame took
// a tenth longer.
struct NothingAhead {
    void operator()(std::int32_t) const {}
};

template <class Ahead>
TwoSums add_side_by_side(const float *x, std::int32_t n, float total, const float *y,
                         std::int32_t m, Ahead ahead)
{
    constexpr std::int32_t step = 16;
    float sum = 0.0f;
    const std::int32_t both = std::min(n, m);
    std::int32_t i = 0;
    for (; i + step <= both; i += step) {
        ahead(i + step);
        for (std::int32_t k = i; k < i + step; ++k) {
            total += x[k];
            sum += y[k];
        }
    }
    const std::int32_t summed = i;
    for (; i + step <= n; i += step) {
        ahead(i + step);
        total = add_in_order(x + i, step, total);
    }
    ahead(n + 1);
    return {add_in_order(x + i, n - i, total), add_in_order(y + summed, m - summed, sum)};
}

// The total over b[lo..hi) added to `ssum`, beside the mass of boundary j,
// which is written to its state, hi; ahead(k) as in add_side_by_side, for
// b + lo, so ahead(hi - lo + 1) comes before the mass is written.
template <class Ahead>
float total_beside_mass(const LayoutView &layout, std::size_t j, const float *d,
                        const float *products, float *b, std::int32_t lo, std::int32_t hi,
                        float ssum, Ahead ahead)
{
    const std::int64_t first = layout.bnd_ptr[j];
    const auto count = static_cast<std::int32_t>(layout.bnd_ptr[j + 1] - first);
    const TwoSums sums = add_side_by_side(b + lo, hi - lo, ssum, products + first, count, ahead);
    b[hi] = multiply_via_double(sums.sum, d[layout.bnd_dcol[j]]);
    return sums.total;
}

// Writes every boundary mass over what the shift left there and returns the
// frame's total mass.  With ascending boundary states one pass does both:
// the mass of the next boundary, whose chain of additions is independent of
// the running total, is worked out beside the total over the states before
// it, so that the total's chain alone sets the pace.
float boundaries_and_total(const LayoutView &layout, const FramePlan &plan, const float *d,
                           const float *products, float *b, std::int32_t n)
{
    const auto states = layout.bnd_state;
    if (!plan.ascending) {
        for (std::size_t j = 0; j < states.size(); ++j)
            b[states[j]] = boundary_mass(layout, j, d, products);
        return add_masses(b, 0, n, 0.0f);
    }
    if (states.empty()) return add_masses(b, 0, n, 0.0f);
    b[states[0]] = boundary_mass(layout, 0, d, products);
    float ssum = add_masses(b, 0, static_cast<std::int32_t>(states[0]), 0.0f);
    for (std::size_t j = 0; j + 1 < states.size(); ++j) {
        ssum =
            total_beside_mass(layout, j + 1, d, products, b, static_cast<std::int32_t>(states[j]),
                              static_cast<std::int32_t>(states[j + 1]), ssum, NothingAhead{});
    }
    return add_masses(b, static_cast<std::int32_t>(states.back()), n, ssum);
}

}  // namespace

}  // namespace plintor::kernels::PLINTOR_ISA
