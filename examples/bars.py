"""What the examples share: seeded daily bars of a plausible stock, and the
indicator set they compute.

The bars are a geometric random walk for the close; the open gaps a little from
the previous close; high and low reach past both by a random spread. Same seed,
same bars.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import marundex

Series = npt.NDArray[np.float64]

SMA_PERIOD = 20
EMA_PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14
# The names of the arrays that indicators() returns, in its order.
INDICATORS = ("sma", "ema", "macd", "signal", "hist", "atr")


class Bars(NamedTuple):
    date: npt.NDArray[np.datetime64]
    open: Series
    high: Series
    low: Series
    close: Series


def generated_bars(days: int, seed: int, start: str = "2021-01-04", price: float = 100.0) -> Bars:
    """`days` business days of bars from `start`, generated from `seed`."""
    rng = np.random.default_rng(seed)
    date = np.busday_offset(np.datetime64(start, "D"), np.arange(days), roll="forward")
    daily_returns = rng.normal(0.0003, 0.015, days)
    close = price * np.exp(np.cumsum(daily_returns))
    previous = np.concatenate(([price], close[:-1]))
    open_ = previous * np.exp(rng.normal(0.0, 0.004, days))
    spread = np.abs(rng.normal(0.0, 0.01, days)) * close
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread * rng.uniform(0.5, 1.0, days)
    return Bars(date, open_, high, low, close)


def indicators(high: Series, low: Series, close: Series) -> dict[str, Series]:
    """SMA, EMA, MACD (line, signal, histogram) and ATR over one series of bars."""
    out = {name: np.empty_like(close) for name in INDICATORS}
    marundex.indicator_sma(SMA_PERIOD, close, out["sma"])
    marundex.indicator_ema(EMA_PERIOD, close, out["ema"])
    marundex.indicator_macd(*MACD_PERIODS, close, out["macd"], out["signal"], out["hist"])
    marundex.indicator_atr(ATR_PERIOD, high, low, close, out["atr"])
    return out
