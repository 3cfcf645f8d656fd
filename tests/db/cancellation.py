"""A scenario the backends share: transactions cancelled while they begin
must leave no pooled connection inside a transaction."""

from __future__ import annotations

import asyncio
from typing import Any

import sarnic


async def cancel_beginnings_then_count(db: sarnic.Database, write: Any, counted: Any, rounds: int = 30) -> set[int]:
    """Cancels `rounds` transactions running `write` after 0 to 10 ms, then
    counts `counted` in 60 concurrent transactions: the set of the counts."""
    async def held() -> None:
        async with db.transaction():
            await db.execute(write)
            await asyncio.sleep(30)

    for i in range(rounds):
        task = asyncio.create_task(held())
        await asyncio.sleep((i % 11) / 1000)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)

    async def count() -> int:
        async with db.transaction():
            return await db.count(counted)

    return set(await asyncio.gather(*(count() for _ in range(60))))
