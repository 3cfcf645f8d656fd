"""Typed column expressions and the conditions and orderings they build.

Every node keeps the IR it stands for, built once when the node is made, so
turning a query into IR only collects finished pieces. The IR uses the core's
positional (array) form of each record: a field reference is `[name, index]`,
a filter `[field, operator, value]`, a bind value `[type, payload]`.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Generic, TypeVar

if TYPE_CHECKING:
    from sarnic.fields import Bind, Field

T = TypeVar("T")

_NULL = ("null", None)


class Condition:
    """A condition on a model's columns: combine with `&`, `|` and `~`."""

    __slots__ = ()

    model: Any

    def __and__(self, other: Condition) -> Condition:
        return And(_flatten(And, (self, _condition(other))))

    def __or__(self, other: Condition) -> Condition:
        return Or(_flatten(Or, (self, _condition(other))))

    def __invert__(self) -> Condition:
        return Not(self)

    def __bool__(self) -> bool:
        raise TypeError("a condition has no truth value: combine conditions with &, | and ~, "
                        "not with and, or, not (and compare one column at a time)")

    def predicate(self) -> list[Any]:
        """The core's predicate record for this condition."""
        raise NotImplementedError


def _condition(value: Any) -> Condition:
    if not isinstance(value, Condition):
        raise TypeError(f"expected a condition such as Post.views >= 10, not {type(value).__name__}")
    return value


def _flatten(kind: type[_Group], items: Iterable[Condition]) -> tuple[Condition, ...]:
    out: list[Condition] = []
    for item in items:
        out.extend(item.children if isinstance(item, kind) else (item,))
    return tuple(out)


class Comparison(Condition):
    """One filter: a column, an operator and a bound value."""

    __slots__ = ("field", "operator", "value", "ir")

    def __init__(self, field: Field[Any], operator: str, value: Any, bind: Bind) -> None:
        self.field = field
        self.operator = operator
        self.value = value
        self.ir = [field.ref, operator, bind]

    @property
    def model(self) -> Any:
        return self.field.model

    def predicate(self) -> list[Any]:
        return ["filter", self.ir]

    def __repr__(self) -> str:
        return f"<{self.field.label} {self.operator} {self.value!r}>"


class _Group(Condition):
    __slots__ = ("children",)
    kind = ""

    def __init__(self, children: tuple[Condition, ...]) -> None:
        self.children = children

    @property
    def model(self) -> Any:
        models = {c.model for c in self.children}
        return models.pop() if len(models) == 1 else None if not models else models

    def predicate(self) -> list[Any]:
        return [self.kind, [c.predicate() for c in self.children]]

    def __repr__(self) -> str:
        return f"<{self.kind} {list(self.children)!r}>"


class And(_Group):
    __slots__ = ()
    kind = "and"


class Or(_Group):
    __slots__ = ()
    kind = "or"


class Not(Condition):
    __slots__ = ("child",)

    def __init__(self, child: Condition) -> None:
        self.child = child

    @property
    def model(self) -> Any:
        return self.child.model

    def predicate(self) -> list[Any]:
        return ["not", self.child.predicate()]

    def __invert__(self) -> Condition:
        return self.child

    def __repr__(self) -> str:
        return f"<not {self.child!r}>"


class Ordering:
    """A sort key: a column and a direction."""

    __slots__ = ("field", "direction", "ir")

    def __init__(self, field: Field[Any], direction: str) -> None:
        self.field = field
        self.direction = direction
        self.ir = [field.ref, direction]

    def __repr__(self) -> str:
        return f"<{self.field.label} {self.direction}>"


class ColumnExpr(Generic[T]):
    """The comparison side of a field, typed by what its instances hold."""

    # Conditions compare by building a Condition, so fields are hashed by identity.
    __hash__ = object.__hash__

    @property
    def label(self) -> str:
        raise NotImplementedError

    def bind(self, value: Any) -> Bind:
        raise NotImplementedError

    def bind_value(self, value: Any) -> Bind:
        """`bind` of a value known not to be None."""
        raise NotImplementedError

    def _compare(self, operator: str, value: Any) -> Condition:
        if value is None:
            raise TypeError(f"{self.label} {operator} None is never true: "
                            "test for NULL with == None or .is_null()")
        if isinstance(value, (ColumnExpr, Condition)):
            raise TypeError(f"{self.label} is compared with values, not with columns")
        return Comparison(self, operator, value, self.bind_value(value))  # type: ignore[arg-type]

    def _search(self, operator: str, query: str) -> Condition:
        if not isinstance(query, str):
            raise TypeError(f"{self.label}.{operator}() takes a str query, not {type(query).__name__}")
        return Comparison(self, operator, query, ("text", str(query)))  # type: ignore[arg-type]

    def __eq__(self, other: T | None) -> Condition:  # type: ignore[override]
        if other is None:
            return self.is_null()
        return self._compare("eq", other)

    def __ne__(self, other: T | None) -> Condition:  # type: ignore[override]
        if other is None:
            return self.is_not_null()
        return self._compare("ne", other)

    def __lt__(self, other: T) -> Condition:
        return self._compare("lt", other)

    def __le__(self, other: T) -> Condition:
        return self._compare("lte", other)

    def __gt__(self, other: T) -> Condition:
        return self._compare("gt", other)

    def __ge__(self, other: T) -> Condition:
        return self._compare("gte", other)

    def is_null(self) -> Condition:
        return Comparison(self, "is_null", None, _NULL)  # type: ignore[arg-type]

    def is_not_null(self) -> Condition:
        return Comparison(self, "is_not_null", None, _NULL)  # type: ignore[arg-type]

    def in_(self, values: Iterable[T]) -> Condition:
        """Equal to one of the values: an OR of equalities (an empty list matches nothing)."""
        if isinstance(values, (str, bytes)):
            raise TypeError(f"{self.label}.in_() takes a collection of values, not one text")
        return Or(tuple(self._compare("eq", v) for v in values))

    def asc(self) -> Ordering:
        return Ordering(self, "asc")  # type: ignore[arg-type]

    def desc(self) -> Ordering:
        return Ordering(self, "desc")  # type: ignore[arg-type]
