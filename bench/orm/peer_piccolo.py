"""Piccolo: `Post.objects().where(...)` for instances, `objects(Post.author)`
to load the author in the same query, `save()`, `insert(*objs)`, `update()`,
`is_in`, `select(..., Count()).group_by()`, `insert().on_conflict(DO UPDATE)`,
`Post.views + 1`, and an M2M column read with `select(..., Post.tags(...))`
(dicts: its objects() loads no many-to-many). It has no reverse-relation
prefetch: the authors' posts are a second `objects()` query grouped by hand.
It has no MySQL or MariaDB engine."""

from __future__ import annotations

from typing import Any

from piccolo.columns import M2M, BigSerial, Boolean, ForeignKey, Integer, Serial, Text, Timestamptz, Varchar
from piccolo.columns.reference import LazyTableReference
from piccolo.query.functions.aggregate import Count
from piccolo.engine.postgres import PostgresEngine
from piccolo.engine.sqlite import SQLiteEngine
from piccolo.table import Table

import dataset
from engines import Engine

NAME = "Piccolo"
BULK_BATCH = 4000  # rows per INSERT: 28,000 values


class _Declared(LazyTableReference):
    """A table declared in tables() below, found by name once it is."""

    def __init__(self, name: str, declared: dict[str, Any]) -> None:
        super().__init__(name, module_path=__name__)
        self.declared = declared

    def resolve(self) -> Any:
        return self.declared[self.table_class_name]


def tables(db: Any) -> tuple[Any, Any, Any]:
    """The tables bound to one engine (a Piccolo table names its engine when declared)."""
    declared: dict[str, Any] = {}

    class Author(Table, tablename="authors", db=db):
        id = Serial(primary_key=True)
        name = Varchar(length=100)
        email = Varchar(length=191, null=True, unique=True)

    class Post(Table, tablename="posts", db=db):
        id = BigSerial(primary_key=True)
        author = ForeignKey(Author, db_column_name="author_id")
        title = Varchar(length=200)
        body = Text()
        views = Integer(default=0)
        published = Boolean(default=False)
        created_at = Timestamptz()
        tags = M2M(_Declared("PostTag", declared))

    class Tag(Table, tablename="tags", db=db):
        id = Serial(primary_key=True)
        name = Varchar(length=100, unique=True)

    class PostTag(Table, tablename="post_tags", db=db):
        post = ForeignKey(Post, db_column_name="post_id")
        tag = ForeignKey(Tag, db_column_name="tag_id")

    declared["PostTag"] = PostTag
    return Author, Post, Tag


def unsupported(engine: Engine) -> str | None:
    return "Piccolo has no MySQL/MariaDB engine" if engine.name == "mariadb" else None


def make(engine: Engine) -> PiccoloPeer:
    return PiccoloPeer(engine)


class PiccoloPeer:
    def __init__(self, engine: Engine) -> None:
        self.engine = engine

    async def open(self) -> None:
        e = self.engine
        if e.name == "postgres":
            self.db: Any = PostgresEngine(config={"host": e.host, "port": e.port, "user": e.user,
                                                  "database": e.database}, log_queries=False)
            await self.db.start_connection_pool(min_size=dataset.POOL, max_size=dataset.POOL)
        else:
            # Piccolo opens a connection per query on SQLite: it has no pool there.
            self.db = SQLiteEngine(path=e.path)
        self.Author, self.Post, self.Tag = tables(self.db)

    async def close(self) -> None:
        if self.engine.name == "postgres":
            await self.db.close_connection_pool()

    async def by_key(self) -> Any:
        Post = self.Post
        return await Post.objects().get(Post.id == dataset.KEY)

    async def page(self) -> Any:
        Post = self.Post
        return await (Post.objects().where((Post.author == dataset.PAGE_AUTHOR) & (Post.published == True))  # noqa: E712
                      .order_by(Post.id, ascending=False).limit(dataset.PAGE))

    async def many(self) -> Any:
        Post = self.Post
        return await Post.objects().order_by(Post.id).limit(dataset.MANY)

    async def joined(self) -> Any:
        Post = self.Post
        return await (Post.objects(Post.author).where(Post.published == True)  # noqa: E712
                      .order_by(Post.id, ascending=False).limit(dataset.JOINED))

    async def insert_one(self, row: dict[str, Any]) -> Any:
        post = self.Post(**{("author" if k == "author_id" else k): v for k, v in row.items()})
        await post.save()
        return post

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        Post = self.Post
        objs = [Post(author=r["author_id"], title=r["title"], body=r["body"], views=r["views"],
                     published=r["published"], created_at=r["created_at"]) for r in rows]
        # One INSERT of 10,000 rows binds more values than PostgreSQL takes:
        # batches of rows in one transaction, as a user of Piccolo would write it.
        async with self.db.transaction():
            for i in range(0, len(objs), BULK_BATCH):
                await Post.insert(*objs[i: i + BULK_BATCH])

    async def update(self, views: int) -> Any:
        Post = self.Post
        return await Post.update({Post.views: views}).where(
            (Post.author == dataset.UPDATE_AUTHOR) & (Post.id <= dataset.UPDATE_MAX_ID))

    async def in_list(self) -> Any:
        Post = self.Post
        return await Post.objects().where(Post.id.is_in(dataset.IN_KEYS))

    async def counts(self) -> Any:
        Post = self.Post
        return await Post.select(Post.author, Count()).group_by(Post.author)

    async def upsert(self, rows: list[dict[str, Any]]) -> Any:
        Post = self.Post
        objs = [Post(id=r["id"], author=r["author_id"], title=r["title"], body=r["body"], views=r["views"],
                     published=r["published"], created_at=r["created_at"]) for r in rows]
        return await Post.insert(*objs).on_conflict(target=Post.id, action="DO UPDATE",
                                                    values=[Post.title, Post.views])

    async def increment(self) -> Any:
        Post = self.Post
        return await Post.update({Post.views: Post.views + 1}).where(Post.id.is_in(dataset.INCREMENT_KEYS))

    async def authors_with_posts(self) -> Any:
        Author, Post = self.Author, self.Post
        authors = await Author.objects()
        posts = await Post.objects().where(Post.author.is_in([a.id for a in authors]))
        by_author: dict[int, list[Any]] = {a.id: [] for a in authors}
        for p in posts:
            by_author[p.author].append(p)
        return [(a, by_author[a.id]) for a in authors]

    async def tagged(self) -> Any:
        Post, Tag = self.Post, self.Tag
        return await (Post.select(*Post.all_columns(exclude=[Post.tags]), Post.tags(Tag.id, Tag.name))
                      .where((Post.author == dataset.PAGE_AUTHOR) & (Post.published == True))  # noqa: E712
                      .order_by(Post.id, ascending=False).limit(dataset.PAGE))

    # -- plain data for the checks ---------------------------------------------

    @staticmethod
    def post(p: Any) -> tuple[Any, ...]:
        author = p.author
        key = author.id if isinstance(author, Table) else author
        return dataset.post_tuple(p.id, key, p.title, p.body, p.views, p.published, p.created_at)

    @classmethod
    def joined_post(cls, p: Any) -> tuple[Any, ...]:
        return (*cls.post(p), p.author.id, p.author.name, p.author.email)

    inserted = post

    @staticmethod
    def count_pair(row: Any) -> tuple[Any, Any]:
        return row["author_id"], row["count"]

    @classmethod
    def author_posts(cls, pair: Any) -> tuple[Any, ...]:
        a, posts = pair
        return (a.id, a.name, a.email, sorted(cls.post(p) for p in posts))

    @staticmethod
    def tagged_post(row: Any) -> tuple[Any, ...]:
        return (*dataset.post_tuple(row["id"], row["author_id"], row["title"], row["body"], row["views"],
                                    row["published"], row["created_at"]),
                sorted((t["id"], t["name"]) for t in row["tags"]))
