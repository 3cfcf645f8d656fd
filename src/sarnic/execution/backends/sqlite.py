"""SQLite through aiosqlite: the embedded database of the base install.

A file database gets a pool of connections in WAL mode; an in-memory
database is one connection (each connection would be a database of its own),
which statements and transactions take in turns.

Values are stored in forms whose text order is their value order where an
ordering makes sense: datetimes and times as fixed-width texts (UTC for
aware datetimes), decimals as exact texts, arrays, vectors and JSON as JSON
texts, UUIDs as their canonical text.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import decimal
import functools
import json
import math
import re
import sqlite3
from collections.abc import AsyncGenerator, AsyncIterator, Callable, Sequence
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from typing import Any

try:
    import aiosqlite
except ImportError:  # pragma: no cover - a dependency of the base install
    raise ImportError("SQLite URLs need the aiosqlite driver: pip install aiosqlite") from None

from sarnic.execution.backends.base import (Backend, Connection, Converter, Result, Url, interleaved, native,
                                            plain_reader, truth)
from sarnic.execution.backends.pool import Pool
from sarnic.execution.backends.url_options import SqliteTarget, sqlite_target
from sarnic.errors import (
    DatabaseError, DataError, IntegrityError, NotSupportedError, OperationalError, ProgrammingError,
)  # fmt: skip
from sarnic.model.fields.base import Field
from sarnic.model.fields.times import Date, DateTime, Time


_TIMESTAMP = "%Y-%m-%d %H:%M:%S.%f"
#: a named CHECK's failure (an unnamed one reports its expression)
_CHECK = re.compile(r"CHECK constraint failed: ([A-Za-z_][A-Za-z0-9_]*)")


def _timestamp(text: str) -> str:
    if len(text) in (25, 32) and text.endswith("+00:00") and text[10] == "T":
        # The layer's own UTC text (a four-digit year, seconds, maybe
        # microseconds): the stored form by slicing, without a parse.
        return f"{text[:10]} {text[11:19]}{text[19:26] if len(text) == 32 else '.000000'}"
    value = dt.datetime.fromisoformat(text)
    if value.tzinfo is not None:
        value = value.astimezone(dt.timezone.utc).replace(tzinfo=None)
    return value.strftime(_TIMESTAMP) if value.year >= 1000 else value.isoformat(sep=" ", timespec="microseconds")


def _time(text: str) -> str:
    return dt.time.fromisoformat(text).isoformat(timespec="microseconds")


def _decimal(text: str) -> str:
    # One text per value, so that equal decimals compare equal: 1.50 is
    # stored as 1.5. Trimmed as text: a decimal context would round.
    plain = format(decimal.Decimal(text), "f")
    if "." in plain:
        plain = plain.rstrip("0").rstrip(".")
    return "0" if plain in ("-0", "") else plain


def _utc_text(field: DateTime[Any]) -> Converter:
    """Aware datetimes are stored as UTC wall time: read with the zone
    attached in one parse (a text written by another program goes the long way)."""
    parse = dt.datetime.fromisoformat

    @native(4, parse, "+00:00")
    def read(text: str) -> dt.datetime:
        try:
            return parse(text + "+00:00")
        except (ValueError, TypeError):
            return field.from_plain(text)  # type: ignore[no-any-return]

    return read


#: the parse a field's from_plain makes of a str, by its field class
_ISO_PARSE: dict[type[Field[Any]], Callable[[str], Any]] = {
    DateTime: dt.datetime.fromisoformat, Date: dt.date.fromisoformat, Time: dt.time.fromisoformat,
}


def _iso_text(field: Field[Any]) -> Converter:
    """A naive datetime, a date or a time, stored as its ISO text: the
    field's own reading, which the native builder runs as the parse alone."""
    reading = type(field).from_plain
    parse = next((p for cls, p in _ISO_PARSE.items() if reading is cls.from_plain), None)
    if parse is None:  # a field class of its own reading
        return field.from_plain
    # A partial rather than a function: no second call where Python reads the values.
    return native(4, parse, "")(functools.partial(reading, field))


def _json_list(value: list[Any]) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def _float(value: float) -> float:
    if math.isnan(value):
        raise DataError("SQLite stores NaN as NULL: it cannot hold this float")
    return value


#: the driver form of a bound value, by field type (absent: the payload as it is)
_PARAMS: dict[str, Any] = {
    "float": _float,
    "decimal": _decimal,
    "datetime": _timestamp,
    "time": _time,
    "bytes": bytes,
    "vector": _json_list,
    "array_text": _json_list,
    "array_int": _json_list,
    "array_float": _json_list,
    "array_uuid": _json_list,
}
#: field types whose stored form is the Python value already
_NATIVE_RESULTS = {"int", "big_int", "text", "bytes", "ts_vector"}


class SqliteConnection(Connection):
    def __init__(self, backend: SqliteBackend, raw: aiosqlite.Connection) -> None:
        self.backend = backend
        self.raw = raw

    @property
    def usable(self) -> bool:
        # The driver's thread runs every call to its end, one after another:
        # after a cancelled call the connection is in order once the call is done.
        return not self.broken

    async def fetch(self, sql: str, params: Sequence[Any]) -> Result:
        rows = list(await self.call(self.backend, self.raw.execute_fetchall, sql, params))
        # The driver reports no names here; the reader checks the width.
        return Result((), rows)

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        # Run, count and close in one call to the driver's thread rather than two.
        raw = self.raw
        return await self.call(self.backend, raw._execute, _counted, raw._conn, sql, params)

    async def execute_many(self, sql: str, rows: Sequence[Sequence[Any]]) -> None:
        with self.operation(self.backend):
            await self.raw.executemany(sql, rows)

    async def stream(self, sql: str, params: Sequence[Any], batch: int) -> AsyncGenerator[Result, None]:
        with self.operation(self.backend):
            cursor = await self.raw.execute(sql, params)
        try:
            while True:
                with self.operation(self.backend):
                    rows = list(await cursor.fetchmany(batch))
                if not rows:
                    return
                yield Result((), rows)
        finally:
            await cursor.close()

    async def run(self, sql: str) -> None:
        with self.operation(self.backend):
            await self.raw.execute(sql)

    async def begin(self) -> None:
        # Take the write lock at once: a deferred transaction that reads and
        # then writes can fail with "database is locked" without waiting.
        await self.run("BEGIN IMMEDIATE")


class _TakingTurns(Connection):
    """The one in-memory connection, for a stream that takes its turn batch
    by batch: between batches, the loop reading them may run statements."""

    def __init__(self, conn: SqliteConnection, turn: asyncio.Lock) -> None:
        self.conn = conn
        self.turn = turn

    def stream(self, sql: str, params: Sequence[Any], batch: int) -> AsyncGenerator[Result, None]:
        return interleaved(self.conn.stream(sql, params, batch), self.turn)

    async def fetch(self, sql: str, params: Sequence[Any]) -> Result:
        raise NotImplementedError

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        raise NotImplementedError

    async def run(self, sql: str) -> None:
        raise NotImplementedError


def _counted(conn: sqlite3.Connection, sql: str, params: Sequence[Any]) -> int:
    """In the driver's thread: the rows a statement matched."""
    cursor = conn.execute(sql, params)
    try:
        if cursor.description is not None:
            # RETURNING: the statement is done only once its rows are read.
            return len(cursor.fetchall())
        # -1 where the statement counts no rows (DDL, VACUUM): none matched.
        return max(cursor.rowcount, 0)
    finally:
        cursor.close()


def _fold(value: object) -> object:
    return value.casefold() if isinstance(value, str) else value


async def _configure(raw: aiosqlite.Connection, target: SqliteTarget) -> None:
    from sarnic.execution.backends.sqlite_quotes import strict_quotes

    # In the connection's own thread: sqlite3 refuses calls from others.
    await raw._execute(strict_quotes, raw._conn)  # type: ignore[no-untyped-call]
    await raw.execute("PRAGMA foreign_keys = ON")
    # Text match keeps case unless asked to fold it, and folds by Unicode
    # rules: SQLite's LIKE and lower() fold ASCII letters only.
    await raw.execute("PRAGMA case_sensitive_like = ON")
    await raw.create_function("sarnic_fold", 1, _fold, deterministic=True)
    if not target.memory:
        await raw.execute(f"PRAGMA busy_timeout = {target.busy_timeout:d}")
        if not target.read_only:
            # Read to its end: a statement left with a row unread holds the
            # database, and the next connection could not take WAL mode.
            await raw.execute_fetchall("PRAGMA journal_mode = WAL")


class SqliteBackend(Backend):
    dialect = "sqlite"
    returns_rows = True

    def search_text(self, operator: str, text: str) -> str:
        from sarnic.execution.backends.sqlite_fulltext import for_mode

        return for_mode(operator, text)

    def __init__(self, url: Url, *, min_size: int, max_size: int) -> None:
        super().__init__(url, min_size=min_size, max_size=max_size)
        probe = sqlite3.connect(":memory:")
        try:
            # A limit of the library build, the same for every connection.
            self.max_params = probe.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER)
        finally:
            probe.close()
        self.path = url.database
        self.target = sqlite_target(url)
        self.memory = self.target.memory
        self._single: SqliteConnection | None = None
        self._turn = asyncio.Lock()
        self._pool: Pool[SqliteConnection] | None = None

    async def _connect(self) -> SqliteConnection:
        pending = aiosqlite.connect(self.target.target, isolation_level=None, uri=True)
        try:
            raw = await pending
        except sqlite3.Error as exc:
            await _stopped(pending)
            raise OperationalError(f"cannot open SQLite database {self.path!r}: {exc}") from exc
        conn = SqliteConnection(self, raw)
        try:
            await _configure(raw, self.target)
        except BaseException as exc:
            await _close(conn)  # its thread with it
            if isinstance(exc, sqlite3.Error):
                raise OperationalError(f"cannot open SQLite database {self.path!r}: {exc}") from exc
            raise
        return conn

    async def open(self) -> None:
        if self.memory:
            self._single = await self._connect()
        else:
            self._pool = Pool(self._connect, _close, min_size=self.min_size, max_size=self.max_size)
            await self._pool.open()

    async def close(self) -> None:
        if self._single is not None:
            single, self._single = self._single, None
            await _close(single)
        if self._pool is not None:
            await self._pool.close()

    async def acquire(self) -> Connection:
        if self._pool is not None:
            return await self._pool.get()
        if self._single is None:
            raise OperationalError("the database is closed")
        # Statements and transactions take the one connection in turns.
        await self._turn.acquire()
        return self._single

    async def release(self, conn: Connection) -> None:
        assert isinstance(conn, SqliteConnection)
        # A call cancelled while the driver's thread still has it queued (a
        # BEGIN, a COMMIT) may leave the connection inside a transaction
        # after this returns: none comes back to be used that may be in one.
        unsettled = conn.busy or conn.raw.in_transaction
        if self._pool is not None:
            if unsettled:
                conn.broken = True  # closing waits for the queued calls; the transaction goes with it
            self._pool.put(conn)
        elif unsettled:
            await asyncio.shield(self._settle(conn))
        else:
            self._turn.release()

    async def _settle(self, conn: SqliteConnection) -> None:
        """The one in-memory connection cannot be replaced: once the calls
        queued before this one are done, roll back what they left open."""
        try:
            await conn.raw.execute("SELECT 1")
            conn.busy = False
            if conn.raw.in_transaction:
                await conn.raw.execute("ROLLBACK")
        except (sqlite3.Error, ValueError):
            conn.broken = True
        finally:
            self._turn.release()

    def stream_connection(self) -> AbstractAsyncContextManager[Connection]:
        if self._pool is not None:
            return self._pool.acquire()
        return self._streaming()

    @asynccontextmanager
    async def _streaming(self) -> AsyncIterator[Connection]:
        if self._single is None:
            raise OperationalError("the database is closed")
        yield _TakingTurns(self._single, self._turn)

    # -- errors --------------------------------------------------------------

    def translate(self, exc: Exception) -> DatabaseError | None:
        if isinstance(exc, sqlite3.IntegrityError):
            # Only a CHECK is reported by its name; a key, by its columns.
            text = str(exc)
            check = _CHECK.fullmatch(text)
            return IntegrityError(text, constraint=check.group(1) if check else None)
        if isinstance(exc, (sqlite3.DataError, OverflowError)):
            return DataError(str(exc))
        if isinstance(exc, (sqlite3.ProgrammingError, sqlite3.InterfaceError)):
            return ProgrammingError(str(exc))
        if isinstance(exc, sqlite3.NotSupportedError):
            return NotSupportedError(str(exc))
        if isinstance(exc, sqlite3.OperationalError):
            text = str(exc)
            # A statement the engine does not take reports as an operational error.
            if text.startswith(("no such table", "no such column", "near ", "table ")) or "syntax error" in text:
                return ProgrammingError(text)
            return OperationalError(text)
        if isinstance(exc, sqlite3.Error):
            return OperationalError(str(exc))
        if isinstance(exc, ValueError) and "closed" in str(exc):
            return OperationalError(str(exc))
        return None

    def is_disconnect(self, exc: Exception) -> bool:
        return isinstance(exc, ValueError) and "closed" in str(exc)

    # -- values --------------------------------------------------------------

    def make_param_converter(self, field: Field[Any]) -> Converter:
        return _PARAMS.get(field.field_type)

    def make_result_converter(self, field: Field[Any]) -> Converter:
        if field.field_type == "float":
            return float  # RETURNING hands an integral REAL back as an int
        if isinstance(field, DateTime) and field.timezone:
            return _utc_text(field)
        if field.field_type == "bool":
            return truth
        if isinstance(field, (DateTime, Date, Time)):
            return _iso_text(field)
        return None if field.field_type in _NATIVE_RESULTS else plain_reader(field)


async def _stopped(pending: aiosqlite.Connection) -> None:
    """After a failed open: the driver's thread is told to stop, and it reports
    to the loop when it has; a loop closed by then makes it print a traceback."""
    thread = getattr(pending, "_thread", None)
    for _ in range(1000):
        if thread is None or not thread.is_alive():
            return
        await asyncio.sleep(0.001)


async def _close(conn: SqliteConnection) -> None:
    try:
        await conn.raw.close()
    except (sqlite3.Error, ValueError):
        pass
