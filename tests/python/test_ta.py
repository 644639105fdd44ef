"""marundex_ta: every stream type as a function of what the user holds, with the
engine's bits, in the input's kind, on frames and per group."""

import inspect

import numpy as np
import pytest

from support import run_python

ms = pytest.importorskip("marundex_stream")
ta = pytest.importorskip("marundex_ta")


def engine(name, inputs, parameters):
    """The stream type on a new state over the whole series."""
    made = getattr(ms, name)(*parameters).update(*[np.asarray(x, dtype=np.float64) for x in inputs])
    return list(made) if isinstance(made, tuple) else [made]


def as_float64(result):
    """Any result as float64 arrays, a null as NaN."""
    if type(result).__module__.startswith("polars") and type(result).__name__ == "DataFrame":
        result = [result[c] for c in result.columns]
    elif type(result).__module__.startswith("pandas") and type(result).__name__ == "DataFrame":
        result = [result[c] for c in result.columns]
    elif not isinstance(result, (tuple, list)):
        result = [result]
    out = []
    for r in result:
        module = type(r).__module__.split(".")[0]
        if module == "polars":
            r = r.to_numpy()
        elif module == "pyarrow":
            r = r.to_numpy(zero_copy_only=False)
        elif module == "pandas":
            r = r.to_numpy(dtype=np.float64, na_value=np.nan)
        out.append(np.asarray(r, dtype=np.float64))
    return out


def same_bits(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.view(np.uint64).tolist() == np.asarray(e).view(np.uint64).tolist() or (
            np.array_equal(np.isnan(g), np.isnan(e)) and g[~np.isnan(g)].view(np.uint64).tolist()
            == e[~np.isnan(e)].view(np.uint64).tolist())


def test_every_stream_type_has_its_function():
    for type_name in ms.__all__:
        function = getattr(ta, type_name.lower())
        row = ta.INDICATORS[type_name.lower()]
        kind = getattr(ms, type_name)
        signature = inspect.signature(kind)
        names = [p for p in signature.parameters if p != "symbols"
                 and signature.parameters[p].kind is not inspect.Parameter.KEYWORD_ONLY]
        assert [name for name, _ in row.parameters] == names, type_name
        # The inputs by the names update takes, and as many outputs as it makes.
        x = np.linspace(1.0, 2.0, 8)
        made = kind(*[d for _, d in row.parameters]).update(**{name: x for name in row.inputs})
        assert len(made if isinstance(made, tuple) else (made,)) == len(row.outputs), type_name
        assert function.__name__ == type_name.lower()


def test_defaults_are_talib_defaults():
    abstract = pytest.importorskip("talib.abstract")
    for name, row in ta.INDICATORS.items():
        peer = {"dmi": "ADX", "vwap": None, "supertrend": None, "kc": None}.get(name, name.upper())
        if peer is None:
            continue  # not one of TA-Lib's
        expected = [v for k, v in abstract.Function(peer).parameters.items() if not k.endswith("matype")]
        assert [d for _, d in row.parameters] == expected, name


X = np.random.default_rng(5).normal(0, 1, 120).cumsum() + 100.0
GAPS = [3, 40, 41]


def _with_gaps():
    return [None if i in GAPS else v for i, v in enumerate(X.tolist())]


def _pd(values, dtype=None):
    pd = pytest.importorskip("pandas")
    if isinstance(dtype, str) and dtype.endswith("[pyarrow]"):
        pytest.importorskip("pyarrow")  # Arrow-backed pandas needs it; no wheel everywhere
    return pd.Series(values, dtype=dtype)


def _pl(values, dtype):
    pl = pytest.importorskip("polars")
    return pl.Series("x", values, dtype=getattr(pl, dtype), strict=False)


def _pa(values, chunked=False):
    pa = pytest.importorskip("pyarrow")
    return pa.chunked_array([values[:50], values[50:]]) if chunked else pa.array(values)


# Each kind of input, and the float64 values it stands for.
KINDS = [
    ("list", lambda: X.tolist(), X),
    ("tuple", lambda: tuple(X.tolist()), X),
    ("list with None", _with_gaps, np.array(_with_gaps(), dtype=float)),
    ("float64", lambda: X, X),
    ("float64 strided", lambda: np.repeat(X, 2)[::2], X),
    ("masked", lambda: np.ma.array(X, mask=np.isin(np.arange(len(X)), GAPS)), np.array(_with_gaps(), dtype=float)),
    ("float32", lambda: X.astype(np.float32), X.astype(np.float32).astype(float)),
    ("int64", lambda: np.round(X * 100).astype(np.int64), np.round(X * 100)),
    ("uint16", lambda: np.round(X).astype(np.uint16), np.round(X)),
    ("pandas float64", lambda: _pd(X), X),
    ("pandas Int64", lambda: _pd([None if i in GAPS else round(v) for i, v in enumerate(X)], "Int64"),
     np.array([np.nan if i in GAPS else round(v) for i, v in enumerate(X)])),
    ("pandas Float64", lambda: _pd(_with_gaps(), "Float64"), np.array(_with_gaps(), dtype=float)),
    ("pandas arrow double", lambda: _pd(_with_gaps(), "double[pyarrow]"), np.array(_with_gaps(), dtype=float)),
    ("polars Float64", lambda: _pl(_with_gaps(), "Float64"), np.array(_with_gaps(), dtype=float)),
    ("polars Int32", lambda: _pl([round(v) for v in X], "Int32"), np.round(X)),
    ("pyarrow", lambda: _pa(_with_gaps()), np.array(_with_gaps(), dtype=float)),
    ("pyarrow chunked", lambda: _pa(X.tolist(), chunked=True), X),
]


@pytest.mark.parametrize("label, make, values", KINDS, ids=[k[0] for k in KINDS])
@pytest.mark.parametrize("name", ["rsi", "macd", "atr"])
def test_each_kind_gives_the_engine_bits(label, make, values, name):
    row = ta.INDICATORS[name]
    inputs = [make() for _ in row.inputs]
    result = getattr(ta, name)(*inputs)
    expected = engine(row.type_name, [values] * len(row.inputs), [d for _, d in row.parameters])
    same_bits(as_float64(result), expected)
    if label.startswith("polars") or label.startswith("pyarrow"):
        columns = result.iter_columns() if hasattr(result, "iter_columns") else (
            result if isinstance(result, tuple) else [result])
        nulls = [r.null_count() if callable(r.null_count) else r.null_count for r in columns]
        assert nulls == [int(np.isnan(e).sum()) for e in expected]


def test_float64_is_not_copied():
    made = ta._to_float64(X, "data")
    assert made is X or np.shares_memory(made, X)


def test_pandas_keeps_the_index_and_names_the_columns():
    pd = pytest.importorskip("pandas")
    index = pd.date_range("2024-01-01", periods=len(X), freq="D", name="date")
    close = pd.Series(X, index=index)
    rsi = ta.rsi(close, 14)
    assert rsi.index.equals(index) and rsi.name == "rsi_14"
    assert list(ta.macd(close).columns) == ["macd_12_26_9", "macd_signal_12_26_9", "macd_hist_12_26_9"]
    assert list(ta.bbands(close, 5).columns) == ["bbands_upper_5_2_2", "bbands_middle_5_2_2", "bbands_lower_5_2_2"]
    assert ta.sar(close, close).name == "sar_0.02_0.2"
    assert ta.obv(close, close).name == "obv"


def _long_frame(rng, lengths, interleave):
    """A long frame of symbols of the given lengths, rows shuffled when interleaved."""
    pd = pytest.importorskip("pandas")
    # The last symbol is missing: a group of its own.
    symbol = np.repeat([f"s{k}" for k in range(len(lengths) - 1)] + [None], lengths)
    close = rng.normal(0, 1, len(symbol)).cumsum() + 100.0
    close[rng.integers(0, len(close), 5)] = np.nan
    frame = pd.DataFrame({"symbol": symbol, "session": np.arange(len(symbol)) // 97 % 2, "High": close + 1.0,
                          "low": close - rng.uniform(0, 2, len(close)), "Close": close})
    if interleave:
        frame = frame.iloc[rng.permutation(len(frame))]
    return frame.set_index(pd.RangeIndex(1000, 1000 + len(frame)))


@pytest.mark.parametrize("interleave", [False, True])
@pytest.mark.parametrize("by", ["symbol", ["symbol", "session"]])
@pytest.mark.parametrize("name, parameters", [("rsi", (14,)), ("macd", ()), ("atr", (5,)), ("stoch", ())])
def test_by_equals_each_group_alone(interleave, by, name, parameters):
    frame = _long_frame(np.random.default_rng(3), [300, 7, 0, 41, 120], interleave)
    grouped = getattr(ta, name)(frame, *parameters, by=by)
    expected = [np.full(len(frame), np.nan) for _ in ta.INDICATORS[name].outputs]
    for _, part in frame.groupby(by, sort=False, dropna=False):
        alone = as_float64(getattr(ta, name)(part, *parameters))
        for e, a in zip(expected, alone):
            e[frame.index.get_indexer(part.index)] = a
    assert grouped.index.equals(frame.index)
    same_bits(as_float64(grouped), expected)
    polars = pytest.importorskip("polars")
    same_bits(as_float64(getattr(ta, name)(polars.from_pandas(frame), *parameters, by=by)), expected)


@pytest.mark.parametrize("name, others, parameters", [("rsi", [], (14,)), ("macd", [], (3, 7, 2)),
                                                      ("atr", ["low", "Close"], (5,))])
def test_polars_over_equals_each_group_alone(name, others, parameters):
    pl = pytest.importorskip("polars")
    pytest.importorskip("marundex_ta.polars")
    frame = pl.from_pandas(_long_frame(np.random.default_rng(8), [90, 13, 60], interleave=True))
    first = "High" if others else "Close"
    column = getattr(pl.col(first).mx, name)(*others, *parameters).over("symbol")
    got = frame.select(column).to_series()
    if got.dtype == pl.Struct:
        got = got.struct.unnest()
    same_bits(as_float64(got), as_float64(getattr(ta, name)(frame, *parameters, by="symbol")))


def test_a_grouping_serves_several_indicators_and_keeps_a_grouped_frame():
    frame = _long_frame(np.random.default_rng(4), [50, 60], interleave=False)
    g = ta.group(frame, "symbol")
    assert g.order is None and g.lengths.tolist() == [50, 60]
    same_bits(as_float64(g.rsi(14)), as_float64(ta.rsi(frame, 14, by="symbol")))
    same_bits(as_float64(g.macd()), as_float64(ta.macd(frame, by="symbol")))
    shuffled = ta.group(frame.iloc[np.argsort(np.arange(110) % 2, kind="stable")], "symbol")
    assert shuffled.order is not None and shuffled.lengths.tolist() == [50, 60]


def test_frame_columns_by_keyword():
    frame = _long_frame(np.random.default_rng(6), [30], interleave=False).rename(columns={"Close": "Adj Close"})
    same_bits(as_float64(ta.ema(frame, 5, close="Adj Close")), engine("EMA", [frame["Adj Close"]], [5]))


def test_polars_marks_no_value_with_null():
    pl = pytest.importorskip("polars")
    got = ta.ema(pl.Series("c", [1.0, None, 3.0, 4.0, 5.0]), 2)
    assert got.name == "ema_2" and got.to_list() == [None, None, None, 3.5, 4.5]


def test_import_loads_no_frame_library():
    proc = run_python("""
        import sys, marundex_ta
        print(sorted({"pandas", "polars", "pyarrow"} & set(sys.modules)))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


REFUSALS = [
    (lambda: ta.rsi("abc"), TypeError,
     "Input must be a NumPy array, list or tuple, a pandas or polars Series, or a pyarrow array of real "
     "numbers, not str"),
    (lambda: ta.rsi(np.array(["a", "b"])), TypeError,
     "data must be a NumPy array, list or tuple, a pandas or polars Series, or a pyarrow array of real "
     "numbers, not a NumPy array of <U1"),
    (lambda: ta.rsi(np.ones((2, 2))), TypeError, "data must be one-dimensional, not of 2 dimensions"),
    (lambda: ta.atr([1.0], np.ones(1), _pd([1.0])), TypeError,
     "Inputs must all be of one kind, not list for high, numpy.ndarray for low, pandas.Series for close"),
    (lambda: ta.rsi(X, 14, by="symbol"), TypeError, "by= takes the columns of a DataFrame given as the first input"),
    (lambda: ta.rsi(X, 14, 3), TypeError, "rsi() takes 1 parameters after its inputs, not 2"),
    (lambda: ta.rsi(X, 14, period=3), TypeError, "rsi() got 'period' twice"),
    (lambda: ta.rsi(X, length=3), TypeError, "rsi() got an unexpected keyword argument 'length'"),
    (lambda: ta.atr(X, X), TypeError, "atr() missing its input 'close'"),
    (lambda: ta.atr(X, X, X[:3]), ValueError, "All arrays must have the same shape"),
    (lambda: ta.atr(X.tolist(), X, X[:3]), ValueError, "All arrays must have the same shape"),
    (lambda: ta.rsi(_pd(["a"], object)), TypeError,
     "data must be a NumPy array, list or tuple, a pandas or polars Series, or a pyarrow array of real "
     "numbers, not a pandas Series of object"),
    (lambda: ta.rsi(_long_frame(np.random.default_rng(0), [3], False).drop(columns="Close")), KeyError,
     "\"The frame has no column named 'close' in any case; name it with close=\""),
]


@pytest.mark.parametrize("call, error, message", REFUSALS)
def test_refusals(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message
