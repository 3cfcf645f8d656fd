"""The one schema every peer maps, its seeded rows, and what each workload asks for.

authors (100 rows), posts (20,000 rows), tags (50) and the posts' tags
(post_tags, 0 to 3 a post) are created with plain DDL per engine and seeded
once by the runner; every peer reads the same rows. The writes leave the seed
as it was: inserted posts (ids above SEEDED_POSTS) are deleted and updated
views and titles put back after each timed batch.
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
# 9: the posts whose key is in this list (every key once, not in key order)
IN_KEYS = [(i * 7919) % SEEDED_POSTS + 1 for i in range(1000)]
# 11: each upsert sends UPSERTED rows: half the seeded posts with a key divisible by
# UPSERT_EVERY get a new title and views, half are new posts with keys of their own
UPSERTED = 1000
UPSERT_EVERY = 40
# 12: views = views + 1 on the posts with a key divisible by INCREMENT_EVERY
INCREMENT_EVERY = 200
INCREMENT_KEYS = list(range(INCREMENT_EVERY, SEEDED_POSTS + 1, INCREMENT_EVERY))
TAGS = 50


def post_views(i: int) -> int:
    return (i * 7919) % 1000


def seeded_author(i: int) -> tuple[int, str, str]:
    return (i, f"Author {i}", f"author{i}@example.org")


def seeded_post(i: int) -> tuple[Any, ...]:
    """(id, author_id, title, body, views, published, created_at) of post i."""
    return (i, (i - 1) % AUTHORS + 1, f"Post {i}", BODY, post_views(i), i % 3 != 0,
            EPOCH + dt.timedelta(seconds=61 * i))


def seeded_tag(i: int) -> tuple[int, str]:
    return (i, f"tag{i}")


def post_tag_ids(i: int) -> list[int]:
    """The tags of post i, 0 to 3 of them (every fourth post has none)."""
    return sorted((i + 17 * k) % TAGS + 1 for k in range(i % 4))


def seeded_links() -> list[tuple[int, int]]:
    return [(i, t) for i in range(1, SEEDED_POSTS + 1) for t in post_tag_ids(i)]


def new_post(n: int) -> dict[str, Any]:
    """The row workload 5 inserts (its n-th call)."""
    return {"author_id": 1, "title": f"New post {n}", "body": BODY, "views": 0, "published": False,
            "created_at": EPOCH}


def bulk_rows() -> list[dict[str, Any]]:
    """The rows of workload 6, as plain dicts: each peer makes what its API takes."""
    return [{"author_id": j % AUTHORS + 1, "title": f"Bulk post {j}", "body": BODY, "views": j % 1000,
             "published": j % 2 == 0, "created_at": EPOCH + dt.timedelta(seconds=j)} for j in range(BULK)]


def upsert_rows(call: int) -> list[dict[str, Any]]:
    """The rows of the call-th upsert of a batch: the seeded half gets views of
    the call's own (so that every call changes its rows), the new half keys
    that no earlier call of the batch used."""
    half = UPSERTED // 2
    seeded = [{"id": i, "author_id": (i - 1) % AUTHORS + 1, "title": f"Upserted post {i}", "body": BODY,
               "views": 2000 + call, "published": i % 3 != 0, "created_at": EPOCH + dt.timedelta(seconds=61 * i)}
              for i in range(UPSERT_EVERY, UPSERT_EVERY * half + 1, UPSERT_EVERY)]
    first = SEEDED_POSTS + call * half + 1
    new = [{"id": i, "author_id": i % AUTHORS + 1, "title": f"Upserted post {i}", "body": BODY, "views": 2000 + call,
            "published": True, "created_at": EPOCH} for i in range(first, first + half)]
    return [r for pair in zip(seeded, new) for r in pair]


# -- DDL: what a user of each engine would write by hand ------------------------

DDL: dict[str, list[str]] = {
    "postgres": [
        "CREATE TABLE authors (id serial PRIMARY KEY, name text NOT NULL, email text UNIQUE)",
        "CREATE TABLE posts (id bigserial PRIMARY KEY, author_id integer NOT NULL REFERENCES authors (id), "
        "title text NOT NULL, body text NOT NULL, views integer NOT NULL DEFAULT 0, "
        "published boolean NOT NULL DEFAULT false, created_at timestamptz NOT NULL)",
        "CREATE INDEX posts_author_id ON posts (author_id)",
        "CREATE TABLE tags (id serial PRIMARY KEY, name text NOT NULL UNIQUE)",
        "CREATE TABLE post_tags (post_id bigint NOT NULL REFERENCES posts (id), "
        "tag_id integer NOT NULL REFERENCES tags (id), PRIMARY KEY (post_id, tag_id))",
        "CREATE INDEX post_tags_tag_id ON post_tags (tag_id)",
    ],
    "mariadb": [
        "CREATE TABLE authors (id int AUTO_INCREMENT PRIMARY KEY, name varchar(100) NOT NULL, "
        "email varchar(191) UNIQUE) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
        "CREATE TABLE posts (id bigint AUTO_INCREMENT PRIMARY KEY, author_id int NOT NULL, "
        "title varchar(200) NOT NULL, body text NOT NULL, views int NOT NULL DEFAULT 0, "
        "published boolean NOT NULL DEFAULT false, created_at datetime(6) NOT NULL, "
        "FOREIGN KEY (author_id) REFERENCES authors (id)) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
        "CREATE INDEX posts_author_id ON posts (author_id)",
        "CREATE TABLE tags (id int AUTO_INCREMENT PRIMARY KEY, name varchar(100) NOT NULL UNIQUE) "
        "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
        "CREATE TABLE post_tags (post_id bigint NOT NULL, tag_id int NOT NULL, PRIMARY KEY (post_id, tag_id), "
        "FOREIGN KEY (post_id) REFERENCES posts (id), FOREIGN KEY (tag_id) REFERENCES tags (id)) "
        "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
        "CREATE INDEX post_tags_tag_id ON post_tags (tag_id)",
    ],
    # Declared types as Piccolo writes them: its SQLite reader converts by declared type.
    "sqlite": [
        "CREATE TABLE authors (id INTEGER PRIMARY KEY, name TEXT NOT NULL, email TEXT UNIQUE)",
        "CREATE TABLE posts (id INTEGER PRIMARY KEY, author_id INTEGER NOT NULL REFERENCES authors (id), "
        "title TEXT NOT NULL, body TEXT NOT NULL, views INTEGER NOT NULL DEFAULT 0, "
        "published BOOLEAN NOT NULL DEFAULT 0, created_at TIMESTAMPTZ NOT NULL)",
        "CREATE INDEX posts_author_id ON posts (author_id)",
        "CREATE TABLE tags (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE)",
        "CREATE TABLE post_tags (post_id INTEGER NOT NULL REFERENCES posts (id), "
        "tag_id INTEGER NOT NULL REFERENCES tags (id), PRIMARY KEY (post_id, tag_id))",
        "CREATE INDEX post_tags_tag_id ON post_tags (tag_id)",
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


def expected_in_list() -> list[tuple[Any, ...]]:
    return [post_tuple(*seeded_post(i)) for i in sorted(IN_KEYS)]


def expected_counts() -> list[tuple[int, int]]:
    return [(a, SEEDED_POSTS // AUTHORS) for a in range(1, AUTHORS + 1)]


def expected_authors_with_posts() -> list[tuple[Any, ...]]:
    posts: dict[int, list[tuple[Any, ...]]] = {a: [] for a in range(1, AUTHORS + 1)}
    for i in range(1, SEEDED_POSTS + 1):
        row = post_tuple(*seeded_post(i))
        posts[row[1]].append(row)
    return [(*seeded_author(a), posts[a]) for a in range(1, AUTHORS + 1)]


def expected_tagged_page() -> list[tuple[Any, ...]]:
    return [(*p, [seeded_tag(t) for t in post_tag_ids(p[0])]) for p in expected_page()]
