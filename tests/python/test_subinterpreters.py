"""marundex lives in one interpreter: a subinterpreter's import is refused."""

import pytest

from support import check_ok, run_python

pytest.importorskip("marundex")
pytestmark = pytest.mark.subprocess

MESSAGE = "marundex does not support subinterpreters yet"
# A free-threaded interpreter refuses single-phase modules in every subinterpreter
# itself, before the module is asked; a default build leaves it to the module.
INTERPRETER_MESSAGE = "module marundex does not support loading in subinterpreters"

HARNESS = """
import importlib, json, os, sys, tempfile

try:
    interpreters = importlib.import_module("_interpreters")
    def create():
        return interpreters.create("legacy")
except ImportError:
    interpreters = importlib.import_module("_xxsubinterpreters")
    def create():
        try:
            return interpreters.create(isolated=False)
        except TypeError:
            return interpreters.create()

SUB = '''
try:
    import marundex
except ImportError as err:
    result = ["ImportError", str(err)]
except BaseException as err:
    result = [type(err).__name__, str(err)]
else:
    result = ["imported", ""]
with open(PATH, "w", encoding="utf-8") as f:
    f.write(repr(result))
'''


def import_in_subinterpreter():
    fd, path = tempfile.mkstemp()
    os.close(fd)
    try:
        sub = create()
    except Exception as err:
        print("SKIP", type(err).__name__, err)
        raise SystemExit(0)
    try:
        interpreters.run_string(sub, SUB.replace("PATH", repr(path)))
    finally:
        interpreters.destroy(sub)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    os.unlink(path)
    return eval(text)
"""


def have_subinterpreters():
    import importlib.util

    return any(importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters"))


@pytest.mark.skipif(not have_subinterpreters(), reason="this interpreter offers no subinterpreter module")
def test_import_in_a_subinterpreter_after_the_main_one_is_refused():
    code = (
        HARNESS
        + f"""
import marundex, sysconfig
expected = {MESSAGE!r}
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    expected = {INTERPRETER_MESSAGE!r}
first = import_in_subinterpreter()
assert first == ["ImportError", expected], first
second = import_in_subinterpreter()
assert second == ["ImportError", expected], second
# the main interpreter is unaffected
import numpy as np
out = np.zeros(3)
marundex.indicator_sma(1, np.ones(3), out)
assert out.tolist() == [1.0, 1.0, 1.0]
print("OK")
"""
    )
    proc = run_python(code)
    if proc.stdout.startswith("SKIP"):
        pytest.skip(proc.stdout.strip())
    check_ok(proc)
