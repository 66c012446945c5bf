// The two frame loops written out literally, one state and one edge at a
// time, over a split layout: the baseline that decode and step are shown
// against.  Built with the extension's flags and nothing else, so the
// compiler vectorises only what it can on its own.  Both give the kernels'
// results bit for bit.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "viterbi_steps.hpp"

using bench::first_argmax;
using bench::minus_infinity;
using bench::renormalise;

// A split layout as the frame loops read it.
struct LiteralLayout {
    const std::uint32_t *bnd_state;
    const std::uint32_t *pred_list;
    const std::uint32_t *bnd_src;
    const std::uint32_t *bnd_orig;
    const std::int64_t *bnd_ptr;
    const float *bnd_weight;
    const std::uint32_t *bnd_dcol;
    const std::int64_t *run_lo;
    const std::int64_t *run_hi;
    const std::uint32_t *run_col;
    std::int32_t num_bnd;
    std::int32_t num_pred;
    std::int32_t num_runs;
};

namespace {

void gather(const LiteralLayout &in, const float *a, float *pl)
{
    for (std::int32_t k = 0; k < in.num_pred; ++k)
        pl[k] = a[in.pred_list[k]];
}

template <class Op>
void shift(const LiteralLayout &in, const float *d, const float *a, float *b, Op op)
{
    for (std::int32_t r = 0; r < in.num_runs; ++r) {
        const auto lo = static_cast<std::int32_t>(in.run_lo[r]);
        const auto hi = static_cast<std::int32_t>(in.run_hi[r]);
        if (lo >= hi) continue;
        const float dval = d[in.run_col[r]];
        for (std::int32_t s = lo; s < hi; ++s)
            b[s] = op(a[s - 1], dval);
    }
}

void viterbi_frame(const LiteralLayout &in, const float *d, const float *prev, float *cur,
                   float *pl, std::uint32_t *bt_row)
{
    gather(in, prev, pl);
    shift(in, d, prev, cur, [](float x, float y) { return x + y; });
    for (std::int32_t j = 0; j < in.num_bnd; ++j) {
        const float density = d[in.bnd_dcol[j]];
        float best = minus_infinity;
        for (std::int64_t p = in.bnd_ptr[j]; p < in.bnd_ptr[j + 1]; ++p) {
            const float candidate = (pl[in.bnd_src[p]] + in.bnd_weight[p]) + density;
            if (candidate > best) {
                best = candidate;
                bt_row[j] = in.bnd_orig[p];
            }
        }
        cur[in.bnd_state[j]] = best;
    }
}

std::uint32_t forward_frame(const LiteralLayout &in, const float *d, const float *a, float *b,
                            float *pl, std::int32_t num_states)
{
    gather(in, a, pl);
    shift(in, d, a, b, [](float x, float y) { return x * y; });
    for (std::int32_t j = 0; j < in.num_bnd; ++j) {
        float acc = 0.0f;
        for (std::int64_t p = in.bnd_ptr[j]; p < in.bnd_ptr[j + 1]; ++p)
            acc += pl[in.bnd_src[p]] * in.bnd_weight[p];
        b[in.bnd_state[j]] = acc * d[in.bnd_dcol[j]];
    }
    float ssum = 0.0f;
    for (std::int32_t s = 0; s < num_states; ++s)
        ssum += b[s];
    if (!(ssum > 0.0f)) return 0;
    const float inv_sum = 1.0f / ssum;
    float best = -1.0f;
    std::uint32_t best_s = 0;
    for (std::int32_t s = 0; s < num_states; ++s) {
        b[s] = b[s] * inv_sum;
        if (b[s] > best) {
            best = b[s];
            best_s = static_cast<std::uint32_t>(s);
        }
    }
    return best_s;
}

}  // namespace

// Decodes num_frames frames into `path` and returns the log-probability.
// `prev` holds the initial scores on entry; `cur` has num_states entries,
// `pl` num_pred (at least 1), `is_bnd` and `bnd_col` num_states and `bt`
// num_frames * max(num_bnd, 1).
extern "C" double literal_decode(const LiteralLayout *layout, std::int32_t num_states,
                                 const float *log_dens, std::int32_t num_frames,
                                 std::int32_t num_cols, std::int32_t renorm_period, float *prev,
                                 float *cur, float *pl, std::uint8_t *is_bnd,
                                 std::uint32_t *bnd_col, std::uint32_t *bt, std::int64_t *path)
{
    const LiteralLayout &in = *layout;
    const std::size_t stride = in.num_bnd > 0 ? static_cast<std::size_t>(in.num_bnd) : 1;
    for (std::int32_t s = 0; s < num_states; ++s)
        is_bnd[s] = 0;
    for (std::int32_t j = 0; j < in.num_bnd; ++j) {
        is_bnd[in.bnd_state[j]] = 1;
        bnd_col[in.bnd_state[j]] = static_cast<std::uint32_t>(j);
    }
    double offset = 0.0;
    float d[16];
    for (std::int32_t t = 0; t < num_frames; ++t) {
        for (std::int32_t c = 0; c < num_cols; ++c)
            d[c] = log_dens[static_cast<std::size_t>(t) * num_cols + c];
        viterbi_frame(in, d, prev, cur, pl, bt + static_cast<std::size_t>(t) * stride);
        if (renorm_period > 0 && (t + 1) % renorm_period == 0) renormalise(cur, num_states, offset);
        std::swap(prev, cur);
    }
    const std::int32_t state = first_argmax(prev, num_states);
    const bool reached = prev[state] > minus_infinity;
    auto st = static_cast<std::uint32_t>(state);
    for (std::int32_t t = num_frames - 1; t >= 0; --t) {
        path[t] = reached ? st : 0;
        if (reached)
            st = is_bnd[st] != 0 ? bt[static_cast<std::size_t>(t) * stride + bnd_col[st]] : st - 1;
    }
    return offset + static_cast<double>(prev[state]);
}

// Steps num_frames frames of `dens` from the belief in `belief`, writing each
// frame's argmax to `out`; the belief after the last frame ends in `belief`.
// `scratch` has num_states entries and `pl` num_pred (at least 1).
extern "C" void literal_step(const LiteralLayout *layout, std::int32_t num_states,
                             const float *dens, std::int32_t num_frames, std::int32_t num_cols,
                             float *belief, float *scratch, float *pl, std::uint32_t *out)
{
    float *a = belief;
    float *b = scratch;
    float d[16];
    for (std::int32_t t = 0; t < num_frames; ++t) {
        for (std::int32_t c = 0; c < num_cols; ++c)
            d[c] = dens[static_cast<std::size_t>(t) * num_cols + c];
        out[t] = forward_frame(*layout, d, a, b, pl, num_states);
        std::swap(a, b);
    }
    if (a != belief) {
        for (std::int32_t s = 0; s < num_states; ++s)
            belief[s] = a[s];
    }
}
