#!/usr/bin/env python3
"""Long concurrency runs (the bounded ones are tests/python/test_free_threaded_stress.py).

    python tools/stress.py [--threads 8] [--calls 20000] [--first-use 200] [--gil as-set|forced-off|both]

Runs the mixed-call program (THREADS threads x CALLS calls on shared inputs,
results compared bit for bit) and FIRST_USE fresh processes whose 8 threads
make their first call at once, two processes at a time. Prints the figures
and "OK" last.
"""

import argparse
import pathlib
import subprocess
import sys
import sysconfig

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

import concurrency  # noqa: E402
import peer  # noqa: E402
from support import clean_env  # noqa: E402


def check(proc, what):
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines or lines[-1] != "OK":
        sys.exit(f"{what}: rc={proc.returncode}\n{proc.stdout}\n{proc.stderr}")


def first_use(count, env):
    command = [sys.executable, "-c", concurrency.first_use(peer.import_line())]
    created = 0
    running = []
    for started in range(count + 2):
        if started < count:
            running.append(subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                            text=True))
        if len(running) == 2 or (started >= count and running):
            child = running.pop(0)
            try:
                out, err = child.communicate(timeout=120)
            except subprocess.TimeoutExpired:
                child.kill()
                sys.exit("a first-use process hangs")
            check(subprocess.CompletedProcess(command, child.returncode, out, err), "first use")
            created += "peer created True" in out
    return created


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--calls", type=int, default=20000, help="calls per thread")
    parser.add_argument("--first-use", type=int, default=200, help="fresh processes per lock mode")
    parser.add_argument("--gil", choices=["as-set", "forced-off", "both"], default="both")
    args = parser.parse_args()
    modes = ["as-set", "forced-off"] if args.gil == "both" else [args.gil]
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        modes = ["as-set"]
    for mode in modes:
        env = clean_env(PYTHON_GIL="0" if mode == "forced-off" else None)
        code = concurrency.mixed_calls(threads=args.threads, calls=args.calls, seed=7)
        proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=3600)
        check(proc, "mixed calls")
        print(f"{mode}: {args.threads} threads x {args.calls} calls, bit-exact", flush=True)
        created = first_use(args.first_use, env)
        print(f"{mode}: {args.first_use} first-use processes, registry created by borrow_peer in {created}",
              flush=True)
    print("OK")


if __name__ == "__main__":
    main()
