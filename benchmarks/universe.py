"""The whole-universe benchmark: every indicator for every symbol of a market.

5,000 symbols × 2,520 daily bars (ten years), SMA 20, EMA 20, MACD 12/26/9 and
ATR 14 for each symbol, the wall time of one pass over the universe:

- marundex in a plain loop on one thread (CPython 3.13 and free-threaded 3.13);
- marundex in a thread pool on free-threaded 3.13, with the interpreter lock as
  the module sets it (it declares that it needs the lock, so importing it turns
  the lock on) and with PYTHON_GIL=0 (the lock stays off);
- TA-Lib's wrapper in the same loop (CPython 3.13);
- pandas, column-wise over one frame per series (CPython 3.13).

Driven by benchmarks/run.sh --universe:

    universe.py run --python PY --ft-python PY --data DIR --results DIR [--repeats N]
    universe.py measure MODE --data DIR --repeats N

A benchmark, not a test: nothing here decides pass or fail on a time.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import datetime
import json
import statistics
import os
import subprocess
import sys
import time
import warnings
from pathlib import Path

import bench  # beside this file: the same process handling and machine facts

SYMBOLS, BARS = 5000, 2520
PERIOD, FAST, SLOW, SIGNAL, ATR_PERIOD = 20, 12, 26, 9, 14
# Symbols per task of the thread pool: enough work per task that handing tasks out
# costs nothing next to it, and enough tasks that the threads finish together.
CHUNK = 50


def data_path(directory: Path) -> Path:
    return directory / f"universe-{SYMBOLS}x{BARS}.npy"


def make_universe(directory: Path) -> None:
    """Daily bars of a seeded random walk per symbol: open, high, low, close."""
    import numpy as np

    path = data_path(directory)
    if path.exists():
        return
    rng = np.random.default_rng(0x756E6976)
    start = rng.uniform(5.0, 500.0, (SYMBOLS, 1))
    volatility = rng.uniform(0.005, 0.03, (SYMBOLS, 1))
    close = start * np.exp(np.cumsum(rng.normal(0.0, 1.0, (SYMBOLS, BARS)) * volatility, axis=1))
    opening = np.concatenate([start, close[:, :-1]], axis=1) * (
        1.0 + rng.normal(0.0, 0.002, (SYMBOLS, BARS)))
    high = np.maximum(opening, close) * (1.0 + rng.uniform(0.0, 0.01, (SYMBOLS, BARS)))
    low = np.minimum(opening, close) * (1.0 - rng.uniform(0.0, 0.01, (SYMBOLS, BARS)))
    bars = np.ascontiguousarray(np.stack([opening, high, low, close]))
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, bars)
    tmp.rename(path)


def load_universe(directory: Path):
    import numpy as np

    bars = np.load(data_path(directory))
    return bars[1], bars[2], bars[3]


# ----------------------------------------------------------------------------- one pass


def marundex_pass(high, low, close, out, symbols) -> None:
    import marundex

    sma, ema, line, signal, hist, atr = out
    for s in symbols:
        c = close[s]
        marundex.indicator_sma(PERIOD, c, sma[s])
        marundex.indicator_ema(PERIOD, c, ema[s])
        marundex.indicator_macd(FAST, SLOW, SIGNAL, c, line[s], signal[s], hist[s])
        marundex.indicator_atr(ATR_PERIOD, high[s], low[s], c, atr[s])


def talib_pass(high, low, close) -> list:
    import talib

    results = []
    for s in range(SYMBOLS):
        c = close[s]
        results.append((talib.SMA(c, timeperiod=PERIOD), talib.EMA(c, timeperiod=PERIOD),
                        talib.MACD(c, fastperiod=FAST, slowperiod=SLOW, signalperiod=SIGNAL),
                        talib.ATR(high[s], low[s], c, timeperiod=ATR_PERIOD)))
    return results


def pandas_pass(high, low, close):
    import pandas as pd

    # One column per symbol: pandas computes each window function over every column
    # in one call, which is how a frame of a whole market is used.
    h, lo, c = pd.DataFrame(high.T), pd.DataFrame(low.T), pd.DataFrame(close.T)
    sma = c.rolling(PERIOD).mean()
    ema = c.ewm(span=PERIOD, adjust=False).mean()
    line = c.ewm(span=FAST, adjust=False).mean() - c.ewm(span=SLOW, adjust=False).mean()
    signal = line.ewm(span=SIGNAL, adjust=False).mean()
    hist = line - signal
    previous = c.shift()
    true_range = pd.concat([h - lo, (h - previous).abs(), (lo - previous).abs()]).groupby(
        level=0).max()
    atr = true_range.ewm(alpha=1.0 / ATR_PERIOD, adjust=False).mean()
    return sma, ema, line, signal, hist, atr


# ----------------------------------------------------------------------------- measuring


def outputs(close):
    import numpy as np

    return [np.empty_like(close) for _ in range(6)]


def pool_pass(executor, high, low, close, out) -> None:
    chunks = [range(k, min(k + CHUNK, SYMBOLS)) for k in range(0, SYMBOLS, CHUNK)]
    for done in [executor.submit(marundex_pass, high, low, close, out, chunk) for chunk in chunks]:
        done.result()


def measure(args) -> None:
    with warnings.catch_warnings():
        # Loading a module that relies on the interpreter lock turns it on, and says so.
        warnings.simplefilter("ignore")
        if args.mode in ("loop", "pool"):
            import marundex  # noqa: F401
    import numpy as np

    high, low, close = load_universe(Path(args.data))
    executor = None
    if args.mode == "loop":
        out = outputs(close)

        def one_pass():
            marundex_pass(high, low, close, out, range(SYMBOLS))
    elif args.mode == "pool":
        out = outputs(close)
        executor = concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count())

        def one_pass():
            pool_pass(executor, high, low, close, out)
    elif args.mode == "talib":
        def one_pass():
            talib_pass(high, low, close)
    else:
        def one_pass():
            pandas_pass(high, low, close)

    one_pass()  # warm: first use of every path, page faults of the outputs
    seconds = []
    for _ in range(args.repeats):
        t0 = time.perf_counter()
        one_pass()
        seconds.append(time.perf_counter() - t0)
    if args.mode == "pool":
        # The pool computes what the loop computes.
        mine = outputs(close)
        marundex_pass(high, low, close, mine, range(SYMBOLS))
        for a, b in zip(out, mine):
            if a.view(np.uint64).tobytes() != b.view(np.uint64).tobytes():
                sys.exit("universe: the thread pool's results differ from the loop's")
        executor.shutdown()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(json.dumps({"seconds": seconds, "python": bench.python_name(), "gil": gil, "threads": os.cpu_count() if args.mode == "pool" else 1}))


# ----------------------------------------------------------------------------- driver


# (label, python, mode, PYTHON_GIL or None)
def cases(args) -> list[tuple]:
    return [
        ("marundex, loop, 3.13", args.python, "loop", None),
        ("marundex, loop, free-threaded 3.13", args.ft_python, "loop", None),
        ("marundex, thread pool, free-threaded 3.13, lock as the module sets it",
         args.ft_python, "pool", None),
        ("marundex, thread pool, free-threaded 3.13, PYTHON_GIL=0", args.ft_python, "pool", "0"),
        ("TA-Lib, loop, 3.13", args.python, "talib", None),
        ("pandas, frame per series, 3.13", args.python, "pandas", None),
    ]


NOTES = """\
Wall time of one pass over 5,000 symbols × 2,520 daily bars (a seeded random walk,
OHLC): SMA 20, EMA 20, MACD 12/26/9 and ATR 14 for every symbol, the median of
the rounds, each pass after a warm one in a process of its own. marundex writes
into arrays allocated once; TA-Lib allocates its results per call; pandas computes
each indicator over one frame that holds every symbol as a column. The thread pool
has one thread per CPU and hands out 50 symbols per task; its results are checked
equal to the loop's bit for bit. SMA, EMA and MACD run with the interpreter lock
released; ATR keeps it, and on free-threaded 3.13 importing marundex turns the lock
on unless PYTHON_GIL=0. TA-Lib and pandas define some values differently (see the
notes of the main table): TA-Lib's MACD line starts at the signal's start and its
signal is seeded otherwise; pandas seeds every ewm with the first value, not a
window mean, and its rolling mean is compensated."""


def run(args) -> None:
    data = Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    subprocess.run([args.python, __file__, "prepare", "--data", str(data)], check=True)
    # Round after round, one pass of every configuration in a fresh process each, so
    # that what the machine does meanwhile falls on all alike; the median counts.
    results = {label: [] for label, *_ in cases(args)}
    for round_index in range(args.repeats):
        for label, python, mode, gil in cases(args):
            print(f"universe: round {round_index + 1}, {label}", file=sys.stderr, flush=True)
            env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
            if gil is not None:
                env["PYTHON_GIL"] = gil
            results[label].append(bench.spawn(python, "measure", mode, "--data", str(data),
                                              "--repeats", "1", env=env, script=__file__))
    rows = []
    for label, python, mode, gil in cases(args):
        first, seconds = results[label][0], [r["seconds"][0] for r in results[label]]
        rows.append({"case": label, "mode": mode, "python": first["python"],
                     "gil": first["gil"], "threads": first["threads"],
                     "seconds": statistics.median(seconds), "lowest": min(seconds),
                     "highest": max(seconds), "all_seconds": seconds})
    base = rows[0]["seconds"]
    for row in rows:
        row["over_marundex_loop"] = row["seconds"] / base
    report = {"date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
              "machine": bench.machine(), "symbols": SYMBOLS, "bars": BARS, "repeats": args.repeats,
              "rows": rows}
    lines = ["| configuration | lock | threads | wall time (s), median | lowest–highest | × marundex loop on 3.13 |",
             "|---|---|---|---|---|---|"]
    for row in rows:
        lines.append(f"| {row['case']} | {'on' if row['gil'] else 'off'} | {row['threads']} | "
                     f"{row['seconds']:.3f} | {row['lowest']:.3f}–{row['highest']:.3f} | "
                     f"{row['over_marundex_loop']:.2f} |")
    m = report["machine"]
    lines += ["", f"Machine: {m['cpu']}, {m['cores']} CPUs; {args.repeats} rounds of one pass of each "
              "configuration, interleaved; the median.",
              "", NOTES]
    text = "\n".join(lines)
    print(text)
    results = Path(args.results)
    results.mkdir(parents=True, exist_ok=True)
    (results / "universe.json").write_text(json.dumps(report, indent=1) + "\n")
    (results / "universe.md").write_text(text + "\n")
    print(f"written: {results / 'universe.json'}, {results / 'universe.md'}")


def prepare(args) -> None:
    make_universe(Path(args.data))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run")
    p.add_argument("--python", required=True)
    p.add_argument("--ft-python", required=True)
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--data", required=True)
    p.add_argument("--results", default=str(Path(__file__).parent / "results"))
    p = sub.add_parser("measure")
    p.add_argument("mode", choices=("loop", "pool", "talib", "pandas"))
    p.add_argument("--data", required=True)
    p.add_argument("--repeats", type=int, required=True)
    p = sub.add_parser("prepare")
    p.add_argument("--data", required=True)
    args = parser.parse_args()
    {"run": run, "measure": measure, "prepare": prepare}[args.command](args)


if __name__ == "__main__":
    main()
