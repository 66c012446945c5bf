// A computed SplitLayout held in one allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "../types.hpp"

namespace plintor::kernels {

// The ten arrays of a SplitLayout as the split writes them, wherever they
// live: in a SplitStorage, or in the arrays _split_layout returns.
struct SplitArrays {
    std::span<std::uint32_t> bnd_state;
    std::span<std::uint32_t> pred_list;
    std::span<std::uint32_t> bnd_src;
    std::span<std::uint32_t> bnd_orig;
    std::span<std::int64_t> bnd_ptr;
    std::span<float> bnd_weight;
    std::span<std::uint32_t> bnd_dcol;
    std::span<std::int64_t> run_lo;
    std::span<std::int64_t> run_hi;
    std::span<std::uint32_t> run_col;
};

// The whole split in one allocation: the layout a decoder keeps.  Its
// arrays are made together once their lengths are known, so that a
// decoder holds, and later frees, one block rather than ten; each array is
// written in full right after.
struct SplitStorage {
    std::unique_ptr<std::byte[]> block;
    SplitArrays arrays;

    // Makes the arrays: the int64 ones first, which keeps every array
    // aligned to its elements.
    void allocate(std::size_t num_bnd, std::size_t num_pred, std::size_t num_edges,
                  std::size_t num_orig, std::size_t num_runs)
    {
        const std::size_t num_wide = num_bnd + 1 + 2 * num_runs;
        const std::size_t num_narrow = 2 * num_bnd + num_pred + 2 * num_edges + num_orig + num_runs;
        block.reset(new std::byte[8 * num_wide + 4 * num_narrow]);
        SplitArrays &a = arrays;
        auto *wide = reinterpret_cast<std::int64_t *>(block.get());
        a.bnd_ptr = take(wide, num_bnd + 1);
        a.run_lo = take(wide, num_runs);
        a.run_hi = take(wide, num_runs);
        auto *narrow = reinterpret_cast<std::uint32_t *>(wide);
        a.bnd_state = take(narrow, num_bnd);
        a.pred_list = take(narrow, num_pred);
        a.bnd_src = take(narrow, num_edges);
        a.bnd_orig = take(narrow, num_orig);
        a.bnd_dcol = take(narrow, num_bnd);
        a.run_col = take(narrow, num_runs);
        a.bnd_weight = {reinterpret_cast<float *>(narrow), num_edges};
    }

    LayoutView view() const
    {
        const SplitArrays &a = arrays;
        return {a.bnd_state,  a.pred_list, a.bnd_src, a.bnd_orig, a.bnd_ptr,
                a.bnd_weight, a.bnd_dcol,  a.run_lo,  a.run_hi,   a.run_col};
    }

  private:
    template <class T>
    static std::span<T> take(T *&next, std::size_t length)
    {
        const std::span<T> array(next, length);
        next += length;
        return array;
    }
};

}  // namespace plintor::kernels
