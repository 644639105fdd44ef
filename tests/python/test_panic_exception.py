"""The PanicException class: created on demand, never raised, fatal when met."""

import signal

import pytest

from support import check_ok, run_python

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess

FIND = """
def panic_classes():
    return [
        c for c in BaseException.__subclasses__()
        if c.__name__ == "PanicException" and c.__module__ == "pyo3_runtime"
    ]
"""

BANNER = "--- marundex is resuming an internal failure after fetching a PanicException from Python ---"


def test_class_is_created_by_the_first_taken_exception_and_reused():
    code = (
        FIND
        + """
assert panic_classes() == []
# Initialisation looks up the new module's __all__, finds none and takes that
# AttributeError: the first exception the module takes creates the class.
import marundex
found = panic_classes()
assert len(found) == 1, found
panic = found[0]
assert panic.__name__ == "PanicException"
assert panic.__qualname__ == "PanicException"
assert panic.__module__ == "pyo3_runtime"
assert panic.__bases__ == (BaseException,)
assert not issubclass(panic, Exception)
assert panic in BaseException.__subclasses__()
assert isinstance(panic.__doc__, str) and panic.__doc__.strip()
assert not hasattr(marundex, "PanicException")
assert "PanicException" not in dir(marundex)
for bad in [lambda: marundex.indicator_sma("x", None, None),
            lambda: marundex.indicator_sma(-1, None, None),
            lambda: marundex.indicator_macd(1.5, 2, 3, 4, 5, 6, 7)]:
    try:
        bad()
    except (TypeError, OverflowError):
        pass
assert panic_classes() == [panic]
print("OK")
"""
    )
    check_ok(run_python(code))


def test_a_period_raising_the_class_ends_the_process():
    code = (
        FIND
        + """
import sys
import marundex
try:
    marundex.indicator_sma("x", None, None)
except TypeError:
    pass
panic = panic_classes()[0]


class Fatal:
    def __index__(self):
        raise panic("raised from __index__")


sys.stdout.write("calling\\n")
sys.stdout.flush()
try:
    marundex.indicator_macd(2, Fatal(), 3, None, None, None, None)
except BaseException as err:
    print("caught", type(err).__name__)
print("returned")
"""
    )
    proc = run_python(code)
    assert proc.returncode == -signal.SIGABRT, (proc.returncode, proc.stdout, proc.stderr)
    assert proc.stdout == "calling\n", proc.stdout
    lines = proc.stderr.splitlines()
    assert BANNER in lines, proc.stderr
    at = lines.index(BANNER)
    assert lines[at + 1] == "Python stack trace below:", proc.stderr
    trace = lines[at + 2 :]
    assert trace and trace[0] == "Traceback (most recent call last):", proc.stderr
    assert any("__index__" in line for line in trace), proc.stderr
    # qemu-user, running an aarch64 interpreter, reports the abort on the same stream.
    trace = [line for line in trace if line.strip() and not line.startswith("qemu: uncaught target signal")]
    assert trace[-1] == "pyo3_runtime.PanicException: raised from __index__"


def test_a_subclass_of_the_class_is_an_ordinary_exception():
    # the comparison is by identity: a subclass passes through like any other
    code = (
        FIND
        + """
import marundex
try:
    marundex.indicator_sma("x", None, None)
except TypeError:
    pass
panic = panic_classes()[0]


class Derived(panic):
    pass


class Raiser:
    def __index__(self):
        raise Derived("passing through")


try:
    marundex.indicator_sma(Raiser(), None, None)
except Derived as err:
    assert str(err) == "passing through"
else:
    raise AssertionError("not raised")
print("OK")
"""
    )
    check_ok(run_python(code))
