"""Every reference a call takes to its arguments is given back, on every path."""

import gc
import sys

import numpy as np
import pytest

from cases import CASES, Period, successful_call
from support import ARRAYS, FUNCTIONS, INPUTS, outcome, valid_arguments

marundex = pytest.importorskip("marundex")


def counted(objects):
    # small ints and bools are shared by the whole interpreter: their counts
    # say nothing about this call
    return [o for o in objects if not isinstance(o, (int, bool))]


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def refcounts_settled(objects, before):
    """Counts after a call; cycles made by Python code that the call ran
    (an ``__index__`` or ``__len__`` of the test's own objects) are collected
    first, since they are not the module's doing."""
    after = refcounts(objects)
    if after != before:
        gc.collect()
        after = refcounts(objects)
    return after


@pytest.mark.parametrize("case_id", list(CASES))
def test_failing_call_returns_every_reference(case_id):
    call = CASES[case_id]()
    objects = counted(call.objects())
    fn = getattr(marundex, call.name)
    before = refcounts(objects)
    result = outcome(fn, *call.args, **call.kwargs)
    after = refcounts_settled(objects, before)
    assert result is not None and result[0] is call.exc_type
    assert after == before


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("n", [0, 1, 8])
def test_successful_call_returns_every_reference(name, n):
    call = successful_call(name, n)
    objects = counted(call.objects())
    fn = getattr(marundex, call.name)
    before = refcounts(objects)
    for _ in range(3):
        assert outcome(fn, *call.args, **call.kwargs) is None
    assert refcounts_settled(objects, before) == before


@pytest.mark.parametrize("name", FUNCTIONS)
def test_periods_given_as_objects_are_released(name):
    arguments = valid_arguments(name)
    for key in arguments:
        if "period" in key:
            arguments[key] = Period(arguments[key])
    objects = list(arguments.values())
    before = refcounts(objects)
    getattr(marundex, name)(*objects)
    assert refcounts(objects) == before


@pytest.mark.parametrize("name", FUNCTIONS)
def test_an_index_result_is_released(name):
    # a big int, unlike a small one, is not shared by the interpreter: a result of
    # __index__ that the conversion kept would show in its count
    value = int("18446744073709551615")
    arguments = valid_arguments(name)
    periods = [key for key in arguments if "period" in key]
    arguments[periods[-1]] = Period(value)
    before = sys.getrefcount(value)
    for _ in range(10):
        outcome(getattr(marundex, name), *arguments.values())
    assert sys.getrefcount(value) == before


@pytest.mark.parametrize("roles", [INPUTS, ARRAYS], ids=["inputs", "inputs-and-outputs"])
@pytest.mark.parametrize("name", FUNCTIONS)
def test_one_array_in_several_roles_is_released_as_often_as_taken(name, roles):
    """In every input role the call succeeds; as an output too it is refused for
    sharing memory with the input. Either way every reference taken is given back."""
    shared = np.linspace(1.0, 2.0, 8)
    arguments = valid_arguments(name, 8)
    args = [shared if k in roles else v for k, v in arguments.items()]
    before = sys.getrefcount(shared)
    result = outcome(getattr(marundex, name), *args)
    assert (result is None) == (roles is INPUTS)
    assert sys.getrefcount(shared) == before
