"""The condition that selects rows by a list of keys, and how many keys one
statement takes: the one place prefetch and link writes build it.

PostgreSQL (`= ANY($1)`) and SQLite (`json_each(?)`) bind the whole list as
one value, so one statement takes every key. MySQL/MariaDB get one
placeholder per key: there a chunk stays far under the protocol's 65,535
and keeps each statement's text to a size the server parses quickly.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from sarnic.model.columns import Condition
from sarnic.model.fields.base import Field

if TYPE_CHECKING:
    from sarnic.execution.backends.base import Backend

#: keys per statement where each key is a placeholder of its own
KEYS_PER_STATEMENT = 5000

#: dialects that bind a key list as one value
ONE_VALUE = frozenset(("postgres", "sqlite"))


def keys_condition(field: Field[Any], keys: Sequence[Any]) -> Condition:
    """`field` equal to one of the keys (a list of at least one)."""
    if len(keys) == 1:
        return field._compare("eq", keys[0])
    return field.in_(keys)


def chunk_size(backend: Backend) -> int:
    """Keys per statement on this backend, leaving room for the query's own values."""
    if backend.dialect in ONE_VALUE:
        return 1 << 62
    return max(1, min(KEYS_PER_STATEMENT, backend.max_params // 2))


def chunks(keys: Sequence[Any], size: int) -> Iterator[Sequence[Any]]:
    if len(keys) <= size:
        yield keys
        return
    for start in range(0, len(keys), size):
        yield keys[start:start + size]
