"""INSERT, UPDATE and DELETE: exact SQL, bound values and labels per dialect."""

from __future__ import annotations

import sqlite3
from collections.abc import Sequence
from typing import Any

import pytest

from conftest import DIALECTS, compile_both
from sarnic import _native

ALL_OPS = ["eq", "gt", "gte", "lt", "icontains", "is_null"]


def field(name: str, column: str | None = None, field_type: str = "int") -> dict[str, Any]:
    return {
        "name": name,
        "column_name": column or name,
        "field_type": field_type,
        "allowed_operators": ALL_OPS,
        "nullable": True,
    }


def model(name: str, table: str, fields: list[dict[str, Any]]) -> dict[str, Any]:
    return {"model_name": name, "table_name": table, "fields": fields, "pk_index": 0}


ARTICLES = model(
    "Article", "articles", [field("id"), field("title", field_type="text"), field("views", "view_count")]
)
# One field whose table and column hold every dialect's closing quote.
ODD = model("Odd", 'we"ird', [field("odd", 'a]b`c"d', "text")])


def ref(name: str, index: int) -> dict[str, Any]:
    return {"name": name, "index": index}


ID, TITLE, VIEWS = ref("id", 0), ref("title", 1), ref("views", 2)


def text(v: str) -> dict[str, Any]:
    return {"type": "text", "value": v}


def integer(v: int) -> dict[str, Any]:
    return {"type": "int", "value": v}


NULL = {"type": "null"}


def flt(fref: dict[str, Any], op: str, value: dict[str, Any]) -> dict[str, Any]:
    return {"field": fref, "operator": op, "value": value}


def ir(operation: dict[str, Any], filters: Sequence[Any] = (), predicate: Any = None, name: str = "Article") -> dict:
    doc = {"version": 3, "model_name": name, "operation": operation, "filters": list(filters), "order_by": []}
    if predicate is not None:
        doc["predicate"] = predicate
    return doc


def insert(*pairs: tuple[dict, dict]) -> dict[str, Any]:
    return {"kind": "insert", "values": [list(p) for p in pairs]}


def update(*pairs: tuple[dict, dict], danger: bool = False) -> dict[str, Any]:
    return {"kind": "update", "assignments": [list(p) for p in pairs], "danger": danger}


def fnv1a(text_: str) -> str:
    h = 0xCBF29CE484222325
    for b in text_.encode():
        h = ((h ^ b) * 0x100000001B3) % 2**64
    return f"{h:016x}"


ARTICLE_RETURNS = {
    "postgres": ' RETURNING "id", "title", "view_count"',
    "sqlite": ' RETURNING "id", "title", "view_count"',
    "mssql": " OUTPUT INSERTED.[id], INSERTED.[title], INSERTED.[view_count]",
    "mysql": "",
}

# (id, metadata, ir, {dialect: sql}, bound params, labels)
CASES = [
    (
        "insert",
        ARTICLES,
        ir(insert((TITLE, text("Hello")), (VIEWS, integer(3)))),
        {
            "postgres": 'INSERT INTO "articles" ("title", "view_count") VALUES ($1, $2) RETURNING "id", "title", "view_count"',
            "mysql": "INSERT INTO `articles` (`title`, `view_count`) VALUES (?, ?)",
            "sqlite": 'INSERT INTO "articles" ("title", "view_count") VALUES (?, ?) RETURNING "id", "title", "view_count"',
            "mssql": "INSERT INTO [articles] ([title], [view_count]) OUTPUT INSERTED.[id], INSERTED.[title], INSERTED.[view_count] VALUES (?, ?)",
        },
        [text("Hello"), integer(3)],
        ["title:insert", "views:insert"],
    ),
    (
        "update",
        ARTICLES,
        ir(update((TITLE, text("New"))), [flt(ID, "eq", integer(7))]),
        {
            "postgres": 'UPDATE "articles" SET "title" = $1 WHERE "id" = $2 RETURNING "id", "title", "view_count"',
            "mysql": "UPDATE `articles` SET `title` = ? WHERE `id` = ?",
            "sqlite": 'UPDATE "articles" SET "title" = ? WHERE "id" = ? RETURNING "id", "title", "view_count"',
            "mssql": "UPDATE [articles] SET [title] = ? OUTPUT INSERTED.[id], INSERTED.[title], INSERTED.[view_count] WHERE [id] = ?",
        },
        [text("New"), integer(7)],
        ["title:assign", "id:eq"],
    ),
    (
        "delete",
        ARTICLES,
        ir({"kind": "delete"}, [flt(ID, "eq", integer(7))]),
        {
            "postgres": 'DELETE FROM "articles" WHERE "id" = $1',
            "mysql": "DELETE FROM `articles` WHERE `id` = ?",
            "sqlite": 'DELETE FROM "articles" WHERE "id" = ?',
            "mssql": "DELETE FROM [articles] WHERE [id] = ?",
        },
        [integer(7)],
        ["id:eq"],
    ),
    (
        "insert-empty",
        ARTICLES,
        ir(insert()),
        {
            "postgres": 'INSERT INTO "articles" DEFAULT VALUES RETURNING "id", "title", "view_count"',
            "mysql": "INSERT INTO `articles` () VALUES ()",
            "sqlite": 'INSERT INTO "articles" DEFAULT VALUES RETURNING "id", "title", "view_count"',
            "mssql": "INSERT INTO [articles] OUTPUT INSERTED.[id], INSERTED.[title], INSERTED.[view_count] DEFAULT VALUES",
        },
        [],
        [],
    ),
    (
        "insert-one-field-quoted",
        ODD,
        ir(insert((ref("odd", 0), NULL)), name="Odd"),
        {
            "postgres": 'INSERT INTO "we""ird" ("a]b`c""d") VALUES ($1) RETURNING "a]b`c""d"',
            "mysql": 'INSERT INTO `we"ird` (`a]b``c"d`) VALUES (?)',
            "sqlite": 'INSERT INTO "we""ird" ("a]b`c""d") VALUES (?) RETURNING "a]b`c""d"',
            "mssql": 'INSERT INTO [we"ird] ([a]]b`c"d]) OUTPUT INSERTED.[a]]b`c"d] VALUES (?)',
        },
        [NULL],
        ["odd:insert"],
    ),
    (
        "update-one-field-danger",
        ODD,
        ir(update((ref("odd", 0), text("x")), danger=True), name="Odd"),
        {
            "postgres": 'UPDATE "we""ird" SET "a]b`c""d" = $1 RETURNING "a]b`c""d"',
            "mysql": 'UPDATE `we"ird` SET `a]b``c"d` = ?',
            "sqlite": 'UPDATE "we""ird" SET "a]b`c""d" = ? RETURNING "a]b`c""d"',
            "mssql": 'UPDATE [we"ird] SET [a]]b`c"d] = ? OUTPUT INSERTED.[a]]b`c"d]',
        },
        [text("x")],
        ["odd:assign"],
    ),
    (
        "delete-danger",
        ARTICLES,
        ir({"kind": "delete", "danger": True}),
        {
            "postgres": 'DELETE FROM "articles"',
            "mysql": "DELETE FROM `articles`",
            "sqlite": 'DELETE FROM "articles"',
            "mssql": "DELETE FROM [articles]",
        },
        [],
        [],
    ),
    (
        # Numbering runs from the assignments into the filters, then the predicate;
        # an is_null leaf binds nothing.
        "update-numbering-into-where",
        ARTICLES,
        ir(
            update((TITLE, text("t")), (VIEWS, integer(0))),
            [flt(ID, "gt", integer(5))],
            {
                "kind": "or",
                "children": [
                    {"kind": "filter", "filter": flt(TITLE, "icontains", text("%a%"))},
                    {"kind": "not", "child": {"kind": "filter", "filter": flt(VIEWS, "is_null", NULL)}},
                ],
            },
        ),
        {
            "postgres": 'UPDATE "articles" SET "title" = $1, "view_count" = $2 WHERE ("id" > $3 AND ("title" ILIKE $4 OR NOT ("view_count" IS NULL))) RETURNING "id", "title", "view_count"',
            "mysql": "UPDATE `articles` SET `title` = ?, `view_count` = ? WHERE (`id` > ? AND (`title` LIKE ? OR NOT (`view_count` IS NULL)))",
            "sqlite": 'UPDATE "articles" SET "title" = ?, "view_count" = ? WHERE ("id" > ? AND ("title" LIKE ? OR NOT ("view_count" IS NULL))) RETURNING "id", "title", "view_count"',
            "mssql": "UPDATE [articles] SET [title] = ?, [view_count] = ? OUTPUT INSERTED.[id], INSERTED.[title], INSERTED.[view_count] WHERE ([id] > ? AND ([title] LIKE ? OR NOT ([view_count] IS NULL)))",
        },
        [text("t"), integer(0), integer(5), text("%a%")],
        ["title:assign", "views:assign", "id:gt", "title:icontains"],
    ),
    (
        # The label keeps the IR's spelling of the name; the SQL uses the column.
        "delete-predicate-only",
        ARTICLES,
        ir(
            {"kind": "delete"},
            predicate={
                "kind": "or",
                "children": [
                    {"kind": "filter", "filter": flt(ref("Id", 0), "eq", integer(1))},
                    {"kind": "filter", "filter": flt(ref("views", 2), "lt", integer(2))},
                ],
            },
        ),
        {
            "postgres": 'DELETE FROM "articles" WHERE ("id" = $1 OR "view_count" < $2)',
            "mysql": "DELETE FROM `articles` WHERE (`id` = ? OR `view_count` < ?)",
            "sqlite": 'DELETE FROM "articles" WHERE ("id" = ? OR "view_count" < ?)',
            "mssql": "DELETE FROM [articles] WHERE ([id] = ? OR [view_count] < ?)",
        },
        [integer(1), integer(2)],
        ["Id:eq", "views:lt"],
    ),
]


def expand(cases: list[tuple]) -> list[Any]:
    return [
        pytest.param(meta, doc, dialect, sqls[dialect], params, labels, id=f"{name}-{dialect}")
        for name, meta, doc, sqls, params, labels in cases
        for dialect in DIALECTS
    ]


@pytest.mark.parametrize("meta, doc, dialect, sql, params, labels", expand(CASES))
def test_golden(meta: dict, doc: dict, dialect: str, sql: str, params: list, labels: list) -> None:
    assert_golden(meta, doc, dialect, sql, params, labels)


def assert_golden(meta: dict, doc: dict, dialect: str, sql: str, params: list, labels: list) -> None:
    result = compile_both(meta, doc, dialect)
    assert result["sql_text"] == sql
    assert result["bound_params"] == params
    assert result["param_type_summary"] == labels
    assert result["fingerprint"] == fnv1a(sql)
    assert result["operation"] == doc["operation"]["kind"]


UNSCOPED = "operation '{}' on model 'Article' requires at least one filter; use the danger API for unscoped mutations"

ERRORS = [
    ("update-unscoped", ir(update((TITLE, text("x")))), UNSCOPED.format("update")),
    ("delete-unscoped", ir({"kind": "delete"}), UNSCOPED.format("delete")),
    ("insert-unknown-field", ir(insert((ref("nope", 3), NULL))), "unknown field 'nope' on model 'Article'"),
    (
        "update-bad-operator",
        ir(update((TITLE, text("x"))), [flt(ID, "startswith", text("a"))]),
        "unsupported operator 'startswith' for field 'id' on model 'Article'",
    ),
    ("delete-version", {**ir({"kind": "delete", "danger": True}), "version": 2}, "IR version 2 is not supported (expected 3)"),
]


@pytest.mark.parametrize("dialect", DIALECTS)
@pytest.mark.parametrize("doc, message", [pytest.param(d, m, id=i) for i, d, m in ERRORS])
def test_errors(doc: dict, message: str, dialect: str) -> None:
    with pytest.raises(_native.SarnicCompileError) as exc:
        compile_both(ARTICLES, doc, dialect)
    assert str(exc.value) == message


def test_operation_names() -> None:
    docs = {
        "select": {"kind": "select", "fields": [ID]},
        "insert": insert((TITLE, text("a"))),
        "update": update((TITLE, text("a")), danger=True),
        "delete": {"kind": "delete", "danger": True},
        "bulk_insert": {"kind": "bulk_insert", "rows": [[[TITLE, text("a")]]]},
        "bulk_update": {"kind": "bulk_update", "pk_fields": [ID], "fields": [TITLE],
                        "rows": [{"pk_values": [integer(1)], "values": [text("a")]}]},
        "bulk_delete": {"kind": "bulk_delete", "pk_fields": [ID], "ids": [[integer(1)]]},
    }
    got = {kind: compile_both(ARTICLES, ir(op), "postgres")["operation"] for kind, op in docs.items()}
    assert got == {kind: kind for kind in docs}


def sqlite_args(result: dict[str, Any]) -> list[Any]:
    return [p.get("value") for p in result["bound_params"]]


def test_sqlite_runs_the_statements() -> None:
    """The SQLite statements run as written against a real database."""
    db = sqlite3.connect(":memory:")
    db.execute('CREATE TABLE articles (id INTEGER PRIMARY KEY, title TEXT DEFAULT \'untitled\', view_count INT)')

    def run(doc: dict) -> list[tuple]:
        result = compile_both(ARTICLES, doc, "sqlite")
        return db.execute(result["sql_text"], sqlite_args(result)).fetchall()

    assert run(ir(insert((TITLE, text("Hello")), (VIEWS, integer(3))))) == [(1, "Hello", 3)]
    assert run(ir(insert())) == [(2, "untitled", None)]
    assert run(ir(update((VIEWS, integer(9))), [flt(ID, "gte", integer(2))])) == [(2, "untitled", 9)]
    assert run(ir({"kind": "delete"}, [flt(ID, "eq", integer(1))])) == []
    assert db.execute("SELECT id, title, view_count FROM articles").fetchall() == [(2, "untitled", 9)]
