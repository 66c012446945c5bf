// The eight lanes of the Viterbi loop's boundary groups (see
// boundary_groups.hpp) as Vec's vectors side by side, for the builds whose
// vectors are narrower than eight lanes; simd_group256.hpp serves AVX2 and
// AVX-512F.  Each operation is Vec's, lane by lane, so it computes exactly
// what the wider types do.
//
// Included through simd_group.hpp only.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "boundary_groups.hpp"

namespace plintor::kernels::PLINTOR_ISA {

struct Group {
    static constexpr int vectors = static_cast<int>(group_lanes) / Vec::width;
    static_assert(vectors * Vec::width == static_cast<int>(group_lanes));
    struct F {
        Vec::F v[vectors];
    };
    struct I {
        Vec::I v[vectors];
    };

    static F minus_infinity()
    {
        F out;
        for (auto &v : out.v)
            v = Vec::broadcast(-std::numeric_limits<float>::infinity());
        return out;
    }
    static I no_slot()
    {
        I out;
        for (auto &v : out.v)
            v = Vec::broadcast_index(0);
        return out;
    }
    // d16[cols[i]] in lane i.
    static F densities(const float *d16, const std::uint8_t *cols)
    {
        const auto table = Vec::table(d16);
        F out;
        for (int k = 0; k < vectors; ++k)
            out.v[k] = Vec::lookup(table, cols + k * Vec::width);
        return out;
    }
    // (*score + weights[i]) + dens[i] in lane i.
    static F candidate(const float *score, const float *weights, F dens)
    {
        const Vec::F x = Vec::broadcast(*score);
        F out;
        for (int k = 0; k < vectors; ++k)
            out.v[k] = Vec::add(Vec::add(x, Vec::load(weights + k * Vec::width)), dens.v[k]);
        return out;
    }
    // The strict scan's step: a lane whose candidate is greater than its
    // best takes it, and records *slot.
    static void keep(F candidate, const std::uint32_t *slot, F &best, I &where)
    {
        const Vec::I s = Vec::broadcast_index(static_cast<std::int32_t>(*slot));
        for (int k = 0; k < vectors; ++k) {
            const Vec::M wins = Vec::greater(candidate.v[k], best.v[k]);
            best.v[k] = Vec::select(wins, candidate.v[k], best.v[k]);
            where.v[k] = Vec::select(wins, s, where.v[k]);
        }
    }
    // Joins the scan over a later run of slots into `best` and `where`: the
    // later run's winner stands only where its best is strictly greater.
    static void join(F later_best, I later_where, F &best, I &where)
    {
        for (int k = 0; k < vectors; ++k) {
            const Vec::M later = Vec::greater(later_best.v[k], best.v[k]);
            best.v[k] = Vec::select(later, later_best.v[k], best.v[k]);
            where.v[k] = Vec::select(later, later_where.v[k], where.v[k]);
        }
    }
    static void store(float *out, F v)
    {
        for (int k = 0; k < vectors; ++k)
            Vec::store(out + k * Vec::width, v.v[k]);
    }
    static void store(std::uint32_t *out, I v)
    {
        static_assert(sizeof(Vec::I) == Vec::width * sizeof(std::uint32_t));
        std::memcpy(out, v.v, sizeof v.v);
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
