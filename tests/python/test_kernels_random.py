"""Random series through the four functions, compared bit for bit with reference.py."""

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import reference as ref  # noqa: E402
from support import assert_matches, bits_float, sentinel_array  # noqa: E402

marundex = pytest.importorskip("marundex")

SPECIAL = [
    float("nan"),
    bits_float(0xFFF8000000000000),  # negative quiet NaN
    bits_float(0x7FF8000000000001),  # quiet NaN with a payload
    bits_float(0x7FF0000000000001),  # signalling NaN
    float("inf"),
    float("-inf"),
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e300,
    -1e300,
    1e-300,
]

values = st.one_of(
    st.sampled_from(SPECIAL),
    st.floats(allow_nan=False, allow_infinity=False),
    st.floats(min_value=-1e6, max_value=1e6, allow_nan=False),
    st.integers(min_value=-1000, max_value=1000).map(float),
)
finite_values = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
series = st.one_of(
    st.lists(values, max_size=40),
    st.lists(finite_values, max_size=40),
)


def draw_period(data, n):
    return data.draw(
        st.one_of(
            st.sampled_from(sorted({0, 1, max(n - 1, 0), n, n + 1})),
            st.integers(min_value=0, max_value=n + 3),
            st.just(2**64 - 1),
        ),
        label="period",
    )


def as_array(xs):
    return np.array(xs, dtype=np.float64)


@given(st.data(), series)
def test_sma_matches_reference(data, xs):
    period = draw_period(data, len(xs))
    out = sentinel_array(len(xs))
    marundex.indicator_sma(period, as_array(xs), out)
    assert_matches(out, ref.sma(period, xs))


@given(st.data(), series)
def test_ema_matches_reference(data, xs):
    period = draw_period(data, len(xs))
    out = sentinel_array(len(xs))
    marundex.indicator_ema(period, as_array(xs), out)
    assert_matches(out, ref.ema(period, xs))


@given(st.data(), series)
def test_macd_matches_reference(data, xs):
    fast = data.draw(st.integers(min_value=1, max_value=8), label="fast")
    slow = data.draw(st.integers(min_value=fast + 1, max_value=fast + 10), label="slow")
    signal = data.draw(
        st.one_of(st.integers(min_value=1, max_value=12), st.sampled_from([2**64 - 1, 2**64 - slow, 2**63])),
        label="signal",
    )
    outs = [sentinel_array(len(xs)) for _ in range(3)]
    marundex.indicator_macd(fast, slow, signal, as_array(xs), *outs)
    for out, expected, label in zip(outs, ref.macd(fast, slow, signal, xs), ("macd", "signal", "hist")):
        assert_matches(out, expected, label)


@given(st.data(), st.integers(min_value=0, max_value=30))
def test_atr_matches_reference(data, n):
    def column(label):
        return data.draw(st.lists(st.one_of(values, finite_values), min_size=n, max_size=n), label=label)

    high, low, close = column("high"), column("low"), column("close")
    period = draw_period(data, n)
    m = n + data.draw(st.sampled_from([0, 0, 1, 3]), label="extra")
    if 0 < period < n:
        m = max(m, n)
    out = sentinel_array(m)
    marundex.indicator_atr(period, as_array(high), as_array(low), as_array(close), out)
    assert_matches(out, ref.atr(period, high, low, close, out_length=m))


def long_mixture(seed, n=600):
    rng = np.random.default_rng(seed)
    xs = rng.normal(100.0, 10.0, n)
    scale = rng.choice([1.0, 1e-300, 1e300, 1e150], size=n, p=[0.85, 0.05, 0.05, 0.05])
    xs = xs * scale
    picks = rng.random(n)
    xs[picks < 0.02] = np.nan
    xs[(picks >= 0.02) & (picks < 0.025)] = np.inf
    xs[(picks >= 0.025) & (picks < 0.03)] = -np.inf
    xs[(picks >= 0.03) & (picks < 0.04)] = -0.0
    return xs


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("period", [1, 2, 7, 30, 599, 600, 601])
def test_long_series_sma_and_ema(seed, period):
    xs = long_mixture(seed)
    clean = np.random.default_rng(seed).normal(50.0, 5.0, xs.shape[0])
    for data in (xs, clean):
        out = sentinel_array(data.shape[0])
        marundex.indicator_sma(period, data, out)
        assert_matches(out, ref.sma(period, data.tolist()), "sma")
        marundex.indicator_ema(period, data, out)
        assert_matches(out, ref.ema(period, data.tolist()), "ema")


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("periods", [(12, 26, 9), (1, 2, 1), (5, 35, 5), (3, 599, 1), (2, 4, 600)])
def test_long_series_macd(seed, periods):
    for data in (long_mixture(seed), np.random.default_rng(seed).normal(50.0, 5.0, 600)):
        outs = [sentinel_array(data.shape[0]) for _ in range(3)]
        marundex.indicator_macd(*periods, data, *outs)
        for out, expected, label in zip(outs, ref.macd(*periods, data.tolist()), ("macd", "signal", "hist")):
            assert_matches(out, expected, label)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("period", [1, 2, 14, 598, 599, 600])
def test_long_series_atr(seed, period):
    rng = np.random.default_rng(seed + 100)
    close = rng.normal(100.0, 3.0, 600)
    high = close + rng.uniform(0.0, 2.0, 600)
    low = close - rng.uniform(0.0, 2.0, 600)
    messy = long_mixture(seed)
    for h, lo, c in ((high, low, close), (high, messy, close), (messy, low, high), (low, high, messy)):
        out = sentinel_array(600)
        marundex.indicator_atr(period, h, lo, c, out)
        assert_matches(out, ref.atr(period, h.tolist(), lo.tolist(), c.tolist()), "atr")


@given(st.data(), series, st.sampled_from(["SMA", "EMA", "MACD", "ATR"]))
def test_stream_in_any_runs_gives_the_batch_bits(data, xs, name):
    ms = pytest.importorskip("marundex_stream")
    from stream_cases import batch, feed, stream_type

    n = len(xs)
    if name == "MACD":
        fast = data.draw(st.integers(min_value=1, max_value=6), label="fast")
        periods = (fast, data.draw(st.integers(fast + 1, fast + 8), label="slow"),
                   data.draw(st.one_of(st.integers(1, 8), st.just(2**64 - 1)), label="signal"))
    else:
        periods = (draw_period(data, n),)
        if name == "SMA" and periods[0] > 2**24:
            periods = (n + 1,)
    inputs = [as_array(xs)]
    if name == "ATR":
        inputs = [as_array(data.draw(st.lists(values, min_size=n, max_size=n), label=label))
                  for label in ("high", "low")] + inputs
    cuts = []
    while sum(cuts) < n:
        cuts.append(data.draw(st.integers(0, n - sum(cuts)), label="run"))
    outs, previews = feed(stream_type(ms, name)(*periods), inputs, cuts)
    expected = [a.view(np.uint64).tolist() for a in batch(marundex, name, periods, inputs)]
    assert [a.view(np.uint64).tolist() for a in outs] == expected
    assert [a.view(np.uint64).tolist() for a in previews] == expected
