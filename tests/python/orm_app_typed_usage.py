"""Typed use of the application queries (values, fn, in_, exists, aliases,
upserts, locks): test_orm_app_typing.py checks it with mypy --strict and
builds each query. Each assert_type says what a type checker must infer."""

from __future__ import annotations

import datetime as dt
import decimal
from typing import Any, assert_type

from orm_models import Author, Everything, Post
from sarnic import ColumnExpr, Condition, Database, Select, Upsert, Values, excluded, exists, fields, fn
from sarnic.query.bulk import BulkInsert
from sarnic.query.writes import Update


def expressions() -> list[Any]:
    assert_type(Post.views + 1, ColumnExpr[int])
    assert_type(-Post.views * 2, ColumnExpr[int])
    assert_type(Everything.ratio / 2.0, ColumnExpr[float])
    assert_type(fn.count(), ColumnExpr[int])
    assert_type(fn.count(Post.author_id, distinct=True), ColumnExpr[int])
    assert_type(fn.sum(Post.views), ColumnExpr[int | None])
    assert_type(fn.sum(Post.author_id), ColumnExpr[int | None])
    assert_type(fn.sum(Everything.ratio), ColumnExpr[float | None])
    assert_type(fn.sum(Everything.amount), ColumnExpr[decimal.Decimal | None])
    assert_type(fn.avg(Post.views), ColumnExpr[float | None])
    assert_type(fn.avg(Everything.amount), ColumnExpr[decimal.Decimal | None])
    assert_type(fn.max(Post.published_at), ColumnExpr[dt.datetime | None])
    assert_type(fn.min(Post.views), ColumnExpr[int | None])
    assert_type(fn.coalesce(Post.author_id, 0), ColumnExpr[int])
    assert_type(fn.lower(Post.title), ColumnExpr[str])
    assert_type(fn.upper(Author.email), ColumnExpr[str | None])
    assert_type(fn.length(Post.title), ColumnExpr[int])
    assert_type(Post.views > Post.author_id, Condition)
    assert_type(fn.count() >= 2, Condition)
    return [Post.views + 1, fn.coalesce(Post.author_id, 0)]


def values_queries() -> list[Values[Any]]:
    per_author = (Post.values(Post.author_id, fn.count(), fn.sum(Post.views))
                  .where(Post.published_at != None)  # noqa: E711
                  .group_by(Post.author_id).having(fn.count() >= 2).order_by(fn.count().desc()))
    assert_type(per_author, Values[tuple[int | None, int, int | None]])
    ids = Post.values(Post.id).where(Post.views > 9).distinct()[:10]
    assert_type(ids, Values[tuple[int]])
    names = Post.values(Post.id, Author.name).join(Post.author).where(Author.name == "Ann")
    assert_type(names, Values[tuple[int, str]])
    return [per_author, ids, names]


def conditions(blocked: list[int]) -> list[Select[Any]]:
    followed = Post.values(Post.author_id).where(Post.views > 3)
    Other = Post.alias()
    assert_type(Other.views, fields.Int[int])
    return [
        Post.select().where(Post.id.in_([1, 2, 3]), Post.author_id.not_in(blocked)),
        Post.select().where(Post.author_id.in_(followed)),
        Post.select().where(exists(Other.select().where(Other.author_id == Post.author_id, Other.id != Post.id))),
        Post.select().where(~exists(Author.select().where(Author.id == Post.author_id))),
        Post.select().join(Post.author, Author.name).where(Author.name == "Ann").order_by(Author.name, Post.id),
        Post.select().where(Post.id == 1).for_update(skip_locked=True),
    ]


def writes() -> tuple[Update[Post], Upsert[Author], BulkInsert[Author]]:
    relative = Post.update(views=Post.views + 1).where(Post.id == 7)
    upsert = Author.insert(name="Ann", email="a@x").on_conflict(
        Author.email, update={Author.name: excluded(Author.name)})
    assert_type(upsert, Upsert[Author])
    bulk = Author.bulk_insert([{"name": "b", "email": "b@x"}]).on_conflict(Author.email, update=[Author.name])
    return relative, upsert, bulk


async def fetched(db: Database) -> None:
    q = Post.values(Post.author_id, fn.count()).group_by(Post.author_id)
    assert_type(await db.fetch(q), list[tuple[int | None, int]])
    assert_type(await db.fetch_one(q), tuple[int | None, int] | None)
    assert_type(await db.scalar(Post.values(fn.max(Post.views))), int | None)
    assert_type(await db.scalars(Post.values(Post.id)), list[int])
    assert_type(await db.count(q), int)
    assert_type(await db.fetch_one(Author.insert(name="Ann").on_conflict(Author.email)), Author | None)
    assert_type(await db.fetch_one(Author.insert(name="Ann")), Author)


def main() -> None:
    expressions()
    for query in (*values_queries(), *conditions([4, 5]), *writes()):
        assert query.uses_statement_ir


if __name__ == "__main__":
    main()
