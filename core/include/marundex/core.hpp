// marundex-core: technical-analysis kernels over runs of IEEE-754 binary64 values.
//
// The kernels know nothing of Python. They allocate nothing and cannot fail once
// their preconditions hold. Every result is defined bit for bit: the order of every
// floating-point operation is part of each kernel's contract, and the library is
// compiled without fused multiply-add and without fast-math so that it stays so.
//
// Runs are given as an address and a count of float64 elements. The address need
// not be aligned to 8 bytes (arrays over byte buffers at odd offsets reach here),
// and an output run may be the very same memory as an input run: each kernel
// states what that yields.
//
// This header is installed for C++ programs and holds declarations only. Keep it
// so: code defined here would be compiled with the including program's flags
// (-ffast-math, FMA contraction), while the kernels in the static library keep
// the flags they were built with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <span>

namespace marundex::core {

// A read-only run of `length` consecutive float64 values starting at `data`.
struct InputRun {
    const void* data;
    std::size_t length;
};

// A run of `length` consecutive float64 values that a kernel writes.
struct OutputRun {
    void* data;
    std::size_t length;
};

// Simple moving average over a running sum. Requires out.length == data.length.
// A period of 0, or one longer than the series, leaves `out` NaN throughout.
void sma(std::uint64_t period, InputRun data, OutputRun out) noexcept;

// Exponential moving average seeded by the mean of the first all-finite window.
// Non-finite inputs after the seed give NaN at their own position only.
// Requires out.length == data.length.
void ema(std::uint64_t period, InputRun data, OutputRun out) noexcept;

// MACD line, signal line and histogram. Requires fast, slow and signal > 0 and
// fast < slow (the caller checks), and each output at least as long as `data`.
void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputRun data, OutputRun macd_out, OutputRun signal_out, OutputRun hist_out) noexcept;

// Average true range with Wilder smoothing. `high`, `low` and `close` have one common
// length n; `out` has its own length m and is filled with NaN throughout. When
// 0 < period < n the kernel writes positions up to n - 1, so it then requires m >= n.
void atr(std::uint64_t period, InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;

// ---------------------------------------------------------------------------
// Resumable kernels.
//
// Each state carries what its kernel's recurrence holds from one bar to the next,
// so that a series can be fed in runs of any length, empty runs and single bars
// included. For every way of cutting a series into runs, the outputs of the runs,
// put end to end, are the batch kernel's outputs over the whole series, bit for bit.
//
// advance() writes the outputs of a run and moves the state past it; preview()
// writes exactly what advance() would and leaves the state as it was (a bar still
// forming, revised as it ticks). Both require out.length == data.length, allocate
// nothing and cannot fail. An output that shares memory with an input is written
// with NaN before the run is read, as the batch kernels do.
//
// The states are values: no virtual calls, nothing shared between two states. Those
// that keep a window of earlier inputs own it; they are made and copied through
// functions that report a failure as a value, and moved freely.
//
// A checkpoint is a state as 64-bit words: its periods, the bars seen, the
// recurrence's values (doubles by their bits), and the window as it lies with the
// slot of the next bar.
// from_checkpoint() refuses words that no state could have written; it does not
// detect a value altered within its range, which is the job of whoever stores
// the words (a checksum).

// The longest window a state keeps: SMA keeps its last `period` inputs and MACD its
// last `slow_period`, 8 bytes each, so a window takes at most 128 MiB. A longer one
// is refused when the state is made. The batch kernels take any period.
inline constexpr std::uint64_t max_window = std::uint64_t{1} << 24;

// Why a state could not be made.
enum class StateError {
    window_too_long,             // the window would exceed max_window
    out_of_memory,               // the window could not be allocated
    zero_period,                 // MACD: a period of 0
    fast_not_below_slow,         // MACD: fast_period >= slow_period
    acceleration_above_maximum,  // SAR: acceleration > maximum, or either not finite and positive
    bad_checkpoint,              // a checkpoint of another length, or with fields no state has
};

// Simple moving average: the bars seen, the running sum and the last `period` inputs,
// which the window subtracts as it moves on.
class SmaState {
  public:
    [[nodiscard]] static std::expected<SmaState, StateError> create(std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<SmaState, StateError> copy() const noexcept;

    SmaState(SmaState&& other) noexcept;
    SmaState& operator=(SmaState&& other) noexcept;
    SmaState(const SmaState&) = delete;
    SmaState& operator=(const SmaState&) = delete;
    ~SmaState();

    void advance(InputRun data, OutputRun out) noexcept;
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<SmaState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    explicit SmaState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept;
    // Runs of any length: advance() takes a lone bar after a full window itself.
    void advance_runs(InputRun data, OutputRun out) noexcept;

    std::uint64_t period_;
    double reciprocal_;
    std::uint64_t bars_ = 0;
    double sum_ = -0.0;
    // The inputs of the last min(bars, period) bars, in order round from the slot
    // of the next bar.
    std::unique_ptr<double[]> window_;
    std::uint64_t next_slot_ = 0;
};

// Exponential moving average: the length of the current run of finite inputs and
// its partial sum until the first full window seeds the average, then the average.
class EmaState {
  public:
    explicit EmaState(std::uint64_t period) noexcept;

    void advance(InputRun data, OutputRun out) noexcept;
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<EmaState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    // Runs of any length: advance() takes a lone bar after the seed itself.
    void advance_runs(InputRun data, OutputRun out) noexcept;

    std::uint64_t period_;
    double period_double_;
    double alpha_;
    double beta_;
    std::uint64_t bars_ = 0;
    // Finite inputs in a row so far, up to `period`: the average is seeded at `period`.
    std::uint64_t finite_run_ = 0;
    double seed_sum_ = -0.0;
    double average_;
};

// MACD: the bars seen, the fast, slow and signal averages, and the last `slow_period`
// inputs, from which a seed reads its windows backwards.
// How a MACD state starts its signal line. `first` as the batch function: the three
// lines from bar slow - 1, the signal seeded with the MACD value at bar
// slow + signal - 2. `talib` as TA-Lib's MACD: all three lines from that bar, the
// signal seeded with the mean of the first `signal` MACD values; an infinity is a
// gap like a NaN, and the averages are seeded only from windows of finite inputs.
enum class MacdSeed : std::uint8_t { first, talib };

namespace detail {
struct MacdFactors;
struct MacdCarry;
}  // namespace detail

class MacdState {
  public:
    [[nodiscard]] static std::expected<MacdState, StateError> create(
        std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
        MacdSeed seed = MacdSeed::first) noexcept;
    [[nodiscard]] std::expected<MacdState, StateError> copy() const noexcept;

    MacdState(MacdState&& other) noexcept;
    MacdState& operator=(MacdState&& other) noexcept;
    MacdState(const MacdState&) = delete;
    MacdState& operator=(const MacdState&) = delete;
    ~MacdState();

    // Each output as long as `data`.
    void advance(InputRun data, OutputRun macd_out, OutputRun signal_out,
                 OutputRun hist_out) noexcept;
    void preview(InputRun data, OutputRun macd_out, OutputRun signal_out,
                 OutputRun hist_out) const noexcept;

    [[nodiscard]] std::uint64_t fast_period() const noexcept;
    [[nodiscard]] std::uint64_t slow_period() const noexcept;
    [[nodiscard]] std::uint64_t signal_period() const noexcept;
    [[nodiscard]] MacdSeed seed() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<MacdState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    MacdState(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
              MacdSeed seed, std::unique_ptr<double[]> window) noexcept;
    // Runs of any length: advance() takes a lone bar of the steady state itself.
    void advance_runs(InputRun data, OutputRun macd_out, OutputRun signal_out,
                      OutputRun hist_out) noexcept;
    [[nodiscard]] detail::MacdFactors factors() const noexcept;
    [[nodiscard]] detail::MacdCarry carry() const noexcept;
    void take(const detail::MacdCarry& carry) noexcept;

    std::uint64_t fast_period_;
    std::uint64_t slow_period_;
    std::uint64_t signal_period_;
    MacdSeed seed_;
    // The bar at which the signal line may start, and the factors of the three
    // averages, computed once.
    std::uint64_t signal_start_;
    double fast_alpha_;
    double fast_beta_;
    double slow_alpha_;
    double slow_beta_;
    double signal_alpha_;
    double signal_beta_;
    std::uint64_t bars_ = 0;
    double fast_average_;
    double slow_average_;
    double signal_line_;
    // TA-Lib's seed: the sum and count of the MACD values since the signal line was
    // last NaN, -0 and 0 once it has started (and always with the first seed).
    double signal_sum_ = -0.0;
    std::uint64_t signal_count_ = 0;
    // The inputs of the last min(bars, slow_period) bars, in order round from the
    // slot of the next bar.
    std::unique_ptr<double[]> window_;
    std::uint64_t next_slot_ = 0;
};

// ATR: the bars seen, the previous close, the sum of the first `period` true ranges
// and then the average.
class AtrState {
  public:
    explicit AtrState(std::uint64_t period) noexcept;

    // `high`, `low`, `close` and `out` of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<AtrState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    // Runs of any length: advance() takes a lone bar past the first average itself.
    void advance_runs(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;

    std::uint64_t period_;
    double period_double_;
    double alpha_;
    std::uint64_t bars_ = 0;
    double previous_close_;
    double sum_ = +0.0;
    double average_;
};

// RSI, Wilder's relative strength index: the bars seen, the last input, the run of
// finite changes until the first `period` of them seed the averages, and the sums of
// their gains and losses, then the two averages. A change that is not finite (an
// input or the one before it NaN or infinite, or a difference that overflows) gives
// NaN at its own bar: before the seed it starts the run afresh, after it the
// averages skip it. A period of 0 gives NaN throughout.
class RsiState {
  public:
    explicit RsiState(std::uint64_t period) noexcept;

    void advance(InputRun data, OutputRun out) noexcept;
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<RsiState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    std::uint64_t period_;
    double period_double_;
    // 1 / period, and 1 - alpha for the average carried over.
    double alpha_;
    double beta_;
    std::uint64_t bars_ = 0;
    // Finite changes in a row so far, up to `period`: the averages are seeded at `period`.
    std::uint64_t finite_run_ = 0;
    double previous_;
    double gain_ = +0.0;
    double loss_ = +0.0;
};

// Weighted moving average, weights 1 for the oldest input of the window up to
// period for the newest, over their sum period * (period + 1) / 2: the bars seen,
// the window's plain and weighted sums, carried from bar to bar, the count of its
// inputs that are NaN or infinite, and the last `period` inputs. A window that holds
// a bad input gives NaN; the first good window after it, or after sums that
// overflowed, sums itself afresh. A period of 0 gives NaN throughout.
class WmaState {
  public:
    [[nodiscard]] static std::expected<WmaState, StateError> create(std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<WmaState, StateError> copy() const noexcept;

    WmaState(WmaState&& other) noexcept;
    WmaState& operator=(WmaState&& other) noexcept;
    WmaState(const WmaState&) = delete;
    WmaState& operator=(const WmaState&) = delete;
    ~WmaState();

    void advance(InputRun data, OutputRun out) noexcept;
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<WmaState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    explicit WmaState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept;

    std::uint64_t period_;
    double period_double_ = 0.0;
    double divisor_ = 0.0;
    std::uint64_t bars_ = 0;
    double sum_;
    double weighted_;
    std::uint64_t bad_ = 0;
    // The inputs of the last min(bars, period) bars, in order round from the slot
    // of the next bar.
    std::unique_ptr<double[]> window_;
    std::uint64_t next_slot_ = 0;
};

// Hull moving average: the WMA over sqrt(period) bars of 2 * a - b, a the WMA of
// the inputs over period / 2 bars and b their WMA over period bars (each of the
// three the WmaState's, sums carried and summed afresh once a window), the halves
// and the root rounded down, and each at least 1. The bars seen, the three WMAs'
// sums with the counts of their windows' bad values, the last `period` inputs and
// the last sqrt(period) differences, the bar b's at slot b % sqrt(period). A window
// that holds a bad value gives NaN at each average that reads it. Every period is
// at least 1.
class HmaState {
  public:
    [[nodiscard]] static std::expected<HmaState, StateError> create(std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<HmaState, StateError> copy() const noexcept;

    HmaState(HmaState&& other) noexcept;
    HmaState& operator=(HmaState&& other) noexcept;
    HmaState(const HmaState&) = delete;
    HmaState& operator=(const HmaState&) = delete;
    ~HmaState();

    void advance(InputRun data, OutputRun out) noexcept;
    // Works the differences in a copy of their ring on the stack.
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<HmaState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

    // The sums of one of the three WMAs.
    struct Sums {
        double sum = 0.0;
        double weighted = 0.0;
        std::uint64_t bad = 0;
    };

  private:
    HmaState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept;

    std::uint64_t period_;
    std::uint64_t half_;
    std::uint64_t root_;
    std::uint64_t bars_ = 0;
    // Over the half period, the period, and the root of the differences.
    std::array<Sums, 3> sums_;
    // The last `period` inputs in order round from the slot of the next bar, then
    // the ring of the last `root` differences.
    std::unique_ptr<double[]> window_;
    std::uint64_t next_slot_ = 0;
};

// The states whose output at bar i is a function of x[i] and x[i - period] alone:
// the bars seen and the last `period` inputs. NaN before bar period, and where
// either input is NaN or infinite. A period of 0 gives NaN throughout.
template <class Formula>
class LaggedState {
  public:
    [[nodiscard]] static std::expected<LaggedState, StateError> create(
        std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<LaggedState, StateError> copy() const noexcept;

    LaggedState(LaggedState&& other) noexcept;
    LaggedState& operator=(LaggedState&& other) noexcept;
    LaggedState(const LaggedState&) = delete;
    LaggedState& operator=(const LaggedState&) = delete;
    ~LaggedState();

    void advance(InputRun data, OutputRun out) noexcept;
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<LaggedState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    explicit LaggedState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept;

    std::uint64_t period_;
    std::uint64_t bars_ = 0;
    // The inputs of the last min(bars, period) bars, in order round from the slot
    // of the next bar.
    std::unique_ptr<double[]> window_;
    std::uint64_t next_slot_ = 0;
};

// Momentum, x[i] - x[i - period].
struct Momentum {
    static double of(double now, double then) noexcept;
};
using MomState = LaggedState<Momentum>;
extern template class LaggedState<Momentum>;

// Rate of change in percent, ((x[i] / x[i - period]) - 1) * 100; 0 where
// x[i - period] is zero.
struct RateOfChange {
    static double of(double now, double then) noexcept;
};
using RocState = LaggedState<RateOfChange>;
extern template class LaggedState<RateOfChange>;

namespace detail {

// What the window of STDDEV and BBANDS carries from bar to bar: the sums of each
// input less a shift and of its square, and the inputs in the window that are NaN
// or infinite. The sums are NaN while there is no good full window.
struct DeviationCarry {
    double shift;
    double sum;
    double squares;
    std::uint64_t bad;
};

// The last `period` inputs and their sums, as STDDEV and BBANDS keep them.
class DeviationWindow {
  public:
    [[nodiscard]] static std::expected<DeviationWindow, StateError> create(
        std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<DeviationWindow, StateError> copy() const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept { return period_; }
    [[nodiscard]] std::uint64_t bars() const noexcept { return bars_; }
    [[nodiscard]] const DeviationCarry& carry() const noexcept { return carry_; }
    [[nodiscard]] const double* slots() const noexcept { return slots_.get(); }
    [[nodiscard]] std::uint64_t next_slot() const noexcept { return next_slot_; }
    // Moves past `data`, whose run left `carry`.
    void take(InputRun data, const DeviationCarry& carry) noexcept;

    // period, bars, shift, sum, squares, bad inputs, next slot, then the slots.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept { return 7 + period_; }
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<DeviationWindow, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    DeviationWindow(std::uint64_t period, std::unique_ptr<double[]> slots) noexcept;

    std::uint64_t period_;
    std::uint64_t bars_ = 0;
    DeviationCarry carry_;
    std::unique_ptr<double[]> slots_;
    std::uint64_t next_slot_ = 0;
};

}  // namespace detail

// STDDEV: the population standard deviation of the last `period` inputs, times
// `nbdev`. NaN before bar period - 1 and while the window holds a NaN or an
// infinity. A period of 0 gives NaN throughout.
class StddevState {
  public:
    [[nodiscard]] static std::expected<StddevState, StateError> create(std::uint64_t period,
                                                                       double nbdev) noexcept;
    [[nodiscard]] std::expected<StddevState, StateError> copy() const noexcept;

    void advance(InputRun data, OutputRun out) noexcept;
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept { return window_.period(); }
    [[nodiscard]] double nbdev() const noexcept { return nbdev_; }
    [[nodiscard]] std::uint64_t bars() const noexcept { return window_.bars(); }
    // nbdev, then the window's words.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<StddevState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    StddevState(double nbdev, detail::DeviationWindow window) noexcept;
    [[nodiscard]] detail::DeviationCarry run(InputRun data, OutputRun out) const noexcept;

    double nbdev_;
    detail::DeviationWindow window_;
};

// BBANDS: the mean of the last `period` inputs, and bands `nbdev_up` and `nbdev_dn`
// of their population standard deviations above and below it. NaN as STDDEV's.
class BbandsState {
  public:
    [[nodiscard]] static std::expected<BbandsState, StateError> create(std::uint64_t period,
                                                                       double nbdev_up,
                                                                       double nbdev_dn) noexcept;
    [[nodiscard]] std::expected<BbandsState, StateError> copy() const noexcept;

    void advance(InputRun data, OutputRun upper, OutputRun middle, OutputRun lower) noexcept;
    void preview(InputRun data, OutputRun upper, OutputRun middle, OutputRun lower) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept { return window_.period(); }
    [[nodiscard]] double nbdev_up() const noexcept { return nbdev_up_; }
    [[nodiscard]] double nbdev_dn() const noexcept { return nbdev_dn_; }
    [[nodiscard]] std::uint64_t bars() const noexcept { return window_.bars(); }
    // nbdev_up, nbdev_dn, then the window's words.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<BbandsState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    BbandsState(double nbdev_up, double nbdev_dn, detail::DeviationWindow window) noexcept;
    [[nodiscard]] detail::DeviationCarry run(InputRun data, OutputRun upper, OutputRun middle,
                                             OutputRun lower) const noexcept;

    double nbdev_up_;
    double nbdev_dn_;
    detail::DeviationWindow window_;
};

// One exponential average of a chain, as EMA keeps its own: until it is seeded,
// the run of finite inputs so far and their sum; then the average.
struct EmaLink {
    std::uint64_t finite_run;
    double seed_sum;
    double average;
};

// The states whose output blends a chain of exponential averages (DEMA, TEMA): the
// first average is EMA's over the inputs, each next one EMA's over the outputs of
// the one before, with alpha = 2 / (period + 1) throughout. Each is seeded by the
// mean of the first `period` finite values it takes in a row, so the output starts
// at bar depth * (period - 1). A NaN or infinite input before the first seed starts
// its run afresh; after it, it gives NaN at its own bar and every average skips it
// (an average not yet seeded then starts its run afresh). A period of 0 gives NaN
// throughout.
template <class Blend>
class EmaChainState {
  public:
    explicit EmaChainState(std::uint64_t period) noexcept;

    void advance(InputRun data, OutputRun out) noexcept;
    void preview(InputRun data, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<EmaChainState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    std::uint64_t period_;
    double period_double_;
    double alpha_;
    double beta_;
    std::uint64_t bars_ = 0;
    std::array<EmaLink, Blend::depth> links_;
};

// DEMA, e1 + (e1 - e2): 2 * e1 - e2 written so that it overflows only where its
// value does.
struct DoubleEma {
    static constexpr std::size_t depth = 2;
    static double of(const std::array<double, depth>& e) noexcept;
};
using DemaState = EmaChainState<DoubleEma>;
extern template class EmaChainState<DoubleEma>;

// TEMA, 3 * (e1 - e2) + e3: 3 * e1 - 3 * e2 + e3 written so that it overflows only
// where its value does.
struct TripleEma {
    static constexpr std::size_t depth = 3;
    static double of(const std::array<double, depth>& e) noexcept;
};
using TemaState = EmaChainState<TripleEma>;
extern template class EmaChainState<TripleEma>;

// TRANGE, the true range of each bar: max(high - low, |high - close'|, |low - close'|),
// close' being the previous bar's close; bar 0 has none and gives NaN. A bar whose
// high, low or previous close is NaN or infinite gives NaN, and no other: a bad
// high or low spoils its own bar, a bad close the next. The state is the bars seen
// and the last close.
class TrangeState {
  public:
    TrangeState() noexcept;

    // `high`, `low`, `close` and `out` of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<TrangeState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    std::uint64_t bars_ = 0;
    double previous_close_;
};

// NATR, the average true range as a percentage of the close: 100 times Wilder's
// average of the true ranges over the close. The bars seen, the last close, the run
// of good true ranges until the first `period` of them seed the average, and their
// sum, then the average. A true range that is not finite (a high, low or previous
// close NaN or infinite, or a difference that overflows) gives NaN at its own bar:
// before the seed it starts the run afresh, after it the average skips it. A close
// that is not finite gives NaN at its own bar too. A period of 0 gives NaN
// throughout.
class NatrState {
  public:
    explicit NatrState(std::uint64_t period) noexcept;

    // `high`, `low`, `close` and `out` of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<NatrState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    std::uint64_t period_;
    double period_double_;
    // 1 / period, and 1 - alpha for the average carried over.
    double alpha_;
    double beta_;
    std::uint64_t bars_ = 0;
    // Good true ranges in a row so far, up to `period`: the average is seeded at `period`.
    std::uint64_t finite_run_ = 0;
    double previous_close_;
    // Their sum until the seed, then the average.
    double average_ = +0.0;
};

// The highest high and the lowest low of the last `period` bars, a part of the states
// of WILLR, STOCHF and STOCH: the window's highs and lows as they lie with the slot
// of the next bar, and the first bar whose window holds no high or low that is NaN
// or infinite. From the window, so that a bar costs O(1) without a branch on the
// data: the extremes of this round of the ring so far (its slots before the next
// one), and those of the round before from each slot to the ring's end. A window is
// the end of the round before and this round so far. Its owner moves it bar by bar.
struct BarExtremes {
    // A candidate extreme, its bar and its value, and where a queue of them lies in a
    // ring of candidates: what a window that keeps such queues is made of.
    struct Candidate {
        std::uint64_t bar;
        double value;
    };
    struct QueueSpan {
        std::uint64_t head = 0;
        std::uint64_t size = 0;
    };

    std::uint64_t period = 0;
    std::uint64_t clean_from = 0;
    // The highs in slots 0 to period - 1, then the lows.
    std::unique_ptr<double[]> window;
    std::uint64_t next_slot = 0;
    // The extremes of the round before from each slot on, highs then lows.
    std::unique_ptr<double[]> tails;
    double round_high = -std::numeric_limits<double>::infinity();
    double round_low = std::numeric_limits<double>::infinity();
};

// Williams' %R: ((hh - close) / (hh - ll)) * -100, hh the highest high and ll the
// lowest low of the last `period` bars, 0 where they are equal. The bars seen and
// the window's extremes. A high or low that is NaN or infinite gives NaN at every
// window that holds it, a close at its own bar. A period of 0 gives NaN throughout.
class WillrState {
  public:
    [[nodiscard]] static std::expected<WillrState, StateError> create(
        std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<WillrState, StateError> copy() const noexcept;

    WillrState(WillrState&& other) noexcept;
    WillrState& operator=(WillrState&& other) noexcept;
    WillrState(const WillrState&) = delete;
    WillrState& operator=(const WillrState&) = delete;
    ~WillrState();

    // `high`, `low`, `close` and `out` of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;
    // Reads the state and writes nothing of it: once the run has ended the ring's
    // round, a window is scanned afresh when its extreme leaves it.
    void preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<WillrState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    explicit WillrState(BarExtremes extremes) noexcept;

    std::uint64_t bars_ = 0;
    BarExtremes extremes_;
};

// The stochastic oscillators: the fast %K, ((close - ll) / (hh - ll)) * 100 over the
// last `fastk_period` bars, 0 where hh equals ll, and `Means` lines after it, each
// the mean of the last `period` values of the line before. STOCHF (one mean, the
// fast %D) writes the fast %K and its mean; STOCH (two, the slow %K and slow %D)
// writes its two means. Every line starts where the last one does. The bars seen,
// the window's extremes, and the last values of each line but the last, in rings
// of the period of the mean that reads them. A bad high or low spoils the windows
// that hold it, a bad close its own bar, and each mean the windows of values that
// hold a spoilt one. Every period is at least 1.
template <std::size_t Means>
class StochasticState {
  public:
    using Periods = std::array<std::uint64_t, Means + 1>;

    // The fast %K's period, then each mean's.
    [[nodiscard]] static std::expected<StochasticState, StateError> create(
        Periods periods) noexcept;
    [[nodiscard]] std::expected<StochasticState, StateError> copy() const noexcept;

    StochasticState(StochasticState&& other) noexcept;
    StochasticState& operator=(StochasticState&& other) noexcept;
    StochasticState(const StochasticState&) = delete;
    StochasticState& operator=(const StochasticState&) = delete;
    ~StochasticState();

    // `high`, `low`, `close` and both outputs of one common length: the last two
    // lines. The outputs hold the lines' values while the run is worked.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun first,
                 OutputRun second) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, OutputRun first,
                 OutputRun second) const noexcept;

    [[nodiscard]] Periods periods() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<StochasticState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    StochasticState(Periods periods, BarExtremes extremes,
                    std::unique_ptr<double[]> lines) noexcept;

    Periods periods_;
    std::uint64_t bars_ = 0;
    BarExtremes extremes_;
    // Line m's last periods_[m + 1] values, the bar b's at slot b % periods_[m + 1],
    // each line's ring after the one before.
    std::unique_ptr<double[]> lines_;
};

using StochfState = StochasticState<1>;
extern template class StochasticState<1>;
using StochState = StochasticState<2>;
extern template class StochasticState<2>;

// DMI, Wilder's directional movement: +DI, -DI and ADX. Of each bar after the first,
// the moves up = high - high' and down = low' - low (' the previous bar), +DM = up
// where up > down and up > 0, else 0, -DM likewise, and the true range. Their
// Wilder averages are seeded by the sum of the first period - 1 over period, then
// step as RSI's; +DI = (+DM average / TR average) * 100, -DI likewise, 0 where the
// TR average is 0. DX = (|+DI - -DI| / (+DI + -DI)) * 100, 0 where the sum is 0;
// ADX is DX's Wilder average, seeded by the mean of the first period DX. The bars
// seen, the last bar, each run of good values until its seed with their sums, then
// the averages. A bar whose moves or true range are not finite (a bad high, low or
// previous close, or a difference that overflows) gives NaN at its own bar: before
// a seed it starts the run afresh, after it the averages skip it. A period of 0
// gives NaN throughout.
class DmiState {
  public:
    explicit DmiState(std::uint64_t period) noexcept;

    // `high`, `low`, `close` and the outputs of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun plus_di, OutputRun minus_di,
                 OutputRun adx) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, OutputRun plus_di, OutputRun minus_di,
                 OutputRun adx) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<DmiState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

    // What the averages carry from one bar to the next.
    struct Carry {
        // NaN before the first bar, set by the state's constructor.
        double previous_high = 0.0;
        double previous_low = 0.0;
        double previous_close = 0.0;
        // Good bars in a row, up to period: the DI averages are seeded at period - 1.
        std::uint64_t di_run = 0;
        // +DM, -DM and TR: their sums until the seed, then their averages.
        double plus = +0.0;
        double minus = +0.0;
        double range = +0.0;
        // DX values in a row, up to period, and their sum until the seed, then ADX.
        std::uint64_t dx_run = 0;
        double adx = +0.0;
    };

  private:
    std::uint64_t period_;
    double period_double_;
    double alpha_;
    double beta_;
    std::uint64_t bars_ = 0;
    Carry carry_;
};

// MFI, the money flow index: of each bar after the first, the typical price
// tp = ((high + low) + close) / 3 and its flow tp * volume, positive where tp rose
// from the bar before, negative where it fell; then 100 * (pos / (pos + neg)) of
// the sums of the last `period` positive and negative flows, 0 where both are 0.
// The sums are carried from bar to bar and summed afresh every `period` bars, after
// a bad flow has left, or where they overflowed; a sum whose flows are all 0 is 0.
// The bars seen, the last typical price, the two sums, and the last `period` flows,
// the bar b's at slot b % period. A flow that is not finite (a bad input there, a
// bad high, low or close the bar before, or a product that overflows) gives NaN at
// every window that holds it. A period of 0 gives NaN throughout.
class MfiState {
  public:
    [[nodiscard]] static std::expected<MfiState, StateError> create(std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<MfiState, StateError> copy() const noexcept;

    MfiState(MfiState&& other) noexcept;
    MfiState& operator=(MfiState&& other) noexcept;
    MfiState(const MfiState&) = delete;
    MfiState& operator=(const MfiState&) = delete;
    ~MfiState();

    // `high`, `low`, `close`, `volume` and `out` of one common length.
    void advance(InputRun high, InputRun low, InputRun close, InputRun volume,
                 OutputRun out) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, InputRun volume,
                 OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<MfiState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

    // What the window carries from one bar to the next, besides its flows.
    struct Carry {
        double previous_tp = 0.0;
        // NaN while the window is not full, holds a bad flow, or has just held one.
        double positive = 0.0;
        double negative = 0.0;
        // The window's bad flows, and its positive and negative flows that are not 0.
        std::uint64_t bad = 0;
        std::uint64_t ups = 0;
        std::uint64_t downs = 0;
    };

  private:
    MfiState(std::uint64_t period, std::unique_ptr<double[]> flows) noexcept;

    std::uint64_t period_;
    std::uint64_t bars_ = 0;
    Carry carry_;
    // The positive flows in slots 0 to period - 1, then the negative ones.
    std::unique_ptr<double[]> flows_;
};

// CCI, the commodity channel index: (tp - mean) / (0.015 * deviation), tp the
// typical price ((high + low) + close) / 3, mean and deviation the mean and the mean
// absolute deviation of the last `period` typical prices, 0 where 0.015 * deviation
// is 0. The bars seen, the slot of the next bar and the last `period` typical prices,
// summed afresh at every bar: O(period) a bar, as TA-Lib's. A window that holds a
// NaN or infinite input gives NaN. A period of 0 gives NaN throughout.
class CciState {
  public:
    [[nodiscard]] static std::expected<CciState, StateError> create(std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<CciState, StateError> copy() const noexcept;

    CciState(CciState&& other) noexcept;
    CciState& operator=(CciState&& other) noexcept;
    CciState(const CciState&) = delete;
    CciState& operator=(const CciState&) = delete;
    ~CciState();

    // `high`, `low`, `close` and `out` of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept;
    // Reads the typical prices of the run from its inputs again for every window.
    void preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<CciState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    CciState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept;

    std::uint64_t period_;
    double period_double_;
    std::uint64_t bars_ = 0;
    // The typical prices of the last min(bars, period) bars, in order round from the
    // slot of the next bar.
    std::unique_ptr<double[]> window_;
    std::uint64_t next_slot_ = 0;
};

// OBV, on-balance volume: a running total of the volume, started at the first good
// bar's volume, then adding each bar's volume where its close is above the last
// finite close, taking it away where below, and holding where equal. A bar whose
// close or volume is NaN or infinite gives NaN and is left out of the total; its
// close, if finite, still sets the direction of the next bar. The state is the bars
// seen, the last finite close and the total.
class ObvState {
  public:
    ObvState() noexcept;

    // `close`, `volume` and `out` of one common length.
    void advance(InputRun close, InputRun volume, OutputRun out) noexcept;
    void preview(InputRun close, InputRun volume, OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<ObvState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    std::uint64_t bars_ = 0;
    double last_close_;
    // NaN until the first good bar.
    double total_;
};

// VWAP, the volume-weighted average price: the sum of ((high + low) + close) / 3 *
// volume over the sum of the volume, NaN where the volumes sum to 0 or none is
// other than 0. A period of 0 sums from the first bar: a bar whose product or
// volume is not finite gives NaN at its own bar and is left out of the sums. A
// period p sums the last p bars, from bar p - 1, as MFI sums its flows: carried from
// bar to bar and summed afresh every p bars, after a bad bar has left, or where they
// overflowed; a bad bar gives NaN at every window that holds it. The bars seen, the
// two sums, and with a period the last p products and volumes, the bar b's at slot
// b % p.
class VwapState {
  public:
    [[nodiscard]] static std::expected<VwapState, StateError> create(std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<VwapState, StateError> copy() const noexcept;

    VwapState(VwapState&& other) noexcept;
    VwapState& operator=(VwapState&& other) noexcept;
    VwapState(const VwapState&) = delete;
    VwapState& operator=(const VwapState&) = delete;
    ~VwapState();

    // `high`, `low`, `close`, `volume` and `out` of one common length.
    void advance(InputRun high, InputRun low, InputRun close, InputRun volume,
                 OutputRun out) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, InputRun volume,
                 OutputRun out) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<VwapState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

    // What the sums carry from one bar to the next, besides the ring.
    struct Carry {
        // With a period, NaN while the window is not full or holds a bad bar.
        double value = -0.0;
        double volume = -0.0;
        // The window's bad bars, and its bars whose volume is not 0.
        std::uint64_t bad = 0;
        std::uint64_t trading = 0;
    };

  private:
    VwapState(std::uint64_t period, std::unique_ptr<double[]> ring) noexcept;

    std::uint64_t period_;
    std::uint64_t bars_ = 0;
    Carry carry_;
    // The products in slots 0 to period - 1, then the volumes.
    std::unique_ptr<double[]> ring_;
};

// SuperTrend: the average true range, Wilder's as NATR's, and bands multiplier times
// it above and below (high + low) / 2. Each band is held from bar to bar unless the
// new one is tighter or the close of the bar that set it lay beyond it; the trend
// starts up at the first bar with an average, turns down where the close falls below
// the lower band and up where it rises above the upper one. The line is the lower
// band while up, the upper one while down; the trend +1 or -1. A bar whose true
// range, bands or close are not finite gives NaN in both and is skipped. The bars
// seen, the average's run and value, and the bands with their close and the trend.
// A period of 0 gives NaN throughout.
class SupertrendState {
  public:
    SupertrendState(std::uint64_t period, double multiplier) noexcept;

    // `high`, `low`, `close` and both outputs of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun out,
                 OutputRun trend) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, OutputRun out,
                 OutputRun trend) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] double multiplier() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<SupertrendState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

    // What the line carries from one bar to the next.
    struct Carry {
        // Good true ranges in a row, up to period, and their sum until the seed, then
        // the average.
        std::uint64_t finite_run = 0;
        double previous_close = 0.0;
        double average = +0.0;
        // 0 before the first line, then 1 up and 2 down.
        std::uint64_t trend = 0;
        double upper = 0.0;
        double lower = 0.0;
        // The close of the last bar that moved the bands.
        double band_close = 0.0;
    };

  private:
    std::uint64_t period_;
    double period_double_;
    double alpha_;
    double beta_;
    double multiplier_;
    std::uint64_t bars_ = 0;
    Carry carry_;
};

// Parabolic SAR, Wilder's stop and reverse. The first two good bars set the trend,
// long unless the second's low fell below the first's by more than its high rose,
// and the first stop at the first bar's low (long) or high (short), the extreme at
// the second's high or low. Each bar from the second gives the stop, then, unless
// its low (long) or high (short) reached the stop, moves it by factor * (extreme -
// stop), the factor growing by `acceleration` up to `maximum` at each new extreme,
// and keeps it below the last two lows (above the last two highs). A bar that
// reaches the stop reverses the trend: its stop is the old extreme kept beyond the
// last two bars, the extreme its own low or high, the factor `acceleration`. A bar
// whose high or low is not finite gives NaN and is skipped. The bars seen, the good
// ones up to two, the trend, factor, extreme and stop, and the last good high and
// low. Requires finite rates, 0 < acceleration <= maximum.
class SarState {
  public:
    [[nodiscard]] static std::expected<SarState, StateError> create(double acceleration,
                                                                    double maximum) noexcept;

    // `high`, `low` and `out` of one common length.
    void advance(InputRun high, InputRun low, OutputRun out) noexcept;
    void preview(InputRun high, InputRun low, OutputRun out) const noexcept;

    [[nodiscard]] double acceleration() const noexcept;
    [[nodiscard]] double maximum() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<SarState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

    // What the stop carries from one bar to the next.
    struct Carry {
        std::uint64_t good = 0;
        std::uint64_t is_long = 0;
        double factor = 0.0;
        double extreme = 0.0;
        double sar = 0.0;
        double high = 0.0;
        double low = 0.0;
    };

  private:
    SarState(double acceleration, double maximum) noexcept;

    double acceleration_;
    double maximum_;
    std::uint64_t bars_ = 0;
    Carry carry_;
};

// Keltner channel: the middle line EMA's average of the typical prices ((high + low)
// + close) / 3 over `period`, and bands `nbdev` times the average true range over
// `atr_period` (Wilder's, as NATR's) above and below it. Both averages start at bar
// max(period - 1, atr_period): each is seeded there, or at the first later bar whose
// window of its period holds no bad value, by the mean of that window, and then
// skips a bad value. A bar whose typical price or true range is bad, or before both
// seeds, gives NaN in all three. The bars seen, the last close, each average with
// its run of good values, and the last `period` typical prices and `atr_period`
// true ranges, the bar b's at slot b % period (b % atr_period) of its ring. Both
// periods are at least 1.
class KcState {
  public:
    [[nodiscard]] static std::expected<KcState, StateError> create(std::uint64_t period,
                                                                   std::uint64_t atr_period,
                                                                   double nbdev) noexcept;
    [[nodiscard]] std::expected<KcState, StateError> copy() const noexcept;

    KcState(KcState&& other) noexcept;
    KcState& operator=(KcState&& other) noexcept;
    KcState(const KcState&) = delete;
    KcState& operator=(const KcState&) = delete;
    ~KcState();

    // `high`, `low`, `close` and the outputs of one common length.
    void advance(InputRun high, InputRun low, InputRun close, OutputRun upper, OutputRun middle,
                 OutputRun lower) noexcept;
    void preview(InputRun high, InputRun low, InputRun close, OutputRun upper, OutputRun middle,
                 OutputRun lower) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t atr_period() const noexcept;
    [[nodiscard]] double nbdev() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<KcState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

    // What the averages carry from one bar to the next, besides the rings.
    struct Carry {
        double previous_close = 0.0;
        // Good values in a row, up to the period, and the average, NaN until its seed.
        std::uint64_t price_run = 0;
        double middle = 0.0;
        std::uint64_t range_run = 0;
        double atr = 0.0;
    };

  private:
    KcState(std::uint64_t period, std::uint64_t atr_period, double nbdev,
            std::unique_ptr<double[]> rings) noexcept;

    std::uint64_t period_;
    std::uint64_t atr_period_;
    double nbdev_;
    std::uint64_t bars_ = 0;
    Carry carry_;
    // The typical prices in slots 0 to period - 1, then the true ranges.
    std::unique_ptr<double[]> rings_;
};

// The highest high and the lowest low of the last `span` bars, each side on its own
// with the bar where it stands, a part of the states of DONCHIAN and AROON: the
// window's highs and lows as they lie with the slot of the next bar; from them, as
// in BarExtremes, each side's extreme of this round of the ring so far and those of
// the round before from each slot to the ring's end, each with its bar (of equal
// values the latest stands); and each side's first bar whose window holds no value
// of that side that is NaN or infinite.
struct SideExtremes {
    std::uint64_t span = 0;
    // The highs in slots 0 to span - 1, then the lows.
    std::unique_ptr<double[]> values;
    std::uint64_t next_slot = 0;
    // The round before's extremes from each slot on, the highs', then the lows'.
    std::unique_ptr<BarExtremes::Candidate[]> tails;
    // This round's so far, the high's and the low's.
    std::array<BarExtremes::Candidate, 2> rounds{{{0, -std::numeric_limits<double>::infinity()},
                                                  {0, std::numeric_limits<double>::infinity()}}};
    std::array<std::uint64_t, 2> clean_from{};
};

// Donchian channels: the upper band the highest high and the lower band the lowest
// low of the last `period` bars, the middle band (upper + lower) / 2. The bars seen
// and each side's extremes. A bad high gives NaN at the upper and middle bands of
// every window that holds it, a bad low at the lower and middle ones. Every period
// is at least 1.
class DonchianState {
  public:
    [[nodiscard]] static std::expected<DonchianState, StateError> create(
        std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<DonchianState, StateError> copy() const noexcept;

    DonchianState(DonchianState&& other) noexcept;
    DonchianState& operator=(DonchianState&& other) noexcept;
    DonchianState(const DonchianState&) = delete;
    DonchianState& operator=(const DonchianState&) = delete;
    ~DonchianState();

    // `high`, `low` and the outputs of one common length.
    void advance(InputRun high, InputRun low, OutputRun upper, OutputRun middle,
                 OutputRun lower) noexcept;
    // Reads the queues and writes nothing of the state: a window within the run is
    // scanned afresh when its extreme leaves it.
    void preview(InputRun high, InputRun low, OutputRun upper, OutputRun middle,
                 OutputRun lower) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<DonchianState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    explicit DonchianState(SideExtremes sides) noexcept;

    std::uint64_t bars_ = 0;
    SideExtremes sides_;
};

// Aroon: over the last period + 1 bars, up = (100 * (period - k)) / period with k
// the bars since the highest high (of equal highs the latest), down likewise with
// the lowest low. The bars seen and each side's extremes over period + 1 bars. A
// bad high gives NaN at the up line of every window that holds it, a bad low at the
// down line. Every period is at least 1.
class AroonState {
  public:
    [[nodiscard]] static std::expected<AroonState, StateError> create(
        std::uint64_t period) noexcept;
    [[nodiscard]] std::expected<AroonState, StateError> copy() const noexcept;

    AroonState(AroonState&& other) noexcept;
    AroonState& operator=(AroonState&& other) noexcept;
    AroonState(const AroonState&) = delete;
    AroonState& operator=(const AroonState&) = delete;
    ~AroonState();

    // `high`, `low` and the outputs of one common length.
    void advance(InputRun high, InputRun low, OutputRun down, OutputRun up) noexcept;
    // Reads the queues and writes nothing of the state: a window within the run is
    // scanned afresh when its extreme leaves it.
    void preview(InputRun high, InputRun low, OutputRun down, OutputRun up) const noexcept;

    [[nodiscard]] std::uint64_t period() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<AroonState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    explicit AroonState(SideExtremes sides) noexcept;

    std::uint64_t bars_ = 0;
    SideExtremes sides_;
};

// StochRSI: the fast stochastic of Wilder's RSI over `period`, the RSI standing for
// the high, the low and the close: %K = ((rsi - ll) / (hh - ll)) * 100 over the last
// `fastk_period` RSI values, 0 where hh equals ll, and %D its mean over
// `fastd_period`; both start where %D does. The RSI's state, the bars seen, the
// extremes of the RSI's window and the last %K values in a ring of `fastd_period`.
// A bad input spoils the RSI where RsiState says, and each line the windows that
// hold a spoilt value. The RSI's period is at least 2, the others at least 1.
class StochRsiState {
  public:
    using Periods = std::array<std::uint64_t, 3>;

    // The RSI's period, then the %K's and the %D's.
    [[nodiscard]] static std::expected<StochRsiState, StateError> create(
        std::uint64_t period, std::uint64_t fastk_period, std::uint64_t fastd_period) noexcept;
    [[nodiscard]] std::expected<StochRsiState, StateError> copy() const noexcept;

    StochRsiState(StochRsiState&& other) noexcept;
    StochRsiState& operator=(StochRsiState&& other) noexcept;
    StochRsiState(const StochRsiState&) = delete;
    StochRsiState& operator=(const StochRsiState&) = delete;
    ~StochRsiState();

    // `data` and both outputs of one common length. The %D output holds the RSI
    // while the %K is worked.
    void advance(InputRun data, OutputRun fastk, OutputRun fastd) noexcept;
    void preview(InputRun data, OutputRun fastk, OutputRun fastd) const noexcept;

    [[nodiscard]] Periods periods() const noexcept;
    [[nodiscard]] std::uint64_t bars() const noexcept;
    // The words of this state's checkpoint, and the state they describe.
    [[nodiscard]] std::size_t checkpoint_size() const noexcept;
    void write_checkpoint(std::span<std::uint64_t> words) const noexcept;
    [[nodiscard]] static std::expected<StochRsiState, StateError> from_checkpoint(
        std::span<const std::uint64_t> words) noexcept;

  private:
    StochRsiState(RsiState rsi, std::array<std::uint64_t, 2> lines, BarExtremes extremes,
                  std::unique_ptr<double[]> ring) noexcept;

    RsiState rsi_;
    // The %K's period and the %D's.
    std::array<std::uint64_t, 2> lines_;
    BarExtremes extremes_;
    // The last fastd_period %K values, bar b's at slot b % fastd_period.
    std::unique_ptr<double[]> ring_;
};

}  // namespace marundex::core
