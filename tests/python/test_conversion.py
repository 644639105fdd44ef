"""Conversion of periods to unsigned 64-bit integers and the float64 array test."""

import sys
import warnings

import numpy as np
import pytest

from support import (
    ARRAYS,
    FUNCTIONS,
    PARAMS,
    PERIODS,
    SENTINEL_BITS,
    array_bits,
    assert_matches,
    expected_outputs,
    interpreter_index_message,
    interpreter_overflow_message,
    valid_arguments,
)

marundex = pytest.importorskip("marundex")

PERIOD_PARAMS = [(name, p) for name in FUNCTIONS for p in PARAMS[name] if p in PERIODS]
ARRAY_PARAMS = [(name, p) for name in FUNCTIONS for p in PARAMS[name] if p in ARRAYS]
TARGET = "PyArray<T, D>"


def call(name, arguments):
    return getattr(marundex, name)(*arguments.values())


def arguments_with(name, **changes):
    arguments = valid_arguments(name)
    arguments.update(changes)
    return arguments


def valid_period_value(name, param):
    """A value for ``param`` that keeps the other periods' rules satisfied."""
    return {"fast_period": 2, "slow_period": 4, "signal_period": 3}.get(param, 3)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc
        self.raised = []

    def __index__(self):
        self.raised.append(self.exc)
        raise self.exc


class ChainedIndex:
    """``__index__`` raises a TypeError chained from a ValueError."""

    def __init__(self):
        self.cause = ValueError("the underlying reason")
        self.raised = None

    def __index__(self):
        try:
            raise self.cause
        except ValueError as err:
            self.raised = TypeError("cannot be a period")
            raise self.raised from err


class IntWithIndex(int):
    """An int subclass: its own value counts, its ``__index__`` is never asked."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass must not be consulted")


class TypeErrorSubclass(TypeError):
    pass


# --- accepted periods -------------------------------------------------------------


@pytest.mark.parametrize("name, param", PERIOD_PARAMS)
@pytest.mark.parametrize(
    "make",
    [lambda v: v, np.int64, np.uint8, Index, IntWithIndex],
    ids=["int", "numpy-int64", "numpy-uint8", "index-object", "int-subclass"],
)
def test_integer_like_periods_are_accepted(name, param, make):
    plain = valid_period_value(name, param)
    arguments = arguments_with(name, **{param: make(plain)})
    assert call(name, arguments) is None
    expected = expected_outputs(name, arguments_with(name, **{param: plain}))
    for out, values in expected.items():
        assert_matches(arguments[out], values, out)


def test_true_converts_to_one_and_false_to_zero():
    data = np.array([1.0, 5.0, 2.0, 8.0])
    out_true, out_one = np.zeros(4), np.zeros(4)
    marundex.indicator_sma(True, data, out_true)
    marundex.indicator_sma(1, data, out_one)
    assert array_bits(out_true) == array_bits(out_one)
    out_false = np.zeros(4)
    marundex.indicator_sma(False, data, out_false)
    assert all(b == 0x7FF8000000000000 for b in array_bits(out_false))
    out = np.zeros(5)
    marundex.indicator_atr(True, np.arange(5.0), np.zeros(5), np.zeros(5), out)
    assert out[1] == 1.0


@pytest.mark.parametrize("name, param", PERIOD_PARAMS)
def test_largest_unsigned_value_is_accepted(name, param):
    for value in (2**64 - 1, np.uint64(2**64 - 1), Index(2**64 - 1)):
        arguments = arguments_with(name, **{param: value})
        if name == "indicator_macd" and param == "fast_period":
            # fast must stay below slow: 2**64 - 1 is checked and refused later
            with pytest.raises(ValueError) as info:
                call(name, arguments)
            assert str(info.value) == "Fast period must be less than slow period"
            continue
        assert call(name, arguments) is None
        expected = expected_outputs(name, arguments_with(name, **{param: 2**64 - 1}))
        for out, values in expected.items():
            assert_matches(arguments[out], values, out)


def test_int_subclass_value_is_used_not_its_index():
    data = np.array([1.0, 2.0, 4.0, 8.0])
    out = np.zeros(4)
    marundex.indicator_sma(IntWithIndex(3), data, out)
    assert out[3] == (1.0 / 3.0) * 14.0


# --- overflow ---------------------------------------------------------------------


@pytest.mark.parametrize("name, param", PERIOD_PARAMS)
@pytest.mark.parametrize(
    "value, as_int",
    [
        (-1, -1),
        (2**64, 2**64),
        (2**100, 2**100),
        (-(2**70), -(2**70)),
        (np.int64(-1), -1),
        (np.int8(-5), -5),
        (Index(-3), -3),
        (Index(2**64), 2**64),
        (IntWithIndex(-1), -1),
    ],
    ids=[
        "minus-one",
        "2**64",
        "2**100",
        "-2**70",
        "numpy-minus-one",
        "numpy-int8",
        "index-neg",
        "index-big",
        "int-subclass",
    ],
)
def test_out_of_range_periods_raise_the_interpreters_overflow_error(name, param, value, as_int):
    arguments = arguments_with(name, **{param: value})
    with pytest.raises(OverflowError) as info:
        call(name, arguments)
    assert type(info.value) is OverflowError
    assert str(info.value) == interpreter_overflow_message(as_int)
    assert param not in str(info.value)
    assert all(bits == SENTINEL_BITS for k in arguments if k.endswith("output") for bits in array_bits(arguments[k]))


def test_overflow_messages_are_the_interpreters_own_for_both_directions():
    low = interpreter_overflow_message(-1)
    high = interpreter_overflow_message(2**64)
    assert low != high
    for value, message in ((-1, low), (2**64, high)):
        with pytest.raises(OverflowError) as info:
            marundex.indicator_ema(value, np.zeros(2), np.zeros(2))
        assert str(info.value) == message


# --- type errors ---------------------------------------------------------------------


@pytest.mark.parametrize("name, param", PERIOD_PARAMS)
@pytest.mark.parametrize(
    "value",
    [2.0, "3", None, [3], 3 + 0j, np.float64(2.0), Index(2.5), Index("3"), b"3"],
    ids=["float", "str", "none", "list", "complex", "numpy-float", "index-returns-float", "index-returns-str", "bytes"],
)
def test_non_integer_periods_raise_type_error_naming_the_parameter(name, param, value):
    arguments = arguments_with(name, **{param: value})
    with pytest.raises(TypeError) as info:
        call(name, arguments)
    assert type(info.value) is TypeError
    message = f"argument '{param}': " + interpreter_index_message(value)
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_literal_period_messages():
    with pytest.raises(TypeError) as info:
        marundex.indicator_sma(2.0, np.zeros(3), np.zeros(3))
    assert str(info.value) == "argument 'period': 'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as info:
        marundex.indicator_macd(2, "x", 3, np.zeros(3), np.zeros(3), np.zeros(3), np.zeros(3))
    assert str(info.value) == "argument 'slow_period': 'str' object cannot be interpreted as an integer"


@pytest.mark.parametrize("name, param", PERIOD_PARAMS)
def test_index_type_error_keeps_its_cause_but_not_itself(name, param):
    period = ChainedIndex()
    arguments = arguments_with(name, **{param: period})
    with pytest.raises(TypeError) as info:
        call(name, arguments)
    err = info.value
    assert type(err) is TypeError
    assert str(err) == f"argument '{param}': cannot be a period"
    assert err is not period.raised
    assert err.__cause__ is period.cause
    assert err.__context__ is not period.raised
    assert err.__cause__ is not period.raised


def test_index_type_error_without_cause_has_none():
    period = RaisingIndex(TypeError("plain"))
    with pytest.raises(TypeError) as info:
        marundex.indicator_sma(period, np.zeros(2), np.zeros(2))
    assert str(info.value) == "argument 'period': plain"
    assert info.value.__cause__ is None
    assert info.value is not period.raised[0]
    assert info.value.__context__ is not period.raised[0]


@pytest.mark.parametrize("name, param", PERIOD_PARAMS)
@pytest.mark.parametrize(
    "make",
    [
        lambda: TypeErrorSubclass("a subclass of TypeError"),
        lambda: ValueError("value trouble"),
        lambda: KeyError("k"),
        lambda: ZeroDivisionError("zero"),
        lambda: RuntimeError("with a cause"),
    ],
    ids=["typeerror-subclass", "valueerror", "keyerror", "zerodivision", "runtimeerror"],
)
def test_other_index_exceptions_pass_through_unchanged(name, param, make):
    exc = make()
    cause = OSError("original")
    exc.__cause__ = cause
    period = RaisingIndex(exc)
    arguments = arguments_with(name, **{param: period})
    with pytest.raises(BaseException) as info:
        call(name, arguments)
    assert info.value is exc
    assert type(info.value) is type(exc)
    assert info.value.args == make().args
    assert info.value.__cause__ is cause


def test_macd_periods_are_converted_in_declaration_order():
    z = np.zeros(4)
    with pytest.raises(TypeError) as info:
        marundex.indicator_macd("a", "b", "c", z, z, z, z)
    assert str(info.value).startswith("argument 'fast_period': ")
    with pytest.raises(TypeError) as info:
        marundex.indicator_macd(1, "b", -1, z, z, z, z)
    assert str(info.value).startswith("argument 'slow_period': ")
    with pytest.raises(OverflowError):
        marundex.indicator_macd(1, 2, -1, "not an array", z, z, z)


def test_period_is_converted_before_any_array():
    with pytest.raises(TypeError) as info:
        marundex.indicator_atr(None, [1.0], [1.0], [1.0], [1.0])
    assert str(info.value).startswith("argument 'period': ")


# --- the array test -----------------------------------------------------------------


class LocalArray(np.ndarray):
    pass


def rejected_objects():
    def local_factory():
        class Local:
            pass

        return Local()

    class Float32Sub(np.ndarray):
        pass

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        matrix = np.asmatrix(np.zeros(3))

    objects = {
        "list": [1.0, 2.0, 3.0],
        "tuple": (1.0, 2.0),
        "none": None,
        "float": 1.0,
        "memoryview": memoryview(bytearray(24)),
        "float32": np.zeros(3, dtype=np.float32),
        "float16": np.zeros(3, dtype=np.float16),
        "int64": np.zeros(3, dtype=np.int64),
        "complex128": np.zeros(3, dtype=np.complex128),
        "object": np.array([1.0, 2.0], dtype=object),
        "two-dim": np.zeros((3, 1)),
        "two-dim-flat": np.zeros((1, 3)),
        "zero-dim": np.array(1.0),
        "big-endian": np.zeros(3, dtype=">f8") if sys.byteorder == "little" else np.zeros(3, dtype="<f8"),
        "numpy-scalar": np.float64(1.0),
        "matrix": matrix,
        "local-class": local_factory(),
        "float32-subclass": np.zeros(3, dtype=np.float32).view(Float32Sub),
        "structured": np.zeros(3, dtype=[("x", "f8")]),
    }
    if np.dtype(np.longdouble).itemsize != 8:
        objects["longdouble"] = np.zeros(3, dtype=np.longdouble)
    return objects


REJECTED_IDS = list(rejected_objects())


def mismatch_message(param, obj):
    return f"argument '{param}': '{type(obj).__qualname__}' object cannot be converted to '{TARGET}'"


@pytest.mark.parametrize("name, param", ARRAY_PARAMS)
@pytest.mark.parametrize("kind", REJECTED_IDS)
def test_non_float64_vectors_are_refused_naming_the_parameter(name, param, kind):
    obj = rejected_objects()[kind]
    arguments = arguments_with(name, **{param: obj})
    with pytest.raises(TypeError) as info:
        call(name, arguments)
    assert type(info.value) is TypeError
    assert str(info.value) == mismatch_message(param, obj)
    assert info.value.args == (str(info.value),)


@pytest.mark.parametrize(
    "kind, shown",
    [
        ("list", "list"),
        ("float32", "ndarray"),
        ("two-dim", "ndarray"),
        ("zero-dim", "ndarray"),
        ("big-endian", "ndarray"),
        ("none", "NoneType"),
        ("float32-subclass", "rejected_objects.<locals>.Float32Sub"),
        ("local-class", "rejected_objects.<locals>.local_factory.<locals>.Local"),
    ],
)
def test_literal_type_names(kind, shown):
    obj = rejected_objects()[kind]
    with pytest.raises(TypeError) as info:
        marundex.indicator_sma(3, obj, np.zeros(3))
    assert str(info.value) == f"argument 'data': '{shown}' object cannot be converted to 'PyArray<T, D>'"


def test_literal_list_message():
    with pytest.raises(TypeError) as info:
        marundex.indicator_sma(3, [1.0, 2.0, 3.0], np.zeros(3))
    assert str(info.value) == "argument 'data': 'list' object cannot be converted to 'PyArray<T, D>'"


def series_of_kind(kind):
    """[1, missing, 3] as a series of `kind`, and the name of its type."""
    if kind in ("pandas", "polars", "pyarrow", "chunked"):
        module = pytest.importorskip({"chunked": "pyarrow"}.get(kind, kind))
    if kind == "pandas":
        return module.Series([1, None, 3], dtype="Int64"), "Series"
    if kind == "polars":
        return module.Series([1, None, 3]), "Series"
    if kind == "pyarrow":
        return module.array([1, None, 3]), "Int64Array"
    if kind == "chunked":
        return module.chunked_array([[1, None], [3]]), "ChunkedArray"
    return {"int32": (np.array([1, 2, 3], dtype=np.int32), "ndarray of dtype int32 with 1 dimension"),
            "list": ([1, float("nan"), 3], "list"), "tuple": ((1, float("nan"), 3), "tuple")}[kind]


@pytest.mark.parametrize("kind, conversion", [
    ("int32", "x.astype(numpy.float64)"),
    ("list", "numpy.asarray(x, dtype=numpy.float64)"),
    ("tuple", "numpy.asarray(x, dtype=numpy.float64)"),
    ("pandas", 'x.to_numpy(dtype="float64", na_value=numpy.nan)'),
    ("polars", 'x.cast(polars.Float64).fill_null(float("nan")).to_numpy()'),
    ("pyarrow", 'x.cast(pyarrow.float64()).fill_null(float("nan")).to_numpy()'),
    ("chunked", 'x.cast(pyarrow.float64()).fill_null(float("nan")).to_numpy()'),
])
def test_notes_name_a_conversion_that_works_for_the_kind_given(kind, conversion):
    ms = pytest.importorskip("marundex_stream")
    x, given = series_of_kind(kind)
    fix = f"pass {conversion}; marundex_ta's functions take x as it is"
    with pytest.raises(TypeError) as info:
        marundex.indicator_sma(1, x, np.empty(3))
    assert info.value.__notes__ == [f"argument 'data' takes a one-dimensional numpy.ndarray of float64, given: {given}; {fix}"]
    with pytest.raises(TypeError) as info:
        ms.SMA(1).update(x)
    assert info.value.__notes__ == ["argument 'data' takes a one-dimensional, C-contiguous numpy.ndarray of float64, "
                                    f"the new bars of the series; {fix}"]
    # The conversion as written in the note, run on the object: the call then passes.
    namespace = {"numpy": np, **{name: pytest.importorskip(name) for name in ("polars", "pyarrow") if name in conversion}}
    out = np.empty(3)
    marundex.indicator_ema(1, eval(conversion, namespace, {"x": x}), out)  # period 1: the values themselves
    np.testing.assert_array_equal(out, [1.0, 2.0 if kind == "int32" else np.nan, 3.0])


def accepted_variants(values):
    values = np.asarray(values, dtype=np.float64)
    native = "<f8" if sys.byteorder == "little" else ">f8"
    with_metadata = np.dtype(np.float64, metadata={"unit": "usd"})
    return {
        "plain": values.copy(),
        "subclass": values.copy().view(LocalArray),
        "native-explicit": values.astype(native),
        "equal-sign": values.astype("=f8"),
        "metadata-dtype": values.astype(with_metadata),
        "double-alias": values.astype("d"),
    }


@pytest.mark.parametrize("name, param", ARRAY_PARAMS)
@pytest.mark.parametrize("variant", list(accepted_variants([0.0])))
def test_float64_vectors_of_any_flavour_are_accepted(name, param, variant):
    arguments = valid_arguments(name)
    original = arguments[param]
    arguments[param] = accepted_variants(original)[variant]
    expected = expected_outputs(name, {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in arguments.items()})
    assert call(name, arguments) is None
    for out, values in expected.items():
        assert_matches(arguments[out], values, out)


def test_subclass_outputs_receive_results():
    data = np.array([1.0, 2.0, 4.0, 8.0]).view(LocalArray)
    out = np.zeros(4).view(LocalArray)
    marundex.indicator_sma(3, data, out)
    assert type(out) is LocalArray
    assert out[2] == 2.333333333333333


@pytest.mark.parametrize("name", FUNCTIONS)
def test_arrays_are_tested_in_declaration_order(name):
    params = [p for p in PARAMS[name] if p in ARRAYS]
    for i, param in enumerate(params):
        arguments = valid_arguments(name)
        for later in params[i:]:
            arguments[later] = [0.0]
        with pytest.raises(TypeError) as info:
            call(name, arguments)
        assert str(info.value) == mismatch_message(param, [0.0])
