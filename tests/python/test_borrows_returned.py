"""Every read-only borrow a call takes in the shared registry is given back.

After each call, success or failure, a second module must be able to borrow
each input (and output) for writing: that is only granted when no borrow of
overlapping memory is still registered.
"""

import numpy as np
import pytest

from cases import CASES, successful_call
from support import FUNCTIONS, outcome, valid_arguments

marundex = pytest.importorskip("marundex")


def probe(registry, arrays):
    held = [i for i, a in enumerate(arrays) if a.flags.writeable and not registry.nothing_borrowed(a)]
    assert held == [], f"arrays {held} are still borrowed"


@pytest.mark.parametrize("case_id", list(CASES))
def test_failing_call_returns_its_borrows(registry, case_id):
    call = CASES[case_id]()
    probe(registry, call.inputs + call.outputs)
    result = outcome(getattr(marundex, call.name), *call.args, **call.kwargs)
    assert result is not None and result[0] is call.exc_type
    probe(registry, call.inputs + call.outputs)


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("n", [0, 1, 8])
def test_successful_call_returns_its_borrows(registry, name, n):
    call = successful_call(name, n)
    assert outcome(getattr(marundex, call.name), *call.args, **call.kwargs) is None
    probe(registry, call.inputs + call.outputs)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_one_array_in_every_role_is_returned(registry, name):
    """Refused, since its outputs share memory with its input, after borrowing it in every input role."""
    shared = np.linspace(1.0, 2.0, 8)
    args = [shared if isinstance(v, np.ndarray) else v for v in valid_arguments(name).values()]
    result = outcome(getattr(marundex, name), *args)
    assert result is not None and result[0] is ValueError and "must not share memory" in result[1]
    probe(registry, [shared])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_views_of_one_buffer_are_returned(registry, name):
    backing = np.linspace(1.0, 2.0, 40)
    arguments = valid_arguments(name)
    views = iter([backing[0:8], backing[8:16], backing[16:24], backing[24:32], backing[32:40]])
    args = [next(views) if isinstance(v, np.ndarray) else v for v in arguments.values()]
    getattr(marundex, name)(*args)
    probe(registry, [backing])


def test_atr_refused_later_input_returns_the_earlier_ones(registry):
    arguments = valid_arguments("indicator_atr")
    with registry.writing(arguments["close"]):
        result = outcome(marundex.indicator_atr, *arguments.values())
        assert result is not None and result[0] is BufferError
        probe(registry, [arguments["high"], arguments["low"]])
    probe(registry, [arguments["high"], arguments["low"], arguments["close"]])
