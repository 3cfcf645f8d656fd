"""`Transaction`: `async with db.transaction():` on one connection, which
every statement of the task (and of the tasks it starts) then runs on;
nested, a savepoint."""

from __future__ import annotations

import asyncio
import sys
from collections.abc import Callable
from contextvars import ContextVar, Token
from types import TracebackType
from typing import Any

from sarnic.execution.backends.base import Backend, Connection


class TransactionState:
    """The connection a transaction holds, shared by the tasks of its context."""

    __slots__ = ("conn", "release", "depth", "lock", "active")

    def __init__(self, conn: Connection, release: Any) -> None:
        self.conn = conn
        self.release = release
        self.depth = 0
        self.lock = asyncio.Lock()
        self.active = True


class Transaction:
    """`async with db.transaction():` commits when the block ends and rolls
    back when it raises; nested, it is a savepoint."""

    def __init__(self, backend: Backend, tasks: ContextVar[TransactionState | None],
                 check_open: Callable[[], None]) -> None:
        self._backend = backend
        self._tasks = tasks
        self._check_open = check_open
        self._state: TransactionState | None = None
        self._token: Token[TransactionState | None] | None = None
        self._savepoint: str | None = None
        self._used = False

    async def __aenter__(self) -> Transaction:
        if self._used:
            raise RuntimeError("a Transaction runs once: call db.transaction() again")
        self._used = True
        outer = current(self._tasks)
        if outer is not None:
            outer.depth += 1
            name = f"sarnic_sp{outer.depth}"
            async with outer.lock:
                try:
                    await outer.conn.savepoint(name)
                except BaseException:
                    outer.depth -= 1
                    raise
            self._state, self._savepoint = outer, name
            return self
        self._check_open()
        holder = self._backend.transaction_connection()
        conn = await holder.__aenter__()
        try:
            await conn.begin()
        except BaseException:
            await holder.__aexit__(*sys.exc_info())
            raise
        state = self._state = TransactionState(conn, holder)
        self._token = self._tasks.set(state)
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        state = self._state
        assert state is not None
        if self._savepoint is not None:
            name = self._savepoint
            try:
                async with state.lock:
                    if exc is not None and state.conn.usable:
                        await state.conn.rollback_to(name)
                    if state.conn.usable:
                        await state.conn.release(name)
            finally:
                state.depth -= 1
            return
        assert self._token is not None
        try:
            async with state.lock:
                if exc is None:
                    await state.conn.commit()
                elif state.conn.usable:
                    try:
                        await state.conn.rollback()
                    except Exception:
                        # The block's own error is the one to see; this
                        # connection is not trusted again.
                        state.conn.broken = True
        except BaseException:
            exc_type, exc, tb = sys.exc_info()
            raise
        finally:
            state.active = False
            self._tasks.reset(self._token)
            await state.release.__aexit__(exc_type, exc, tb)


def current(tasks: ContextVar[TransactionState | None]) -> TransactionState | None:
    """The transaction the running task is in, if one is still open."""
    state = tasks.get()
    return state if state is not None and state.active else None
