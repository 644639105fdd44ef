"""Indicators per symbol in polars: the mx expression namespace with .over("symbol").

`import marundex_ta.polars` registers `mx` on expressions: `pl.col("close").mx.rsi(14)`
is the RSI of the column, and `.over("symbol")` computes each symbol's rows as if
they were alone, in the frame's row order, whatever order the symbols come in.
Several outputs (MACD's line, signal and histogram) come back as a struct,
unnested into columns named after the indicator and its parameters; the warm-up
of each indicator is null, as polars marks a missing value.

For several indicators over the same groups, `marundex_ta.group(frame, "symbol")`
groups once and computes every symbol in one native call per indicator.

It needs polars: pip install polars.
"""

from __future__ import annotations

import argparse
import zlib
from collections.abc import Sequence
from typing import Any

from extras import packages_of

with packages_of("examples", "polars_over", __name__ == "__main__"):
    import numpy as np
    import polars as pl

    import marundex_ta.polars  # noqa: F401  registers the mx namespace
    from bars import ATR_PERIOD, EMA_PERIOD, MACD_PERIODS, SMA_PERIOD, generated_bars


def long_frame(symbols: Sequence[str], days: int) -> pl.DataFrame:
    """Every symbol's bars in one long frame, one row per symbol and day, ordered by date."""
    frames = []
    for symbol in symbols:
        bars = generated_bars(days, seed=zlib.crc32(symbol.encode()))
        frames.append(pl.DataFrame({"symbol": [symbol] * days, "date": bars.date, "high": bars.high,
                                    "low": bars.low, "close": bars.close}))
    return pl.concat(frames).sort("date", "symbol", maintain_order=True)


def with_indicators(frame: pl.DataFrame) -> pl.DataFrame:
    """`frame` with SMA, EMA, MACD (line, signal, histogram) and ATR per symbol."""
    # mx is registered when marundex_ta.polars is imported, where mypy cannot see it.
    close: Any = pl.col("close")
    high: Any = pl.col("high")
    return frame.with_columns(
        close.mx.sma(SMA_PERIOD).over("symbol"),
        close.mx.ema(EMA_PERIOD).over("symbol"),
        close.mx.macd(*MACD_PERIODS).over("symbol"),
        high.mx.atr("low", "close", period=ATR_PERIOD).over("symbol"),
    ).unnest("macd_12_26_9")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=5)
    parser.add_argument("--days", type=int, default=252)
    arguments = parser.parse_args(argv)

    frame = long_frame([f"SYM{k:04d}" for k in range(arguments.symbols)], arguments.days)
    result = with_indicators(frame)
    with pl.Config(tbl_rows=10, tbl_cols=-1, tbl_width_chars=160, float_precision=4):
        print(result.group_by("symbol", maintain_order=True).tail(1))
    print("warm-up rows (null):", dict(zip(result.columns, result.null_count().row(0))))
    print("finite everywhere else:", bool(np.isfinite(result.drop_nulls().select(pl.col(pl.Float64)).to_numpy()).all()))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
