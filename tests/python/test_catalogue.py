"""The catalogue's stream types (stream_cases.CATALOGUE) against their definitions:
TA-Lib's values on clean random walks, the plain reference bit for bit on messy
series, the NaN rule on worked bars, and parameters below their smallest. Live
equals batch, copies and damaged checkpoints come from test_stream.py's tables,
forged ones from test_forged_checkpoints.py's."""

import numpy as np
import pytest

import reference
from stream_cases import CATALOGUE, batch, inputs_for, stream_type
from support import array_bits, mismatches

ms = pytest.importorskip("marundex_stream")

# The periods TA-Lib takes, and a series long enough for them.
CASES = [(name, periods) for name, row in CATALOGUE.items() for periods in row.periods if max(periods, default=0) <= 300]
NAN = float("nan")


def run(name, periods, inputs):
    return batch(None, name, periods, inputs)


# The stochastic of an RSI that a flat stretch holds still is that of the RSI's last
# bits, which differ between any two ways of rounding it (TA-Lib's depend on its
# build's fused multiply-adds): these agree on walks without flat stretches only.
NOT_ON_FLAT_STRETCHES = {"STOCHRSI"}


@pytest.mark.parametrize("name, periods", CASES)
def test_agrees_with_talib_on_clean_random_walks(name, periods):
    talib = pytest.importorskip("talib")
    for seed in range(10):
        rng = np.random.default_rng(seed)
        close = np.cumsum(rng.normal(size=1500)) + 100.0 * (1 + seed)
        if seed % 2 and name in NOT_ON_FLAT_STRETCHES:
            continue
        if seed % 2:  # whole ticks: flat stretches, where nothing moved
            close = np.round(close)
        spread = rng.uniform(0.0, 2.0, 1500)
        arrays = {"data": close, "close": close, "high": close + spread, "low": close - spread[::-1],
                  "volume": rng.uniform(1e3, 1e5, 1500)}
        inputs = [arrays[k] for k in CATALOGUE[name].inputs]
        expected = [np.asarray(e) for e in CATALOGUE[name].talib(talib, inputs, periods)]
        for got, want in zip(run(name, periods, inputs), expected, strict=True):
            assert np.array_equal(np.isnan(got), np.isnan(want)), seed
            real = ~np.isnan(want)
            assert np.all(np.abs(got[real] - want[real]) <= 1e-9 * np.maximum(1.0, np.abs(want[real]))), seed


@pytest.mark.parametrize("name, periods", CASES)
@pytest.mark.parametrize("seed", range(4))
def test_gives_the_plain_references_bits(name, periods, seed):
    inputs = inputs_for(name, np.random.default_rng(100 + seed), 400)
    expected = getattr(reference, name.lower())(*periods, *(x.tolist() for x in inputs))
    outputs = run(name, periods, inputs)
    for got, want in zip(outputs, expected if len(outputs) > 1 else [expected], strict=True):
        assert mismatches(array_bits(got), want) == []


# Long clean stretches take a quicker course than bars near a bad value; values
# just past 2**480 and 2**900 are finite but too large for some of them.
RARE = [np.nan, np.inf, 2.0**900, -(2.0**900), np.nextafter(2.0**900, np.inf), -1e308, 2.0**480, -np.nextafter(2.0**480, np.inf)]


@pytest.mark.parametrize(
    "name, periods",
    [("WMA", (1,)), ("WMA", (3,)), ("WMA", (30,)), ("HMA", (2,)), ("HMA", (9,)), ("HMA", (20,)), ("HMA", (100,)),
     ("STDDEV", (2,)), ("STDDEV", (14, 2.5)), ("BBANDS", (5,)), ("BBANDS", (20, 2.0, 1.5))],
)
def test_long_clean_stretches_give_the_plain_references_bits(name, periods):
    rng = np.random.default_rng(7)
    data = np.cumsum(rng.normal(size=3000)) + 100.0
    where = rng.choice(3000, size=2 * len(RARE), replace=False)
    data[where] = RARE * 2
    expected = getattr(reference, name.lower())(*periods, data.tolist())
    live = getattr(ms, name)(*periods)
    pieces = [live.update(piece) for piece in np.split(data, [1, 250, 251, 1900])]
    cut = [np.concatenate(lines) for lines in zip(*pieces)] if name == "BBANDS" else [np.concatenate(pieces)]
    for outputs in (run(name, periods, [data]), cut):
        for got, want in zip(outputs, expected if name == "BBANDS" else [expected], strict=True):
            assert mismatches(array_bits(got), want) == []


@pytest.mark.parametrize(
    "name, periods, data, expected",
    [
        # Seeded at bar 2 by the mean gain 1 and loss 0; the NaN spoils the changes of
        # bars 3 and 4 and the averages skip them: (1 * 1 + 1) / 2, then 0.5 and 0.5.
        ("RSI", (2,), [1, 2, 3, NAN, 5, 6, 5, 4, 5, 6], [NAN, NAN, 100, NAN, NAN, 100, 50, 25, 62.5, 81.25]),
        ("RSI", (2,), [1, 2, 3, np.inf, 5, 6, 5], [NAN, NAN, 100, NAN, NAN, 100, 50]),
        # Before the seed a bad change starts the run of changes afresh.
        ("RSI", (2,), [1, 2, -np.inf, 3, 4, 5, 4], [NAN, NAN, NAN, NAN, NAN, 100, 50]),
        # Nothing moved: 0, as TA-Lib gives.
        ("RSI", (2,), [5, 5, 5, 5], [NAN, NAN, 0, 0]),
        # A change too large for a double is a bad change; 1 - -1e308 is not.
        ("RSI", (2,), [1e308, -1e308, 1, 0, 1], [NAN, NAN, NAN, 100, 100]),
        # The windows that hold it, (1 + 2 * 4) / 3 on each side of them.
        ("WMA", (2,), [1, 4, NAN, 1, 4], [NAN, 3, NAN, NAN, 3]),
        ("WMA", (3,), [1, 1, 1, -np.inf, 1, 1, 1, 1], [NAN, NAN, 1, NAN, NAN, NAN, 1, 1]),
        # Period 3 weighs by halves: e1 seeded at bar 2 by 4, e2 at bar 4 by the mean
        # of 4, 6 and 8, so 8 + (8 - 6). Both skip the NaN: e1 = 8 / 2 + 14 / 2 = 11,
        # e2 = 6 / 2 + 11 / 2, so 13.5.
        ("DEMA", (3,), [2, 4, 6, 8, 10, NAN, 14], [NAN, NAN, NAN, NAN, 10, NAN, 13.5]),
        # e1 skips it; e2, not yet seeded, starts afresh at 6, 8, 10: 10 + (10 - 8).
        ("DEMA", (3,), [2, 4, 6, np.inf, 8, 10, 12], [NAN, NAN, NAN, NAN, NAN, NAN, 12]),
        # Before e1's seed it starts e1's run afresh.
        ("DEMA", (3,), [2, -np.inf, 2, 4, 6, 8, 10], [NAN, NAN, NAN, NAN, NAN, NAN, 10]),
        # e1 and e2 skip it; e3, not yet seeded, starts afresh at 8, 10 and 12 from
        # bar 6: 3 * (14 - 12) + 10. Then all three skip the NaN.
        ("TEMA", (3,), [2, 4, 6, 8, 10, np.inf, 12, 14, 16, NAN, 20],
         [NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, 16, NAN, 19.75]),
        # The windows that hold it; then (1, 3) deviates by 1 and (3, 3) by 0.
        ("STDDEV", (2,), [1, 3, NAN, 1, 3, 3], [NAN, 1, NAN, NAN, 1, 0]),
        ("STDDEV", (2, -2.0), [5, 7, np.inf, 7, 5], [NAN, -2, NAN, NAN, -2]),
        # Its own bar and the one a period later; TA-Lib's give inf and -inf there.
        ("MOM", (2,), [1, 2, np.inf, 4, 5, 6, 7], [NAN, NAN, NAN, 2, NAN, 2, 2]),
        # TA-Lib's give inf and then -100; a zero a period back gives 0, as TA-Lib's.
        ("ROC", (2,), [1, 2, np.inf, 4, 0, 8, 4], [NAN, NAN, NAN, 100, NAN, 100, 0]),
        # high, low, close: a bad high spoils its own bar, a bad close the next bar only;
        # the spread wins where the previous close lies between low and high, a gap
        # where it does not, and an overflowing difference is the formula's +inf.
        ("TRANGE", (), ([3, NAN, 4, 6, 5, 9, 1e308], [1, 1, 2, 5, 3, 2, -1e308], [2, 2, np.inf, 4, 4, 3, 0]),
         [NAN, NAN, 2, NAN, 2, 7, np.inf]),
        # Bars 2 wide about a close of 4: seeded at bar 2 by the true range 2, so 50.
        # The NaN high spoils bar 3's true range, which the average skips; then 4
        # makes (1 - 1/2) * 2 + (1/2) * 4 = 3, so 75, and 2 makes 2.5.
        ("NATR", (2,), ([5, 5, 5, NAN, 6, 5], [3, 3, 3, 3, 2, 3], [4, 4, 4, 4, 4, 4]),
         [NAN, NAN, 50, NAN, 75, 62.5]),
        # A bad close spoils its own bar and the next true range.
        ("NATR", (2,), ([5, 5, 5, 5, 6, 5], [3, 3, 3, 3, 2, 3], [4, 4, 4, np.inf, 4, 4]),
         [NAN, NAN, 50, NAN, NAN, 50]),
        # Before the seed a bad true range, here one that overflows, starts the run
        # afresh; a close of zero gives 0, as TA-Lib gives.
        ("NATR", (2,), ([0, 1e308, 1, 1, 1], [0, -1e308, -1, -1, -1], [1, 1, 1, 1, 0]),
         [NAN, NAN, NAN, 200, 0]),
        # Windows of two bars: the NaN high spoils the two windows that hold it; then
        # hh 6 and ll 2 with close 5, so (1 / 4) * -100, and 8, 4 and 6 make -50.
        ("WILLR", (2,), ([6, 6, NAN, 6, 6, 8], [2, 2, 2, 2, 4, 4], [4, 5, 4, 3, 5, 6]),
         [NAN, -25, NAN, NAN, -25, -50]),
        # A bad close spoils its own bar only; a close at the high gives -0, as TA-Lib.
        ("WILLR", (2,), ([6, 6, 6, 6], [2, 2, 2, 2], [4, np.inf, 4, 6]), [NAN, NAN, -50, -0.0]),
        # A window without range: 0, as TA-Lib gives.
        ("WILLR", (2,), ([3, 3, 3], [3, 3, 3], [3, 3, 3]), [NAN, 0, 0]),
        # %K over one bar, 50, NaN, 0, 50, 100, 50; the slow %K its mean over two, the
        # slow %D that one's mean over two: the bad close at bar 1 spoils the slow %K
        # up to bar 2 and the slow %D up to bar 3.
        ("STOCH", (1, 2, 2), ([6] * 6, [2] * 6, [4, NAN, 2, 4, 6, 4]),
         ([NAN, NAN, NAN, 25, 75, 75], [NAN, NAN, NAN, NAN, 50, 75])),
        # %K over two bars, %D its mean over two: the NaN high spoils the %K of the two
        # windows that hold it and the %D of three; then (5 - 2) / 4 and (6 - 4) / 4.
        # A window without range gives 0, as TA-Lib gives.
        ("STOCHF", (2, 2), ([6, 6, NAN, 6, 6, 8, 3, 3], [2, 2, 2, 2, 4, 4, 3, 3], [4, 5, 4, 3, 5, 6, 3, 3]),
         ([NAN, NAN, NAN, NAN, 75, 50, 0, 0], [NAN, NAN, NAN, NAN, NAN, 62.5, 25, 0])),
        # A bad close spoils its own %K and the %D of the windows that hold it.
        ("STOCHF", (1, 2), ([6, 6, 6, 6], [2, 2, 2, 2], [4, np.inf, 4, 6]), ([NAN, NAN, 50, 100], [NAN, NAN, NAN, 75])),
        # +DM 1, -DM 0 and a true range of 2 a bar: +DI 50, -DI 0 and DX 100 once seeded.
        # The NaN high spoils the moves of bars 3 and 4, which the averages skip; the
        # ADX's run of DX starts afresh after them.
        ("DMI", (2,), ([3, 4, 5, NAN, 7, 8, 9, 10], [1, 2, 3, 4, 5, 6, 7, 8], [2, 3, 4, 5, 6, 7, 8, 9]),
         ([NAN, NAN, 50, NAN, NAN, 50, 50, 50], [NAN, NAN, 0, NAN, NAN, 0, 0, 0],
          [NAN, NAN, NAN, NAN, NAN, NAN, 100, 100])),
        # Nothing moved: 0 for each, as TA-Lib gives.
        ("DMI", (2,), ([5] * 4, [5] * 4, [5] * 4), ([NAN, NAN, 0, 0], [NAN, NAN, 0, 0], [NAN, NAN, NAN, 0])),
        # High, low and close equal: tp is the price, flows 2 up, 3 up, 2 down, bad, 4 up
        # and 5 up. The NaN volume spoils its own flow and both windows that hold it; a
        # window without flows gives 0, as TA-Lib gives.
        ("MFI", (2,), ([1, 2, 3, 2, 3, 4, 5],) * 3 + ([1, 1, 1, 1, NAN, 1, 1],), [NAN, NAN, 100, 60, NAN, NAN, 100]),
        ("MFI", (2,), ([5] * 4,) * 3 + ([1] * 4,), [NAN, NAN, 0, 0]),
        # Typical prices 3, 6, 3, 6 make windows of two with mean 4.5 and deviation
        # 1.5, so +-1.5 / (0.015 * 1.5); the NaN low spoils the two windows that
        # hold it, an infinite close its two windows.
        ("CCI", (2,), ([4, 7, 7, 4, 7, 4, 7], [2, NAN, 5, 2, 5, 2, 5], [3, 6, 6, 3, np.inf, 3, 6]),
         [NAN, NAN, NAN, -1.5 / (0.015 * 1.5), NAN, NAN, 1.5 / (0.015 * 1.5)]),
        # A window without deviation: 0, as TA-Lib gives.
        ("CCI", (3,), ([4, 4, 4, 4], [2, 2, 2, 2], [3, 3, 3, 3]), [NAN, NAN, 0, 0]),
        # close, volume: up, level, down from the first volume; a bad volume is left
        # out of the total, and the next close is held against its finite close.
        ("OBV", (), ([10, 11, 11, 10, 12, 11, 13], [100, 200, 300, 400, NAN, 8, 1]),
         [100, 300, 300, -100, NAN, -108, -107]),
        # A bad close too, held against the last finite close, 11; the first good
        # bar starts the total.
        ("OBV", (), ([NAN, 10, 11, np.inf, 10, 12], [5, 1, 2, 4, 8, 16]), [NAN, 1, 3, NAN, -5, 11]),
        # High, low and close equal. From the first bar: nothing traded yet gives NaN,
        # the NaN volume its own bar, left out of the sums: 12 / 4, then 32 / 8.
        ("VWAP", (0,), ([1, 2, 3, 4, 5],) * 3 + ([0, 2, NAN, 2, 4],), [NAN, 2, NAN, 3, 4]),
        # Over two bars: the infinite volume spoils both windows that hold it; a window
        # with one bar traded is that bar's price, one with none NaN.
        ("VWAP", (2,), ([1, 2, 3, 4, 5, 6, 7],) * 3 + ([1, 1, np.inf, 1, 1, 0, 0],), [NAN, 1.5, NAN, NAN, 4.5, 5, NAN]),
        # Bars 2 wide about 10: the average true range is seeded at bar 2 by 2, so bands
        # 12 and 8 and the trend up. The NaN high spoils bar 3, which is skipped; the
        # drop to 5 widens the average to 4: the upper band tightens to 9, the lower is
        # held at 8, and the close below it turns the trend down.
        ("SUPERTREND", (2, 1.0), ([11, 11, 11, NAN, 11, 6], [9, 9, 9, 9, 9, 4], [10, 10, 10, 10, 10, 5]),
         ([NAN, NAN, 8, NAN, 8, 9], [NAN, NAN, 1, NAN, 1, -1])),
        # tp the close; both averages start at bar 2: the mean 12 and a true range of 3.
        # The NaN close spoils its own tp and the next true range, each skipped by its
        # average, then (15 + 20) / 2 with the bands 2 * 3 about it.
        ("KC", (3, 1, 2.0), ([11, 13, 15, 17, 19, 21], [9, 11, 13, 15, 17, 19], [10, 12, 14, NAN, 18, 20]),
         ([NAN, NAN, 18, NAN, NAN, 23.5], [NAN, NAN, 12, NAN, NAN, 17.5], [NAN, NAN, 6, NAN, NAN, 11.5])),
        # Long from the first low, 8, moved by a quarter, then a half, of the way to the
        # high, and kept below the last two lows; the NaN high is skipped. The low of 9
        # reaches the stop: short from the extreme 14, kept above the last two highs.
        ("SAR", (0.25, 0.5), ([10, 11, 12, NAN, 14, 13, 12, 11], [8, 9, 10, 11, 12, 9, 8, 7]),
         [NAN, 8, 8.75, NAN, 9, 14, 14, 13]),
        # Period 2: a over one bar, b over two, the HMA over one difference 2 * a - b,
        # so 2 * 4 - 3 and 2 * 7 - 6. The NaN spoils b at bars 2 and 3, a at bar 2.
        ("HMA", (2,), [1, 4, NAN, 1, 4, 7], [NAN, 5, NAN, NAN, 5, 8]),
        # high, low: a bad high spoils the upper and middle bands of the two windows
        # that hold it, a bad low the lower and middle ones; (7 + 1) / 2, (4 + 2) / 2.
        ("DONCHIAN", (2,), ([5, 7, NAN, 6, 4, 4], [1, 2, 3, -np.inf, 3, 2]),
         ([NAN, 7, NAN, NAN, 6, 4], [NAN, 4, NAN, NAN, NAN, 3], [NAN, 1, 2, NAN, NAN, 2])),
        # Windows of three bars: the NaN high spoils the up line of the three that hold
        # it; of the equal lows at bars 1 and 3 the later stands, 0 bars back.
        ("AROON", (2,), ([1, 3, 2, NAN, 2, 1, 0], [5, 4, 6, 4, 6, 7, 8]),
         ([NAN, NAN, 50, 100, 50, 0, 0], [NAN, NAN, 50, NAN, NAN, NAN, 0])),
        # RSI(2) 100 and 50 at bars 2 and 3, NaN where the changes of bars 4 and 5 use
        # the NaN, then 75, 37.5, 68.75 and 84.375; %K over two of them, %D over one.
        ("STOCHRSI", (2, 2, 1), [1, 2, 3, 2, NAN, 3, 4, 3, 4, 5],
         ([NAN, NAN, NAN, 0, NAN, NAN, NAN, 0, 100, 100],) * 2),
    ],
)
def test_one_bad_value_spoils_only_the_outputs_that_use_it(name, periods, data, expected):
    series = data if isinstance(data, tuple) else (data,)
    got = run(name, periods, [np.array(d, dtype=np.float64) for d in series])
    lines = expected if len(got) > 1 else (expected,)
    for line, want in zip(got, lines, strict=True):
        np.testing.assert_array_equal(line, np.array(want))


@pytest.mark.parametrize("name, parameter", [(n, p) for n, row in CATALOGUE.items() if not row.variant_of
                                             for p, least in row.parameters.items() if least > 0])
@pytest.mark.parametrize("symbols", [None, 3])
def test_a_parameter_below_its_smallest_is_refused(name, parameter, symbols):
    row = CATALOGUE[name]
    given = dict(row.parameters) | {parameter: row.parameters[parameter] - 1}
    with pytest.raises(ValueError) as raised:
        stream_type(ms, name)(**given, symbols=symbols)
    title = parameter.replace("_", " ").capitalize()
    assert str(raised.value) == f"{title} must be at least {row.parameters[parameter]}"


@pytest.mark.parametrize(
    "name, keywords, error, message",
    [
        ("STDDEV", {"nbdev": np.inf}, ValueError, "Nbdev must be a finite number"),
        ("BBANDS", {"nbdev_dn": np.nan}, ValueError, "Nbdev dn must be a finite number"),
        ("BBANDS", {"nbdev_up": "2"}, TypeError, "argument 'nbdev_up': must be real number, not str"),
        ("MACD_TALIB", {"seed": "TA-Lib"}, ValueError, 'Seed must be "first" or "talib"'),
        ("MACD_TALIB", {"seed": None}, TypeError, "argument 'seed' must be str, not NoneType"),
        ("SUPERTREND", {"multiplier": -np.inf}, ValueError, "Multiplier must be a finite number"),
        ("KC", {"nbdev": np.nan}, ValueError, "Nbdev must be a finite number"),
        ("SAR", {"acceleration": np.nan}, ValueError, "Acceleration must be a finite number"),
        ("SAR", {"acceleration": 0.0}, ValueError, "Acceleration must be greater than 0"),
        ("SAR", {"maximum": -0.2}, ValueError, "Maximum must be greater than 0"),
        ("SAR", {"maximum": np.inf}, ValueError, "Maximum must be a finite number"),
        ("SAR", {"acceleration": 0.3}, ValueError, "Acceleration must be at most maximum"),
        ("SAR", {"acceleration": 0.5, "maximum": 0.4}, ValueError, "Acceleration must be at most maximum"),
    ],
)
def test_a_multiplier_or_a_choice_out_of_its_range_is_refused(name, keywords, error, message):
    row = CATALOGUE[name]
    made = getattr(ms, row.variant_of[0]) if row.variant_of else getattr(ms, name)
    with pytest.raises(error) as raised:
        made(*row.periods[0], **keywords)
    assert str(raised.value) == message


def test_stddev_keeps_its_digits_where_a_sum_of_squares_loses_them():
    """Near 1e6, moving by 1e-3: within 1e-9 of the exact deviation."""
    from fractions import Fraction

    x = 1e6 + np.cumsum(np.random.default_rng(5).normal(size=600)) * 1e-3
    (got,) = run("STDDEV", (20,), [x])
    for i in range(19, 600):
        window = [Fraction(v) for v in x[i - 19 : i + 1]]
        mean = sum(window) / 20
        exact = float(sum((v - mean) ** 2 for v in window) / 20) ** 0.5
        assert abs(got[i] - exact) <= 1e-9 * exact, i
