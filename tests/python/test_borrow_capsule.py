"""Finding, creating and using the registry capsule, each in a fresh process.

The capsule is looked up at the first borrow of an input array in the
process, so each scenario runs in its own interpreter.
"""

import signal

import pytest

from support import check_ok, run_python

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess

# A stand-in for another extension module that published its own table
# before marundex was first used.  Its operations record every call.
FOREIGN_TABLE = """
import ctypes
import numpy as np
from support import multiarray_module

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Table(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("registry", ctypes.c_void_p),
        ("acquire_read", ACQUIRE),
        ("acquire_write", ACQUIRE),
        ("release_read", RELEASE),
        ("release_write", RELEASE),
        ("private", ctypes.c_uint64 * 4),
    ]


REGISTRY = 0x5EED0
calls = []
answers = {}


def acquire_read(registry, array):
    calls.append(("acquire_read", registry, id(array)))
    return answers.get(id(array), 0)


def acquire_write(registry, array):
    calls.append(("acquire_write", registry, id(array)))
    return 0


def release_read(registry, array):
    calls.append(("release_read", registry, id(array)))


def release_write(registry, array):
    calls.append(("release_write", registry, id(array)))


callbacks = [ACQUIRE(acquire_read), ACQUIRE(acquire_write), RELEASE(release_read), RELEASE(release_write)]
table = Table(VERSION, REGISTRY, *callbacks)
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
name = ctypes.create_string_buffer(CAPSULE_LABEL)
capsule = capsule_new(ctypes.addressof(table), name, None)
setattr(multiarray_module(), "_RUST_NUMPY_BORROW_CHECKING_API", capsule)

import marundex
"""


def foreign(version=1, label=b"_RUST_NUMPY_BORROW_CHECKING_API"):
    return FOREIGN_TABLE.replace("VERSION", str(version)).replace("CAPSULE_LABEL", repr(label))


@pytest.mark.parametrize(
    "version, label",
    [(1, b"_RUST_NUMPY_BORROW_CHECKING_API"), (2, b"_RUST_NUMPY_BORROW_CHECKING_API"), (7, b"another.name")],
    ids=["version-1", "version-2", "other-name"],
)
def test_a_table_published_by_another_module_is_used(version, label):
    code = (
        foreign(version, label)
        + """
data = np.array([1.0, 2.0, 4.0, 8.0])
out = np.zeros(4)
marundex.indicator_sma(3, data, out)
assert calls == [("acquire_read", REGISTRY, id(data)), ("release_read", REGISTRY, id(data))], calls
assert out[3] == 4.666666666666666
assert getattr(multiarray_module(), "_RUST_NUMPY_BORROW_CHECKING_API") is capsule

del calls[:]
outs = [np.zeros(4), np.zeros(4), np.zeros(4)]
marundex.indicator_macd(2, 3, 2, data, *outs)
assert calls == [("acquire_read", REGISTRY, id(data)), ("release_read", REGISTRY, id(data))], calls
assert outs[0][3] == 1.166666666666666

del calls[:]
high, low, close, out = np.arange(5.0), np.zeros(5), np.zeros(5), np.zeros(5)
marundex.indicator_atr(2, high, low, close, out)
assert calls == [
    ("acquire_read", REGISTRY, id(high)),
    ("acquire_read", REGISTRY, id(low)),
    ("acquire_read", REGISTRY, id(close)),
    ("release_read", REGISTRY, id(close)),
    ("release_read", REGISTRY, id(low)),
    ("release_read", REGISTRY, id(high)),
], calls
print("OK")
"""
    )
    check_ok(run_python(code))


def test_an_output_resized_by_the_borrow_of_rows_is_seen_as_it_is_now():
    """Borrowing rows runs the other module's Python code; an output it moves must not
    be written through the view taken before."""
    code = foreign() + """
import marundex_stream

universe = marundex_stream.SMA(2, symbols=3)
data, out, rows = np.ones(3), np.zeros(3), np.array([0, 1, 2])


class ResizesTheOutput(dict):
    def get(self, key, default=None):
        if key == id(rows):
            out.resize(1 << 20, refcheck=False)
        return 0


answers = ResizesTheOutput()
try:
    universe.update(data, out, rows=rows)
except ValueError as refused:
    assert str(refused) == "All arrays must have the same shape", refused
else:
    raise AssertionError("a moved output was written through its old view")
assert universe.bars.tolist() == [0, 0, 0]
print("OK")
"""
    check_ok(run_python(code))


def test_the_table_found_first_stays_in_use():
    code = (
        foreign()
        + """
data, out = np.ones(3), np.zeros(3)
marundex.indicator_ema(2, data, out)
setattr(multiarray_module(), "_RUST_NUMPY_BORROW_CHECKING_API", 5)
del calls[:]
marundex.indicator_ema(2, data, out)
assert calls == [("acquire_read", REGISTRY, id(data)), ("release_read", REGISTRY, id(data))], calls
delattr(multiarray_module(), "_RUST_NUMPY_BORROW_CHECKING_API")
del calls[:]
marundex.indicator_ema(2, data, out)
assert len(calls) == 2, calls
print("OK")
"""
    )
    check_ok(run_python(code))


def test_failure_paths_return_borrows_through_the_foreign_table():
    code = (
        foreign()
        + """
data = np.arange(4.0)
calls.clear()
try:
    marundex.indicator_sma(2, data, np.zeros(5))
except ValueError as err:
    assert str(err) == "Output array length must match input"
assert calls == [("acquire_read", REGISTRY, id(data)), ("release_read", REGISTRY, id(data))], calls

calls.clear()
try:
    marundex.indicator_macd(0, 3, 2, data, [0.0], np.zeros(4), np.zeros(4))
except TypeError:
    pass
assert calls == [("acquire_read", REGISTRY, id(data)), ("release_read", REGISTRY, id(data))], calls

high, low, close = np.arange(4.0), np.arange(4.0), np.arange(4.0)
calls.clear()
try:
    marundex.indicator_atr(2, high, low, close, [0.0])
except TypeError:
    pass
assert [c[0] for c in calls] == ["acquire_read"] * 3 + ["release_read"] * 3, calls
assert [c[2] for c in calls] == [id(high), id(low), id(close), id(close), id(low), id(high)]

calls.clear()
try:
    marundex.indicator_atr(2, high, low, [0.0], np.zeros(4))
except TypeError:
    pass
assert calls == [
    ("acquire_read", REGISTRY, id(high)),
    ("acquire_read", REGISTRY, id(low)),
    ("release_read", REGISTRY, id(low)),
    ("release_read", REGISTRY, id(high)),
], calls
print("OK")
"""
    )
    check_ok(run_python(code))


def test_a_refusal_from_the_foreign_table_is_a_buffer_error():
    code = (
        foreign()
        + """
high, low, close, out = np.arange(4.0), np.arange(4.0), np.arange(4.0), np.full(4, 7.0)
answers[id(close)] = -1
try:
    marundex.indicator_atr(2, high, low, close, out)
except BufferError as err:
    assert str(err) == "argument 'close': array is already borrowed for writing", str(err)
else:
    raise AssertionError("no BufferError")
assert (out == 7.0).all()
assert calls == [
    ("acquire_read", REGISTRY, id(high)),
    ("acquire_read", REGISTRY, id(low)),
    ("acquire_read", REGISTRY, id(close)),
    ("release_read", REGISTRY, id(low)),
    ("release_read", REGISTRY, id(high)),
], calls
answers.clear()
marundex.indicator_atr(2, high, low, close, out)
assert out[2] == 1.0
print("OK")
"""
    )
    check_ok(run_python(code))


@pytest.mark.parametrize("code_returned", [1, -2, 7])
def test_a_foreign_table_breaking_the_protocol_ends_the_process(code_returned):
    code = (
        foreign()
        + f"""
import sys
data = np.arange(4.0)
answers[id(data)] = {code_returned}
sys.stdout.write("calling\\n")
sys.stdout.flush()
marundex.indicator_sma(2, data, np.zeros(4))
print("returned")
"""
    )
    proc = run_python(code)
    assert proc.returncode == -signal.SIGABRT, (proc.returncode, proc.stderr)
    assert proc.stdout == "calling\n"
    assert f"Unexpected return code {code_returned} from borrow checking API" in proc.stderr


BAD_ATTRIBUTE = """
import ctypes
import numpy as np
from support import multiarray_module
import marundex

multiarray = multiarray_module()
setattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API", BAD)
data, out = np.array([1.0, 2.0, 4.0, 8.0]), np.full(4, 7.0)
import sys
counts = (sys.getrefcount(data), sys.getrefcount(out))
for attempt in range(2):
    try:
        marundex.indicator_sma(3, data, out)
    except RuntimeError as err:
        assert type(err) is RuntimeError
        assert str(err) == "Interal borrow checking API error: " + EXPECTED, str(err)
        assert type(err.__cause__) is CAUSE_TYPE, repr(err.__cause__)
        assert str(err.__cause__) == EXPECTED.split(": ", 1)[1], str(err.__cause__)
    else:
        raise AssertionError("no RuntimeError")
    assert (out == 7.0).all() and data.tolist() == [1.0, 2.0, 4.0, 8.0]
for fn, args in [
    (marundex.indicator_macd, (2, 3, 2, data, out, out, out)),
    (marundex.indicator_atr, (2, data, data, data, out)),
]:
    try:
        fn(*args)
    except RuntimeError as err:
        assert str(err) == "Interal borrow checking API error: " + EXPECTED, str(err)
    else:
        raise AssertionError("no RuntimeError")
assert (out == 7.0).all()
del fn, args
import gc
gc.collect()
assert (sys.getrefcount(data), sys.getrefcount(out)) == counts

# the attribute is still what the other party put there
assert getattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API") is BAD_OBJECT

delattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
marundex.indicator_sma(3, data, out)
assert out[2] == 2.333333333333333, out
from borrows import Registry, published_capsule
registry = Registry(published_capsule())
assert registry.version == 1
assert registry.acquire_write(data) == 0
registry.release_write(data)
print("OK")
"""


def bad_attribute_scenario(setup, expected):
    return setup + BAD_ATTRIBUTE.replace("BAD_OBJECT", "BAD").replace("EXPECTED", repr(expected)).replace(
        "CAUSE_TYPE", "TypeError"
    )


def test_a_non_capsule_attribute_is_an_error_until_removed():
    code = bad_attribute_scenario("BAD = 5\n", "TypeError: 'int' object cannot be converted to 'PyCapsule'")
    check_ok(run_python(code))


def test_a_string_attribute_names_its_type():
    code = bad_attribute_scenario(
        "BAD = 'not a capsule'\n", "TypeError: 'str' object cannot be converted to 'PyCapsule'"
    )
    check_ok(run_python(code))


def test_a_version_zero_table_is_an_error_until_removed():
    make = """
import ctypes
class Header(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("rest", ctypes.c_void_p * 5)]
header = Header(0)
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
label = ctypes.create_string_buffer(b"_RUST_NUMPY_BORROW_CHECKING_API")
BAD = capsule_new(ctypes.addressof(header), label, None)
"""
    code = bad_attribute_scenario(make, "TypeError: version 0 of the borrow checking API is not supported")
    check_ok(run_python(code))


def test_the_registry_is_created_at_the_first_borrow_not_at_import():
    code = """
import numpy as np
from support import multiarray_module
import marundex

multiarray = multiarray_module()
assert not hasattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
for bad in [lambda: marundex.indicator_sma(1, 2, 3, 4), lambda: marundex.indicator_sma("x", 2, 3),
            lambda: marundex.indicator_sma(2, [1.0], np.zeros(1))]:
    try:
        bad()
    except TypeError:
        pass
assert not hasattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
marundex.indicator_sma(2, np.zeros(3), np.zeros(3))
from borrows import CAPSULE_NAME, Registry, capsule_name, published_capsule
capsule = published_capsule()
assert type(capsule).__name__ == "PyCapsule"
assert capsule_name(capsule) == CAPSULE_NAME.encode()
registry = Registry(capsule)
assert registry.version == 1
x = np.zeros(4)
assert registry.acquire_read(x) == 0
try:
    marundex.indicator_ema(2, x, np.zeros(4))
finally:
    registry.release_read(x)
assert registry.acquire_write(x) == 0
try:
    marundex.indicator_ema(2, x, np.zeros(4))
except BufferError as err:
    assert str(err) == "argument 'data': array is already borrowed for writing"
else:
    raise AssertionError("no BufferError")
registry.release_write(x)
print("OK")
"""
    check_ok(run_python(code))
