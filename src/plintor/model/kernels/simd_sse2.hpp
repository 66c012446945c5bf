// The vector operations of the SSE2 build, which every x86-64 processor
// runs: four float32 lanes, and masks as all-ones lanes.
//
// Included through simd.hpp only.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "simd_x86.hpp"

namespace plintor::kernels::PLINTOR_ISA {

struct Vec {
    using F = __m128;
    using I = __m128i;
    using M = __m128;  // all-ones lanes where true
    static constexpr int width = 4;
    // No variable permute: each lane loads its own density.
    struct Table {
        const float *d;
    };

    static F load(const float *p) { return _mm_loadu_ps(p); }
    static void store(float *p, F v) { _mm_storeu_ps(p, v); }
    static F broadcast(float x) { return _mm_set1_ps(x); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    // a > b ? a : b lane by lane, so b where either is NaN, as maxps does.
    static F max(F a, F b) { return _mm_max_ps(a, b); }
    // No mul_via_double: with a density looked up lane by lane, keeping the
    // products off the slow path (forward_products.hpp) costs this build
    // more on frames without subnormal masses than it saves on the others.
    static M greater(F a, F b) { return _mm_cmpgt_ps(a, b); }
    static M equal(F a, F b) { return _mm_cmpeq_ps(a, b); }
    static bool any(M m) { return _mm_movemask_ps(m) != 0; }
    static F select(M m, F yes, F no)
    {
        return _mm_or_ps(_mm_and_ps(m, yes), _mm_andnot_ps(m, no));
    }
    static I select(M m, I yes, I no)
    {
        const __m128i mi = _mm_castps_si128(m);
        return _mm_or_si128(_mm_and_si128(mi, yes), _mm_andnot_si128(mi, no));
    }
    static I broadcast_index(std::int32_t x) { return _mm_set1_epi32(x); }
    static I lane_index() { return _mm_setr_epi32(0, 1, 2, 3); }
    static I add(I a, I b) { return _mm_add_epi32(a, b); }
    static float max_lane(F v)
    {
        const __m128 m = _mm_max_ps(v, _mm_movehl_ps(v, v));
        return _mm_cvtss_f32(_mm_max_ss(m, _mm_shuffle_ps(m, m, 1)));
    }
    static std::int32_t min_lane(I v)
    {
        alignas(16) std::int32_t lanes[width];
        _mm_store_si128(reinterpret_cast<__m128i *>(lanes), v);
        const std::int32_t a = lanes[0] < lanes[1] ? lanes[0] : lanes[1];
        const std::int32_t b = lanes[2] < lanes[3] ? lanes[2] : lanes[3];
        return a < b ? a : b;
    }

    // Two values at a time, moved as one 64-bit lane.
    static constexpr int wide_width = 2;
    static void multiply_wide(const float *x, const double *w, float *out)
    {
        const __m128 pair = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64 *>(x));
        const __m128d product = _mm_mul_pd(_mm_cvtps_pd(pair), _mm_loadu_pd(w));
        _mm_storel_pi(reinterpret_cast<__m64 *>(out), _mm_cvtpd_ps(product));
    }

    static Table table(const float *d16) { return {d16}; }
    static F lookup(const Table &t, const std::uint8_t *cols)
    {
        return _mm_setr_ps(t.d[cols[0]], t.d[cols[1]], t.d[cols[2]], t.d[cols[3]]);
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
