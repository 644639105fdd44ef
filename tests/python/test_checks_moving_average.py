"""Checks of indicator_sma and indicator_ema: contiguity, lengths, writeability, order."""

import numpy as np
import pytest

import reference as ref
from support import (
    array_bits,
    assert_matches,
    refusal_views,
    sentinel_array,
    short_views,
    snapshot,
)

marundex = pytest.importorskip("marundex")

NAMES = ["indicator_sma", "indicator_ema"]
KERNELS = {"indicator_sma": ref.sma, "indicator_ema": ref.ema}
INPUT_MSG = "Input array must be C-contiguous and float64"
OUTPUT_MSG = "Output array must be C-contiguous and float64"
LENGTH_MSG = "Output array length must match input"
WRITEABLE_MSG = "Output array must be writeable"


def refused(name, period, data, output, message):
    before = snapshot(output)
    with pytest.raises(ValueError) as info:
        getattr(marundex, name)(period, data, output)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert snapshot(output) == before


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kind", list(refusal_views(2)))
@pytest.mark.parametrize("n", [2, 3, 7])
def test_non_contiguous_input_is_refused(name, kind, n):
    refused(name, 2, refusal_views(n)[kind], sentinel_array(n), INPUT_MSG)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kind", list(refusal_views(2)))
@pytest.mark.parametrize("n", [2, 5])
def test_non_contiguous_output_is_refused(name, kind, n):
    refused(name, 2, np.arange(float(n)), refusal_views(n)[kind], OUTPUT_MSG)


@pytest.mark.parametrize("name", NAMES)
def test_input_contiguity_is_checked_before_output_contiguity(name):
    refused(name, 2, refusal_views(4)["reversed"], refusal_views(4)["step2"], INPUT_MSG)


@pytest.mark.parametrize("name", NAMES)
def test_contiguity_is_checked_before_lengths(name):
    refused(name, 2, refusal_views(4)["step2"], sentinel_array(3), INPUT_MSG)
    refused(name, 2, np.arange(5.0), refusal_views(4)["reversed"], OUTPUT_MSG)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("n_in, n_out", [(5, 4), (4, 5), (0, 1), (1, 0), (2, 20)])
def test_length_mismatch(name, n_in, n_out):
    refused(name, 2, np.arange(float(n_in)), sentinel_array(n_out), LENGTH_MSG)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("period", [0, 1, 2**64 - 1])
def test_period_is_not_range_checked(name, period):
    data = np.arange(1.0, 6.0)
    out = sentinel_array(5)
    assert getattr(marundex, name)(period, data, out) is None
    assert_matches(out, KERNELS[name](period, data.tolist()))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kind", list(short_views()))
def test_short_views_of_any_stride_are_accepted_as_input(name, kind):
    data = short_views()[kind]
    n = data.shape[0]
    out = sentinel_array(n)
    assert getattr(marundex, name)(1, data, out) is None
    assert_matches(out, KERNELS[name](1, data.tolist()))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kind", list(short_views()))
def test_short_views_of_any_stride_are_accepted_as_output(name, kind):
    out = short_views()[kind]
    n = out.shape[0]
    data = np.array([4.5] * n)
    assert getattr(marundex, name)(1, data, out) is None
    assert_matches(out, KERNELS[name](1, data.tolist()))


@pytest.mark.parametrize("name", NAMES)
def test_single_element_strided_output_writes_only_its_element(name):
    backing = sentinel_array(4)
    out = backing[1:3:2]  # one element, stride 16
    getattr(marundex, name)(1, np.array([3.25]), out)
    assert backing[1] == 3.25
    assert array_bits(backing[[0, 2, 3]]) == array_bits(sentinel_array(3))


@pytest.mark.parametrize("name", NAMES)
def test_stride_eight_views_are_used_in_place(name):
    backing_in = np.arange(20.0) ** 1.5
    backing_out = sentinel_array(20)
    data = backing_in[3:13]
    out = backing_out[5:15]
    getattr(marundex, name)(3, data, out)
    assert_matches(out, KERNELS[name](3, data.tolist()))
    untouched = np.concatenate([backing_out[:5], backing_out[15:]])
    assert array_bits(untouched) == array_bits(sentinel_array(10))


@pytest.mark.parametrize("name", NAMES)
def test_column_of_a_two_dimensional_array_has_stride_eight(name):
    grid = np.arange(12.0).reshape(6, 2)
    column = np.ascontiguousarray(grid[:, :1]).reshape(6, 1)[:, 0]
    assert column.strides == (8,)
    out = sentinel_array(6)
    getattr(marundex, name)(2, column, out)
    assert_matches(out, KERNELS[name](2, column.tolist()))


# --- writeability --------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("n", [1, 4])
def test_read_only_output_is_refused_before_the_kernel(name, n):
    refused(name, 2, np.arange(float(n)), read_only(sentinel_array(n)), WRITEABLE_MSG)


@pytest.mark.parametrize("name", NAMES)
def test_writeability_is_checked_after_everything_else(name):
    refused(name, 2, refusal_views(4)["reversed"], read_only(sentinel_array(4)), INPUT_MSG)
    refused(name, 2, np.arange(4.0), read_only(sentinel_array(5)), LENGTH_MSG)
    refused(name, 2, np.arange(4.0), np.broadcast_to(np.float64(1.0), (4,)), OUTPUT_MSG)
    refused(name, 2, np.arange(4.0), read_only(sentinel_array(4)[::-1]), OUTPUT_MSG)


@pytest.mark.parametrize("name", NAMES)
def test_read_only_broadcast_single_element_is_refused_as_read_only(name):
    out = np.broadcast_to(np.float64(1.0), (1,))
    assert not out.flags.writeable
    refused(name, 1, np.array([2.0]), out, WRITEABLE_MSG)


@pytest.mark.parametrize("name", NAMES)
def test_empty_read_only_output_is_accepted(name):
    out = read_only(np.empty(0))
    assert getattr(marundex, name)(3, np.empty(0), out) is None


@pytest.mark.parametrize("name", NAMES)
def test_read_only_input_is_fine(name):
    data = read_only(np.arange(1.0, 6.0))
    out = sentinel_array(5)
    getattr(marundex, name)(2, data, out)
    assert_matches(out, KERNELS[name](2, data.tolist()))


# --- empty series ---------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("period", [0, 1, 3, 2**64 - 1])
def test_empty_series_returns_none(name, period):
    assert getattr(marundex, name)(period, np.empty(0), np.empty(0)) is None


# --- order against conversions --------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_conversions_come_before_value_checks(name):
    fn = getattr(marundex, name)
    with pytest.raises(TypeError) as info:
        fn(2, refusal_views(4)["reversed"], [0.0] * 3)
    assert str(info.value) == "argument 'output': 'list' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as info:
        fn("x", np.zeros(3, dtype=np.float32), [0.0])
    assert str(info.value).startswith("argument 'period': ")
    with pytest.raises(TypeError) as info:
        fn(2, np.zeros(3, dtype=np.float32), [0.0])
    assert str(info.value) == "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
