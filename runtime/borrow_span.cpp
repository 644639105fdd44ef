#include "borrow_span.hpp"

#include <numeric>

#include "numpy_api.hpp"

namespace marundex::runtime {

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
            divisor = std::gcd(divisor, stride_magnitude(fields.strides[axis]));
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

}  // namespace marundex::runtime
