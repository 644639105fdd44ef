"""The stream types beside their batch: how to build, feed and compare them, shared
by the stream tests. The four have batch functions in marundex; a catalogue type's
batch is one update over the whole series on a new object."""

import collections
import functools

import numpy as np

# A catalogue type: its parameters with the smallest value each takes, its arrays,
# the periods the tables try, and TA-Lib's outputs in the order of ours, from TA-Lib,
# the inputs and the periods, and whether it keeps a window of inputs (whose length
# is bounded, so the longest periods are refused). Its plain statement is
# reference.<name in lower case>. A row of a type's keyword variant names the type
# and its keywords in `variant_of`.
Catalogued = collections.namedtuple("Catalogued", "parameters inputs outputs periods talib windowed variant_of",
                                    defaults=(False, None))

CATALOGUE = {
    "MACD_TALIB": Catalogued({"fast_period": 1, "slow_period": 2, "signal_period": 1}, ("data",),
                             ("macd_output", "signal_output", "hist_output"),
                             [(2, 3, 1), (3, 6, 4), (12, 26, 9), (5, 30, 2), (12, 26, 1), (2, 5, 2**64 - 1)],
                             lambda ta, inputs, periods: list(ta.MACD(*inputs, *periods)),
                             variant_of=("MACD", {"seed": "talib"})),
    "RSI": Catalogued({"period": 2}, ("data",), ("output",), [(2,), (3,), (14,), (50,), (300,), (2**64 - 1,)],
                      lambda ta, inputs, periods: [ta.RSI(*inputs, *periods)]),
    "WMA": Catalogued({"period": 1}, ("data",), ("output",), [(1,), (2,), (3,), (14,), (50,), (300,), (2**24,)],
                      lambda ta, inputs, periods: [ta.WMA(*inputs, *periods)], windowed=True),
    "DEMA": Catalogued({"period": 1}, ("data",), ("output",), [(1,), (2,), (3,), (14,), (50,), (2**64 - 1,)],
                       lambda ta, inputs, periods: [ta.DEMA(*inputs, *periods)]),
    "TEMA": Catalogued({"period": 1}, ("data",), ("output",), [(1,), (2,), (3,), (14,), (50,), (2**64 - 1,)],
                       lambda ta, inputs, periods: [ta.TEMA(*inputs, *periods)]),
    "MOM": Catalogued({"period": 1}, ("data",), ("output",), [(1,), (2,), (10,), (299,), (300,), (2**24,)],
                      lambda ta, inputs, periods: [ta.MOM(*inputs, *periods)], windowed=True),
    "ROC": Catalogued({"period": 1}, ("data",), ("output",), [(1,), (2,), (10,), (299,), (300,), (2**24,)],
                      lambda ta, inputs, periods: [ta.ROC(*inputs, *periods)], windowed=True),
    "STDDEV": Catalogued({"period": 2}, ("data",), ("output",), [(2,), (3,), (14, 2.5), (20, -1.0), (50,), (300,), (2**24,)],
                         lambda ta, inputs, periods: [ta.STDDEV(*inputs, *periods)], windowed=True),
    "BBANDS": Catalogued({"period": 2}, ("data",), ("upper_output", "middle_output", "lower_output"),
                         [(2,), (3, 1.0, 3.0), (20,), (50, 0.5, -1.0), (300,), (2**24,)],
                         lambda ta, inputs, periods: list(ta.BBANDS(*inputs, *periods)), windowed=True),
    "TRANGE": Catalogued({}, ("high", "low", "close"), ("output",), [()],
                         lambda ta, inputs, periods: [ta.TRANGE(*inputs)]),
    "NATR": Catalogued({"period": 2}, ("high", "low", "close"), ("output",), [(2,), (3,), (14,), (50,), (300,), (2**64 - 1,)],
                       lambda ta, inputs, periods: [ta.NATR(*inputs, *periods)]),
    "WILLR": Catalogued({"period": 2}, ("high", "low", "close"), ("output",), [(2,), (3,), (14,), (50,), (300,), (100_000,)],
                        lambda ta, inputs, periods: [ta.WILLR(*inputs, *periods)], windowed=True),
    "STOCH": Catalogued({"fastk_period": 1, "slowk_period": 1, "slowd_period": 1}, ("high", "low", "close"),
                        ("slowk_output", "slowd_output"),
                        [(1, 1, 1), (1, 3, 2), (2, 1, 1), (5, 3, 3), (14, 3, 3), (50, 10, 5), (300, 5, 3), (100_000, 3, 3)],
                        lambda ta, inputs, p: ta.STOCH(*inputs, fastk_period=p[0], slowk_period=p[1], slowd_period=p[2]),
                        windowed=True),
    "STOCHF": Catalogued({"fastk_period": 1, "fastd_period": 1}, ("high", "low", "close"), ("fastk_output", "fastd_output"),
                         [(1, 1), (1, 3), (2, 1), (5, 3), (14, 3), (50, 10), (300, 5), (100_000, 3)],
                         lambda ta, inputs, periods: ta.STOCHF(*inputs, *periods), windowed=True),
    "CCI": Catalogued({"period": 2}, ("high", "low", "close"), ("output",), [(2,), (3,), (14,), (50,), (300,), (100_000,)],
                      lambda ta, inputs, periods: [ta.CCI(*inputs, *periods)], windowed=True),
    "DMI": Catalogued({"period": 2}, ("high", "low", "close"), ("plus_di_output", "minus_di_output", "adx_output"),
                      [(2,), (3,), (14,), (50,), (300,), (2**64 - 1,)],
                      lambda ta, inputs, periods: [ta.PLUS_DI(*inputs, *periods), ta.MINUS_DI(*inputs, *periods),
                                                   ta.ADX(*inputs, *periods)]),
    "OBV": Catalogued({}, ("close", "volume"), ("output",), [()],
                      lambda ta, inputs, periods: [ta.OBV(*inputs)]),
    "MFI": Catalogued({"period": 2}, ("high", "low", "close", "volume"), ("output",),
                      [(2,), (3,), (14,), (50,), (300,), (100_000,)],
                      lambda ta, inputs, periods: [ta.MFI(*inputs, *periods)], windowed=True),
    "VWAP": Catalogued({"period": 0}, ("high", "low", "close", "volume"), ("output",),
                       [(0,), (1,), (2,), (14,), (300,), (100_000,)],
                       lambda ta, inputs, periods: [ta.VWAP(*inputs) if periods[0] == 0 else rolling_vwap(*inputs, *periods)],
                       windowed=True),
    "SUPERTREND": Catalogued({"period": 2}, ("high", "low", "close"), ("output", "trend_output"),
                             [(2,), (3, 0.5), (10,), (14, 1.0), (50, 2.0), (300,), (2**64 - 1,)],
                             lambda ta, inputs, periods: talib_supertrend(ta, inputs, periods)),
    "KC": Catalogued({"period": 2, "atr_period": 1}, ("high", "low", "close"),
                     ("upper_output", "middle_output", "lower_output"),
                     [(2, 1), (2, 40), (5, 14, 1.5), (20, 10), (14, 3, -1.0), (300, 10), (10, 300), (100_000, 3)],
                     lambda ta, inputs, periods: list(ta.KC(*inputs, *periods)), windowed=True),
    "SAR": Catalogued({}, ("high", "low"), ("output",), [(), (0.01, 0.1), (0.05, 0.05), (0.1, 0.3), (0.02, 2.0)],
                      lambda ta, inputs, periods: [ta.SAR(*inputs, *periods)]),
    "HMA": Catalogued({"period": 1}, ("data",), ("output",), [(1,), (2,), (3,), (4,), (9,), (20,), (50,), (300,), (2**24,)],
                      lambda ta, inputs, periods: [ta.HMA(*inputs, *periods)], windowed=True),
    "DONCHIAN": Catalogued({"period": 2}, ("high", "low"), ("upper_output", "middle_output", "lower_output"),
                           [(2,), (3,), (14,), (20,), (50,), (300,), (100_000,)],
                           lambda ta, inputs, periods: list(ta.DONCHIAN(*inputs, *periods)), windowed=True),
    "AROON": Catalogued({"period": 2}, ("high", "low"), ("down_output", "up_output"),
                        [(2,), (3,), (11,), (14,), (25,), (50,), (300,), (100_000,)],
                        lambda ta, inputs, periods: list(ta.AROON(*inputs, *periods)), windowed=True),
    "STOCHRSI": Catalogued({"period": 2, "fastk_period": 1, "fastd_period": 1}, ("data",), ("fastk_output", "fastd_output"),
                           [(2, 1, 1), (3, 2, 1), (5, 1, 3), (14, 5, 3), (14, 14, 3), (50, 10, 5), (300, 5, 3),
                            (14, 100_000, 3)],
                           lambda ta, inputs, p: list(ta.STOCHRSI(*inputs, timeperiod=p[0], fastk_period=p[1],
                                                                  fastd_period=p[2])), windowed=True),
}

def rolling_vwap(high, low, close, volume, period):
    """TA-Lib's VWAP sums from the first bar: over a window, the same quotient of sums."""
    value = ((high + low) + close) / 3.0 * volume
    kernel = np.ones(period)
    out = np.convolve(value, kernel)[: len(value)] / np.convolve(volume, kernel)[: len(value)]
    out[: period - 1] = np.nan
    return out


def talib_supertrend(ta, inputs, periods):
    """TA-Lib's trend is 0 where its line is NaN; ours is NaN there."""
    line, trend = ta.SUPERTREND(*inputs, *periods)
    return [line, np.where(np.isnan(line), np.nan, trend.astype(np.float64))]


# name: (batch function or None, number of periods, inputs, outputs)
INDICATORS = {
    "SMA": ("indicator_sma", 1, ("data",), ("output",)),
    "EMA": ("indicator_ema", 1, ("data",), ("output",)),
    "MACD": ("indicator_macd", 3, ("data",), ("macd_output", "signal_output", "hist_output")),
    "ATR": ("indicator_atr", 1, ("high", "low", "close"), ("output",)),
    **{name: (None, len(row.parameters), row.inputs, row.outputs) for name, row in CATALOGUE.items()},
}


def stream_type(module, name):
    """What makes the states of a table's name: its type, or its type's keyword variant."""
    row = CATALOGUE.get(name)
    if row is not None and row.variant_of is not None:
        type_name, keywords = row.variant_of
        return functools.partial(getattr(module, type_name), **keywords)
    return getattr(module, name)


def batch(marundex, name, periods, inputs):
    """The batch function's outputs over whole series."""
    function, _, _, outputs = INDICATORS[name]
    n = inputs[0].shape[0]
    outs = [np.full(n, 7.0) for _ in outputs]
    if function is None:
        import marundex_stream

        stream_type(marundex_stream, name)(*periods).update(*inputs, *outs)
    else:
        getattr(marundex, function)(*periods, *inputs, *outs)
    return outs


def feed(state, inputs, cuts, use_preview=True):
    """Feeds one series in runs of the given lengths; returns the outputs put end to
    end, and those of a preview taken before each update."""
    n_out = len(INDICATORS[type(state).__name__][3])
    n = inputs[0].shape[0]
    outs = [np.full(n, 7.0) for _ in range(n_out)]
    previews = [np.full(n, 7.0) for _ in range(n_out)]
    start = 0
    for k in cuts:
        run = [np.ascontiguousarray(x[start : start + k]) for x in inputs]
        if use_preview:
            seen = state.bars
            shown = [np.empty(k) for _ in range(n_out)]
            state.preview(*run, *shown)
            assert state.bars == seen
            for whole, part in zip(previews, shown):
                whole[start : start + k] = part
        got = [np.empty(k) for _ in range(n_out)]
        state.update(*run, *got)
        for whole, part in zip(outs, got):
            whole[start : start + k] = part
        start += k
    assert start == n
    return outs, previews


def feed_numbers(state, inputs):
    """Feeds one series a bar at a time as Python floats, previewing each bar first;
    returns the outputs of the updates and of the previews."""
    n_out = len(INDICATORS[type(state).__name__][3])
    outs, previews = [[] for _ in range(n_out)], [[] for _ in range(n_out)]
    for bar in zip(*(x.tolist() for x in inputs)):
        seen = state.bars
        shown, got = state.preview(*bar), state.update(*bar)
        assert state.bars == seen + 1
        for whole, part in zip(outs + previews, (got, shown) if n_out == 1 else (*got, *shown)):
            whole.append(part)
    return [np.array(x, dtype=np.float64) for x in outs], [np.array(x, dtype=np.float64) for x in previews]


def feed_made(state, inputs, cuts):
    """Feeds one series in runs without output arrays; returns the outputs that the
    updates made, put end to end."""
    start, made = 0, []
    for k in cuts:
        got = state.update(*(np.ascontiguousarray(x[start : start + k]) for x in inputs))
        made.append([got] if isinstance(got, np.ndarray) else list(got))
        start += k
    return [np.concatenate(parts) for parts in zip(*made)]


def random_cuts(rng, n, longest=40):
    cuts = []
    while sum(cuts) < n:
        cuts.append(int(min(rng.integers(0, longest + 1), n - sum(cuts))))
    return cuts


def messy_bars(rng, n):
    """A random walk with NaN, infinities, signed zeros and extreme magnitudes."""
    x = np.cumsum(rng.normal(size=n)) + 100.0
    picks = rng.random(n)
    x[picks < 0.03] = np.nan
    x[(picks >= 0.03) & (picks < 0.04)] = np.inf
    x[(picks >= 0.04) & (picks < 0.05)] = -np.inf
    x[(picks >= 0.05) & (picks < 0.07)] = -0.0
    x[(picks >= 0.07) & (picks < 0.08)] = 1e308
    x[(picks >= 0.08) & (picks < 0.09)] = 5e-324
    return x


def inputs_for(name, rng, n):
    if INDICATORS[name][2][:2] == ("high", "low"):
        close = np.cumsum(rng.normal(size=n)) + 100.0
        bars = [close + rng.uniform(0, 2, n), messy_bars(rng, n), close][: len(INDICATORS[name][2])]
        return bars + [messy_bars(rng, n)] * (len(INDICATORS[name][2]) - 3)
    if INDICATORS[name][2] == ("close", "volume"):
        return [messy_bars(rng, n), np.abs(messy_bars(rng, n))]
    return [messy_bars(rng, n)]
