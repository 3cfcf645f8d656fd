"""The demo's blog: model metadata, IR builders, the SQLite schema and seed rows.

The SQLite full-text table is named from the metadata the way the compiler's
SQLite full-text SQL looks for it, so schema and model cannot drift apart.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

Doc = dict[str, Any]

COMPARE = ["eq", "ne", "gt", "gte", "lt", "lte"]
NULLS = ["is_null", "is_not_null"]
FULL_TEXT = ["match", "match_phrase", "match_websearch", "match_boolean"]


def field(name: str, field_type: str, operators: Sequence[str], nullable: bool = False, **extra: Any) -> Doc:
    return {
        "name": name,
        "column_name": name,
        "field_type": field_type,
        "allowed_operators": list(operators),
        "nullable": nullable,
        **extra,
    }


AUTHORS: Doc = {
    "model_name": "Author",
    "table_name": "authors",
    "fields": [
        field("id", "int", COMPARE),
        field("name", "text", ["eq", "contains", "icontains"]),
        field("email", "text", ["eq", *NULLS], nullable=True),
        field("joined_at", "datetime", [*COMPARE, *NULLS], nullable=True),
    ],
    "pk_index": 0,
}

POSTS: Doc = {
    "model_name": "Post",
    "table_name": "posts",
    "fields": [
        field("id", "int", COMPARE),
        field("author_id", "int", ["eq", "ne", *NULLS], nullable=True),
        field("title", "text", ["eq", "contains", "icontains"]),
        field("body", "text", ["contains", "icontains", *FULL_TEXT], fts_config="english"),
        field("views", "int", COMPARE),
        field("published", "bool", ["eq"]),
        field("published_at", "datetime", [*COMPARE, *NULLS], nullable=True),
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "posts_fts", "fields": ["title", "body"], "config": "english"}],
}

TAGS: Doc = {
    "model_name": "Tag",
    "table_name": "tags",
    "fields": [field("post_id", "int", ["eq"]), field("name", "text", ["eq"])],
    "pk_index": 0,
    "pk_fields": [0, 1],
}


def ref(model: Doc, name: str) -> Doc:
    """A field reference: the name plus its position in the model's fields."""
    for index, f in enumerate(model["fields"]):
        if f["name"] == name:
            return {"name": name, "index": index}
    raise KeyError(f"{model['model_name']} has no field {name}")


def bind(value: Any, type_: str | None = None) -> Doc:
    """A tagged bind value; the tag follows the Python type unless given."""
    if value is None:
        return {"type": "null"}
    if type_ is None:
        type_ = {bool: "bool", int: "int", float: "float", str: "text"}[type(value)]
    return {"type": type_, "value": value}


def when(value: str) -> Doc:
    return bind(value, "datetime")


def flt(model: Doc, name: str, operator: str, value: Doc | None = None) -> Doc:
    return {"field": ref(model, name), "operator": operator, "value": value or bind(None)}


def refs(model: Doc, *names: str) -> list[Doc]:
    return [ref(model, n) for n in names]


def order(model: Doc, name: str, direction: str = "asc") -> Doc:
    return {"field": ref(model, name), "direction": direction}


def leaf(model: Doc, name: str, operator: str, value: Doc | None = None) -> Doc:
    return {"kind": "filter", "filter": flt(model, name, operator, value)}


def ir(model: Doc, operation: Doc, **keys: Any) -> Doc:
    return {"version": 3, "model_name": model["model_name"], "operation": operation,
            "filters": [], "order_by": [], **keys}  # fmt: skip


def narrowed(model: Doc, names: Sequence[str]) -> Doc:
    """The model restricted to the selected fields: a partial projection is
    checked only for the columns it asked for."""
    return {**model, "fields": [f for f in model["fields"] if f["name"] in names]}


def sqlite_fts_table(model: Doc, field_name: str) -> str:
    for index in model.get("full_text_indexes", []):
        if field_name in index["fields"]:
            return str(index["name"])
    return f"{model['table_name']}_{field_name}_fts"


def _fts_schema(model: Doc, field_name: str) -> list[str]:
    table, fts = model["table_name"], sqlite_fts_table(model, field_name)
    columns = next((ix["fields"] for ix in model.get("full_text_indexes", []) if field_name in ix["fields"]),
                   [field_name])  # fmt: skip
    names = ", ".join(f'"{c}"' for c in columns)
    new = ", ".join(f'new."{c}"' for c in columns)
    old = ", ".join(f'old."{c}"' for c in columns)
    add = f'INSERT INTO "{fts}" (rowid, {names}) VALUES (new."id", {new});'
    drop = f'INSERT INTO "{fts}" ("{fts}", rowid, {names}) VALUES (\'delete\', old."id", {old});'
    return [
        f"CREATE VIRTUAL TABLE \"{fts}\" USING fts5({names}, content='{table}', content_rowid='id')",
        f'CREATE TRIGGER "{fts}_insert" AFTER INSERT ON "{table}" BEGIN {add} END',
        f'CREATE TRIGGER "{fts}_delete" AFTER DELETE ON "{table}" BEGIN {drop} END',
        f'CREATE TRIGGER "{fts}_update" AFTER UPDATE ON "{table}" BEGIN {drop} {add} END',
    ]


SQLITE_SCHEMA = [
    "CREATE TABLE authors (id INTEGER PRIMARY KEY, name TEXT NOT NULL, email TEXT, joined_at TEXT)",
    "CREATE TABLE posts (id INTEGER PRIMARY KEY, author_id INTEGER REFERENCES authors (id),"
    " title TEXT NOT NULL, body TEXT NOT NULL, views INTEGER NOT NULL DEFAULT 0,"
    " published INTEGER NOT NULL DEFAULT 0, published_at TEXT)",
    *_fts_schema(POSTS, "body"),
    "CREATE TABLE tags (post_id INTEGER NOT NULL REFERENCES posts (id), name TEXT NOT NULL,"
    " PRIMARY KEY (post_id, name))",
]

SEED_AUTHORS = [
    ("Ada Byron", "ada@example.org", "2023-01-10 08:00:00"),
    ("Grace Hopper", None, "2023-02-14 12:30:00"),
    ("Edgar Codd", "edgar@example.org", "2023-03-01 09:15:00"),
]

# author_id, title, body, views, published, published_at
SEED_POSTS: list[tuple[int | None, str, str, int, bool, str | None]] = [
    (1, "Why SQLite is everywhere",
     "SQLite runs in phones, browsers and planes; one file holds the whole database.", 1520, True,
     "2024-01-05 10:00:00"),
    (1, "Indexes explained",
     "An index trades write speed for fast lookups; a covering index answers a query alone.", 860, True,
     "2024-01-19 10:00:00"),
    (2, "Compilers for humans",
     "A compiler turns a query description into SQL text and bound parameters.", 430, True, "2024-02-02 10:00:00"),
    (3, "The relational model at fifty",
     "Relations, keys and normal forms: why the model outlived its rivals.", 2210, True, "2024-02-16 10:00:00"),
    (3, "Draft: window functions",
     "Window functions rank rows without collapsing them; SQLite has them since 3.25.", 0, False, None),
    (2, "Full-text search in SQLite",
     "FTS5 tables rank matches with bm25, and triggers keep them in step with their content table.", 990, True,
     "2024-03-01 10:00:00"),
    (1, "Paging without tears",
     "OFFSET is simple and keyset paging scales; both need a stable ORDER BY.", 310, True, "2024-03-15 10:00:00"),
    (None, "Guest post: reading query plans",
     "EXPLAIN QUERY PLAN tells whether SQLite uses an index or scans the table.", 75, True, "2024-03-29 10:00:00"),
]  # fmt: skip

SEED_TAGS = [
    (1, "sqlite"), (1, "databases"), (2, "indexes"), (2, "performance"), (3, "compilers"),
    (4, "theory"), (4, "databases"), (5, "sql"), (6, "sqlite"), (6, "search"),
    (7, "sql"), (7, "performance"), (8, "sqlite"),
]  # fmt: skip
