"""Checkpoints edited and sealed again, so that their checksum holds: a state that
no series could have left is refused as inconsistent."""

import struct

import numpy as np
import pytest

from stream_cases import stream_type

ms = pytest.importorskip("marundex_stream")

# Each state's words, in order; a window's slots come last.
FIELDS = {
    "SMA": ["period", "bars", "sum", "next", "slot 0", "slot 1", "slot 2"],
    "EMA": ["period", "bars", "run", "seed sum", "average"],
    "MACD": ["fast", "slow", "signal", "bars", "fast average", "slow average", "signal line", "next",
             "slot 0", "slot 1"],
    "MACD_TALIB": ["fast", "slow", "signal", "bars", "fast average", "slow average", "signal line", "next",
                   "slot 0", "slot 1", "slot 2", "signal sum", "signal count"],
    "ATR": ["period", "bars", "close", "sum", "average"],
    "RSI": ["period", "bars", "run", "previous", "gain", "loss"],
    "WMA": ["period", "bars", "sum", "weighted", "bad", "next", "slot 0", "slot 1"],
    "DEMA": ["period", "bars", "run 1", "seed sum 1", "average 1", "run 2", "seed sum 2", "average 2"],
    "TEMA": ["period", "bars", "run 1", "seed sum 1", "average 1", "run 2", "seed sum 2", "average 2",
             "run 3", "seed sum 3", "average 3"],
    "MOM": ["period", "bars", "next", "slot 0", "slot 1"],
    "ROC": ["period", "bars", "next", "slot 0", "slot 1"],
    "STDDEV": ["nbdev", "period", "bars", "shift", "sum", "squares", "bad", "next", "slot 0", "slot 1", "slot 2"],
    "BBANDS": ["nbdev_up", "nbdev_dn", "period", "bars", "shift", "sum", "squares", "bad", "next", "slot 0"],
    "TRANGE": ["bars", "close"],
    "NATR": ["period", "bars", "run", "close", "average"],
    "WILLR": ["period", "bars", "next", "high 0", "high 1", "high 2", "low 0", "low 1", "low 2"],
    "STOCH": ["fastk", "slowk", "slowd", "bars", "next", "high 0", "high 1", "low 0", "low 1", "%K 0", "%K 1",
              "slow %K 0", "slow %K 1"],
    "STOCHF": ["fastk", "fastd", "bars", "next", "high 0", "high 1", "high 2", "low 0", "low 1", "low 2",
               "%K 0", "%K 1"],
    "DMI": ["period", "bars", "high", "low", "close", "di run", "+dm", "-dm", "tr", "dx run", "adx"],
    "MFI": ["period", "bars", "tp", "positive", "negative", "up 0", "up 1", "up 2", "down 0", "down 1", "down 2"],
    "CCI": ["period", "bars", "next", "slot 0", "slot 1", "slot 2"],
    "OBV": ["bars", "close", "total"],
    "VWAP": ["period", "bars", "value", "volume", "value 0", "value 1", "value 2", "volume 0", "volume 1", "volume 2"],
    "SUPERTREND": ["period", "multiplier", "bars", "run", "close", "average", "trend", "upper", "lower", "band close"],
    "KC": ["period", "atr period", "nbdev", "bars", "close", "price run", "middle", "range run", "atr",
           "price 0", "price 1", "price 2", "range 0", "range 1"],
    "SAR": ["acceleration", "maximum", "bars", "good", "long", "factor", "extreme", "stop", "high", "low"],
    "HMA": ["period", "bars", "half sum", "half weighted", "half bad", "sum", "weighted", "bad", "root sum",
            "root weighted", "root bad", "next", "slot 0", "slot 1", "slot 2", "slot 3", "diff 0", "diff 1"],
    "DONCHIAN": ["period", "bars", "next", "high 0", "high 1", "high 2", "low 0", "low 1", "low 2"],
    "AROON": ["period", "bars", "next", "high 0", "high 1", "high 2", "high 3", "low 0", "low 1", "low 2", "low 3"],
    "STOCHRSI": ["period", "bars", "run", "previous", "gain", "loss", "fastk", "fastd", "next", "high 0", "high 1",
                 "low 0", "low 1", "%K 0", "%K 1"],
}


def crc64_xz(data):
    crc = 2**64 - 1
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xC96C5795D7870F42 if crc & 1 else crc >> 1
    return crc ^ (2**64 - 1)


def sealed(body):
    return body + struct.pack("<Q", crc64_xz(body))


# The series 1, 2, 3, ... (ATR: high and low 1 away from the close), `fed` bars of it,
# then one field changed. Rows are single-series checkpoints of the given periods.
FORGED = [
    ("SMA", (3,), 2, "sum", 4.0),  # the window holds 1 and 2
    ("SMA", (3,), 2, "slot 2", 5.0),  # a slot past the bars seen
    ("SMA", (3,), 3, "next", 1),  # a window just filled starts again at slot 0
    ("SMA", (0,), 2, "sum", 1.0),
    ("SMA", (3,), 5, "bars", 2**63),
    ("EMA", (3,), 0, "seed sum", 1e300),
    ("EMA", (3,), 1, "seed sum", np.inf),  # one input: the sum is that input
    ("EMA", (3,), 2, "seed sum", np.nan),
    ("EMA", (3,), 1, "run", 2),
    ("EMA", (3,), 2, "average", 1.0),  # before the seed
    ("EMA", (3,), 3, "average", 2.5),  # at the seed: the seed sum 6 over 3
    ("EMA", (3,), 5, "average", np.nan),
    ("EMA", (1,), 3, "average", np.inf),  # the last input, with period 1
    ("EMA", (3,), 5, "bars", 2**64 - 1),
    ("ATR", (2,), 0, "sum", 1e6),
    ("ATR", (2,), 0, "close", 1.0),
    ("ATR", (2,), 1, "sum", 2.0),  # bar 0 has no true range
    ("ATR", (2,), 4, "sum", -0.0),  # a sum from +0 is never -0
    ("ATR", (2,), 2, "average", 1.0),  # before bar 2
    ("ATR", (2,), 3, "average", 5.0),  # right after it: the sum 4 over 2
    ("ATR", (0,), 3, "close", 1.0),  # no period: nothing moves
    ("ATR", (2,), 3, "bars", 2**63),
    ("MACD", (1, 2, 2), 1, "fast average", 1.0),
    ("MACD", (1, 2, 2), 1, "slow average", 1.0),
    ("MACD", (1, 2, 2), 2, "signal line", 0.5),  # the signal line starts at bar 2
    ("MACD", (1, 2, 2), 6, "fast average", np.nan),  # with a signal line
    ("MACD", (1, 2, 2), 1, "slot 1", 3.0),
    ("MACD", (1, 2, 2), 6, "bars", 2**63),
    ("RSI", (3,), 0, "previous", 1.0),  # before the first bar
    ("RSI", (3,), 2, "run", 2),  # bar 0 has no change
    ("RSI", (3,), 6, "run", 4),  # more changes than the period
    ("RSI", (3,), 1, "gain", 1.0),  # no change yet: +0
    ("RSI", (3,), 3, "loss", -0.0),  # a sum from +0 is never -0
    ("RSI", (3,), 6, "gain", np.nan),
    ("RSI", (3,), 6, "bars", 2**63),
    ("WMA", (2,), 1, "sum", 0.0),  # no full window yet: NaN
    ("WMA", (2,), 5, "bad", 1),  # the window holds no bad input
    ("WMA", (2,), 5, "slot 1", np.inf),  # nor counts one
    ("WMA", (2,), 1, "slot 1", 2.0),  # a slot not yet reached
    ("WMA", (2,), 5, "bars", 2**63),
    ("DEMA", (3,), 2, "run 2", 1),  # e2 takes nothing before e1 has a value
    ("DEMA", (3,), 6, "run 2", 4),  # more values than the period
    ("DEMA", (3,), 3, "average 1", 3.0),  # the seed is the mean, 2
    ("DEMA", (3,), 4, "average 2", 3.0),  # not seeded yet: NaN
    ("DEMA", (3,), 6, "seed sum 2", np.nan),
    ("DEMA", (3,), 6, "bars", 2**63),
    ("TEMA", (3,), 4, "run 3", 1),  # e3 takes nothing before e2 has a value
    ("TEMA", (3,), 8, "average 3", np.nan),  # seeded: never NaN
    ("TEMA", (3,), 6, "average 3", 3.0),  # not seeded yet: NaN
    ("TEMA", (3,), 8, "bars", 2**63),
    ("MOM", (2,), 1, "next", 0),  # right after the bars seen
    ("MOM", (2,), 1, "slot 1", 2.0),  # a slot not yet reached
    ("MOM", (2,), 5, "next", 2),
    ("ROC", (2,), 1, "slot 1", -0.0),  # a slot not yet reached
    ("TRANGE", (), 0, "close", 1.0),  # before the first bar
    ("TRANGE", (), 3, "bars", 2**63),
    ("NATR", (3,), 0, "close", 1.0),  # before the first bar
    ("NATR", (3,), 2, "run", 2),  # bar 0 has no true range
    ("NATR", (3,), 6, "run", 4),  # more true ranges than the period
    ("NATR", (3,), 1, "average", 1.0),  # no true range yet: +0
    ("NATR", (3,), 6, "average", -2.0),
    ("MACD_TALIB", (2, 3, 3), 2, "signal count", 1),  # before the first MACD value
    ("MACD_TALIB", (2, 3, 3), 4, "signal count", 3),  # a full seed starts the signal line
    ("MACD_TALIB", (2, 3, 3), 2, "signal sum", 1.0),  # a sum of no value
    ("MACD_TALIB", (2, 3, 3), 6, "signal count", 1),  # a sum once the signal line has started
    ("STDDEV", (3,), 6, "nbdev", np.inf),
    ("STDDEV", (3,), 2, "sum", 0.0),  # sums before the window is full
    ("STDDEV", (3,), 6, "bad", 1),  # a count that the window's inputs do not give
    ("BBANDS", (3,), 6, "nbdev_dn", np.nan),
    ("NATR", (3,), 6, "average", np.nan),
    ("NATR", (3,), 6, "bars", 2**63),
    ("WILLR", (3,), 2, "high 2", 5.0),  # a slot past the bars seen
    ("WILLR", (3,), 2, "low 2", -0.0),
    ("WILLR", (3,), 3, "next", 1),  # a window just filled starts again at slot 0
    ("WILLR", (3,), 5, "next", 3),
    ("WILLR", (3,), 5, "bars", 2**63),
    ("STOCH", (2, 2, 2), 1, "slow %K 1", 5.0),  # a slow %K past the bars seen
    ("STOCH", (2, 2, 2), 1, "%K 1", 5.0),
    ("STOCH", (2, 2, 2), 3, "slowd", 1),  # a shorter window than the words hold
    ("STOCHF", (3, 2), 1, "%K 1", 5.0),  # a %K past the bars seen
    ("STOCHF", (3, 2), 2, "high 2", 5.0),
    ("STOCHF", (3, 2), 4, "next", 3),
    ("STOCHF", (3, 2), 4, "fastd", 3),  # a longer window than the words hold
    ("DMI", (3,), 0, "close", 1.0),  # before the first bar
    ("DMI", (3,), 2, "di run", 2),  # bar 0 has no moves
    ("DMI", (3,), 2, "dx run", 1),  # a DX before the averages' seed
    ("DMI", (3,), 6, "dx run", 4),
    ("DMI", (3,), 6, "tr", -2.0),
    ("DMI", (3,), 6, "adx", np.nan),
    ("MFI", (3,), 0, "tp", 1.0),  # before the first bar
    ("MFI", (3,), 2, "up 2", 5.0),  # a slot past the bars seen
    ("MFI", (3,), 2, "up 0", 5.0),  # bar 0 has no flow
    ("MFI", (3,), 5, "down 1", 2.0),  # a flow both up and down
    ("MFI", (3,), 5, "positive", np.nan),  # no sum for a window without a bad flow
    ("CCI", (3,), 2, "slot 2", 5.0),  # a slot past the bars seen
    ("CCI", (3,), 2, "next", 0),  # right after the bars seen
    ("CCI", (3,), 3, "next", 1),  # a window just filled starts again at slot 0
    ("CCI", (3,), 5, "bars", 2**63),
    ("OBV", (), 0, "close", 1.0),  # before the first bar
    ("OBV", (), 3, "close", np.inf),  # only a finite close is kept
    ("OBV", (), 3, "total", -np.nan),  # no total yet is the quiet NaN
    ("OBV", (), 3, "bars", 2**63),
    ("VWAP", (0,), 0, "volume", 1.0),  # before the first bar
    ("VWAP", (0,), 3, "value", np.nan),  # sums of finite values
    ("VWAP", (3,), 2, "value 2", 5.0),  # a slot past the bars seen
    ("VWAP", (3,), 5, "volume 1", np.nan),  # a bar bad on one side only
    ("VWAP", (3,), 5, "value", np.nan),  # no sum for a window without a bad bar
    ("VWAP", (3,), 2, "volume", 3.0),  # a sum before the first full window
    ("SUPERTREND", (3,), 2, "trend", 1),  # a line before the average's seed
    ("SUPERTREND", (3,), 6, "trend", 3),
    ("SUPERTREND", (3,), 6, "upper", np.nan),
    ("SUPERTREND", (3,), 6, "multiplier", np.inf),
    ("SUPERTREND", (3,), 6, "run", 4),
    ("KC", (3, 2), 1, "price 2", 5.0),  # a slot past the bars seen
    ("KC", (3, 2), 1, "middle", 2.0),  # an average before its first bar
    ("KC", (3, 2), 2, "range run", 2),  # bar 0 has no true range
    ("KC", (3, 2), 5, "price run", 2),  # a run shorter than the good prices held
    ("KC", (3, 2), 5, "atr", -1.0),
    ("KC", (3, 2), 5, "nbdev", np.nan),
    ("SAR", (), 0, "high", 1.0),  # before the first bar
    ("SAR", (), 1, "good", 2),  # a trend from one bar
    ("SAR", (), 5, "long", 2),
    ("SAR", (), 5, "factor", 0.5),  # a factor above the maximum
    ("SAR", (), 5, "stop", np.inf),
    ("SAR", (), 5, "acceleration", 0.3),  # above the maximum
    ("SAR", (), 5, "maximum", -0.2),
    ("HMA", (4,), 2, "half bad", 1),  # a count that the window's inputs do not give
    ("HMA", (4,), 6, "root bad", 1),
    ("HMA", (4,), 2, "diff 1", 0.0),  # a difference before the first average
    ("HMA", (4,), 2, "sum", 0.0),  # sums before the window is full
    ("HMA", (4,), 3, "next", 0),  # right after the bars seen
    ("DONCHIAN", (3,), 2, "high 2", 5.0),  # a slot past the bars seen
    ("DONCHIAN", (3,), 2, "low 2", -0.0),
    ("DONCHIAN", (3,), 3, "next", 1),  # a window just filled starts again at slot 0
    ("DONCHIAN", (3,), 5, "bars", 2**63),
    ("AROON", (3,), 2, "high 3", 5.0),  # a slot of the window's fourth bar, past the bars seen
    ("AROON", (3,), 4, "next", 1),  # a window of four just filled starts again at slot 0
    ("STOCHRSI", (3, 2, 2), 1, "%K 1", 5.0),  # a %K past the bars seen
    ("STOCHRSI", (3, 2, 2), 1, "high 1", 5.0),
    ("STOCHRSI", (3, 2, 2), 4, "fastd", 3),  # a longer window than the words hold
    ("STOCHRSI", (3, 2, 2), 4, "run", 5),  # the RSI's own refusals
]


@pytest.mark.parametrize("name, periods, fed, field, value", FORGED)
def test_a_resealed_state_that_no_series_leaves_is_refused(name, periods, fed, field, value):
    state = stream_type(ms, name)(*periods)
    x = np.arange(1.0, fed + 1)
    bar_types = ("ATR", "TRANGE", "NATR", "WILLR", "STOCH", "STOCHF", "CCI", "DMI", "MFI", "VWAP", "SUPERTREND", "KC")
    high_low_types = ("SAR", "DONCHIAN", "AROON")
    inputs = [x + 1, x - 1, x] if name in bar_types else [x + 1, x - 1] if name in high_low_types else [x, x] if name == "OBV" else [x]
    inputs += [x] if name in ("MFI", "VWAP") else []
    outputs = {"MACD": 3, "MACD_TALIB": 3, "BBANDS": 3, "STOCH": 2, "STOCHF": 2, "DMI": 3, "SUPERTREND": 2, "KC": 3,
               "DONCHIAN": 3, "AROON": 2, "STOCHRSI": 2}.get(name, 1)
    state.update(*inputs, *[np.empty(fed) for _ in range(outputs)])
    words = state.__reduce__()[1][0]
    assert sealed(words[:-8]) == words
    # One series: the header and its parameters, the state's words, the CRC.
    per_state = struct.unpack_from("<Q", words, 8 * 4)[0]
    at = len(words) - 8 * (1 + per_state) + 8 * FIELDS[name].index(field)
    packed = struct.pack("<Q", value) if isinstance(value, int) else struct.pack("<d", value)
    with pytest.raises(ValueError) as raised:
        ms._restore(sealed(words[:at] + packed + words[at + 8 : -8]))
    assert str(raised.value) == "The checkpoint is damaged: its states are inconsistent"


# An empty universe has no state to check its periods: the header's are checked as
# its constructor checks them.
@pytest.mark.parametrize("name, periods, forged", [("SMA", (3,), (2**64 - 1,)), ("MACD", (12, 26, 9), (5, 3, 1)),
                                                   ("MACD", (12, 26, 9), (2, 3, 1, 2)), ("RSI", (3,), (1,)), ("WMA", (3,), (0,)),
                                                   ("DEMA", (3,), (0,)), ("TEMA", (3,), (0,)), ("MOM", (3,), (0,)), ("ROC", (3,), (0,)),
                                                   ("STDDEV", (3,), (1, 0x3FF0000000000000)),
                                                   ("STDDEV", (3,), (3, 0x7FF0000000000000)),
                                                   ("NATR", (3,), (1,)), ("WILLR", (3,), (1,)),
                                                   ("STOCH", (5, 3, 3), (5, 0, 3)), ("STOCHF", (3, 2), (3, 0)),
                                                   ("CCI", (3,), (1,)), ("DMI", (3,), (1,)), ("MFI", (3,), (1,)), ("HMA", (3,), (0,)),
                                                   ("VWAP", (3,), (2**24 + 1,)),
                                                   ("SUPERTREND", (3,), (1, 0x4008000000000000)),
                                                   ("SUPERTREND", (3,), (3, 0xFFF8000000000000)),
                                                   ("KC", (3, 2), (3, 0)), ("KC", (3, 2), (1, 2)),
                                                   ("DONCHIAN", (3,), (1,)),
                                                   ("SAR", (), (0, 0x3FC999999999999A)),
                                                   ("SAR", (), (0x3FD0000000000000, 0x3FC999999999999A)),
                                                   ("SAR", (), (0x3F947AE147AE147B, 0x7FF0000000000000)),
                                                   ("AROON", (3,), (1,)),
                                                   ("STOCHRSI", (3, 2, 2), (1, 2, 2)), ("STOCHRSI", (3, 2, 2), (3, 0, 2))])
def test_an_empty_universe_with_periods_that_no_constructor_takes_is_refused(name, periods, forged):
    words = stream_type(ms, name)(*periods, symbols=0).__reduce__()[1][0]
    header = 8 * 5
    packed = struct.pack(f"<{len(forged)}Q", *forged)
    with pytest.raises(ValueError) as raised:
        ms._restore(sealed(words[:header] + packed + words[header + len(packed) : -8]))
    assert str(raised.value) == "The checkpoint is damaged: its states are inconsistent"


def test_a_macd_checkpoint_of_layout_1_restores_with_the_first_seed():
    """Layout 1 had no seed among MACD's parameters."""
    x = np.cumsum(np.random.default_rng(3).normal(size=80))
    state = ms.MACD(3, 6, 4)
    state.update(x[:40], *(np.empty(40) for _ in range(3)))
    words = state.__reduce__()[1][0]
    assert struct.unpack_from("<2Q", words, 8 * 7) == (4, 0)  # signal period, seed
    older = bytearray(words[: 8 * 8] + words[8 * 9 : -8])
    older[8] = 1
    restored = ms._restore(sealed(bytes(older)))
    assert restored.seed == "first"
    outputs = [[np.empty(40) for _ in range(3)] for _ in range(2)]
    restored.update(x[40:], *outputs[0])
    state.update(x[40:], *outputs[1])
    assert np.array_equal(np.array(outputs[0]).view(np.uint64), np.array(outputs[1]).view(np.uint64))
