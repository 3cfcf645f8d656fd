"""Queries: immutable values that describe one statement on one model and
turn into the core's IR. Every method returns a new query."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, Generic, Literal, Self, TypeVar

from sarnic.query import bulk_rows
from sarnic.query.compiled import Compiled, compile_query
from sarnic.query.expr import (TEXT_CASE_OPERATORS, And, ColumnExpr, Comparison, Condition, Excluded, Expression,
                         Ordering, Value, _condition, text_case_dialects)
from sarnic.model.fields.base import NULL_BIND, Bind, Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.model.fields.search import TSVector, Vector
from sarnic.model.fields.text import Text

if TYPE_CHECKING:
    from sarnic.model.base import Model
    from sarnic.model.relations.many import Many
    from sarnic.execution.prefetch import Prefetch
    from sarnic.query.statement_ir import Scope

M = TypeVar("M", bound="Model", covariant=True)
R = TypeVar("R", covariant=True)

IR_VERSION = 3
METRICS = ("l2", "cosine", "inner_product")
MODES = ("plain", "phrase", "websearch", "boolean")

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


def _own_field(model: type[Model], field: Any, what: str) -> Field[Any]:
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


class Select(_Paged[M]):
    """A select: `Post.select()`, then `where`, `order_by`, paging and the rest."""

    operation = "select"
    fields: tuple[Field[Any], ...]
    order: tuple[Ordering, ...]
    _limit: int | None
    _offset: int | None
    _distinct: bool
    vector: tuple[Vector[Any], str, Bind] | None
    text_rank: tuple[Field[Any], str, str] | None
    joins: tuple[Join, ...]
    lock: tuple[bool, bool, tuple[Any, ...] | None] | None
    prefetches: tuple[Prefetch, ...]

    @classmethod
    def of(cls, model: type[M], fields: Sequence[Any]) -> Select[M]:
        if model.__abstract__:
            raise TypeError(f"{model.__name__} is abstract: it has no table to select from")
        if fields:
            own = [f if isinstance(f, Field) and f.model is model else _own_field(model, f, "select()") for f in fields]
            picked = tuple(own) if len(set(own)) == len(own) else tuple(dict.fromkeys(own))
        else:
            picked = model.__fields__
        new = _new(cls)
        d = new.__dict__
        d |= _SELECT_STATE
        d["model"] = model
        d["fields"] = picked
        return new

    # -- building ------------------------------------------------------------

    def order_by(self, *keys: ColumnExpr[Any] | Ordering) -> Self:
        """Sort by these keys (a field sorts ascending), replacing any earlier
        ordering, nearest-neighbour or rank ordering included. Keys are the
        model's fields, the fields of a model it joins, or expressions."""
        model = self.model
        order: tuple[Ordering, ...] = keys  # type: ignore[assignment]
        newer = False
        for k in keys:
            if type(k) is not Ordering or k.field.model is not model or k.field._source is not None:
                order, newer = _order_keys(self, keys, "order_by()")
                break
        if "_alias" in self.__dict__:
            order, newer = _order_keys(self, keys, "order_by()")
        new = _new(type(self))
        d = new.__dict__
        d |= self.__dict__
        d["order"] = order
        d["vector"] = d["text_rank"] = None
        if newer or "_order_newer" in d:
            d["_order_newer"] = newer
        return new

    def for_update(self, *, skip_locked: bool = False, nowait: bool = False,
                   of: Sequence[Any] | None = None) -> Self:
        """Lock the selected rows until the transaction ends (PostgreSQL,
        MySQL/MariaDB; the table hint on SQL Server; nothing on SQLite, whose
        transactions hold the write lock already). `of` names the models (or
        aliases) whose rows are locked; outside a transaction the select is refused."""
        if skip_locked and nowait:
            raise ValueError("for_update() takes skip_locked or nowait, not both")
        if of is not None:
            if isinstance(of, type) or not isinstance(of, Sequence):
                of = [of]
            of = tuple(of)
        return self._derive_one("lock", (bool(skip_locked), bool(nowait), of))

    def nearest(self, field: Vector[Any], vector: Sequence[float],
                metric: Literal["l2", "cosine", "inner_product"] = "l2") -> Self:
        """Order by distance to a vector (replaces any other ordering)."""
        own = _own_field(self.model, field, "nearest()")
        if not isinstance(own, Vector):
            raise TypeError(f"nearest() orders by a Vector field; {own.label} is a {type(own).__name__}")
        f = own
        if metric not in METRICS:
            raise ValueError(f"metric is one of {', '.join(METRICS)}, not {metric!r}")
        if vector is None:
            raise TypeError("nearest() takes a vector, not None")
        return self._derive(vector=(f, metric, f.bind(vector)), order=(), text_rank=None, _order_newer=False)

    def rank(self, field: Field[Any], query: str,
             mode: Literal["plain", "phrase", "websearch", "boolean"] = "plain") -> Self:
        """Order by full-text rank against a query, best first (replaces any other ordering)."""
        searched = _own_field(self.model, field, "rank()")
        if not isinstance(searched, (Text, TSVector)):
            raise TypeError(f"rank() orders by a Text or TSVector field; {searched.label} is a "
                            f"{type(searched).__name__}")
        if not isinstance(query, str):
            raise TypeError(f"rank() takes a str query, not {type(query).__name__}")
        if mode not in MODES:
            raise ValueError(f"mode is one of {', '.join(MODES)}, not {mode!r}")
        return self._derive(text_rank=(searched, query, mode), order=(), vector=None, _order_newer=False)

    def join(self, relation: ForeignKey[Any], *fields: Field[Any]) -> Self:
        """Fetch the related row along a relation: each instance then carries it
        (or None), holding its key and these fields (all fields when none are named)."""
        if not isinstance(relation, ForeignKey) or relation.model is not self.model:
            raise TypeError(f"join() takes a relation of {self.model.__name__}, such as "
                            f"{self.model.__name__}.<ForeignKey field>, not {relation!r}")
        picked = tuple(_own_field(relation.target, f, f"join({relation.label})") for f in fields)
        joins = tuple(j for j in self.joins if j.relation is not relation) + (Join(relation, picked),)
        return self._derive(joins=joins)

    def prefetch(self, relation: Many[Any] | ForeignKey[Any], query: Select[Any] | None = None) -> Self:
        """Load a relation of the fetched instances (`author.posts`) with one
        select per level after this one, over the keys it fetched; `query`
        filters, orders and prefetches the related rows in turn."""
        from sarnic.execution.prefetch import plan

        step = plan(self, relation, query)
        return self._derive_one("prefetches", (*(p for p in self.prefetches if p.relation is not relation), step))

    # -- IR ------------------------------------------------------------------

    def ir(self, *, exists: bool = False) -> list[Any]:
        model, fields, filters, order, joins = self.model, self.fields, self.filters, self.order, self.joins
        vector = None
        if self.vector is not None:
            vf, metric, bind = self.vector
            vector = [vf.ref, metric, bind]
        rank = None
        if self.text_rank is not None:
            rf, text, mode = self.text_rank
            rank = [rf.ref, ("text", text), mode]
        return [IR_VERSION, model.__name__,
                ["select", list(model.__field_refs__) if fields is model.__fields__ else [f.ref for f in fields]],
                [c.ir for c in filters] if filters else [], [o.ir for o in order] if order else [],
                self._limit, self._offset, vector, rank, self._predicate_ir() if self.predicates else None,
                self._distinct, exists, [j.ir for j in joins] if joins else []]

    @property
    def uses_statement_ir(self) -> bool:
        d = self.__dict__
        return bool(d.get("_newer") or d.get("_order_newer") or d["lock"] is not None)

    def statement(self, scope: Scope) -> dict[str, Any]:
        sources = _sources(self)
        scope.stack.append(sources)
        try:
            doc: dict[str, Any] = {
                "model": scope.model(self.model),
                "operation": {"kind": "select", "fields": [f.position for f in self.fields]},
                "where": self._where_node(scope), "joins": _joins(self, scope),
                "order_by": [o.render(scope) for o in self.order],
                "limit": self._limit, "offset": self._offset, "distinct": self._distinct}
            if self.lock is not None:
                skip, nowait, of = self.lock
                doc["lock"] = {"skip_locked": skip, "nowait": nowait,
                               "of": [] if of is None else [_source_index(sources, o) for o in of]}
            if self.vector is not None:
                vf, metric, bind = self.vector
                doc["vector_order_by"] = [vf.ref, metric, bind]
            if self.text_rank is not None:
                rf, text, mode = self.text_rank
                doc["text_rank_by"] = [rf.ref, ("text", text), mode]
        finally:
            scope.stack.pop()
        return doc

    def count_query(self) -> Select[M]:
        """The select whose rows `count` counts: the key alone, unordered,
        unless DISTINCT or paging make the projection or the order matter."""
        paged = self._limit is not None or self._offset is not None
        if self._distinct:
            fields = self.fields
        else:
            fields = self.model.__pk__[:1]
        # Joins stay, down to the target's key: the conditions and the order
        # may name the joined models, and a to-one LEFT JOIN adds no rows.
        joins = self.joins if self._distinct else tuple(Join(j.relation, j.fields[:1]) for j in self.joins)
        q = self._derive(fields=fields, joins=joins, prefetches=(),
                         order=self.order if paged else (), vector=self.vector if paged else None,
                         text_rank=self.text_rank if paged else None, lock=None,
                         _order_newer=self.__dict__.get("_order_newer", False) and paged)
        return q


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


_SELECT_STATE: dict[str, Any] = {"filters": (), "predicates": (), "order": (), "_limit": None, "_offset": None,
                                 "_distinct": False, "vector": None, "text_rank": None, "joins": (), "lock": None,
                                 "prefetches": ()}


class Values(_Paged[Any], Generic[R]):
    """A select of expressions, read back as tuples: `Post.values(Post.author_id, fn.count())`."""

    operation = "select"
    items: tuple[ColumnExpr[Any], ...]
    group: tuple[ColumnExpr[Any], ...]
    having_: tuple[Condition, ...]
    order: tuple[Ordering, ...]
    joins: tuple[Join, ...]

    @classmethod
    def of(cls, model: type[Model], items: Sequence[Any], alias: Any = None) -> Values[Any]:
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


class Alias:
    """A second occurrence of a model's table in one statement: it has the
    model's fields and queries, and its selects yield the model's instances."""

    def __init__(self, model: type[Model]) -> None:
        if model.__abstract__:
            raise TypeError(f"{model.__name__} is abstract: it has no table to alias")
        self.model = model
        self.__name__ = model.__name__
        self.__fields__ = []
        for f in model.__fields__:
            twin = f.clone()
            twin.bind_to(model, f.name, f.position)
            twin._source = self
            self.__dict__[f.name] = twin
            self.__fields__.append(twin)

    def select(self, *fields: Field[Any]) -> Select[Any]:
        picked = [self._own(f).position for f in fields]
        query = Select.of(self.model, [self.model.__fields__[i] for i in picked])
        return query._derive_one("_alias", self)

    def values(self, *items: Any) -> Values[Any]:
        return Values.of(self.model, items, self)

    def _own(self, f: Any) -> Field[Any]:
        if isinstance(f, ForeignKey):
            f = getattr(self, f.key.name)
        if not isinstance(f, Field) or f.source is not self:
            raise TypeError(f"select() on an alias of {self.model.__name__} takes the alias's fields, not {f!r}")
        return f

    def __repr__(self) -> str:
        return f"<alias of {self.model.__name__}>"


def _count(n: Any, what: str) -> int | None:
    if n is None and what in ("limit", "offset"):
        return None
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"{what} takes an int, not {type(n).__name__}")
    if n < 0:
        raise ValueError(f"{what} cannot be negative ({n}): queries do not count from the end")
    return n


def _assignments(model: type[Model], values: Mapping[str, Any], what: str) -> dict[str, Any]:
    """Field values by field name, with relations (author=ann) turned into their keys."""
    out: dict[str, Any] = {}
    for name, value in values.items():
        rel = model.__relations__.get(name)
        if rel is not None:
            if value is not None and not isinstance(value, rel.target):
                raise TypeError(f"{rel.label} takes a {rel.target.__name__}, not {type(value).__name__}")
            name, value = rel.key.name, None if value is None else value._key_value()
        f = model.__fields_by_name__.get(name)
        if f is None:
            raise TypeError(f"{what}: {model.__name__} has no field {name!r}")
        if f.generated:
            raise TypeError(f"{what}: {f.label} is derived by the database and cannot be written")
        if name in out:
            raise TypeError(f"{what}: {f.label} is given twice")
        out[name] = value
    return out


def _row(model: type[Model], obj: Any, values: Mapping[str, Any], what: str) -> list[tuple[Field[Any], Bind]]:
    """The (field, bind value) pairs an insert writes: the given values, then
    defaults; an absent generated key is left to the database."""
    if obj is not None:
        if values:
            raise TypeError(f"{what} takes an instance or field values, not both")
        if not isinstance(obj, model):
            raise TypeError(f"{what} takes a {model.__name__}, not {type(obj).__name__}")
        d = obj.__dict__
        return _not_empty(model, [(f, f.bind(d[f.name])) for f in model.__writable__ if f.name in d])
    given = _assignments(model, values, what)
    pairs = []
    for f in model.__writable__:
        name = f.name
        if name in given:
            pairs.append((f, f.bind(given[name])))
        elif f.has_default:
            pairs.append((f, f.bind(f.make_default())))
        elif not (f.null or f.auto_key):
            raise TypeError(f"{what}: {model.__name__} needs a value for {name!r}")
    return _not_empty(model, pairs)


def _not_empty(model: type[Model], pairs: list[tuple[Field[Any], Bind]]) -> list[tuple[Field[Any], Bind]]:
    """A row of defaults only names one nullable column as NULL, its default:
    an insert with an empty column list runs on MySQL alone."""
    if not pairs:
        nullable = next((f for f in model.__writable__ if f.null), None)
        if nullable is not None:
            pairs.append((nullable, NULL_BIND))
    return pairs


def _value_node(bind: Bind, label: str) -> dict[str, Any]:
    return {"kind": "value", "value": {"type": bind[0], "value": bind[1]}, "label": label}


def _write_expr(scope: Scope, field: Field[Any], value: Any, op: str) -> dict[str, Any]:
    if isinstance(value, (ColumnExpr, Value)):
        return value.render(scope)
    return _value_node(value, scope.label(field, op))


Conflict = tuple[tuple[Field[Any], ...], tuple[tuple[Field[Any], Any], ...] | None]


def _conflict(model: type[Model], target: Sequence[Any], update: Any, what: str) -> Conflict:
    """An upsert's target (the key or a unique field) and its update: None
    (do nothing), fields (take the proposed values) or values by field."""
    if not target:
        raise TypeError(f"{what} names the key or a unique field whose conflict it handles")
    fields = tuple(dict.fromkeys(_own_field(model, f, what) for f in target))
    pk = model.__pk__
    if set(fields) != set(pk) and not (len(fields) == 1 and fields[0].unique):
        names = ", ".join(f.label for f in fields)
        raise ValueError(f"{what}: {names} is neither the key of {model.__name__} nor a unique field: "
                         f"a conflict is only found on those")
    if update is None:
        return fields, None
    pairs: list[tuple[Field[Any], Any]] = []
    if isinstance(update, Mapping):
        for key, value in update.items():
            f = _own_field(model, key, what)
            if isinstance(value, ColumnExpr):
                pairs.append((f, value))
            else:
                pairs.append((f, f.bind(value)))
    else:
        if isinstance(update, (str, bytes, Field, ForeignKey)) or not isinstance(update, Iterable):
            raise TypeError(f"{what}: update takes a list of fields or a dict of field values")
        for key in update:
            f = _own_field(model, key, what)
            pairs.append((f, Excluded(f)))
    if not pairs:
        raise ValueError(f"{what}: update names no field (leave it out to do nothing on a conflict)")
    for f, _ in pairs:
        if f.generated:
            raise TypeError(f"{what}: {f.label} is derived by the database and cannot be written")
    return fields, tuple(pairs)


def _conflict_node(scope: Scope, conflict: Conflict | None) -> dict[str, Any] | None:
    if conflict is None:
        return None
    target, update = conflict
    if update is None:
        return {"target": [f.position for f in target], "update": None}
    scope.conflict = True
    try:
        return {"target": [f.position for f in target],
                "update": [[f.position, _write_expr(scope, f, v, "assign")] for f, v in update]}
    finally:
        scope.conflict = False


class Insert(Query[M]):
    operation = "insert"
    values: tuple[tuple[Field[Any], Bind], ...]
    conflict: Conflict | None

    @classmethod
    def of(cls, model: type[M], obj: Any, values: Mapping[str, Any]) -> Insert[M]:
        return cls._make({"model": model, "values": tuple(_row(model, obj, values, f"{model.__name__}.insert()")),
                          "conflict": None})

    def on_conflict(self, *target: Field[Any], update: Sequence[Field[Any]] | Mapping[Any, Any] | None = None
                    ) -> Upsert[M]:
        """An upsert: where a row with the same target (the key or a unique
        field) exists, do nothing, or update it: `update=[fields]` takes the
        new row's values, `update={field: value or expression}` sets these
        (`excluded(f)` is the new row's value). MySQL and MariaDB ignore the
        target: any unique key's conflict counts there."""
        conflict = _conflict(self.model, target, update, f"{self.model.__name__}.insert().on_conflict()")
        new = _new(Upsert)
        new.__dict__.update(self.__dict__, conflict=conflict)
        return new

    @property
    def uses_statement_ir(self) -> bool:
        return self.conflict is not None

    def ir(self) -> list[Any]:
        return [IR_VERSION, self.model.__name__, ["insert", [[f.ref, b] for f, b in self.values]], [], [],
                None, None]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            values = [[f.position, _value_node(b, scope.label(f, "insert"))] for f, b in self.values]
            return {"model": scope.model(self.model),
                    "operation": {"kind": "insert", "values": values,
                                  "on_conflict": _conflict_node(scope, self.conflict)}}
        finally:
            scope.stack.pop()


class Upsert(Insert[M]):
    """An insert with `on_conflict`: `fetch_one` hands back the stored row,
    or None where a conflict did nothing."""


class Update(_Filtered[M]):
    operation = "update"
    assignments: tuple[tuple[Field[Any], Any], ...]
    danger: bool

    @classmethod
    def of(cls, model: type[M], values: Mapping[str, Any], danger: bool) -> Update[M]:
        """Values are checked by their fields; an expression (`Post.views + 1`)
        sets the column from the row's own values."""
        what = f"{model.__name__}.update()"
        given = _assignments(model, values, what)
        if not given:
            raise TypeError(f"{what} needs at least one field to set")
        by_name = model.__fields_by_name__
        pairs: list[tuple[Field[Any], Any]] = []
        newer = False
        for n, v in given.items():
            if isinstance(v, ColumnExpr):
                newer = True
                pairs.append((by_name[n], v))
            else:
                pairs.append((by_name[n], by_name[n].bind(v)))
        return cls._make({"model": model, "filters": (), "predicates": (), "danger": bool(danger),
                          "assignments": tuple(pairs), "_newer": newer})

    @property
    def uses_statement_ir(self) -> bool:
        return bool(self.__dict__.get("_newer"))

    def ir(self) -> list[Any]:
        op = ["update", [[f.ref, b] for f, b in self.assignments], self.danger]
        return [IR_VERSION, self.model.__name__, op, self._filters_ir(), [], None, None, None, None,
                self._predicate_ir()]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            return {"model": scope.model(self.model),
                    "operation": {"kind": "update", "danger": self.danger,
                                  "assignments": [[f.position, _write_expr(scope, f, v, "assign")]
                                                  for f, v in self.assignments]},
                    "where": self._where_node(scope)}
        finally:
            scope.stack.pop()


class Delete(_Filtered[M]):
    operation = "delete"
    danger: bool

    @classmethod
    def of(cls, model: type[M], danger: bool) -> Delete[M]:
        return cls._make({"model": model, "filters": (), "predicates": (), "danger": bool(danger)})

    @property
    def uses_statement_ir(self) -> bool:
        return bool(self.__dict__.get("_newer"))

    def ir(self) -> list[Any]:
        return [IR_VERSION, self.model.__name__, ["delete", self.danger], self._filters_ir(), [], None, None,
                None, None, self._predicate_ir()]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            return {"model": scope.model(self.model), "operation": {"kind": "delete", "danger": self.danger},
                    "where": self._where_node(scope)}
        finally:
            scope.stack.pop()


class BulkInsert(Query[M]):
    operation = "bulk_insert"
    columns: tuple[Field[Any], ...]
    rows: tuple[tuple[Bind, ...], ...]
    returning: bool
    conflict: Conflict | None

    @classmethod
    def of(cls, model: type[M], rows: Iterable[Any], returning: bool) -> BulkInsert[M]:
        what = f"{model.__name__}.bulk_insert()"
        if isinstance(rows, (Mapping, str, bytes)) or isinstance(rows, model):
            raise TypeError(f"{what} takes a list of rows (instances or dicts)")
        rows = rows if isinstance(rows, (list, tuple)) else list(rows)
        if not rows:
            return cls._make({"model": model, "columns": (), "rows": (), "returning": bool(returning),
                              "conflict": None})
        given = bulk_rows.given_names(model, rows)
        if given is None:
            # Rows that name relations (author=ann) or other fields: each
            # checked and made a dict of field values first.
            rows = [_plain_row(model, r, what) for r in rows]
            given = set().union(*rows)
        columns = bulk_rows.written_columns(model, given, what)
        binds = bulk_rows.binder(model, columns)(rows)
        return cls._make({"model": model, "columns": columns, "rows": tuple(binds), "returning": bool(returning),
                          "conflict": None})

    def on_conflict(self, *target: Field[Any], update: Sequence[Field[Any]] | Mapping[Any, Any] | None = None
                    ) -> Self:
        """As `Insert.on_conflict`, for every row."""
        return self._derive_one("conflict", _conflict(self.model, target, update,
                                                      f"{self.model.__name__}.bulk_insert().on_conflict()"))

    @property
    def uses_statement_ir(self) -> bool:
        return self.__dict__.get("conflict") is not None

    def ir(self) -> list[Any]:
        refs = [f.ref for f in self.columns]
        rows = [[[r, b] for r, b in zip(refs, row)] for row in self.rows]
        return [IR_VERSION, self.model.__name__, ["bulk_insert", rows, self.returning], [], [], None, None]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            positions = [f.position for f in self.columns]
            rows = [[[p, {"type": b[0], "value": b[1]}] for p, b in zip(positions, row)] for row in self.rows]
            return {"model": scope.model(self.model),
                    "operation": {"kind": "bulk_insert", "rows": rows, "returning": self.returning,
                                  "on_conflict": _conflict_node(scope, self.conflict)}}
        finally:
            scope.stack.pop()


def _plain_row(model: type[Model], row: Any, what: str) -> dict[str, Any]:
    """A bulk row as the values of the model's writable fields, by name."""
    if isinstance(row, model):
        names = model.__writable_names__
        return {k: v for k, v in row.__dict__.items() if k in names}
    if not isinstance(row, Mapping):
        raise TypeError(f"{what} takes instances or dicts, not {type(row).__name__}")
    return _assignments(model, row, what)


class BulkUpdate(Query[M]):
    operation = "bulk_update"
    fields: tuple[Field[Any], ...]
    rows: tuple[tuple[tuple[Bind, ...], tuple[Bind, ...]], ...]

    @classmethod
    def of(cls, model: type[M], objs: Iterable[Any], fields: Sequence[Any]) -> BulkUpdate[M]:
        what = f"{model.__name__}.bulk_update()"
        if isinstance(fields, (Field, ForeignKey)):
            fields = [fields]
        picked = tuple(dict.fromkeys(_own_field(model, f, what) for f in fields))
        if not picked:
            raise TypeError(f"{what} needs at least one field to set")
        pk = model.__pk__
        for f in picked:
            if any(f is k for k in pk):
                raise TypeError(f"{what}: {f.label} is part of the key that finds each row; it cannot be set here")
            if f.generated:
                raise TypeError(f"{what}: {f.label} is derived by the database and cannot be written")
        rows = []
        for obj in objs:
            if not isinstance(obj, model):
                raise TypeError(f"{what} takes {model.__name__} instances, not {type(obj).__name__}")
            d = obj.__dict__
            try:
                keys = tuple(f.bind(d[f.name]) for f in pk)
            except KeyError:
                raise ValueError(f"{what}: a {model.__name__} without its key cannot be updated") from None
            missing = [f.name for f in picked if f.name not in d]
            if missing:
                raise ValueError(f"{what}: a {model.__name__} does not hold {', '.join(missing)}")
            rows.append((keys, tuple(f.bind(d[f.name]) for f in picked)))
        return cls._make({"model": model, "fields": picked, "rows": tuple(rows)})

    def ir(self) -> list[Any]:
        op = ["bulk_update", [f.ref for f in self.model.__pk__], [f.ref for f in self.fields],
              [[list(k), list(v)] for k, v in self.rows]]
        return [IR_VERSION, self.model.__name__, op, [], [], None, None]

    def needs_statement_ir(self, dialect: str) -> bool:
        # The query IR's bulk update is PostgreSQL's UPDATE ... FROM (VALUES ...);
        # the statement IR writes one CASE per column for the other engines.
        return dialect != "postgres"

    def statement(self, scope: Scope) -> dict[str, Any]:
        return {"model": scope.model(self.model), "operation": {
            "kind": "bulk_update", "pk_fields": [f.position for f in self.model.__pk__],
            "fields": [f.position for f in self.fields],
            "rows": [[[list(b) for b in keys], [list(b) for b in values]] for keys, values in self.rows]}}

    def params_per_row(self, dialect: str) -> int:
        keys, fields = len(self.model.__pk__), len(self.fields)
        return keys + fields if dialect == "postgres" else fields * (keys + 1) + keys


class BulkDelete(Query[M]):
    operation = "bulk_delete"
    ids: tuple[tuple[Bind, ...], ...]

    @classmethod
    def of(cls, model: type[M], keys: Iterable[Any]) -> BulkDelete[M]:
        what = f"{model.__name__}.bulk_delete()"
        if isinstance(keys, (str, bytes)) or not isinstance(keys, Iterable):
            raise TypeError(f"{what} takes a list of keys")
        pk = model.__pk__
        ids: list[tuple[Bind, ...]] = []
        for key in keys:
            if isinstance(key, model):
                key = key._key_value()
            if len(pk) == 1:
                ids.append((pk[0].bind(key),))
                continue
            if not isinstance(key, (tuple, list)) or len(key) != len(pk):
                names = ", ".join(f.name for f in pk)
                raise ValueError(f"{what}: {model.__name__} keys are tuples of ({names}), not {key!r}")
            ids.append(tuple(f.bind(v) for f, v in zip(pk, key)))
        return cls._make({"model": model, "ids": tuple(ids)})

    def ir(self) -> list[Any]:
        op = ["bulk_delete", [f.ref for f in self.model.__pk__], [list(i) for i in self.ids]]
        return [IR_VERSION, self.model.__name__, op, [], [], None, None]
