"""The Database on the embedded SQLite backend, where no server is needed:
the one in-memory connection taken in turns, streams that let their loop
run statements, savepoints, cancellation, refusals before anything is sent."""

from __future__ import annotations

import asyncio
import decimal
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

import pytest

import sarnic
from sarnic import Model, fields


class Note(Model):
    id = fields.Int(primary_key=True)
    text = fields.Text(null=True)
    n = fields.Int(default=0)
    price = fields.Decimal(null=True)


def run(body: Callable[[sarnic.Database], Awaitable[Any]], url: str = "sqlite://:memory:") -> Any:
    async def main() -> Any:
        async with sarnic.connect(url, max_size=3) as db:
            await db.create_tables(Note)
            await db.execute(Note.bulk_insert([Note(text=f"t{i}", n=i) for i in range(50)]))
            return await body(db)

    return asyncio.run(main())


@pytest.fixture(params=["memory", "file"])
def url(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    return "sqlite://:memory:" if request.param == "memory" else f"sqlite:///{tmp_path / 'notes.db'}"


def test_a_loop_over_a_stream_may_write_between_batches(url: str) -> None:
    async def body(db: sarnic.Database) -> Any:
        seen = 0
        async for note in db.iterate(Note.select().order_by(Note.id), batch=7):
            seen += 1
            await db.execute(Note.update(n=-1).where(Note.id == note.id))
        return seen, await db.count(Note.select().where(Note.n == -1))

    assert run(body, url) == (50, 50)


def test_savepoints_roll_back_their_part_only(url: str) -> None:
    async def body(db: sarnic.Database) -> Any:
        with pytest.raises(LookupError):
            async with db.transaction():
                await db.execute(Note.delete().where(Note.id <= 10))
                with pytest.raises(KeyError):
                    async with db.transaction():
                        await db.execute(Note.delete(danger=True))
                        raise KeyError
                assert await db.count(Note.select()) == 40
                raise LookupError
        return await db.count(Note.select())

    assert run(body, url) == 50


def test_a_cancelled_statement_leaves_the_database_usable(url: str) -> None:
    async def body(db: sarnic.Database) -> Any:
        async def busy() -> None:
            async with db.transaction():
                while True:
                    await db.execute(Note.update(n=-7).where(Note.id == 1))

        task = asyncio.ensure_future(busy())
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # The transaction was rolled back, and the next statements run.
        return await db.count(Note.select().where(Note.n == -7)), await db.count(Note.select())

    assert run(body, url) == (0, 50)


def test_transactions_cancelled_as_they_begin_leave_no_connection_inside_one(url: str) -> None:
    async def body(db: sarnic.Database) -> Any:
        async def held() -> None:
            async with db.transaction():
                await db.execute(Note.update(n=-3).where(Note.id == 2))
                await asyncio.sleep(30)

        for i in range(40):
            task = asyncio.ensure_future(held())
            await asyncio.sleep((i % 11) / 1000)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)

        async def counted() -> int:
            async with db.transaction():
                return await db.count(Note.select())

        # Every pooled connection is outside a transaction: each new one begins.
        return set(await asyncio.gather(*(counted() for _ in range(60)))), \
            await db.count(Note.select().where(Note.n == -3))

    assert run(body, url) == ({50}, 0)


def test_concurrent_tasks_share_the_pool() -> None:
    async def body(db: sarnic.Database) -> Any:
        async def one(i: int) -> int:
            row = await db.fetch_one(Note.select().where(Note.n == i % 50))
            assert row is not None
            return row.n

        return await asyncio.gather(*(one(i) for i in range(100)))

    assert run(body) == [i % 50 for i in range(100)]


def test_an_insert_of_defaults_only_and_refusals_before_sending() -> None:
    async def body(db: sarnic.Database) -> Any:
        stored = await db.fetch_one(Note.insert())
        with pytest.raises(sarnic.NotSupportedError, match="exact text"):
            await db.fetch(Note.select().where(Note.price > decimal.Decimal(1)))
        await db.execute(Note.update(price=decimal.Decimal("2.50")).where(Note.id == 1))
        same = await db.fetch(Note.select().where(Note.price == decimal.Decimal("2.5")))
        return stored.text, stored.n, [(n.id, n.price) for n in same]

    assert run(body) == (None, 0, [(1, decimal.Decimal("2.5"))])


def test_a_column_missing_from_the_table_is_an_error_not_a_text(url: str) -> None:
    class Later(Model):
        class Meta:
            table = "note"

        id = fields.Int(primary_key=True)
        age = fields.Int(null=True)

    async def body(db: sarnic.Database) -> Any:
        for query in (Later.select(), Later.select().where(Later.age == 3)):
            with pytest.raises(sarnic.ProgrammingError, match="age"):
                await db.fetch(query)

    run(body, url)


def test_raw_sql_binds_values_and_shares_the_transaction(url: str) -> None:
    async def body(db: sarnic.Database) -> Any:
        hostile = "'); DROP TABLE note; -- 50% ? $1"
        with pytest.raises(LookupError):
            async with db.transaction():
                assert await db.execute_raw("UPDATE note SET text = ? WHERE n < ?", [hostile, 5]) == 5
                assert await db.fetch_raw("SELECT count(*) FROM note WHERE text = ?", (hostile,)) == [(5,)]
                raise LookupError
        seen = []
        # The one in-memory connection: the loop runs statements between batches.
        async for row in db.iterate_raw("SELECT id, text FROM note WHERE n >= ? ORDER BY id", [45], batch=2):
            seen.append(row)
            await db.execute_raw("UPDATE note SET n = 0 WHERE id = ?", [row[0]])
        errors = []
        for sql, params in [("SELEC 1", ()), ("SELECT ?", ()), ("SELECT ?", [object()])]:
            with pytest.raises(sarnic.DatabaseError) as caught:
                await db.fetch_raw(sql, params)
            errors.append(type(caught.value))
        assert await db.execute_raw("CREATE INDEX note_n ON note (n)") == 0  # the driver's -1: no count
        return seen, await db.fetch_raw("SELECT count(*), max(text) FROM note WHERE n = 0"), errors

    seen, counts, errors = run(body, url)
    assert seen == [(i, f"t{i - 1}") for i in range(46, 51)]
    assert counts == [(6, "t49")]
    assert errors == [sarnic.ProgrammingError] * 3


class Recipe(Model):
    id = fields.Int(primary_key=True)
    body = fields.Text(fts_config="english")
    plain = fields.Text(fts_config="simple")


@pytest.mark.parametrize(("field", "query", "found"), [
    ("body", "bake", [1]), ("body", "breads", [1]), ("plain", "bake", []), ("plain", "baking", [1]),
])
def test_english_full_text_stems_as_postgres_does(field: str, query: str, found: list[int]) -> None:
    async def main() -> Any:
        async with sarnic.connect("sqlite://:memory:") as db:
            await db.create_tables(Recipe)
            await db.execute(Recipe.bulk_insert([Recipe(id=1, body="Baking bread", plain="baking bread"),
                                                 Recipe(id=2, body="Soup", plain="soup")]))
            rows = await db.fetch(Recipe.select().where(getattr(Recipe, field).match(query)))
            return [r.id for r in rows]

    assert asyncio.run(main()) == found


def test_bulk_update_sets_each_row_its_own_value_in_chunks_under_the_parameter_limit() -> None:
    async def main() -> Any:
        async with sarnic.connect("sqlite://:memory:") as db:
            await db.create_tables(Note)
            await db.execute(Note.bulk_insert([Note(id=i, text="t", n=0) for i in range(1, 20_001)]))
            notes = await db.fetch(Note.select())
            for note in notes:
                note.n = note.id * 2
            changed = await db.execute(Note.bulk_update(notes, fields=[Note.n]))
            return changed, await db.count(Note.select().where(Note.n == Note.id * 2))

    assert asyncio.run(main()) == (20_000, 20_000)
