"""Random calls of the marundex functions for test_fuzz_arguments.py and tools/fuzz.py.

``check_call(name, data)`` draws every argument at random (integers of any
size, bools, NumPy scalars, floats, strings, None, objects whose ``__index__``
misbehaves, arrays of any dtype, shape, byte order, stride, writeability and
subclass), passes them positionally or by keyword with random unknown,
missing, surplus and duplicate names, and checks what may come out.
"""

import ctypes

import numpy as np
from hypothesis import strategies as st

from support import PARAMS, PERIODS


class Boom(Exception):
    pass


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class OddIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sub(np.ndarray):
    pass


ALLOWED = (TypeError, OverflowError, ValueError, BufferError)

scalars = st.one_of(
    st.integers(),
    st.integers(-(2**70), 2**70),
    st.integers(0, 2**64 + 2),
    st.booleans(),
    st.none(),
    st.floats(),
    st.text(max_size=3),
    st.binary(max_size=3),
    st.integers(-(2**63), 2**64 - 1).map(lambda v: np.uint64(v) if v >= 0 else np.int64(v)),
    st.sampled_from([np.int8(5), np.bool_(True), np.float64(3.0), np.uint8(0), np.int32(-1)]),
    # a fresh exception for each object: a re-raised instance would keep every traceback
    st.sampled_from([Boom, KeyError, TypeError, OverflowError, ValueError]).map(
        lambda cls: RaisingIndex(cls("raised by __index__"))
    ),
    st.builds(OddIndex, st.one_of(st.integers(), st.floats(), st.none(), st.text(max_size=2))),
)


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(["f8", ">f8", "<f8", "f4", "i8", "c16", "u1", "O", "f8", "f8"])))
    ndim = draw(st.sampled_from([1, 1, 1, 0, 2]))
    shape = tuple(draw(st.integers(0, 12)) for _ in range(ndim))
    base = np.zeros(tuple(s * 2 for s in shape), dtype)
    if dtype.kind in "fc":
        base[...] = np.arange(base.size).reshape(base.shape) if base.size else 0
    step = draw(st.sampled_from([1, 1, 1, 2, -1, -2]))
    index = tuple(slice(None, s, step) if step > 0 else slice(None, None, step) for s in shape)
    array = base[index][tuple(slice(0, s) for s in shape)] if ndim else base[...]
    if draw(st.booleans()) and ndim == 1:
        array = array.view(Sub)
    if draw(st.integers(0, 5)) == 0:
        array.flags.writeable = False
    return array


@st.composite
def near(draw, n):
    """Mostly a float64 array that passes every check, sometimes just not."""
    length = n + draw(st.sampled_from([0] * 8 + [1, -1]))
    array = np.linspace(1.0, 2.0, max(length, 0) * 2)
    kind = draw(st.sampled_from(["plain"] * 14 + ["reversed", "step", "frozen", "sub", "nan"]))
    if kind == "reversed":
        return array[::-2]
    if kind == "step":
        return array[::2]
    array = array[: max(length, 0)].copy()
    if kind == "frozen":
        array.flags.writeable = False
    elif kind == "sub":
        array = array.view(Sub)
    elif kind == "nan" and array.size:
        array[0] = np.nan
    return array


values = st.one_of(scalars, arrays(), arrays(), st.lists(st.floats(), max_size=3))


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]


def vectorcall(fn, positional, names, named):
    """A call whose keyword names may repeat or be no strings, as Python syntax cannot make."""
    items = list(positional) + list(named)
    vector = (ctypes.py_object * max(len(items), 1))(*items)
    return _vectorcall(fn, vector, len(positional), tuple(names) if names else None)


def snapshot(objects):
    return [(o, o.tobytes()) for o in objects if isinstance(o, np.ndarray) and o.dtype != object]


def check_call(marundex, name, data):
    params = PARAMS[name]
    n = data.draw(st.integers(0, 10))
    arguments = {}
    for p in params:
        if data.draw(st.integers(0, 30)) == 0:
            continue  # missing
        if p in PERIODS:
            arguments[p] = data.draw(st.one_of(st.integers(1, 12), st.integers(0, 12), scalars), label=p)
        elif data.draw(st.integers(0, 5)):
            arguments[p] = data.draw(near(n), label=p)
        else:
            arguments[p] = data.draw(values, label=p)
    split = data.draw(st.integers(0, len(params)))
    positional = []
    for p in params[:split]:
        if p not in arguments:
            break
        positional.append(arguments[p])
    keywords = [(p, arguments[p]) for p in params if p in arguments and p not in params[:len(positional)]]
    keywords = data.draw(st.permutations(keywords)) if keywords else []
    if data.draw(st.integers(0, 7)) == 0:
        unknown = st.sampled_from(["window", "Period", "data ", "périod", "out", "\ud800", 5, b"period", None])
        keywords.append((data.draw(unknown), 1))
    if data.draw(st.integers(0, 7)) == 0 and params:
        p = data.draw(st.sampled_from(params))
        keywords.append((p, arguments.get(p, 3)))  # duplicate of a positional or another keyword
    if data.draw(st.integers(0, 9)) == 0:
        positional.append(data.draw(values))
    fn = getattr(marundex, name)
    passed = positional + [v for _, v in keywords]
    before = snapshot(passed)
    raised_by_index = [v.error for v in passed if isinstance(v, RaisingIndex)]
    names = [k for k, _ in keywords]
    try:
        if len(set(names)) == len(names) and all(isinstance(k, str) for k in names):
            result = fn(*positional, **dict(keywords))
        else:
            result = vectorcall(fn, positional, names, [v for _, v in keywords])
    except ALLOWED + (Boom, KeyError) as err:
        if not isinstance(err, ALLOWED):  # only an argument's own exception, unchanged
            assert any(err is e for e in raised_by_index), repr(err)
        for array, raw in before:
            assert array.tobytes() == raw, f"{name} raised {err!r} but wrote an array"
        return type(err)
    assert result is None
    return None
