#!/usr/bin/env python3
"""Soak run: many calls of each marundex function, half of them failing at a
rotating check (binding, conversion, contiguity, length, writeable).

Checks that resident memory after a warm-up grows by less than 1 MiB, that the
reference counts of every argument are unchanged, that every failure raises
the same exception each time, and that the borrow registry is empty at the
end. Prints the figures and "OK" last.

    python tools/soak.py [--calls N]    (default 10**6 calls per function)
"""

import argparse
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

import numpy as np  # noqa: E402

import marundex  # noqa: E402
import borrows  # noqa: E402
from support import FUNCTIONS, INPUTS, OUTPUTS, PARAMS, valid_arguments  # noqa: E402

N = 64
KINDS = ["binding", "conversion", "contiguity", "length", "writeable"]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls_for(name):
    """The passing call and one failing call per kind, as (args, kwargs, expected type)."""
    good = valid_arguments(name, N)
    params = PARAMS[name]
    first_input = next(p for p in params if p in INPUTS)
    first_output = next(p for p in params if p in OUTPUTS)
    variants = {"ok": (list(good.values()), {}, None)}
    for kind in KINDS:
        a = dict(good)
        extra = []
        expected = ValueError
        if kind == "binding":
            extra, expected = [1], TypeError
        elif kind == "conversion":
            a[params[0]], expected = "x", TypeError
        elif kind == "contiguity":
            a[first_input] = np.repeat(good[first_input], 2)[::2]
        elif kind == "length":
            if name == "indicator_atr":
                a["low"] = good["low"][:-1]
            else:
                a[first_output] = np.zeros(N + 1)
        else:
            frozen = np.zeros(N)
            frozen.flags.writeable = False
            a[first_output] = frozen
        positional = list(a.values()) + extra
        # half of the failing calls pass their arrays by keyword
        kwargs = {}
        if kind in ("contiguity", "writeable"):
            kwargs = {p: positional[i] for i, p in enumerate(params) if p in OUTPUTS or p in INPUTS}
            positional = [v for i, v in enumerate(positional) if i >= len(params) or params[i] not in kwargs]
        variants[kind] = (positional, kwargs, expected)
    return variants


def soak(calls):
    fns = {name: getattr(marundex, name) for name in FUNCTIONS}
    plans = {name: calls_for(name) for name in FUNCTIONS}
    objects = [o for plan in plans.values() for args, kwargs, _ in plan.values()
               for o in list(args) + list(kwargs.values()) if not isinstance(o, int)]
    counts = [sys.getrefcount(o) for o in objects]
    messages = {}
    warm_up = max(calls // 10, 1000)
    start = None
    for i in range(calls):
        if i == warm_up:
            start = resident_bytes()
        kind = "ok" if i % 2 == 0 else KINDS[(i // 2) % len(KINDS)]
        for name in FUNCTIONS:
            args, kwargs, expected = plans[name][kind]
            try:
                fns[name](*args, **kwargs)
            except BaseException as err:  # noqa: BLE001 - anything unexpected is reported
                if type(err) is not expected:
                    raise AssertionError(f"{name}/{kind}: {err!r}") from err
                text = messages.setdefault((name, kind), str(err))
                if text != str(err):
                    raise AssertionError(f"{name}/{kind}: {err!r}, before {text!r}") from err
            else:
                if expected is not None:
                    raise AssertionError(f"{name}/{kind} did not fail")
    growth = resident_bytes() - start
    assert [sys.getrefcount(o) for o in objects] == counts, "reference counts changed"
    registry = borrows.attach(marundex)
    for plan in plans.values():
        for args, kwargs, _ in plan.values():
            for o in list(args) + list(kwargs.values()):
                if isinstance(o, np.ndarray) and o.flags.writeable:
                    assert registry.nothing_borrowed(o), "a borrow was left behind"
    return growth


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=10**6, help="calls per function")
    calls = parser.parse_args().calls
    growth = soak(calls)
    print(f"calls per function {calls}, resident growth after warm-up {growth} bytes")
    assert growth < 1 << 20, f"resident memory grew by {growth} bytes"
    print("OK")


if __name__ == "__main__":
    main()
