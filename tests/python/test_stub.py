"""marundex.pyi describes the module as it is, and is installed where checkers look."""

import ast
import doctest
import pathlib
import sysconfig
import tomllib

import numpy as np
import pytest

from cases import CASES
from support import FUNCTIONS

marundex = pytest.importorskip("marundex")

STUB = pathlib.Path(__file__).resolve().parents[2] / "marundex.pyi"
ARRAY = "numpy.typing.NDArray[numpy.float64]"


def stub_tree():
    return ast.parse(STUB.read_text())


def test_stub_lists_the_module_surface():
    tree = stub_tree()
    functions = [node.name for node in tree.body if isinstance(node, ast.FunctionDef)]
    (exported,) = [node for node in tree.body if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"]
    assert ast.literal_eval(exported.value) == marundex.__all__ == functions
    # Nothing else is declared: the stub adds no names the module lacks.
    others = [node for node in tree.body if not isinstance(node, (ast.FunctionDef, ast.Assign, ast.Import, ast.ImportFrom, ast.Expr))]
    assert others == []


@pytest.mark.parametrize("name", ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"])
def test_stub_signature_matches_the_function(name):
    (node,) = [node for node in stub_tree().body if isinstance(node, ast.FunctionDef) and node.name == name]
    runtime = getattr(marundex, name).__text_signature__.strip("()").split(", ")
    assert [argument.arg for argument in node.args.args] == runtime
    assert not (node.args.kwonlyargs or node.args.vararg or node.args.kwarg or node.args.defaults)
    for argument in node.args.args:
        expected = "SupportsIndex" if argument.arg.endswith("period") else ARRAY
        assert ast.unparse(argument.annotation) == expected, argument.arg
    assert ast.unparse(node.returns) == "None"


def stub_docstring(name):
    (node,) = [node for node in stub_tree().body if isinstance(node, ast.FunctionDef) and node.name == name]
    return ast.get_docstring(node)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_example_gives_what_it_shows(name):
    """The example of each docstring, run as a doctest against the module."""
    test = doctest.DocTestParser().get_doctest(stub_docstring(name), {"numpy": np, name: getattr(marundex, name)},
                                               name, str(STUB), 0)
    assert len(test.examples) == 3
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=lambda text: pytest.fail(text))
    assert runner.failures == 0


FUNCTION_VALUE_ERRORS = [
    case_id for case_id, build in CASES.items()
    if build().exc_type is ValueError and not build().message.startswith("argument ")
]


@pytest.mark.parametrize("case_id", FUNCTION_VALUE_ERRORS)
def test_stub_docstring_gives_each_value_error_text(case_id):
    call = CASES[case_id]()
    assert f'"{call.message}"' in stub_docstring(call.name)


def test_stub_is_installed_beside_the_module_and_as_stub_package():
    where = pathlib.Path(marundex.__file__).parent
    installed = {pathlib.Path(sysconfig.get_paths()[key]) for key in ("purelib", "platlib")}
    if where not in installed:
        pytest.skip(f"marundex is loaded from a build tree ({where}), not from an installation")
    for module in ("marundex", "marundex_stream"):
        source = STUB.parent / f"{module}.pyi"
        for path in (where / f"{module}.pyi", where / f"{module}-stubs" / "__init__.pyi"):
            assert path.read_bytes() == source.read_bytes(), path


def test_stream_stub_declares_the_types_as_they_are():
    ms = pytest.importorskip("marundex_stream")
    tree = ast.parse((STUB.parent / "marundex_stream.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    (exported,) = [node for node in tree.body if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"]
    assert ast.literal_eval(exported.value) == ms.__all__ == list(classes)
    for name, node in classes.items():
        declared = {n.name for n in node.body if isinstance(n, ast.FunctionDef)} - {"__init__"}
        actual = {m for m in dir(getattr(ms, name)) if not m.startswith("_")} | {"__copy__", "__deepcopy__"}
        assert declared == actual, name
        assert all(hasattr(getattr(ms, name), m) for m in declared)


def test_stream_version_is_the_package_version():
    ms = pytest.importorskip("marundex_stream")
    tree = ast.parse((STUB.parent / "marundex_stream.pyi").read_text())
    declared = [node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)]
    package = tomllib.loads((STUB.parent / "pyproject.toml").read_text())["project"]["version"]
    assert (declared, ms.__version__) == (["__version__"], package)
    assert not hasattr(marundex, "__version__")


def test_sdist_ships_the_sources_stub_and_licence_only(tmp_path):
    """The sdist carries what a build needs and no build trees, tests or tools."""
    import shutil
    import subprocess
    import sys
    import tarfile

    # A copy of the checkout with build trees of its own: the checkout's build/
    # holds whole venvs by the time the suite runs, and the backend walks all of
    # it, which took most of a minute under emulation.
    checkout = tmp_path / "checkout"
    scratch = {".git", "build", "_skbuild", "dist"}
    shutil.copytree(STUB.parent, checkout,
                    ignore=lambda folder, names: scratch & set(names) if folder == str(STUB.parent) else [])
    for built in ("build/core/libmarundex-core.a", "build/module/marundex.so", "_skbuild/core/sma.cpp.o",
                  "dist/marundex-0.0.0.tar.gz"):
        (checkout / built).parent.mkdir(parents=True, exist_ok=True)
        (checkout / built).write_bytes(b"")
    proc = subprocess.run(
        [sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))",
         str(tmp_path)], cwd=checkout, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    with tarfile.open(tmp_path / proc.stdout.split()[-1]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    assert {"marundex.pyi", "LICENSE", "README.md", "pyproject.toml", "CMakeLists.txt", "module/module.cpp",
            "core/src/sma.cpp", "runtime/arguments.cpp", "marundex_stream.pyi", "stream/module.cpp",
            "marundex_ta/__init__.py", "marundex_ta/py.typed"} <= names
    tops = {name.split("/")[0] for name in names}
    assert not tops & {"build", "_skbuild", "dist", "tests", "tools", "benchmarks", "examples", ".ci", "docs"}
    assert "mkdocs.yml" not in names
    assert not [name for name in names if name.endswith((".so", ".o", ".a"))]
