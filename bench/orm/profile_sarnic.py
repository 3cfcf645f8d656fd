"""Where sarnic's time goes in the ORM workloads: each stage of one call timed
alone, then cProfile's busiest functions over many calls.

    python bench/orm/profile_sarnic.py [--engines postgres,...] [--only 1,3,...] [--calls N] [--top N]

Stages: building the query, `Database._prepare` (the core's compile, or a
statement kept from an earlier query of the same shape, plus the values in
the driver's forms), the core's compile alone (what a statement not kept
costs), taking a pooled connection, the driver's round trip through sarnic's
connection, and the rows made into instances (and, for comparison, the
same rows checked by the core's hydrator instead). It reads the Database's
internals: a tool for whoever optimises them, not a figure to quote.
"""

from __future__ import annotations

import argparse
import asyncio
import cProfile
import gc
import io
import pstats
import statistics
import time
from datetime import datetime
from collections.abc import Awaitable, Callable, Sequence
from typing import Any

import dataset
import msgspec
import peer_sarnic
from engines import Engine, all_engines
from peer_sarnic import Author, Post
from sarnic._native import hydrate_rows_msgpack
from sarnic.query.compiled import compile_ir
from workloads import BY_NAME, WORKLOADS, Workload, candidate

US = 1e-6


def queries(w: Workload, toggle: list[int]) -> Callable[[], Any] | None:
    """The query each call of the workload builds (None for the concurrent one)."""
    n = w.number
    if n == 1:
        return lambda: Post.select().where(Post.id == dataset.KEY)[:1]
    if n == 2:
        return lambda: (Post.select().where(Post.author_id == dataset.PAGE_AUTHOR, Post.published == True)  # noqa: E712
                        .order_by(Post.id.desc())[: dataset.PAGE])
    if n == 3:
        return lambda: Post.select().order_by(Post.id)[: dataset.MANY]
    if n == 4:
        return lambda: (Post.select().where(Post.published == True).order_by(Post.id.desc())[: dataset.JOINED]  # noqa: E712
                        .join(Post.author, Author.name, Author.email))
    if n == 5:
        row = dataset.new_post(0)
        return lambda: Post.insert(**row)
    if n == 6:
        rows = dataset.bulk_rows()
        return lambda: Post.bulk_insert(rows)
    if n == 7:
        def update() -> Any:
            toggle[0] ^= 1
            return Post.update(views=1001 + toggle[0]).where(Post.author_id == dataset.UPDATE_AUTHOR,
                                                             Post.id <= dataset.UPDATE_MAX_ID)
        return update
    return None


async def median_time(call: Callable[[], Any], n: int, repeats: int = 7,
                      reset: Callable[[], Awaitable[None]] | None = None) -> float:
    """Median per call; the collector off while timing, as in the bench."""
    samples = []
    for _ in range(repeats):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            for _ in range(n):
                r = call()
                if asyncio.iscoroutine(r):
                    await r
            samples.append((time.perf_counter() - start) / n)
        finally:
            gc.enable()
        if reset is not None:
            await reset()
    return statistics.median(samples)


async def stages(w: Workload, peer: Any, engine: Engine, n: int) -> list[tuple[str, float]]:
    db = peer.db
    build = queries(w, [0])
    whole = candidate(w, "sarnic", peer, engine)
    out = [("whole call", await median_time(whole.call, n, reset=whole.reset))]
    if build is None:
        return out
    query = build()
    out.append(("build the query", await median_time(build, n)))
    chunks = db._chunks(query) if w.number == 6 else [query]
    out.append(("Database._prepare (kept or compiled, values converted)",
                await median_time(lambda: [db._prepare(c) for c in chunks], n)))
    out.append(("  the core's compile alone (query.ir() + compile_ir)",
                await median_time(lambda: [compile_ir(c.model, c.ir(), db.dialect) for c in chunks], n)))
    backend = db._backend

    async def acquire() -> None:
        async with backend.connection():
            pass

    out.append(("take and give back a pooled connection", await median_time(acquire, n)))
    stmts = [db._prepare(c) for c in chunks]
    reads = w.number in (1, 2, 3, 4) or (w.number == 5 and backend.returns_rows)

    async def driver() -> Any:
        async with backend.connection() as conn:
            if reads:
                return await conn.fetch(stmts[0].sql, stmts[0].params)
            for s in stmts:
                await conn.execute(s.sql, s.params)
            return None

    reset = whole.reset
    out.append(("driver round trip (sarnic's connection)", await median_time(driver, n, reset=reset)))
    if reads:
        result = await driver()
        if reset is not None:
            await reset()
        reader = db._reader(query)
        out.append(("rows -> instances (RowReader.read)", await median_time(lambda: reader.read(result), n)))
        out.append(("  the other way: rows packed for the core's hydrator", await median_time(
            lambda: through_core_hydrator(query.model, reader.columns, result.rows), n)))
    return out


def through_core_hydrator(model: Any, columns: Sequence[str], rows: Sequence[Any]) -> list[Any]:
    """The check done by the core instead of the reader: rows packed as
    MessagePack maps, checked by hydrate_rows_msgpack, and instances made from
    the dicts it hands back (values left as the hydrator gives them, so this
    is a lower bound for that way)."""
    # The hydrator takes JSON's kinds of values: datetimes go as ISO texts.
    plain = [{c: v.isoformat() if type(v) is datetime else v for c, v in zip(columns, row)} for row in rows]
    packed = msgspec.msgpack.encode(plain)
    new = object.__new__
    out = []
    for d in hydrate_rows_msgpack(model.__metadata_bytes__, packed):
        obj = new(model)
        obj.__dict__ = d
        out.append(obj)
    return out


async def profile(w: Workload, peer: Any, engine: Engine, n: int, top: int) -> str:
    c = candidate(w, "sarnic", peer, engine)
    await c.call()
    if c.reset is not None:
        await c.reset()
    prof = cProfile.Profile()
    prof.enable()
    for _ in range(n):
        await c.call()
    prof.disable()
    if c.reset is not None:
        await c.reset()
    out = io.StringIO()
    stats = pstats.Stats(prof, stream=out)
    stats.sort_stats("tottime").print_stats(top)
    lines = out.getvalue().splitlines()
    start = next(i for i, line in enumerate(lines) if line.lstrip().startswith("ncalls"))
    return "\n".join(lines[start:])


async def run(engine: Engine, chosen: list[Workload], calls: int, top: int) -> None:
    if reason := engine.unreachable():
        print(f"{engine.name}: {reason}")
        return
    await engine.create()
    peer = peer_sarnic.make(engine)
    try:
        await peer.open()
        for w in chosen:
            n = max(1, calls // (500 if w.number in (3, 6) else 50 if w.number == 8 else 1))
            print(f"== {engine.name}, workload {w.label} ({n} calls a sample)")
            for name, seconds in await stages(w, peer, engine, n):
                print(f"  {name:<58} {seconds / US:10.1f} µs")
            if top > 0:
                print(await profile(w, peer, engine, n, top))
    finally:
        await peer.close()
        await engine.drop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engines", default="postgres,mariadb,sqlite")
    parser.add_argument("--only", default=",".join(str(w.number) for w in WORKLOADS))
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--top", type=int, default=18, help="functions cProfile shows (0: no profile)")
    args = parser.parse_args()
    chosen = sorted({BY_NAME[w] for w in args.only.split(",")}, key=lambda w: w.number)
    engines = all_engines()
    for name in args.engines.split(","):
        asyncio.run(run(engines[name], chosen, args.calls, args.top))


if __name__ == "__main__":
    main()
