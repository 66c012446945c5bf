// The vector operations of the AVX-512F build: sixteen float32 lanes, and
// masks in mask registers.  Only the Viterbi loop uses them: the build runs
// the AVX2 build's forward loop (see CMakeLists.txt).
//
// Included through simd.hpp only.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "simd_x86.hpp"

namespace plintor::kernels::PLINTOR_ISA {

struct Vec {
    using F = __m512;
    using I = __m512i;
    using M = __mmask16;
    static constexpr int width = 16;
    // Sixteen densities in one register: any column is a lane of it.
    struct Table {
        __m512 all;
    };

    static F load(const float *p) { return _mm512_loadu_ps(p); }
    static void store(float *p, F v) { _mm512_storeu_ps(p, v); }
    static F broadcast(float x) { return _mm512_set1_ps(x); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static M greater(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    static M equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
    static F select(M m, F yes, F no) { return _mm512_mask_blend_ps(m, no, yes); }
    static I select(M m, I yes, I no) { return _mm512_mask_blend_epi32(m, no, yes); }
    static I broadcast_index(std::int32_t x) { return _mm512_set1_epi32(x); }
    static I lane_index()
    {
        return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    }
    static I add(I a, I b) { return _mm512_add_epi32(a, b); }
    // The zero-masking forms below compile to the plain instructions; the
    // plain intrinsics start from an undefined register that GCC 12 warns
    // about once inlined.
    static constexpr __mmask16 all = 0xffff;
    template <int which>
    static __m256 half(F v)
    {
        return _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xff, _mm512_castps_pd(v), which));
    }
    template <int which>
    static __m256i half(I v)
    {
        return _mm512_maskz_extracti64x4_epi64(0xff, v, which);
    }
    static float max_lane(F v)
    {
        const __m256 m8 = _mm256_max_ps(half<0>(v), half<1>(v));
        __m128 m = _mm_max_ps(_mm256_castps256_ps128(m8), _mm256_extractf128_ps(m8, 1));
        m = _mm_max_ps(m, _mm_movehl_ps(m, m));
        return _mm_cvtss_f32(_mm_max_ss(m, _mm_shuffle_ps(m, m, 1)));
    }
    static std::int32_t min_lane(I v)
    {
        const __m256i m8 = _mm256_min_epi32(half<0>(v), half<1>(v));
        __m128i m = _mm_min_epi32(_mm256_castsi256_si128(m8), _mm256_extracti128_si256(m8, 1));
        m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4e));
        m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xb1));
        return _mm_cvtsi128_si32(m);
    }

    static Table table(const float *d16) { return {_mm512_loadu_ps(d16)}; }
    // The densities of the `width` states whose columns start at `cols`.
    static F lookup(const Table &t, const std::uint8_t *cols)
    {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cols));
        return _mm512_maskz_permutexvar_ps(all, _mm512_maskz_cvtepu8_epi32(all, bytes), t.all);
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
