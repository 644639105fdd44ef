"""marundex honours writable borrows that another module holds on its inputs."""

import numpy as np
import pytest

from support import FUNCTIONS, INPUTS, PARAMS, assert_matches, deep_snapshot, expected_outputs, outcome, valid_arguments

marundex = pytest.importorskip("marundex")

INPUT_PARAMS = [(name, p) for name in FUNCTIONS for p in PARAMS[name] if p in INPUTS]
OUTPUT_PARAMS = [(name, p) for name in FUNCTIONS for p in PARAMS[name] if p.endswith("output")]


def message(param):
    return f"argument '{param}': array is already borrowed for writing"


def call(name, arguments):
    return getattr(marundex, name)(*arguments.values())


def refused_with_buffer_error(name, arguments, param):
    arrays = [v for v in arguments.values() if isinstance(v, np.ndarray)]
    before = [deep_snapshot(a) for a in arrays]
    with pytest.raises(BufferError) as info:
        call(name, arguments)
    assert type(info.value) is BufferError
    assert str(info.value) == message(param)
    assert info.value.args == (message(param),)
    assert [deep_snapshot(a) for a in arrays] == before


@pytest.mark.parametrize("name, param", INPUT_PARAMS)
def test_writable_borrow_of_an_input_refuses_the_call(registry, name, param):
    arguments = valid_arguments(name)
    with registry.writing(arguments[param]):
        refused_with_buffer_error(name, arguments, param)
    # once the other module is done, the same call goes through
    expected = expected_outputs(name, arguments)
    assert call(name, arguments) is None
    for out, values in expected.items():
        assert_matches(arguments[out], values, out)


@pytest.mark.parametrize("name, param", INPUT_PARAMS)
def test_writable_borrow_of_overlapping_memory_refuses_the_call(registry, name, param):
    arguments = valid_arguments(name, 8)
    backing = np.zeros(16)
    backing[4:12] = arguments[param]
    arguments[param] = backing[4:12]
    with registry.writing(backing[10:14]):
        refused_with_buffer_error(name, arguments, param)
    with registry.writing(backing):
        refused_with_buffer_error(name, arguments, param)
    with registry.writing(backing[::-1]):
        refused_with_buffer_error(name, arguments, param)


@pytest.mark.parametrize("name, param", INPUT_PARAMS)
def test_writable_borrow_through_another_array_over_the_same_buffer(registry, name, param):
    arguments = valid_arguments(name, 8)
    buf = bytearray(8 * 12)
    view = np.ndarray((8,), dtype=np.float64, buffer=buf, offset=16)
    view[:] = arguments[param]
    arguments[param] = view
    other = np.ndarray((12,), dtype=np.float64, buffer=buf)
    assert view.base is buf and other.base is buf
    with registry.writing(other):
        refused_with_buffer_error(name, arguments, param)


@pytest.mark.parametrize("name, param", INPUT_PARAMS)
def test_writable_borrow_through_another_frombuffer_view_of_the_same_bytearray(registry, name, param):
    # Each frombuffer view of a bytearray gets a memoryview of its own as base;
    # the registry must still see that both reach the same memory.
    arguments = valid_arguments(name, 8)
    buf = bytearray(8 * 12)
    view = np.frombuffer(buf, dtype=np.float64, count=8, offset=16)
    view[:] = arguments[param]
    arguments[param] = view
    other = np.frombuffer(buf, dtype=np.float64)
    assert view.base is not other.base
    with registry.writing(other[2:3]):
        refused_with_buffer_error(name, arguments, param)
    with registry.writing(other[:2]):
        assert call(name, arguments) is None


@pytest.mark.parametrize("name, param", INPUT_PARAMS)
def test_writable_borrow_elsewhere_in_the_buffer_does_not_refuse(registry, name, param):
    arguments = valid_arguments(name, 8)
    backing = np.zeros(24)
    backing[8:16] = arguments[param]
    arguments[param] = backing[8:16]
    expected = expected_outputs(name, arguments)
    with registry.writing(backing[:8]), registry.writing(backing[16:]):
        assert call(name, arguments) is None
    for out, values in expected.items():
        assert_matches(arguments[out], values, out)


@pytest.mark.parametrize("name, param", OUTPUT_PARAMS)
def test_writable_borrow_of_an_output_does_not_block_the_call(registry, name, param):
    arguments = valid_arguments(name)
    expected = expected_outputs(name, arguments)
    with registry.writing(arguments[param]):
        assert call(name, arguments) is None
    for out, values in expected.items():
        assert_matches(arguments[out], values, out)


@pytest.mark.parametrize("name, param", INPUT_PARAMS)
def test_read_borrow_held_elsewhere_does_not_block_the_call(registry, name, param):
    arguments = valid_arguments(name)
    with registry.reading(arguments[param]):
        assert call(name, arguments) is None
        # and the call gave back only its own borrows
        assert registry.acquire_write(arguments[param]) == -1


@pytest.mark.parametrize("held", ["high", "low", "close"])
def test_atr_refusal_names_the_refused_input_and_returns_the_others(registry, held):
    arguments = valid_arguments("indicator_atr")
    with registry.writing(arguments[held]):
        refused_with_buffer_error("indicator_atr", arguments, held)
        for other in ("high", "low", "close"):
            if other != held:
                assert registry.nothing_borrowed(arguments[other]), other


def test_atr_same_array_in_every_role_refused_as_high(registry):
    shared = np.linspace(1.0, 2.0, 6)
    with registry.writing(shared):
        with pytest.raises(BufferError) as info:
            marundex.indicator_atr(2, shared, shared, shared, np.zeros(6))
    assert str(info.value) == message("high")


def test_refusal_comes_before_the_value_checks(registry):
    # data is refused at its conversion, before its contiguity is looked at
    x = np.arange(16.0)
    with registry.writing(x[::2]):
        with pytest.raises(BufferError) as info:
            marundex.indicator_sma(2, x[::2], np.zeros(8))
        assert str(info.value) == message("data")
        # the interleaved view does not overlap: the contiguity check speaks
        with pytest.raises(ValueError) as info:
            marundex.indicator_sma(2, x[1::2], np.zeros(8))
        assert str(info.value) == "Input array must be C-contiguous and float64"


def test_refusal_comes_after_the_period_and_before_later_arrays(registry):
    data = np.arange(4.0)
    with registry.writing(data):
        with pytest.raises(TypeError) as info:
            marundex.indicator_ema("x", data, [0.0])
        assert str(info.value).startswith("argument 'period': ")
        with pytest.raises(BufferError) as info:
            marundex.indicator_macd(0, 0, 0, data, [0.0], [0.0], [0.0])
        assert str(info.value) == message("data")


def test_refused_call_leaves_no_reference_behind(registry):
    import sys

    data = np.arange(6.0)
    out = np.zeros(6)
    before = (sys.getrefcount(data), sys.getrefcount(out))
    with registry.writing(data):
        assert outcome(marundex.indicator_sma, 2, data, out)[0] is BufferError
    assert (sys.getrefcount(data), sys.getrefcount(out)) == before


def test_writable_borrow_is_refused_while_a_call_on_another_thread_reads(registry):
    # A call keeps its borrows where its own thread keeps them; another module's
    # writer must find them there while the call computes without the lock.
    import threading

    data = np.ones(4_000_000)
    output = np.empty_like(data)
    done = threading.Event()

    def reader():
        for _ in range(200):
            try:
                marundex.indicator_sma(5, data, output)
            except BufferError:
                pass  # the writer got there first
            if done.is_set():
                return

    thread = threading.Thread(target=reader)
    thread.start()
    refused = 0
    try:
        while thread.is_alive() and refused < 3:
            if registry.acquire_write(data) == 0:
                registry.release_write(data)
            else:
                refused += 1
    finally:
        done.set()
        thread.join()
    assert refused == 3
    assert registry.acquire_write(data) == 0
    registry.release_write(data)
