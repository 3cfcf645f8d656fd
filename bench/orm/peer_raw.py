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
    "counts": "SELECT author_id, COUNT(*) FROM posts GROUP BY author_id",
    "authors": "SELECT id, name, email FROM authors",
    "upsert": f"INSERT INTO posts ({COLUMNS}) VALUES ($1, $2, $3, $4, $5, $6, $7)",
}
# The tail of an upsert: the new title and views of a row already there.
UPSERT_UPDATE = {
    "postgres": " ON CONFLICT (id) DO UPDATE SET title = EXCLUDED.title, views = EXCLUDED.views",
    "mariadb": " ON DUPLICATE KEY UPDATE title = VALUES(title), views = VALUES(views)",
    "sqlite": " ON CONFLICT (id) DO UPDATE SET title = excluded.title, views = excluded.views",
}
# Statements over a list of keys; {keys} is one array parameter on PostgreSQL, a placeholder per key elsewhere.
KEYED = {
    "in_list": f"SELECT {COLUMNS} FROM posts WHERE id {{keys}}",
    "increment": "UPDATE posts SET views = views + 1 WHERE id {keys}",
    "children": f"SELECT {COLUMNS} FROM posts WHERE author_id {{keys}}",
    "tags": "SELECT pt.post_id, t.id, t.name FROM post_tags pt JOIN tags t ON t.id = pt.tag_id WHERE pt.post_id {keys}",
}
INSERT_COLUMNS = ("author_id", "title", "body", "views", "published", "created_at")
UPSERT_COLUMNS = ("id", *INSERT_COLUMNS)


def keyed(engine: Engine, name: str, count: int) -> str:
    """A statement of KEYED for `count` keys, in the engine's placeholders."""
    if engine.name == "postgres":
        return KEYED[name].format(keys="= ANY($1)")
    mark = "%s" if engine.name == "mariadb" else "?"
    return KEYED[name].format(keys=f"IN ({', '.join([mark] * count)})")


def grouped(parents: Any, children: Any, column: int) -> list[tuple[Any, list[Any]]]:
    """Each parent row with the child rows whose `column` holds its key."""
    by_key: dict[Any, list[Any]] = {p[0]: [] for p in parents}
    for c in children:
        by_key[c[column]].append(c)
    return [(p, by_key[p[0]]) for p in parents]


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
        self.keyed = {k: keyed(engine, k, len(dataset.IN_KEYS)) for k in ("in_list",)}
        self.keyed |= {k: keyed(engine, k, len(dataset.INCREMENT_KEYS)) for k in ("increment",)}
        if engine.name == "postgres":
            self.keyed |= {k: keyed(engine, k, 0) for k in ("children", "tags")}
        self.upsert_sql = engine.sql(SQL["upsert"]) + UPSERT_UPDATE[engine.name]

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

    @staticmethod
    def count_pair(row: Any) -> tuple[Any, Any]:
        return row[0], row[1]

    @classmethod
    def author_posts(cls, pair: Any) -> tuple[Any, ...]:
        author, posts = pair
        return (int(author[0]), author[1], author[2], sorted(cls.post(p) for p in posts))

    @classmethod
    def tagged_post(cls, pair: Any) -> tuple[Any, ...]:
        post, tags = pair
        return (*cls.post(post), sorted((int(t[1]), t[2]) for t in tags))


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

    def acquire(self) -> Any:
        return self.pool.acquire()

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        async with self.acquire() as conn, conn.transaction():
            await conn.executemany(SQL["insert"], [values(r) for r in rows])

    async def update(self, views: int) -> Any:
        status = await self.pool.execute(SQL["update"], views, dataset.UPDATE_AUTHOR, dataset.UPDATE_MAX_ID)
        return int(status.rpartition(" ")[2])

    async def in_list(self) -> Any:
        return await self.pool.fetch(self.keyed["in_list"], dataset.IN_KEYS)

    async def counts(self) -> Any:
        return await self.pool.fetch(SQL["counts"])

    async def upsert(self, rows: list[dict[str, Any]]) -> Any:
        async with self.acquire() as conn, conn.transaction():
            await conn.executemany(self.upsert_sql, [tuple(r[c] for c in UPSERT_COLUMNS) for r in rows])

    async def increment(self) -> Any:
        status = await self.pool.execute(self.keyed["increment"], dataset.INCREMENT_KEYS)
        return int(status.rpartition(" ")[2])

    async def authors_with_posts(self) -> Any:
        async with self.acquire() as conn:
            authors = await conn.fetch(SQL["authors"])
            posts = await conn.fetch(self.keyed["children"], [a[0] for a in authors])
        return grouped(authors, posts, 1)

    async def tagged(self) -> Any:
        async with self.acquire() as conn:
            posts = await conn.fetch(SQL["page"], dataset.PAGE_AUTHOR, True, dataset.PAGE)
            tags = await conn.fetch(self.keyed["tags"], [p[0] for p in posts])
        return grouped(posts, tags, 0)


class _FetchingPeer(RawPeer):
    """The reads of the peers whose statements, in the engine's placeholders,
    are in `sql` and whose rows come through a `_fetch_on` a connection of
    `acquire()`."""

    sql: dict[str, str]

    def acquire(self) -> Any:
        raise NotImplementedError

    async def _fetch_on(self, conn: Any, sql: str, args: Any) -> Any:
        raise NotImplementedError

    async def _fetch(self, sql: str, args: Any) -> Any:
        async with self.acquire() as conn:
            return await self._fetch_on(conn, sql, args)

    async def by_key(self) -> Any:
        rows = await self._fetch(self.sql["by_key"], (dataset.KEY,))
        return rows[0] if rows else None

    async def page(self) -> Any:
        return await self._fetch(self.sql["page"], (dataset.PAGE_AUTHOR, True, dataset.PAGE))

    async def many(self) -> Any:
        return await self._fetch(self.sql["many"], (dataset.MANY,))

    async def joined(self) -> Any:
        return await self._fetch(self.sql["joined"], (True, dataset.JOINED))

    async def in_list(self) -> Any:
        return await self._fetch(self.keyed["in_list"], dataset.IN_KEYS)

    async def counts(self) -> Any:
        return await self._fetch(self.sql["counts"], ())

    async def authors_with_posts(self) -> Any:
        async with self.acquire() as conn:
            authors = await self._fetch_on(conn, self.sql["authors"], ())
            keys = [a[0] for a in authors]
            posts = await self._fetch_on(conn, keyed(self.engine, "children", len(keys)), keys)
        return grouped(authors, posts, 1)

    async def tagged(self) -> Any:
        async with self.acquire() as conn:
            posts = await self._fetch_on(conn, self.sql["page"], (dataset.PAGE_AUTHOR, True, dataset.PAGE))
            keys = [p[0] for p in posts]
            tags = await self._fetch_on(conn, keyed(self.engine, "tags", len(keys)), keys)
        return grouped(posts, tags, 0)


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

    def acquire(self) -> Any:
        return self.pool.acquire()

    async def _fetch_on(self, conn: Any, sql: str, args: Any) -> Any:
        async with conn.cursor() as cur:
            await cur.execute(sql, args)
            return await cur.fetchall()

    async def insert_one(self, row: dict[str, Any]) -> Any:
        async with self.acquire() as conn, conn.cursor() as cur:
            await cur.execute(self.sql["insert"], values(row))
            return {**row, "id": cur.lastrowid}

    async def _many_in_transaction(self, sql: str, rows: list[tuple[Any, ...]]) -> None:
        # executemany writes one multi-row INSERT per batch of rows.
        async with self.acquire() as conn, conn.cursor() as cur:
            await conn.begin()
            try:
                await cur.executemany(sql, rows)
            except BaseException:
                await conn.rollback()
                raise
            await conn.commit()

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        await self._many_in_transaction(self.sql["insert"], [values(r) for r in rows])

    async def upsert(self, rows: list[dict[str, Any]]) -> Any:
        await self._many_in_transaction(self.upsert_sql, [tuple(r[c] for c in UPSERT_COLUMNS) for r in rows])

    async def _execute(self, sql: str, args: Any) -> int:
        async with self.acquire() as conn, conn.cursor() as cur:
            return int(await cur.execute(sql, args))

    async def update(self, views: int) -> Any:
        return await self._execute(self.sql["update"], (views, dataset.UPDATE_AUTHOR, dataset.UPDATE_MAX_ID))

    async def increment(self) -> Any:
        return await self._execute(self.keyed["increment"], dataset.INCREMENT_KEYS)


class _Aiosqlite(_FetchingPeer):
    async def open(self) -> None:
        self.idle: asyncio.LifoQueue[Any] = asyncio.LifoQueue()
        self.conns = [await _sqlite_connection(self.engine) for _ in range(dataset.POOL)]
        for conn in self.conns:
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

    async def _fetch_on(self, conn: Any, sql: str, args: Any) -> Any:
        return await conn.execute_fetchall(sql, args)

    async def insert_one(self, row: dict[str, Any]) -> Any:
        stored = (*values(row)[:5], dataset.stored_time("sqlite", row["created_at"]))
        async with self.acquire() as conn:
            key = (await conn.execute_insert(self.sql["insert"], stored))[0]
            return {**row, "id": key}

    async def _many_in_transaction(self, sql: str, rows: list[tuple[Any, ...]]) -> None:
        async with self.acquire() as conn:
            await conn.execute("BEGIN")
            try:
                await conn.executemany(sql, rows)
            except BaseException:
                await conn.execute("ROLLBACK")
                raise
            await conn.execute("COMMIT")

    async def bulk(self, rows: list[dict[str, Any]]) -> Any:
        await self._many_in_transaction(
            self.sql["insert"], [(*values(r)[:5], dataset.stored_time("sqlite", r["created_at"])) for r in rows])

    async def upsert(self, rows: list[dict[str, Any]]) -> Any:
        await self._many_in_transaction(self.upsert_sql, [
            (r["id"], *values(r)[:5], dataset.stored_time("sqlite", r["created_at"])) for r in rows])

    async def _execute(self, sql: str, args: Any) -> int:
        async with self.acquire() as conn:
            cursor = await conn.execute(sql, args)
            await cursor.close()
            return int(cursor.rowcount)

    async def update(self, views: int) -> Any:
        return await self._execute(self.sql["update"], (views, dataset.UPDATE_AUTHOR, dataset.UPDATE_MAX_ID))

    async def increment(self) -> Any:
        return await self._execute(self.keyed["increment"], dataset.INCREMENT_KEYS)


async def _sqlite_connection(engine: Engine) -> Any:
    import aiosqlite

    conn = await aiosqlite.connect(engine.path, isolation_level=None)
    await conn.execute("PRAGMA foreign_keys = ON")
    await conn.execute("PRAGMA busy_timeout = 5000")
    return conn
