// The frame loops' vector operations in 128-bit Advanced SIMD (NEON), which
// every aarch64 processor has: one build, no run-time choice.
//
// As in the x86 builds, every operation is an exact IEEE operation on
// float32 lanes, comparisons are ordered (a NaN lane compares false), and
// nothing fuses a multiply with an add: the build passes -ffp-contract=off,
// and no fused intrinsic (vfmaq_f32 and the like) appears here.  The lane
// maxima run over lanes that hold no NaN (they only ever take values that
// compared greater), so the NaN rules of FMAX do not matter.
//
// Included through simd.hpp only.
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>

#include "simd_scalar.hpp"

namespace plintor::kernels::PLINTOR_ISA {

struct Vec {
    using F = float32x4_t;
    using I = int32x4_t;
    using M = uint32x4_t;  // all-ones lanes where true
    static constexpr int width = 4;
    // The sixteen densities as 64 bytes, four registers, for a byte lookup.
    struct Table {
        uint8x16x4_t bytes;
    };

    static F load(const float *p) { return vld1q_f32(p); }
    static void store(float *p, F v) { vst1q_f32(p, v); }
    static F broadcast(float x) { return vdupq_n_f32(x); }
    static F add(F a, F b) { return vaddq_f32(a, b); }
    static F mul(F a, F b) { return vmulq_f32(a, b); }
    static M greater(F a, F b) { return vcgtq_f32(a, b); }
    static M equal(F a, F b) { return vceqq_f32(a, b); }
    static bool any(M m) { return vmaxvq_u32(m) != 0; }
    static F select(M m, F yes, F no) { return vbslq_f32(m, yes, no); }
    static I select(M m, I yes, I no) { return vbslq_s32(m, yes, no); }
    static I broadcast_index(std::int32_t x) { return vdupq_n_s32(x); }
    static I lane_index()
    {
        static constexpr std::int32_t lanes[width] = {0, 1, 2, 3};
        return vld1q_s32(lanes);
    }
    static I add(I a, I b) { return vaddq_s32(a, b); }
    static float max_lane(F v) { return vmaxvq_f32(v); }
    static std::int32_t min_lane(I v) { return vminvq_s32(v); }

    // out[i] = x[i] * w[i] rounded to float32, for wide_width values.
    static constexpr int wide_width = 2;
    static void multiply_wide(const float *x, const double *w, float *out)
    {
        const float64x2_t product = vmulq_f64(vcvt_f64_f32(vld1_f32(x)), vld1q_f64(w));
        vst1_f32(out, vcvt_f32_f64(product));
    }

    static Table table(const float *d16)
    {
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(d16);
        return {
            {vld1q_u8(bytes), vld1q_u8(bytes + 16), vld1q_u8(bytes + 32), vld1q_u8(bytes + 48)}};
    }
    // The densities of the `width` states whose columns start at `cols`:
    // each column c becomes the byte indices 4c .. 4c+3 of its float in the
    // table, and one table lookup moves the four floats' bytes.
    static F lookup(const Table &t, const std::uint8_t *cols)
    {
        std::uint32_t four_columns;
        std::memcpy(&four_columns, cols, sizeof four_columns);
        static constexpr std::uint8_t spread[16] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
        static constexpr std::uint8_t byte_of_float[16] = {0, 1, 2, 3, 0, 1, 2, 3,
                                                           0, 1, 2, 3, 0, 1, 2, 3};
        const uint8x16_t columns = vreinterpretq_u8_u32(vdupq_n_u32(four_columns));
        const uint8x16_t each = vqtbl1q_u8(columns, vld1q_u8(spread));
        const uint8x16_t index = vaddq_u8(vshlq_n_u8(each, 2), vld1q_u8(byte_of_float));
        return vreinterpretq_f32_u8(vqtbl4q_u8(t.bytes, index));
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
