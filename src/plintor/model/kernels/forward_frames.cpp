// The forward frame loop, for one instruction set (see frame_steps.hpp):
// per frame the shift of the runs, the boundary states' weighted sums, the
// frame's total, and the normalisation with its argmax.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "forward.hpp"
#include "frame_steps.hpp"

namespace plintor::kernels::PLINTOR_ISA {

namespace {

// pl[src] * weight of every boundary edge, into `products`: the products
// do not depend on each other, so they are formed several at a time, and
// only the sums over them remain as dependent chains.  The blocks of the
// plan run in one loop of a fixed body, which a varying count of vectors
// per boundary would make mispredict at every boundary.  The weights come
// widened to double, so that the products go through double precision
// like multiply_via_double's.
void edge_products(const LayoutView &layout, const FramePlan &plan, const float *pl,
                   const double *wide_weight, float *products)
{
    for (const ProductBlock &block : plan.product_blocks) {
        for (int k = 0; k < product_block; k += Vec::wide_width)
            Vec::multiply_wide(pl + block.slot + k, wide_weight + block.edge + k,
                               products + block.edge + k);
    }
    for (const std::uint32_t j : plan.loose_boundaries) {
        for (std::int64_t p = layout.bnd_ptr[j]; p < layout.bnd_ptr[j + 1]; ++p)
            products[p] = multiply_via_double(pl[layout.bnd_src[p]], wide_weight[p]);
    }
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

// Writes every boundary mass over what the shift left there and returns the
// frame's total mass.  With ascending boundary states one pass does both:
// the mass of the next boundary, whose chain of additions is independent of
// the running total, is computed while the total runs over the states
// before it, so the two chains overlap and the total's chain alone sets
// the pace.
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
    for (std::size_t j = 0; j < states.size(); ++j) {
        const bool last = j + 1 == states.size();
        if (!last) b[states[j + 1]] = boundary_mass(layout, j + 1, d, products);
        const auto end = last ? n : static_cast<std::int32_t>(states[j + 1]);
        ssum = add_masses(b, static_cast<std::int32_t>(states[j]), end, ssum);
    }
    return ssum;
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
// maximum.
class Pick {
  public:
    static constexpr int ways = 4;

    Pick()
    {
        for (int w = 0; w < ways; ++w) {
            best_[w] = Vec::broadcast(-1.0f);
            where_[w] = Vec::broadcast_index(0);
        }
    }

    void visit(int way, Vec::F values, std::int32_t s)
    {
        const Vec::M wins = Vec::greater(values, best_[way]);
        best_[way] = Vec::select(wins, values, best_[way]);
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

// Calls one(way, s) for the whole vectors from `s` up to n, each set of
// the Pick's lanes in turn; returns where the whole vectors end.
template <class Visit>
std::int32_t visit_vectors(std::int32_t s, std::int32_t n, Visit one)
{
    for (; s + Pick::ways * width <= n; s += Pick::ways * width) {
        for (int way = 0; way < Pick::ways; ++way)
            one(way, s + way * width);
    }
    for (; s + width <= n; s += width)
        one(0, s);
    return s;
}

// Scales the frame to a total of 1 and returns the lowest state of largest
// mass.  A frame without positive total mass keeps its masses and reports
// state 0.
std::uint32_t normalise_and_pick(float *b, std::int32_t n, float ssum)
{
    if (!(ssum > 0.0f)) return 0;
    const float inv_sum = 1.0f / ssum;
    const Vec::F scale = Vec::broadcast(inv_sum);
    Pick pick;
    auto one = [&](int way, std::int32_t s) {
        const Vec::F mass = Vec::mul(Vec::load(b + s), scale);
        Vec::store(b + s, mass);
        pick.visit(way, mass, s);
    };
    std::int32_t s = visit_vectors(0, n, one);
    for (; s < n; ++s) {
        b[s] = b[s] * inv_sum;
        pick.visit(b[s], s);
    }
    return pick.result();
}

std::uint32_t forward_frame(const LayoutView &layout, const FramePlan &plan, const float *d,
                            std::span<const float> a, std::span<float> b, float *pl,
                            const BeliefBuffers &buffers)
{
    const auto n = static_cast<std::int32_t>(b.size());
    float *products = buffers.products.data();
    gather(layout.pred_list, a.data(), pl);
    shift<Multiply>({layout.run_lo, layout.run_hi, layout.run_col}, plan, d, false, n, a.data(),
                    b.data());
    edge_products(layout, plan, pl, buffers.wide_weights.data(), products);
    const float ssum = boundaries_and_total(layout, plan, d, products, b.data(), n);
    return normalise_and_pick(b.data(), n, ssum);
}

// ---- Forward, normalising each frame in the next ----------------------------
//
// Normalising a frame is a pass over all its masses, and so is the shift of
// the next frame; both wait for the frame's total.  When the shift runs over
// all states at once (plan.state_col), it takes over the normalisation: it
// reads each mass, scales it by the previous frame's 1 / total exactly as the
// normalisation would, picks the previous frame's argmax over the scaled
// masses and shifts them on, so the scaled masses are never stored.  The
// gather scales the masses it reads in the same way.  Only the chunk's last
// frame is normalised in place, which leaves the belief as the plain loop
// leaves it.

// The masses the next frame reads: either as stored, or still to be scaled
// by the previous frame's 1 / total.
template <bool scaled>
struct Previous {
    const float *a;
    float inv_sum;
    Vec::F scale;

    float at(std::int32_t s) const { return scaled ? multiply_via_double(a[s], inv_sum) : a[s]; }
    Vec::F vector_at(std::int32_t s) const
    {
        return scaled ? Vec::mul(Vec::load(a + s), scale) : Vec::load(a + s);
    }
};

// b[s] = previous mass of s-1 times the density of s's column, for s in
// 1..n-1, visiting every previous mass once (and some twice) for the pick.
// As in shift_states, one vector from state 1 comes first, then whole
// vectors that store aligned, and a last one ending at n-1.
template <bool scaled, bool narrow>
void shift_and_pick(const Previous<scaled> &prev, const std::uint8_t *col, const float *d,
                    std::int32_t n, float *b, Pick &pick)
{
    const auto table = Vec::table(d);
    auto one = [&](int way, std::int32_t s) {
        const Vec::F mass = prev.vector_at(s - 1);
        if constexpr (scaled) pick.visit(way, mass, s - 1);
        Vec::store(b + s, Vec::mul(mass, density_lookup<narrow>(table, col + s)));
    };
    if (n - 1 >= 2 * width) {
        one(0, 1);
        const std::int32_t s = visit_vectors(first_aligned_state(b), n, one);
        if (s < n) one(0, n - width);
    } else {
        for (std::int32_t s = 1; s < n; ++s) {
            const float mass = prev.at(s - 1);
            if constexpr (scaled) pick.visit(mass, s - 1);
            b[s] = mass * d[col[s]];
        }
    }
    if constexpr (scaled) pick.visit(prev.at(n - 1), n - 1);
}

// One frame from `prev` into b; returns the frame's total.  When `prev` is
// scaled, the previous frame's argmax goes to *previous_best.
template <bool scaled>
float deferred_frame(const LayoutView &layout, const FramePlan &plan, const float *d, bool narrow,
                     const Previous<scaled> &prev, float *pl, const BeliefBuffers &buffers,
                     std::uint32_t *previous_best)
{
    const std::span<float> b = buffers.scratch;
    const auto n = static_cast<std::int32_t>(b.size());
    float *products = buffers.products.data();
    for (std::size_t k = 0; k < layout.pred_list.size(); ++k)
        pl[k] = prev.at(static_cast<std::int32_t>(layout.pred_list[k]));
    Pick pick;
    if (narrow) {
        shift_and_pick<scaled, true>(prev, plan.state_col.data(), d, n, b.data(), pick);
    } else {
        shift_and_pick<scaled, false>(prev, plan.state_col.data(), d, n, b.data(), pick);
    }
    if constexpr (scaled) *previous_best = pick.result();
    edge_products(layout, plan, pl, buffers.wide_weights.data(), products);
    return boundaries_and_total(layout, plan, d, products, b.data(), n);
}

void forward_frames_deferred(const LayoutView &layout, const FramePlan &plan,
                             std::span<const float> dens, std::size_t num_cols, float *pl,
                             BeliefBuffers &buffers, std::span<std::uint32_t> out)
{
    FrameDensities frame;
    const bool narrow = narrow_columns(num_cols);
    bool pending = false;  // whether the belief still awaits its scaling
    float ssum = 0.0f;
    for (std::size_t t = 0; t < out.size(); ++t) {
        frame.load(dens.data() + t * num_cols, num_cols);
        if (pending) {
            const float inv_sum = 1.0f / ssum;
            const Previous<true> prev{buffers.belief.data(), inv_sum, Vec::broadcast(inv_sum)};
            ssum = deferred_frame(layout, plan, frame.d, narrow, prev, pl, buffers, &out[t - 1]);
        } else {
            const Previous<false> prev{buffers.belief.data(), 1.0f, Vec::broadcast(1.0f)};
            ssum = deferred_frame(layout, plan, frame.d, narrow, prev, pl, buffers, nullptr);
        }
        pending = ssum > 0.0f;
        if (!pending) out[t] = 0;
        const std::span<float> done = buffers.scratch;
        buffers.scratch = buffers.belief;
        buffers.belief = done;
    }
    if (pending) {
        out[out.size() - 1] = normalise_and_pick(
            buffers.belief.data(), static_cast<std::int32_t>(buffers.belief.size()), ssum);
    }
}

}  // namespace

void forward_frames(const LayoutView &layout, const FramePlan &plan, std::span<const float> dens,
                    std::size_t num_cols, std::span<float> pl, BeliefBuffers &buffers,
                    std::span<std::uint32_t> out)
{
    if (!plan.state_col.empty()) {
        forward_frames_deferred(layout, plan, dens, num_cols, pl.data(), buffers, out);
        return;
    }
    FrameDensities frame;
    for (std::size_t t = 0; t < out.size(); ++t) {
        frame.load(dens.data() + t * num_cols, num_cols);
        out[t] = forward_frame(layout, plan, frame.d, buffers.belief, buffers.scratch, pl.data(),
                               buffers);
        const std::span<float> done = buffers.scratch;
        buffers.scratch = buffers.belief;
        buffers.belief = done;
    }
}

}  // namespace plintor::kernels::PLINTOR_ISA
