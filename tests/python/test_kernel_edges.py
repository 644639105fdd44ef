"""Gaps, infinities and signed zeros: the situations each kernel handles on purpose."""

import numpy as np
import pytest

import reference as ref
from support import (
    FUNCTIONS,
    HOLE_BITS,
    SENTINEL_BITS,
    array_bits,
    assert_matches,
    expected_outputs,
    float_bits,
    is_nan_bits,
    sentinel_array,
    valid_arguments,
)

marundex = pytest.importorskip("marundex")

NAN = float("nan")
INF = float("inf")


def sma(period, xs):
    out = sentinel_array(len(xs))
    marundex.indicator_sma(period, np.array(xs, dtype=np.float64), out)
    assert_matches(out, ref.sma(period, xs))
    return out


def ema(period, xs):
    out = sentinel_array(len(xs))
    marundex.indicator_ema(period, np.array(xs, dtype=np.float64), out)
    assert_matches(out, ref.ema(period, xs))
    return out


def macd(fast, slow, signal, xs):
    outs = [sentinel_array(len(xs)) for _ in range(3)]
    marundex.indicator_macd(fast, slow, signal, np.array(xs, dtype=np.float64), *outs)
    for out, expected, label in zip(outs, ref.macd(fast, slow, signal, xs), ("macd", "signal", "hist")):
        assert_matches(out, expected, label)
    return outs


def atr(period, high, low, close, m=None):
    out = sentinel_array(len(high) if m is None else m)
    marundex.indicator_atr(period, np.array(high), np.array(low), np.array(close), out)
    assert_matches(out, ref.atr(period, high, low, close, out_length=out.shape[0]))
    return out


# --- SMA -------------------------------------------------------------------------------------


def test_sma_period_one_is_a_running_sum():
    out = sma(1, [1e16, 1.0, 0.0, 3.0])
    assert out[0] == 1e16
    assert out[1] == 0.0  # not 1.0: the sum is carried, never recomputed
    assert out[2] == -1.0


def test_sma_nan_stays_after_leaving_the_window():
    out = sma(2, [1.0, 2.0, NAN, 4.0, 5.0, 6.0, 7.0])
    bits = array_bits(out)
    assert bits[0] == HOLE_BITS
    assert not is_nan_bits(bits[1])
    assert all(is_nan_bits(b) for b in bits[2:])


def test_sma_infinity_is_infinite_in_the_window_then_nan():
    out = sma(2, [1.0, 2.0, INF, 4.0, 5.0, 6.0])
    assert out[2] == INF and out[3] == INF
    assert all(np.isnan(out[4:]))


def test_sma_negative_zeros():
    out = sma(2, [-0.0, -0.0, -0.0])
    assert float_bits(out[1]) == float_bits(-0.0)
    assert float_bits(out[2]) == float_bits(0.0)


# --- EMA -------------------------------------------------------------------------------------


def test_ema_period_one():
    out = ema(1, [NAN, 2.0, INF, 5.0, -INF, 1e308])
    bits = array_bits(out)
    assert bits[0] == bits[2] == bits[4] == HOLE_BITS
    assert out[1] == 2.0 and out[3] == 5.0 and out[5] == 1e308


def test_ema_seed_skips_windows_with_non_finite_values():
    out = ema(3, [1.0, INF, 2.0, 3.0, 4.0, NAN, 8.0])
    bits = array_bits(out)
    assert bits[:4] == [HOLE_BITS] * 4
    assert out[4] == 3.0  # (2 + 3 + 4) / 3 seeds at index 4
    assert bits[5] == HOLE_BITS  # a gap after the seed stays a gap
    assert out[6] == 0.5 * 3.0 + 0.5 * 8.0


def test_ema_window_moves_one_step_at_a_time():
    # The search advances by one position, so it re-tests windows that still
    # hold the offending value; the result is the same first clean window.
    out = ema(2, [NAN, NAN, 1.0, 2.0])
    assert array_bits(out)[:3] == [HOLE_BITS] * 3
    assert out[3] == 1.5


def test_ema_without_a_clean_window_is_all_nan():
    out = ema(3, [1.0, 2.0, NAN, 4.0, 5.0, INF, 7.0])
    assert array_bits(out) == [HOLE_BITS] * 7


def test_ema_period_equal_to_length_with_a_non_finite_value():
    out = ema(4, [1.0, 2.0, -INF, 4.0])
    assert array_bits(out) == [HOLE_BITS] * 4


def test_ema_negative_zero_seed():
    out = ema(2, [-0.0, -0.0, 1.0])
    assert float_bits(out[1]) == float_bits(-0.0)


def test_ema_seed_sum_overflow():
    out = ema(2, [1e308, 1e308, 1.0])
    assert out[1] == INF
    assert out[2] == INF


# --- MACD ------------------------------------------------------------------------------------


def test_macd_nan_input_after_seeding_is_a_gap():
    data = [1.0, 2.0, 4.0, 8.0, NAN, 16.0, 32.0]
    outs = macd(2, 3, 2, data)
    for out in outs:
        assert array_bits(out)[4] == HOLE_BITS
    gapless = macd(2, 3, 2, [1.0, 2.0, 4.0, 8.0, 16.0, 32.0])
    for out, ref_out in zip(outs, gapless):
        assert array_bits(out)[5:] == array_bits(ref_out)[4:]


def test_macd_nan_in_the_first_slow_window_poisons_everything():
    outs = macd(2, 4, 2, [1.0, NAN, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0])
    assert all(np.isnan(outs[0]))
    assert array_bits(outs[2]) == [HOLE_BITS] * 8


def test_macd_reseeds_after_opposite_infinities():
    data = [1.0, 2.0, 3.0, INF, -INF, 5.0, 6.0, 7.0]
    m, s, h = macd(1, 2, 2, data)
    assert np.isnan(m[3]) and np.isnan(m[4])
    assert array_bits(h)[3:5] == [HOLE_BITS, HOLE_BITS]
    # position 5 seeds again from the raw windows: F = 5, S = (5 + -inf) / 2
    assert m[5] == INF
    # and the signal restarts as the MACD value itself
    assert s[5] == INF
    assert is_nan_bits(array_bits(h)[5])


def test_macd_recovers_when_the_fast_average_turns_nan_on_a_finite_value():
    # fast 1 has beta 0: after +inf, F = 0 * inf + x is NaN at the next
    # finite x, so the position after that re-seeds from clean windows
    data = [1.0, 2.0, 3.0, 5.0, INF, NAN, 7.0, 11.0, 13.0]
    m, s, h = macd(1, 2, 2, data)
    assert array_bits(m)[5] == array_bits(s)[5] == array_bits(h)[5] == HOLE_BITS
    assert np.isnan(m[6]) and np.isnan(s[6]) and array_bits(h)[6] == HOLE_BITS
    assert m[7] == 11.0 - (11.0 + 7.0) / 2.0
    # the signal restarts as that MACD value, then averages again
    assert float_bits(s[7]) == float_bits(m[7])
    assert float_bits(h[7]) == float_bits(0.0)
    alpha = 2.0 / 3.0
    assert float_bits(s[8]) == float_bits((1.0 - alpha) * s[7] + alpha * m[8])


@pytest.mark.parametrize("signal", [1, 2, 3, 5])
def test_macd_signal_starts_at_slow_plus_signal_minus_two(signal):
    data = list(np.linspace(1.0, 30.0, 12) ** 1.5)
    m, s, h = macd(2, 4, signal, data)
    start = 4 + signal - 2
    assert array_bits(s)[:start] == [HOLE_BITS] * start
    assert array_bits(h)[:start] == [HOLE_BITS] * start
    assert float_bits(s[start]) == float_bits(m[start])
    assert float_bits(h[start]) == float_bits(0.0)
    assert array_bits(m)[:3] == [HOLE_BITS] * 3 and not np.isnan(m[3])


def test_macd_infinity_enters_both_averages():
    m, s, h = macd(2, 3, 2, [1.0, 2.0, 3.0, 4.0, INF, 6.0])
    assert np.isnan(m[4])  # inf - inf
    assert np.isnan(m[5])


# --- ATR --------------------------------------------------------------------------------------


def test_atr_nan_previous_close_is_ignored():
    out = atr(1, [10.0, 11.0, 12.0], [9.0, 10.0, NAN], [NAN, 10.5, 11.0])
    assert array_bits(out) == [HOLE_BITS, float_bits(1.0), float_bits(1.5)]


def test_atr_nan_low_uses_the_other_candidates():
    out = atr(2, [10.0, 11.0, 13.0, 12.0], [9.0, NAN, NAN, 11.0], [9.5, 10.0, 12.0, 11.5])
    # TR(1) = max(NaN, |11 - 9.5|, NaN) = 1.5 ; TR(2) = |13 - 10| = 3
    assert out[2] == (1.5 + 3.0) / 2.0


def test_atr_high_below_low_with_nan_close_is_negative():
    out = atr(1, [0.0, 5.0, 6.0], [0.0, 7.0, 6.5], [NAN, NAN, 6.0])
    assert out[1] == -2.0


def test_atr_all_candidates_nan_poisons_the_rest():
    out = atr(1, [1.0, NAN, 3.0, 4.0], [1.0, NAN, 2.0, 3.0], [NAN, 1.0, 2.0, 3.0])
    bits = array_bits(out)
    assert bits[0] == HOLE_BITS
    assert all(is_nan_bits(b) for b in bits[1:])


def test_atr_signed_zero_ranges():
    # all candidates zero: maxNum prefers +0 over -0
    out = atr(1, [0.0, -0.0, -0.0], [0.0, -0.0, 0.0], [0.0, 0.0, -0.0])
    assert float_bits(out[1]) == float_bits(0.0)


def test_atr_period_one_moves_all_the_way_up_to_rounding():
    out = atr(1, [0.0, 1e16, 1.0, 3.0], [0.0] * 4, [0.0] * 4)
    assert out[1] == 1e16
    assert out[2] == 1e16 + (1.0 * (1.0 - 1e16))


def test_atr_period_n_minus_one_gives_the_last_value_only():
    high = [0.0, 1.0, 2.0, 4.0, 8.0]
    out = atr(4, high, [0.0] * 5, [0.0] * 5)
    assert array_bits(out)[:4] == [HOLE_BITS] * 4
    assert out[4] == 15.0 / 4.0


def test_atr_bar_zero_high_and_low_are_never_read():
    a = atr(2, [NAN, 3.0, 4.0, 5.0], [INF, 1.0, 2.0, 3.0], [2.0, 2.5, 3.5, 4.5])
    b = atr(2, [-7.0, 3.0, 4.0, 5.0], [99.0, 1.0, 2.0, 3.0], [2.0, 2.5, 3.5, 4.5])
    assert array_bits(a) == array_bits(b)


def test_atr_empty_inputs_fill_the_output():
    out = atr(3, [], [], [], m=4)
    assert array_bits(out) == [HOLE_BITS] * 4


# --- bounds ----------------------------------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("shift", [-1, 0, 1])
def test_nothing_is_written_past_an_output(name, shift):
    # periods around the length, where a kernel's last write is easiest to get wrong;
    # each output ends just before a sentinel that the heap would not notice
    n = 8
    arguments = valid_arguments(name, n)
    longest = [key for key in arguments if "period" in key][-1]
    arguments[longest] = n + shift
    if name == "indicator_macd":
        arguments["fast_period"] = 2
    padded = {}
    for key, value in arguments.items():
        if key in ("output", "macd_output", "signal_output", "hist_output"):
            padded[key] = sentinel_array(n + 1)
            arguments[key] = padded[key][:n]
    getattr(marundex, name)(*arguments.values())
    for key, expected in expected_outputs(name, arguments).items():
        assert_matches(arguments[key], expected, key)
        assert array_bits(padded[key])[n] == SENTINEL_BITS, key
