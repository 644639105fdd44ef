"""Child programs for the concurrency runs of test_free_threaded_stress.py and
tools/stress.py: each is a code string run in a fresh interpreter, printing
"OK" last when every check held. Every wait in them is bounded."""

MIXED_CALLS = """
import sys, threading
import numpy as np
import marundex
import borrows
import reference
from support import assert_matches

THREADS, CALLS, SEED = SETTINGS
rng = np.random.default_rng(SEED)
series = [rng.normal(100.0, 5.0, int(n)) for n in rng.integers(0, 3000, 6)]
series += [np.where(rng.random(n) < 0.1, np.nan, rng.normal(50.0, 2.0, n)) for n in (0, 1, 57, 200)]


def task(kind, seed):
    r = np.random.default_rng(seed)
    i, j, k = (int(x) for x in r.integers(0, len(series), 3))
    n = len(series[i])
    if kind == "sma" or kind == "ema":
        return kind, (int(r.integers(0, 40)),), (series[i],), 1, n
    if kind == "macd":
        fast = int(r.integers(1, 20))
        return kind, (fast, fast + int(r.integers(1, 20)), int(r.integers(1, 12))), (series[i],), 3, n
    same = [s for s in series if len(s) == n]
    pick = [same[int(x) % len(same)] for x in (j, k)]
    return kind, (int(r.integers(0, 30)),), (series[i] + 0.0, pick[0], pick[1]), 1, n


tasks = [task(kind, seed) for seed in range(24) for kind in ("sma", "ema", "macd", "atr")]


def run(t, outputs):
    kind, periods, inputs, _, _ = t
    getattr(marundex, "indicator_" + kind)(*periods, *inputs, *outputs)


expected = []
for t in tasks:
    outs = [np.empty(t[4]) for _ in range(t[3])]
    run(t, outs)
    expected.append([o.view(np.uint64).copy() for o in outs])
    if t[4] <= 300:  # small enough for the plain reference
        kind, periods, inputs = t[0], t[1], [a.tolist() for a in t[2]]
        if kind == "atr":
            want = [reference.atr(*periods, *inputs, out_length=t[4])]
        elif kind == "macd":
            want = list(reference.macd(*periods, *inputs))
        else:
            want = [getattr(reference, kind)(*periods, *inputs)]
        for got, values in zip(outs, want):
            assert_matches(got, values, kind)

failures = []
barrier = threading.Barrier(THREADS)


def worker(index):
    r = np.random.default_rng(SEED * 1000 + index)
    try:
        barrier.wait(timeout=60)
        for _ in range(CALLS):
            pick = int(r.integers(0, len(tasks)))
            t = tasks[pick]
            outs = [np.empty(t[4]) for _ in range(t[3])]
            if r.random() < 0.125:  # a failing call on the same shared inputs
                outs[0] = np.empty(t[4], np.float32)
                name = "macd_output" if t[0] == "macd" else "output"
                try:
                    run(t, outs)
                except TypeError as err:
                    if str(err) != f"argument '{name}': 'ndarray' object cannot be converted to 'PyArray<T, D>'":
                        failures.append(("message", str(err)))
                else:
                    failures.append(("no error", t[0]))
                continue
            run(t, outs)
            for got, want in zip(outs, expected[pick]):
                if not np.array_equal(got.view(np.uint64), want):
                    failures.append(("result", t[0], t[1]))
    except BaseException as err:
        failures.append(("raised", repr(err)))


threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join(timeout=600)
assert not any(t.is_alive() for t in threads), "a worker hangs"
assert not failures, failures[:5]
registry = borrows.attach(marundex)
for s in series:
    assert registry.nothing_borrowed(s)
print("calls", THREADS * CALLS, "gil", getattr(sys, "_is_gil_enabled", lambda: True)())
print("OK")
"""

FIRST_USE = """
import os, sys, threading, time
import numpy as np
import marundex
import borrow_peer
import borrows
import reference

THREADS = 8
DELAY = (os.getpid() % 8) * 0.0005
barrier = threading.Barrier(THREADS)
failures = []
data = np.array([1.0, 2.0, 4.0, 8.0, 16.0, 32.0])


def check(out, want):
    if not all((a == b) or (a != a and b != b) for a, b in zip(out.tolist(), want)):
        failures.append((out.tolist(), want))


def worker(index):
    try:
        barrier.wait(timeout=60)
        role = index % 4
        if role == 0:
            out = np.empty(6)
            marundex.indicator_sma(period=3, data=data, output=out)
            check(out, reference.sma(3, data.tolist()))
        elif role == 1:
            outs = [np.empty(6) for _ in range(3)]
            marundex.indicator_macd(2, 3, 2, data, *outs)
            check(outs[2], reference.macd(2, 3, 2, data.tolist())[2])
        elif role == 2:
            try:
                marundex.indicator_ema("x", data, np.empty(6))
            except TypeError as err:
                if not str(err).startswith("argument 'period': "):
                    failures.append(str(err))
            out = np.empty(6)
            marundex.indicator_atr(2, data, data, data, out)
            check(out, reference.atr(2, data.tolist(), data.tolist(), data.tolist(), out_length=6))
        else:
            time.sleep(DELAY)  # varies which module creates the registry
            mine = np.zeros(3)
            if borrow_peer.acquire_write(mine) != 0:
                failures.append("peer refused")
            borrow_peer.release_write(mine)
    except BaseException as err:
        failures.append(repr(err))


threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join(timeout=60)
assert not any(t.is_alive() for t in threads), "a thread hangs"
assert not failures, failures
capsule = borrows.published_capsule()
assert borrow_peer.table_address() == borrows._capsule_get_pointer(capsule, borrows.capsule_name(capsule))
x = np.arange(6.0)
assert borrow_peer.acquire_write(x) == 0
try:
    marundex.indicator_sma(2, x, np.empty(6))
except BufferError:
    pass
else:
    raise AssertionError("marundex is on another table than borrow_peer")
borrow_peer.release_write(x)
assert borrows.Registry(capsule).acquire_write(x) == 0
assert borrow_peer.acquire_read(x) == -1
assert borrow_peer.live_borrows() in (-1, 1)
print("peer created", borrow_peer.created())
print("OK")
"""


def mixed_calls(threads=8, calls=1000, seed=0):
    return MIXED_CALLS.replace("SETTINGS", f"{threads}, {calls}, {seed}")


def first_use(peer_import):
    return peer_import + FIRST_USE
