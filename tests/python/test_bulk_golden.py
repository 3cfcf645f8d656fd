"""Bulk INSERT, UPDATE and DELETE: exact SQL, bound values and labels per dialect."""

from __future__ import annotations

import sqlite3
from typing import Any

import msgpack
import pytest

from conftest import DIALECTS, compile_both, compile_with
from sarnic import _native
from test_write_golden import ARTICLES, ID, TITLE, VIEWS, assert_golden, expand, field, fnv1a, integer, ir, model, ref, text

MEMBERSHIPS = {**model("Membership", "memberships", [field("org_id"), field("user_id"), field("role", field_type="text")]),
               "pk_fields": [0, 1]}
ORG, USER, ROLE = ref("org_id", 0), ref("user_id", 1), ref("role", 2)


def membership(doc: dict) -> dict:
    return {**doc, "model_name": "Membership"}


def bulk_insert(*rows: list[tuple[dict, dict]], returning: bool = False) -> dict[str, Any]:
    return {"kind": "bulk_insert", "rows": [[list(p) for p in row] for row in rows], "returning": returning}


def bulk_update(keys: list[dict], fields: list[dict], *rows: tuple[list, list]) -> dict[str, Any]:
    return {
        "kind": "bulk_update",
        "pk_fields": keys,
        "fields": fields,
        "rows": [{"pk_values": pk, "values": vals} for pk, vals in rows],
    }


def bulk_delete(keys: list[dict], *ids: list[dict]) -> dict[str, Any]:
    return {"kind": "bulk_delete", "pk_fields": keys, "ids": list(ids)}


def ints(*vs: int) -> list[dict[str, Any]]:
    return [integer(v) for v in vs]


TWO_ROWS = [[(TITLE, text("a")), (VIEWS, integer(1))], [(TITLE, text("b")), (VIEWS, integer(2))]]
TWO_ROWS_PARAMS = [text("a"), integer(1), text("b"), integer(2)]
TWO_ROWS_LABELS = ["title:bulk_insert", "views:bulk_insert"] * 2
TWO_ROWS_BARE = {
    "postgres": 'INSERT INTO "articles" ("title", "view_count") VALUES ($1, $2), ($3, $4)',
    "mysql": "INSERT INTO `articles` (`title`, `view_count`) VALUES (?, ?), (?, ?)",
    "sqlite": 'INSERT INTO "articles" ("title", "view_count") VALUES (?, ?), (?, ?)',
    "mssql": "INSERT INTO [articles] ([title], [view_count]) VALUES (?, ?), (?, ?)",
}

# (id, metadata, ir, {dialect: sql}, bound params, labels)
CASES = [
    (
        "insert-returning",
        ARTICLES,
        ir(bulk_insert(*TWO_ROWS, returning=True)),
        {
            "postgres": 'INSERT INTO "articles" ("title", "view_count") VALUES ($1, $2), ($3, $4) RETURNING "id", "title", "view_count"',
            "sqlite": 'INSERT INTO "articles" ("title", "view_count") VALUES (?, ?), (?, ?) RETURNING "id", "title", "view_count"',
            # MySQL returns nothing: identical to returning false.
            "mysql": TWO_ROWS_BARE["mysql"],
            "mssql": "INSERT INTO [articles] ([title], [view_count]) OUTPUT INSERTED.[id], INSERTED.[title], INSERTED.[view_count] VALUES (?, ?), (?, ?)",
        },
        TWO_ROWS_PARAMS,
        TWO_ROWS_LABELS,
    ),
    ("insert-no-returning", ARTICLES, ir(bulk_insert(*TWO_ROWS)), TWO_ROWS_BARE, TWO_ROWS_PARAMS, TWO_ROWS_LABELS),
    (
        # Labels take each row's own spelling of the name.
        "insert-three-rows-one-field",
        ARTICLES,
        ir(bulk_insert([(VIEWS, integer(1))], [(ref("Views", 2), integer(2))], [(VIEWS, integer(3))])),
        {
            "postgres": 'INSERT INTO "articles" ("view_count") VALUES ($1), ($2), ($3)',
            "mysql": "INSERT INTO `articles` (`view_count`) VALUES (?), (?), (?)",
            "sqlite": 'INSERT INTO "articles" ("view_count") VALUES (?), (?), (?)',
            "mssql": "INSERT INTO [articles] ([view_count]) VALUES (?), (?), (?)",
        },
        ints(1, 2, 3),
        ["views:bulk_insert", "Views:bulk_insert", "views:bulk_insert"],
    ),
    (
        "insert-empty-rows",
        ARTICLES,
        ir(bulk_insert([], [], [])),
        {
            "postgres": 'INSERT INTO "articles" () VALUES (), (), ()',
            "mysql": "INSERT INTO `articles` () VALUES (), (), ()",
            "sqlite": 'INSERT INTO "articles" () VALUES (), (), ()',
            "mssql": "INSERT INTO [articles] () VALUES (), (), ()",
        },
        [],
        [],
    ),
    (
        "delete-single-key",
        ARTICLES,
        ir(bulk_delete([ID], ints(1), ints(2), ints(3))),
        {
            "postgres": 'DELETE FROM "articles" WHERE "id" IN ($1, $2, $3)',
            "mysql": "DELETE FROM `articles` WHERE `id` IN (?, ?, ?)",
            "sqlite": 'DELETE FROM "articles" WHERE "id" IN (?, ?, ?)',
            "mssql": "DELETE FROM [articles] WHERE [id] IN (?, ?, ?)",
        },
        ints(1, 2, 3),
        ["id:bulk_delete"] * 3,
    ),
    (
        # A single key binds only the first value of each row.
        "delete-single-key-long-rows",
        ARTICLES,
        ir(bulk_delete([ID], ints(1, 99), ints(2))),
        {
            "postgres": 'DELETE FROM "articles" WHERE "id" IN ($1, $2)',
            "mysql": "DELETE FROM `articles` WHERE `id` IN (?, ?)",
            "sqlite": 'DELETE FROM "articles" WHERE "id" IN (?, ?)',
            "mssql": "DELETE FROM [articles] WHERE [id] IN (?, ?)",
        },
        ints(1, 2),
        ["id:bulk_delete"] * 2,
    ),
    (
        "delete-composite-key",
        MEMBERSHIPS,
        membership(ir(bulk_delete([ORG, USER], ints(1, 10), ints(2, 20)))),
        {
            "postgres": 'DELETE FROM "memberships" WHERE ("org_id", "user_id") IN (($1, $2), ($3, $4))',
            "mysql": "DELETE FROM `memberships` WHERE (`org_id`, `user_id`) IN ((?, ?), (?, ?))",
            "sqlite": 'DELETE FROM "memberships" WHERE ("org_id", "user_id") IN ((?, ?), (?, ?))',
            "mssql": "DELETE FROM [memberships] WHERE ([org_id] = ? AND [user_id] = ?) OR ([org_id] = ? AND [user_id] = ?)",
        },
        ints(1, 10, 2, 20),
        ["org_id:bulk_delete", "user_id:bulk_delete"] * 2,
    ),
    (
        # Values beyond the key's width are ignored.
        "delete-composite-key-long-row",
        MEMBERSHIPS,
        membership(ir(bulk_delete([ORG, USER], ints(1, 10, 99)))),
        {
            "postgres": 'DELETE FROM "memberships" WHERE ("org_id", "user_id") IN (($1, $2))',
            "mysql": "DELETE FROM `memberships` WHERE (`org_id`, `user_id`) IN ((?, ?))",
            "sqlite": 'DELETE FROM "memberships" WHERE ("org_id", "user_id") IN ((?, ?))',
            "mssql": "DELETE FROM [memberships] WHERE ([org_id] = ? AND [user_id] = ?)",
        },
        ints(1, 10),
        ["org_id:bulk_delete", "user_id:bulk_delete"],
    ),
]


@pytest.mark.parametrize("meta, doc, dialect, sql, params, labels", expand(CASES))
def test_golden(meta: dict, doc: dict, dialect: str, sql: str, params: list, labels: list) -> None:
    assert_golden(meta, doc, dialect, sql, params, labels)


TYPED = model(
    "Priced",
    "priced",
    [field("code", field_type="uuid"), field("doc", field_type="json"), field("price", field_type="decimal"),
     field("tags", field_type="array_text"), field("n", 'we"ird', "int")],
)

# PostgreSQL only: (id, metadata, ir, sql, bound params, labels)
UPDATE_CASES = [
    (
        "two-rows",
        ARTICLES,
        ir(bulk_update([ID], [TITLE, VIEWS], (ints(1), [text("a"), integer(10)]), (ints(2), [text("b"), integer(20)]))),
        'UPDATE "articles" AS t SET "title" = v."title", "view_count" = v."view_count" FROM (VALUES ($1::bigint, $2::text, $3::bigint), ($4::bigint, $5::text, $6::bigint)) AS v("id", "title", "view_count") WHERE t."id" = v."id"',
        [integer(1), text("a"), integer(10), integer(2), text("b"), integer(20)],
        ["id:bulk_update_pk", "title:bulk_update", "views:bulk_update"] * 2,
    ),
    (
        "one-row-one-key",
        ARTICLES,
        ir(bulk_update([ID], [VIEWS], (ints(1), ints(5)))),
        'UPDATE "articles" AS t SET "view_count" = v."view_count" FROM (VALUES ($1::bigint, $2::bigint)) AS v("id", "view_count") WHERE t."id" = v."id"',
        ints(1, 5),
        ["id:bulk_update_pk", "views:bulk_update"],
    ),
    (
        # Each placeholder is cast by its own column's type; quoting holds on the v side too.
        "composite-key-casts-quoting",
        TYPED,
        {**ir(bulk_update([ref("code", 0), ref("n", 4)], [ref("doc", 1), ref("price", 2), ref("tags", 3)],
                          ([text("u"), integer(1)], [text("{}"), {"type": "float", "value": 1.5},
                                                     {"type": "text_array", "value": ["x"]}]))),
         "model_name": "Priced"},
        'UPDATE "priced" AS t SET "doc" = v."doc", "price" = v."price", "tags" = v."tags" FROM (VALUES ($1::text, $2::bigint, $3::jsonb, $4::numeric, $5::text[])) AS v("code", "we""ird", "doc", "price", "tags") WHERE t."code" = v."code" AND t."we""ird" = v."we""ird"',
        [text("u"), integer(1), text("{}"), {"type": "float", "value": 1.5}, {"type": "text_array", "value": ["x"]}],
        ["code:bulk_update_pk", "n:bulk_update_pk", "doc:bulk_update", "price:bulk_update", "tags:bulk_update"],
    ),
]


@pytest.mark.parametrize("meta, doc, sql, params, labels", [pytest.param(*c[1:], id=c[0]) for c in UPDATE_CASES])
def test_bulk_update_golden(meta: dict, doc: dict, sql: str, params: list, labels: list) -> None:
    result = compile_both(meta, doc, "postgres")
    assert result["sql_text"] == sql
    assert result["bound_params"] == params
    assert result["param_type_summary"] == labels
    assert result["fingerprint"] == fnv1a(sql)
    assert result["operation"] == "bulk_update"


ONLY_PG = "malformed IR: bulk_update is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)"
EMPTY_ROW = "malformed IR: BulkDelete id row is empty"
SHORT_ROW = "malformed IR: BulkDelete id row has fewer values than pk_fields"
DIFFERENT_COLUMNS = "malformed IR: bulk_insert rows must share the same columns"

# (id, metadata, ir, dialects, message)
ERRORS = [
    ("update-not-postgres", ARTICLES, ir(bulk_update([ID], [TITLE], (ints(1), [text("a")]))),
     ("mysql", "sqlite", "mssql"), ONLY_PG),
    ("delete-empty-row-single", ARTICLES, ir(bulk_delete([ID], ints(1), [])), DIALECTS, EMPTY_ROW),
    ("delete-empty-row-composite", MEMBERSHIPS, membership(ir(bulk_delete([ORG, USER], ints(1, 10), []))),
     DIALECTS, EMPTY_ROW),
    ("delete-short-row", MEMBERSHIPS, membership(ir(bulk_delete([ORG, USER], ints(1, 10), ints(2)))),
     DIALECTS, SHORT_ROW),
    # Rows are checked in order; within a row emptiness is reported first.
    ("delete-short-before-empty", MEMBERSHIPS, membership(ir(bulk_delete([ORG, USER], ints(1), []))),
     DIALECTS, SHORT_ROW),
    ("delete-empty-before-short", MEMBERSHIPS, membership(ir(bulk_delete([ORG, USER], [], ints(1)))),
     DIALECTS, EMPTY_ROW),
    # A later row with the same width but other columns, or the same columns in
    # another order, would write its values into the first row's columns.
    ("insert-rows-reordered", ARTICLES,
     ir(bulk_insert([(TITLE, text("a")), (VIEWS, integer(1))], [(VIEWS, integer(2)), (TITLE, text("b"))])),
     DIALECTS, DIFFERENT_COLUMNS),
    ("insert-rows-other-field", ARTICLES, ir(bulk_insert([(TITLE, text("a"))], [(VIEWS, integer(2))])),
     DIALECTS, DIFFERENT_COLUMNS),
    ("insert-rows-other-width", ARTICLES, ir(bulk_insert([(TITLE, text("a"))], [])), DIALECTS, DIFFERENT_COLUMNS),
    ("insert-no-rows", ARTICLES, ir(bulk_insert()), DIALECTS, "malformed IR: bulk_insert requires at least one row"),
    ("delete-no-ids", ARTICLES, ir(bulk_delete([ID])), DIALECTS, "malformed IR: bulk_delete requires at least one id"),
]


@pytest.mark.parametrize(
    "meta, doc, dialect, message",
    [pytest.param(m, d, dialect, msg, id=f"{i}-{dialect}") for i, m, d, ds, msg in ERRORS for dialect in ds],
)
def test_errors(meta: dict, doc: dict, dialect: str, message: str) -> None:
    with pytest.raises(_native.SarnicCompileError) as exc:
        compile_both(meta, doc, dialect)
    assert str(exc.value) == message


def test_large_bulk_insert(encoding: str) -> None:
    """100,000 rows x 5 fields: one statement, numbering runs across every row."""
    meta = model("Wide", "wide", [field(f"c{i}") for i in range(5)])
    refs = [ref(f"c{i}", i) for i in range(5)]
    rows = [[[refs[i], {"type": "int", "value": r}] for i in range(5)] for r in range(100_000)]
    result = compile_with(encoding, meta, ir(bulk_insert(*rows)) | {"model_name": "Wide"}, "postgres")
    sql = result["sql_text"]
    assert sql.startswith('INSERT INTO "wide" ("c0", "c1", "c2", "c3", "c4") VALUES ($1, $2, $3, $4, $5), ($6, ')
    assert sql.endswith("($499996, $499997, $499998, $499999, $500000)")
    assert sql.count("$") == 500_000
    params = result["bound_params"]
    if encoding == "msgpack":
        params = msgpack.unpackb(params)
    assert len(params) == 500_000
    assert len(result["param_type_summary"]) == 500_000
    assert result["param_type_summary"][-1] == "c4:bulk_insert"


def test_sqlite_runs_the_statements() -> None:
    """The SQLite statements run as written against a real database."""
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE articles (id INTEGER PRIMARY KEY, title TEXT, view_count INT)")
    db.execute("CREATE TABLE memberships (org_id INT, user_id INT, role TEXT, PRIMARY KEY (org_id, user_id))")

    def run(meta: dict, doc: dict) -> list[tuple]:
        result = compile_both(meta, doc, "sqlite")
        return db.execute(result["sql_text"], [p.get("value") for p in result["bound_params"]]).fetchall()

    assert run(ARTICLES, ir(bulk_insert(*TWO_ROWS, returning=True))) == [(1, "a", 1), (2, "b", 2)]
    assert run(ARTICLES, ir(bulk_insert([(VIEWS, integer(3))]))) == []
    assert run(ARTICLES, ir(bulk_delete([ID], ints(1), ints(3)))) == []
    assert db.execute("SELECT id, title, view_count FROM articles").fetchall() == [(2, "b", 2)]

    rows = [[(ORG, integer(o)), (USER, integer(u)), (ROLE, text("m"))] for o, u in ((1, 1), (1, 2), (2, 1))]
    run(MEMBERSHIPS, membership(ir(bulk_insert(*rows))))
    run(MEMBERSHIPS, membership(ir(bulk_delete([ORG, USER], ints(1, 2), ints(2, 1, 99)))))
    assert db.execute("SELECT org_id, user_id FROM memberships").fetchall() == [(1, 1)]
