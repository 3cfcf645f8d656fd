"""Tortoise ORM: querysets awaited directly (`Post.filter(...).order_by(...)
.limit(20)`), `select_related`, `create`, `bulk_create`, a queryset update."""

from __future__ import annotations

from typing import Any

from tortoise import Tortoise, fields
from tortoise.models import Model

import dataset
from engines import Engine

NAME = "Tortoise"


class Author(Model):
    id = fields.IntField(primary_key=True)
    name = fields.CharField(max_length=100)
    email = fields.CharField(max_length=191, null=True, unique=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigIntField(primary_key=True)
    author: fields.ForeignKeyRelation[Author] = fields.ForeignKeyField("models.Author", related_name="posts")
    title = fields.CharField(max_length=200)
    body = fields.TextField()
    views = fields.IntField(default=0)
    published = fields.BooleanField(default=False)
    created_at = fields.DatetimeField()

    class Meta:
        table = "posts"


URLS = {
    "postgres": "asyncpg://{e.user}@{e.host}:{e.port}/{e.database}?minsize={pool}&maxsize={pool}",
    "mariadb": "mysql://{e.user}:@{e.host}:{e.port}/{e.database}?minsize={pool}&maxsize={pool}&charset=utf8mb4",
    "sqlite": "sqlite://{e.path}",
}


def unsupported(engine: Engine) -> str | None:
    return None


def make(engine: Engine) -> TortoisePeer:
    return TortoisePeer(engine)


class TortoisePeer:
    def __init__(self, engine: Engine) -> None:
        self.engine = engine

    async def open(self) -> None:
        # A connection named after the engine: Tortoise keeps each model's
        # statements in a process-wide cache keyed by the connection's name.
        name = self.engine.name
        await Tortoise.init(config={
            "connections": {name: URLS[name].format(e=self.engine, pool=dataset.POOL)},
            "apps": {"models": {"models": [__name__], "default_connection": name}},
            "use_tz": True, "timezone": "UTC",
        })

    async def close(self) -> None:
        await Tortoise.close_connections()
        await Tortoise._reset_apps()

    async def by_key(self) -> Any:
        return await Post.get(id=dataset.KEY)

    async def page(self) -> Any:
        return await (Post.filter(author_id=dataset.PAGE_AUTHOR, published=True).order_by("-id")
                      .limit(dataset.PAGE))

    async def many(self) -> Any:
        return await Post.all().order_by("id").limit(dataset.MANY)

    async def joined(self) -> Any:
        return await (Post.filter(published=True).select_related("author").order_by("-id")
                      .limit(dataset.JOINED))

    async def insert_one(self, row: dict[str, Any]) -> Any:
        return await Post.create(**row)

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        return await Post.bulk_create([Post(**r) for r in rows])

    async def update(self, views: int) -> Any:
        return await Post.filter(author_id=dataset.UPDATE_AUTHOR, id__lte=dataset.UPDATE_MAX_ID).update(views=views)

    # -- plain data for the checks ---------------------------------------------

    @staticmethod
    def post(p: Any) -> tuple[Any, ...]:
        return dataset.post_tuple(p.id, p.author_id, p.title, p.body, p.views, p.published, p.created_at)

    @classmethod
    def joined_post(cls, p: Any) -> tuple[Any, ...]:
        return (*cls.post(p), p.author.id, p.author.name, p.author.email)

    inserted = post
