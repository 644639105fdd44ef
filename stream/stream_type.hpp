// One Python type per indicator, from one template: making a state for one series
// or a universe, update and preview, copies, and what the state reports.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../runtime/arguments.hpp"
#include "../runtime/binding.hpp"
#include "../runtime/call_frame.hpp"
#include "../runtime/checks.hpp"
#include "../runtime/grid_arguments.hpp"
#include "../runtime/try.hpp"
#include "checkpoint.hpp"
#include "indicators.hpp"
#include "universe.hpp"

namespace marundex::stream {

using namespace runtime;

template <class Indicator>
struct StreamObject {
    PyObject_HEAD Universe<Indicator>* universe;
};

// The arguments of a call through a tuple and a dict, as a fast call has them.
Result<void> bind_tuple_call(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                             std::span<PyObject*> slots) noexcept;

// The refusals that do not depend on the indicator.
PyErr make_failure_error(const MakeFailure& failure, const char* window_parameter) noexcept;
// A constructor argument as its parameter's checkpoint word, or the refusal in the
// parameter's terms; an argument left out (nullptr) takes the default.
Result<std::uint64_t> parameter_word(PyObject* argument, const Parameter& parameter) noexcept;
// A parameter's value as its attribute gives it: an int, a float or a str.
PyObject* parameter_value(std::uint64_t word, const Parameter& parameter) noexcept;
PyErr row_out_of_range_error(std::int64_t row, std::uint64_t symbols) noexcept;
PyErr row_repeated_error(std::int64_t row) noexcept;
PyErr first_dimension_error(std::uint64_t found, std::uint64_t expected, bool by_rows) noexcept;
PyErr lengths_count_error(std::uint64_t found, std::uint64_t expected, bool by_rows) noexcept;
PyErr lengths_error(const LengthRefusal& refusal, std::uint64_t total) noexcept;
PyErr owned_value_error(std::string text) noexcept;
// "<Title> array must be C-contiguous".
PyErr not_contiguous_error(const char* title) noexcept;
// "<Title> array must be writeable", with its note.
PyErr not_writeable_error(const char* title, const char* parameter) noexcept;
// "<Title> array must not share memory with the <noun> array", with its note.
PyErr shared_memory_error(const char* title, const char* other_noun) noexcept;
PyErr inconsistent_checkpoint() noexcept;
// Whether an input is given as a number: a float (numpy.float64 among them) or an int.
inline bool is_number(PyObject* object) noexcept {
    return PyFloat_Check(object) || PyLong_Check(object);
}
// A number's value as a float64, or the OverflowError of an int too large.
Result<double> number_value(PyObject* object) noexcept;
// A new float64 array of the shape of `array`, to be written entirely.
Result<OwnedRef> new_float64_like(PyObject* array) noexcept;
// A new one-dimensional int64 array of `length` elements, and where they go.
Result<std::pair<PyObject*, std::int64_t*>> new_int64_array(std::uint64_t length) noexcept;

// The most bars (over all symbols) a call computes without giving up the
// interpreter lock.
inline constexpr std::uint64_t brief_bars = 32;

inline constexpr const char* series_note =
    "a one-dimensional, C-contiguous numpy.ndarray of float64, the new bars of the series";
inline constexpr const char* universe_note =
    "a C-contiguous numpy.ndarray of float64: shape (rows,) for one new bar per symbol, or "
    "(rows, k) for k new bars per symbol, rows being the symbols or the length of rows";
inline constexpr const char* lengths_note =
    "a one-dimensional numpy.ndarray of int64: how many of the bars, one after another, "
    "each symbol takes, one count per symbol or per entry of rows";
inline constexpr const char* rows_note =
    "a one-dimensional numpy.ndarray of int64: distinct symbol indices, 0 to symbols - 1";

template <class Indicator>
class StreamType {
  public:
    using Object = StreamObject<Indicator>;
    using U = Universe<Indicator>;
    static constexpr std::size_t input_count = Indicator::inputs.size();
    static constexpr std::size_t output_count = Indicator::outputs.size();
    static constexpr std::size_t parameter_count = Indicator::parameters.size();
    // Those taken by position come first, then `symbols`, then the keyword-only ones.
    static constexpr std::size_t positional_parameter_count = [] {
        std::size_t count = 0;
        while (count < parameter_count && !Indicator::parameters[count].keyword_only) {
            ++count;
        }
        return count;
    }();
    static_assert(std::ranges::all_of(Indicator::parameters.begin() + positional_parameter_count,
                                      Indicator::parameters.end(),
                                      [](const Parameter& p) { return p.keyword_only; }),
                  "keyword-only parameters come last");

    static PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        return run_in_call_frame([&] { return make(type, args, kwargs); });
    }

    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        delete reinterpret_cast<Object*>(self)->universe;
        type->tp_free(self);
        Py_DECREF(type);
    }

    static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
        return run_in_call_frame(
            [&] { return take<true>(self, update_signature, args, nargs, kwnames); });
    }

    static PyObject* preview(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
        return run_in_call_frame(
            [&] { return take<false>(self, preview_signature, args, nargs, kwnames); });
    }

    static PyObject* copy(PyObject* self, PyObject* /*unused*/) noexcept {
        return run_in_call_frame([&] { return duplicate(self); });
    }

    static PyObject* deep_copy(PyObject* self, PyObject* /*memo*/) noexcept {
        return run_in_call_frame([&] { return duplicate(self); });
    }

    // The type made at the module's initialisation, which checkpoints restore to.
    static inline PyTypeObject* registered = nullptr;

    static PyObject* reduce(PyObject* self, PyObject* /*unused*/) noexcept {
        return run_in_call_frame([&] { return reduce_of(self); });
    }

    // The object of a checkpoint whose header and checksum have been checked.
    static Result<PyObject*> restore(std::span<const std::uint64_t> words) noexcept {
        // A parameter newer than the checkpoint's layout is not in it, and takes its
        // default.
        const std::uint64_t written_layout = words[HeaderField::layout];
        typename U::Parameters parameters{};
        std::size_t fixed = header_words;
        for (std::size_t k = 0; k < parameter_count; ++k) {
            const Parameter& parameter = Indicator::parameters[k];
            if (parameter.since_layout > written_layout) {
                parameters[k] = parameter.default_word.value_or(0);
                continue;
            }
            if (words.size() <= fixed || !parameter.accepts(words[fixed])) {
                return failure(inconsistent_checkpoint());
            }
            parameters[k] = words[fixed++];
        }
        if (words.size() < fixed || registered == nullptr) {
            return failure(inconsistent_checkpoint());
        }
        const std::optional<std::uint64_t> symbols =
            words[HeaderField::symbols] == one_series
                ? std::nullopt
                : std::optional<std::uint64_t>(words[HeaderField::symbols]);
        const std::uint64_t count = symbols.value_or(1);
        const std::uint64_t per = words[per_state];
        const std::uint64_t available = words.size() - fixed;
        const bool fits = per == 0 ? count == 0 && available == 0
                                   : count <= available / per && count * per == available;
        if (!fits) {
            return failure(inconsistent_checkpoint());
        }
        auto universe = U::from_states(parameters, symbols, count, static_cast<std::size_t>(per),
                                       words.subspan(fixed));
        if (!universe) {
            if (universe.error().kind == MakeError::memory) {
                return failure(make_failure_error(universe.error(), Indicator::window_title));
            }
            return failure(inconsistent_checkpoint());
        }
        return wrap(registered, std::move(*universe));
    }

    static PyObject* bars(PyObject* self, void* /*closure*/) noexcept {
        return run_in_call_frame([&] { return bars_of(universe_of(self)); });
    }

    static PyObject* symbols(PyObject* self, void* /*closure*/) noexcept {
        const std::optional<std::uint64_t> n = universe_of(self).symbols();
        return n ? PyLong_FromUnsignedLongLong(*n) : Py_NewRef(Py_None);
    }

    // The parameter at place `Index` among the indicator's parameters.
    template <std::size_t Index>
    static PyObject* parameter(PyObject* self, void* /*closure*/) noexcept {
        return parameter_value(std::get<Index>(universe_of(self).parameters()),
                               Indicator::parameters[Index]);
    }

  private:
    static constexpr auto constructor_parameters = [] {
        std::array<const char*, positional_parameter_count + 1> names{};
        for (std::size_t k = 0; k < positional_parameter_count; ++k) {
            names[k] = Indicator::parameters[k].name;
        }
        names[positional_parameter_count] = "symbols";
        return names;
    }();
    static constexpr auto constructor_keywords = [] {
        std::array<KeywordOnlyParameter, parameter_count - positional_parameter_count> names{};
        for (std::size_t k = 0; k < names.size(); ++k) {
            names[k] = {Indicator::parameters[positional_parameter_count + k].name, false};
        }
        return names;
    }();
    static constexpr std::size_t required_parameter_count = [] {
        std::size_t count = 0;
        while (count < positional_parameter_count &&
               !Indicator::parameters[count].default_word.has_value()) {
            ++count;
        }
        return count;
    }();
    static constexpr auto call_parameters = [] {
        std::array<const char*, input_count + output_count + 1> names{};
        for (std::size_t k = 0; k < input_count; ++k) {
            names[k] = Indicator::inputs[k].parameter;
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            names[input_count + k] = Indicator::outputs[k].parameter;
        }
        names[input_count + output_count] = "rows";
        return names;
    }();
    static constexpr CallSignature constructor_signature{
        .function_name = Indicator::name,
        .positional = constructor_parameters,
        .keyword_only = constructor_keywords,
        .required_positional_count = required_parameter_count};
    static constexpr std::array<KeywordOnlyParameter, 1> call_keywords{{{"lengths", false}}};
    static constexpr std::size_t lengths_slot = call_parameters.size();
    static constexpr CallSignature update_signature{.function_name = "update",
                                                    .positional = call_parameters,
                                                    .keyword_only = call_keywords,
                                                    .class_name = Indicator::name,
                                                    .required_positional_count = input_count};
    static constexpr CallSignature preview_signature{.function_name = "preview",
                                                     .positional = call_parameters,
                                                     .keyword_only = call_keywords,
                                                     .class_name = Indicator::name,
                                                     .required_positional_count = input_count};

    static U& universe_of(PyObject* self) noexcept {
        return *reinterpret_cast<Object*>(self)->universe;
    }

    static Result<PyObject*> wrap(PyTypeObject* type, std::unique_ptr<U> universe) noexcept {
        PyObject* made = type->tp_alloc(type, 0);
        if (made == nullptr) {
            return failure(PyErr::fetch());
        }
        reinterpret_cast<Object*>(made)->universe = universe.release();
        return made;
    }

    static Result<PyObject*> make(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        std::array<PyObject*, parameter_count + 1> slots{};
        MARUNDEX_TRY(bound, bind_tuple_call(constructor_signature, args, kwargs, slots));
        PyObject* const symbols_slot = slots[positional_parameter_count];
        typename U::Parameters parameters{};
        for (std::size_t k = 0; k < parameter_count; ++k) {
            const std::size_t slot = k < positional_parameter_count ? k : k + 1;
            MARUNDEX_TRY(word, parameter_word(slots[slot], Indicator::parameters[k]));
            parameters[k] = *word;
        }
        std::optional<std::uint64_t> symbols;
        if (symbols_slot != nullptr && symbols_slot != Py_None) {
            MARUNDEX_TRY(n, convert_period(symbols_slot, "symbols"));
            symbols = *n;
        }
        auto universe = U::make(parameters, symbols);
        if (!universe) {
            return failure(make_failure_error(universe.error(), Indicator::window_title));
        }
        return wrap(type, std::move(*universe));
    }

    static Result<PyObject*> duplicate(PyObject* self) noexcept {
        std::expected<std::unique_ptr<U>, MakeFailure> twin =
            std::unexpected(MakeFailure{MakeError::memory, core::StateError::out_of_memory});
        // The source's lock is taken without the interpreter lock, as every call takes it.
        without_interpreter_lock([&] { twin = universe_of(self).copy(); });
        if (!twin) {
            return failure(make_failure_error(twin.error(), Indicator::window_title));
        }
        return wrap(Py_TYPE(self), std::move(*twin));
    }

    static Result<PyObject*> reduce_of(PyObject* self) noexcept {
        U& universe = universe_of(self);
        const std::size_t fixed = header_words + parameter_count;
        const auto states = static_cast<std::size_t>(universe.state_count());
        const std::size_t total = fixed + states * universe.words_per_state() + 1;
        OwnedRef bytes(PyBytes_FromStringAndSize(
            nullptr, static_cast<Py_ssize_t>(total * sizeof(std::uint64_t))));
        if (!bytes) {
            return failure(PyErr::fetch());
        }
        const std::span<std::uint64_t> words(
            reinterpret_cast<std::uint64_t*>(PyBytes_AS_STRING(bytes.get())), total);
        words[magic] = checkpoint_magic;
        words[layout] = checkpoint_layout;
        words[indicator] = Indicator::kind;
        words[HeaderField::symbols] = universe.symbols().value_or(one_series);
        words[per_state] = universe.words_per_state();
        for (std::size_t k = 0; k < parameter_count; ++k) {
            words[header_words + k] = universe.parameters()[k];
        }
        without_interpreter_lock([&] {
            const std::scoped_lock lock(universe.mutex());
            universe.write_states(words.subspan(fixed, total - fixed - 1));
        });
        words[total - 1] = crc64(words.first(total - 1));
        const OwnedRef module(PyImport_ImportModule("marundex_stream"));
        if (!module) {
            return failure(PyErr::fetch());
        }
        const OwnedRef restore_function(PyObject_GetAttrString(module.get(), "_restore"));
        if (!restore_function) {
            return failure(PyErr::fetch());
        }
        PyObject* reduced = Py_BuildValue("(O(O))", restore_function.get(), bytes.get());
        if (reduced == nullptr) {
            return failure(PyErr::fetch());
        }
        return reduced;
    }

    static Result<PyObject*> bars_of(U& universe) noexcept {
        if (!universe.symbols()) {
            std::uint64_t seen = 0;
            without_interpreter_lock([&] {
                const std::scoped_lock lock(universe.mutex());
                seen = universe.states()[0].bars();
            });
            return PyLong_FromUnsignedLongLong(seen);
        }
        MARUNDEX_TRY(array, new_int64_array(*universe.symbols()));
        without_interpreter_lock([&] {
            const std::scoped_lock lock(universe.mutex());
            std::span<typename U::State> states = universe.states();
            for (std::size_t s = 0; s < states.size(); ++s) {
                array->second[s] = static_cast<std::int64_t>(states[s].bars());
            }
        });
        return array->first;
    }

    // A ValueError "<Title> array must be C-contiguous" when the view is not.
    [[gnu::always_inline]] static Result<void> contiguous(const GridView& view,
                                                          const ArrayRole& role) noexcept {
        if (view.c_contiguous) [[likely]] {
            return {};
        }
        return failure(not_contiguous_error(role.title));
    }

    [[gnu::always_inline]] static Result<void> apart(const GridView& first,
                                                     const ArrayRole& first_role,
                                                     const GridView& second,
                                                     const char* second_noun) noexcept {
        if (!first.shares_memory_with(second)) [[likely]] {
            return {};
        }
        return failure(shared_memory_error(first_role.title, second_noun));
    }

    // The outputs a call returns: one array or float, or a tuple in output order.
    static Result<PyObject*> returned(std::array<PyObject*, output_count> made) noexcept {
        if constexpr (output_count == 1) {
            return made[0];
        } else {
            PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(output_count));
            if (tuple == nullptr) {
                for (PyObject* object : made) {
                    Py_DECREF(object);
                }
                return failure(PyErr::fetch());
            }
            for (std::size_t k = 0; k < output_count; ++k) {
                PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(k), made[k]);
            }
            return tuple;
        }
    }

    // Runs `section` under the state's lock. A call of a few bars keeps the
    // interpreter lock: giving it up and taking it back costs more than the bars
    // take, and lets no other thread do anything useful in between. Unless another
    // call holds the state and it would have to wait.
    template <class Section>
    static void under_state_lock(U& universe, std::uint64_t bars, const Section& section) noexcept {
        std::unique_lock brief(universe.mutex(), std::defer_lock);
        if (bars <= brief_bars && brief.try_lock()) {
            section();
        } else {
            without_interpreter_lock([&] {
                const std::scoped_lock lock(universe.mutex());
                section();
            });
        }
    }

    // One bar of one series given as numbers: each output comes back as a float,
    // with the bits an array would hold.
    template <bool Commit>
    static Result<PyObject*> take_numbers(U& universe, std::span<PyObject* const> slots) noexcept {
        std::array<double, input_count> bar{};
        for (std::size_t k = 0; k < input_count; ++k) {
            if (!is_number(slots[k])) {
                return failure(PyErr::with_fixed_text(PyExc_TypeError,
                                                      "Inputs must be all numbers or all arrays"));
            }
            MARUNDEX_TRY(value, number_value(slots[k]));
            bar[k] = *value;
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            if (slots[input_count + k] != nullptr) {
                return failure(PyErr::with_fixed_text(
                    PyExc_TypeError, "A bar given as numbers takes no output arrays"));
            }
        }
        PyObject* const rows_object = slots[input_count + output_count];
        if (rows_object != nullptr && rows_object != Py_None) {
            return failure(value_error("One series takes no rows"));
        }
        std::array<double, output_count> results{};
        typename Indicator::Run run{};
        for (std::size_t k = 0; k < input_count; ++k) {
            run.inputs[k] = {&bar[k], 1};
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            run.outputs[k] = {&results[k], 1};
        }
        under_state_lock(universe, 1, [&] {
            typename U::State& state = universe.states()[0];
            if constexpr (Commit) {
                Indicator::advance(state, run);
            } else {
                Indicator::preview(state, run);
            }
        });
        std::array<PyObject*, output_count> made{};
        for (std::size_t k = 0; k < output_count; ++k) {
            made[k] = PyFloat_FromDouble(results[k]);
            if (made[k] == nullptr) {
                for (std::size_t j = 0; j < k; ++j) {
                    Py_DECREF(made[j]);
                }
                return failure(PyErr::fetch());
            }
        }
        return returned(made);
    }

    template <bool Commit>
    static Result<PyObject*> take(PyObject* self, const CallSignature& signature,
                                  PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
        U& universe = universe_of(self);
        const std::optional<std::uint64_t> symbols = universe.symbols();
        const int dimensions = symbols ? 2 : 1;
        const char* note = symbols ? universe_note : series_note;

        std::array<PyObject*, call_parameters.size() + call_keywords.size()> slots{};
        MARUNDEX_TRY(bound, bind_arguments(signature, args, nargs, kwnames, slots));
        if (!symbols && is_number(slots[0])) {
            return take_numbers<Commit>(universe, slots);
        }
        std::array<std::optional<BorrowedGrid>, input_count> inputs;
        for (std::size_t k = 0; k < input_count; ++k) {
            MARUNDEX_TRY(borrowed, borrow_float64_grid(slots[k], Indicator::inputs[k].parameter,
                                                       dimensions, note));
            inputs[k].emplace(std::move(*borrowed));
        }
        // Without output arrays the call makes them, shaped as the first input, and
        // returns them; they are new, so apart from everything and writeable.
        const std::size_t outputs_given = static_cast<std::size_t>(
            std::ranges::count_if(std::span(slots).subspan(input_count, output_count),
                                  [](PyObject* slot) { return slot != nullptr; }));
        if (outputs_given != 0 && outputs_given != output_count) {
            return failure(value_error("Give every output array or none"));
        }
        std::array<OwnedRef, output_count> made;
        if (outputs_given == 0) {
            for (std::size_t k = 0; k < output_count; ++k) {
                MARUNDEX_TRY(array, new_float64_like(slots[0]));
                made[k] = std::move(*array);
                slots[input_count + k] = made[k].get();
            }
        }
        std::array<std::optional<TestedGridOutput>, output_count> tested_outputs;
        for (std::size_t k = 0; k < output_count; ++k) {
            MARUNDEX_TRY(
                tested, float64_grid_output(slots[input_count + k], Indicator::outputs[k].parameter,
                                            dimensions, note));
            tested_outputs[k].emplace(*tested);
        }
        PyObject* const rows_object = slots[input_count + output_count];
        std::optional<BorrowedGrid> rows;
        if (rows_object != nullptr && rows_object != Py_None) {
            MARUNDEX_TRY(borrowed, borrow_int64_vector(rows_object, "rows", rows_note));
            rows.emplace(std::move(*borrowed));
        }
        PyObject* const lengths_object = slots[lengths_slot];
        std::optional<BorrowedGrid> lengths;
        if (lengths_object != nullptr && lengths_object != Py_None) {
            MARUNDEX_TRY(borrowed, borrow_int64_vector(lengths_object, "lengths", lengths_note));
            lengths.emplace(std::move(*borrowed));
        }

        // Every view is taken after the last borrow, which may run another module's
        // Python code: an array it reshapes or moves leaves no stale view behind. Then
        // the module's own checks, in order: contiguity, rows, shapes, writes, memory.
        std::array<GridView, input_count> views{};
        for (std::size_t k = 0; k < input_count; ++k) {
            MARUNDEX_TRY(view, inputs[k]->view(Indicator::inputs[k].parameter));
            views[k] = *view;
        }
        std::array<GridView, output_count> outputs{};
        for (std::size_t k = 0; k < output_count; ++k) {
            MARUNDEX_TRY(view, tested_outputs[k]->view(Indicator::outputs[k].parameter));
            outputs[k] = *view;
        }
        for (std::size_t k = 0; k < input_count; ++k) {
            MARUNDEX_TRY(ok, contiguous(views[k], Indicator::inputs[k]));
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            MARUNDEX_TRY(ok, contiguous(outputs[k], Indicator::outputs[k]));
        }
        std::optional<GridView> rows_view;
        if (rows) {
            if (!symbols) {
                return failure(value_error("One series takes no rows"));
            }
            MARUNDEX_TRY(view, rows->view("rows"));
            rows_view = *view;
            MARUNDEX_TRY(ok, contiguous(*rows_view, {"rows", "Rows", "rows"}));
        }
        std::optional<GridView> lengths_view;
        if (lengths) {
            if (!symbols) {
                return failure(value_error("One series takes no lengths"));
            }
            MARUNDEX_TRY(view, lengths->view("lengths"));
            lengths_view = *view;
            MARUNDEX_TRY(ok, contiguous(*lengths_view, {"lengths", "Lengths", "lengths"}));
        }
        const GridView& shape = views[0];
        const auto same_shape = [&shape](const GridView& v) {
            return v.dimensions == shape.dimensions && v.rows == shape.rows &&
                   v.columns == shape.columns;
        };
        for (std::size_t k = 1; k < input_count; ++k) {
            if (!same_shape(views[k])) {
                return failure(value_error("All arrays must have the same shape"));
            }
        }
        for (const GridView& output : outputs) {
            if (!same_shape(output)) {
                return failure(value_error("All arrays must have the same shape"));
            }
        }
        if (symbols) {
            const std::uint64_t expected = rows_view ? rows_view->rows : *symbols;
            if (lengths_view) {
                // Ragged: the symbols' bars one after another in one-dimensional arrays.
                if (shape.dimensions != 1) {
                    return failure(value_error("Arrays must be one-dimensional with lengths"));
                }
                if (lengths_view->rows != expected) {
                    return failure(
                        lengths_count_error(lengths_view->rows, expected, rows_view.has_value()));
                }
            } else if (shape.rows != expected) {
                return failure(first_dimension_error(shape.rows, expected, rows_view.has_value()));
            }
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            if (outputs[k].size() > 0 && !is_writeable(tested_outputs[k]->object())) {
                return failure(not_writeable_error(Indicator::outputs[k].title,
                                                   Indicator::outputs[k].parameter));
            }
        }
        for (std::size_t k = 0; k < output_count; ++k) {
            for (std::size_t j = 0; j < input_count; ++j) {
                MARUNDEX_TRY(ok, apart(outputs[k], Indicator::outputs[k], views[j],
                                       Indicator::inputs[j].noun));
            }
            if (rows_view) {
                MARUNDEX_TRY(ok, apart(outputs[k], Indicator::outputs[k], *rows_view, "rows"));
            }
            if (lengths_view) {
                MARUNDEX_TRY(ok,
                             apart(outputs[k], Indicator::outputs[k], *lengths_view, "lengths"));
            }
            for (std::size_t j = k + 1; j < output_count; ++j) {
                MARUNDEX_TRY(ok, apart(outputs[k], Indicator::outputs[k], outputs[j],
                                       Indicator::outputs[j].noun));
            }
        }
        std::span<const std::int64_t> given_rows;
        if (rows_view) {
            given_rows = {reinterpret_cast<const std::int64_t*>(rows_view->data),
                          static_cast<std::size_t>(rows_view->rows)};
        }

        std::span<const std::int64_t> given_lengths;
        if (lengths_view) {
            given_lengths = {reinterpret_cast<const std::int64_t*>(lengths_view->data),
                             static_cast<std::size_t>(lengths_view->rows)};
        }

        std::optional<RowRefusal> refused;
        std::optional<LengthRefusal> refused_lengths;
        under_state_lock(universe, shape.size(), [&] {
            if (rows_view && (refused = universe.take_rows(given_rows))) {
                return;
            }
            const std::span<const std::int64_t> taken_rows =
                universe.taken_rows(rows_view ? given_rows.size() : 0);
            if (lengths_view) {
                if ((refused_lengths = universe.take_lengths(given_lengths, shape.size()))) {
                    return;
                }
                compute_ragged<Commit>(universe, views, outputs, taken_rows,
                                       universe.taken_lengths(given_lengths.size()),
                                       rows_view.has_value());
                return;
            }
            compute<Commit>(universe, views, outputs, taken_rows, rows_view.has_value());
        });
        if (refused_lengths) {
            return failure(lengths_error(*refused_lengths, shape.size()));
        }
        if (refused) {
            return failure(refused->kind == RowRefusal::out_of_range
                               ? row_out_of_range_error(refused->row, *symbols)
                               : row_repeated_error(refused->row));
        }
        if (outputs_given == 0) {
            std::array<PyObject*, output_count> returned_outputs{};
            for (std::size_t k = 0; k < output_count; ++k) {
                returned_outputs[k] = made[k].release();
            }
            return returned(returned_outputs);
        }
        return Py_NewRef(Py_None);
    }

    // Each symbol's run of `lengths` bars, one after another in the arrays: every
    // symbol's, or every named symbol's, in order.
    template <bool Commit>
    static void compute_ragged(U& universe, const std::array<GridView, input_count>& inputs,
                               const std::array<GridView, output_count>& outputs,
                               std::span<const std::int64_t> rows,
                               std::span<const std::int64_t> lengths, bool by_rows) noexcept {
        std::span<typename U::State> states = universe.states();
        typename Indicator::Run run{};
        std::size_t offset = 0;
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            const auto bars = static_cast<std::size_t>(lengths[i]);
            for (std::size_t k = 0; k < input_count; ++k) {
                run.inputs[k] = {inputs[k].data + offset, bars};
            }
            for (std::size_t k = 0; k < output_count; ++k) {
                run.outputs[k] = {outputs[k].data + offset, bars};
            }
            typename U::State& state = states[by_rows ? static_cast<std::size_t>(rows[i]) : i];
            if constexpr (Commit) {
                Indicator::advance(state, run);
            } else {
                Indicator::preview(state, run);
            }
            offset += bars * sizeof(double);
        }
    }

    // Every symbol's run, or every named symbol's, in the order of the arrays' rows.
    template <bool Commit>
    static void compute(U& universe, const std::array<GridView, input_count>& inputs,
                        const std::array<GridView, output_count>& outputs,
                        std::span<const std::int64_t> rows, bool by_rows) noexcept {
        std::span<typename U::State> states = universe.states();
        const bool series = !universe.symbols();
        const std::size_t count = series ? 1 : static_cast<std::size_t>(inputs[0].rows);
        const std::size_t bars = series ? static_cast<std::size_t>(inputs[0].rows)
                                        : static_cast<std::size_t>(inputs[0].columns);
        typename Indicator::Run run{};
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t offset = i * bars * sizeof(double);
            for (std::size_t k = 0; k < input_count; ++k) {
                run.inputs[k] = {inputs[k].data + offset, bars};
            }
            for (std::size_t k = 0; k < output_count; ++k) {
                run.outputs[k] = {outputs[k].data + offset, bars};
            }
            typename U::State& state = states[by_rows ? static_cast<std::size_t>(rows[i]) : i];
            if constexpr (Commit) {
                Indicator::advance(state, run);
            } else {
                Indicator::preview(state, run);
            }
        }
    }
};

}  // namespace marundex::stream
