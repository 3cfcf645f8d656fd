"""Writes on every engine, each test in an empty schema of its own: bulk and
single inserts, updates, bulk and single deletes, checked on the rows the server
hands back or holds afterwards."""

from __future__ import annotations

import datetime as dt
import json
from typing import Any

import pytest

from .drivers import Engine
from .models import (ARTICLES, AUTHORS, MEMBERSHIPS, VISITS, asc, bulk_delete, bulk_insert, delete, flt,
                     insert, p_filter, p_not, p_or, select, update)
from .seed import A1, A2, A3, A4, AUTHOR_ROWS, Seeded, seed, when
from .tier import run


@pytest.fixture
def seeded(db: Engine) -> Seeded:
    return seed(db)


def titles(db: Engine, **rest: Any) -> list[str]:
    return [r["title"] for r in run(db, ARTICLES, select(ARTICLES, "id", "title", **rest))]


def title_set(db: Engine, **rest: Any) -> set[str]:
    return set(titles(db, **rest))


def as_time(value: Any) -> dt.datetime:
    """A fetched time (aware, naive UTC, or SQLite text) as an aware datetime."""
    t = dt.datetime.fromisoformat(value)
    return t if t.tzinfo else t.replace(tzinfo=dt.timezone.utc)


def as_array(value: Any) -> Any:
    return json.loads(value) if isinstance(value, str) else value


def written(db: Engine, meta: dict[str, Any], ir: dict[str, Any], read_back: dict[str, Any]) -> list[dict[str, Any]]:
    """The rows a write hands back; MariaDB hands back none, so they are read instead."""
    rows = run(db, meta, ir)
    if db.returns_rows:
        return rows
    assert rows == []
    return run(db, meta, read_back)


def test_bulk_insert_returns_the_inserted_rows(db: Engine) -> None:
    rows = written(db, AUTHORS, bulk_insert(AUTHORS, AUTHOR_ROWS, returning=True),
                   select(AUTHORS, order_by=[asc(AUTHORS, "id")]))
    assert [r["name"] for r in rows] == ["Ada", "Brian", "Chen"]
    assert len({r["id"] for r in rows}) == 3
    assert [r["email"] for r in rows] == ["ada@example.com", None, "chen@example.org"]
    assert as_time(rows[2]["joined_at"]) == when(2021, 6, 15, 12, 30)
    assert rows[1]["joined_at"] is None


def test_bulk_insert_without_returning_returns_nothing(db: Engine) -> None:
    assert run(db, AUTHORS, bulk_insert(AUTHORS, AUTHOR_ROWS, returning=False)) == []
    assert len(run(db, AUTHORS, select(AUTHORS, "id"))) == 3


def test_insert_round_trips_every_value_type(db: Engine, seeded: Seeded) -> None:
    values = {"title": "Tide tables", "body": "Quotes ' and \" and back\\slash, é ü 日本",
              "views": 2**40, "score": -0.1, "published": True, "author_id": seeded.authors["Chen"],
              "created_at": dt.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=dt.timezone.utc),
              "payload": bytes(range(256)), "tags": ["a,b", "{c}"], "embedding": [0.5, -1.5, 3.25]}
    (row,) = written(db, ARTICLES, insert(ARTICLES, values),
                     select(ARTICLES, filters=[flt(ARTICLES, "title", "eq", "Tide tables")]))
    assert row["title"] == values["title"] and row["body"] == values["body"]
    assert row["view_count"] == 2**40 and row["score"] == -0.1 and bool(row["published"])
    assert row["author_id"] == seeded.authors["Chen"]
    assert as_time(row["created_at"]) == values["created_at"]
    assert bytes.fromhex(row["payload"]) == bytes(range(256))
    assert as_array(row["tags"]) == ["a,b", "{c}"]
    assert as_array(row["embedding"]) == [0.5, -1.5, 3.25]


def test_insert_without_values_takes_every_default(db: Engine) -> None:
    (row,) = written(db, VISITS, insert(VISITS, {}), select(VISITS))
    assert row["note"] is None and row["at"] is not None and row["id"] >= 1


def test_update_returns_the_changed_rows(db: Engine, seeded: Seeded) -> None:
    target = flt(ARTICLES, "id", "eq", seeded.articles[A2])
    rows = written(db, ARTICLES, update(ARTICLES, {"title": "Sea walls", "score": None, "views": 41},
                                        filters=[target]), select(ARTICLES, filters=[target]))
    assert [(r["title"], r["score"], r["view_count"]) for r in rows] == [("Sea walls", None, 41)]
    assert title_set(db) == {A1, "Sea walls", A3, A4}


def test_update_scoped_by_a_predicate_and_unscoped_with_danger(db: Engine, seeded: Seeded) -> None:
    scope = p_or(p_filter(ARTICLES, "views", "lt", 10), p_filter(ARTICLES, "score", "is_null"))
    run(db, ARTICLES, update(ARTICLES, {"published": True}, predicate=scope))
    assert title_set(db, filters=[flt(ARTICLES, "published", "eq", True)]) == {A1, A2, A3}
    everything = update(ARTICLES, {"views": 0})
    everything["operation"]["danger"] = True
    run(db, ARTICLES, everything)
    assert title_set(db, filters=[flt(ARTICLES, "views", "eq", 0)]) == {A1, A2, A3, A4}


def test_bulk_delete_by_single_key(db: Engine, seeded: Seeded) -> None:
    ids = [[seeded.articles[A3]], [seeded.articles[A4]], [10**9]]
    assert run(db, ARTICLES, bulk_delete(ARTICLES, ["id"], ids)) == []
    assert title_set(db) == {A1, A2}


def test_bulk_delete_by_composite_key(db: Engine, seeded: Seeded) -> None:
    a = seeded.authors
    # (1, Chen) is no member: the pair must match as a pair, not column by column.
    ids = [[1, a["Brian"]], [2, a["Chen"]], [1, a["Chen"]]]
    run(db, MEMBERSHIPS, bulk_delete(MEMBERSHIPS, ["org_id", "user_id"], ids))
    left = run(db, MEMBERSHIPS, select(MEMBERSHIPS, order_by=[asc(MEMBERSHIPS, "org_id")]))
    assert [(r["org_id"], r["user_id"], r["order"]) for r in left] == [(1, a["Ada"], 1), (2, a["Ada"], 1)]


def test_delete(db: Engine, seeded: Seeded) -> None:
    run(db, ARTICLES, delete(ARTICLES, filters=[flt(ARTICLES, "views", "eq", 40)],
                             predicate=p_not(p_filter(ARTICLES, "score", "is_null"))))
    assert title_set(db) == {A1, A2, A3}
    everything = delete(ARTICLES)
    everything["operation"]["danger"] = True
    run(db, ARTICLES, everything)
    assert title_set(db) == set()
