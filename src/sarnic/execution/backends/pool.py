"""A small asyncio pool for drivers that bring none of their own (or whose
own pool would hand back a connection sarnic has given up on)."""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from typing import Generic, TypeVar, cast

from sarnic.execution.backends.base import Connection

C = TypeVar("C", bound=Connection)

#: handed to a waiter instead of a connection: a place is free, make one
_SLOT = object()


class Pool(Generic[C]):
    """Up to `max_size` connections, made on demand; a connection returned
    busy or broken is closed and its place freed once it is closed (never
    more than `max_size` open), then filled again while fewer than `min_size`
    are open. Returning a connection is synchronous, so that a cancellation
    at the end of a block cannot lose it."""

    def __init__(self, connect: Callable[[], Awaitable[C]], close: Callable[[C], Awaitable[None]], *,
                 min_size: int, max_size: int) -> None:
        self._connect = connect
        self._close = close
        self._min = min_size
        self._max = max_size
        self._idle: list[C] = []
        self._size = 0
        self._waiters: deque[asyncio.Future[object]] = deque()
        self._closing: set[asyncio.Task[None]] = set()
        self._closed = False

    async def open(self) -> None:
        try:
            for _ in range(self._min):
                self._size += 1
                try:
                    self._idle.append(await self._connect())
                except BaseException:
                    self._size -= 1
                    raise
        except BaseException:
            await self.close()  # the ones made so far
            raise

    async def close(self) -> None:
        self._closed = True
        idle, self._idle = self._idle, []
        self._size -= len(idle)
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_exception(RuntimeError("the database is closed"))
        for conn in idle:
            await self._close(conn)
        while self._closing:  # a replacement made meanwhile is closed in turn
            await asyncio.gather(*self._closing, return_exceptions=True)

    async def get(self) -> C:
        if self._closed:
            raise RuntimeError("the database is closed")
        if self._idle:
            return self._idle.pop()
        if self._size >= self._max:
            waiter = asyncio.get_running_loop().create_future()
            self._waiters.append(waiter)
            try:
                got = await waiter
            except BaseException:
                if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                    self._give(waiter.result())  # handed over just as we were cancelled: pass it on
                raise
            if got is not _SLOT:
                return cast(C, got)
        else:
            self._size += 1
        try:
            return await self._connect()
        except BaseException:
            self._give(_SLOT)
            raise

    def _give(self, what: object) -> None:
        """A connection (or a free place) to the first waiter, else back to idle."""
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(what)
                return
        if what is _SLOT:
            self._size -= 1
        else:
            self._idle.append(cast(C, what))

    def put(self, conn: C) -> None:
        if conn.usable and not self._closed:
            self._give(conn)
        else:
            self.discard(conn)

    def discard(self, conn: C) -> None:
        """Closed, whatever its state; its place is free once it is."""
        task = asyncio.ensure_future(self._discard(conn))
        self._closing.add(task)
        task.add_done_callback(self._closing.discard)

    def discard_idle(self) -> None:
        """Close every idle connection (those in use are the caller's to discard)."""
        idle, self._idle = self._idle, []
        for conn in idle:
            self.discard(conn)

    async def _discard(self, conn: C) -> None:
        try:
            await self._close(conn)
        except Exception:  # noqa: BLE001 - a connection given up on may fail to close; it is gone either way
            pass
        finally:
            self._give(_SLOT)
        if not self._closed and self._size < self._min and not self._waiters:
            self._size += 1
            try:
                conn = await self._connect()
            except BaseException as exc:
                self._give(_SLOT)
                if isinstance(exc, Exception):
                    return  # the next get connects again and reports the error
                raise
            self.put(conn)

    @asynccontextmanager
    async def acquire(self) -> AsyncIterator[C]:
        conn = await self.get()
        try:
            yield conn
        finally:
            self.put(conn)
