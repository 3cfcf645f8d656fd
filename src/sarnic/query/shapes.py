"""The shape of a query: everything that decides its SQL text, as a hashable
key; and its bound values in the order of the statement's placeholders.

Two queries of one shape compile to the same text, so a Database compiles a
shape once and binds each new query's values into it. The predicted value
order is checked against the core's own once per shape (see statement.py);
a shape whose prediction does not hold is simply compiled every time.
"""

from __future__ import annotations

from typing import Any

from sarnic.model.columns import Column, Comparison, Not, _Group
from sarnic.query.base import Query, _Filtered
from sarnic.query.select import Select
from sarnic.query.writes import Delete, Insert, Update

#: operators that bind no value
_UNBOUND = frozenset(("is_null", "is_not_null"))
_COUNT_MAX = 2**63 - 1

Binds = list[tuple[Column | None, Any]]


def _tree(node: Any, binds: Binds) -> Any:
    if type(node) is Comparison:
        f = node.field
        if node.operator not in _UNBOUND:
            binds.append((f, node.ir[2][1]))
        return (f.position, node.operator)
    if isinstance(node, _Group):
        return (node.kind, tuple(_tree(c, binds) for c in node.children))
    if isinstance(node, Not):
        return ("not", _tree(node.child, binds))
    raise TypeError(f"not a condition: {node!r}")


def fields_key(model: Any, fields: tuple[Any, ...]) -> tuple[int, ...]:
    """The positions of a select's fields, its model's own tuple where it
    reads every field. Positions, not fields: a field's == makes a
    condition, never a truth a key could be compared by."""
    return model.__field_positions__ if fields is model.__fields__ else tuple([f.position for f in fields])


def joins_key(joins: tuple[Any, ...]) -> tuple[Any, ...]:
    """Each join's relation and the positions of the fields it reads."""
    return tuple([(j.relation.name, tuple([f.position for f in j.fields])) for j in joins]) if joins else ()


def _where(query: _Filtered[Any], binds: Binds) -> Any:
    predicates = query.predicates
    return (tuple([_tree(c, binds) for c in query.filters]),
            tuple([_tree(p, binds) for p in predicates]) if predicates else ())


def _select(q: Select[Any], variant: str, dialect: str, binds: Binds) -> Any:
    where = _where(q, binds)
    vector = rank = None
    if not q.order:
        if q.vector is not None:
            vf, metric, bind = q.vector
            vector = (vf.position, metric)
            binds.append((vf, bind[1]))
        elif q.text_rank is not None:
            rf, text, mode = q.text_rank
            rank = (rf.position, mode)
            binds.append((rf, text))
    limit, offset = q._limit, q._offset
    if dialect == "mssql":
        if limit is not None or offset is not None:
            binds.append((None, min(offset or 0, _COUNT_MAX)))
            if limit is not None:
                binds.append((None, min(limit, _COUNT_MAX)))
    else:
        if limit is not None:
            binds.append((None, min(limit, _COUNT_MAX)))
        if offset is not None:
            binds.append((None, min(offset, _COUNT_MAX)))
    order = q.order
    return (variant, q.model, fields_key(q.model, q.fields), where,
            tuple([(o.field.position, o.direction) for o in order]) if order else (), vector, rank,
            limit is not None, offset is not None, q._distinct, joins_key(q.joins))


def shape(query: Query[Any], variant: str, dialect: str) -> tuple[Any, Binds] | None:
    """The query's shape key and its bound values in placeholder order, or
    None for queries whose statements are not worth keeping (the bulk ones,
    whose text grows with their rows)."""
    binds: Binds = []
    t = type(query)
    if t is Select:
        return _select(query, variant, dialect, binds), binds  # type: ignore[arg-type]
    if t is Insert:
        values = query.values  # type: ignore[attr-defined]
        binds.extend((f, b[1]) for f, b in values)
        return ("insert", query.model, tuple(f.position for f, _ in values)), binds
    if t is Update:
        assignments = query.assignments  # type: ignore[attr-defined]
        binds.extend((f, b[1]) for f, b in assignments)
        key = ("update", query.model, tuple(f.position for f, _ in assignments), query.danger,  # type: ignore[attr-defined]
               _where(query, binds))  # type: ignore[arg-type]
        return key, binds
    if t is Delete:
        return ("delete", query.model, query.danger, _where(query, binds)), binds  # type: ignore[attr-defined,arg-type]
    return None
