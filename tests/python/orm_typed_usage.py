"""Typed use of models and queries: test_orm_typing.py checks it with mypy
--strict and runs it. The annotations are the point: each says what a type
checker must infer."""

from __future__ import annotations

import datetime as dt
import decimal
import uuid
from typing import Any, assert_type

from orm_models import Author, Category, Color, Document, Everything, Level, Membership, Post
from sarnic import Compiled, Condition, Ordering, Select, fields
from sarnic.query.bulk import BulkDelete
from sarnic.query.writes import Delete, Insert, Update


def columns() -> tuple[fields.Int[int], fields.DateTime[dt.datetime | None], Condition, Ordering]:
    views: fields.Int[int] = Post.views  # the class attribute is the column expression
    cond: Condition = (Post.views >= 10) & ~Post.title.contains("%draft%") | (Post.published_at == None)  # noqa: E711
    return views, Post.published_at, cond, Post.views.desc()


def queries(ann: Author) -> tuple[Select[Post], Update[Post], Delete[Post], Insert[Post], BulkDelete[Membership]]:
    select: Select[Post] = (
        Post.select(Post.id, Post.title)
        .where(Post.views >= 10, Post.body.match_websearch("cats -dogs"), Post.views.in_([1, 2]))
        .where(Post.published_at > dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc))
        .order_by(Post.views.desc(), Post.id)
        .join(Post.author, Author.name)
        .distinct()[10:30]
    )
    ranked: Select[Post] = Post.select().nearest(Post.embedding, [0.1, 0.2, 0.3], metric="cosine").limit(5)
    ranked = ranked.rank(Post.body, "cats", mode="phrase")
    update = Post.update(views=0).where(Post.author_id == ann.id)
    delete = Post.delete().where((Post.id == 1) | (Post.id == 2))
    insert = Post.insert(Post(author=ann, title="t", body="b"))
    return select, update, delete, insert, Membership.bulk_delete([(1, 2), (3, 4)])


def instance_values(post: Post, row: Everything) -> tuple[int, str, int | None, list[str], Author | None, Any]:
    views: int = post.views
    title: str = post.title
    when: dt.datetime | None = post.published_at
    vector: list[float] | None = post.embedding
    color: Color = row.color
    assert when is None and vector is None and color is Color.RED
    return views, title, post.author_id, post.tags, None, row.doc


def constructors(ann: Author) -> list[Any]:
    """Keyword constructors, checked field by field (with sarnic.mypy_plugin)."""
    post = Post(title="t", body="b")  # the key, nullable and defaulted fields may be left out
    assert_type(post.views, int)
    assert_type(post.published_at, dt.datetime | None)
    assert_type(post.author_id, int | None)
    assert_type(Post(author=ann, title="t", body="b").author, Author | None)
    by_key = Post(author_id=ann.id, title="t", body="b", views=3, published_at=None, embedding=(0.1, 0.2, 0.3),
                  tags=["x"])
    every = Everything(
        big=2**40, ratio=1, amount=decimal.Decimal("1.5"), text="x", flag=True,
        at=dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc), wall=dt.datetime(2024, 1, 1), day=dt.date(2024, 1, 1), clock=dt.time(1), uid=uuid.uuid4(),
        doc={"any": ["json"]}, blob=b"\x00", vec=[1.0, 2.0, 3.0], search="words", texts=["a"], ints=[1],
        floats=[0.5], uids=[uuid.uuid4()], color=Color.RED, level=Level.HIGH, note=None)
    assert_type(every.amount, decimal.Decimal)
    assert_type(every.level, Level)
    return [post, by_key, every, Membership(org_id=1, user_id=2), Category(name="c", parent=None),
            Document(title="t", body="b")]


def compiled_fields(compiled: Compiled) -> tuple[str, tuple[Any, ...], tuple[str, ...], str, str]:
    return compiled.sql, compiled.params, compiled.labels, compiled.fingerprint, compiled.operation


def main() -> None:
    ann = Author(id=7, name="Ann")
    post = Post(id=1, author=ann, title="t", body="b")
    views, published_at, cond, order = columns()
    assert views is Post.views and published_at is Post.published_at and isinstance(cond, Condition)
    assert isinstance(order, Ordering)
    select, update, delete, insert, bulk_delete = queries(ann)
    for query in (select, update, delete, insert, bulk_delete):
        sql, params, labels, fingerprint, operation = compiled_fields(query.sql("postgres"))
        assert sql and len(params) == len(labels) and len(fingerprint) == 16 and operation == query.operation
    assert compiled_fields(select.sql("sqlite"))[1][-2:] == (20, 10)  # LIMIT, OFFSET
    row = object.__new__(Everything)
    row.__dict__.update(color=Color.RED, doc={"a": 1})
    assert instance_values(post, row) == (0, "t", 7, [], None, {"a": 1})
    Post.bulk_insert([post, {"id": 2, "title": "u", "body": "c"}], returning=True).sql("mysql")
    assert len(constructors(ann)) == 6
    Post.bulk_update([post], fields=[Post.views, Post.title]).sql("postgres")


if __name__ == "__main__":
    main()
