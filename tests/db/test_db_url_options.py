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
