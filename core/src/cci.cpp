#include <cmath>
#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "true_range.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::Bars;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

struct CciFactors {
    std::uint64_t period;
    double period_double;
};

// ((high + low) + close) / 3, a true division.
double typical_price(double high, double low, double close) noexcept {
    return ((high + low) + close) / 3.0;
}

double typical_price(const Bars& bars, std::size_t i) noexcept {
    return typical_price(load(bars.high.data, i), load(bars.low.data, i), load(bars.close.data, i));
}

// The index of the newest typical price of a full window, which `each(take)` gives
// to `take` oldest first: the mean and the mean deviation from it, each a sum from
// -0 in that order then a true division, and (newest - mean) / (0.015 * deviation),
// 0 where the deviation is 0, as TA-Lib gives there, or so small that the product
// is 0, which would divide by zero. A window that holds a value
// that is not finite has a mean that is not, and a deviation that is NaN.
template <class Each>
double index_of(const CciFactors& f, double newest, Each each) noexcept {
    double sum = -0.0;
    each([&sum](double tp) { sum = sum + tp; });
    const double mean = sum / f.period_double;
    double deviations = -0.0;
    each([&deviations, mean](double tp) { deviations = deviations + std::fabs(tp - mean); });
    const double scaled = 0.015 * (deviations / f.period_double);
    if (scaled == 0.0) {
        return 0.0;
    }
    const double index = (newest - mean) / scaled;
    return detail::is_nan(index) ? quiet_nan : index;
}

// The last `count` typical prices the ring keeps, oldest first.
template <class Take>
void ring_tail(detail::Window ring, std::uint64_t count, const Take& take) noexcept {
    std::uint64_t slot = ring.next >= count ? ring.next - count : ring.next + ring.capacity - count;
    for (std::uint64_t k = 0; k < count; ++k) {
        take(ring.slots[slot]);
        slot = slot + 1 == ring.capacity ? 0 : slot + 1;
    }
}

// Writes the index of every bar of `bars`, the bars after `seen`, reading the typical
// prices before the run from `earlier` and those of the run from its inputs as each
// bar is reached: the same as advance_into_ring() where no output shares an input's
// memory, and the order of reads of one long run where one does.
void advance_from_inputs(const CciFactors& f, std::uint64_t seen, detail::Window earlier,
                         const Bars& bars, OutputRun out) noexcept {
    const std::size_t n = bars.high.length;
    for (std::size_t i = 0; i < n; ++i) {
        if (seen + i + 1 < f.period) {
            store(out.data, i, quiet_nan);
            continue;
        }
        const std::uint64_t in_run = i + 1 < f.period ? i + 1 : f.period;
        const std::size_t first = i + 1 - static_cast<std::size_t>(in_run);
        store(out.data, i, index_of(f, typical_price(bars, i), [&](const auto& take) {
                  ring_tail(earlier, f.period - in_run, take);
                  for (std::size_t j = first; j <= i; ++j) {
                      take(typical_price(bars, j));
                  }
              }));
    }
}

// Writes the index of every bar of `bars`, whose inputs share no memory with the
// output, keeping each typical price in the ring as its bar is reached. Returns the
// slot of the next bar.
std::uint64_t advance_into_ring(const CciFactors& f, std::uint64_t seen, double* ring,
                                std::uint64_t next, const Bars& bars, OutputRun out) noexcept {
    const std::size_t n = bars.high.length;
    for (std::size_t i = 0; i < n; ++i) {
        const double tp = typical_price(bars, i);
        ring[next] = tp;
        next = next + 1 == f.period ? 0 : next + 1;
        if (seen + i + 1 < f.period) {
            store(out.data, i, quiet_nan);
            continue;
        }
        store(out.data, i, index_of(f, tp, [&](const auto& take) {
                  for (std::uint64_t k = next; k < f.period; ++k) {
                      take(ring[k]);
                  }
                  for (std::uint64_t k = 0; k < next; ++k) {
                      take(ring[k]);
                  }
              }));
    }
    return next;
}

// Keeps the typical prices of the last min(n, period) bars of a run just taken, read
// after its outputs were written. Returns the slot of the next bar.
std::uint64_t keep_recent(const CciFactors& f, double* ring, std::uint64_t next,
                          const Bars& bars) noexcept {
    const std::size_t n = bars.high.length;
    const std::size_t kept = n < f.period ? n : static_cast<std::size_t>(f.period);
    for (std::size_t j = n - kept; j < n; ++j) {
        ring[next] = typical_price(bars, j);
        next = next + 1 == f.period ? 0 : next + 1;
    }
    return next;
}

}  // namespace

std::expected<CciState, StateError> CciState::create(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> window = detail::allocate_window(period);
    if (period != 0 && window == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return CciState(period, std::move(window));
}

CciState::CciState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept
    : period_(period),
      period_double_(detail::period_as_double(period)),
      window_(std::move(window)) {}

std::expected<CciState, StateError> CciState::copy() const noexcept {
    std::expected<CciState, StateError> twin = create(period_);
    if (twin) {
        if (period_ != 0) {
            std::memcpy(twin->window_.get(), window_.get(), period_ * sizeof(double));
        }
        twin->bars_ = bars_;
        twin->next_slot_ = next_slot_;
    }
    return twin;
}

CciState::CciState(CciState&& other) noexcept = default;
CciState& CciState::operator=(CciState&& other) noexcept = default;
CciState::~CciState() = default;

void CciState::advance(InputRun high, InputRun low, InputRun close, OutputRun out) noexcept {
    const Bars bars{high, low, close};
    const CciFactors f{period_, period_double_};
    if (period_ == 0) {
        detail::fill_nan(out);
    } else if (detail::overlap(bars, out)) {
        // The pre-fill comes before any read when the output overlaps an input.
        detail::fill_nan(out);
        advance_from_inputs(f, bars_, {window_.get(), period_, next_slot_}, bars, out);
        next_slot_ = keep_recent(f, window_.get(), next_slot_, bars);
    } else {
        next_slot_ = advance_into_ring(f, bars_, window_.get(), next_slot_, bars, out);
    }
    bars_ += high.length;
}

void CciState::preview(InputRun high, InputRun low, InputRun close, OutputRun out) const noexcept {
    const Bars bars{high, low, close};
    if (period_ == 0 || detail::overlap(bars, out)) {
        detail::fill_nan(out);
    }
    if (period_ != 0) {
        advance_from_inputs({period_, period_double_}, bars_, {window_.get(), period_, next_slot_},
                            bars, out);
    }
}

std::uint64_t CciState::period() const noexcept {
    return period_;
}

std::uint64_t CciState::bars() const noexcept {
    return bars_;
}

// period, bars, next slot, then the `period` typical prices of the window.
std::size_t CciState::checkpoint_size() const noexcept {
    return 3 + period_;
}

void CciState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter out(words);
    out.put(period_).put(bars_).put(next_slot_);
    out.put_window(window_.get(), period_);
}

// The window as SMA's: the slot of the next bar right after the bars seen until it
// is full, the slots not yet reached zero. A typical price may be any double.
std::expected<CciState, StateError> CciState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 3 || period > max_window || words.size() != 3 + period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<CciState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    state->bars_ = in.word();
    state->next_slot_ = in.word();
    in.take_window(state->window_.get(), period);
    const std::uint64_t kept = state->bars_ < period ? state->bars_ : period;
    if (!detail::valid_bars(state->bars_) ||
        !detail::valid_slot(state->next_slot_, period, state->bars_) ||
        !detail::unreached_slots_clear(state->window_.get(), period, kept)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
