"""SQLAlchemy 2.x's asyncio ORM: an AsyncSession per unit of work,
`select(Post)`, `joinedload`, `session.add` + commit with
expire_on_commit=False, ORM bulk insert of dicts, an ORM-enabled update."""

from __future__ import annotations

import datetime as dt
from typing import Any

from sqlalchemy import BigInteger, DateTime, ForeignKey, Integer, String, insert, select, update
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine
from sqlalchemy.orm import DeclarativeBase, Mapped, joinedload, mapped_column, relationship

import dataset
from engines import Engine

NAME = "SQLAlchemy"


class Base(DeclarativeBase):
    pass


class Author(Base):
    __tablename__ = "authors"
    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    name: Mapped[str] = mapped_column(String(100))
    email: Mapped[str | None] = mapped_column(String(191), unique=True)


class Post(Base):
    __tablename__ = "posts"
    # SQLite's rowid key is an INTEGER PRIMARY KEY.
    id: Mapped[int] = mapped_column(BigInteger().with_variant(Integer, "sqlite"), primary_key=True)
    author_id: Mapped[int] = mapped_column(ForeignKey("authors.id"))
    author: Mapped[Author] = relationship()
    title: Mapped[str] = mapped_column(String(200))
    body: Mapped[str] = mapped_column(String)
    views: Mapped[int] = mapped_column(default=0)
    published: Mapped[bool] = mapped_column(default=False)
    created_at: Mapped[dt.datetime] = mapped_column(DateTime(timezone=True))


URLS = {
    "postgres": "postgresql+asyncpg://{e.user}@{e.host}:{e.port}/{e.database}",
    "mariadb": "mysql+asyncmy://{e.user}@{e.host}:{e.port}/{e.database}?charset=utf8mb4",
    "sqlite": "sqlite+aiosqlite:///{e.path}",
}


def unsupported(engine: Engine) -> str | None:
    return None


def make(engine: Engine) -> SqlalchemyPeer:
    return SqlalchemyPeer(engine)


class SqlalchemyPeer:
    def __init__(self, engine: Engine) -> None:
        self.engine = engine

    async def open(self) -> None:
        e = self.engine
        options: dict[str, Any] = {"pool_size": dataset.POOL, "max_overflow": 0}
        if e.name == "postgres":
            options["connect_args"] = {"server_settings": {"timezone": "UTC"}}
        elif e.name == "mariadb":
            options["connect_args"] = {"init_command": "SET time_zone = '+00:00'"}
        self.sa_engine = create_async_engine(URLS[e.name].format(e=e), **options)
        self.session = async_sessionmaker(self.sa_engine, expire_on_commit=False)

    async def close(self) -> None:
        await self.sa_engine.dispose()

    async def by_key(self) -> Any:
        async with self.session() as s:
            return await s.get(Post, dataset.KEY)

    async def page(self) -> Any:
        async with self.session() as s:
            q = (select(Post).where(Post.author_id == dataset.PAGE_AUTHOR, Post.published.is_(True))
                 .order_by(Post.id.desc()).limit(dataset.PAGE))
            return (await s.scalars(q)).all()

    async def many(self) -> Any:
        async with self.session() as s:
            return (await s.scalars(select(Post).order_by(Post.id).limit(dataset.MANY))).all()

    async def joined(self) -> Any:
        async with self.session() as s:
            q = (select(Post).options(joinedload(Post.author)).where(Post.published.is_(True))
                 .order_by(Post.id.desc()).limit(dataset.JOINED))
            return (await s.scalars(q)).all()

    async def insert_one(self, row: dict[str, Any]) -> Any:
        async with self.session() as s:
            post = Post(**row)
            s.add(post)
            await s.commit()
            return post

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        async with self.session() as s:
            await s.execute(insert(Post), rows)
            await s.commit()

    async def update(self, views: int) -> Any:
        async with self.session() as s:
            result = await s.execute(
                update(Post).where(Post.author_id == dataset.UPDATE_AUTHOR, Post.id <= dataset.UPDATE_MAX_ID)
                .values(views=views))
            await s.commit()
            return result.rowcount  # type: ignore[attr-defined]

    # -- plain data for the checks ---------------------------------------------

    @staticmethod
    def post(p: Any) -> tuple[Any, ...]:
        return dataset.post_tuple(p.id, p.author_id, p.title, p.body, p.views, p.published, p.created_at)

    @classmethod
    def joined_post(cls, p: Any) -> tuple[Any, ...]:
        return (*cls.post(p), p.author.id, p.author.name, p.author.email)

    inserted = post
