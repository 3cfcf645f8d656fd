"""sarnic, as its API document has users write each workload.

The application queries (in_, values with fn, on_conflict, relative updates)
and the relations (Reverse, ManyToMany, prefetch) are written as the document
fixes them; on a build that lacks one, its workload shows n/a saying so.
"""

from __future__ import annotations

from typing import Any

import dataset
import sarnic
from engines import Engine
from sarnic import Model, fields
from workloads import Unexpressible

NAME = "sarnic"
RELATIONS = hasattr(fields, "Reverse") and hasattr(fields, "ManyToMany")
fn: Any = getattr(sarnic, "fn", None)


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    email = fields.Text(null=True, unique=True)

    class Meta:
        table = "authors"

    if RELATIONS:
        posts = fields.Reverse("Post.author")


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author)
    title = fields.Text()
    body = fields.Text()
    views = fields.Int(default=0)
    published = fields.Bool(default=False)
    created_at = fields.DateTime()
    if RELATIONS:
        tags = fields.ManyToMany("Tag", through="PostTag")

    class Meta:
        table = "posts"


class Tag(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text(unique=True)

    class Meta:
        table = "tags"


class PostTag(Model):
    post = fields.ForeignKey(Post)
    tag = fields.ForeignKey(Tag)

    class Meta:
        table = "post_tags"
        primary_key = ("post_id", "tag_id")


def missing(feature: str, present: bool) -> None:
    if not present:
        raise Unexpressible(f"this build of sarnic has no {feature}")


def unsupported(engine: Engine) -> str | None:
    return None


def make(engine: Engine) -> SarnicPeer:
    return SarnicPeer(engine)


class SarnicPeer:
    def __init__(self, engine: Engine) -> None:
        self.engine = engine

    async def open(self) -> None:
        self.db = await sarnic.connect(self.engine.sarnic_url, min_size=dataset.POOL, max_size=dataset.POOL)

    async def close(self) -> None:
        await self.db.close()

    async def by_key(self) -> Any:
        return await self.db.fetch_one(Post.select().where(Post.id == dataset.KEY))

    async def page(self) -> Any:
        return await self.db.fetch(
            Post.select().where(Post.author_id == dataset.PAGE_AUTHOR, Post.published == True)  # noqa: E712
            .order_by(Post.id.desc())[: dataset.PAGE])

    async def many(self) -> Any:
        return await self.db.fetch(Post.select().order_by(Post.id)[: dataset.MANY])

    async def joined(self) -> Any:
        return await self.db.fetch(
            Post.select().where(Post.published == True).order_by(Post.id.desc())[: dataset.JOINED]  # noqa: E712
            .join(Post.author, Author.name, Author.email))

    async def insert_one(self, row: dict[str, Any]) -> Any:
        return await self.db.fetch_one(Post.insert(**row))

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        return await self.db.execute(Post.bulk_insert(rows))

    async def update(self, views: int) -> Any:
        return await self.db.execute(
            Post.update(views=views).where(Post.author_id == dataset.UPDATE_AUTHOR, Post.id <= dataset.UPDATE_MAX_ID))

    async def in_list(self) -> Any:
        missing("Field.in_", hasattr(Post.id, "in_"))
        return await self.db.fetch(Post.select().where(Post.id.in_(dataset.IN_KEYS)))

    async def counts(self) -> Any:
        missing("Model.values and fn", fn is not None and hasattr(Post, "values"))
        return await self.db.fetch(Post.values(Post.author_id, fn.count()).group_by(Post.author_id))

    async def upsert(self, rows: list[dict[str, Any]]) -> Any:
        query = Post.bulk_insert(rows)
        missing("on_conflict", hasattr(query, "on_conflict"))
        return await self.db.execute(query.on_conflict(Post.id, update=[Post.title, Post.views]))

    async def increment(self) -> Any:
        missing("Field.in_ and relative updates", hasattr(Post.id, "in_") and hasattr(Post.views, "__add__"))
        return await self.db.execute(Post.update(views=Post.views + 1).where(Post.id.in_(dataset.INCREMENT_KEYS)))

    async def authors_with_posts(self) -> Any:
        missing("fields.Reverse and prefetch", RELATIONS)
        return await self.db.fetch(Author.select().prefetch(Author.posts))

    async def tagged(self) -> Any:
        missing("fields.ManyToMany and prefetch", RELATIONS)
        return await self.db.fetch(
            Post.select().where(Post.author_id == dataset.PAGE_AUTHOR, Post.published == True)  # noqa: E712
            .order_by(Post.id.desc())[: dataset.PAGE].prefetch(Post.tags))

    # -- plain data for the checks ---------------------------------------------

    @staticmethod
    def post(p: Any) -> tuple[Any, ...]:
        return dataset.post_tuple(p.id, p.author_id, p.title, p.body, p.views, p.published, p.created_at)

    @classmethod
    def joined_post(cls, p: Any) -> tuple[Any, ...]:
        return (*cls.post(p), p.author.id, p.author.name, p.author.email)

    inserted = post

    @staticmethod
    def count_pair(row: Any) -> tuple[Any, Any]:
        return row[0], row[1]

    @classmethod
    def author_posts(cls, a: Any) -> tuple[Any, ...]:
        return (a.id, a.name, a.email, sorted(cls.post(p) for p in a.posts))

    @classmethod
    def tagged_post(cls, p: Any) -> tuple[Any, ...]:
        return (*cls.post(p), sorted((t.id, t.name) for t in p.tags))
