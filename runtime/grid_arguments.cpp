#include "grid_arguments.hpp"

#include <string>

#include "internal_failure.hpp"
#include "notes.hpp"
#include "try.hpp"
#include "wrapped_error.hpp"

namespace marundex::runtime {

namespace {

constexpr StaticText array_target = "PyArray<T, D>";

// A float64 input may be converted from what was given; an output or a vector
// of counts may not, a copy would not do.
enum class Convertible : bool { no, yes };

[[gnu::cold, gnu::noinline]] PyErr not_an_array_error(PyObject* object, const char* parameter,
                                                      const char* note,
                                                      Convertible convertible) noexcept {
    try {
        std::string text = std::string("argument '") + parameter + "' takes " + note;
        if (convertible == Convertible::yes) {
            if (const std::string fix = notes::series_conversion(object); !fix.empty()) {
                text += "; " + fix;
            }
        }
        return argument_error(parameter, PyErr::type_mismatch(object, array_target))
            .with_note(std::move(text));
    } catch (...) {
        internal_failure("could not compose an error message");
    }
}

[[gnu::cold, gnu::noinline]] PyErr moved_error(const char* parameter) noexcept {
    return parameter_error(PyExc_ValueError, parameter,
                           "array was resized or moved during the call");
}

Result<void> require(Result<bool> passed, PyObject* object, const char* parameter, const char* note,
                     Convertible convertible = Convertible::no) noexcept {
    if (!passed) {
        return failure(std::move(passed.error()));
    }
    if (!*passed) {
        return failure(not_an_array_error(object, parameter, note, convertible));
    }
    return {};
}

Result<BorrowedGrid> borrow_tested(PyObject* object, const char* parameter) noexcept {
    OwnedRef array = OwnedRef::borrowed(object);
    const std::optional<GridView> borrowed_view = current_grid(array.get(), sizeof(double));
    if (!borrowed_view) {
        internal_failure("an array that passed its test has no view");
    }
    MARUNDEX_TRY(borrow, acquire_read_borrow(array.get(), parameter));
    return BorrowedGrid(std::move(array), *borrow, *borrowed_view);
}

}  // namespace

Result<GridView> BorrowedGrid::view(const char* parameter) const noexcept {
    const std::optional<GridView> now = current_grid(array_.get(), sizeof(double));
    if (!now || !now->same_as(borrowed_view_)) {
        return failure(moved_error(parameter));
    }
    return *now;
}

Result<BorrowedGrid> borrow_float64_grid(PyObject* object, const char* parameter,
                                         int max_dimensions, const char* note) noexcept {
    MARUNDEX_TRY(tested, require(check_float64_grid(object, max_dimensions), object, parameter,
                                 note, Convertible::yes));
    return borrow_tested(object, parameter);
}

Result<TestedGridOutput> float64_grid_output(PyObject* object, const char* parameter,
                                             int max_dimensions, const char* note) noexcept {
    MARUNDEX_TRY(tested,
                 require(check_float64_grid(object, max_dimensions), object, parameter, note));
    return TestedGridOutput(object, max_dimensions);
}

Result<GridView> TestedGridOutput::view(const char* parameter) const noexcept {
    const std::optional<GridView> now = current_grid(object_, sizeof(double));
    if (!now || now->dimensions > max_dimensions_) {
        return failure(moved_error(parameter));
    }
    return *now;
}

Result<BorrowedGrid> borrow_int64_vector(PyObject* object, const char* parameter,
                                         const char* note) noexcept {
    MARUNDEX_TRY(tested, require(check_int64_vector(object), object, parameter, note));
    return borrow_tested(object, parameter);
}

}  // namespace marundex::runtime
