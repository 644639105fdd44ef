"""Fault paths not covered elsewhere, each in a fresh interpreter."""

import pytest

from support import check_ok, run_python

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess


def test_registry_lookup_failing_after_the_array_table_was_found():
    # NumPy's C-API table is found by a call that fails its array test; then the
    # multiarray module cannot be imported when the first borrow looks for the
    # registry. The call fails cleanly, and the next one creates the registry.
    code = """
import importlib, sys
import numpy as np
from support import MULTIARRAY_NAME, multiarray_module
import marundex

try:
    marundex.indicator_sma(2, [1.0], np.zeros(1))
except TypeError:
    pass
saved = sys.modules[MULTIARRAY_NAME]
sys.modules[MULTIARRAY_NAME] = None
try:
    importlib.import_module(MULTIARRAY_NAME)
except ImportError as err:
    WHY = type(err).__name__ + ": " + str(err)
data, out = np.array([1.0, 2.0, 4.0, 8.0]), np.full(4, 7.0)
high, low = np.arange(4.0), np.arange(4.0)
for fn, args in [(marundex.indicator_sma, (3, data, out)), (marundex.indicator_atr, (2, high, low, data, out))]:
    try:
        fn(*args)
    except RuntimeError as err:
        assert str(err) == "Interal borrow checking API error: " + WHY, str(err)
    else:
        raise AssertionError("no RuntimeError")
assert (out == 7.0).all()
assert not hasattr(saved, "_RUST_NUMPY_BORROW_CHECKING_API")
sys.modules[MULTIARRAY_NAME] = saved
marundex.indicator_sma(3, data, out)
assert out[3] == 4.666666666666666, out
from borrows import Registry, published_capsule
registry = Registry(published_capsule())
for array in (data, high, low, out):
    assert registry.nothing_borrowed(array)
print("OK")
"""
    check_ok(run_python(code))
