#include "borrow_span.hpp"

#include <numeric>

#include "numpy_api.hpp"

namespace marundex::runtime {

namespace {

std::uint64_t magnitude(std::int64_t value) noexcept {
    // Through unsigned arithmetic so that the most negative value has a magnitude too.
    const auto bits = static_cast<std::uint64_t>(value);
    return value < 0 ? ~bits + 1 : bits;
}

}  // namespace

BorrowSpan borrow_span(PyObject* array, std::int64_t element_size) noexcept {
    const ArrayObjectFields& fields = array_fields(array);
    const auto data = reinterpret_cast<std::uintptr_t>(fields.data);
    const auto dimensions = static_cast<std::size_t>(fields.nd < 0 ? 0 : fields.nd);
    // A zero-dimensional array still reaches its one element.
    if (dimensions == 0) {
        return {data, data + static_cast<std::uint64_t>(element_size), data, 1, element_size};
    }

    std::int64_t stride_gcd = fields.strides[0];
    if (dimensions > 1) {
        std::uint64_t divisor = 0;
        for (std::size_t axis = 0; axis < dimensions; ++axis) {
            divisor = std::gcd(divisor, magnitude(fields.strides[axis]));
        }
        stride_gcd = static_cast<std::int64_t>(divisor);
    }

    bool empty = false;
    // Offsets are summed in wrapping arithmetic: they describe memory that exists,
    // so the sums cannot really wrap, and no array can make them undefined.
    std::uint64_t below = 0;
    std::uint64_t above = 0;
    for (std::size_t axis = 0; axis < dimensions; ++axis) {
        const std::int64_t extent = fields.dimensions[axis];
        if (extent == 0) {
            empty = true;
            break;
        }
        const std::uint64_t offset = static_cast<std::uint64_t>(extent - 1) *
                                     static_cast<std::uint64_t>(fields.strides[axis]);
        if (fields.strides[axis] < 0) {
            below += offset;
        } else {
            above += offset;
        }
    }
    if (empty) {
        return {data, data, data, stride_gcd, element_size};
    }
    return {data + below, data + above + static_cast<std::uint64_t>(element_size), data, stride_gcd,
            element_size};
}

bool spans_conflict(const BorrowSpan& candidate, const BorrowSpan& registered) noexcept {
    if (registered.start >= candidate.end || candidate.start >= registered.end) {
        return false;
    }
    const std::uint64_t divisor =
        std::gcd(magnitude(candidate.stride_gcd), magnitude(registered.stride_gcd));
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
    const auto width = [](std::int64_t size) { return size < 1 ? 1U : magnitude(size); };
    return residue < width(registered.element_size) ||
           divisor - residue < width(candidate.element_size);
}

}  // namespace marundex::runtime
