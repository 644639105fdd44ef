"""marundex against the limits of the hardware and the peers a user would pick instead.

Driven by benchmarks/run.sh, which provides the venvs and the floor library:

    bench.py run [--smoke] --floor LIB --ft-python PY --py311-python PY --results DIR
    bench.py worker SIDE FUNCTIONS SIZES BATCHES --floor LIB --data DIR
    bench.py threads FUNCTIONS N BATCHES --floor LIB --data DIR
    bench.py verify SIZES --floor LIB --data DIR

(FUNCTIONS and SIZES: comma-separated lists.)
    bench.py allocations        (under LD_PRELOAD of the malloc counter)

Every measurement runs in a process of its own; the driver walks the
configurations round by round, so that machine noise falls on every side alike,
and keeps the best of all batches of a configuration: the machine is shared, and
other work only ever makes a batch slower.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
import warnings
from pathlib import Path

FUNCTIONS = ("sma", "ema", "macd", "atr")
SIZES_FULL = (16, 256, 10_000, 1_000_000, 10_000_000)
SIZES_SMOKE = (16, 1000)
PEERS = ("talib", "pandas")
SIDES = ("marundex", "floor", *PEERS)
PERIOD, FAST, SLOW, SIGNAL, ATR_PERIOD = 20, 12, 26, 9, 14
FLOOR_INDEX = {"sma": 0, "ema": 1, "macd": 2, "atr": 3}
# What floor.cpp measures: the dependency chain alone, the memory traffic alone, and
# the recurrences as plain loops. The floor is the larger of the first two.
FLOOR_KINDS = {"chain": 0, "memory": 1, "plain": 2}
# The length at which a call costs its overhead, compared across interpreters.
CALL_N = 16
# A batch lasts at least this long, so that the clock's resolution does not matter.
BATCH_SECONDS = 0.002


# ----------------------------------------------------------------------------- data


def data_path(directory: Path, n: int) -> Path:
    return directory / f"bars-{n}.npy"


def make_data(directory: Path, n: int) -> None:
    """Bars of a geometric random walk: no NaN and no infinity, as real prices."""
    import numpy as np

    path = data_path(directory, n)
    if path.exists():
        return
    rng = np.random.default_rng(0x6D617275)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    high = close * (1.0 + rng.uniform(0.0, 0.005, n))
    low = close * (1.0 - rng.uniform(0.0, 0.005, n))
    bars = np.ascontiguousarray(np.stack([high, low, close]))
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, bars)
    tmp.rename(path)


def load_data(directory: Path, n: int):
    import numpy as np

    bars = np.load(data_path(directory, n))
    return (np.ascontiguousarray(bars[0]), np.ascontiguousarray(bars[1]),
            np.ascontiguousarray(bars[2]))


# ----------------------------------------------------------------------------- timing


def batches_of(call, batches: int) -> list[float]:
    """ns per call of `batches` batches, each of as many calls as fill BATCH_SECONDS."""
    call()  # warm: first-use caches, page faults of the outputs
    calls = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            call()
        elapsed = time.perf_counter_ns() - t0
        if elapsed >= BATCH_SECONDS * 1e9 or calls >= 1 << 22:
            break
        calls *= 2
    samples = [elapsed / calls]
    for _ in range(batches - 1):
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            call()
        samples.append((time.perf_counter_ns() - t0) / calls)
    return samples


def marundex_call(function: str, high, low, close):
    import numpy as np

    import marundex

    out = [np.empty_like(close) for _ in range(3)]
    if function == "sma":
        return lambda: marundex.indicator_sma(PERIOD, close, out[0])
    if function == "ema":
        return lambda: marundex.indicator_ema(PERIOD, close, out[0])
    if function == "macd":
        # Named, not unpacked from the list: unpacking builds a tuple per call, which
        # at n = 16 costs a quarter of the call itself.
        line, signal, hist = out
        return lambda: marundex.indicator_macd(FAST, SLOW, SIGNAL, close, line, signal, hist)
    return lambda: marundex.indicator_atr(ATR_PERIOD, high, low, close, out[0])


def talib_call(function: str, high, low, close):
    import talib

    if function == "sma":
        return lambda: talib.SMA(close, timeperiod=PERIOD)
    if function == "ema":
        return lambda: talib.EMA(close, timeperiod=PERIOD)
    if function == "macd":
        return lambda: talib.MACD(close, fastperiod=FAST, slowperiod=SLOW, signalperiod=SIGNAL)
    return lambda: talib.ATR(high, low, close, timeperiod=ATR_PERIOD)


def pandas_call(function: str, high, low, close):
    import pandas as pd

    h, lo, c = pd.Series(high), pd.Series(low), pd.Series(close)
    if function == "sma":
        return lambda: c.rolling(PERIOD).mean()
    if function == "ema":
        return lambda: c.ewm(span=PERIOD, adjust=False).mean()
    if function == "macd":

        def macd():
            line = (c.ewm(span=FAST, adjust=False).mean()
                    - c.ewm(span=SLOW, adjust=False).mean())
            signal = line.ewm(span=SIGNAL, adjust=False).mean()
            return line, signal, line - signal

        return macd

    def atr():
        previous = c.shift()
        true_range = pd.concat(
            [h - lo, (h - previous).abs(), (lo - previous).abs()], axis=1).max(axis=1)
        return true_range.ewm(alpha=1.0 / ATR_PERIOD, adjust=False).mean()

    return atr


def ufunc_call(high, low, close):
    import numpy as np

    out = np.empty_like(close)
    return lambda: np.add(high, low, out=out)


def floor_library(library: str):
    lib = ctypes.CDLL(library)
    double_p = ctypes.POINTER(ctypes.c_double)
    lib.floor_run.argtypes = [ctypes.c_int, ctypes.c_int, double_p, double_p, double_p,
                              double_p, double_p, double_p, ctypes.c_size_t, ctypes.c_int,
                              ctypes.c_long, double_p]
    lib.floor_run.restype = None
    return lib


def pointer(a):
    return a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


def floor_into(lib, function: str, kind: str, high, low, close, out, count: int,
               calls: int) -> list[float]:
    """`count` batches of `calls` calls of one floor measure; ns per call of each."""
    import numpy as np

    ns = np.zeros(count)
    lib.floor_run(FLOOR_INDEX[function], FLOOR_KINDS[kind], pointer(high), pointer(low),
                  pointer(close), pointer(out[0]), pointer(out[1]), pointer(out[2]), close.size,
                  count, calls, pointer(ns))
    return list(ns)


def floor_call(library: str, function: str, high, low, close):
    """One call of the plain loop, as a callable for the thread comparison."""
    import numpy as np

    lib = floor_library(library)
    out = [np.empty_like(close) for _ in range(3)]
    return lambda: floor_into(lib, function, "plain", high, low, close, out, 1, 1)


def floor_batches(library: str, function: str, high, low, close,
                  batches: int) -> dict[str, list[float]]:
    """Each floor measure in turn, a batch of each at a time."""
    import numpy as np

    lib = floor_library(library)
    out = [np.empty_like(close) for _ in range(3)]
    samples: dict[str, list[float]] = {}
    for kind in FLOOR_KINDS:
        floor_into(lib, function, kind, high, low, close, out, 1, 1)
        calls = 1
        while (floor_into(lib, function, kind, high, low, close, out, 1, calls)[0] * calls
               < BATCH_SECONDS * 1e9 and calls < 1 << 22):
            calls *= 2
        samples[kind] = floor_into(lib, function, kind, high, low, close, out, batches, calls)
    return samples


def python_name() -> str:
    return platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")


def worker(args) -> None:
    """One side on one or more (function, n): comma-separated lists, every pair."""
    samples: dict[str, object] = {}
    for n in [int(n) for n in args.sizes.split(",")]:
        high, low, close = load_data(Path(args.data), n)
        for function in args.functions.split(","):
            if args.side == "floor":
                got = floor_batches(args.floor, function, high, low, close, args.batches)
            else:
                if args.side == "marundex":
                    call = marundex_call(function, high, low, close)
                elif args.side == "talib":
                    call = talib_call(function, high, low, close)
                elif args.side == "pandas":
                    call = pandas_call(function, high, low, close)
                else:
                    call = ufunc_call(high, low, close)
                got = batches_of(call, args.batches)
            samples[f"{function} {n}"] = got
    print(json.dumps({"samples": samples, "python": python_name()}))


def threads(args) -> None:
    """Two threads each on its own series against one thread doing both in turn."""
    with warnings.catch_warnings():
        # Loading a module that relies on the interpreter lock re-enables it, and says so.
        warnings.simplefilter("ignore")
        import marundex  # noqa: F401
    high, low, close = load_data(Path(args.data), args.n)
    series = [(high, low, close), (high * 1.001, low * 1.001, close * 1.001)]

    def one_thread(calls) -> float:
        t0 = time.perf_counter_ns()
        calls[0]()
        calls[1]()
        return time.perf_counter_ns() - t0

    def two_threads(calls) -> float:
        barrier = threading.Barrier(3)

        def body(call):
            barrier.wait()
            call()

        workers = [threading.Thread(target=body, args=(call,)) for call in calls]
        for w in workers:
            w.start()
        barrier.wait()
        t0 = time.perf_counter_ns()
        for w in workers:
            w.join()
        return time.perf_counter_ns() - t0

    results = {}
    for function in args.functions.split(","):
        calls = [marundex_call(function, *s) for s in series]
        # The same through the floor library: ctypes releases the interpreter lock, so
        # this is what the machine gives two threads at this moment.
        floors = [floor_call(args.floor, function, *s) for s in series]
        for call in calls + floors:
            call()
        one, two, floor_one, floor_two = [], [], [], []
        for _ in range(args.batches):
            one.append(one_thread(calls))
            two.append(two_threads(calls))
            floor_one.append(one_thread(floors))
            floor_two.append(two_threads(floors))
        results[function] = {"one": one, "two": two, "floor_one": floor_one,
                             "floor_two": floor_two}
    print(json.dumps({"results": results, "python": python_name()}))


def verify(args) -> None:
    """The floor's chain and plain loop compute marundex's results, bit for bit."""
    import numpy as np

    import marundex

    lib = floor_library(args.floor)
    for n, function in [(int(n), f) for n in args.sizes.split(",") for f in FUNCTIONS]:
        high, low, close = load_data(Path(args.data), n)
        mine = [np.empty_like(close) for _ in range(3)]
        if function == "sma":
            marundex.indicator_sma(PERIOD, close, mine[0])
        elif function == "ema":
            marundex.indicator_ema(PERIOD, close, mine[0])
        elif function == "macd":
            marundex.indicator_macd(FAST, SLOW, SIGNAL, close, *mine)
        else:
            marundex.indicator_atr(ATR_PERIOD, high, low, close, mine[0])
        used = 3 if function == "macd" else 1
        for kind in ("chain", "plain"):
            floor = [np.full_like(close, 7.0) for _ in range(3)]
            floor_into(lib, function, kind, high, low, close, floor, 1, 1)
            for a, b in zip(mine[:used], floor[:used]):
                if a.view(np.uint64).tobytes() != b.view(np.uint64).tobytes():
                    sys.exit(f"floor ({kind}) and marundex differ for {function} at n={n}")
    print(json.dumps({"verified": args.sizes}))


def allocations(args) -> None:
    """Allocations per call in the steady state, counted by the preloaded malloc hook."""
    import numpy as np

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import marundex  # noqa: F401
    count = ctypes.CDLL(None).malloc_count
    count.restype = ctypes.c_ulong
    close = 100.0 + np.arange(16.0)
    high, low = close + 1.0, close - 1.0
    per_call = {}
    for function in FUNCTIONS:
        call = marundex_call(function, high, low, close)
        for _ in range(1000):
            call()
        calls = range(100_000)
        before = count()
        for _ in calls:
            call()
        per_call[function] = (count() - before) / len(calls)
    print(json.dumps({"per_call": per_call, "python": platform.python_version()}))


# ----------------------------------------------------------------------------- driver


def spawn(python: str, *argv: str, env: dict | None = None, script: str = __file__) -> dict:
    """Runs `script` with `argv` under `python`; its last line of output, as JSON."""
    result = subprocess.run([python, "-W", "ignore", script, *argv], capture_output=True,
                            text=True, check=False, env=env)
    if result.returncode != 0:
        sys.exit(f"{Path(script).stem}: {' '.join(argv)} failed:\n{result.stderr.strip()}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def machine() -> dict:
    model, cores = platform.processor() or "unknown", os.cpu_count()
    try:
        text = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        fields = dict(line.split(":", 1) for line in text.splitlines() if ":" in line)
        model = fields.get("Model name", model).strip()
        cores = int(fields.get("CPU(s)", cores))
    except (OSError, subprocess.CalledProcessError, ValueError):
        pass
    return {"cpu": model, "cores": cores, "kernel": platform.release()}


def versions() -> dict:
    import numpy
    import pandas
    import talib

    return {"python": platform.python_version(), "numpy": numpy.__version__,
            "pandas": pandas.__version__, "ta-lib": talib.__version__}


def measure_plan(sizes, others: list[str], round_index: int, smoke: bool) -> list[tuple]:
    """One round of (python, side, functions, sizes), the sides rotated by the round.

    A full run measures each configuration in a process of its own; the smoke run
    takes one process per python and side, which is all that it needs to see that
    every side runs.
    """
    offset = round_index % len(SIDES)
    sides = SIDES[offset:] + SIDES[:offset]
    plan = []
    if smoke:
        plan += [("main", side, FUNCTIONS, sizes) for side in sides]
        plan.append(("main", "ufunc", ("add",), sizes))
    else:
        for n in sizes:
            for function in FUNCTIONS:
                plan += [("main", side, (function,), (n,)) for side in sides]
            plan.append(("main", "ufunc", ("add",), (n,)))
    # The cost of a call on the other interpreters, against np.add there.
    for name in others:
        if smoke:
            plan.append((name, "marundex", FUNCTIONS, (CALL_N,)))
        else:
            plan += [(name, "marundex", (function,), (CALL_N,)) for function in FUNCTIONS]
        plan.append((name, "ufunc", ("add",), (CALL_N,)))
    return plan


def listed(values) -> str:
    return ",".join(str(v) for v in values)


def run(args) -> None:
    sizes = SIZES_SMOKE if args.smoke else SIZES_FULL
    rounds = 1 if args.smoke else args.rounds
    batches = 1 if args.smoke else args.batches
    data = Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    for n in sizes:
        make_data(data, n)

    common = ["--floor", args.floor, "--data", str(data)]
    spawn(sys.executable, "verify", listed(n for n in sizes if n <= 1_000_000), *common)

    pythons = {"main": sys.executable, "ft313": args.ft_python}
    if args.py311_python:
        pythons["py311"] = args.py311_python
    others = [name for name in pythons if name != "main"]

    allocated = {}
    for python in pythons.values():
        result = spawn(python, "allocations", env={**os.environ, "LD_PRELOAD": args.malloc_count})
        allocated[result["python"]] = result["per_call"]
        if any(result["per_call"].values()):
            sys.exit(f"bench: a call allocates in the steady state: {result}")

    samples: dict[tuple, list[float]] = {}
    labels = {}
    for r in range(rounds):
        plan = measure_plan(sizes, others, r, args.smoke)
        for done, (name, side, functions, ns) in enumerate(plan, 1):
            print(f"\rround {r + 1}/{rounds}: {done}/{len(plan)} {name} {side} {listed(functions)} "
                  f"{listed(ns)}{' ' * 20}", end="", file=sys.stderr, flush=True)
            result = spawn(pythons[name], "worker", side, listed(functions), listed(ns),
                           str(batches), *common)
            labels[name] = result["python"]
            for configuration, got in result["samples"].items():
                function, n = configuration.split()
                if side == "floor":
                    for kind, values in got.items():
                        samples.setdefault((name, kind, function, int(n)), []).extend(values)
                else:
                    samples.setdefault((name, side, function, int(n)), []).extend(got)
    print(file=sys.stderr)

    thread_n = 1000 if args.smoke else 10_000_000
    got: dict[tuple, list[float]] = {}
    for _ in range(rounds):
        # One process per function in a full run, as every other measurement.
        for functions in [FUNCTIONS] if args.smoke else [(f,) for f in FUNCTIONS]:
            result = spawn(args.ft_python, "threads", listed(functions), str(thread_n),
                           str(max(batches, 3)), *common)
            for function, measured in result["results"].items():
                for key, values in measured.items():
                    got.setdefault((function, key), []).extend(values)
    thread_rows = {}
    for function in FUNCTIONS:
        m = {key: min(got[(function, key)])
             for key in ("one", "two", "floor_one", "floor_two")}
        thread_rows[function] = {"n": thread_n, "one_thread_ns": m["one"],
                                 "two_threads_ns": m["two"], "speedup": m["one"] / m["two"],
                                 "floor_speedup": m["floor_one"] / m["floor_two"],
                                 "python": result["python"]}

    # The best batch: noise from other work on the machine only adds time. The medians
    # are kept in the JSON, beside it.
    best = {key: min(values) for key, values in samples.items()}
    medians = {key: statistics.median(values) for key, values in samples.items()}
    rows = []
    for n in sizes:
        ufunc = best[("main", "ufunc", "add", n)]
        for function in FUNCTIONS:
            mine = best[("main", "marundex", function, n)]
            row = {"function": function, "n": n, "ufunc_ns": ufunc,
                   "marundex_over_ufunc": mine / ufunc}
            for side in ("marundex", *FLOOR_KINDS, *PEERS):
                row[f"{side}_ns"] = best[("main", side, function, n)]
                row[f"{side}_median_ns"] = medians[("main", side, function, n)]
            row["floor_ns"] = max(row["chain_ns"], row["memory_ns"])
            row["bound_by"] = "chain" if row["chain_ns"] >= row["memory_ns"] else "memory"
            row["marundex_over_floor"] = mine / row["floor_ns"]
            row["plain_over_floor"] = row["plain_ns"] / row["floor_ns"]
            for peer in PEERS:
                row[f"{peer}_over_marundex"] = row[f"{peer}_ns"] / mine
            rows.append(row)

    calls = {}
    for name in ("py311", "main", "ft313"):
        if name not in labels:
            continue
        ufunc = best[(name, "ufunc", "add", CALL_N)]
        calls[labels[name]] = {
            "ufunc_ns": ufunc,
            **{f"{function}_ns": best[(name, "marundex", function, CALL_N)]
               for function in FUNCTIONS},
            **{f"{function}_over_ufunc": best[(name, "marundex", function, CALL_N)] / ufunc
               for function in FUNCTIONS}}

    report = {"date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
              "machine": machine(), "versions": versions(), "smoke": args.smoke,
              "rounds": rounds, "batches_per_round": batches, "rows": rows,
              "calls_at_16": calls, "threads": thread_rows, "allocations_per_call": allocated}
    text = table(report)
    print(text)
    if args.smoke:
        return
    results = Path(args.results)
    results.mkdir(parents=True, exist_ok=True)
    (results / "results.json").write_text(json.dumps(report, indent=1) + "\n")
    (results / "table.md").write_text(text + "\n")
    chart(report, results / "time-per-call.png")
    print(f"written: {results / 'results.json'}, {results / 'table.md'}, "
          f"{results / 'time-per-call.png'}")


NOTES = """\
ns/el: nanoseconds per input element; ns/call: per call. Every time is the best batch
of all rounds (the machine is shared; other work only makes a batch slower).
chain: the defined recurrence alone, with everything that is not on its chain of
dependent rounded operations computed before the clock starts (SMA's differences,
EMA's alpha × x, ATR's true ranges, MACD's seeds), storing every result. memory:
reading the inputs and writing the outputs once, a plain streaming loop over the same
bytes. Both in C++, compiled as the core is (-O3 -ffp-contract=off, no fast-math),
timed inside C++ (no call overhead). The floor is the larger of the two: no code
computing these exact results can beat either. "×floor" is marundex's time over the
floor; "plain ×floor" is the same for the recurrences written as plain loops straight
from the definitions (what a kernel costs without care for the machine). The chain's
and the plain loop's outputs are checked equal to marundex's bit for bit.
"÷ufunc" is marundex's time over np.add(a, b, out=c) on the same n; "TA-Lib ÷",
"pandas ÷" are the peer's time over marundex's (above 1: marundex is faster).
Peers compute the same kind of work but define some outputs differently: TA-Lib and
pandas allocate and return new arrays (marundex writes into preallocated ones). TA-Lib's
SMA, EMA and ATR agree with marundex's to within rounding; its MACD line starts only where
its signal line does, its signal is seeded differently, and a NaN input makes every later
EMA value NaN. pandas' ewm(adjust=False) seeds with the first value instead of a window
mean, its rolling mean is compensated, and its ATR here is the three-candidate true range
with max(axis=1) smoothed by ewm(alpha=1/14).
Threads: free-threaded 3.13, two threads each on its own series against one thread
computing both in turn; speedup = one-thread time / two-thread time. "plain loop's
speedup" is the same for the plain loops called through ctypes (which releases the
interpreter lock), measured in the same process in turn with marundex: what the
machine gives two threads at that moment."""


def table(report: dict) -> str:
    header = ("| function | n | chain ns/el | memory ns/el | marundex ns/el | ×floor | "
              "plain ×floor | marundex ns/call | ÷ufunc | TA-Lib ÷ | pandas ÷ |")
    lines = [header, "|" + "---|" * (header.count("|") - 1)]
    for row in report["rows"]:
        n = row["n"]
        chain, memory = f"{row['chain_ns'] / n:.3g}", f"{row['memory_ns'] / n:.3g}"
        # The measure that sets the floor is in bold.
        if row["bound_by"] == "chain":
            chain = f"**{chain}**"
        else:
            memory = f"**{memory}**"
        lines.append(
            f"| {row['function'].upper()} | {n:,} | {chain} | {memory} | "
            f"{row['marundex_ns'] / n:.3g} | {row['marundex_over_floor']:.2f} | "
            f"{row['plain_over_floor']:.2f} | {row['marundex_ns']:,.0f} | "
            f"{row['marundex_over_ufunc']:.2f} | {row['talib_over_marundex']:.2f} | "
            f"{row['pandas_over_marundex']:.1f} |")
    if report["calls_at_16"]:
        lines.append("")
        names = list(report["calls_at_16"])
        lines.append(f"| n = {CALL_N} | " + " | ".join(
            f"Python {name} ns/call | ÷ufunc" for name in names) + " |")
        lines.append("|---|" + "---|---|" * len(names))
        for function in ("add", *FUNCTIONS):
            cells = []
            for name in names:
                c = report["calls_at_16"][name]
                if function == "add":
                    cells.append(f"{c['ufunc_ns']:,.0f} | 1")
                else:
                    cells.append(f"{c[function + '_ns']:,.0f} | {c[function + '_over_ufunc']:.2f}")
            label = "np.add(out=)" if function == "add" else function.upper()
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("| threads | n | one thread, both series (ms) | two threads (ms) | speedup | "
                 "plain loop's speedup |")
    lines.append("|---|---|---|---|---|---|")
    for function, row in report["threads"].items():
        lines.append(f"| {function.upper()} | {row['n']:,} | {row['one_thread_ns'] / 1e6:.2f} | "
                     f"{row['two_threads_ns'] / 1e6:.2f} | {row['speedup']:.2f} | "
                     f"{row['floor_speedup']:.2f} |")
    m, v = report["machine"], report["versions"]
    lines.append("")
    lines.append(f"Machine: {m['cpu']}, {m['cores']} CPUs; Python {v['python']}, NumPy "
                 f"{v['numpy']}, pandas {v['pandas']}, TA-Lib {v['ta-lib']}; "
                 f"{report['rounds']} rounds × {report['batches_per_round']} batches, best batch.")
    counted = ", ".join(f"Python {v}: {max(c.values()):g}"
                        for v, c in report["allocations_per_call"].items())
    lines.append(f"Allocations per call in the steady state (malloc/realloc counted): {counted}.")
    lines.append("")
    lines.append(NOTES)
    return "\n".join(lines)


def chart(report: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(11, 8), sharex=True)
    styles = {"floor": ("floor (chain or memory)", "k", "--"),
              "marundex": ("marundex", "C0", "-"), "talib": ("TA-Lib", "C1", "-"),
              "pandas": ("pandas", "C2", "-"), "ufunc": ("np.add(out=) yardstick", "0.6", ":")}
    for ax, function in zip(axes.flat, FUNCTIONS):
        rows = [r for r in report["rows"] if r["function"] == function]
        sizes = [r["n"] for r in rows]
        for side, (label, color, style) in styles.items():
            ax.loglog(sizes, [r[f"{side}_ns"] for r in rows], style, color=color, marker="o",
                      markersize=4, label=label)
        ax.set_title(function.upper())
        ax.grid(True, which="major", alpha=0.4)
        ax.set_xlabel("n (elements)")
        ax.set_ylabel("time per call (ns)")
    axes.flat[0].legend(loc="upper left", fontsize=8)
    m = report["machine"]
    fig.suptitle(f"Time per call against series length ({m['cpu']}, {m['cores']} CPUs; lower "
                 "is better)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run")
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--batches", type=int, default=5)
    p.add_argument("--floor", required=True)
    p.add_argument("--ft-python", required=True)
    p.add_argument("--py311-python")
    p.add_argument("--malloc-count", required=True)
    p.add_argument("--data", default="/tmp/marundex-bench")
    p.add_argument("--results", default=str(Path(__file__).parent / "results"))
    p = sub.add_parser("worker")
    p.add_argument("side", choices=(*SIDES, "ufunc"))
    p.add_argument("functions")
    p.add_argument("sizes")
    p.add_argument("batches", type=int)
    p.add_argument("--floor", required=True)
    p.add_argument("--data", required=True)
    p = sub.add_parser("threads")
    p.add_argument("functions")
    p.add_argument("n", type=int)
    p.add_argument("batches", type=int)
    p.add_argument("--floor", required=True)
    p.add_argument("--data", required=True)
    sub.add_parser("allocations")
    p = sub.add_parser("verify")
    p.add_argument("sizes")
    p.add_argument("--floor", required=True)
    p.add_argument("--data", required=True)
    args = parser.parse_args()
    {"run": run, "worker": worker, "threads": threads, "verify": verify,
     "allocations": allocations}[args.command](args)


if __name__ == "__main__":
    main()
