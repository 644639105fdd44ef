// Contiguous series views as the kernels' runs.
#pragma once

#include "../runtime/numpy_api.hpp"
#include "marundex/core.hpp"

namespace marundex::module {

inline core::InputRun input_run(const runtime::SeriesView& view) noexcept {
    return {view.data, static_cast<std::size_t>(view.length)};
}

inline core::OutputRun output_run(const runtime::SeriesView& view) noexcept {
    return {view.data, static_cast<std::size_t>(view.length)};
}

}  // namespace marundex::module
