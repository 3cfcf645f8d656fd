"""`Values`: a select of fields and expressions fetched as typed tuples."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Generic, Self, TypeVar, cast

from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.query.base import Join, _Paged, _joins, _order_keys, _sources
from sarnic.model.columns import ColumnExpr, Condition, Ordering, _condition
from sarnic.model.columns import Scope as ColumnScope

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.query.statement_ir import Scope

R = TypeVar("R", covariant=True)

class Values(_Paged[Any], Generic[R]):
    """A select of expressions, read back as tuples: `Post.values(Post.author_id, fn.count())`."""

    operation = "select"
    items: tuple[ColumnExpr[Any], ...]
    group: tuple[ColumnExpr[Any], ...]
    having_: tuple[Condition, ...]
    order: tuple[Ordering, ...]
    joins: tuple[Join, ...]

    @classmethod
    def of(cls, model: type[Table], items: Sequence[Any], alias: Any = None) -> Values[Any]:
        if model.__abstract__:
            raise TypeError(f"{model.__name__} is abstract: it has no table to select from")
        if not items:
            raise TypeError(f"{model.__name__}.values() takes at least one field or expression")
        return cls._make({"model": model, "_alias": alias, "items": tuple(_expr(i, "values()") for i in items),
                          "filters": (), "predicates": (), "group": (), "having_": (), "order": (), "_limit": None,
                          "_offset": None, "_distinct": False, "joins": ()})

    @property
    def uses_statement_ir(self) -> bool:
        return True

    def group_by(self, *exprs: ColumnExpr[Any]) -> Self:
        """One row per distinct value of these expressions (replacing an earlier grouping)."""
        return self._derive_one("group", tuple(_expr(e, "group_by()") for e in exprs))

    def having(self, *conditions: Condition) -> Self:
        """Keep the groups where every condition holds (aggregates allowed)."""
        return self._derive_one("having_", (*self.having_, *(_condition(c) for c in conditions)))

    def order_by(self, *keys: ColumnExpr[Any] | Ordering) -> Self:
        """Sort by these keys (replacing an earlier ordering): fields, aggregates, expressions."""
        return self._derive_one("order", _order_keys(self, keys, "order_by()")[0])

    def join(self, relation: ForeignKey[Any]) -> Self:
        """LEFT JOIN along a relation: the related model's fields may then be selected and filtered on."""
        if not isinstance(relation, ForeignKey) or relation.model is not self.model:
            raise TypeError(f"join() takes a relation of {self.model.__name__}, such as "
                            f"{self.model.__name__}.<ForeignKey field>, not {relation!r}")
        joins = tuple(j for j in self.joins if j.relation is not relation) + (Join(relation, ()),)
        return self._derive_one("joins", joins)

    def check_grouping(self) -> None:
        """Refuses items that read a column outside both the grouping and any aggregate."""
        if not self.group and not any(i.aggregate for i in self.items):
            return
        grouped = {f for g in self.group for f in g.bare_fields()}
        grouped |= {g for g in self.group if isinstance(g, Field)}
        for item in self.items:
            for f in item.bare_fields():
                if f not in grouped:
                    raise TypeError(f"{f.label} is neither in group_by() nor inside an aggregate: "
                                    f"group by it or aggregate it")

    def statement(self, scope: Scope) -> dict[str, Any]:
        self.check_grouping()
        scope.stack.append(_sources(self))
        try:
            having = [c.render(scope) for c in self.having_]
            return {"model": scope.model(self.model),
                    "operation": {"kind": "values", "items": [i.render(scope) for i in self.items]},
                    "where": self._where_node(scope), "joins": _joins(self, scope),
                    "group_by": [g.render(scope) for g in self.group],
                    "having": None if not having else having[0] if len(having) == 1 else
                    {"kind": "and", "children": having},
                    "order_by": [o.render(scope) for o in self.order],
                    "limit": self._limit, "offset": self._offset, "distinct": self._distinct}
        finally:
            scope.stack.pop()

    def in_condition(self, operand: ColumnExpr[Any], negated: bool) -> Condition:
        """`operand IN (this query)`: what `in_()` makes of a values query."""
        if len(self.items) != 1:
            raise TypeError(f"{operand.label}.{'not_in' if negated else 'in_'}() takes a values query of one column, "
                            f"not {len(self.items)}")
        return InQuery(operand, self, negated)

    def count_query(self) -> Values[R]:
        paged = self._limit is not None or self._offset is not None
        return self if paged else self._derive_one("order", ())

    def __repr__(self) -> str:
        return f"<Values {self.model.__name__} {list(self.items)!r}>"


def _expr(value: Any, what: str) -> ColumnExpr[Any]:
    if isinstance(value, ForeignKey):
        value = value.key
    if not isinstance(value, ColumnExpr):
        raise TypeError(f"{what} takes fields or expressions such as fn.count(), not {type(value).__name__}")
    return value


class InQuery(Condition):
    """`x IN (SELECT ...)` over a one-column values query."""

    __slots__ = ("operand", "query", "negated")

    def __init__(self, operand: ColumnExpr[Any], query: Values[Any], negated: bool) -> None:
        self.operand = operand
        self.query = query
        self.negated = negated

    @property
    def model(self) -> Any:
        return None

    def __invert__(self) -> Condition:
        return InQuery(self.operand, self.query, not self.negated)

    def render(self, scope: ColumnScope) -> dict[str, Any]:
        field = self.operand.typed_field
        op = "not_in" if self.negated else "in"
        label = scope.label(field, op) if field is not None else f"#{op}"
        return {"kind": "in", "operand": self.operand.render(scope), "negated": self.negated, "values": None,
                # written only into a statement's own scope
                "query": self.query.statement(cast("Scope", scope)), "label": label}
