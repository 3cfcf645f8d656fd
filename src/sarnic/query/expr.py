"""Expressions that reach past the row a condition reads: `exists()` over
another query, and `excluded()`, the row an upsert could not insert."""

from __future__ import annotations

from typing import Any, TypeVar, cast

from sarnic.model.columns import ColumnExpr, Condition, Expression, Scope
from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.query.select import Select
from sarnic.query.statement_ir import Scope as StatementScope
from sarnic.query.values import Values

T = TypeVar("T")


class Exists(Condition):
    """Whether a query has a row; inside it, the enclosing query's columns read the outer row."""

    __slots__ = ("query", "negated")

    def __init__(self, query: Any, negated: bool = False) -> None:
        self.query = query
        self.negated = negated

    @property
    def model(self) -> Any:
        return None

    def __invert__(self) -> Condition:
        return Exists(self.query, not self.negated)

    def render(self, scope: Scope) -> dict[str, Any]:
        # Nodes that hold a query are written only into a statement's own scope.
        node = {"kind": "exists", "query": self.query.statement(cast(StatementScope, scope))}
        return {"kind": "unary", "op": "not", "operand": node} if self.negated else node

    def __repr__(self) -> str:
        return f"<{'not ' if self.negated else ''}exists {self.query!r}>"


def exists(query: Select[Any] | Values[Any]) -> Condition:
    """`EXISTS (query)`: `~exists(query)` is its negation. Fields of the
    enclosing query's model inside it refer to the enclosing row."""
    if not isinstance(query, (Select, Values)):
        raise TypeError(f"exists() takes a select or a values query, not {type(query).__name__}")
    return Exists(query)


class Excluded(Expression[T]):
    """The value the row an upsert could not insert proposed for a field."""

    __slots__ = ("field",)

    def __init__(self, field: Field[T]) -> None:
        self.field = field

    @property
    def typed_field(self) -> Field[Any] | None:
        return self.field

    def bare_fields(self) -> tuple[Field[Any], ...]:
        return ()

    def result_kind(self) -> Any:
        return self.field

    def render(self, scope: Scope) -> dict[str, Any]:
        if not cast(StatementScope, scope).conflict:
            raise TypeError(f"{self!r} is the value an upsert proposed: it is read in on_conflict(update=...) only")
        return {"kind": "excluded", "field": self.field.position}

    def __repr__(self) -> str:
        return f"excluded({self.field.label})"


def excluded(field: Field[T]) -> ColumnExpr[T]:
    """In `on_conflict(update={...})`: the value the refused row proposed for `field`."""
    if isinstance(field, ForeignKey):
        field = field.key
    if not isinstance(field, Field) or isinstance(field, Expression):
        raise TypeError(f"excluded() takes a field, not {type(field).__name__}")
    return Excluded(field)
