#include <numeric>

#include "borrow_key.hpp"

namespace marundex::runtime {

bool spans_conflict(const BorrowSpan& candidate, const BorrowSpan& registered) noexcept {
    if (registered.start >= candidate.end || candidate.start >= registered.end) {
        return false;
    }
    const std::uint64_t divisor =
        std::gcd(stride_magnitude(candidate.stride_gcd), stride_magnitude(registered.stride_gcd));
    // Overlapping ranges with no stride to step by (broadcast arrays): assume the
    // worst and report a conflict.
    if (divisor == 0) {
        return true;
    }
    // Every element of either starts at its data pointer plus a multiple of the
    // divisor, so they can meet only when the offset of the candidate's data from
    // the registered data, modulo the divisor, lies within one element of either:
    // an element wider than one byte overlaps its neighbours' offsets too.
    const std::uint64_t residue =
        candidate.data >= registered.data
            ? (candidate.data - registered.data) % divisor
            : (divisor - (registered.data - candidate.data) % divisor) % divisor;
    const auto width = [](std::int64_t size) { return size < 1 ? 1U : stride_magnitude(size); };
    return residue < width(registered.element_size) ||
           divisor - residue < width(candidate.element_size);
}

}  // namespace marundex::runtime
