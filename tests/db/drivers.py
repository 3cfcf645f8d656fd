"""One small synchronous adapter per engine: run a statement with positional
values, get rows as dicts. Each adapter works in a schema of its own."""

from __future__ import annotations

import asyncio
import os
import socket
import sqlite3
import uuid
from typing import Any, Sequence



def _address(variable: str, default: tuple[str, int]) -> tuple[str, int]:
    """host:port from the environment, for a server elsewhere than its usual place."""
    host, _, port = os.environ.get(variable, "").rpartition(":")
    return (host, int(port)) if host and port else default


PG_ADDR = _address("SARNIC_TEST_POSTGRES", ("127.0.0.1", 5432))
MARIADB_ADDR = _address("SARNIC_TEST_MARIADB", ("127.0.0.1", 3306))
SERVERS = {"postgres": ("PostgreSQL", PG_ADDR), "mariadb": ("MariaDB", MARIADB_ADDR)}


def answers(addr: tuple[str, int]) -> bool:
    try:
        with socket.create_connection(addr, timeout=2):
            return True
    except OSError:
        return False


def unique_name() -> str:
    return f"sarnic_t_{uuid.uuid4().hex[:12]}"


class MissingExtension(Exception):
    """The server answers but lacks an extension the models need."""


class Engine:
    name: str
    dialect: str
    #: whether INSERT and UPDATE hand rows back
    returns_rows: bool
    #: how NULLs sort under ASC (DESC is the other way round)
    nulls_first_asc: bool

    def fetch(self, sql: str, params: Sequence[Any] = ()) -> list[dict[str, Any]]:
        raise NotImplementedError

    @property
    def error(self) -> type[Exception]:
        """The base class of what the server raises about a statement."""
        raise NotImplementedError

    def script(self, statements: Sequence[str]) -> None:
        for s in statements:
            self.fetch(s)

    def close(self) -> None:
        raise NotImplementedError


class Postgres(Engine):
    name = dialect = "postgres"
    returns_rows = True
    nulls_first_asc = False

    def __init__(self) -> None:
        import asyncpg

        self._loop = asyncio.new_event_loop()
        self._conn: Any = None
        last: Exception | None = None
        for user in ("postgres", "root"):
            try:
                self._conn = self._run(asyncpg.connect(host=PG_ADDR[0], port=PG_ADDR[1], user=user,
                                                       database="test", timeout=10))
                break
            except Exception as exc:  # noqa: BLE001 - tried in turn, the last one is raised
                last = exc
        if self._conn is None:
            self._loop.close()
            raise last  # type: ignore[misc]
        self.schema = unique_name()
        self._run(self._conn.execute(f'CREATE SCHEMA "{self.schema}"'))
        try:
            self._vector_setup()
        except BaseException:
            self.close()
            raise

    def _run(self, coro: Any) -> Any:
        return self._loop.run_until_complete(coro)

    def _vector_setup(self) -> None:
        """pgvector in the database (created once, by whichever session comes first)
        and on the search path; vectors travel as their text form, '[1,2,3]'."""
        import asyncpg

        if not self._run(self._conn.fetchval("SELECT 1 FROM pg_available_extensions WHERE name = 'vector'")):
            raise MissingExtension("PostgreSQL server lacks pgvector (make pgvector builds it)")
        try:
            self._run(self._conn.execute("CREATE EXTENSION IF NOT EXISTS vector SCHEMA public"))
        except (asyncpg.UniqueViolationError, asyncpg.DuplicateObjectError):
            pass  # a concurrent session created it first
        home = self._run(self._conn.fetchval(
            "SELECT n.nspname FROM pg_extension e JOIN pg_namespace n ON n.oid = e.extnamespace"
            " WHERE e.extname = 'vector'"))
        self._run(self._conn.execute(f'SET search_path TO "{self.schema}", "{home}"'))
        # repr() keeps every digit; pgvector refuses NaN and infinities itself.
        self._run(self._conn.set_type_codec(
            "vector", schema=home, format="text",
            encoder=lambda v: "[" + ",".join(repr(float(x)) for x in v) + "]",
            decoder=lambda s: [float(x) for x in s[1:-1].split(",") if x]))

    def fetch(self, sql: str, params: Sequence[Any] = ()) -> list[dict[str, Any]]:
        return [dict(r) for r in self._run(self._conn.fetch(sql, *params))]

    @property
    def error(self) -> type[Exception]:
        import asyncpg

        return asyncpg.PostgresError

    def close(self) -> None:
        try:
            self._run(self._conn.execute(f'DROP SCHEMA "{self.schema}" CASCADE'))
        finally:
            self._run(self._conn.close())
            self._loop.close()


class MariaDB(Engine):
    name = dialect = "mariadb"
    returns_rows = False
    nulls_first_asc = True

    def __init__(self) -> None:
        import mariadb

        self._conn = mariadb.connect(host=MARIADB_ADDR[0], port=MARIADB_ADDR[1], user="root",
                                     password="", database="test", autocommit=True, connect_timeout=10)
        self.schema = unique_name()
        self.fetch(f"CREATE DATABASE `{self.schema}`")
        self.fetch(f"USE `{self.schema}`")

    def fetch(self, sql: str, params: Sequence[Any] = ()) -> list[dict[str, Any]]:
        # A fresh prepared cursor per statement: placeholders go to the server as they are.
        cur = self._conn.cursor(prepared=True)
        try:
            cur.execute(sql, tuple(params))
            if cur.description is None:
                return []
            names = [d[0] for d in cur.description]
            return [dict(zip(names, row)) for row in cur.fetchall()]
        finally:
            cur.close()

    @property
    def error(self) -> type[Exception]:
        import mariadb

        return mariadb.Error

    def close(self) -> None:
        try:
            self.fetch(f"DROP DATABASE `{self.schema}`")
        finally:
            self._conn.close()


class Sqlite(Engine):
    name = dialect = "sqlite"
    returns_rows = True
    nulls_first_asc = True

    def __init__(self) -> None:
        self._conn = sqlite3.connect(":memory:", isolation_level=None)
        self._conn.execute("PRAGMA foreign_keys = ON")

    def fetch(self, sql: str, params: Sequence[Any] = ()) -> list[dict[str, Any]]:
        cur = self._conn.execute(sql, tuple(params))
        if cur.description is None:
            return []
        names = [d[0] for d in cur.description]
        return [dict(zip(names, row)) for row in cur.fetchall()]

    @property
    def error(self) -> type[Exception]:
        return sqlite3.Error

    def close(self) -> None:
        self._conn.close()


ENGINES: dict[str, type[Engine]] = {"postgres": Postgres, "mariadb": MariaDB, "sqlite": Sqlite}
