// Scalar float32 products formed in double precision, for the x86 builds.
//
// x * y rounded to float32, formed in double precision.  The product of a
// float32 value and a double holding a float32 value is exact in a double,
// and rounding it to float32 once gives the bits the float32 multiply
// gives, subnormal results included.  But x86 cores take a slow microcoded
// path for a float32 multiply whose operand or result is subnormal: some
// 20 to 30 cycles on AMD's cores, and some 150 on Intel's, where a vector
// of such products costs fifty times a plain one.  Tiny masses are common
// where the belief has died away; a double product of float32 values is
// never subnormal, and neither widening nor rounding to float32 takes the
// slow path.  The intrinsics keep the compiler from folding the pair back
// into a float32 multiply.
#pragma once

#include <emmintrin.h>

namespace plintor::kernels::PLINTOR_ISA {

inline float multiply_via_double(float x, double wide_y)
{
    const __m128d wide_x = _mm_cvtss_sd(_mm_setzero_pd(), _mm_set_ss(x));
    // mulsd reads only the low lane of wide_y: a broadcast fills it without
    // the zeroing move _mm_set_sd needs, whose register form some tools
    // (valgrind 3.19) cannot decode.
    return _mm_cvtss_f32(_mm_cvtsd_ss(_mm_setzero_ps(), _mm_mul_sd(wide_x, _mm_set1_pd(wide_y))));
}

inline float multiply_via_double(float x, float y)
{
    return multiply_via_double(x, _mm_cvtsd_f64(_mm_cvtss_sd(_mm_setzero_pd(), _mm_set_ss(y))));
}

}  // namespace plintor::kernels::PLINTOR_ISA
