"""Indicators as new columns of a pandas DataFrame, through marundex_ta.

`marundex_ta` takes the frame itself: each function reads the columns it needs by
their usual names (close, high, low, in any case; or `close="Adj Close"`) and
returns a Series, or a DataFrame for several outputs, on the frame's index, named
after the indicator and its parameters (`sma_20`, `macd_signal_12_26_9`). A float64
column is read without a copy; an integer or nullable column is converted, with a
missing value as NaN.

The columns come back as new arrays; where those allocations matter (a live loop,
a hot path), the `marundex` functions write into arrays you allocate once, and
`Series.to_numpy()` of a float64 column is a view of the frame's memory.

It needs pandas: pip install "marundex[examples]".
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from extras import packages_of

with packages_of("examples", "pandas_columns", __name__ == "__main__"):
    import numpy as np
    import pandas as pd

    import marundex_ta as ta
    from bars import ATR_PERIOD, EMA_PERIOD, MACD_PERIODS, SMA_PERIOD, generated_bars


def bars_frame(days: int, seed: int) -> pd.DataFrame:
    """Generated daily bars as a DataFrame indexed by date."""
    bars = generated_bars(days, seed)
    return pd.DataFrame(
        {"Open": bars.open, "High": bars.high, "Low": bars.low, "Close": bars.close},
        index=pd.DatetimeIndex(bars.date, name="date"),
    )


def with_indicators(frame: pd.DataFrame) -> pd.DataFrame:
    """`frame` with SMA, EMA, MACD (line, signal, histogram) and ATR as new columns."""
    return frame.join(
        [
            ta.sma(frame, SMA_PERIOD),
            ta.ema(frame, EMA_PERIOD),
            ta.macd(frame, *MACD_PERIODS),
            ta.atr(frame, ATR_PERIOD),
        ]
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--days", type=int, default=3 * 252)
    parser.add_argument("--seed", type=int, default=9)
    arguments = parser.parse_args(argv)

    frame = bars_frame(arguments.days, arguments.seed)
    result = with_indicators(frame)
    added = result.columns[len(frame.columns) :]
    print(result.tail(5).to_string(float_format=lambda value: f"{value:.4f}"))
    # Plain float64 columns: NaN marks the warm-up of each indicator.
    print("warm-up rows:", {name: int(result[name].isna().sum()) for name in added})
    # A volume column of integers, as data vendors ship it, is taken as it is.
    volume = pd.Series(np.arange(1, len(frame) + 1) * 1000, index=frame.index, dtype="Int64")
    print("OBV of an Int64 volume, last:", float(ta.obv(frame["Close"], volume).iloc[-1]))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
