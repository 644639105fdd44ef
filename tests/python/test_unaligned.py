"""Arrays over byte buffers at odd offsets behave exactly like aligned ones."""

import numpy as np
import pytest

from support import array_bits, series, unaligned

marundex = pytest.importorskip("marundex")

N = 37


def aligned_and_odd(values):
    return np.array(values, dtype=np.float64), unaligned(values)


@pytest.mark.parametrize("name", ["indicator_sma", "indicator_ema"])
@pytest.mark.parametrize("where", ["input", "output", "both"])
def test_moving_averages(name, where):
    data = series(N, seed=2)
    data[5] = np.nan
    expected = np.empty(N)
    getattr(marundex, name)(4, data, expected)
    d = unaligned(data) if where in ("input", "both") else data.copy()
    out = unaligned(np.zeros(N)) if where in ("output", "both") else np.zeros(N)
    assert not (d.flags.aligned and out.flags.aligned)
    getattr(marundex, name)(4, d, out)
    assert array_bits(out) == array_bits(expected)


@pytest.mark.parametrize("where", ["input", "outputs", "both"])
def test_macd(where):
    data = series(N, seed=3)
    expected = [np.empty(N) for _ in range(3)]
    marundex.indicator_macd(3, 8, 4, data, *expected)
    d = unaligned(data) if where in ("input", "both") else data.copy()
    outs = [unaligned(np.zeros(N)) if where in ("outputs", "both") else np.zeros(N) for _ in range(3)]
    marundex.indicator_macd(3, 8, 4, d, *outs)
    for out, exp in zip(outs, expected):
        assert array_bits(out) == array_bits(exp)


@pytest.mark.parametrize("which", ["high", "low", "close", "output", "all"])
def test_atr(which):
    close = series(N, seed=4)
    arrays = {"high": close + 1.0, "low": close - 1.0, "close": close}
    expected = np.empty(N)
    marundex.indicator_atr(5, arrays["high"], arrays["low"], arrays["close"], expected)
    odd = {k: (unaligned(v) if which in (k, "all") else v.copy()) for k, v in arrays.items()}
    out = unaligned(np.zeros(N)) if which in ("output", "all") else np.zeros(N)
    marundex.indicator_atr(5, odd["high"], odd["low"], odd["close"], out)
    assert array_bits(out) == array_bits(expected)


def test_unaligned_output_neighbours_are_untouched():
    raw = bytearray(b"\xa5" * (8 * 6 + 2))
    out = np.frombuffer(raw, dtype=np.float64, offset=1, count=6)
    marundex.indicator_sma(2, np.arange(6.0), out)
    assert raw[0] == 0xA5 and raw[-1] == 0xA5
    assert out[1] == 0.5


def test_unaligned_in_place_is_refused_untouched():
    values = series(N, seed=5)
    arr = unaligned(values)
    with pytest.raises(ValueError) as info:
        marundex.indicator_sma(3, arr, arr)
    assert info.value.args == ("Output array must not share memory with the input array",)
    assert array_bits(arr) == array_bits(values)
