// Every build of the frame loops against the plain recursions, bit for bit:
// the worked examples, then random tempo-lane grids of several sizes and shapes.
#include <doctest/doctest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "builds.hpp"
#include "grids.hpp"
#include "reference.hpp"

namespace plintor::tests {
namespace {

// The bits of every value, NaNs made one: which NaN an operation on NaNs
// returns (sign and payload) IEEE 754 leaves open, and compilers may swap
// the operands of an addition or a multiplication, so no build can promise
// it.  Every other value, signed zeros and subnormals included, must match.
std::vector<std::uint32_t> bits(const std::vector<float> &values)
{
    std::vector<std::uint32_t> out;
    for (const float v : values)
        out.push_back(std::isnan(v) ? 0x7fc00000u : std::bit_cast<std::uint32_t>(v));
    return out;
}

// The two-lane graph of six states whose boundaries are states 0 and 3.
Graph two_lanes(std::vector<float> weight)
{
    return {
        {0, 2, 3, 4, 6, 7, 8}, {2, 5, 0, 1, 2, 5, 3, 4}, std::move(weight), {0, 0, 0, 1, 1, 1}, 2};
}

// The whole decode over the frame loop's result: the best final state,
// backtracked.
std::vector<std::int64_t> best_path(const Layout &layout, const ViterbiResult &r,
                                    std::int32_t frames)
{
    const auto n = static_cast<std::int32_t>(r.scores.size());
    std::vector<std::uint8_t> is_bnd(n);
    std::vector<std::uint32_t> bnd_col(n);
    kernels::mark_boundaries(layout.bnd_state, is_bnd, bnd_col);
    std::vector<std::uint32_t> bt;
    for (std::int32_t t = 0; t < frames; ++t) {
        for (const std::uint32_t s : layout.bnd_state)
            bt.push_back(r.back[std::size_t(t) * n + s]);
    }
    std::vector<std::int64_t> path(frames);
    const std::int32_t state = kernels::first_argmax(r.scores);
    kernels::backtrack({bt.data(), layout.bnd_state.size()}, is_bnd, bnd_col,
                       static_cast<std::uint32_t>(state), path);
    return path;
}

TEST_CASE("the worked Viterbi example")
{
    const Graph g = two_lanes({-0.25f, -1.5f, 0, 0, -1.5f, -0.25f, 0, 0});
    const Layout layout = split(g, 0.0f, true);
    const std::vector<float> initial = {0, -1, -1, -1, -1, -1};
    const std::vector<float> dens = {-1, -2, -0.5f, -3, -2, -0.25f, -1, -0.5f};
    for (const Build &build : runnable_builds()) {
        for (const std::int32_t renorm_period : {1024, 2, 1, 0}) {
            CAPTURE(build.name);
            CAPTURE(renorm_period);
            const ViterbiResult r = run_viterbi(build, layout, initial, dens, 2, renorm_period);
            CHECK(best_path(layout, r, 4) == std::vector<std::int64_t>{1, 2, 3, 4});
            CHECK(r.offset + r.scores[4] == -3.75);
        }
    }
}

TEST_CASE("the worked forward example, in one chunk and in two")
{
    const Graph g = two_lanes({0.75f, 0.25f, 1, 1, 0.25f, 0.75f, 1, 1});
    const Layout layout = split(g, 1.0f, false);
    const std::vector<float> initial = {0.5f, 0, 0, 0.5f, 0, 0};
    const std::vector<float> dens = {1, 0.5f, 0.5f, 1, 1, 1};
    for (const Build &build : runnable_builds()) {
        CAPTURE(build.name);
        const ForwardResult two =
            run_forward(build, layout, initial, {dens.begin(), dens.begin() + 4}, 2, {});
        CHECK(two.argmax == std::vector<std::uint32_t>{1, 2});
        CHECK(two.belief == std::vector<float>{0, 0, 0.5f, 0, 0, 0.5f});
        for (const std::vector<std::size_t> &chunks : {std::vector<std::size_t>{}, {1, 2}}) {
            const ForwardResult all = run_forward(build, layout, initial, dens, 2, chunks);
            CHECK(all.argmax == std::vector<std::uint32_t>{1, 2, 0});
            CHECK(all.belief == std::vector<float>{0.5f, 0, 0, 0.5f, 0, 0});
        }
    }
}

// The layouts a grid is decoded through: as split, with runs that do not
// tile the states, and with its boundaries in descending order.
std::vector<Layout> layouts_of(const Graph &g, float identity, bool with_orig)
{
    std::vector<Layout> layouts(3, split(g, identity, with_orig));
    break_tiling(layouts[1]);
    reverse_boundaries(layouts[2]);
    return layouts;
}

constexpr GridSize grid_sizes[] = {{2, 3}, {6, 12}, {24, 40}};
constexpr int grids_per_size = 400;

// For grids_per_size random grids of each size: draw_grid(draw, grid) draws
// the rest of the case and returns its check, which runs for every layout
// of the grid and every build.  Prints and returns how many decodes were
// compared.
template <class DrawGrid>
int on_random_grids(const char *what, bool log_domain, std::span<const GridSize> sizes,
                    DrawGrid draw_grid)
{
    const std::vector<Build> builds = runnable_builds();
    int compared = 0;
    for (const GridSize &size : sizes) {
        for (int seed = 0; seed < grids_per_size; ++seed) {
            Draw draw(static_cast<std::uint32_t>(seed * 7919 + size.max_lanes) ^ log_domain);
            const Graph g = draw.grid(size, log_domain);
            const auto check = draw_grid(draw, g);
            for (const Layout &layout : layouts_of(g, log_domain ? 0.0f : 1.0f, log_domain)) {
                for (const Build &build : builds) {
                    CAPTURE(build.name);
                    CAPTURE(seed);
                    CAPTURE(size.max_lanes);
                    check(build, layout);
                    ++compared;
                }
            }
        }
    }
    std::string names;
    for (const Build &build : builds)
        names += " " + build.name;
    std::printf("%s: %d decodes on random grids, builds%s: all bit-identical\n", what, compared,
                names.c_str());
    return compared;
}

// A Viterbi decode over grid g of up to max_frames frames, renormalised
// every 1..max_period frames or (for 0 and -1) never, and its check against
// the plain recursion.
auto viterbi_case(Draw &draw, const Graph &g, int max_frames, int max_period)
{
    const std::vector<float> initial = draw.initial(g.num_states(), true);
    const std::vector<float> dens = draw.densities(draw.integer(0, max_frames), g.num_cols, true);
    const std::int32_t renorm_period = draw.integer(-1, max_period);
    const ViterbiResult want = viterbi(g, initial, dens, renorm_period);
    return [=, &g](const Build &build, const Layout &layout) {
        const ViterbiResult got =
            run_viterbi(build, layout, initial, dens, g.num_cols, renorm_period);
        REQUIRE(bits(got.scores) == bits(want.scores));
        REQUIRE(got.back == want.back);
        REQUIRE(std::bit_cast<std::uint64_t>(got.offset) ==
                std::bit_cast<std::uint64_t>(want.offset));
    };
}

TEST_CASE("Viterbi on random grids, every build, bit for bit")
{
    on_random_grids("viterbi", true, grid_sizes,
                    [](Draw &draw, const Graph &g) { return viterbi_case(draw, g, 24, 5); });
}

// Lanes of at least block_frames states, with few boundaries inside them, so
// that most grids take blocks; a boundary inside a lane too near either end
// of it keeps its grid from them.  The larger grids pass the states from
// which the widest build's block shift runs in vectors (two of its 16 lanes
// past the first block_frames states), with lanes shorter than a vector.
constexpr GridSize block_grid_sizes[] = {{8, 16, kernels::block_frames, 0.01, true},
                                         {16, 40, kernels::block_frames, 0.01, true}};
constexpr std::int32_t vector_shift_states = kernels::block_frames + 2 * 16;

bool takes_blocks(const Layout &layout, std::int32_t num_states)
{
    kernels::PlanStorage plan;
    kernels::make_plan(layout.view(), num_states, plan);
    return !plan.view().block_scores.empty();
}

TEST_CASE("Viterbi in blocks of frames on random grids, every build, bit for bit")
{
    int grids = 0;
    int grids_in_blocks = 0;
    int wide_grids_in_blocks = 0;
    int decodes_in_blocks = 0;
    const int decodes = on_random_grids(
        "viterbi in blocks", true, block_grid_sizes, [&](Draw &draw, const Graph &g) {
            ++grids;
            if (takes_blocks(split(g, 0.0f, true), g.num_states())) {
                ++grids_in_blocks;
                wide_grids_in_blocks += g.num_states() >= vector_shift_states;
            }
            // Frames for several blocks and the single frames after them, and
            // renormalisations that fall inside a block or at its end.
            auto check = viterbi_case(draw, g, 40, 9);
            return [&, check](const Build &build, const Layout &layout) {
                decodes_in_blocks += takes_blocks(layout, g.num_states());
                check(build, layout);
            };
        });
    std::printf(
        "viterbi in blocks: %d of %d decodes took blocks, on %d of %d grids, %d of them "
        "of %d states or more\n",
        decodes_in_blocks, decodes, grids_in_blocks, grids, wide_grids_in_blocks,
        vector_shift_states);
    REQUIRE(grids_in_blocks > grids / 2);
    REQUIRE(grids_in_blocks < grids);
    REQUIRE(wide_grids_in_blocks > grids / 4);
}

// Besides the bits, the bound on the belief that each chunk leaves for the
// next.  It only decides whether the next chunk's first frame tests for the
// slow path, so a bound above a mass would show in no result, only in time.
TEST_CASE("the forward filter on random grids, every build, bit for bit, in chunks")
{
    std::map<std::string, int> positive_bounds;
    on_random_grids("forward", false, grid_sizes, [&](Draw &draw, const Graph &g) {
        const std::vector<float> initial = draw.initial(g.num_states(), false);
        const std::vector<float> dens = draw.densities(draw.integer(0, 24), g.num_cols, false);
        std::vector<std::size_t> chunks;
        for (int k = draw.integer(0, 4); k > 0; --k)
            chunks.push_back(static_cast<std::size_t>(draw.integer(1, 6)));
        const ForwardResult want = forward(g, initial, dens);
        return [=, &g, &positive_bounds](const Build &build, const Layout &layout) {
            const ForwardResult got = run_forward(build, layout, initial, dens, g.num_cols, chunks);
            REQUIRE(bits(got.belief) == bits(want.belief));
            REQUIRE(got.argmax == want.argmax);
            // NaN masses leave no order to bound.
            if (std::ranges::none_of(got.belief, [](float m) { return std::isnan(m); })) {
                REQUIRE(got.least_mass <= std::ranges::min(got.belief));
                positive_bounds[build.name] += got.least_mass > 0.0f;
            }
        };
    });
    // The builds with the slow path keep the bound, on grids of more than a
    // few states; the others leave 0.
    for (const char *keeps : {"avx2", "avx512"}) {
        if (positive_bounds.contains(keeps)) REQUIRE(positive_bounds[keeps] > 0);
    }
}

}  // namespace
}  // namespace plintor::tests
