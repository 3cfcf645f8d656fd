"""MySQL and MariaDB through asyncmy.

The driver was picked by measurement on MariaDB 10.11 here (the driver
alone, text protocol, medians of 15 interleaved rounds, microseconds per
statement):

    ====================  =======  ========
    statement             asyncmy  aiomysql
    ====================  =======  ========
    one row by key            128       180
    20 rows                   169       379
    10,000 rows            11,637    93,490
    insert one row            313       331
    ====================  =======  ========

asyncmy decodes rows in compiled code: equal on a write, 2.2x on a page of
rows and 8x on a large result.

The driver interpolates values client-side into `%s` placeholders, escaping
each by its Python type: the core's `?` placeholders become `%s` and every
literal `%` is doubled, once per distinct SQL text. The session settings
keep that escaping sound (backslash escapes on, double quotes as texts, not
identifiers), make bad values errors instead of warnings (strict mode) and
keep the session in UTC.

Values are stored as the schema module declares them: aware datetimes as UTC
wall time in DATETIME(6), decimals in DECIMAL, UUIDs as CHAR(36) text, JSON
documents, vectors and arrays as JSON texts, booleans as TINYINT.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import decimal
import json
import logging
import math
import re
from collections.abc import AsyncGenerator, Sequence
from typing import TYPE_CHECKING, Any

try:
    import asyncmy
    from asyncmy import errors as driver_errors
    from asyncmy.constants import CLIENT
    from asyncmy.cursors import Cursor, SSCursor
except ImportError:  # pragma: no cover - depends on the install
    raise ImportError("MySQL and MariaDB URLs need the asyncmy driver: pip install 'sarnic[mysql]'") from None

from sarnic.execution.backends.base import Backend, Connection, Converter, Result, Url, native, plain_reader, truth
from sarnic.execution.backends.pool import Pool
from sarnic.execution.backends.url_options import mysql_arguments
from sarnic.errors import (
    DatabaseError, DataError, IntegrityError, NotSupportedError, OperationalError, ProgrammingError,
)  # fmt: skip
from sarnic.model.fields.numbers import trimmed_decimal

if TYPE_CHECKING:
    from sarnic.model.fields.base import Field
    from sarnic.query.base import Query

_UTC = dt.timezone.utc

# Fixed, whatever the server's defaults: the driver's escaping needs
# backslash escapes and double-quoted texts (the core's column aliases), and
# strict mode turns a value that does not fit into an error, not a warning.
_SESSION = ("SET time_zone = '+00:00', sql_mode = 'STRICT_ALL_TABLES,NO_ZERO_IN_DATE,NO_ZERO_DATE,"
            "ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION'")

# -- placeholders --------------------------------------------------------------

# A quoted identifier or text (backslash escapes in texts, doubled quotes in
# all three), a placeholder, or a percent sign.
_TOKENS = re.compile(r"`(?:[^`]|``)*`|'(?:[^'\\]|\\.|'')*'|\"(?:[^\"\\]|\\.|\"\")*\"|[?%]", re.DOTALL)
_SQL_CACHE_SIZE = 512


def _token(match: re.Match[str]) -> str:
    text = match.group()
    if text == "?":
        return "%s"
    # The driver formats the whole text with `%`, quoted parts included.
    return text.replace("%", "%%")


def driver_sql(sql: str) -> str:
    """The core's statement with the driver's `%s` placeholders: a `?` inside
    a quoted identifier or text stays, and every `%` is doubled so that the
    driver's formatting leaves it as it was."""
    return _TOKENS.sub(_token, sql)


def placeholders(sql: str) -> int:
    """The `?` placeholders of a statement, those inside quotes left out."""
    return sum(1 for match in _TOKENS.finditer(sql) if match.group() == "?")


# -- values --------------------------------------------------------------------


def _finite(value: float) -> float:
    if not math.isfinite(value):
        raise DataError(f"MySQL stores no NaN or infinite floats: {value} cannot be written")
    return value


def _wall_time(text: str) -> str | dt.datetime:
    # The driver writes a datetime as this quoted text: cut from the core's ISO
    # text, the statement is the same without a datetime built and formatted.
    # Aware values arrive in UTC already; the column holds UTC wall time.
    size = len(text)
    if size >= 19 and text[10] == "T" and text[16] == ":" and (size < 26 or text[19] == "."):
        if size in (19, 26):
            return f"{text[:10]} {text[11:]}"
        if size in (25, 32) and text.endswith("+00:00"):
            return f"{text[:10]} {text[11:-6]}"
    value = dt.datetime.fromisoformat(text)
    if value.tzinfo is not None:
        value = value.astimezone(_UTC).replace(tzinfo=None)
    return value


def _json_list(value: list[Any]) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


_EPOCH = dt.datetime(1970, 1, 1)
_UTC_EPOCH = _EPOCH.replace(tzinfo=_UTC)


@native(3, _UTC_EPOCH, _EPOCH)
def _attach_utc(value: dt.datetime) -> dt.datetime:
    # The same instant as value.replace(tzinfo=UTC), at a seventh of its cost.
    return _UTC_EPOCH + (value - _EPOCH)


#: the driver form of a bound value, by field type (absent: the payload as it is)
_PARAMS: dict[str, Any] = {
    "float": _finite,
    # A Decimal is written as an exact numeric literal; MySQL compares a text
    # with a DECIMAL column as doubles.
    "decimal": decimal.Decimal,
    "datetime": _wall_time,
    "bytes": bytes,
    "vector": _json_list,
    "array_text": _json_list,
    "array_int": _json_list,
    "array_float": _json_list,
    "array_uuid": _json_list,
}
#: field types whose driver value is the Python value already
_NATIVE_RESULTS = {"int", "big_int", "float", "decimal", "text", "bytes", "date", "ts_vector"}

# -- errors --------------------------------------------------------------------

#: server and client error codes whose class does not follow from the driver's class
_BY_CODE: dict[int, type[DatabaseError]] = {
    **dict.fromkeys((1062, 1586, 1451, 1452, 1216, 1217, 1048, 1364, 3819, 4025), IntegrityError),
    **dict.fromkeys((1264, 1265, 1292, 1366, 1406, 1365, 1690, 1367, 3140), DataError),
    **dict.fromkeys((1146, 1054, 1064, 1142, 1143, 1149, 1050, 1051, 1060, 1061, 1091, 1049), ProgrammingError),
    **dict.fromkeys((2003, 2006, 2013, 2014, 2055, 1927, 4031, 1053, 1205, 1213, 1317, 3024, 1040),
                    OperationalError),
}
#: codes meaning the connection is gone (or out of step with the server)
_DISCONNECT = frozenset((2003, 2006, 2013, 2014, 2055, 1927, 4031, 1053))
_BY_CLASS: tuple[tuple[type[Exception], type[DatabaseError]], ...] = (
    (driver_errors.IntegrityError, IntegrityError),
    (driver_errors.DataError, DataError),
    (driver_errors.ProgrammingError, ProgrammingError),
    (driver_errors.NotSupportedError, NotSupportedError),
)


def _code(exc: Exception) -> int | None:
    code = exc.args[0] if exc.args else None
    return code if isinstance(code, int) and not isinstance(code, bool) else None


#: where the server's message names the constraint: a key (MySQL 8 qualifies it
#: with the table), a foreign key or a MariaDB check, a MySQL check
_CONSTRAINT = re.compile(r"for key '(?:[^'.]*\.)?([^']*)'|CONSTRAINT `((?:[^`]|``)*)`|constraint '([^']*)'")


def _constraint(text: str) -> str | None:
    match = _CONSTRAINT.search(text)
    if match is None:
        return None
    name = next(group for group in match.groups() if group is not None)
    return name.replace("``", "`")


def _message(exc: Exception) -> str:
    code = _code(exc)
    text = str(exc.args[1]) if code is not None and len(exc.args) > 1 else str(exc)
    return f"{text} (MySQL error {code})" if code else text or type(exc).__name__


# -- server warnings -----------------------------------------------------------

#: where the server's notes and warnings go; a library's logger has no handler of its own
log = logging.getLogger("sarnic.mysql")
log.addHandler(logging.NullHandler())
#: warning codes meaning a value was changed or lost (truncated, rounded, out of range, cut short)
_DATA_LOSS = frozenset((1260, 1262, 1263, 1264, 1265, 1292, 1300, 1301, 1366, 1406, 1918))
_LEVELS = {"Note": logging.INFO, "Warning": logging.WARNING, "Error": logging.ERROR}


def report_warnings(warnings: Sequence[Sequence[Any]]) -> None:
    """SHOW WARNINGS rows (level, code, message) as log records of
    "sarnic.mysql"; those that report lost data raise DataError. Strict mode
    makes most of them errors already; what is left (a decimal rounded to
    its column's scale, a text compared as a number) would pass unseen."""
    lost = []
    for level, code, message in warnings:
        if code in _DATA_LOSS:
            lost.append(f"{message} (MySQL warning {code})")
        else:
            log.log(_LEVELS.get(level, logging.WARNING), "%s (MySQL %s %s)", message, str(level).lower(), code)
    if lost:
        # Outside a transaction the statement has run: the error still says the data is not what was sent.
        raise DataError("the server changed or lost data: " + "; ".join(lost))


class _Cursor(Cursor):
    """The driver's cursor with its warnings reported as sarnic's, not
    printed by the driver's own logger."""

    async def _show_warnings(self, conn: Any) -> None:
        result = getattr(self, "_result", None)
        if result is not None and result.has_next:
            return
        rows = await conn.show_warnings()
        if rows:
            report_warnings(rows)


def _insert_dialect(server_version: str) -> str | None:
    version = server_version.removeprefix("5.5.5-")
    numbers = tuple(int(n) for n in re.findall(r"\d+", version.partition("-")[0])[:2])
    return "mariadb" if "mariadb" in version.lower() and numbers >= (10, 5) else None


def _collation(server_version: str) -> str:
    """A case-insensitive, accent-sensitive collation the server has."""
    # MariaDB before 11 reports itself behind a 5.5.5- prefix.
    version = server_version.removeprefix("5.5.5-")
    numbers = tuple(int(n) for n in re.findall(r"\d+", version.partition("-")[0])[:2])
    if "mariadb" in version.lower():
        return "utf8mb4_uca1400_as_ci" if numbers >= (10, 10) else "utf8mb4_unicode_ci"
    return "utf8mb4_0900_as_ci" if numbers >= (8, 0) else "utf8mb4_unicode_ci"


class MySQLConnection(Connection):
    def __init__(self, backend: MySQLBackend, raw: Any) -> None:
        self.backend = backend
        self.raw = raw
        self.in_transaction = False
        #: an unbuffered result is not read to its end
        self.unread = False
        #: the backend's count of lost connections when this one last answered
        self.checked = 0

    @property
    def usable(self) -> bool:
        return not (self.busy or self.broken or self.unread)

    @property
    def closed_by_server(self) -> bool:
        return bool(getattr(self.raw, "_stream_broken", False))

    async def ping(self) -> None:
        with self.operation(self.backend):
            await self.raw.ping(reconnect=False)

    async def fetch(self, sql: str, params: Sequence[Any]) -> Result:
        backend = self.backend
        text = backend.driver_sql(sql)
        rows = await self.call(backend, self._rows, text, tuple(params))
        # The reader checks the width; names would only repeat the projection.
        return Result((), rows)

    async def _rows(self, text: str, params: tuple[Any, ...]) -> Sequence[Any]:
        cursor = self.raw.cursor()
        await cursor.execute(text, params)
        rows: Sequence[Any] = await cursor.fetchall()
        await cursor.close()
        return rows

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        backend = self.backend
        text = backend.driver_sql(sql)
        with self.operation(backend):
            cursor = self.raw.cursor()
            # FOUND_ROWS: the rows matched, as on the other backends, not those changed.
            count: int = await cursor.execute(text, tuple(params))
            await cursor.close()
        return count

    async def execute_many(self, sql: str, rows: Sequence[Sequence[Any]]) -> None:
        backend = self.backend
        text = backend.driver_sql(sql)
        with self.operation(backend):
            cursor = self.raw.cursor()
            # The driver writes the rows as multi-row INSERTs, each under its packet size.
            await cursor.executemany(text, rows)
            await cursor.close()

    async def insert_key(self, sql: str, params: Sequence[Any]) -> Any:
        backend = self.backend
        text = backend.driver_sql(sql)
        with self.operation(backend):
            cursor = self.raw.cursor()
            await cursor.execute(text, tuple(params))
            key = cursor.lastrowid
            await cursor.close()
        return key

    async def stream(self, sql: str, params: Sequence[Any], batch: int) -> AsyncGenerator[Result, None]:
        """Rows from an unbuffered cursor: the server sends them as they are read.

        Inside a transaction the rows are read buffered, all at once: the
        loop may run statements on the transaction's connection between
        batches, and a connection cannot run a statement while an unbuffered
        result is still unread."""
        if self.in_transaction:
            rows = (await self.fetch(sql, params)).rows
            for start in range(0, len(rows), batch):
                yield Result((), rows[start: start + batch])
            return
        backend = self.backend
        text = backend.driver_sql(sql)
        with self.operation(backend):
            cursor = self.raw.cursor(SSCursor)
            await cursor.execute(text, tuple(params))
        # Until the last row is read the connection cannot run another
        # statement; a stream left early (or never closed by its reader) leaves
        # this set, and the pool closes the connection: reading the rest to the
        # end would cost more.
        self.unread = True
        while True:
            with self.operation(backend):
                rows = await cursor.fetchmany(batch)
            if not rows:
                with self.operation(backend):
                    await cursor.close()
                self.unread = False
                return
            yield Result((), rows)

    async def run(self, sql: str) -> None:
        with self.operation(self.backend):
            cursor = self.raw.cursor()
            await cursor.execute(sql)
            await cursor.close()

    async def begin(self) -> None:
        await self.run("BEGIN")
        self.in_transaction = True

    async def commit(self) -> None:
        self.in_transaction = False
        await self.run("COMMIT")

    async def rollback(self) -> None:
        self.in_transaction = False
        await self.run("ROLLBACK")


class MySQLBackend(Backend):
    dialect = "mysql"
    returns_rows = False

    def __init__(self, url: Url, *, min_size: int, max_size: int) -> None:
        super().__init__(url, min_size=min_size, max_size=max_size)
        self._connect_args = mysql_arguments(url)
        self._sql: dict[str, str] = {}
        self._pool: Pool[MySQLConnection] | None = None
        self._collation: str | None = None
        #: the dialect an insert that hands its row back compiles for: MariaDB
        #: 10.5 and later take INSERT ... RETURNING, one round trip
        self.insert_dialect: str | None = None
        #: whether the server is MariaDB, whose locking reads name no tables (no FOR UPDATE OF)
        self.mariadb = False
        #: connections found lost so far; a connection checked before the last loss is pinged
        self._losses = 0

    def driver_sql(self, sql: str) -> str:
        try:
            return self._sql[sql]
        except KeyError:
            pass
        if len(self._sql) >= _SQL_CACHE_SIZE:
            del self._sql[next(iter(self._sql))]
        text = self._sql[sql] = driver_sql(sql)
        return text

    async def _connect(self) -> MySQLConnection:
        args = self._connect_args
        where = args.get("unix_socket") or f"{args['host']}:{args['port']}"
        try:
            raw = await asyncmy.connect(
                **args,
                autocommit=True,
                client_flag=CLIENT.FOUND_ROWS,
                cursor_cls=_Cursor,
                init_command=_SESSION,
            )
        except driver_errors.Error as exc:
            raise OperationalError(f"cannot connect to MySQL at {where}: {_message(exc)}") from exc
        except OSError as exc:
            raise OperationalError(f"cannot connect to MySQL at {where}: {exc}") from exc
        task = asyncio.current_task()
        if task is not None and task.cancelling():
            # The driver connects under asyncio.wait_for, which on Python 3.11 drops a
            # cancellation arriving as the connection is made: the task must stop all the same.
            raw.close()
            raise asyncio.CancelledError
        if self._collation is None:
            self._collation = _collation(raw.get_server_info())
            self.insert_dialect = _insert_dialect(raw.get_server_info())
            self.mariadb = "mariadb" in raw.get_server_info().lower()
        conn = MySQLConnection(self, raw)
        conn.checked = self._losses
        return conn

    async def open(self) -> None:
        self._pool = Pool(self._connect, _close, min_size=self.min_size, max_size=self.max_size)
        await self._pool.open()
        if self._collation is None:
            # The collation follows the server version: read it now, not at the first create_tables.
            async with self._pool.acquire():
                pass

    async def close(self) -> None:
        if self._pool is not None:
            await self._pool.close()

    async def acquire(self) -> Connection:
        # A connection the server closed while idle (KILL, a timeout, a restart)
        # shows as a closed socket: skipped without a round trip. Once one
        # connection is found lost, the others idle since then may be too:
        # each is pinged before its next use. All of them may be gone at once,
        # so look past every pooled one before taking a new connection.
        pool = self._pool
        if pool is None:
            raise OperationalError("the database is not open")
        skipped = 0
        while True:
            conn = await pool.get()
            if skipped > self.max_size:
                return conn
            try:
                alive = await self._alive(conn)
            except BaseException:
                pool.put(conn)
                raise
            if alive:
                return conn
            conn.broken = True
            skipped += 1
            pool.put(conn)

    async def release(self, conn: Connection) -> None:
        assert isinstance(conn, MySQLConnection) and self._pool is not None
        if conn.broken:
            self._losses += 1
        self._pool.put(conn)

    async def _alive(self, conn: MySQLConnection) -> bool:
        if conn.closed_by_server:
            self._losses += 1
            return False
        if conn.checked < self._losses:
            try:
                await conn.ping()
            except OperationalError:
                return False
            conn.checked = self._losses
        return True

    def check_raw(self, sql: str, params: Sequence[Any]) -> None:
        # The driver formats values into the text: a count that does not
        # match is a TypeError of Python's string formatting.
        count = placeholders(sql)
        if count != len(params):
            raise ProgrammingError(f"the statement has {count} placeholder(s) and {len(params)} value(s) were given")

    def ddl_options(self) -> dict[str, Any]:
        return {} if self._collation is None else {"collation": self._collation}

    # -- errors --------------------------------------------------------------

    def translate(self, exc: Exception) -> DatabaseError | None:
        if isinstance(exc, driver_errors.Error):
            code = _code(exc)
            cls = _BY_CODE.get(code) if code is not None else None
            if cls is None:
                cls = next((ours for theirs, ours in _BY_CLASS if isinstance(exc, theirs)), OperationalError)
            if cls is IntegrityError:
                text = str(exc.args[1]) if len(exc.args) > 1 else str(exc)
                return IntegrityError(_message(exc), constraint=_constraint(text))
            return cls(_message(exc))
        if isinstance(exc, (OSError, asyncio.IncompleteReadError)):
            return OperationalError(f"lost connection to MySQL server: {exc}")
        return None

    def is_disconnect(self, exc: Exception) -> bool:
        if isinstance(exc, (driver_errors.InterfaceError, OSError, asyncio.IncompleteReadError)):
            return True
        code = _code(exc)
        if code is None:
            # The driver's own errors without a code: a packet out of sequence,
            # a connection it closed itself.
            return not isinstance(exc, (driver_errors.ProgrammingError, driver_errors.DataError,
                                        driver_errors.IntegrityError, driver_errors.NotSupportedError))
        return code in _DISCONNECT

    # -- values --------------------------------------------------------------

    def make_param_converter(self, field: Field[Any]) -> Converter:
        return _PARAMS.get(field.field_type)

    def make_result_converter(self, field: Field[Any]) -> Converter:
        kind = field.field_type
        if kind == "decimal" and getattr(field, "decimal_places", None) is None:
            # A column declared without a scale is DECIMAL(65,30): its padding is not the stored value's.
            return trimmed_decimal
        if kind in _NATIVE_RESULTS:
            return None
        if kind == "datetime":
            return _attach_utc if getattr(field, "timezone", False) else None
        if kind == "bool":
            return truth
        return plain_reader(field)

    def refuse(self, query: Query[Any]) -> NotSupportedError | None:
        from sarnic.query.select import Select

        if isinstance(query, Select) and query.vector is not None:
            # The core writes pgvector's <=>, which MySQL reads as NULL-safe equality.
            return NotSupportedError("nearest-neighbour ordering needs pgvector's distance operators: it runs on "
                                     "PostgreSQL only", feature="nearest-neighbour ordering (nearest())",
                                     engine="MariaDB" if self.mariadb else "MySQL")
        if isinstance(query, Select) and query.lock is not None and query.lock[2] and self.mariadb:
            return NotSupportedError("for_update(of=...) is not supported on MariaDB: its FOR UPDATE names no "
                                     "tables; leave of out to lock the rows of every table the select reads",
                                     feature="for_update(of=...)", engine="MariaDB")
        return None


async def _close(conn: MySQLConnection) -> None:
    raw = conn.raw
    if not conn.usable:
        # Mid-statement or gone: whatever the server sends next is of no use.
        raw.close()
        return
    try:
        await asyncio.wait_for(raw.ensure_closed(), 2)
    except (driver_errors.Error, OSError, asyncio.TimeoutError):
        raw.close()
