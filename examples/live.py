"""Live equals backtest: a generated feed through marundex_stream, checked at its end
against one batch call of marundex over the whole history.

The steps of a live day: backfill the history, take each new bar as it closes,
show the bar still forming (revised at every tick, moving nothing), save a
checkpoint and restart from it as a new process would, and tick a whole universe
of symbols in one call per indicator.

    python examples/live.py [--history 2520] [--bars 390] [--symbols 500]
"""

from __future__ import annotations

import argparse
import pickle

import numpy as np
import numpy.typing as npt

import marundex
import marundex_stream

Array = npt.NDArray[np.float64]


def feed(rng: np.random.Generator, n: int, start: float = 100.0) -> Array:
    """A random walk of closes."""
    steps: Array = rng.normal(0.0, 1.0, n)
    return start + np.cumsum(steps)


def one_symbol(history: Array, live: Array, rng: np.random.Generator) -> None:
    ema = marundex_stream.EMA(20)
    macd = marundex_stream.MACD(12, 26, 9)

    # Backfill: the history in one call, as the backtest saw it.
    ema_out = [np.empty(history.shape[0])]
    macd_out = [[np.empty(history.shape[0])] for _ in range(3)]
    ema.update(history, ema_out[0])
    macd.update(history, macd_out[0][0], macd_out[1][0], macd_out[2][0])

    one = np.empty(1)
    line, signal, hist = np.empty(1), np.empty(1), np.empty(1)
    half = live.shape[0] // 2
    for i, close in enumerate(live):
        # The forming bar: ticks around the close to come, shown and forgotten.
        for tick in close + rng.normal(0.0, 0.2, 3):
            macd.preview(np.array([tick]), line, signal, hist)
        # The bar closes: the states take it.
        bar = live[i : i + 1]
        ema.update(bar, one)
        ema_out.append(one.copy())
        macd.update(bar, line, signal, hist)
        for parts, value in zip(macd_out, (line, signal, hist)):
            parts.append(value.copy())
        if i == half:
            # A checkpoint, and a restart from it, as another process would.
            saved = pickle.dumps((ema, macd))
            ema, macd = pickle.loads(saved)
            print(f"checkpoint after bar {history.shape[0] + i + 1}: {len(saved)} bytes")

    # Live equals backtest: one batch call over the whole history, bit for bit.
    whole = np.concatenate([history, live])
    expected = np.empty(whole.shape[0])
    marundex.indicator_ema(20, whole, expected)
    assert np.concatenate(ema_out).tobytes() == expected.tobytes()
    batch = [np.empty(whole.shape[0]) for _ in range(3)]
    marundex.indicator_macd(12, 26, 9, whole, batch[0], batch[1], batch[2])
    for parts, want in zip(macd_out, batch):
        assert np.concatenate(parts).tobytes() == want.tobytes()
    print(f"EMA 20 and MACD 12/26/9 over {whole.shape[0]} bars: live equals batch, bit for bit")


def universe(symbols: int, history_bars: int, live_bars: int, rng: np.random.Generator) -> None:
    closes = np.array([feed(rng, history_bars + live_bars, 50.0 + s) for s in range(symbols)])
    sma = marundex_stream.SMA(20, symbols=symbols)
    out = np.empty((symbols, history_bars))
    # Backfill every symbol in one call: one row of history each.
    sma.update(np.ascontiguousarray(closes[:, :history_bars]), out)
    tick = np.empty(symbols)
    last = np.empty(symbols)
    for j in range(history_bars, history_bars + live_bars):
        # A tick: one new bar for every symbol, one call.
        sma.update(np.ascontiguousarray(closes[:, j]), tick)
        last[:] = tick
    expected = np.empty(history_bars + live_bars)
    for s in range(symbols):
        marundex.indicator_sma(20, closes[s], expected)
        assert expected[-1:].tobytes() == last[s : s + 1].tobytes()
    print(f"SMA 20 for {symbols} symbols, {live_bars} ticks: the last bar of each equals batch")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--history", type=int, default=2520)
    parser.add_argument("--bars", type=int, default=390)
    parser.add_argument("--symbols", type=int, default=500)
    args = parser.parse_args()
    rng = np.random.default_rng(20261209)
    closes = feed(rng, args.history + args.bars)
    one_symbol(closes[: args.history], closes[args.history :], rng)
    universe(args.symbols, args.history, args.bars, rng)


if __name__ == "__main__":
    main()
