"""A catalogue of calls that must fail, one per failing path of each function.

Every case builds fresh arrays: writeable inputs (so that a second module can
probe the borrow registry with a writable borrow afterwards) and outputs
filled with a sentinel pattern.  ``build()`` returns a ``Call``, with the note
(PEP 678) that the exception must carry, if any.
"""

import dataclasses

import numpy as np

from support import (
    INPUTS,
    OUTPUTS,
    PARAMS,
    interpreter_overflow_message,
    refusal_views,
    sentinel_array,
    series,
    valid_arguments,
)

ARRAY_TARGET = "'{}' object cannot be converted to 'PyArray<T, D>'"

# The notes, as a user reads them under the message.
EXPECTED_ARRAY = "a one-dimensional numpy.ndarray of float64"
FRONT_DOOR = "; marundex_ta's functions take x as it is"
FIX_CONVERSION = "pass x.astype(numpy.float64)" + FRONT_DOOR
FIX_ANY_OBJECT = "pass numpy.asarray(x, dtype=numpy.float64)" + FRONT_DOOR
FIX_DIMENSIONS = "pass one column, x[:, k], or x.ravel()"
FIX_SCALAR = "pass a series of one value, numpy.atleast_1d(x)"
ASSIGN_AFTERWARDS = 'pass numpy.empty(n) and assign it afterwards (df["col"] = out)'
SHARED_MEMORY_NOTE = (
    "marundex reads its inputs while it writes its outputs, so every output needs memory of its own; "
    "pass numpy.empty(n), and to compute in place copy the result back afterwards (x[:] = out)"
)
#: The stride of each view of ``refusal_views``, in bytes.
STRIDES = {"reversed": -8, "step2": 16, "broadcast": 0, "record-field": 12}


def input_note(parameter, given, fix):
    return f"argument '{parameter}' takes {EXPECTED_ARRAY}, given: {given}; {fix}"


def output_note(parameter, given):
    return (f"argument '{parameter}' takes {EXPECTED_ARRAY} to write into, given: {given}; {ASSIGN_AFTERWARDS}: "
            "a converted copy, not your object, would receive the result")


def stride_note(parameter, stride, output=False):
    if output:
        return (f"argument '{parameter}' has a stride of {stride} bytes, and marundex writes float64 values that lie "
                "next to each other (a stride of 8 bytes); pass numpy.empty(n) and copy the result into the view "
                "afterwards (x[:] = out)")
    return (f"argument '{parameter}' has a stride of {stride} bytes, and marundex reads float64 values that lie next "
            "to each other (a stride of 8 bytes); pass numpy.ascontiguousarray(x)")


def read_only_note(parameter):
    return (f"argument '{parameter}' is read-only: a view of read-only memory, or under pandas copy-on-write the array "
            f"that Series.to_numpy() returns; {ASSIGN_AFTERWARDS}")


def period_note(parameter):
    return f"argument '{parameter}' takes an integer from 0 to 2**64 - 1"


@dataclasses.dataclass
class Call:
    name: str
    args: list
    kwargs: dict
    exc_type: type
    message: str
    inputs: list
    outputs: list
    note: str | None = None

    def objects(self):
        """Every argument object of the call."""
        return list(self.args) + list(self.kwargs.values())


class KeyIndex:
    def __index__(self):
        raise KeyError("period lookup")


class Period:
    """A period given as an ordinary object with ``__index__``."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FailingLength(np.ndarray):
    def __len__(self):
        raise LookupError("length unavailable")


class LyingLength(np.ndarray):
    def __len__(self):
        return self.__dict__["claimed"]


class ReshapingLength(np.ndarray):
    def __len__(self):
        victim = self.__dict__["victim"]
        victim.resize((victim.shape[0], 1), refcheck=False)
        return self.shape[0]


def _call(name, arguments, exc_type, message, keyword_from=None, note=None):
    """Positional arguments up to ``keyword_from``, keywords from there on."""
    names = list(arguments)
    split = names.index(keyword_from) if keyword_from in names else len(names)
    args = [arguments[k] for k in names[:split]]
    kwargs = {k: arguments[k] for k in names[split:]}
    inputs = [v for k, v in arguments.items() if k in INPUTS and isinstance(v, np.ndarray)]
    outputs = [v for k, v in arguments.items() if k in OUTPUTS and isinstance(v, np.ndarray)]
    return Call(name, args, kwargs, exc_type, message, inputs, outputs, note)


def _with(name, n=8, **changes):
    arguments = valid_arguments(name, n)
    arguments.update(changes)
    return arguments


CASES = {}


def case(case_id):
    def register(fn):
        CASES[case_id] = fn
        return fn

    return register


def _register_common(name):
    short = name.replace("indicator_", "")
    first_array = "data" if "data" in PARAMS[name] else "high"
    first_output = "output" if "output" in PARAMS[name] else "macd_output"
    first_period = PARAMS[name][0]

    @case(f"{short}-surplus")
    def _():
        a = _with(name)
        call = _call(name, a, TypeError, "")
        call.args.append(1)
        p = len(PARAMS[name])
        call.message = f"{name}() takes {p} positional arguments but {p + 1} were given"
        return call

    @case(f"{short}-unexpected")
    def _():
        a = _with(name)
        call = _call(name, a, TypeError, f"{name}() got an unexpected keyword argument 'bogus'")
        call.kwargs["bogus"] = sentinel_array(3)
        return call

    @case(f"{short}-duplicate")
    def _():
        a = _with(name)
        call = _call(name, a, TypeError, f"{name}() got multiple values for argument '{first_array}'")
        call.kwargs[first_array] = a[first_array]
        return call

    @case(f"{short}-missing")
    def _():
        a = _with(name)
        last = PARAMS[name][-1]
        del a[last]
        return _call(name, a, TypeError, f"{name}() missing 1 required positional argument: '{last}'")

    @case(f"{short}-period-str")
    def _():
        a = _with(name, **{first_period: "3"})
        return _call(name, a, TypeError, f"argument '{first_period}': 'str' object cannot be interpreted as an integer")

    @case(f"{short}-period-negative")
    def _():
        a = _with(name, **{first_period: Period(-1)})
        return _call(name, a, OverflowError, interpreter_overflow_message(-1), note=period_note(first_period))

    @case(f"{short}-period-index-raises")
    def _():
        a = _with(name, **{first_period: KeyIndex()})
        return _call(name, a, KeyError, "'period lookup'")

    @case(f"{short}-first-array-list")
    def _():
        a = _with(name, **{first_array: [1.0] * 8})
        return _call(name, a, TypeError, f"argument '{first_array}': " + ARRAY_TARGET.format("list"),
                     note=input_note(first_array, "list", FIX_ANY_OBJECT))

    @case(f"{short}-first-array-float32")
    def _():
        a = _with(name, **{first_array: np.zeros(8, dtype=np.float32)})
        return _call(name, a, TypeError, f"argument '{first_array}': " + ARRAY_TARGET.format("ndarray"),
                     note=input_note(first_array, "ndarray of dtype float32 with 1 dimension", FIX_CONVERSION))

    # A 0-d array has no column to pick: its note must not suggest one.
    for label, value, given, fix in [
        ("2d", np.zeros((8, 1)), "ndarray of dtype float64 with 2 dimensions", FIX_DIMENSIONS),
        ("0d", np.array(1.0), "ndarray of dtype float64 with 0 dimensions", FIX_SCALAR),
        ("0d-float32", np.array(1.0, dtype=np.float32), "ndarray of dtype float32 with 0 dimensions",
         FIX_SCALAR + ".astype(numpy.float64)"),
    ]:

        @case(f"{short}-first-array-{label}")
        def _(value=value, given=given, fix=fix):
            a = _with(name, **{first_array: value})
            return _call(name, a, TypeError, f"argument '{first_array}': " + ARRAY_TARGET.format("ndarray"),
                         note=input_note(first_array, given, fix))

    @case(f"{short}-output-2d")
    def _():
        a = _with(name, **{first_output: sentinel_array(8).reshape(8, 1)})
        return _call(name, a, TypeError, f"argument '{first_output}': " + ARRAY_TARGET.format("ndarray"),
                     note=output_note(first_output, "ndarray of dtype float64 with 2 dimensions"))

    @case(f"{short}-output-list-by-keyword")
    def _():
        a = _with(name, **{first_output: [0.0] * 8})
        return _call(name, a, TypeError, f"argument '{first_output}': " + ARRAY_TARGET.format("list"), first_output,
                     note=output_note(first_output, "list"))


for _name in PARAMS:
    _register_common(_name)


def _register_moving_average(name):
    short = name.replace("indicator_", "")
    msg_in = "Input array must be C-contiguous and float64"
    msg_out = "Output array must be C-contiguous and float64"

    for kind in ("reversed", "step2", "broadcast", "record-field"):

        @case(f"{short}-data-{kind}")
        def _(kind=kind):
            return _call(name, _with(name, data=refusal_views(8)[kind]), ValueError, msg_in,
                         note=stride_note("data", STRIDES[kind]))

        @case(f"{short}-output-{kind}")
        def _(kind=kind):
            return _call(name, _with(name, output=refusal_views(8)[kind]), ValueError, msg_out,
                         note=stride_note("output", STRIDES[kind], output=True))

    @case(f"{short}-length")
    def _():
        return _call(name, _with(name, output=sentinel_array(7)), ValueError, "Output array length must match input")

    @case(f"{short}-read-only-output")
    def _():
        out = sentinel_array(8)
        out.flags.writeable = False
        return _call(name, _with(name, output=out), ValueError, "Output array must be writeable",
                     note=read_only_note("output"))


_register_moving_average("indicator_sma")
_register_moving_average("indicator_ema")


def _macd_with(**changes):
    return _with("indicator_macd", **changes)


def _macd(arguments, exc_type, message, note=None):
    return _call("indicator_macd", arguments, exc_type, message, note=note)


@case("macd-zero-period")
def _():
    return _macd(_macd_with(signal_period=0), ValueError, "Periods must be greater than 0")


@case("macd-fast-not-below-slow")
def _():
    return _macd(_macd_with(fast_period=4, slow_period=4), ValueError, "Fast period must be less than slow period")


@case("macd-signal-list")
def _():
    return _macd(
        _macd_with(signal_output=[0.0] * 8),
        TypeError,
        "argument 'signal_output': " + ARRAY_TARGET.format("list"),
        output_note("signal_output", "list"),
    )


@case("macd-hist-float32")
def _():
    return _macd(
        _macd_with(hist_output=np.zeros(8, np.float32)),
        TypeError,
        "argument 'hist_output': " + ARRAY_TARGET.format("ndarray"),
        output_note("hist_output", "ndarray of dtype float32 with 1 dimension"),
    )


@case("macd-length")
def _():
    return _macd(
        _macd_with(hist_output=sentinel_array(9)),
        ValueError,
        "All output arrays must have the same length as input data",
    )


@case("macd-length-protocol-fails")
def _():
    return _macd(_macd_with(signal_output=sentinel_array(8).view(FailingLength)), LookupError, "length unavailable")


@case("macd-length-lies")
def _():
    out = sentinel_array(5).view(LyingLength)
    out.__dict__["claimed"] = 8
    return _macd(_macd_with(macd_output=out), ValueError, "All output arrays must have the same length as input data")


@case("macd-reshaped-output")
def _():
    victim = sentinel_array(8)
    culprit = sentinel_array(8).view(ReshapingLength)
    culprit.__dict__["victim"] = victim
    return _macd(
        _macd_with(macd_output=victim, hist_output=culprit),
        ValueError,
        "argument 'macd_output': array is no longer one-dimensional",
    )


@case("macd-data-reversed")
def _():
    return _macd(_macd_with(data=refusal_views(8)["reversed"]), ValueError, "Input array must be C-contiguous",
                 stride_note("data", -8))


for _slot, _label in (("macd", "MACD"), ("signal", "Signal"), ("hist", "Histogram")):

    @case(f"macd-{_slot}-step2")
    def _(slot=_slot, label=_label):
        return _macd(
            _macd_with(**{f"{slot}_output": refusal_views(8)["step2"]}),
            ValueError,
            f"{label} output array must be C-contiguous",
            stride_note(f"{slot}_output", 16, output=True),
        )

    @case(f"macd-{_slot}-read-only")
    def _(slot=_slot, label=_label):
        out = sentinel_array(8)
        out.flags.writeable = False
        return _macd(_macd_with(**{f"{slot}_output": out}), ValueError, f"{label} output array must be writeable",
                     read_only_note(f"{slot}_output"))


def _atr_with(**changes):
    return _with("indicator_atr", **changes)


def _atr(arguments, exc_type, message, note=None):
    return _call("indicator_atr", arguments, exc_type, message, note=note)


for _which in ("high", "low", "close"):

    @case(f"atr-{_which}-list")
    def _(which=_which):
        return _atr(_atr_with(**{which: [1.0] * 8}), TypeError, f"argument '{which}': " + ARRAY_TARGET.format("list"),
                    input_note(which, "list", FIX_ANY_OBJECT))

    @case(f"atr-{_which}-broadcast")
    def _(which=_which):
        return _atr(
            _atr_with(**{which: refusal_views(8)["broadcast"]}),
            ValueError,
            f"{which.capitalize()} array must be C-contiguous and float64",
            stride_note(which, 0),
        )


@case("atr-output-list")
def _():
    return _atr(_atr_with(output=[0.0] * 8), TypeError, "argument 'output': " + ARRAY_TARGET.format("list"),
                output_note("output", "list"))


@case("atr-output-reversed")
def _():
    return _atr(
        _atr_with(output=refusal_views(8)["reversed"]),
        ValueError,
        "Output array must be C-contiguous and float64",
        stride_note("output", -8, output=True),
    )


@case("atr-lengths")
def _():
    return _atr(_atr_with(close=series(7)), ValueError, "All arrays must have the same length")


@case("atr-short-output")
def _():
    return _atr(
        _atr_with(output=sentinel_array(7)), ValueError, "Output array must not be shorter than the input arrays"
    )


@case("atr-read-only-output")
def _():
    out = sentinel_array(8)
    out.flags.writeable = False
    return _atr(_atr_with(output=out), ValueError, "Output array must be writeable", read_only_note("output"))


#: Every pair of arguments that must not share memory: (function, output, other argument, refusal).
SHARED_MEMORY_PAIRS = [
    ("indicator_sma", "output", "data", "Output array must not share memory with the input array"),
    ("indicator_ema", "output", "data", "Output array must not share memory with the input array"),
    ("indicator_macd", "macd_output", "data", "MACD output array must not share memory with the input array"),
    ("indicator_macd", "signal_output", "data", "Signal output array must not share memory with the input array"),
    ("indicator_macd", "hist_output", "data", "Histogram output array must not share memory with the input array"),
    ("indicator_macd", "macd_output", "signal_output",
     "MACD output array must not share memory with the signal output array"),
    ("indicator_macd", "macd_output", "hist_output",
     "MACD output array must not share memory with the histogram output array"),
    ("indicator_macd", "signal_output", "hist_output",
     "Signal output array must not share memory with the histogram output array"),
    ("indicator_atr", "output", "high", "Output array must not share memory with the high array"),
    ("indicator_atr", "output", "low", "Output array must not share memory with the low array"),
    ("indicator_atr", "output", "close", "Output array must not share memory with the close array"),
]


def _shared(name, first, second, backing, first_slice, second_slice):
    (message,) = [m for f, a, b, m in SHARED_MEMORY_PAIRS if (f, a, b) == (name, first, second)]
    arguments = _with(name, **{first: backing[first_slice], second: backing[second_slice]})
    return _call(name, arguments, ValueError, message, note=SHARED_MEMORY_NOTE)


# One of each kind here, so that the catalogue's checks (borrows, references,
# untouched arrays) cover the refusal; test_aliasing.py has every pair.
@case("sma-output-is-data")
def _():
    backing = series(8)
    return _shared("indicator_sma", "output", "data", backing, slice(None), slice(None))


@case("ema-output-overlaps-data")
def _():
    backing = series(12)
    return _shared("indicator_ema", "output", "data", backing, slice(3, 11), slice(0, 8))


@case("macd-hist-is-signal")
def _():
    return _shared("indicator_macd", "signal_output", "hist_output", sentinel_array(8), slice(None), slice(None))


@case("atr-output-is-close")
def _():
    backing = series(8)
    return _shared("indicator_atr", "output", "close", backing, slice(None), slice(None))


def successful_call(name, n=8):
    return _call(name, valid_arguments(name, n), type(None), "")
