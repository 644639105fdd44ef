"""Live bars: marundex_stream against recomputing with marundex, and against the
incremental libraries.

1. One symbol, one new bar after 2,520 bars of history, EMA 20 and MACD 12/26/9:
   marundex_stream's update; marundex's batch call over the history and the bar
   (recomputing); a marundex call with n = 1 (what any call costs); TA-Lib's stream
   API (it takes the history); talipp, hexital and streaming-indicators adding the
   bar to their state.
2. A universe tick: 5,000 symbols, one bar each, SMA 20, EMA 20, MACD 12/26/9 and
   ATR 14, one marundex_stream call each; against each peer looping over the
   symbols (EMA and MACD, where the peer has them), in ns per symbol and indicator.
3. Backfill: update over 2,520 bars from a fresh state (made outside the clock)
   against the batch call, for one series and for the whole universe (5,000 x
   2,520, one 2-D call per indicator from fresh states, against a loop of batch
   calls).

Every configuration is timed once per round, the rounds interleaved so that noise
on the machine falls on all of them alike; the tables give the median and the
lowest and highest of the rounds. Driven by benchmarks/run.sh --stream:

    stream.py --results DIR [--rounds N] [--smoke]

A benchmark, not a test: nothing here decides pass or fail on a time.
"""

from __future__ import annotations

import argparse
import json
import statistics
import time
from collections.abc import Callable
from pathlib import Path
from typing import NamedTuple

import numpy as np

import marundex
import marundex_stream as ms

HISTORY, SYMBOLS = 2520, 5000
PERIOD, FAST, SLOW, SIGNAL, ATR_PERIOD = 20, 12, 26, 9, 14


def per_call(work: Callable[[], object], budget: float, batch: int = 10) -> float:
    """Seconds per call of `work`, in batches of calls until `budget` seconds have passed."""
    calls = 0
    start = time.perf_counter()
    elapsed = 0.0
    while calls == 0 or elapsed < budget:
        for _ in range(batch):
            work()
        calls += batch
        elapsed = time.perf_counter() - start
    return elapsed / calls


class FromFresh(NamedTuple):
    """A call on a fresh state each time: the states are made outside the clock."""

    make: Callable[[], object]
    work: Callable[[object], object]


def per_fresh_call(case: FromFresh, budget: float, batch: int = 10) -> float:
    """Seconds per call of `case.work` on states from `case.make`, until `budget` seconds of calls."""
    calls = 0
    elapsed = 0.0
    while calls == 0 or elapsed < budget:
        states = [case.make() for _ in range(batch)]
        start = time.perf_counter()
        for state in states:
            case.work(state)
        elapsed += time.perf_counter() - start
        calls += batch
    return elapsed / calls


def walk(rng: np.random.Generator, shape) -> np.ndarray:
    return 100.0 + np.cumsum(rng.normal(0.0, 1.0, shape), axis=-1)


# ----------------------------------------------------------------------------- 1: one symbol


def one_symbol_cases(rng: np.random.Generator) -> dict[str, Callable[[], object]]:
    history = walk(rng, HISTORY)
    whole = np.concatenate([history, [history[-1] + 0.5]])
    bar = whole[-1:].copy()
    # The outputs by name, not unpacked: a call with *args costs CPython a tuple and
    # its generic call path, more than either side's own work.
    one, (line, signal, hist) = np.empty(1), [np.empty(1) for _ in range(3)]
    full, full_lines = np.empty(HISTORY + 1), [np.empty(HISTORY + 1) for _ in range(3)]
    ema = ms.EMA(PERIOD)
    macd = ms.MACD(FAST, SLOW, SIGNAL)
    ema.update(history, np.empty(HISTORY))
    macd.update(history, np.empty(HISTORY), np.empty(HISTORY), np.empty(HISTORY))
    cases: dict[str, Callable[[], object]] = {
        "EMA | marundex_stream update": lambda: ema.update(bar, one),
        "EMA | marundex, n = 1": lambda: marundex.indicator_ema(PERIOD, bar, one),
        "EMA | marundex, recompute 2,521 bars": lambda: marundex.indicator_ema(PERIOD, whole, full),
        "MACD | marundex_stream update": lambda: macd.update(bar, line, signal, hist),
        "MACD | marundex, n = 1":
            lambda: marundex.indicator_macd(FAST, SLOW, SIGNAL, bar, line, signal, hist),
        "MACD | marundex, recompute 2,521 bars":
            lambda: marundex.indicator_macd(FAST, SLOW, SIGNAL, whole, *full_lines),
    }
    value = float(bar[0])
    try:
        from talib import stream as talib_stream

        cases["EMA | TA-Lib stream API"] = lambda: talib_stream.EMA(whole, timeperiod=PERIOD)
        cases["MACD | TA-Lib stream API"] = lambda: talib_stream.MACD(
            whole, fastperiod=FAST, slowperiod=SLOW, signalperiod=SIGNAL)
    except ImportError:
        pass
    try:
        import talipp.indicators as tp

        t_ema = tp.EMA(period=PERIOD, input_values=history.tolist())
        t_macd = tp.MACD(fast_period=FAST, slow_period=SLOW, signal_period=SIGNAL,
                         input_values=history.tolist())
        cases["EMA | talipp add"] = lambda: t_ema.add(value)
        cases["MACD | talipp add"] = lambda: t_macd.add(value)
    except ImportError:
        pass
    try:
        import hexital

        candles = [hexital.Candle(x, x, x, x, 0) for x in history.tolist()]
        h_ema = hexital.EMA(candles=candles, period=PERIOD)
        h_ema.calculate()
        candle = hexital.Candle(value, value, value, value, 0)
        cases["EMA | hexital append"] = lambda: h_ema.append(candle)
    except ImportError:
        pass
    try:
        import streaming_indicators as si

        s_ema = si.EMA(PERIOD)
        for x in history.tolist():
            s_ema.update(x)
        cases["EMA | streaming-indicators update"] = lambda: s_ema.update(value)
    except ImportError:
        pass
    return cases


# ----------------------------------------------------------------------------- 2: a tick


def tick_cases(rng: np.random.Generator, symbols: int) -> dict[str, tuple[Callable[[], object], int]]:
    """Each case and the number of symbol-indicator updates one call makes."""
    history = walk(rng, (symbols, HISTORY))
    high, low = history + 0.5, history - 0.5
    bar = np.ascontiguousarray(history[:, -1] + 0.25)
    bar_high, bar_low = bar + 0.5, bar - 0.5
    sma = ms.SMA(PERIOD, symbols=symbols)
    ema = ms.EMA(PERIOD, symbols=symbols)
    macd = ms.MACD(FAST, SLOW, SIGNAL, symbols=symbols)
    atr = ms.ATR(ATR_PERIOD, symbols=symbols)
    block = np.empty((symbols, HISTORY))
    sma.update(history, block)
    ema.update(history, block)
    macd.update(history, block, np.empty_like(block), np.empty_like(block))
    atr.update(high, low, history, block)
    out = [np.empty(symbols) for _ in range(3)]

    def four() -> None:
        sma.update(bar, out[0])
        ema.update(bar, out[0])
        macd.update(bar, *out)
        atr.update(bar_high, bar_low, bar, out[0])

    cases: dict[str, tuple[Callable[[], object], int]] = {
        "4 indicators | marundex_stream, one call each": (four, 4 * symbols),
        "EMA | marundex_stream, one call": (lambda: ema.update(bar, out[0]), symbols),
        "MACD | marundex_stream, one call": (lambda: macd.update(bar, *out), symbols),
    }
    # The peers loop over symbols; a slice of the universe gives their cost a symbol.
    few = min(symbols, 200)
    values = bar[:few].tolist()
    try:
        import talipp.indicators as tp

        t_emas = [tp.EMA(period=PERIOD, input_values=history[s].tolist()) for s in range(few)]
        t_macds = [tp.MACD(fast_period=FAST, slow_period=SLOW, signal_period=SIGNAL,
                           input_values=history[s].tolist()) for s in range(few)]
        cases["EMA | talipp, loop"] = (lambda: [e.add(v) for e, v in zip(t_emas, values)], few)
        cases["MACD | talipp, loop"] = (lambda: [m.add(v) for m, v in zip(t_macds, values)], few)
    except ImportError:
        pass
    try:
        import streaming_indicators as si

        s_emas = [si.EMA(PERIOD) for _ in range(few)]
        for s, e in enumerate(s_emas):
            for x in history[s].tolist():
                e.update(x)
        cases["EMA | streaming-indicators, loop"] = (lambda: [e.update(v) for e, v in zip(s_emas, values)], few)
    except ImportError:
        pass
    try:
        import hexital

        h_emas = []
        for s in range(few):
            e = hexital.EMA(candles=[hexital.Candle(x, x, x, x, 0) for x in history[s].tolist()], period=PERIOD)
            e.calculate()
            h_emas.append(e)
        candles = [hexital.Candle(v, v, v, v, 0) for v in values]
        cases["EMA | hexital, loop"] = (lambda: [e.append(c) for e, c in zip(h_emas, candles)], few)
    except ImportError:
        pass
    try:
        from talib import stream as talib_stream

        rows = [np.ascontiguousarray(history[s]) for s in range(few)]
        cases["EMA | TA-Lib stream API, loop"] = (
            lambda: [talib_stream.EMA(r, timeperiod=PERIOD) for r in rows], few)
        cases["MACD | TA-Lib stream API, loop"] = (
            lambda: [talib_stream.MACD(r, fastperiod=FAST, slowperiod=SLOW, signalperiod=SIGNAL) for r in rows],
            few)
    except ImportError:
        pass
    return cases


# ----------------------------------------------------------------------------- 3: backfill


def backfill_cases(rng: np.random.Generator, symbols: int) -> dict[str, Callable[[], object] | FromFresh]:
    series = walk(rng, HISTORY)
    out = [np.empty(HISTORY) for _ in range(3)]
    ema_backfill = FromFresh(lambda: ms.EMA(PERIOD), lambda ema: ema.update(series, out[0]))
    macd_backfill = FromFresh(lambda: ms.MACD(FAST, SLOW, SIGNAL), lambda macd: macd.update(series, *out))

    close = walk(rng, (symbols, HISTORY))
    high, low = close + 0.5, close - 0.5
    blocks = [np.empty((symbols, HISTORY)) for _ in range(3)]

    def universe_stream() -> None:
        ms.SMA(PERIOD, symbols=symbols).update(close, blocks[0])
        ms.EMA(PERIOD, symbols=symbols).update(close, blocks[0])
        ms.MACD(FAST, SLOW, SIGNAL, symbols=symbols).update(close, *blocks)
        ms.ATR(ATR_PERIOD, symbols=symbols).update(high, low, close, blocks[0])

    def universe_batch() -> None:
        for s in range(symbols):
            c = close[s]
            marundex.indicator_sma(PERIOD, c, blocks[0][s])
            marundex.indicator_ema(PERIOD, c, blocks[0][s])
            marundex.indicator_macd(FAST, SLOW, SIGNAL, c, blocks[0][s], blocks[1][s], blocks[2][s])
            marundex.indicator_atr(ATR_PERIOD, high[s], low[s], c, blocks[0][s])

    return {
        "EMA, 2,520 bars | marundex_stream update, fresh state": ema_backfill,
        "EMA, 2,520 bars | marundex batch": lambda: marundex.indicator_ema(PERIOD, series, out[0]),
        "MACD, 2,520 bars | marundex_stream update, fresh state": macd_backfill,
        "MACD, 2,520 bars | marundex batch": lambda: marundex.indicator_macd(FAST, SLOW, SIGNAL, series, *out),
        f"universe {symbols} x 2,520, 4 indicators | marundex_stream, one 2-D call each": universe_stream,
        f"universe {symbols} x 2,520, 4 indicators | marundex, loop of batch calls": universe_batch,
    }


# ----------------------------------------------------------------------------- driver


def spread(samples: list[float]) -> dict[str, float]:
    return {"median": statistics.median(samples), "low": min(samples), "high": max(samples)}


def run(args: argparse.Namespace) -> None:
    rng = np.random.default_rng(0x73747265)
    symbols = 50 if args.smoke else SYMBOLS
    budget = 0.002 if args.smoke else 0.05
    one = one_symbol_cases(rng)
    tick = tick_cases(rng, symbols)
    backfill = backfill_cases(rng, symbols)
    samples: dict[str, list[float]] = {name: [] for name in [*one, *tick, *backfill]}
    for _ in range(args.rounds):
        for name, work in one.items():
            samples[name].append(per_call(work, budget) * 1e9)
        for name, (work, updates) in tick.items():
            samples[name].append(per_call(work, budget) * 1e9 / updates)
        for name, work in backfill.items():
            if isinstance(work, FromFresh):
                samples[name].append(per_fresh_call(work, budget) * 1e3)
            else:
                whole = "universe" in name
                samples[name].append(per_call(work, 0.0 if whole else budget, 1 if whole else 10) * 1e3)
    report = {
        "rounds": args.rounds,
        "symbols": symbols,
        "one bar, ns per call": {name: spread(samples[name]) for name in one},
        "tick, ns per symbol and indicator": {name: spread(samples[name]) for name in tick},
        "backfill, ms per call": {name: spread(samples[name]) for name in backfill},
    }
    text = tables(report)
    print(text)
    if not args.smoke:
        results = Path(args.results)
        (results / "stream.json").write_text(json.dumps(report, indent=1) + "\n")
        (results / "stream.md").write_text(text)
        chart(report, results / "stream.png")


def tables(report: dict) -> str:
    lines = []
    for title, unit, reference in (
        ("one bar, ns per call", "ns/call", ("marundex, n = 1",)),
        ("tick, ns per symbol and indicator", "ns per symbol and indicator", ("marundex_stream",)),
        ("backfill, ms per call", "ms/call", ("marundex batch", "marundex, loop")),
    ):
        rows = report[title]
        lines += [f"### {title[0].upper()}{title[1:]}", "",
                  f"| indicator | side | {unit}, median | lowest–highest | × {reference[0]} |",
                  "|---|---|---|---|---|"]
        for name, s in rows.items():
            indicator, side = name.split(" | ")
            base = next((v["median"] for n, v in rows.items()
                         if n.split(" | ")[0] == indicator and n.split(" | ")[1].startswith(reference)),
                        s["median"])
            lines.append(f"| {indicator} | {side} | {s['median']:.4g} | {s['low']:.4g}–{s['high']:.4g} "
                         f"| {s['median'] / base:.2f} |")
        lines.append("")
    return "\n".join(lines)


def chart(report: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = report["one bar, ns per call"]
    names = list(rows)
    fig, ax = plt.subplots(figsize=(9, 0.42 * len(names) + 1.2))
    ax.barh(names, [rows[n]["median"] for n in names], color=["#2a6" if "stream update" in n else "#888"
                                                              for n in names])
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel("ns per new bar (median), log scale; after 2,520 bars of history")
    ax.set_title("One symbol, one new bar")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--results", default=str(Path(__file__).parent / "results"))
    run(parser.parse_args())


if __name__ == "__main__":
    main()
