// Scalar float32 products formed in double precision, for the builds
// other than x86: the exact double product of two float32 values, rounded
// to float32 once, which gives the float32 product's bits as the x86
// builds' do (simd_x86.hpp).  Without the slow path that x86 cores take on
// subnormal float32 products, nothing here needs to keep the compiler from
// folding the pair back into a float32 multiply.
#pragma once

namespace plintor::kernels::PLINTOR_ISA {

inline float multiply_via_double(float x, double wide_y)
{
    return static_cast<float>(static_cast<double>(x) * wide_y);
}

inline float multiply_via_double(float x, float y)
{
    return multiply_via_double(x, static_cast<double>(y));
}

}  // namespace plintor::kernels::PLINTOR_ISA
