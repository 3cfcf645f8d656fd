"""`Session`: what prefetching and link writes run their statements on. A
`Database` is one; typed by what they use, they need not import it."""

from __future__ import annotations

from typing import Any, Protocol

from sarnic.execution.backends.base import Backend
from sarnic.execution.transaction import Transaction
from sarnic.query.bulk import BulkInsert
from sarnic.query.select import Select
from sarnic.query.writes import Delete

class Session(Protocol):
    @property
    def _backend(self) -> Backend: ...

    def transaction(self) -> Transaction: ...

    async def fetch(self, query: Select[Any]) -> list[Any]: ...

    async def execute(self, query: Delete[Any] | BulkInsert[Any]) -> int: ...
