"""The workloads: what each peer's call is, what it must hand back (as
plain data, the same for every peer) and how the data is put back after it."""

from __future__ import annotations

import asyncio
import itertools
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

import dataset
from engines import Engine
from timing import Candidate


@dataclass(frozen=True)
class Workload:
    number: int
    name: str
    title: str
    #: reported as queries per second rather than time per call
    rate: bool = False

    @property
    def label(self) -> str:
        return f"{self.number} {self.title}"


WORKLOADS = [
    Workload(1, "by-key", "one row by key"),
    Workload(2, "page", "20 rows, filtered, ordered"),
    Workload(3, "many", "10,000 rows"),
    Workload(4, "joined", "20 rows + author joined"),
    Workload(5, "insert", "insert one, key back"),
    Workload(6, "bulk", "bulk insert 10,000"),
    Workload(7, "update", "update 100 by a filter"),
    Workload(8, "concurrent", f"{dataset.TASKS} tasks at once, pool {dataset.POOL}", rate=True),
    Workload(9, "in-list", f"key in a list of {len(dataset.IN_KEYS):,}"),
    Workload(10, "counts", "posts counted per author"),
    Workload(11, "upsert", f"upsert {dataset.UPSERTED:,}, half new"),
    Workload(12, "increment", f"views + 1 on {len(dataset.INCREMENT_KEYS)} by keys"),
    Workload(13, "prefetch", f"{dataset.AUTHORS} authors + {dataset.SEEDED_POSTS:,} posts prefetched"),
    Workload(14, "tags", f"{dataset.PAGE} rows + tags (many-to-many)"),
]
#: the peer's method for each workload added after the first eight
METHODS = {9: "in_list", 10: "counts", 11: "upsert", 12: "increment", 13: "authors_with_posts", 14: "tagged"}
BY_NAME = {w.name: w for w in WORKLOADS} | {str(w.number): w for w in WORKLOADS}
#: queries each task of workload 8 runs (fewer in a quick run)
per_task = dataset.QUERIES_PER_TASK
#: workload 7 sets these values in turn, so that every call changes its rows
UPDATE_VALUES = (1001, 1002)


class WrongResult(Exception):
    """A peer did another job than the raw driver."""


class Unexpressible(Exception):
    """The peer (or this build of sarnic) has no way to write the workload."""


def method(peer: Any, n: int) -> Callable[..., Awaitable[Any]]:
    if n == 8 and not getattr(peer, "concurrent", True):
        raise Unexpressible("one connection: it runs no queries at once")
    if n not in METHODS:
        return getattr(peer, {1: "by_key", 2: "page", 3: "many", 4: "joined", 8: "page"}[n])
    found = getattr(peer, METHODS[n], None)
    if found is None:
        raise Unexpressible(f"cannot express {n}")
    return found  # type: ignore[no-any-return]


class Upserts:
    """Workload 11's calls in a batch: the call-th sends dataset.upsert_rows(call),
    built once and kept; the reset after a batch starts again at the first."""

    rows: dict[int, list[dict[str, Any]]] = {}

    def __init__(self, peer: Any, engine: Engine) -> None:
        self.upsert, self.engine, self.calls = peer.upsert, engine, 0

    def next_rows(self) -> list[dict[str, Any]]:
        call, self.calls = self.calls, self.calls + 1
        if call not in self.rows:
            self.rows[call] = dataset.upsert_rows(call)
        return self.rows[call]

    async def call(self) -> Any:
        return await self.upsert(self.next_rows())

    async def reset(self) -> None:
        self.calls = 0
        await self.engine.forget_upserts()


async def burst(page: Callable[[], Awaitable[Any]]) -> list[Any]:
    """Workload 8: the tasks at once, each running its queries one after another."""

    async def task() -> list[Any]:
        return [await page() for _ in range(per_task)]

    results = await asyncio.gather(*(task() for _ in range(dataset.TASKS)))
    return [r for rs in results for r in rs]


def candidate(w: Workload, name: str, peer: Any, engine: Engine) -> Candidate:
    n = w.number
    if n in (1, 2, 3, 4, 9, 10, 13, 14):
        return Candidate(name, method(peer, n))
    if n == 11:
        upserts = Upserts(peer, engine)
        return Candidate(name, upserts.call, upserts.reset)
    if n == 12:
        return Candidate(name, peer.increment, engine.restore_incremented)
    if n == 5:
        row = dataset.new_post(0)
        return Candidate(name, lambda: peer.insert_one(row), engine.forget_inserted)
    if n == 6:
        rows = dataset.bulk_rows()
        return Candidate(name, lambda: peer.bulk(rows), engine.forget_inserted)
    if n == 7:
        values = itertools.cycle(UPDATE_VALUES)
        return Candidate(name, lambda: peer.update(next(values)), engine.restore_views)
    if n == 8:
        return Candidate(name, lambda: burst(peer.page))
    raise ValueError(w)


async def plain_result(w: Workload, peer: Any, engine: Engine) -> Any:
    """One call of the workload, its result as plain data; the data put back after."""
    n = w.number
    if n == 1:
        obj = await peer.by_key()
        return None if obj is None else peer.post(obj)
    if n in (2, 3):
        return [peer.post(o) for o in await (peer.page() if n == 2 else peer.many())]
    if n == 4:
        return [peer.joined_post(o) for o in await peer.joined()]
    if n == 5:
        try:
            got = peer.inserted(await peer.insert_one(dataset.new_post(0)))
            stored = await engine.value("SELECT COUNT(*) FROM posts WHERE id = $1", got[0])
        finally:
            await engine.forget_inserted()
        if got[0] <= dataset.SEEDED_POSTS or stored != 1:
            raise WrongResult(f"the inserted row came back with key {got[0]}, stored {stored} time(s)")
        return got[1:]
    if n == 6:
        try:
            await peer.bulk(dataset.bulk_rows())
            return [int(await engine.value(f"SELECT {e} FROM posts WHERE id > $1", dataset.SEEDED_POSTS))
                    for e in ("COUNT(*)", "SUM(views)", "SUM(author_id)", "COUNT(DISTINCT title)")]
        finally:
            await engine.forget_inserted()
    if n == 7:
        value = UPDATE_VALUES[0]
        try:
            count = await peer.update(value)
            stored = int(await engine.value("SELECT COUNT(*) FROM posts WHERE views = $1", value))
        finally:
            await engine.restore_views()
        # Piccolo's update hands back no count; the rows are counted all the same.
        if isinstance(count, int) and count != stored:
            raise WrongResult(f"the update reports {count} rows; it changed {stored}")
        return stored
    if n == 8:
        method(peer, n)
        pages = await burst(peer.page)
        plain = {tuple(peer.post(o) for o in p) for p in pages}
        if len(pages) != dataset.TASKS * per_task or len(plain) != 1:
            raise WrongResult(f"{len(pages)} queries gave {len(plain)} different pages")
        return plain.pop()
    call = method(peer, n)
    if n == 9:
        return sorted(peer.post(o) for o in await call())
    if n == 10:
        return sorted((int(a), int(c)) for a, c in map(peer.count_pair, await call()))
    if n == 11:
        upserts = Upserts(peer, engine)
        try:
            await call(upserts.next_rows())
            return await upserted(engine)
        finally:
            await upserts.reset()
    if n == 12:
        try:
            count = await call()
            stored = [int(await engine.value(f"SELECT {e} FROM posts WHERE id % $1 = 0", dataset.INCREMENT_EVERY))
                      for e in ("COUNT(*)", "SUM(views)")]
        finally:
            await engine.restore_incremented()
        if isinstance(count, int) and count != stored[0]:
            raise WrongResult(f"the update reports {count} rows; it changed {stored[0]}")
        return stored
    if n == 13:
        return sorted(peer.author_posts(a) for a in await call())
    if n == 14:
        return [peer.tagged_post(p) for p in await call()]
    raise ValueError(w)


async def upserted(engine: Engine) -> list[int]:
    """What one upsert of dataset.upsert_rows(0) leaves in the table."""
    new, mark = dataset.SEEDED_POSTS, "Upserted%"
    return [int(await engine.value(text, *args)) for text, args in (
        ("SELECT COUNT(*) FROM posts WHERE id > $1", (new,)),
        ("SELECT SUM(author_id) FROM posts WHERE id > $1", (new,)),
        ("SELECT COUNT(*) FROM posts WHERE title LIKE $1 AND id <= $2", (mark, new)),
        ("SELECT SUM(views) FROM posts WHERE title LIKE $1", (mark,)),
        ("SELECT SUM(views) FROM posts", ()),
    )]


def expected_upserted() -> list[int]:
    rows = dataset.upsert_rows(0)
    new = [r for r in rows if r["id"] > dataset.SEEDED_POSTS]
    old = {r["id"] for r in rows} - {r["id"] for r in new}
    views = sum(dataset.post_views(i) for i in range(1, dataset.SEEDED_POSTS + 1) if i not in old)
    return [len(new), sum(r["author_id"] for r in new), len(old), sum(r["views"] for r in rows),
            views + sum(r["views"] for r in rows)]


def expected(w: Workload) -> Any:
    """What the seed says a read must return, where that is quick to work out."""
    if w.number == 2:
        return dataset.expected_page()
    if w.number == 7:
        return dataset.UPDATED
    if w.number == 8:
        return tuple(dataset.expected_page())
    if w.number == 9:
        return dataset.expected_in_list()
    if w.number == 10:
        return dataset.expected_counts()
    if w.number == 11:
        return expected_upserted()
    if w.number == 12:
        return [len(dataset.INCREMENT_KEYS),
                sum(dataset.post_views(i) + 1 for i in dataset.INCREMENT_KEYS)]
    if w.number == 13:
        return dataset.expected_authors_with_posts()
    if w.number == 14:
        return dataset.expected_tagged_page()
    return None
