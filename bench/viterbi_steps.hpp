// The renormalisation and the final argmax of a Viterbi decode, as decode
// does them, shared by the benchmark's reference loops.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace bench {

constexpr float minus_infinity = -std::numeric_limits<float>::infinity();

inline void renormalise(float *scores, std::int32_t num_states, double &offset)
{
    float top = scores[0];
    for (std::int32_t s = 1; s < num_states; ++s) {
        if (scores[s] > top) top = scores[s];
    }
    if (!(top > minus_infinity)) return;
    for (std::int32_t s = 0; s < num_states; ++s)
        scores[s] -= top;
    offset += static_cast<double>(top);
}

inline std::int32_t first_argmax(const float *scores, std::int32_t num_states)
{
    std::int32_t best = 0;
    for (std::int32_t s = 0; s < num_states; ++s) {
        if (std::isnan(scores[s])) return s;
        if (scores[s] > scores[best]) best = s;
    }
    return best;
}

}  // namespace bench
