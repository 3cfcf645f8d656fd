"""The rows every scenario starts from, written through sarnic's bulk insert."""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from typing import Any

from .drivers import Engine
from .models import ARTICLES, AUTHORS, MEMBERSHIPS, bulk_insert, bv, select
from .tier import run

UTC = dt.timezone.utc
A1, A2, A3, A4 = "Lighthouse keepers", "Harbour walls", "Orchard notes", "Night lights"


def when(year: int, month: int, day: int, hour: int = 0, minute: int = 0) -> dt.datetime:
    return dt.datetime(year, month, day, hour, minute, tzinfo=UTC)


AUTHOR_ROWS: list[dict[str, Any]] = [
    {"name": "Ada", "email": "ada@example.com", "joined_at": when(2020, 1, 1)},
    {"name": "Brian", "email": None, "joined_at": None},
    {"name": "Chen", "email": "chen@example.org", "joined_at": when(2021, 6, 15, 12, 30)},
]

# Full-text words are chosen to read the same to every engine's tokenizer:
# no stopwords, no stemming differences, at least four letters.
ARTICLE_ROWS: list[dict[str, Any]] = [
    {"title": "Lighthouse keepers",
     "body": "The lighthouse stands on granite. A keeper trims the lighthouse lamp every night.",
     "views": 120, "score": 4.5, "published": True, "author": "Ada", "created_at": when(2024, 1, 1, 10),
     "payload": b"\x00\x01\xff", "tags": ["sea", "history"], "embedding": [1.0, 0.0, 0.0]},
    {"title": "Harbour walls", "body": "Granite blocks shelter the harbour from winter storms.",
     "views": 40, "score": None, "published": True, "author": "Brian", "created_at": when(2024, 2, 1, 10),
     "payload": None, "tags": None, "embedding": [0.2, 3.0, 0.0]},
    {"title": "Orchard notes", "body": "Apple trees want pruning in late winter.",
     "views": 7, "score": 2.0, "published": False, "author": None, "created_at": when(2024, 3, 1, 10),
     "payload": None, "tags": ["garden"], "embedding": [0.6, 0.8, 0.0]},
    {"title": "Night lights", "body": "Harbour beacons and a distant lighthouse.",
     "views": 40, "score": 1.25, "published": False, "author": "Chen", "created_at": when(2024, 4, 1, 10),
     "payload": b"", "tags": [], "embedding": None},
]

MEMBERSHIP_ROWS = [(1, "Ada", "owner", 1), (1, "Brian", "member", 2), (2, "Ada", "member", 1),
                   (2, "Chen", "owner", 2)]


@dataclass
class Seeded:
    authors: dict[str, int]
    articles: dict[str, int]

    def title_of(self, article_id: int) -> str:
        return next(t for t, i in self.articles.items() if i == article_id)


def article_values(row: dict[str, Any], authors: dict[str, int]) -> dict[str, Any]:
    values = {k: v for k, v in row.items() if k != "author"}
    values["author_id"] = authors.get(row["author"]) if row["author"] else None
    values["tags"] = bv(row["tags"], "text_array") if row["tags"] is not None else None
    values["embedding"] = bv(row["embedding"], "float_array") if row["embedding"] else None
    return values


def seed(db: Engine) -> Seeded:
    run(db, AUTHORS, bulk_insert(AUTHORS, AUTHOR_ROWS, returning=False))
    authors = {r["name"]: r["id"] for r in run(db, AUTHORS, select(AUTHORS, "id", "name"))}
    rows = [article_values(r, authors) for r in ARTICLE_ROWS]
    run(db, ARTICLES, bulk_insert(ARTICLES, rows, returning=False))
    articles = {r["title"]: r["id"] for r in run(db, ARTICLES, select(ARTICLES, "id", "title"))}
    members = [{"org_id": o, "user_id": authors[u], "role": role, "sort_order": n}
               for o, u, role, n in MEMBERSHIP_ROWS]
    run(db, MEMBERSHIPS, bulk_insert(MEMBERSHIPS, members, returning=False))
    return Seeded(authors, articles)
