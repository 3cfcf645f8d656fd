"""`Select`: the rows of a model as instances, with joins, orderings, paging,
vector and text ranking, and the prefetches that load related rows."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, Self

from sarnic.model.fields.base import Bind, Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.model.fields.search import TSVector, Vector
from sarnic.model.fields.text import Text
from sarnic.model.relations.many import ManySide
from sarnic.query.base import (IR_VERSION, Join, M, _Paged, _joins, _new, _order_keys, _own_field, _source_index,
                               _sources)
from sarnic.model.columns import ColumnExpr, Ordering

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.query.statement_ir import Scope

METRICS = ("l2", "cosine", "inner_product")
MODES = ("plain", "phrase", "websearch", "boolean")

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

    def prefetch(self, relation: ManySide[type[Table]] | ForeignKey[Any], query: Select[Any] | None = None) -> Self:
        """Load a relation of the fetched instances (`author.posts`) with one
        select per level after this one, over the keys it fetched; `query`
        filters, orders and prefetches the related rows in turn."""
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


_SELECT_STATE: dict[str, Any] = {"filters": (), "predicates": (), "order": (), "_limit": None, "_offset": None,
                                 "_distinct": False, "vector": None, "text_rank": None, "joins": (), "lock": None,
                                 "prefetches": ()}


class Prefetch:
    """One relation to load, with the select that loads it (its own
    prefetches are the next level)."""

    __slots__ = ("relation", "query", "parent_key", "child_key", "plain")

    def __init__(self, relation: ManySide[type[Table]] | ForeignKey[Any], query: Select[Any],
                 parent_key: Field[Any], child_key: Field[Any], plain: bool) -> None:
        self.relation = relation
        self.query = query
        #: the parents' field the children are found by, and the children's field that holds it
        self.parent_key = parent_key
        self.child_key = child_key
        #: the query only picks fields: a many-to-many's targets can come joined to their pairs
        self.plain = plain

    def __repr__(self) -> str:
        return f"<Prefetch {self.relation.label}>"


def plan(parent: Select[Any], relation: Any, query: Any) -> Prefetch:
    """The checked prefetch of `relation` for instances `parent` fetches."""
    model = parent.model
    if isinstance(relation, ManySide) and issubclass(model, relation.owner):
        relation.resolve()
        child = relation.target
        parent_key, child_key = relation.keys()
    elif isinstance(relation, ForeignKey) and relation.model is model:
        child = relation.target
        parent_key, child_key = relation.key, child.__pk__[0]
    else:
        raise TypeError(f"prefetch() takes a relation of {model.__name__} (a Reverse, ManyToMany or ForeignKey "
                        f"declared on it), not {relation!r}")
    if not any(f is parent_key for f in parent.fields):
        raise ValueError(f"prefetch({relation.label}) finds related rows by {parent_key.label}: select it")
    if query is None:
        query = Select.of(child, ())
    elif not isinstance(query, Select) or query.model is not child:
        raise TypeError(f"prefetch({relation.label}) takes a select of {child.__name__}, not {query!r}")
    if query._limit is not None or query._offset is not None:
        raise ValueError(f"prefetch({relation.label}): a limit or offset would apply to the related rows of all "
                         "parents together; filter them with where() instead")
    if not any(f is child_key for f in query.fields):
        query = query._derive(fields=(*query.fields, child_key))
    plain = not (query.order or query.vector or query.text_rank or query.scoped or query.joins or query._distinct)
    if plain and not isinstance(relation, ForeignKey):
        query = query.order_by(*child.__pk__)
    return Prefetch(relation, query, parent_key, child_key, plain)
