"""On the free-threaded build, importing marundex turns the interpreter lock on."""

import pytest

from support import free_threaded_build, run_python, clean_env

pytest.importorskip("marundex")
pytestmark = [
    pytest.mark.subprocess,
    pytest.mark.skipif(not free_threaded_build(), reason="only the free-threaded build can run without the lock"),
]

CODE = """
import sys
before = sys._is_gil_enabled()
import marundex
print(before, sys._is_gil_enabled())
"""


def test_import_enables_the_lock():
    proc = run_python(CODE, env=clean_env(PYTHON_GIL=None))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "True"], (proc.stdout, proc.stderr)


def test_a_user_who_forces_the_lock_off_keeps_it_off():
    proc = run_python(CODE, env=clean_env(PYTHON_GIL="0"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "False"], (proc.stdout, proc.stderr)
