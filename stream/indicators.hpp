// The four indicators as the stream types see them: their periods, their input and
// output arrays with the words that name them in messages, and their resumable
// states from the core.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>

#include "marundex/core.hpp"

namespace marundex::stream {

// An array parameter, and how messages name it: "<Title> array must ..." and
// "... with the <noun> array".
struct ArrayRole {
    const char* parameter;
    const char* title;
    const char* noun;
};

inline constexpr ArrayRole input_role{"data", "Input", "input"};
inline constexpr ArrayRole output_role{"output", "Output", "output"};

template <std::size_t Inputs, std::size_t Outputs>
struct Runs {
    std::array<core::InputRun, Inputs> inputs;
    std::array<core::OutputRun, Outputs> outputs;
};

struct Sma {
    static constexpr const char* name = "SMA";
    static constexpr std::uint64_t kind = 1;  // in checkpoints
    static constexpr std::array<const char*, 1> periods{"period"};
    static constexpr std::array<ArrayRole, 1> inputs{input_role};
    static constexpr std::array<ArrayRole, 1> outputs{output_role};
    using State = core::SmaState;
    using Run = Runs<1, 1>;

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 1>& p) noexcept {
        return State::create(p[0]);
    }
    static std::expected<State, core::StateError> copy(const State& state) noexcept {
        return state.copy();
    }
    static void advance(State& state, const Run& run) noexcept {
        state.advance(run.inputs[0], run.outputs[0]);
    }
    static void preview(const State& state, const Run& run) noexcept {
        state.preview(run.inputs[0], run.outputs[0]);
    }
};

struct Ema {
    static constexpr const char* name = "EMA";
    static constexpr std::uint64_t kind = 2;  // in checkpoints
    static constexpr std::array<const char*, 1> periods{"period"};
    static constexpr std::array<ArrayRole, 1> inputs{input_role};
    static constexpr std::array<ArrayRole, 1> outputs{output_role};
    using State = core::EmaState;
    using Run = Runs<1, 1>;

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 1>& p) noexcept {
        return State(p[0]);
    }
    static std::expected<State, core::StateError> copy(const State& state) noexcept {
        return state;
    }
    static void advance(State& state, const Run& run) noexcept {
        state.advance(run.inputs[0], run.outputs[0]);
    }
    static void preview(const State& state, const Run& run) noexcept {
        state.preview(run.inputs[0], run.outputs[0]);
    }
};

struct Macd {
    static constexpr const char* name = "MACD";
    static constexpr std::uint64_t kind = 3;  // in checkpoints
    static constexpr std::array<const char*, 3> periods{"fast_period", "slow_period",
                                                        "signal_period"};
    static constexpr std::array<ArrayRole, 1> inputs{input_role};
    static constexpr std::array<ArrayRole, 3> outputs{{
        {"macd_output", "MACD output", "MACD output"},
        {"signal_output", "Signal output", "signal output"},
        {"hist_output", "Histogram output", "histogram output"},
    }};
    using State = core::MacdState;
    using Run = Runs<1, 3>;

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 3>& p) noexcept {
        return State::create(p[0], p[1], p[2]);
    }
    static std::expected<State, core::StateError> copy(const State& state) noexcept {
        return state.copy();
    }
    static void advance(State& state, const Run& run) noexcept {
        state.advance(run.inputs[0], run.outputs[0], run.outputs[1], run.outputs[2]);
    }
    static void preview(const State& state, const Run& run) noexcept {
        state.preview(run.inputs[0], run.outputs[0], run.outputs[1], run.outputs[2]);
    }
};

struct Atr {
    static constexpr const char* name = "ATR";
    static constexpr std::uint64_t kind = 4;  // in checkpoints
    static constexpr std::array<const char*, 1> periods{"period"};
    static constexpr std::array<ArrayRole, 3> inputs{{
        {"high", "High", "high"},
        {"low", "Low", "low"},
        {"close", "Close", "close"},
    }};
    static constexpr std::array<ArrayRole, 1> outputs{output_role};
    using State = core::AtrState;
    using Run = Runs<3, 1>;

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 1>& p) noexcept {
        return State(p[0]);
    }
    static std::expected<State, core::StateError> copy(const State& state) noexcept {
        return state;
    }
    static void advance(State& state, const Run& run) noexcept {
        state.advance(run.inputs[0], run.inputs[1], run.inputs[2], run.outputs[0]);
    }
    static void preview(const State& state, const Run& run) noexcept {
        state.preview(run.inputs[0], run.inputs[1], run.inputs[2], run.outputs[0]);
    }
};

}  // namespace marundex::stream
