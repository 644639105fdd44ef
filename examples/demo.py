"""Computes the four indicators of marundex on daily bars, prints the last rows and draws a chart.

By default the bars are a seeded, generated series of three years of trading days.
With --csv PATH they come from your own file: a header row naming the columns
date, open, high, low and close (any order, other columns ignored), then one bar
per line, dates as YYYY-MM-DD. The chart (price with SMA and EMA, MACD with its
signal line and histogram, ATR) is written as a PNG to --chart PATH.

It needs matplotlib besides marundex: pip install "marundex[examples]" (from a
checkout: pip install ".[examples]"). tools/demo.sh sets up an interpreter that
has everything and runs this script.
"""

from __future__ import annotations

import argparse
import csv
import sys
from collections.abc import Sequence
from pathlib import Path

from extras import packages_of

with packages_of("examples", "demo", __name__ == "__main__"):
    import numpy as np

    from bars import ATR_PERIOD, EMA_PERIOD, MACD_PERIODS, SMA_PERIOD, Bars, Series, generated_bars, indicators

COLUMNS = ("date", "open", "high", "low", "close")


class InputError(Exception):
    """A CSV file that cannot be used, with a message for one line of output."""


def read_csv(path: Path) -> Bars:
    """The bars of a CSV file with the columns date, open, high, low and close."""
    try:
        with path.open(newline="", encoding="utf-8-sig") as file:
            rows = list(csv.reader(file))
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise InputError(f"cannot read {path}: {error}") from None
    rows = [row for row in rows if any(cell.strip() for cell in row)]
    if not rows:
        raise InputError(f"{path} is empty")
    header = [name.strip().lower() for name in rows[0]]
    missing = [name for name in COLUMNS if name not in header]
    if missing:
        raise InputError(f"{path}: missing column {', '.join(repr(name) for name in missing)} (found: {', '.join(header)})")
    if len(rows) == 1:
        raise InputError(f"{path} has a header but no rows")
    where = {name: header.index(name) for name in COLUMNS}
    dates: list[np.datetime64] = []
    prices: dict[str, list[float]] = {name: [] for name in COLUMNS[1:]}
    for line, row in enumerate(rows[1:], start=2):
        cells = {name: row[index].strip() if index < len(row) else "" for name, index in where.items()}
        try:
            dates.append(np.datetime64(cells["date"], "D"))
        except ValueError:
            raise InputError(f"{path} line {line}: 'date' is not a date: {cells['date']!r}") from None
        for name, values in prices.items():
            try:
                values.append(float(cells[name]))
            except ValueError:
                raise InputError(f"{path} line {line}: {name!r} is not a number: {cells[name]!r}") from None
    return Bars(
        np.array(dates, dtype="datetime64[D]"),
        *(np.array(prices[name], dtype=np.float64) for name in COLUMNS[1:]),
    )


def print_table(bars: Bars, values: dict[str, Series], rows: int) -> None:
    headings = ["date", "close", f"sma{SMA_PERIOD}", f"ema{EMA_PERIOD}", "macd", "signal", "hist", f"atr{ATR_PERIOD}"]
    print(f"{headings[0]:<10}" + "".join(f"{name:>10}" for name in headings[1:]))
    columns = [bars.close, *values.values()]
    for i in range(max(0, len(bars.close) - rows), len(bars.close)):
        print(f"{bars.date[i]!s:<10}" + "".join(f"{column[i]:>10.4f}" for column in columns))


def draw_chart(bars: Bars, values: dict[str, Series], title: str, path: Path) -> None:
    # Imported here: a file that cannot be used is reported without waiting for matplotlib.
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
    from matplotlib.figure import Figure

    figure = Figure(figsize=(12, 8.5), dpi=110, layout="constrained")
    price, macd, atr = figure.subplots(3, 1, sharex=True, height_ratios=[3.0, 1.6, 1.2])
    date = bars.date

    price.plot(date, bars.close, color="0.35", linewidth=0.9, label="close")
    price.plot(date, values["sma"], color="tab:blue", linewidth=1.4, label=f"SMA {SMA_PERIOD}")
    price.plot(date, values["ema"], color="tab:orange", linewidth=1.4, label=f"EMA {EMA_PERIOD}")
    price.set_ylabel("price")
    price.set_title(title, loc="left")

    hist = values["hist"]
    colours = np.where(hist >= 0.0, "tab:green", "tab:red")
    macd.bar(date, hist, width=1.0, color=colours, alpha=0.55, label="histogram")
    macd.plot(date, values["macd"], color="tab:blue", linewidth=1.1, label="MACD %d/%d" % MACD_PERIODS[:2])
    macd.plot(date, values["signal"], color="tab:orange", linewidth=1.1, label=f"signal {MACD_PERIODS[2]}")
    macd.axhline(0.0, color="0.6", linewidth=0.7)
    macd.set_ylabel("MACD")

    atr.plot(date, values["atr"], color="tab:purple", linewidth=1.2, label=f"ATR {ATR_PERIOD}")
    atr.set_ylabel("ATR")

    locator = AutoDateLocator()
    atr.xaxis.set_major_locator(locator)
    atr.xaxis.set_major_formatter(ConciseDateFormatter(locator))
    for axes in (price, macd, atr):
        axes.grid(True, color="0.9", linewidth=0.6)
        axes.legend(loc="best", fontsize="small", framealpha=0.85, ncols=3)
        axes.margins(x=0.01)
    figure.savefig(path)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--csv", type=Path, metavar="PATH", help="read the bars from this CSV file")
    parser.add_argument("--chart", type=Path, metavar="PATH", default=Path("marundex-demo.png"),
                        help="where to write the chart (default: %(default)s)")
    parser.add_argument("--days", type=int, default=3 * 252, help="generated bars (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=9, help="seed of the generated bars (default: %(default)s)")
    parser.add_argument("--rows", type=int, default=10, help="rows of the table (default: %(default)s)")
    arguments = parser.parse_args(argv)

    try:
        if arguments.csv is not None:
            bars = read_csv(arguments.csv)
            source = str(arguments.csv)
        else:
            bars = generated_bars(arguments.days, arguments.seed)
            source = f"{arguments.days} generated daily bars, seed {arguments.seed}"
    except InputError as error:
        print(f"demo: {error}", file=sys.stderr)
        return 2
    # draw_chart imports what it uses from matplotlib; a missing matplotlib is
    # reported here, before anything is printed.
    with packages_of("examples", "demo", True):
        import matplotlib  # noqa: F401

    values = indicators(bars.high, bars.low, bars.close)
    print_table(bars, values, arguments.rows)
    try:
        draw_chart(bars, values, f"marundex: {source}", arguments.chart)
    except OSError as error:
        print(f"demo: cannot write the chart: {error}", file=sys.stderr)
        return 2
    print(f"\nchart: {arguments.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
