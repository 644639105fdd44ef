#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "checkpoint.hpp"
#include "float64_access.hpp"
#include "window.hpp"
#include "wma_sums.hpp"

namespace marundex::core {

using detail::input_before;
using detail::is_finite;
using detail::is_nan;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

using detail::Renewal;
using detail::WmaFresh;
using detail::WmaSums;
using detail::WmaWeights;

// The largest r with r * r <= n, at least 1: the double's root, exact for every
// square up to max_window, then adjusted by whole steps.
std::uint64_t root_of(std::uint64_t n) noexcept {
    auto r = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n)));
    while (r * r > n) {
        --r;
    }
    while ((r + 1) * (r + 1) <= n) {
        ++r;
    }
    return r < 1 ? 1 : r;
}

// The longest ring of differences, that of the longest window a state keeps.
constexpr std::uint64_t max_root = std::uint64_t{1} << 12;

struct Shape {
    WmaWeights half;
    WmaWeights full;
    WmaWeights root;
};

std::uint64_t half_of(std::uint64_t period) noexcept {
    return period / 2 < 1 ? 1 : period / 2;
}

Shape shape_of(std::uint64_t half, std::uint64_t period, std::uint64_t root) noexcept {
    return {detail::wma_weights(half), detail::wma_weights(period), detail::wma_weights(root)};
}

WmaSums unpack(const HmaState::Sums& s) noexcept {
    return {s.sum, s.weighted, s.bad};
}

HmaState::Sums pack(const WmaSums& s) noexcept {
    return {s.sum, s.weighted, s.bad};
}

using Pair = double __attribute__((vector_size(16)));

// Where a run stands besides the sums: the three averages' renewals, and the ring
// of the last `root` differences, bar b's at slot b % root, with the next bar's.
struct Course {
    std::array<Renewal, 3> renewals;
    double* diffs;
    std::uint64_t slot;

    Course(const Shape& s, std::uint64_t bars, double* ring) noexcept
        : renewals{Renewal(s.half.period, bars), Renewal(s.full.period, bars),
                   Renewal(s.root.period, bars)},
          diffs(ring),
          slot(bars % s.root.period) {}

    // Keeps the difference of the next bar and returns the one leaving the window,
    // bar - root's.
    double keep(double diff, std::uint64_t root) noexcept {
        const double leaving = diffs[slot];
        diffs[slot] = diff;
        slot = slot + 1 == root ? 0 : slot + 1;
        return leaving;
    }
};

// Takes bars from `from` while their inputs are plain, the `period + root` inputs
// before `from` plain too and in the run, so that every window is full, clean and
// plain; returns the first bar not taken.
std::size_t advance_plain(const Shape& s, std::array<WmaSums, 3>& sums, Course& c, InputRun data,
                          OutputRun out, std::size_t from) noexcept {
    const auto before = [&](std::uint64_t j) {
        return load(data.data, from - static_cast<std::size_t>(j));
    };
    const std::uint64_t root = s.root.period;
    const auto diff_before = [&](std::uint64_t j) { return c.diffs[(c.slot + root - j) % root]; };
    const WmaFresh half_fresh = detail::wma_fresh(s.half, c.renewals[0], before);
    const WmaFresh full_fresh = detail::wma_fresh(s.full, c.renewals[1], before);
    WmaFresh root_fresh = detail::wma_fresh(s.root, c.renewals[2], diff_before);
    // The half window's average and the full one's take the same input: each takes a
    // lane of a pair, lane 0 the half's, and each lane's operations are those of
    // wma_plain_weighted(). The stretch works on its own copies, which no store to
    // the run can touch.
    Pair sum = {sums[0].sum, sums[1].sum};
    Pair weighted = {sums[0].weighted, sums[1].weighted};
    Pair fresh_sum = {half_fresh.sum, full_fresh.sum};
    Pair fresh_weighted = {half_fresh.weighted, full_fresh.weighted};
    Pair count = {half_fresh.count, full_fresh.count};
    const Pair periods = {s.half.period_double, s.full.period_double};
    const Pair divisors = {s.half.divisor, s.full.divisor};
    Renewal half_renewal = c.renewals[0];
    Renewal full_renewal = c.renewals[1];
    WmaSums root_sums = sums[2];
    double* const diffs = c.diffs;
    std::uint64_t slot = c.slot;
    const auto half = static_cast<std::size_t>(s.half.period);
    const auto period = static_cast<std::size_t>(s.full.period);
    const std::size_t n = data.length;
    std::size_t i = from;
    std::array<double, detail::plain_piece> line;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    while (i < n) {
        const std::size_t piece_end = n - i > detail::plain_piece ? i + detail::plain_piece : n;
        const std::size_t end = detail::first_beyond(data.data, i, piece_end, detail::plain_bound);
        // The piece's differences first, then their average: two short loops keep
        // their values in registers, where one long one would not.
        const std::size_t start = i;
        for (; i < end; ++i) {
            const double x = load(data.data, i);
            const Pair xs = {x, x};
            const Pair leaving = {load(data.data, i - half), load(data.data, i - period)};
            count = count + 1.0;
            fresh_sum = fresh_sum + xs;
            fresh_weighted = fresh_weighted + count * xs;
            weighted = weighted + (periods * xs - sum);
            sum = sum + (xs - leaving);
            if (half_renewal.tick()) {
                sum[0] = fresh_sum[0];
                weighted[0] = fresh_weighted[0];
                fresh_sum[0] = -0.0;
                fresh_weighted[0] = -0.0;
                count[0] = 0.0;
            }
            if (full_renewal.tick()) {
                sum[1] = fresh_sum[1];
                weighted[1] = fresh_weighted[1];
                fresh_sum[1] = -0.0;
                fresh_weighted[1] = -0.0;
                count[1] = 0.0;
            }
            const Pair averages = weighted / divisors;
            line[i - start] = 2.0 * averages[0] - averages[1];
        }
        for (std::size_t k = start; k < end; ++k) {
            const double diff = line[k - start];
            // The ring's slot counts the bars to the differences' renewal too.
            const double leaving_diff = diffs[slot];
            diffs[slot] = diff;
            const bool root_renewed = ++slot == root;
            if (root_renewed) {
                slot = 0;
            }
            store(out.data, k,
                  detail::wma_plain_weighted(s.root, root_sums, root_fresh, root_renewed, diff,
                                             leaving_diff) /
                      s.root.divisor);
        }
        if (end != piece_end) {
            break;
        }
    }
    sums = {WmaSums{sum[0], weighted[0], 0}, WmaSums{sum[1], weighted[1], 0}, root_sums};
    c.renewals = {half_renewal, full_renewal, Renewal(root, slot)};
    c.slot = slot;
    return i;
}

// Writes the averages of `data`, the bars after `bars`, into `out`, the earlier
// inputs in `earlier` and the ring of the last `root` differences, bar b's at slot
// b % root, in `diffs`, which the run moves on. One series in one run is the batch.
void advance_hma(const Shape& s, std::uint64_t bars, std::array<WmaSums, 3>& sums,
                 detail::Window earlier, double* diffs, InputRun data, OutputRun out) noexcept {
    const bool overlapping = detail::overlap(data, out);
    // The pre-fill comes before any read when the output overlaps the input.
    if (overlapping) {
        detail::fill_nan(out);
    }
    const std::size_t n = data.length;
    if (n == 0) {
        return;
    }
    const std::uint64_t half = s.half.period;
    const std::uint64_t period = s.full.period;
    const std::uint64_t root = s.root.period;
    Course c(s, bars, diffs);
    // One bar by the definition's steps.
    const auto step = [&](std::size_t i, double x) noexcept {
        const std::uint64_t bar = bars + i;
        const auto back = [&](std::uint64_t j) { return input_before(earlier, data, i, j); };
        const double a = detail::wma_step(s.half, sums[0], bar + 1 >= half, c.renewals[0].tick(), x,
                                          back(half), back);
        const double b = detail::wma_step(s.full, sums[1], bar + 1 >= period, c.renewals[1].tick(),
                                          x, back(period), back);
        const double diff = is_nan(a) || is_nan(b) ? quiet_nan : 2.0 * a - b;
        const std::uint64_t newest = c.slot;
        const double leaving = c.keep(diff, root);
        const auto diff_back = [&](std::uint64_t j) {
            return diffs[j <= newest ? newest - j : newest + root - j];
        };
        store(out.data, i,
              detail::wma_step(s.root, sums[2], bar + 1 >= root, c.renewals[2].tick(), diff,
                               leaving, diff_back));
    };
    // After the last input that was not plain, the differences' window and the window
    // of their inputs before it: every window full and clean, its sums finite.
    detail::take_stretches(
        data, period + root, detail::plain_bound, overlapping,
        [&](std::size_t i) noexcept { return advance_plain(s, sums, c, data, out, i); }, step);
}

// Whether the sums of a WMA over `period` bars are what some series leaves after
// `bars` bars with `bad` bad values in its window: NaN while there is no good full
// window.
bool consistent_sums(const HmaState::Sums& sums, std::uint64_t period, std::uint64_t bars,
                     std::uint64_t bad) noexcept {
    if (sums.bad != bad) {
        return false;
    }
    if (bars < period || bad != 0) {
        return detail::same_bits(sums.sum, quiet_nan) &&
               detail::same_bits(sums.weighted, quiet_nan);
    }
    return true;
}

}  // namespace

std::expected<HmaState, StateError> HmaState::create(std::uint64_t period) noexcept {
    if (period == 0) {
        return std::unexpected(StateError::zero_period);
    }
    if (period > max_window) {
        return std::unexpected(StateError::window_too_long);
    }
    std::unique_ptr<double[]> window = detail::allocate_window(period + root_of(period));
    if (window == nullptr) {
        return std::unexpected(StateError::out_of_memory);
    }
    return HmaState(period, std::move(window));
}

HmaState::HmaState(std::uint64_t period, std::unique_ptr<double[]> window) noexcept
    : period_(period), half_(half_of(period)), root_(root_of(period)), window_(std::move(window)) {
    sums_.fill({quiet_nan, quiet_nan, 0});
}

std::expected<HmaState, StateError> HmaState::copy() const noexcept {
    std::expected<HmaState, StateError> twin = create(period_);
    if (twin) {
        std::memcpy(twin->window_.get(), window_.get(), (period_ + root_) * sizeof(double));
        twin->bars_ = bars_;
        twin->sums_ = sums_;
        twin->next_slot_ = next_slot_;
    }
    return twin;
}

HmaState::HmaState(HmaState&& other) noexcept = default;
HmaState& HmaState::operator=(HmaState&& other) noexcept = default;
HmaState::~HmaState() = default;

void HmaState::advance(InputRun data, OutputRun out) noexcept {
    std::array<WmaSums, 3> sums{unpack(sums_[0]), unpack(sums_[1]), unpack(sums_[2])};
    advance_hma(shape_of(half_, period_, root_), bars_, sums, {window_.get(), period_, next_slot_},
                window_.get() + period_, data, out);
    for (std::size_t k = 0; k < 3; ++k) {
        sums_[k] = pack(sums[k]);
    }
    next_slot_ = detail::keep_recent(window_.get(), period_, next_slot_, data);
    bars_ += data.length;
}

void HmaState::preview(InputRun data, OutputRun out) const noexcept {
    std::array<WmaSums, 3> sums{unpack(sums_[0]), unpack(sums_[1]), unpack(sums_[2])};
    // Other threads may preview this state at once: its ring stays as it is.
    std::array<double, max_root> diffs;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::memcpy(diffs.data(), window_.get() + period_, root_ * sizeof(double));
    advance_hma(shape_of(half_, period_, root_), bars_, sums, {window_.get(), period_, next_slot_},
                diffs.data(), data, out);
}

std::uint64_t HmaState::period() const noexcept {
    return period_;
}

std::uint64_t HmaState::bars() const noexcept {
    return bars_;
}

// period, bars, the three WMAs' sums and bad counts, the next slot, then the
// `period` inputs and the `root` differences.
std::size_t HmaState::checkpoint_size() const noexcept {
    return 12 + period_ + root_;
}

void HmaState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter out(words);
    out.put(period_).put(bars_);
    for (const Sums& s : sums_) {
        out.put(s.sum).put(s.weighted).put(s.bad);
    }
    out.put(next_slot_);
    out.put_window(window_.get(), period_ + root_);
}

std::expected<HmaState, StateError> HmaState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    detail::CheckpointReader in(words);
    const std::uint64_t period = in.word();
    if (words.size() < 12 || period == 0 || period > max_window ||
        words.size() != 12 + period + root_of(period)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    std::expected<HmaState, StateError> state = create(period);
    if (!state) {
        return state;
    }
    HmaState& h = *state;
    h.bars_ = in.word();
    for (Sums& s : h.sums_) {
        s.sum = in.value();
        s.weighted = in.value();
        s.bad = in.word();
    }
    h.next_slot_ = in.word();
    in.take_window(h.window_.get(), period + h.root_);
    const std::uint64_t bars = h.bars_;
    const double* inputs = h.window_.get();
    const double* diffs = inputs + period;
    if (!detail::consistent_window(period, bars, inputs, h.next_slot_, h.sums_[1].bad) ||
        !detail::unreached_slots_clear(diffs, h.root_, bars)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    // The bad inputs of the half window, the newest `half` of the window's, and the
    // bad differences of the ring; a difference before the period's first average
    // has none.
    std::uint64_t half_bad = 0;
    const std::uint64_t half_kept = bars < h.half_ ? bars : h.half_;
    for (std::uint64_t j = 1; j <= half_kept; ++j) {
        const std::uint64_t slot = (h.next_slot_ + period - j) % period;
        half_bad += static_cast<std::uint64_t>(!is_finite(inputs[slot]));
    }
    std::uint64_t root_bad = 0;
    const std::uint64_t root_kept = bars < h.root_ ? bars : h.root_;
    for (std::uint64_t j = 1; j <= root_kept; ++j) {
        const std::uint64_t bar = bars - j;
        const double d = diffs[bar % h.root_];
        root_bad += static_cast<std::uint64_t>(!is_finite(d));
        if (bar + 1 < period && !detail::same_bits(d, quiet_nan)) {
            return std::unexpected(StateError::bad_checkpoint);
        }
    }
    if (!consistent_sums(h.sums_[0], h.half_, bars, half_bad) ||
        !consistent_sums(h.sums_[1], period, bars, h.sums_[1].bad) ||
        !consistent_sums(h.sums_[2], h.root_, bars, root_bad)) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}

}  // namespace marundex::core
