// indicator_macd: the MACD line, its signal line and their histogram.
#include <array>

#include "../runtime/arguments.hpp"
#include "../runtime/binding.hpp"
#include "../runtime/call_frame.hpp"
#include "../runtime/checks.hpp"
#include "../runtime/try.hpp"
#include "entry_points.hpp"
#include "runs.hpp"

namespace marundex::module {

namespace {

using namespace runtime;

constexpr std::array<const char*, 7> parameters{"fast_period", "slow_period", "signal_period",
                                                "data",        "macd_output", "signal_output",
                                                "hist_output"};
constexpr CallSignature signature{.function_name = "indicator_macd",
                                  .positional = parameters,
                                  .keyword_only = {},
                                  .required_positional_count = 7};

constexpr std::array<const char*, 3> output_names{"macd_output", "signal_output", "hist_output"};
constexpr std::array<StaticText, 3> contiguity_messages{
    "MACD output array must be C-contiguous", "Signal output array must be C-contiguous",
    "Histogram output array must be C-contiguous"};
constexpr std::array<StaticText, 3> writeable_messages{"MACD output array must be writeable",
                                                       "Signal output array must be writeable",
                                                       "Histogram output array must be writeable"};
constexpr std::array<StaticText, 3> input_sharing_messages{
    "MACD output array must not share memory with the input array",
    "Signal output array must not share memory with the input array",
    "Histogram output array must not share memory with the input array"};
constexpr StaticText length_message = "All output arrays must have the same length as input data";

// Two of the outputs, by their place in the parameter list, and the refusal when
// they share memory.
struct OutputPair {
    std::size_t first;
    std::size_t second;
    StaticText message;
};
constexpr std::array<OutputPair, 3> output_pairs{{
    {0, 1, "MACD output array must not share memory with the signal output array"},
    {0, 2, "MACD output array must not share memory with the histogram output array"},
    {1, 2, "Signal output array must not share memory with the histogram output array"},
}};

Result<void> macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, parameters.size()> slots{};
    MARUNDEX_TRY(bound, bind_arguments(signature, args, nargs, kwnames, slots));
    MARUNDEX_TRY(fast_period, convert_period(slots[0], "fast_period"));
    MARUNDEX_TRY(slow_period, convert_period(slots[1], "slow_period"));
    MARUNDEX_TRY(signal_period, convert_period(slots[2], "signal_period"));
    MARUNDEX_TRY(data, borrow_input(slots[3], "data"));
    std::array<PyObject*, 3> outputs{};
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        MARUNDEX_TRY(output, check_output(slots[4 + k], output_names[k]));
        outputs[k] = *output;
    }

    if (*fast_period == 0 || *slow_period == 0 || *signal_period == 0) {
        return failure(value_error("Periods must be greater than 0"));
    }
    if (*fast_period >= *slow_period) {
        return failure(value_error("Fast period must be less than slow period"));
    }

    // An output's length protocol may run Python code, so every view is taken after
    // it: code that reshapes or reallocates an array from there cannot leave a view
    // behind that no longer describes the array.
    std::array<Py_ssize_t, 3> reported{};
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        reported[k] = PyObject_Size(outputs[k]);
        if (reported[k] == -1) {
            return failure(PyErr::fetch());
        }
    }
    MARUNDEX_TRY(data_view, data->view("data"));
    std::array<SeriesView, 3> views{};
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        MARUNDEX_TRY(view, series_view(outputs[k], output_names[k]));
        views[k] = *view;
    }
    // The kernel writes as many positions as the input has, so the real dimension
    // must match too, not only what a subclass reports as its length.
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        if (static_cast<std::uint64_t>(reported[k]) != data_view->length ||
            views[k].length != data_view->length) {
            return failure(value_error(length_message));
        }
    }
    if (!data_view->is_contiguous()) {
        return failure(not_contiguous_error("Input array must be C-contiguous", "data", *data_view,
                                            notes::ArrayRole::input));
    }
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        if (!views[k].is_contiguous()) {
            return failure(not_contiguous_error(contiguity_messages[k], output_names[k], views[k],
                                                notes::ArrayRole::output));
        }
    }
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        if (rejects_writes(outputs[k], views[k])) {
            return failure(read_only_error(writeable_messages[k], output_names[k]));
        }
    }
    // The kernel writes the three outputs while it reads the input: shared memory
    // would destroy the input or let one line overwrite another.
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        if (views[k].shares_memory_with(*data_view)) {
            return failure(shared_memory_error(input_sharing_messages[k]));
        }
    }
    for (const OutputPair& pair : output_pairs) {
        if (views[pair.first].shares_memory_with(views[pair.second])) {
            return failure(shared_memory_error(pair.message));
        }
    }

    without_interpreter_lock([&] {
        core::macd(*fast_period, *slow_period, *signal_period, input_run(*data_view),
                   output_run(views[0]), output_run(views[1]), output_run(views[2]));
    });
    return {};
}

}  // namespace

PyObject* indicator_macd(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return run_in_call_frame([&] { return macd(args, nargs, kwnames); });
}

}  // namespace marundex::module
