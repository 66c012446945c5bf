// Eight lanes of the Viterbi loop's boundary groups in one 256-bit
// register, for the AVX2 and AVX-512F builds (see boundary_groups.hpp).
//
// Included through simd_group.hpp only.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <limits>

namespace plintor::kernels::PLINTOR_ISA {

struct Group {
    using F = __m256;
    using I = __m256i;

    static F minus_infinity() { return _mm256_set1_ps(-std::numeric_limits<float>::infinity()); }
    static I no_slot() { return _mm256_setzero_si256(); }
    // d16[cols[i]] in lane i; bit 3 of a column picks the register, shifted
    // into the sign bit that blendv reads.
    static F densities(const float *d16, const std::uint8_t *cols)
    {
        const __m256i index =
            _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(cols)));
        const __m256 low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(d16), index);
        const __m256 high = _mm256_permutevar8x32_ps(_mm256_loadu_ps(d16 + 8), index);
        return _mm256_blendv_ps(low, high, _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
    }
    // (*score + weights[i]) + dens[i] in lane i.
    static F candidate(const float *score, const float *weights, F dens)
    {
        return _mm256_add_ps(_mm256_add_ps(_mm256_broadcast_ss(score), _mm256_loadu_ps(weights)),
                             dens);
    }
    // The strict scan's step: a lane whose candidate is greater than its
    // best takes it, and records *slot.  maxps returns its second operand
    // unless the first is greater, NaN never being greater, so it is that
    // very step; the winning lanes take *slot in one blend.
    static void keep(F candidate, const std::uint32_t *slot, F &best, I &where)
    {
        const __m256 wins = _mm256_cmp_ps(candidate, best, _CMP_GT_OQ);
        best = _mm256_max_ps(candidate, best);
        const __m256 won = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<std::int32_t>(*slot)));
        where = _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(where), won, wins));
    }
    // Joins the scan over a later run of slots into `best` and `where`: the
    // later run's winner stands only where its best is strictly greater.
    static void join(F later_best, I later_where, F &best, I &where)
    {
        const __m256 later = _mm256_cmp_ps(later_best, best, _CMP_GT_OQ);
        best = _mm256_blendv_ps(best, later_best, later);
        where = _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(where), _mm256_castsi256_ps(later_where), later));
    }
    static void store(float *out, F v) { _mm256_storeu_ps(out, v); }
    static void store(std::uint32_t *out, I v)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), v);
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
