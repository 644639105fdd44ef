"""One array in several roles: nothing refuses it, and the step order decides."""

import numpy as np
import pytest

import reference as ref
from support import HOLE_BITS, array_bits, assert_matches, series

marundex = pytest.importorskip("marundex")

PERIODS = [0, 1, 2, 5, 11, 12, 13]


@pytest.mark.parametrize("name, kernel", [("indicator_sma", ref.sma_into), ("indicator_ema", ref.ema_into)])
@pytest.mark.parametrize("period", PERIODS)
def test_data_as_output_ends_all_nan(name, kernel, period):
    arr = series(12, seed=period)
    expected = arr.tolist()
    kernel(period, expected, expected)
    getattr(marundex, name)(period, arr, arr)
    assert_matches(arr, expected)
    assert all(np.isnan(arr))


def test_ema_in_place_is_holes_throughout():
    arr = series(12)
    marundex.indicator_ema(3, arr, arr)
    assert array_bits(arr) == [HOLE_BITS] * 12


@pytest.mark.parametrize("role", ["macd", "signal", "hist"])
@pytest.mark.parametrize("periods", [(1, 2, 1), (2, 3, 2), (3, 7, 4), (2, 13, 2)])
def test_macd_data_as_one_output(role, periods):
    n = 12
    arr = series(n, seed=sum(periods))
    outs = {"macd": np.zeros(n), "signal": np.zeros(n), "hist": np.zeros(n)}
    outs[role] = arr
    model = arr.tolist()
    model_outs = {k: (model if k == role else [0.0] * n) for k in outs}
    ref.macd_into(*periods, model, model_outs["macd"], model_outs["signal"], model_outs["hist"])
    marundex.indicator_macd(*periods, arr, outs["macd"], outs["signal"], outs["hist"])
    for k in outs:
        assert_matches(outs[k], model_outs[k], k)


@pytest.mark.parametrize("periods", [(1, 2, 1), (2, 3, 2), (3, 7, 4)])
def test_macd_one_array_for_all_outputs(periods):
    n = 12
    data = series(n, seed=1)
    shared = np.zeros(n)
    model = [0.0] * n
    ref.macd_into(*periods, data.tolist(), model, model, model)
    marundex.indicator_macd(*periods, data, shared, shared, shared)
    assert_matches(shared, model)


@pytest.mark.parametrize("periods", [(1, 2, 1), (2, 3, 2)])
def test_macd_data_as_every_output(periods):
    arr = series(10, seed=4)
    model = arr.tolist()
    ref.macd_into(*periods, model, model, model, model)
    marundex.indicator_macd(*periods, arr, arr, arr, arr)
    assert_matches(arr, model)


def atr_case(seed, n=10):
    rng = np.random.default_rng(seed)
    close = rng.normal(20.0, 1.0, n)
    return close + rng.uniform(0.0, 1.0, n), close - rng.uniform(0.0, 1.0, n), close


@pytest.mark.parametrize("role", ["high", "low", "close"])
@pytest.mark.parametrize("period", [0, 1, 2, 4, 9, 10])
def test_atr_output_as_one_input(role, period):
    high, low, close = atr_case(period)
    arrays = {"high": high, "low": low, "close": close}
    model = {k: v.tolist() for k, v in arrays.items()}
    ref.atr_into(period, model["high"], model["low"], model["close"], model[role])
    marundex.indicator_atr(period, high, low, close, arrays[role])
    for k in arrays:
        assert_matches(arrays[k], model[k], k)


def test_atr_output_as_high_uses_only_low_against_previous_close():
    high, low, close = atr_case(7)
    lows, closes = low.tolist(), close.tolist()
    marundex.indicator_atr(1, high, low, close, high)
    assert array_bits(high)[0] == HOLE_BITS
    assert high[1] == abs(lows[1] - closes[0])


@pytest.mark.parametrize("period", [1, 3, 9])
def test_atr_same_array_as_high_low_and_close(period):
    arr = series(10, seed=period)
    out = np.zeros(10)
    model = arr.tolist()
    expected = [0.0] * 10
    ref.atr_into(period, model, model, model, expected)
    marundex.indicator_atr(period, arr, arr, arr, out)
    assert_matches(out, expected)
    # with high == low == close, TR(i) = max(0, |x_i - x_{i-1}|, |x_i - x_{i-1}|)
    assert out[period] == sum(abs(model[i] - model[i - 1]) for i in range(1, period + 1)) / period


@pytest.mark.parametrize("period", [1, 3])
def test_atr_same_array_everywhere(period):
    arr = series(10, seed=period)
    model = arr.tolist()
    ref.atr_into(period, model, model, model, model)
    marundex.indicator_atr(period, arr, arr, arr, arr)
    assert_matches(arr, model)


def test_overlapping_views_as_data_and_output():
    backing = series(20, seed=9)
    data, out = backing[0:12], backing[4:16]
    model = backing.tolist()
    view_in = _ListView(model, 0, 12)
    view_out = _ListView(model, 4, 12)
    ref.sma_into(3, view_in, view_out)
    marundex.indicator_sma(3, data, out)
    assert_matches(backing, model)


class _ListView:
    """A window onto a list, so the reference sees overlapping memory too."""

    def __init__(self, items, start, length):
        self.items, self.start, self.length = items, start, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[self.start + i]

    def __setitem__(self, i, value):
        self.items[self.start + i] = value
