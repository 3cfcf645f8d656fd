"""The ORM on a real MariaDB: values of every type there and back, inserts
that hand back their row, errors, transactions, streaming, and a pool under
concurrency, cancellation and killed connections."""

from __future__ import annotations

import asyncio
import datetime as dt
import decimal
import enum
import tracemalloc
import uuid
from collections.abc import Awaitable, Callable, Iterator
from contextlib import aclosing
from typing import Any

import pytest

import sarnic
from sarnic import Model, fields
from sarnic.fields import Field

from .cancellation import cancel_beginnings_then_count
from .drivers import MARIADB_ADDR
from .servers import require_server

asyncmy = pytest.importorskip("asyncmy")
HOST, PORT = MARIADB_ADDR


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text(max_length=20)
    email = fields.Text(null=True, unique=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author, null=True)
    author_id: fields.Int[int | None]
    title = fields.Text()
    views = fields.Int(default=0)

    class Meta:
        table = "posts"


class Color(enum.Enum):
    RED = "red"
    GREEN = "grün"


class Level(enum.Enum):
    LOW = 1
    HIGH = 3


class Everything(Model):
    id = fields.Int(primary_key=True)
    big = fields.BigInt()
    ratio = fields.Float()
    amount = fields.Decimal(max_digits=40, decimal_places=20)
    text = fields.Text(max_length=200)
    flag = fields.Bool()
    at = fields.DateTime()
    wall = fields.DateTime(timezone=False)
    day = fields.Date()
    clock = fields.Time()
    uid = fields.UUID()
    doc = fields.JSON()
    blob = fields.Bytes()
    vec = fields.Vector(3)
    texts = fields.TextArray()
    ints = fields.IntArray()
    floats = fields.FloatArray()
    uids = fields.UUIDArray()
    color = fields.Enum(Color)
    level = fields.Enum(Level)
    note = fields.Text(null=True)


class Missing(Model):
    id = fields.Int(primary_key=True)

    class Meta:
        table = "no_such_table"


# The columns as the schema module declares them for MySQL.
_TYPES = {"int": "INT", "big_int": "BIGINT", "float": "DOUBLE", "bool": "BOOLEAN", "datetime": "DATETIME(6)",
          "date": "DATE", "time": "TIME(6)", "uuid": "CHAR(36) CHARACTER SET ascii", "json": "JSON",
          "bytes": "LONGBLOB", "vector": "JSON", "array_text": "JSON", "array_int": "JSON", "array_float": "JSON",
          "array_uuid": "JSON", "decimal": "DECIMAL(40,20)", "enum": "VARCHAR(10)"}


def _column(f: Field[Any]) -> str:
    if f.field_type == "text":
        kind = f"VARCHAR({getattr(f, 'max_length', None) or 255})"
    else:
        kind = _TYPES[f.field_type]
    auto = " AUTO_INCREMENT PRIMARY KEY" if f.auto_key else ""
    return f"`{f.column}` {kind}{'' if f.null else ' NOT NULL'}{auto}"


def _table(model: type[Model], collation: str) -> str:
    cols = [_column(f) for f in model.__fields__]
    cols += [f"UNIQUE (`{f.column}`)" for f in model.__fields__ if f.unique]
    cols += [f"FOREIGN KEY (`{r.key.column}`) REFERENCES `{r.target.__table__}` (`{r.target.__pk__[0].column}`)"
             for r in model.__relations__.values()]
    return f"CREATE TABLE `{model.__table__}` ({', '.join(cols)}) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE={collation}"


async def _admin(*statements: str, database: str | None = None) -> list[Any]:
    conn = await asyncmy.connect(host=HOST, port=PORT, user="root", database=database, autocommit=True)
    try:
        out: list[Any] = []
        async with conn.cursor() as cur:
            for sql in statements:
                await cur.execute(sql)
                out.append(await cur.fetchall())
        return out
    finally:
        conn.close()


@pytest.fixture(scope="module")
def database() -> Iterator[str]:
    require_server("mariadb")
    name = f"sarnic_t_{uuid.uuid4().hex[:12]}"
    asyncio.run(_setup(name))
    try:
        yield name
    finally:
        asyncio.run(_admin(f"DROP DATABASE `{name}`"))


async def _setup(name: str) -> None:
    await _admin(f"CREATE DATABASE `{name}`")
    async with sarnic.connect(f"mariadb://root@{HOST}:{PORT}/{name}", min_size=0) as db:
        # MariaDB 10.10 and later: the case-insensitive, accent-sensitive UCA 14 collation.
        options = db._backend.ddl_options()
        assert options == {"collation": "utf8mb4_uca1400_as_ci"}, options
    await _admin(*(_table(m, options["collation"]) for m in (Author, Post, Everything)), database=name)


@pytest.fixture
def run(database: str) -> Callable[..., Any]:
    """Runs `test(db)` on a fresh database connection, the tables emptied first."""

    def runner(test: Callable[[sarnic.Database], Awaitable[Any]], **pool: int) -> Any:
        async def main() -> Any:
            await _admin("SET FOREIGN_KEY_CHECKS = 0", "TRUNCATE posts", "TRUNCATE authors", "TRUNCATE everything",
                         database=database)
            async with sarnic.connect(f"mariadb://root@{HOST}:{PORT}/{database}", **pool) as db:
                return await test(db)

        return asyncio.run(main())

    return runner


def _backend_ids(database: str) -> str:
    return (f"SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '{database}' "
            "AND ID <> CONNECTION_ID()")


# -- values ----------------------------------------------------------------------

ROW: dict[str, Any] = dict(
    big=2**62 + 1, ratio=0.1, amount=decimal.Decimal("12345678901234567890.12345678901234567891"),
    text="50% ?'\"`\\ ünï 😀", flag=True,
    at=dt.datetime(2024, 5, 1, 12, 0, 0, 123456, tzinfo=dt.timezone(dt.timedelta(hours=2))),
    wall=dt.datetime(2024, 5, 1, 12, 0, 0, 5), day=dt.date(2024, 2, 29), clock=dt.time(23, 59, 59, 999999),
    uid=uuid.UUID("12345678-1234-5678-1234-567812345678"), doc={"a": [1, 2.5, {"b": None}], "é": "x"},
    blob=bytes(range(256)), vec=[1.0, 2.5, -3.0], texts=["a", "b'"], ints=[1, 2**60], floats=[0.5],
    uids=[uuid.UUID(int=7)], color=Color.GREEN, level=Level.HIGH, note=None,
)
#: the fields a WHERE can compare, each must find the row by its own value
COMPARED = ["big", "ratio", "amount", "text", "flag", "at", "wall", "day", "clock", "uid", "blob", "color", "level"]


def test_values_round_trip(run: Any) -> None:
    async def test(db: sarnic.Database) -> None:
        stored = await db.fetch_one(Everything.insert(**ROW))
        (fetched,) = await db.fetch(Everything.select())
        for got in (stored, fetched):
            for name, value in ROW.items():
                assert (getattr(got, name), type(getattr(got, name))) == (value, type(value)), name
        assert stored.at.tzinfo is dt.timezone.utc and stored.wall.tzinfo is None
        for name in COMPARED:
            f = getattr(Everything, name)
            assert await db.count(Everything.select().where(f == ROW[name])) == 1, name
        # Exact decimals: one unit in the last place apart is another value.
        near = ROW["amount"] + decimal.Decimal("1e-20")
        assert await db.count(Everything.select().where(Everything.amount == near)) == 0
        # Case-insensitive, accent-sensitive text.
        assert await db.count(Everything.select().where(Everything.text == ROW["text"].upper())) == 1
        assert await db.count(Everything.select().where(Everything.text == ROW["text"].replace("ü", "u"))) == 0

    run(test)


def test_non_finite_floats_are_refused(run: Any) -> None:
    async def test(db: sarnic.Database) -> None:
        for bad in (float("nan"), float("inf")):
            with pytest.raises(sarnic.DataError, match="NaN or infinite"):
                await db.execute(Everything.update(ratio=bad).where(Everything.id == 1))

    run(test)


# -- writes that hand rows back ----------------------------------------------------

def test_insert_hands_back_the_stored_row(run: Any) -> None:
    async def test(db: sarnic.Database) -> None:
        first = await db.fetch_one(Author.insert(name="Ann"))
        second = await db.fetch_one(Author.insert(name="Bob", email="b@x"))
        given = await db.fetch_one(Author.insert(id=40, name="Cy"))
        after = await db.fetch_one(Author.insert(name="Di"))
        assert [(a.id, a.name, a.email) for a in (first, second, given, after)] == [
            (1, "Ann", None), (2, "Bob", "b@x"), (40, "Cy", None), (41, "Di", None)]
        post = await db.fetch_one(Post.insert(title="t", author_id=first.id))
        assert (post.id, post.views, post.author_id) == (1, 0, 1)
        # An update matched but left unchanged still counts (FOUND_ROWS).
        assert await db.execute(Post.update(views=0).where(Post.id == post.id)) == 1
        with pytest.raises(sarnic.NotSupportedError, match="no rows back from update"):
            await db.fetch(Post.update(views=1).where(Post.id == post.id))
        assert (await db.fetch(Post.select()))[0].views == 0

    run(test)


def test_an_insert_hands_its_row_back_in_one_statement(run: Any, caplog: pytest.LogCaptureFixture) -> None:
    async def test(db: sarnic.Database) -> None:
        with caplog.at_level("DEBUG", logger="sarnic.sql"):
            caplog.clear()
            author = await db.fetch_one(Author.insert(name="Once", email="o@x"))
            sent = [r.sql for r in caplog.records if r.name == "sarnic.sql"]
        assert (author.name, author.email) == ("Once", "o@x") and author.id > 0
        assert len(sent) == 1 and "RETURNING" in sent[0]

    run(test)


def test_nearest_ordering_is_refused(run: Any) -> None:
    class Doc(Model):
        id = fields.Int(primary_key=True)
        vec = fields.Vector(2)

    async def test(db: sarnic.Database) -> None:
        # Refused before anything is sent: the table does not even exist.
        with pytest.raises(sarnic.NotSupportedError, match="PostgreSQL only"):
            await db.fetch(Doc.select().nearest(Doc.vec, [1.0, 0.0]))

    run(test)


# -- errors ------------------------------------------------------------------------

ERRORS: list[tuple[str, Callable[[], Any], type[sarnic.DatabaseError], int]] = [
    ("duplicate key", lambda: Author.insert(id=1, name="again"), sarnic.IntegrityError, 1062),
    ("duplicate unique", lambda: Author.insert(name="x", email="a@x"), sarnic.IntegrityError, 1062),
    ("missing parent", lambda: Post.insert(title="t", author_id=99), sarnic.IntegrityError, 1452),
    ("referenced row", lambda: Author.delete().where(Author.id == 1), sarnic.IntegrityError, 1451),
    ("too long", lambda: Author.insert(name="x", email="x" * 256), sarnic.DataError, 1406),  # VARCHAR(255)
    ("missing table", lambda: Missing.insert(id=1), sarnic.ProgrammingError, 1146),
]


@pytest.mark.parametrize(("query", "error", "code"), [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_errors(run: Any, query: Callable[[], Any], error: type[Exception], code: int) -> None:
    async def test(db: sarnic.Database) -> None:
        await db.execute(Author.insert(id=1, name="Ann", email="a@x"))
        await db.execute(Post.insert(title="t", author_id=1))
        with pytest.raises(error) as info:
            await db.execute(query())
        cause = info.value.__cause__
        assert isinstance(cause, asyncmy.errors.Error) and cause.args[0] == code
        assert f"MySQL error {code}" in str(info.value)
        # The connection that saw the error serves the next statement.
        assert await db.count(Author.select()) == 1

    run(test, max_size=1)


def test_a_cancel_the_driver_drops_while_connecting_still_stops_the_task(run: Any, monkeypatch: Any) -> None:
    # As asyncio.wait_for does on Python 3.11 when the cancel meets the connection being made.
    real = asyncmy.connect
    connecting = asyncio.Event()

    async def dropping(**options: Any) -> Any:
        raw = await real(**options)
        connecting.set()
        try:
            await asyncio.sleep(5)
        except asyncio.CancelledError:
            pass
        return raw

    async def test(db: sarnic.Database) -> None:
        held = await db._backend.acquire()  # the idle one: the insert makes a connection
        monkeypatch.setattr(asyncmy, "connect", dropping)
        task = asyncio.create_task(db.execute(Author.insert(id=1, name="Ann")))
        await asyncio.wait_for(connecting.wait(), 10)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        monkeypatch.setattr(asyncmy, "connect", real)
        await db._backend.release(held)
        assert await db.count(Author.select()) == 0

    run(test, min_size=0)


# -- server warnings ---------------------------------------------------------------

WARNINGS: list[tuple[str, str, list[Any] | None, str | None]] = [
    # (statement, values, a DataError's text or None, the log record's text or None)
    ("a note", "DROP TABLE IF EXISTS no_such_table", None, "Unknown table"),
    ("rounded decimal", "INSERT INTO rounding (d) VALUES (1.23456)", "Data truncated for column 'd'", None),
    ("text read as a number", "SELECT CAST(? AS SIGNED)", "Truncated incorrect INTEGER value", None),
]


@pytest.mark.parametrize(("sql", "error", "record"), [w[1:] for w in WARNINGS], ids=[w[0] for w in WARNINGS])
def test_server_warnings_are_sarnics(run: Any, capfd: pytest.CaptureFixture[str], caplog: pytest.LogCaptureFixture,
                                     sql: str, error: str | None, record: str | None) -> None:
    # The driver would print them to stderr through its own logger.
    async def test(db: sarnic.Database) -> None:
        async with db._connection() as conn:
            await conn.run("CREATE TEMPORARY TABLE rounding (d DECIMAL(5,2))")
            if error is None:
                await conn.fetch(sql, ["abc"] if "?" in sql else [])
            else:
                with pytest.raises(sarnic.DataError, match=error):
                    await conn.fetch(sql, ["abc"] if "?" in sql else [])
            # The connection serves the next statement.
            assert (await conn.fetch("SELECT 1", [])).rows == ((1,),)

    with caplog.at_level("INFO", logger="sarnic.mysql"):
        run(test, max_size=1)
    messages = [r.getMessage() for r in caplog.records if r.name == "sarnic.mysql"]
    assert [m for m in messages if record and record in m] if record else not messages
    assert not any(r.name.startswith("asyncmy") for r in caplog.records)
    assert capfd.readouterr().err == ""


# -- transactions ------------------------------------------------------------------

def test_exception_in_transaction_leaves_no_rows(run: Any) -> None:
    async def test(db: sarnic.Database) -> None:
        with pytest.raises(RuntimeError):
            async with db.transaction():
                await db.execute(Author.insert(name="Ann"))
                async with db.transaction():
                    await db.execute(Author.insert(name="Bob"))
                raise RuntimeError("undo")
        assert await db.count(Author.select()) == 0
        async with db.transaction():
            await db.execute(Author.insert(id=10, name="Cy"))
            with pytest.raises(sarnic.IntegrityError):
                async with db.transaction():
                    await db.execute(Author.insert(id=11, name="Di"))
                    await db.execute(Author.insert(id=10, name="dup"))
        assert [a.name for a in await db.fetch(Author.select())] == ["Cy"]

    run(test)


def test_iterate_in_a_transaction_runs_statements_between_rows(run: Any) -> None:
    async def test(db: sarnic.Database) -> None:
        for i in range(5):
            await db.execute(Post.insert(title=f"p{i}"))
        async with db.transaction():
            async for post in db.iterate(Post.select().order_by(Post.id), batch=2):
                await db.execute(Post.update(views=post.id * 10).where(Post.id == post.id))
        assert [p.views for p in await db.fetch(Post.select().order_by(Post.id))] == [10, 20, 30, 40, 50]

    run(test, max_size=1)


# -- streaming -----------------------------------------------------------------------

def test_iterate_keeps_memory_flat(run: Any, database: str) -> None:
    n = 100_000

    async def test(db: sarnic.Database) -> None:
        await _admin("INSERT INTO posts (title, views) SELECT CONCAT('post ', seq), seq "
                     f"FROM seq_1_to_{n}", database=database)
        total = seen = 0
        tracemalloc.start()
        try:
            async for post in db.iterate(Post.select().order_by(Post.id), batch=500):
                total += post.views
                seen += 1
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert (seen, total) == (n, n * (n + 1) // 2)
        # All rows as instances take tens of megabytes; a batch at a time, about one.
        assert peak < 8_000_000, peak
        # Left early, with rows unread: the connection is closed, the pool serves on.
        async for post in db.iterate(Post.select(), batch=100):
            break
        async with aclosing(db.iterate(Post.select(), batch=100)) as rows:
            async for post in rows:
                break
        assert await db.count(Post.select()) == n

    run(test, max_size=1)


# -- the pool ------------------------------------------------------------------------

def test_concurrent_tasks_on_one_pool(run: Any) -> None:
    async def task(db: sarnic.Database, i: int) -> tuple[int, str, int]:
        author = await db.fetch_one(Author.insert(name=f"a{i}"))
        if i % 3 == 0:
            async with db.transaction():
                await db.execute(Post.insert(title=f"p{i}", author_id=author.id))
        (got,) = await db.fetch(Author.select().where(Author.id == author.id))
        return i, got.name, await db.count(Post.select().where(Post.author_id == author.id))

    async def test(db: sarnic.Database) -> None:
        results = await asyncio.gather(*(task(db, i) for i in range(100)))
        assert results == [(i, f"a{i}", int(i % 3 == 0)) for i in range(100)]
        assert await db.count(Author.select()) == 100

    run(test, max_size=10)


def test_cancelled_query_leaves_the_pool_usable(run: Any, database: str) -> None:
    async def test(db: sarnic.Database) -> None:
        await db.execute(Author.insert(name="Ann"))
        locker = await asyncmy.connect(host=HOST, port=PORT, user="root", database=database, autocommit=True)
        try:
            async with locker.cursor() as cur:
                await cur.execute("LOCK TABLES authors WRITE")
            blocked = [asyncio.create_task(db.fetch(Author.select())) for _ in range(2)]
            await asyncio.sleep(0.3)
            assert not any(t.done() for t in blocked)
            for t in blocked:
                t.cancel()
            for t in blocked:
                with pytest.raises(asyncio.CancelledError):
                    await t
            async with locker.cursor() as cur:
                await cur.execute("UNLOCK TABLES")
        finally:
            locker.close()
        # Both slots came back: more concurrent work than the pool holds.
        names = await asyncio.gather(*(db.fetch(Author.select()) for _ in range(6)))
        assert [[a.name for a in rows] for rows in names] == [["Ann"]] * 6

    run(test, max_size=2)


@pytest.mark.parametrize("socket_seen", [True, False], ids=["closed socket seen", "closed socket not seen"])
def test_killed_connections_are_replaced(run: Any, database: str, socket_seen: bool,
                                         monkeypatch: pytest.MonkeyPatch) -> None:
    if not socket_seen:
        # As when the server's close has not reached the client yet: found only by using the connection.
        from sarnic.execution.backends.mysql import MySQLConnection

        monkeypatch.setattr(MySQLConnection, "closed_by_server", property(lambda self: False))

    async def test(db: sarnic.Database) -> None:
        await asyncio.gather(*(db.execute(Author.insert(name=f"a{i}")) for i in range(3)))
        (ids,) = await _admin(_backend_ids(database))
        assert len(ids) == 3
        await _admin(*(f"KILL {i}" for (i,) in ids))
        await asyncio.sleep(0.2)
        assert await db.count(Author.select()) == 3
        await db.execute(Author.insert(name="after"))
        # Killed while the pool believes them in order, with no time to notice: the read is retried.
        (ids,) = await _admin(_backend_ids(database))
        await _admin(*(f"KILL {i}" for (i,) in ids))
        assert [a.name for a in await db.fetch(Author.select().where(Author.name == "after"))] == ["after"]
        await db.execute(Author.insert(name="again"))
        assert await db.count(Author.select()) == 5

    run(test, min_size=3, max_size=3)


def test_transactions_cancelled_as_they_begin_leave_no_connection_inside_one(run: Any) -> None:
    async def test(db: sarnic.Database) -> None:
        await db.execute(Author.insert(name="Ann"))
        counts = await cancel_beginnings_then_count(db, Author.update(name="Bob").where(Author.name == "Ann"),
                                                    Author.select().where(Author.name == "Ann"))
        assert counts == {1}

    run(test, max_size=3)
