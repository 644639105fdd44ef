"""The plain-Python kernels reproduce every worked value of marundex's kernels.

These checks need no native module: they keep reference.py honest, so that
the bit-for-bit comparisons elsewhere compare against the right thing.
"""

import math

import pytest

import reference as ref
from reference import HOLE, is_hole
from support import float_bits

NAN = float("nan")
INF = float("inf")


def same(got, want):
    """Holes where holes are due, NaN where NaN is due, identical bits elsewhere."""
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if is_hole(w):
            assert is_hole(g), (got, want)
        elif w != w:
            assert g != g and not is_hole(g), (got, want)
        else:
            assert not is_hole(g) and float_bits(g) == float_bits(w), (got, want)


@pytest.mark.parametrize(
    "fn, data, expected",
    [
        (ref.sma, [1.0, 2.0, 4.0, 8.0], [HOLE, HOLE, 2.333333333333333, 4.666666666666666]),
        (ref.ema, [1.0, 2.0, 4.0, 8.0], [HOLE, HOLE, 2.3333333333333335, 5.166666666666667]),
    ],
    ids=["sma", "ema"],
)
def test_moving_average_worked_values(fn, data, expected):
    same(fn(3, data), expected)


def test_sma_uses_the_reciprocal_not_a_division():
    # The worked values differ from the plain divisions in the last bit.
    assert float_bits((1.0 / 3.0) * 7.0) == float_bits(2.333333333333333)
    assert float_bits(7.0 / 3.0) == float_bits(2.3333333333333335)
    assert float_bits(14.0 / 3.0) == float_bits(4.666666666666667)
    assert ref.sma(3, [1.0, 2.0, 4.0, 8.0])[3] != 14.0 / 3.0


def test_macd_worked_values():
    m, s, h = ref.macd(2, 3, 2, [1.0, 2.0, 4.0, 8.0])
    same(m, [HOLE, HOLE, 0.6666666666666665, 1.166666666666666])
    same(s, [HOLE, HOLE, HOLE, 1.166666666666666])
    same(h, [HOLE, HOLE, HOLE, 0.0])
    assert float_bits(h[3]) == float_bits(0.0)


def test_macd_worked_seeds():
    # At i = 2 the seeds are (4 + 2) / 2 and (4 + 2 + 1) / 3.
    m, _, _ = ref.macd(2, 3, 2, [1.0, 2.0, 4.0])
    assert float_bits(m[2]) == float_bits(3.0 - (4.0 + 2.0 + 1.0) / 3.0)
    alpha_fast = 2.0 / 3.0
    fast = (1.0 - alpha_fast) * 3.0 + alpha_fast * 8.0
    slow = 0.5 * ((4.0 + 2.0 + 1.0) / 3.0) + 0.5 * 8.0
    m, _, _ = ref.macd(2, 3, 2, [1.0, 2.0, 4.0, 8.0])
    assert float_bits(m[3]) == float_bits(fast - slow)


@pytest.mark.parametrize(
    "period, high, low, close, expected",
    [
        (
            3,
            [0.0, 1.0, 2.0, 4.0, 8.0, 16.0],
            [0.0] * 6,
            [0.0] * 6,
            [HOLE, HOLE, HOLE, 2.3333333333333335, 4.222222222222222, 8.148148148148149],
        ),
        (
            2,
            [10.0, 11.0, 12.0, 13.0],
            [9.0, 9.5, 10.0, 12.0],
            [9.5, 10.5, 11.0, 12.5],
            [HOLE, HOLE, 1.75, 1.875],
        ),
        (
            1,
            [10.0, 11.0, 12.0],
            [9.0, 10.0, NAN],
            [NAN, 10.5, 11.0],
            [HOLE, 1.0, 1.5],
        ),
    ],
    ids=["powers-of-two", "bars", "nan-candidates"],
)
def test_atr_worked_values(period, high, low, close, expected):
    same(ref.atr(period, high, low, close), expected)


def test_atr_first_value_is_a_true_division():
    assert float_bits((1.0 / 3.0) * 7.0) == float_bits(2.333333333333333)
    assert ref.atr(3, [0.0, 1.0, 2.0, 4.0], [0.0] * 4, [0.0] * 4)[3] == 7.0 / 3.0


def test_atr_true_ranges_of_the_bar_example():
    high, low, close = [10.0, 11.0, 12.0, 13.0], [9.0, 9.5, 10.0, 12.0], [9.5, 10.5, 11.0, 12.5]
    assert [ref.true_range(high, low, close, i) for i in (1, 2, 3)] == [1.5, 2.0, 2.0]


def test_maxnum_rules():
    assert ref.maxnum(NAN, 1.0) == 1.0
    assert ref.maxnum(1.0, NAN) == 1.0
    assert math.isnan(ref.maxnum(NAN, NAN))
    for a, b in [(0.0, -0.0), (-0.0, 0.0), (0.0, 0.0)]:
        assert float_bits(ref.maxnum(a, b)) == float_bits(0.0)
    assert float_bits(ref.maxnum(-0.0, -0.0)) == float_bits(-0.0)
    assert ref.maxnum(-3.0, -2.0) == -2.0
    assert ref.maxnum(INF, 1.0) == INF


def test_atr_negative_range_with_nan_previous_close():
    # high below low and a NaN close before: the plain difference wins.
    out = ref.atr(1, [0.0, 5.0, 5.0], [0.0, 7.0, 7.0], [NAN, NAN, 6.0])
    assert out[1] == -2.0
    assert is_hole(out[0])


def test_atr_all_candidates_nan_poisons_the_rest():
    out = ref.atr(1, [1.0, NAN, 3.0, 4.0], [1.0, NAN, 2.0, 3.0], [NAN, 1.0, 2.0, 3.0])
    assert is_hole(out[0])
    assert all(v != v and not is_hole(v) for v in out[1:])


@pytest.mark.parametrize("fn", [ref.sma, ref.ema], ids=["sma", "ema"])
@pytest.mark.parametrize("period", [0, 6, 7, 2**64 - 1])
def test_unusable_periods_give_holes(fn, period):
    assert all(is_hole(v) for v in fn(period, [1.0, 2.0, 3.0, 4.0, 5.0]))


def test_atr_unusable_periods_give_holes_for_any_output_length():
    for period in (0, 3, 4):
        for m in (0, 1, 3, 6):
            out = ref.atr(period, [1.0, 2.0, 3.0], [0.0] * 3, [0.0] * 3, out_length=m)
            assert len(out) == m and all(is_hole(v) for v in out)


def test_atr_longer_output_keeps_holes_past_the_inputs():
    out = ref.atr(1, [1.0, 2.0, 3.0], [0.0] * 3, [0.0] * 3, out_length=5)
    assert is_hole(out[3]) and is_hole(out[4]) and not is_hole(out[2])


def test_sma_period_one_running_sum_differs_from_input():
    out = ref.sma(1, [1e16, 1.0, 0.0])
    assert out[0] == 1e16
    assert out[1] == 0.0  # 1e16 + (1.0 - 1e16) rounds to 0, not 1
    assert out[2] == -1.0


def test_sma_nan_poisons_everything_after():
    out = ref.sma(2, [1.0, NAN, 3.0, 4.0, 5.0])
    assert is_hole(out[0])
    assert all(v != v and not is_hole(v) for v in out[1:])


def test_sma_infinity_gives_inf_then_nan():
    out = ref.sma(2, [1.0, INF, 3.0, 4.0, 5.0])
    assert out[1] == INF and out[2] == INF
    assert all(v != v for v in out[3:])


def test_ema_period_one_and_nonfinite_inputs():
    out = ref.ema(1, [NAN, 2.0, INF, 5.0, -INF])
    assert is_hole(out[0]) and is_hole(out[2]) and is_hole(out[4])
    assert out[1] == 2.0 and out[3] == 5.0


def test_ema_seed_window_skips_nonfinite():
    out = ref.ema(2, [1.0, INF, 3.0, 5.0, NAN, 9.0])
    # window [1, inf] refused, [inf, 3] refused, [3, 5] seeds at index 3
    assert [is_hole(v) for v in out] == [True, True, True, False, True, False]
    assert out[3] == 4.0
    alpha = 2.0 / 3.0
    assert float_bits(out[5]) == float_bits((1.0 - alpha) * 4.0 + alpha * 9.0)


def test_ema_no_finite_window_leaves_holes():
    assert all(is_hole(v) for v in ref.ema(3, [1.0, NAN, 2.0, 3.0, INF, 4.0]))


def test_negative_zero_windows():
    assert float_bits(ref.ema(2, [-0.0, -0.0])[1]) == float_bits(-0.0)
    assert float_bits(ref.sma(2, [-0.0, -0.0])[1]) == float_bits(-0.0)
    # the running sum turns it positive: -0.0 + (-0.0 - -0.0) is +0.0
    assert float_bits(ref.sma(2, [-0.0, -0.0, -0.0])[2]) == float_bits(0.0)


def test_macd_nan_after_seeding_is_skipped():
    data = [1.0, 2.0, 4.0, 8.0, NAN, 16.0]
    m, s, h = ref.macd(2, 3, 2, data)
    assert is_hole(m[4]) and is_hole(s[4]) and is_hole(h[4])
    m2, s2, h2 = ref.macd(2, 3, 2, [1.0, 2.0, 4.0, 8.0, 16.0])
    assert float_bits(m[5]) == float_bits(m2[4])
    assert float_bits(s[5]) == float_bits(s2[4])


def test_macd_nan_in_first_window_poisons_slow_average():
    m, s, h = ref.macd(2, 3, 2, [1.0, NAN, 4.0, 8.0, 16.0, 32.0])
    assert is_hole(m[0]) and is_hole(m[1])
    assert all(v != v for v in m)


def test_macd_reseeds_after_opposite_infinities_and_restarts_signal():
    # fast 1, slow 2, signal 2: the signal starts at T = 2.
    data = [1.0, 2.0, 3.0, INF, -INF, 5.0, 6.0, 7.0]
    m, s, h = ref.macd(1, 2, 2, data)
    assert float_bits(s[2]) == float_bits(m[2]) and h[2] == 0.0
    assert m[3] != m[3] and s[3] != s[3] and is_hole(h[3])  # inf - inf
    assert m[4] != m[4] and s[4] != s[4] and is_hole(h[4])  # F = 0 * inf + -inf
    # position 5 re-seeds from the raw windows: F = 5, S = (5 + -inf) / 2
    assert m[5] == INF
    # and the signal restarts as the MACD value itself, not as an average
    assert s[5] == INF
    assert h[5] != h[5] and not is_hole(h[5])  # inf - inf, computed
    assert m[7] == INF and s[7] == INF


def test_macd_recovers_after_a_nan_fast_average_on_a_finite_value():
    m, s, h = ref.macd(1, 2, 2, [1.0, 2.0, 3.0, 5.0, INF, NAN, 7.0, 11.0, 13.0])
    assert is_hole(m[5]) and m[6] != m[6]
    assert m[7] == 2.0 and s[7] == 2.0 and h[7] == 0.0
    alpha = 2.0 / 3.0
    assert float_bits(s[8]) == float_bits((1.0 - alpha) * 2.0 + alpha * m[8])


def test_macd_never_reseeds_while_the_fast_average_is_a_number():
    # a NaN in the first slow window leaves S NaN for good; F is never NaN
    m, s, h = ref.macd(2, 4, 2, [1.0, NAN, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0])
    assert all(v != v for v in m)
    assert all(is_hole(v) for v in h)


def test_macd_huge_signal_period_never_starts_the_signal():
    m, s, h = ref.macd(2, 3, 2**64 - 1, [float(i) for i in range(10)])
    assert all(not is_hole(v) for v in m[2:])
    assert all(is_hole(v) for v in s) and all(is_hole(v) for v in h)


def test_macd_short_input_is_all_holes():
    m, s, h = ref.macd(3, 5, 2, [1.0, 2.0, 3.0, 4.0])
    assert all(is_hole(v) for v in m + s + h)


def test_aliasing_sma_and_ema_in_place():
    for fn in (ref.sma_into, ref.ema_into):
        arr = [1.0, 2.0, 3.0, 4.0]
        fn(2, arr, arr)
        assert all(v != v for v in arr)


def test_aliasing_atr_output_as_high():
    high = [5.0, 6.0, 7.0, 8.0]
    low = [1.0, 2.0, 3.0, 4.0]
    close = [2.0, 2.5, 4.0, 5.0]
    ref.atr_into(1, high, low, close, high)
    # every high reads back as NaN, so each true range is |low[i] - close[i-1]|
    assert high[1] == 0.0
    assert high[2] == 0.5
    assert float_bits(high[3]) == float_bits(high[2] + (1.0 * (0.0 - high[2])))
