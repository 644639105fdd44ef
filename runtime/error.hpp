// The error value that every fallible operation of the module returns.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "python_api.hpp"
#include "static_text.hpp"

namespace marundex::runtime {

// Either deferred (an exception class and a message, no Python object yet) or
// materialised (an exception instance). A deferred error that is dropped unraised
// costs no Python object at all, which keeps failing checks cheap. Either form may
// carry a note (PEP 678) that says how to fix the error; it becomes part of the
// exception only when the error is raised.
class PyErr {
  public:
    // `exception_class` must outlive the error: the module only names built-in classes.
    static PyErr with_fixed_text(PyObject* exception_class, StaticText text) noexcept;
    static PyErr with_owned_text(PyObject* exception_class, std::string text) noexcept;
    // TypeError "'<qualified name of object's type>' object cannot be converted to '<target>'",
    // composed only when the exception object is created.
    static PyErr type_mismatch(PyObject* object, StaticText target) noexcept;
    // Takes over the reference to `exception`, an exception instance.
    static PyErr from_exception(PyObject* instance) noexcept;

    // Removes the pending exception, if any, and returns it.
    static std::optional<PyErr> take() noexcept;
    // take(), or a SystemError when a failing CPython call left nothing pending.
    static PyErr fetch() noexcept;

    PyErr(PyErr&& other) noexcept;
    PyErr& operator=(PyErr&& other) noexcept;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr();

    // The same error with `note` to be added to the exception when it is raised,
    // in place of any earlier note. The exception's type and message stay as they are.
    [[nodiscard]] PyErr with_note(std::string note) && noexcept;

    // Makes the error the current thread's pending exception, with its note.
    void raise() && noexcept;

    // The exception instance, materialising a deferred error first. Borrowed.
    PyObject* exception() noexcept;

    // Whether the exception's type is `exception_class` or a subclass of it.
    [[nodiscard]] bool matches(PyObject* exception_class) noexcept;

  private:
    struct FixedText {
        PyObject* exception_class;
        StaticText text;
    };
    struct OwnedText {
        PyObject* exception_class;
        std::string text;
    };
    struct TypeMismatch {
        PyObject* type;  // strong reference
        StaticText target;
    };
    struct Materialised {
        PyObject* instance;  // strong reference
    };
    using State = std::variant<std::monostate, FixedText, OwnedText, TypeMismatch, Materialised>;

    explicit PyErr(State state) noexcept : state_(std::move(state)) {}
    void raise_deferred() noexcept;
    void attach_note() noexcept;
    void drop() noexcept;

    State state_;
    std::string note_;  // empty: none
};

template <typename T>
using Result = std::expected<T, PyErr>;

inline std::unexpected<PyErr> failure(PyErr error) noexcept {
    return std::unexpected<PyErr>(std::move(error));
}

}  // namespace marundex::runtime
