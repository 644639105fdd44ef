"""Every marundex_stream type against TA-Lib: a batch, one live bar and a tick.

1. Batch over n = 10,000 and n = 1,000,000: a new marundex_stream state and one
   update into outputs made once, against TA-Lib's batch function with the same
   parameters (DMI against PLUS_DI, MINUS_DI and ADX together), which allocates its
   outputs on every call. At n = 10,000 the calls go through 32 different series in
   turn (see series_of).
2. One bar after 2,520 bars of history: marundex_stream's update with one-element
   arrays made once, against TA-Lib's `handle.update(...)` on a handle opened over
   the same history outside the clock (DMI: three handles).
3. A tick of 5,000 symbols, one bar each: one marundex_stream call over the
   universe, in ns per symbol.

The bars are seeded geometric random walks: high and low around the close, volume
positive. Before the clock, each type's batch outputs are checked against TA-Lib's
(NaN at the same places, values within 1e-9 relative; not MACD's default seed,
which TA-Lib does not have), so that both sides compute the same indicator.

A live bar and a tick alternate between two bars, one up and one down, and their
figures are per bar: fed one bar over and over, RSI's, DMI's and MFI's averages of
gains and of directional moves decay into subnormal numbers, which cost either
side many times a normal operation. Every call names its arguments one by one, as
timeit compiles its statement: a call with *args costs CPython a tuple and its
generic call path.

Every configuration is timed once per round, the rounds interleaved as in
stream.py; the tables give the median and the lowest and highest of the rounds, and
the ratio marundex_stream / TA-Lib of the medians against the targets (batch no
slower than TA-Lib at either n, one bar no slower than `handle.update`). A type
missing from the installed marundex_stream is skipped, and the output says so.
Driven by benchmarks/run.sh --catalogue:

    catalogue.py --results DIR [--rounds N] [--smoke]

A benchmark, not a test: nothing here decides pass or fail on a time.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
from collections.abc import Callable
from pathlib import Path
from typing import NamedTuple

import numpy as np

import marundex_stream as ms
from stream import figure, per_call, spread, talib_modules

SIZES, HISTORY, SYMBOLS = (10_000, 1_000_000), 2520, 5000
SMOKE_SIZES, SMOKE_SYMBOLS = (500, 5_000), 50
HLC = ("high", "low", "close")


class Row(NamedTuple):
    """One type: its marundex_stream constructor's arguments, its input arrays, and the
    TA-Lib functions that compute its outputs, in its order, with their arguments."""

    type: str
    parameters: tuple
    inputs: tuple[str, ...]
    outputs: int
    talib: tuple[str, ...]
    talib_parameters: tuple
    keywords: dict = {}
    agrees: bool = True  # its values are TA-Lib's (MACD's default seed is not)

    @property
    def label(self) -> str:
        return ", ".join([self.type] + [f"{k}={v!r}" for k, v in self.keywords.items()])


# TA-Lib's typical parameters: 20 bars for averages and deviations, 14 for Wilder's
# indicators and the oscillators, 10 for momentum, 12/26/9 for MACD.
ROWS = (
    Row("SMA", (20,), ("close",), 1, ("SMA",), (20,)),
    Row("EMA", (20,), ("close",), 1, ("EMA",), (20,)),
    Row("MACD", (12, 26, 9), ("close",), 3, ("MACD",), (12, 26, 9), agrees=False),
    Row("MACD", (12, 26, 9), ("close",), 3, ("MACD",), (12, 26, 9), {"seed": "talib"}),
    Row("ATR", (14,), HLC, 1, ("ATR",), (14,)),
    Row("RSI", (14,), ("close",), 1, ("RSI",), (14,)),
    Row("WMA", (20,), ("close",), 1, ("WMA",), (20,)),
    Row("DEMA", (20,), ("close",), 1, ("DEMA",), (20,)),
    Row("TEMA", (20,), ("close",), 1, ("TEMA",), (20,)),
    Row("MOM", (10,), ("close",), 1, ("MOM",), (10,)),
    Row("ROC", (10,), ("close",), 1, ("ROC",), (10,)),
    Row("STDDEV", (20, 1.0), ("close",), 1, ("STDDEV",), (20, 1.0)),
    Row("BBANDS", (20, 2.0, 2.0), ("close",), 3, ("BBANDS",), (20, 2.0, 2.0, 0)),
    Row("TRANGE", (), HLC, 1, ("TRANGE",), ()),
    Row("NATR", (14,), HLC, 1, ("NATR",), (14,)),
    Row("WILLR", (14,), HLC, 1, ("WILLR",), (14,)),
    Row("STOCH", (5, 3, 3), HLC, 2, ("STOCH",), (5, 3, 0, 3, 0)),
    Row("STOCHF", (5, 3), HLC, 2, ("STOCHF",), (5, 3, 0)),
    Row("CCI", (14,), HLC, 1, ("CCI",), (14,)),
    Row("DMI", (14,), HLC, 3, ("PLUS_DI", "MINUS_DI", "ADX"), (14,)),
    Row("OBV", (), ("close", "volume"), 1, ("OBV",), ()),
    Row("MFI", (14,), HLC + ("volume",), 1, ("MFI",), (14,)),
    Row("HMA", (20,), ("close",), 1, ("HMA",), (20,)),
    Row("VWAP", (), HLC + ("volume",), 1, ("VWAP",), ()),
    Row("SUPERTREND", (10, 3.0), HLC, 2, ("SUPERTREND",), (10, 3.0)),
    Row("KC", (20, 10, 2.0), HLC, 3, ("KC",), (20, 10, 2.0)),
    Row("DONCHIAN", (20,), ("high", "low"), 3, ("DONCHIAN",), (20,)),
    Row("SAR", (0.02, 0.2), ("high", "low"), 1, ("SAR",), (0.02, 0.2)),
    Row("AROON", (14,), ("high", "low"), 2, ("AROON",), (14,)),
    Row("STOCHRSI", (14, 5, 3), ("close",), 2, ("STOCHRSI",), (14, 5, 3, 0)),
)

MARUNDEX, TALIB_BATCH, TALIB_UPDATE = "marundex_stream", "TA-Lib batch", "TA-Lib handle.update"


def bars(rng: np.random.Generator, shape) -> dict[str, np.ndarray]:
    """A geometric random walk along the last axis, with its high, low and volume."""
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, shape), axis=-1))
    return continued(rng, close)


def continued(rng: np.random.Generator, close: np.ndarray) -> dict[str, np.ndarray]:
    return {"close": close,
            "high": close * (1.0 + rng.uniform(0.0, 0.005, close.shape)),
            "low": close * (1.0 - rng.uniform(0.0, 0.005, close.shape)),
            "volume": rng.uniform(1e3, 1e5, close.shape)}


def up_and_down(last_close) -> tuple[dict, dict]:
    """Two bars after a close: one 0.2 % above it, one 0.2 % below."""
    pair = []
    for move in (1.002, 0.998):
        close = np.asarray(last_close, dtype=np.float64) * move
        pair.append({"close": close, "high": close * 1.003, "low": close * 0.997,
                     "volume": np.full_like(close, 5e4)})
    return pair[0], pair[1]


def compiled(statements: list[str], names: dict[str, object]) -> Callable[[], object]:
    """A function of no arguments that runs the statements, each name bound as a local."""
    source = f"def work({', '.join(f'{k}={k}' for k in names)}):\n" + "".join(f"    {s}\n" for s in statements)
    space = dict(names)
    exec(source, space)
    return space["work"]


def arguments(names: dict, prefix: str, values) -> str:
    """The values as names in `names`, joined for a call."""
    listed = []
    for k, value in enumerate(values):
        names[f"{prefix}{k}"] = value
        listed.append(f"{prefix}{k}")
    return ", ".join(listed)


def construction(row: Row, symbols: int | None = None) -> str:
    given = [repr(p) for p in row.parameters] + [f"{k}={v!r}" for k, v in row.keywords.items()]
    if symbols is not None:
        given.append(f"symbols={symbols}")
    return f"T({', '.join(given)})"


def new_state(row: Row, symbols: int | None = None):
    return compiled([f"return {construction(row, symbols)}"], {"T": getattr(ms, row.type)})()


def two_bars(row: Row, state, up: dict, down: dict) -> Callable[[], object]:
    """A call of `state.update` with the up bar, then one with the down bar, into
    outputs made once."""
    names: dict[str, object] = {"s": state}
    outs = arguments(names, "o", [np.empty_like(up["close"]) for _ in range(row.outputs)])
    return compiled([f"s.update({arguments(names, prefix, [bar[k] for k in row.inputs])}, {outs})"
                     for prefix, bar in (("u", up), ("d", down))], names)


# ----------------------------------------------------------------------------- 1: batch


def series_of(n: int) -> int:
    """How many different series a batch of n bars goes through: enough that their bars
    together are more than a branch predictor learns. Fed the same 10,000 bars over
    and over, it learns their branches, and OBV, MFI and WILLR run 3 to 4 times as
    fast as on bars they have not seen (on either side)."""
    return min(32, max(1, 320_000 // n))


def batch_cases(row: Row, talib, walks: list[dict[str, np.ndarray]]) -> dict[str, Callable[[], object]]:
    """Each side's call over each of the walks in turn: its time divided by their count
    is one batch's."""
    n = walks[0]["close"].shape[0]
    # Written once here, so that no call pays for the first touch of their pages.
    outputs = [np.full(n, np.nan) for _ in range(row.outputs)]
    names: dict[str, object] = {"T": getattr(ms, row.type)}
    outs = arguments(names, "o", outputs)
    ours = compiled([f"{construction(row)}.update({arguments(names, f'i{j}_', [walk[k] for k in row.inputs])}, {outs})"
                     for j, walk in enumerate(walks)], names)
    names = {f"f{k}": getattr(talib, function) for k, function in enumerate(row.talib)}
    given = "".join(f", {p!r}" for p in row.talib_parameters)
    statements = []
    for j, walk in enumerate(walks):
        ins = arguments(names, f"i{j}_", [walk[k] for k in row.inputs])
        statements += [f"f{k}({ins}{given})" for k in range(len(row.talib))]
    return {MARUNDEX: ours, TALIB_BATCH: compiled(statements, names)}


def check_agreement(row: Row, talib, walk: dict[str, np.ndarray]) -> None:
    """Stops the run if the two sides of a row do not compute the same values."""
    if not row.agrees:
        return
    inputs = [walk[name] for name in row.inputs]
    ours = [np.empty(inputs[0].shape[0]) for _ in range(row.outputs)]
    new_state(row).update(*inputs, *ours)
    theirs = []
    for function in row.talib:
        result = getattr(talib, function)(*inputs, *row.talib_parameters)
        theirs += list(result) if isinstance(result, tuple) else [result]
    for k, (got, want) in enumerate(zip(ours, theirs, strict=True)):
        if want.dtype.kind == "i":  # TA-Lib's integer lines hold 0 where its others are NaN
            want = np.where(np.isnan(theirs[0]), np.nan, want)
        real = ~np.isnan(want)
        if not (np.array_equal(np.isnan(got), ~real)
                and np.all(np.abs(got[real] - want[real]) <= 1e-9 * np.maximum(1.0, np.abs(want[real])))):
            raise SystemExit(f"catalogue.py: {row.label}'s output {k} differs from TA-Lib's "
                             f"{'+'.join(row.talib)}{row.talib_parameters}")


# ----------------------------------------------------------------------------- 2: one bar


def one_bar_cases(row: Row, talib_stream, history: dict[str, np.ndarray]) -> dict[str, Callable[[], object]]:
    inputs = [history[name] for name in row.inputs]
    state = new_state(row)
    state.update(*inputs, *[np.empty(HISTORY) for _ in range(row.outputs)])
    up, down = up_and_down(history["close"][-1:])
    ours = two_bars(row, state, up, down)
    # Opened over the history once, as a live feed opens them; each bar is O(1).
    names = {}
    statements = [[], []]
    for k, function in enumerate(row.talib):
        names[f"h{k}"] = getattr(talib_stream, function)(*inputs, *row.talib_parameters)
        for (prefix, bar), listed in zip((("u", up), ("d", down)), statements):
            listed.append(f"h{k}.update({arguments(names, prefix, [float(bar[n][0]) for n in row.inputs])})")
    return {MARUNDEX: ours, TALIB_UPDATE: compiled(statements[0] + statements[1], names)}


# ----------------------------------------------------------------------------- 3: a tick


def tick_cases(rows: list[Row], rng: np.random.Generator, symbols: int) -> dict[str, Callable[[], object]]:
    """Each row's states over a universe, fed 2,520 bars in pieces of 252 (one year of
    the whole universe at a time, not ten), and a call that adds an up and a down bar."""
    states = [new_state(row, symbols) for row in rows]
    close = np.full((symbols, 1), 100.0)
    piece = HISTORY // 10
    outputs = [np.empty((symbols, piece)) for _ in range(3)]
    for _ in range(HISTORY // piece):
        close = close[:, -1:] * np.exp(np.cumsum(rng.normal(0.0, 0.01, (symbols, piece)), axis=1))
        walk = continued(rng, close)
        for row, state in zip(rows, states):
            state.update(*[walk[name] for name in row.inputs], *outputs[:row.outputs])
    up, down = up_and_down(np.ascontiguousarray(close[:, -1]))
    return {row.label: two_bars(row, state, up, down) for row, state in zip(rows, states)}


# ----------------------------------------------------------------------------- driver


def environment(smoke: bool) -> dict:
    import talib

    model = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), platform.processor()) if Path("/proc/cpuinfo").exists() else ""
    return {"python": platform.python_version(), "numpy": np.__version__, "talib": talib.__version__,
            "cpu": model, "cpus": os.cpu_count(), "smoke": smoke}


def run(args: argparse.Namespace) -> None:
    talib, talib_stream = talib_modules()
    if talib is None:
        raise SystemExit("catalogue.py: TA-Lib is not installed: every figure here is against it")
    sizes, symbols = (SMOKE_SIZES, SMOKE_SYMBOLS) if args.smoke else (SIZES, SYMBOLS)
    budget = 0.002 if args.smoke else 0.05
    rows = [row for row in ROWS if hasattr(ms, row.type)]
    skipped = [row.label for row in ROWS if not hasattr(ms, row.type)]
    load_before = os.getloadavg()[0]

    rng = np.random.default_rng(0x63617461)
    walks = {n: [bars(rng, n) for _ in range(series_of(n))] for n in sizes}
    for row in rows:
        check_agreement(row, talib, walks[sizes[0]][0])
    history = bars(rng, HISTORY)
    batch = {n: {row.label: batch_cases(row, talib, walks[n]) for row in rows} for n in sizes}
    one = {row.label: one_bar_cases(row, talib_stream, history) for row in rows}
    tick = tick_cases(rows, rng, symbols)

    # Each configuration: its function, calls a batch of per_call, and the scale from
    # seconds a call to its unit (two bars a call for a bar and a tick).
    timed: dict[tuple, tuple[Callable[[], object], int, float]] = {}
    for n in sizes:
        for label, sides in batch[n].items():
            for side, work in sides.items():
                timed[("batch", n, label, side)] = (work, 10 if n < 100_000 else 1, 1e6 / series_of(n))
    for label, sides in one.items():
        for side, work in sides.items():
            timed[("one bar", label, side)] = (work, 10, 1e9 / 2)
    for label, work in tick.items():
        timed[("tick", label)] = (work, 10, 1e9 / (2 * symbols))
    samples: dict[tuple, list[float]] = {key: [] for key in timed}
    for _ in range(args.rounds):
        for key, (work, calls, scale) in timed.items():
            samples[key].append(per_call(work, budget, calls) * scale)

    report = {
        "rounds": args.rounds, "sizes": list(sizes), "series": [series_of(n) for n in sizes],
        "history": HISTORY, "symbols": symbols,
        "environment": environment(args.smoke) | {"load before": load_before, "load after": os.getloadavg()[0]},
        "skipped": skipped,
        "rows": {row.label: {"type": row.type, "parameters": list(row.parameters), "keywords": row.keywords,
                             "talib": list(row.talib), "talib parameters": list(row.talib_parameters)}
                 for row in rows},
        "batch, µs per call": {f"{n:,}": {label: {side: spread(samples[("batch", n, label, side)])
                                                  for side in sides} for label, sides in batch[n].items()}
                               for n in sizes},
        "one bar, ns per bar": {label: {side: spread(samples[("one bar", label, side)]) for side in sides}
                                for label, sides in one.items()},
        "tick, ns per symbol": {label: spread(samples[("tick", label)]) for label in tick},
    }
    text = tables(report)
    print(text)
    if not args.smoke:
        results = Path(args.results)
        (results / "catalogue.json").write_text(json.dumps(report, indent=1, ensure_ascii=False) + "\n")
        (results / "catalogue.md").write_text(text)


def verdict(ratio: float) -> str:
    return "met" if ratio <= 1.0 else "**missed**"


def tables(report: dict) -> str:
    env = report["environment"]
    cpus = env["cpus"] or 1
    lines = [f"CPython {env['python']}, NumPy {env['numpy']}, TA-Lib {env['talib']}; {env['cpu']}, "
             f"{cpus} CPUs. {report['rounds']} round{'s' if report['rounds'] != 1 else ''}, interleaved; medians, the lowest and highest "
             f"round, and marundex_stream's median over TA-Lib's (below 1: marundex_stream is faster).", ""]
    # Our own process adds one to the load while it runs.
    if env["load before"] > 0.5 or env["load after"] > 1.5:
        lines += [f"The machine was shared: load average {env['load before']:.2f} at the start and "
                  f"{env['load after']:.2f} at the end, on {cpus} CPUs. Times are slower and noisier than "
                  f"on a quiet machine; the ratios, of interleaved rounds, less so.", ""]
    if report["skipped"]:
        lines += [f"Not in the installed marundex_stream, skipped: {', '.join(report['skipped'])}.", ""]
    rows = report["rows"]
    met = {"batch": 0, "one bar": 0}
    total = {"batch": 0, "one bar": 0}

    lines += ["### Batch: a new state and one update, against TA-Lib's batch function", "",
              "Each call on another series: "
              + ", ".join(f"{k} series of n = {n:,}" for n, k in zip(report["sizes"], report["series"]))
              + ", in turn.", "",
              "| type | TA-Lib | n | marundex_stream µs, median | lowest–highest | TA-Lib µs, median "
              "| lowest–highest | × TA-Lib | ≤ TA-Lib |",
              "|---|---|---|---|---|---|---|---|---|"]
    for label in rows:
        for n, table in report["batch, µs per call"].items():
            ours, theirs = table[label][MARUNDEX], table[label][TALIB_BATCH]
            ratio = ours["median"] / theirs["median"]
            met["batch"] += ratio <= 1.0
            total["batch"] += 1
            lines.append(f"| {label} | {' + '.join(rows[label]['talib'])} | {n} | {figure(ours['median'])} "
                         f"| {figure(ours['low'])}–{figure(ours['high'])} | {figure(theirs['median'])} "
                         f"| {figure(theirs['low'])}–{figure(theirs['high'])} | {ratio:.2f} | {verdict(ratio)} |")
    lines.append("")

    lines += [f"### One bar after {report['history']:,} bars of history: update with arrays made once, "
              "against TA-Lib's handle.update", "",
              "| type | TA-Lib | marundex_stream ns, median | lowest–highest | TA-Lib ns, median "
              "| lowest–highest | × TA-Lib | ≤ TA-Lib |",
              "|---|---|---|---|---|---|---|---|"]
    for label, sides in report["one bar, ns per bar"].items():
        ours, theirs = sides[MARUNDEX], sides[TALIB_UPDATE]
        ratio = ours["median"] / theirs["median"]
        met["one bar"] += ratio <= 1.0
        total["one bar"] += 1
        lines.append(f"| {label} | {' + '.join(rows[label]['talib'])} | {figure(ours['median'])} "
                     f"| {figure(ours['low'])}–{figure(ours['high'])} | {figure(theirs['median'])} "
                     f"| {figure(theirs['low'])}–{figure(theirs['high'])} | {ratio:.2f} | {verdict(ratio)} |")
    lines.append("")

    lines += [f"### A tick of {report['symbols']:,} symbols, one bar each, one call", "",
              "| type | ns per symbol, median | lowest–highest |", "|---|---|---|"]
    for label, s in report["tick, ns per symbol"].items():
        lines.append(f"| {label} | {figure(s['median'])} | {figure(s['low'])}–{figure(s['high'])} |")
    lines += ["", f"Targets met: batch {met['batch']} of {total['batch']} (types × n), "
              f"one bar {met['one bar']} of {total['one bar']}.", ""]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--results", default=str(Path(__file__).parent / "results"))
    run(parser.parse_args())


if __name__ == "__main__":
    main()
