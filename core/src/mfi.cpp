#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "window.hpp"

namespace marundex::core {

using detail::is_finite;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

using Carry = MfiState::Carry;

// A bar's flow as the window sums it: positive, negative, or both NaN where bad.
struct Flow {
    double positive;
    double negative;
};

double typical(double high, double low, double close) noexcept {
    return ((high + low) + close) / 3.0;
}

// `money` where `keep`, else +0, by a mask: a compiler may branch on a selection, and
// on a walk whether the typical price rose is a coin's toss.
double masked(double money, bool keep) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(money) & mask);
}

Flow flow_of(double tp, double previous_tp, double volume) noexcept {
    const double money = tp * volume;
    // Bad where the money or the price before is NaN or infinite (a bad price makes
    // the money bad): x - x is NaN for those, 0 for the others, one test for both.
    if (detail::is_nan((money - money) + (previous_tp - previous_tp))) [[unlikely]] {
        return {quiet_nan, quiet_nan};
    }
    return {masked(money, tp > previous_tp), masked(money, tp < previous_tp)};
}

bool counts(double flow) noexcept {
    return is_finite(flow) && flow != 0.0;
}

// A run's bars after `start` bars, and the flows before it in the ring.
struct MfiRun {
    std::uint64_t period;
    std::uint64_t start;
    const double* ring;
    InputRun high;
    InputRun low;
    InputRun close;
    InputRun volume;
    double previous_tp;

    [[nodiscard]] double tp_at(std::size_t i) const noexcept {
        return typical(load(high.data, i), load(low.data, i), load(close.data, i));
    }
    // The flow of bar b of the series, read again from the run or the ring.
    [[nodiscard]] Flow flow(std::uint64_t bar) const noexcept {
        if (bar >= start) {
            const auto i = static_cast<std::size_t>(bar - start);
            const double before = i == 0 ? previous_tp : tp_at(i - 1);
            return flow_of(tp_at(i), before, load(volume.data, i));
        }
        const std::uint64_t slot = bar % period;
        return {ring[slot], ring[period + slot]};
    }
};

// The flows of earlier bars as a run reads them, read again from the run or the ring:
// the one leaving the window, and the window's flows oldest first. The ring is read,
// not written, so that a preview may use it and so that a run whose output shares an
// input's memory reads that memory as one long run would.
struct ReadAgain {
    const MfiRun* run;

    [[nodiscard]] Flow leaving(std::uint64_t bar) const noexcept {
        return bar >= run->period ? run->flow(bar - run->period) : Flow{0.0, 0.0};
    }
    void keep(const Flow& /*in*/) noexcept {}
    template <class Add>
    void each_in_window(std::uint64_t bar, const Add& add) const noexcept {
        for (std::uint64_t b = bar + 1 - run->period; b <= bar; ++b) {
            add(run->flow(b));
        }
    }
};

// The flows kept in the ring as they come, each in the slot of the one leaving: a
// live run whose output shares no input's memory. Nothing is computed twice, and the
// ring ends as the last flows leave it.
struct Kept {
    double* ring;
    std::uint64_t period;
    std::uint64_t slot;  // bar % period, for the bar being taken

    [[nodiscard]] Flow leaving(std::uint64_t bar) const noexcept {
        return bar >= period ? Flow{ring[slot], ring[period + slot]} : Flow{0.0, 0.0};
    }
    void keep(const Flow& in) noexcept {
        ring[slot] = in.positive;
        ring[period + slot] = in.negative;
        slot = slot + 1 == period ? 0 : slot + 1;
    }
    // After keep(): the oldest flow is in the slot of the next bar.
    template <class Add>
    void each_in_window(std::uint64_t /*bar*/, const Add& add) const noexcept {
        for (std::uint64_t k = slot; k < period; ++k) {
            add(Flow{ring[k], ring[period + k]});
        }
        for (std::uint64_t k = 0; k < slot; ++k) {
            add(Flow{ring[k], ring[period + k]});
        }
    }
};

// Writes the MFI of every bar of the run and returns what it leaves.
template <class Flows>
Carry run_mfi(const MfiRun& run, Carry carry, OutputRun out, Flows& flows) noexcept {
    const std::size_t n = run.high.length;
    const std::uint64_t period = run.period;
    std::uint64_t to_renewal = period - run.start % period;
    double previous_tp = run.previous_tp;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bar = run.start + i;
        const double tp = run.tp_at(i);
        const Flow in = flow_of(tp, previous_tp, load(run.volume.data, i));
        previous_tp = tp;
        const Flow leaving = flows.leaving(bar);
        flows.keep(in);
        carry.bad += static_cast<std::uint64_t>(!is_finite(in.positive));
        carry.bad -= static_cast<std::uint64_t>(!is_finite(leaving.positive));
        carry.ups += static_cast<std::uint64_t>(counts(in.positive));
        carry.ups -= static_cast<std::uint64_t>(counts(leaving.positive));
        carry.downs += static_cast<std::uint64_t>(counts(in.negative));
        carry.downs -= static_cast<std::uint64_t>(counts(leaving.negative));
        const bool renewed = --to_renewal == 0;
        if (renewed) {
            to_renewal = period;
        }
        // Bar 0 has no flow: its window, and every one before bar period, is bad.
        if (carry.bad != 0) {
            carry.positive = quiet_nan;
            carry.negative = quiet_nan;
            store(out.data, i, quiet_nan);
            continue;
        }
        // Each sum takes one addition on the chain from bar to bar, the difference
        // first, as WMA's.
        double positive = carry.positive + (in.positive - leaving.positive);
        double negative = carry.negative + (in.negative - leaving.negative);
        if (renewed || !is_finite(positive) || !is_finite(negative)) {
            // A renewed window, the first good one after a bad flow, or sums that
            // overflowed: summed afresh from the oldest flow, from -0.
            positive = -0.0;
            negative = -0.0;
            flows.each_in_window(bar, [&](const Flow& f) noexcept {
                positive = positive + f.positive;
                negative = negative + f.negative;
            });
        }
        carry.positive = positive;
        carry.negative = negative;
        // A side whose flows are all 0 sums to 0, whatever carried sums left there.
        const double up = carry.ups == 0 ? 0.0 : positive;
        const double down = carry.downs == 0 ? 0.0 : negative;
        const double total = up + down;
        store(out.data, i, total == 0.0 ? 0.0 : 100.0 * (up / total));
    }
    carry.previous_tp = previous_tp;
    return carry;
}

bool overlap_any(InputRun high, InputRun low, InputRun close, InputRun volume,
                 OutputRun out) noexcept {
    return detail::overlap(high, out) || detail::overlap(low, out) || detail::overlap(close, out) ||
           detail::overlap(volume, out);
}

// Counts the bad flows and those not 0 among the ring's held flows.
Carry counted(std::uint64_t period, std::uint64_t bars, const double* ring, Carry carry) noexcept {
    const std::uint64_t held = bars < period ? bars : period;
    carry.bad = 0;
    carry.ups = 0;
    carry.downs = 0;
    for (std::uint64_t b = bars - held; b < bars; ++b) {
        const std::uint64_t slot = b % period;
        carry.bad += static_cast<std::uint64_t>(!is_finite(ring[slot]));
        carry.ups += static_cast<std::uint64_t>(counts(ring[slot]));
        carry.downs += static_cast<std::uint64_t>(counts(ring[period + slot]));
    }
    return carry;
}

}  // namespace

std::expected<MfiState, StateError> MfiState::create(std::uint64_t period) noexcept {
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> flows = detail::allocate_window(2 * period);
    if (period != 0 && flows == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return MfiState(period, std::move(flows));
}

MfiState::MfiState(std::uint64_t period, std::unique_ptr<double[]> flows) noexcept
    : period_(period), carry_{quiet_nan, quiet_nan, quiet_nan}, flows_(std::move(flows)) {}

std::expected<MfiState, StateError> MfiState::copy() const noexcept {
    std::expected<MfiState, StateError> twin = create(period_);
    if (twin) {
        if (period_ != 0) {
            std::memcpy(twin->flows_.get(), flows_.get(), 2 * period_ * sizeof(double));
        }
        twin->bars_ = bars_;
        twin->carry_ = carry_;
    }
    return twin;
}

MfiState::MfiState(MfiState&& other) noexcept = default;
MfiState& MfiState::operator=(MfiState&& other) noexcept = default;
MfiState::~MfiState() = default;

void MfiState::advance(InputRun high, InputRun low, InputRun close, InputRun volume,
                       OutputRun out) noexcept {
    const std::size_t n = high.length;
    // The pre-fill comes before any read when the output overlaps an input.
    if (period_ == 0 || overlap_any(high, low, close, volume, out)) {
        detail::fill_nan(out);
    }
    if (period_ == 0) {
        bars_ += n;
        return;
    }
    const MfiRun run{period_, bars_, flows_.get(), high, low, close, volume, carry_.previous_tp};
    const std::uint64_t end = bars_ + n;
    if (!overlap_any(high, low, close, volume, out)) {
        Kept kept{flows_.get(), period_, bars_ % period_};
        carry_ = run_mfi(run, carry_, out, kept);
        bars_ = end;
        return;
    }
    ReadAgain again{&run};
    const Carry carry = run_mfi(run, carry_, out, again);
    // The ring keeps the run's last flows, once the run has read the ones before it.
    for (std::uint64_t b = end - (n < period_ ? n : period_); b < end; ++b) {
        const Flow f = run.flow(b);
        flows_[b % period_] = f.positive;
        flows_[period_ + b % period_] = f.negative;
    }
    carry_ = carry;
    bars_ = end;
}

void MfiState::preview(InputRun high, InputRun low, InputRun close, InputRun volume,
                       OutputRun out) const noexcept {
    if (period_ == 0 || overlap_any(high, low, close, volume, out)) {
        detail::fill_nan(out);
    }
    if (period_ == 0) {
        return;
    }
    const MfiRun run{period_, bars_, flows_.get(), high, low, close, volume, carry_.previous_tp};
    ReadAgain again{&run};
    run_mfi(run, carry_, out, again);
}

std::uint64_t MfiState::period() const noexcept {
    return period_;
}

std::uint64_t MfiState::bars() const noexcept {
    return bars_;
}

// period, bars, the last typical price, the two sums, then the positive flows and
// the negative ones.
std::size_t MfiState::checkpoint_size() const noexcept {
    return static_cast<std::size_t>(5 + 2 * period_);
}

void MfiState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter writer(words);
    writer.put(period_)
        .put(bars_)
        .put(carry_.previous_tp)
        .put(carry_.positive)
        .put(carry_.negative);
    writer.put_window(flows_.get(), 2 * period_);
}

std::expected<MfiState, StateError> MfiState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 5 || period > max_window || words.size() != 5 + 2 * period) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<MfiState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    const std::uint64_t bars = in.word();
    Carry carry = state->carry_;
    carry.previous_tp = in.value();
    carry.positive = in.value();
    carry.negative = in.value();
    double* ring = state->flows_.get();
    in.take_window(ring, 2 * period);
    if (!detail::valid_bars(bars) ||
        (bars == 0 && !detail::same_bits(carry.previous_tp, quiet_nan))) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    if (period != 0) {
        if (!detail::unreached_slots_clear(ring, period, bars) ||
            !detail::unreached_slots_clear(ring + period, period, bars)) {
            return std::unexpected(StateError::bad_checkpoint);
        }
        // Each held flow is bad on both sides or good on both with one side 0; bar 0's
        // is bad while it is held.
        const std::uint64_t held = bars < period ? bars : period;
        for (std::uint64_t b = bars - held; b < bars; ++b) {
            const double up = ring[b % period];
            const double down = ring[period + b % period];
            const bool bad = !is_finite(up);
            if (bad != !is_finite(down) || (!bad && up != 0.0 && down != 0.0) || (b == 0 && !bad)) {
                return std::unexpected(StateError::bad_checkpoint);
            }
        }
        carry = counted(period, bars, ring, carry);
        // The sums are NaN exactly while the window holds a bad flow: sums of good
        // flows are numbers, or an infinity where they overflowed.
        const bool sums_bad = carry.bad != 0 || bars == 0;
        if (sums_bad != detail::is_nan(carry.positive) ||
            sums_bad != detail::is_nan(carry.negative)) {
            return std::unexpected(StateError::bad_checkpoint);
        }
    }
    state->bars_ = bars;
    state->carry_ = carry;
    return state;
}
}  // namespace marundex::core
