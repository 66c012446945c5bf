// The vector operations of the SSE2 build, which every x86-64 processor
// runs: four float32 lanes, and masks as all-ones lanes.
//
// Included through simd.hpp only.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

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
    static M greater(F a, F b) { return _mm_cmpgt_ps(a, b); }
    static M equal(F a, F b) { return _mm_cmpeq_ps(a, b); }
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
    // Every column is narrow here.
    static constexpr std::size_t narrow_columns = 16;
    static F lookup_narrow(const Table &t, const std::uint8_t *cols) { return lookup(t, cols); }
};

// Eight lanes of the Viterbi loop's boundary groups as two registers (see
// boundary_groups.hpp).
struct Group {
    struct F {
        __m128 low, high;
    };
    struct I {
        __m128i low, high;
    };

    static F minus_infinity()
    {
        const __m128 v = _mm_set1_ps(-std::numeric_limits<float>::infinity());
        return {v, v};
    }
    static I no_slot() { return {_mm_setzero_si128(), _mm_setzero_si128()}; }
    static F densities(const float *d16, const std::uint8_t *cols)
    {
        return {_mm_setr_ps(d16[cols[0]], d16[cols[1]], d16[cols[2]], d16[cols[3]]),
                _mm_setr_ps(d16[cols[4]], d16[cols[5]], d16[cols[6]], d16[cols[7]])};
    }
    static F candidate(const float *score, const float *weights, F dens)
    {
        const __m128 x = _mm_load1_ps(score);
        return {_mm_add_ps(_mm_add_ps(x, _mm_loadu_ps(weights)), dens.low),
                _mm_add_ps(_mm_add_ps(x, _mm_loadu_ps(weights + 4)), dens.high)};
    }
    // The strict scan's step, as in the wider builds; without an unsigned
    // maximum the slot goes in by a select.
    static void keep(F candidate, const std::uint32_t *slot, F &best, I &where)
    {
        const __m128i s = _mm_set1_epi32(static_cast<std::int32_t>(*slot));
        keep_half(candidate.low, s, best.low, where.low);
        keep_half(candidate.high, s, best.high, where.high);
    }
    static void join(F later_best, I later_where, F &best, I &where)
    {
        join_half(later_best.low, later_where.low, best.low, where.low);
        join_half(later_best.high, later_where.high, best.high, where.high);
    }
    static void store(float *out, F v)
    {
        _mm_storeu_ps(out, v.low);
        _mm_storeu_ps(out + 4, v.high);
    }
    static void store(std::uint32_t *out, I v)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v.low);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4), v.high);
    }

  private:
    static void keep_half(__m128 candidate, __m128i slot, __m128 &best, __m128i &where)
    {
        const __m128 wins = _mm_cmpgt_ps(candidate, best);
        best = _mm_max_ps(candidate, best);
        where = Vec::select(wins, slot, where);
    }
    static void join_half(__m128 later_best, __m128i later_where, __m128 &best, __m128i &where)
    {
        const __m128 later = _mm_cmpgt_ps(later_best, best);
        best = Vec::select(later, later_best, best);
        where = Vec::select(later, later_where, where);
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
