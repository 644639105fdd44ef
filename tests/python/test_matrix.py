"""The tooling's matrix (tools/matrix.toml): the file as committed reads, a row
that does not fit is refused by its name, before any script acts on it, and
pyproject.toml tells users of the same interpreters."""

import importlib.util
import pathlib
import re
import tomllib

import pytest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
spec = importlib.util.spec_from_file_location("matrix", TOOLS / "matrix.py")
matrix = importlib.util.module_from_spec(spec)
spec.loader.exec_module(matrix)

GOOD = (TOOLS / "matrix.toml").read_text()


def test_the_committed_matrix_reads():
    m = matrix.load(str(TOOLS / "matrix.toml"))
    assert m.names(wheel=True)
    assert m.names(role="tools")


@pytest.mark.parametrize(
    "old, new, named",
    [
        ('name = "py312"\nseries = "3.12"\ncpu = "x86_64"', 'name = "py312"\nseries = "3.12"\ncpu = "riscv64"', "py312"),
        ('name = "py315"\nseries = "3.15"', 'name = "py315"\nseries = "3.15"\nsource = "trixie"', "py315"),
        ('suite = "smoke"', 'suite = "quick"', "aarch64-py314"),
        ('name = "py311"', 'name = "py313"', "py313"),
    ],
    ids=["unknown cpu", "root target with a source", "unknown suite", "second row of a name"],
)
def test_a_bad_row_is_refused_by_name(tmp_path, old, new, named):
    assert old in GOOD
    bad = tmp_path / "matrix.toml"
    bad.write_text(GOOD.replace(old, new, 1))
    with pytest.raises(matrix.MatrixError, match=f"target '{named}'"):
        matrix.load(str(bad))


def test_pyproject_names_the_series_and_builds_of_the_wheels():
    # What the index tells users must be what the release builds wheels for.
    m = matrix.load(str(TOOLS / "matrix.toml"))
    wheels = [m.target(name) for name in m.names(wheel=True)]
    with open(TOOLS.parent / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    classifiers = project["classifiers"]
    series = {c.rsplit(" :: ", 1)[1] for c in classifiers
              if re.fullmatch(r"Programming Language :: Python :: [0-9]+\.[0-9]+", c)}
    assert series == {row["series"] for row in wheels}
    free_threading = [c for c in classifiers if c.startswith("Programming Language :: Python :: Free Threading ::")]
    assert bool(free_threading) == any(row["free_threaded"] for row in wheels)
    lowest = min((row["series"] for row in wheels), key=lambda s: tuple(map(int, s.split("."))))
    assert project["requires-python"] == f">={lowest}"
