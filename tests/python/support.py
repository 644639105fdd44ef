"""Helpers shared by the marundex test modules (no marundex import here)."""

import os
import pathlib
import struct
import subprocess
import sys
import sysconfig
import textwrap

import numpy as np

from reference import is_hole

HERE = pathlib.Path(__file__).resolve().parent

#: The quiet NaN that marks a position without a value.
HOLE_BITS = 0x7FF8000000000000
#: What the tests put into output arrays before a call that must not write.
SENTINEL_BITS = 0x5A5A5A5A5A5A5A5A
SENTINEL = struct.unpack("<d", struct.pack("<Q", SENTINEL_BITS))[0]

NUMPY_MAJOR = int(np.lib.NumpyVersion(np.__version__).major)
MULTIARRAY_NAME = "numpy._core.multiarray" if NUMPY_MAJOR >= 2 else "numpy.core.multiarray"


def multiarray_module():
    import importlib

    return importlib.import_module(MULTIARRAY_NAME)


def free_threaded_build():
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled():
    probe = getattr(sys, "_is_gil_enabled", None)
    return True if probe is None else bool(probe())


# --- bits ----------------------------------------------------------------------


def float_bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def bits_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def is_nan_bits(bits):
    return (bits & 0x7FF0000000000000) == 0x7FF0000000000000 and (bits & 0x000FFFFFFFFFFFFF) != 0


def array_bits(array):
    """The raw 64-bit patterns of a one-dimensional float64 array, as ints."""
    return [int(b) for b in np.ascontiguousarray(array).view(np.uint64)]


def mismatches(actual_bits, expected):
    """Positions where native bits disagree with reference values.

    A ``HOLE`` must be exactly the quiet NaN 0x7ff8000000000000, an arithmetic
    NaN only has to be a NaN, and every other value must match bit for bit
    (so -0.0 and 0.0 differ).
    """
    bad = []
    if len(actual_bits) != len(expected):
        return [("length", len(actual_bits), len(expected))]
    for i, (got, want) in enumerate(zip(actual_bits, expected)):
        if is_hole(want):
            ok = got == HOLE_BITS
        elif want != want:
            ok = is_nan_bits(got)
        else:
            ok = got == float_bits(want)
        if not ok:
            bad.append((i, hex(got), bits_float(got), want))
    return bad


def assert_matches(array, expected, label="output"):
    bad = mismatches(array_bits(array), list(expected))
    assert not bad, f"{label}: (index, native bits, native value, reference) {bad[:8]}"


def assert_all_holes(array, label="output"):
    bits = array_bits(array)
    bad = [(i, hex(b)) for i, b in enumerate(bits) if b != HOLE_BITS]
    assert not bad, f"{label} should hold the no-value NaN everywhere: {bad[:8]}"


# --- arrays ------------------------------------------------------------------


def sentinel_array(n):
    return np.full(n, SENTINEL, dtype=np.float64)


def snapshot(array):
    """The bytes of an array's elements, for untouched checks."""
    return np.array(array, copy=True).tobytes()


def root_array(array):
    """The array at the end of a view's chain of NumPy bases."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def deep_snapshot(array):
    """The bytes of a view's elements and of the array it is a view of."""
    return snapshot(array), snapshot(root_array(array))


def unaligned(values):
    """A writeable float64 array whose data address is odd."""
    values = np.asarray(values, dtype=np.float64)
    n = values.shape[0]
    arr = np.frombuffer(bytearray(8 * n + 1), dtype=np.float64, offset=1, count=n)
    arr[:] = values
    assert n == 0 or arr.ctypes.data % 8 != 0
    return arr


def strided_zero(n, value=0.0):
    """A writeable array of length n whose only stride is 0."""
    base = np.array([value], dtype=np.float64)
    return np.lib.stride_tricks.as_strided(base, shape=(n,), strides=(0,))


def packed_field(n, first=True):
    """The float64 field of a packed record array: stride 12 bytes."""
    dtype = [("x", "f8"), ("y", "f4")] if first else [("y", "f4"), ("x", "f8")]
    records = np.zeros(n, dtype=dtype)
    view = records["x"]
    assert view.strides == (12,)
    return view


def series(n, seed=0):
    rng = np.random.default_rng(seed)
    return rng.normal(100.0, 5.0, n)


def refusal_views(n):
    """Views of length ``n`` (at least 2) that a contiguity check refuses."""
    assert n >= 2
    big = np.arange(2 * n + 1, dtype=np.float64)
    return {
        "reversed": big[:n][::-1],
        "step2": big[: 2 * n : 2],
        "broadcast": strided_zero(n, 1.5),
        "record-field": packed_field(n),
    }


def short_views():
    """Views of length 0 and 1 whose stride is not 8: all are accepted."""
    big = np.arange(4, dtype=np.float64)
    return {
        "reversed-1": big[:1][::-1],
        "step2-1": big[:2:2],
        "broadcast-1": strided_zero(1, 2.5),
        "broadcast-0": strided_zero(0, 2.5),
        "record-field-1": packed_field(1),
        "step2-0": big[:0:2],
    }


# --- the four functions ----------------------------------------------------------

PARAMS = {
    "indicator_sma": ["period", "data", "output"],
    "indicator_ema": ["period", "data", "output"],
    "indicator_macd": [
        "fast_period",
        "slow_period",
        "signal_period",
        "data",
        "macd_output",
        "signal_output",
        "hist_output",
    ],
    "indicator_atr": ["period", "high", "low", "close", "output"],
}
FUNCTIONS = list(PARAMS)
PERIODS = {"period", "fast_period", "slow_period", "signal_period"}
INPUTS = {"data", "high", "low", "close"}
OUTPUTS = {"output", "macd_output", "signal_output", "hist_output"}
ARRAYS = INPUTS | OUTPUTS


def valid_arguments(name, n=12, seed=0):
    """Arguments (by parameter name, in order) that pass every check."""
    data = series(n, seed)
    if name in ("indicator_sma", "indicator_ema"):
        return {"period": 3, "data": data, "output": sentinel_array(n)}
    if name == "indicator_macd":
        return {
            "fast_period": 2,
            "slow_period": 4,
            "signal_period": 3,
            "data": data,
            "macd_output": sentinel_array(n),
            "signal_output": sentinel_array(n),
            "hist_output": sentinel_array(n),
        }
    return {
        "period": 3,
        "high": data + 1.0,
        "low": data - 1.0,
        "close": data,
        "output": sentinel_array(n),
    }


def expected_outputs(name, arguments):
    """Reference results for a call that passes every check, by output name."""
    import reference as ref

    a = {k: (v.tolist() if isinstance(v, np.ndarray) else v) for k, v in arguments.items()}
    if name == "indicator_sma":
        return {"output": ref.sma(int(a["period"]), a["data"])}
    if name == "indicator_ema":
        return {"output": ref.ema(int(a["period"]), a["data"])}
    if name == "indicator_macd":
        m, s, h = ref.macd(int(a["fast_period"]), int(a["slow_period"]), int(a["signal_period"]), a["data"])
        return {"macd_output": m, "signal_output": s, "hist_output": h}
    return {"output": ref.atr(int(a["period"]), a["high"], a["low"], a["close"], out_length=len(a["output"]))}


def output_bits(arguments):
    return {k: array_bits(v) for k, v in arguments.items() if k in OUTPUTS}


# --- the interpreter's own messages -------------------------------------------------


def interpreter_overflow_message(value):
    """What CPython says when ``value`` does not fit an unsigned 64-bit integer."""
    import ctypes

    # A prototype of its own per call: setting restype on the one function object
    # that ctypes.pythonapi hands every thread is a data race when test threads
    # build their cases at once with the interpreter lock off.
    prototype = ctypes.PYFUNCTYPE(ctypes.c_ulonglong, ctypes.py_object)
    as_unsigned = prototype(("PyLong_AsUnsignedLongLong", ctypes.pythonapi))
    try:
        as_unsigned(value)
    except OverflowError as exc:
        return str(exc)
    raise AssertionError(f"{value!r} fits 64 unsigned bits")


def interpreter_index_message(obj):
    """What CPython says when ``obj`` cannot serve as an integer."""
    import operator

    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{obj!r} is an integer")


# --- calls ---------------------------------------------------------------------


def outcome(fn, *args, **kwargs):
    """Call ``fn`` and describe what happened without keeping the exception.

    Returns ``None`` for a normal return, else (type, str, args).  The
    exception object, and the traceback frames it would keep alive, are
    dropped here so that reference counts can be compared afterwards.
    """
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - the tests look at every kind
        return type(exc), str(exc), exc.args
    assert result is None
    return None


# --- subprocesses ----------------------------------------------------------------


def clean_env(**overrides):
    env = dict(os.environ)
    for name in ("PYTHON_GIL", "PYTHONFAULTHANDLER", "PYTHONDEVMODE", "PYTHONWARNINGS"):
        env.pop(name, None)
    env["PYTHON_COLORS"] = "0"
    env["NO_COLOR"] = "1"
    env["PYTHONIOENCODING"] = "utf-8"
    path = [str(HERE)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    env["PYTHONPATH"] = os.pathsep.join(path)
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_python(code, *, timeout=60, env=None, cwd=None):
    """Run ``code`` in a fresh interpreter of the same build."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        errors="replace",
        timeout=timeout,
        env=clean_env() if env is None else env,
        cwd=cwd,
    )


def check_ok(proc, marker="OK"):
    """Assert that a child run ended normally and printed ``marker`` last."""
    assert proc.returncode == 0, f"rc={proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    lines = proc.stdout.strip().splitlines()
    assert lines and lines[-1] == marker, f"stdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
