"""Many threads on shared inputs, and many threads making a process's first call.

Each run is a fresh interpreter: with the interpreter lock as marundex sets
it, and on the free-threaded build also with the lock forced off. Results
are compared bit for bit with results computed up front, the registry must be
empty afterwards, and after a concurrent first use marundex and borrow_peer
must be on one registry table.
"""

import subprocess
import sys

import pytest

import concurrency
import peer
from support import check_ok, clean_env, free_threaded_build, run_python

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess

GIL_MODES = ["as-set"] + (["forced-off"] if free_threaded_build() else [])
FIRST_USE_PROCESSES = 20


def environment(mode):
    return clean_env(PYTHON_GIL="0" if mode == "forced-off" else None)


@pytest.mark.parametrize("mode", GIL_MODES)
def test_threads_mixing_all_functions_on_shared_inputs(mode):
    proc = run_python(concurrency.mixed_calls(threads=8, calls=1500), env=environment(mode), timeout=300)
    check_ok(proc)
    if mode == "forced-off":
        assert "gil False" in proc.stdout


@pytest.mark.parametrize("mode", GIL_MODES)
def test_concurrent_first_use(mode):
    code = concurrency.first_use(peer.import_line())
    command = [sys.executable, "-c", code]
    pending = list(range(FIRST_USE_PROCESSES))
    running = []
    while pending or running:
        while pending and len(running) < 2:
            pending.pop()
            running.append(subprocess.Popen(command, env=environment(mode), stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, text=True))
        child = running.pop(0)
        try:
            out, err = child.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            child.kill()
            child.communicate()
            pytest.fail("a first-use process hangs")
        check_ok(subprocess.CompletedProcess(command, child.returncode, out, err))
