"""ORDER BY, LIMIT and OFFSET per dialect: sort keys, distance and rank ordering, paging."""

from __future__ import annotations

from typing import Any

import pytest

from conftest import DIALECTS, compile_both
from test_select_golden import (
    ARTICLES,
    FA,
    GOLDEN_ARGS,
    A,
    I,
    T,
    asc,
    check_golden,
    compile_error,
    desc,
    expand,
    flt,
    join,
    run_sqlite,
    select,
    select_id_from,
)

VECTOR = FA(0.5, 2.25)
COSINE = {"field": A["embedding"], "metric": "cosine", "value": VECTOR}
L2 = {"field": A["embedding"], "metric": "l2", "value": VECTOR}
RANK = {"field": A["body"], "query": T("cats"), "mode": "plain"}


def ids(**keys: Any) -> dict[str, Any]:
    return select([A["id"]], **keys)


def tail(name: str, ir: dict[str, Any], appended: dict[str, str], params: list, labels: list, **per: Any) -> Any:
    """Cases for `SELECT id FROM articles` followed by the appended text."""
    return expand(name, ARTICLES, ir, {d: select_id_from[d] + t for d, t in appended.items()}, params, labels, **per)


WORKED = [
    *tail(
        "sort-keys",
        ids(order_by=[asc(A["title"]), desc(A["views"])]),
        {
            "postgres": ' ORDER BY "title" ASC, "views" DESC',
            "mysql": " ORDER BY `title` ASC, `views` DESC",
            "sqlite": ' ORDER BY "title" ASC, "views" DESC',
            "mssql": " ORDER BY [title] ASC, [views] DESC",
        },
        [],
        [],
    ),
    *tail(
        "limit-offset",
        ids(limit=10, offset=20),
        {
            "postgres": " LIMIT $1 OFFSET $2",
            "mysql": " LIMIT ? OFFSET ?",
            "sqlite": " LIMIT ? OFFSET ?",
            "mssql": " ORDER BY (SELECT NULL) OFFSET ? ROWS FETCH NEXT ? ROWS ONLY",
        },
        [I(10), I(20)],
        ["limit:int", "offset:int"],
        mssql=([I(20), I(10)], ["offset:int", "limit:int"]),
    ),
    # MySQL and SQLite have no OFFSET without LIMIT: they get their "no limit".
    *tail(
        "offset-only",
        ids(offset=20),
        {
            "postgres": " OFFSET $1",
            "mysql": " LIMIT 18446744073709551615 OFFSET ?",
            "sqlite": " LIMIT -1 OFFSET ?",
            "mssql": " ORDER BY (SELECT NULL) OFFSET ? ROWS",
        },
        [I(20)],
        ["offset:int"],
    ),
    *tail(
        "limit-with-sort-key",
        ids(limit=5, order_by=[asc(A["title"])]),
        {
            "postgres": ' ORDER BY "title" ASC LIMIT $1',
            "mssql": " ORDER BY [title] ASC OFFSET ? ROWS FETCH NEXT ? ROWS ONLY",
        },
        [I(5)],
        ["limit:int"],
        mssql=([I(0), I(5)], ["offset:int", "limit:int"]),
    ),
    *tail(
        "nearest-cosine",
        ids(vector_order_by=COSINE, limit=5),
        {"postgres": ' ORDER BY "embedding" <=> $1 LIMIT $2'},
        [VECTOR, I(5)],
        ["embedding:nearest_to", "limit:int"],
    ),
    *tail("nearest-l2", ids(vector_order_by=L2), {"postgres": ' ORDER BY "embedding" <-> $1'}, [VECTOR],
          ["embedding:nearest_to"]),  # fmt: skip
    *tail(
        "nearest-inner-product-after-where",
        ids(vector_order_by={**L2, "metric": "inner_product"}, filters=[flt(A["views"], "gte", I(1))], limit=3),
        {"postgres": ' WHERE "views" >= $1 ORDER BY "embedding" <#> $2 LIMIT $3'},
        [I(1), VECTOR, I(3)],
        ["views:gte", "embedding:nearest_to", "limit:int"],
    ),
    *tail(
        "rank",
        ids(text_rank_by=RANK),
        {
            "postgres": ' ORDER BY ts_rank(to_tsvector("body"), plainto_tsquery($1)) DESC NULLS LAST',
            "mysql": " ORDER BY MATCH(`title`, `body`) AGAINST (? IN NATURAL LANGUAGE MODE) DESC",
            "sqlite": ' ORDER BY (SELECT bm25("ft_articles") FROM "ft_articles" WHERE "ft_articles".rowid = '
            '"articles".rowid AND "ft_articles" MATCH ?) ASC NULLS LAST',
            "mssql": " ORDER BY (SELECT MAX(ft.[RANK]) FROM FREETEXTTABLE([articles], ([title], [body]), ?) AS ft "
            "WHERE ft.[KEY] = [articles].[id]) DESC",
        },
        [T("cats")],
        ["body:text_rank"],
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, WORKED)
def test_worked_ordering(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


EVERYTHING = ids(order_by=[desc(A["id"])], vector_order_by=COSINE, text_rank_by=RANK)
EDGES = [
    # Sort keys win: neither the vector nor the rank query is written or bound,
    # so no dialect refuses the ignored vector ordering.
    *tail(
        "sort-keys-win",
        EVERYTHING,
        {
            "postgres": ' ORDER BY "id" DESC',
            "mysql": " ORDER BY `id` DESC",
            "sqlite": ' ORDER BY "id" DESC',
            "mssql": " ORDER BY [id] DESC",
        },
        [],
        [],
    ),
    *tail("vector-beats-rank", ids(vector_order_by=L2, text_rank_by=RANK), {"postgres": ' ORDER BY "embedding" <-> $1'},
          [VECTOR], ["embedding:nearest_to"]),  # fmt: skip
    # With a join every ordering column is qualified with the base table.
    *expand(
        "qualified-with-join",
        ARTICLES,
        select(joins=[join("u", A["author_id"], "users")], order_by=[asc(A["title"])]),
        {"mssql": "SELECT  FROM [articles] LEFT JOIN [users] AS [u] ON [articles].[author_id] = [u].[id] "
                  "ORDER BY [articles].[title] ASC"},  # fmt: skip
        [],
        [],
    ),
    *expand(
        "vector-qualified-with-join",
        ARTICLES,
        select(joins=[join("u", A["author_id"], "users")], vector_order_by=L2),
        {"postgres": 'SELECT  FROM "articles" LEFT JOIN "users" AS "u" ON "articles"."author_id" = "u"."id" '
                     'ORDER BY "articles"."embedding" <-> $1'},  # fmt: skip
        [VECTOR],
        ["embedding:nearest_to"],
    ),
    # SQL Server pages with any ordering without the fallback, and writes nothing without paging.
    *tail(
        "mssql-rank-pages-without-fallback",
        ids(text_rank_by=RANK, offset=7),
        {"mssql": " ORDER BY (SELECT MAX(ft.[RANK]) FROM FREETEXTTABLE([articles], ([title], [body]), ?) AS ft "
                  "WHERE ft.[KEY] = [articles].[id]) DESC OFFSET ? ROWS"},  # fmt: skip
        [T("cats"), I(7)],
        ["body:text_rank", "offset:int"],
    ),
    *tail("no-paging-no-fallback", ids(), {"mssql": ""}, [], []),
    *tail(
        "limit-only",
        ids(limit=5),
        {"postgres": " LIMIT $1", "mysql": " LIMIT ?", "sqlite": " LIMIT ?"},
        [I(5)],
        ["limit:int"],
    ),
    *tail(
        "counts-clamped",
        ids(limit=18446744073709551615, offset=9223372036854775808),
        {"sqlite": " LIMIT ? OFFSET ?"},
        [I(9223372036854775807), I(9223372036854775807)],
        ["limit:int", "offset:int"],
    ),
    *tail("zero-is-bound", ids(limit=0, offset=0), {"postgres": " LIMIT $1 OFFSET $2"}, [I(0), I(0)],
          ["limit:int", "offset:int"]),  # fmt: skip
]


@pytest.mark.parametrize(GOLDEN_ARGS, EDGES)
def test_ordering_edges(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


VECTOR_REFUSED = "malformed IR: vector_order_by is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)"


@pytest.mark.parametrize("dialect", [d for d in DIALECTS if d != "postgres"])
@pytest.mark.parametrize(
    "ir",
    [
        pytest.param(ids(vector_order_by=COSINE, limit=5), id="with-limit"),
        pytest.param(ids(vector_order_by=L2), id="alone"),
        pytest.param(ids(vector_order_by=L2, text_rank_by=RANK), id="with-rank"),
        pytest.param(select(exists=True, vector_order_by=L2), id="in-exists"),
    ],
)
def test_vector_ordering_is_refused_outside_postgres(dialect: str, ir: Any) -> None:
    assert compile_error(ARTICLES, ir, dialect) == VECTOR_REFUSED


# Paging on a real SQLite: rows 1..4 by id.
SQLITE_RUNS = [
    pytest.param({"offset": 1}, [2, 3, 4], id="offset-only"),
    pytest.param({"offset": 1, "limit": 2}, [2, 3], id="limit-offset"),
    pytest.param({"limit": 18446744073709551615}, [1, 2, 3, 4], id="huge-limit"),
    pytest.param({"offset": 9}, [], id="offset-past-end"),
]


@pytest.mark.parametrize("paging,expected", SQLITE_RUNS)
def test_paging_runs_on_sqlite(paging: dict[str, int], expected: list[int]) -> None:
    rows = run_sqlite(ARTICLES, ids(order_by=[asc(A["id"])], **paging))
    assert [r[0] for r in rows] == expected


def test_bound_values_do_not_change_the_text() -> None:
    a = compile_both(ARTICLES, ids(limit=18, filters=[flt(A["views"], "gt", I(18))]), "postgres")
    b = compile_both(ARTICLES, ids(limit=65, filters=[flt(A["views"], "gt", I(65))]), "postgres")
    assert (a["sql_text"], a["fingerprint"]) == (b["sql_text"], b["fingerprint"])
    assert a["bound_params"] != b["bound_params"]
