// Converting bound arguments to what an entry point works with: periods as
// unsigned 64-bit integers, inputs as borrowed float64 arrays, outputs as tested
// float64 arrays. Every failure names the parameter it concerns.
#pragma once

#include <cstdint>
#include <utility>

#include "borrow_registry.hpp"
#include "error.hpp"
#include "python_api.hpp"
#include "references.hpp"

namespace marundex::runtime {

// A TypeError (exactly that type) gets the parameter's name in front of its
// message and keeps its cause; any other error passes through unchanged.
PyErr argument_error(const char* parameter, PyErr error) noexcept;

Result<std::uint64_t> to_unsigned64(PyObject* object) noexcept;

// to_unsigned64, with a failure reported for `parameter`.
Result<std::uint64_t> convert_period(PyObject* object, const char* parameter) noexcept;

// An input array for the duration of a call: a strong reference and a read-only
// borrow in the shared registry, both given back when the holder goes, borrow first.
class BorrowedInput {
  public:
    BorrowedInput(OwnedRef array, const BorrowCheckingApi* api) noexcept
        : array_(std::move(array)), api_(api) {}
    BorrowedInput(BorrowedInput&& other) noexcept
        : array_(std::move(other.array_)), api_(other.api_) {}
    BorrowedInput& operator=(BorrowedInput&&) = delete;
    BorrowedInput(const BorrowedInput&) = delete;
    BorrowedInput& operator=(const BorrowedInput&) = delete;
    ~BorrowedInput() {
        if (array_) {
            api_->release_read(api_->registry, array_.get());
        }
    }

    [[nodiscard]] PyObject* get() const noexcept { return array_.get(); }

  private:
    OwnedRef array_;
    const BorrowCheckingApi* api_;
};

// The array test, then the reference and the read-only borrow.
Result<BorrowedInput> borrow_input(PyObject* object, const char* parameter) noexcept;

// The array test alone: outputs are used through the caller's reference and are
// not registered.
Result<PyObject*> check_output(PyObject* object, const char* parameter) noexcept;

}  // namespace marundex::runtime
