// The table of stream types: for each indicator its name, its parameters, its input
// and output arrays with the words that name them in messages, its docstring and its
// resumable state from the core. A new type is one entry here and its name in
// `Catalogue` at the end; the template (stream_type.hpp) and the module (module.cpp)
// take everything else from the entry.
//
// An entry derives from `Resumable<State, Inputs, Outputs>`, which makes, copies and
// runs the state through its usual members; an entry whose state differs says so
// itself (MACD's three periods).
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>

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
inline constexpr std::array<ArrayRole, 1> data_input{input_role};
inline constexpr std::array<ArrayRole, 1> one_output{output_role};
inline constexpr std::array<ArrayRole, 3> bar_inputs{{
    {"high", "High", "high"},
    {"low", "Low", "low"},
    {"close", "Close", "close"},
}};
inline constexpr std::array<ArrayRole, 2> high_low_inputs{{
    {"high", "High", "high"},
    {"low", "Low", "low"},
}};
inline constexpr std::array<ArrayRole, 2> close_volume_inputs{{
    {"close", "Close", "close"},
    {"volume", "Volume", "volume"},
}};

inline constexpr std::array<ArrayRole, 4> bar_volume_inputs{{
    {"high", "High", "high"},
    {"low", "Low", "low"},
    {"close", "Close", "close"},
    {"volume", "Volume", "volume"},
}};

// What a constructor parameter takes. Each takes one word of the checkpoint: a
// period as itself, a multiplier as the bits of its double, a choice as the index
// of its word.
enum class ParameterKind : std::uint8_t { period, multiplier, choice };

// A constructor parameter: its keyword (and attribute), its title in messages, and
// what it accepts. A period is refused below `minimum` ("<Title> must be at least
// <minimum>"), a multiplier unless finite ("<Title> must be a finite number") and,
// if `positive`, unless above 0 ("<Title> must be greater than 0"), a choice unless
// one of `choices`. One with a default may be left out; keyword-only ones come last.
// A parameter added after checkpoints of an older layout were written takes its
// default in those.
struct Parameter {
    const char* name;
    const char* title;
    std::uint64_t minimum = 0;
    ParameterKind kind = ParameterKind::period;
    std::optional<std::uint64_t> default_word = std::nullopt;
    std::span<const char* const> choices = {};
    bool keyword_only = false;
    std::uint64_t since_layout = 1;
    bool positive = false;

    // Whether `word` is a value this parameter takes: what a checkpoint must hold.
    [[nodiscard]] bool accepts(std::uint64_t word) const noexcept {
        switch (kind) {
            case ParameterKind::period:
                return word >= minimum;
            case ParameterKind::multiplier: {
                const double value = std::bit_cast<double>(word);
                return std::isfinite(value) && (!positive || value > 0.0);
            }
            case ParameterKind::choice:
                return word < choices.size();
        }
        return false;
    }
};

// A finite factor such as a band's width in deviations, `default_value` unless given.
consteval Parameter multiplier(const char* name, const char* title, double default_value) {
    return {.name = name,
            .title = title,
            .kind = ParameterKind::multiplier,
            .default_word = std::bit_cast<std::uint64_t>(default_value)};
}

// A multiplier that must be above 0 too, such as a rate.
consteval Parameter positive_multiplier(const char* name, const char* title, double default_value) {
    Parameter parameter = multiplier(name, title, default_value);
    parameter.positive = true;
    return parameter;
}

inline constexpr std::array<Parameter, 1> any_period{{{"period", "Period", 0}}};
inline constexpr std::array<Parameter, 0> no_parameters{};

template <std::size_t Inputs, std::size_t Outputs>
struct Runs {
    std::array<core::InputRun, Inputs> inputs;
    std::array<core::OutputRun, Outputs> outputs;
};

// Making, copying and running a state with one period: made by create() where the
// state may fail (it keeps a window), else by its constructor; copied by copy() or
// as a value; run with its inputs, then its outputs, in the table's order.
template <class S, std::size_t Inputs, std::size_t Outputs>
struct Resumable {
    using State = S;
    using Run = Runs<Inputs, Outputs>;
    // The title of the parameter that sets the window, in "... must be at most".
    static constexpr const char* window_title = "Period";

    template <std::size_t N>
    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, N>& p) noexcept {
        return std::apply(
            [](auto... value) -> std::expected<State, core::StateError> {
                if constexpr (requires { State::create(value...); }) {
                    return State::create(value...);
                } else {
                    return State(value...);
                }
            },
            p);
    }
    static std::expected<State, core::StateError> copy(const State& state) noexcept {
        if constexpr (requires { state.copy(); }) {
            return state.copy();
        } else {
            return state;
        }
    }
    // The parameters a state was made with, which a checkpoint's header must repeat.
    static std::array<std::uint64_t, 1> parameters_of(const State& state) noexcept {
        return {state.period()};
    }
    static void advance(State& state, const Run& run) noexcept {
        apply_runs(run, [&state](auto... r) { state.advance(r...); });
    }
    static void preview(const State& state, const Run& run) noexcept {
        apply_runs(run, [&state](auto... r) { state.preview(r...); });
    }

  private:
    template <class F>
    static void apply_runs(const Run& run, F&& f) noexcept {
        [&]<std::size_t... I, std::size_t... O>(std::index_sequence<I...>,
                                                std::index_sequence<O...>) {
            f(run.inputs[I]..., run.outputs[O]...);
        }
        (std::make_index_sequence<Inputs>(), std::make_index_sequence<Outputs>());
    }
};

struct Sma : Resumable<core::SmaState, 1, 1> {
    static constexpr const char* name = "SMA";
    static constexpr std::uint64_t kind = 1;  // in checkpoints
    static constexpr const char* doc =
        "SMA(period, symbols=None)\n--\n\nSimple moving average, resumable.";
    static constexpr auto parameters = any_period;
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Ema : Resumable<core::EmaState, 1, 1> {
    static constexpr const char* name = "EMA";
    static constexpr std::uint64_t kind = 2;
    static constexpr const char* doc =
        "EMA(period, symbols=None)\n--\n\nExponential moving average, resumable.";
    static constexpr auto parameters = any_period;
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

inline constexpr std::array<const char*, 2> macd_seeds{"first", "talib"};

struct Macd : Resumable<core::MacdState, 1, 3> {
    static constexpr const char* name = "MACD";
    static constexpr std::uint64_t kind = 3;
    static constexpr const char* doc =
        "MACD(fast_period, slow_period, signal_period, symbols=None, *, seed='first')\n--\n\n"
        "MACD line, signal line and histogram, resumable; seed='talib' starts the three "
        "lines as TA-Lib's MACD does.";
    // Zero and the order of the periods are the core's refusals. The seed's word is
    // the index of its name in macd_seeds, the order of core::MacdSeed.
    static constexpr std::array<Parameter, 4> parameters{{
        {"fast_period", "Fast period", 0},
        {"slow_period", "Slow period", 0},
        {"signal_period", "Signal period", 0},
        {.name = "seed",
         .title = "Seed",
         .kind = ParameterKind::choice,
         .default_word = 0,
         .choices = macd_seeds,
         .keyword_only = true,
         .since_layout = 2},
    }};
    static constexpr auto inputs = data_input;
    static constexpr std::array<ArrayRole, 3> outputs{{
        {"macd_output", "MACD output", "MACD output"},
        {"signal_output", "Signal output", "signal output"},
        {"hist_output", "Histogram output", "histogram output"},
    }};
    static constexpr const char* window_title = "Slow period";

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 4>& p) noexcept {
        return State::create(p[0], p[1], p[2], static_cast<core::MacdSeed>(p[3]));
    }
    static std::array<std::uint64_t, 4> parameters_of(const State& state) noexcept {
        return {state.fast_period(), state.slow_period(), state.signal_period(),
                static_cast<std::uint64_t>(state.seed())};
    }
};

struct Atr : Resumable<core::AtrState, 3, 1> {
    static constexpr const char* name = "ATR";
    static constexpr std::uint64_t kind = 4;
    static constexpr const char* doc =
        "ATR(period, symbols=None)\n--\n\nAverage true range, resumable.";
    static constexpr auto parameters = any_period;
    static constexpr auto inputs = bar_inputs;
    static constexpr auto outputs = one_output;
};

struct Rsi : Resumable<core::RsiState, 1, 1> {
    static constexpr const char* name = "RSI";
    static constexpr std::uint64_t kind = 5;
    static constexpr const char* doc =
        "RSI(period, symbols=None)\n--\n\n"
        "Wilder's relative strength index, 100 * gain / (gain + loss) of the averaged "
        "changes; the first value at bar period.";
    // One change is no average: TA-Lib refuses period 1 as well.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Wma : Resumable<core::WmaState, 1, 1> {
    static constexpr const char* name = "WMA";
    static constexpr std::uint64_t kind = 6;
    static constexpr const char* doc =
        "WMA(period, symbols=None)\n--\n\n"
        "Weighted moving average, sum of k * x over the window (k = 1 for the oldest, "
        "period for the newest) / (period * (period + 1) / 2); the first value at bar "
        "period - 1.";
    // A window of one is the input itself, as TA-Lib gives it.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 1}}};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Dema : Resumable<core::DemaState, 1, 1> {
    static constexpr const char* name = "DEMA";
    static constexpr std::uint64_t kind = 7;
    static constexpr const char* doc =
        "DEMA(period, symbols=None)\n--\n\n"
        "Double exponential moving average, e1 + (e1 - e2), e1 the EMA of the input and "
        "e2 the EMA of e1; the first value at bar 2 * (period - 1).";
    // A period of 1 is the input itself, as TA-Lib gives it.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 1}}};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Tema : Resumable<core::TemaState, 1, 1> {
    static constexpr const char* name = "TEMA";
    static constexpr std::uint64_t kind = 8;
    static constexpr const char* doc =
        "TEMA(period, symbols=None)\n--\n\n"
        "Triple exponential moving average, 3 * (e1 - e2) + e3, e1 the EMA of the input, "
        "e2 the EMA of e1 and e3 the EMA of e2; the first value at bar 3 * (period - 1).";
    // As DEMA's: a period of 1 is the input itself, as TA-Lib gives it.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 1}}};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Mom : Resumable<core::MomState, 1, 1> {
    static constexpr const char* name = "MOM";
    static constexpr std::uint64_t kind = 9;
    static constexpr const char* doc =
        "MOM(period, symbols=None)\n--\n\n"
        "Momentum, x[i] - x[i - period]; the first value at bar period.";
    // The change over one bar is a momentum too; TA-Lib takes period 1.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 1}}};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Roc : Resumable<core::RocState, 1, 1> {
    static constexpr const char* name = "ROC";
    static constexpr std::uint64_t kind = 10;
    static constexpr const char* doc =
        "ROC(period, symbols=None)\n--\n\n"
        "Rate of change in percent, ((x[i] / x[i - period]) - 1) * 100, 0 where "
        "x[i - period] is 0; the first value at bar period.";
    // As MOM's: TA-Lib takes period 1.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 1}}};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Stddev : Resumable<core::StddevState, 1, 1> {
    static constexpr const char* name = "STDDEV";
    static constexpr std::uint64_t kind = 11;
    static constexpr const char* doc =
        "STDDEV(period, nbdev=1.0, symbols=None)\n--\n\n"
        "Population standard deviation of the last period inputs, sqrt(mean of (x - "
        "mean)**2) * nbdev; the first value at bar period - 1.";
    // One input has no spread: TA-Lib refuses period 1 too.
    static constexpr std::array<Parameter, 2> parameters{{
        {"period", "Period", 2},
        multiplier("nbdev", "Nbdev", 1.0),
    }};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 2>& p) noexcept {
        return State::create(p[0], std::bit_cast<double>(p[1]));
    }
    static std::array<std::uint64_t, 2> parameters_of(const State& state) noexcept {
        return {state.period(), std::bit_cast<std::uint64_t>(state.nbdev())};
    }
};

struct Bbands : Resumable<core::BbandsState, 1, 3> {
    static constexpr const char* name = "BBANDS";
    static constexpr std::uint64_t kind = 12;
    static constexpr const char* doc =
        "BBANDS(period, nbdev_up=2.0, nbdev_dn=2.0, symbols=None)\n--\n\n"
        "Bollinger Bands: the mean of the last period inputs, and it plus nbdev_up and "
        "less nbdev_dn population standard deviations; the first values at bar period - 1.";
    static constexpr std::array<Parameter, 3> parameters{{
        {"period", "Period", 2},
        multiplier("nbdev_up", "Nbdev up", 2.0),
        multiplier("nbdev_dn", "Nbdev dn", 2.0),
    }};
    static constexpr auto inputs = data_input;
    static constexpr std::array<ArrayRole, 3> outputs{{
        {"upper_output", "Upper output", "upper output"},
        {"middle_output", "Middle output", "middle output"},
        {"lower_output", "Lower output", "lower output"},
    }};

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 3>& p) noexcept {
        return State::create(p[0], std::bit_cast<double>(p[1]), std::bit_cast<double>(p[2]));
    }
    static std::array<std::uint64_t, 3> parameters_of(const State& state) noexcept {
        return {state.period(), std::bit_cast<std::uint64_t>(state.nbdev_up()),
                std::bit_cast<std::uint64_t>(state.nbdev_dn())};
    }
};

struct Trange : Resumable<core::TrangeState, 3, 1> {
    static constexpr const char* name = "TRANGE";
    static constexpr std::uint64_t kind = 13;
    static constexpr const char* doc =
        "TRANGE(symbols=None)\n--\n\n"
        "True range, max(high - low, |high - previous close|, |low - previous close|); "
        "the first value at bar 1.";
    static constexpr auto parameters = no_parameters;
    static constexpr auto inputs = bar_inputs;
    static constexpr auto outputs = one_output;

    static std::array<std::uint64_t, 0> parameters_of(const State& /*state*/) noexcept {
        return {};
    }
};

struct Natr : Resumable<core::NatrState, 3, 1> {
    static constexpr const char* name = "NATR";
    static constexpr std::uint64_t kind = 14;
    static constexpr const char* doc =
        "NATR(period, symbols=None)\n--\n\n"
        "Normalised average true range, (average / close) * 100 of Wilder's average of "
        "the true ranges; the first value at bar period.";
    // TA-Lib's period 1 gives the true range itself, not normalised.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = bar_inputs;
    static constexpr auto outputs = one_output;
};

struct Willr : Resumable<core::WillrState, 3, 1> {
    static constexpr const char* name = "WILLR";
    static constexpr std::uint64_t kind = 15;
    static constexpr const char* doc =
        "WILLR(period, symbols=None)\n--\n\n"
        "Williams' %R, ((highest high - close) / (highest high - lowest low)) * -100 over "
        "the last period bars; the first value at bar period - 1.";
    // A window of one bar has no range of its own: TA-Lib refuses period 1 too.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = bar_inputs;
    static constexpr auto outputs = one_output;
};

struct Stoch : Resumable<core::StochState, 3, 2> {
    static constexpr const char* name = "STOCH";
    static constexpr std::uint64_t kind = 16;
    static constexpr const char* doc =
        "STOCH(fastk_period, slowk_period, slowd_period, symbols=None)\n--\n\n"
        "Slow stochastic, the slow %K the mean over slowk_period of the fast %K "
        "((close - lowest low) / (highest high - lowest low)) * 100 over fastk_period "
        "bars, the slow %D its mean over slowd_period; both from bar fastk_period + "
        "slowk_period + slowd_period - 3.";
    // As STOCHF's: TA-Lib takes 1 for each.
    static constexpr std::array<Parameter, 3> parameters{{
        {"fastk_period", "Fastk period", 1},
        {"slowk_period", "Slowk period", 1},
        {"slowd_period", "Slowd period", 1},
    }};
    static constexpr auto inputs = bar_inputs;
    static constexpr std::array<ArrayRole, 2> outputs{{
        {"slowk_output", "Slow %K output", "slow %K output"},
        {"slowd_output", "Slow %D output", "slow %D output"},
    }};
    static constexpr const char* window_title = "Each period";

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 3>& p) noexcept {
        return State::create(p);
    }
    static std::array<std::uint64_t, 3> parameters_of(const State& state) noexcept {
        return state.periods();
    }
};

struct Stochf : Resumable<core::StochfState, 3, 2> {
    static constexpr const char* name = "STOCHF";
    static constexpr std::uint64_t kind = 17;
    static constexpr const char* doc =
        "STOCHF(fastk_period, fastd_period, symbols=None)\n--\n\n"
        "Fast stochastic, %K = ((close - lowest low) / (highest high - lowest low)) * 100 "
        "over the last fastk_period bars and %D its mean over fastd_period; both from bar "
        "fastk_period + fastd_period - 2.";
    // A window of one bar is the bar's own range; a mean of one is the %K itself.
    // TA-Lib takes both.
    static constexpr std::array<Parameter, 2> parameters{{
        {"fastk_period", "Fastk period", 1},
        {"fastd_period", "Fastd period", 1},
    }};
    static constexpr auto inputs = bar_inputs;
    static constexpr std::array<ArrayRole, 2> outputs{{
        {"fastk_output", "Fast %K output", "fast %K output"},
        {"fastd_output", "Fast %D output", "fast %D output"},
    }};
    // Every period sets a window of its own.
    static constexpr const char* window_title = "Each period";

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 2>& p) noexcept {
        return State::create(p);
    }
    static std::array<std::uint64_t, 2> parameters_of(const State& state) noexcept {
        return state.periods();
    }
};

struct Cci : Resumable<core::CciState, 3, 1> {
    static constexpr const char* name = "CCI";
    static constexpr std::uint64_t kind = 18;
    static constexpr const char* doc =
        "CCI(period, symbols=None)\n--\n\n"
        "Commodity channel index, (tp - mean) / (0.015 * mean deviation) of the typical "
        "prices tp = (high + low + close) / 3 over the last period bars; the first value "
        "at bar period - 1.";
    // A window of one bar deviates from nothing: TA-Lib refuses period 1 too.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = bar_inputs;
    static constexpr auto outputs = one_output;
};

struct Dmi : Resumable<core::DmiState, 3, 3> {
    static constexpr const char* name = "DMI";
    static constexpr std::uint64_t kind = 19;
    static constexpr const char* doc =
        "DMI(period, symbols=None)\n--\n\n"
        "Wilder's directional movement: +DI and -DI, 100 times the averages of +DM and "
        "-DM over the average true range, from bar period; ADX, the average of "
        "100 * |+DI - -DI| / (+DI + -DI), from bar 2 * period - 1.";
    // TA-Lib's ADX refuses period 1; its +DI and -DI of period 1 are of one bar.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = bar_inputs;
    static constexpr std::array<ArrayRole, 3> outputs{{
        {"plus_di_output", "+DI output", "+DI output"},
        {"minus_di_output", "-DI output", "-DI output"},
        {"adx_output", "ADX output", "ADX output"},
    }};
};

struct Obv : Resumable<core::ObvState, 2, 1> {
    static constexpr const char* name = "OBV";
    static constexpr std::uint64_t kind = 20;
    static constexpr const char* doc =
        "OBV(symbols=None)\n--\n\n"
        "On-balance volume, a running total of the volume, added where the close rose and "
        "taken away where it fell; the first value at bar 0, the volume itself.";
    static constexpr auto parameters = no_parameters;
    static constexpr auto inputs = close_volume_inputs;
    static constexpr auto outputs = one_output;

    static std::array<std::uint64_t, 0> parameters_of(const State& /*state*/) noexcept {
        return {};
    }
};

struct Mfi : Resumable<core::MfiState, 4, 1> {
    static constexpr const char* name = "MFI";
    static constexpr std::uint64_t kind = 21;
    static constexpr const char* doc =
        "MFI(period, symbols=None)\n--\n\n"
        "Money flow index, 100 * (pos / (pos + neg)) of the sums of the last period "
        "flows tp * volume, tp = (high + low + close) / 3, positive where tp rose and "
        "negative where it fell; the first value at bar period.";
    // One flow is no balance: TA-Lib refuses period 1 too.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = bar_volume_inputs;
    static constexpr auto outputs = one_output;
};

struct Hma : Resumable<core::HmaState, 1, 1> {
    static constexpr const char* name = "HMA";
    static constexpr std::uint64_t kind = 22;
    static constexpr const char* doc =
        "HMA(period, symbols=None)\n--\n\n"
        "Hull moving average, the WMA over isqrt(period) bars of 2 * WMA(period // 2) - "
        "WMA(period) (each at least 1); the first value at bar period + isqrt(period) - 2.";
    // As WMA's: a period of 1 is the input itself, as TA-Lib gives it.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 1}}};
    static constexpr auto inputs = data_input;
    static constexpr auto outputs = one_output;
};

struct Vwap : Resumable<core::VwapState, 4, 1> {
    static constexpr const char* name = "VWAP";
    static constexpr std::uint64_t kind = 23;
    static constexpr const char* doc =
        "VWAP(period=0, symbols=None)\n--\n\n"
        "Volume-weighted average price, the sum of tp * volume over the sum of the volume, "
        "tp = (high + low + close) / 3, from the first bar (period 0) or over the last "
        "period bars; the first value at bar 0, or at bar period - 1.";
    // 0 sums from the first bar the state sees, as TA-Lib's VWAP; a session is a new
    // state.
    static constexpr std::array<Parameter, 1> parameters{{
        {.name = "period", .title = "Period", .minimum = 0, .default_word = 0},
    }};
    static constexpr auto inputs = bar_volume_inputs;
    static constexpr auto outputs = one_output;
};

struct Supertrend : Resumable<core::SupertrendState, 3, 2> {
    static constexpr const char* name = "SUPERTREND";
    static constexpr std::uint64_t kind = 24;
    static constexpr const char* doc =
        "SUPERTREND(period, multiplier=3.0, symbols=None)\n--\n\n"
        "SuperTrend, the lower band (high + low) / 2 - multiplier * ATR while the trend is "
        "up and the upper one + multiplier * ATR while down, each held unless it tightens; "
        "trend_output +1.0 or -1.0; both from bar period.";
    // TA-Lib refuses period 1.
    static constexpr std::array<Parameter, 2> parameters{{
        {"period", "Period", 2},
        multiplier("multiplier", "Multiplier", 3.0),
    }};
    static constexpr auto inputs = bar_inputs;
    static constexpr std::array<ArrayRole, 2> outputs{{
        output_role,
        {"trend_output", "Trend output", "trend output"},
    }};

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 2>& p) noexcept {
        return State(p[0], std::bit_cast<double>(p[1]));
    }
    static std::array<std::uint64_t, 2> parameters_of(const State& state) noexcept {
        return {state.period(), std::bit_cast<std::uint64_t>(state.multiplier())};
    }
};

struct Kc : Resumable<core::KcState, 3, 3> {
    static constexpr const char* name = "KC";
    static constexpr std::uint64_t kind = 25;
    static constexpr const char* doc =
        "KC(period, atr_period, nbdev=2.0, symbols=None)\n--\n\n"
        "Keltner channel: the EMA of the typical prices (high + low + close) / 3 over "
        "period, and it plus and less nbdev times the average true range over "
        "atr_period; the first values at bar max(period - 1, atr_period).";
    // TA-Lib refuses a period of 1 for the EMA, and takes 1 for the true ranges.
    static constexpr std::array<Parameter, 3> parameters{{
        {"period", "Period", 2},
        {"atr_period", "Atr period", 1},
        multiplier("nbdev", "Nbdev", 2.0),
    }};
    static constexpr auto inputs = bar_inputs;
    static constexpr std::array<ArrayRole, 3> outputs{{
        {"upper_output", "Upper output", "upper output"},
        {"middle_output", "Middle output", "middle output"},
        {"lower_output", "Lower output", "lower output"},
    }};
    static constexpr const char* window_title = "Each period";

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 3>& p) noexcept {
        return State::create(p[0], p[1], std::bit_cast<double>(p[2]));
    }
    static std::array<std::uint64_t, 3> parameters_of(const State& state) noexcept {
        return {state.period(), state.atr_period(), std::bit_cast<std::uint64_t>(state.nbdev())};
    }
};

struct Donchian : Resumable<core::DonchianState, 2, 3> {
    static constexpr const char* name = "DONCHIAN";
    static constexpr std::uint64_t kind = 26;
    static constexpr const char* doc =
        "DONCHIAN(period, symbols=None)\n--\n\n"
        "Donchian channels: the highest high and the lowest low of the last period bars, "
        "and their mean (upper + lower) / 2; the first values at bar period - 1.";
    // A window of one bar is the bar itself: TA-Lib refuses period 1 too.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = high_low_inputs;
    static constexpr std::array<ArrayRole, 3> outputs{{
        {"upper_output", "Upper output", "upper output"},
        {"middle_output", "Middle output", "middle output"},
        {"lower_output", "Lower output", "lower output"},
    }};
};

struct Sar : Resumable<core::SarState, 2, 1> {
    static constexpr const char* name = "SAR";
    static constexpr std::uint64_t kind = 27;
    static constexpr const char* doc =
        "SAR(acceleration=0.02, maximum=0.2, symbols=None)\n--\n\n"
        "Parabolic SAR, the stop moved each bar by factor * (extreme - stop), the factor "
        "growing by acceleration up to maximum at each new extreme, reversed where a bar "
        "reaches it; the first value at bar 1.";
    // Rates above 0; acceleration above maximum is the core's refusal.
    static constexpr std::array<Parameter, 2> parameters{{
        positive_multiplier("acceleration", "Acceleration", 0.02),
        positive_multiplier("maximum", "Maximum", 0.2),
    }};
    static constexpr auto inputs = high_low_inputs;
    static constexpr auto outputs = one_output;

    static std::expected<State, core::StateError> make(
        const std::array<std::uint64_t, 2>& p) noexcept {
        return State::create(std::bit_cast<double>(p[0]), std::bit_cast<double>(p[1]));
    }
    static std::array<std::uint64_t, 2> parameters_of(const State& state) noexcept {
        return {std::bit_cast<std::uint64_t>(state.acceleration()),
                std::bit_cast<std::uint64_t>(state.maximum())};
    }
};

struct Aroon : Resumable<core::AroonState, 2, 2> {
    static constexpr const char* name = "AROON";
    static constexpr std::uint64_t kind = 28;
    static constexpr const char* doc =
        "AROON(period, symbols=None)\n--\n\n"
        "Aroon down and up, (100 * (period - k)) / period with k the bars since the "
        "lowest low, or the highest high, of the last period + 1 bars; the first values "
        "at bar period.";
    // A window of two bars only says which one is higher: TA-Lib refuses period 1 too.
    static constexpr std::array<Parameter, 1> parameters{{{"period", "Period", 2}}};
    static constexpr auto inputs = high_low_inputs;
    static constexpr std::array<ArrayRole, 2> outputs{{
        {"down_output", "Down output", "down output"},
        {"up_output", "Up output", "up output"},
    }};
};

struct StochRsi : Resumable<core::StochRsiState, 1, 2> {
    static constexpr const char* name = "STOCHRSI";
    static constexpr std::uint64_t kind = 29;
    static constexpr const char* doc =
        "STOCHRSI(period, fastk_period, fastd_period, symbols=None)\n--\n\n"
        "Stochastic RSI, the fast stochastic of RSI(period): %K = ((rsi - lowest) / "
        "(highest - lowest)) * 100 over the last fastk_period RSI values and %D its mean "
        "over fastd_period; both from bar period + fastk_period + fastd_period - 2.";
    // RSI's smallest period; a window of one RSI value and a mean of one are STOCHF's.
    // TA-Lib takes the same.
    static constexpr std::array<Parameter, 3> parameters{{
        {"period", "Period", 2},
        {"fastk_period", "Fastk period", 1},
        {"fastd_period", "Fastd period", 1},
    }};
    static constexpr auto inputs = data_input;
    static constexpr std::array<ArrayRole, 2> outputs{{
        {"fastk_output", "Fast %K output", "fast %K output"},
        {"fastd_output", "Fast %D output", "fast %D output"},
    }};
    static constexpr const char* window_title = "Each period";

    static std::array<std::uint64_t, 3> parameters_of(const State& state) noexcept {
        return state.periods();
    }
};

template <class... Indicators>
struct TypeList {};

// The types of marundex_stream, in the order of its __all__.
using Catalogue = TypeList<Sma, Ema, Macd, Atr, Rsi, Wma, Dema, Tema, Mom, Roc, Stddev, Bbands,
                           Trange, Natr, Willr, Stoch, Stochf, Cci, Dmi, Obv, Mfi, Hma, Vwap,
                           Supertrend, Kc, Donchian, Sar, Aroon, StochRsi>;

}  // namespace marundex::stream
