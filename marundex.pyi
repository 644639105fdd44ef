"""Technical-analysis indicators over float64 arrays, written into arrays you allocate.

Every array is a one-dimensional numpy.ndarray of float64 and contiguous (a stride
of 8 bytes; length 0 or 1 always is); the outputs have the length of the input, are
writeable and share no memory with an input or with each other. Each function fills
every element of its outputs and returns None; positions without a value hold NaN.
A failed call raises before anything is written. Periods are integers from 0 to
2**64 - 1 (anything with `__index__`).

Every function also raises, with these exact texts:
    TypeError: the binding errors of any Python function, e.g. "F() missing 1
        required positional argument: 'output'"; "argument 'period': 'float'
        object cannot be interpreted as an integer" for a period that is not an
        integer; `"argument 'data': 'list' object cannot be converted to
        'PyArray<T, D>'"` for an array argument that is not a one-dimensional
        numpy.ndarray of float64 ('ndarray' for a wrong dtype or ndim).
    OverflowError: the interpreter's text, e.g. "can't convert negative int to
        unsigned", for a period below 0 or of 2**64 or more.
    BufferError: "argument 'data': array is already borrowed for writing" when
        another extension module holds the input's memory for writing.
    RuntimeError: "Failed to access NumPy array API capsule: ..." when NumPy
        cannot be imported; "Interal borrow checking API error: ..." when the
        shared registry of borrowed arrays cannot be reached.
    ValueError: "argument 'data': array is no longer one-dimensional" for an array
        reshaped during the call.
On Python 3.11 and later the conversion, contiguity, writeable, shared-memory and
period-range errors carry a note (`exc.__notes__`) that says how to fix them.
"""

from typing import SupportsIndex

import numpy
import numpy.typing

__all__ = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]

def indicator_sma(
    period: SupportsIndex,
    data: numpy.typing.NDArray[numpy.float64],
    output: numpy.typing.NDArray[numpy.float64],
) -> None:
    """Simple moving average of `data` over `period` values, into `output`.

    Parameters:
        period: the window length, 0 to 2**64 - 1.
        data: the input series (only read; may be read-only).
        output: receives the averages; the length of `data`.

    NaN: output[:period - 1] is NaN, output[period - 1] is the first average. The
    sum is a running sum, sum += data[i] - data[i - period], and each average is
    `(1.0 / period) * sum`. A NaN input makes every later value NaN, from the first
    window that holds it; an infinity gives infinite averages while it is in the
    window and NaN from when it leaves. Period 0 or longer than the input: NaN
    throughout, no exception.

    Raises:
        ValueError: "Input array must be C-contiguous and float64";
            "Output array must be C-contiguous and float64";
            "Output array length must match input";
            "Output array must be writeable";
            "Output array must not share memory with the input array".
        TypeError, OverflowError, BufferError, RuntimeError: see the module.

    Examples:
        >>> data, output = numpy.array([1.0, 2.0, 4.0, 8.0]), numpy.empty(4)
        >>> indicator_sma(3, data, output)
        >>> output.tolist()
        [nan, nan, 2.333333333333333, 4.666666666666666]
    """

def indicator_ema(
    period: SupportsIndex,
    data: numpy.typing.NDArray[numpy.float64],
    output: numpy.typing.NDArray[numpy.float64],
) -> None:
    """Exponential moving average of `data`, seeded by the first all-finite window.

    Parameters:
        period: 0 to 2**64 - 1; alpha = 2 / (period + 1).
        data: the input series (only read; may be read-only).
        output: receives the averages; the length of `data`.

    Seeding and NaN: the seed is the mean (a true division) of the first `period`
    consecutive values that are all finite, starting at the earliest such
    position s; everything before s + period - 1 is NaN (for clean input
    output[:period - 1]), output[s + period - 1] is the seed, and then
    `ema = (1 - alpha) * ema + alpha * x`. After the seed, a NaN or infinite input
    gives NaN at its own position only and the average goes on from its previous
    value. Period 0, longer than the input, or no all-finite window: NaN
    throughout, no exception.

    Raises:
        ValueError: "Input array must be C-contiguous and float64";
            "Output array must be C-contiguous and float64";
            "Output array length must match input";
            "Output array must be writeable";
            "Output array must not share memory with the input array".
        TypeError, OverflowError, BufferError, RuntimeError: see the module.

    Examples:
        >>> data, output = numpy.array([1.0, 2.0, 4.0, 8.0, numpy.nan, 16.0]), numpy.empty(6)
        >>> indicator_ema(3, data, output)
        >>> output.tolist()
        [nan, nan, 2.3333333333333335, 5.166666666666667, nan, 10.583333333333334]
    """

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: numpy.typing.NDArray[numpy.float64],
    macd_output: numpy.typing.NDArray[numpy.float64],
    signal_output: numpy.typing.NDArray[numpy.float64],
    hist_output: numpy.typing.NDArray[numpy.float64],
) -> None:
    """MACD line, its signal line and the histogram of `data`, into the three outputs.

    Parameters:
        fast_period: the fast average of the MACD line (fast minus slow); greater
            than 0 and less than slow_period.
        slow_period: the slow average of the MACD line; greater than fast_period.
        signal_period: the average of the signal line; greater than 0.
        data: the input series (only read; may be read-only).
        macd_output: receives the MACD line; the length of `data`.
        signal_output: receives the signal line; the length of `data`, separate
            from macd_output.
        hist_output: receives the histogram (MACD minus signal); the length of
            `data`, separate from the other two outputs.

    NaN: the MACD line is NaN before slow_period - 1; the signal and histogram are
    NaN before T = slow_period + signal_period - 2. Seeding: at the first position
    i >= slow_period - 1 whose input is not NaN, the fast and slow averages start as
    the means of the last fast_period and slow_period raw values ending at i; at T
    the signal takes the MACD value itself (histogram 0.0) and is an average of the
    MACD line from then on. A NaN input gives NaN in all three outputs at its own
    position only; a NaN among the first slow_period values leaves everything NaN
    to the end. An infinity enters the averages (NaN from there on) until the fast
    average becomes NaN, which seeds both afresh. An input shorter than slow_period:
    NaN throughout.

    Raises:
        ValueError: "Periods must be greater than 0";
            "Fast period must be less than slow period";
            "All output arrays must have the same length as input data";
            "Input array must be C-contiguous";
            "MACD output array must be C-contiguous";
            "Signal output array must be C-contiguous";
            "Histogram output array must be C-contiguous";
            "MACD output array must be writeable";
            "Signal output array must be writeable";
            "Histogram output array must be writeable";
            "MACD output array must not share memory with the input array";
            "Signal output array must not share memory with the input array";
            "Histogram output array must not share memory with the input array";
            "MACD output array must not share memory with the signal output array";
            "MACD output array must not share memory with the histogram output array";
            "Signal output array must not share memory with the histogram output array".
        TypeError, OverflowError, BufferError, RuntimeError: see the module; an
            exception raised by an output's `__len__` passes through.

    Examples:
        >>> data, outputs = numpy.array([1.0, 2.0, 4.0, 8.0]), [numpy.empty(4) for _ in range(3)]
        >>> indicator_macd(2, 3, 2, data, *outputs)
        >>> [output.tolist() for output in outputs]
        [[nan, nan, 0.6666666666666665, 1.166666666666666], [nan, nan, nan, 1.166666666666666], [nan, nan, nan, 0.0]]
    """

def indicator_atr(
    period: SupportsIndex,
    high: numpy.typing.NDArray[numpy.float64],
    low: numpy.typing.NDArray[numpy.float64],
    close: numpy.typing.NDArray[numpy.float64],
    output: numpy.typing.NDArray[numpy.float64],
) -> None:
    """Average true range of the bars given by `high`, `low` and `close`, into `output`.

    Parameters:
        period: 0 to 2**64 - 1.
        high: the bars' highs, n of them (only read; may be read-only).
        low: the bars' lows, n of them (only read; may be read-only, and may be
            the array given as high).
        close: the bars' closes, n of them (only read; may be read-only, and may be
            the array given as high or low).
        output: receives the averages; at least n long when 0 < period < n (the
            rest stays NaN).

    The true range of bar i >= 1 is the largest of high[i] - low[i],
    |high[i] - close[i-1]| and |low[i] - close[i-1]|, where a NaN candidate is
    ignored; bar 0 has none. NaN: output[:period] is NaN, output[period] is the
    mean of the true ranges of bars 1 to period, and each later value is
    `atr + (1 / period) * (tr - atr)`. A NaN high, low or previous close only drops
    the candidates that use it; a bar whose three candidates are all NaN makes
    every value NaN from there on. An infinite true range gives inf at its bar and
    NaN after it. Period 0, or not below n: NaN throughout, no exception. Computes
    with the interpreter lock held.

    Raises:
        ValueError: "High array must be C-contiguous and float64";
            "Low array must be C-contiguous and float64";
            "Close array must be C-contiguous and float64";
            "All arrays must have the same length";
            "Output array must be C-contiguous and float64";
            "Output array must not be shorter than the input arrays";
            "Output array must be writeable";
            "Output array must not share memory with the high array";
            "Output array must not share memory with the low array";
            "Output array must not share memory with the close array".
        TypeError, OverflowError, BufferError, RuntimeError: see the module.

    Examples:
        >>> high, low, close = numpy.array([10.0, 11, 12, 13]), numpy.array([9.0, 9.5, 10, 12]), numpy.array([9.5, 10.5, 11, 12.5])
        >>> output = numpy.empty(4); indicator_atr(2, high, low, close, output)
        >>> output.tolist()
        [nan, nan, 1.75, 1.875]
    """
