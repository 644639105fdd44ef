#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::is_nan;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace detail {

// One step of an exponential average.
struct Smoothing {
    double alpha;
    double beta;

    [[nodiscard]] double step(double average, double x) const noexcept {
        return detail::plus(beta * average, alpha * x);
    }
};

// The periods and the factors derived from them, fixed for a series.
struct MacdFactors {
    std::uint64_t fast_period;
    std::uint64_t slow_period;
    std::uint64_t signal_period;
    std::uint64_t signal_from;
    Smoothing fast;
    Smoothing slow;
    Smoothing signal;
};

// The three averages, carried from one bar to the next, and TA-Lib's signal seed
// while it is summed.
struct MacdCarry {
    double fast_average;
    double slow_average;
    double signal_line;
    double signal_sum = -0.0;
    std::uint64_t signal_count = 0;
};

}  // namespace detail

namespace {

using detail::MacdCarry;
using detail::MacdFactors;
using detail::Smoothing;

Smoothing smoothing_of(std::uint64_t period) noexcept {
    const double alpha = 2.0 / (detail::period_as_double(period) + 1.0);
    return {alpha, 1.0 - alpha};
}

// Mean of the `period` values ending at position `last` of a run, summed from `last`
// backwards, on into the window of the bars before the run where it reaches past
// the run's start.
double trailing_mean(InputRun data, std::size_t last, std::uint64_t period,
                     const detail::Window& earlier) noexcept {
    double sum = -0.0;
    const std::uint64_t in_run = period < last + 1 ? period : last + 1;
    for (std::size_t k = 0; k < in_run; ++k) {
        sum = detail::plus(sum, load(data.data, last - k));
    }
    std::uint64_t slot = earlier.next;
    for (std::uint64_t k = in_run; k < period; ++k) {
        slot = (slot == 0 ? earlier.capacity : slot) - 1;
        sum = detail::plus(sum, earlier.slots[slot]);
    }
    return sum / detail::period_as_double(period);
}

// slow + signal - 2 saturates instead of wrapping: a wrapped index would start the
// signal line too early, a saturated one never starts it.
std::uint64_t signal_start(std::uint64_t slow_period, std::uint64_t signal_period) noexcept {
    const std::uint64_t slow_less_two = slow_period - 2;  // slow > fast >= 1
    if (signal_period > std::numeric_limits<std::uint64_t>::max() - slow_less_two) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return slow_less_two + signal_period;
}

struct Outputs {
    OutputRun line;
    OutputRun signal;
    OutputRun hist;

    // The three stores of a position, in this order: outputs that share memory see
    // the same last writer as the definition's.
    void put(std::size_t i, double line_value, double signal_value,
             double hist_value) const noexcept {
        store(line.data, i, line_value);
        store(signal.data, i, signal_value);
        store(hist.data, i, hist_value);
    }

    void gap(std::size_t i) const noexcept { put(i, quiet_nan, quiet_nan, quiet_nan); }
};

// Whether an input is a gap, skipped with its outputs NaN: a NaN, and with TA-Lib's
// seed an infinity too, so that one never enters the averages.
bool is_gap(MacdSeed seed, double x) noexcept {
    return seed == MacdSeed::talib ? !detail::is_finite(x) : is_nan(x);
}

MacdFactors factors_of(std::uint64_t fast_period, std::uint64_t slow_period,
                       std::uint64_t signal_period) noexcept {
    return {fast_period,
            slow_period,
            signal_period,
            signal_start(slow_period, signal_period),
            smoothing_of(fast_period),
            smoothing_of(slow_period),
            smoothing_of(signal_period)};
}

// The kernel's state from one position of a run to the next, and its two ways of
// taking a step. Every position is read from memory when its step comes, after the
// stores of the steps before it: outputs may share memory with the data.
template <MacdSeed Seed>
class Macd {
  public:
    // A run of the bars after the first `bars` of the series, whose inputs the window
    // keeps as far back as a seed reads.
    Macd(const MacdFactors& factors, MacdCarry carry, std::uint64_t bars,
         const detail::Window& earlier, InputRun data, Outputs out) noexcept
        : fast_period_(factors.fast_period),
          slow_period_(factors.slow_period),
          signal_period_(factors.signal_period),
          fast_(factors.fast),
          slow_(factors.slow),
          signal_(factors.signal),
          signal_from_(factors.signal_from),
          bars_(bars),
          earlier_(earlier),
          data_(data),
          out_(out),
          fast_average_(carry.fast_average),
          slow_average_(carry.slow_average),
          signal_line_(carry.signal_line),
          signal_sum_(carry.signal_sum),
          signal_count_(carry.signal_count) {}

    [[nodiscard]] MacdCarry carry() const noexcept {
        return {fast_average_, slow_average_, signal_line_, signal_sum_, signal_count_};
    }

    // Every value is a number once the signal line has started, and then only NaN
    // inputs (gaps) and NaN results of the arithmetic need a second look.
    [[nodiscard]] bool steady() const noexcept {
        return !is_nan(fast_average_) && !is_nan(signal_line_);
    }

    // Position i, at bar slow_period - 1 or later, as the definition has it: a gap
    // input is skipped, a NaN fast average is seeded again from the raw windows, and
    // a NaN signal value starts again as the seed has it.
    void step(std::size_t i) noexcept {
        const double x = load(data_.data, i);
        if (is_gap(Seed, x)) {
            out_.gap(i);
            return;
        }
        // Only the fast average's NaN-ness triggers seeding; the slow one is never tested.
        if (is_nan(fast_average_)) {
            const double fast = trailing_mean(data_, i, fast_period_, earlier_);
            const double slow = trailing_mean(data_, i, slow_period_, earlier_);
            // TA-Lib's seed takes only windows of finite inputs; one that holds a bad
            // value seeds nothing, and its position is a gap.
            if (Seed == MacdSeed::talib && !(detail::is_finite(fast) && detail::is_finite(slow))) {
                out_.gap(i);
                return;
            }
            fast_average_ = fast;
            slow_average_ = slow;
        } else {
            fast_average_ = fast_.step(fast_average_, x);
            slow_average_ = slow_.step(slow_average_, x);
        }
        const double line = fast_average_ - slow_average_;
        if (!is_nan(signal_line_)) {
            signal_line_ = signal_.step(signal_line_, line);
        } else if constexpr (Seed == MacdSeed::first) {
            if (bars_ + i >= signal_from_) {
                signal_line_ = line;
            }
        } else {
            // The mean of the first signal_period MACD values, and no line before it.
            signal_sum_ = detail::plus(signal_sum_, line);
            if (++signal_count_ < signal_period_) {
                out_.gap(i);
                return;
            }
            signal_line_ = signal_sum_ / detail::period_as_double(signal_period_);
            signal_sum_ = -0.0;
            signal_count_ = 0;
        }
        out_.put(i, line, signal_line_, is_nan(signal_line_) ? quiet_nan : line - signal_line_);
    }

    // Steps from position i while the state stays steady; returns the first position
    // not taken. A position whose step would leave a NaN fast average or signal value
    // is not taken here: nothing of it is stored, and step() takes it afresh.
    [[nodiscard]] std::size_t run_steady(std::size_t i) noexcept {
        // Local copies: the stores may alias this object as far as the compiler
        // knows, which would have it reload every constant after every store.
        const InputRun data = data_;
        const Outputs out = out_;
        const Smoothing fast = fast_;
        const Smoothing slow = slow_;
        const Smoothing signal = signal_;
        double fast_average = fast_average_;
        double slow_average = slow_average_;
        double signal_line = signal_line_;
        for (; i < data.length; ++i) {
            const double x = load(data.data, i);
            if (is_gap(Seed, x)) {
                out.gap(i);
                continue;
            }
            const double next_fast = fast.step(fast_average, x);
            const double next_slow = slow.step(slow_average, x);
            const double line = next_fast - next_slow;
            const double next_signal = signal.step(signal_line, line);
            if (std::isunordered(next_fast, next_signal)) {
                break;
            }
            fast_average = next_fast;
            slow_average = next_slow;
            signal_line = next_signal;
            out.put(i, line, signal_line, line - signal_line);
        }
        fast_average_ = fast_average;
        slow_average_ = slow_average;
        signal_line_ = signal_line;
        return i;
    }

  private:
    std::uint64_t fast_period_;
    std::uint64_t slow_period_;
    std::uint64_t signal_period_;
    Smoothing fast_;
    Smoothing slow_;
    Smoothing signal_;
    std::uint64_t signal_from_;
    std::uint64_t bars_;
    detail::Window earlier_;
    InputRun data_;
    Outputs out_;
    double fast_average_;
    double slow_average_;
    double signal_line_;
    double signal_sum_;
    std::uint64_t signal_count_;
};

// Writes the three lines of `data`, the bars after the first `bars`, and returns the
// averages they leave. One series in one run is the batch kernel.
template <MacdSeed Seed>
MacdCarry advance_lines(const MacdFactors& factors, MacdCarry carry, std::uint64_t bars,
                        const detail::Window& earlier, InputRun data, Outputs out) noexcept {
    const std::size_t n = data.length;

    // Warm-up, up to bar slow_period - 1: nothing is read, and every output is NaN,
    // whatever the data.
    const std::uint64_t warm = bars < factors.slow_period - 1 ? factors.slow_period - 1 - bars : 0;
    const std::size_t first = warm < n ? static_cast<std::size_t>(warm) : n;
    for (std::size_t i = 0; i < first; ++i) {
        out.gap(i);
    }

    // Seeding and the start of the signal line take the general step, as does any
    // position after which the state is no longer all numbers; the steady state runs
    // without their tests until such a position comes.
    Macd<Seed> kernel(factors, carry, bars, earlier, data, out);
    std::size_t i = first;
    while (i < n) {
        if (kernel.steady()) {
            i = kernel.run_steady(i);
            if (i == n) {
                break;
            }
        }
        kernel.step(i);
        ++i;
    }
    return kernel.carry();
}

MacdCarry advance_lines(MacdSeed seed, const MacdFactors& factors, const MacdCarry& carry,
                        std::uint64_t bars, const detail::Window& earlier, InputRun data,
                        Outputs out) noexcept {
    return seed == MacdSeed::talib
               ? advance_lines<MacdSeed::talib>(factors, carry, bars, earlier, data, out)
               : advance_lines<MacdSeed::first>(factors, carry, bars, earlier, data, out);
}

constexpr MacdCarry no_averages{quiet_nan, quiet_nan, quiet_nan};

// Whether some series leaves these averages after `bars` bars: no step is taken
// before bar slow_period - 1, so the three keep the constructor's NaN until then,
// and the signal line keeps it until its start. A step that leaves the fast average
// NaN leaves the signal line NaN too.
//
// TA-Lib's seed sums at most signal_period - 1 MACD values, one a bar from bar
// slow_period - 1, and holds no sum once the signal line has started.
bool consistent(const MacdFactors& factors, MacdSeed seed, std::uint64_t bars,
                const MacdCarry& carry) noexcept {
    const std::uint64_t slow_period = factors.slow_period;
    const std::uint64_t signal_from = factors.signal_from;
    const bool no_sum = carry.signal_count == 0 && detail::same_bits(carry.signal_sum, -0.0);
    if (seed == MacdSeed::first && !no_sum) {
        return false;
    }
    if (seed == MacdSeed::talib) {
        const std::uint64_t lines = bars < slow_period ? 0 : bars - (slow_period - 1);
        if (carry.signal_count >= factors.signal_period || carry.signal_count > lines ||
            (!is_nan(carry.signal_line) && !no_sum) ||
            (carry.signal_count == 0 && !detail::same_bits(carry.signal_sum, -0.0))) {
            return false;
        }
    }
    if (bars < slow_period && !(detail::same_bits(carry.fast_average, quiet_nan) &&
                                detail::same_bits(carry.slow_average, quiet_nan))) {
        return false;
    }
    if (bars <= signal_from && !detail::same_bits(carry.signal_line, quiet_nan)) {
        return false;
    }
    return !is_nan(carry.fast_average) || is_nan(carry.signal_line);
}

// A live feed brings one bar at a time. From a steady state, a bar that is no gap
// and leaves the state steady is one step of the three averages and nothing else:
// the averages after it, or nothing when the general step must take it.
std::optional<MacdCarry> steady_bar(MacdSeed seed, const MacdFactors& factors,
                                    const MacdCarry& carry, double x) noexcept {
    if (is_nan(carry.fast_average) || is_nan(carry.signal_line) || is_gap(seed, x)) {
        return std::nullopt;
    }
    const double fast = factors.fast.step(carry.fast_average, x);
    const double slow = factors.slow.step(carry.slow_average, x);
    const double signal = factors.signal.step(carry.signal_line, fast - slow);
    if (std::isunordered(fast, signal)) {
        return std::nullopt;
    }
    return MacdCarry{fast, slow, signal};
}

void put_steady(const Outputs& out, const MacdCarry& after) noexcept {
    const double line = after.fast_average - after.slow_average;
    out.put(0, line, after.signal_line, line - after.signal_line);
}

}  // namespace

void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputRun data, OutputRun macd_out, OutputRun signal_out, OutputRun hist_out) noexcept {
    advance_lines<MacdSeed::first>(factors_of(fast_period, slow_period, signal_period), no_averages,
                                   0, {}, data, {macd_out, signal_out, hist_out});
}

std::expected<MacdState, StateError> MacdState::create(std::uint64_t fast_period,
                                                       std::uint64_t slow_period,
                                                       std::uint64_t signal_period,
                                                       MacdSeed seed) noexcept {
    if (fast_period == 0 || slow_period == 0 || signal_period == 0) {
        return std::unexpected(StateError::zero_period);
    }
    if (fast_period >= slow_period) {
        return std::unexpected(StateError::fast_not_below_slow);
    }
    if (slow_period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> window = detail::allocate_window(slow_period);
    if (window == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return MacdState(fast_period, slow_period, signal_period, seed, std::move(window));
}

MacdState::MacdState(std::uint64_t fast_period, std::uint64_t slow_period,
                     std::uint64_t signal_period, MacdSeed seed,
                     std::unique_ptr<double[]> window) noexcept
    : fast_period_(fast_period),
      slow_period_(slow_period),
      signal_period_(signal_period),
      seed_(seed),
      signal_start_(signal_start(slow_period, signal_period)),
      fast_alpha_(smoothing_of(fast_period).alpha),
      fast_beta_(smoothing_of(fast_period).beta),
      slow_alpha_(smoothing_of(slow_period).alpha),
      slow_beta_(smoothing_of(slow_period).beta),
      signal_alpha_(smoothing_of(signal_period).alpha),
      signal_beta_(smoothing_of(signal_period).beta),
      fast_average_(quiet_nan),
      slow_average_(quiet_nan),
      signal_line_(quiet_nan),
      window_(std::move(window)) {}

std::expected<MacdState, StateError> MacdState::copy() const noexcept {
    std::expected<MacdState, StateError> twin =
        create(fast_period_, slow_period_, signal_period_, seed_);
    if (twin) {
        std::memcpy(twin->window_.get(), window_.get(), slow_period_ * sizeof(double));
        twin->bars_ = bars_;
        twin->fast_average_ = fast_average_;
        twin->slow_average_ = slow_average_;
        twin->signal_line_ = signal_line_;
        twin->signal_sum_ = signal_sum_;
        twin->signal_count_ = signal_count_;
        twin->next_slot_ = next_slot_;
    }
    return twin;
}

MacdState::MacdState(MacdState&& other) noexcept = default;
MacdState& MacdState::operator=(MacdState&& other) noexcept = default;
MacdState::~MacdState() = default;

void MacdState::advance(InputRun data, OutputRun macd_out, OutputRun signal_out,
                        OutputRun hist_out) noexcept {
    const std::optional<MacdCarry> after =
        data.length == 1 ? steady_bar(seed_, factors(), carry(), load(data.data, 0)) : std::nullopt;
    if (!after) {
        advance_runs(data, macd_out, signal_out, hist_out);
        return;
    }
    put_steady({macd_out, signal_out, hist_out}, *after);
    take(*after);
    // Read after the stores, as the window keeps every run's inputs.
    const std::uint64_t slot = next_slot_;
    window_[slot] = load(data.data, 0);
    next_slot_ = slot + 1 == slow_period_ ? 0 : slot + 1;
    ++bars_;
}

// Not inlined into advance(), so that a lone bar needs none of the registers that
// this keeps.
[[gnu::noinline]] void MacdState::advance_runs(InputRun data, OutputRun macd_out,
                                               OutputRun signal_out, OutputRun hist_out) noexcept {
    take(advance_lines(seed_, factors(), carry(), bars_, {window_.get(), slow_period_, next_slot_},
                       data, {macd_out, signal_out, hist_out}));
    next_slot_ = detail::keep_recent(window_.get(), slow_period_, next_slot_, data);
    bars_ += data.length;
}

void MacdState::preview(InputRun data, OutputRun macd_out, OutputRun signal_out,
                        OutputRun hist_out) const noexcept {
    const Outputs out{macd_out, signal_out, hist_out};
    if (data.length == 1) {
        if (const std::optional<MacdCarry> after =
                steady_bar(seed_, factors(), carry(), load(data.data, 0))) {
            put_steady(out, *after);
            return;
        }
    }
    advance_lines(seed_, factors(), carry(), bars_, {window_.get(), slow_period_, next_slot_}, data,
                  out);
}

MacdFactors MacdState::factors() const noexcept {
    return {fast_period_,
            slow_period_,
            signal_period_,
            signal_start_,
            {fast_alpha_, fast_beta_},
            {slow_alpha_, slow_beta_},
            {signal_alpha_, signal_beta_}};
}

MacdCarry MacdState::carry() const noexcept {
    return {fast_average_, slow_average_, signal_line_, signal_sum_, signal_count_};
}

void MacdState::take(const MacdCarry& carry) noexcept {
    fast_average_ = carry.fast_average;
    slow_average_ = carry.slow_average;
    signal_line_ = carry.signal_line;
    signal_sum_ = carry.signal_sum;
    signal_count_ = carry.signal_count;
}

std::uint64_t MacdState::fast_period() const noexcept {
    return fast_period_;
}

std::uint64_t MacdState::slow_period() const noexcept {
    return slow_period_;
}

std::uint64_t MacdState::signal_period() const noexcept {
    return signal_period_;
}

MacdSeed MacdState::seed() const noexcept {
    return seed_;
}

std::uint64_t MacdState::bars() const noexcept {
    return bars_;
}

// fast, slow and signal periods, bars, the three averages, next slot, the
// `slow_period` slots of the window, then with TA-Lib's seed its sum and count: the
// two seeds' checkpoints differ in length, which tells them apart.
std::size_t MacdState::checkpoint_size() const noexcept {
    return 8 + slow_period_ + (seed_ == MacdSeed::talib ? 2 : 0);
}

void MacdState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter out(words);
    out.put(fast_period_).put(slow_period_).put(signal_period_).put(bars_);
    out.put(fast_average_).put(slow_average_).put(signal_line_).put(next_slot_);
    out.put_window(window_.get(), slow_period_);
    if (seed_ == MacdSeed::talib) {
        out.put(signal_sum_).put(signal_count_);
    }
}

std::expected<MacdState, StateError> MacdState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() < 8) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    const std::uint64_t fast = in.word();
    const std::uint64_t slow = in.word();
    const std::uint64_t signal = in.word();
    if (slow > max_window || (words.size() != 8 + slow && words.size() != 10 + slow)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    const MacdSeed seed = words.size() == 8 + slow ? MacdSeed::first : MacdSeed::talib;
    std::expected<MacdState, StateError> state = create(fast, slow, signal, seed);
    if (!state) {
        return std::unexpected(state.error() == StateError::out_of_memory
                                   ? StateError::out_of_memory
                                   : StateError::bad_checkpoint);
    }
    state->bars_ = in.word();
    state->fast_average_ = in.value();
    state->slow_average_ = in.value();
    state->signal_line_ = in.value();
    state->next_slot_ = in.word();
    in.take_window(state->window_.get(), slow);
    if (seed == MacdSeed::talib) {
        state->signal_sum_ = in.value();
        state->signal_count_ = in.word();
    }
    if (!detail::valid_bars(state->bars_) ||
        !detail::valid_slot(state->next_slot_, slow, state->bars_) ||
        !detail::unreached_slots_clear(state->window_.get(), slow, state->bars_) ||
        !consistent(state->factors(), seed, state->bars_, state->carry())) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
