// The few vector operations the frame loops use, for the instruction set
// this translation unit is compiled for: SSE2 (the x86-64 baseline), AVX2 or
// AVX-512F.  frames.cpp is built once per instruction set, each time with
// its own -m flags, and sees exactly one of these types under the name
// `Vec`, in a namespace named after the instruction set (PLINTOR_ISA).
// Distinct namespaces keep the three builds' inline functions apart: the
// linker must never pick an AVX-512 copy of a function for the SSE2 code.
//
// Every operation is an exact IEEE operation on float32 lanes (add, multiply,
// ordered compare, select), so a lane computes the very value the scalar
// code computes: the width changes how many lanes run at once, never a
// result.  Masks come from ordered comparisons, so a NaN lane compares
// false.  multiply_wide multiplies in double precision and rounds each
// product to float32 once: a product of float32 values is exact in a double,
// so this too gives the float32 product's bits.
#pragma once

#include <immintrin.h>

#include <cstdint>

// The build system sets PLINTOR_ISA_LEVEL (1 SSE2, 2 AVX2, 3 AVX-512F)
// together with the matching -m flags.
#if PLINTOR_ISA_LEVEL == 3
#define PLINTOR_ISA avx512
#elif PLINTOR_ISA_LEVEL == 2
#define PLINTOR_ISA avx2
#elif PLINTOR_ISA_LEVEL == 1
#define PLINTOR_ISA sse2
#else
#error "PLINTOR_ISA_LEVEL must be 1, 2 or 3"
#endif

namespace plintor::kernels::PLINTOR_ISA {

#if PLINTOR_ISA_LEVEL == 3

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
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
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

    // out[i] = x[i] * w[i] rounded to float32, for wide_width values.
    static constexpr int wide_width = 8;
    static void multiply_wide(const float *x, const double *w, float *out)
    {
        const __m512d wide_x = _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(x));
        const __m512d product = _mm512_mul_pd(wide_x, _mm512_loadu_pd(w));
        _mm256_storeu_ps(out, _mm512_maskz_cvtpd_ps(0xff, product));
    }

    static Table table(const float *d16) { return {_mm512_loadu_ps(d16)}; }
    // The densities of the `width` states whose columns start at `cols`.
    static F lookup(const Table &t, const std::uint8_t *cols)
    {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cols));
        return _mm512_maskz_permutexvar_ps(all, _mm512_maskz_cvtepu8_epi32(all, bytes), t.all);
    }
};

#elif PLINTOR_ISA_LEVEL == 2

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
    static M greater(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static M equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
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

#else

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
};

#endif

}  // namespace plintor::kernels::PLINTOR_ISA
