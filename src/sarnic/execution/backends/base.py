"""What the Database needs of a backend: a pool of connections that run
compiled statements, and the conversions between the core's bound values,
the driver's values and the fields' Python values.

One module per driver implements this; nothing outside `sarnic.execution.backends`
imports a driver.
"""

from __future__ import annotations

import abc
import asyncio
import functools
import uuid
from collections.abc import AsyncGenerator, Awaitable, Callable, Iterator, Sequence
from contextlib import AbstractAsyncContextManager, contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar
from urllib.parse import SplitResult, unquote

from sarnic.errors import DatabaseError, NotSupportedError, OperationalError

if TYPE_CHECKING:
    from sarnic.model.fields.base import Field

#: a converter from one value form to another; None where the value passes as it is
Converter = Callable[[Any], Any] | None
R = TypeVar("R")


def native(*form: Any) -> Callable[[Callable[[Any], Any]], Callable[[Any], Any]]:
    """Gives a converter the form in which the native row builder runs it
    without a call into Python (see its plan): `(1,)` truth, `(2,)` the
    converter only for naive datetimes, `(3, a, b)` a + (value - b), `(4,
    parse, suffix)` parse(text + suffix) for a str, the converter for
    anything else and where parse fails (so it must agree with parse), `(5,
    table)` table[value] where the dict holds the value, the converter for
    anything else (so it must agree with the table), `(6, cls, safe)` a
    UUID of class cls made from a text of 32 hex digits (bare or
    8-4-4-4-12) as uuid.UUID(text) makes it, the converter for anything else."""
    def mark(conv: Callable[[Any], Any]) -> Callable[[Any], Any]:
        conv.native = (*form, conv) if form[0] in (2, 4, 5, 6) else form  # type: ignore[attr-defined]
        return conv
    return mark


def plain_reader(field: Field[Any]) -> Converter:
    """The field's `from_plain`, in a form the native row builder runs
    without a call into Python where the field type has one: an enum's
    stored text looked up among its members, a UUID's text parsed. A field
    class that reads its values its own way keeps its own reading."""
    from sarnic.model.fields.scalars import UUID, Enum

    # Partials rather than bound methods: they take the marker.
    reading = type(field).from_plain
    if isinstance(field, Enum) and reading is Enum.from_plain:
        return native(5, field.members)(functools.partial(reading, field))
    if isinstance(field, UUID) and reading is UUID.from_plain and _UUID_BY_SLOTS:
        return native(6, uuid.UUID, uuid.SafeUUID.unknown)(functools.partial(reading, field))
    return field.from_plain


#: whether uuid.UUID keeps what its __init__ sets in the slots the native builder sets
_UUID_BY_SLOTS = {"int", "is_safe"} <= set(uuid.UUID.__slots__)


@native(1)
def truth(value: Any) -> bool:
    """Booleans stored as integers (MySQL's TINYINT, SQLite)."""
    return bool(value)


@dataclass
class Result:
    """The rows a statement returned, each a sequence in column order."""

    columns: Sequence[str]
    rows: Sequence[Sequence[Any]]


@dataclass
class Url:
    """A database URL, taken apart."""

    scheme: str
    host: str | None
    port: int | None
    user: str | None
    password: str | None
    database: str
    query: dict[str, str] = field(default_factory=dict)

    @classmethod
    def parse(cls, parts: SplitResult) -> Url:
        return cls(
            scheme=parts.scheme.lower(),
            host=unquote(parts.hostname) if parts.hostname else None,
            port=parts.port,
            user=unquote(parts.username) if parts.username else None,
            password=unquote(parts.password) if parts.password is not None else None,
            database=unquote(parts.path.lstrip("/")),
            query=parse_query(parts.query),
        )


def parse_query(text: str) -> dict[str, str]:
    """A URL's query string as names and values; a name given twice is an error
    (which one would win is not the reader's to guess)."""
    query: dict[str, str] = {}
    for part in text.split("&"):
        if not part:
            continue
        key, _, value = part.partition("=")
        key = unquote(key)
        if key in query:
            raise ValueError(f"the URL gives {key} twice")
        query[key] = unquote(value)
    return query


class Connection(abc.ABC):
    """One connection of a backend's pool.

    `busy` is set while an operation runs and cleared only when the driver
    answered, with a result or with an error: a connection left busy (the
    task was cancelled mid-statement) or `broken` (the server went away) is
    discarded by the pool, never handed out again."""

    busy: bool = False
    broken: bool = False

    @abc.abstractmethod
    async def fetch(self, sql: str, params: Sequence[Any]) -> Result:
        """Run a statement that returns rows and read all of them."""

    @abc.abstractmethod
    async def execute(self, sql: str, params: Sequence[Any]) -> int:
        """Run a statement; the number of rows it matched."""

    async def execute_many(self, sql: str, rows: Sequence[Sequence[Any]]) -> None:
        """Run one statement once per row of values (the driver pipelines or batches them)."""
        for params in rows:
            await self.execute(sql, params)

    async def insert_key(self, sql: str, params: Sequence[Any]) -> Any:
        """Run an insert on a backend without RETURNING; the key the database generated."""
        raise NotImplementedError

    @abc.abstractmethod
    def stream(self, sql: str, params: Sequence[Any], batch: int) -> AsyncGenerator[Result, None]:
        """The rows of a select in batches, read as they are consumed."""

    @abc.abstractmethod
    async def run(self, sql: str) -> None:
        """Run a statement of the layer's own (DDL, transaction control) without values."""

    async def begin(self) -> None:
        await self.run("BEGIN")

    async def commit(self) -> None:
        await self.run("COMMIT")

    async def rollback(self) -> None:
        await self.run("ROLLBACK")

    async def savepoint(self, name: str) -> None:
        await self.run(f"SAVEPOINT {name}")

    async def release(self, name: str) -> None:
        await self.run(f"RELEASE SAVEPOINT {name}")

    async def rollback_to(self, name: str) -> None:
        await self.run(f"ROLLBACK TO SAVEPOINT {name}")

    @property
    def usable(self) -> bool:
        return not (self.busy or self.broken)

    @contextmanager
    def operation(self, backend: Backend) -> Iterator[None]:
        """Around one driver call: marks the connection busy until the driver
        answers and turns the driver's errors into sarnic's."""
        self.busy = True
        try:
            yield
        except Exception as exc:
            failed = self.failure(backend, exc)
            if failed is exc:
                raise
            raise failed from exc
        self.busy = False

    async def call(self, backend: Backend, driver_call: Callable[..., Awaitable[R]], *args: Any) -> R:
        """`operation` for one awaited driver call: a coroutine costs less
        than a context manager on every statement's path."""
        self.busy = True
        try:
            result = await driver_call(*args)
        except Exception as exc:
            failed = self.failure(backend, exc)
            if failed is exc:
                raise
            raise failed from exc
        self.busy = False
        return result

    def failure(self, backend: Backend, exc: Exception) -> Exception:
        """What to raise, from `exc`, for an exception out of a driver call
        made with `busy` set: sarnic's error, or `exc` itself where it is one
        already or not the driver's. The connection stays busy, never
        reused, where the driver's state is unknown."""
        if isinstance(exc, DatabaseError):
            self.busy = False
            return exc
        mapped = backend.translate(exc)
        if mapped is None:
            return exc
        if backend.is_disconnect(exc):
            self.broken = True
        else:
            self.busy = False
        return mapped


class _Lease:
    """`async with backend.connection()`: a class, not a generator, since it
    sits on every statement's path."""

    __slots__ = ("backend", "conn")

    def __init__(self, backend: Backend) -> None:
        self.backend = backend

    async def __aenter__(self) -> Connection:
        self.conn = await self.backend.acquire()
        return self.conn

    async def __aexit__(self, *exc: object) -> None:
        await self.backend.release(self.conn)


async def interleaved(batches: AsyncGenerator[Result, None], lock: Any) -> AsyncGenerator[Result, None]:
    """A stream that holds `lock` only while it reads a batch, so that the
    code consuming it may run statements on the same connection in between."""
    try:
        while True:
            async with lock:
                try:
                    result = await anext(batches)
                except StopAsyncIteration:
                    return
            yield result
    finally:
        async with lock:
            await batches.aclose()


class Backend(abc.ABC):
    """A database behind one driver."""

    #: the dialect the core compiles for
    dialect: ClassVar[str]
    #: whether INSERT and UPDATE hand rows back (RETURNING)
    returns_rows: ClassVar[bool]
    #: the most bound values one statement may carry; bulk statements are split below it
    max_params: int = 32767
    #: the bytes of a column name the result reports (longer ones are cut); None: no limit
    name_limit: int | None = None

    def __init__(self, url: Url, *, min_size: int, max_size: int) -> None:
        self.url = url
        self.min_size = min_size
        self.max_size = max_size
        #: the dialect as far as text match goes: PostgreSQL under a C ctype,
        #: whose ILIKE folds ASCII only, reads "postgres-c"
        self.text_dialect = self.dialect
        self._params: dict[Field[Any], Converter] = {}
        self._results: dict[Field[Any], Converter] = {}
        #: driver_rows' converters, by column list
        self.row_converters: dict[tuple[Field[Any], ...], Callable[[Sequence[Any]], list[tuple[Any, ...]]]] = {}

    @abc.abstractmethod
    async def open(self) -> None: ...

    @abc.abstractmethod
    async def close(self) -> None: ...

    @abc.abstractmethod
    async def acquire(self) -> Connection:
        """A connection from the pool; give it back with `release`."""

    @abc.abstractmethod
    async def release(self, conn: Connection) -> None:
        """Back to the pool, or closed when it is left busy or broken. Must not
        lose the connection when a cancellation arrives meanwhile."""

    def connection(self) -> AbstractAsyncContextManager[Connection]:
        """A connection from the pool for the duration of the block."""
        return _Lease(self)

    def transaction_connection(self) -> AbstractAsyncContextManager[Connection]:
        """The connection a transaction holds from BEGIN to its end."""
        return self.connection()

    def stream_connection(self) -> AbstractAsyncContextManager[Connection]:
        """The connection a streaming select holds while its rows are read."""
        return self.connection()

    @abc.abstractmethod
    def translate(self, exc: Exception) -> DatabaseError | None:
        """sarnic's error for a driver error, or None for what is not the driver's."""

    @abc.abstractmethod
    def is_disconnect(self, exc: Exception) -> bool:
        """Whether the error means the connection is gone."""

    def ddl_options(self) -> dict[str, Any]:
        """Keyword arguments for the schema module (a collation, say)."""
        return {}

    async def schema_changed(self) -> None:
        """Called after create_tables and drop_tables: types the connections
        cached (a vector codec, say) may have appeared or gone."""

    # -- conversions, worked out once per field ------------------------------

    def search_text(self, operator: str, text: str) -> str:
        """A full-text filter's text as this engine's search takes it."""
        return text

    def param_converter(self, field: Field[Any]) -> Converter:
        """From the core's bound value (its plain payload) to the driver's value."""
        try:
            return self._params[field]
        except KeyError:
            conv = self._params[field] = self.make_param_converter(field)
            return conv

    def result_converter(self, field: Field[Any]) -> Converter:
        """From the driver's value (never None) to the field's Python value."""
        try:
            return self._results[field]
        except KeyError:
            conv = self._results[field] = self.make_result_converter(field)
            return conv

    @abc.abstractmethod
    def make_param_converter(self, field: Field[Any]) -> Converter: ...

    @abc.abstractmethod
    def make_result_converter(self, field: Field[Any]) -> Converter: ...

    def check_raw(self, sql: str, params: Sequence[Any]) -> None:
        """Raise ProgrammingError, before anything is sent, for the
        application's own SQL where the driver would fail it in a way that
        costs the connection (or with an error of its own)."""

    def refuse(self, query: Any) -> NotSupportedError | None:
        """Why this backend cannot run a statement of this query, if it cannot."""
        return None


def time_connections(backend: Backend, seconds: float) -> None:
    """Bound the wait for a connection (made or taken from a full pool) and
    the opening of the pool."""
    acquire, open_ = backend.acquire, backend.open

    def late() -> OperationalError:
        return OperationalError(f"no connection to the database within {seconds:g} s (the timeout option)")

    async def timed_acquire() -> Connection:
        try:
            async with asyncio.timeout(seconds):
                return await acquire()
        except TimeoutError:
            raise late() from None

    async def timed_open() -> None:
        try:
            async with asyncio.timeout(seconds):
                await open_()
        except TimeoutError:
            await backend.close()  # the connections made so far
            raise late() from None

    backend.acquire = timed_acquire  # type: ignore[method-assign]
    backend.open = timed_open  # type: ignore[method-assign]
