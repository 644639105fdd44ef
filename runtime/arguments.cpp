#include "arguments.hpp"

#include <limits>
#include <string>

#include "internal_failure.hpp"
#include "notes.hpp"
#include "numpy_api.hpp"
#include "object_text.hpp"
#include "try.hpp"
#include "wrapped_error.hpp"

namespace marundex::runtime {

namespace {

constexpr const char* array_target = "PyArray<T, D>";

// The failures below are composed out of line, so that a call whose arguments
// pass inlines only the tests.
[[gnu::cold, gnu::noinline]] PyErr not_an_array_error(PyObject* object, const char* parameter,
                                                      notes::ArrayRole role) noexcept {
    return argument_error(parameter, PyErr::type_mismatch(object, array_target))
        .with_note(notes::conversion(object, parameter, role));
}

[[gnu::cold, gnu::noinline]] PyErr moved_error(const char* parameter) noexcept {
    return parameter_error(PyExc_ValueError, parameter,
                           "array was resized or moved during the call");
}

// Inlined into both callers: a call of its own costs as much as its test.
[[gnu::always_inline]] inline Result<void> test_array(PyObject* object, const char* parameter,
                                                      notes::ArrayRole role) noexcept {
    auto is_array = check_float64_array(object);
    if (!is_array) {
        return failure(std::move(is_array.error()));
    }
    if (!*is_array) {
        return failure(not_an_array_error(object, parameter, role));
    }
    return {};
}

}  // namespace

PyErr argument_error(const char* parameter, PyErr error) noexcept {
    PyObject* given = error.exception();
    if (Py_TYPE(given) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        return error;
    }
    try {
        PyErr named = parameter_error(PyExc_TypeError, parameter, object_text(given));
        // The cause carries over; the given error becomes neither cause nor context.
        PyException_SetCause(named.exception(), PyException_GetCause(given));
        return named;
    } catch (...) {
        internal_failure("could not compose an error message");
    }
}

Result<std::uint64_t> all_ones_period(const char* parameter) noexcept {
    if (std::optional<PyErr> error = PyErr::take()) {
        return failure(
            argument_error(parameter, std::move(*error).with_note(notes::period_range(parameter))));
    }
    return std::numeric_limits<std::uint64_t>::max();
}

Result<std::uint64_t> period_through_index(PyObject* object, const char* parameter) noexcept {
    const OwnedRef index(PyNumber_Index(object));
    if (!index) {
        return failure(argument_error(parameter, PyErr::fetch()));
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == std::numeric_limits<unsigned long long>::max()) {
        return all_ones_period(parameter);
    }
    return static_cast<std::uint64_t>(value);
}

Result<BorrowedInput> borrow_input(PyObject* object, const char* parameter) noexcept {
    if (auto tested = test_array(object, parameter, notes::ArrayRole::input); !tested) {
        return failure(std::move(tested.error()));
    }
    OwnedRef array = OwnedRef::borrowed(object);
    const std::optional<SeriesView> borrowed_view = current_view(array.get());
    MARUNDEX_TRY(borrow, acquire_read_borrow(array.get(), parameter));
    return BorrowedInput(std::move(array), *borrow, borrowed_view);
}

Result<ReadBorrow> acquire_read_borrow(PyObject* array, const char* parameter) noexcept {
    auto api = borrow_api();
    if (!api) {
        return failure(
            runtime_error_caused_by("Interal borrow checking API error", std::move(api.error())));
    }
    ReadBorrow borrow(*api, array);
    const std::int32_t code = borrow.acquire();
    if (code == borrow_granted) {
        return borrow;
    }
    if (code == already_borrowed) {
        return failure(
            parameter_error(PyExc_BufferError, parameter, "array is already borrowed for writing"));
    }
    try {
        const std::string message =
            "Unexpected return code " + std::to_string(code) + " from borrow checking API";
        internal_failure(message.c_str());
    } catch (...) {
        internal_failure("Unexpected return code from borrow checking API");
    }
}

Result<SeriesView> BorrowedInput::view(const char* parameter) const noexcept {
    MARUNDEX_TRY(view, series_view(array_.get(), parameter));
    if (*view != borrowed_view_) {
        return failure(moved_error(parameter));
    }
    return view;
}

Result<PyObject*> check_output(PyObject* object, const char* parameter) noexcept {
    if (auto tested = test_array(object, parameter, notes::ArrayRole::output); !tested) {
        return failure(std::move(tested.error()));
    }
    return object;
}

}  // namespace marundex::runtime
