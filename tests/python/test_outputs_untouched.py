"""A call that fails writes nothing: not to its outputs, not to its inputs."""

import pytest

from cases import CASES
from support import deep_snapshot, outcome

marundex = pytest.importorskip("marundex")


@pytest.mark.parametrize("case_id", list(CASES))
def test_failing_call_leaves_every_array_as_it_was(case_id):
    call = CASES[case_id]()
    arrays = call.inputs + call.outputs
    before = [deep_snapshot(a) for a in arrays]
    result = outcome(getattr(marundex, call.name), *call.args, **call.kwargs)
    assert result is not None, "the call was expected to fail"
    exc_type, message, args = result
    assert exc_type is call.exc_type
    assert message == call.message
    after = [deep_snapshot(a) for a in arrays]
    for i, (b, a) in enumerate(zip(before, after)):
        assert a == b, f"array {i} of {case_id} was written"
