// The forward loop's float32 products of masses, for one instruction set,
// kept off the slow path that x86 cores take on subnormal numbers.
// Included by forward_frames.cpp only, private to it as frame_steps.hpp is
// to the frame-loop units.
//
// An x86 float32 multiply whose operand or result is subnormal takes a
// microcoded path (simd_x86.hpp).  Once the belief has died away over much
// of the grid, many of a frame's masses are subnormal, and on an Intel
// core the frame then takes two to three times as long.  The products
// formed in double precision have the same bits and never take the slow
// path, but on frames without subnormal masses they make the frame a third
// slower.  So each frame works out, column by column, a least mass whose
// products by the frame's scale and densities are certainly normal: a
// vector of masses each zero or at least that is multiplied in float32,
// any other vector in double.  Which way a vector goes changes no bit of
// the result, only its time.  The AVX2 build does this (see simd_sse2.hpp
// for why the SSE2 build does not); the other targets have no slow path.
//
// Where the belief is far from subnormal, as it mostly is, even that test
// costs the frame a few per cent.  So each frame also keeps the least of
// the masses it stores, lane by lane, and the next frame skips the tests
// when no mass is below any of its least fast masses.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#include "frame_steps.hpp"
#include "least_fast_mass.hpp"

namespace plintor::kernels::PLINTOR_ISA {

namespace {

// A build whose float32 multiply is slow on subnormal numbers, and which
// can form the same products in double precision.
template <class V>
concept slow_subnormal_products = requires(typename V::F x) {
    V::mul_via_double(x, x);
    V::any_below(x, x);
    V::any_key_below(x, x);
    V::min(x, x);
};

// Whether a lane of x is below `floor`, on a build with the slow path.
template <class V = Vec>
bool any_below(typename V::F x, typename V::F floor)
{
    if constexpr (slow_subnormal_products<V>) {
        return V::any_below(x, floor);
    } else {
        return false;
    }
}

// Whether a vector of masses goes through double: where a lane is nonzero
// and below its least fast mass, whose key `floor_keys` holds
// (floor_key_lanes), on a build with the slow path.
template <class V = Vec>
bool through_double(typename V::F masses, typename V::F floor_keys)
{
    if constexpr (slow_subnormal_products<V>) {
        return V::any_key_below(masses, floor_keys);
    } else {
        return false;
    }
}

// The key of a least fast mass (fast_path_key) in a float32 lane, for the
// column lookups, which move a lane's bits without reading them.
inline float floor_key_lanes(float floor)
{
    return std::bit_cast<float>(fast_path_key(floor));
}

template <class V = Vec>
typename V::F mul_via_double(typename V::F a, typename V::F b)
{
    if constexpr (slow_subnormal_products<V>) {
        return V::mul_via_double(a, b);
    } else {
        return V::mul(a, b);
    }
}

// The least of the masses a frame stores, lane by lane.
class LeastMasses {
  public:
    // Nothing visited yet, masses none of which is below `least`, or (from
    // 0) masses of unknown size, which no frame may skip the tests for.
    explicit LeastMasses(float least = std::numeric_limits<float>::infinity())
        : least_(Vec::broadcast(least)), least_one_(least)
    {
    }

    template <class V = Vec>
    void visit(typename V::F masses)
    {
        if constexpr (slow_subnormal_products<V>) least_ = V::min(least_, masses);
    }
    template <class V = Vec>
    void visit(float mass)
    {
        if constexpr (slow_subnormal_products<V>) least_one_ = std::min(least_one_, mass);
    }

    // Whether no mass visited is below `floor`.
    bool at_least(Vec::F floor) const
    {
        return !any_below(least_, floor) && !any_below(Vec::broadcast(least_one_), floor);
    }

    // The least mass visited, or 0 on a build that keeps none.
    float least() const
    {
        if constexpr (slow_subnormal_products<Vec>) {
            alignas(64) float lanes[width];
            Vec::store(lanes, least_);
            return std::min(least_one_, *std::min_element(lanes, lanes + width));
        } else {
            return 0.0f;
        }
    }

  private:
    Vec::F least_;
    float least_one_;
};

// Masses times a frame's scale, then times their densities.  The least
// fast masses are worked out once a frame for each column, and looked up
// as the densities are.  Zero masses, which take no slow path, stay in
// float32: where the belief has died away, over a third of a long grid's
// vectors can be zero.
class MassProducts {
  public:
    // For scaled() only.
    explicit MassProducts(float scale) : MassProducts(scale, nullptr) {}
    // `d` holds the frame's max_columns densities.
    MassProducts(float scale, const float *d) : scale_(Vec::broadcast(scale))
    {
        float of_scale = 0.0f;
        float of_any = 0.0f;
        if constexpr (slow_subnormal_products<Vec>) {
            const double least_scaled = least_fast_product / static_cast<double>(scale);
            of_scale = least_fast_mass(least_scaled, 0.0f);
            of_any = of_scale;
            for (std::int32_t c = 0; c < max_columns; ++c) {
                const float floor = d ? least_fast_mass(least_scaled, d[c]) : of_scale;
                floor_keys_[c] = floor_key_lanes(floor);
                of_any = std::max(of_any, floor);
            }
        }
        floor_table_ = Vec::table(floor_keys_);
        scale_floor_key_ = Vec::broadcast(floor_key_lanes(of_scale));
        any_floor_ = Vec::broadcast(of_any);
        any_floor_key_ = Vec::broadcast(floor_key_lanes(of_any));
    }
    // floor_table_ may point into floor_keys_.
    MassProducts(const MassProducts &) = delete;
    MassProducts &operator=(const MassProducts &) = delete;

    struct Shifted {
        Vec::F mass;     // the masses times the scale, if scaled
        Vec::F product;  // that times the densities
    };

    // For the states whose columns start at `cols`: each vector tested
    // when `tested`, else multiplied in float32.
    template <bool scaled, bool narrow, bool tested>
    Shifted shifted(Vec::F masses, Vec::F dens, const std::uint8_t *cols) const
    {
        if constexpr (tested && slow_subnormal_products<Vec>) {
            return shifted<scaled>(masses, dens, density_lookup<narrow>(floor_table_, cols));
        } else {
            const Vec::F mass = scaled ? Vec::mul(masses, scale_) : masses;
            return {mass, Vec::mul(mass, dens)};
        }
    }

    // Whether the masses that `least` saw may all skip their tests.
    bool skip_tests(const LeastMasses &least) const { return least.at_least(any_floor_); }

    // For states of any columns.
    Vec::F product(Vec::F masses, Vec::F dens) const
    {
        return shifted<false>(masses, dens, any_floor_key_).product;
    }

    // The masses times the scale, tested for the slow path when `tested`.
    template <bool tested = true>
    Vec::F scaled(Vec::F masses) const
    {
        if (tested && through_double(masses, scale_floor_key_)) [[unlikely]]
            return mul_via_double(masses, scale_);
        return Vec::mul(masses, scale_);
    }

  private:
    template <bool scaled>
    Shifted shifted(Vec::F masses, Vec::F dens, Vec::F floor_keys) const
    {
        if (through_double(masses, floor_keys)) [[unlikely]] {
            const Vec::F mass = scaled ? mul_via_double(masses, scale_) : masses;
            return {mass, mul_via_double(mass, dens)};
        }
        const Vec::F mass = scaled ? Vec::mul(masses, scale_) : masses;
        return {mass, Vec::mul(mass, dens)};
    }

    alignas(64) float floor_keys_[max_columns] = {};
    Vec::F scale_;
    Vec::Table floor_table_;
    Vec::F scale_floor_key_;
    Vec::F any_floor_;  // for skip_tests
    Vec::F any_floor_key_;
};

// The shift's operation in the forward loop: a mass times its density, for
// masses that need no scaling.
class Multiply {
  public:
    explicit Multiply(const float *d) : products_(1.0f, d) {}

    Vec::F apply(Vec::F mass, Vec::F dens) const { return products_.product(mass, dens); }
    float apply(float mass, float dens) const { return multiply_via_double(mass, dens); }

  private:
    MassProducts products_;
};

}  // namespace

}  // namespace plintor::kernels::PLINTOR_ISA
