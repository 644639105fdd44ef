"""The interpreter lock is released around the SMA, EMA and MACD kernels and long stream
updates, held for ATR.

No timing is involved.  With a switch interval of 100 s the interpreter never
takes the lock away from the main thread by itself, so a helper thread that
spins on ``counter += 1; time.sleep(0)`` can only run while the main thread
has given the lock up.  Whether the counter moves across one call tells
whether that call released the lock.
"""

import sys
import threading
import time

import numpy as np
import pytest

from support import gil_enabled

marundex = pytest.importorskip("marundex")
marundex_stream = pytest.importorskip("marundex_stream")

N = 4_000_000
ATTEMPTS = 5


class Spinner:
    def __init__(self):
        self.counter = 0
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop:
            self.counter += 1
            time.sleep(0)


@pytest.fixture
def spinner():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    spin = Spinner()
    try:
        spin.thread.start()
        # let it get going; sleeping gives the lock up
        deadline = 200
        while spin.counter == 0 and deadline:
            time.sleep(0.005)
            deadline -= 1
        assert spin.counter > 0, "helper thread never ran"
        yield spin
    finally:
        spin.stop = True
        sys.setswitchinterval(previous)
        spin.thread.join(timeout=30)


@pytest.fixture(scope="module")
def long_series():
    rng = np.random.default_rng(11)
    return rng.normal(100.0, 3.0, N)


def calls(long_series):
    data = long_series
    out = [np.empty(N), np.empty(N), np.empty(N)]
    return {
        "indicator_sma": lambda: marundex.indicator_sma(20, data, out[0]),
        "indicator_ema": lambda: marundex.indicator_ema(20, data, out[0]),
        "indicator_macd": lambda: marundex.indicator_macd(12, 26, 9, data, *out),
        "indicator_atr": lambda: marundex.indicator_atr(14, data + 1.0, data - 1.0, data, out[0]),
        # a live state keeps the lock only for a few bars
        "stream RSI": lambda: marundex_stream.RSI(14).update(data, out[0]),
        "stream universe ATR": lambda: marundex_stream.ATR(14, symbols=4).update(
            *(a.reshape(4, -1) for a in (data + 1.0, data - 1.0, data, out[0]))),
    }


def advance_during(spin, fn):
    before = spin.counter
    fn()
    return spin.counter - before


@pytest.mark.slow
def test_the_method_sees_a_released_lock(spinner):
    # control: sleeping releases the lock, a pure Python loop does not
    assert any(advance_during(spinner, lambda: time.sleep(0.02)) > 0 for _ in range(ATTEMPTS))
    if gil_enabled():
        assert advance_during(spinner, lambda: sum(range(200_000))) == 0


@pytest.mark.slow
@pytest.mark.parametrize(
    "name", ["indicator_sma", "indicator_ema", "indicator_macd", "stream RSI", "stream universe ATR"])
def test_lock_is_released_around_the_kernel(spinner, long_series, name):
    call = calls(long_series)[name]
    call()  # the first call in the process may do one-off work
    moved = [advance_during(spinner, call) for _ in range(ATTEMPTS)]
    assert any(m > 0 for m in moved), moved


@pytest.mark.slow
def test_lock_is_held_through_atr(spinner, long_series):
    if not gil_enabled():
        pytest.skip("without the interpreter lock every thread runs all the time")
    arrays = (long_series + 1.0, long_series - 1.0, long_series)
    out = np.empty(N)
    marundex.indicator_atr(14, *arrays, out)
    moved = [advance_during(spinner, lambda: marundex.indicator_atr(14, *arrays, out)) for _ in range(3)]
    assert moved == [0, 0, 0]


@pytest.mark.slow
def test_other_threads_run_while_one_computes(long_series):
    # The same thing seen from a second computing thread: both finish and
    # their results agree with a single-threaded run.
    expected = np.empty(N)
    marundex.indicator_ema(30, long_series, expected)
    results = [np.empty(N) for _ in range(2)]
    threads = [threading.Thread(target=marundex.indicator_ema, args=(30, long_series, results[i])) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        assert np.array_equal(r.view(np.uint64), expected.view(np.uint64))
