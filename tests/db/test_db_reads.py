"""Reads on every engine: filters, predicates, joins, DISTINCT, ordering and
paging, EXISTS and full-text search, asserted on the rows the server returns.
The tests only read, so one seeded schema per engine serves them all."""

from __future__ import annotations

from typing import Any

import pytest

from sarnic import _native

from .bind import driver_values
from .drivers import Engine
from .models import (ARTICLES, MEMBERSHIPS, asc, author_join, bulk_delete, bulk_update, bv, desc, flt, p_and,
                     p_filter, p_not, p_or, ref, select)
from .seed import A1, A2, A3, A4, Seeded, when
from .tier import compile_error, compile_ir, hydrate, run

Reader = tuple[Engine, Seeded]


def titles(db: Engine, **rest: Any) -> list[str]:
    return [r["title"] for r in run(db, ARTICLES, select(ARTICLES, "id", "title", **rest))]


def title_set(db: Engine, **rest: Any) -> set[str]:
    return set(titles(db, **rest))


FILTERS = [
    ([("views", "eq", 40)], {A2, A4}),
    ([("views", "ne", 40)], {A1, A3}),
    ([("views", "gt", 40)], {A1}),
    ([("views", "gte", 40)], {A1, A2, A4}),
    ([("views", "lt", 40)], {A3}),
    ([("views", "lte", 7)], {A3}),
    ([("score", "is_null", None)], {A2}),
    ([("score", "is_not_null", 3)], {A1, A3, A4}),
    ([("score", "gt", 1.25)], {A1, A3}),
    ([("title", "contains", "%walls")], {A2}),
    ([("title", "icontains", "%LIGHT%")], {A1, A4}),
    ([("created_at", "gte", when(2024, 3, 1, 10))], {A3, A4}),
    ([("created_at", "lt", when(2024, 2, 1, 10))], {A1}),
    ([("published", "eq", True)], {A1, A2}),
    ([("payload", "eq", b"\x00\x01\xff")], {A1}),
    ([("tags", "is_not_null", None)], {A1, A3, A4}),
    # A null value under a comparison binds NULL: the condition is unknown.
    ([("score", "eq", None)], set()),
    ([("score", "ne", None)], set()),
    ([("views", "gte", 40), ("published", "eq", False)], {A4}),
    ([("views", "gte", 40), ("views", "lte", 40), ("score", "is_not_null", None)], {A4}),
]


@pytest.mark.parametrize(("filters", "expected"), FILTERS)
def test_filters(reader: Reader, filters: list[tuple[str, str, Any]], expected: set[str]) -> None:
    db, _ = reader
    assert title_set(db, filters=[flt(ARTICLES, *f) for f in filters]) == expected


# The caller's pattern goes to the engine's own LIKE: PostgreSQL's is
# case-sensitive, SQLite's ignores ASCII case, MariaDB's follows the column's
# collation (case-insensitive by default).
@pytest.mark.parametrize(("op", "pattern", "folding", "exact"), [
    ("contains", "%WALLS", {A2}, set()),
    ("icontains", "%WALLS", {A2}, {A2}),
    ("contains", "harbour%", {A2}, set()),
    ("contains", "_arbour%", {A2}, {A2}),
])
def test_like_follows_the_engine(reader: Reader, op: str, pattern: str, folding: set[str],
                                 exact: set[str]) -> None:
    db, _ = reader
    got = title_set(db, filters=[flt(ARTICLES, "title", op, pattern)])
    assert got == (exact if db.name == "postgres" and op == "contains" else folding)


def _p(name: str, op: str, value: Any = None) -> dict[str, Any]:
    return p_filter(ARTICLES, name, op, value)


PREDICATES = [
    (p_or(_p("views", "gte", 100), _p("published", "eq", False)), {A1, A3, A4}),
    (p_not(p_or(_p("views", "gte", 100), _p("published", "eq", False))), {A2}),
    (p_and(), {A1, A2, A3, A4}),
    (p_or(), set()),
    (p_not(p_and()), set()),
    (p_not(p_or()), {A1, A2, A3, A4}),
    (p_and(_p("views", "eq", 40), p_or()), set()),
    (p_or(_p("views", "eq", 7), p_and()), {A1, A2, A3, A4}),
    (p_and(p_or(_p("title", "contains", "%t%"), _p("score", "is_null")),
           p_not(p_and(_p("views", "lt", 100), p_or(_p("published", "eq", True))))), {A1, A3, A4}),
    # NOT of an unknown comparison is still unknown: the row stays out.
    (p_not(_p("score", "gt", 1.0)), set()),
    (p_not(_p("score", "eq", None)), set()),
    (p_or(_p("score", "gt", 4.0), p_not(_p("score", "is_not_null"))), {A1, A2}),
]


@pytest.mark.parametrize(("predicate", "expected"), PREDICATES)
def test_predicates(reader: Reader, predicate: dict[str, Any], expected: set[str]) -> None:
    db, _ = reader
    assert title_set(db, predicate=predicate) == expected


def test_filters_and_predicate_combine(reader: Reader) -> None:
    db, _ = reader
    got = title_set(db, filters=[flt(ARTICLES, "published", "eq", False)],
                    predicate=p_or(_p("views", "eq", 7), _p("views", "eq", 120)))
    assert got == {A3}


def test_join_projects_the_joined_columns_under_their_aliases(reader: Reader) -> None:
    db, _ = reader
    # A double quote and a backslash in the alias: the projection alias must still hold them as they are
    # (MySQL reads it as a string literal, where an undoubled \r would be a carriage return).
    alias = 'wri"te\\r'
    rows = run(db, ARTICLES, select(ARTICLES, "id", "title", joins=[author_join(alias, "name", "email")],
                                    filters=[flt(ARTICLES, "views", "lte", 40)], order_by=[asc(ARTICLES, "id")]))
    got = {r["title"]: (r[f"{alias}__name"], r[f"{alias}__email"]) for r in rows}
    assert got == {A2: ("Brian", None), A3: (None, None), A4: ("Chen", "chen@example.org")}


def test_join_with_two_aliases_of_one_table(reader: Reader) -> None:
    db, _ = reader
    rows = run(db, ARTICLES, select(ARTICLES, "title", joins=[author_join("a1"), author_join("a2", "email")],
                                    filters=[flt(ARTICLES, "title", "eq", A1)]))
    assert rows == [{"title": A1, "a1__name": "Ada", "a2__email": "ada@example.com"}]


def test_distinct(reader: Reader) -> None:
    db, _ = reader
    rows = run(db, ARTICLES, select(ARTICLES, "views", distinct=True, order_by=[desc(ARTICLES, "views")]))
    assert [r["view_count"] for r in rows] == [120, 40, 7]
    joined = run(db, ARTICLES, select(ARTICLES, "views", distinct=True, joins=[author_join("au", "id")],
                                      filters=[flt(ARTICLES, "views", "eq", 40)]))
    assert len(joined) == 2  # one view count, two authors: DISTINCT covers the joined columns


ORDERS = [
    ({"order_by": [desc(ARTICLES, "views"), asc(ARTICLES, "title")]}, [A1, A2, A4, A3]),
    ({"order_by": [asc(ARTICLES, "views"), desc(ARTICLES, "title")], "limit": 2}, [A3, A4]),
    ({"order_by": [desc(ARTICLES, "views"), asc(ARTICLES, "title")], "limit": 2, "offset": 1}, [A2, A4]),
    ({"order_by": [desc(ARTICLES, "views"), asc(ARTICLES, "title")], "offset": 2}, [A4, A3]),
    ({"order_by": [asc(ARTICLES, "id")], "limit": 0}, []),
    ({"order_by": [asc(ARTICLES, "id")], "offset": 10}, []),
    ({"order_by": [asc(ARTICLES, "created_at")], "limit": 10**19}, [A1, A2, A3, A4]),
]


@pytest.mark.parametrize(("rest", "expected"), ORDERS)
def test_ordering_and_paging(reader: Reader, rest: dict[str, Any], expected: list[str]) -> None:
    db, _ = reader
    assert titles(db, **rest) == expected


def test_offset_without_limit_keeps_every_row_after_it(reader: Reader) -> None:
    db, _ = reader
    assert len(titles(db, offset=1)) == 3


@pytest.mark.parametrize("direction", [asc, desc])
def test_nulls_sort_where_the_engine_puts_them(reader: Reader, direction: Any) -> None:
    db, _ = reader
    got = titles(db, order_by=[direction(ARTICLES, "score")])
    by_score = [A4, A3, A1] if direction is asc else [A1, A3, A4]
    nulls_first = db.nulls_first_asc == (direction is asc)
    assert got == ([A2, *by_score] if nulls_first else [*by_score, A2])


EXISTS = [
    ({"filters": [flt(ARTICLES, "views", "gt", 100)]}, True),
    ({"filters": [flt(ARTICLES, "views", "gt", 1000)]}, False),
    ({"predicate": p_or()}, False),
    ({"filters": [flt(ARTICLES, "views", "gte", 40)], "order_by": [asc(ARTICLES, "id")], "limit": 1,
      "offset": 2}, True),
    ({"filters": [flt(ARTICLES, "views", "gte", 40)], "offset": 3}, False),
    ({"filters": [flt(ARTICLES, "views", "gte", 0)], "joins": [author_join()], "distinct": True}, True),
]


@pytest.mark.parametrize(("rest", "expected"), EXISTS)
def test_exists(reader: Reader, rest: dict[str, Any], expected: bool) -> None:
    db, _ = reader
    (row,) = run(db, ARTICLES, select(ARTICLES, "id", exists=True, **rest))
    (value,) = row.values()
    assert bool(value) is expected


# -- full text --------------------------------------------------------------

# Query syntax belongs to the engine; the caller writes it. Each case picks the
# text that asks each engine the same question.
MATCHES = [
    ("body", "match", {"*": "lighthouse"}, {A1, A4}),
    ("search", "match", {"*": "granite"}, {A1, A2}),
    ("title", "match", {"*": "orchard"}, {A3}),
    ("body", "match_phrase", {"postgres": "granite blocks", "sqlite": '"granite blocks"',
                              "mariadb": "shelter"}, {A2}),
    ("search", "match_websearch", {"postgres": "granite -winter", "sqlite": "granite NOT winter",
                                   "mariadb": "keeper"}, {A1}),
    ("body", "match_boolean", {"postgres": "granite & !winter", "sqlite": "granite NOT winter",
                               "mariadb": "+granite -winter"}, {A1}),
    ("search", "match_boolean", {"postgres": "harbour | orchard", "sqlite": "harbour OR orchard",
                                 "mariadb": "harbour orchard"}, {A2, A3, A4}),
]


@pytest.mark.parametrize(("name", "op", "query", "expected"), MATCHES)
def test_full_text_match(reader: Reader, name: str, op: str, query: dict[str, str],
                         expected: set[str]) -> None:
    db, _ = reader
    text = query.get(db.name, query.get("*"))
    assert title_set(db, filters=[flt(ARTICLES, name, op, text)]) == expected


@pytest.mark.parametrize("name", ["body", "search"])
@pytest.mark.parametrize("mode", ["plain", "websearch"])
def test_full_text_rank_puts_the_best_match_first_and_misses_last(reader: Reader, name: str,
                                                                   mode: str) -> None:
    db, _ = reader
    rank = {"field": ref(ARTICLES, name), "query": bv("lighthouse"), "mode": mode}
    got = titles(db, text_rank_by=rank)
    assert got[:2] == [A1, A4]
    assert set(got[2:]) == {A2, A3}


def test_full_text_rank_with_match_filter_and_paging(reader: Reader) -> None:
    db, _ = reader
    rank = {"field": ref(ARTICLES, "body"), "query": bv("lighthouse"), "mode": "plain"}
    got = titles(db, filters=[flt(ARTICLES, "body", "match", "lighthouse")], text_rank_by=rank, limit=1,
                 offset=1)
    assert got == [A4]


def test_full_text_with_a_join(reader: Reader) -> None:
    db, _ = reader
    rank = {"field": ref(ARTICLES, "search"), "query": bv("granite"), "mode": "plain"}
    rows = run(db, ARTICLES, select(ARTICLES, "title", joins=[author_join()], text_rank_by=rank,
                                    filters=[flt(ARTICLES, "search", "match", "granite")]))
    assert {(r["title"], r["author__name"]) for r in rows} == {(A1, "Ada"), (A2, "Brian")}


# -- hydration and refusals ---------------------------------------------------


def test_a_projection_checked_against_the_whole_model_misses_a_column(reader: Reader) -> None:
    db, _ = reader
    c = compile_ir(ARTICLES, select(ARTICLES, "id", "title"), db.dialect)
    rows = db.fetch(c.sql, driver_values(c.bound_json, db.name))
    with pytest.raises(_native.SarnicHydrationError, match="column 'body' missing"):
        hydrate(ARTICLES, rows)


@pytest.mark.parametrize("dialect", ["mariadb", "mysql", "sqlite", "mssql"])
def test_postgres_only_statements_are_refused_elsewhere(dialect: str) -> None:
    nearest = select(ARTICLES, "id", vector_order_by={"field": ref(ARTICLES, "embedding"), "metric": "l2",
                                                      "value": bv([1.0, 0.0, 0.0])})
    assert compile_error(ARTICLES, nearest, dialect).startswith("malformed IR: ")
    assert compile_error(ARTICLES, bulk_update(ARTICLES, ["id"], ["title"], [([1], ["x"])]), dialect) == (
        "malformed IR: bulk_update is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)")


@pytest.mark.parametrize("dialect", ["postgres", "mariadb", "sqlite", "mssql"])
def test_composite_key_rows_shorter_than_the_key_are_refused(dialect: str) -> None:
    short = bulk_delete(MEMBERSHIPS, ["org_id", "user_id"], [[1, 2], [1]])
    assert compile_error(MEMBERSHIPS, short, dialect).startswith("malformed IR: ")
