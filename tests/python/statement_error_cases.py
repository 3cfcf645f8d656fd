"""Error texts of the statement entry points, one case each: the catalogue test
counts these with its own cases, so a new message needs one here."""

from __future__ import annotations

import json
from typing import Any

from sarnic import _native

POST: dict[str, Any] = {
    "model_name": "Post", "table_name": "posts", "pk_index": 0,
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "nullable": False, "allowed_operators": ["eq"]},
        {"name": "title", "column_name": "title", "field_type": "text", "nullable": False, "allowed_operators": ["eq"]},
        {"name": "embedding", "column_name": "embedding", "field_type": "vector", "nullable": True,
         "vector_dimensions": 2, "allowed_operators": []},
    ],
}
MODELS = [POST, {**POST, "model_name": "Tag", "table_name": "tags"}]
M = "malformed IR: "


def field(index: int, source: int = 0, up: int = 0) -> dict[str, Any]:
    return {"kind": "field", "field": index, "source": source, "up": up}


def value(v: Any = 1, kind: str = "int") -> dict[str, Any]:
    return {"kind": "value", "value": {"type": kind, "value": v}, "label": "v"}


def select(**over: Any) -> dict[str, Any]:
    return {"model": 0, "operation": {"kind": "select", "fields": [0]}, **over}


def values(*items: dict[str, Any], **over: Any) -> dict[str, Any]:
    return {"model": 0, "operation": {"kind": "values", "items": list(items)}, **over}


def func(name: str, *args: dict[str, Any], distinct: bool = False) -> dict[str, Any]:
    return {"kind": "func", "name": name, "args": list(args), "distinct": distinct}


def statement(doc: dict[str, Any], dialect: str = "postgres", models: Any = None) -> Any:
    return _native.compile_statement(json.dumps(MODELS if models is None else models),
                                     json.dumps({"version": 4, **doc}), dialect)


def update(**over: Any) -> dict[str, Any]:
    return {"model": 0, "operation": {"kind": "update", "assignments": [[1, value("x", "text")]], "danger": True}, **over}


def insert(conflict: Any) -> dict[str, Any]:
    return {"model": 0, "operation": {"kind": "insert", "values": [[1, value("x", "text")]], "on_conflict": conflict}}


Err = _native.SarnicCompileError
W = M + "statement.where: "
CASES: list[tuple[str, Any, type[BaseException], str]] = [
    ("st-dialect", lambda: statement(select(), "oracle"), Err,
     M + 'unknown dialect "oracle"; expected postgres, mysql, mariadb, sqlite, or mssql'),
    ("st-no-models", lambda: statement(select(), models=[]), Err, M + "the model list is empty"),
    ("st-model", lambda: statement(select(model=5)), Err,
     M + "statement.model: model 5 is not in the model list (2 models)"),
    ("st-field", lambda: statement(select(operation={"kind": "select", "fields": [7]})), Err,
     M + "statement.operation.fields[0]: field 7 is not a field of model Post (3 fields)"),
    ("st-up", lambda: statement(select(where=field(0, up=1))), Err,
     W + "up 1 goes beyond the outermost statement"),
    ("st-source", lambda: statement(select(where=field(0, source=1))), Err,
     W + "source 1 is not a table of that statement (1 tables)"),
    ("st-join-model", lambda: statement(select(joins=[{"model": 9, "name": "t", "local_field": 0, "fields": []}])),
     Err, M + "statement.joins[0].model: the joined model is not in the model list"),
    ("st-key", lambda: statement(select(), models=[{**POST, "pk_index": 5}]), Err,
     M + "statement.model: the primary key of Post names field 5, past its 3 fields"),
    ("st-join-name", lambda: statement(select(joins=[{"model": 1, "name": "", "local_field": 0, "fields": []}])),
     Err, M + "statement.joins[0].name: a join needs a name"),
    ("st-values-empty", lambda: statement(values()), Err,
     M + "statement.operation.items: a values statement needs at least one item"),
    ("st-count-args", lambda: statement(values(func("count", field(0), field(1)))), Err,
     M + "statement.operation.items[0]: count takes no argument or one"),
    ("st-count-distinct", lambda: statement(values(func("count", distinct=True))), Err,
     M + "statement.operation.items[0]: count(distinct) needs an argument"),
    ("st-coalesce", lambda: statement(values(func("coalesce", field(0)))), Err,
     M + "statement.operation.items[0]: coalesce takes two arguments or more"),
    ("st-arity", lambda: statement(values(func("sum"))), Err,
     M + "statement.operation.items[0]: the function takes exactly one argument"),
    ("st-distinct-fn", lambda: statement(values(func("max", field(0), distinct=True))), Err,
     M + "statement.operation.items[0]: distinct applies to count, sum and avg only"),
    ("st-in-both", lambda: statement(select(where={"kind": "in", "operand": field(0), "label": "x"})), Err,
     W + "in takes either values or a query"),
    ("st-in-list", lambda: statement(select(where={"kind": "in", "operand": field(0), "label": "x",
                                                   "values": {"type": "int", "value": 1}})), Err,
     M + "statement.where.values: the list must be an int_array, text_array or float_array"),
    ("st-in-query", lambda: statement(select(where={"kind": "in", "operand": field(0), "query": select()})), Err,
     M + "statement.where.query: the subquery must be a values statement of exactly one item"),
    ("st-exists-null", lambda: statement(select(where={"kind": "exists", "query": None})), Err,
     M + "statement.where.query: a subquery is required"),
    ("st-exists-write", lambda: statement(select(where={"kind": "exists", "query": update()})), Err,
     M + "statement.where.query: a subquery must be a select or values statement"),
    ("st-nested-lock", lambda: statement(select(where={"kind": "exists", "query": select(lock={})})), Err,
     M + "statement.where.query.lock: a row lock belongs to the outermost statement"),
    ("st-nested-exists", lambda: statement(select(where={"kind": "exists", "query": select(exists=True)})), Err,
     M + "statement.where.query.exists: a subquery cannot be an exists form"),
    ("st-excluded", lambda: statement(select(where={"kind": "excluded", "field": 0})), Err,
     W + "excluded belongs to an on_conflict update"),
    ("st-insert-column", lambda: statement({"model": 0, "operation": {"kind": "insert", "values": [[1, field(1)]]}}),
     Err, M + "statement.operation.values[0]: an inserted value cannot read a column"),
    ("st-conflict-target", lambda: statement(insert({"target": [], "update": [[1, value("y", "text")]]})), Err,
     M + "statement.operation.on_conflict.target: an update on conflict needs a conflict target"),
    ("st-conflict-update", lambda: statement(insert({"target": [1], "update": []})), Err,
     M + "statement.operation.on_conflict.update: an update on conflict needs at least one assignment"),
    ("st-conflict-mssql", lambda: statement(insert({"target": [1]}), "mssql"), Err,
     M + "on_conflict is not supported on mssql"),
    ("st-update-empty", lambda: statement({"model": 0, "operation": {"kind": "update", "assignments": [],
                                                                     "danger": True}}), Err,
     M + "statement.operation.assignments: update requires at least one assignment"),
    ("st-write-joins", lambda: statement(update(joins=[{"model": 1, "name": "t", "local_field": 0, "fields": []}])),
     Err, M + "statement.joins: joins belong to select and values statements"),
    ("st-write-group", lambda: statement(update(group_by=[field(0)])), Err,
     M + "statement.group_by: grouping belongs to select and values statements"),
    ("st-write-order", lambda: statement(update(limit=1)), Err,
     M + "statement.order_by: ordering and paging belong to select and values statements"),
    ("st-write-distinct", lambda: statement(update(distinct=True)), Err,
     M + "statement.distinct: distinct and exists belong to select and values statements"),
    ("st-write-lock", lambda: statement(update(lock={})), Err,
     M + "statement.lock: row locks belong to select and values statements"),
    ("st-delete-returning", lambda: statement({"model": 0, "operation": {"kind": "delete", "danger": True,
                                                                          "returning": True}}), Err,
     M + "statement.operation.returning: a delete hands no rows back: returning may only be false"),
    ("st-direction", lambda: statement(select(order_by=[{"expr": field(0), "direction": "up"}])), Err,
     M + "statement.order_by[0].direction: direction must be asc or desc"),
    ("st-lock-exists", lambda: statement(select(exists=True, lock={})), Err,
     M + "statement.lock: an exists form takes no row lock"),
    ("st-lock-both", lambda: statement(select(lock={"skip_locked": True, "nowait": True})), Err,
     M + "statement.lock: skip_locked and nowait exclude each other"),
    ("st-lock-of", lambda: statement(select(lock={"of": [3]})), Err,
     M + "statement.lock.of[0]: not a table of the statement"),
    ("st-vector-value", lambda: statement(select(vector_order_by={"field": {"name": "embedding", "index": 2},
                                                                  "metric": "l2",
                                                                  "value": {"type": "int", "value": 1}})), Err,
     M + "statement.vector_order_by: the value must be float_array or int_array"),
    ("st-bulk-update-keys", lambda: statement({"model": 0, "operation": {"kind": "bulk_update", "pk_fields": [],
                                                                         "fields": [1], "rows": []}}), Err,
     M + "statement.operation.pk_fields: bulk_update requires at least one pk_field"),
    ("st-bulk-update-fields", lambda: statement({"model": 0, "operation": {"kind": "bulk_update", "pk_fields": [0],
                                                                           "fields": [], "rows": []}}), Err,
     M + "statement.operation.fields: bulk_update requires at least one field"),
    ("st-bulk-update-rows", lambda: statement({"model": 0, "operation": {"kind": "bulk_update", "pk_fields": [0],
                                                                         "fields": [1], "rows": []}}), Err,
     M + "statement.operation.rows: bulk_update requires at least one row"),
    ("st-bulk-update-row", lambda: statement({"model": 0, "operation": {"kind": "bulk_update", "pk_fields": [0],
                                                                        "fields": [1], "rows": [
        {"pk_values": [{"type": "int", "value": 1}], "values": []}]}}), Err,
     M + "statement.operation.rows[0]: a row must give one value per pk_field and per field"),
    ("st-version", lambda: _native.compile_statement(json.dumps(MODELS), json.dumps(
        {"version": 2, "model_name": "Post", "operation": {"kind": "select", "fields": []}, "filters": [],
         "order_by": [], "limit": None, "offset": None}), "postgres"), Err,
     "IR version 2 is not supported (expected 4)"),
]
