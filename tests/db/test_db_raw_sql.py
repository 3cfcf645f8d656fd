"""The application's own SQL on every backend: values bound in the core's
placeholders for the dialect, `%` kept as written, rows as tuples, the same
error classes, the transaction's connection inside a transaction, and a
pool that stays usable after the statements it refused."""

from __future__ import annotations

from typing import Any

import pytest

import sarnic

from .orm_tier import Author, Tier, rolled_back, tier_fixture

tier = tier_fixture([Author])

HOSTILE = ["it's", "50% off", "%s and %%", "? $1 :x", "'); DROP TABLE authors; --", "\\'"]


def marks(engine: str, n: int) -> list[str]:
    return [f"${i}" for i in range(1, n + 1)] if engine == "postgres" else ["?"] * n


def test_values_are_bound_and_percent_signs_kept(tier: Tier) -> None:
    a, b = marks(tier.engine, 2)

    async def test(db: sarnic.Database) -> None:
        async def body() -> None:
            for i, name in enumerate(HOSTILE):
                assert await db.execute_raw(f"INSERT INTO authors (id, name) VALUES ({a}, {b})", [900 + i, name]) == 1
            rows = await db.fetch_raw(f"SELECT id, name, '100%' FROM authors WHERE id >= {a} AND name LIKE '%' "
                                      "ORDER BY id", (900,))
            assert rows == [(900 + i, name, "100%") for i, name in enumerate(HOSTILE)]
            assert all(type(r) is tuple for r in rows)
            # A placeholder inside a quoted text is text, not a placeholder.
            assert await db.fetch_raw(f"SELECT '?', {a}", ["x"]) == [("?", "x")]
            assert await db.execute_raw(f"UPDATE authors SET email = name WHERE id >= {a}", [903]) == 3
            assert await db.execute_raw(f"DELETE FROM authors WHERE id = {a}", [-1]) == 0

        await rolled_back(db, body)
        assert await db.fetch_raw(f"SELECT count(*) FROM authors WHERE id >= {a}", [900]) == [(0,)]

    tier.run(test)


def test_iterate_raw_reads_batches_and_stops_early(tier: Tier) -> None:
    (a,) = marks(tier.engine, 1)

    async def test(db: sarnic.Database) -> None:
        async def body() -> None:
            for i in range(25):
                await db.execute_raw(f"INSERT INTO authors (id, name) VALUES ({a}, 'n{i}')", [1000 + i])
            # Inside the transaction: the stream reads the rows written in it, on its connection.
            got = [row async for row in db.iterate_raw(f"SELECT id FROM authors WHERE id >= {a} ORDER BY id",
                                                       [1000], batch=4)]
            assert got == [(1000 + i,) for i in range(25)]

        await rolled_back(db, body)
        async for row in db.iterate_raw("SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3", batch=1):
            assert row == (1,)
            break
        # Left early: the pool's connections still answer, two at a time.
        assert await db.fetch_raw("SELECT 1") == [(1,)]
        with pytest.raises(ValueError):
            async for _ in db.iterate_raw("SELECT 1", batch=0):
                pass

    tier.run(test)


def test_a_transaction_runs_raw_sql_on_its_connection(tier: Tier) -> None:
    a, b = marks(tier.engine, 2)

    async def test(db: sarnic.Database) -> None:
        with pytest.raises(LookupError):
            async with db.transaction():
                await db.execute_raw(f"INSERT INTO authors (id, name) VALUES ({a}, {b})", [1100, "gone"])
                assert await db.fetch_raw(f"SELECT name FROM authors WHERE id = {a}", [1100]) == [("gone",)]
                raise LookupError
        assert await db.fetch_raw(f"SELECT name FROM authors WHERE id = {a}", [1100]) == []

    tier.run(test)


ERRORS: list[tuple[str, str, Any, type[sarnic.DatabaseError]]] = [
    ("syntax", "SELEC 1", (), sarnic.ProgrammingError),
    ("no table", "SELECT * FROM no_such_table", (), sarnic.ProgrammingError),
    ("too few values", "SELECT CAST({a} AS INTEGER) + CAST({b} AS INTEGER)", [1], sarnic.ProgrammingError),
    ("too many values", "SELECT CAST({a} AS INTEGER)", [1, 2], sarnic.ProgrammingError),
    ("duplicate key", "INSERT INTO authors (id, name) VALUES ({a}, {b})", [1200, "x"], sarnic.IntegrityError),
]


@pytest.mark.parametrize(("case", "sql", "params", "error"), ERRORS, ids=[e[0] for e in ERRORS])
def test_raw_errors_are_sarnics_and_leave_the_pool_usable(tier: Tier, case: str, sql: str, params: Any,
                                                          error: type[Exception]) -> None:
    a, b = marks(tier.engine, 2)
    sql = sql.format(a=a, b=b)

    async def test(db: sarnic.Database) -> None:
        if case == "duplicate key":
            await db.execute_raw(sql, params)
        try:
            for _ in range(3):  # more than the pool's two connections
                with pytest.raises(error):
                    await db.fetch_raw(sql, params)
                with pytest.raises(error):
                    await db.execute_raw(sql, params)
            assert await db.fetch_raw("SELECT 1") == [(1,)]
        finally:
            await db.execute_raw(f"DELETE FROM authors WHERE id = {a}", [1200])

    tier.run(test)


def test_params_are_a_sequence(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> None:
        for bad in ("x", {"a": 1}, 1, b"x"):
            with pytest.raises(TypeError):
                await db.fetch_raw("SELECT 1", bad)
        with pytest.raises(TypeError):
            await db.execute_raw(b"SELECT 1")  # type: ignore[arg-type]

    tier.run(test)


def test_postgres_uuids_are_exactly_uuid(tier: Tier) -> None:
    if tier.engine != "postgres":
        pytest.skip("UUIDs are texts in the other engines' columns")
    import uuid

    given = uuid.uuid4()

    async def test(db: sarnic.Database) -> None:
        # Bound as a UUID, as the canonical text and as the text in capitals.
        rows = await db.fetch_raw("SELECT $1::uuid, $2::uuid, ARRAY[$1::uuid, NULL, $3::uuid], $4::uuid", [
            given, str(given), str(given).upper(), None])
        ((one, two, many, none),) = rows
        assert one == two == given and none is None
        assert many == [given, None, given]
        assert type(one) is uuid.UUID and type(two) is uuid.UUID
        assert all(type(v) is uuid.UUID for v in many if v is not None)
        assert hash(one) == hash(given) and one.version == 4 and str(one) == str(given)
        with pytest.raises(sarnic.DataError):
            await db.fetch_raw("SELECT $1::uuid", ["not-a-uuid-at-all-but-thirty-six-ch"])

    tier.run(test)
