"""Many symbols at once in a thread pool, with a progress bar.

A pool pays only where the measured map (benchmarks/results/scaling.md, 2 CPUs)
shows it. With the interpreter lock off (free-threaded 3.13 run with
PYTHON_GIL=0), 2 threads beat a plain loop from 64 bars a symbol on: 1.5x at
256-1,024 bars, 1.4-2.1x from 4,096 on; 8 threads did no better. With the lock on
(the default build, or free-threaded 3.13 as importing marundex leaves it) a pool
is slower than the loop below about 4,096 bars (a quarter to a third of its speed
at 16), about even up to 16,384, and ahead only from 65,536 on, where 8 threads
(1.3-1.6x) did better than 2 (1.1-1.4x). So by default this runs one thread per
CPU with the lock off, four per CPU with the lock on and series that long, and a
plain loop otherwise. Each task gets a run of consecutive symbols (four tasks a
thread), not one symbol, so that handing out tasks costs little next to them.
Nothing is shared between the calls: each symbol has its own input and output
arrays, and no output is read before its call has returned.

It needs tqdm: pip install "marundex[examples]".
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed

from extras import packages_of

with packages_of("examples", "threaded_symbols", __name__ == "__main__"):
    from tqdm import tqdm

    from bars import Bars, Series, generated_bars, indicators


def symbol_bars(count: int, days: int) -> dict[str, Bars]:
    """`count` symbols with bars of their own, seeded by their number."""
    return {f"SYM{k:04d}": generated_bars(days, seed=1000 + k, price=20.0 + k % 200) for k in range(count)}


# From the measured map: the shortest series from which on a pool beats a plain
# loop, with the interpreter lock off and on, and the threads per CPU it had there.
POOL_PAYS_FROM_BARS = {False: 64, True: 65536}
THREADS_PER_CPU = {False: 1, True: 4}
TASKS_PER_THREAD = 4


def lock_is_on() -> bool:
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def default_workers(days: int) -> int:
    """The pool the map shows paying for series of `days` bars, else 1 (a plain loop)."""
    lock = lock_is_on()
    if days < POOL_PAYS_FROM_BARS[lock]:
        return 1
    return THREADS_PER_CPU[lock] * (os.cpu_count() or 1)


def compute_chunk(symbols: dict[str, Bars], names: list[str]) -> dict[str, dict[str, Series]]:
    return {name: indicators(symbols[name].high, symbols[name].low, symbols[name].close) for name in names}


def compute(symbols: dict[str, Bars], workers: int, progress: bool = True) -> dict[str, dict[str, Series]]:
    """The indicators of every symbol, computed by `workers` threads (1: a plain loop)."""
    names = list(symbols)
    results: dict[str, dict[str, Series]] = {}
    with tqdm(total=len(names), unit="symbol", disable=not progress) as bar:
        if workers <= 1:
            for name in names:
                results.update(compute_chunk(symbols, [name]))
                bar.update()
            return results
        size = max(1, -(-len(names) // (workers * TASKS_PER_THREAD)))
        chunks = [names[k:k + size] for k in range(0, len(names), size)]
        with ThreadPoolExecutor(max_workers=workers) as pool:
            for future in as_completed([pool.submit(compute_chunk, symbols, chunk) for chunk in chunks]):
                done = future.result()
                results.update(done)
                bar.update(len(done))
    return results


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=500)
    parser.add_argument("--days", type=int, default=10 * 252)
    parser.add_argument("--workers", type=int, help="threads (default: as the measured map advises)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    arguments = parser.parse_args(argv)
    workers = arguments.workers or default_workers(arguments.days)

    symbols = symbol_bars(arguments.symbols, arguments.days)
    started = time.perf_counter()
    results = compute(symbols, workers, progress=not arguments.no_progress)
    elapsed = time.perf_counter() - started

    print(f"{len(results)} symbols x {arguments.days} bars on {workers} thread(s) in {elapsed:.3f} s "
          f"(interpreter lock {'on' if lock_is_on() else 'off'})")
    for name in sorted(results)[:3]:
        last = {key: float(values[-1]) for key, values in results[name].items()}
        print(name, "  ".join(f"{key} {value:.4f}" for key, value in last.items()))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
