"""How marundex matches call arguments to parameters, and its binding messages."""

import itertools
import random

import numpy as np
import pytest

from support import FUNCTIONS, PARAMS, output_bits, valid_arguments

marundex = pytest.importorskip("marundex")


def fn(name):
    return getattr(marundex, name)


def binding_error(name, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return str(info.value)


def quoted_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def missing_message(name, names):
    noun = "argument" if len(names) == 1 else "arguments"
    return f"{name}() missing {len(names)} required positional {noun}: {quoted_list(names)}"


# --- literal messages --------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: marundex.indicator_sma(1, 2, 3, 4), "indicator_sma() takes 3 positional arguments but 4 were given"),
        (
            lambda: marundex.indicator_macd(1, 2, 3, 4, 5, 6, 7, 8),
            "indicator_macd() takes 7 positional arguments but 8 were given",
        ),
        (
            lambda: marundex.indicator_sma(1, 2, 3, period=1),
            "indicator_sma() got multiple values for argument 'period'",
        ),
        (
            lambda: marundex.indicator_sma(1, 2, 3, window=1),
            "indicator_sma() got an unexpected keyword argument 'window'",
        ),
        (
            lambda: marundex.indicator_sma(),
            "indicator_sma() missing 3 required positional arguments: 'period', 'data', and 'output'",
        ),
        (
            lambda: marundex.indicator_sma(1, 2),
            "indicator_sma() missing 1 required positional argument: 'output'",
        ),
        (
            lambda: marundex.indicator_sma(period=1),
            "indicator_sma() missing 2 required positional arguments: 'data' and 'output'",
        ),
        (
            lambda: marundex.indicator_atr(1, 2, output=3),
            "indicator_atr() missing 2 required positional arguments: 'low' and 'close'",
        ),
        (
            lambda: marundex.indicator_macd(),
            "indicator_macd() missing 7 required positional arguments: 'fast_period', 'slow_period', "
            "'signal_period', 'data', 'macd_output', 'signal_output', and 'hist_output'",
        ),
        (
            lambda: marundex.indicator_ema(1),
            "indicator_ema() missing 2 required positional arguments: 'data' and 'output'",
        ),
        (
            lambda: marundex.indicator_atr(),
            "indicator_atr() missing 5 required positional arguments: 'period', 'high', 'low', 'close', and 'output'",
        ),
    ],
    ids=[
        "sma-surplus",
        "macd-surplus",
        "sma-duplicate",
        "sma-unexpected",
        "sma-missing-3",
        "sma-missing-1",
        "sma-missing-2-keyword-given",
        "atr-missing-middle",
        "macd-missing-7",
        "ema-missing-2",
        "atr-missing-5",
    ],
)
def test_literal_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


# --- surplus -------------------------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("extra", [1, 2, 5])
def test_surplus_positional(name, extra):
    p = len(PARAMS[name])
    n = p + extra
    message = binding_error(name, *range(n))
    assert message == f"{name}() takes {p} positional arguments but {n} were given"


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "kwargs",
    [{"window": 1}, {"period": 1}, {"\udcff": 1}, {"output": 1, "nope": 2}],
    ids=["unexpected", "maybe-duplicate", "undecodable", "several"],
)
def test_surplus_is_reported_before_any_keyword(name, kwargs):
    p = len(PARAMS[name])
    message = binding_error(name, *range(p + 1), **kwargs)
    assert message == f"{name}() takes {p} positional arguments but {p + 1} were given"


# --- duplicate -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, param",
    [(name, param) for name in FUNCTIONS for param in PARAMS[name]],
)
def test_duplicate_keyword_after_positional(name, param):
    p = len(PARAMS[name])
    message = binding_error(name, *range(p), **{param: 0})
    assert message == f"{name}() got multiple values for argument '{param}'"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_duplicate_of_a_leading_positional_with_missing_rest(name):
    first = PARAMS[name][0]
    # the duplicate stops binding before the missing parameters are looked at
    message = binding_error(name, 0, **{first: 1})
    assert message == f"{name}() got multiple values for argument '{first}'"


# --- unexpected ----------------------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "keyword, shown",
    [
        ("window", "window"),
        ("Period", "Period"),
        ("OUTPUT", "OUTPUT"),
        ("data ", "data "),
        ("périod", "périod"),
        ("\uff50eriod", "\uff50eriod"),  # fullwidth p: names are not normalised
        ("", ""),
        ("\udcff", "\ufffd\ufffd\ufffd"),
        ("\ud800x", "\ufffd\ufffd\ufffdx"),
        ("a\udc80\udc80", "a" + "\ufffd" * 6),
        ("\ud83d\ude00", "\ufffd" * 6),  # two lone surrogates, not one emoji
    ],
    ids=[
        "window",
        "capitalised",
        "upper",
        "trailing-space",
        "non-ascii",
        "fullwidth",
        "empty",
        "lone-low-surrogate",
        "lone-high-surrogate",
        "two-surrogates",
        "surrogate-pair-code-points",
    ],
)
def test_unexpected_keyword(name, keyword, shown):
    p = len(PARAMS[name])
    message = binding_error(name, *range(p), **{keyword: 1})
    assert message == f"{name}() got an unexpected keyword argument '{shown}'"


def test_lone_surrogate_rendering_agrees_with_lenient_utf8_decoding():
    # Independent statement of the rule: surrogatepass bytes, every maximal
    # ill-formed subsequence replaced by one U+FFFD.
    for keyword in ["\udcff", "\ud800x", "x\udfffy\ud800"]:
        shown = keyword.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        message = binding_error("indicator_sma", 1, 2, 3, **{keyword: 1})
        assert message == f"indicator_sma() got an unexpected keyword argument '{shown}'"
        assert shown.count("\ufffd") == 3 * sum(1 for ch in keyword if 0xD800 <= ord(ch) <= 0xDFFF)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_unexpected_keyword_is_reported_before_missing(name):
    message = binding_error(name, window=1)
    assert message == f"{name}() got an unexpected keyword argument 'window'"
    message = binding_error(name, 0, **{PARAMS[name][-1]: 0, "window": 1})
    assert message == f"{name}() got an unexpected keyword argument 'window'"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_first_faulty_keyword_in_call_order_wins(name):
    p = len(PARAMS[name])
    first = PARAMS[name][0]
    last = PARAMS[name][-1]
    assert binding_error(name, *range(p), window=1, **{first: 2}) == (
        f"{name}() got an unexpected keyword argument 'window'"
    )
    assert binding_error(name, *range(p), **{first: 2}, window=1) == (
        f"{name}() got multiple values for argument '{first}'"
    )
    assert binding_error(name, *range(p), **{last: 2, first: 1}) == (
        f"{name}() got multiple values for argument '{last}'"
    )
    assert binding_error(name, *range(p), **{"zz": 1, "\udcff": 2}) == (
        f"{name}() got an unexpected keyword argument 'zz'"
    )
    assert binding_error(name, *range(p), **{"\udcff": 2, "zz": 1}) == (
        f"{name}() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"
    )


# --- missing -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, given",
    [(name, k) for name in FUNCTIONS for k in range(len(PARAMS[name]))],
)
def test_missing_after_positional_prefix(name, given):
    message = binding_error(name, *range(given))
    assert message == missing_message(name, PARAMS[name][given:])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_missing_lists_every_empty_slot_in_declaration_order(name):
    params = PARAMS[name]
    rng = random.Random(name)
    for _ in range(12):
        chosen = [p for p in params if rng.random() < 0.5]
        if len(chosen) == len(params):
            chosen = chosen[:-1]
        kwargs = {p: 0 for p in reversed(chosen)}  # call order differs from declaration order
        expected = [p for p in params if p not in chosen]
        assert binding_error(name, **kwargs) == missing_message(name, expected)


def test_missing_message_list_shapes():
    # the list grammar, written out once more by hand
    assert binding_error("indicator_atr", 1, 2, 3) == (
        "indicator_atr() missing 2 required positional arguments: 'close' and 'output'"
    )
    assert binding_error("indicator_atr", high=1) == (
        "indicator_atr() missing 4 required positional arguments: 'period', 'low', 'close', and 'output'"
    )
    assert binding_error("indicator_macd", 1, 2, 3, 4, 5, hist_output=7) == (
        "indicator_macd() missing 1 required positional argument: 'signal_output'"
    )
    assert binding_error("indicator_macd", 1, 2, 3, 4, 5) == (
        "indicator_macd() missing 2 required positional arguments: 'signal_output' and 'hist_output'"
    )
    assert binding_error("indicator_macd", data=1, slow_period=2) == (
        "indicator_macd() missing 5 required positional arguments: 'fast_period', 'signal_period', "
        "'macd_output', 'signal_output', and 'hist_output'"
    )


# --- successful bindings ----------------------------------------------------------------


def reference_bits(name):
    arguments = valid_arguments(name)
    fn(name)(*arguments.values())
    return output_bits(arguments)


def keyword_orders(name, count=8):
    params = PARAMS[name]
    orders = [list(params), list(reversed(params))]
    if len(params) <= 5:
        orders.extend(list(p) for p in itertools.permutations(params))
    rng = random.Random(f"orders-{name}")
    while len(orders) < count + 2:
        order = list(params)
        rng.shuffle(order)
        orders.append(order)
    return orders


@pytest.mark.parametrize("name", FUNCTIONS)
def test_all_keyword_calls_in_any_order_bind_like_positional(name):
    expected = reference_bits(name)
    for order in keyword_orders(name):
        arguments = valid_arguments(name)
        kwargs = {p: arguments[p] for p in order}
        assert fn(name)(**kwargs) is None
        assert output_bits(arguments) == expected, order


@pytest.mark.parametrize("name", FUNCTIONS)
def test_mixed_positional_and_keyword_calls(name):
    expected = reference_bits(name)
    params = PARAMS[name]
    for split in range(len(params) + 1):
        arguments = valid_arguments(name)
        positional = [arguments[p] for p in params[:split]]
        kwargs = {p: arguments[p] for p in reversed(params[split:])}
        assert fn(name)(*positional, **kwargs) is None
        assert output_bits(arguments) == expected, split


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keyword_names_match_by_content_not_identity(name):
    expected = reference_bits(name)
    arguments = valid_arguments(name)
    # freshly built, non-interned name objects
    kwargs = {"".join(list(p)): arguments[p] for p in PARAMS[name]}
    assert all(k is not p for k, p in zip(kwargs, PARAMS[name]))
    fn(name)(**kwargs)
    assert output_bits(arguments) == expected


def test_binding_failure_leaves_outputs_alone():
    out = np.full(4, 7.0)
    with pytest.raises(TypeError):
        marundex.indicator_sma(2, np.ones(4), out, window=3)
    assert (out == 7.0).all()
