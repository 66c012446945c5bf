// The least float32 mass whose products stay normal: the bound by which
// the forward loop keeps its multiplies off x86's slow path for subnormal
// numbers (forward_products.hpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

namespace plintor::kernels {

// Each rounding to float32 loses less than a part in 2^24, which a margin
// of a part in 2^20 covers: a product of at least this is still normal
// once rounded.
inline constexpr double least_fast_product = (1.0 + 0x1p-20) * std::numeric_limits<float>::min();

// The least mass whose product by a scale, and that product's by `density`
// where it is positive, are both normal, from least_scaled =
// least_fast_product / scale: the mass is then normal as well, and neither
// multiply takes the slow path.  Infinite where no finite mass will do,
// which sends every vector through double.
inline float least_fast_mass(double least_scaled, float density)
{
    double least = std::max<double>(std::numeric_limits<float>::min(), least_scaled);
    if (density > 0.0f) least = std::max(least, least_scaled / density);
    if (least <= std::numeric_limits<float>::max()) return static_cast<float>(least);
    return std::numeric_limits<float>::infinity();
}

// Only a nonzero subnormal operand or result takes the slow path: a zero
// mass has zero products, at any scale and density, and needs no double.
// So masses are compared with their least fast masses as keys, the float32
// bits plus 2^31 - 1 taken as a signed integer, which costs a vector one
// integer addition where a second comparison would cost two instructions.
// Keys keep the order of the positive values, infinity and NaN above them,
// and put every negative value and then +0, the greatest key, above those:
// key(x) < key(floor) holds, for a positive floor, just where 0 < x < floor.
// Negative masses, which only negative densities make, stay in float32 as
// well: they may take the slow path, which costs time but changes no bit.
inline constexpr std::uint32_t fast_path_key_bias = 0x7fffffff;

inline std::int32_t fast_path_key(float x)
{
    return std::bit_cast<std::int32_t>(std::bit_cast<std::uint32_t>(x) + fast_path_key_bias);
}

}  // namespace plintor::kernels
