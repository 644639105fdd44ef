"""Where threads pay: wall time against series length, workers and interpreter.

The same work at every length, 2**22 bars in all (262,144 symbols of 16 bars
down to 4 symbols of 1,048,576), SMA 20,
EMA 20, MACD 12/26/9 and ATR 14 of every symbol, one pass at a time, in four
modes:

- a plain loop on CPython 3.13;
- a thread pool on CPython 3.13;
- a thread pool on free-threaded 3.13 with the interpreter lock as the module
  sets it (on: importing marundex turns it on);
- a thread pool on free-threaded 3.13 with PYTHON_GIL=0 (the lock stays off).

Pools of 1, 2, cores and 4 × cores threads; each thread gets four tasks of
consecutive symbols. Every configuration is measured once per round, and the
rounds interleave all of them, so that what the machine does meanwhile falls on
all alike; the report gives the median over the rounds and the lowest and highest.

Driven by benchmarks/run.sh --scaling:

    scaling.py run --python PY --ft-python PY --results DIR [--rounds N]
                   [--compare LABEL PY]...
    (--compare adds a pool on another free-threaded build with PYTHON_GIL=0, such
    as one of marundex before a change, in the same interleaved rounds)
    scaling.py serve     (one measuring process: a request a line on stdin)

A benchmark, not a test: nothing here decides pass or fail on a time.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import datetime
import json
import os
import statistics
import subprocess
import sys
import time
import warnings
from pathlib import Path

import bench  # beside this file: the machine facts
from universe import marundex_pass  # the same pass over the symbols as the universe's

TOTAL_BARS = 2**22
LENGTHS = (16, 64, 256, 1024, 4096, 16384, 65536, 262144, 1048576)
TASKS_PER_THREAD = 4


def worker_counts() -> list[int]:
    cores = os.cpu_count() or 1
    return sorted({1, 2, cores, 4 * cores})


# (label, which process, pool?)
MODES = (
    ("loop, 3.13", "py313", False),
    ("pool, 3.13", "py313", True),
    ("pool, 3.13t, lock as set", "ft313", True),
    ("pool, 3.13t, PYTHON_GIL=0", "ft313-nogil", True),
)


# ----------------------------------------------------------------------------- serving


def series(length: int):
    """high, low, close of TOTAL_BARS // length symbols: a seeded random walk."""
    import numpy as np

    symbols = TOTAL_BARS // length
    rng = np.random.default_rng(length)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (symbols, length)), axis=1))
    spread = rng.uniform(0.0, 0.01, (symbols, length)) * close
    return close + spread, close - spread, close


def serve() -> None:
    with warnings.catch_warnings():
        # Loading a module that relies on the interpreter lock turns it on, and says so.
        warnings.simplefilter("ignore")
        import marundex  # noqa: F401  before the pool: the lock as the import sets it
    import numpy as np

    data, pools, warm = {}, {}, set()
    print(json.dumps({"python": bench.python_name(),
                      "gil": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True}),
          flush=True)
    for line in sys.stdin:
        length, workers = (int(field) for field in line.split())
        fresh = length not in data
        if fresh:
            data.clear()  # one length's arrays at a time
            high, low, close = series(length)
            data[length] = (high, low, close, [np.empty_like(close) for _ in range(6)])
        high, low, close, out = data[length]
        symbols = len(close)
        if workers == 0:
            def run():
                marundex_pass(high, low, close, out, range(symbols))
        else:
            pool = pools.setdefault(workers, concurrent.futures.ThreadPoolExecutor(max_workers=workers))
            size = max(1, -(-symbols // (workers * TASKS_PER_THREAD)))
            chunks = [range(k, min(k + size, symbols)) for k in range(0, symbols, size)]

            def run():
                for done in [pool.submit(marundex_pass, high, low, close, out, chunk)
                             for chunk in chunks]:
                    done.result()
        if fresh or (length, workers) not in warm:
            # New outputs are untouched pages: whichever configuration came first
            # after a change of length would pay for faulting them in.
            run()
        if (length, workers) not in warm:
            warm.add((length, workers))
            if workers:
                # The pool computes what a loop computes.
                mine = [np.empty_like(close) for _ in range(6)]
                marundex_pass(high, low, close, mine, range(symbols))
                if any(a.view(np.uint64).tobytes() != b.view(np.uint64).tobytes() for a, b in zip(out, mine)):
                    sys.exit("scaling: a pool's results differ from the loop's")
        t0 = time.perf_counter()
        run()
        print(json.dumps({"seconds": time.perf_counter() - t0}), flush=True)


# ----------------------------------------------------------------------------- driving


class Server:
    def __init__(self, python: str, gil: str | None):
        env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
        if gil is not None:
            env["PYTHON_GIL"] = gil
        self.process = subprocess.Popen([python, "-W", "ignore", __file__, "serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)
        self.facts = self.read()

    def read(self) -> dict:
        line = self.process.stdout.readline()
        if not line:
            sys.exit(f"scaling: a measuring process ended (status {self.process.wait()})")
        return json.loads(line)

    def measure(self, length: int, workers: int) -> float:
        self.process.stdin.write(f"{length} {workers}\n")
        self.process.stdin.flush()
        return self.read()["seconds"]

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def configurations(modes) -> list[tuple[str, int]]:
    """(mode, threads), 0 threads being the loop."""
    return [(label, workers) for label, _, pool in modes for workers in (worker_counts() if pool else [0])]


def crossover(rows: list[dict], label: str, loop: str) -> int | None:
    """The shortest length from which on `label` beats the loop at every length."""
    found = None
    for row in reversed(rows):
        if row["median"][label] < row["median"][loop]:
            found = row["length"]
        else:
            break
    return found


def run(args) -> None:
    servers = {"py313": Server(args.python, None), "ft313": Server(args.ft_python, None),
               "ft313-nogil": Server(args.ft_python, "0")}
    modes = list(MODES)
    for label, python in args.compare:
        servers[label] = Server(python, "0")
        modes.append((f"pool, 3.13t, PYTHON_GIL=0, {label}", label, True))
    process_of = {label: name for label, name, _ in modes}
    configs = configurations(modes)
    times = {(length, label, workers): [] for length in LENGTHS for label, workers in configs}
    for round_index in range(args.rounds):
        print(f"scaling: round {round_index + 1} of {args.rounds}", file=sys.stderr, flush=True)
        for length in LENGTHS:
            for label, workers in configs:
                times[(length, label, workers)].append(servers[process_of[label]].measure(length, workers))
    facts = {name: server.facts for name, server in servers.items()}
    for server in servers.values():
        server.close()

    def key(label, workers):
        return label if workers == 0 else f"{label} ×{workers}"

    rows = []
    for length in LENGTHS:
        row = {"length": length, "symbols": TOTAL_BARS // length, "median": {}, "low": {}, "high": {}}
        for label, workers in configs:
            values = times[(length, label, workers)]
            row["median"][key(label, workers)] = statistics.median(values)
            row["low"][key(label, workers)] = min(values)
            row["high"][key(label, workers)] = max(values)
        rows.append(row)
    loop = key(MODES[0][0], 0)
    cores = os.cpu_count() or 1
    crossings = {key(label, workers): crossover(rows, key(label, workers), loop)
                 for label, workers in configs if workers}
    report = {"date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
              "machine": bench.machine(), "total_bars": TOTAL_BARS, "rounds": args.rounds,
              "interpreters": facts, "rows": rows, "crossover": crossings}
    text = table(report, loop, cores)
    print(text)
    results = Path(args.results)
    results.mkdir(parents=True, exist_ok=True)
    (results / "scaling.json").write_text(json.dumps(report, indent=1) + "\n")
    (results / "scaling.md").write_text(text + "\n")
    chart(report, loop, cores, results / "scaling.png", modes)
    print(f"written: {results / 'scaling.json'}, {results / 'scaling.md'}, {results / 'scaling.png'}")


def table(report: dict, loop: str, cores: int) -> str:
    columns = list(report["rows"][0]["median"])
    lines = ["| bars a symbol | symbols | " + " | ".join(columns) + " |",
             "|---|---|" + "---|" * len(columns)]
    for row in report["rows"]:
        base = row["median"][loop]
        cells = [f"{row['median'][loop] * 1e3:.0f} ms ({row['low'][loop] * 1e3:.0f}–{row['high'][loop] * 1e3:.0f})"]
        for column in columns[1:]:
            cells.append(f"{base / row['median'][column]:.2f}× ({base / row['high'][column]:.2f}–"
                         f"{base / row['low'][column]:.2f})")
        lines.append(f"| {row['length']:,} | {row['symbols']:,} | " + " | ".join(cells) + " |")
    m = report["machine"]
    lines += ["", f"Machine: {m['cpu']}, {m['cores']} CPUs. {report['total_bars']:,} bars a pass; the loop's "
              f"column is its median wall time (lowest–highest) over {report['rounds']} rounds, the others "
              "the speed-up over the loop's median (from their slowest to their fastest round).", "",
              "Shortest series from which on a pool beats the loop at every longer length:"]
    for column, length in report["crossover"].items():
        lines.append(f"- {column}: {'never' if length is None else f'{length:,} bars'}")
    return "\n".join(lines)


def chart(report: dict, loop: str, cores: int, path: Path, modes) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 5.5))
    lengths = [row["length"] for row in report["rows"]]
    for index, (label, _, pool) in enumerate(modes[1:], start=1):
        for workers, style in ((cores, "-"), (4 * cores, ":")):
            column = f"{label} ×{workers}"
            ax.semilogx(lengths, [row["median"][loop] / row["median"][column] for row in report["rows"]],
                        style, color=f"C{index}", marker="o", markersize=4, label=column)
    ax.axhline(1.0, color="k", linewidth=0.8, label=loop)
    ax.set_xlabel("bars a symbol (the same bars in all at every length)")
    ax.set_ylabel("speed-up over the loop on 3.13 (median)")
    ax.grid(True, which="major", alpha=0.4)
    ax.legend(fontsize=8)
    m = report["machine"]
    ax.set_title(f"When a thread pool pays ({m['cpu']}, {m['cores']} CPUs; higher is better)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run")
    p.add_argument("--python", required=True)
    p.add_argument("--ft-python", required=True)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--compare", nargs=2, action="append", default=[], metavar=("LABEL", "PYTHON"))
    p.add_argument("--results", default=str(Path(__file__).parent / "results"))
    sub.add_parser("serve")
    args = parser.parse_args()
    run(args) if args.command == "run" else serve()


if __name__ == "__main__":
    main()
