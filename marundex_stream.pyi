"""Resumable indicators: new bars for one series, or for a whole universe of symbols
in one call, with the bits of marundex's batch functions.

For every series, the outputs of all its update calls, put end to end, equal bit for
bit the marundex batch function over all its inputs put end to end, however the
bars were cut into calls. preview writes exactly what update would write and moves
nothing: the bar still forming, revised as often as it ticks.

One series (symbols=None): every array is one-dimensional, holding k >= 0 new bars.
A universe of N symbols: every array is either one-dimensional of length N (one new
bar per symbol) or two-dimensional C-contiguous of shape (N, k) (k new bars per
symbol, one row each). With rows, a one-dimensional int64 array of distinct symbol
indices (0 to N - 1), the first dimension is len(rows) and only those symbols move.

Arrays are numpy.ndarray of float64, C-contiguous; outputs have the data's shape,
are writeable and share no memory with an input, rows or each other. A failed call
raises before anything is written, and the state does not move. The computation
runs without the interpreter lock, except for a call of a few bars, which takes less
than giving it up; calls on one object are serialized.

With lengths, a one-dimensional int64 array of one count per symbol (per entry of
rows, with rows), one-dimensional arrays hold each symbol's new bars one after
another: symbol s takes the next lengths[s] bars. No count may be negative, and the
counts sum to the arrays' length.

Called without output arrays, update and preview make them and return them: one
array, or a tuple in output order. One bar of one series may be given as numbers
(floats or ints): the call returns its outputs as floats, or a tuple of floats, with
the bits the arrays would hold.

The periods of SMA, WMA, MOM, ROC, STDDEV, BBANDS, WILLR, STOCH, STOCHF, CCI, MFI, HMA, VWAP, KC, DONCHIAN and
AROON (period + 1 bars), STOCHRSI's fastk_period and fastd_period and MACD's slow period set a window of earlier
inputs that the state keeps: at most 16777216 bars. Other periods follow the batch functions' rules (0, or longer
than the bars seen: NaN).

The catalogue's types (RSI, WMA, DEMA, TEMA, MOM, ROC, STDDEV, BBANDS, TRANGE, NATR, WILLR, STOCH, STOCHF, CCI, DMI,
OBV, MFI, HMA, VWAP, SUPERTREND, KC, DONCHIAN, SAR, AROON, STOCHRSI) have no batch
function: their batch is one update over the whole series on a new object. Each agrees with TA-Lib's function of the same
name and is defined to the bit on the guide's Definitions page.
"""

from typing import Any, Literal, SupportsIndex, overload, overload, overload

import numpy
import numpy.typing

__all__ = [
    "SMA", "EMA", "MACD", "ATR", "RSI", "WMA", "DEMA", "TEMA", "MOM", "ROC", "STDDEV", "BBANDS", "TRANGE", "NATR",
    "WILLR", "STOCH", "STOCHF", "CCI", "DMI", "OBV", "MFI", "HMA", "VWAP", "SUPERTREND", "KC", "DONCHIAN",
    "SAR", "AROON", "STOCHRSI",
]
__version__: str

_Array = numpy.typing.NDArray[numpy.float64]
_Rows = numpy.typing.NDArray[numpy.int64]

class SMA:
    """Simple moving average, as marundex.indicator_sma, resumed bar after bar."""

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the averages of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "SMA":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "SMA": ...
    def __deepcopy__(self, memo: Any) -> "SMA": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class EMA:
    """Exponential moving average, as marundex.indicator_ema, resumed bar after bar."""

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the averages of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "EMA":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "EMA": ...
    def __deepcopy__(self, memo: Any) -> "EMA": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class MACD:
    """MACD line, signal line and histogram, as marundex.indicator_macd, resumed.

    With seed="talib", as TA-Lib's MACD: the three lines start together at bar
    slow_period + signal_period - 2, the signal line seeded with the mean of the
    first signal_period MACD values; an infinity is skipped like a NaN.

    Raises ValueError "Periods must be greater than 0" and "Fast period must be less
    than slow period", as the batch function does, and 'Seed must be "first" or
    "talib"'.
    """

    def __init__(
        self,
        fast_period: SupportsIndex,
        slow_period: SupportsIndex,
        signal_period: SupportsIndex,
        symbols: SupportsIndex | None = None,
        *,
        seed: Literal["first", "talib"] = "first",
    ) -> None: ...
    @overload
    def update(
        self,
        data: _Array,
        macd_output: _Array,
        signal_output: _Array,
        hist_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the three lines of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def update(self, data: float, /) -> tuple[float, float, float]: ...
    @overload
    def preview(
        self,
        data: _Array,
        macd_output: _Array,
        signal_output: _Array,
        hist_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def preview(self, data: float, /) -> tuple[float, float, float]: ...
    def copy(self) -> "MACD":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "MACD": ...
    def __deepcopy__(self, memo: Any) -> "MACD": ...
    @property
    def fast_period(self) -> int: ...
    @property
    def slow_period(self) -> int: ...
    @property
    def signal_period(self) -> int: ...
    @property
    def seed(self) -> Literal["first", "talib"]: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class ATR:
    """Average true range, as marundex.indicator_atr, resumed bar after bar."""

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the averages of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> float: ...
    def copy(self) -> "ATR":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "ATR": ...
    def __deepcopy__(self, memo: Any) -> "ATR": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class RSI:
    """Wilder's relative strength index: 100 * (gain / (gain + loss)), each an average
    of the changes, seeded by the mean of the first period of them, then
    (1 - alpha) * average + alpha * change with alpha = 1 / period. NaN before bar
    period.

    A NaN or infinite input gives NaN at its own bar and the next (the two changes
    it takes part in); the averages skip them. Raises ValueError "Period must be at
    least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the index of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "RSI":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "RSI": ...
    def __deepcopy__(self, memo: Any) -> "RSI": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class WMA:
    """Weighted moving average: sum of k * x over the window, k = 1 for the oldest
    input up to period for the newest, over period * (period + 1) / 2; plain and
    weighted sums carried from bar to bar and summed afresh every period bars. NaN
    before bar period - 1.

    A window that holds a NaN or an infinity gives NaN; the next good window sums
    itself afresh. Raises ValueError "Period must be at least 1".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the average of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "WMA":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "WMA": ...
    def __deepcopy__(self, memo: Any) -> "WMA": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class DEMA:
    """Double exponential moving average: e1 + (e1 - e2), e1 the EMA of the input
    and e2 the EMA of e1, alpha = 2 / (period + 1), each seeded by the mean of its
    first period finite values in a row. NaN before bar 2 * (period - 1).

    A NaN or infinite input gives NaN at its own bar and both averages skip it (one
    not yet seeded starts its run afresh). Raises ValueError "Period must be at
    least 1".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the average of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "DEMA":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "DEMA": ...
    def __deepcopy__(self, memo: Any) -> "DEMA": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class TEMA:
    """Triple exponential moving average: 3 * (e1 - e2) + e3, e1 the EMA of the
    input, e2 the EMA of e1 and e3 the EMA of e2, alpha = 2 / (period + 1), each
    seeded by the mean of its first period finite values in a row. NaN before bar
    3 * (period - 1).

    A NaN or infinite input gives NaN at its own bar and the three averages skip it
    (one not yet seeded starts its run afresh). Raises ValueError "Period must be at
    least 1".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the average of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "TEMA":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "TEMA": ...
    def __deepcopy__(self, memo: Any) -> "TEMA": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class MOM:
    """Momentum: x[i] - x[i - period]. NaN before bar period.

    A NaN or infinite input gives NaN at its own bar and the one period after it.
    Raises ValueError "Period must be at least 1".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the momentum of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "MOM":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "MOM": ...
    def __deepcopy__(self, memo: Any) -> "MOM": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class ROC:
    """Rate of change in percent: ((x[i] / x[i - period]) - 1) * 100, 0 where
    x[i - period] is 0. NaN before bar period.

    A NaN or infinite input gives NaN at its own bar and the one period after it.
    Raises ValueError "Period must be at least 1".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the rate of change of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "ROC":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "ROC": ...
    def __deepcopy__(self, memo: Any) -> "ROC": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class STDDEV:
    """Population standard deviation of the last period inputs, times nbdev:
    sqrt(mean of (x - mean)**2) * nbdev, from sums of each input less a shift (an
    input of the window), summed afresh every period bars. NaN before bar period - 1.

    A window that holds a NaN or an infinity gives NaN; the next good window sums
    itself afresh. Raises ValueError "Period must be at least 2" and "Nbdev must be a
    finite number".
    """

    def __init__(self, period: SupportsIndex, nbdev: float = 1.0, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the deviations of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "STDDEV":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "STDDEV": ...
    def __deepcopy__(self, memo: Any) -> "STDDEV": ...
    @property
    def period(self) -> int: ...
    @property
    def nbdev(self) -> float: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class BBANDS:
    """Bollinger Bands: the mean of the last period inputs (middle), and it plus
    nbdev_up (upper) and less nbdev_dn (lower) population standard deviations, the
    deviation as STDDEV's. NaN before bar period - 1.

    A window that holds a NaN or an infinity gives NaN in all three. Raises
    ValueError "Period must be at least 2", "Nbdev up must be a finite number" and
    "Nbdev dn must be a finite number".
    """

    def __init__(
        self, period: SupportsIndex, nbdev_up: float = 2.0, nbdev_dn: float = 2.0, symbols: SupportsIndex | None = None,
    ) -> None: ...
    @overload
    def update(
        self,
        data: _Array,
        upper_output: _Array,
        middle_output: _Array,
        lower_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the three bands of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def update(self, data: float, /) -> tuple[float, float, float]: ...
    @overload
    def preview(
        self,
        data: _Array,
        upper_output: _Array,
        middle_output: _Array,
        lower_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def preview(self, data: float, /) -> tuple[float, float, float]: ...
    def copy(self) -> "BBANDS":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "BBANDS": ...
    def __deepcopy__(self, memo: Any) -> "BBANDS": ...
    @property
    def period(self) -> int: ...
    @property
    def nbdev_up(self) -> float: ...
    @property
    def nbdev_dn(self) -> float: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class TRANGE:
    """True range: max(high - low, |high - close'|, |low - close'|), close' being the
    previous bar's close. NaN at bar 0, which has none.

    A NaN or infinite input gives NaN at the bars that use it: a high or low at its
    own bar, a close at the next bar only. No parameter: symbols=None is the
    constructor's one argument.
    """

    def __init__(self, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the true ranges of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> float: ...
    def copy(self) -> "TRANGE":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "TRANGE": ...
    def __deepcopy__(self, memo: Any) -> "TRANGE": ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class NATR:
    """Normalised average true range: (average / close) * 100, the average Wilder's
    of the true ranges, seeded by the mean of the first period of them, then
    (1 - alpha) * average + alpha * true range with alpha = 1 / period; 0 where the
    close is zero. NaN before bar period.

    A NaN or infinite input gives NaN at the bars whose true range or close it is,
    and the average skips those true ranges. Raises ValueError "Period must be at
    least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the NATR of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> float: ...
    def copy(self) -> "NATR":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "NATR": ...
    def __deepcopy__(self, memo: Any) -> "NATR": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class WILLR:
    """Williams' %R: ((hh - close) / (hh - ll)) * -100, hh the highest high and ll
    the lowest low of the last period bars; 0 where they are equal. NaN before bar
    period - 1.

    A NaN or infinite high or low gives NaN at every window that holds it, a close at
    its own bar. Raises ValueError "Period must be at least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the %R of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> float: ...
    def copy(self) -> "WILLR":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "WILLR": ...
    def __deepcopy__(self, memo: Any) -> "WILLR": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class STOCH:
    """Slow stochastic: the slow %K the mean of the last slowk_period fast %K, ((close
    - ll) / (hh - ll)) * 100 over the last fastk_period bars (0 where hh equals ll);
    the slow %D the mean of the last slowd_period slow %K. Both NaN before bar
    fastk_period + slowk_period + slowd_period - 3.

    A NaN or infinite high or low gives NaN at every fast %K window that holds it, a
    close at its own fast %K, and a NaN value at every mean that holds it. Raises
    ValueError "Fastk period must be at least 1", "Slowk period must be at least 1"
    and "Slowd period must be at least 1".
    """

    def __init__(
        self,
        fastk_period: SupportsIndex,
        slowk_period: SupportsIndex,
        slowd_period: SupportsIndex,
        symbols: SupportsIndex | None = None,
    ) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        slowk_output: _Array,
        slowd_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the slow %K and %D of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> tuple[float, float]: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        slowk_output: _Array,
        slowd_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> tuple[float, float]: ...
    def copy(self) -> "STOCH":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "STOCH": ...
    def __deepcopy__(self, memo: Any) -> "STOCH": ...
    @property
    def fastk_period(self) -> int: ...
    @property
    def slowk_period(self) -> int: ...
    @property
    def slowd_period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class STOCHF:
    """Fast stochastic: %K = ((close - ll) / (hh - ll)) * 100, hh the highest high and
    ll the lowest low of the last fastk_period bars, 0 where they are equal; %D the
    mean of the last fastd_period %K. Both NaN before bar fastk_period + fastd_period - 2.

    A NaN or infinite high or low gives NaN at every %K window that holds it, a close
    at its own %K, and a NaN %K at every %D that holds it. Raises ValueError "Fastk
    period must be at least 1" and "Fastd period must be at least 1".
    """

    def __init__(
        self, fastk_period: SupportsIndex, fastd_period: SupportsIndex, symbols: SupportsIndex | None = None
    ) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        fastk_output: _Array,
        fastd_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the %K and %D of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> tuple[float, float]: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        fastk_output: _Array,
        fastd_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> tuple[float, float]: ...
    def copy(self) -> "STOCHF":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "STOCHF": ...
    def __deepcopy__(self, memo: Any) -> "STOCHF": ...
    @property
    def fastk_period(self) -> int: ...
    @property
    def fastd_period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class CCI:
    """Commodity channel index: (tp - mean) / (0.015 * deviation), tp the typical
    price ((high + low) + close) / 3, mean and deviation the mean and the mean
    absolute deviation of the last period typical prices; 0 where 0.015 * deviation
    is 0. NaN before bar period - 1.

    A NaN or infinite input gives NaN at every window that holds its bar. Raises
    ValueError "Period must be at least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the index of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> float: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> float: ...
    def copy(self) -> "CCI":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "CCI": ...
    def __deepcopy__(self, memo: Any) -> "CCI": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class DMI:
    """Wilder's directional movement: +DI = (+DM average / TR average) * 100, -DI
    likewise, and ADX the average of DX = (|+DI - -DI| / (+DI + -DI)) * 100, each
    average Wilder's. +DI and -DI NaN before bar period, ADX before bar 2 * period - 1.

    A bar whose moves or true range are not finite (a NaN or infinite high or low
    there or the bar before, or close the bar before) gives NaN at its own bar, and
    the averages skip it. Raises ValueError "Period must be at least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        plus_di_output: _Array,
        minus_di_output: _Array,
        adx_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the +DI, -DI and ADX of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> tuple[float, float, float]: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        plus_di_output: _Array,
        minus_di_output: _Array,
        adx_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> tuple[float, float, float]: ...
    def copy(self) -> "DMI":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "DMI": ...
    def __deepcopy__(self, memo: Any) -> "DMI": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class OBV:
    """On-balance volume: a running total of the volume, started at the first bar's
    volume, then + volume where the close is above the last close, - volume where
    below, unchanged where equal. A value from bar 0.

    A bar whose close or volume is NaN or infinite gives NaN and is left out of the
    total; the next bar's close is held against the last finite close. No
    parameter: symbols=None is the constructor's one argument.
    """

    def __init__(self, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self, close: _Array, volume: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None
    ) -> None:
        """Writes the balance of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, close: _Array, volume: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def update(self, close: float, volume: float, /) -> float: ...
    @overload
    def preview(
        self, close: _Array, volume: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, close: _Array, volume: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def preview(self, close: float, volume: float, /) -> float: ...
    def copy(self) -> "OBV":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "OBV": ...
    def __deepcopy__(self, memo: Any) -> "OBV": ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""

class MFI:
    """Money flow index: 100 * (pos / (pos + neg)) of the sums of the last period
    flows tp * volume, tp = ((high + low) + close) / 3, positive where tp rose from
    the bar before and negative where it fell; 0 where both sums are 0. NaN before
    bar period.

    A flow that is not finite (a NaN or infinite input at its bar, or a high, low or
    close the bar before) gives NaN at every window that holds it. Raises ValueError
    "Period must be at least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the MFI of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        *,
        rows: _Rows | None = None,
        lengths: _Rows | None = None,
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, close: float, volume: float, /) -> float: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        *,
        rows: _Rows | None = None,
        lengths: _Rows | None = None,
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, close: float, volume: float, /) -> float: ...
    def copy(self) -> "MFI":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "MFI": ...
    def __deepcopy__(self, memo: Any) -> "MFI": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class HMA:
    """Hull moving average: the WMA over isqrt(period) bars of 2 * a - b, a the WMA
    of the inputs over period // 2 bars and b their WMA over period bars, each
    window at least 1 bar, each WMA as WMA's. NaN before bar period + isqrt(period)
    - 2.

    A NaN or an infinity gives NaN at each average whose window holds it, and so at
    every output whose window of differences holds one. Raises ValueError "Period
    must be at least 1".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes the average of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def update(self, data: float, /) -> float: ...
    @overload
    def preview(self, data: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None) -> _Array: ...
    @overload
    def preview(self, data: float, /) -> float: ...
    def copy(self) -> "HMA":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "HMA": ...
    def __deepcopy__(self, memo: Any) -> "HMA": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class VWAP:
    """Volume-weighted average price: the sum of tp * volume over the sum of the
    volume, tp = ((high + low) + close) / 3, from the first bar the state sees
    (period 0, as TA-Lib's VWAP) or over the last period bars (NaN before bar
    period - 1); NaN where the volumes sum to 0. A session is a new state.

    A bar whose tp * volume or volume is NaN or infinite gives NaN at its own bar and
    is left out of the sums from the first bar, or gives NaN at every window that
    holds it.
    """

    def __init__(self, period: SupportsIndex = 0, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the VWAP of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        *,
        rows: _Rows | None = None,
        lengths: _Rows | None = None,
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, close: float, volume: float, /) -> float: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        volume: _Array,
        *,
        rows: _Rows | None = None,
        lengths: _Rows | None = None,
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, close: float, volume: float, /) -> float: ...
    def copy(self) -> "VWAP":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "VWAP": ...
    def __deepcopy__(self, memo: Any) -> "VWAP": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class SUPERTREND:
    """SuperTrend: bands (high + low) / 2 +- multiplier * ATR (Wilder's, as NATR's),
    each held unless the new one is tighter or the close that set it lay beyond it;
    output is the lower band while the trend is up, the upper one while down, and
    trend_output +1.0 or -1.0, the trend starting up and turning where the close
    crosses the band it follows. NaN before bar period.

    A bar whose true range, bands or close are not finite gives NaN in both and is
    skipped. Raises ValueError "Period must be at least 2" and "Multiplier must be a
    finite number".
    """

    def __init__(
        self, period: SupportsIndex, multiplier: float = 3.0, symbols: SupportsIndex | None = None
    ) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        trend_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the line and the trend of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> tuple[float, float]: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        output: _Array,
        trend_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> tuple[float, float]: ...
    def copy(self) -> "SUPERTREND":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "SUPERTREND": ...
    def __deepcopy__(self, memo: Any) -> "SUPERTREND": ...
    @property
    def period(self) -> int: ...
    @property
    def multiplier(self) -> float: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class KC:
    """Keltner channel: the EMA of tp = ((high + low) + close) / 3 over period
    (middle), and it plus (upper) and less (lower) nbdev times the average true range
    over atr_period (Wilder's). Both averages start at bar max(period - 1,
    atr_period), each seeded by the mean of its window there. NaN before it.

    A bar whose tp or true range is not finite gives NaN in all three and the
    averages skip it. Raises ValueError "Period must be at least 2", "Atr period must
    be at least 1" and "Nbdev must be a finite number".
    """

    def __init__(
        self,
        period: SupportsIndex,
        atr_period: SupportsIndex,
        nbdev: float = 2.0,
        symbols: SupportsIndex | None = None,
    ) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        upper_output: _Array,
        middle_output: _Array,
        lower_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the channel of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def update(self, high: float, low: float, close: float, /) -> tuple[float, float, float]: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        close: _Array,
        upper_output: _Array,
        middle_output: _Array,
        lower_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, close: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def preview(self, high: float, low: float, close: float, /) -> tuple[float, float, float]: ...
    def copy(self) -> "KC":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "KC": ...
    def __deepcopy__(self, memo: Any) -> "KC": ...
    @property
    def period(self) -> int: ...
    @property
    def atr_period(self) -> int: ...
    @property
    def nbdev(self) -> float: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class DONCHIAN:
    """Donchian channels: the highest high (upper) and the lowest low (lower) of the
    last period bars, and their mean (upper + lower) / 2 (middle). NaN before bar
    period - 1.

    A NaN or infinite high gives NaN at the upper and middle bands of every window
    that holds it, a low at the lower and middle ones. Raises ValueError "Period must
    be at least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        upper_output: _Array,
        middle_output: _Array,
        lower_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the three bands of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def update(self, high: float, low: float, /) -> tuple[float, float, float]: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        upper_output: _Array,
        middle_output: _Array,
        lower_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array, _Array]: ...
    @overload
    def preview(self, high: float, low: float, /) -> tuple[float, float, float]: ...
    def copy(self) -> "DONCHIAN":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "DONCHIAN": ...
    def __deepcopy__(self, memo: Any) -> "DONCHIAN": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class SAR:
    """Parabolic SAR: the stop, moved each bar by factor * (extreme - stop) and kept
    beyond the last two bars, the factor growing by acceleration up to maximum at
    each new extreme; a bar that reaches the stop reverses the trend. The first two
    bars set the trend, long unless the low fell further than the high rose, as
    TA-Lib's. NaN at bar 0.

    A bar whose high or low is NaN or infinite gives NaN and is skipped. Raises
    ValueError "Acceleration must be a finite number", "Acceleration must be greater
    than 0", "Maximum must be a finite number", "Maximum must be greater than 0" and
    "Acceleration must be at most maximum".
    """

    def __init__(
        self, acceleration: float = 0.02, maximum: float = 0.2, symbols: SupportsIndex | None = None
    ) -> None: ...
    @overload
    def update(
        self, high: _Array, low: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None
    ) -> None:
        """Writes the stops of the new bars into output and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def update(self, high: float, low: float, /) -> float: ...
    @overload
    def preview(
        self, high: _Array, low: _Array, output: _Array, rows: _Rows | None = None, *, lengths: _Rows | None = None
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> _Array: ...
    @overload
    def preview(self, high: float, low: float, /) -> float: ...
    def copy(self) -> "SAR":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "SAR": ...
    def __deepcopy__(self, memo: Any) -> "SAR": ...
    @property
    def acceleration(self) -> float: ...
    @property
    def maximum(self) -> float: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class AROON:
    """Aroon down and up: over the last period + 1 bars, (100 * (period - k)) / period
    with k the bars since the lowest low (down) or the highest high (up), of equal
    ones the latest. NaN before bar period.

    A NaN or infinite high gives NaN at the up line of every window that holds it, a
    low at the down line. Raises ValueError "Period must be at least 2".
    """

    def __init__(self, period: SupportsIndex, symbols: SupportsIndex | None = None) -> None: ...
    @overload
    def update(
        self,
        high: _Array,
        low: _Array,
        down_output: _Array,
        up_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the two lines of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, high: _Array, low: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def update(self, high: float, low: float, /) -> tuple[float, float]: ...
    @overload
    def preview(
        self,
        high: _Array,
        low: _Array,
        down_output: _Array,
        up_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, high: _Array, low: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def preview(self, high: float, low: float, /) -> tuple[float, float]: ...
    def copy(self) -> "AROON":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "AROON": ...
    def __deepcopy__(self, memo: Any) -> "AROON": ...
    @property
    def period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""


class STOCHRSI:
    """Stochastic RSI, the fast stochastic of RSI(period), the RSI standing for the high,
    the low and the close: %K = ((rsi - lowest) / (highest - lowest)) * 100 over the
    last fastk_period RSI values, 0 where they are all equal, and %D its mean over
    fastd_period. NaN before bar period + fastk_period + fastd_period - 2 in both.

    A NaN or an infinity spoils the RSI as RSI's rule says, and each line the windows
    that hold a spoilt value. Raises ValueError "Period must be at least 2", "Fastk
    period must be at least 1" and "Fastd period must be at least 1".
    """

    def __init__(
        self,
        period: SupportsIndex,
        fastk_period: SupportsIndex,
        fastd_period: SupportsIndex,
        symbols: SupportsIndex | None = None,
    ) -> None: ...
    @overload
    def update(
        self,
        data: _Array,
        fastk_output: _Array,
        fastd_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes the fast %K and %D of the new bars and moves the state past them.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def update(
        self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def update(self, data: float, /) -> tuple[float, float]: ...
    @overload
    def preview(
        self,
        data: _Array,
        fastk_output: _Array,
        fastd_output: _Array,
        rows: _Rows | None = None,
        *,
        lengths: _Rows | None = None,
    ) -> None:
        """Writes what update would write, and leaves the state as it was.

        Without output arrays, makes and returns them; given numbers, one bar of one series,
        returns its outputs as floats."""
    @overload
    def preview(
        self, data: _Array, *, rows: _Rows | None = None, lengths: _Rows | None = None
    ) -> tuple[_Array, _Array]: ...
    @overload
    def preview(self, data: float, /) -> tuple[float, float]: ...
    def copy(self) -> "STOCHRSI":
        """An independent state that continues as this one would."""
    def __copy__(self) -> "STOCHRSI": ...
    def __deepcopy__(self, memo: Any) -> "STOCHRSI": ...
    @property
    def period(self) -> int: ...
    @property
    def fastk_period(self) -> int: ...
    @property
    def fastd_period(self) -> int: ...
    @property
    def bars(self) -> int | numpy.typing.NDArray[numpy.int64]:
        """Bars consumed: an int, or an int64 array with one count per symbol."""
    @property
    def symbols(self) -> int | None:
        """None for one series, else the number of symbols."""
