"""The eight workloads: what each peer's call is, what it must hand back (as
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
]
BY_NAME = {w.name: w for w in WORKLOADS} | {str(w.number): w for w in WORKLOADS}
#: queries each task of workload 8 runs (fewer in a quick run)
per_task = dataset.QUERIES_PER_TASK
#: workload 7 sets these values in turn, so that every call changes its rows
UPDATE_VALUES = (1001, 1002)


class WrongResult(Exception):
    """A peer did another job than the raw driver."""


async def burst(page: Callable[[], Awaitable[Any]]) -> list[Any]:
    """Workload 8: the tasks at once, each running its queries one after another."""

    async def task() -> list[Any]:
        return [await page() for _ in range(per_task)]

    results = await asyncio.gather(*(task() for _ in range(dataset.TASKS)))
    return [r for rs in results for r in rs]


def candidate(w: Workload, name: str, peer: Any, engine: Engine) -> Candidate:
    n = w.number
    if n == 1:
        return Candidate(name, peer.by_key)
    if n == 2:
        return Candidate(name, peer.page)
    if n == 3:
        return Candidate(name, peer.many)
    if n == 4:
        return Candidate(name, peer.joined)
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
        pages = await burst(peer.page)
        plain = {tuple(peer.post(o) for o in p) for p in pages}
        if len(pages) != dataset.TASKS * per_task or len(plain) != 1:
            raise WrongResult(f"{len(pages)} queries gave {len(plain)} different pages")
        return plain.pop()
    raise ValueError(w)


def expected(w: Workload) -> Any:
    """What the seed says a read must return, where that is quick to work out."""
    if w.number == 2:
        return dataset.expected_page()
    if w.number == 7:
        return dataset.UPDATED
    if w.number == 8:
        return tuple(dataset.expected_page())
    return None
