"""Statements of the version-4 IR: exact SQL per dialect for each construct,
SQLite running what it is given, and list binding that does not grow the text."""

from __future__ import annotations

import json
import sqlite3
from typing import Any

import msgpack
import pytest

from sarnic import _native

AUTHOR: dict[str, Any] = {
    "model_name": "Author", "table_name": "authors", "pk_index": 0,
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "nullable": False, "allowed_operators": ["eq"]},
        {"name": "name", "column_name": "name", "field_type": "text", "nullable": False,
         "allowed_operators": ["eq", "icontains"]},
    ],
}
POST: dict[str, Any] = {
    "model_name": "Post", "table_name": "posts", "pk_index": 0,
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "big_int", "nullable": False, "allowed_operators": ["eq"]},
        {"name": "author", "column_name": "author_id", "field_type": "int", "nullable": True, "allowed_operators": []},
        {"name": "slug", "column_name": "slug", "field_type": "text", "nullable": False, "allowed_operators": []},
        {"name": "views", "column_name": "views", "field_type": "int", "nullable": False, "allowed_operators": []},
        {"name": "ref", "column_name": "ref", "field_type": "uuid", "nullable": True, "allowed_operators": []},
    ],
}
MODELS = [POST, AUTHOR]
SCHEMA = """
CREATE TABLE authors (id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE posts (id INTEGER PRIMARY KEY, author_id INTEGER, slug TEXT NOT NULL UNIQUE,
                    views INTEGER NOT NULL DEFAULT 0, ref TEXT);
INSERT INTO authors VALUES (1, 'Ann'), (2, 'Bob');
INSERT INTO posts VALUES (1, 1, 'a', 5, NULL), (2, 1, 'b', 1, NULL), (3, 2, 'c', 9, NULL), (4, NULL, 'd', 0, NULL);
"""


def col(index: int, source: int = 0, up: int = 0) -> dict[str, Any]:
    return {"kind": "field", "field": index, "source": source, "up": up}


def val(v: Any, kind: str = "int", label: str = "v") -> dict[str, Any]:
    return {"kind": "value", "value": {"type": kind, "value": v}, "label": label}


def binary(op: str, left: Any, right: Any) -> dict[str, Any]:
    return {"kind": "binary", "op": op, "left": left, "right": right}


def fn(name: str, *args: Any, distinct: bool = False) -> dict[str, Any]:
    return {"kind": "func", "name": name, "args": list(args), "distinct": distinct}


def in_list(operand: Any, items: list[int], negated: bool = False) -> dict[str, Any]:
    return {"kind": "in", "operand": operand, "negated": negated,
            "values": {"type": "int_array", "value": items}, "label": "id:in"}


def select(fields: list[int], **over: Any) -> dict[str, Any]:
    return {"model": 0, "operation": {"kind": "select", "fields": fields}, **over}


def values(*items: Any, model: int = 0, **over: Any) -> dict[str, Any]:
    return {"model": model, "operation": {"kind": "values", "items": list(items)}, **over}


def compile_statement(doc: dict[str, Any], dialect: str) -> dict[str, Any]:
    """JSON and MessagePack agree; the JSON result with decoded values."""
    full = {"version": 4, **doc}
    from_json = _native.compile_statement(json.dumps(MODELS), json.dumps(full), dialect)
    packed = b"\x92" + b"".join(msgpack.packb(m) for m in MODELS)
    from_mp = _native.compile_statement_msgpack(packed, msgpack.packb(full), dialect)
    params = [json.loads(p) for p in from_json["bound_params"]]
    assert msgpack.unpackb(from_mp["bound_params"]) == params
    for key in ("sql_text", "param_type_summary", "fingerprint", "operation"):
        assert from_json[key] == from_mp[key]
    return {**from_json, "bound_params": [p.get("value") for p in params]}


CORRELATED = select([0], where={"kind": "exists", "query": select(
    [0], where=binary("eq", col(1), col(1, up=1)))})
GROUPED = values(col(1), fn("count"), fn("sum", col(3)), group_by=[col(1)],
                 having=binary("gte", fn("count"), val(2, label="having")),
                 order_by=[{"expr": fn("count"), "direction": "desc"}])
UPSERT = {"model": 0, "operation": {"kind": "insert", "values": [[2, val("a", "text", "slug:insert")],
                                                                  [3, val(1, label="views:insert")]],
                                    "on_conflict": {"target": [2], "update": [
                                        [3, binary("add", col(3), {"kind": "excluded", "field": 3})]]}}}
RELATIVE = {"model": 0, "operation": {"kind": "update", "assignments": [[3, binary("add", col(3), val(1))]]},
            "where": binary("eq", col(0), val(7, label="id:eq"))}
JOINED = select([0], joins=[{"model": 1, "name": "author", "local_field": 1, "fields": [1]}],
                where=binary("eq", col(1, source=1), val("Ann", "text", "Author.name:eq")),
                order_by=[{"expr": col(1, source=1), "direction": "asc"}, {"expr": col(0), "direction": "desc"}])
IN_SUBQUERY = select([0], where={"kind": "in", "operand": col(1), "negated": False, "label": "",
                                 "query": values(col(0), model=1, where=binary("ne", col(1), val("Bob", "text")))})
LOCKED = select([0], limit=1, lock={"skip_locked": True})

def like(operand: Any, pattern: str, fold: bool) -> dict[str, Any]:
    return {"kind": "like", "operand": operand, "pattern": val(pattern, "text", "slug:like"), "fold": fold}


def bulk_update(rows: list[tuple[int, int]]) -> dict[str, Any]:
    return {"model": 0, "operation": {"kind": "bulk_update", "pk_fields": [0], "fields": [3], "rows": [
        {"pk_values": [{"type": "int", "value": k}], "values": [{"type": "int", "value": v}]} for k, v in rows]}}


LIKE_KEPT = select([0], where=like(col(2), "%A%", False))
LIKE_FOLDED = select([0], where=like(col(2), "%a%", True))
BULK_UPDATE = bulk_update([(1, 50), (3, 70)])

GOLDEN = {
    ("like_kept", "postgres"): "SELECT \"id\" FROM \"posts\" WHERE \"slug\" LIKE ($1) ESCAPE '\\'",
    ("like_folded", "postgres"):
        "SELECT \"id\" FROM \"posts\" WHERE LOWER(\"slug\" COLLATE \"und-x-icu\") "
        "LIKE LOWER($1 COLLATE \"und-x-icu\") ESCAPE '\\'",
    ("like_kept", "mysql"): "SELECT `id` FROM `posts` WHERE `slug` LIKE (?) COLLATE utf8mb4_bin",
    ("like_folded", "mysql"): "SELECT `id` FROM `posts` WHERE LOWER(`slug`) LIKE LOWER(?) COLLATE utf8mb4_bin",
    ("like_folded", "sqlite"):
        "SELECT \"id\" FROM \"posts\" WHERE sarnic_fold(\"slug\") LIKE sarnic_fold(?) ESCAPE '\\'",
    ("bulk_update", "sqlite"):
        'UPDATE "posts" SET "views" = CASE WHEN "id" = ? THEN ? WHEN "id" = ? THEN ? ELSE "views" END '
        'WHERE "id" IN (?, ?)',
    ("bulk_update", "postgres"):
        'UPDATE "posts" AS t SET "views" = v."views" FROM (VALUES ($1::bigint, $2::bigint), ($3::bigint, $4::bigint)) '
        'AS v("id", "views") WHERE t."id" = v."id"',
    ("correlated", "postgres"):
        'SELECT "posts"."id" FROM "posts" WHERE EXISTS (SELECT 1 FROM "posts" AS "posts_2" '
        'WHERE "posts_2"."author_id" = "posts"."author_id")',
    ("correlated", "mssql"):
        "SELECT [posts].[id] FROM [posts] WHERE EXISTS (SELECT 1 FROM [posts] AS [posts_2] "
        "WHERE [posts_2].[author_id] = [posts].[author_id])",
    ("grouped", "mysql"):
        "SELECT `author_id`, COUNT(*), SUM(`views`) FROM `posts` GROUP BY `author_id` HAVING COUNT(*) >= ? "
        "ORDER BY COUNT(*) DESC",
    ("upsert", "postgres"):
        'INSERT INTO "posts" ("slug", "views") VALUES ($1, $2) ON CONFLICT ("slug") DO UPDATE SET '
        '"views" = ("posts"."views" + EXCLUDED."views") RETURNING "id", "author_id", "slug", "views", "ref"',
    ("upsert", "mysql"):
        "INSERT INTO `posts` (`slug`, `views`) VALUES (?, ?) ON DUPLICATE KEY UPDATE "
        "`views` = (`posts`.`views` + VALUES(`views`))",
    ("upsert", "mariadb"):
        "INSERT INTO `posts` (`slug`, `views`) VALUES (?, ?) ON DUPLICATE KEY UPDATE "
        "`views` = (`posts`.`views` + VALUES(`views`)) RETURNING `id`, `author_id`, `slug`, `views`, `ref`",
    ("relative", "sqlite"):
        'UPDATE "posts" SET "views" = ("views" + ?) WHERE "id" = ? RETURNING "id", "author_id", "slug", "views", "ref"',
    ("joined", "postgres"):
        'SELECT "posts"."id", "authors"."name" AS "author__name" FROM "posts" LEFT JOIN "authors" '
        'ON "posts"."author_id" = "authors"."id" WHERE "authors"."name" = $1 '
        'ORDER BY "authors"."name" ASC, "posts"."id" DESC',
    ("in_subquery", "sqlite"):
        'SELECT "posts"."id" FROM "posts" WHERE "posts"."author_id" IN (SELECT "authors"."id" FROM "authors" '
        'WHERE "authors"."name" <> ?)',
    ("locked", "postgres"): 'SELECT "id" FROM "posts" LIMIT $1 FOR UPDATE SKIP LOCKED',
    ("locked", "mysql"): "SELECT `id` FROM `posts` LIMIT ? FOR UPDATE SKIP LOCKED",
    ("locked", "sqlite"): 'SELECT "id" FROM "posts" LIMIT ?',
    ("locked", "mssql"):
        "SELECT [id] FROM [posts] WITH (UPDLOCK, ROWLOCK, READPAST) ORDER BY (SELECT NULL) "
        "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY",
}
DOCS = {"correlated": CORRELATED, "grouped": GROUPED, "upsert": UPSERT, "relative": RELATIVE, "joined": JOINED,
        "in_subquery": IN_SUBQUERY, "locked": LOCKED, "like_kept": LIKE_KEPT, "like_folded": LIKE_FOLDED,
        "bulk_update": BULK_UPDATE}


@pytest.mark.parametrize(("name", "dialect"), sorted(GOLDEN))
def test_statement_text(name: str, dialect: str) -> None:
    assert compile_statement(DOCS[name], dialect)["sql_text"] == GOLDEN[(name, dialect)]


@pytest.mark.parametrize(("name", "rows"), [
    ("correlated", [(1,), (2,), (3,)]),
    ("grouped", [(1, 2, 6)]),
    ("joined", [(2, "Ann"), (1, "Ann")]),
    ("in_subquery", [(1,), (2,)]),
    ("upsert", [(1, 1, "a", 6, None)]),
    ("relative", []),
])
def test_sqlite_runs_it(name: str, rows: list[tuple[Any, ...]]) -> None:
    db = sqlite3.connect(":memory:")
    db.executescript(SCHEMA)
    compiled = compile_statement(DOCS[name], "sqlite")
    assert sorted(db.execute(compiled["sql_text"], compiled["bound_params"]).fetchall()) == sorted(rows)


@pytest.mark.parametrize("dialect", ["postgres", "sqlite", "mssql"])
def test_a_list_is_one_value_whatever_its_length(dialect: str) -> None:
    short = compile_statement(select([0], where=in_list(col(0), [1])), dialect)
    huge = compile_statement(select([0], where=in_list(col(0), list(range(100_000)))), dialect)
    assert (short["sql_text"], short["fingerprint"]) == (huge["sql_text"], huge["fingerprint"])
    assert huge["bound_params"] == [list(range(100_000))]


@pytest.mark.parametrize(("negated", "expected"), [(False, [(1,), (2,), (4,)]), (True, [(3,)])])
def test_sqlite_list_membership_and_its_negation(negated: bool, expected: list[tuple[int]]) -> None:
    db = sqlite3.connect(":memory:")
    db.executescript(SCHEMA)
    compiled = compile_statement(select([0], where=in_list(col(0), [1, 2, 4, 99], negated)), "sqlite")
    assert db.execute(compiled["sql_text"], [json.dumps(compiled["bound_params"][0])]).fetchall() == expected


@pytest.mark.parametrize(("negated", "sql"), [(False, "1 = 0"), (True, "1 = 1")])
def test_mysql_empty_list_is_a_constant_never_in_parentheses(negated: bool, sql: str) -> None:
    compiled = compile_statement(select([0], where=in_list(col(0), [], negated)), "mysql")
    assert compiled["sql_text"] == f"SELECT `id` FROM `posts` WHERE ({sql})"
    assert compiled["bound_params"] == []


def test_mysql_expands_a_list_one_placeholder_per_value() -> None:
    compiled = compile_statement(select([0], where=in_list(col(0), [3, 1, 2])), "mysql")
    assert compiled["sql_text"].endswith("WHERE (`id` IN (?, ?, ?))")
    assert compiled["bound_params"] == [3, 1, 2] and compiled["param_type_summary"] == ["id:in"] * 3


def test_uuid_lists_are_cast_to_the_column_type_on_postgres() -> None:
    doc = select([0], where={"kind": "in", "operand": col(4), "negated": False, "label": "ref:in",
                             "values": {"type": "text_array", "value": ["8d3c3a5e-6a4e-4a55-9d59-7b0e6c5d2f11"]}})
    assert compile_statement(doc, "postgres")["sql_text"] == 'SELECT "id" FROM "posts" WHERE ("ref" = ANY($1::uuid[]))'


def test_placeholders_are_numbered_across_subqueries_in_text_order() -> None:
    doc = values(val(1, label="a"), where={"kind": "and", "children": [
        {"kind": "exists", "query": values(col(0), model=1, where=binary("eq", col(1), val("x", "text", "b")))},
        binary("gt", col(3), val(2, label="c"))]}, limit=5)
    compiled = compile_statement(doc, "postgres")
    assert compiled["sql_text"] == (
        'SELECT $1 FROM "posts" WHERE (EXISTS (SELECT 1 FROM "authors" WHERE "authors"."name" = $2) '
        'AND "posts"."views" > $3) LIMIT $4')
    assert compiled["param_type_summary"] == ["a", "b", "c", "limit:int"]


@pytest.mark.parametrize(("fold", "pattern", "expected"), [
    (False, "%A%", []), (False, "%a%", [(1,), (2,)]), (True, "%A%", [(1,), (2,)]), (True, "%É%", [(2,)]), (False, "%\\%%", [(3,)]),
])
def test_sqlite_like_keeps_or_folds_case_by_unicode_rules(fold: bool, pattern: str, expected: list[tuple[int]]) -> None:
    db = sqlite3.connect(":memory:")
    db.execute("PRAGMA case_sensitive_like = ON")
    db.create_function("sarnic_fold", 1, lambda s: s.casefold() if isinstance(s, str) else s, deterministic=True)
    db.executescript("CREATE TABLE posts (id INTEGER PRIMARY KEY, slug TEXT);"
                     "INSERT INTO posts VALUES (1, 'a'), (2, 'élan'), (3, '100%');")
    compiled = compile_statement(select([0], where=like(col(2), pattern, fold)), "sqlite")
    assert db.execute(compiled["sql_text"], compiled["bound_params"]).fetchall() == expected


def test_sqlite_bulk_update_sets_each_row_its_own_value() -> None:
    db = sqlite3.connect(":memory:")
    db.executescript(SCHEMA)
    compiled = compile_statement(BULK_UPDATE, "sqlite")
    assert db.execute(compiled["sql_text"], compiled["bound_params"]).rowcount == 2
    assert db.execute("SELECT id, views FROM posts ORDER BY id").fetchall() == [(1, 50), (2, 1), (3, 70), (4, 0)]


DOC: dict[str, Any] = {
    "model_name": "Doc", "table_name": "docs", "pk_index": 0,
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "nullable": False, "allowed_operators": ["eq"]},
        {"name": "title", "column_name": "title", "field_type": "text", "nullable": False,
         "allowed_operators": ["match"]},
        {"name": "body", "column_name": "body", "field_type": "text", "nullable": False,
         "allowed_operators": ["match"]},
    ],
    "full_text_indexes": [{"name": "docs_fts", "fields": ["title", "body"], "config": None}],
}


def match_title(query: str, dialect: str) -> dict[str, Any]:
    doc = {"version": 4, "model": 0, "operation": {"kind": "select", "fields": [0]},
           "where": {"kind": "filter", "source": 0, "up": 0,
                     "filter": {"field": {"name": "title", "index": 1}, "operator": "match",
                                "value": {"type": "text", "value": query}}}}
    return _native.compile_statement(json.dumps([DOC]), json.dumps(doc), dialect)


@pytest.mark.parametrize(("dialect", "sql"), [
    ("sqlite", 'SELECT "id" FROM "docs" WHERE "docs".rowid IN (SELECT rowid FROM "docs_fts" '
               'WHERE "docs_fts"."title" MATCH ?)'),
    ("mysql", "SELECT `id` FROM `docs` WHERE MATCH(`title`) AGAINST (? IN NATURAL LANGUAGE MODE)"),
])
def test_a_field_match_searches_that_field_alone(dialect: str, sql: str) -> None:
    assert match_title("bread", dialect)["sql_text"] == sql


def test_sqlite_field_match_finds_no_row_that_only_another_field_holds() -> None:
    db = sqlite3.connect(":memory:")
    db.executescript("CREATE TABLE docs (id INTEGER PRIMARY KEY, title TEXT, body TEXT);"
                     "CREATE VIRTUAL TABLE docs_fts USING fts5(title, body);"
                     "INSERT INTO docs VALUES (1, 'hello', 'bread'), (2, 'bread', 'x');"
                     "INSERT INTO docs_fts (rowid, title, body) SELECT id, title, body FROM docs;")
    compiled = match_title("bread", "sqlite")
    assert db.execute(compiled["sql_text"], ["bread"]).fetchall() == [(2,)]


COUNTED_UPDATE = {"model": 0, "operation": {"kind": "update", "assignments": [[3, binary("add", col(3), val(1))]]},
                  "where": binary("eq", col(0), val(7, label="id:eq"))}
COUNTED_INSERT = {"model": 0, "operation": {"kind": "insert", "values": [[2, val("a", "text", "slug:insert")]]}}
COUNTED_DELETE = {"model": 0, "operation": {"kind": "delete"}, "where": binary("eq", col(0), val(7, label="id:eq"))}


@pytest.mark.parametrize(("doc", "dialect", "rows_back"), [
    (COUNTED_UPDATE, "sqlite", ' RETURNING "id", "author_id", "slug", "views", "ref"'),
    (COUNTED_UPDATE, "postgres", ' RETURNING "id", "author_id", "slug", "views", "ref"'),
    (COUNTED_UPDATE, "mariadb", ""),
    (COUNTED_UPDATE, "mssql", " OUTPUT INSERTED."),
    (COUNTED_INSERT, "sqlite", ' RETURNING "id"'),
    (COUNTED_INSERT, "mariadb", " RETURNING `id`"),
    (COUNTED_INSERT, "mssql", " OUTPUT INSERTED."),
    (COUNTED_DELETE, "postgres", ""),
])
def test_returning_false_writes_no_rows_back_and_absent_keeps_them(doc: dict[str, Any], dialect: str,
                                                                  rows_back: str) -> None:
    kept = compile_statement(doc, dialect)
    op = {**doc["operation"], "returning": False}
    bare = compile_statement({**doc, "operation": op}, dialect)
    assert (rows_back in kept["sql_text"]) and "RETURNING" not in bare["sql_text"] and "OUTPUT" not in bare["sql_text"]
    assert bare["bound_params"] == kept["bound_params"] and bare["operation"] == kept["operation"]
    if rows_back.startswith(" RETURNING"):
        assert kept["sql_text"].startswith(bare["sql_text"] + rows_back)
    elif not rows_back:
        assert bare["sql_text"] == kept["sql_text"]
    explicit = compile_statement({**doc, "operation": {**doc["operation"], "returning": True}}, dialect) \
        if doc is not COUNTED_DELETE else None
    assert explicit is None or explicit["sql_text"] == kept["sql_text"]
