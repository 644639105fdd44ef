"""Many symbols at once in a thread pool, with a progress bar.

Each symbol's bars are computed by a worker thread. marundex releases the
interpreter lock while the SMA, EMA and MACD kernels run (ATR keeps it), so on
any build the threads compute side by side; on the free-threaded build run with
PYTHON_GIL=0 to keep the lock off altogether (importing marundex turns it on,
see the README). Nothing is shared between the calls: each symbol has its own
input and output arrays, and no output is read before its call has returned.

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


def compute(symbols: dict[str, Bars], workers: int, progress: bool = True) -> dict[str, dict[str, Series]]:
    """The indicators of every symbol, computed by `workers` threads."""
    results: dict[str, dict[str, Series]] = {}
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(indicators, bars.high, bars.low, bars.close): name for name, bars in symbols.items()}
        for future in tqdm(as_completed(futures), total=len(futures), unit="symbol", disable=not progress):
            results[futures[future]] = future.result()
    return results


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=500)
    parser.add_argument("--days", type=int, default=10 * 252)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    arguments = parser.parse_args(argv)

    symbols = symbol_bars(arguments.symbols, arguments.days)
    started = time.perf_counter()
    results = compute(symbols, arguments.workers, progress=not arguments.no_progress)
    elapsed = time.perf_counter() - started

    lock = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{len(results)} symbols x {arguments.days} bars on {arguments.workers} threads in {elapsed:.3f} s "
          f"(interpreter lock {'on' if lock else 'off'})")
    for name in sorted(results)[:3]:
        last = {key: float(values[-1]) for key, values in results[name].items()}
        print(name, "  ".join(f"{key} {value:.4f}" for key, value in last.items()))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
