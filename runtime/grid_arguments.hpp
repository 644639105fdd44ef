// Arrays of one or two dimensions as arguments: float64 inputs, borrowed for a
// call, and outputs, tested only; and one-dimensional int64 index arrays, which
// are inputs too.
#pragma once

#include <optional>
#include <utility>

#include "arguments.hpp"
#include "borrow_registry.hpp"
#include "error.hpp"
#include "numpy_api.hpp"
#include "references.hpp"

namespace marundex::runtime {

// An input array for the duration of a call: a strong reference and a read-only
// borrow in the shared registry, both given back when the holder goes, borrow first.
class BorrowedGrid {
  public:
    BorrowedGrid(OwnedRef array, ReadBorrow borrow, GridView borrowed_view) noexcept
        : array_(std::move(array)), borrow_(borrow), borrowed_view_(borrowed_view) {}
    BorrowedGrid(BorrowedGrid&& other) noexcept
        : array_(std::move(other.array_)),
          borrow_(other.borrow_),
          borrowed_view_(other.borrowed_view_) {}
    BorrowedGrid& operator=(BorrowedGrid&&) = delete;
    BorrowedGrid(const BorrowedGrid&) = delete;
    BorrowedGrid& operator=(const BorrowedGrid&) = delete;
    ~BorrowedGrid() {
        if (array_) {
            borrow_.release();
        }
    }

    // The array's view, which must still be the one that was borrowed (see
    // BorrowedInput::view). Taken after the last point where Python code can run.
    [[nodiscard]] Result<GridView> view(const char* parameter) const noexcept;

  private:
    OwnedRef array_;
    ReadBorrow borrow_;
    GridView borrowed_view_;
};

// The array test for float64 arrays of one to `max_dimensions` (1 or 2)
// dimensions, then the reference and the read-only borrow. A failed test is the
// TypeError of argument conversion with `note` attached.
Result<BorrowedGrid> borrow_float64_grid(PyObject* object, const char* parameter,
                                         int max_dimensions, const char* note) noexcept;

// An output array that passed its test. It is not registered, and its view is
// taken only when asked: after the call's last borrow, which may run Python code
// that reshapes or moves the array. The object is the caller's argument, alive for
// the call.
class TestedGridOutput {
  public:
    // The array's view as it is now; a ValueError naming `parameter` when it no
    // longer has the dimensions its test allowed.
    [[nodiscard]] Result<GridView> view(const char* parameter) const noexcept;
    [[nodiscard]] PyObject* object() const noexcept { return object_; }

  private:
    friend Result<TestedGridOutput> float64_grid_output(PyObject* object, const char* parameter,
                                                        int max_dimensions,
                                                        const char* note) noexcept;
    TestedGridOutput(PyObject* object, int max_dimensions) noexcept
        : object_(object), max_dimensions_(max_dimensions) {}

    PyObject* object_;
    int max_dimensions_;
};

// The same test for an output.
Result<TestedGridOutput> float64_grid_output(PyObject* object, const char* parameter,
                                             int max_dimensions, const char* note) noexcept;

// A one-dimensional int64 array, borrowed as an input.
Result<BorrowedGrid> borrow_int64_vector(PyObject* object, const char* parameter,
                                         const char* note) noexcept;

}  // namespace marundex::runtime
