#include <cstring>
#include <new>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::overlap;

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

using Candidate = WillrState::Candidate;
using QueueSpan = WillrState::QueueSpan;

// The candidate extremes of a window in a ring of `capacity`, oldest first: each
// later than the one before and strictly nearer the extreme's side, so that the
// front is the window's extreme. A bar is pushed once and dropped once.
struct Queue {
    Candidate* ring = nullptr;
    std::uint64_t capacity = 0;
    QueueSpan span;

    [[nodiscard]] std::uint64_t slot(std::uint64_t k) const noexcept {
        const std::uint64_t at = span.head + k;
        return at >= capacity ? at - capacity : at;
    }
    [[nodiscard]] double front() const noexcept { return ring[span.head].value; }
    [[nodiscard]] double back() const noexcept { return ring[slot(span.size - 1)].value; }
    void push(std::uint64_t bar, double value) noexcept {
        ring[slot(span.size)] = {bar, value};
        ++span.size;
    }
    // Drops the candidates before `first`, the window's first bar.
    void expire(std::uint64_t first) noexcept {
        while (span.size != 0 && ring[span.head].bar < first) {
            span.head = span.head + 1 == capacity ? 0 : span.head + 1;
            --span.size;
        }
    }
    // A new high drops the candidates it reaches: of equal highs the latest stands.
    void push_high(std::uint64_t bar, double value) noexcept {
        while (span.size != 0 && back() <= value) {
            --span.size;
        }
        push(bar, value);
    }
    void push_low(std::uint64_t bar, double value) noexcept {
        while (span.size != 0 && back() >= value) {
            --span.size;
        }
        push(bar, value);
    }
};

struct WillrCarry {
    std::uint64_t bars = 0;
    std::uint64_t clean_from = 0;
    Queue highs;
    Queue lows;
};

// ((hh - close) / (hh - ll)) * -100, each operation rounded on its own; 0 where the
// high and the low are equal, as TA-Lib gives there.
double percent_r(double highest, double lowest, double close) noexcept {
    const double range = highest - lowest;
    if (range == 0.0) {
        return 0.0;
    }
    return ((highest - close) / range) * -100.0;
}

// Takes one bar into the queues, and returns its output.
double take(std::uint64_t period, WillrCarry& carry, double high, double low,
            double close) noexcept {
    const std::uint64_t bar = carry.bars++;
    const std::uint64_t first = bar + 1 >= period ? bar + 1 - period : 0;
    carry.highs.expire(first);
    carry.lows.expire(first);
    // A bad high or low spoils the windows that hold it, and never enters a queue.
    if (!is_finite(high) || !is_finite(low)) {
        carry.clean_from = bar + period;
    } else {
        carry.highs.push_high(bar, high);
        carry.lows.push_low(bar, low);
    }
    if (bar + 1 < period || bar < carry.clean_from || !is_finite(close)) {
        return quiet_nan;
    }
    return percent_r(carry.highs.front(), carry.lows.front(), close);
}

std::unique_ptr<Candidate[]> allocate_candidates(std::uint64_t period) noexcept {
    if (period == 0) {
        return nullptr;
    }
    return std::unique_ptr<Candidate[]>(new (std::nothrow) Candidate[4 * period]);
}

}  // namespace

std::expected<WillrState, StateError> WillrState::create(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> window = detail::allocate_window(2 * period);
    std::unique_ptr<Candidate[]> candidates = allocate_candidates(period);
    if (period != 0 && (window == nullptr || candidates == nullptr)) {
        return std::unexpected(StateError::out_of_memory);
    }
    return WillrState(period, std::move(window), std::move(candidates));
}

WillrState::WillrState(std::uint64_t period, std::unique_ptr<double[]> window,
                       std::unique_ptr<Candidate[]> candidates) noexcept
    : period_(period), window_(std::move(window)), candidates_(std::move(candidates)) {}

std::expected<WillrState, StateError> WillrState::copy() const noexcept {
    std::expected<WillrState, StateError> twin = create(period_);
    if (twin && period_ != 0) {
        std::memcpy(twin->window_.get(), window_.get(), 2 * period_ * sizeof(double));
        std::memcpy(twin->candidates_.get(), candidates_.get(), 2 * period_ * sizeof(Candidate));
    }
    if (twin) {
        twin->bars_ = bars_;
        twin->clean_from_ = clean_from_;
        twin->next_slot_ = next_slot_;
        twin->highs_ = highs_;
        twin->lows_ = lows_;
    }
    return twin;
}

WillrState::WillrState(WillrState&& other) noexcept = default;
WillrState& WillrState::operator=(WillrState&& other) noexcept = default;
WillrState::~WillrState() = default;

void WillrState::advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept {
    const std::size_t n = high.length;
    // The pre-fill comes before any read when the output overlaps an input.
    if (period_ == 0 || overlap({high, low, close}, out)) {
        detail::fill_nan(out);
    }
    if (period_ == 0) {
        bars_ += n;
        return;
    }
    Candidate* rings = candidates_.get();
    WillrCarry carry{
        bars_, clean_from_, {rings, period_, highs_}, {rings + period_, period_, lows_}};
    double* highs = window_.get();
    double* lows = highs + period_;
    std::uint64_t next = next_slot_;
    for (std::size_t i = 0; i < n; ++i) {
        const double h = load(high.data, i);
        const double l = load(low.data, i);
        highs[next] = h;
        lows[next] = l;
        next = next + 1 == period_ ? 0 : next + 1;
        store(out.data, i, take(period_, carry, h, l, load(close.data, i)));
    }
    bars_ = carry.bars;
    clean_from_ = carry.clean_from;
    highs_ = carry.highs.span;
    lows_ = carry.lows.span;
    next_slot_ = next;
}

void WillrState::preview(InputRun high, InputRun low, InputRun close,
                         OutputRun out) const noexcept {
    const std::size_t n = high.length;
    if (period_ == 0 || overlap({high, low, close}, out)) {
        detail::fill_nan(out);
    }
    if (period_ == 0 || n == 0) {
        return;
    }
    // The queues are copied to the rings kept for it, from their first slot.
    Candidate* rings = candidates_.get();
    const Queue live_highs{rings, period_, highs_};
    const Queue live_lows{rings + period_, period_, lows_};
    Candidate* high_copy = rings + 2 * period_;
    Candidate* low_copy = rings + 3 * period_;
    for (std::uint64_t k = 0; k < highs_.size; ++k) {
        high_copy[k] = live_highs.ring[live_highs.slot(k)];
    }
    for (std::uint64_t k = 0; k < lows_.size; ++k) {
        low_copy[k] = live_lows.ring[live_lows.slot(k)];
    }
    WillrCarry carry{bars_,
                     clean_from_,
                     {high_copy, period_, {0, highs_.size}},
                     {low_copy, period_, {0, lows_.size}}};
    for (std::size_t i = 0; i < n; ++i) {
        store(out.data, i,
              take(period_, carry, load(high.data, i), load(low.data, i), load(close.data, i)));
    }
}

// The queues hold the window's bars only: replaying them from empty queues leaves
// what the series left.
void WillrState::rebuild() noexcept {
    const std::uint64_t held = bars_ < period_ ? bars_ : period_;
    Candidate* rings = candidates_.get();
    WillrCarry carry{bars_ - held, 0, {rings, period_, {}}, {rings + period_, period_, {}}};
    std::uint64_t slot = next_slot_ >= held ? next_slot_ - held : next_slot_ + period_ - held;
    const double* highs = window_.get();
    const double* lows = highs + period_;
    for (std::uint64_t k = 0; k < held; ++k) {
        take(period_, carry, highs[slot], lows[slot], 0.0);
        slot = slot + 1 == period_ ? 0 : slot + 1;
    }
    clean_from_ = carry.clean_from;
    highs_ = carry.highs.span;
    lows_ = carry.lows.span;
}

std::uint64_t WillrState::period() const noexcept {
    return period_;
}

std::uint64_t WillrState::bars() const noexcept {
    return bars_;
}

// period, bars, next slot, then the highs and the lows of the window.
std::size_t WillrState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(3 + 2 * period_);
}

void WillrState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(period_).put(bars_).put(next_slot_);
    writer.put_window(window_.get(), 2 * period_);
}

std::expected<WillrState, StateError> WillrState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 3 || period > max_window || words.size() != 3 + 2 * period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<WillrState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    state->next_slot_ = in.word();
    in.take_window(state->window_.get(), 2 * period);
    const double* highs = state->window_.get();
    if (!detail::valid_bars(state->bars_) ||
        !detail::valid_slot(state->next_slot_, period, state->bars_) ||
        (period != 0 && (!detail::unreached_slots_clear(highs, period, state->bars_) ||
                         !detail::unreached_slots_clear(highs + period, period, state->bars_)))) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    if (period != 0) {
        state->rebuild();
    }
    return state;
}
}  // namespace marundex::core
