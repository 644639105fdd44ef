// indicator_atr: the average true range of a series of bars.
#include <array>
#include <utility>

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

constexpr std::array<const char*, 5> parameters{"period", "high", "low", "close", "output"};
constexpr CallSignature signature{.function_name = "indicator_atr",
                                  .positional = parameters,
                                  .keyword_only = {},
                                  .required_positional_count = 5};

Result<void> atr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, parameters.size()> slots{};
    MARUNDEX_TRY(bound, bind_arguments(signature, args, nargs, kwnames, slots));
    MARUNDEX_TRY(period, convert_period(slots[0], "period"));
    // Declared in this order so that they are given back as close, low, high.
    MARUNDEX_TRY(high, borrow_input(slots[1], "high"));
    MARUNDEX_TRY(low, borrow_input(slots[2], "low"));
    MARUNDEX_TRY(close, borrow_input(slots[3], "close"));
    MARUNDEX_TRY(output, check_output(slots[4], "output"));

    MARUNDEX_TRY(high_view, high->view("high"));
    if (!high_view->is_contiguous()) {
        return failure(not_contiguous_error("High array must be C-contiguous and float64", "high",
                                            *high_view, notes::ArrayRole::input));
    }
    MARUNDEX_TRY(low_view, low->view("low"));
    if (!low_view->is_contiguous()) {
        return failure(not_contiguous_error("Low array must be C-contiguous and float64", "low",
                                            *low_view, notes::ArrayRole::input));
    }
    MARUNDEX_TRY(close_view, close->view("close"));
    if (!close_view->is_contiguous()) {
        return failure(not_contiguous_error("Close array must be C-contiguous and float64", "close",
                                            *close_view, notes::ArrayRole::input));
    }
    const std::uint64_t n = high_view->length;
    if (low_view->length != n || close_view->length != n) {
        return failure(value_error("All arrays must have the same length"));
    }
    MARUNDEX_TRY(output_view, series_view(*output, "output"));
    if (!output_view->is_contiguous()) {
        return failure(not_contiguous_error("Output array must be C-contiguous and float64",
                                            "output", *output_view, notes::ArrayRole::output));
    }
    // With a usable period the kernel writes every position up to n - 1.
    if (*period > 0 && *period < n && output_view->length < n) {
        return failure(value_error("Output array must not be shorter than the input arrays"));
    }
    if (rejects_writes(*output, *output_view)) {
        return failure(read_only_error("Output array must be writeable", "output"));
    }
    // The kernel writes the output while it reads the inputs (whatever the period:
    // an unusable one still fills the output with NaN).
    const std::array<std::pair<const SeriesView*, StaticText>, 3> inputs{{
        {&*high_view, StaticText{"Output array must not share memory with the high array"}},
        {&*low_view, StaticText{"Output array must not share memory with the low array"}},
        {&*close_view, StaticText{"Output array must not share memory with the close array"}},
    }};
    for (const auto& [input_view, message] : inputs) {
        if (output_view->shares_memory_with(*input_view)) {
            return failure(shared_memory_error(message));
        }
    }

    // The kernel runs with the interpreter lock held.
    core::atr(*period, input_run(*high_view), input_run(*low_view), input_run(*close_view),
              output_run(*output_view));
    return {};
}

}  // namespace

PyObject* indicator_atr(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return run_in_call_frame([&] { return atr(args, nargs, kwnames); });
}

}  // namespace marundex::module
