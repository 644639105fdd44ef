"""Random arguments for every parameter: a call returns None or raises one of
TypeError, OverflowError, ValueError and BufferError (or, unchanged, what an
argument's own ``__index__`` raised), and writes nothing when it raises.
Longer runs: tools/fuzz.py."""

import pytest

from support import FUNCTIONS

marundex = pytest.importorskip("marundex")
pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import fuzzing  # noqa: E402


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # np.bool_ periods
@pytest.mark.parametrize("name", FUNCTIONS)
@settings(max_examples=300)
@given(data=st.data())
def test_random_arguments(name, data):
    fuzzing.check_call(marundex, name, data)
