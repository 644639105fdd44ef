"""Computes the four indicators of marundex on a daily price series and prints the last bars.

The series is a seeded random walk of a few years of daily bars, generated on the fly.
"""

from __future__ import annotations

import argparse

import numpy as np

import marundex


def generated_bars(days: int, seed: int) -> dict[str, np.ndarray]:
    """Open, high, low and close of `days` daily bars of a plausible stock."""
    rng = np.random.default_rng(seed)
    daily_returns = rng.normal(0.0003, 0.015, days)
    close = 100.0 * np.exp(np.cumsum(daily_returns))
    open_ = np.concatenate(([100.0], close[:-1])) * np.exp(rng.normal(0.0, 0.004, days))
    spread = np.abs(rng.normal(0.0, 0.01, days)) * close
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread * rng.uniform(0.5, 1.0, days)
    return {"open": open_, "high": high, "low": low, "close": close}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--days", type=int, default=3 * 252)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--rows", type=int, default=10)
    arguments = parser.parse_args()

    bars = generated_bars(arguments.days, arguments.seed)
    close = bars["close"]
    columns = {name: np.empty_like(close) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    marundex.indicator_sma(20, close, columns["sma"])
    marundex.indicator_ema(20, close, columns["ema"])
    marundex.indicator_macd(12, 26, 9, close, columns["macd"], columns["signal"], columns["hist"])
    marundex.indicator_atr(14, bars["high"], bars["low"], close, columns["atr"])

    header = ["bar", "close", *columns]
    print("  ".join(f"{name:>9}" for name in header))
    for i in range(len(close) - arguments.rows, len(close)):
        values = [close[i], *(column[i] for column in columns.values())]
        print(f"{i:>9}  " + "  ".join(f"{value:>9.4f}" for value in values))


if __name__ == "__main__":
    main()
