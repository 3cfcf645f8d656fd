"""The documents every workload feeds to sarnic, built once, outside any timing."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

import msgpack

OPERATORS = ["eq", "ne", "gt", "gte", "lt", "lte", "in", "contains", "icontains", "is_null", "is_not_null",
             "startswith", "match", "match_websearch"]  # fmt: skip
VECTOR_DIMENSIONS = 384


def field(name: str, field_type: str, *, nullable: bool = True, column: str | None = None, **extra: Any) -> dict:
    return {
        "name": name,
        "column_name": column or name,
        "field_type": field_type,
        "allowed_operators": OPERATORS,
        "nullable": nullable,
        **extra,
    }


# The select model: twelve fields, among them a join key, a text-search vector
# and an embedding, so one description serves every select workload.
ARTICLES: dict[str, Any] = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        field("id", "big_int", nullable=False),
        field("title", "text", nullable=False),
        field("views", "int", nullable=False),
        field("author_id", "big_int"),
        field("body", "text"),
        field("search", "ts_vector", column="search_vector", fts_config="english"),
        field("embedding", "vector", vector_dimensions=VECTOR_DIMENSIONS),
        field("price", "float"),
        field("published_at", "datetime"),
        field("status", "enum"),
        field("tags", "array_text"),
        field("meta", "json"),
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "ft_articles", "fields": ["title", "body"], "config": "english"}],
}
ARTICLE_INDEX = {f["name"]: i for i, f in enumerate(ARTICLES["fields"])}


def ref(name: str) -> dict:
    return {"name": name, "index": ARTICLE_INDEX[name]}


def integer(v: int) -> dict:
    return {"type": "int", "value": v}


def text(v: str) -> dict:
    return {"type": "text", "value": v}


def real(v: float) -> dict:
    return {"type": "float", "value": v}


def select_ir(fields: list[str], **keys: Any) -> dict:
    return {
        "version": 3,
        "model_name": "Article",
        "operation": {"kind": "select", "fields": [ref(f) for f in fields]},
        "filters": [],
        "order_by": [],
        **keys,
    }


def leaf(name: str, op: str, value: dict | None = None) -> dict:
    return {"kind": "filter", "filter": {"field": ref(name), "operator": op, "value": value or {"type": "null"}}}


# The first worked select: views >= 100, title ascending, 10 rows from the 21st.
PAGED_SELECT = select_ir(
    ["id", "title"],
    filters=[{"field": ref("views"), "operator": "gte", "value": integer(100)}],
    order_by=[{"field": ref("title"), "direction": "asc"}],
    limit=10,
    offset=20,
)
PAGED_SQL = {
    "postgres": 'SELECT "id", "title" FROM "articles" WHERE "views" >= $1 ORDER BY "title" ASC LIMIT $2 OFFSET $3',
    "mysql": "SELECT `id`, `title` FROM `articles` WHERE `views` >= ? ORDER BY `title` ASC LIMIT ? OFFSET ?",
    "sqlite": 'SELECT "id", "title" FROM "articles" WHERE "views" >= ? ORDER BY "title" ASC LIMIT ? OFFSET ?',
    "mssql": "SELECT [id], [title] FROM [articles] WHERE [views] >= ? ORDER BY [title] ASC "
    "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY",
}
PAGED_VALUES = {"postgres": [100, 10, 20], "mysql": [100, 10, 20], "sqlite": [100, 10, 20], "mssql": [100, 20, 10]}

# A join, a tree of six leaves and full-text rank ordering.
SEARCH_QUERY = "fast async orm"
JOINED_RANKED_SELECT = select_ir(
    ["id", "title", "views"],
    joins=[{
        "relation": "author",
        "alias": "author",
        "local_field": ref("author_id"),
        "remote_table": "users",
        "remote_pk_column": "id",
        "remote_fields": [{"index": 0, "name": "name", "column": "name"}, {"index": 1, "name": "email", "column": "email"}],
    }],  # fmt: skip
    predicate={
        "kind": "and",
        "children": [
            {"kind": "or", "children": [leaf("views", "gte", integer(100)), leaf("views", "lt", integer(5))]},
            {"kind": "not", "child": leaf("status", "eq", text("draft"))},
            leaf("title", "icontains", text("%sql%")),
            leaf("price", "lte", real(9.5)),
            leaf("author_id", "is_not_null"),
        ],
    },
    text_rank_by={"field": ref("search"), "query": text(SEARCH_QUERY), "mode": "websearch"},
    limit=20,
)

QUERY_VECTOR = [round(((i * 7919) % 1000) / 1000 - 0.5, 6) for i in range(VECTOR_DIMENSIONS)]
NEAREST_SELECT = select_ir(
    ["id", "title"],
    filters=[{"field": ref("status"), "operator": "eq", "value": text("published")}],
    vector_order_by={"field": ref("embedding"), "metric": "cosine", "value": {"type": "float_array", "value": QUERY_VECTOR}},
    limit=10,
)

# Bulk insert: five columns of five bind types.
EVENTS = {
    "model_name": "Event",
    "table_name": "events",
    "fields": [
        field("id", "big_int", nullable=False),
        field("name", "text", nullable=False),
        field("count", "int"),
        field("ratio", "float"),
        field("active", "bool"),
        field("happened_at", "datetime", column="happened_on"),
    ],
    "pk_index": 0,
}
EVENT_COLUMNS = ["name", "count", "ratio", "active", "happened_at"]


def event_row(i: int) -> dict[str, Any]:
    return {
        "name": f"event-{i}",
        "count": (i * 7919) % 100_000 - 500,
        "ratio": i / 7,
        "active": i % 3 == 0,
        "happened_at": f"2024-{i % 12 + 1:02d}-{i % 28 + 1:02d}T{i % 24:02d}:{i % 60:02d}:00+00:00",
    }


def bulk_insert_ir(rows: list[dict[str, Any]]) -> dict:
    kinds = {"name": "text", "count": "int", "ratio": "float", "active": "bool", "happened_at": "datetime"}
    refs = {name: {"name": name, "index": i + 1} for i, name in enumerate(EVENT_COLUMNS)}
    return {
        "version": 3,
        "model_name": "Event",
        "operation": {
            "kind": "bulk_insert",
            "rows": [[[refs[c], {"type": kinds[c], "value": row[c]}] for c in EVENT_COLUMNS] for row in rows],
            "returning": False,
        },
        "filters": [],
        "order_by": [],
    }


# Hydrate: ten columns as a driver hands them over, in select order; the four
# non-nullable ones are checked on every row.
ITEMS = {
    "model_name": "Item",
    "table_name": "items",
    "fields": [
        field("id", "big_int", nullable=False),
        field("title", "text", nullable=False),
        field("price", "float"),
        field("views", "int", nullable=False),
        field("active", "bool", nullable=False),
        field("rating", "float"),
        field("deleted_at", "datetime"),
        field("body", "text"),
        field("balance", "int"),
        field("attributes", "json"),
    ],
    "pk_index": 0,
}


def item_row(i: int) -> dict[str, Any]:
    return {
        "id": i + 1,
        "title": f"Item number {i}",
        "price": (i % 1000) * 0.25 + 0.99,
        "views": (i * 7919) % 1_000_000,
        "active": i % 2 == 0,
        "rating": (i % 50) / 10,
        "deleted_at": None,
        "body": "A short description of the item, long enough to be realistic.",
        "balance": -((i * 31) % 10_000),
        "attributes": {"color": "blue", "sizes": [i % 5, i % 7], "stock": {"warehouse": i % 3, "shelf": "A1"}},
    }


@dataclass(frozen=True)
class Encoded:
    """One document in both encodings, with the Python value it came from dropped."""

    json: str
    msgpack: bytes


def encode(value: Any) -> Encoded:
    return Encoded(json.dumps(value, separators=(",", ":")), msgpack.packb(value))


def bulk_insert_documents(rows: int) -> tuple[Encoded, Encoded]:
    return encode(EVENTS), encode(bulk_insert_ir([event_row(i) for i in range(rows)]))


def hydrate_documents(rows: int) -> tuple[Encoded, Encoded]:
    return encode(ITEMS), encode([item_row(i) for i in range(rows)])
