"""A query made ready for one backend: the core's SQL and the bound values
in the forms the backend's driver takes.

Each Database keeps the statements it compiled by query shape: a query of a
shape seen before takes the kept text and binds its own values, without a
trip through the core. A shape is kept only once the values it predicts, in
placeholder order, are exactly those the core bound. Queries of the query IR
take their shapes from sarnic.query.shapes, those of the statement IR from
sarnic.query.statement_shapes; a failed compile keeps nothing.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

from sarnic import _codec
from sarnic.errors import NotSupportedError
from sarnic.query.bulk import BulkInsert, BulkUpdate
from sarnic.query.compiled import compile_ir, compile_statement_ir
from sarnic.query.shapes import Binds, shape
from sarnic.query.statement_ir import statement_document
from sarnic.query.statement_shapes import Shape, label_text, statement_shape

if TYPE_CHECKING:
    from sarnic.execution.backends.base import Backend, Converter
    from sarnic.model.fields.base import Field
    from sarnic.query.model import Model
    from sarnic.query.base import Query
    from sarnic.query.select import Select
    from sarnic.query.values import Values

_PAGING = frozenset(("limit:int", "offset:int"))
_SEARCHES = frozenset(("match", "match_phrase", "match_websearch", "match_boolean"))


@dataclass(slots=True)
class Statement:
    sql: str
    params: list[Any]
    operation: str


def prepare(backend: Backend, model: type[Model], ir: list[Any]) -> Statement:
    """Compile for the backend's dialect; each bound value goes to the driver
    in the form the field named by its label needs there."""
    return _compiled(backend, model, ir)[0]


def _compiled(backend: Backend, model: type[Model], ir: list[Any]) -> tuple[Statement, list[str], list[Any]]:
    result = compile_ir(model, ir, backend.dialect)
    by_name = model.__fields_by_name__
    labels: list[str] = result["param_type_summary"]
    payloads = [bind.get("value") for bind in _codec.unpack(result["bound_params"])]
    params: list[Any] = []
    for label, payload in zip(labels, payloads):
        if payload is None:
            params.append(None)
            continue
        field = None if label in _PAGING else by_name.get(label.rpartition(":")[0])
        conv = None if field is None else backend.param_converter(field)
        params.append(payload if conv is None else conv(payload))
    return Statement(result["sql_text"], params, result["operation"]), labels, payloads


#: dialects where the core reads an IN list from one JSON text
_JSON_LISTS = frozenset(("sqlite", "mssql"))


def _nodes(node: Any) -> Any:
    """Every expression, condition and query inside a query's statement."""
    yield node
    for name in ("filters", "predicates", "items", "group", "having_", "children", "args"):
        for child in getattr(node, name, ()):
            yield from _nodes(child)
    for name in ("child", "left", "right", "operand", "expr", "query"):
        child = getattr(node, name, None)
        if child is not None and not isinstance(child, str):
            yield from _nodes(child)
    for o in getattr(node, "order", ()):
        yield from _nodes(o.field)


def sqlite_decimal_refusal(query: Query[Any]) -> NotSupportedError | None:
    """SQLite stores exact decimals as text: its aggregates and orderings
    of them would read floats or compare texts. Refused, never rounded."""
    from sarnic.model.columns import Compare
    from sarnic.model.fields.numbers import Decimal
    from sarnic.query.functions import Func

    def decimal(node: Any) -> bool:
        return isinstance(getattr(node, "typed_field", None), Decimal)

    for node in _nodes(query):
        if isinstance(node, Func) and node.name in ("sum", "avg", "min", "max") and any(map(decimal, node.args)):
            use = f"fn.{node.name}()"
        elif isinstance(node, Compare) and node.op not in ("eq", "ne") and (decimal(node.left) or decimal(node.right)):
            use = f"a {node.op} comparison"
        else:
            continue
        return NotSupportedError(f"SQLite stores Decimal values as exact text, so {use} would compute with floats or "
                                 "compare texts: read the values and compute in Python",
                                 feature=f"{use} of decimals", engine="SQLite")
    orders = [o.field for o in getattr(query, "order", ())]
    if any(isinstance(getattr(e, "typed_field", None), Decimal) for e in orders):
        return NotSupportedError("SQLite stores Decimal values as exact text, so ordering by one would compare texts",
                                 feature="ordering by a decimal", engine="SQLite")
    return None


def _statement(backend: Backend, query: Query[Any], exists: bool, dialect: str | None = None) -> Statement:
    """A query only the statement IR says, compiled: each value converted by
    the field its label names; an IN list element by element, then as the
    dialect binds a list (one JSON text, one array, or expanded by the core)."""
    return _fresh(backend, query, exists, dialect or backend.dialect)[0]


#: how one bound value goes to the driver: the field's converter, the search
#: operator whose text the backend rewrites, whether the label is an IN list's
Plan = list[tuple["Converter", str | None, bool]]


def _fresh(backend: Backend, query: Query[Any], exists: bool, dialect: str, returning: bool | None = None
           ) -> tuple[Statement, list[str], list[Any], Plan]:
    scope, ir = statement_document(query, exists=exists, returning=returning)
    result = compile_statement_ir(scope, ir, dialect)
    labels: list[str] = result["param_type_summary"]
    payloads = [bind.get("value") for bind in _codec.unpack(result["bound_params"])]
    plan: Plan = []
    lists = scope.lists
    for label in labels:
        field = scope.field_of(label)
        op = label.rpartition(":")[2]
        plan.append((None if field is None else backend.param_converter(field), op if op in _SEARCHES else None,
                     label in lists))
    return Statement(result["sql_text"], _driver_values(backend, plan, payloads), result["operation"]), labels, \
        payloads, plan


def _driver_values(backend: Backend, plan: Plan, payloads: list[Any]) -> list[Any]:
    json_lists = backend.dialect in _JSON_LISTS
    params: list[Any] = []
    for (conv, search, listed), payload in zip(plan, payloads):
        if payload is None:
            params.append(None)
        elif search is not None and isinstance(payload, str):
            params.append(backend.search_text(search, payload))
        elif listed and isinstance(payload, list):
            items = payload if conv is None else [None if v is None else conv(v) for v in payload]
            params.append(json.dumps(items, separators=(",", ":"), ensure_ascii=False) if json_lists else items)
        else:
            params.append(payload if conv is None else conv(payload))
    return params


def _predicted(binds: Binds, labels: list[str], payloads: list[Any]) -> bool:
    if len(binds) != len(labels):
        return False
    for (field, value), label, payload in zip(binds, labels, payloads):
        if value != payload or type(value) is not type(payload) and not isinstance(value, (list, tuple)):
            return False
        named = label in _PAGING if field is None else label.rpartition(":")[0] == field.name
        if not named:
            return False
    return True


def _confirmed(shape: Shape, base: Any, labels: list[str], payloads: list[Any], repeats: bool) -> bool:
    """Whether the shape's values and labels are, in order, those the core
    bound. Where one label's value is repeated apart from its neighbours (a
    filter and a subquery's filter on the same column, say), a misplaced
    prediction would not show: such a compile keeps nothing, and a later
    query of the shape with other values is checked instead. `repeats`
    allows them, for the rows of bulk statements, which are bound in turn."""
    _, values, predictions, echoes = shape
    if len(values) != len(labels):
        return False
    seen: set[Any] = set()
    previous = None
    for at, (value, label, predicted, payload) in enumerate(zip(values, predictions, labels, payloads)):
        if type(value) is not type(payload) or value != payload or label_text(label, base) != predicted:
            return False
        if predicted != previous and not repeats and at not in echoes:  # a run of one label is one list's elements, or one column's rows
            try:
                mark = (predicted, type(payload), payload)
                hash(mark)
            except TypeError:
                mark = (predicted, type(payload), repr(payload))
            if mark in seen:
                return False
            seen.add(mark)
        previous = predicted
    return True


_BULK = (BulkInsert, BulkUpdate)


class _Kept:
    """A statement IR query's compiled text, and how its values go to the driver."""

    __slots__ = ("sql", "operation", "plan", "plain", "count")

    def __init__(self, sql: str, operation: str, plan: Plan) -> None:
        self.sql = sql
        self.operation = operation
        self.plan = plan
        self.plain = all(conv is None and search is None and not listed for conv, search, listed in plan)
        self.count = len(plan)


class Statements:
    """The statements one backend has compiled, by query shape."""

    #: statement IR texts kept at most, in characters: one text, all of them
    text_max = 64 * 1024
    texts_max = 8 * 1024 * 1024

    def __init__(self, backend: Backend, refuse: Callable[[Query[Any]], NotSupportedError | None], *, keep: int = 1024) -> None:
        self.backend = backend
        self.refuse = refuse
        self.keep = keep
        self._kept: dict[Any, tuple[str, str, list[Converter]]] = {}
        self._kept_statements: dict[Any, _Kept] = {}
        self._texts = 0

    def get(self, query: Query[Any], variant: str = "select") -> Statement:
        """`variant` is "select" (a select's rows, or a write), "exists" (the
        select's EXISTS form) or "count" (a select to count the rows of)."""
        backend = self.backend
        if query.needs_statement_ir(backend.text_dialect):
            return self._statement(query, variant == "exists")
        found = shape(query, variant, backend.dialect)
        if found is not None:
            kept = self._kept.get(found[0])
            if kept is not None:
                sql, operation, convs = kept
                return Statement(sql, [v if c is None or v is None else c(v) for (_, v), c in zip(found[1], convs)],
                                 operation)
        reason = self.refuse(query)
        if reason is not None:
            raise reason
        ir = query.ir(exists=True) if variant == "exists" else query.ir()  # type: ignore[call-arg]
        stmt, labels, payloads = _compiled(backend, query.model, ir)
        if found is not None and _predicted(found[1], labels, payloads):
            if len(self._kept) >= self.keep:
                del self._kept[next(iter(self._kept))]
            # The shape's columns are the models' fields (expressions know them by a protocol).
            convs = [None if f is None else backend.param_converter(cast("Field[Any]", f)) for f, _ in found[1]]
            self._kept[found[0]] = (stmt.sql, stmt.operation, convs)
        return stmt

    def returning(self, query: Query[Any], dialect: str) -> Statement:
        """A write compiled for a flavour of the backend's dialect that hands
        its rows back (MariaDB's INSERT ... RETURNING), kept by shape too."""
        return self._statement(query, False, dialect)

    def counted(self, query: Query[Any]) -> Statement:
        """A write (insert, update, delete) compiled to hand no rows back,
        whatever the dialect: what it matched is the driver's row count.
        Written in the statement IR, which says so, even where the query IR
        says the rest of it."""
        return self._statement(query, False, None, False)

    def _statement(self, query: Query[Any], exists: bool, dialect: str | None = None,
                   returning: bool | None = None) -> Statement:
        """A query the statement IR says: by its shape where one was kept,
        its values alone collected; otherwise refused or compiled, and kept
        where the shape's prediction holds."""
        backend = self.backend
        dialect = dialect or backend.dialect
        found = statement_shape(query, dialect, exists, returning)
        if found is not None:
            try:
                kept = self._kept_statements.get(found[0])
            except TypeError:  # a value of a node built by hand that is no key
                found = kept = None
            if kept is not None and found is not None:
                values = found[1]
                if kept.count == len(values):
                    return Statement(kept.sql, values if kept.plain else _driver_values(backend, kept.plan, values),
                                     kept.operation)
        reason = self.refuse(query) or (sqlite_decimal_refusal(query) if backend.dialect == "sqlite" else None)
        if reason is not None:
            raise reason
        stmt, labels, payloads, plan = _fresh(backend, query, exists, dialect, returning)
        if found is not None and len(stmt.sql) <= self.text_max and _confirmed(
                found, query.model, labels, payloads, type(query) in _BULK):
            self._keep(found[0], _Kept(stmt.sql, stmt.operation, plan))
        return stmt

    def _keep(self, key: Any, kept: _Kept) -> None:
        kept_statements = self._kept_statements
        older = kept_statements.pop(key, None)
        if older is not None:
            self._texts -= len(older.sql)
        self._texts += len(kept.sql)
        while kept_statements and (len(kept_statements) >= self.keep or self._texts > self.texts_max):
            self._texts -= len(kept_statements.pop(next(iter(kept_statements))).sql)
        kept_statements[key] = kept


def count_statement(statements: Statements, query: Select[Any] | Values[Any]) -> Statement:
    stmt = statements.get(query.count_query(), "count")
    return Statement(f"SELECT COUNT(*) FROM ({stmt.sql}) AS t", stmt.params, stmt.operation)
