"""Full-text search per dialect: match conditions, rank ordering, searched columns."""

from __future__ import annotations

from typing import Any

import pytest

from test_select_golden import (
    ARTICLES,
    GOLDEN_ARGS,
    A,
    I,
    T,
    check_golden,
    expand,
    field,
    flt,
    any_,
    join,
    leaf,
    model,
    refs,
    run_sqlite,
    select,
    select_id_from,
)

ONE_BOUND = flt(A["id"], "eq", I(1))  # the PostgreSQL examples start at $2


def rank(ref: dict[str, Any], mode: str = "plain", query: str = "q") -> dict[str, Any]:
    return {"field": ref, "query": T(query), "mode": mode}


def fts(name: str, ir: dict[str, Any], tails: dict[str, str], params: list, labels: list, metadata: Any = ARTICLES,
        head: dict[str, str] = select_id_from) -> Any:  # fmt: skip
    return expand(name, metadata, ir, {d: head[d] + t for d, t in tails.items()}, params, labels)


WORKED = [
    *fts(
        "pg-tsvector-websearch",
        select([A["id"]], filters=[ONE_BOUND, flt(A["search"], "match_websearch", T("q"))]),
        {"postgres": """ WHERE ("id" = $1 AND "search_vector" @@ websearch_to_tsquery('english', $2))"""},
        [I(1), T("q")],
        ["id:eq", "search:match_websearch"],
    ),
    *fts(
        "pg-tsvector-rank-phrase",
        select([A["id"]], filters=[ONE_BOUND], text_rank_by=rank(A["search"], "phrase")),
        {"postgres": """ WHERE "id" = $1 ORDER BY ts_rank("search_vector", phraseto_tsquery('english', $2)) """
                     "DESC NULLS LAST"},  # fmt: skip
        [I(1), T("q")],
        ["id:eq", "search:text_rank"],
    ),
    *fts(
        "pg-tsvector-without-config",
        select([A["id"]], filters=[ONE_BOUND, flt(A["summary"], "match", T("q"))]),
        {"postgres": ' WHERE ("id" = $1 AND "summary" @@ plainto_tsquery($2))'},
        [I(1), T("q")],
        ["id:eq", "summary:match"],
    ),
    *fts(
        "body-match-boolean",
        select([A["id"]], filters=[flt(A["body"], "match_boolean", T("q"))]),
        {
            "mysql": " WHERE MATCH(`title`, `body`) AGAINST (? IN BOOLEAN MODE)",
            "sqlite": ' WHERE "articles".rowid IN (SELECT rowid FROM "ft_articles" WHERE "ft_articles" MATCH ?)',
        },
        [T("q")],
        ["body:match_boolean"],
    ),
    *fts(
        "body-match-phrase",
        select([A["id"]], filters=[flt(A["body"], "match_phrase", T("q"))]),
        {"mssql": " WHERE CONTAINS([body], ?)"},
        [T("q")],
        ["body:match_phrase"],
    ),
    *fts(
        "body-rank-plain",
        select([A["id"]], text_rank_by=rank(A["body"], "plain")),
        {
            "mysql": " ORDER BY MATCH(`title`, `body`) AGAINST (? IN NATURAL LANGUAGE MODE) DESC",
            "sqlite": ' ORDER BY (SELECT bm25("ft_articles") FROM "ft_articles" WHERE "ft_articles".rowid = '
            '"articles".rowid AND "ft_articles" MATCH ?) ASC NULLS LAST',
        },
        [T("q")],
        ["body:text_rank"],
    ),
    *fts(
        "body-rank-websearch",
        select([A["id"]], text_rank_by=rank(A["body"], "websearch")),
        {"mssql": " ORDER BY (SELECT MAX(ft.[RANK]) FROM FREETEXTTABLE([articles], ([title], [body]), ?) AS ft "
                  "WHERE ft.[KEY] = [articles].[id]) DESC"},  # fmt: skip
        [T("q")],
        ["body:text_rank"],
    ),
    # The companion of a field in no index is named after the field, not its column (note_text).
    *fts(
        "sqlite-companion-by-field-name",
        select([A["id"]], filters=[flt(A["notes"], "match", T("q"))]),
        {"sqlite": ' WHERE "articles".rowid IN (SELECT rowid FROM "articles_notes_fts" '
                   'WHERE "articles_notes_fts" MATCH ?)'},  # fmt: skip
        [T("q")],
        ["notes:match"],
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, WORKED)
def test_worked_full_text(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


# Operator -> condition on body (text, in ft_articles without configuration).
# A text column is searched through to_tsvector on PostgreSQL.
OPERATORS = {
    "match": ("plainto_tsquery", "NATURAL LANGUAGE", "FREETEXT"),
    "match_phrase": ("phraseto_tsquery", "NATURAL LANGUAGE", "CONTAINS"),
    "match_websearch": ("websearch_to_tsquery", "NATURAL LANGUAGE", "FREETEXT"),
    "match_boolean": ("to_tsquery", "BOOLEAN", "CONTAINS"),
}


def operator_cases() -> Any:
    for op, (pg_fn, my_mode, ms_word) in OPERATORS.items():
        yield from fts(
            op,
            select([A["id"]], filters=[flt(A["body"], op, T("q"))]),
            {
                "postgres": f' WHERE to_tsvector("body") @@ {pg_fn}($1)',
                "mysql": f" WHERE MATCH(`title`, `body`) AGAINST (? IN {my_mode} MODE)",
                "sqlite": ' WHERE "articles".rowid IN (SELECT rowid FROM "ft_articles" WHERE "ft_articles" MATCH ?)',
                "mssql": f" WHERE {ms_word}([body], ?)",
            },
            [T("q")],
            [f"body:{op}"],
        )


@pytest.mark.parametrize(GOLDEN_ARGS, list(operator_cases()))
def test_match_operators(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


MODES = {
    "plain": ("plainto_tsquery", "NATURAL LANGUAGE", "FREETEXTTABLE"),
    "phrase": ("phraseto_tsquery", "NATURAL LANGUAGE", "CONTAINSTABLE"),
    "websearch": ("websearch_to_tsquery", "NATURAL LANGUAGE", "FREETEXTTABLE"),
    "boolean": ("to_tsquery", "BOOLEAN", "CONTAINSTABLE"),
}


def mode_cases() -> Any:
    for mode, (pg_fn, my_mode, ms_fn) in MODES.items():
        yield from fts(
            mode,
            select([A["id"]], text_rank_by=rank(A["body"], mode)),
            {
                "postgres": f' ORDER BY ts_rank(to_tsvector("body"), {pg_fn}($1)) DESC NULLS LAST',
                "mysql": f" ORDER BY MATCH(`title`, `body`) AGAINST (? IN {my_mode} MODE) DESC",
                "sqlite": ' ORDER BY (SELECT bm25("ft_articles") FROM "ft_articles" WHERE "ft_articles".rowid = '
                '"articles".rowid AND "ft_articles" MATCH ?) ASC NULLS LAST',
                "mssql": f" ORDER BY (SELECT MAX(ft.[RANK]) FROM {ms_fn}([articles], ([title], [body]), ?) AS ft "
                "WHERE ft.[KEY] = [articles].[id]) DESC",
            },
            [T("q")],
            ["body:text_rank"],
        )


@pytest.mark.parametrize(GOLDEN_ARGS, list(mode_cases()))
def test_rank_modes(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


# Which columns and which configuration: first listing index wins (entries that
# name no field dropped, names mapped to columns), then source columns, then the
# field's own column.
DOCS = model(
    "Doc",
    "docs",
    [
        field("id", column="doc_id"),
        field("title", "text"),
        field("body", "text", "body_txt"),
        field("tags", "text", fts_source_columns=["tag_a", "tag_b"]),
        field("vec", "ts_vector", "doc_tsv"),
        field("intro", "text", fts_config="french", fts_source_columns=["intro", "title"]),
    ],
    pk_fields=[2, 0],
    full_text_indexes=[
        {"name": "first", "fields": ["ghost", "body", "title"]},
        {"name": "second", "fields": ["body"], "config": "german"},
        {"name": "third", "fields": ["tags", "vec"], "config": "simple"},
    ],
)
D = refs(DOCS)
DOCS_FROM = {
    "postgres": 'SELECT "doc_id" FROM "docs"',
    "mysql": "SELECT `doc_id` FROM `docs`",
    "sqlite": 'SELECT "doc_id" FROM "docs"',
    "mssql": "SELECT [doc_id] FROM [docs]",
}


def docs(name: str, ir: dict[str, Any], tails: dict[str, str], params: list, labels: list) -> Any:
    return fts(name, ir, tails, params, labels, metadata=DOCS, head=DOCS_FROM)


def on_docs(**keys: Any) -> dict[str, Any]:
    return select([D["id"]], model_name="Doc", **keys)


COVERAGE = [
    # The first index has no configuration, so none is used although a later index has one.
    *docs(
        "first-index-decides",
        on_docs(filters=[flt(D["body"], "match", T("q"))], text_rank_by=rank(D["body"], "boolean")),
        {
            "postgres": ' WHERE to_tsvector("body_txt") @@ plainto_tsquery($1) '
            'ORDER BY ts_rank(to_tsvector("body_txt"), to_tsquery($2)) DESC NULLS LAST',
            "mysql": " WHERE MATCH(`body_txt`, `title`) AGAINST (? IN NATURAL LANGUAGE MODE) "
            "ORDER BY MATCH(`body_txt`, `title`) AGAINST (? IN BOOLEAN MODE) DESC",
            "sqlite": ' WHERE "docs".rowid IN (SELECT rowid FROM "first" WHERE "first" MATCH ?) '
            'ORDER BY (SELECT bm25("first") FROM "first" WHERE "first".rowid = "docs".rowid AND "first" MATCH ?) '
            "ASC NULLS LAST",
            "mssql": " WHERE FREETEXT([body_txt], ?) ORDER BY (SELECT MAX(ft.[RANK]) FROM "
            "CONTAINSTABLE([docs], ([body_txt], [title]), ?) AS ft WHERE ft.[KEY] = [docs].[body_txt]) DESC",
        },
        [T("q"), T("q")],
        ["body:match", "body:text_rank"],
    ),
    # An index beats source columns; its configuration serves the match as well as the rank.
    *docs(
        "index-beats-source-columns",
        on_docs(filters=[flt(D["tags"], "match_phrase", T("q"))], text_rank_by=rank(D["tags"])),
        {
            "postgres": """ WHERE to_tsvector('simple', "tags") @@ phraseto_tsquery('simple', $1) """
            """ORDER BY ts_rank(to_tsvector('simple', "tags"), plainto_tsquery('simple', $2)) DESC NULLS LAST""",
            "mysql": " WHERE MATCH(`tags`, `doc_tsv`) AGAINST (? IN NATURAL LANGUAGE MODE) "
            "ORDER BY MATCH(`tags`, `doc_tsv`) AGAINST (? IN NATURAL LANGUAGE MODE) DESC",
        },
        [T("q"), T("q")],
        ["tags:match_phrase", "tags:text_rank"],
    ),
    # A ts_vector column stays bare; the index configuration reaches its query term.
    *docs(
        "tsvector-in-configured-index",
        on_docs(filters=[flt(D["vec"], "match", T("q"))], text_rank_by=rank(D["vec"], "websearch")),
        {"postgres": """ WHERE "doc_tsv" @@ plainto_tsquery('simple', $1) """
                     """ORDER BY ts_rank("doc_tsv", websearch_to_tsquery('simple', $2)) """
                     "DESC NULLS LAST"},  # fmt: skip
        [T("q"), T("q")],
        ["vec:match", "vec:text_rank"],
    ),
    # The field's own configuration comes first; source columns serve MySQL and the SQL Server rank.
    *docs(
        "own-config-and-source-columns",
        on_docs(filters=[flt(D["intro"], "match", T("q"))], text_rank_by=rank(D["intro"], "phrase")),
        {
            "postgres": """ WHERE to_tsvector('french', "intro") @@ plainto_tsquery('french', $1) ORDER BY """
            """ts_rank(to_tsvector('french', "intro"), phraseto_tsquery('french', $2)) DESC NULLS LAST""",
            "mysql": " WHERE MATCH(`intro`, `title`) AGAINST (? IN NATURAL LANGUAGE MODE) "
            "ORDER BY MATCH(`intro`, `title`) AGAINST (? IN NATURAL LANGUAGE MODE) DESC",
            "mssql": " WHERE FREETEXT([intro], ?) ORDER BY (SELECT MAX(ft.[RANK]) FROM "
            "CONTAINSTABLE([docs], ([intro], [title]), ?) AS ft WHERE ft.[KEY] = [docs].[body_txt]) DESC",
        },
        [T("q"), T("q")],
        ["intro:match", "intro:text_rank"],
    ),
    # After two bound comparisons the match takes $3; inside a predicate it is numbered in text order.
    *docs(
        "numbering",
        on_docs(filters=[flt(D["id"], "gt", I(1)), flt(D["id"], "lt", I(9))],
                predicate=any_(leaf(D["vec"], "match_boolean", T("q")), leaf(D["id"], "eq", I(5)))),  # fmt: skip
        {"postgres": """ WHERE ("doc_id" > $1 AND "doc_id" < $2 AND ("doc_tsv" @@ to_tsquery('simple', $3) """
                     """OR "doc_id" = $4))"""},  # fmt: skip
        [I(1), I(9), T("q"), I(5)],
        ["id:gt", "id:lt", "vec:match_boolean", "id:eq"],
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, COVERAGE)
def test_searched_columns_and_configuration(dialect: str, metadata: Any, ir: Any, sql: str, params: list,
                                            labels: list) -> None:  # fmt: skip
    check_golden(dialect, metadata, ir, sql, params, labels)


JOINED_HEAD = {
    "postgres": 'SELECT "articles"."id" FROM "articles" LEFT JOIN "users" AS "u" ON "articles"."author_id" = "u"."id"',
    "mysql": "SELECT `articles`.`id` FROM `articles` LEFT JOIN `users` AS `u` ON `articles`.`author_id` = `u`.`id`",
    "sqlite": 'SELECT "articles"."id" FROM "articles" LEFT JOIN "users" AS "u" ON "articles"."author_id" = "u"."id"',
    "mssql": "SELECT [articles].[id] FROM [articles] LEFT JOIN [users] AS [u] ON [articles].[author_id] = [u].[id]",
}
QUOTED = model(
    "Odd",
    'a"b]c`d',
    [field("id"), field('f"x', "text", 'c"1]`'), field('n"y', "text", fts_source_columns=["ok"])],
    full_text_indexes=[{"name": 'ix"]`', "fields": ['f"x']}],
)
QUOTED_HEAD = {
    "postgres": 'SELECT "id" FROM "a""b]c`d"',
    "mysql": 'SELECT `id` FROM `a"b]c``d`',
    "sqlite": 'SELECT "id" FROM "a""b]c`d"',
    "mssql": 'SELECT [id] FROM [a"b]]c`d]',
}
Q = refs(QUOTED)

PLACEMENT = [
    # In a joined query PostgreSQL and the SQL Server condition carry the table;
    # MySQL's list, SQLite's base table and the SQL Server rank add nothing.
    *fts(
        "joined",
        select([A["id"]], joins=[join("u", A["author_id"], "users")], filters=[flt(A["search"], "match", T("q"))],
               text_rank_by=rank(A["body"])),  # fmt: skip
        {
            "postgres": """ WHERE "articles"."search_vector" @@ plainto_tsquery('english', $1) ORDER BY """
            """ts_rank(to_tsvector("articles"."body"), plainto_tsquery($2)) DESC NULLS LAST""",
            "mysql": " WHERE MATCH(`search_vector`) AGAINST (? IN NATURAL LANGUAGE MODE) "
            "ORDER BY MATCH(`title`, `body`) AGAINST (? IN NATURAL LANGUAGE MODE) DESC",
            "sqlite": ' WHERE "articles".rowid IN (SELECT rowid FROM "articles_search_fts" WHERE '
            '"articles_search_fts" MATCH ?) ORDER BY (SELECT bm25("ft_articles") FROM "ft_articles" WHERE '
            '"ft_articles".rowid = "articles".rowid AND "ft_articles" MATCH ?) ASC NULLS LAST',
            "mssql": " WHERE FREETEXT([articles].[search_vector], ?) ORDER BY (SELECT MAX(ft.[RANK]) FROM "
            "FREETEXTTABLE([articles], ([title], [body]), ?) AS ft WHERE ft.[KEY] = [articles].[id]) DESC",
        },
        [T("q"), T("q")],
        ["search:match", "body:text_rank"],
        head=JOINED_HEAD,
    ),
    # Quote characters are doubled per dialect in every name, the companion table included.
    *fts(
        "quoted-names",
        select([Q["id"]], model_name="Odd", filters=[flt(Q['f"x'], "match", T("q"))], text_rank_by=rank(Q['f"x'])),
        {
            "postgres": """ WHERE to_tsvector("c""1]`") @@ plainto_tsquery($1) """
            """ORDER BY ts_rank(to_tsvector("c""1]`"), plainto_tsquery($2)) DESC NULLS LAST""",
            "mysql": """ WHERE MATCH(`c"1]```) AGAINST (? IN NATURAL LANGUAGE MODE) """
            """ORDER BY MATCH(`c"1]```) AGAINST (? IN NATURAL LANGUAGE MODE) DESC""",
            "sqlite": """ WHERE "a""b]c`d".rowid IN (SELECT rowid FROM "ix""]`" WHERE "ix""]`" MATCH ?) """
            """ORDER BY (SELECT bm25("ix""]`") FROM "ix""]`" WHERE "ix""]`".rowid = "a""b]c`d".rowid """
            """AND "ix""]`" MATCH ?) ASC NULLS LAST""",
            "mssql": """ WHERE FREETEXT([c"1]]`], ?) ORDER BY (SELECT MAX(ft.[RANK]) FROM FREETEXTTABLE("""
            """[a"b]]c`d], ([c"1]]`]), ?) AS ft WHERE ft.[KEY] = [a"b]]c`d].[id]) DESC""",
        },
        [T("q"), T("q")],
        ['f"x:match', 'f"x:text_rank'],
        metadata=QUOTED,
        head=QUOTED_HEAD,
    ),
    *fts(
        "quoted-companion",
        select([Q["id"]], model_name="Odd", filters=[flt(Q['n"y'], "match_phrase", T("q"))]),
        {"sqlite": """ WHERE "a""b]c`d".rowid IN (SELECT rowid FROM "a""b]c`d_n""y_fts" """
                   """WHERE "a""b]c`d_n""y_fts" MATCH ?)"""},  # fmt: skip
        [T("q")],
        ['n"y:match_phrase'],
        metadata=QUOTED,
        head=QUOTED_HEAD,
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, PLACEMENT)
def test_placement_and_quoting(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


# A real SQLite FTS5 companion: the match finds the rows, and rows without a
# match (bm25 NULL) come after every matching row.
def test_sqlite_match_runs() -> None:
    rows = run_sqlite(ARTICLES, select([A["id"]], filters=[flt(A["body"], "match", T("cats"))]))
    assert sorted(r[0] for r in rows) == [1, 3]


def test_sqlite_rank_keeps_non_matching_rows_last() -> None:
    rows = [r[0] for r in run_sqlite(ARTICLES, select([A["id"]], text_rank_by=rank(A["body"], query="cats")))]
    assert set(rows[:2]) == {1, 3} and set(rows[2:]) == {2, 4}

