"""Technical-analysis indicators over float64 arrays, written into arrays you allocate.

Every array is one-dimensional float64 and contiguous; the outputs must have the
length of the input and be writeable. Positions without a value are set to NaN.
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
    """Simple moving average of `data` over `period` values, into `output`."""

def indicator_ema(
    period: SupportsIndex,
    data: numpy.typing.NDArray[numpy.float64],
    output: numpy.typing.NDArray[numpy.float64],
) -> None:
    """Exponential moving average of `data`, seeded by the first all-finite window."""

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: numpy.typing.NDArray[numpy.float64],
    macd_output: numpy.typing.NDArray[numpy.float64],
    signal_output: numpy.typing.NDArray[numpy.float64],
    hist_output: numpy.typing.NDArray[numpy.float64],
) -> None:
    """MACD line, its signal line and the histogram of `data`, into the three outputs."""

def indicator_atr(
    period: SupportsIndex,
    high: numpy.typing.NDArray[numpy.float64],
    low: numpy.typing.NDArray[numpy.float64],
    close: numpy.typing.NDArray[numpy.float64],
    output: numpy.typing.NDArray[numpy.float64],
) -> None:
    """Average true range of the bars given by `high`, `low` and `close`, into `output`."""
