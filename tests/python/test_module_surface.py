"""What `import marundex` offers: names, docstrings, signatures, identity."""

import importlib
import inspect
import sys
import types

import pytest

from support import PARAMS, check_ok, run_python

marundex = pytest.importorskip("marundex")

ALL = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]
SIGNATURES = {
    "indicator_sma": "(period, data, output)",
    "indicator_ema": "(period, data, output)",
    "indicator_macd": "(fast_period, slow_period, signal_period, data, macd_output, signal_output, hist_output)",
    "indicator_atr": "(period, high, low, close, output)",
}


def test_module_is_a_plain_extension_module():
    assert isinstance(marundex, types.ModuleType)
    assert marundex.__name__ == "marundex"
    assert marundex.__doc__ == ""
    assert marundex.__spec__.name == "marundex"
    assert marundex.__file__ == marundex.__spec__.origin
    assert not hasattr(marundex, "__path__")


def test_all_lists_the_four_functions_in_order():
    assert type(marundex.__all__) is list
    assert marundex.__all__ == ALL


def test_dir_holds_exactly_the_functions_all_and_the_standard_dunders():
    expected = set(ALL) | {"__all__", "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(dir(marundex)) == expected


def test_star_import_brings_the_four_functions():
    namespace = {}
    exec("from marundex import *", namespace)
    assert sorted(k for k in namespace if not k.startswith("__")) == sorted(ALL)


@pytest.mark.parametrize("name", ALL)
def test_function_attributes(name):
    fn = getattr(marundex, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "marundex"
    assert fn.__self__ is marundex
    assert fn.__doc__ is None
    assert fn.__text_signature__ == SIGNATURES[name]


@pytest.mark.parametrize("name", ALL)
def test_signature_parameters(name):
    signature = inspect.signature(getattr(marundex, name))
    assert list(signature.parameters) == PARAMS[name]
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
    assert str(signature) == SIGNATURES[name]


def test_macd_signature_names():
    assert list(inspect.signature(marundex.indicator_macd).parameters) == [
        "fast_period",
        "slow_period",
        "signal_period",
        "data",
        "macd_output",
        "signal_output",
        "hist_output",
    ]


def test_functions_return_none():
    import numpy as np

    assert marundex.indicator_sma(1, np.ones(2), np.zeros(2)) is None
    assert marundex.indicator_ema(1, np.ones(2), np.zeros(2)) is None
    assert marundex.indicator_macd(1, 2, 1, np.ones(2), np.zeros(2), np.zeros(2), np.zeros(2)) is None
    assert marundex.indicator_atr(1, np.ones(2), np.ones(2), np.ones(2), np.zeros(2)) is None


def test_no_panic_exception_attribute():
    assert not hasattr(marundex, "PanicException")


def test_reimport_returns_the_same_module_with_user_attributes():
    original = sys.modules["marundex"]
    original.user_note = "kept"
    try:
        del sys.modules["marundex"]
        again = importlib.import_module("marundex")
        assert again is original
        assert again.user_note == "kept"
        assert again.indicator_sma is original.indicator_sma
        assert again.__all__ == ALL
    finally:
        sys.modules["marundex"] = original
        del original.user_note


def test_reload_returns_the_same_module():
    original = sys.modules["marundex"]
    assert importlib.reload(original) is original
    assert original.__all__ == ALL


@pytest.mark.subprocess
def test_fresh_process_surface_and_reimport():
    code = """
import importlib, sys
import marundex
first = marundex
first.note = 123
first.__all__.append("extra")
del sys.modules["marundex"]
import marundex
assert marundex is first
assert marundex.note == 123
assert marundex.__all__ == ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr", "extra"]
print("OK")
"""
    check_ok(run_python(code))
