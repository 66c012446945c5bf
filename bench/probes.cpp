// Reference loops the benchmarks measure the kernels against, built with
// the extension's floating-point flags.
#include <cstddef>
#include <cstdint>

// `repeats` passes of `count` dependent float32 additions: no reordering may
// shorten the chain, so it is the floor for the forward step's per-frame
// total, which is such a chain over all states.
extern "C" float serial_sum(const float *values, std::int64_t count, std::int64_t repeats)
{
    float total = 0.0f;
    for (std::int64_t r = 0; r < repeats; ++r) {
        for (std::int64_t i = 0; i < count; ++i)
            total += values[i];
    }
    return total;
}

// Copies `count` floats from `src` to `dst`: one read and one write stream,
// the traffic pattern of a frame loop that misses the caches.
extern "C" void stream_copy(const float *__restrict src, float *__restrict dst, std::int64_t count)
{
    for (std::int64_t i = 0; i < count; ++i)
        dst[i] = src[i];
}
