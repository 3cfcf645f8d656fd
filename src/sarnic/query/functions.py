"""SQL functions as typed expressions: `fn.count()`, `fn.sum(Post.views)`, ...

Each is typed by what it returns; an aggregate over no rows is NULL, so the
aggregates of a column's values are `T | None` (`count` is always an int).
Fetched values come back as those types on every engine: a PostgreSQL SUM of
integers (numeric) comes back as an int, a MySQL AVG (decimal) as a float.
"""

from __future__ import annotations

import decimal
from typing import Any, TypeVar, overload

from sarnic.model.columns import Column, ColumnExpr, Expression, Value, _numeric_kind
from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey

T = TypeVar("T")

AGGREGATES = frozenset(("count", "sum", "avg", "min", "max"))


class Func(Expression[T]):
    """A call of one of the core's SQL functions."""

    __slots__ = ("name", "args", "distinct", "kind")

    def __init__(self, name: str, args: tuple[ColumnExpr[Any] | Value, ...], distinct: bool, kind: Any) -> None:
        self.name = name
        self.args = args
        self.distinct = distinct
        self.kind = kind

    @property
    def typed_field(self) -> Field[Any] | None:
        return self.kind if isinstance(self.kind, Field) else None

    @property
    def aggregate(self) -> bool:  # type: ignore[override]
        return self.name in AGGREGATES or any(a.aggregate for a in self.args)

    def bare_fields(self) -> tuple[Column, ...]:
        if self.name in AGGREGATES:
            return ()
        return tuple(f for a in self.args for f in a.bare_fields())

    def result_kind(self) -> Any:
        return self.kind

    def render(self, scope: Any) -> dict[str, Any]:
        return {"kind": "func", "name": self.name, "args": [a.render(scope) for a in self.args],
                "distinct": self.distinct}

    def __repr__(self) -> str:
        inner = ", ".join(repr(a.bind[1]) if isinstance(a, Value) else a.label if isinstance(a, Field)
                          else repr(a) for a in self.args)
        return f"fn.{self.name}({'distinct ' if self.distinct else ''}{inner})"


def _arg(value: Any, what: str) -> ColumnExpr[Any]:
    if isinstance(value, ForeignKey):
        value = value.key
    if not isinstance(value, ColumnExpr):
        raise TypeError(f"fn.{what}() takes a field or an expression, not {type(value).__name__}")
    return value


def _number(value: Any, what: str) -> ColumnExpr[Any]:
    arg = _arg(value, what)
    field = arg.typed_field
    if field is None and isinstance(arg, Func) and arg.kind in ("int", "float", "decimal"):
        return arg
    if field is None or field.field_type not in ("int", "big_int", "float", "decimal"):
        raise TypeError(f"fn.{what}() takes a number: {arg.label} is not one")
    return arg


def _text(value: Any, what: str) -> ColumnExpr[Any]:
    arg = _arg(value, what)
    field = arg.typed_field
    if not (field is not None and field.field_type == "text" or isinstance(arg, Func) and arg.kind == "text"):
        raise TypeError(f"fn.{what}() takes a Text field: {arg.label} is not one")
    return arg


def _kind_of(arg: ColumnExpr[Any]) -> str:
    kind = arg.result_kind()
    return kind if isinstance(kind, str) else _numeric_kind(arg.typed_field)


class _Functions:
    """The namespace `fn`."""

    __slots__ = ()

    def count(self, expr: ColumnExpr[Any] | ForeignKey[Any] | None = None, *, distinct: bool = False
              ) -> ColumnExpr[int]:
        """COUNT(*), or the count of the expression's non-NULL values (distinct ones with distinct=True)."""
        if expr is None:
            if distinct:
                raise TypeError("fn.count(distinct=True) needs the expression whose distinct values it counts")
            return Func("count", (), False, "int")
        return Func("count", (_arg(expr, "count"),), bool(distinct), "int")

    @overload
    def sum(self, expr: ColumnExpr[int] | ColumnExpr[int | None], *,  # type: ignore[overload-overlap]
            distinct: bool = ...) -> ColumnExpr[int | None]: ...
    @overload
    def sum(self, expr: ColumnExpr[float] | ColumnExpr[float | None], *,  # type: ignore[overload-overlap]
            distinct: bool = ...) -> ColumnExpr[float | None]: ...
    @overload
    def sum(self, expr: ColumnExpr[decimal.Decimal] | ColumnExpr[decimal.Decimal | None], *, distinct: bool = ...
            ) -> ColumnExpr[decimal.Decimal | None]: ...
    def sum(self, expr: ColumnExpr[Any], *, distinct: bool = False) -> ColumnExpr[Any]:
        arg = _number(expr, "sum")
        return Func("sum", (arg,), bool(distinct), _kind_of(arg))

    @overload
    def avg(self,  # type: ignore[overload-overlap]
            expr: ColumnExpr[int] | ColumnExpr[int | None] | ColumnExpr[float] | ColumnExpr[float | None],
            *, distinct: bool = ...) -> ColumnExpr[float | None]: ...
    @overload
    def avg(self, expr: ColumnExpr[decimal.Decimal] | ColumnExpr[decimal.Decimal | None], *, distinct: bool = ...
            ) -> ColumnExpr[decimal.Decimal | None]: ...
    def avg(self, expr: ColumnExpr[Any], *, distinct: bool = False) -> ColumnExpr[Any]:
        arg = _number(expr, "avg")
        return Func("avg", (arg,), bool(distinct), "decimal" if _kind_of(arg) == "decimal" else "float")

    @overload
    def min(self, expr: ColumnExpr[T | None]) -> ColumnExpr[T | None]: ...
    @overload
    def min(self, expr: ColumnExpr[T]) -> ColumnExpr[T | None]: ...
    def min(self, expr: ColumnExpr[Any]) -> ColumnExpr[Any]:
        arg = _arg(expr, "min")
        return Func("min", (arg,), False, arg.result_kind())

    @overload
    def max(self, expr: ColumnExpr[T | None]) -> ColumnExpr[T | None]: ...
    @overload
    def max(self, expr: ColumnExpr[T]) -> ColumnExpr[T | None]: ...
    def max(self, expr: ColumnExpr[Any]) -> ColumnExpr[Any]:
        arg = _arg(expr, "max")
        return Func("max", (arg,), False, arg.result_kind())

    def coalesce(self, expr: ColumnExpr[T | None], value: T | ColumnExpr[T]) -> ColumnExpr[T]:
        """The expression's value, or `value` where it is NULL."""
        arg = _arg(expr, "coalesce")
        if isinstance(value, ColumnExpr):
            other: ColumnExpr[Any] | Value = value
        elif value is None:
            raise TypeError("fn.coalesce() takes a value to use instead of NULL, not None")
        else:
            field = arg.typed_field
            if field is not None:
                other = Value(field.bind_value(value), field, "coalesce")
            else:
                from sarnic.model.columns import _plain_bind

                other = Value(_plain_bind(_kind_of(arg), value, arg), None, "coalesce")
        return Func("coalesce", (arg, other), False, arg.result_kind())

    @overload
    def lower(self, expr: ColumnExpr[str]) -> ColumnExpr[str]: ...
    @overload
    def lower(self, expr: ColumnExpr[str | None]) -> ColumnExpr[str | None]: ...
    def lower(self, expr: ColumnExpr[Any]) -> ColumnExpr[Any]:
        return Func("lower", (_text(expr, "lower"),), False, "text")

    @overload
    def upper(self, expr: ColumnExpr[str]) -> ColumnExpr[str]: ...
    @overload
    def upper(self, expr: ColumnExpr[str | None]) -> ColumnExpr[str | None]: ...
    def upper(self, expr: ColumnExpr[Any]) -> ColumnExpr[Any]:
        return Func("upper", (_text(expr, "upper"),), False, "text")

    @overload
    def length(self, expr: ColumnExpr[str]) -> ColumnExpr[int]: ...
    @overload
    def length(self, expr: ColumnExpr[str | None]) -> ColumnExpr[int | None]: ...
    def length(self, expr: ColumnExpr[Any]) -> ColumnExpr[Any]:
        """The length of a text, as the engine counts it."""
        return Func("length", (_text(expr, "length"),), False, "int")


fn = _Functions()
