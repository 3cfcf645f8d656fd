"""The shape of a query written in the statement IR: one pass over the query
that yields a hashable key of everything its SQL text and labels follow from
(statement kinds, models, columns and where each is read, operators,
functions, value types, and on dialects that write one placeholder per list
element the lengths of IN lists), and the bound values in the order of the
statement's placeholders, which is their order in the text: a select's items,
WHERE, GROUP BY, HAVING, ORDER BY, then paging; a subquery's values where
the subquery stands.

Queries and nodes are matched by their exact classes: anything else (a
subclass, a node built by hand that the walk does not know) has no shape and
is compiled every time. The walk reads what the nodes' `render` read and
nothing more, so a key that matches is the document that would be written,
values aside. `Statements` (sarnic.execution.statement) checks a shape's prediction
against the core's own values and labels once before keeping it.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from sarnic.model.columns import (And, Arith, Column, ColumnExpr, Compare, Comparison, InList, Neg, Not, NullTest, Or,
                                  Ordering, Value)
from sarnic.model.fields.base import Field
from sarnic.query.base import _source_index
from sarnic.query.bulk import BulkInsert, BulkUpdate
from sarnic.query.expr import Excluded, Exists
from sarnic.query.functions import Func
from sarnic.query.select import Select
from sarnic.query.values import InQuery, Values
from sarnic.query.writes import Delete, Insert, Update, Upsert

#: dialects that bind an IN list as one value (any other writes one
#: placeholder per element, so a list's length is part of the shape there)
LIST_AS_ONE = frozenset(("postgres", "sqlite", "mssql"))
_COUNT_MAX = 2**63 - 1
_UNBOUND = frozenset(("is_null", "is_not_null"))

#: A label as the walk knows it: the whole label, or (field, operator), which
#: reads "<field>:<operator>" (the field's model named where it is not the base).
Label = str | tuple[Column, str]


#: a query's key; its bound values with their labels, in placeholder order;
#: the places that bind again what an earlier one binds
Shape = tuple[Any, list[Any], list[Label], list[int]]


class _Walk:
    # No cleanup on the way out of an error: a walk that fails is dropped whole.
    __slots__ = ("stack", "values", "labels", "echoes", "expands", "mssql", "postgres", "conflict")

    def __init__(self, dialect: str) -> None:
        self.stack: list[list[Any]] = []
        self.values: list[Any] = []
        self.labels: list[Label] = []
        #: places that bind again what an earlier place binds (a list's operand, written twice)
        self.echoes: list[int] = []
        self.expands = dialect not in LIST_AS_ONE
        self.mssql = dialect == "mssql"
        self.postgres = dialect == "postgres"
        self.conflict = False

    def locate(self, field: Any) -> tuple[int, int]:
        """As `Scope.locate`: the table occurrence a column reads, counted
        from the innermost statement out."""
        source = field.source
        stack = self.stack
        if stack[-1][0] is source:
            return _HERE
        for up, sources in enumerate(reversed(stack)):
            for at, candidate in enumerate(sources):
                if candidate is source:
                    return at, up
        raise _NoShape


_HERE = (0, 0)


class _NoShape(Exception):
    """The query is outside what the walk knows: it is compiled as it is."""


def label_text(label: Label, base: Any) -> str:
    if isinstance(label, str):
        return label
    field, op = label
    name = field.name if field.model is base else f"{field.model.__name__}.{field.name}"
    return f"{name}:{op}"


# -- expressions and conditions ----------------------------------------------------------------------

def _field(w: _Walk, f: Any) -> Any:
    at, up = w.locate(f)
    return ("f", f.position, at, up)


def _value(w: _Walk, v: Value) -> Any:
    tag, payload = v.bind
    field = v.field
    w.values.append(payload)
    if field is None:
        w.labels.append(f"#{v.op}")
        return ("v", tag, v.op)
    w.labels.append((field, v.op))
    return ("v", tag, v.op, field.model, field.name, field.position)


def _arith(w: _Walk, e: Arith[Any]) -> Any:
    return ("a", e.op, _expr(w, e.left), _expr(w, e.right))


def _neg(w: _Walk, e: Neg[Any]) -> Any:
    return ("neg", _expr(w, e.operand))


def _excluded(w: _Walk, e: Excluded[Any]) -> Any:
    if not w.conflict:
        raise _NoShape
    return ("x", e.field.position)


def _func(w: _Walk, e: Func[Any]) -> Any:
    return ("fn", e.name, e.distinct, *[_expr(w, a) for a in e.args])


def _comparison(w: _Walk, c: Comparison) -> Any:
    f = c.field
    at, up = w.locate(f)
    op = c.operator
    tag, payload = c.ir[2]
    if op not in _UNBOUND:
        w.values.append(payload)
        w.labels.append((f, op))
    return ("c", op, tag, f.model, f.name, f.position, at, up)


def _group(w: _Walk, g: Any) -> Any:
    return (g.kind, *[_expr(w, c) for c in g.children])


def _not(w: _Walk, n: Not) -> Any:
    return ("not", _expr(w, n.child))


def _compare(w: _Walk, c: Compare) -> Any:
    return ("b", c.op, _expr(w, c.left), _expr(w, c.right))


def _null_test(w: _Walk, t: NullTest) -> Any:
    return ("u", t.op, _expr(w, t.expr))


def _in_list(w: _Walk, c: InList) -> Any:
    field, payloads = c.field, c.payloads
    op = "not_in" if c.negated else "in"
    label = (field, op)
    # The operand is written once before the list and, where the list holds
    # None, once more in "(x = NULL)": its values are bound at each place.
    mark = len(w.values)
    operand = _expr(w, c.operand)
    own_values, own_labels = w.values[mark:], w.labels[mark:]
    del w.values[mark:], w.labels[mark:]
    nulls = None in payloads
    listed = [v for v in payloads if v is not None] if nulls else payloads
    length = len(listed) if w.expands else -1
    if length != 0:  # an empty list one placeholder per element is written "1 = 0", its operand left out
        w.values += own_values
        w.labels += own_labels
        if w.expands:
            w.values += listed
            w.labels += [label] * len(listed)
        else:
            w.values.append(listed if nulls else list(listed))
            w.labels.append(label)
    if nulls:
        if length != 0:
            w.echoes += range(len(w.values), len(w.values) + len(own_values))
        w.values += own_values
        w.labels += own_labels
        w.values.append(None)
        w.labels.append(label)
    return ("in", c.negated, c.tag, field.model, field.name, field.position, operand, nulls, length)


def _in_query(w: _Walk, c: InQuery) -> Any:
    return ("inq", c.negated, _expr(w, c.operand), _subquery(w, c.query, False))


def _exists(w: _Walk, c: Exists) -> Any:
    return ("ex", c.negated, _subquery(w, c.query, True))


_NODES: dict[type, Callable[[_Walk, Any], Any]] = {
    Value: _value, Arith: _arith, Neg: _neg, Excluded: _excluded, Func: _func, Comparison: _comparison,
    And: _group, Or: _group, Not: _not, Compare: _compare, NullTest: _null_test, InList: _in_list,
    InQuery: _in_query, Exists: _exists,
}
_column_render = ColumnExpr.render
_column_source = ColumnExpr.source


def _expr(w: _Walk, node: Any) -> Any:
    walk = _NODES.get(type(node))
    if walk is not None:
        return walk(w, node)
    kind = type(node)
    # Columns: every field class that renders and places itself as a column does.
    if isinstance(node, Field) and kind.render is _column_render and kind.source is _column_source:
        return _field(w, node)
    raise _NoShape


def _ordering(w: _Walk, o: Any) -> Any:
    if type(o) is not Ordering:
        raise _NoShape
    return (_expr(w, o.field), o.direction)


# -- statements ---------------------------------------------------------------------------------------

def _where(w: _Walk, q: Any) -> Any:
    filters, predicates = q.filters, q.predicates
    if not predicates:
        return tuple([_expr(w, c) for c in filters])
    return tuple([_expr(w, c) for c in (*filters, *predicates)])


def _paging(w: _Walk, q: Any) -> Any:
    limit, offset = q._limit, q._offset
    if limit is None and offset is None:
        return q._distinct
    for n in (limit, offset):
        # A count past the core's is compiled as it is, to fail there as it does.
        if n is not None and (type(n) is not int or not 0 <= n <= _COUNT_MAX):
            raise _NoShape
    if w.mssql:
        if limit is not None or offset is not None:
            w.values.append(offset or 0)
            w.labels.append("offset:int")
            if limit is not None:
                w.values.append(limit)
                w.labels.append("limit:int")
    else:
        if limit is not None:
            w.values.append(limit)
            w.labels.append("limit:int")
        if offset is not None:
            w.values.append(offset)
            w.labels.append("offset:int")
    return (limit is not None, offset is not None, q._distinct)


def _joins(q: Any) -> Any:
    if not q.joins:
        return ()
    return tuple([(j.relation.target, j.relation.name, j.relation.key.position, tuple([f.position for f in j.fields]))
                  for j in q.joins])


def _sources(q: Any) -> list[Any]:
    joins = q.joins
    return [q.source, *[j.relation.target for j in joins]] if joins else [q.source]


def _select(w: _Walk, q: Select[Any]) -> Any:
    model = q.model
    sources = _sources(q)
    w.stack.append(sources)
    fields = "*" if q.fields is model.__fields__ else tuple([f.position for f in q.fields])
    where = _where(w, q)
    order = tuple([_ordering(w, o) for o in q.order]) if q.order else ()
    vector = rank = None
    if q.vector is not None:
        vf, metric, (tag, payload) = q.vector
        vector = (vf.ref, metric, tag)
    if q.text_rank is not None:
        rf, text, mode = q.text_rank
        rank = (rf.ref, mode)
    # Distance and rank order only an unordered select, distance first.
    if not order:
        if vector is not None:
            w.values.append(payload)
            w.labels.append(f"{vf.ref[0]}:nearest_to")
        elif rank is not None:
            w.values.append(text)
            w.labels.append(f"{rf.ref[0]}:text_rank")
    paging = _paging(w, q)
    lock = q.lock
    if lock is not None:
        skip, nowait, of = lock
        lock = (skip, nowait, None if of is None else tuple([_source_index(sources, o) for o in of]))
    w.stack.pop()
    return ("sel", model, fields, where, _joins(q), order, vector, rank, paging, lock)


def _values(w: _Walk, q: Values[Any], one: bool = False) -> Any:
    """`one`: the items are not written (an EXISTS form selects 1), nor are their values bound."""
    w.stack.append(_sources(q))
    mark = len(w.values)
    items = tuple([_expr(w, i) for i in q.items])
    if one:
        del w.values[mark:], w.labels[mark:]
    where = _where(w, q)
    group = tuple([_expr(w, g) for g in q.group])
    having = tuple([_expr(w, c) for c in q.having_])
    order = tuple([_ordering(w, o) for o in q.order])
    paging = _paging(w, q)
    w.stack.pop()
    return ("val", q.model, items, where, _joins(q), group, having, order, paging)


def _subquery(w: _Walk, q: Any, one: bool) -> Any:
    kind = type(q)
    if kind is Select:
        return _select(w, q)
    if kind is Values:
        return _values(w, q, one)
    raise _NoShape


def _bind(w: _Walk, field: Field[Any], bind: Any, op: str) -> Any:
    if type(bind) is not tuple or len(bind) != 2:
        raise _NoShape
    w.values.append(bind[1])
    w.labels.append((field, op))
    return ("=", bind[0])


def _written(w: _Walk, field: Field[Any], value: Any, op: str) -> Any:
    if type(value) is tuple:
        return _bind(w, field, value, op)
    return _expr(w, value)


def _conflict(w: _Walk, conflict: Any) -> Any:
    if conflict is None:
        return None
    target, update = conflict
    key = tuple([f.position for f in target])
    if update is None:
        return (key, None)
    w.conflict = True
    key = (key, tuple([(f.position, f.model, f.name, _written(w, f, v, "assign")) for f, v in update]))
    w.conflict = False
    return key


def _insert(w: _Walk, q: Insert[Any]) -> Any:
    w.stack.append([q.source])
    values = tuple([(f.position, f.model, f.name, _bind(w, f, b, "insert")) for f, b in q.values])
    return ("ins", q.model, values, _conflict(w, q.conflict))


def _update(w: _Walk, q: Update[Any]) -> Any:
    w.stack.append([q.source])
    sets = tuple([(f.position, f.model, f.name, _written(w, f, v, "assign")) for f, v in q.assignments])
    return ("upd", q.model, q.danger, sets, _where(w, q))


def _delete(w: _Walk, q: Delete[Any]) -> Any:
    w.stack.append([q.source])
    return ("del", q.model, q.danger, _where(w, q))


def _bulk_insert(w: _Walk, q: BulkInsert[Any]) -> Any:
    columns = q.columns
    values, width = w.values, len(columns)
    tags: list[Any] = []
    for row in q.rows:
        if len(row) != width:
            raise _NoShape
        values += [b[1] for b in row]
        tags += [b[0] for b in row]
    w.labels += [(f, "bulk_insert") for f in columns] * len(q.rows)
    w.stack.append([q.source])
    return ("bins", q.model, tuple([(f.position, f.name) for f in columns]), len(q.rows), tuple(tags),
            q.returning, _conflict(w, q.conflict))


def _bulk_update(w: _Walk, q: BulkUpdate[Any]) -> Any:
    pk, fields, rows = q.model.__pk__, q.fields, q.rows
    values, labels = w.values, w.labels
    tags: list[Any] = []
    for key_binds, new in rows:
        if len(key_binds) != len(pk) or len(new) != len(fields):
            raise _NoShape
        tags += [b[0] for b in key_binds]
        tags += [b[0] for b in new]
    keys = [(f, "bulk_update_pk") for f in pk]
    news = [(f, "bulk_update") for f in fields]
    if w.postgres:
        # The join to a VALUES list: each row's key, then its new values.
        for key_binds, new in rows:
            values += [b[1] for b in key_binds]
            values += [b[1] for b in new]
        labels += (keys + news) * len(rows)
    else:
        # One CASE per column, each row's key matched in it; then the keys again in WHERE.
        for i, label in enumerate(news):
            for key_binds, new in rows:
                values += [b[1] for b in key_binds]
                values.append(new[i][1])
                labels += keys
                labels.append(label)
        for key_binds, _ in rows:
            values += [b[1] for b in key_binds[:1]] if len(pk) == 1 else [b[1] for b in key_binds]
        labels += keys * len(rows)
    return ("bupd", q.model, tuple([(f.position, f.name) for f in pk]), tuple([(f.position, f.name) for f in fields]),
            len(rows), tuple(tags))


_STATEMENTS: dict[type, Callable[[_Walk, Any], Any]] = {
    Select: _select, Values: _values, Insert: _insert, Upsert: _insert, Update: _update, Delete: _delete,
    BulkInsert: _bulk_insert, BulkUpdate: _bulk_update,
}


def statement_shape(query: Any, dialect: str, exists: bool, returning: bool | None = None) -> Shape | None:
    """The shape of a query written in the statement IR for `dialect`
    (`exists`: its EXISTS form; `returning`: as `statement_document`'s), or
    None where the walk does not know it.
    The key may still hold something unhashable from a node built by hand:
    looking it up raises TypeError then."""
    walk = _STATEMENTS.get(type(query))
    if walk is None:
        return None
    w = _Walk(dialect)
    try:
        key = (dialect, exists, returning, _values(w, query, True) if exists and walk is _values else walk(w, query))
    except Exception:  # whatever the walk cannot read, the full compile reports or compiles
        return None
    return key, w.values, w.labels, w.echoes
