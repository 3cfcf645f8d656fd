"""The ORM on a real PostgreSQL through asyncpg: a pool under load, cancelled
tasks, killed connections, transactions, error classes, streaming and the
values of every field type."""

from __future__ import annotations

import asyncio
import datetime as dt
import decimal
import enum
import os
import secrets
import sys
import time
import tracemalloc
import uuid
from collections.abc import Awaitable, Callable, Iterator
from contextlib import aclosing
from typing import Any

import pytest

import sarnic
from sarnic import Model, fields

from .cancellation import cancel_beginnings_then_count
from .drivers import PG_ADDR
from .servers import require_server

asyncpg = pytest.importorskip("asyncpg")

ADMIN_URL = f"postgresql://postgres@{PG_ADDR[0]}:{PG_ADDR[1]}/test"

DDL = """
CREATE TABLE authors (id serial PRIMARY KEY, name varchar(20) NOT NULL, email text UNIQUE);
CREATE TABLE posts (id bigserial PRIMARY KEY, author_id integer NOT NULL REFERENCES authors (id),
                    title text NOT NULL, views integer NOT NULL DEFAULT 0);
CREATE TABLE items (id integer PRIMARY KEY, n integer NOT NULL);
CREATE TABLE prices (id integer PRIMARY KEY, amount numeric NOT NULL, wall timestamp NOT NULL);
"""


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()  # varchar(20) in the table: the server, not the field, refuses a longer name
    email = fields.Text(null=True, unique=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author)
    title = fields.Text()
    views = fields.Int(default=0)

    class Meta:
        table = "posts"


class Item(Model):
    id = fields.Int(primary_key=True)
    n = fields.Int()

    class Meta:
        table = "items"


class Price(Model):
    id = fields.Int(primary_key=True)
    amount = fields.Decimal()
    wall = fields.DateTime(timezone=False)

    class Meta:
        table = "prices"


class Ghost(Model):
    id = fields.Int(primary_key=True)

    class Meta:
        table = "no_such_table"


class Mood(enum.Enum):
    CALM = "calm"
    ODD = "ödd"


class Sample(Model):
    id = fields.Int(primary_key=True)
    amount = fields.Decimal(max_digits=40, decimal_places=20)
    at = fields.DateTime()
    wall = fields.DateTime(timezone=False)
    day = fields.Date()
    clock = fields.Time()
    uid = fields.UUID()
    doc = fields.JSON()
    blob = fields.Bytes()
    vec = fields.Vector(3)
    uids = fields.UUIDArray()
    floats = fields.FloatArray()
    mood = fields.Enum(Mood)

    class Meta:
        table = "samples"


async def _admin(database: str = "test") -> Any:
    return await asyncpg.connect(ADMIN_URL.rpartition("/")[0] + "/" + database)


@pytest.fixture(scope="module")
def database() -> Iterator[str]:
    """A database of its own for this module, dropped after it."""
    require_server("postgres")
    name = f"sarnic_t_{secrets.token_hex(6)}"

    async def create() -> None:
        admin = await _admin()
        try:
            await admin.execute(f'CREATE DATABASE "{name}"')
        finally:
            await admin.close()
        conn = await _admin(name)
        try:
            await conn.execute(DDL)
        finally:
            await conn.close()

    async def drop() -> None:
        admin = await _admin()
        try:
            await admin.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
        finally:
            await admin.close()

    asyncio.run(create())
    try:
        yield name
    finally:
        asyncio.run(drop())


Test = Callable[[sarnic.Database, Any], Awaitable[None]]


def run(database: str, test: Test, query: str = "", **pool: int) -> None:
    """Run the coroutine with a Database on the module's database and an
    admin connection beside it; the tables are emptied first."""

    async def main() -> None:
        admin = await _admin(database)
        try:
            await admin.execute("TRUNCATE authors, posts, items, prices RESTART IDENTITY")
            url = f"postgresql://postgres@{PG_ADDR[0]}:{PG_ADDR[1]}/{database}{query}"
            async with sarnic.connect(url, **pool) as db:
                await test(db, admin)
        finally:
            await admin.close()

    asyncio.run(main())


async def _backends(admin: Any, **where: str) -> list[Any]:
    """The other sessions on this database, optionally narrowed by a pg_stat_activity column."""
    rows = await admin.fetch("SELECT pid, state, wait_event_type, application_name FROM pg_stat_activity "
                             "WHERE datname = current_database() AND pid <> pg_backend_pid()")
    return [r for r in rows if all(r[k] == v for k, v in where.items())]


async def _until(check: Callable[[], Awaitable[bool]], what: str, seconds: float = 5) -> None:
    deadline = time.monotonic() + seconds
    while not await check():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting until {what}")
        await asyncio.sleep(0.02)


def test_hundred_tasks_share_a_pool_of_ten(database: str) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        async def task(i: int) -> tuple[int, int, list[str]]:
            author = await db.fetch_one(Author.insert(name=f"a{i}", email=f"a{i}@x"))
            await db.execute(Post.bulk_insert([{"author_id": author.id, "title": f"{i}-{k}"} for k in range(3)]))
            n = await db.execute(Post.update(views=i).where(Post.author_id == author.id))
            posts = await db.fetch(Post.select().where(Post.author_id == author.id).order_by(Post.title))
            return author.id, n, [f"{p.title}:{p.views}" for p in posts]

        results = await asyncio.gather(*(task(i) for i in range(100)))
        for i, (_, n, titles) in enumerate(results):
            assert (n, titles) == (3, [f"{i}-{k}:{i}" for k in range(3)])
        assert len({key for key, _, _ in results}) == 100
        assert await db.count(Post.select()) == 300
        sessions = await _backends(admin)
        assert 0 < len(sessions) <= 10
        # The URL's query sets the session's parameters; the zone stays UTC.
        assert {r["application_name"] for r in sessions} == {"sarnic tests"}
        assert await db.fetch(Item.select()) == []

    run(database, test, query="?application_name=sarnic%20tests", max_size=10)


@pytest.mark.parametrize("in_transaction", [False, True], ids=["alone", "in-transaction"])
def test_cancelled_task_leaves_the_pool_usable(database: str, in_transaction: bool) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        await db.execute(Item.bulk_insert([{"id": 1, "n": 1}]))

        async def blocked() -> None:
            if in_transaction:
                async with db.transaction():
                    await db.execute(Price.insert(id=1, amount=1, wall=dt.datetime(2024, 1, 1)))
                    await db.fetch(Item.select())
            else:
                await db.fetch(Item.select())

        async with admin.transaction():
            await admin.execute("LOCK TABLE items IN ACCESS EXCLUSIVE MODE")
            task = asyncio.create_task(blocked())

            async def waiting() -> bool:
                return bool(await _backends(admin, wait_event_type="Lock"))

            await _until(waiting, "the select waits on the lock")
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

            async def gone() -> bool:
                return not await waiting()

            # The lock is still held: the statement was stopped, not left to wait.
            await _until(gone, "no session waits on the lock")
        # One connection only: a slot kept by the cancelled task would block this.
        assert [i.n for i in await asyncio.wait_for(db.fetch(Item.select()), 5)] == [1]
        assert await db.count(Price.select()) == 0
        assert not await _backends(admin, state="idle in transaction")

    run(database, test, min_size=1, max_size=1)


def test_killed_connections_are_replaced(database: str) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        await db.execute(Item.bulk_insert([{"id": 1, "n": 1}]))
        await asyncio.gather(*(db.fetch(Item.select()) for _ in range(6)))
        pids = [r["pid"] for r in await _backends(admin)]
        assert pids
        await admin.execute("SELECT pg_terminate_backend(pid) FROM unnest($1::int[]) AS pid", pids)

        async def ended() -> bool:
            return not {r["pid"] for r in await _backends(admin)} & set(pids)

        await _until(ended, "the sessions ended")
        assert [i.n for i in await db.fetch(Item.select())] == [1]
        assert await db.execute(Item.update(n=2).where(Item.id == 1)) == 1
        assert [i.n for i in await db.fetch(Item.select())] == [2]

        # Killed mid-statement: a write is not run again, and says why.
        async with admin.transaction():
            await admin.execute("LOCK TABLE items IN ACCESS EXCLUSIVE MODE")
            write = asyncio.create_task(db.execute(Item.update(n=3).where(Item.id == 1)))

            async def waiting() -> list[Any]:
                return await _backends(admin, wait_event_type="Lock")

            await _until(waiting, "the update waits on the lock")
            await admin.execute("SELECT pg_terminate_backend($1)", (await waiting())[0]["pid"])
            with pytest.raises(sarnic.OperationalError) as caught:
                await write
        assert isinstance(caught.value.__cause__, asyncpg.PostgresError)
        assert [i.n for i in await db.fetch(Item.select())] == [2]

    run(database, test, min_size=2, max_size=3)


class _Boom(Exception):
    pass


async def _raise_boom(db: sarnic.Database) -> None:
    raise _Boom


async def _duplicate(db: sarnic.Database) -> None:
    await db.execute(Author.insert(name="twin", email="same@x"))


@pytest.mark.parametrize("fail, error", [(_raise_boom, _Boom), (_duplicate, sarnic.IntegrityError)],
                         ids=["python-error", "database-error"])
def test_exception_in_transaction_leaves_no_rows(database: str, fail: Callable[[Any], Awaitable[None]],
                                                 error: type[Exception]) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        with pytest.raises(error):
            async with db.transaction():
                await db.execute(Author.insert(name="kept?", email="same@x"))
                await db.execute(Post.bulk_insert([{"author_id": 1, "title": "t"}]))
                await fail(db)
        assert (await db.count(Author.select()), await db.count(Post.select())) == (0, 0)
        assert not await _backends(admin, state="idle in transaction")

    run(database, test)


async def _fk_violation(db: sarnic.Database) -> None:
    await db.execute(Post.insert(author_id=999_999, title="orphan"))


async def _too_long(db: sarnic.Database) -> None:
    await db.execute(Author.insert(name="x" * 21))


async def _missing_table(db: sarnic.Database) -> None:
    await db.fetch(Ghost.select())


async def _twice(db: sarnic.Database) -> None:
    await _duplicate(db)
    await _duplicate(db)


@pytest.mark.parametrize("statement, error, cause", [
    (_twice, sarnic.IntegrityError, "UniqueViolationError"),
    (_fk_violation, sarnic.IntegrityError, "ForeignKeyViolationError"),
    (_too_long, sarnic.DataError, "StringDataRightTruncationError"),
    (_missing_table, sarnic.ProgrammingError, "UndefinedTableError"),
], ids=["duplicate-key", "foreign-key", "bad-value", "missing-table"])
def test_error_classes(database: str, statement: Callable[[Any], Awaitable[None]], error: type[Exception],
                       cause: str) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        with pytest.raises(error) as caught:
            await statement(db)
        assert isinstance(caught.value.__cause__, getattr(asyncpg, cause))
        # The connection that saw the error serves the next statement.
        assert await db.count(Author.select()) == len(await db.fetch(Author.select()))

    run(database, test, max_size=1)


def test_iterate_streams_with_flat_memory(database: str) -> None:
    total = 100_000

    async def test(db: sarnic.Database, admin: Any) -> None:
        assert await db.execute(Item.bulk_insert([{"id": i, "n": i % 7} for i in range(total)])) == total
        tracemalloc.start()
        try:
            count = checksum = 0
            async for item in db.iterate(Item.select().order_by(Item.id), batch=1000):
                count += 1
                checksum += item.id * item.n
            streamed = tracemalloc.get_traced_memory()[1]
            tracemalloc.reset_peak()
            everything = await db.fetch(Item.select())
            fetched = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert (count, checksum) == (total, sum(i * (i % 7) for i in range(total)))
        assert len(everything) == total
        assert streamed < fetched / 10, (streamed, fetched)

        # Left early, the stream's transaction ends with it.
        async with aclosing(db.iterate(Item.select(), batch=10)) as rows:
            async for _ in rows:
                break
        assert not await _backends(admin, state="idle in transaction")
        assert await db.execute(Item.update(n=0).where(Item.id == 0)) == 1

        # In a transaction the cursor shares its connection with the loop's own statements.
        async with db.transaction():
            seen = 0
            async for item in db.iterate(Item.select().where(Item.id < 2500), batch=1000):
                seen += 1
                if item.id % 1000 == 0:
                    assert await db.execute(Item.update(n=-1).where(Item.id == item.id)) == 1
        assert (seen, await db.count(Item.select().where(Item.n == -1))) == (2500, 3)

    run(database, test, max_size=2)


@pytest.fixture
def away_from_utc() -> Iterator[None]:
    """This process in a zone far from UTC, where a naive datetime read as local time moves."""
    before = os.environ.get("TZ")
    os.environ["TZ"] = "America/New_York"
    time.tzset()
    try:
        yield
    finally:
        if before is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = before
        time.tzset()


@pytest.mark.parametrize("field, value, text", [
    ("amount", decimal.Decimal("12345678901234567890.123456789"), "12345678901234567890.123456789"),
    ("wall", dt.datetime(2024, 7, 1, 12, 30, 0, 250), "2024-07-01 12:30:00.00025"),
], ids=["decimal-20-digits", "naive-datetime"])
def test_bulk_update_stores_values_exactly(database: str, away_from_utc: None, field: str, value: Any,
                                           text: str) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        await db.execute(Price.bulk_insert([{"id": 1, "amount": 1, "wall": dt.datetime(2000, 1, 1)}]))
        (row,) = await db.fetch(Price.select())
        setattr(row, field, value)
        assert await db.execute(Price.bulk_update([row], fields=[getattr(Price, field)])) == 1
        (back,) = await db.fetch(Price.select())
        assert getattr(back, field) == value
        assert await admin.fetchval(f"SELECT {field}::text FROM prices") == text

    run(database, test)


def test_values_of_every_type_and_the_vector_codec(database: str) -> None:
    sample = {
        "id": 1,
        "amount": decimal.Decimal("-12345678901234567890.00000000000000000001"),
        "at": dt.datetime(2024, 2, 29, 23, 59, 59, 999999, tzinfo=dt.timezone(dt.timedelta(hours=5))),
        "wall": dt.datetime(1999, 12, 31, 23, 0),
        "day": dt.date(1, 1, 1),
        "clock": dt.time(23, 59, 59, 1),
        "uid": uuid.uuid4(),
        "doc": {"n": 10**30, "f": 1.5, "list": [None, True, "ü"]},
        "blob": bytes(range(256)),
        "vec": [0.5, -2.0, 1e-3],
        "uids": [uuid.uuid4(), uuid.uuid4()],
        "floats": [1.0, -0.0, 1e308],
        "mood": Mood.ODD,
    }

    async def test(db: sarnic.Database, admin: Any) -> None:
        available = await admin.fetchval("SELECT count(*) FROM pg_available_extensions WHERE name = 'vector'")
        if not available:
            pytest.skip("pgvector is not installed on this server")
        # The pool's connection predates the extension, which create_tables makes.
        await db.count(Item.select())
        await db.drop_tables(Sample)
        await admin.execute("DROP EXTENSION IF EXISTS vector")
        await db.create_tables(Sample)

        stored = await db.fetch_one(Sample.insert(**sample))
        (found,) = await db.fetch(Sample.select().where(Sample.uid == sample["uid"], Sample.wall == sample["wall"],
                                                        Sample.at == sample["at"], Sample.amount == sample["amount"]))
        expected = {**sample, "at": sample["at"].astimezone(dt.timezone.utc), "vec": [0.5, -2.0, 0.0010000000474974513]}
        for obj in (stored, found):
            assert {k: getattr(obj, k) for k in sample} == expected
        assert found.at.tzinfo is not None and found.at.utcoffset() == dt.timedelta(0)
        assert type(found.doc["n"]) is int and found.mood is Mood.ODD
        (near,) = await db.fetch(Sample.select().nearest(Sample.vec, [0.5, -2.0, 0.0])[:1])
        assert near.id == 1

    run(database, test, min_size=1, max_size=1)


def test_missing_driver_names_the_extra(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "asyncpg", None)
    monkeypatch.delitem(sys.modules, "sarnic.execution.backends.postgres")
    with pytest.raises(ImportError, match=r"pip install 'sarnic\[postgres\]'"):
        sarnic.connect("postgresql://localhost/db")


@pytest.mark.parametrize("url, cause", [
    ("postgresql://postgres@127.0.0.1:1/test", OSError),
    (f"postgresql://postgres@{PG_ADDR[0]}:{PG_ADDR[1]}/sarnic_no_such_db", "InvalidCatalogNameError"),
], ids=["no-server", "no-database"])
def test_connect_errors(url: str, cause: Any) -> None:
    if isinstance(cause, str):
        require_server("postgres")
        cause = getattr(asyncpg, cause)

    async def main() -> None:
        with pytest.raises(sarnic.OperationalError, match="cannot connect to PostgreSQL") as caught:
            await sarnic.connect(url)
        assert isinstance(caught.value.__cause__, cause)

    asyncio.run(main())


class Note(Model):
    id = fields.Int(primary_key=True)
    body = fields.Text()
    search = fields.TSVector(fts_source_columns=["body"])

    class Meta:
        table = "notes_fts"


def test_a_document_without_config_matches_words_as_stored(database: str) -> None:
    # The server's default configuration here stems ('running' -> 'run'); the
    # derived document is stored without stemming, and the query must agree.
    async def test(db: sarnic.Database, admin: Any) -> None:
        await db.create_tables(Note)
        try:
            await db.execute(Note.bulk_insert([{"id": 1, "body": "running dogs"}, {"id": 2, "body": "a cat"}]))
            found = await db.fetch(Note.select().where(Note.search.match("running")))
            assert [n.id for n in found] == [1]
            assert await db.count(Note.select().where(Note.search.match_websearch("dogs -cat"))) == 1
        finally:
            await db.drop_tables(Note)

    run(database, test)


def test_the_session_text_search_config_is_not_overridden() -> None:
    with pytest.raises(ValueError, match="default_text_search_config"):
        sarnic.connect("postgresql://localhost/db?default_text_search_config=english")


def test_transactions_cancelled_as_they_begin_leave_no_connection_inside_one(database: str) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        await db.execute(Item.bulk_insert([{"id": 1, "n": 1}]))
        counts = await cancel_beginnings_then_count(db, Item.update(n=-3).where(Item.id == 1),
                                                    Item.select().where(Item.n == 1))
        assert counts == {1}

    run(database, test, max_size=3)


def test_the_pool_keeps_its_bounds_under_two_hundred_tasks_some_cancelled(database: str) -> None:
    import random

    async def test(db: sarnic.Database, admin: Any) -> None:
        ours = {"application_name": "sarnic pool"}
        pool = db._backend._pool  # type: ignore[attr-defined]
        # min_size connections are made as the database opens.
        assert len(await _backends(admin, **ours)) == 2
        done: list[int] = []

        async def task(i: int) -> None:
            if i % 2:
                async with db.transaction():
                    await db.execute(Item.insert(id=i, n=i))
                    await db.fetch_raw("SELECT pg_sleep($1)", [random.random() / 50])
            else:
                await db.fetch_raw("SELECT pg_sleep($1)", [random.random() / 50])
            done.append(i)

        peak = {"sessions": 0, "size": 0}
        stop = asyncio.Event()

        async def watch() -> None:
            while not stop.is_set():
                peak["sessions"] = max(peak["sessions"], len(await _backends(admin, **ours)))
                peak["size"] = max(peak["size"], pool._size)
                await asyncio.sleep(0.005)

        watcher = asyncio.create_task(watch())
        random.seed(7)
        tasks = [asyncio.create_task(task(i)) for i in range(200)]
        for _ in range(60):  # mid-statement, mid-transaction, or still waiting for a connection
            await asyncio.sleep(random.random() / 100)
            random.choice(tasks).cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        stop.set()
        await watcher
        assert peak["size"] <= 5 and peak["sessions"] <= 5, peak
        assert 60 < len(done) < 200

        async def settled() -> bool:
            states = {r["state"] for r in await _backends(admin, **ours)}
            return states <= {"idle"}

        await _until(settled, "no session is inside a transaction or running a statement")
        written = {i.id for i in await db.fetch(Item.select())}
        # A transaction whose task was cancelled wrote nothing, unless its COMMIT was already sent.
        assert {i for i in done if i % 2} <= written <= set(range(1, 200, 2))
        # Every connection of the pool answers, five at once, and the pool stays within its bounds.
        assert await asyncio.wait_for(asyncio.gather(*(db.fetch_raw("SELECT pg_sleep(0.05)") for _ in range(5))),
                                      5) == [[(None,)]] * 5
        assert 2 <= len(await _backends(admin, **ours)) <= 5

    run(database, test, query="?application_name=sarnic%20pool", min_size=2, max_size=5)


def test_a_discarded_connection_is_replaced_up_to_min_size(database: str) -> None:
    async def test(db: sarnic.Database, admin: Any) -> None:
        ours = {"application_name": "sarnic min"}
        pids = [r["pid"] for r in await _backends(admin, **ours)]
        assert len(pids) == 2
        await admin.execute("SELECT pg_terminate_backend(pid) FROM unnest($1::int[]) AS pid", pids)

        async def ended() -> bool:
            return not {r["pid"] for r in await _backends(admin)} & set(pids)

        await _until(ended, "the sessions ended")
        # The client may not have read the server's goodbye yet: the first
        # statement on such a connection may fail, and the connection goes.
        for _ in range(3):
            try:
                assert await db.fetch_raw("SELECT 1") == [(1,)]
                break
            except sarnic.OperationalError:
                continue
        else:
            raise AssertionError("no statement ran after the pool's connections were killed")

        async def refilled() -> bool:
            # At least min_size: a refill still connecting when the statement
            # above found the pool empty may leave one more (up to max_size).
            return len(await _backends(admin, **ours)) >= 2

        await _until(refilled, "the pool holds min_size connections again")

    run(database, test, query="?application_name=sarnic%20min", min_size=2, max_size=4)
