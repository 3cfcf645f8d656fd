"""From the rows of a values query to tuples of the items' Python types.

Engines return aggregates in their own types: PostgreSQL a numeric for the
SUM of integers, MySQL a decimal for an AVG or a SUM; each column is turned
into its item's declared type (int, float, Decimal, str, or the field's own),
with converters worked out once per item list and backend.
"""

from __future__ import annotations

import decimal
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from sarnic.execution.backends.base import Backend, Result


def _int(value: Any) -> int:
    return value if type(value) is int else int(value)


def _float(value: Any) -> float:
    return value if type(value) is float else float(value)


def _decimal(value: Any) -> decimal.Decimal:
    return value if isinstance(value, decimal.Decimal) else decimal.Decimal(str(value))


def _text(value: Any) -> str:
    if type(value) is str:
        return value
    return bytes(value).decode() if isinstance(value, (bytes, bytearray, memoryview)) else str(value)


_BY_KIND: dict[str, Callable[[Any], Any]] = {"int": _int, "float": _float, "decimal": _decimal, "text": _text}


class ValuesReader:
    """Reads the rows of one list of values items on one backend."""

    def __init__(self, kinds: Sequence[Any], backend: Backend) -> None:
        self.convs: list[Callable[[Any], Any] | None] = [
            _BY_KIND[k] if isinstance(k, str) else backend.result_converter(k) for k in kinds]
        self.plain = all(c is None for c in self.convs)

    def read(self, result: Result) -> list[tuple[Any, ...]]:
        rows = result.rows
        if self.plain:
            return [tuple(row) for row in rows]
        convs = self.convs
        return [tuple([v if c is None or v is None else c(v) for v, c in zip(row, convs)]) for row in rows]
