// indicator_sma and indicator_ema: one entry point shape around two kernels.
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

constexpr std::array<const char*, 3> parameters{"period", "data", "output"};
constexpr CallSignature sma_signature{.function_name = "indicator_sma",
                                      .positional = parameters,
                                      .keyword_only = {},
                                      .required_positional_count = 3};
constexpr CallSignature ema_signature{.function_name = "indicator_ema",
                                      .positional = parameters,
                                      .keyword_only = {},
                                      .required_positional_count = 3};

using MovingAverageKernel = void (*)(std::uint64_t, core::InputRun, core::OutputRun) noexcept;

Result<void> moving_average(const CallSignature& signature, MovingAverageKernel kernel,
                            PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, parameters.size()> slots{};
    MARUNDEX_TRY(bound, bind_arguments(signature, args, nargs, kwnames, slots));
    MARUNDEX_TRY(period, convert_period(slots[0], "period"));
    MARUNDEX_TRY(data, borrow_input(slots[1], "data"));
    MARUNDEX_TRY(output, check_output(slots[2], "output"));

    MARUNDEX_TRY(data_view, data->view("data"));
    if (!data_view->is_contiguous()) {
        return failure(not_contiguous_error("Input array must be C-contiguous and float64", "data",
                                            *data_view, notes::ArrayRole::input));
    }
    MARUNDEX_TRY(output_view, series_view(*output, "output"));
    if (!output_view->is_contiguous()) {
        return failure(not_contiguous_error("Output array must be C-contiguous and float64",
                                            "output", *output_view, notes::ArrayRole::output));
    }
    if (output_view->length != data_view->length) {
        return failure(value_error("Output array length must match input"));
    }
    if (rejects_writes(*output, *output_view)) {
        return failure(read_only_error("Output array must be writeable", "output"));
    }
    // The kernel writes the output while it reads the input: sharing memory would
    // destroy the input and give a result nobody asked for.
    if (output_view->shares_memory_with(*data_view)) {
        return failure(
            shared_memory_error("Output array must not share memory with the input array"));
    }

    without_interpreter_lock(
        [&] { kernel(*period, input_run(*data_view), output_run(*output_view)); });
    return {};
}

}  // namespace

PyObject* indicator_sma(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return run_in_call_frame(
        [&] { return moving_average(sma_signature, core::sma, args, nargs, kwnames); });
}

PyObject* indicator_ema(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return run_in_call_frame(
        [&] { return moving_average(ema_signature, core::ema, args, nargs, kwnames); });
}

}  // namespace marundex::module
