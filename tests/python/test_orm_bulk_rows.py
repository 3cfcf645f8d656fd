"""The bulk insert's written-out binder against the general path: the same
columns and bind values for every kind of value, including the ones the
binder leaves to the field (values out of range, other zones, subclasses)."""

from __future__ import annotations

import datetime as dt
import uuid
from typing import Any

import pytest

from orm_models import Color, Everything, Level, Post
from sarnic.query.writes import Insert

UTC = dt.timezone.utc
PLUS2 = dt.timezone(dt.timedelta(hours=2))


class Str(str):
    pass


def one_by_one(model: Any, rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """What the general path binds for each row, by column name."""
    return [{f.name: b for f, b in Insert.of(model, None, row).values} for row in rows]


ROWS = [
    ("plain", [{"title": "a", "body": "b"}, {"title": "c", "body": "d", "views": 7}]),
    ("int edges", [{"title": "a", "body": "b", "views": v} for v in (-2**31, 2**31 - 1, 0)]),
    ("big keys", [{"id": 2**63 - 1, "title": "a", "body": "b"}, {"id": -2**63, "title": "a", "body": "b"}]),
    ("text subclass", [{"title": Str("a"), "body": "ü" * 300}]),
    ("nullable given and absent", [{"title": "a", "body": "b", "published_at": None, "author_id": 3},
                                   {"title": "a", "body": "b"}]),
    ("aware in another zone", [{"title": "a", "body": "b", "published_at": dt.datetime(2024, 5, 1, 12, tzinfo=PLUS2)},
                               {"title": "a", "body": "b", "published_at": dt.datetime(2024, 5, 1, 12, tzinfo=UTC)}]),
    ("arrays and vectors", [{"title": "a", "body": "b", "tags": [], "embedding": [1.0, 2, 3.5]}]),
]


@pytest.mark.parametrize("rows", [r for _, r in ROWS], ids=[n for n, _ in ROWS])
def test_the_binder_binds_what_each_field_binds(rows: list[dict[str, Any]]) -> None:
    query = Post.bulk_insert(rows)
    expected = one_by_one(Post, rows)
    names = [f.name for f in query.columns]
    for got, want in zip(query.rows, expected):
        assert dict(zip(names, got)) == {n: want.get(n, ("null", None)) for n in names}


def test_every_field_type_and_instances() -> None:
    row = dict(id=1, big=2**40, ratio=1, amount=2, text="t", flag=True, at=dt.datetime(2024, 1, 1, tzinfo=UTC),
               wall=dt.datetime(2024, 1, 1), day=dt.date(2024, 1, 1), clock=dt.time(1), uid=uuid.UUID(int=1),
               doc={"a": [1]}, blob=b"\0", vec=[1, 2, 3], search="x", texts=["a"], ints=[1], floats=[1.5], uids=[],
               color=Color.GREEN, level=Level.HIGH)
    want = one_by_one(Everything, [row])[0]
    for given in ([row], [Everything(**row)]):
        query = Everything.bulk_insert(given)
        got = dict(zip([f.name for f in query.columns], query.rows[0]))
        assert got == {n: want.get(n, ("null", None)) for n in got} and want.keys() <= got.keys()


@pytest.mark.parametrize("rows, error, text", [
    ([{"title": "a", "body": "b", "views": 2**31}], ValueError, "32"),
    ([{"title": "a", "body": "b", "views": True}], TypeError, "Post.views takes an int"),
    ([{"title": "a", "body": None}], TypeError, "not nullable"),
    ([{"title": "a"}], TypeError, "needs a value for 'body'"),
    ([{"title": "a", "body": "b", "id": 1}, {"title": "a", "body": "b"}], ValueError, "row 1 leaves out the key 'id'"),
    ([{"title": "a", "body": "b", "published_at": dt.datetime(2024, 1, 1)}], ValueError, "naive"),
])
def test_the_binder_refuses_what_the_fields_refuse(rows: list[dict[str, Any]], error: type, text: str) -> None:
    with pytest.raises(error, match=text):
        Post.bulk_insert(rows)
