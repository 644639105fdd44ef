"""Checks of indicator_macd, in the order the function makes them."""

import numpy as np
import pytest

import reference as ref
from support import assert_matches, refusal_views, sentinel_array, short_views, snapshot

marundex = pytest.importorskip("marundex")

ZERO_MSG = "Periods must be greater than 0"
ORDER_MSG = "Fast period must be less than slow period"
LENGTH_MSG = "All output arrays must have the same length as input data"
INPUT_MSG = "Input array must be C-contiguous"
OUTPUT_MSGS = {
    "macd": "MACD output array must be C-contiguous",
    "signal": "Signal output array must be C-contiguous",
    "hist": "Histogram output array must be C-contiguous",
}
WRITEABLE_MSGS = {
    "macd": "MACD output array must be writeable",
    "signal": "Signal output array must be writeable",
    "hist": "Histogram output array must be writeable",
}
SLOTS = ["macd", "signal", "hist"]


def outputs(n):
    return {slot: sentinel_array(n) for slot in SLOTS}


def run(periods, data, outs):
    return marundex.indicator_macd(*periods, data, outs["macd"], outs["signal"], outs["hist"])


def refused(periods, data, outs, message, exc_type=ValueError):
    before = {slot: snapshot(arr) for slot, arr in outs.items()}
    with pytest.raises(exc_type) as info:
        run(periods, data, outs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert info.value.args == (message,)
    for slot, arr in outs.items():
        assert snapshot(arr) == before[slot], slot
    return info.value


def read_only(array):
    array.flags.writeable = False
    return array


def check_results(periods, data, outs):
    m, s, h = ref.macd(*periods, data.tolist())
    assert_matches(outs["macd"], m, "macd")
    assert_matches(outs["signal"], s, "signal")
    assert_matches(outs["hist"], h, "hist")


# --- periods ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "periods",
    [(0, 3, 2), (2, 0, 2), (2, 3, 0), (0, 0, 0), (0, 1, 1), (5, 3, 0), (0, 2**64 - 1, 1)],
)
@pytest.mark.parametrize("n", [0, 6])
def test_zero_period_is_refused_even_for_empty_arrays(periods, n):
    refused(periods, np.arange(float(n)), outputs(n), ZERO_MSG)


@pytest.mark.parametrize("periods", [(3, 3, 2), (4, 3, 2), (2**64 - 1, 2, 1), (2, 1, 9)])
@pytest.mark.parametrize("n", [0, 6])
def test_fast_not_below_slow_is_refused_even_for_empty_arrays(periods, n):
    refused(periods, np.arange(float(n)), outputs(n), ORDER_MSG)


def test_malformed_array_is_reported_before_a_bad_period():
    n = 4
    outs = outputs(n)
    with pytest.raises(TypeError) as info:
        marundex.indicator_macd(0, 0, 0, np.arange(4.0), outs["macd"], [0.0] * 4, outs["hist"])
    assert str(info.value) == "argument 'signal_output': 'list' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as info:
        marundex.indicator_macd(5, 3, 2, np.zeros(4, dtype=np.float32), outs["macd"], outs["signal"], outs["hist"])
    assert str(info.value) == "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


def test_outputs_are_converted_in_order():
    z = np.zeros(3)
    for position, param in enumerate(["macd_output", "signal_output", "hist_output"]):
        arrays = [z, z, z]
        for later in range(position, 3):
            arrays[later] = np.zeros((3, 1))
        with pytest.raises(TypeError) as info:
            marundex.indicator_macd(2, 3, 2, z, *arrays)
        assert str(info.value) == f"argument '{param}': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


# --- lengths ---------------------------------------------------------------------------


@pytest.mark.parametrize("slot", SLOTS)
@pytest.mark.parametrize("length", [0, 5, 7, 20])
def test_each_output_must_match_the_input_length(slot, length):
    outs = outputs(6)
    outs[slot] = sentinel_array(length)
    refused((2, 3, 2), np.arange(6.0), outs, LENGTH_MSG)


def test_period_checks_come_before_lengths():
    outs = outputs(6)
    outs["hist"] = sentinel_array(2)
    refused((0, 3, 2), np.arange(6.0), outs, ZERO_MSG)
    refused((3, 3, 2), np.arange(6.0), outs, ORDER_MSG)


def test_lengths_come_before_contiguity():
    outs = outputs(4)
    outs["signal"] = sentinel_array(3)
    refused((2, 3, 2), refusal_views(4)["step2"], outs, LENGTH_MSG)
    outs = outputs(4)
    outs["macd"] = refusal_views(4)["reversed"]
    outs["hist"] = sentinel_array(5)
    refused((2, 3, 2), np.arange(4.0), outs, LENGTH_MSG)


class Recorder(np.ndarray):
    """An output whose length protocol is observed, and may misbehave."""

    def __len__(self):
        log = self.__dict__.get("log")
        if log is not None:
            log.append(self.__dict__["label"])
        action = self.__dict__.get("action")
        if action is not None:
            return action(self)
        return self.shape[0]


def recorder(n, label, log, action=None):
    arr = sentinel_array(n).view(Recorder)
    arr.__dict__.update(label=label, log=log, action=action)
    return arr


def test_lengths_are_taken_in_order():
    log = []
    outs = {slot: recorder(5, slot, log) for slot in SLOTS}
    run((2, 3, 2), np.arange(5.0), outs)
    assert log == SLOTS
    check_results((2, 3, 2), np.arange(5.0), outs)


@pytest.mark.parametrize("failing", SLOTS)
def test_a_failing_length_protocol_raises_its_own_exception(failing):
    log = []
    problem = KeyError("no length today")

    def fail(_self):
        raise problem

    outs = {slot: recorder(5, slot, log, fail if slot == failing else None) for slot in SLOTS}
    before = {slot: snapshot(arr) for slot, arr in outs.items()}
    with pytest.raises(KeyError) as info:
        run((2, 3, 2), np.arange(5.0), outs)
    assert info.value is problem
    # the lengths after the failing one are not taken
    assert log == SLOTS[: SLOTS.index(failing) + 1]
    for slot, arr in outs.items():
        assert snapshot(arr) == before[slot]


def test_a_failing_length_beats_an_earlier_mismatch():
    log = []

    def fail(_self):
        raise LookupError("late failure")

    outs = {
        "macd": recorder(3, "macd", log),
        "signal": recorder(5, "signal", log, fail),
        "hist": recorder(5, "hist", log),
    }
    refused((2, 3, 2), np.arange(5.0), outs, "late failure", LookupError)
    assert log == ["macd", "signal"]


def test_period_checks_come_before_the_length_protocol():
    log = []
    outs = {slot: recorder(5, slot, log) for slot in SLOTS}
    refused((0, 3, 2), np.arange(5.0), outs, ZERO_MSG)
    refused((3, 2, 2), np.arange(5.0), outs, ORDER_MSG)
    assert log == []


@pytest.mark.parametrize("slot", SLOTS)
@pytest.mark.parametrize("real", [3, 9])
def test_a_length_that_lies_about_the_dimension_is_refused(slot, real):
    n = 6
    outs = outputs(n)
    outs[slot] = recorder(real, slot, [], lambda _self: n)
    refused((2, 3, 2), np.arange(float(n)), outs, LENGTH_MSG)


@pytest.mark.parametrize("slot", SLOTS)
def test_a_reported_length_that_differs_from_the_input_is_refused(slot):
    n = 6
    outs = outputs(n)
    outs[slot] = recorder(n, slot, [], lambda _self: n + 1)
    refused((2, 3, 2), np.arange(float(n)), outs, LENGTH_MSG)


def test_an_output_resized_by_another_length_call_is_refused():
    n = 8
    outs = outputs(n)
    shrunk = outs["macd"]

    def shrink_first(_self):
        shrunk.resize(n // 2, refcheck=False)
        return n

    outs["hist"] = recorder(n, "hist", [], shrink_first)
    before_signal = snapshot(outs["signal"])
    with pytest.raises(ValueError) as info:
        run((2, 3, 2), np.arange(float(n)), outs)
    assert str(info.value) == LENGTH_MSG
    assert shrunk.shape == (n // 2,)
    assert snapshot(shrunk) == snapshot(sentinel_array(n // 2))
    assert snapshot(outs["signal"]) == before_signal


RESIZED_MSG = "argument 'data': array was resized or moved during the call"


@pytest.mark.parametrize("sizes", [(4096,), (100_000, 8)], ids=["grown", "grown-and-shrunk"])
def test_an_input_resized_during_the_length_calls_is_given_back_as_borrowed(registry, sizes):
    n = 8
    data = np.arange(1.0, n + 1.0)
    borrowed = data[:]  # keeps the address the borrow was taken at

    def resize_input(_self):
        for size in sizes:
            data.resize(size, refcheck=False)
        return n

    outs = outputs(n)
    outs["hist"] = recorder(n, "hist", [], resize_input)
    moved = True
    try:
        run((2, 3, 2), data, outs)
        moved = False
    except ValueError as error:
        assert str(error) == RESIZED_MSG
    # a memory allocator may hand the first address back after the round trip
    assert moved == (data.shape != (n,) or data.ctypes.data != borrowed.ctypes.data)
    if not moved:
        check_results((2, 3, 2), data, outs)
    assert registry.nothing_borrowed(borrowed)
    assert registry.nothing_borrowed(data)


@pytest.mark.parametrize(
    "culprit, target",
    [("hist", "macd"), ("hist", "signal"), ("macd", "hist"), ("hist", "hist"), ("signal", "macd")],
)
def test_an_output_reshaped_during_the_length_calls_is_refused(culprit, target):
    n = 6
    outs = outputs(n)

    def reshape(self):
        victim = self if culprit == target else outs[target]
        victim.resize((n, 1), refcheck=False)  # same size: only the dimensions change
        return n

    outs[culprit] = recorder(n, culprit, [], reshape)
    param = {"macd": "macd_output", "signal": "signal_output", "hist": "hist_output"}[target]
    message = f"argument '{param}': array is no longer one-dimensional"
    before = {slot: snapshot(arr) for slot, arr in outs.items()}
    with pytest.raises(ValueError) as info:
        run((2, 3, 2), np.arange(float(n)), outs)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    for slot, arr in outs.items():
        assert snapshot(arr) == before[slot]


# --- contiguity -------------------------------------------------------------------------


@pytest.mark.parametrize("kind", list(refusal_views(2)))
def test_non_contiguous_input_is_refused(kind):
    refused((2, 3, 2), refusal_views(5)[kind], outputs(5), INPUT_MSG)


@pytest.mark.parametrize("slot", SLOTS)
@pytest.mark.parametrize("kind", list(refusal_views(2)))
def test_non_contiguous_output_is_refused(slot, kind):
    outs = outputs(5)
    outs[slot] = refusal_views(5)[kind]
    refused((2, 3, 2), np.arange(5.0), outs, OUTPUT_MSGS[slot])


def test_contiguity_order():
    bad = refusal_views(5)
    outs = outputs(5)
    outs["macd"], outs["signal"], outs["hist"] = bad["reversed"], bad["step2"], bad["broadcast"]
    refused((2, 3, 2), bad["record-field"], outs, INPUT_MSG)
    refused((2, 3, 2), np.arange(5.0), outs, OUTPUT_MSGS["macd"])
    outs["macd"] = sentinel_array(5)
    refused((2, 3, 2), np.arange(5.0), outs, OUTPUT_MSGS["signal"])
    outs["signal"] = sentinel_array(5)
    refused((2, 3, 2), np.arange(5.0), outs, OUTPUT_MSGS["hist"])


@pytest.mark.parametrize("kind", list(short_views()))
def test_short_views_are_accepted(kind):
    n = short_views()[kind].shape[0]
    data = np.array([7.0] * n)
    outs = {slot: short_views()[kind] for slot in SLOTS}
    assert run((1, 2, 1), data, outs) is None
    check_results((1, 2, 1), data, outs)
    data = short_views()[kind]
    outs = outputs(n)
    run((1, 2, 1), data, outs)
    check_results((1, 2, 1), data, outs)


def test_the_message_of_the_input_has_no_float64_words():
    assert INPUT_MSG == "Input array must be C-contiguous"
    refused((2, 3, 2), np.arange(8.0)[::-2], outputs(4), "Input array must be C-contiguous")


# --- writeability -----------------------------------------------------------------------------


@pytest.mark.parametrize("slot", SLOTS)
@pytest.mark.parametrize("n", [1, 5])
def test_read_only_output_is_refused(slot, n):
    outs = outputs(n)
    read_only(outs[slot])
    refused((1, 2, 1), np.arange(float(n)), outs, WRITEABLE_MSGS[slot])


def test_read_only_outputs_are_reported_in_order():
    outs = {slot: read_only(sentinel_array(4)) for slot in SLOTS}
    refused((2, 3, 2), np.arange(4.0), outs, WRITEABLE_MSGS["macd"])
    outs["macd"] = sentinel_array(4)
    refused((2, 3, 2), np.arange(4.0), outs, WRITEABLE_MSGS["signal"])
    outs["signal"] = sentinel_array(4)
    refused((2, 3, 2), np.arange(4.0), outs, WRITEABLE_MSGS["hist"])


def test_writeability_is_checked_after_every_other_check():
    outs = {slot: read_only(sentinel_array(4)) for slot in SLOTS}
    outs["hist"] = refusal_views(4)["reversed"]
    refused((2, 3, 2), np.arange(4.0), outs, OUTPUT_MSGS["hist"])
    outs["hist"] = sentinel_array(5)
    refused((2, 3, 2), np.arange(4.0), outs, LENGTH_MSG)
    refused((3, 3, 2), np.arange(4.0), outs, ORDER_MSG)
    outs["hist"] = read_only(sentinel_array(4))
    refused((2, 3, 2), refusal_views(4)["step2"], outs, INPUT_MSG)


def test_reshaped_output_is_reported_before_read_only_outputs():
    n = 4
    outs = {slot: read_only(sentinel_array(n)) for slot in ("macd", "signal")}

    def reshape(_self):
        outs["signal"].resize((n, 1), refcheck=False)
        return n

    outs["hist"] = recorder(n, "hist", [], reshape)
    refused((2, 3, 2), np.arange(float(n)), outs, "argument 'signal_output': array is no longer one-dimensional")


def test_empty_read_only_outputs_are_accepted():
    outs = {slot: read_only(np.empty(0)) for slot in SLOTS}
    assert run((2, 3, 2), np.empty(0), outs) is None


def test_empty_arrays_with_valid_periods():
    outs = {slot: np.empty(0) for slot in SLOTS}
    assert run((1, 2, 2**64 - 1), np.empty(0), outs) is None
