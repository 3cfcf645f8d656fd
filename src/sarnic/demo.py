"""`sarnic demo`: the ORM on a small blog, in a SQLite file in a temporary folder.

Each step shows the query as written in Python, the SQL sarnic writes for it
in the four dialects, the values SQLite binds, and what came back: model
instances, a number of rows, a count.
"""

from __future__ import annotations

import asyncio
import sqlite3
import statistics
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any, TextIO

import sarnic
from sarnic import Database, Model, Query, SarnicCompileError, Select
from sarnic.query.compiled import compile_ir, to_compiled
from sarnic._demo_models import SEED_AUTHORS, SEED_TAGS, Author, Post, Tag, at, seed_posts
from sarnic.terminal import DIALECTS, format_table, show_value

LABEL = 10  # width of the label column ("postgres  ")
INDENT = "    "
CELL = 34  # long texts (post bodies) are cut in tables


def _plain(value: Any) -> Any:
    if isinstance(value, Model):
        return repr(value)
    if hasattr(value, "isoformat"):
        return value.isoformat(sep=" ") if hasattr(value, "hour") and hasattr(value, "day") else value.isoformat()
    return value


class Tour:
    def __init__(self, db: Database, out: TextIO) -> None:
        self.db = db
        self.out = out
        self.number = 0

    def line(self, label: str, text: str) -> None:
        self.out.write(f"{INDENT}{label:<{LABEL}}{text}\n")

    def show(self, title: str, code: str, query: Query[Any], *, exists: bool = False) -> None:
        """The step's title, its Python, and the statement in every dialect
        (for `exists`, the EXISTS form that Database.exists runs)."""
        self.number += 1
        self.out.write(f"\n{self.number:>2}. {title}\n")
        self.line("python", code)
        shown = None
        for dialect in DIALECTS:
            try:
                if exists and isinstance(query, Select):
                    compiled = to_compiled(query.model, compile_ir(query.model, query.ir(exists=True), dialect))
                else:
                    compiled = query.sql(dialect)
            except SarnicCompileError as exc:
                self.line(dialect, f"{type(exc).__name__}: {exc}")
                continue
            self.line(dialect, compiled.sql)
            if dialect == "sqlite" or shown is None:
                shown = compiled
        if shown is not None:
            binds = [f"{label}={show_value(_plain(v))}" for label, v in zip(shown.labels, shown.params)]
            self.line("binds", "  ".join(binds) if binds else "(none)")

    def rows(self, objs: Sequence[Model], fields: Sequence[str]) -> None:
        count = len(objs)
        self.line("result", f"{count} {type(objs[0]).__name__ if objs else 'row'}"
                            f"{'' if count == 1 else 's'} from SQLite")
        table = [{f: _plain(getattr(o, f, None)) for f in fields} for o in objs]
        for text in format_table(table, list(fields), max_width=CELL):
            self.line("", text)


async def _schema(db: Database, out: TextIO) -> None:
    await db.create_tables(Author, Post, Tag)
    out.write(f"{'schema':<{LABEL}}await db.create_tables(Author, Post, Tag)\n")
    for text in [
        "authors (id, name, email, joined_at)",
        "posts (id, author_id → authors, title, body, views, published, published_at)",
        "posts_fts: an FTS5 table over posts (title, body), kept in step by three triggers",
        "tags (post_id → posts, name), primary key (post_id, name)",
    ]:
        out.write(f"{'':<{LABEL}}{text}\n")


async def _fill(tour: Tour) -> None:
    db = tour.db
    query = Author.bulk_insert(SEED_AUTHORS, returning=True)
    tour.show("fill the tables: one bulk insert each (authors shown, handed back with their keys)",
              "Author.bulk_insert(authors, returning=True)", query)
    tour.rows(await db.fetch(query), ["id", "name", "email", "joined_at"])
    posts = seed_posts()
    await db.execute(Post.bulk_insert(posts))
    await db.execute(Tag.bulk_insert([{"post_id": p, "name": n} for p, n in SEED_TAGS]))
    tour.line("also", f"{len(posts)} posts and {len(SEED_TAGS)} tags, by the same bulk insert on their own models")


async def _reads(tour: Tour) -> None:
    db = tour.db
    query = Post.select(Post.id, Post.title, Post.views).where(
        Post.published == True, Post.views >= 500).order_by(Post.views.desc())[:3]  # noqa: E712
    tour.show("select with filters: published posts read at least 500 times, most read first",
              "Post.select(Post.id, Post.title, Post.views).where(Post.published == True, "
              "Post.views >= 500).order_by(Post.views.desc())[:3]", query)
    tour.rows(await db.fetch(query), ["id", "title", "views"])

    tree = (Post.title.contains("%SQLite%") | (Post.views >= 2000)) & ~(Post.published_at == None)  # noqa: E711
    query = Post.select(Post.id, Post.title, Post.published_at).where(tree).order_by(Post.id)
    tour.show("a condition tree: (title mentions SQLite OR 2000+ views) AND NOT unpublished",
              "Post.select(...).where((Post.title.contains('%SQLite%') | (Post.views >= 2000)) "
              "& ~(Post.published_at == None))", query)
    tour.rows(await db.fetch(query), ["id", "title", "published_at"])

    query = Post.select(Post.id, Post.title).where(Post.views < 1000).join(Post.author, Author.name).order_by(Post.id)
    tour.show("a join: posts under 1000 views with their author (a guest post has none)",
              "Post.select(Post.id, Post.title).where(Post.views < 1000).join(Post.author, Author.name)", query)
    fetched = await db.fetch(query)
    tour.rows(fetched, ["id", "title", "author"])
    tour.line("", f"post {fetched[0].id}: post.author.name = {fetched[0].author.name!r}" if fetched[0].author else "")

    query = Post.select(Post.author_id).where(Post.published == True).distinct().order_by(Post.author_id)  # noqa: E712
    tour.show("DISTINCT: who has published anything",
              "Post.select(Post.author_id).where(Post.published == True).distinct()", query)
    tour.rows(await db.fetch(query), ["author_id"])

    query = Post.select(Post.id, Post.title).order_by(Post.id)[3:6]
    tour.show("paging: the second page of three", "Post.select(Post.id, Post.title).order_by(Post.id)[3:6]", query)
    tour.rows(await db.fetch(query), ["id", "title"])

    query = Post.select(Post.id, Post.title).where(Post.body.match("sqlite")).rank(Post.body, "sqlite")
    tour.show("full-text match and rank: posts about sqlite, best match first (FTS5 table posts_fts)",
              "Post.select(Post.id, Post.title).where(Post.body.match('sqlite')).rank(Post.body, 'sqlite')", query)
    tour.rows(await db.fetch(query), ["id", "title"])

    query = Post.select().where(Post.author_id == 3, Post.published == False)  # noqa: E712
    tour.show("EXISTS: has author 3 an unpublished draft?",
              "await db.exists(Post.select().where(Post.author_id == 3, Post.published == False))", query,
              exists=True)
    found = await db.exists(query)
    count = await db.count(Post.select().where(Post.views >= 500))
    tour.line("result", f"{'yes' if found else 'no'}; and db.count(Post.select().where(Post.views >= 500)) = {count}")


async def _writes(tour: Tour) -> None:
    db = tour.db
    insert = Post.insert(author_id=2, title="Hello from sarnic",
                        body="One query, four dialects: this post was written by a compiled INSERT.")
    tour.show("insert: a new draft, handed back with its key (RETURNING / OUTPUT)",
              "await db.fetch_one(Post.insert(author_id=2, title='Hello from sarnic', body=...))", insert)
    new = await db.fetch_one(insert)
    tour.rows([new], ["id", "title", "views", "published"])

    update = Post.update(published=True, published_at=at("2024-04-12 10:00")).where(Post.id == new.id)
    tour.show("update: publish it", f"Post.update(published=True, published_at=...).where(Post.id == {new.id})",
              update)
    tour.rows(await db.fetch(update), ["id", "title", "published", "published_at"])

    first, second = await db.fetch(Post.select().where(Post.id.in_([1, 2])).order_by(Post.id))
    first.views, second.views = 1600, 900
    tour.show("bulk update: new view counts for two posts in one statement (PostgreSQL only)",
              "Post.bulk_update([first, second], fields=[Post.views])",
              Post.bulk_update([first, second], fields=[Post.views]))
    tour.line("result", "not run on SQLite: the statement exists for PostgreSQL only")

    tags = Tag.bulk_delete([(1, "databases"), (7, "sql")])
    tour.show("bulk delete: two tags by their composite key", "Tag.bulk_delete([(1, 'databases'), (7, 'sql')])",
              tags)
    tour.line("result", f"{await db.execute(tags)} rows deleted")

    tour.show("a transaction rolled back: every post deleted, then an error",
              "async with db.transaction(): await db.execute(Post.delete(danger=True)); raise ...",
              Post.delete(danger=True))
    try:
        async with db.transaction():
            gone = await db.execute(Post.delete(danger=True))
            raise LookupError("changed my mind")
    except LookupError:
        pass
    tour.line("result", f"{gone} posts deleted inside, {await db.count(Post.select())} there after the rollback")

    delete = Post.delete().where(Post.id == new.id)
    tour.show("delete: remove the new post again (the triggers clean its full-text row)",
              f"Post.delete().where(Post.id == {new.id})", delete)
    tour.line("result", f"{await db.execute(delete)} row deleted")


def compile_speed(calls: int = 200, rounds: int = 15) -> float:
    """Median microseconds to build a typical select and compile it for PostgreSQL."""
    def build() -> None:
        Post.select().where(Post.published == True, Post.views >= 500).order_by(  # noqa: E712
            Post.views.desc())[:20].sql("postgres")

    build()
    samples = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        for _ in range(calls):
            build()
        samples.append((time.perf_counter_ns() - start) / calls / 1000)
    return statistics.median(samples)


async def _tour(out: TextIO) -> None:
    with tempfile.TemporaryDirectory(prefix="sarnic-demo-") as folder:
        path = Path(folder) / "blog.db"
        out.write(f"sarnic demo: a small blog in a SQLite {sqlite3.sqlite_version} file ({path.name} in a temporary"
                  " folder); every statement below is compiled by sarnic.\n\n")
        async with sarnic.connect(f"sqlite:///{path}") as db:
            await _schema(db, out)
            tour = Tour(db, out)
            await _fill(tour)
            await _reads(tour)
            await _writes(tour)


def run(out: TextIO) -> int:
    asyncio.run(_tour(out))
    micros = compile_speed()
    out.write(f"\ncompile speed: {micros:.1f} microseconds to build and compile a select with two filters,"
              " ordering and a limit for PostgreSQL (median)\n")
    return 0
