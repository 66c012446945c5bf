// The frame loops' vector operations in plain C++, for processors without
// a build of their own: four float32 lanes held in an array, each
// operation a loop over them that the compiler may vectorise.  Every lane
// computes what the scalar code computes (comparisons are ordinary float
// comparisons, false for a NaN), so this build agrees bit for bit with the
// others.
//
// Included through simd.hpp only.
#pragma once

#include <cstdint>

#include "simd_scalar.hpp"

namespace plintor::kernels::PLINTOR_ISA {

struct Vec {
    static constexpr int width = 4;
    struct F {
        float lane[width];
    };
    struct I {
        std::int32_t lane[width];
    };
    struct M {
        bool lane[width];
    };
    struct Table {
        const float *d;
    };

    template <class V, class Op>
    static V each(Op op)
    {
        V out;
        for (int i = 0; i < width; ++i)
            out.lane[i] = op(i);
        return out;
    }

    static F load(const float *p)
    {
        return each<F>([=](int i) { return p[i]; });
    }
    static void store(float *p, F v)
    {
        for (int i = 0; i < width; ++i)
            p[i] = v.lane[i];
    }
    static F broadcast(float x)
    {
        return each<F>([=](int) { return x; });
    }
    static F add(F a, F b)
    {
        return each<F>([&](int i) { return a.lane[i] + b.lane[i]; });
    }
    static F mul(F a, F b)
    {
        return each<F>([&](int i) { return a.lane[i] * b.lane[i]; });
    }
    static M greater(F a, F b)
    {
        return each<M>([&](int i) { return a.lane[i] > b.lane[i]; });
    }
    static M equal(F a, F b)
    {
        return each<M>([&](int i) { return a.lane[i] == b.lane[i]; });
    }
    static bool any(M m)
    {
        for (int i = 0; i < width; ++i) {
            if (m.lane[i]) return true;
        }
        return false;
    }
    static F select(M m, F yes, F no)
    {
        return each<F>([&](int i) { return m.lane[i] ? yes.lane[i] : no.lane[i]; });
    }
    static I select(M m, I yes, I no)
    {
        return each<I>([&](int i) { return m.lane[i] ? yes.lane[i] : no.lane[i]; });
    }
    static I broadcast_index(std::int32_t x)
    {
        return each<I>([=](int) { return x; });
    }
    static I lane_index()
    {
        return each<I>([](int i) { return static_cast<std::int32_t>(i); });
    }
    static I add(I a, I b)
    {
        return each<I>([&](int i) { return a.lane[i] + b.lane[i]; });
    }
    // The lanes hold no NaN where these are used.
    static float max_lane(F v)
    {
        float top = v.lane[0];
        for (int i = 1; i < width; ++i)
            top = v.lane[i] > top ? v.lane[i] : top;
        return top;
    }
    static std::int32_t min_lane(I v)
    {
        std::int32_t least = v.lane[0];
        for (int i = 1; i < width; ++i)
            least = v.lane[i] < least ? v.lane[i] : least;
        return least;
    }

    // out[i] = x[i] * w[i] rounded to float32, for wide_width values.
    static constexpr int wide_width = 4;
    static void multiply_wide(const float *x, const double *w, float *out)
    {
        for (int i = 0; i < wide_width; ++i)
            out[i] = multiply_via_double(x[i], w[i]);
    }

    static Table table(const float *d16) { return {d16}; }
    static F lookup(const Table &t, const std::uint8_t *cols)
    {
        return each<F>([&](int i) { return t.d[cols[i]]; });
    }
};

}  // namespace plintor::kernels::PLINTOR_ISA
