// The few vector operations the frame loops use, for the instruction set
// this translation unit is compiled for.  The frame loops are built once per
// instruction set of the target, each time with its own flags and
// PLINTOR_ISA set to the build's name (see CMakeLists.txt): SSE2, AVX2 and
// AVX-512F on x86-64, Advanced SIMD (NEON) on aarch64, plain C++ elsewhere.
// Each build sees exactly one type under the name `Vec`, in a namespace
// named after the instruction set.  Distinct namespaces keep the builds'
// inline functions apart: the linker must never pick an AVX-512 copy of a
// function for the SSE2 code.
//
// Every operation is an exact IEEE operation on float32 lanes (add, multiply,
// ordered compare, select), so a lane computes the very value the scalar
// code computes: the width changes how many lanes run at once, never a
// result.  Masks come from ordered comparisons, so a NaN lane compares
// false.  multiply_wide multiplies in double precision and rounds each
// product to float32 once: a product of float32 values is exact in a double,
// so this too gives the float32 product's bits.
#pragma once

#if defined(PLINTOR_ISA_avx512)
#include "simd_avx512.hpp"
#elif defined(PLINTOR_ISA_avx2)
#include "simd_avx2.hpp"
#elif defined(PLINTOR_ISA_sse2)
#include "simd_sse2.hpp"
#elif defined(PLINTOR_ISA_neon)
#include "simd_neon.hpp"
#elif defined(PLINTOR_ISA_portable)
#include "simd_portable.hpp"
#else
#error "PLINTOR_ISA names no build of the frame loops"
#endif
