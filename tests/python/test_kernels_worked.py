"""The worked values of the four kernels, bit for bit, through the module."""

import numpy as np
import pytest

from reference import HOLE
from support import HOLE_BITS, array_bits, assert_matches, float_bits, sentinel_array

marundex = pytest.importorskip("marundex")

NAN = float("nan")


def test_sma_worked_values():
    out = sentinel_array(4)
    marundex.indicator_sma(3, np.array([1.0, 2.0, 4.0, 8.0]), out)
    assert array_bits(out) == [HOLE_BITS, HOLE_BITS, float_bits(2.333333333333333), float_bits(4.666666666666666)]
    # the products with the reciprocal, not the divisions
    assert out[2] != 7.0 / 3.0 and out[3] != 14.0 / 3.0


def test_ema_worked_values():
    out = sentinel_array(4)
    marundex.indicator_ema(3, np.array([1.0, 2.0, 4.0, 8.0]), out)
    assert array_bits(out) == [HOLE_BITS, HOLE_BITS, float_bits(2.3333333333333335), float_bits(5.166666666666667)]


def test_macd_worked_values():
    outs = [sentinel_array(4) for _ in range(3)]
    marundex.indicator_macd(2, 3, 2, np.array([1.0, 2.0, 4.0, 8.0]), *outs)
    assert array_bits(outs[0]) == [HOLE_BITS, HOLE_BITS, float_bits(0.6666666666666665), float_bits(1.166666666666666)]
    assert array_bits(outs[1]) == [HOLE_BITS, HOLE_BITS, HOLE_BITS, float_bits(1.166666666666666)]
    assert array_bits(outs[2]) == [HOLE_BITS, HOLE_BITS, HOLE_BITS, float_bits(0.0)]


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
        (2, [10.0, 11.0, 12.0, 13.0], [9.0, 9.5, 10.0, 12.0], [9.5, 10.5, 11.0, 12.5], [HOLE, HOLE, 1.75, 1.875]),
        (1, [10.0, 11.0, 12.0], [9.0, 10.0, NAN], [NAN, 10.5, 11.0], [HOLE, 1.0, 1.5]),
    ],
    ids=["powers-of-two", "bars", "nan-candidates"],
)
def test_atr_worked_values(period, high, low, close, expected):
    out = sentinel_array(len(high))
    marundex.indicator_atr(period, np.array(high), np.array(low), np.array(close), out)
    assert_matches(out, expected)


def test_atr_first_value_is_the_division():
    out = sentinel_array(4)
    marundex.indicator_atr(3, np.array([0.0, 1.0, 2.0, 4.0]), np.zeros(4), np.zeros(4), out)
    assert float_bits(out[3]) == float_bits(2.3333333333333335)


@pytest.mark.parametrize("name", ["indicator_sma", "indicator_ema"])
@pytest.mark.parametrize("period", [0, 5, 6, 2**64 - 1])
def test_unusable_periods_give_nan_throughout(name, period):
    out = sentinel_array(4)
    getattr(marundex, name)(period, np.arange(1.0, 5.0), out)
    assert array_bits(out) == [HOLE_BITS] * 4


@pytest.mark.parametrize("period", [0, 4, 5, 2**64 - 1])
def test_atr_unusable_periods_give_nan_throughout(period):
    out = sentinel_array(6)
    marundex.indicator_atr(period, np.arange(4.0), np.zeros(4), np.zeros(4), out)
    assert array_bits(out) == [HOLE_BITS] * 6


def test_period_equal_to_length():
    data = np.array([1.0, 2.0, 4.0, 8.0])
    out = sentinel_array(4)
    marundex.indicator_sma(4, data, out)
    assert array_bits(out) == [HOLE_BITS] * 3 + [float_bits(0.25 * 15.0)]
    marundex.indicator_ema(4, data, out)
    assert array_bits(out) == [HOLE_BITS] * 3 + [float_bits(15.0 / 4.0)]
    out = sentinel_array(5)
    marundex.indicator_atr(4, np.array([0.0, 1.0, 2.0, 4.0, 8.0]), np.zeros(5), np.zeros(5), out)
    assert array_bits(out) == [HOLE_BITS] * 4 + [float_bits(15.0 / 4.0)]


def test_macd_input_shorter_than_slow_period():
    outs = [sentinel_array(4) for _ in range(3)]
    marundex.indicator_macd(3, 5, 2, np.arange(4.0), *outs)
    for out in outs:
        assert array_bits(out) == [HOLE_BITS] * 4


def test_macd_huge_signal_period_never_starts_the_signal():
    data = np.arange(1.0, 11.0) ** 2
    for signal in (2**64 - 1, 2**64 - 2, 2**63):
        outs = [sentinel_array(10) for _ in range(3)]
        marundex.indicator_macd(2, 3, signal, data, *outs)
        assert array_bits(outs[1]) == [HOLE_BITS] * 10, signal
        assert array_bits(outs[2]) == [HOLE_BITS] * 10, signal
        assert array_bits(outs[0])[:2] == [HOLE_BITS] * 2
        assert all(v == v for v in outs[0][2:])


def test_macd_signal_period_one_starts_at_the_slow_seed():
    data = np.arange(1.0, 9.0) ** 2
    outs = [sentinel_array(8) for _ in range(3)]
    marundex.indicator_macd(2, 3, 1, data, *outs)
    # T = 3 + 1 - 2 = 2: the signal starts with the line itself, and alpha is 1
    assert array_bits(outs[1])[:2] == [HOLE_BITS] * 2
    assert float_bits(outs[1][2]) == float_bits(outs[0][2])
    assert float_bits(outs[2][2]) == float_bits(0.0)
