"""Borrows of views that share memory always exclude each other.

Random pairs of views of one bytearray (any offset, element size, stride sign
and size, up to three dimensions; over the bytearray directly, over a NumPy
array made by ``numpy.frombuffer``, or remade by ``as_strided``): whenever
NumPy finds a shared byte, a writable borrow of one view refuses every borrow
of the other, and a read borrow refuses a writable one. The registry may
refuse more, never less.
"""

import numpy as np
import pytest

from borrows import ALREADY_BORROWED, GRANTED

pytest.importorskip("marundex")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

SIZE = 192
DTYPES = ["u1", "<u2", ">i4", "f8", "c16"]


@st.composite
def view_of(draw, buf):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    ndim = draw(st.integers(0, 3))
    shape = tuple(draw(st.integers(0, 4)) for _ in range(ndim))
    strides = tuple(draw(st.integers(-40, 40)) for _ in range(ndim))
    if any(extent == 0 for extent in shape):
        low = high = 0
    else:
        low = sum((e - 1) * s for e, s in zip(shape, strides) if s < 0)
        high = sum((e - 1) * s for e, s in zip(shape, strides) if s > 0)
    hypothesis.assume(high - low + dtype.itemsize <= SIZE)
    offset = draw(st.integers(-low, SIZE - dtype.itemsize - high))
    owner = buf if draw(st.booleans()) else np.frombuffer(buf, np.uint8)
    view = np.ndarray(shape, dtype, buffer=owner, offset=offset, strides=strides)
    if draw(st.integers(0, 3)) == 0:  # the same view, its base chain ending at an array-interface object
        view = np.lib.stride_tricks.as_strided(view)
    return view


@st.composite
def view_pairs(draw):
    buf = bytearray(SIZE)
    return buf, draw(view_of(buf)), draw(view_of(buf))


@settings(max_examples=400)
@given(view_pairs())
def test_views_sharing_memory_exclude_each_other(registry, pair):
    buf, a, b = pair
    shared = np.shares_memory(a, b, max_work=None)
    hypothesis.event("sharing memory" if shared else "apart")
    for first, second in [(a, b), (b, a)]:
        assert registry.acquire_write(first) == GRANTED
        blocked = (registry.acquire_read(second), registry.acquire_write(second))
        for code, release in zip(blocked, (registry.release_read, registry.release_write)):
            if code == GRANTED:
                release(second)
        registry.release_write(first)
        assert registry.acquire_read(first) == GRANTED
        write_after_read = registry.acquire_write(second)
        if write_after_read == GRANTED:
            registry.release_write(second)
        registry.release_read(first)
        if shared:
            assert blocked == (ALREADY_BORROWED, ALREADY_BORROWED), (first.__array_interface__, second.__array_interface__)
            assert write_after_read == ALREADY_BORROWED
    assert registry.nothing_borrowed(np.frombuffer(buf, np.uint8))


def _misaligned(buf):
    return np.frombuffer(buf, np.float64, count=4), np.frombuffer(buf, np.float64, count=4, offset=4)


def _through_array_interface(buf):
    whole = np.frombuffer(buf, np.float64)
    return whole, np.lib.stride_tricks.as_strided(whole, shape=(4,), strides=(16,))


def _zero_dimensional_first_element(buf):
    whole = np.frombuffer(buf, np.float64)
    return whole, whole[0, ...]


@pytest.mark.parametrize("make", [_misaligned, _through_array_interface, _zero_dimensional_first_element])
def test_known_overlaps_are_refused(registry, make):
    # views that once slipped past: elements wider than the offset between the
    # data pointers, a base chain ending at an array-interface object, and a
    # zero-dimensional view of the first element
    first, second = make(bytearray(SIZE))
    assert np.shares_memory(first, second)
    with registry.writing(first):
        assert registry.acquire_read(second) == ALREADY_BORROWED
    with registry.writing(second):
        assert registry.acquire_read(first) == ALREADY_BORROWED
