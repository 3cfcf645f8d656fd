"""The demo's blog: three models and the rows it starts with."""

from __future__ import annotations

import datetime as dt

from sarnic import FullTextIndex, Model, fields


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    email = fields.Text(null=True, unique=True)
    joined_at = fields.DateTime(null=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.Int(primary_key=True)
    author = fields.ForeignKey(Author, null=True, on_delete="set_null")
    title = fields.Text()
    body = fields.Text()
    views = fields.Int(default=0)
    published = fields.Bool(default=False)
    published_at = fields.DateTime(null=True)
    author_id: fields.Int[int | None]

    class Meta:
        table = "posts"
        full_text = [FullTextIndex("posts_fts", ["title", "body"], config="english")]


class Tag(Model):
    post = fields.ForeignKey(Post, on_delete="cascade")
    name = fields.Text()
    post_id: fields.Int[int]

    class Meta:
        table = "tags"
        primary_key = ("post_id", "name")


def at(text: str) -> dt.datetime:
    return dt.datetime.fromisoformat(text).replace(tzinfo=dt.timezone.utc)


SEED_AUTHORS = [
    Author(name="Ada Byron", email="ada@example.org", joined_at=at("2023-01-10 08:00")),
    Author(name="Grace Hopper", joined_at=at("2023-02-14 12:30")),
    Author(name="Edgar Codd", email="edgar@example.org", joined_at=at("2023-03-01 09:15")),
]

# author_id, title, body, views, published_at (None: a draft)
SEED_POSTS: list[tuple[int | None, str, str, int, str | None]] = [
    (1, "Why SQLite is everywhere",
     "SQLite runs in phones, browsers and planes; one file holds the whole database.", 1520, "2024-01-05 10:00"),
    (1, "Indexes explained",
     "An index trades write speed for fast lookups; a covering index answers a query alone.", 860,
     "2024-01-19 10:00"),
    (2, "Compilers for humans",
     "A compiler turns a query description into SQL text and bound parameters.", 430, "2024-02-02 10:00"),
    (3, "The relational model at fifty",
     "Relations, keys and normal forms: why the model outlived its rivals.", 2210, "2024-02-16 10:00"),
    (3, "Draft: window functions",
     "Window functions rank rows without collapsing them; SQLite has them since 3.25.", 0, None),
    (2, "Full-text search in SQLite",
     "FTS5 tables rank matches with bm25, and triggers keep them in step with their content table.", 990,
     "2024-03-01 10:00"),
    (1, "Paging without tears",
     "OFFSET is simple and keyset paging scales; both need a stable ORDER BY.", 310, "2024-03-15 10:00"),
    (None, "Guest post: reading query plans",
     "EXPLAIN QUERY PLAN tells whether SQLite uses an index or scans the table.", 75, "2024-03-29 10:00"),
]  # fmt: skip


def seed_posts() -> list[Post]:
    return [Post(author_id=a, title=t, body=b, views=v, published=p is not None,
                 published_at=None if p is None else at(p))
            for a, t, b, v, p in SEED_POSTS]


SEED_TAGS = [
    (1, "sqlite"), (1, "databases"), (2, "indexes"), (2, "performance"), (3, "compilers"),
    (4, "theory"), (4, "databases"), (5, "sql"), (6, "sqlite"), (6, "search"),
    (7, "sql"), (7, "performance"), (8, "sqlite"),
]  # fmt: skip
