"""Checks of indicator_atr, in the order the function makes them."""

import numpy as np
import pytest

import reference as ref
from support import assert_all_holes, assert_matches, refusal_views, sentinel_array, short_views, snapshot

marundex = pytest.importorskip("marundex")

CONTIGUITY_MSGS = {
    "high": "High array must be C-contiguous and float64",
    "low": "Low array must be C-contiguous and float64",
    "close": "Close array must be C-contiguous and float64",
    "output": "Output array must be C-contiguous and float64",
}
LENGTH_MSG = "All arrays must have the same length"
SHORT_MSG = "Output array must not be shorter than the input arrays"
WRITEABLE_MSG = "Output array must be writeable"
INPUTS = ["high", "low", "close"]


def prices(n, seed=3):
    rng = np.random.default_rng(seed)
    close = rng.normal(50.0, 2.0, n)
    high = close + rng.uniform(0.0, 1.5, n)
    low = close - rng.uniform(0.0, 1.5, n)
    return {"high": high, "low": low, "close": close}


def run(period, arrays, out):
    return marundex.indicator_atr(period, arrays["high"], arrays["low"], arrays["close"], out)


def refused(period, arrays, out, message):
    before = snapshot(out)
    with pytest.raises(ValueError) as info:
        run(period, arrays, out)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert snapshot(out) == before


def read_only(array):
    array.flags.writeable = False
    return array


def expected(period, arrays, m):
    return ref.atr(period, arrays["high"].tolist(), arrays["low"].tolist(), arrays["close"].tolist(), out_length=m)


@pytest.mark.parametrize("which", INPUTS)
@pytest.mark.parametrize("kind", list(refusal_views(2)))
def test_non_contiguous_input_is_refused(which, kind):
    arrays = prices(5)
    arrays[which] = refusal_views(5)[kind]
    refused(2, arrays, sentinel_array(5), CONTIGUITY_MSGS[which])


@pytest.mark.parametrize("kind", list(refusal_views(2)))
def test_non_contiguous_output_is_refused(kind):
    refused(2, prices(5), refusal_views(5)[kind], CONTIGUITY_MSGS["output"])


def test_contiguity_of_inputs_is_checked_in_order():
    bad = refusal_views(5)
    arrays = {"high": bad["reversed"], "low": bad["step2"], "close": bad["broadcast"]}
    refused(2, arrays, bad["record-field"], CONTIGUITY_MSGS["high"])
    arrays["high"] = np.arange(5.0)
    refused(2, arrays, bad["record-field"], CONTIGUITY_MSGS["low"])
    arrays["low"] = np.arange(5.0)
    refused(2, arrays, bad["record-field"], CONTIGUITY_MSGS["close"])


@pytest.mark.parametrize("lengths", [(5, 5, 4), (4, 5, 5), (5, 4, 5), (0, 1, 1), (3, 0, 3), (6, 5, 4)])
def test_unequal_input_lengths_are_refused(lengths):
    arrays = {k: np.arange(float(n)) for k, n in zip(INPUTS, lengths)}
    refused(2, arrays, sentinel_array(max(lengths)), LENGTH_MSG)


@pytest.mark.parametrize("which", INPUTS)
def test_contiguity_of_an_input_beats_unequal_lengths(which):
    arrays = {"high": np.arange(5.0), "low": np.arange(5.0), "close": np.arange(4.0)}
    arrays[which] = refusal_views(6)["step2"]
    refused(2, arrays, sentinel_array(5), CONTIGUITY_MSGS[which])


def test_non_contiguous_low_with_unequal_lengths_names_low():
    arrays = {"high": np.arange(5.0), "low": np.arange(10.0)[::2][:5][::-1], "close": np.arange(4.0)}
    refused(2, arrays, sentinel_array(5), "Low array must be C-contiguous and float64")


def test_unequal_lengths_beat_output_contiguity():
    arrays = {"high": np.arange(5.0), "low": np.arange(5.0), "close": np.arange(4.0)}
    refused(2, arrays, refusal_views(5)["reversed"], LENGTH_MSG)


# --- output length ---------------------------------------------------------------------------


@pytest.mark.parametrize("n, period, m", [(5, 1, 4), (5, 4, 4), (5, 2, 0), (8, 3, 1), (2, 1, 1)])
def test_short_output_is_refused_when_the_kernel_would_write_past_it(n, period, m):
    refused(period, prices(n), sentinel_array(m), SHORT_MSG)


def test_short_output_contiguity_is_reported_first():
    refused(2, prices(6), refusal_views(4)["step2"], CONTIGUITY_MSGS["output"])


def test_short_output_is_reported_before_read_only():
    refused(2, prices(6), read_only(sentinel_array(4)), SHORT_MSG)


@pytest.mark.parametrize(
    "n, period, m", [(5, 0, 2), (5, 5, 2), (5, 6, 0), (5, 2**64 - 1, 4), (0, 1, 0), (0, 0, 3), (1, 1, 0)]
)
def test_short_output_with_an_unusable_period_is_filled_with_nan(n, period, m):
    out = sentinel_array(m)
    assert run(period, prices(n), out) is None
    assert_all_holes(out)


@pytest.mark.parametrize("n, m", [(0, 4), (3, 7), (6, 9)])
def test_longer_output_keeps_nan_past_the_inputs(n, m):
    arrays = prices(n)
    out = sentinel_array(m)
    run(1, arrays, out)
    assert_matches(out, expected(1, arrays, m))
    assert_all_holes(out[n:])


# --- writeability ---------------------------------------------------------------------------------


@pytest.mark.parametrize("n, period, m", [(5, 2, 5), (5, 0, 5), (5, 9, 2), (0, 0, 1), (1, 1, 1)])
def test_read_only_output_is_refused(n, period, m):
    refused(period, prices(n), read_only(sentinel_array(m)), WRITEABLE_MSG)


def test_read_only_output_is_checked_after_the_other_checks():
    arrays = prices(5)
    refused(2, arrays, read_only(sentinel_array(5)[::-1]), CONTIGUITY_MSGS["output"])
    arrays["low"] = np.arange(4.0)
    refused(2, arrays, read_only(sentinel_array(5)), LENGTH_MSG)
    arrays = prices(5)
    arrays["close"] = refusal_views(5)["reversed"]
    refused(2, arrays, read_only(sentinel_array(5)), CONTIGUITY_MSGS["close"])


@pytest.mark.parametrize("n, period", [(0, 0), (0, 3), (3, 0), (3, 5)])
def test_empty_read_only_output_is_accepted(n, period):
    assert run(period, prices(n), read_only(np.empty(0))) is None


def test_read_only_inputs_are_fine():
    arrays = {k: read_only(v) for k, v in prices(6).items()}
    out = sentinel_array(6)
    run(2, arrays, out)
    assert_matches(out, expected(2, arrays, 6))


# --- accepted views -------------------------------------------------------------------------------


@pytest.mark.parametrize("which", INPUTS + ["output"])
@pytest.mark.parametrize("kind", list(short_views()))
def test_short_views_of_any_stride_are_accepted(which, kind):
    view = short_views()[kind]
    n = view.shape[0]
    arrays = prices(n)
    out = sentinel_array(n)
    if which == "output":
        out = view
    else:
        arrays[which] = view
    expect = expected(1, {k: v.copy() for k, v in arrays.items()}, n)
    assert run(1, arrays, out) is None
    assert_matches(out, expect)


def test_stride_eight_views_are_used_in_place():
    backing = sentinel_array(30)
    arrays = {k: np.concatenate([np.full(4, -1e9), v, np.full(4, -1e9)])[4:-4] for k, v in prices(10).items()}
    out = backing[10:20]
    run(3, arrays, out)
    assert_matches(out, expected(3, arrays, 10))
    assert snapshot(np.concatenate([backing[:10], backing[20:]])) == snapshot(sentinel_array(20))


def test_conversions_come_before_value_checks():
    arrays = prices(4)
    with pytest.raises(TypeError) as info:
        marundex.indicator_atr(2, refusal_views(4)["reversed"], arrays["low"], arrays["close"], [0.0])
    assert str(info.value) == "argument 'output': 'list' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as info:
        marundex.indicator_atr(2, arrays["high"], np.arange(3.0), np.zeros(4, dtype=np.float32), np.zeros(4))
    assert str(info.value) == "argument 'close': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
