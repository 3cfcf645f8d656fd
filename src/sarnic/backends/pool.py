"""A small asyncio pool for drivers that bring none of their own (or whose
own pool would hand back a connection sarnic has given up on)."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from typing import Generic, TypeVar

from sarnic.backends.base import Connection

C = TypeVar("C", bound=Connection)


class Pool(Generic[C]):
    """Up to `max_size` connections, made on demand; a connection returned
    busy or broken is closed and its place freed."""

    def __init__(self, connect: Callable[[], Awaitable[C]], close: Callable[[C], Awaitable[None]], *,
                 min_size: int, max_size: int) -> None:
        self._connect = connect
        self._close = close
        self._min = min_size
        self._max = max_size
        self._idle: list[C] = []
        self._size = 0
        self._waiters: asyncio.Condition | None = None
        self._closed = False

    async def open(self) -> None:
        self._waiters = asyncio.Condition()
        made = [await self._connect() for _ in range(self._min)]
        self._size = len(made)
        self._idle.extend(made)

    async def close(self) -> None:
        self._closed = True
        idle, self._idle = self._idle, []
        for conn in idle:
            await self._close(conn)
        self._size -= len(idle)

    async def _get(self) -> C:
        assert self._waiters is not None, "pool used before it was opened"
        async with self._waiters:
            while True:
                if self._closed:
                    raise RuntimeError("the database is closed")
                if self._idle:
                    return self._idle.pop()
                if self._size < self._max:
                    self._size += 1
                    break
                await self._waiters.wait()
        try:
            return await self._connect()
        except BaseException:
            await self._free_slot()
            raise

    async def _free_slot(self) -> None:
        assert self._waiters is not None
        async with self._waiters:
            self._size -= 1
            self._waiters.notify()

    async def _put(self, conn: C) -> None:
        assert self._waiters is not None
        if conn.usable and not self._closed:
            async with self._waiters:
                self._idle.append(conn)
                self._waiters.notify()
            return
        try:
            await self._close(conn)
        finally:
            await self._free_slot()

    @asynccontextmanager
    async def acquire(self) -> AsyncIterator[C]:
        conn = await self._get()
        try:
            yield conn
        finally:
            # Shielded: a cancellation arriving now must not leak the slot.
            await asyncio.shield(self._put(conn))
