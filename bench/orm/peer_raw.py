"""The floor: each engine's driver with hand-written SQL and the driver's pool
(aiosqlite has none: a queue of connections stands in). Rows stay as the
driver returns them (asyncpg Records, tuples); no model instance is built.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from typing import Any

import dataset
from engines import Engine

COLUMNS = "id, author_id, title, body, views, published, created_at"
JOINED_COLUMNS = ("p.id, p.author_id, p.title, p.body, p.views, p.published, p.created_at, "
                  "a.id, a.name, a.email")
SQL = {
    "by_key": f"SELECT {COLUMNS} FROM posts WHERE id = $1",
    "page": f"SELECT {COLUMNS} FROM posts WHERE author_id = $1 AND published = $2 ORDER BY id DESC LIMIT $3",
    "many": f"SELECT {COLUMNS} FROM posts ORDER BY id LIMIT $1",
    "joined": f"SELECT {JOINED_COLUMNS} FROM posts p LEFT JOIN authors a ON a.id = p.author_id "
              "WHERE p.published = $1 ORDER BY p.id DESC LIMIT $2",
    "insert": "INSERT INTO posts (author_id, title, body, views, published, created_at) "
              "VALUES ($1, $2, $3, $4, $5, $6)",
    "update": "UPDATE posts SET views = $1 WHERE author_id = $2 AND id <= $3",
}
INSERT_COLUMNS = ("author_id", "title", "body", "views", "published", "created_at")


def values(row: dict[str, Any]) -> tuple[Any, ...]:
    return tuple(row[c] for c in INSERT_COLUMNS)


NAME = "raw driver"


def unsupported(engine: Engine) -> str | None:
    return None


def make(engine: Engine) -> RawPeer:
    return {"postgres": _Asyncpg, "mariadb": _Asyncmy, "sqlite": _Aiosqlite}[engine.name](engine)


class RawPeer:
    def __init__(self, engine: Engine) -> None:
        self.engine = engine

    # -- plain data for the checks ---------------------------------------------

    @staticmethod
    def post(row: Any) -> tuple[Any, ...]:
        return dataset.post_tuple(*row[:7])

    @staticmethod
    def joined_post(row: Any) -> tuple[Any, ...]:
        return (*dataset.post_tuple(*row[:7]), int(row[7]), row[8], row[9])

    @staticmethod
    def inserted(row: Any) -> tuple[Any, ...]:
        return dataset.post_tuple(row["id"], *values(row))


async def _no_reset(conn: Any) -> None:
    pass


class _Asyncpg(RawPeer):
    async def open(self) -> None:
        import asyncpg

        e = self.engine
        # No reset query on release (sarnic's pool sends none either): the floor
        # is one round trip per statement.
        self.pool = await asyncpg.create_pool(host=e.host, port=e.port, user=e.user, database=e.database,
                                              min_size=dataset.POOL, max_size=dataset.POOL, reset=_no_reset)

    async def close(self) -> None:
        await self.pool.close()

    async def by_key(self) -> Any:
        return await self.pool.fetchrow(SQL["by_key"], dataset.KEY)

    async def page(self) -> Any:
        return await self.pool.fetch(SQL["page"], dataset.PAGE_AUTHOR, True, dataset.PAGE)

    async def many(self) -> Any:
        return await self.pool.fetch(SQL["many"], dataset.MANY)

    async def joined(self) -> Any:
        return await self.pool.fetch(SQL["joined"], True, dataset.JOINED)

    async def insert_one(self, row: dict[str, Any]) -> Any:
        key = await self.pool.fetchval(SQL["insert"] + " RETURNING id", *values(row))
        return {**row, "id": key}

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        async with self.pool.acquire() as conn, conn.transaction():
            await conn.executemany(SQL["insert"], [values(r) for r in rows])

    async def update(self, views: int) -> Any:
        status = await self.pool.execute(SQL["update"], views, dataset.UPDATE_AUTHOR, dataset.UPDATE_MAX_ID)
        return int(status.rpartition(" ")[2])


class _FetchingPeer(RawPeer):
    """The reads of the peers whose statements, in the engine's placeholders,
    are in `sql` and whose rows come through a `_fetch` of their own."""

    sql: dict[str, str]

    async def _fetch(self, sql: str, args: tuple[Any, ...]) -> Any:
        raise NotImplementedError

    async def by_key(self) -> Any:
        rows = await self._fetch(self.sql["by_key"], (dataset.KEY,))
        return rows[0] if rows else None

    async def page(self) -> Any:
        return await self._fetch(self.sql["page"], (dataset.PAGE_AUTHOR, True, dataset.PAGE))

    async def many(self) -> Any:
        return await self._fetch(self.sql["many"], (dataset.MANY,))

    async def joined(self) -> Any:
        return await self._fetch(self.sql["joined"], (True, dataset.JOINED))


class _Asyncmy(_FetchingPeer):
    async def open(self) -> None:
        import asyncmy

        e = self.engine
        self.pool = await asyncmy.create_pool(host=e.host, port=e.port, user=e.user, db=e.database,
                                              minsize=dataset.POOL, maxsize=dataset.POOL, autocommit=True,
                                              charset="utf8mb4", init_command="SET time_zone = '+00:00'")
        self.sql = {k: e.sql(v) for k, v in SQL.items()}

    async def close(self) -> None:
        self.pool.close()
        await self.pool.wait_closed()

    async def _fetch(self, sql: str, args: tuple[Any, ...]) -> Any:
        async with self.pool.acquire() as conn, conn.cursor() as cur:
            await cur.execute(sql, args)
            return await cur.fetchall()

    async def insert_one(self, row: dict[str, Any]) -> Any:
        async with self.pool.acquire() as conn, conn.cursor() as cur:
            await cur.execute(self.sql["insert"], values(row))
            return {**row, "id": cur.lastrowid}

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        # executemany writes one multi-row INSERT per batch of rows.
        async with self.pool.acquire() as conn, conn.cursor() as cur:
            await conn.begin()
            try:
                await cur.executemany(self.sql["insert"], [values(r) for r in rows])
            except BaseException:
                await conn.rollback()
                raise
            await conn.commit()

    async def update(self, views: int) -> Any:
        async with self.pool.acquire() as conn, conn.cursor() as cur:
            return await cur.execute(self.sql["update"], (views, dataset.UPDATE_AUTHOR, dataset.UPDATE_MAX_ID))


class _Aiosqlite(_FetchingPeer):
    async def open(self) -> None:
        import aiosqlite

        self.idle: asyncio.LifoQueue[Any] = asyncio.LifoQueue()
        self.conns = []
        for _ in range(dataset.POOL):
            conn = await aiosqlite.connect(self.engine.path, isolation_level=None)
            await conn.execute("PRAGMA foreign_keys = ON")
            await conn.execute("PRAGMA busy_timeout = 5000")
            self.conns.append(conn)
            self.idle.put_nowait(conn)
        self.sql = {k: self.engine.sql(v) for k, v in SQL.items()}

    async def close(self) -> None:
        for conn in self.conns:
            await conn.close()

    @asynccontextmanager
    async def acquire(self) -> AsyncIterator[Any]:
        conn = await self.idle.get()
        try:
            yield conn
        finally:
            self.idle.put_nowait(conn)

    async def _fetch(self, sql: str, args: tuple[Any, ...]) -> Any:
        async with self.acquire() as conn:
            return await conn.execute_fetchall(sql, args)

    async def insert_one(self, row: dict[str, Any]) -> Any:
        stored = (*values(row)[:5], dataset.stored_time("sqlite", row["created_at"]))
        async with self.acquire() as conn:
            key = (await conn.execute_insert(self.sql["insert"], stored))[0]
            return {**row, "id": key}

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        stored = [(*values(r)[:5], dataset.stored_time("sqlite", r["created_at"])) for r in rows]
        async with self.acquire() as conn:
            await conn.execute("BEGIN")
            try:
                await conn.executemany(self.sql["insert"], stored)
            except BaseException:
                await conn.execute("ROLLBACK")
                raise
            await conn.execute("COMMIT")

    async def update(self, views: int) -> Any:
        async with self.acquire() as conn:
            cursor = await conn.execute(self.sql["update"], (views, dataset.UPDATE_AUTHOR, dataset.UPDATE_MAX_ID))
            await cursor.close()
            return cursor.rowcount
