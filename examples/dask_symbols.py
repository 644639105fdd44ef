"""Past one machine: a Dask DataFrame partitioned by symbol, indicators per partition.

Every partition holds whole symbols (here one, generated where the partition is
built; in real use, one file or one table slice per symbol or per few, e.g. with
`dask.dataframe.read_parquet`). `map_partitions` runs `marundex_ta` on each
partition wherever the scheduler places it: grouped by symbol, the partition's
symbols go through one native call. A symbol must not be split across partitions,
since its indicators need all of its bars in order. The same code runs on this
machine's processes and on a cluster of many machines.

On your own machine it starts a `dask.distributed.LocalCluster` of processes. For a real
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
    import pandas as pd
    from dask.distributed import Client, LocalCluster

    import marundex_ta as ta
    from bars import ATR_PERIOD, EMA_PERIOD, MACD_PERIODS, SMA_PERIOD, generated_bars

PRICES = ("open", "high", "low", "close")


def symbol_frame(symbol: str, days: int = 2 * 252) -> pd.DataFrame:
    """The bars of one symbol, seeded by its name."""
    bars = generated_bars(days, seed=zlib.crc32(symbol.encode()))
    frame = pd.DataFrame({"date": bars.date, **{name: getattr(bars, name) for name in PRICES}})
    frame.insert(0, "symbol", symbol)
    return frame


def with_indicators(partition: pd.DataFrame) -> pd.DataFrame:
    """A partition with SMA, EMA, MACD and ATR added as columns, each symbol
    computed alone (a partition may hold several symbols, whole)."""
    symbols = ta.group(partition, "symbol")
    return partition.join(
        [
            symbols.sma(SMA_PERIOD),
            symbols.ema(EMA_PERIOD),
            symbols.macd(*MACD_PERIODS),
            symbols.atr(ATR_PERIOD),
        ]
    )


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
        # Worker processes, as on a cluster: the work is shipped to them. Its
        # shutdown may log closed connections, which mean nothing here.
        logging.getLogger("distributed").setLevel(logging.ERROR)
        with LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            result = run(client, symbols, arguments.days)

    last = result.groupby("symbol").tail(1).set_index("symbol")
    print(f"{last.shape[0]} symbols, {result.shape[0]} rows")
    added = [name for name in result.columns if name not in ("symbol", "date", *PRICES)]
    print(last[["date", "close", *added]].head(5).to_string(float_format=lambda value: f"{value:.4f}"))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
