"""The examples run, and what they compute is what direct calls of marundex give.

Each example runs once as a script (exit status 0), and its functions are called
here on the same data as direct calls of the four functions, compared bit for bit.
Dask and dask.distributed have no wheels for the free-threaded build (PyYAML,
msgpack and tornado lack them), so their example is skipped there only.
"""

import importlib
import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

marundex = pytest.importorskip("marundex")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(scope="module", autouse=True)
def examples_importable():
    sys.path.insert(0, str(EXAMPLES))
    yield
    sys.path.remove(str(EXAMPLES))


def example(name):
    return importlib.import_module(name)


def run_example(name, *args, cwd=None):
    return subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *args], capture_output=True, text=True,
                          cwd=cwd, timeout=120)


def direct(high, low, close):
    """The indicator set of the examples, by direct calls."""
    out = {name: np.empty_like(close) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    marundex.indicator_sma(20, close, out["sma"])
    marundex.indicator_ema(20, close, out["ema"])
    marundex.indicator_macd(12, 26, 9, close, out["macd"], out["signal"], out["hist"])
    marundex.indicator_atr(14, high, low, close, out["atr"])
    return out


# The examples' indicators as marundex_ta names its columns.
COLUMNS = {"sma": "sma_20", "ema": "ema_20", "macd": "macd_12_26_9", "signal": "macd_signal_12_26_9",
           "hist": "macd_hist_12_26_9", "atr": "atr_14"}


def assert_same_bits(got, expected):
    got = np.ascontiguousarray(got, dtype=np.float64)
    assert got.shape == expected.shape
    assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="matplotlib's wheel throws C++ exceptions that a preloaded AddressSanitizer cannot intercept")
def test_demo_writes_table_and_chart(tmp_path):
    proc = run_example("demo", "--days", "120", "--rows", "3", "--chart", "chart.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert len(proc.stdout.splitlines()) == 1 + 3 + 2
    assert (tmp_path / "chart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_csv_gives_direct_results(tmp_path):
    demo, bars = example("demo"), example("bars")
    made = bars.generated_bars(80, seed=3)
    path = tmp_path / "bars.csv"
    lines = ["Close,date,low,volume,high,open"]
    lines += [f"{float(c)!r},{d},{float(lo)!r},1,{float(h)!r},{float(o)!r}" for d, o, h, lo, c in zip(*made)]
    path.write_text("\n".join(lines) + "\n")
    read = demo.read_csv(path)
    assert list(read.date) == list(made.date)
    expected = direct(made.high, made.low, made.close)
    got = bars.indicators(read.high, read.low, read.close)
    for name, values in expected.items():
        assert_same_bits(got[name], values)


@pytest.mark.parametrize(
    ("content", "message"),
    [
        ("", "{path} is empty"),
        ("date,open,high,low,close\n", "{path} has a header but no rows"),
        ("date,open,high,close\n2024-01-02,1,2,1.5\n", "{path}: missing column 'low' (found: date, open, high, close)"),
        ("date,open,high,low,close\n2024-01-02,1,2,0.5,1.5\n2024-01-03,1,2,x,1.5\n",
         "{path} line 3: 'low' is not a number: 'x'"),
        ("date,open,high,low,close\n2024-01-02,1,2,0.5\n", "{path} line 2: 'close' is not a number: ''"),
        ("date,open,high,low,close\nyesterday,1,2,0.5,1.5\n", "{path} line 2: 'date' is not a date: 'yesterday'"),
    ],
)
def test_demo_refuses_unusable_csv_in_one_line(tmp_path, content, message):
    path = tmp_path / "bars.csv"
    path.write_text(content)
    proc = run_example("demo", "--csv", str(path), cwd=tmp_path)
    assert proc.returncode == 2
    # A free-threaded interpreter warns once that importing marundex turned its lock on.
    errors = [line for line in proc.stderr.splitlines() if "interpreter lock" not in line]
    assert errors == ["demo: " + message.format(path=path)]
    assert proc.stdout == ""
    assert not (tmp_path / "marundex-demo.png").exists()


def test_demo_names_the_extra_of_a_missing_package(tmp_path):
    """Without matplotlib the demo ends in one line that names the extra, before any output."""
    code = ("import runpy, sys; sys.modules['matplotlib'] = None; sys.path.insert(0, sys.argv[1]); "
            "sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0] + '/demo.py', run_name='__main__')")
    proc = subprocess.run([sys.executable, "-c", code, str(EXAMPLES), "--days", "60"], capture_output=True,
                          text=True, cwd=tmp_path, timeout=120)
    assert proc.returncode == 2
    errors = [line for line in proc.stderr.splitlines() if "interpreter lock" not in line]
    assert errors == ["demo: the package 'matplotlib' is not installed; pip install \"marundex[examples]\" brings it "
                      "(from a checkout: pip install \".[examples]\")"]
    assert proc.stdout == ""


def test_readme_quick_start_runs_as_written(capsys):
    """The README's quick start, exactly as it stands there: a long frame grouped by
    symbol through marundex_ta, then the caller-allocated calls."""
    readme = (EXAMPLES.parent / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Quick start\n", 1)[1].split("\n## ", 1)[0]
    namespace: dict = {}
    for code in re.findall(r"```python\n(.*?)```", section, re.DOTALL):
        exec(compile(code, "README.md", "exec"), namespace)
    assert capsys.readouterr().out.endswith("True True\n")
    frame = namespace["df"]
    assert list(frame["symbol"].unique()) == ["AAA", "BBB", "CCC"]
    for _, rows in frame.groupby("symbol"):
        expected = direct(*(rows[name].to_numpy().copy() for name in ("high", "low", "close")))
        assert_same_bits(rows["sma_20"].to_numpy(), expected["sma"])
        assert_same_bits(rows["atr_14"].to_numpy(), expected["atr"])


def test_pandas_columns_match_direct_calls():
    pandas_columns = example("pandas_columns")
    assert run_example("pandas_columns", "--days", "100").returncode == 0
    frame = pandas_columns.bars_frame(300, seed=5)
    result = pandas_columns.with_indicators(frame)
    assert result.index.equals(frame.index)
    expected = direct(*(frame[name].to_numpy().copy() for name in ("High", "Low", "Close")))
    for name, array in expected.items():
        assert_same_bits(result[COLUMNS[name]].to_numpy(), array)


def test_polars_over_matches_direct_calls():
    pytest.importorskip("polars")
    polars_over = example("polars_over")
    assert run_example("polars_over", "--symbols", "2", "--days", "60").returncode == 0
    symbols = ["S1", "S0", "S2"]
    result = polars_over.with_indicators(polars_over.long_frame(symbols, 80))
    for symbol in symbols:
        rows = result.filter(result["symbol"] == symbol)
        expected = direct(*(rows[name].to_numpy().copy() for name in ("high", "low", "close")))
        for name, array in expected.items():
            assert_same_bits(rows[COLUMNS[name]].fill_null(np.nan).to_numpy(), array)


def test_thread_pool_matches_direct_calls():
    threaded = example("threaded_symbols")
    proc = run_example("threaded_symbols", "--symbols", "20", "--days", "300", "--workers", "3")
    assert proc.returncode == 0, proc.stderr
    symbols = threaded.symbol_bars(40, 400)
    results = threaded.compute(symbols, workers=4, progress=False)
    assert sorted(results) == sorted(symbols)
    for name, bars in symbols.items():
        for key, array in direct(bars.high, bars.low, bars.close).items():
            assert_same_bits(results[name][key], array)


def test_dask_partitions_match_direct_calls():
    try:
        dask_symbols = example("dask_symbols")
    except ImportError:
        if not FREE_THREADED:
            raise
        pytest.skip("no cp313t wheels of PyYAML (for dask), msgpack and tornado (for dask.distributed)")
    from dask.distributed import Client, LocalCluster

    proc = run_example("dask_symbols", "--symbols", "4", "--days", "100")
    assert proc.returncode == 0, proc.stderr
    symbols = [f"S{k}" for k in range(6)]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            result = dask_symbols.run(client, symbols, days=150)
    assert sorted(result["symbol"].unique()) == symbols
    for symbol in symbols:
        rows = result[result["symbol"] == symbol]
        bars = dask_symbols.symbol_frame(symbol, days=150)
        expected = direct(*(bars[name].to_numpy().copy() for name in ("high", "low", "close")))
        for name, array in expected.items():
            assert_same_bits(rows[COLUMNS[name]].to_numpy(), array)


def test_live_example_ends_with_live_equal_to_batch():
    pytest.importorskip("marundex_stream")
    proc = run_example("live", "--bars", "60", "--symbols", "20")
    assert proc.returncode == 0, proc.stderr
    assert "live equals batch, bit for bit" in proc.stdout
