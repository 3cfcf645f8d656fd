"""The one schema every peer maps, its seeded rows, and what each workload asks for.

authors (100 rows) and posts (20,000 rows) are created with plain DDL per
engine and seeded once by the runner; every peer reads the same rows. The
writes leave the seed as it was: inserted posts (ids above SEEDED_POSTS) are
deleted and updated views put back after each timed batch.
"""

from __future__ import annotations

import datetime as dt
from typing import Any

AUTHORS = 100
SEEDED_POSTS = 20_000
UTC = dt.timezone.utc
EPOCH = dt.datetime(2024, 1, 1, tzinfo=UTC)
BODY = "A body of the usual length for a post, long enough to be a real row. " * 3

# What the workloads ask for.
KEY = 12_345  # 1: one post by key
PAGE_AUTHOR = 42  # 2 and 8: 20 published posts of this author, newest key first
PAGE = 20
MANY = 10_000  # 3: the first 10,000 posts by key
JOINED = 20  # 4: the 20 newest published posts with their authors
BULK = 10_000  # 6: rows per bulk insert
# 7: the 100 posts of this author with a key up to UPDATE_MAX_ID get their views set
UPDATE_AUTHOR = 7
UPDATE_MAX_ID = 10_000
UPDATED = 100
# 8: tasks at once, queries each, over a pool of POOL connections
TASKS = 200
QUERIES_PER_TASK = 5
POOL = 10


def post_views(i: int) -> int:
    return (i * 7919) % 1000


def seeded_author(i: int) -> tuple[int, str, str]:
    return (i, f"Author {i}", f"author{i}@example.org")


def seeded_post(i: int) -> tuple[Any, ...]:
    """(id, author_id, title, body, views, published, created_at) of post i."""
    return (i, (i - 1) % AUTHORS + 1, f"Post {i}", BODY, post_views(i), i % 3 != 0,
            EPOCH + dt.timedelta(seconds=61 * i))


def new_post(n: int) -> dict[str, Any]:
    """The row workload 5 inserts (its n-th call)."""
    return {"author_id": 1, "title": f"New post {n}", "body": BODY, "views": 0, "published": False,
            "created_at": EPOCH}


def bulk_rows() -> list[dict[str, Any]]:
    """The rows of workload 6, as plain dicts: each peer makes what its API takes."""
    return [{"author_id": j % AUTHORS + 1, "title": f"Bulk post {j}", "body": BODY, "views": j % 1000,
             "published": j % 2 == 0, "created_at": EPOCH + dt.timedelta(seconds=j)} for j in range(BULK)]


# -- DDL: what a user of each engine would write by hand ------------------------

DDL: dict[str, list[str]] = {
    "postgres": [
        "CREATE TABLE authors (id serial PRIMARY KEY, name text NOT NULL, email text UNIQUE)",
        "CREATE TABLE posts (id bigserial PRIMARY KEY, author_id integer NOT NULL REFERENCES authors (id), "
        "title text NOT NULL, body text NOT NULL, views integer NOT NULL DEFAULT 0, "
        "published boolean NOT NULL DEFAULT false, created_at timestamptz NOT NULL)",
        "CREATE INDEX posts_author_id ON posts (author_id)",
    ],
    "mariadb": [
        "CREATE TABLE authors (id int AUTO_INCREMENT PRIMARY KEY, name varchar(100) NOT NULL, "
        "email varchar(191) UNIQUE) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
        "CREATE TABLE posts (id bigint AUTO_INCREMENT PRIMARY KEY, author_id int NOT NULL, "
        "title varchar(200) NOT NULL, body text NOT NULL, views int NOT NULL DEFAULT 0, "
        "published boolean NOT NULL DEFAULT false, created_at datetime(6) NOT NULL, "
        "FOREIGN KEY (author_id) REFERENCES authors (id)) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
        "CREATE INDEX posts_author_id ON posts (author_id)",
    ],
    # Declared types as Piccolo writes them: its SQLite reader converts by declared type.
    "sqlite": [
        "CREATE TABLE authors (id INTEGER PRIMARY KEY, name TEXT NOT NULL, email TEXT UNIQUE)",
        "CREATE TABLE posts (id INTEGER PRIMARY KEY, author_id INTEGER NOT NULL REFERENCES authors (id), "
        "title TEXT NOT NULL, body TEXT NOT NULL, views INTEGER NOT NULL DEFAULT 0, "
        "published BOOLEAN NOT NULL DEFAULT 0, created_at TIMESTAMPTZ NOT NULL)",
        "CREATE INDEX posts_author_id ON posts (author_id)",
    ],
}


def stored_time(engine: str, value: dt.datetime) -> Any:
    """A created_at as the engine's column holds it: MariaDB and SQLite keep UTC wall time."""
    if engine == "postgres":
        return value
    wall = value.astimezone(UTC).replace(tzinfo=None)
    return wall if engine == "mariadb" else wall.strftime("%Y-%m-%d %H:%M:%S.%f")


# -- results as plain data, to check that every peer did the same job -----------


def utc_text(value: Any) -> str:
    """A created_at as every peer reads it, brought to one spelling (UTC)."""
    if isinstance(value, str):
        value = dt.datetime.fromisoformat(value)
    if value.tzinfo is None:
        value = value.replace(tzinfo=UTC)
    return value.astimezone(UTC).isoformat()


def post_tuple(id: Any, author_id: Any, title: Any, body: Any, views: Any, published: Any,
               created_at: Any) -> tuple[Any, ...]:
    return (int(id), int(author_id), title, body, int(views), bool(published), utc_text(created_at))


def expected_page() -> list[tuple[Any, ...]]:
    ids = [i for i in range(SEEDED_POSTS, 0, -1) if (i - 1) % AUTHORS + 1 == PAGE_AUTHOR and i % 3 != 0][:PAGE]
    return [post_tuple(*seeded_post(i)) for i in ids]
