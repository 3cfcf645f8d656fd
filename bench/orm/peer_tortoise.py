"""Tortoise ORM: querysets awaited directly (`Post.filter(...).order_by(...)
.limit(20)`), `select_related`, `create`, `bulk_create`, a queryset update, `id__in`,
`annotate(Count)` with `group_by`, `bulk_create(on_conflict=, update_fields=)`,
`F("views") + 1`, `prefetch_related` of a reverse relation and a many-to-many."""

from __future__ import annotations

from typing import Any

from tortoise import Tortoise, fields
from tortoise.expressions import F
from tortoise.functions import Count
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


class Tag(Model):
    id = fields.IntField(primary_key=True)
    name = fields.CharField(max_length=100, unique=True)

    class Meta:
        table = "tags"


class Post(Model):
    id = fields.BigIntField(primary_key=True)
    author: fields.ForeignKeyRelation[Author] = fields.ForeignKeyField("models.Author", related_name="posts")
    title = fields.CharField(max_length=200)
    body = fields.TextField()
    views = fields.IntField(default=0)
    published = fields.BooleanField(default=False)
    created_at = fields.DatetimeField()
    tags: fields.ManyToManyRelation[Tag] = fields.ManyToManyField(
        "models.Tag", through="post_tags", backward_key="post_id", forward_key="tag_id", related_name="posts")

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

    async def in_list(self) -> Any:
        return await Post.filter(id__in=dataset.IN_KEYS)

    async def counts(self) -> Any:
        return await Post.all().annotate(n=Count("id")).group_by("author_id").values_list("author_id", "n")

    async def upsert(self, rows: list[dict[str, Any]]) -> Any:
        return await Post.bulk_create([Post(**r) for r in rows], on_conflict=["id"], update_fields=["title", "views"])

    async def increment(self) -> Any:
        return await Post.filter(id__in=dataset.INCREMENT_KEYS).update(views=F("views") + 1)

    async def authors_with_posts(self) -> Any:
        return await Author.all().prefetch_related("posts")

    async def tagged(self) -> Any:
        return await (Post.filter(author_id=dataset.PAGE_AUTHOR, published=True).order_by("-id")
                      .limit(dataset.PAGE).prefetch_related("tags"))

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
