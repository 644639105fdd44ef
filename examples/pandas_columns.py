"""Indicators as new columns of a pandas DataFrame, without copying the prices.

`Series.to_numpy()` of a float64 column is a view of the frame's own memory
(read-only under copy-on-write, which is all marundex needs of an input), and
`pd.concat` adopts the freshly written output arrays as columns without copying
them either. `np.shares_memory` shows both.

A column view must be contiguous: after a row selection with a step
(`frame.iloc[::2]`) the column may be strided, and marundex refuses it with
"Input array must be C-contiguous and float64"; `np.ascontiguousarray` makes the
one copy that is then needed.

It needs pandas: pip install "marundex[examples]".
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from extras import packages_of

with packages_of("examples", "pandas_columns", __name__ == "__main__"):
    import numpy as np
    import pandas as pd

    from bars import INDICATORS, Series, generated_bars, indicators


def bars_frame(days: int, seed: int) -> pd.DataFrame:
    """Generated daily bars as a DataFrame indexed by date."""
    bars = generated_bars(days, seed)
    return pd.DataFrame(
        {"open": bars.open, "high": bars.high, "low": bars.low, "close": bars.close},
        index=pd.DatetimeIndex(bars.date, name="date"),
    )


def column(frame: pd.DataFrame, name: str) -> Series:
    """A float64 column as a NumPy view of the frame's memory (no copy)."""
    values: Series = frame[name].to_numpy(dtype=np.float64, copy=False)
    return values


def with_indicators(frame: pd.DataFrame) -> tuple[pd.DataFrame, dict[str, Series]]:
    """`frame` with the columns sma, ema, macd, signal, hist and atr added, and
    the arrays that marundex wrote, which those columns hold."""
    values = indicators(column(frame, "high"), column(frame, "low"), column(frame, "close"))
    added = pd.DataFrame(values, index=frame.index, columns=list(INDICATORS), copy=False)
    return pd.concat([frame, added], axis=1), values


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--days", type=int, default=3 * 252)
    parser.add_argument("--seed", type=int, default=9)
    arguments = parser.parse_args(argv)

    frame = bars_frame(arguments.days, arguments.seed)
    # Two separate views of the column reach the same memory: neither is a copy.
    print("close: views, not copies:", np.shares_memory(column(frame, "close"), column(frame, "close")))

    result, values = with_indicators(frame)
    print("sma column holds the array marundex wrote:", np.shares_memory(values["sma"], column(result, "sma")))
    print(result.tail(5).to_string(float_format=lambda value: f"{value:.4f}"))
    # Plain float64 columns from here on: NaN marks the warm-up of each indicator.
    print("warm-up rows:", {name: int(result[name].isna().sum()) for name in INDICATORS})
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
