"""Past one machine: a Dask DataFrame partitioned by symbol, indicators per partition.

Every partition holds the bars of one symbol (here generated where the partition
is built; in real use, one file or one table slice per symbol, e.g. with
`dask.dataframe.read_parquet`). `map_partitions` runs the indicators on each
partition wherever the scheduler places it, so the same code runs on this
machine's threads and on a cluster of many machines.

On your own machine it starts a `dask.distributed.LocalCluster`. For a real
cluster, start a scheduler (`dask scheduler`) and workers (`dask worker
tcp://HOST:8786`) on machines that each have marundex installed (`pip install
"marundex[dask]"` there, or in the workers' image) together with this
directory's `bars.py` (or `client.upload_file("bars.py")`), then run this script
with `--scheduler tcp://HOST:8786`.

It needs dask and dask.distributed: pip install "marundex[dask]" (default
builds of CPython only: dask has no wheels for free-threaded 3.13).
"""

from __future__ import annotations

import argparse
import logging
import zlib
from collections.abc import Sequence

from extras import packages_of

with packages_of("dask", "dask_symbols", __name__ == "__main__"):
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    from dask.distributed import Client, LocalCluster

    from bars import INDICATORS, Series, generated_bars, indicators

PRICES = ("open", "high", "low", "close")


def symbol_frame(symbol: str, days: int = 2 * 252) -> pd.DataFrame:
    """The bars of one symbol, seeded by its name."""
    bars = generated_bars(days, seed=zlib.crc32(symbol.encode()))
    frame = pd.DataFrame({"date": bars.date, **{name: getattr(bars, name) for name in PRICES}})
    frame.insert(0, "symbol", symbol)
    return frame


def column(frame: pd.DataFrame, name: str) -> Series:
    values: Series = np.ascontiguousarray(frame[name].to_numpy(dtype=np.float64))
    return values


def with_indicators(partition: pd.DataFrame) -> pd.DataFrame:
    """A partition with the indicator columns added, symbol by symbol (a partition
    may hold several symbols, a symbol is never split across partitions)."""
    pieces = []
    for _, rows in partition.groupby("symbol", sort=False):
        values = indicators(column(rows, "high"), column(rows, "low"), column(rows, "close"))
        pieces.append(pd.concat([rows, pd.DataFrame(values, index=rows.index, columns=list(INDICATORS))], axis=1))
    if not pieces:
        return partition.assign(**{name: np.empty(0) for name in INDICATORS})
    return pd.concat(pieces)


def run(client: Client, symbols: Sequence[str], days: int) -> pd.DataFrame:
    """Every symbol's bars with their indicators, computed on `client`'s cluster."""
    frames = dd.from_map(symbol_frame, list(symbols), days=days)
    meta = with_indicators(symbol_frame("META", days=40))
    result = frames.map_partitions(with_indicators, meta=meta.iloc[:0])
    computed: pd.DataFrame = client.compute(result).result()
    return computed


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://HOST:8786")
    parser.add_argument("--symbols", type=int, default=40)
    parser.add_argument("--days", type=int, default=2 * 252)
    parser.add_argument("--workers", type=int, default=2, help="workers of the local cluster")
    arguments = parser.parse_args(argv)
    symbols = [f"SYM{k:04d}" for k in range(arguments.symbols)]

    if arguments.scheduler:
        with Client(arguments.scheduler) as client:
            result = run(client, symbols, arguments.days)
    else:
        # Threads in this process: nothing to ship, quick to start. Its shutdown
        # may log a closed in-process connection, which means nothing here.
        logging.getLogger("distributed").setLevel(logging.WARNING)
        with LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=False,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            result = run(client, symbols, arguments.days)

    last = result.groupby("symbol").tail(1).set_index("symbol")
    print(f"{last.shape[0]} symbols, {result.shape[0]} rows")
    print(last[["date", "close", *INDICATORS]].head(5).to_string(float_format=lambda value: f"{value:.4f}"))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
