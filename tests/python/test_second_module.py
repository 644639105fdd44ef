"""A second extension module on the same borrow registry, in both directions.

``borrow_peer`` (tests/second_module) is built with this interpreter's
compiler. Whichever of the two modules borrows first publishes the registry,
and the other must end up on the same table: the peer's writable borrow of an
input, or of other memory that overlaps it, makes marundex refuse the call
without writing anything; its writable borrow of an output does not.
"""

import pytest

import peer
from support import check_ok, run_python

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess

SCENARIO = """
import numpy as np
import borrow_peer
import marundex
import borrows
from support import (FUNCTIONS, INPUTS, OUTPUTS, PARAMS, SENTINEL_BITS, array_bits, assert_matches,
                     expected_outputs, valid_arguments)

if FIRST == "marundex":
    marundex.indicator_sma(1, np.zeros(1), np.zeros(1))
else:
    probe = np.zeros(1)
    assert borrow_peer.acquire_write(probe) == 0
    borrow_peer.release_write(probe)
capsule = borrows.published_capsule()
table = borrows._capsule_get_pointer(capsule, borrows.capsule_name(capsule))
assert borrow_peer.table_address() == table
assert borrow_peer.created() == (FIRST == "peer")


def call(name, arguments):
    return getattr(marundex, name)(*arguments.values())


def overlapping(values):
    # (array passed to marundex, array the peer holds): the same array, a view
    # of the same NumPy array, another frombuffer view of the same bytearray
    backing = np.zeros(16)
    backing[4:12] = values
    buf = bytearray(8 * 12)
    view = np.frombuffer(buf, np.float64, count=8, offset=16)
    view[:] = values
    return [(values, values), (backing[4:12], backing[10:14]), (backing[4:12], backing[::-1]),
            (view, np.frombuffer(buf, np.float64)[2:5])]


for name in FUNCTIONS:
    for param in [p for p in PARAMS[name] if p in INPUTS]:
        for passed, held in overlapping(valid_arguments(name, 8)[param]):
            arguments = valid_arguments(name, 8)
            arguments[param] = passed
            assert borrow_peer.acquire_write(held) == 0
            try:
                call(name, arguments)
            except BufferError as err:
                assert str(err) == f"argument '{param}': array is already borrowed for writing", str(err)
            else:
                raise AssertionError(f"{name}: {param} was not refused")
            for out in OUTPUTS & arguments.keys():
                assert array_bits(arguments[out]) == [SENTINEL_BITS] * 8, (name, out)
            borrow_peer.release_write(held)
            expected = expected_outputs(name, arguments)
            assert borrow_peer.acquire_read(held) == 0  # a read borrow does not stand in the way
            assert call(name, arguments) is None
            borrow_peer.release_read(held)
            for out, values in expected.items():
                assert_matches(arguments[out], values, out)
    for param in [p for p in PARAMS[name] if p in OUTPUTS]:
        arguments = valid_arguments(name, 8)
        expected = expected_outputs(name, arguments)
        assert borrow_peer.acquire_write(arguments[param]) == 0
        assert call(name, arguments) is None
        borrow_peer.release_write(arguments[param])
        for out, values in expected.items():
            assert_matches(arguments[out], values, out)
        # every borrow marundex took is back
        for array in arguments.values():
            if isinstance(array, np.ndarray):
                assert borrow_peer.acquire_write(array) == 0
                borrow_peer.release_write(array)
assert borrow_peer.live_borrows() == (0 if FIRST == "peer" else -1)
print("OK")
"""


@pytest.mark.parametrize("first", ["marundex", "peer"])
def test_both_modules_share_one_registry(first):
    code = peer.import_line() + f"FIRST = {first!r}\n" + SCENARIO
    check_ok(run_python(code, timeout=120))
