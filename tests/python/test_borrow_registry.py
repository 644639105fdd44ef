"""The shared borrow registry that marundex publishes, used as another module would.

These tests reach the registry only through the capsule's table, the way a
separately built extension module does, and check the protocol's rules:
read borrows coexist, writable borrows exclude overlapping memory, and the
return codes are 0 (granted), -1 (already borrowed) and -2 (not writeable).
"""

import numpy as np
import pytest

from borrows import ALREADY_BORROWED, CAPSULE_NAME, GRANTED, NOT_WRITEABLE, capsule_name, published_capsule

pytest.importorskip("marundex")


@pytest.fixture
def x():
    return np.arange(8, dtype=np.float64)


def on_buffer(buf, shape, dtype=np.float64, offset=0, strides=None):
    """An array over a bytearray: its NumPy base is the bytearray itself."""
    return np.ndarray(shape, dtype=dtype, buffer=buf, offset=offset, strides=strides)


def test_capsule_is_published_with_version_one(registry):
    capsule = published_capsule()
    assert capsule is registry.capsule
    assert type(capsule).__name__ == "PyCapsule"
    assert capsule_name(capsule) == CAPSULE_NAME.encode()
    assert registry.version == 1
    assert registry.registry  # a non-null registry pointer


def test_read_blocks_overlapping_write(registry, x):
    with registry.reading(x[0:5]):
        assert registry.acquire_write(x[3:8]) == ALREADY_BORROWED
        assert registry.acquire_write(x) == ALREADY_BORROWED
        assert registry.acquire_read(x[3:8]) == GRANTED
        registry.release_read(x[3:8])
    assert registry.nothing_borrowed(x)


def test_write_blocks_overlapping_read_and_write(registry, x):
    with registry.writing(x[3:8]):
        assert registry.acquire_read(x[0:5]) == ALREADY_BORROWED
        assert registry.acquire_write(x[0:5]) == ALREADY_BORROWED
        assert registry.acquire_read(x) == ALREADY_BORROWED
    assert registry.nothing_borrowed(x)


@pytest.mark.parametrize("first_write", [False, True])
def test_disjoint_ranges_never_conflict(registry, x, first_write):
    a, b = x[0:4], x[4:8]
    first = registry.writing if first_write else registry.reading
    with first(a):
        with registry.writing(b):
            pass
    assert registry.nothing_borrowed(x)


def test_interleaved_views_do_not_conflict(registry, x):
    with registry.writing(x[::2]):
        with registry.writing(x[1::2]):
            assert registry.acquire_read(x[::4]) == ALREADY_BORROWED
            assert registry.acquire_read(x) == ALREADY_BORROWED
    assert registry.nothing_borrowed(x)


def test_reversed_view_conflicts(registry, x):
    with registry.reading(x):
        assert registry.acquire_write(x[::-1]) == ALREADY_BORROWED
    with registry.writing(x[::-1]):
        assert registry.acquire_read(x) == ALREADY_BORROWED
    assert registry.nothing_borrowed(x)


def test_zero_dimensional_views(registry, x):
    # A zero-dimensional view reads one element, the first one included, so a
    # writable borrow of the whole array blocks it wherever it lies.
    inner = x[3, ...]
    edge = x[0, ...]
    assert inner.ndim == 0 and inner.base is x
    with registry.writing(x):
        assert registry.acquire_read(inner) == ALREADY_BORROWED
        assert registry.acquire_read(edge) == ALREADY_BORROWED
    assert registry.nothing_borrowed(x)


def test_empty_views(registry):
    buf = bytearray(64)
    whole = on_buffer(buf, (8,))
    inside = on_buffer(buf, (0,), offset=16)
    at_start = on_buffer(buf, (0,), offset=0)
    with registry.writing(whole):
        assert registry.acquire_read(inside) == ALREADY_BORROWED
        assert registry.acquire_read(at_start) == GRANTED
        registry.release_read(at_start)
    assert registry.nothing_borrowed(whole)


def test_same_array_read_twice(registry, x):
    assert registry.acquire_read(x) == GRANTED
    assert registry.acquire_read(x) == GRANTED
    assert registry.acquire_write(x) == ALREADY_BORROWED
    registry.release_read(x)
    assert registry.acquire_write(x) == ALREADY_BORROWED
    registry.release_read(x)
    assert registry.acquire_write(x) == GRANTED
    registry.release_write(x)


def test_equal_views_share_one_key(registry, x):
    # two distinct view objects with the same span are the same key
    a, b = x[2:6], x[2:6]
    assert a is not b
    assert registry.acquire_read(a) == GRANTED
    assert registry.acquire_read(b) == GRANTED
    registry.release_read(a)
    assert registry.acquire_write(x[2:6]) == ALREADY_BORROWED
    registry.release_read(b)
    assert registry.nothing_borrowed(x)


def test_write_then_read_or_write_of_the_same_span(registry, x):
    with registry.writing(x):
        assert registry.acquire_read(x) == ALREADY_BORROWED
        assert registry.acquire_write(x) == ALREADY_BORROWED
        assert registry.acquire_write(x[:]) == ALREADY_BORROWED
    assert registry.nothing_borrowed(x)


def test_read_only_array_cannot_be_borrowed_for_writing(registry, x):
    frozen = x.view()
    frozen.flags.writeable = False
    assert registry.acquire_write(frozen) == NOT_WRITEABLE
    # nothing was registered by the refusal
    assert registry.nothing_borrowed(x)
    lonely = np.ones(3)
    lonely.flags.writeable = False
    assert registry.acquire_write(lonely) == NOT_WRITEABLE
    assert registry.acquire_read(lonely) == GRANTED
    registry.release_read(lonely)


def test_read_only_refusal_comes_before_conflicts(registry, x):
    frozen = x.view()
    frozen.flags.writeable = False
    with registry.writing(x):
        assert registry.acquire_write(frozen) == NOT_WRITEABLE


def test_separate_buffers_never_conflict(registry):
    a, b = np.zeros(8), np.zeros(8)
    with registry.writing(a):
        with registry.writing(b):
            pass


def test_arrays_over_one_buffer_object_share_their_base(registry):
    buf = bytearray(64)
    first = on_buffer(buf, (8,))
    second = on_buffer(buf, (4,), offset=16)
    assert first.base is buf and second.base is buf
    with registry.reading(first):
        assert registry.acquire_write(second) == ALREADY_BORROWED
    with registry.writing(second):
        assert registry.acquire_read(on_buffer(buf, (2,), offset=0)) == GRANTED
        registry.release_read(on_buffer(buf, (2,), offset=0))
        assert registry.acquire_read(on_buffer(buf, (2,), offset=24)) == ALREADY_BORROWED
    assert registry.nothing_borrowed(first)


def test_two_dimensional_spans(registry):
    grid = np.zeros((4, 4))
    with registry.writing(grid[:, 0]):
        # columns: ranges overlap, pointers 8 bytes apart, common divisor 32
        with registry.writing(grid[:, 1]):
            pass
        assert registry.acquire_read(grid[1]) == ALREADY_BORROWED
        assert registry.acquire_read(grid[:, ::2]) == ALREADY_BORROWED
        assert registry.acquire_read(grid[:, 1::2]) == GRANTED
        registry.release_read(grid[:, 1::2])
    with registry.writing(grid[:, 1]):
        # the whole grid steps by 8 bytes (its second axis), not by its first axis's 32
        assert registry.acquire_read(grid) == ALREADY_BORROWED
    assert registry.nothing_borrowed(grid)


def test_broadcast_spans_with_overlapping_ranges_conflict(registry):
    buf = bytearray(64)
    wide = on_buffer(buf, (3,), dtype=np.complex128, strides=(0,))  # bytes 0..16, divisor 0
    narrow = on_buffer(buf, (5,), offset=8, strides=(0,))  # bytes 8..16, divisor 0
    with registry.reading(wide):
        assert registry.acquire_write(narrow) == ALREADY_BORROWED
    with registry.writing(narrow):
        assert registry.acquire_read(wide) == ALREADY_BORROWED
    assert registry.nothing_borrowed(on_buffer(buf, (8,)))


def test_broadcast_spans_of_one_element_share_a_key(registry):
    buf = bytearray(64)
    a = on_buffer(buf, (3,), strides=(0,))
    b = on_buffer(buf, (6,), strides=(0,))
    with registry.reading(a):
        assert registry.acquire_read(b) == GRANTED
        assert registry.acquire_write(b) == ALREADY_BORROWED
        registry.release_read(b)
    with registry.writing(a):
        assert registry.acquire_write(b) == ALREADY_BORROWED


def test_broadcast_against_strided_uses_the_strided_divisor(registry):
    buf = bytearray(64)
    every_other = on_buffer(buf, (4,), strides=(16,))  # elements 0, 2, 4, 6
    odd_element = on_buffer(buf, (3,), offset=24, strides=(0,))  # element 3 repeated
    even_element = on_buffer(buf, (3,), offset=32, strides=(0,))  # element 4 repeated
    with registry.writing(every_other):
        assert registry.acquire_read(odd_element) == GRANTED
        registry.release_read(odd_element)
        assert registry.acquire_read(even_element) == ALREADY_BORROWED


def test_release_without_borrow_changes_nothing(registry, x):
    registry.release_read(x)
    registry.release_write(x)
    assert registry.nothing_borrowed(x)
    with registry.reading(x[0:4]):
        registry.release_read(x[4:8])  # never borrowed
        registry.release_write(x[6:8])  # never borrowed
        assert registry.acquire_write(x[0:2]) == ALREADY_BORROWED
        assert registry.acquire_write(x[4:8]) == GRANTED
        registry.release_write(x[4:8])
    assert registry.nothing_borrowed(x)


def test_many_borrows_of_one_base(registry):
    x = np.zeros(64)
    views = [x[i : i + 1] for i in range(64)]
    for v in views:
        assert registry.acquire_write(v) == GRANTED
    assert registry.acquire_read(x) == ALREADY_BORROWED
    for v in views:
        registry.release_write(v)
    assert registry.nothing_borrowed(x)


def test_borrows_from_several_threads(registry):
    import threading

    arrays = [np.zeros(16) for _ in range(4)]
    failures = []

    def worker(arr):
        for _ in range(200):
            if registry.acquire_read(arr[:8]) != GRANTED:
                failures.append("read")
            if registry.acquire_write(arr[8:]) != GRANTED:
                failures.append("write")
            registry.release_write(arr[8:])
            registry.release_read(arr[:8])

    threads = [threading.Thread(target=worker, args=(a,)) for a in arrays]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    for a in arrays:
        assert registry.nothing_borrowed(a)
