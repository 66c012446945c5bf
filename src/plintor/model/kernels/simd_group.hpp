// The lanes of the Viterbi loop's boundary groups for this build (see
// boundary_groups.hpp): one 256-bit register where the build has them, else
// Vec's own vectors side by side.
#pragma once

#include "simd.hpp"

#if defined(PLINTOR_ISA_avx2) || defined(PLINTOR_ISA_avx512)
#include "simd_group256.hpp"
#else
#include "simd_group_vec.hpp"
#endif
