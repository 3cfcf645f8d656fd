"""The `sarnic.sql` log: one DEBUG record per statement run with its text,
duration and row count, values only when asked for, nothing when the logger
is not enabled for DEBUG."""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Awaitable, Callable
from typing import Any

import pytest

import sarnic
from sarnic import Model, fields


class Entry(Model):
    id = fields.Int(primary_key=True)
    label = fields.Text()

    class Meta:
        table = "entry"


def run(body: Callable[[sarnic.Database], Awaitable[Any]], *, log_values: bool = False) -> Any:
    async def main() -> Any:
        async with sarnic.connect("sqlite://:memory:", log_values=log_values) as db:
            return await body(db)

    return asyncio.run(main())


def records(caplog: pytest.LogCaptureFixture) -> list[logging.LogRecord]:
    return [r for r in caplog.records if r.name == "sarnic.sql"]


async def every_kind(db: sarnic.Database) -> None:
    await db.create_tables(Entry)
    await db.execute(Entry.bulk_insert([Entry(id=i, label=f"l{i}") for i in range(1, 6)]))
    await db.fetch(Entry.select().where(Entry.id > 2))
    await db.count(Entry.select())
    await db.execute(Entry.update(label="x").where(Entry.id <= 2))
    await db.fetch_raw("SELECT label FROM entry WHERE id = ?", [1])
    await db.execute_raw("DELETE FROM entry WHERE id = ?", [5])
    async for _ in db.iterate(Entry.select(), batch=2):
        pass


def test_each_statement_is_one_record_with_its_count(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger="sarnic.sql")
    run(every_kind)
    got = [(r.sql.split()[0].upper(), r.rows) for r in records(caplog)]  # type: ignore[attr-defined]
    # The table, then the bulk insert (5 rows), a select (3), the count
    # wrapper (1 row), an update (2), raw SQL (1, 1) and a stream (4).
    assert got[0] == ("CREATE", None)
    assert got[1:] == [("INSERT", 5), ("SELECT", 3), ("SELECT", 1), ("UPDATE", 2), ("SELECT", 1), ("DELETE", 1),
                       ("SELECT", 4)]
    for r in records(caplog):
        assert r.levelno == logging.DEBUG
        assert isinstance(r.duration_ms, float) and r.duration_ms >= 0  # type: ignore[attr-defined]
        assert not hasattr(r, "params")
        assert r.getMessage().startswith(r.sql)  # type: ignore[attr-defined]
    assert "count" in records(caplog)[3].sql.lower()  # type: ignore[attr-defined]


def test_values_are_logged_only_when_asked_for(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger="sarnic.sql")

    async def body(db: sarnic.Database) -> None:
        await db.fetch_raw("SELECT ?, ?", ["secret", 7])

    run(body)
    assert "secret" not in records(caplog)[0].getMessage()
    caplog.clear()
    run(body, log_values=True)
    (record,) = records(caplog)
    assert record.params == ["secret", 7]  # type: ignore[attr-defined]
    assert "'secret', 7" in record.getMessage() and record.rows == 1  # type: ignore[attr-defined]


def test_a_failed_statement_is_logged_as_failed(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger="sarnic.sql")

    async def body(db: sarnic.Database) -> None:
        with pytest.raises(sarnic.ProgrammingError):
            await db.execute_raw("UPDATE no_such_table SET x = 1")

    run(body)
    (record,) = records(caplog)
    assert record.rows is None and "failed" in record.getMessage()  # type: ignore[attr-defined]


def test_nothing_is_logged_or_formatted_above_debug(caplog: pytest.LogCaptureFixture,
                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    caplog.set_level(logging.INFO, logger="sarnic.sql")
    from sarnic.execution import database

    def refuse(*args: Any, **kwargs: Any) -> None:
        raise AssertionError("a record was made")

    monkeypatch.setattr(database.Database, "_record", refuse)
    run(every_kind)
    assert records(caplog) == []
