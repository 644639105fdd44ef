"""Live bars: marundex_stream against TA-Lib's stream handles, against recomputing
with marundex, and against the pure-Python incremental libraries.

1. One symbol, one new bar after 2,520 bars of history, EMA 20, MACD 12/26/9 and
   ATR 14: marundex_stream's update with one-element arrays made once (the best
   case), and with the arrays made for each bar (`np.array([price])` in,
   `np.empty(1)` out: how one bar is usually written); TA-Lib's
   `handle.update(price)` on a handle opened over the history outside the clock;
   marundex's batch call over the history and the bar (recomputing); a marundex
   call with n = 1 (what any call costs); talipp, hexital and streaming-indicators
   adding the bar to their state.
2. A universe tick: 5,000 symbols, one bar each, SMA 20, EMA 20, MACD 12/26/9 and
   ATR 14: one marundex_stream call per indicator, against a Python loop over
   5,000 TA-Lib handles per indicator, and the pure-Python peers looping over 200
   of the symbols (EMA and MACD, where the peer has them); ns per symbol and
   indicator.
3. Backfill of one series, 2,520 bars, from nothing to a state that takes the next
   bar: a new marundex_stream state and its update (into an output made once),
   against TA-Lib's `open_and_fill` (opens the handle, returns it with the outputs),
   and the two batch calls.
4. Backfill of the universe, 5,000 x 2,520, the four indicators: one 2-D
   marundex_stream call each from new states, against a loop of marundex batch
   calls and a loop of TA-Lib's `open_and_fill`.

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

TALIB_UPDATE = "TA-Lib handle.update"
TALIB_LOOP = "TA-Lib, loop over handles"


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


def walk(rng: np.random.Generator, shape) -> np.ndarray:
    return 100.0 + np.cumsum(rng.normal(0.0, 1.0, shape), axis=-1)


def talib_modules():
    """TA-Lib's batch functions and its stream handles, or None where it is not installed."""
    try:
        import talib
        from talib import stream
    except ImportError:
        return None, None
    return talib, stream


# ----------------------------------------------------------------------------- 1: one symbol


def one_symbol_cases(rng: np.random.Generator) -> dict[str, Callable[[], object]]:
    history = walk(rng, HISTORY)
    high, low = history + 0.5, history - 0.5
    whole = np.concatenate([history, [history[-1] + 0.5]])
    whole_high, whole_low = whole + 0.5, whole - 0.5
    bar, bar_high, bar_low = whole[-1:].copy(), whole_high[-1:].copy(), whole_low[-1:].copy()
    value, value_high, value_low = float(bar[0]), float(bar_high[0]), float(bar_low[0])
    # The outputs by name, not unpacked: a call with *args costs CPython a tuple and
    # its generic call path, more than either side's own work.
    one, (line, signal, hist) = np.empty(1), [np.empty(1) for _ in range(3)]
    full, full_lines = np.empty(HISTORY + 1), [np.empty(HISTORY + 1) for _ in range(3)]
    block = [np.empty(HISTORY) for _ in range(3)]
    ema, macd, atr = ms.EMA(PERIOD), ms.MACD(FAST, SLOW, SIGNAL), ms.ATR(ATR_PERIOD)
    ema.update(history, block[0])
    macd.update(history, block[0], block[1], block[2])
    atr.update(high, low, history, block[0])

    def ema_per_bar() -> None:
        ema.update(np.array([value]), np.empty(1))

    def macd_per_bar() -> None:
        macd.update(np.array([value]), np.empty(1), np.empty(1), np.empty(1))

    def atr_per_bar() -> None:
        atr.update(np.array([value_high]), np.array([value_low]), np.array([value]), np.empty(1))

    cases: dict[str, Callable[[], object]] = {
        "EMA | marundex_stream, arrays made once": lambda: ema.update(bar, one),
        "EMA | marundex_stream, arrays made per bar": ema_per_bar,
        "EMA | marundex, n = 1": lambda: marundex.indicator_ema(PERIOD, bar, one),
        "EMA | marundex, recompute 2,521 bars": lambda: marundex.indicator_ema(PERIOD, whole, full),
        "MACD | marundex_stream, arrays made once": lambda: macd.update(bar, line, signal, hist),
        "MACD | marundex_stream, arrays made per bar": macd_per_bar,
        "MACD | marundex, n = 1":
            lambda: marundex.indicator_macd(FAST, SLOW, SIGNAL, bar, line, signal, hist),
        "MACD | marundex, recompute 2,521 bars":
            lambda: marundex.indicator_macd(FAST, SLOW, SIGNAL, whole, *full_lines),
        "ATR | marundex_stream, arrays made once": lambda: atr.update(bar_high, bar_low, bar, one),
        "ATR | marundex_stream, arrays made per bar": atr_per_bar,
        "ATR | marundex, n = 1":
            lambda: marundex.indicator_atr(ATR_PERIOD, bar_high, bar_low, bar, one),
        "ATR | marundex, recompute 2,521 bars":
            lambda: marundex.indicator_atr(ATR_PERIOD, whole_high, whole_low, whole, full),
    }
    _, talib_stream = talib_modules()
    if talib_stream is not None:
        # Opened over the history once, as a live feed opens them; each bar is O(1).
        t_ema = talib_stream.EMA(history, PERIOD)
        t_macd = talib_stream.MACD(history, FAST, SLOW, SIGNAL)
        t_atr = talib_stream.ATR(high, low, history, ATR_PERIOD)
        cases[f"EMA | {TALIB_UPDATE}"] = lambda: t_ema.update(value)
        cases[f"MACD | {TALIB_UPDATE}"] = lambda: t_macd.update(value)
        cases[f"ATR | {TALIB_UPDATE}"] = lambda: t_atr.update(value_high, value_low, value)
    try:
        import talipp.indicators as tp

        p_ema = tp.EMA(period=PERIOD, input_values=history.tolist())
        p_macd = tp.MACD(fast_period=FAST, slow_period=SLOW, signal_period=SIGNAL,
                         input_values=history.tolist())
        cases["EMA | talipp add"] = lambda: p_ema.add(value)
        cases["MACD | talipp add"] = lambda: p_macd.add(value)
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
        "ATR | marundex_stream, one call": (lambda: atr.update(bar_high, bar_low, bar, out[0]), symbols),
    }
    values, highs, lows = bar.tolist(), bar_high.tolist(), bar_low.tolist()
    _, talib_stream = talib_modules()
    if talib_stream is not None:
        # One handle per symbol and indicator, each opened over its symbol's history;
        # a tick is a loop over them, keeping what each returns.
        t_sma = [talib_stream.SMA(history[s], PERIOD) for s in range(symbols)]
        t_ema = [talib_stream.EMA(history[s], PERIOD) for s in range(symbols)]
        t_macd = [talib_stream.MACD(history[s], FAST, SLOW, SIGNAL) for s in range(symbols)]
        t_atr = [talib_stream.ATR(high[s], low[s], history[s], ATR_PERIOD) for s in range(symbols)]

        def t_four() -> None:
            [h.update(v) for h, v in zip(t_sma, values)]
            [h.update(v) for h, v in zip(t_ema, values)]
            [h.update(v) for h, v in zip(t_macd, values)]
            [h.update(a, b, c) for h, a, b, c in zip(t_atr, highs, lows, values)]

        cases[f"4 indicators | {TALIB_LOOP}"] = (t_four, 4 * symbols)
        cases[f"EMA | {TALIB_LOOP}"] = (lambda: [h.update(v) for h, v in zip(t_ema, values)], symbols)
        cases[f"MACD | {TALIB_LOOP}"] = (lambda: [h.update(v) for h, v in zip(t_macd, values)], symbols)
        cases[f"ATR | {TALIB_LOOP}"] = (
            lambda: [h.update(a, b, c) for h, a, b, c in zip(t_atr, highs, lows, values)], symbols)
    # The pure-Python peers cost microseconds a symbol: 200 symbols give their cost a symbol.
    few = min(symbols, 200)
    some = values[:few]
    try:
        import talipp.indicators as tp

        p_emas = [tp.EMA(period=PERIOD, input_values=history[s].tolist()) for s in range(few)]
        p_macds = [tp.MACD(fast_period=FAST, slow_period=SLOW, signal_period=SIGNAL,
                           input_values=history[s].tolist()) for s in range(few)]
        cases["EMA | talipp, loop"] = (lambda: [e.add(v) for e, v in zip(p_emas, some)], few)
        cases["MACD | talipp, loop"] = (lambda: [m.add(v) for m, v in zip(p_macds, some)], few)
    except ImportError:
        pass
    try:
        import streaming_indicators as si

        s_emas = [si.EMA(PERIOD) for _ in range(few)]
        for s, e in enumerate(s_emas):
            for x in history[s].tolist():
                e.update(x)
        cases["EMA | streaming-indicators, loop"] = (lambda: [e.update(v) for e, v in zip(s_emas, some)], few)
    except ImportError:
        pass
    try:
        import hexital

        h_emas = []
        for s in range(few):
            e = hexital.EMA(candles=[hexital.Candle(x, x, x, x, 0) for x in history[s].tolist()], period=PERIOD)
            e.calculate()
            h_emas.append(e)
        candles = [hexital.Candle(v, v, v, v, 0) for v in some]
        cases["EMA | hexital, loop"] = (lambda: [e.append(c) for e, c in zip(h_emas, candles)], few)
    except ImportError:
        pass
    return cases


# ----------------------------------------------------------------------------- 3 and 4: backfill


def backfill_cases(rng: np.random.Generator) -> dict[str, Callable[[], object]]:
    close = walk(rng, HISTORY)
    high, low = close + 0.5, close - 0.5
    out = [np.empty(HISTORY) for _ in range(3)]
    cases: dict[str, Callable[[], object]] = {
        "EMA | marundex_stream, new state and update": lambda: ms.EMA(PERIOD).update(close, out[0]),
        "EMA | marundex batch": lambda: marundex.indicator_ema(PERIOD, close, out[0]),
        "MACD | marundex_stream, new state and update":
            lambda: ms.MACD(FAST, SLOW, SIGNAL).update(close, out[0], out[1], out[2]),
        "MACD | marundex batch":
            lambda: marundex.indicator_macd(FAST, SLOW, SIGNAL, close, out[0], out[1], out[2]),
        "ATR | marundex_stream, new state and update":
            lambda: ms.ATR(ATR_PERIOD).update(high, low, close, out[0]),
        "ATR | marundex batch": lambda: marundex.indicator_atr(ATR_PERIOD, high, low, close, out[0]),
    }
    talib, talib_stream = talib_modules()
    if talib is not None:
        cases["EMA | TA-Lib open_and_fill"] = lambda: talib_stream.EMA.open_and_fill(close, PERIOD)
        cases["EMA | TA-Lib batch"] = lambda: talib.EMA(close, PERIOD)
        cases["MACD | TA-Lib open_and_fill"] = lambda: talib_stream.MACD.open_and_fill(close, FAST, SLOW, SIGNAL)
        cases["MACD | TA-Lib batch"] = lambda: talib.MACD(close, FAST, SLOW, SIGNAL)
        cases["ATR | TA-Lib open_and_fill"] = lambda: talib_stream.ATR.open_and_fill(high, low, close, ATR_PERIOD)
        cases["ATR | TA-Lib batch"] = lambda: talib.ATR(high, low, close, ATR_PERIOD)
    return cases


def universe_cases(rng: np.random.Generator, symbols: int) -> dict[str, Callable[[], object]]:
    close = walk(rng, (symbols, HISTORY))
    high, low = close + 0.5, close - 0.5
    # Written once here, so that no side pays for the first touch of their pages.
    blocks = [np.full((symbols, HISTORY), np.nan) for _ in range(3)]

    def stream() -> None:
        ms.SMA(PERIOD, symbols=symbols).update(close, blocks[0])
        ms.EMA(PERIOD, symbols=symbols).update(close, blocks[0])
        ms.MACD(FAST, SLOW, SIGNAL, symbols=symbols).update(close, *blocks)
        ms.ATR(ATR_PERIOD, symbols=symbols).update(high, low, close, blocks[0])

    def batch() -> None:
        for s in range(symbols):
            c = close[s]
            marundex.indicator_sma(PERIOD, c, blocks[0][s])
            marundex.indicator_ema(PERIOD, c, blocks[0][s])
            marundex.indicator_macd(FAST, SLOW, SIGNAL, c, blocks[0][s], blocks[1][s], blocks[2][s])
            marundex.indicator_atr(ATR_PERIOD, high[s], low[s], c, blocks[0][s])

    name = f"{symbols:,} x 2,520, 4 indicators"
    cases: dict[str, Callable[[], object]] = {
        f"{name} | marundex_stream, one 2-D call each": stream,
        f"{name} | marundex, loop of batch calls": batch,
    }
    _, talib_stream = talib_modules()
    if talib_stream is not None:
        rows = [(np.ascontiguousarray(close[s]), np.ascontiguousarray(high[s]), np.ascontiguousarray(low[s]))
                for s in range(symbols)]

        def talib_loop() -> None:
            handles = []
            for c, h, lo in rows:
                handles.append(talib_stream.SMA.open_and_fill(c, PERIOD))
                handles.append(talib_stream.EMA.open_and_fill(c, PERIOD))
                handles.append(talib_stream.MACD.open_and_fill(c, FAST, SLOW, SIGNAL))
                handles.append(talib_stream.ATR.open_and_fill(h, lo, c, ATR_PERIOD))

        cases[f"{name} | TA-Lib, loop of open_and_fill"] = talib_loop
    return cases


# ----------------------------------------------------------------------------- driver

class Section(NamedTuple):
    title: str
    unit: str
    scale: float  # from seconds to the unit
    reference: str  # the side that the last column divides by
    once: bool  # a call lasts long enough to be timed once a round


SECTIONS = (
    Section("one bar, ns per call", "ns/call", 1e9, TALIB_UPDATE, False),
    Section("tick, ns per symbol and indicator", "ns per symbol and indicator", 1e9, "marundex_stream", False),
    Section("backfill of one series, µs per call", "µs/call", 1e6, "marundex batch", False),
    Section("backfill of the universe, ms per call", "ms/call", 1e3, "marundex, loop", True),
)


def spread(samples: list[float]) -> dict[str, float]:
    return {"median": statistics.median(samples), "low": min(samples), "high": max(samples)}


def by_indicator(cases: dict) -> dict:
    """The cases with each indicator's sides together, indicators in their first order."""
    order = list(dict.fromkeys(name.split(" | ")[0] for name in cases))
    return dict(sorted(cases.items(), key=lambda item: order.index(item[0].split(" | ")[0])))


def run(args: argparse.Namespace) -> None:
    rng = np.random.default_rng(0x73747265)
    symbols = 50 if args.smoke else SYMBOLS
    budget = 0.002 if args.smoke else 0.05
    one = {name: (work, 1) for name, work in one_symbol_cases(rng).items()}
    tick = tick_cases(rng, symbols)
    backfill = {name: (work, 1) for name, work in backfill_cases(rng).items()}
    universe = {name: (work, 1) for name, work in universe_cases(rng, symbols).items()}
    groups = [by_indicator(group) for group in (one, tick, backfill, universe)]
    samples: dict[str, list[float]] = {name: [] for group in groups for name in group}
    for _ in range(args.rounds):
        for group, section in zip(groups, SECTIONS):
            for name, (work, updates) in group.items():
                seconds = per_call(work, 0.0, 1) if section.once else per_call(work, budget)
                samples[name].append(seconds * section.scale / updates)
    report = {"rounds": args.rounds, "symbols": symbols}
    for group, section in zip(groups, SECTIONS):
        report[section.title] = {name: spread(samples[name]) for name in group}
    text = tables(report)
    print(text)
    if not args.smoke:
        results = Path(args.results)
        (results / "stream.json").write_text(json.dumps(report, indent=1, ensure_ascii=False) + "\n")
        (results / "stream.md").write_text(text)
        chart(report, results / "stream.png")


def figure(value: float) -> str:
    """Three or four significant digits, thousands separated: 8,717, 266.8, 3.80, 0.00512."""
    if value >= 100:
        return f"{value:,.0f}" if value >= 1000 else f"{value:.1f}"
    return f"{value:#.3g}"


def tables(report: dict) -> str:
    lines = []
    for title, unit, _, reference, _ in SECTIONS:
        rows = report[title]
        lines += [f"### {title[0].upper()}{title[1:]}", "",
                  f"| indicator | side | {unit}, median | lowest–highest | × {reference} |",
                  "|---|---|---|---|---|"]
        for name, s in rows.items():
            indicator, side = name.split(" | ")
            base = next((v["median"] for n, v in rows.items()
                         if n.split(" | ")[0] == indicator and n.split(" | ")[1].startswith(reference)), None)
            ratio = f"{s['median'] / base:.2f}" if base else "–"
            lines.append(f"| {indicator} | {side} | {figure(s['median'])} "
                         f"| {figure(s['low'])}–{figure(s['high'])} | {ratio} |")
        lines.append("")
    return "\n".join(lines)


def side_colour(name: str) -> str:
    side = name.split(" | ")[1]
    if side.startswith("marundex_stream"):
        return "#2a6"
    if side.startswith("TA-Lib"):
        return "#37c"
    return "#888"


def chart(report: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    panels = (("one bar, ns per call", "One symbol, one new bar after 2,520 bars of history",
               "ns per bar (median), log scale"),
              ("tick, ns per symbol and indicator", f"A tick of {report['symbols']:,} symbols, one bar each",
               "ns per symbol and indicator (median), log scale"))
    heights = [len(report[title]) for title, *_ in panels]
    fig, axes = plt.subplots(2, 1, figsize=(9, 0.36 * sum(heights) + 2.4),
                             gridspec_kw={"height_ratios": heights})
    for ax, (title, heading, label) in zip(axes, panels):
        rows = report[title]
        names = list(rows)
        ax.barh(names, [rows[n]["median"] for n in names], color=[side_colour(n) for n in names])
        ax.set_xscale("log")
        # Bars from a power of ten below the shortest, so that lengths compare.
        ax.set_xlim(left=10 ** np.floor(np.log10(min(rows[n]["median"] for n in names))))
        ax.invert_yaxis()
        ax.set_xlabel(label)
        ax.set_title(heading)
    fig.legend(handles=[Patch(color=c, label=l) for c, l in (
        ("#2a6", "marundex_stream"), ("#37c", "TA-Lib"), ("#888", "the others"))],
        loc="lower center", ncol=3, frameon=False)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--results", default=str(Path(__file__).parent / "results"))
    run(parser.parse_args())


if __name__ == "__main__":
    main()
