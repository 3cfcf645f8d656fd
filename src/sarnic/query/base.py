"""Queries: immutable values that describe one statement on one model and
turn into the core's IR. Every method returns a new query. This module holds
what they share: `Query`, the filtered and paged kinds, joins."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, ClassVar, Generic, Self, TypeVar

from sarnic.model.fields.base import Field, Row
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.query.compiled import Compiled, compile_query
from sarnic.model.columns import (TEXT_CASE_OPERATORS, And, ColumnExpr, Comparison, Condition, Ordering,
                                  text_case_dialects)

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.query.statement_ir import Scope

M = TypeVar("M", bound="Table", covariant=True)

IR_VERSION = 3

_new = object.__new__


class Query(Generic[M]):
    """What every query has: its model, its IR, its compiled form.

    A query's state sits in its instance dict, written only while the query
    is made: deriving a query copies that dict in one step."""

    #: the core's operation name
    operation: ClassVar[str] = ""
    model: type[M]

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"{type(self).__name__} queries are immutable: their methods return new queries")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} queries are immutable")

    @classmethod
    def _make(cls, state: dict[str, Any]) -> Self:
        new = _new(cls)
        new.__dict__.update(state)
        return new

    def _derive(self, **changes: Any) -> Self:
        new = _new(type(self))
        d = new.__dict__
        d |= self.__dict__
        d |= changes
        return new

    def _derive_one(self, name: str, value: Any) -> Self:
        """`_derive` of one change, without a keyword dict."""
        new = _new(type(self))
        d = new.__dict__
        d |= self.__dict__
        d[name] = value
        return new

    def ir(self) -> list[Any]:
        """The core's query IR, in its positional form."""
        raise NotImplementedError

    @property
    def source(self) -> Any:
        """The table occurrence the statement reads: its model, or an alias of it."""
        return self.__dict__.get("_alias") or self.model

    @property
    def uses_statement_ir(self) -> bool:
        """Whether only the newer statement IR says this query."""
        return False

    def needs_statement_ir(self, dialect: str) -> bool:
        """Whether this query is written in the statement IR for `dialect`:
        where only that IR says it, or where the query IR would mean
        something else there (text match and case on SQLite and MySQL)."""
        return self.uses_statement_ir or dialect in self.__dict__.get("_text_case", ())

    def statement(self, scope: Scope) -> dict[str, Any]:
        """The query as a statement of the statement IR (within `scope`)."""
        raise TypeError(f"{type(self).__name__} queries are not written in the statement IR")

    def sql(self, dialect: str) -> Compiled:
        """Compile for a dialect, without a database."""
        return compile_query(self, dialect)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.model.__name__}>"


def _not_iterable(query: Query[Any]) -> Any:
    raise TypeError(f"a {type(query).__name__} query holds no rows until a database runs it: "
                    "use await db.fetch(query) for a list, or async for row in db.iterate(query)")


# A query is only a value; without these, list(query) would read it as a
# sequence and fail on its slicing instead.
Query.__iter__ = _not_iterable  # type: ignore[attr-defined]
Query.__aiter__ = _not_iterable  # type: ignore[attr-defined]


def _own_field(model: type[Row], field: Any, what: str) -> Field[Any]:
    if isinstance(field, ForeignKey):
        field = field.key
    if not isinstance(field, Field):
        raise TypeError(f"{what} takes fields such as {model.__name__}.{model.__fields__[0].name}, "
                        f"not {type(field).__name__}")
    if field.model is not model:
        raise TypeError(f"{what}: {field.label} is not a field of {model.__name__}")
    return field


class _Filtered(Query[M]):
    """Queries with a WHERE clause: comparisons go to the flat filter list,
    trees to the predicate (several trees are ANDed)."""

    filters: tuple[Comparison, ...]
    predicates: tuple[Condition, ...]

    def where(self, *conditions: Condition) -> Self:
        """Keep the rows where every condition holds (ANDed with earlier ones).
        Conditions may read joined models and, in a subquery, the enclosing
        query's row: where each column lives is worked out when the statement
        is written."""
        if len(conditions) == 1:
            cond = conditions[0]
            if (type(cond) is Comparison and cond.field.model is self.model and cond.field._source is None
                    and "_alias" not in self.__dict__ and cond.operator not in TEXT_CASE_OPERATORS):
                return self._derive_one("filters", (*self.filters, cond))
        source = self.source
        filters = list(self.filters)
        trees = list(self.predicates)
        newer = False
        for cond in conditions:
            if not isinstance(cond, Condition):
                model = self.model
                raise TypeError(f"where() takes conditions such as {model.__name__}.{model.__fields__[0].name} "
                                f"== 1, not {type(cond).__name__}")
            parts = cond.children if isinstance(cond, And) else (cond,)
            for part in parts:
                if type(part) is Comparison and part.field.source is source:
                    filters.append(part)
                else:
                    trees.append(part)
                    newer = newer or not part.plain(source)
        text_case = self.__dict__.get("_text_case", frozenset()).union(*(text_case_dialects(c) for c in conditions))
        return self._derive(filters=tuple(filters), predicates=tuple(trees),
                            _newer=self.__dict__.get("_newer", False) or newer, _text_case=text_case)

    def _where_node(self, scope: Scope) -> dict[str, Any] | None:
        parts = [c.render(scope) for c in (*self.filters, *self.predicates)]
        if not parts:
            return None
        return parts[0] if len(parts) == 1 else {"kind": "and", "children": parts}

    def _filters_ir(self) -> list[Any]:
        return [c.ir for c in self.filters]

    def _predicate_ir(self) -> list[Any] | None:
        trees = self.predicates
        if not trees:
            return None
        if len(trees) == 1:
            return trees[0].predicate()
        return ["and", [t.predicate() for t in trees]]

    @property
    def scoped(self) -> bool:
        return bool(self.filters or self.predicates)


class Join:
    """A LEFT JOIN along a relation, projecting the target's key and fields."""

    __slots__ = ("relation", "fields", "ir")

    def __init__(self, relation: ForeignKey[Any], fields: tuple[Field[Any], ...]) -> None:
        target = relation.target
        pk = target.__pk__[0]
        picked = [pk, *(f for f in (fields or target.__fields__) if f is not pk)]
        self.relation = relation
        self.fields = tuple(dict.fromkeys(picked))
        self.ir = [relation.name, relation.name, relation.key.ref, target.__table__, pk.column,
                   [[f.position, f.name, f.column] for f in self.fields]]

    @property
    def alias(self) -> str:
        return self.relation.name


class _Paged(_Filtered[M]):
    """Queries that read rows: paging and DISTINCT."""

    _limit: int | None
    _offset: int | None
    _distinct: bool

    def limit(self, n: int | None) -> Self:
        if n is not None and (type(n) is not int or n < 0):
            n = _count(n, "limit")
        return self._derive_one("_limit", n)

    def offset(self, n: int | None) -> Self:
        if n is not None and (type(n) is not int or n < 0):
            n = _count(n, "offset")
        return self._derive_one("_offset", n)

    def __getitem__(self, window: slice) -> Self:
        """`query[a:b]`: rows a to b-1 of this query's rows."""
        if not isinstance(window, slice):
            raise TypeError("queries take slices ([a:b]); for one row use [n:n+1] or Database.fetch_one")
        start, stop, step = window.start, window.stop, window.step
        if step is not None:
            raise ValueError("query slices take no step")
        if start is None:
            start = 0
        elif type(start) is not int or start < 0:
            start = _count(start, "slice start")
        if stop is not None and (type(stop) is not int or stop < 0):
            stop = _count(stop, "slice stop")
        assert start is not None
        limit, offset = self._limit, self._offset
        room = None if limit is None else max(limit - start, 0)
        if stop is not None:
            wanted = max(stop - start, 0)
            room = wanted if room is None else min(room, wanted)
        moved = (offset or 0) + start
        new = _new(type(self))
        d = new.__dict__
        d |= self.__dict__
        d["_offset"] = moved if moved or offset is not None else None
        d["_limit"] = room
        return new

    def distinct(self, on: bool = True) -> Self:
        return self._derive(_distinct=bool(on))

    def _first_row(self) -> Self:
        """`self[:1]`, as fetch_one reads it, in fewer steps: a query that
        reads at most one row already is itself."""
        limit = self._limit
        if limit is not None and limit <= 1:
            return self
        return self._derive_one("_limit", 1)


def _sources(query: Any) -> list[Any]:
    return [query.source, *(j.relation.target for j in query.joins)]


def _order_keys(query: Any, keys: Sequence[Any], what: str) -> tuple[tuple[Ordering, ...], bool]:
    """The orderings of these keys (a field or an expression sorts ascending),
    and whether the older IR cannot say them (a joined model's column, an
    expression). A column must belong to the query's model or one it joins."""
    model, source = query.model, query.source
    targets = [j.relation.target for j in query.joins]
    order = []
    newer = False
    for key in keys:
        if isinstance(key, Ordering):
            o = key
        elif isinstance(key, (ColumnExpr, ForeignKey)):
            o = (key.key if isinstance(key, ForeignKey) else key).asc()
        else:
            _own_field(model, key, what)
            raise AssertionError
        expr = o.field
        if isinstance(expr, Field):
            if expr.source is source:
                order.append(o)
                continue
            if not any(expr.model is t for t in targets):
                _own_field(model, expr, what)
        newer = True
        order.append(o)
    return tuple(order), newer


def _joins(query: Any, scope: Scope) -> list[dict[str, Any]]:
    return [{"model": scope.model(j.relation.target), "name": j.relation.name, "local_field": j.relation.key.position,
             "fields": [f.position for f in j.fields]} for j in query.joins]


def _source_index(sources: list[Any], wanted: Any) -> int:
    if isinstance(wanted, ForeignKey):
        wanted = wanted.target
    for at, source in enumerate(sources):
        if source is wanted:
            return at
    raise TypeError(f"for_update(of=...): {getattr(wanted, '__name__', wanted)!r} is not a model the select reads")


def _count(n: Any, what: str) -> int | None:
    if n is None and what in ("limit", "offset"):
        return None
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"{what} takes an int, not {type(n).__name__}")
    if n < 0:
        raise ValueError(f"{what} cannot be negative ({n}): queries do not count from the end")
    return n
