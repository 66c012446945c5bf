// The bound that keeps the forward loop's products off x86's slow path:
// every mass at or above it has normal products, and it lies within the
// margin of the least mass that certainly has.
#include <doctest/doctest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "../../src/plintor/model/kernels/least_fast_mass.hpp"

namespace plintor::tests {
namespace {

constexpr float least_normal = std::numeric_limits<float>::min();

bool normal(float x)
{
    return std::fpclassify(x) == FP_NORMAL || std::isinf(x);
}

// 2 to a uniform power in [lo, hi), rounded to float32: scales and
// densities across the whole range, subnormal densities included.
float power_of_two(std::mt19937 &rng, double lo, double hi)
{
    return static_cast<float>(std::exp2(std::uniform_real_distribution<double>(lo, hi)(rng)));
}

TEST_CASE("every mass at or above its least fast mass has normal products")
{
    std::mt19937 rng(2026);
    int finite = 0;
    for (int k = 0; k < 50000; ++k) {
        const float scale = power_of_two(rng, -60.0, 60.0);
        const float density = k % 5 == 0 ? 0.0f : power_of_two(rng, -140.0, 20.0);
        const float least =
            kernels::least_fast_mass(kernels::least_fast_product / double(scale), density);
        // The bound the margin rounds up from, in double.
        double exact = std::max(1.0, 1.0 / scale);
        if (density > 0.0f) exact = std::max(exact, 1.0 / (double(scale) * density));
        exact *= least_normal;
        CAPTURE(scale);
        CAPTURE(density);
        if (std::isinf(least)) {
            REQUIRE(exact * (1.0 + 0x1p-20) > std::numeric_limits<float>::max());
            continue;
        }
        ++finite;
        REQUIRE(least >= exact);
        REQUIRE(least <= exact * (1.0 + 0x1p-19));
        const float above = std::uniform_real_distribution<float>(1.0f, 4.0f)(rng);
        for (const float mass : {least, std::nextafter(least, 1.0f), least * above}) {
            CAPTURE(mass);
            const float scaled = mass * scale;
            REQUIRE(normal(mass));
            REQUIRE(normal(scaled));
            if (density > 0.0f) REQUIRE(normal(scaled * density));
        }
    }
    REQUIRE(finite > 37500);
}

TEST_CASE("a key is below a floor's just where the value is positive and below the floor")
{
    std::mt19937 rng(2027);
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    const float denorm_min = std::numeric_limits<float>::denorm_min();
    std::vector<float> values = {0.0f,        -0.0f,        denorm_min,
                                 -denorm_min, least_normal, std::nextafter(least_normal, 0.0f),
                                 1.0f,        -1.0f,        std::numeric_limits<float>::max(),
                                 inf,         -inf,         nan,
                                 -nan};
    // Every bit pattern is as likely: subnormals, negatives and NaNs alike.
    std::uniform_int_distribution<std::uint32_t> bits;
    for (int k = 0; k < 2000; ++k)
        values.push_back(std::bit_cast<float>(bits(rng)));
    std::vector<float> floors = {denorm_min, least_normal, 1.0f, inf};
    for (int k = 0; k < 200; ++k)
        floors.push_back(power_of_two(rng, -149.0, 128.0));
    for (const float floor : floors) {
        for (const float x : values) {
            CAPTURE(floor);
            CAPTURE(x);
            REQUIRE((kernels::fast_path_key(x) < kernels::fast_path_key(floor)) ==
                    (x > 0.0f && x < floor));
        }
    }
}

}  // namespace
}  // namespace plintor::tests
