#include <bit>
#include <cstdint>

#include "checkpoint.hpp"
#include "float64_access.hpp"

namespace marundex::core {

using detail::is_finite;
using detail::is_nan;
using detail::load;
using detail::quiet_nan;
using detail::store;

namespace {

// What the total carries from one bar to the next: the last finite close, and the
// total, NaN until the first good bar.
struct ObvCarry {
    double last_close;
    double total;
};

// What a bar adds to the total: its volume on an up bar, the volume negated on a
// down bar (t - v is t + -v, to the bit), and -0 on a flat bar (t + -0 is t, to
// the bit). Chosen on the bits: up and down bars come as the data has them, and a
// mispredicted branch costs several times the addition.
double signed_volume(double close, double last_close, double volume) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(volume);
    const auto sign = std::bit_cast<std::uint64_t>(-0.0);
    const std::uint64_t up = 0 - static_cast<std::uint64_t>(close > last_close);
    const std::uint64_t down = 0 - static_cast<std::uint64_t>(close < last_close);
    return std::bit_cast<double>((bits & up) | ((bits ^ sign) & down) | (sign & ~(up | down)));
}

// Writes the balance of every bar of `close` and `volume` and returns what the bars
// leave.
ObvCarry advance_balance(ObvCarry carry, InputRun close, InputRun volume, OutputRun out) noexcept {
    const std::size_t n = close.length;
    // The pre-fill comes before any read when the output overlaps an input.
    if (detail::overlap(close, out) || detail::overlap(volume, out)) {
        detail::fill_nan(out);
    }
    double last_close = carry.last_close;
    double total = carry.total;
    for (std::size_t i = 0; i < n; ++i) {
        const double c = load(close.data, i);
        const double v = load(volume.data, i);
        if (!is_finite(c) || !is_finite(v)) {
            // The bar is left out of the total; a finite close still sets the
            // direction of the next bar.
            last_close = is_finite(c) ? c : last_close;
            store(out.data, i, quiet_nan);
            continue;
        }
        // The first good bar starts the total; a branch keeps the test off the chain
        // of additions.
        if (is_nan(total)) [[unlikely]] {
            total = v;
        } else {
            total = total + signed_volume(c, last_close, v);
        }
        last_close = c;
        store(out.data, i, total);
    }
    return {last_close, total};
}

// Whether some series leaves this carry after `bars` bars. The last close is the
// constructor's NaN until a finite close comes, and finite after it; the total is
// NaN until the first good bar, whose close is finite, and never NaN after it:
// finite volumes cannot make it so (an overflow makes an infinity, which stays).
bool consistent(std::uint64_t bars, const ObvCarry& carry) noexcept {
    if (!detail::valid_bars(bars)) {
        return false;
    }
    if (!(detail::same_bits(carry.last_close, quiet_nan) || is_finite(carry.last_close))) {
        return false;
    }
    if (bars == 0 && !detail::same_bits(carry.last_close, quiet_nan)) {
        return false;
    }
    if (is_nan(carry.total)) {
        return detail::same_bits(carry.total, quiet_nan);
    }
    return is_finite(carry.last_close);
}

}  // namespace

ObvState::ObvState() noexcept : last_close_(quiet_nan), total_(quiet_nan) {}

void ObvState::advance(InputRun close, InputRun volume, OutputRun out) noexcept {
    const ObvCarry carry = advance_balance({last_close_, total_}, close, volume, out);
    last_close_ = carry.last_close;
    total_ = carry.total;
    bars_ += close.length;
}

void ObvState::preview(InputRun close, InputRun volume, OutputRun out) const noexcept {
    advance_balance({last_close_, total_}, close, volume, out);
}

std::uint64_t ObvState::bars() const noexcept {
    return bars_;
}

// bars, last finite close, total.
// Of the same shape as the states with a window, whose size varies.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
std::size_t ObvState::checkpoint_size() const noexcept {
    return 3;
}

void ObvState::write_checkpoint(std::span<std::uint64_t> words) const noexcept {
    detail::CheckpointWriter(words).put(bars_).put(last_close_).put(total_);
}

std::expected<ObvState, StateError> ObvState::from_checkpoint(
    std::span<const std::uint64_t> words) noexcept {
    if (words.size() != 3) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    detail::CheckpointReader in(words);
    ObvState state;
    state.bars_ = in.word();
    state.last_close_ = in.value();
    state.total_ = in.value();
    if (!consistent(state.bars_, {state.last_close_, state.total_})) {
        return std::unexpected(StateError::bad_checkpoint);
    }
    return state;
}
}  // namespace marundex::core
