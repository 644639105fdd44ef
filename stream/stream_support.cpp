// What the stream types share beyond their template: binding a call made through a
// tuple and a dict, the refusals that name numbers, and the arrays the types return.
#include <bit>
#include <cmath>
#include <string>

#include "../runtime/internal_failure.hpp"
#include "../runtime/notes.hpp"
#include "../runtime/numpy_api.hpp"
#include "../runtime/write_once.hpp"
#include "stream_type.hpp"

namespace marundex::stream {

namespace {

template <typename Compose>
PyErr composed(Compose compose) noexcept {
    try {
        return compose();
    } catch (...) {
        internal_failure("could not compose an error message");
    }
}

}  // namespace

Result<void> bind_tuple_call(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                             std::span<PyObject*> slots) noexcept {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_Size(kwargs) == 0) {
        return bind_arguments(signature, &PyTuple_GET_ITEM(args, 0), positional, nullptr, slots);
    }
    // Constructors are rare: the keyword arguments are laid out as a fast call has them.
    const Py_ssize_t keywords = PyDict_Size(kwargs);
    const OwnedRef names(PyTuple_New(keywords));
    if (!names) {
        return failure(PyErr::fetch());
    }
    std::vector<PyObject*> stack;
    try {
        stack.reserve(static_cast<std::size_t>(positional + keywords));
    } catch (...) {
        return failure(PyErr::with_fixed_text(PyExc_MemoryError, "Not enough memory for a call"));
    }
    for (Py_ssize_t k = 0; k < positional; ++k) {
        stack.push_back(PyTuple_GET_ITEM(args, k));
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t k = 0; PyDict_Next(kwargs, &position, &key, &value) != 0; ++k) {
        PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
        stack.push_back(value);
    }
    return bind_arguments(signature, stack.data(), positional, names.get(), slots);
}

PyErr owned_value_error(std::string text) noexcept {
    return PyErr::with_owned_text(PyExc_ValueError, std::move(text));
}

PyErr not_contiguous_error(const char* title) noexcept {
    return composed(
        [&] { return owned_value_error(std::string(title) + " array must be C-contiguous"); });
}

PyErr not_writeable_error(const char* title, const char* parameter) noexcept {
    return composed([&] {
        return owned_value_error(std::string(title) + " array must be writeable")
            .with_note(notes::read_only(parameter));
    });
}

PyErr shared_memory_error(const char* title, const char* other_noun) noexcept {
    return composed([&] {
        return owned_value_error(std::string(title) + " array must not share memory with the " +
                                 other_noun + " array")
            .with_note(notes::shared_memory());
    });
}

PyErr inconsistent_checkpoint() noexcept {
    return value_error("The checkpoint is damaged: its states are inconsistent");
}

PyErr make_failure_error(const MakeFailure& failure, const char* window_parameter) noexcept {
    if (failure.kind == MakeError::memory) {
        return PyErr::with_fixed_text(PyExc_MemoryError, "Not enough memory for the states");
    }
    switch (failure.state_error) {
        case core::StateError::zero_period:
            return value_error("Periods must be greater than 0");
        case core::StateError::fast_not_below_slow:
            return value_error("Fast period must be less than slow period");
        case core::StateError::acceleration_above_maximum:
            return value_error("Acceleration must be at most maximum");
        case core::StateError::window_too_long:
            return composed([&] {
                return owned_value_error(std::string(window_parameter) + " must be at most " +
                                         std::to_string(core::max_window));
            });
        case core::StateError::bad_checkpoint:
            return inconsistent_checkpoint();
        case core::StateError::out_of_memory:
            break;
    }
    return PyErr::with_fixed_text(PyExc_MemoryError, "Not enough memory for the states");
}

Result<std::uint64_t> parameter_word(PyObject* argument, const Parameter& parameter) noexcept {
    if (argument == nullptr) {
        if (!parameter.default_word) {
            internal_failure("a required parameter left out by the binding");
        }
        return *parameter.default_word;
    }
    switch (parameter.kind) {
        case ParameterKind::period: {
            MARUNDEX_TRY(period, convert_period(argument, parameter.name));
            if (*period < parameter.minimum) {
                return failure(composed([&] {
                    return owned_value_error(std::string(parameter.title) + " must be at least " +
                                             std::to_string(parameter.minimum));
                }));
            }
            return *period;
        }
        case ParameterKind::multiplier: {
            // An int or a float, or what converts through __float__ or __index__; never a str.
            const double value = PyFloat_AsDouble(argument);
            if (value == -1.0 && PyErr_Occurred() != nullptr) {
                return failure(argument_error(parameter.name, PyErr::fetch()));
            }
            if (!std::isfinite(value)) {
                return failure(composed([&] {
                    return owned_value_error(std::string(parameter.title) +
                                             " must be a finite number");
                }));
            }
            if (parameter.positive && !(value > 0.0)) {
                return failure(composed([&] {
                    return owned_value_error(std::string(parameter.title) +
                                             " must be greater than 0");
                }));
            }
            return std::bit_cast<std::uint64_t>(value);
        }
        case ParameterKind::choice:
            break;
    }
    if (!PyUnicode_Check(argument)) {
        return failure(composed([&] {
            return PyErr::with_owned_text(PyExc_TypeError,
                                          std::string("argument '") + parameter.name +
                                              "' must be str, not " + Py_TYPE(argument)->tp_name);
        }));
    }
    for (std::size_t k = 0; k < parameter.choices.size(); ++k) {
        if (PyUnicode_CompareWithASCIIString(argument, parameter.choices[k]) == 0) {
            return std::uint64_t{k};
        }
    }
    return failure(composed([&] {
        std::string text = std::string(parameter.title) + " must be ";
        for (std::size_t k = 0; k < parameter.choices.size(); ++k) {
            if (k > 0) {
                text += k + 1 == parameter.choices.size() ? " or " : ", ";
            }
            text += std::string("\"") + parameter.choices[k] + "\"";
        }
        return owned_value_error(std::move(text));
    }));
}

PyObject* parameter_value(std::uint64_t word, const Parameter& parameter) noexcept {
    switch (parameter.kind) {
        case ParameterKind::period:
            break;
        case ParameterKind::multiplier:
            return PyFloat_FromDouble(std::bit_cast<double>(word));
        case ParameterKind::choice:
            return PyUnicode_FromString(parameter.choices[word]);
    }
    return PyLong_FromUnsignedLongLong(word);
}

PyErr row_out_of_range_error(std::int64_t row, std::uint64_t symbols) noexcept {
    return composed([&] {
        return owned_value_error("Row index " + std::to_string(row) + " is out of range for " +
                                 std::to_string(symbols) + " symbols");
    });
}

PyErr row_repeated_error(std::int64_t row) noexcept {
    return composed([&] {
        return owned_value_error("Row index " + std::to_string(row) +
                                 " appears more than once in rows");
    });
}

PyErr first_dimension_error(std::uint64_t found, std::uint64_t expected, bool by_rows) noexcept {
    return composed([&] {
        return owned_value_error(
            "Arrays must have " + std::to_string(expected) +
            (by_rows ? " rows, one per entry of rows, not " : " rows, one per symbol, not ") +
            std::to_string(found));
    });
}

PyErr lengths_count_error(std::uint64_t found, std::uint64_t expected, bool by_rows) noexcept {
    return composed([&] {
        return owned_value_error(
            "Lengths must have " + std::to_string(expected) +
            (by_rows ? " entries, one per entry of rows, not " : " entries, one per symbol, not ") +
            std::to_string(found));
    });
}

PyErr lengths_error(const LengthRefusal& refusal, std::uint64_t total) noexcept {
    return composed([&] {
        if (refusal.kind == LengthRefusal::negative) {
            return owned_value_error("Length " + std::to_string(refusal.value) + " is negative");
        }
        return owned_value_error("Lengths must sum to " + std::to_string(total) +
                                 ", the length of the arrays");
    });
}

Result<double> number_value(PyObject* object) noexcept {
    if (PyFloat_Check(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return failure(PyErr::fetch());
    }
    return value;
}

namespace {

// numpy.empty, looked up once: outputs made for a short series cost about as much
// as the state they run on, and the lookup would be a good part of it.
WriteOnce<PyObject*> numpy_empty;

Result<PyObject*> empty_function() noexcept {
    if (PyObject* const* found = numpy_empty.get()) {
        return *found;
    }
    const OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return failure(PyErr::fetch());
    }
    PyObject* empty = PyObject_GetAttrString(numpy.get(), "empty");
    if (empty == nullptr) {
        return failure(PyErr::fetch());
    }
    // Kept for the process, as the module keeps numpy itself.
    return numpy_empty.publish(empty, [](PyObject* twin) { release_ref(twin); });
}

}  // namespace

Result<OwnedRef> new_float64_like(PyObject* array) noexcept {
    MARUNDEX_TRY(empty, empty_function());
    // The array has passed the array test: one or two dimensions.
    const ArrayObjectFields& fields = array_fields(array);
    const OwnedRef shape(fields.nd == 1
                             ? PyLong_FromSsize_t(fields.dimensions[0])
                             : Py_BuildValue("(nn)", fields.dimensions[0], fields.dimensions[1]));
    if (!shape) {
        return failure(PyErr::fetch());
    }
    OwnedRef made(PyObject_CallOneArg(*empty, shape.get()));
    if (!made) {
        return failure(PyErr::fetch());
    }
    return made;
}

Result<std::pair<PyObject*, std::int64_t*>> new_int64_array(std::uint64_t length) noexcept {
    const OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return failure(PyErr::fetch());
    }
    const OwnedRef int64(PyObject_GetAttrString(numpy.get(), "int64"));
    if (!int64) {
        return failure(PyErr::fetch());
    }
    OwnedRef array(PyObject_CallMethod(numpy.get(), "zeros", "KO",
                                       static_cast<unsigned long long>(length), int64.get()));
    if (!array) {
        return failure(PyErr::fetch());
    }
    auto* data = reinterpret_cast<std::int64_t*>(array_fields(array.get()).data);
    return std::pair{array.release(), data};
}

}  // namespace marundex::stream
