"""Every marundex_stream indicator as a function of the series you hold.

    import marundex_ta as ta
    ta.rsi(close, 14)                       # NumPy, list, pandas, polars, pyarrow
    ta.atr(high, low, close, period=14)
    ta.macd(df)                             # a frame: its close column, 12/26/9
    ta.rsi(df, 14, by="symbol")             # every symbol in one native call

Each function runs a new marundex_stream state over the whole series: its values
are the batch values, bit for bit.

Inputs: NumPy arrays of any real dtype, lists and tuples, pandas Series (nullable
and Arrow-backed dtypes too), polars Series, pyarrow arrays and chunked arrays, all
of one kind in a call. Each becomes contiguous float64, without a copy when it is
one already; a missing value (None, pandas NA, a null, a masked one) becomes NaN.

Outputs follow the inputs' kind: NumPy for NumPy, lists and tuples (a tuple for
several outputs); a pandas Series with the input's index (a DataFrame for several);
a polars Series (a DataFrame for several) with null wherever the indicator has no
value; a pyarrow array (a tuple for several) with the same nulls.

Names of pandas and polars results: the indicator's name, then the output's own
name, then the parameters in order, joined by "_", in lower case; an output named
as the indicator, or a lone one, adds no name of its own: rsi_14, macd_12_26_9,
macd_signal_12_26_9, macd_hist_12_26_9, bbands_upper_5_2_2, dmi_adx_14. A whole
float is written without its ".0" (2.0: "2"), any other as Python writes it (0.02).

Frames (pandas or polars DataFrame in place of the first input): the inputs are the
columns named close, high, low and volume, in any case, or the columns named by
keyword (close="Adj Close"); the results are aligned with the frame's rows. With
by= (one column name or a list of them) each group is computed alone, in the
frame's row order, the groups all together in one native call; they may be
interleaved. group(frame, by) does the grouping once for several indicators.

pandas, polars and pyarrow are imported when an input of their kind first arrives.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import marundex_stream

__all__ = [
    "sma", "ema", "macd", "atr", "rsi", "wma", "dema", "tema", "mom", "roc", "stddev", "bbands", "trange",
    "natr", "willr", "stoch", "stochf", "cci", "dmi", "obv", "mfi", "hma", "vwap", "supertrend", "kc", "donchian",
    "sar", "aroon", "stochrsi",
    "group", "Grouped", "INDICATORS",
]  # fmt: skip

_Float64 = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Indicator:
    """One marundex_stream type as the front door calls it: its input and output
    names (as update takes them), its parameters with their defaults."""

    type_name: str
    inputs: tuple[str, ...]
    outputs: tuple[str, ...]
    parameters: tuple[tuple[str, float | int | str], ...]

    @property
    def name(self) -> str:
        return self.type_name.lower()


_DATA = ("data",)
_BAR = ("high", "low", "close")
_BAR_VOLUME = ("high", "low", "close", "volume")
_ONE = ("output",)

# The defaults of TA-Lib's functions where TA-Lib has the indicator (BBANDS: 20, as
# talib.BBANDS takes it); SUPERTREND and KC take the
# charting platforms' usual 10/3 and 20/10/2; MACD starts as marundex's batch does.
INDICATORS: dict[str, Indicator] = {
    row.name: row
    for row in (
        Indicator("SMA", _DATA, _ONE, (("period", 30),)),
        Indicator("EMA", _DATA, _ONE, (("period", 30),)),
        Indicator(
            "MACD",
            _DATA,
            ("macd_output", "signal_output", "hist_output"),
            (("fast_period", 12), ("slow_period", 26), ("signal_period", 9)),
        ),
        Indicator("ATR", _BAR, _ONE, (("period", 14),)),
        Indicator("RSI", _DATA, _ONE, (("period", 14),)),
        Indicator("WMA", _DATA, _ONE, (("period", 30),)),
        Indicator("DEMA", _DATA, _ONE, (("period", 30),)),
        Indicator("TEMA", _DATA, _ONE, (("period", 30),)),
        Indicator("MOM", _DATA, _ONE, (("period", 10),)),
        Indicator("ROC", _DATA, _ONE, (("period", 10),)),
        Indicator("STDDEV", _DATA, _ONE, (("period", 5), ("nbdev", 1.0))),
        Indicator(
            "BBANDS",
            _DATA,
            ("upper_output", "middle_output", "lower_output"),
            (("period", 20), ("nbdev_up", 2.0), ("nbdev_dn", 2.0)),
        ),
        Indicator("TRANGE", _BAR, _ONE, ()),
        Indicator("NATR", _BAR, _ONE, (("period", 14),)),
        Indicator("WILLR", _BAR, _ONE, (("period", 14),)),
        Indicator(
            "STOCH",
            _BAR,
            ("slowk_output", "slowd_output"),
            (("fastk_period", 5), ("slowk_period", 3), ("slowd_period", 3)),
        ),
        Indicator("STOCHF", _BAR, ("fastk_output", "fastd_output"), (("fastk_period", 5), ("fastd_period", 3))),
        Indicator("CCI", _BAR, _ONE, (("period", 14),)),
        Indicator("DMI", _BAR, ("plus_di_output", "minus_di_output", "adx_output"), (("period", 14),)),
        Indicator("OBV", ("close", "volume"), _ONE, ()),
        Indicator("MFI", _BAR_VOLUME, _ONE, (("period", 14),)),
        Indicator("HMA", _DATA, _ONE, (("period", 20),)),
        Indicator("VWAP", _BAR_VOLUME, _ONE, (("period", 0),)),
        Indicator("SUPERTREND", _BAR, ("output", "trend_output"), (("period", 10), ("multiplier", 3.0))),
        Indicator(
            "KC",
            _BAR,
            ("upper_output", "middle_output", "lower_output"),
            (("period", 20), ("atr_period", 10), ("nbdev", 2.0)),
        ),
        Indicator(
            "DONCHIAN", ("high", "low"), ("upper_output", "middle_output", "lower_output"), (("period", 20),)
        ),
        Indicator("SAR", ("high", "low"), _ONE, (("acceleration", 0.02), ("maximum", 0.2))),
        Indicator("AROON", ("high", "low"), ("down_output", "up_output"), (("period", 14),)),
        Indicator(
            "STOCHRSI",
            _DATA,
            ("fastk_output", "fastd_output"),
            (("period", 14), ("fastk_period", 5), ("fastd_period", 3)),
        ),
    )
}

# The column a frame gives an input by default: a one-series input is its close.
_COLUMN_OF = {"data": "close"}

_TAKES = "a NumPy array, list or tuple, a pandas or polars Series, or a pyarrow array of real numbers"


def _refuse(what: str, got: str) -> TypeError:
    return TypeError(f"{what} must be {_TAKES}, not {got}")


def _describe(value: object) -> str:
    kind = type(value)
    module = kind.__module__.split(".")[0]
    return kind.__qualname__ if module == "builtins" else f"{module}.{kind.__qualname__}"


# ---------------------------------------------------------------------------
# Inputs: one series of numbers to contiguous float64, and the kind it came as.


def _library(name: str) -> Any:
    # Imported when an input of its kind first arrives, never with marundex_ta.
    return importlib.import_module(name)


def _kind(value: object) -> str:
    if isinstance(value, (np.ndarray, list, tuple)):
        return "numpy"
    module = type(value).__module__.split(".")[0]
    if module in ("pandas", "polars", "pyarrow"):
        return module
    return "other"


def _is_real(dtype: np.dtype[Any]) -> bool:
    return dtype.kind in "iuf"


def _to_float64(value: object, what: str) -> _Float64:
    kind = _kind(value)
    if kind == "numpy":
        if isinstance(value, np.ndarray):
            if not _is_real(value.dtype):
                raise _refuse(what, f"a NumPy array of {value.dtype}")
            if isinstance(value, np.ma.MaskedArray):
                # The masked values are missing ones, not data.
                array = np.ma.filled(value.astype(np.float64), np.nan)
            else:
                array = np.ascontiguousarray(value, dtype=np.float64)
        else:
            try:
                array = np.asarray(value, dtype=np.float64)
            except (TypeError, ValueError):
                raise _refuse(what, f"a {type(value).__name__} holding something else") from None
    elif kind == "pandas":
        array = _pandas_values(value, what)
    elif kind == "polars":
        array = _polars_values(value, what)
    elif kind == "pyarrow":
        array = _arrow_values(value, what)
    else:
        raise _refuse(what, _describe(value))
    if array.ndim != 1:
        raise TypeError(f"{what} must be one-dimensional, not of {array.ndim} dimensions")
    return np.ascontiguousarray(array)


def _pandas_values(value: Any, what: str) -> _Float64:
    pd = _library("pandas")

    if not isinstance(value, pd.Series):
        raise _refuse(what, _describe(value))
    dtype = value.dtype
    if pd.api.types.is_bool_dtype(dtype) or not pd.api.types.is_numeric_dtype(dtype):
        raise _refuse(what, f"a pandas Series of {dtype}")
    if isinstance(dtype, np.dtype):
        return np.ascontiguousarray(value.to_numpy(), dtype=np.float64)
    return np.asarray(value.to_numpy(dtype=np.float64, na_value=np.nan))


def _polars_values(value: Any, what: str) -> _Float64:
    pl = _library("polars")

    if not isinstance(value, pl.Series):
        raise _refuse(what, _describe(value))
    if not value.dtype.is_numeric() or value.dtype == pl.Decimal:
        raise _refuse(what, f"a polars Series of {value.dtype}")
    return np.asarray(value.cast(pl.Float64).to_numpy())


def _arrow_values(value: Any, what: str) -> _Float64:
    pa = _library("pyarrow")

    if not isinstance(value, (pa.Array, pa.ChunkedArray)):
        raise _refuse(what, _describe(value))
    if not (pa.types.is_integer(value.type) or pa.types.is_floating(value.type)):
        raise _refuse(what, f"a pyarrow array of {value.type}")
    return np.asarray(value.cast(pa.float64()).to_numpy(zero_copy_only=False))


# ---------------------------------------------------------------------------
# Names and outputs in the inputs' kind.


def _word(value: float | int | str) -> str:
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


def result_names(indicator: Indicator, parameters: Sequence[float | int | str]) -> list[str]:
    """The names of the pandas and polars results: rsi_14, macd_signal_12_26_9."""
    suffix = "".join(f"_{_word(p)}" for p in parameters)
    names = []
    for output in indicator.outputs:
        field = output.removesuffix("output").removesuffix("_")
        head = indicator.name if field in ("", indicator.name) else f"{indicator.name}_{field}"
        names.append(head + suffix)
    return names


@dataclass
class _Shape:
    """What the results are made into: the inputs' kind, and the pandas index."""

    kind: str
    index: Any = None


def _shaped(outputs: tuple[_Float64, ...], names: list[str], shape: _Shape) -> Any:
    if shape.kind == "pandas":
        pd = _library("pandas")

        if len(outputs) == 1:
            return pd.Series(outputs[0], index=shape.index, name=names[0], copy=False)
        return pd.DataFrame(dict(zip(names, outputs)), index=shape.index, copy=False)
    if shape.kind == "polars":
        pl = _library("polars")

        columns = [pl.Series(name, values, dtype=pl.Float64, nan_to_null=True) for name, values in zip(names, outputs)]
        return columns[0] if len(columns) == 1 else pl.DataFrame(columns)
    if shape.kind == "pyarrow":
        pa = _library("pyarrow")

        arrays = tuple(pa.array(values, type=pa.float64(), from_pandas=True) for values in outputs)
        return arrays[0] if len(arrays) == 1 else arrays
    return outputs[0] if len(outputs) == 1 else outputs


# ---------------------------------------------------------------------------
# The computation: one series on a new state, or a universe in one call.


def _as_tuple(made: Any) -> tuple[_Float64, ...]:
    return made if isinstance(made, tuple) else (made,)


def _series(indicator: Indicator, parameters: Sequence[Any], inputs: Sequence[_Float64]) -> tuple[_Float64, ...]:
    state = getattr(marundex_stream, indicator.type_name)(*parameters)
    return _as_tuple(state.update(*inputs))


def _universe(
    indicator: Indicator, parameters: Sequence[Any], inputs: Sequence[_Float64], lengths: npt.NDArray[np.int64]
) -> tuple[_Float64, ...]:
    """Outputs of symbols held one after another in one-dimensional inputs, symbol s
    taking the next lengths[s] bars, each as if alone on a new state."""
    if len(lengths) == 0:
        return tuple(np.empty(0) for _ in indicator.outputs)
    state = getattr(marundex_stream, indicator.type_name)(*parameters, symbols=len(lengths))
    return _as_tuple(state.update(*inputs, lengths=lengths))


# ---------------------------------------------------------------------------
# Frames and groups.


def _frame_kind(value: object) -> str | None:
    module = type(value).__module__.split(".")[0]
    name = type(value).__name__
    if module == "pandas" and name == "DataFrame":
        return "pandas"
    if module == "polars" and name == "DataFrame":
        return "polars"
    return None


def _columns(frame: Any) -> list[str]:
    return [str(c) for c in frame.columns]


def _column_name(frame: Any, column: str, given: str | None) -> str:
    names = _columns(frame)
    if given is not None:
        if given not in names:
            raise KeyError(f"The frame has no column {given!r}")
        return given
    matches = [n for n in names if n.lower() == column]
    if len(matches) != 1:
        found = "no column" if not matches else f"columns {', '.join(map(repr, matches))}"
        raise KeyError(f"The frame has {found} named {column!r} in any case; name it with {column}=")
    return matches[0]


def _column(frame: Any, name: str) -> Any:
    return frame[name]


@dataclass
class Grouped:
    """A frame grouped once, for several indicators: group(df, "symbol").rsi(14).

    The rows of each group are computed in the frame's order; the results are
    aligned with the frame's rows. A frame whose groups are already contiguous is
    not reordered."""

    frame: Any
    by: list[str]
    order: npt.NDArray[np.intp] | None
    lengths: npt.NDArray[np.int64]
    # A polars frame cannot change: its columns are converted and gathered once.
    _columns: dict[str, _Float64] = field(default_factory=dict)

    def gathered(self, column: Any, what: str) -> _Float64:
        """A column of the frame as float64, its groups one after another."""
        cached = self._columns.get(column.name) if _frame_kind(self.frame) == "polars" else None
        if cached is None:
            cached = _to_float64(column, what)
            if self.order is not None:
                cached = cached[self.order]
            if _frame_kind(self.frame) == "polars":
                self._columns[column.name] = cached
        return cached

    def __getattr__(self, name: str) -> Callable[..., Any]:
        indicator = INDICATORS.get(name)
        if indicator is None:
            raise AttributeError(f"'Grouped' object has no attribute {name!r}")

        def bound(*parameters: Any, **keywords: Any) -> Any:
            return _call(indicator, (self.frame, *parameters), {**keywords, "by": self})

        bound.__name__ = name
        bound.__doc__ = _FUNCTIONS[name].__doc__
        return bound


def _group_codes(frame: Any, by: list[str], kind: str) -> npt.NDArray[np.int64]:
    if kind == "pandas":
        return np.asarray(frame.groupby(by, sort=False, observed=True, dropna=False).ngroup(), dtype=np.int64)
    pl = _library("polars")

    key = pl.col(by[0]) if len(by) == 1 else pl.struct(by)
    # A grouped frame, found without the sort that ranking takes: as many runs of
    # equal keys as keys.
    runs = frame.select(key.rle_id()).to_series()
    if len(runs) == 0 or runs[-1] + 1 == frame.select(key.n_unique()).item():
        return np.asarray(runs.to_numpy(), dtype=np.int64)
    # A null key is a group of its own, as pandas keeps it with dropna=False.
    return np.asarray(frame.select(key.rank("dense").fill_null(0)).to_series().to_numpy(), dtype=np.int64)


def group(frame: Any, by: str | Sequence[str]) -> Grouped:
    """The grouping of a pandas or polars DataFrame by one column or several, made
    once: its methods are the indicators (g.rsi(14), g.macd())."""
    kind = _frame_kind(frame)
    if kind is None:
        raise TypeError(f"group takes a pandas or polars DataFrame, not {_describe(frame)}")
    columns = [by] if isinstance(by, str) else list(by)
    for c in columns:
        if c not in _columns(frame):
            raise KeyError(f"The frame has no column {c!r}")
    codes = _group_codes(frame, columns, kind)
    if len(codes) == 0:
        return Grouped(frame, columns, None, np.zeros(0, dtype=np.int64))
    # The codes are dense: as many groups as codes between the least and the most.
    groups = int(codes.max() - codes.min()) + 1
    starts = np.flatnonzero(np.concatenate(([True], codes[1:] != codes[:-1])))
    if len(starts) == groups:
        # Every group is one run of rows already: no reordering.
        lengths = np.diff(np.append(starts, len(codes))).astype(np.int64)
        return Grouped(frame, columns, None, lengths)
    order = np.argsort(codes, kind="stable")
    lengths = np.bincount(codes - codes.min(), minlength=groups).astype(np.int64)
    return Grouped(frame, columns, order, lengths)


# ---------------------------------------------------------------------------
# The functions.


def _call(indicator: Indicator, arguments: tuple[Any, ...], keywords: dict[str, Any]) -> Any:
    by = keywords.pop("by", None)
    first: Any = arguments[0] if arguments else None
    frame_kind = _frame_kind(first)
    names = {_COLUMN_OF.get(i, i) for i in indicator.inputs}
    if frame_kind is not None:
        given = {n: keywords.pop(n) for n in list(keywords) if n in names}
        columns = [_COLUMN_OF.get(i, i) for i in indicator.inputs]
        series = [_column(first, _column_name(first, c, given.get(c))) for c in columns]
        parameter_values = arguments[1:]
        shape = _Shape(frame_kind, first.index if frame_kind == "pandas" else None)
    else:
        if by is not None:
            raise TypeError("by= takes the columns of a DataFrame given as the first input")
        count = len(indicator.inputs)
        series = list(arguments[:count])
        for name in indicator.inputs[len(series) :]:
            if name not in keywords:
                raise TypeError(f"{indicator.name}() missing its input {name!r}")
            series.append(keywords.pop(name))
        parameter_values = arguments[count:]
        kinds = [_kind(s) for s in series]
        for name, s, k in zip(indicator.inputs, series, kinds):
            if k == "other":
                raise _refuse(name.capitalize() if name != "data" else "Input", _describe(s))
        if len(set(kinds)) > 1:
            got = ", ".join(f"{_describe(s)} for {n}" for n, s in zip(indicator.inputs, series))
            raise TypeError(f"Inputs must all be of one kind, not {got}")
        shape = _Shape(kinds[0], getattr(series[0], "index", None) if kinds[0] == "pandas" else None)
    parameters = _bind(indicator, parameter_values, keywords)
    grouped = None if by is None else by if isinstance(by, Grouped) else group(first, by)
    if grouped is None:
        arrays = [_to_float64(s, n) for n, s in zip(indicator.inputs, series)]
    else:
        arrays = [grouped.gathered(s, n) for n, s in zip(indicator.inputs, series)]
    if grouped is None:
        outputs = _series(indicator, parameters, arrays)
    else:
        outputs = _universe(indicator, parameters, arrays, grouped.lengths)
        if grouped.order is not None:
            made, outputs = outputs, tuple(np.empty_like(m) for m in outputs)
            for aligned, m in zip(outputs, made):
                aligned[grouped.order] = m
    return _shaped(outputs, result_names(indicator, parameters), shape)


def _bind(indicator: Indicator, values: tuple[Any, ...], keywords: dict[str, Any]) -> list[Any]:
    if len(values) > len(indicator.parameters):
        raise TypeError(
            f"{indicator.name}() takes {len(indicator.parameters)} parameters after its inputs, not {len(values)}"
        )
    bound = list(values) + [None] * (len(indicator.parameters) - len(values))
    for k, (name, default) in enumerate(indicator.parameters):
        if name in keywords:
            if k < len(values):
                raise TypeError(f"{indicator.name}() got {name!r} twice")
            bound[k] = keywords.pop(name)
        elif k >= len(values):
            bound[k] = default
    if keywords:
        raise TypeError(f"{indicator.name}() got an unexpected keyword argument {next(iter(keywords))!r}")
    return bound


class IndicatorFunction(Protocol):
    __name__: str

    def __call__(self, *arguments: Any, **keywords: Any) -> Any: ...


def _function(type_name: str) -> IndicatorFunction:
    indicator = INDICATORS[type_name.lower()]

    kind = getattr(marundex_stream, type_name)
    count = len(indicator.inputs)
    defaults = tuple(d for _, d in indicator.parameters)

    def function(*arguments: Any, **keywords: Any) -> Any:
        # float64 arrays straight to the engine: a short series costs no more than
        # the state it runs on.
        if not keywords and count <= len(arguments) <= count + len(defaults) and all(
            type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1 and a.flags.c_contiguous
            for a in arguments[:count]
        ):
            parameters = arguments[count:] + defaults[len(arguments) - count :]
            return kind(*parameters).update(*arguments[:count])
        return _call(indicator, arguments, keywords)

    inputs = ", ".join(indicator.inputs)
    parameters = "".join(f", {n}={d!r}" for n, d in indicator.parameters)
    function.__name__ = function.__qualname__ = indicator.name
    function.__doc__ = (
        f"{indicator.name}({inputs}{parameters}, *, by=None)\n\n"
        f"{getattr(marundex_stream, type_name).__doc__}\n\n"
        f"Results, in order and as pandas and polars name them: "
        f"{', '.join(result_names(indicator, [d for _, d in indicator.parameters]))}."
    )
    return function


sma = _function("SMA")
ema = _function("EMA")
macd = _function("MACD")
atr = _function("ATR")
rsi = _function("RSI")
wma = _function("WMA")
dema = _function("DEMA")
tema = _function("TEMA")
mom = _function("MOM")
roc = _function("ROC")
stddev = _function("STDDEV")
bbands = _function("BBANDS")
trange = _function("TRANGE")
natr = _function("NATR")
willr = _function("WILLR")
stoch = _function("STOCH")
stochf = _function("STOCHF")
cci = _function("CCI")
dmi = _function("DMI")
obv = _function("OBV")
mfi = _function("MFI")
hma = _function("HMA")
vwap = _function("VWAP")
supertrend = _function("SUPERTREND")
kc = _function("KC")
donchian = _function("DONCHIAN")
sar = _function("SAR")
aroon = _function("AROON")
stochrsi = _function("STOCHRSI")

_FUNCTIONS: dict[str, IndicatorFunction] = {name: getattr(sys.modules[__name__], name) for name in INDICATORS}

try:
    from importlib.metadata import version as _version

    __version__ = _version("marundex")
except Exception:  # a checkout on PYTHONPATH, not installed
    __version__ = "0+unknown"

