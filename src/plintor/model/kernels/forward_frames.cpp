// The forward frame loop, for one instruction set (see frame_steps.hpp):
// per frame the shift of the runs, the boundary states' weighted sums, the
// frame's total, and the normalisation with its argmax.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "forward.hpp"
#include "forward_pick.hpp"
#include "forward_products.hpp"
#include "forward_sums.hpp"
#include "frame_steps.hpp"

namespace plintor::kernels::PLINTOR_ISA {

namespace {

// The first state s of b[0..n) with b[s] == top, or n.
std::int32_t first_state_of(const float *b, std::int32_t n, float top)
{
    const Vec::F wanted = Vec::broadcast(top);
    std::int32_t s = 0;
    for (; s + width <= n; s += width) {
        if (Vec::any(Vec::equal(Vec::load(b + s), wanted))) break;
    }
    for (; s < n; ++s) {
        if (b[s] == top) return s;
    }
    return n;
}

// Scales the frame to a total of 1 and returns the lowest state of largest
// mass, as a scan from -1 that moves only to a strictly greater mass finds
// it (see Pick).  A frame without positive total mass keeps its masses and
// reports state 0.  `least` has seen every mass of the frame, or is
// LeastMasses(0).  The pass keeps only the largest mass, and its first
// state is looked for afterwards: that costs a comparison per vector up to
// the state, where keeping the state as the pass goes costs a comparison
// and a select for every vector.
std::uint32_t normalise_and_pick(float *b, std::int32_t n, float ssum, const LeastMasses &least)
{
    if (!(ssum > 0.0f)) return 0;
    const float inv_sum = 1.0f / ssum;
    const MassProducts products(inv_sum);
    Vec::F best[PassPick::ways];
    for (Vec::F &lanes : best)
        lanes = Vec::broadcast(-1.0f);
    auto pass = [&]<bool tested>() {
        auto one = [&](int way, std::int32_t s) {
            const Vec::F mass = products.scaled<tested>(Vec::load(b + s));
            Vec::store(b + s, mass);
            best[way] = greater_of(mass, best[way]);
        };
        return visit_vectors(0, n, one);
    };
    std::int32_t s = products.skip_tests(least) ? pass.template operator()<false>()
                                                : pass.template operator()<true>();
    float top = -1.0f;
    for (const Vec::F &lanes : best)
        top = std::max(top, Vec::max_lane(lanes));
    for (; s < n; ++s) {
        b[s] = multiply_via_double(b[s], inv_sum);
        if (b[s] > top) top = b[s];
    }
    if (!(top > -1.0f)) return 0;
    return static_cast<std::uint32_t>(first_state_of(b, n, top));
}

std::uint32_t forward_frame(const LayoutView &layout, const FramePlan &plan, const float *d,
                            std::span<const float> a, std::span<float> b, float *pl,
                            const BeliefBuffers &buffers)
{
    const auto n = static_cast<std::int32_t>(b.size());
    float *products = buffers.products.data();
    gather(layout.pred_list, a.data(), pl);
    shift(Multiply(d), {layout.run_lo, layout.run_hi, layout.run_col}, plan, d, false, n, a.data(),
          b.data());
    edge_products(layout, plan, pl, buffers.wide_weights.data(), products);
    const float ssum = boundaries_and_total(layout, plan, d, products, b.data(), n);
    return normalise_and_pick(b.data(), n, ssum, LeastMasses(0.0f));
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
    MassProducts products;  // by inv_sum and the frame's densities

    float at(std::int32_t s) const { return scaled ? multiply_via_double(a[s], inv_sum) : a[s]; }
};

// b[s] = previous mass of s-1 times the density of s's column, for s in
// 1..n-1, visiting every previous mass once (and some twice) for the pick.
// As in shift_states, one vector from state 1 comes first, then whole
// vectors that store aligned, and a last one ending at n-1; the vectors
// are stored in that order, as far as up_to() is asked, so that the frame's
// total can follow the shift instead of waiting for all of it.  Every
// vector stored goes to `least`; each vector's masses are tested for the
// slow path where `tested`.  Needs n - 1 >= 2 * width.
template <bool scaled, bool narrow, bool tested, class Pick>
class ShiftAhead {
  public:
    ShiftAhead(const Previous<scaled> &prev, const std::uint8_t *col, const float *d,
               std::int32_t n, float *b, Pick &pick, LeastMasses &least)
        : prev_(prev),
          col_(col),
          table_(Vec::table(d)),
          n_(n),
          b_(b),
          pick_(pick),
          least_(least),
          next_(first_aligned_state(b)),
          a_(prev.a)
    {
        one(0, 1);
    }

    // The first state the last vector stores; it may store below the states
    // the whole vectors have reached.
    std::int32_t tail() const { return n_ - width; }

    // Stores every vector that starts below `end`, at most tail(): the
    // states below `end` then see no later store.  The Pick's sets of lanes
    // take the vectors in turn, as in visit_vectors.
    void up_to(std::int32_t end)
    {
        end = std::min(end, tail() + 1);
        for (; next_ + (Pick::ways - 1) * width < end; next_ += Pick::ways * width) {
            for (int way = 0; way < Pick::ways; ++way)
                one(way, next_ + way * width);
        }
        for (; next_ < end; next_ += width)
            one(0, next_);
    }

    void finish()
    {
        up_to(n_);
        if (next_ < n_) one(0, tail());
        if constexpr (scaled) pick_.visit(prev_.at(n_ - 1), n_ - 1);
    }

  private:
    void one(int way, std::int32_t s)
    {
        const Vec::F dens = density_lookup<narrow>(table_, col_ + s);
        const auto next = prev_.products.template shifted<scaled, narrow, tested>(
            Vec::load(a_ + s - 1), dens, col_ + s);
        if constexpr (scaled) pick_.visit(way, next.mass, s - 1);
        least_.visit(next.product);
        Vec::store(b_ + s, next.product);
    }

    const Previous<scaled> &prev_;
    const std::uint8_t *col_;
    const typename Vec::Table table_;
    std::int32_t n_;
    float *b_;
    Pick &pick_;
    LeastMasses &least_;
    std::int32_t next_;
    // prev_.a, held here: read through prev_, it was loaded again for every
    // vector, since a vector store may alias any object.
    const float *a_;
};

// The shift with the boundary masses and the frame's total following it,
// for ascending boundary states: as in boundaries_and_total, each boundary's
// mass is summed beside the total over the states before it, and the shift
// stays a few vectors ahead of the states the total reads, so that the
// total's chain of additions overlaps both.  Boundaries that the last vector
// may store over wait for its store.  Each boundary's edge products are
// formed, at the latest, just before its sum; those of the loose
// boundaries, before the call.
//
// Inlined into its caller, which owns the shift and its pick: the vector
// stores may alias any object whose address has left the function, so
// across a call the shift's cursor, the pick's best masses and the rest
// would be reloaded and stored back at every vector.
template <class Shift>
[[gnu::always_inline]] inline float total_behind_shift(const LayoutView &layout, const float *d,
                                                       EdgeProducts &edges, const float *products,
                                                       Shift &shift, float *b, std::int32_t n)
{
    const auto states = layout.bnd_state;
    std::size_t early = states.size();
    while (early > 0 && static_cast<std::int32_t>(states[early - 1]) >= shift.tail())
        --early;
    float ssum = 0.0f;
    std::int32_t summed = 0;
    if (early > 0) {
        edges.up_to(layout.bnd_ptr[1]);
        shift.up_to(static_cast<std::int32_t>(states[0]) + 1);
        b[states[0]] = boundary_mass(layout, 0, d, products);
    }
    for (std::size_t j = 1; j < early; ++j) {
        const auto state = static_cast<std::int32_t>(states[j]);
        edges.up_to(layout.bnd_ptr[j + 1]);
        // The shift keeps a little ahead of the states the total reads, and
        // the products of later boundaries are formed on the way where the
        // build spreads them.
        auto ahead = [&shift, &edges, lo = summed](std::int32_t k) {
            shift.up_to(lo + k + 2 * width);
            edges.one_more();
        };
        ssum = total_beside_mass(layout, j, d, products, b, summed, state, ssum, ahead);
        summed = state;
    }
    shift.finish();
    edges.finish();
    for (std::size_t j = early; j < states.size(); ++j)
        b[states[j]] = boundary_mass(layout, j, d, products);
    return add_masses(b, summed, n, ssum);
}

// The same for few states: the shift a state at a time, then the boundaries.
template <bool scaled, class Pick>
float shift_then_total(const LayoutView &layout, const FramePlan &plan, const float *d,
                       const Previous<scaled> &prev, const float *products, float *b,
                       std::int32_t n, Pick &pick)
{
    const std::uint8_t *col = plan.state_col.data();
    for (std::int32_t s = 1; s < n; ++s) {
        const float mass = prev.at(s - 1);
        if constexpr (scaled) pick.visit(mass, s - 1);
        b[s] = multiply_via_double(mass, d[col[s]]);
    }
    if constexpr (scaled) pick.visit(prev.at(n - 1), n - 1);
    return boundaries_and_total(layout, plan, d, products, b, n);
}

// The shift, the boundaries and the frame's total; when `prev` is scaled,
// the previous frame's argmax goes to *previous_best, and the vectors the
// shift stores go to `stored`.
template <bool scaled, bool narrow, bool tested>
float shift_and_total(const LayoutView &layout, const FramePlan &plan, const float *d,
                      const Previous<scaled> &prev, const float *pl, const double *wide_weights,
                      float *products, float *b, std::int32_t n, std::uint32_t *previous_best,
                      LeastMasses &stored)
{
    // The shift's least masses stay in registers in a copy of the caller's,
    // which the vector stores might alias.
    LeastMasses least = stored;
    EdgeProducts edges(plan, pl, wide_weights, products);
    float ssum;
    if (n - 1 < 2 * width) {
        edges.finish();
        PassPick pick;
        ssum = shift_then_total(layout, plan, d, prev, products, b, n, pick);
        // That shift keeps no least masses.
        least = LeastMasses(0.0f);
        if constexpr (scaled) *previous_best = pick.result();
    } else if (plan.ascending) {
        TopPick pick;
        ShiftAhead<scaled, narrow, tested, TopPick> shift(prev, plan.state_col.data(), d, n, b,
                                                          pick, least);
        ssum = total_behind_shift(layout, d, edges, products, shift, b, n);
        if constexpr (scaled)
            *previous_best = first_scaled_state(prev.a, n, prev.inv_sum, pick.top());
    } else {
        edges.finish();
        PassPick pick;
        ShiftAhead<scaled, narrow, tested, PassPick> shift(prev, plan.state_col.data(), d, n, b,
                                                           pick, least);
        shift.finish();
        ssum = boundaries_and_total(layout, plan, d, products, b, n);
        if constexpr (scaled) *previous_best = pick.result();
    }
    stored = least;
    return ssum;
}

// One frame from `prev` into b; returns the frame's total.  When `prev` is
// scaled, the previous frame's argmax goes to *previous_best.  Every mass
// the frame stores goes to `least`; the shift tests its vectors for the
// slow path where `tested`.
template <bool scaled>
float deferred_frame(const LayoutView &layout, const FramePlan &plan, const float *d, bool narrow,
                     const Previous<scaled> &prev, bool tested, float *pl,
                     const BeliefBuffers &buffers, std::uint32_t *previous_best, LeastMasses &least)
{
    float *b = buffers.scratch.data();
    const auto n = static_cast<std::int32_t>(buffers.scratch.size());
    float *products = buffers.products.data();
    for (std::size_t k = 0; k < layout.pred_list.size(); ++k)
        pl[k] = prev.at(static_cast<std::int32_t>(layout.pred_list[k]));
    const double *wide_weights = buffers.wide_weights.data();
    loose_products(layout, plan, pl, wide_weights, products);
    auto frame = [&]<bool narrow_columns, bool test>() {
        return shift_and_total<scaled, narrow_columns, test>(
            layout, plan, d, prev, pl, wide_weights, products, b, n, previous_best, least);
    };
    float ssum;
    if (narrow) {
        ssum = tested ? frame.template operator()<true, true>()
                      : frame.template operator()<true, false>();
    } else {
        ssum = tested ? frame.template operator()<false, true>()
                      : frame.template operator()<false, false>();
    }
    // The boundary masses replaced what the shift stored in their states.
    for (const std::uint32_t state : layout.bnd_state)
        least.visit(b[state]);
    return ssum;
}

void forward_frames_deferred(const LayoutView &layout, const FramePlan &plan,
                             std::span<const float> dens, std::size_t num_cols, float *pl,
                             BeliefBuffers &buffers, std::span<std::uint32_t> out)
{
    FrameDensities frame;
    const bool narrow = narrow_columns(num_cols);
    bool pending = false;  // whether the belief still awaits its scaling
    float ssum = 0.0f;
    // The least masses of the frame before; the chunk's first frame reads
    // the belief the last chunk left.
    LeastMasses least(buffers.least_mass);
    for (std::size_t t = 0; t < out.size(); ++t) {
        frame.load(dens.data() + t * num_cols, num_cols);
        LeastMasses stored;
        if (pending) {
            const float inv_sum = 1.0f / ssum;
            const Previous<true> prev{buffers.belief.data(), inv_sum, {inv_sum, frame.d}};
            const bool tested = !prev.products.skip_tests(least);
            ssum = deferred_frame(layout, plan, frame.d, narrow, prev, tested, pl, buffers,
                                  &out[t - 1], stored);
        } else {
            const Previous<false> prev{buffers.belief.data(), 1.0f, {1.0f, frame.d}};
            const bool tested = !prev.products.skip_tests(least);
            ssum = deferred_frame(layout, plan, frame.d, narrow, prev, tested, pl, buffers, nullptr,
                                  stored);
        }
        least = stored;
        pending = ssum > 0.0f;
        if (!pending) out[t] = 0;
        const std::span<float> done = buffers.scratch;
        buffers.scratch = buffers.belief;
        buffers.belief = done;
    }
    buffers.least_mass = least.least();
    if (pending) {
        out[out.size() - 1] = normalise_and_pick(
            buffers.belief.data(), static_cast<std::int32_t>(buffers.belief.size()), ssum, least);
        // Scaling keeps the order of the masses, so the least mass scaled is
        // the least of the scaled masses; a least of 0 times a scale that
        // overflowed to infinity leaves nothing known.
        const float scaled = multiply_via_double(buffers.least_mass, 1.0f / ssum);
        buffers.least_mass = scaled >= 0.0f ? scaled : 0.0f;
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
    // This loop keeps no least masses.
    buffers.least_mass = 0.0f;
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
