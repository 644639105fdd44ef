#include "error.hpp"

#include <cstring>
#include <utility>

#include "internal_failure.hpp"
#include "interned.hpp"
#include "object_text.hpp"
#include "panic_exception.hpp"
#include "references.hpp"

namespace marundex::runtime {

namespace {

void set_pending(PyObject* exception_class, const char* text, std::size_t size) noexcept {
    PyObject* type = Py_NewRef(exception_class);
    PyObject* value = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(size));
    if (value == nullptr) {
        python_api_call_failed();
    }
    if (PyType_Check(type) && PyExceptionClass_Check(type)) {
        // The interpreter instantiates the class with the message as its only
        // argument, so str() is the message and args the one-element tuple.
        PyErr_SetObject(type, value);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    Py_DecRef(value);
    Py_DecRef(type);
}

}  // namespace

PyErr PyErr::with_fixed_text(PyObject* exception_class, StaticText text) noexcept {
    return PyErr(FixedText{exception_class, text});
}

PyErr PyErr::with_owned_text(PyObject* exception_class, std::string text) noexcept {
    return PyErr(OwnedText{exception_class, std::move(text)});
}

PyErr PyErr::type_mismatch(PyObject* object, StaticText target) noexcept {
    return PyErr(TypeMismatch{Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(object))), target});
}

PyErr PyErr::from_exception(PyObject* instance) noexcept {
    return PyErr(Materialised{instance});
}

std::optional<PyErr> PyErr::take() noexcept {
    PyObject* instance = compat::get_raised_exception();
    if (instance == nullptr) {
        return std::nullopt;
    }
    // Identity, not a subclass test: only the class this process made is resumed.
    if (Py_TYPE(instance) == reinterpret_cast<PyTypeObject*>(panic_exception_type())) {
        resume_panic(instance);
    }
    return PyErr::from_exception(instance);
}

PyErr PyErr::fetch() noexcept {
    if (std::optional<PyErr> pending = take()) {
        return std::move(*pending);
    }
    return with_fixed_text(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyErr::PyErr(PyErr&& other) noexcept
    : state_(std::exchange(other.state_, std::monostate{})), note_(std::move(other.note_)) {}

PyErr& PyErr::operator=(PyErr&& other) noexcept {
    if (this != &other) {
        drop();
        state_ = std::exchange(other.state_, std::monostate{});
        note_ = std::move(other.note_);
    }
    return *this;
}

PyErr PyErr::with_note(std::string note) && noexcept {
    note_ = std::move(note);
    return std::move(*this);
}

PyErr::~PyErr() {
    drop();
}

void PyErr::drop() noexcept {
    if (auto* mismatch = std::get_if<TypeMismatch>(&state_)) {
        release_ref(mismatch->type);
    } else if (auto* materialised = std::get_if<Materialised>(&state_)) {
        release_ref(materialised->instance);
    }
    state_ = std::monostate{};
}

void PyErr::raise_deferred() noexcept {
    if (auto* fixed = std::get_if<FixedText>(&state_)) {
        set_pending(fixed->exception_class, fixed->text.c_str(), std::strlen(fixed->text.c_str()));
    } else if (auto* owned = std::get_if<OwnedText>(&state_)) {
        set_pending(owned->exception_class, owned->text.data(), owned->text.size());
    } else if (auto* mismatch = std::get_if<TypeMismatch>(&state_)) {
        std::string text;
        try {
            text = type_name_text(reinterpret_cast<PyTypeObject*>(mismatch->type), true);
            text.insert(0, 1, '\'');
            text.append("' object cannot be converted to '")
                .append(mismatch->target.c_str())
                .append("'");
        } catch (...) {
            internal_failure("could not compose an error message");
        }
        set_pending(PyExc_TypeError, text.data(), text.size());
    }
    drop();
}

void PyErr::attach_note() noexcept {
    PyObject* instance = exception();
    const OwnedRef note(
        PyUnicode_FromStringAndSize(note_.data(), static_cast<Py_ssize_t>(note_.size())));
    const OwnedRef added(
        note ? PyObject_CallMethodOneArg(instance, interned(InternedName::add_note), note.get())
             : nullptr);
    // A note only helps: one that cannot be made or attached is left out, and the
    // exception is raised as it is.
    if (!added) {
        PyErr_Clear();
    }
    note_.clear();
}

void PyErr::raise() && noexcept {
    if (!note_.empty()) {
        attach_note();
    }
    if (auto* materialised = std::get_if<Materialised>(&state_)) {
        // The reference passes to the interpreter.
        compat::set_raised_exception(std::exchange(materialised->instance, nullptr));
        state_ = std::monostate{};
        return;
    }
    raise_deferred();
}

PyObject* PyErr::exception() noexcept {
    if (auto* materialised = std::get_if<Materialised>(&state_)) {
        return materialised->instance;
    }
    raise_deferred();
    PyObject* instance = compat::get_raised_exception();
    if (instance == nullptr) {
        internal_failure("exception missing after writing to the interpreter");
    }
    state_ = Materialised{instance};
    return instance;
}

bool PyErr::matches(PyObject* exception_class) noexcept {
    PyObject* instance = exception();
    return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(instance)),
                                       exception_class) != 0;
}

}  // namespace marundex::runtime
