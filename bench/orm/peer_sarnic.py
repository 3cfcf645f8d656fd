"""sarnic, as its API document has users write each workload."""

from __future__ import annotations

from typing import Any

import dataset
import sarnic
from engines import Engine
from sarnic import Model, fields

NAME = "sarnic"


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    email = fields.Text(null=True, unique=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author)
    title = fields.Text()
    body = fields.Text()
    views = fields.Int(default=0)
    published = fields.Bool(default=False)
    created_at = fields.DateTime()

    class Meta:
        table = "posts"


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

    # -- plain data for the checks ---------------------------------------------

    @staticmethod
    def post(p: Any) -> tuple[Any, ...]:
        return dataset.post_tuple(p.id, p.author_id, p.title, p.body, p.views, p.published, p.created_at)

    @classmethod
    def joined_post(cls, p: Any) -> tuple[Any, ...]:
        return (*cls.post(p), p.author.id, p.author.name, p.author.email)

    inserted = post
