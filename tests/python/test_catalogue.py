"""The catalogue's stream types against their definitions: TA-Lib's values on clean
random walks, the plain reference bit for bit on messy series, the NaN rule on worked
bars, and checkpoints that only a forger could write. Live equals batch, copies and
damaged checkpoints are rows of test_stream.py's tables."""

import struct

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


def crc64(data):
    crc = (1 << 64) - 1
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xC96C5795D7870F42 if crc & 1 else crc >> 1
    return crc ^ ((1 << 64) - 1)


def forged(state, changes):
    """The state's checkpoint with words changed and its checksum made good."""
    _, (words,) = state.__reduce__()
    body = bytearray(words[:-8])
    for word, value in changes.items():
        body[8 * word : 8 * word + 8] = struct.pack("=Q", value)
    return bytes(body) + struct.pack("=Q", crc64(body))


# Header: 5 words, then the periods, then each state's words.
@pytest.mark.parametrize(
    "name, periods, changes",
    [
        ("RSI", (3,), {5: 1, 6: 1}),  # a period below the smallest
        ("RSI", (3,), {6: 4}),  # the state's period is not the header's
        ("RSI", (3,), {8: 4}),  # more finite changes than the period
        ("RSI", (3,), {2: 99}),  # no type of that kind
    ],
)
def test_forged_checkpoints_are_refused(name, periods, changes):
    state = getattr(ms, name)(*periods)
    state.update(np.ones(1), np.empty(1))
    assert ms._restore(forged(state, {7: 6})).bars == 6  # the forger's own check
    with pytest.raises(ValueError) as raised:
        ms._restore(forged(state, changes))
    assert str(raised.value) == "The checkpoint is damaged: its states are inconsistent"
