"""Outputs that share memory with an input or with another output are refused.

Writing an indicator into the memory it reads destroys the caller's data and
gives a result nobody asked for, so such a call raises before anything is
written and gives back every borrow. Arrays that only touch, and empty arrays,
share nothing; inputs may share memory with each other. (The core library keeps
its in-place semantics for C++ callers: tests/core covers those.)
"""

import numpy as np
import pytest

import reference as ref
from cases import SHARED_MEMORY_NOTE, SHARED_MEMORY_PAIRS
from support import assert_matches, expected_outputs, series, snapshot, valid_arguments

marundex = pytest.importorskip("marundex")

N = 12
# Where the pair's first array (an output) and second array lie in one buffer of
# 2N values, and whether they share memory.
LAYOUTS = {
    "same-array": (slice(0, N), slice(0, N), True),
    "output-starts-inside": (slice(4, 4 + N), slice(0, N), True),
    "one-element-in-common": (slice(0, N), slice(N - 1, 2 * N - 1), True),
    "adjacent-after": (slice(N, 2 * N), slice(0, N), False),
    "adjacent-before": (slice(0, N), slice(N, 2 * N), False),
}
PAIR_IDS = [f"{name.replace('indicator_', '')}-{first}-{second}" for name, first, second, _ in SHARED_MEMORY_PAIRS]


def laid_over_one_buffer(name, first, second, layout, period=None):
    first_slice, second_slice, shares = LAYOUTS[layout]
    backing = np.linspace(1.0, 3.0, 2 * N)
    arguments = valid_arguments(name, N, seed=3)
    arguments[first], arguments[second] = backing[first_slice], backing[second_slice]
    if period is not None:
        arguments["period"] = period
    others = [v for k, v in arguments.items() if isinstance(v, np.ndarray) and k not in (first, second)]
    return arguments, [backing, *others], shares


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize(("name", "first", "second", "message"), SHARED_MEMORY_PAIRS, ids=PAIR_IDS)
def test_outputs_sharing_memory_are_refused_untouched(registry, name, first, second, message, layout):
    arguments, arrays, shares = laid_over_one_buffer(name, first, second, layout)
    if not shares:
        expected = expected_outputs(name, arguments)
        assert getattr(marundex, name)(*arguments.values()) is None
        for out, values in expected.items():
            assert_matches(arguments[out], values, out)
        return
    before = [snapshot(a) for a in arrays]
    with pytest.raises(ValueError) as info:
        getattr(marundex, name)(*arguments.values())
    assert info.value.args == (message,)
    assert info.value.__notes__ == [SHARED_MEMORY_NOTE]
    assert [snapshot(a) for a in arrays] == before
    assert [registry.nothing_borrowed(a) for a in arrays] == [True] * len(arrays)


@pytest.mark.parametrize(("name", "first", "second", "message"), SHARED_MEMORY_PAIRS, ids=PAIR_IDS)
def test_empty_arrays_share_no_memory(name, first, second, message):
    backing = np.linspace(1.0, 3.0, 4)
    arguments = valid_arguments(name, 0)
    arguments[first], arguments[second] = backing[2:2], backing[2:2]
    assert getattr(marundex, name)(*arguments.values()) is None


@pytest.mark.parametrize("period", [0, N, N + 5])
@pytest.mark.parametrize("name", ["indicator_sma", "indicator_ema", "indicator_atr"])
def test_refused_also_when_the_period_gives_no_value(name, period):
    """An unusable period would still fill the output with NaN, over the input."""
    pair = [p for p in SHARED_MEMORY_PAIRS if p[0] == name][0]
    arguments, arrays, _ = laid_over_one_buffer(*pair[:3], "same-array", period=period)
    before = [snapshot(a) for a in arrays]
    with pytest.raises(ValueError) as info:
        getattr(marundex, name)(*arguments.values())
    assert info.value.args == (pair[3],)
    assert [snapshot(a) for a in arrays] == before


@pytest.mark.parametrize("period", [1, 3, 9])
def test_atr_same_array_as_high_low_and_close(period):
    arr = series(10, seed=period)
    out = np.zeros(10)
    model = arr.tolist()
    expected = [0.0] * 10
    ref.atr_into(period, model, model, model, expected)
    marundex.indicator_atr(period, arr, arr, arr, out)
    assert_matches(out, expected)
    # with high == low == close, TR(i) = max(0, |x_i - x_{i-1}|, |x_i - x_{i-1}|)
    assert out[period] == sum(abs(model[i] - model[i - 1]) for i in range(1, period + 1)) / period

