"""How failures reach Python: exception shape, and a clean state afterwards."""

import numpy as np
import pytest

from cases import CASES
from support import FUNCTIONS, assert_matches, expected_outputs, outcome, valid_arguments

marundex = pytest.importorskip("marundex")

VALUE_ERROR_CASES = [case_id for case_id, build in CASES.items() if build().exc_type is ValueError]


@pytest.mark.parametrize("case_id", VALUE_ERROR_CASES)
def test_value_errors_carry_exactly_their_message(case_id):
    call = CASES[case_id]()
    with pytest.raises(ValueError) as info:
        getattr(marundex, call.name)(*call.args, **call.kwargs)
    err = info.value
    assert type(err) is ValueError
    assert str(err) == call.message
    assert err.args == (call.message,)
    assert err.__cause__ is None


@pytest.mark.parametrize("case_id", list(CASES))
def test_notes_say_how_to_fix_and_leave_the_message_alone(case_id):
    """A note where a newcomer gets stuck (conversion, contiguity, read-only output,
    shared memory, period range), none elsewhere; the messages are checked above."""
    call = CASES[case_id]()
    with pytest.raises(call.exc_type) as info:
        getattr(marundex, call.name)(*call.args, **call.kwargs)
    assert getattr(info.value, "__notes__", []) == ([call.note] if call.note else [])


@pytest.mark.parametrize("case_id", list(CASES))
def test_the_next_call_after_a_failure_works(case_id):
    call = CASES[case_id]()
    assert outcome(getattr(marundex, call.name), *call.args, **call.kwargs) is not None
    arguments = valid_arguments(call.name, 9, seed=5)
    expected = expected_outputs(call.name, arguments)
    assert getattr(marundex, call.name)(*arguments.values()) is None
    for out, values in expected.items():
        assert_matches(arguments[out], values, out)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_many_failures_in_a_row_leave_the_module_usable(name):
    ids = [case_id for case_id in CASES if CASES[case_id]().name == name]
    for _ in range(3):
        for case_id in ids:
            call = CASES[case_id]()
            assert outcome(getattr(marundex, call.name), *call.args, **call.kwargs) is not None
    arguments = valid_arguments(name, 16, seed=6)
    expected = expected_outputs(name, arguments)
    getattr(marundex, name)(*arguments.values())
    for out, values in expected.items():
        assert_matches(arguments[out], values, out)


def test_failures_on_other_threads_leave_this_thread_working():
    import threading

    errors = []

    def worker():
        for case_id in CASES:
            call = CASES[case_id]()
            if outcome(getattr(marundex, call.name), *call.args, **call.kwargs) is None:
                errors.append(case_id)

    threads = [threading.Thread(target=worker) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    out = np.zeros(4)
    marundex.indicator_sma(2, np.array([1.0, 3.0, 5.0, 7.0]), out)
    assert out[1:].tolist() == [2.0, 4.0, 6.0]
