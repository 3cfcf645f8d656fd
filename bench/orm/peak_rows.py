"""Peak memory of one 100,000-row read on PostgreSQL: the driver's Records
against sarnic's instances, each in a fresh process.

    python bench/orm/peak_rows.py [--rows N]

The table (8 columns, like the bench's post) lives in a schema of its own in
the db tier's database and is dropped at the end. Each measurement is
tracemalloc's peak while the rows are read and held (what Python allocated,
the driver's buffers included) and the growth of the process's peak RSS.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import resource
import subprocess
import sys
import tracemalloc
from datetime import datetime
from typing import Any

import asyncpg

DSN = "postgresql://postgres@127.0.0.1:5432/test"
SCHEMA = "sarnic_peak_rows"


async def setup(rows: int) -> None:
    conn = await asyncpg.connect(DSN)
    try:
        await conn.execute(f"DROP SCHEMA IF EXISTS {SCHEMA} CASCADE; CREATE SCHEMA {SCHEMA}")
        await conn.execute(
            f"CREATE TABLE {SCHEMA}.peak_posts (id bigint PRIMARY KEY, author_id int NOT NULL, title text NOT NULL, "
            "body text NOT NULL, views int NOT NULL, published boolean NOT NULL, score double precision NOT NULL, "
            "created_at timestamptz NOT NULL)")
        await conn.execute(
            f"INSERT INTO {SCHEMA}.peak_posts SELECT i, i % 100, 'title ' || i, repeat('body ', 20), i % 1000, "
            "i % 2 = 0, i / 7.0, now() FROM generate_series(1, $1) AS i", rows)
    finally:
        await conn.close()


async def teardown() -> None:
    conn = await asyncpg.connect(DSN)
    try:
        await conn.execute(f"DROP SCHEMA IF EXISTS {SCHEMA} CASCADE")
    finally:
        await conn.close()


async def read(kind: str) -> tuple[int, int]:
    from sarnic import Model, connect, fields

    class Post(Model):
        id = fields.BigInt(primary_key=True)
        author_id = fields.Int()
        title = fields.Text()
        body = fields.Text()
        views = fields.Int()
        published = fields.Bool()
        score = fields.Float()
        created_at = fields.DateTime()

        class Meta:
            table = "peak_posts"

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if kind == "asyncpg":
        conn = await asyncpg.connect(DSN, server_settings={"search_path": SCHEMA})
        tracemalloc.start()
        held: Any = await conn.fetch(f"SELECT id, author_id, title, body, views, published, score, created_at "
                                     f"FROM peak_posts ORDER BY id")
        _, peak = tracemalloc.get_traced_memory()
        await conn.close()
    else:
        async with connect(f"postgres://postgres@127.0.0.1:5432/test?search_path={SCHEMA}") as db:
            await db.fetch(Post.select()[:1])
            tracemalloc.start()
            held = await db.fetch(Post.select().order_by(Post.id))
            _, peak = tracemalloc.get_traced_memory()
    assert len(held) > 0
    return peak, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--child", choices=["asyncpg", "sarnic"])
    args = parser.parse_args()
    if args.child:
        print(json.dumps(asyncio.run(read(args.child))))
        return
    asyncio.run(setup(args.rows))
    try:
        for kind in ("asyncpg", "sarnic"):
            out = subprocess.run([sys.executable, __file__, "--child", kind], check=True, capture_output=True, text=True)
            peak, rss = json.loads(out.stdout)
            print(f"{kind:8} {args.rows:,} rows: traced peak {peak / 2**20:6.1f} MiB, "
                  f"peak RSS growth {rss / 1024:6.1f} MiB")
    finally:
        asyncio.run(teardown())


if __name__ == "__main__":
    main()
