"""A bounded soak run (tools/soak.py): half the calls fail at a rotating check;
memory, reference counts and the registry must come out as they went in."""

import os
import pathlib
import subprocess
import sys

import pytest

from support import check_ok, clean_env

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "soak.py"


def test_soak():
    env = clean_env()
    if "libasan" in env.get("LD_PRELOAD", ""):
        # AddressSanitizer keeps freed memory in quarantine, which would count as growth
        env["ASAN_OPTIONS"] = ":".join(
            filter(None, [env.get("ASAN_OPTIONS"), "quarantine_size_mb=0", "thread_local_quarantine_size_kb=0"])
        )
    proc = subprocess.run([sys.executable, str(SCRIPT), "--calls", "20000"], capture_output=True, text=True,
                          timeout=300, env=env)
    check_ok(proc)
