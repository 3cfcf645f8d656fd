"""The floor of a single query: the raw driver's statements on one connection
opened up front, with no pool to take it from and give it back to. It runs no
queries at once, so it sits out workload 8."""

from __future__ import annotations

from typing import Any

import peer_raw
from engines import Engine

NAME = "bare connection"


def unsupported(engine: Engine) -> str | None:
    return None


def make(engine: Engine) -> peer_raw.RawPeer:
    return {"postgres": _Asyncpg, "mariadb": _Asyncmy, "sqlite": _Aiosqlite}[engine.name](engine)


class _Held:
    """`acquire()` of a peer that holds its one connection."""

    def __init__(self, conn: Any) -> None:
        self.conn = conn

    async def __aenter__(self) -> Any:
        return self.conn

    async def __aexit__(self, *exc: object) -> None:
        return None


class _Asyncpg(peer_raw._Asyncpg):
    concurrent = False

    async def open(self) -> None:
        import asyncpg

        e = self.engine
        # A connection answers fetch, fetchval and execute as the pool does.
        self.pool = await asyncpg.connect(host=e.host, port=e.port, user=e.user, database=e.database)

    async def close(self) -> None:
        await self.pool.close()

    def acquire(self) -> Any:
        return _Held(self.pool)


class _Asyncmy(peer_raw._Asyncmy):
    concurrent = False

    async def open(self) -> None:
        import asyncmy

        e = self.engine
        self.conn = await asyncmy.connect(host=e.host, port=e.port, user=e.user, db=e.database, autocommit=True,
                                          charset="utf8mb4", init_command="SET time_zone = '+00:00'")
        self.sql = {k: e.sql(v) for k, v in peer_raw.SQL.items()}

    async def close(self) -> None:
        await self.conn.ensure_closed()

    def acquire(self) -> Any:
        return _Held(self.conn)


class _Aiosqlite(peer_raw._Aiosqlite):
    concurrent = False

    async def open(self) -> None:
        self.conn = await peer_raw._sqlite_connection(self.engine)
        self.sql = {k: self.engine.sql(v) for k, v in peer_raw.SQL.items()}

    async def close(self) -> None:
        await self.conn.close()

    def acquire(self) -> Any:
        return _Held(self.conn)
