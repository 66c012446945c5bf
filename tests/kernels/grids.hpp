// Random tempo-lane grids and the inputs decoded over them, with the values
// that make the frame loops' rules matter: ties, minus infinity, NaN, zero
// densities and subnormal masses.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "reference.hpp"

namespace plintor::tests {

inline constexpr float not_a_number = std::numeric_limits<float>::quiet_NaN();
inline constexpr float subnormal = 1e-40f;

// How big a grid may get.  Lanes of up to 40 states and up to 40 lanes
// reach every vector path: boundaries with 16 and more predecessors, runs
// longer than a vector, and grids smaller than one.  Lanes of at least
// block_frames states, with few boundaries inside them and every state's
// predecessors ascending (which the boundary groups need), let the Viterbi
// loop take its frames in blocks.
struct GridSize {
    int max_lanes;
    int max_lane_length;
    int min_lane_length = 1;
    double inner_boundary_chance = 0.04;  // per state after a lane's first
    bool ascending_edges = false;         // each predecessor once, in order
};

class Draw {
  public:
    explicit Draw(std::uint32_t seed) : rng_(seed) {}

    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    float uniform(float lo, float hi)
    {
        return std::uniform_real_distribution<float>(lo, hi)(rng_);
    }
    // One of `values`, or else a uniform value in [lo, hi): repeated values
    // make ties.
    float pick(const std::vector<float> &values, float lo, float hi)
    {
        const int k = integer(0, static_cast<int>(values.size()));
        return k < static_cast<int>(values.size()) ? values[k] : uniform(lo, hi);
    }

    // The lane grid: each lane a run of states whose first state reduces
    // over the last states of some lanes (all of them, a window of them, or
    // a random selection in any order, possibly none), with a few extra
    // boundaries inside lanes.
    Graph grid(const GridSize &size, bool log_domain)
    {
        Graph g;
        std::vector<int> lengths(integer(1, size.max_lanes));
        for (int &length : lengths)
            length = integer(size.min_lane_length, size.max_lane_length);
        std::vector<std::uint32_t> ends;
        std::uint32_t next = 0;
        for (const int length : lengths) {
            next += static_cast<std::uint32_t>(length);
            ends.push_back(next - 1);
        }
        g.num_cols = integer(1, 16);
        few_weights_ = chance(0.3);
        ascending_edges_ = size.ascending_edges;
        const float identity = log_domain ? 0.0f : 1.0f;
        g.ptr.push_back(0);
        std::uint32_t s = 0;
        for (const int length : lengths) {
            for (int k = 0; k < length; ++k, ++s) {
                const bool new_column = k == 0 || chance(0.1);
                g.columns.push_back(new_column ? any_column(g) : g.columns.back());
                if (k == 0)
                    add_lane_start(g, ends, log_domain, length > 1);
                else if (chance(size.inner_boundary_chance))  // a boundary inside a lane
                    add_edges(g, {s - 1, ends[integer(0, int(ends.size()) - 1)]}, log_domain);
                else
                    add_edges(g, {s - 1}, log_domain, identity);
                g.ptr.push_back(static_cast<std::uint32_t>(g.pred.size()));
            }
        }
        return g;
    }

    // Per-state initial scores or masses; now and then all equal, which
    // makes many candidates tie.
    std::vector<float> initial(std::int32_t n, bool log_domain)
    {
        if (chance(0.3)) return std::vector<float>(n, log_domain ? -1.0f : 0.25f);
        std::vector<float> values(n);
        for (float &v : values)
            v = log_domain ? pick({0.0f, -1.0f, -1.0f, minus_infinity}, -6.0f, 0.0f)
                           : pick({0.0f, 0.0f, 0.25f, 0.25f, subnormal}, 0.0f, 1.0f);
        return values;
    }

    // frames rows of num_cols densities, log or linear.
    std::vector<float> densities(std::int32_t frames, std::int32_t num_cols, bool log_domain)
    {
        std::vector<float> values(std::size_t(frames) * num_cols);
        const bool with_nan = chance(0.1);
        for (float &v : values) {
            v = log_domain ? pick({0.0f, -0.5f, -0.5f, minus_infinity}, -10.0f, 0.0f)
                           : pick({0.0f, 1.0f, 0.5f, 0.5f, subnormal, 1e-30f}, 0.0f, 1.0f);
            if (with_nan && chance(0.01)) v = not_a_number;
        }
        return values;
    }

  private:
    std::uint32_t any_column(const Graph &g)
    {
        return static_cast<std::uint32_t>(integer(0, g.num_cols - 1));
    }

    // A grid with few distinct weights has ties among its edges.
    float weight(bool log_domain)
    {
        if (few_weights_) {
            return log_domain ? pick({-1.5f, minus_infinity}, -1.5f, -1.5f)
                              : pick({0.75f, 0.0f}, 0.75f, 0.75f);
        }
        return log_domain ? pick({-0.25f, -1.5f, -1.5f, minus_infinity, 0.0f}, -5.0f, 0.0f)
                          : pick({0.0f, 0.25f, 0.75f, 0.75f, 1.0f, subnormal}, 0.0f, 1.0f);
    }

    void add_edges(Graph &g, std::vector<std::uint32_t> sources, bool log_domain,
                   float fixed_weight = not_a_number)
    {
        if (ascending_edges_) {
            std::sort(sources.begin(), sources.end());
            sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
        }
        for (const std::uint32_t q : sources) {
            g.pred.push_back(q);
            g.weight.push_back(std::isnan(fixed_weight) ? weight(log_domain) : fixed_weight);
        }
    }

    // A state without edges needs one after it: the split reads every
    // state's first edge slot.
    void add_lane_start(Graph &g, const std::vector<std::uint32_t> &ends, bool log_domain,
                        bool may_be_empty)
    {
        const int num_lanes = static_cast<int>(ends.size());
        std::vector<std::uint32_t> sources;
        switch (integer(0, 3)) {
            case 0:  // every lane's end, in order: consecutive slots
                sources = ends;
                break;
            case 1: {  // a window of lane ends
                const int lo = integer(0, num_lanes - 1);
                sources.assign(ends.begin() + lo, ends.begin() + integer(lo, num_lanes - 1) + 1);
                break;
            }
            case 2:  // a random selection, in any order, possibly empty
                for (int k = integer(may_be_empty ? 0 : 1, num_lanes + 2); k > 0; --k)
                    sources.push_back(ends[integer(0, num_lanes - 1)]);
                break;
            default:  // every lane's end, in reverse order
                sources.assign(ends.rbegin(), ends.rend());
        }
        add_edges(g, sources, log_domain);
    }

    std::mt19937 rng_;
    bool few_weights_ = false;
    bool ascending_edges_ = false;
};

}  // namespace plintor::tests
