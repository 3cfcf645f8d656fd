"""SQLAlchemy 2.x's asyncio ORM: an AsyncSession per unit of work,
`select(Post)`, `joinedload`, `session.add` + commit with
expire_on_commit=False, ORM bulk insert of dicts, an ORM-enabled update,
`in_`, `func.count` with `group_by`, each dialect's upsert (`on_conflict_do_update`,
`on_duplicate_key_update`), `selectinload` of a one-to-many and a many-to-many."""

from __future__ import annotations

import datetime as dt
from typing import Any

from sqlalchemy import (BigInteger, Column, DateTime, ForeignKey, Integer, String, Table, func, insert, select,
                        update)
from sqlalchemy.dialects import mysql, postgresql, sqlite
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine
from sqlalchemy.orm import DeclarativeBase, Mapped, joinedload, mapped_column, relationship, selectinload

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
    posts: Mapped[list[Post]] = relationship(back_populates="author")


class Tag(Base):
    __tablename__ = "tags"
    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    name: Mapped[str] = mapped_column(String(100), unique=True)


post_tags = Table(
    "post_tags", Base.metadata,
    Column("post_id", BigInteger().with_variant(Integer, "sqlite"), ForeignKey("posts.id"), primary_key=True),
    Column("tag_id", ForeignKey("tags.id"), primary_key=True),
)


class Post(Base):
    __tablename__ = "posts"
    # SQLite's rowid key is an INTEGER PRIMARY KEY.
    id: Mapped[int] = mapped_column(BigInteger().with_variant(Integer, "sqlite"), primary_key=True)
    author_id: Mapped[int] = mapped_column(ForeignKey("authors.id"))
    author: Mapped[Author] = relationship(back_populates="posts")
    title: Mapped[str] = mapped_column(String(200))
    body: Mapped[str] = mapped_column(String)
    views: Mapped[int] = mapped_column(default=0)
    published: Mapped[bool] = mapped_column(default=False)
    created_at: Mapped[dt.datetime] = mapped_column(DateTime(timezone=True))
    tags: Mapped[list[Tag]] = relationship(secondary=post_tags)


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

    async def in_list(self) -> Any:
        async with self.session() as s:
            return (await s.scalars(select(Post).where(Post.id.in_(dataset.IN_KEYS)))).all()

    async def counts(self) -> Any:
        async with self.session() as s:
            return (await s.execute(select(Post.author_id, func.count()).group_by(Post.author_id))).all()

    async def upsert(self, rows: list[dict[str, Any]]) -> Any:
        async with self.session() as s:
            if self.engine.name == "mariadb":
                mine = mysql.insert(Post).values(rows)
                stmt = mine.on_duplicate_key_update(title=mine.inserted.title, views=mine.inserted.views)
            else:
                dialect = postgresql if self.engine.name == "postgres" else sqlite
                theirs = dialect.insert(Post).values(rows)
                stmt = theirs.on_conflict_do_update(index_elements=[Post.id], set_={
                    "title": theirs.excluded.title, "views": theirs.excluded.views})
            await s.execute(stmt)
            await s.commit()

    async def increment(self) -> Any:
        async with self.session() as s:
            result = await s.execute(
                update(Post).where(Post.id.in_(dataset.INCREMENT_KEYS)).values(views=Post.views + 1))
            await s.commit()
            return result.rowcount  # type: ignore[attr-defined]

    async def authors_with_posts(self) -> Any:
        async with self.session() as s:
            return (await s.scalars(select(Author).options(selectinload(Author.posts)))).all()

    async def tagged(self) -> Any:
        async with self.session() as s:
            q = (select(Post).options(selectinload(Post.tags))
                 .where(Post.author_id == dataset.PAGE_AUTHOR, Post.published.is_(True))
                 .order_by(Post.id.desc()).limit(dataset.PAGE))
            return (await s.scalars(q)).all()

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
