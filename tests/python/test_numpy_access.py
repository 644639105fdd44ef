"""marundex reaches NumPy only at its first array test, and retries after a failure.

Each scenario runs in a fresh interpreter, since what is found (or not) at
the first array test is kept for the life of the process.
"""

import pytest

from support import check_ok, run_python

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess

PREFIX = "Failed to access NumPy array API capsule: "


def test_import_does_not_import_numpy():
    code = """
import sys
import marundex
loaded = sorted(m for m in sys.modules if m == "numpy" or m.startswith("numpy."))
assert loaded == [], loaded
try:
    marundex.indicator_sma(1, 2, 3, 4)
except TypeError:
    pass
try:
    marundex.indicator_macd("x", 2, 3, 4, 5, 6, 7)
except TypeError:
    pass
try:
    marundex.indicator_atr(-1, 2, 3, 4, 5)
except OverflowError:
    pass
loaded = sorted(m for m in sys.modules if m == "numpy" or m.startswith("numpy."))
assert loaded == [], loaded
print("OK")
"""
    check_ok(run_python(code))


BLOCKER = """
import sys


class NoNumpy:
    raised = []

    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            err = ModuleNotFoundError(f"No module named {name!r}", name=name)
            NoNumpy.raised.append(err)
            raise err
        return None


blocker = NoNumpy()
sys.meta_path.insert(0, blocker)
import marundex
"""

WITHOUT_NUMPY_CHECKS = """
import ctypes

# (support.py needs NumPy, so the interpreter's own overflow text is read here)
as_unsigned = ctypes.pythonapi.PyLong_AsUnsignedLongLong
as_unsigned.restype = ctypes.c_ulonglong
as_unsigned.argtypes = [ctypes.py_object]


def interpreter_overflow_message(value):
    try:
        as_unsigned(value)
    except OverflowError as err:
        return str(err)



def expect(exc_type, message, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException as err:
        assert type(err) is exc_type, (type(err), err)
        assert str(err) == message, str(err)
        return err
    raise AssertionError("no exception")


# binding and period failures need no NumPy
expect(TypeError, "indicator_sma() takes 3 positional arguments but 4 were given", marundex.indicator_sma, 1, 2, 3, 4)
expect(TypeError, "indicator_ema() got an unexpected keyword argument 'window'", marundex.indicator_ema, 1, 2, 3, window=4)
expect(TypeError, "indicator_atr() missing 1 required positional argument: 'output'", marundex.indicator_atr, 1, 2, 3, 4)
expect(TypeError, "argument 'period': 'str' object cannot be interpreted as an integer", marundex.indicator_sma, "3", [1.0], [1.0])
expect(OverflowError, interpreter_overflow_message(-1), marundex.indicator_ema, -1, [1.0], [1.0])
expect(OverflowError, interpreter_overflow_message(2**64), marundex.indicator_macd, 1, 2**64, 3, [1.0], [1.0], [1.0], [1.0])
expect(TypeError, "argument 'signal_period': 'float' object cannot be interpreted as an integer",
       marundex.indicator_macd, 1, 2, 3.0, [1.0], [1.0], [1.0], [1.0])
assert not [m for m, v in sys.modules.items() if v is not None and (m == "numpy" or m.startswith("numpy."))]

# the first array test needs the C-API table, whatever the argument is
for fn, args in [
    (marundex.indicator_sma, (3, [1.0], [1.0])),
    (marundex.indicator_ema, (3, None, None)),
    (marundex.indicator_macd, (0, 0, 0, [1.0], [1.0], [1.0], [1.0])),
    (marundex.indicator_atr, (2, [1.0], [1.0], [1.0], [1.0])),
]:
    err = expect(RuntimeError, EXPECTED, fn, *args)
    CHECK_CAUSE(err)
"""

SUCCEEDS_AFTERWARDS = """
import numpy as np
data, out = np.array([1.0, 2.0, 4.0, 8.0]), np.zeros(4)
assert marundex.indicator_sma(3, data, out) is None
assert out[3] == 4.666666666666666, out
outs = [np.zeros(4), np.zeros(4), np.zeros(4)]
marundex.indicator_macd(2, 3, 2, data, *outs)
assert outs[1][3] == 1.166666666666666
print("OK")
"""


def test_without_numpy_binding_and_periods_work_and_arrays_report_the_lookup():
    code = (
        BLOCKER
        + WITHOUT_NUMPY_CHECKS.replace(
            "EXPECTED", repr(PREFIX + "ModuleNotFoundError: No module named 'numpy'")
        ).replace("CHECK_CAUSE(err)", "assert err.__cause__ is NoNumpy.raised[-1], repr(err.__cause__)")
        + """
sys.meta_path.remove(blocker)
"""
        + SUCCEEDS_AFTERWARDS
    )
    check_ok(run_python(code))


def test_numpy_set_to_none_in_sys_modules():
    code = (
        """
import sys
sys.modules["numpy"] = None
try:
    import numpy
except ImportError as err:
    HALTED = type(err).__name__ + ": " + str(err)
import marundex
"""
        + WITHOUT_NUMPY_CHECKS.replace("EXPECTED", repr(PREFIX) + " + HALTED").replace(
            "CHECK_CAUSE(err)",
            "assert type(err.__cause__) is ModuleNotFoundError and HALTED.endswith(str(err.__cause__))",
        )
        + """
del sys.modules["numpy"]
"""
        + SUCCEEDS_AFTERWARDS
    )
    check_ok(run_python(code))


def test_numpy_hidden_after_arrays_were_made():
    code = """
import sys
import numpy as np
import marundex

data, out = np.array([1.0, 2.0, 4.0, 8.0]), np.full(4, 7.0)
saved = sys.modules["numpy"]
sys.modules["numpy"] = None
try:
    marundex.indicator_sma(3, data, out)
except RuntimeError as err:
    message = str(err)
    assert message.startswith("Failed to access NumPy array API capsule: ModuleNotFoundError: "), message
    assert type(err.__cause__) is ModuleNotFoundError
    assert message == "Failed to access NumPy array API capsule: ModuleNotFoundError: " + str(err.__cause__)
else:
    raise AssertionError("no RuntimeError")
sys.modules["numpy"] = saved
assert (out == 7.0).all()
marundex.indicator_sma(3, data, out)
assert out[3] == 4.666666666666666
print("OK")
"""
    check_ok(run_python(code))


BROKEN = """
import sys
import numpy as np
import marundex

data, out = np.array([1.0, 2.0, 4.0, 8.0]), np.full(4, 7.0)
BREAK
for _ in range(2):
    try:
        marundex.indicator_ema(3, data, out)
    except RuntimeError as err:
        assert type(err) is RuntimeError
        assert str(err) == "Failed to access NumPy array API capsule: " + EXPECTED, str(err)
        assert type(err.__cause__).__name__ == EXPECTED.split(":")[0], repr(err.__cause__)
    else:
        raise AssertionError("no RuntimeError")
    assert (out == 7.0).all()
REPAIR
marundex.indicator_ema(3, data, out)
assert out[2] == 2.3333333333333335, out
print("OK")
"""


def broken(break_code, repair_code, expected):
    return BROKEN.replace("BREAK", break_code).replace("REPAIR", repair_code).replace("EXPECTED", f"({expected})")


def test_an_invalid_version_string():
    code = broken(
        """
real_version = np.__version__
np.__version__ = "not-a-version"
try:
    np.lib.NumpyVersion("not-a-version")
except Exception as err:
    WHY = type(err).__name__ + ": " + str(err)
""",
        "np.__version__ = real_version",
        "WHY",
    )
    check_ok(run_python(code))


@pytest.mark.parametrize(
    "major, expected",
    [
        (300, '"OverflowError: out of range integral type conversion attempted"'),
        (-1, '"OverflowError: out of range integral type conversion attempted"'),
        ('"2"', '"TypeError: " + INDEX_MESSAGE'),
        (2**80, '"OverflowError: " + LONG_MESSAGE'),
    ],
    ids=["too-big", "negative", "string", "huge"],
)
def test_an_unexpected_major_version(major, expected):
    code = broken(
        f"""
import ctypes
from support import interpreter_index_message
INDEX_MESSAGE = interpreter_index_message("2")
as_long = ctypes.pythonapi.PyLong_AsLong
as_long.restype = ctypes.c_long
as_long.argtypes = [ctypes.py_object]
try:
    as_long(2**80)
except OverflowError as err:
    LONG_MESSAGE = str(err)
real = np.lib.NumpyVersion


class Odd:
    major = {major}


np.lib.NumpyVersion = lambda version: Odd()
""",
        "np.lib.NumpyVersion = real",
        expected,
    )
    check_ok(run_python(code))


def test_a_non_capsule_array_api_attribute():
    code = broken(
        """
from support import multiarray_module
multiarray = multiarray_module()
real_api = multiarray._ARRAY_API
multiarray._ARRAY_API = 42
""",
        "multiarray._ARRAY_API = real_api",
        "\"TypeError: 'int' object cannot be converted to 'PyCapsule'\"",
    )
    check_ok(run_python(code))


def test_a_missing_array_api_attribute():
    code = broken(
        """
from support import multiarray_module
multiarray = multiarray_module()
real_api = multiarray._ARRAY_API
del multiarray._ARRAY_API
try:
    multiarray._ARRAY_API
except AttributeError as err:
    WHY = "AttributeError: " + str(err)
""",
        "multiarray._ARRAY_API = real_api",
        "WHY",
    )
    check_ok(run_python(code))


def test_the_table_is_looked_up_once():
    code = """
import numpy as np
from support import multiarray_module
import marundex

data, out = np.ones(3), np.zeros(3)
marundex.indicator_sma(1, data, out)
multiarray_module()._ARRAY_API = None
np.__version__ = "garbage"
marundex.indicator_sma(1, data, out)
assert out.tolist() == [1.0, 1.0, 1.0]
print("OK")
"""
    check_ok(run_python(code))
