"""SELECT: exact SQL, bound values, labels and fingerprints per dialect.

Also home of the model and IR helpers that the WHERE, ordering and full-text
golden tests share.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

import pytest
import sqlglot

from conftest import DIALECTS, compile_both
from sarnic import _native

OPS = [
    "eq", "ne", "gt", "gte", "lt", "lte", "contains", "icontains", "is_null", "is_not_null", "startswith", "GT",
    "match", "match_phrase", "match_websearch", "match_boolean",
]  # fmt: skip


def field(name: str, field_type: str = "int", column: str | None = None, **extra: Any) -> dict[str, Any]:
    return {
        "name": name,
        "column_name": column or name,
        "field_type": field_type,
        "allowed_operators": OPS,
        "nullable": True,
        **extra,
    }


def model(name: str, table: str, fields: list[dict[str, Any]], **extra: Any) -> dict[str, Any]:
    return {"model_name": name, "table_name": table, "fields": fields, "pk_index": 0, **extra}


def refs(metadata: Mapping[str, Any]) -> dict[str, dict[str, Any]]:
    return {f["name"]: {"name": f["name"], "index": i} for i, f in enumerate(metadata["fields"])}


ARTICLES = model(
    "Article",
    "articles",
    [
        field("id"),
        field("title", "text"),
        field("views"),
        field("author_id"),
        field("embedding", "vector", vector_dimensions=2),
        field("search", "ts_vector", "search_vector", fts_config="english"),
        field("body", "text"),
        field("summary", "ts_vector"),
        field("notes", "text", "note_text", fts_source_columns=["note_text", "title"]),
    ],
    full_text_indexes=[{"name": "ft_articles", "fields": ["title", "body"]}],
)
A = refs(ARTICLES)
# The statement head that the WHERE, ordering and full-text tables extend.
select_id_from = {
    "postgres": 'SELECT "id" FROM "articles"',
    "mysql": "SELECT `id` FROM `articles`",
    "sqlite": 'SELECT "id" FROM "articles"',
    "mssql": "SELECT [id] FROM [articles]",
}


def I(v: int) -> dict[str, Any]:  # noqa: E743
    return {"type": "int", "value": v}


def T(v: str) -> dict[str, Any]:
    return {"type": "text", "value": v}


def FA(*v: float) -> dict[str, Any]:
    return {"type": "float_array", "value": list(v)}


NULL = {"type": "null"}


def flt(ref: dict[str, Any], op: str, value: dict[str, Any] = NULL) -> dict[str, Any]:
    return {"field": ref, "operator": op, "value": value}


def leaf(ref: dict[str, Any], op: str, value: dict[str, Any] = NULL) -> dict[str, Any]:
    return {"kind": "filter", "filter": flt(ref, op, value)}


def all_(*children: dict[str, Any]) -> dict[str, Any]:
    return {"kind": "and", "children": list(children)}


def any_(*children: dict[str, Any]) -> dict[str, Any]:
    return {"kind": "or", "children": list(children)}


def not_(child: dict[str, Any]) -> dict[str, Any]:
    return {"kind": "not", "child": child}


def asc(ref: dict[str, Any]) -> dict[str, Any]:
    return {"field": ref, "direction": "asc"}


def desc(ref: dict[str, Any]) -> dict[str, Any]:
    return {"field": ref, "direction": "desc"}


def join(alias: str, local: dict[str, Any], table: str, columns: Sequence[str] = (), relation: str = "author",
         pk: str = "id") -> dict[str, Any]:  # fmt: skip
    return {
        "relation": relation,
        "alias": alias,
        "local_field": local,
        "remote_table": table,
        "remote_pk_column": pk,
        "remote_fields": [{"index": i, "name": c, "column": c} for i, c in enumerate(columns)],
    }


def select(fields: Sequence[dict[str, Any]] = (), model_name: str = "Article", **keys: Any) -> dict[str, Any]:
    return {
        "version": 3,
        "model_name": model_name,
        "operation": {"kind": "select", "fields": list(fields)},
        "filters": [],
        "order_by": [],
        **keys,
    }


def fnv1a(text: str) -> str:
    h = 0xCBF29CE484222325
    for b in text.encode():
        h = ((h ^ b) * 0x100000001B3) % 2**64
    return f"{h:016x}"


def expand(
    name: str,
    metadata: dict[str, Any],
    ir: dict[str, Any],
    sql: Mapping[str, str],
    params: list[Any],
    labels: list[str],
    **per_dialect: tuple[list[Any], list[str]],
) -> Iterator[Any]:
    """One case per dialect in `sql`; `per_dialect` overrides params and labels."""
    for dialect in DIALECTS:
        if dialect in sql:
            p, l = per_dialect.get(dialect, (params, labels))
            yield pytest.param(dialect, metadata, ir, sql[dialect], p, l, id=f"{name}-{dialect}")


SQLGLOT_DIALECTS = {"postgres": "postgres", "mysql": "mysql", "sqlite": "sqlite", "mssql": "tsql"}
GOLDEN_ARGS = "dialect,metadata,ir,sql,params,labels"


def check_golden(dialect: str, metadata: Any, ir: Any, sql: str, params: list[Any], labels: list[str]) -> None:
    result = compile_both(metadata, ir, dialect)
    assert result["sql_text"] == sql
    assert result["bound_params"] == params
    assert result["param_type_summary"] == labels
    assert result["fingerprint"] == fnv1a(sql)
    assert result["operation"] == "select"
    # An independent parser must accept the statement in its dialect (it reads
    # pgvector's <#> as a JSON operator, so that one is left out).
    if "<#>" not in sql:
        sqlglot.parse_one(sql, read=SQLGLOT_DIALECTS[dialect])


def compile_error(metadata: Any, ir: Any, dialect: str) -> str:
    with pytest.raises(_native.SarnicCompileError) as caught:
        compile_both(metadata, ir, dialect)
    return str(caught.value)


# The three worked selects over articles(id, title, views, author_id).
EXAMPLE_1 = select([A["id"], A["title"]], filters=[flt(A["views"], "gte", I(100))], order_by=[asc(A["title"])],
                   limit=10, offset=20)  # fmt: skip
EXAMPLE_2 = select([A["id"], A["title"]], filters=[flt(A["views"], "gte", I(100))], distinct=True,
                   joins=[join("author", A["author_id"], "users", ["name"])])  # fmt: skip
EXAMPLE_3 = select(exists=True, filters=[flt(A["views"], "gte", I(100))], limit=1)

WORKED = [
    *expand(
        "paged",
        ARTICLES,
        EXAMPLE_1,
        {
            "postgres": 'SELECT "id", "title" FROM "articles" WHERE "views" >= $1 ORDER BY "title" ASC '
            "LIMIT $2 OFFSET $3",
            "mysql": "SELECT `id`, `title` FROM `articles` WHERE `views` >= ? ORDER BY `title` ASC LIMIT ? OFFSET ?",
            "sqlite": 'SELECT "id", "title" FROM "articles" WHERE "views" >= ? ORDER BY "title" ASC LIMIT ? OFFSET ?',
            "mssql": "SELECT [id], [title] FROM [articles] WHERE [views] >= ? ORDER BY [title] ASC "
            "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY",
        },
        [I(100), I(10), I(20)],
        ["views:gte", "limit:int", "offset:int"],
        mssql=([I(100), I(20), I(10)], ["views:gte", "offset:int", "limit:int"]),
    ),
    *expand(
        "distinct-join",
        ARTICLES,
        EXAMPLE_2,
        {
            "postgres": 'SELECT DISTINCT "articles"."id", "articles"."title", "author"."name" AS "author__name" '
            'FROM "articles" LEFT JOIN "users" AS "author" ON "articles"."author_id" = "author"."id" '
            'WHERE "articles"."views" >= $1',
            "mysql": 'SELECT DISTINCT `articles`.`id`, `articles`.`title`, `author`.`name` AS "author__name" '
            "FROM `articles` LEFT JOIN `users` AS `author` ON `articles`.`author_id` = `author`.`id` "
            "WHERE `articles`.`views` >= ?",
            "sqlite": 'SELECT DISTINCT "articles"."id", "articles"."title", "author"."name" AS "author__name" '
            'FROM "articles" LEFT JOIN "users" AS "author" ON "articles"."author_id" = "author"."id" '
            'WHERE "articles"."views" >= ?',
            "mssql": 'SELECT DISTINCT [articles].[id], [articles].[title], [author].[name] AS "author__name" '
            "FROM [articles] LEFT JOIN [users] AS [author] ON [articles].[author_id] = [author].[id] "
            "WHERE [articles].[views] >= ?",
        },
        [I(100)],
        ["views:gte"],
    ),
    *expand(
        "exists",
        ARTICLES,
        EXAMPLE_3,
        {
            "postgres": 'SELECT EXISTS(SELECT 1 FROM "articles" WHERE "views" >= $1 LIMIT $2)',
            "mysql": "SELECT EXISTS(SELECT 1 FROM `articles` WHERE `views` >= ? LIMIT ?)",
            "sqlite": 'SELECT EXISTS(SELECT 1 FROM "articles" WHERE "views" >= ? LIMIT ?)',
            # SQL Server has no boolean select item: the EXISTS goes into a CASE.
            "mssql": "SELECT CASE WHEN EXISTS(SELECT 1 FROM [articles] WHERE [views] >= ? "
            "ORDER BY (SELECT NULL) OFFSET ? ROWS FETCH NEXT ? ROWS ONLY) THEN 1 ELSE 0 END",
        },
        [I(100), I(1)],
        ["views:gte", "limit:int"],
        mssql=([I(100), I(0), I(1)], ["views:gte", "offset:int", "limit:int"]),
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, WORKED)
def test_worked_selects(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


JOIN_2 = join("editor", A["id"], "people", ["nick", "mail"], relation="editor", pk="pid")
EDGES = [
    # Base columns are qualified in every clause once a join exists, the EXISTS
    # form included, which writes no join.
    *expand(
        "exists-with-join-qualifies",
        ARTICLES,
        select([A["id"]], exists=True, distinct=True, filters=[flt(A["views"], "gte", I(1))],
               order_by=[desc(A["title"])], joins=[join("author", A["author_id"], "users", ["name"])]),  # fmt: skip
        {
            "postgres": 'SELECT EXISTS(SELECT 1 FROM "articles" WHERE "articles"."views" >= $1 '
            'ORDER BY "articles"."title" DESC)',
            "mysql": "SELECT EXISTS(SELECT 1 FROM `articles` WHERE `articles`.`views` >= ? "
            "ORDER BY `articles`.`title` DESC)",
        },
        [I(1)],
        ["views:gte"],
    ),
    *expand(
        "empty-projection",
        ARTICLES,
        select(),
        {"postgres": 'SELECT  FROM "articles"', "mssql": "SELECT  FROM [articles]"},
        [],
        [],
    ),
    # Only the projections are listed; a join without remote fields adds only its JOIN.
    *expand(
        "joins-only-projections",
        ARTICLES,
        select(joins=[join("author", A["author_id"], "users"), JOIN_2]),
        {
            "postgres": 'SELECT "editor"."nick" AS "editor__nick", "editor"."mail" AS "editor__mail" FROM "articles" '
            'LEFT JOIN "users" AS "author" ON "articles"."author_id" = "author"."id" '
            'LEFT JOIN "people" AS "editor" ON "articles"."id" = "editor"."pid"',
            "mysql": 'SELECT `editor`.`nick` AS "editor__nick", `editor`.`mail` AS "editor__mail" FROM `articles` '
            "LEFT JOIN `users` AS `author` ON `articles`.`author_id` = `author`.`id` "
            "LEFT JOIN `people` AS `editor` ON `articles`.`id` = `editor`.`pid`",
        },
        [],
        [],
    ),
    # The same alias twice is written twice; `relation` takes no part.
    *expand(
        "repeated-alias",
        ARTICLES,
        select([A["id"]], joins=[join("u", A["author_id"], "users", ["a"], relation="x"),
                                 join("u", A["author_id"], "users", ["a"], relation="y")]),  # fmt: skip
        {
            "sqlite": 'SELECT "articles"."id", "u"."a" AS "u__a", "u"."a" AS "u__a" FROM "articles" '
            'LEFT JOIN "users" AS "u" ON "articles"."author_id" = "u"."id" '
            'LEFT JOIN "users" AS "u" ON "articles"."author_id" = "u"."id"',
        },
        [],
        [],
    ),
    # A double quote in the projection alias is doubled, whatever the dialect's own quotes; MySQL,
    # which reads the alias as a string literal, doubles a backslash too.
    *expand(
        "projection-alias-quotes",
        ARTICLES,
        select(joins=[join('a"b', A["author_id"], "users", ['na"me', "plain", "tail\\"])]),
        {
            "postgres": 'SELECT "a""b"."na""me" AS "a""b__na""me", "a""b"."plain" AS "a""b__plain", '
            '"a""b"."tail\\" AS "a""b__tail\\" FROM "articles" '
            'LEFT JOIN "users" AS "a""b" ON "articles"."author_id" = "a""b"."id"',
            "mysql": 'SELECT `a"b`.`na"me` AS "a""b__na""me", `a"b`.`plain` AS "a""b__plain", '
            '`a"b`.`tail\\` AS "a""b__tail\\\\" FROM `articles` '
            'LEFT JOIN `users` AS `a"b` ON `articles`.`author_id` = `a"b`.`id`',
            "sqlite": 'SELECT "a""b"."na""me" AS "a""b__na""me", "a""b"."plain" AS "a""b__plain", '
            '"a""b"."tail\\" AS "a""b__tail\\" FROM "articles" '
            'LEFT JOIN "users" AS "a""b" ON "articles"."author_id" = "a""b"."id"',
            "mssql": 'SELECT [a"b].[na"me] AS "a""b__na""me", [a"b].[plain] AS "a""b__plain", '
            '[a"b].[tail\\] AS "a""b__tail\\" FROM [articles] '
            'LEFT JOIN [users] AS [a"b] ON [articles].[author_id] = [a"b].[id]',
        },
        [],
        [],
    ),
    # Every dialect's closing quote is doubled inside table and column names.
    *expand(
        "identifier-quotes",
        model("Odd", 'we"i]r`d', [field("odd", column='a"b]c`d')]),
        select([{"name": "odd", "index": 0}], model_name="Odd"),
        {
            "postgres": 'SELECT "a""b]c`d" FROM "we""i]r`d"',
            "mysql": 'SELECT `a"b]c``d` FROM `we"i]r``d`',
            "sqlite": 'SELECT "a""b]c`d" FROM "we""i]r`d"',
            "mssql": 'SELECT [a"b]]c`d] FROM [we"i]]r`d]',
        },
        [],
        [],
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, EDGES)
def test_select_edges(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


EXPECTED = "; expected postgres, mysql, sqlite, or mssql"
ERRORS = [
    pytest.param(select(version=2), "postgres", "IR version 2 is not supported (expected 3)", id="version"),
    pytest.param(select([{"name": "ghost", "index": 9}]), "mysql", "unknown field 'ghost' on model 'Article'",
                 id="unknown-field"),  # fmt: skip
    pytest.param(select(order_by=[{"field": A["title"], "direction": "ASC"}]), "sqlite",
                 "invalid sort direction 'unknown' for field 'title' on model 'Article'",
                 id="sort-direction"),  # fmt: skip
    pytest.param(select(joins=[join("", A["author_id"], "users")]), "mssql",
                 "malformed IR: join spec missing remote_table or alias", id="join-alias"),  # fmt: skip
    pytest.param(select(), "oracle", 'malformed IR: unknown dialect "oracle"' + EXPECTED, id="dialect"),
    pytest.param(select(), ' pg"\n', 'malformed IR: unknown dialect " pg\\"\\n"' + EXPECTED, id="dialect-quoted-form"),
]


@pytest.mark.parametrize("ir,dialect,message", ERRORS)
def test_select_errors(ir: Any, dialect: str, message: str) -> None:
    assert compile_error(ARTICLES, ir, dialect) == message


@pytest.mark.parametrize("alias,canonical", [("PostgreSQL", "postgres"), ("MariaDB", "mysql"),
                                             ("SQLITE", "sqlite"), ("SqlServer", "mssql")])  # fmt: skip
def test_dialect_names_reach_the_same_emitter(alias: str, canonical: str) -> None:
    assert compile_both(ARTICLES, EXAMPLE_1, alias) == compile_both(ARTICLES, EXAMPLE_1, canonical)


def test_mssql_rank_with_key_out_of_range_is_an_internal_error() -> None:
    broken = {**ARTICLES, "pk_index": 99}
    ir = select([A["id"]], text_rank_by={"field": A["body"], "query": T("x"), "mode": "plain"})
    with pytest.raises(_native.SarnicInternalError) as caught:
        compile_both(broken, ir, "mssql")
    assert caught.value.args == ("internal Sarnic error: unexpected panic in Rust core (category: compile)",)
    # The other dialects never read the key.
    assert compile_both(broken, ir, "postgres")["operation"] == "select"


# Executed on a real SQLite: the statements must run and return the right rows.
def sqlite_db() -> sqlite3.Connection:
    db = sqlite3.connect(":memory:")
    db.executescript(
        """
        CREATE TABLE articles (id INTEGER PRIMARY KEY, title TEXT, views INT, author_id INT, body TEXT);
        CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT);
        CREATE VIRTUAL TABLE ft_articles USING fts5(title, body, content='articles', content_rowid='id');
        INSERT INTO users VALUES (1, 'ann'), (2, 'bob');
        INSERT INTO articles VALUES (1, 'cats', 50, 1, 'cats and dogs'), (2, 'dogs', 150, 2, 'dogs only'),
                                    (3, 'birds', 300, NULL, 'cats cats cats'), (4, 'fish', 120, 1, 'fish');
        INSERT INTO ft_articles(ft_articles) VALUES ('rebuild');
        """
    )
    return db


def run_sqlite(metadata: Any, ir: Any) -> list[tuple]:
    result = compile_both(metadata, ir, "sqlite")
    args = [p.get("value") for p in result["bound_params"]]
    with sqlite_db() as db:
        return db.execute(result["sql_text"], args).fetchall()


SQLITE_RUNS = [
    pytest.param(EXAMPLE_1, [], id="paged-past-end"),
    pytest.param({**EXAMPLE_1, "offset": 1, "limit": 2}, [(2, "dogs"), (4, "fish")], id="paged"),
    pytest.param(select([A["id"]], offset=2, order_by=[asc(A["id"])]), [(3,), (4,)], id="offset-only"),
    pytest.param(EXAMPLE_2, [(2, "dogs", "bob"), (3, "birds", None), (4, "fish", "ann")], id="distinct-join"),
    pytest.param(EXAMPLE_3, [(1,)], id="exists"),
    pytest.param({**EXAMPLE_3, "filters": [flt(A["views"], "gte", I(1000))]}, [(0,)], id="not-exists"),
]


@pytest.mark.parametrize("ir,rows", SQLITE_RUNS)
def test_selects_run_on_sqlite(ir: Any, rows: list[tuple]) -> None:
    got = run_sqlite(ARTICLES, ir)
    assert (got if ir["order_by"] else sorted(got)) == rows
