// Generic float32 Viterbi over a predecessor graph in compressed rows: the
// baseline that bench_decode.py measures decode against.
//
// Every state reduces over all of its predecessors and stores a back-pointer
// per frame, whatever its edges look like.  Evaluation order, tie rules,
// renormalisation and argmax are decode's, so both return the same path.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "viterbi_steps.hpp"

using bench::first_argmax;
using bench::minus_infinity;
using bench::renormalise;

// Decodes `num_frames` frames into `path` and returns the log-probability.
// `prev` holds the initial scores on entry; `cur` has num_states entries and
// `bt` num_frames * num_states.
extern "C" double csr_viterbi(const std::uint32_t *pred, const std::uint32_t *ptr,
                              const float *log_prob, const std::uint32_t *columns,
                              std::int32_t num_states, const float *log_dens,
                              std::int32_t num_frames, std::int32_t num_cols,
                              std::int32_t renorm_period, float *prev, float *cur,
                              std::uint32_t *bt, std::int64_t *path)
{
    double offset = 0.0;
    for (std::int32_t t = 0; t < num_frames; ++t) {
        const float *dens = log_dens + static_cast<std::size_t>(t) * num_cols;
        std::uint32_t *bt_row = bt + static_cast<std::size_t>(t) * num_states;
        for (std::int32_t s = 0; s < num_states; ++s) {
            const float density = dens[columns[s]];
            float best = minus_infinity;
            for (std::uint32_t p = ptr[s]; p < ptr[s + 1]; ++p) {
                const float candidate = (prev[pred[p]] + log_prob[p]) + density;
                if (candidate > best) {
                    best = candidate;
                    bt_row[s] = pred[p];
                }
            }
            cur[s] = best;
        }
        if (renorm_period > 0 && (t + 1) % renorm_period == 0) renormalise(cur, num_states, offset);
        std::swap(prev, cur);
    }
    const std::int32_t state = first_argmax(prev, num_states);
    std::uint32_t st = static_cast<std::uint32_t>(state);
    const bool reached = prev[state] > minus_infinity;
    for (std::int32_t t = num_frames - 1; t >= 0; --t) {
        path[t] = reached ? st : 0;
        st = reached ? bt[static_cast<std::size_t>(t) * num_states + st] : 0;
    }
    return offset + static_cast<double>(prev[state]);
}
