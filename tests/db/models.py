"""The models every engine runs the scenario on, and small IR builders."""

from __future__ import annotations

import datetime as dt
from collections.abc import Sequence
from typing import Any

IR_VERSION = 3

COMPARE = ["eq", "ne", "gt", "gte", "lt", "lte", "is_null", "is_not_null"]
TEXT_OPS = [*COMPARE, "contains", "icontains"]
FTS_OPS = ["match", "match_phrase", "match_websearch", "match_boolean"]


def field(name: str, ftype: str, *, column: str | None = None, nullable: bool = False,
          ops: list[str] = COMPARE, **extra: Any) -> dict[str, Any]:
    return {"name": name, "column_name": column or name, "field_type": ftype,
            "allowed_operators": ops, "nullable": nullable, **extra}


# A single key; the target of the articles join.
AUTHORS = {
    "model_name": "Author",
    "table_name": "authors",
    "fields": [
        field("id", "int"),
        field("name", "text", ops=TEXT_OPS),
        field("email", "text", nullable=True, ops=TEXT_OPS),
        field("joined_at", "datetime", nullable=True),
    ],
    "pk_index": 0,
}

# A single key with a join, full-text fields (text columns in an index and a
# text-search vector) and a vector field. The view count lives in a column
# whose name differs from the field's.
ARTICLES = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        field("id", "int"),
        field("title", "text", ops=[*TEXT_OPS, *FTS_OPS]),
        field("body", "text", ops=[*TEXT_OPS, *FTS_OPS]),
        field("views", "int", column="view_count"),
        field("score", "float", nullable=True),
        field("published", "bool", ops=["eq", "ne"]),
        field("author_id", "int", nullable=True),
        field("created_at", "datetime"),
        field("payload", "bytes", nullable=True, ops=["eq", "is_null", "is_not_null"]),
        field("tags", "array_text", nullable=True, ops=["is_null", "is_not_null"]),
        field("embedding", "vector", nullable=True, ops=[], vector_dimensions=3),
        field("search", "ts_vector", column="search_vector", nullable=True, ops=FTS_OPS,
              fts_config="english", fts_source_columns=["title", "body"]),
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "ft_articles", "fields": ["title", "body"], "config": "english"}],
}

# A composite key; "order" is a reserved word in every dialect.
MEMBERSHIPS = {
    "model_name": "Membership",
    "table_name": "memberships",
    "fields": [
        field("org_id", "int"),
        field("user_id", "int"),
        field("role", "text", ops=TEXT_OPS),
        field("sort_order", "int", column="order"),
    ],
    "pk_index": 0,
    "pk_fields": [0, 1],
}

# Every column has a default: the target of an insert without values.
VISITS = {
    "model_name": "Visit",
    "table_name": "visits",
    "fields": [
        field("id", "int"),
        field("note", "text", nullable=True),
        field("at", "datetime"),
    ],
    "pk_index": 0,
}


def bv(value: Any, tag: str | None = None) -> dict[str, Any]:
    """A bind value from a plain Python value (or with an explicit tag)."""
    if tag is None:
        if value is None:
            return {"type": "null"}
        if isinstance(value, bool):
            tag = "bool"
        elif isinstance(value, int):
            tag = "int"
        elif isinstance(value, float):
            tag = "float"
        elif isinstance(value, str):
            tag = "text"
        elif isinstance(value, bytes):
            return {"type": "bytes", "value": list(value)}
        elif isinstance(value, dt.datetime):
            return {"type": "datetime", "value": value.isoformat()}
        elif isinstance(value, list) and value and all(isinstance(v, str) for v in value):
            tag = "text_array"
        elif isinstance(value, list) and value and all(type(v) is int for v in value):
            tag = "int_array"
        elif isinstance(value, list):
            tag = "float_array"
        else:
            raise TypeError(f"no bind type for {value!r}")
    return {"type": tag} if tag == "null" else {"type": tag, "value": value}


def index_of(meta: dict[str, Any], name: str) -> int:
    for i, f in enumerate(meta["fields"]):
        if f["name"] == name:
            return i
    raise KeyError(name)


def ref(meta: dict[str, Any], name: str) -> dict[str, Any]:
    return {"name": name, "index": index_of(meta, name)}


def column(meta: dict[str, Any], name: str) -> str:
    return meta["fields"][index_of(meta, name)]["column_name"]


def flt(meta: dict[str, Any], name: str, op: str, value: Any = None) -> dict[str, Any]:
    return {"field": ref(meta, name), "operator": op,
            "value": value if isinstance(value, dict) else bv(value)}


def p_filter(meta: dict[str, Any], name: str, op: str, value: Any = None) -> dict[str, Any]:
    return {"kind": "filter", "filter": flt(meta, name, op, value)}


def p_and(*children: dict[str, Any]) -> dict[str, Any]:
    return {"kind": "and", "children": list(children)}


def p_or(*children: dict[str, Any]) -> dict[str, Any]:
    return {"kind": "or", "children": list(children)}


def p_not(child: dict[str, Any]) -> dict[str, Any]:
    return {"kind": "not", "child": child}


def asc(meta: dict[str, Any], name: str) -> dict[str, Any]:
    return {"field": ref(meta, name), "direction": "asc"}


def desc(meta: dict[str, Any], name: str) -> dict[str, Any]:
    return {"field": ref(meta, name), "direction": "desc"}


def ir(meta: dict[str, Any], operation: dict[str, Any], *, filters: Sequence[Any] = (),
       order_by: Sequence[Any] = (), **rest: Any) -> dict[str, Any]:
    return {"version": IR_VERSION, "model_name": meta["model_name"], "operation": operation,
            "filters": list(filters), "order_by": list(order_by), **rest}


def select(meta: dict[str, Any], *names: str, **rest: Any) -> dict[str, Any]:
    names = names or tuple(f["name"] for f in meta["fields"])
    return ir(meta, {"kind": "select", "fields": [ref(meta, n) for n in names]}, **rest)


def pairs(meta: dict[str, Any], values: dict[str, Any]) -> list[list[Any]]:
    return [[ref(meta, k), v if isinstance(v, dict) else bv(v)] for k, v in values.items()]


def insert(meta: dict[str, Any], values: dict[str, Any]) -> dict[str, Any]:
    return ir(meta, {"kind": "insert", "values": pairs(meta, values)})


def bulk_insert(meta: dict[str, Any], rows: list[dict[str, Any]], returning: bool) -> dict[str, Any]:
    return ir(meta, {"kind": "bulk_insert", "rows": [pairs(meta, r) for r in rows], "returning": returning})


def update(meta: dict[str, Any], values: dict[str, Any], **rest: Any) -> dict[str, Any]:
    return ir(meta, {"kind": "update", "assignments": pairs(meta, values)}, **rest)


def delete(meta: dict[str, Any], **rest: Any) -> dict[str, Any]:
    return ir(meta, {"kind": "delete"}, **rest)


def bulk_update(meta: dict[str, Any], keys: list[str], names: list[str],
                rows: list[tuple[list[Any], list[Any]]]) -> dict[str, Any]:
    return ir(meta, {"kind": "bulk_update",
               "pk_fields": [ref(meta, k) for k in keys],
               "fields": [ref(meta, n) for n in names],
               "rows": [{"pk_values": [bv(v) for v in pk], "values": [bv(v) for v in vals]}
                        for pk, vals in rows]})


def bulk_delete(meta: dict[str, Any], keys: list[str], ids: list[list[Any]]) -> dict[str, Any]:
    return ir(meta, {"kind": "bulk_delete", "pk_fields": [ref(meta, k) for k in keys],
               "ids": [[bv(v) for v in row] for row in ids]})


def author_join(alias: str = "author", *columns: str) -> dict[str, Any]:
    return {"relation": "author", "alias": alias, "local_field": ref(ARTICLES, "author_id"),
            "remote_table": AUTHORS["table_name"], "remote_pk_column": "id",
            "remote_fields": [{"index": index_of(AUTHORS, c), "name": c, "column": column(AUTHORS, c)}
                              for c in (columns or ("name",))]}
