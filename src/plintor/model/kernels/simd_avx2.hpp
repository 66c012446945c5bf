// The vector operations of the AVX2 build: eight float32 lanes, and masks
// as all-ones lanes.
//
// Included through simd.hpp only.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "least_fast_mass.hpp"
#include "simd_x86.hpp"

namespace plintor::kernels::PLINTOR_ISA {

struct Vec {
    using F = __m256;
    using I = __m256i;
    using M = __m256;  // all-ones lanes where true
    static constexpr int width = 8;
    // Columns 0-7 and 8-15, one register each.
    struct Table {
        __m256 low;
        __m256 high;
    };

    static F load(const float *p) { return _mm256_loadu_ps(p); }
    static void store(float *p, F v) { _mm256_storeu_ps(p, v); }
    static F broadcast(float x) { return _mm256_set1_ps(x); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F min(F a, F b) { return _mm256_min_ps(a, b); }
    // a > b ? a : b lane by lane, so b where either is NaN, as maxps does.
    static F max(F a, F b) { return _mm256_max_ps(a, b); }
    // The float32 products formed in double precision (see simd_x86.hpp).
    static F mul_via_double(F a, F b)
    {
        const __m256d low = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(a)),
                                          _mm256_cvtps_pd(_mm256_castps256_ps128(b)));
        const __m256d high = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(a, 1)),
                                           _mm256_cvtps_pd(_mm256_extractf128_ps(b, 1)));
        return _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
    }
    // Whether a lane of x is below `floor`.
    static bool any_below(F x, F floor)
    {
        return _mm256_movemask_ps(_mm256_cmp_ps(x, floor, _CMP_LT_OQ)) != 0;
    }
    // Whether the key of a lane of x is below the one in `keys`, whose lanes
    // hold keys' bits (see fast_path_key).
    static bool any_key_below(F x, F keys)
    {
        const __m256i key =
            _mm256_add_epi32(_mm256_castps_si256(x), _mm256_set1_epi32(fast_path_key_bias));
        const __m256i below = _mm256_cmpgt_epi32(_mm256_castps_si256(keys), key);
        return _mm256_movemask_ps(_mm256_castsi256_ps(below)) != 0;
    }
    static M greater(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static M equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
    static bool any(M m) { return _mm256_movemask_ps(m) != 0; }
    static F select(M m, F yes, F no) { return _mm256_blendv_ps(no, yes, m); }
    static I select(M m, I yes, I no)
    {
        return _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(no), _mm256_castsi256_ps(yes), m));
    }
    static I broadcast_index(std::int32_t x) { return _mm256_set1_epi32(x); }
    static I lane_index() { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
    static I add(I a, I b) { return _mm256_add_epi32(a, b); }
    static float max_lane(F v)
    {
        __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        m = _mm_max_ps(m, _mm_movehl_ps(m, m));
        m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }
    static std::int32_t min_lane(I v)
    {
        __m128i m = _mm_min_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4e));
        m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xb1));
        return _mm_cvtsi128_si32(m);
    }

    static constexpr int wide_width = 4;
    static void multiply_wide(const float *x, const double *w, float *out)
    {
        const __m256d product = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(x)), _mm256_loadu_pd(w));
        _mm_storeu_ps(out, _mm256_cvtpd_ps(product));
    }

    static Table table(const float *d16)
    {
        return {_mm256_loadu_ps(d16), _mm256_loadu_ps(d16 + 8)};
    }
    // Columns 0-7 only, from the low register.
    static constexpr std::size_t narrow_columns = 8;
    static F lookup_narrow(const Table &t, const std::uint8_t *cols)
    {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(cols));
        return _mm256_permutevar8x32_ps(t.low, _mm256_cvtepu8_epi32(bytes));
    }
    // Bit 3 of a column picks the register, shifted into the sign bit that
    // blendv reads.
    static F lookup(const Table &t, const std::uint8_t *cols)
    {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(cols));
        const __m256i index = _mm256_cvtepu8_epi32(bytes);
        const __m256 low = _mm256_permutevar8x32_ps(t.low, index);
        const __m256 high = _mm256_permutevar8x32_ps(t.high, index);
        return _mm256_blendv_ps(low, high, _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
