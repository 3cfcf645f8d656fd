"""URL options against the real engines: what each asks for is what the
session has, and a constraint's failure names the constraint."""

from __future__ import annotations

import asyncio
import enum
import os
from pathlib import Path
from typing import Any

import pytest

import sarnic
from sarnic import Model, fields

from .drivers import MARIADB_ADDR, PG_ADDR
from .orm_tier import Author, Post, Tier, tier_fixture
from .servers import require_server

PG_URL = f"postgresql://postgres@{PG_ADDR[0]}:{PG_ADDR[1]}/test"
MARIADB_URL = f"mariadb://root@{MARIADB_ADDR[0]}:{MARIADB_ADDR[1]}/test"


def _one(url: str, sql: str) -> Any:
    async def main() -> Any:
        async with sarnic.connect(url) as db:
            (row,) = await db.fetch_raw(sql)
            return row

    return asyncio.run(main())


# -- SQLite --------------------------------------------------------------------


def test_a_file_database_opens_with_several_connections(tmp_path: Path) -> None:
    # Each new connection switches the file to WAL; the first one's switch
    # used to hold the database until its next statement, and a second one
    # failed with "database is locked" as the pool opened.
    async def main() -> None:
        async with sarnic.connect(f"sqlite:///{tmp_path / 'pool.db'}?min_size=3&max_size=3") as db:
            held = [await db._backend.acquire() for _ in range(3)]
            modes = [(await conn.fetch("PRAGMA journal_mode", ())).rows for conn in held]
            for conn in held:
                await db._backend.release(conn)
            assert modes == [[("wal",)]] * 3

    asyncio.run(main())


class Mood(enum.Enum):
    CALM = "calm"


class Tagged(Model):
    id = fields.Int(primary_key=True)
    mood = fields.Enum(Mood)

    class Meta:
        table = "url_tagged"


def test_mode_ro_refuses_every_write(tmp_path: Path) -> None:
    # A name SQLite would read as a URI's query and fragment if it were not quoted.
    path = tmp_path / "50%#1.db"

    async def main() -> None:
        async with sarnic.connect(f"sqlite:///{path}") as db:
            await db.create_tables(Tagged)
            await db.execute(Tagged.insert(id=1, mood=Mood.CALM))
        async with sarnic.connect(f"sqlite:///{path}?mode=ro&min_size=2") as db:
            assert [t.id for t in await db.fetch(Tagged.select())] == [1]
            for write in (db.execute(Tagged.insert(id=2, mood=Mood.CALM)), db.drop_tables(Tagged),
                          db.execute_raw("PRAGMA user_version = 7")):
                with pytest.raises(sarnic.OperationalError, match="attempt to write a readonly database"):
                    await write
        async with sarnic.connect(f"sqlite:///{path}") as db:
            assert [t.id for t in await db.fetch(Tagged.select())] == [1]
            assert await db.fetch_raw("PRAGMA user_version") == [(0,)]
        with pytest.raises(sarnic.OperationalError, match="unable to open database file"):
            await sarnic.connect(f"sqlite:///{tmp_path / 'missing.db'}?mode=rw")
        assert not (tmp_path / "missing.db").exists()

    asyncio.run(main())
    assert sorted(os.listdir(tmp_path))[0] == "50%#1.db"


# -- PostgreSQL ----------------------------------------------------------------


def test_postgres_settings_reach_the_session() -> None:
    require_server("postgres")
    row = _one(f"{PG_URL}?application_name=sarnic%20urls&statement_timeout=1234ms&sslmode=disable",
               "SELECT application_name, current_setting('statement_timeout'), current_setting('TimeZone') "
               "FROM pg_stat_activity WHERE pid = pg_backend_pid()")
    assert row == ("sarnic urls", "1234ms", "UTC")


def test_postgres_tls_modes_as_libpq_reads_them() -> None:
    require_server("postgres")
    (server_ssl,) = _one(PG_URL, "SHOW ssl")
    encrypted = "SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()"
    assert _one(f"{PG_URL}?sslmode=prefer", encrypted) == (server_ssl == "on",)
    assert _one(f"{PG_URL}?sslmode=disable", encrypted) == (False,)
    if server_ssl == "on":
        assert _one(f"{PG_URL}?sslmode=require", encrypted) == (True,)
    else:
        # Never plain text once TLS is required.
        with pytest.raises(sarnic.OperationalError, match="cannot connect to PostgreSQL.*SSL"):
            _one(f"{PG_URL}?sslmode=require", encrypted)


def test_postgres_refuses_an_unknown_setting_by_name() -> None:
    require_server("postgres")
    with pytest.raises(sarnic.OperationalError, match='unrecognized configuration parameter "statment_timeout"'):
        _one(f"{PG_URL}?statment_timeout=5s", "SELECT 1")


# -- MariaDB -------------------------------------------------------------------


def test_mariadb_connections_are_utf8mb4() -> None:
    require_server("mariadb")
    row = _one(f"{MARIADB_URL}?charset=utf8mb4&connect_timeout=5",
               "SELECT @@character_set_client, @@character_set_connection, @@character_set_results, '😀'")
    assert row == ("utf8mb4", "utf8mb4", "utf8mb4", "😀")


def test_mariadb_tls_required_is_never_plain_text() -> None:
    require_server("mariadb")
    (have_ssl,) = _one(MARIADB_URL, "SELECT @@have_ssl")
    url = f"{MARIADB_URL}?ssl_mode=REQUIRED&min_size=0"
    if have_ssl == "YES":
        assert _one(url, "SELECT VARIABLE_VALUE <> '' FROM information_schema.SESSION_STATUS "
                         "WHERE VARIABLE_NAME = 'Ssl_cipher'") == (1,)
    else:
        with pytest.raises(sarnic.OperationalError, match="cannot connect to MySQL"):
            _one(url, "SELECT 1")


# -- constraint names ----------------------------------------------------------

tier = tier_fixture([Author, Post, Tagged])

#: what each engine names, by violation: SQLite reports a key by its columns
NAMED = {
    "postgres": ("authors_email_key", "posts_author_id_fkey", "url_tagged_mood_check"),
    "mariadb": ("authors_email_key", "posts_author_id_fkey", "url_tagged_mood_check"),
    "sqlite": (None, None, "url_tagged_mood_check"),
}


def test_an_integrity_error_names_its_constraint(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> list[str | None]:
        await db.execute(Author.insert(id=1, name="a", email="a@x"))
        names = []
        try:
            for write in (Author.insert(id=2, name="b", email="a@x"),
                          Post.insert(id=1, author_id=999, title="t", body="b")):
                with pytest.raises(sarnic.IntegrityError) as caught:
                    await db.execute(write)
                names.append(caught.value.constraint)
            with pytest.raises(sarnic.IntegrityError) as caught:
                await db.execute_raw("INSERT INTO url_tagged (id, mood) VALUES (1, 'odd')")
            names.append(caught.value.constraint)
        finally:
            await db.execute(Author.delete().where(Author.id == 1))
        return names

    assert tuple(tier.run(test)) == NAMED[tier.engine]
