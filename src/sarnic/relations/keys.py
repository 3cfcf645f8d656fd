"""The condition that selects rows by a list of keys, and how many keys one
statement takes: the one place prefetch and link writes build it.

Key lists are OR chains of equalities for now (`ColumnExpr.in_`), which
SQLite parses one tree level deeper per term and refuses near 1,000 levels;
a chunk of 500 keys stays under that and far under every engine's parameter
limit (asyncpg 32,767, SQLite's build limit, MySQL 65,535). Once lists are
bound as one array parameter, the chunk grows to what the engine takes.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import Any

from sarnic.expr import Condition
from sarnic.fields import Field

#: keys per statement while a key list is an OR chain
KEYS_PER_STATEMENT = 500


def keys_condition(field: Field[Any], keys: Sequence[Any]) -> Condition:
    """`field` equal to one of the keys (a list of at least one)."""
    if len(keys) == 1:
        return field._compare("eq", keys[0])
    return field.in_(keys)


def chunk_size(max_params: int) -> int:
    """Keys per statement on an engine that binds at most `max_params` values,
    leaving room for the query's own."""
    return max(1, min(KEYS_PER_STATEMENT, max_params // 2))


def chunks(keys: Sequence[Any], size: int) -> Iterator[Sequence[Any]]:
    for start in range(0, len(keys), size):
        yield keys[start:start + size]
