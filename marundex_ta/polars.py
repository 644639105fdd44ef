"""The expression namespace mx: every marundex_ta function on polars expressions.

    import marundex_ta.polars  # registers mx
    df.with_columns(pl.col("close").mx.rsi(14).over("symbol"))
    pl.col("high").mx.atr("low", "close", period=14)    # more inputs: columns or expressions

The expression is the first input; the others follow, as column names or
expressions, then the parameters as the function takes them. One output is a
Float64 column, several a struct of them; each is named as the function's pandas
and polars results are (rsi_14, macd_12_26_9), and null wherever the indicator has
no value. With .over(...), each group is computed as if alone.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import polars as pl

from marundex_ta import INDICATORS, Indicator, _bind, _call, result_names

__all__ = ["IndicatorNamespace"]


def _expression(value: Any) -> pl.Expr:
    return pl.col(value) if isinstance(value, str) else value


@pl.api.register_expr_namespace("mx")
class IndicatorNamespace:
    """pl.col("close").mx.rsi(14): the indicators of marundex_ta on expressions."""

    def __init__(self, expr: pl.Expr) -> None:
        self._expr = expr

    def __getattr__(self, name: str) -> Callable[..., pl.Expr]:
        indicator = INDICATORS.get(name)
        if indicator is None:
            raise AttributeError(f"'mx' namespace has no indicator {name!r}")

        def method(*arguments: Any, **keywords: Any) -> pl.Expr:
            return _expression_of(indicator, self._expr, arguments, keywords)

        method.__name__ = name
        return method


def _expression_of(
    indicator: Indicator, first: pl.Expr, arguments: tuple[Any, ...], keywords: dict[str, Any]
) -> pl.Expr:
    count = len(indicator.inputs)
    others = [_expression(a) for a in arguments[: count - 1]]
    if len(others) != count - 1:
        raise TypeError(f"{indicator.name}() takes {count} inputs: {', '.join(indicator.inputs)}")
    parameters = arguments[count - 1 :]
    names = result_names(indicator, _bind(indicator, parameters, dict(keywords)))

    def compute(batch: pl.Series) -> pl.Series:
        series = [batch] if count == 1 else [batch.struct.field(f"_{k}") for k in range(count)]
        made = _call(indicator, (*series, *parameters), dict(keywords))
        return made if isinstance(made, pl.Series) else made.to_struct(names[0])

    source = first if count == 1 else pl.struct([e.alias(f"_{k}") for k, e in enumerate([first, *others])])
    dtype = pl.Float64 if len(names) == 1 else pl.Struct({n: pl.Float64 for n in names})
    return source.map_batches(compute, return_dtype=dtype).alias(names[0])
