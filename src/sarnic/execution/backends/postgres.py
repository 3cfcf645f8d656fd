"""PostgreSQL through asyncpg (the `sarnic[postgres]` extra).

Sessions run in UTC, so that timestamps cast to text (and naive values read
by a timestamptz cast) do not depend on the server's zone. Values go to the
driver as its binary codecs take them; asyncpg returns most types as their
Python values already, so only JSON, vectors and enums are converted back;
UUIDs are read into uuid.UUID by a codec of each connection.

pgvector's `vector` gets a binary codec on every connection made while the
type exists. It stores float4: a vector comes back with each component
rounded to single precision.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import decimal
import json
import sys
import uuid
from array import array
from collections.abc import AsyncGenerator, Sequence
from typing import Any, NoReturn

try:
    import asyncpg  # type: ignore[import-untyped]
except ImportError:
    raise ImportError("PostgreSQL URLs need the asyncpg driver: pip install 'sarnic[postgres]'") from None

import msgspec

from sarnic.execution.backends.base import Backend, Connection, Converter, Result, Url, native, plain_reader
from sarnic.execution.backends.pool import Pool
from sarnic.execution.backends.url_options import postgres_arguments
from sarnic.errors import DatabaseError, DataError, IntegrityError, OperationalError, ProgrammingError
from sarnic.model.fields.base import Field
from sarnic.model.fields.times import DateTime

_UTC = dt.timezone.utc
#: the first two characters of a SQLSTATE, and the error they make
_BY_CLASS: dict[str, type[DatabaseError]] = {
    "23": IntegrityError,
    "22": DataError,
    "42": ProgrammingError,
    "21": ProgrammingError,  # cardinality: a subquery gave more than one row
    "0A": ProgrammingError,  # a feature the server does not have
    "08": OperationalError,
    "25": OperationalError,  # the transaction is aborted or in the wrong state
    "28": OperationalError,
    "3D": OperationalError,  # no such database
    "40": OperationalError,
    "53": OperationalError,
    "54": OperationalError,
    "55": OperationalError,
    "57": OperationalError,
    "58": OperationalError,
    "XX": OperationalError,
}
#: the server ends the session after these
_FATAL_STATES = frozenset(("57P01", "57P02", "57P03"))
#: how long a release waits for the server to take a cancellation
_CANCEL_SECONDS = 5.0
#: how long a healthy connection may take to say goodbye before it is cut
_CLOSE_SECONDS = 2.0


class _UtcWall(dt.datetime):
    """A naive datetime that asyncpg reads as UTC where a timestamptz is
    expected (a bulk update casts every datetime so), instead of as the
    client machine's local time; the session, in UTC, turns it back into
    the same wall-clock time for a timestamp column."""

    __slots__ = ()

    def astimezone(self, tz: dt.tzinfo | None = None) -> Any:
        return dt.datetime.astimezone(self.replace(tzinfo=_UTC), tz)


_json_decoder = msgspec.json.Decoder()


def _json_value(text: str) -> Any:
    try:
        return _json_decoder.decode(text)
    except msgspec.DecodeError:
        # Numbers beyond a double (jsonb keeps them exact): the stdlib reads them.
        return json.loads(text)


_SWAP = sys.byteorder == "little"


def _vector_encode(values: Sequence[float]) -> bytes:
    items = array("f", values)
    if _SWAP:
        items.byteswap()
    return len(items).to_bytes(2, "big") + b"\0\0" + items.tobytes()


def _vector_decode(data: bytes) -> list[float]:
    items = array("f")
    items.frombytes(memoryview(data)[4:])
    if _SWAP:
        items.byteswap()
    return items.tolist()


# asyncpg reads uuid into a class of its own, a subclass of uuid.UUID; a
# codec of the connection reads it into uuid.UUID itself. Made as
# uuid.UUID.__init__ leaves it, without the checks bytes of the wire need not pass.
_new = object.__new__
_set_int = uuid.UUID.int.__set__  # type: ignore[attr-defined,misc]
_set_safe = uuid.UUID.is_safe.__set__  # type: ignore[attr-defined,misc]
_SAFE_UNKNOWN = uuid.SafeUUID.unknown
_from_bytes = int.from_bytes


def _uuid_decode(data: bytes) -> uuid.UUID:
    value = _new(uuid.UUID)
    _set_int(value, _from_bytes(data))
    _set_safe(value, _SAFE_UNKNOWN)
    return value


def _uuid_encode(value: Any) -> bytes:
    if isinstance(value, uuid.UUID):
        return value.bytes
    if type(value) is str and len(value) == 36:
        # The core binds a UUID as its canonical text.
        data = bytes.fromhex(value.replace("-", ""))
        if len(data) == 16:
            return data
    return uuid.UUID(value).bytes


def _vector_value(value: Any) -> Any:
    # A text form comes from a connection made before the extension existed.
    return value if type(value) is list else [float(v) for v in json.loads(value)]


#: the driver form of a bound value, by field type (absent: the payload as it is).
#: UUIDs stay texts: asyncpg's uuid codec takes them, and so does a text cast.
_PARAMS: dict[str, Any] = {
    "decimal": decimal.Decimal,
    "date": dt.date.fromisoformat,
    "time": dt.time.fromisoformat,
    "bytes": bytes,
}
#: the Python value of a fetched one, by field type (absent: asyncpg's value is it)
_RESULTS: dict[str, Any] = {
    "json": _json_value,
    "vector": _vector_value,
}


@native(2)
def _aware(value: dt.datetime) -> dt.datetime:
    # asyncpg writes datetime.max and min as 'infinity' and reads those back naive.
    return value if value.tzinfo is not None else value.replace(tzinfo=_UTC)


def _is_argument_count(exc: Exception) -> bool:
    # The application's own SQL given too many or too few values: refused
    # before the statement is bound, the connection is in order.
    return str(exc).startswith("the server expects ")


def _status_count(status: str) -> int:
    # "UPDATE 3", "INSERT 0 5", "DELETE 0"; a statement without a count says none.
    last = status.rpartition(" ")[2]
    return int(last) if last.isdigit() else 0


class PostgresConnection(Connection):
    def __init__(self, backend: PostgresBackend, raw: Any) -> None:
        self.backend = backend
        self.raw = raw
        #: the backend's schema generation when this connection was made (its codecs follow it)
        self.generation = backend.generation
        #: streams started here and not yet finished, closed before the connection goes back
        self.streams: list[AsyncGenerator[Result, None]] = []
        self.open_streams = 0

    async def fetch(self, sql: str, params: Sequence[Any]) -> Result:
        records = await self.call(self.backend, self.raw.fetch, sql, *params)
        # The reader checks the width; names would only repeat the projection.
        return Result((), records)

    async def execute_many(self, sql: str, rows: Sequence[Sequence[Any]]) -> None:
        with self.operation(self.backend):
            await self.raw.executemany(sql, rows)

    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        status = await self.call(self.backend, self.raw.execute, sql, *params)
        return _status_count(status)

    def stream(self, sql: str, params: Sequence[Any], batch: int) -> AsyncGenerator[Result, None]:
        rows = self._stream(sql, params, batch)
        self.streams = [s for s in self.streams if getattr(s, "ag_frame", None) is not None]
        self.streams.append(rows)
        return rows

    async def _stream(self, sql: str, params: Sequence[Any], batch: int) -> AsyncGenerator[Result, None]:
        # asyncpg's cursors live in a transaction: outside the caller's, one of their own.
        own = not self.raw.is_in_transaction()
        self.open_streams += 1
        try:
            if own:
                await self.run("BEGIN")
            with self.operation(self.backend):
                cursor = await self.raw.cursor(sql, *params)
            columns: Sequence[str] = ()
            while True:
                with self.operation(self.backend):
                    rows = await cursor.fetch(batch)
                if not rows:
                    return
                if not columns:
                    columns = list(rows[0].keys())
                yield Result(columns, rows)
        finally:
            # A connection left busy is dropped, its transaction with it.
            self.open_streams -= 1
            if own and self.usable:
                await self.run("ROLLBACK")

    async def run(self, sql: str) -> None:
        with self.operation(self.backend):
            await self.raw.execute(sql)


class PostgresBackend(Backend):
    dialect = "postgres"
    name_limit = 63  # longer column aliases come back cut to 63 bytes
    returns_rows = True
    max_params = 32767  # the protocol counts parameters in 16 bits

    def __init__(self, url: Url, *, min_size: int, max_size: int) -> None:
        super().__init__(url, min_size=min_size, max_size=max_size)
        # sarnic's own pool over bare connections: asyncpg's costs several
        # times more per lease, and a release that found nothing to do needs
        # no round trip (the layer changes no session state).
        self._pool: Pool[PostgresConnection] | None = None
        self._connect_args = postgres_arguments(url)
        #: raised when the schema changes: older connections are replaced as they come back
        self.generation = 0

    def _where(self) -> str:
        url = self.url
        return f"{url.host or 'localhost'}:{url.port or 5432}/{url.database}"

    async def _connect(self) -> PostgresConnection:
        try:
            raw = await asyncpg.connect(**self._connect_args)
        except Exception as exc:
            self._raise_connect_error(exc)
        try:
            await _add_codecs(raw)
        except BaseException as exc:
            raw.terminate()
            if isinstance(exc, Exception):
                self._raise_connect_error(exc)
            raise
        return PostgresConnection(self, raw)

    async def open(self) -> None:
        self._pool = Pool(self._connect, _close, min_size=self.min_size, max_size=self.max_size)
        await self._pool.open()
        async with self._pool.acquire() as conn:
            ctype = str(await conn.raw.fetchval("SHOW lc_ctype"))
        # ILIKE and lower() fold by the database's ctype: under C or POSIX only
        # ASCII letters, so icontains is written in the statement IR's form.
        if ctype.upper() in ("C", "POSIX"):
            self.text_dialect = "postgres-c"

    def _raise_connect_error(self, exc: Exception) -> NoReturn:
        mapped = self.translate(exc)
        if mapped is None:
            raise exc
        raise OperationalError(f"cannot connect to PostgreSQL at {self._where()}: {mapped}") from exc

    async def close(self) -> None:
        if self._pool is not None:
            await self._pool.close()

    async def acquire(self) -> Connection:
        pool = self._pool
        if pool is None:
            raise OperationalError("the database is closed")
        try:
            conn = await pool.get()
        except RuntimeError as exc:
            raise OperationalError(str(exc)) from None
        # Closed by the server while idle (asyncpg saw the socket end): skipped
        # without a round trip. One the schema left behind is replaced.
        while conn.raw.is_closed() or conn.generation != self.generation:
            pool.discard(conn)
            try:
                conn = await pool.get()
            except RuntimeError as exc:
                raise OperationalError(str(exc)) from None
        return conn

    async def release(self, conn: Connection) -> None:
        assert isinstance(conn, PostgresConnection) and self._pool is not None
        try:
            idle = conn.usable and not conn.open_streams and not conn.raw.is_in_transaction()
        except asyncpg.InterfaceError:  # closed under us
            conn.broken, idle = True, False
        if idle and conn.generation == self.generation:
            self._pool.put(conn)  # synchronous: a cancellation arriving now cannot lose it
        else:
            await asyncio.shield(self._settle(self._pool, conn))

    async def _settle(self, pool: Pool[PostgresConnection], conn: PostgresConnection) -> None:
        """A connection given back with work left on it: its streams ended and
        its transaction rolled back before another task may have it, or it is
        closed."""
        raw = conn.raw
        try:
            # A stream its reader left behind ends here, before another task gets the connection.
            for rows in conn.streams:
                await rows.aclose()
            if conn.usable and raw.is_in_transaction():
                await conn.run("ROLLBACK")
        except Exception:
            # Not trusted again: a stream still running in another task, a failed rollback.
            conn.broken = True
        if conn.generation != self.generation:
            pool.discard(conn)
        else:
            pool.put(conn)

    async def schema_changed(self) -> None:
        # Connections made before CREATE EXTENSION vector know no codec for it:
        # the idle ones are closed now, those in use as they come back.
        self.generation += 1
        if self._pool is not None:
            self._pool.discard_idle()

    # -- errors --------------------------------------------------------------

    def translate(self, exc: Exception) -> DatabaseError | None:
        if isinstance(exc, asyncpg.PostgresError):
            state = exc.sqlstate or ""
            cls = _BY_CLASS.get(state[:2], DatabaseError)
            if isinstance(exc, asyncpg.InvalidCachedStatementError):
                cls = OperationalError
            text = str(exc)
            detail = getattr(exc, "detail", None)
            message = f"{text}\nDETAIL: {detail}" if detail else text
            if cls is IntegrityError:
                return IntegrityError(message, constraint=getattr(exc, "constraint_name", None))
            return cls(message)
        if isinstance(exc, asyncpg.InterfaceError) and _is_argument_count(exc):
            return ProgrammingError(str(exc))
        if isinstance(exc, (asyncpg.InterfaceError, asyncpg.InternalClientError, OSError, TimeoutError)):
            return OperationalError(str(exc) or type(exc).__name__)
        return None

    def is_disconnect(self, exc: Exception) -> bool:
        if isinstance(exc, asyncpg.PostgresError):
            state = exc.sqlstate or ""
            # A changed plan stays in the connection's statement cache: a new connection has none.
            return (state.startswith("08") or state in _FATAL_STATES
                    or isinstance(exc, asyncpg.InvalidCachedStatementError))
        if isinstance(exc, asyncpg.InterfaceError) and _is_argument_count(exc):
            return False
        return isinstance(exc, (asyncpg.InterfaceError, asyncpg.InternalClientError, OSError, TimeoutError))

    # -- values --------------------------------------------------------------

    def make_param_converter(self, field: Field[Any]) -> Converter:
        if isinstance(field, DateTime):
            return dt.datetime.fromisoformat if field.timezone else _UtcWall.fromisoformat
        return _PARAMS.get(field.field_type)

    def make_result_converter(self, field: Field[Any]) -> Converter:
        if field.field_type == "enum":
            return plain_reader(field)
        if isinstance(field, DateTime) and field.timezone:
            return _aware
        return _RESULTS.get(field.field_type)


async def _close(conn: PostgresConnection) -> None:
    raw = conn.raw
    if raw.is_closed():
        return
    if conn.usable:
        try:
            await raw.close(timeout=_CLOSE_SECONDS)
        except Exception:
            raw.terminate()
        return
    try:
        # Cancelled or timed out mid-statement: asyncpg has asked the server
        # to cancel it, and its next operation waits for that. Terminating at
        # once would drop the request and leave the server running the
        # statement (waiting on a lock, say) for no one.
        await asyncio.wait_for(raw.execute("ROLLBACK"), _CANCEL_SECONDS)
    except Exception:
        pass  # closed below all the same
    try:
        raw.terminate()  # never handed out again
    except asyncpg.InterfaceError:
        pass  # closed by the server meanwhile


async def _add_codecs(raw: Any) -> None:
    await raw.set_type_codec("uuid", schema="pg_catalog", encoder=_uuid_encode, decoder=_uuid_decode,
                             format="binary")
    schema = await raw.fetchval(
        "SELECT n.nspname FROM pg_type t JOIN pg_namespace n ON n.oid = t.typnamespace "
        "WHERE t.oid = to_regtype('vector')")
    if schema is not None:
        await raw.set_type_codec("vector", schema=schema, encoder=_vector_encode, decoder=_vector_decode,
                                 format="binary")
