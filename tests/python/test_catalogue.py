"""The catalogue's stream types against their definitions: TA-Lib's values on clean
random walks, the plain reference bit for bit on messy series, and the NaN rule on
worked bars. Live equals batch, copies, damaged and forged checkpoints and refused
parameters are rows of the tables of test_stream.py and test_forged_checkpoints.py."""

import numpy as np
import pytest

import reference
from stream_cases import messy_bars
from support import array_bits, mismatches

ms = pytest.importorskip("marundex_stream")

# name: (TA-Lib function, periods to try, reference)
CATALOGUE = {
    "RSI": ("RSI", [(2,), (3,), (14,), (50,)], reference.rsi),
}
CASES = [(name, periods) for name, row in CATALOGUE.items() for periods in row[1]]
NAN = float("nan")


def run(name, periods, inputs):
    outs = [np.full(len(inputs[0]), 7.0)]
    getattr(ms, name)(*periods).update(*inputs, *outs)
    return outs


@pytest.mark.parametrize("name, periods", CASES)
def test_agrees_with_talib_on_clean_random_walks(name, periods):
    talib = pytest.importorskip("talib")
    for seed in range(10):
        rng = np.random.default_rng(seed)
        x = np.cumsum(rng.normal(size=1500)) + 100.0 * (1 + seed)
        if seed % 2:  # whole ticks: flat stretches, where nothing moved
            x = np.round(x)
        expected = [np.asarray(getattr(talib, CATALOGUE[name][0])(x, *periods))]
        for got, want in zip(run(name, periods, [x]), expected):
            assert np.array_equal(np.isnan(got), np.isnan(want)), seed
            real = ~np.isnan(want)
            assert np.all(np.abs(got[real] - want[real]) <= 1e-9 * np.maximum(1.0, np.abs(want[real]))), seed


@pytest.mark.parametrize("name, periods", CASES)
@pytest.mark.parametrize("seed", range(4))
def test_gives_the_plain_references_bits(name, periods, seed):
    rng = np.random.default_rng(100 + seed)
    x = messy_bars(rng, 400)
    expected = CATALOGUE[name][2](*periods, x.tolist())
    (got,) = run(name, periods, [x])
    assert mismatches(array_bits(got), expected) == []


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
    ],
)
def test_one_bad_value_spoils_only_the_outputs_that_use_it(name, periods, data, expected):
    (got,) = run(name, periods, [np.array(data, dtype=np.float64)])
    np.testing.assert_array_equal(got, np.array(expected))
