// Stretches of plain inputs, which a kernel may take by a quicker course than its
// definition's step: inputs finite and within a bound small enough that none of the
// kernel's sums can overflow, after enough of them that every window it keeps is
// full, clean and within the bound too. Such a course skips the step's tests of
// each input and each sum, and must give the step's bits.
#pragma once

#include <cstddef>

#include "float64_access.hpp"
#include "lanes.hpp"
#include "marundex/core.hpp"

namespace marundex::core::detail {

// Whether x is at most `bound` in magnitude: false for NaN.
inline bool within(double x, double bound) noexcept {
    return x <= bound && x >= -bound;
}

// The first input of `run` in [from, to) that is NaN or larger than `bound` in
// magnitude, or `to`. Sixteen inputs a test where there are lanes.
inline std::size_t first_beyond(const void* run, std::size_t from, std::size_t to,
                                double bound) noexcept {
    std::size_t i = from;
#if defined(__SSE2__)
    // NOLINTBEGIN(portability-simd-intrinsics)
    constexpr std::size_t block = 16;
    const Lanes bounds = _mm_set1_pd(bound);
    const Lanes magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fff'ffff'ffff'ffff));
    for (; to - i >= block; i += block) {
        Lanes all_within = _mm_castsi128_pd(_mm_set1_epi64x(-1));
        for (std::size_t k = i; k < i + block; k += 2) {
            all_within = _mm_and_pd(
                all_within, _mm_cmple_pd(_mm_and_pd(load_lanes(run, k), magnitude), bounds));
        }
        if (_mm_movemask_pd(all_within) != 3) [[unlikely]] {
            break;
        }
    }
    // NOLINTEND(portability-simd-intrinsics)
#endif
    while (i < to && within(load(run, i), bound)) {
        ++i;
    }
    return i;
}

// The most bars a stretch takes between two tests of its inputs, first_beyond()'s:
// they stay in the first level of cache from the test to the bars.
inline constexpr std::size_t plain_piece = 512;

// Takes every bar of `data`: by `step(i, x)`, the definition's step, until `settle`
// inputs within `bound` follow the last one beyond it, and from there by
// `stretch(i)`, which takes bars from i while it can and returns the first it did
// not take. Outputs that overlap the input read what the steps store over it, so
// with `overlapping` every bar takes the step.
template <class Stretch, class Step>
void take_stretches(InputRun data, std::size_t settle, double bound, bool overlapping,
                    Stretch stretch, Step step) noexcept {
    const std::size_t n = data.length;
    // The bar after the last input beyond the bound.
    std::size_t within_from = overlapping ? n : 0;
    std::size_t i = 0;
    while (i < n) {
        if (i >= within_from && i - within_from >= settle) {
            i = stretch(i);
            if (i == n) {
                break;
            }
        }
        const double x = load(data.data, i);
        step(i, x);
        if (!within(x, bound) && !overlapping) {
            within_from = i + 1;
        }
        ++i;
    }
}

}  // namespace marundex::core::detail
