"""marundex_ta on what users hold: a long frame grouped by symbol, one series, one bar.

1. A long frame of 500 symbols × 1,000 daily bars, a fifth of the symbols shorter
   (300 to 999 bars: a ragged universe), a few NaN closes, rows in symbol then date
   order, as a per-symbol load gives them. SMA 50, EMA 20, MACD 12/26/9, ATR 14 and
   RSI 14 by symbol, each side as its users would write it:
   - marundex_ta on pandas and on polars, with by= in each call, and grouped once
     (`g = ta.group(frame, "symbol")`, then g.sma(50) ...: what the guide
     recommends for several indicators);
   - TA-Lib with pandas `groupby(...).transform` (ATR and MACD, of several columns
     or outputs, through `groupby(...).apply`);
   - TA-Lib inside polars `.over("symbol")` through `map_batches`;
   - the (N, k) universe call of marundex_stream on the same walks made rectangular
     (every symbol's 1,000 bars: a little more work than the ragged frame), the
     floor of what grouping and alignment cost.
2. One series, n = 16 and n = 10,000: `ta.ema(x, 20)` against `talib.EMA(x, 20)`.
3. One bar as numbers after 2,520 bars of history, `state.update(h, l, c)` with
   Python floats, against TA-Lib's `handle.update(...)`, for every type that
   TA-Lib streams (the catalogue's rows), alternating an up and a down bar.

Every configuration is timed once per round, the rounds interleaved; the tables
give medians, the lowest and highest round, and the ratios against the targets
(frames: 10× TA-Lib with pandas, 3× TA-Lib through polars; one series no slower
than TA-Lib; one bar at most 0.7× handle.update). Driven by benchmarks/run.sh --frames:

    frames.py --results DIR [--rounds N] [--smoke]

A benchmark, not a test: nothing here decides pass or fail on a time.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
from collections.abc import Callable
from pathlib import Path

import numpy as np

import marundex_stream as ms
import marundex_ta as ta
from catalogue import HISTORY, ROWS, TALIB_UPDATE, Row, arguments, bars, compiled, new_state, up_and_down
from stream import figure, per_call, spread, talib_modules

SYMBOLS, BARS, SHORTER = 500, 1000, 0.2
SMOKE_SYMBOLS, SMOKE_BARS = 20, 200
SERIES = (16, 10_000)
MACD_NAMES = ("macd", "signal", "hist")

TA_PANDAS_BY, TA_PANDAS_GROUP = "marundex_ta, pandas, by= each call", "marundex_ta, pandas, grouped once"
TA_POLARS_BY, TA_POLARS_GROUP = "marundex_ta, polars, by= each call", "marundex_ta, polars, grouped once"
TALIB_PANDAS, TALIB_POLARS = "TA-Lib, pandas groupby transform", "TA-Lib, polars .over map_batches"
UNIVERSE = "marundex_stream universe call, rectangular"


def long_frame(rng: np.random.Generator, symbols: int, length: int):
    """The long frame (pandas), the same as polars, and the rectangular walks."""
    import pandas as pd

    walks = bars(rng, (symbols, length))
    lengths = np.full(symbols, length)
    shorter = rng.random(symbols) < SHORTER
    lengths[shorter] = rng.integers(int(0.3 * length), length, shorter.sum())
    columns: dict[str, list] = {"symbol": [], "high": [], "low": [], "close": []}
    for s in range(symbols):
        columns["symbol"].append(np.full(lengths[s], f"S{s:04d}"))
        for name in ("high", "low", "close"):
            columns[name].append(walks[name][s, length - lengths[s]:])
    frame = pd.DataFrame({name: np.concatenate(parts) for name, parts in columns.items()})
    gaps = rng.choice(len(frame), max(1, len(frame) // 2000), replace=False)
    frame.loc[gaps, "close"] = np.nan
    return frame, walks, lengths


def frame_cases(frame, walks, talib) -> dict[str, Callable[[], object]]:
    import pandas as pd
    import polars as pl

    polars_frame = pl.from_pandas(frame)

    def ta_by(df):
        return lambda: (ta.sma(df, 50, by="symbol"), ta.ema(df, 20, by="symbol"), ta.macd(df, by="symbol"),
                        ta.atr(df, 14, by="symbol"), ta.rsi(df, 14, by="symbol"))

    def ta_group(df):
        def work():
            g = ta.group(df, "symbol")
            return g.sma(50), g.ema(20), g.macd(), g.atr(14), g.rsi(14)
        return work

    def talib_pandas():
        groups = frame.groupby("symbol", sort=False, group_keys=False)
        close = groups["close"]
        sma = close.transform(lambda s: talib.SMA(s.to_numpy(), 50))
        ema = close.transform(lambda s: talib.EMA(s.to_numpy(), 20))
        rsi = close.transform(lambda s: talib.RSI(s.to_numpy(), 14))
        macd = groups[["close"]].apply(lambda g: pd.DataFrame(
            dict(zip(MACD_NAMES, talib.MACD(g["close"].to_numpy(), 12, 26, 9))), index=g.index))
        atr = groups[["high", "low", "close"]].apply(lambda g: pd.Series(
            talib.ATR(g["high"].to_numpy(), g["low"].to_numpy(), g["close"].to_numpy(), 14), index=g.index))
        return sma, ema, macd, atr, rsi

    def one(function, *parameters):
        return pl.col("close").map_batches(lambda s: pl.Series(function(s.to_numpy(), *parameters)),
                                           return_dtype=pl.Float64).over("symbol")

    def macd_struct(s):
        return pl.DataFrame(dict(zip(MACD_NAMES, talib.MACD(s.to_numpy(), 12, 26, 9)))).to_struct()

    def atr_of(s):
        bar = s.struct.unnest()
        return pl.Series(talib.ATR(*(bar[name].to_numpy() for name in ("high", "low", "close")), 14))

    macd_type = pl.Struct({name: pl.Float64 for name in MACD_NAMES})

    def talib_polars():
        return polars_frame.select(
            one(talib.SMA, 50).alias("sma"), one(talib.EMA, 20).alias("ema"),
            pl.col("close").map_batches(macd_struct, return_dtype=macd_type).over("symbol").alias("macd"),
            pl.struct("high", "low", "close").map_batches(atr_of, return_dtype=pl.Float64).over("symbol")
            .alias("atr"),
            one(talib.RSI, 14).alias("rsi"))

    symbols = walks["close"].shape[0]

    def universe():
        high, low, close = walks["high"], walks["low"], walks["close"]
        return (ms.SMA(50, symbols=symbols).update(close), ms.EMA(20, symbols=symbols).update(close),
                ms.MACD(12, 26, 9, symbols=symbols).update(close),
                ms.ATR(14, symbols=symbols).update(high, low, close), ms.RSI(14, symbols=symbols).update(close))

    return {TA_PANDAS_BY: ta_by(frame), TA_PANDAS_GROUP: ta_group(frame), TA_POLARS_BY: ta_by(polars_frame),
            TA_POLARS_GROUP: ta_group(polars_frame), TALIB_PANDAS: talib_pandas, TALIB_POLARS: talib_polars,
            UNIVERSE: universe}


def check_frames(cases: dict, frame, talib) -> None:
    """Stops the run unless the sides compute the same RSI (no NaN in it: both define
    RSI alike), and marundex_ta's two kinds the same bits."""
    pandas_rsi = cases[TA_PANDAS_GROUP]()[4].to_numpy()
    polars_rsi = cases[TA_POLARS_GROUP]()[4].fill_null(np.nan).to_numpy()
    talib_rsi = cases[TALIB_PANDAS]()[4].to_numpy()
    polars_talib = cases[TALIB_POLARS]()["rsi"].fill_null(np.nan).to_numpy()
    clean = ~frame.groupby("symbol")["close"].transform(lambda s: s.isna().any()).to_numpy()
    if not (np.array_equal(pandas_rsi.view(np.uint64), polars_rsi.view(np.uint64))
            and np.allclose(pandas_rsi[clean], talib_rsi[clean], rtol=1e-9, atol=1e-9, equal_nan=True)
            and np.allclose(talib_rsi, polars_talib, rtol=0, atol=0, equal_nan=True)):
        raise SystemExit("frames.py: the sides' RSI differ")


def series_cases(rng: np.random.Generator, talib) -> dict[int, dict[str, Callable[[], object]]]:
    cases = {}
    for n in SERIES:
        x = bars(rng, n)["close"]
        cases[n] = {"ta.ema": compiled(["ema(x, 20)"], {"ema": ta.ema, "x": x}),
                    "talib.EMA": compiled(["EMA(x, 20)"], {"EMA": talib.EMA, "x": x})}
    return cases


def streamed(row: Row, talib_stream) -> bool:
    return all(hasattr(talib_stream, function) for function in row.talib)


def number_cases(row: Row, talib_stream, history: dict[str, np.ndarray]) -> dict[str, Callable[[], object]]:
    """An up bar, then a down bar, as numbers: update on the state, and on TA-Lib's handles."""
    inputs = [history[name] for name in row.inputs]
    state = new_state(row)
    state.update(*inputs)
    up, down = up_and_down(history["close"][-1:])
    names: dict[str, object] = {"s": state}
    ours = compiled([f"s.update({arguments(names, prefix, [float(bar[k][0]) for k in row.inputs])})"
                     for prefix, bar in (("u", up), ("d", down))], names)
    names = {}
    statements: list[list[str]] = [[], []]
    for k, function in enumerate(row.talib):
        names[f"h{k}"] = getattr(talib_stream, function)(*inputs, *row.talib_parameters)
        for (prefix, bar), listed in zip((("u", up), ("d", down)), statements):
            listed.append(f"h{k}.update({arguments(names, prefix, [float(bar[n][0]) for n in row.inputs])})")
    return {"marundex_stream numbers": ours, TALIB_UPDATE: compiled(statements[0] + statements[1], names)}


def environment(smoke: bool) -> dict:
    import pandas
    import polars
    import talib

    model = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), platform.processor()) if Path("/proc/cpuinfo").exists() else ""
    return {"python": platform.python_version(), "numpy": np.__version__, "pandas": pandas.__version__,
            "polars": polars.__version__, "talib": talib.__version__, "cpu": model, "cpus": os.cpu_count(),
            "smoke": smoke}


def run(args: argparse.Namespace) -> None:
    talib, talib_stream = talib_modules()
    if talib is None:
        raise SystemExit("frames.py: TA-Lib is not installed: every figure here is against it")
    symbols, length = (SMOKE_SYMBOLS, SMOKE_BARS) if args.smoke else (SYMBOLS, BARS)
    budget = 0.002 if args.smoke else 0.05
    load_before = os.getloadavg()[0]

    rng = np.random.default_rng(0x6672616D)
    frame, walks, lengths = long_frame(rng, symbols, length)
    frames = frame_cases(frame, walks, talib)
    check_frames(frames, frame, talib)
    series = series_cases(rng, talib)
    history = bars(rng, HISTORY)
    rows = [row for row in ROWS if hasattr(ms, row.type) and streamed(row, talib_stream)]
    numbers = {row.label: number_cases(row, talib_stream, history) for row in rows}

    # Each configuration: its function, calls a batch of per_call, the scale to its unit.
    timed: dict[tuple, tuple[Callable[[], object], int, float]] = {}
    for side, work in frames.items():
        timed[("frames", side)] = (work, 1, 1e3)
    for n, sides in series.items():
        for side, work in sides.items():
            timed[("series", n, side)] = (work, 10, 1e6)
    for label, sides in numbers.items():
        for side, work in sides.items():
            timed[("one bar", label, side)] = (work, 10, 1e9 / 2)
    samples: dict[tuple, list[float]] = {key: [] for key in timed}
    for _ in range(args.rounds):
        for key, (work, calls, scale) in timed.items():
            samples[key].append(per_call(work, budget, calls) * scale)

    report = {
        "rounds": args.rounds, "symbols": symbols, "bars": length, "rows": int(lengths.sum()),
        "shorter symbols": int((lengths < length).sum()), "nan closes": int(frame["close"].isna().sum()),
        "environment": environment(args.smoke) | {"load before": load_before, "load after": os.getloadavg()[0]},
        "frames, ms per workload": {side: spread(samples[("frames", side)]) for side in frames},
        "one series, µs per call": {f"{n:,}": {side: spread(samples[("series", n, side)]) for side in sides}
                                    for n, sides in series.items()},
        "one bar as numbers, ns per bar": {label: {side: spread(samples[("one bar", label, side)])
                                                   for side in sides} for label, sides in numbers.items()},
    }
    text = tables(report)
    print(text)
    if not args.smoke:
        results = Path(args.results)
        (results / "frames.json").write_text(json.dumps(report, indent=1, ensure_ascii=False) + "\n")
        (results / "frames.md").write_text(text)


def tables(report: dict) -> str:
    env = report["environment"]
    cpus = env["cpus"] or 1
    lines = [f"CPython {env['python']}, NumPy {env['numpy']}, pandas {env['pandas']}, polars {env['polars']}, "
             f"TA-Lib {env['talib']}; {env['cpu']}, {cpus} CPUs. {report['rounds']} round{'s' if report['rounds'] != 1 else ''}, interleaved; medians "
             "and the lowest and highest round.", ""]
    if env["load before"] > 0.5 or env["load after"] > 1.5:
        lines += [f"The machine was shared: load average {env['load before']:.2f} at the start and "
                  f"{env['load after']:.2f} at the end, on {cpus} CPUs. Times are slower and noisier than "
                  "on a quiet machine; the ratios, of interleaved rounds, less so.", ""]
    frames = report["frames, ms per workload"]
    universe = frames[UNIVERSE]["median"]
    lines += [f"### A long frame: {report['symbols']} symbols × up to {report['bars']:,} bars "
              f"({report['rows']:,} rows, {report['shorter symbols']} symbols shorter, {report['nan closes']} NaN "
              "closes); SMA 50, EMA 20, MACD 12/26/9, ATR 14, RSI 14 by symbol", "",
              "| side | ms, median | lowest–highest | × universe call |", "|---|---|---|---|"]
    for side, s in frames.items():
        lines.append(f"| {side} | {figure(s['median'])} | {figure(s['low'])}–{figure(s['high'])} "
                     f"| {s['median'] / universe:.2f} |")
    lines.append("")
    for ours, theirs, target in ((TA_PANDAS_GROUP, TALIB_PANDAS, 10.0), (TA_PANDAS_BY, TALIB_PANDAS, 10.0),
                                 (TA_POLARS_GROUP, TALIB_POLARS, 3.0), (TA_POLARS_BY, TALIB_POLARS, 3.0)):
        speedup = frames[theirs]["median"] / frames[ours]["median"]
        lines.append(f"- {ours}: {speedup:.1f}× faster than {theirs} (target {target:.0f}×: "
                     f"{'met' if speedup >= target else '**missed**'})")
    lines += ["", "### One series: ta.ema(x, 20) against talib.EMA(x, 20)", "",
              "| n | ta.ema µs | lowest–highest | talib.EMA µs | lowest–highest | × TA-Lib | ≤ TA-Lib |",
              "|---|---|---|---|---|---|---|"]
    for n, sides in report["one series, µs per call"].items():
        ours, theirs = sides["ta.ema"], sides["talib.EMA"]
        ratio = ours["median"] / theirs["median"]
        lines.append(f"| {n} | {figure(ours['median'])} | {figure(ours['low'])}–{figure(ours['high'])} "
                     f"| {figure(theirs['median'])} | {figure(theirs['low'])}–{figure(theirs['high'])} "
                     f"| {ratio:.2f} | {'met' if ratio <= 1.0 else '**missed**'} |")
    lines += ["", f"### One bar as numbers after {HISTORY:,} bars, against TA-Lib's handle.update", "",
              "| type | marundex_stream ns | lowest–highest | TA-Lib ns | lowest–highest | × TA-Lib | ≤ 0.7 |",
              "|---|---|---|---|---|---|---|"]
    met = 0
    for label, sides in report["one bar as numbers, ns per bar"].items():
        ours, theirs = sides["marundex_stream numbers"], sides[TALIB_UPDATE]
        ratio = ours["median"] / theirs["median"]
        met += ratio <= 0.7
        lines.append(f"| {label} | {figure(ours['median'])} | {figure(ours['low'])}–{figure(ours['high'])} "
                     f"| {figure(theirs['median'])} | {figure(theirs['low'])}–{figure(theirs['high'])} "
                     f"| {ratio:.2f} | {'met' if ratio <= 0.7 else '**missed**'} |")
    lines += ["", f"One bar: target met by {met} of {len(report['one bar as numbers, ns per bar'])} types.", ""]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--results", default=str(Path(__file__).parent / "results"))
    run(parser.parse_args())


if __name__ == "__main__":
    main()
