"""What only PostgreSQL runs: nearest-neighbour ordering and the bulk update."""

from __future__ import annotations

import datetime as dt
import itertools
import math
from collections.abc import Callable
from typing import Any

import pytest

from .drivers import Engine
from .models import ARTICLES, COMPARE, MEMBERSHIPS, asc, author_join, bulk_update, bv, field, flt, insert, ref, select
from .seed import A1, A2, A3, A4, ARTICLE_ROWS, Seeded, seed
from .tier import run


@pytest.fixture
def seeded(pg: Engine) -> Seeded:
    return seed(pg)


def _l2(a: list[float], b: list[float]) -> float:
    return math.dist(a, b)


def _cosine(a: list[float], b: list[float]) -> float:
    return 1 - _dot(a, b) / (math.hypot(*a) * math.hypot(*b))


def _dot(a: list[float], b: list[float]) -> float:
    return sum(x * y for x, y in zip(a, b))


# pgvector's meaning of each metric; <#> is the negative inner product, so that
# ascending order puts the largest product first.
DISTANCES: dict[str, Callable[[list[float], list[float]], float]] = {
    "l2": _l2, "cosine": _cosine, "inner_product": lambda a, b: -_dot(a, b)}
# Whole numbers, so that the int_array form is the same vector.
QUERIES = [[1.0, 1.0, 0.0], [0.0, 2.0, 1.0], [1.0, -2.0, 3.0]]


def nearest_titles(metric: str, query: list[float]) -> list[str]:
    """The seeded titles nearest first by the metric; a missing vector sorts last."""
    vectors: list[tuple[str, list[float] | None]] = [(r["title"], r["embedding"]) for r in ARTICLE_ROWS]
    measured = sorted((DISTANCES[metric](v, query), t) for t, v in vectors if v)
    distances = [d for d, _ in measured]
    assert all(abs(a - b) > 1e-3 for a, b in itertools.combinations(distances, 2)), "ties make the order moot"
    return [t for _, t in measured] + [t for t, v in vectors if not v]


def test_the_seeded_vectors_tell_the_metrics_apart() -> None:
    # Otherwise a metric wired to the wrong operator could pass.
    assert len({tuple(nearest_titles(m, [1.0, 1.0, 0.0])) for m in DISTANCES}) == len(DISTANCES)


@pytest.mark.parametrize("query", QUERIES, ids=str)
@pytest.mark.parametrize("tag", ["float_array", "int_array"])
@pytest.mark.parametrize("metric", list(DISTANCES))
def test_nearest_neighbour_ordering(pg: Engine, seeded: Seeded, metric: str, tag: str, query: list[float]) -> None:
    value = bv(query if tag == "float_array" else [round(x) for x in query], tag)
    nearest = {"field": ref(ARTICLES, "embedding"), "metric": metric, "value": value}
    rows = run(pg, ARTICLES, select(ARTICLES, "title", vector_order_by=nearest))
    assert [r["title"] for r in rows] == nearest_titles(metric, query)


def test_nearest_neighbour_with_filter_join_and_paging(pg: Engine, seeded: Seeded) -> None:
    nearest = {"field": ref(ARTICLES, "embedding"), "metric": "l2", "value": bv([1.0, 1.0, 0.0])}
    rows = run(pg, ARTICLES, select(ARTICLES, "title", vector_order_by=nearest, joins=[author_join()],
                                    filters=[flt(ARTICLES, "views", "gte", 40)], limit=2, offset=1))
    authors = {r["title"]: r["author"] for r in ARTICLE_ROWS}
    kept = [t for t in nearest_titles("l2", [1.0, 1.0, 0.0]) if t != A3]  # A3 has 7 views
    assert [(r["title"], r["author__name"]) for r in rows] == [(t, authors[t]) for t in kept[1:3]]


@pytest.mark.parametrize("query", [[1.0, 0.0], [1.0, 0.0, 0.0, 0.0]], ids=["shorter", "longer"])
def test_a_query_vector_of_another_dimension_is_refused(pg: Engine, seeded: Seeded, query: list[float]) -> None:
    nearest = {"field": ref(ARTICLES, "embedding"), "metric": "l2", "value": bv(query)}
    with pytest.raises(pg.error, match="different vector dimensions"):
        run(pg, ARTICLES, select(ARTICLES, "title", vector_order_by=nearest))


def test_bulk_update_casts_every_value_to_its_column_type(pg: Engine, seeded: Seeded) -> None:
    ids = seeded.articles
    when = dt.datetime(2025, 1, 2, 3, 4, 5, tzinfo=dt.timezone.utc)
    names = ["title", "views", "score", "published", "created_at", "payload", "tags", "embedding"]
    rows: list[tuple[list[Any], list[Any]]] = [
        ([ids[A1]], ["First", 1, None, False, when, b"\x01", ["x"], [0.5, -0.25, 8.0]]),
        ([ids[A3]], ["Third", 3, 0.5, True, when, None, None, None]),
    ]
    ir = bulk_update(ARTICLES, ["id"], names, rows)
    assert run(pg, ARTICLES, ir) == []
    got = run(pg, ARTICLES, select(ARTICLES, order_by=[asc(ARTICLES, "id")]))
    by_id = {r["id"]: r for r in got}
    first, third = by_id[ids[A1]], by_id[ids[A3]]
    assert (first["title"], first["view_count"], first["score"], first["published"]) == ("First", 1, None, False)
    assert (first["payload"], first["tags"]) == ("01", ["x"])
    assert (third["title"], third["view_count"], third["score"], third["published"]) == ("Third", 3, 0.5, True)
    assert (third["payload"], third["tags"]) == (None, None)
    assert first["created_at"] == third["created_at"] == when.isoformat()
    assert {by_id[ids[A2]]["title"], by_id[ids[A4]]["title"]} == {A2, A4}


def test_bulk_update_by_composite_key_with_a_reserved_column(pg: Engine, seeded: Seeded) -> None:
    a = seeded.authors
    rows = [([1, a["Brian"]], ["admin", 7]), ([2, a["Chen"]], ["guest", 9])]
    run(pg, MEMBERSHIPS, bulk_update(MEMBERSHIPS, ["org_id", "user_id"], ["role", "sort_order"], rows))
    got = run(pg, MEMBERSHIPS, select(MEMBERSHIPS))
    assert {(r["org_id"], r["user_id"], r["role"], r["order"]) for r in got} == {
        (1, a["Ada"], "owner", 1), (1, a["Brian"], "admin", 7), (2, a["Ada"], "member", 1),
        (2, a["Chen"], "guest", 9)}


# Every field type whose PostgreSQL column type differs from text or a number,
# against its natural column type.
TYPED = {
    "model_name": "Typed",
    "table_name": "typed",
    "fields": [field("id", "int"), field("uid", "uuid", nullable=True), field("mood", "enum", nullable=True),
               field("uids", "array_uuid", nullable=True), field("doc", "json", nullable=True),
               field("docb", "json", nullable=True), field("amount", "decimal", nullable=True),
               field("words", "ts_vector", nullable=True), field("nums", "array_int", nullable=True),
               field("ratios", "array_float", nullable=True)],
    "pk_index": 0,
}
TOKENS = {"model_name": "Token", "table_name": "tokens", "pk_index": 0,
          "fields": [field("id", "uuid", ops=COMPARE), field("label", "text")]}
TYPED_DDL = [
    "CREATE TYPE mood AS ENUM ('calm', 'happy')",
    "CREATE TABLE typed (id bigint PRIMARY KEY, uid uuid, mood mood, uids uuid[], doc json, docb jsonb,"
    " amount numeric(12, 2), words tsvector, nums bigint[], ratios double precision[])",
    "CREATE TABLE tokens (id uuid PRIMARY KEY, label text NOT NULL)",
]
U1 = "1b4e28ba-2fa1-11d2-883f-0016d3cca427"
NO_ASSIGNMENT = "PostgreSQL does not assign {} to a column of type {}: the cast for the field type is {}"
BULK_TYPES = [
    ("uid", bv(U1), U1, NO_ASSIGNMENT.format("text", "uuid", "text")),
    ("mood", bv("happy"), "happy", NO_ASSIGNMENT.format("text", "enum", "text")),
    ("uids", bv([U1], "text_array"), [U1], NO_ASSIGNMENT.format("text[]", "uuid[]", "text[]")),
    ("words", bv("lamp harbour"), "'harbour' 'lamp'", NO_ASSIGNMENT.format("text", "tsvector", "text")),
    ("doc", bv('{"a": 1}'), '{"a": 1}', None),
    ("docb", bv('{"a": 1}'), '{"a": 1}', None),
    ("amount", bv(12.5), 12.5, None),
    ("nums", bv([1, 2], "int_array"), [1, 2], None),
    ("ratios", bv([0.5, 2.0], "float_array"), [0.5, 2.0], None),
]


@pytest.mark.parametrize(("name", "value", "expected", "refused"), BULK_TYPES, ids=[c[0] for c in BULK_TYPES])
def test_bulk_update_into_each_column_type(request: pytest.FixtureRequest, pg: Engine, name: str,
                                           value: dict[str, Any], expected: Any, refused: str | None) -> None:
    if refused:
        request.applymarker(pytest.mark.xfail(strict=True, raises=pg.error, reason=refused))
    pg.script(TYPED_DDL)
    run(pg, TYPED, insert(TYPED, {"id": 1}))
    ir = bulk_update(TYPED, ["id"], [name], [([1], [None])])
    ir["operation"]["rows"][0]["values"] = [value]
    run(pg, TYPED, ir)
    (row,) = run(pg, TYPED, select(TYPED, "id", name))
    assert row[name] == expected


def test_bulk_update_by_a_uuid_key(request: pytest.FixtureRequest, pg: Engine) -> None:
    pg.script(TYPED_DDL)
    run(pg, TOKENS, insert(TOKENS, {"id": U1, "label": "old"}))
    request.applymarker(pytest.mark.xfail(strict=True, raises=pg.error,
                                          reason="uuid keys are cast to text: PostgreSQL has no uuid = text"))
    run(pg, TOKENS, bulk_update(TOKENS, ["id"], ["label"], [([U1], ["new"])]))
    assert run(pg, TOKENS, select(TOKENS, "label")) == [{"label": "new"}]
