#include "dispatch.hpp"

#include <cstdlib>
#include <string_view>

namespace plintor::kernels {

namespace {

enum class Isa { sse2, avx2, avx512 };

Isa widest_supported()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::avx2;
    return Isa::sse2;
}

Isa chosen_isa()
{
    const Isa widest = widest_supported();
    const char *forced = std::getenv("PLINTOR_KERNEL_ISA");
    if (forced == nullptr) return widest;
    const std::string_view name = forced;
    Isa wanted = widest;
    if (name == "sse2")
        wanted = Isa::sse2;
    else if (name == "avx2")
        wanted = Isa::avx2;
    return wanted < widest ? wanted : widest;
}

}  // namespace

FrameLoops select_frame_loops()
{
    switch (chosen_isa()) {
        case Isa::avx512:
            return {avx512::viterbi_forward, avx512::forward_chunk};
        case Isa::avx2:
            return {avx2::viterbi_forward, avx2::forward_chunk};
        case Isa::sse2:
            break;
    }
    return {sse2::viterbi_forward, sse2::forward_chunk};
}

}  // namespace plintor::kernels
