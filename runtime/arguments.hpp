// Converting bound arguments to what an entry point works with: periods as
// unsigned 64-bit integers, inputs as borrowed float64 arrays, outputs as tested
// float64 arrays. Every failure names the parameter it concerns.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "borrow_registry.hpp"
#include "error.hpp"
#include "numpy_api.hpp"
#include "python_api.hpp"
#include "references.hpp"

namespace marundex::runtime {

// A TypeError (exactly that type) gets the parameter's name in front of its
// message and keeps its cause; any other error passes through unchanged.
PyErr argument_error(const char* parameter, PyErr error) noexcept;

// The slow paths of convert_period, out of line. A conversion that gave all ones:
// 2**64 - 1, unless an exception is pending.
[[gnu::cold, gnu::noinline]] Result<std::uint64_t> all_ones_period(const char* parameter) noexcept;
// A period that is not an int, converted through its __index__.
[[gnu::noinline]] Result<std::uint64_t> period_through_index(PyObject* object,
                                                             const char* parameter) noexcept;

// A period as an unsigned 64-bit integer, from an int or through __index__. The
// interpreter's OverflowError for a value out of range carries a note that gives
// `parameter` and the range; a failure is reported for `parameter` as
// argument_error reports it. Inline: every call converts one to three periods.
inline Result<std::uint64_t> convert_period(PyObject* object, const char* parameter) noexcept {
    if (!PyLong_Check(object)) {
        return period_through_index(object, parameter);
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == std::numeric_limits<unsigned long long>::max()) {
        return all_ones_period(parameter);
    }
    return static_cast<std::uint64_t>(value);
}

// An input array for the duration of a call: a strong reference and a read-only
// borrow in the shared registry, both given back when the holder goes, borrow first.
class BorrowedInput {
  public:
    BorrowedInput(OwnedRef array, ReadBorrow borrow,
                  std::optional<SeriesView> borrowed_view) noexcept
        : array_(std::move(array)), borrow_(borrow), borrowed_view_(borrowed_view) {}
    BorrowedInput(BorrowedInput&& other) noexcept
        : array_(std::move(other.array_)),
          borrow_(other.borrow_),
          borrowed_view_(other.borrowed_view_) {}
    BorrowedInput& operator=(BorrowedInput&&) = delete;
    BorrowedInput(const BorrowedInput&) = delete;
    BorrowedInput& operator=(const BorrowedInput&) = delete;
    ~BorrowedInput() {
        if (array_) {
            borrow_.release();
        }
    }

    [[nodiscard]] PyObject* get() const noexcept { return array_.get(); }

    // The array's view, which must still be the one that was borrowed: Python code
    // that ran since (an output's length protocol, an __index__) may have resized
    // the array, and the kernel must read only memory that the borrow covers.
    // Taken after the last point where such code can run.
    [[nodiscard]] Result<SeriesView> view(const char* parameter) const noexcept;

  private:
    OwnedRef array_;
    ReadBorrow borrow_;
    std::optional<SeriesView> borrowed_view_;
};

// The array test, then the reference and the read-only borrow.
Result<BorrowedInput> borrow_input(PyObject* object, const char* parameter) noexcept;

// A read-only borrow of an array that passed an array test, or the BufferError of
// a refusal by the registry.
Result<ReadBorrow> acquire_read_borrow(PyObject* array, const char* parameter) noexcept;

// The array test alone: outputs are used through the caller's reference and are
// not registered.
Result<PyObject*> check_output(PyObject* object, const char* parameter) noexcept;

}  // namespace marundex::runtime
