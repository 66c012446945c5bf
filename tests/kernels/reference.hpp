// The two recursions written the plain way, state by state over the
// predecessor graph, without the split, the runs or any vector: what every
// build of the frame loops must reproduce bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace plintor::tests {

inline constexpr float minus_infinity = -std::numeric_limits<float>::infinity();
inline constexpr std::uint32_t unwritten = 0xffffffff;

// A transition graph in compressed rows, with the observation column of
// every state.
struct Graph {
    std::vector<std::uint32_t> ptr;
    std::vector<std::uint32_t> pred;
    std::vector<float> weight;  // log-probabilities or probabilities
    std::vector<std::uint32_t> columns;
    std::int32_t num_cols = 1;

    std::int32_t num_states() const { return static_cast<std::int32_t>(ptr.size()) - 1; }

    // A plain phase advance: one predecessor, s-1, at the identity weight.
    bool deterministic(std::int32_t s, float identity) const
    {
        const std::uint32_t p = ptr[s];
        return s > 0 && ptr[s + 1] - p == 1 && pred[p] == static_cast<std::uint32_t>(s - 1) &&
               weight[p] == identity;
    }
};

struct ViterbiResult {
    std::vector<float> scores;        // after the last frame
    std::vector<std::uint32_t> back;  // (frames, states): the chosen predecessor
    double offset = 0.0;              // what renormalisation subtracted
};

// log_dens is row-major (frames, num_cols).
inline ViterbiResult viterbi(const Graph &g, const std::vector<float> &log_initial,
                             const std::vector<float> &log_dens, std::int32_t renorm_period)
{
    const std::int32_t n = g.num_states();
    const auto frames = static_cast<std::int32_t>(log_dens.size() / g.num_cols);
    ViterbiResult r{log_initial, std::vector<std::uint32_t>(std::size_t(frames) * n, unwritten)};
    std::vector<float> cur(n);
    for (std::int32_t t = 0; t < frames; ++t) {
        const float *d = log_dens.data() + std::size_t(t) * g.num_cols;
        for (std::int32_t s = 0; s < n; ++s) {
            const float density = d[g.columns[s]];
            if (g.deterministic(s, 0.0f)) {
                cur[s] = r.scores[s - 1] + density;
                continue;
            }
            float best = minus_infinity;
            for (std::uint32_t p = g.ptr[s]; p < g.ptr[s + 1]; ++p) {
                const float candidate = (r.scores[g.pred[p]] + g.weight[p]) + density;
                if (candidate > best) {
                    best = candidate;
                    r.back[std::size_t(t) * n + s] = g.pred[p];
                }
            }
            cur[s] = best;
        }
        if (renorm_period > 0 && (t + 1) % renorm_period == 0) {
            float top = cur[0];
            for (std::int32_t s = 1; s < n; ++s)
                top = cur[s] > top ? cur[s] : top;
            if (top > minus_infinity) {
                for (float &score : cur)
                    score -= top;
                r.offset += top;
            }
        }
        r.scores.swap(cur);
    }
    return r;
}

struct ForwardResult {
    std::vector<float> belief;          // after the last frame
    std::vector<std::uint32_t> argmax;  // per frame
    float least_mass = 0.0f;            // the bound a build left (BeliefBuffers)
};

// dens is row-major (frames, num_cols).
inline ForwardResult forward(const Graph &g, const std::vector<float> &initial,
                             const std::vector<float> &dens)
{
    const std::int32_t n = g.num_states();
    const auto frames = static_cast<std::int32_t>(dens.size() / g.num_cols);
    ForwardResult r{initial, {}};
    std::vector<float> b(n);
    for (std::int32_t t = 0; t < frames; ++t) {
        const float *d = dens.data() + std::size_t(t) * g.num_cols;
        for (std::int32_t s = 0; s < n; ++s) {
            const float density = d[g.columns[s]];
            if (g.deterministic(s, 1.0f)) {
                b[s] = r.belief[s - 1] * density;
                continue;
            }
            float acc = 0.0f;
            for (std::uint32_t p = g.ptr[s]; p < g.ptr[s + 1]; ++p)
                acc += r.belief[g.pred[p]] * g.weight[p];
            b[s] = acc * density;
        }
        float total = 0.0f;
        for (const float mass : b)
            total += mass;
        std::uint32_t best_state = 0;
        if (total > 0.0f) {
            const float inv_total = 1.0f / total;
            float best = -1.0f;
            for (std::int32_t s = 0; s < n; ++s) {
                b[s] = b[s] * inv_total;
                if (b[s] > best) {
                    best = b[s];
                    best_state = static_cast<std::uint32_t>(s);
                }
            }
        }
        r.argmax.push_back(best_state);
        r.belief.swap(b);
    }
    return r;
}

}  // namespace plintor::tests
