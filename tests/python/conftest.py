"""Shared fixtures for the marundex Python suite.

Nothing here imports marundex at collection time: the reference self-checks
in test_reference.py run even where the extension is not built, and every
module-dependent test file asks for it with ``pytest.importorskip``.
"""

import os
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

try:
    from hypothesis import HealthCheck, settings

    settings.register_profile(
        "marundex",
        max_examples=60,
        deadline=None,
        print_blob=True,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.register_profile("marundex-thorough", parent=settings.get_profile("marundex"), max_examples=600)
    settings.load_profile(os.environ.get("MARUNDEX_HYPOTHESIS_PROFILE", "marundex"))
except ImportError:  # hypothesis-based files skip themselves
    pass


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes noticeably longer than the rest (large arrays)")
    config.addinivalue_line("markers", "subprocess: runs a fresh interpreter")


@pytest.fixture(scope="session")
def mdx():
    return pytest.importorskip("marundex")


@pytest.fixture(scope="session")
def registry(mdx):
    """The process's borrow registry, reached the way another module would."""
    import borrows

    return borrows.attach(mdx)


def pytest_report_header(config):
    try:
        import marundex
    except ImportError as error:
        return f"marundex: not importable ({error})"
    return f"marundex: {marundex.__file__}"
