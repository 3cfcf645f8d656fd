"""Parses statements with sqlglot's reader for their dialect."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import NamedTuple

import sqlglot
from sqlglot.errors import ParseError, TokenError

READERS = {"postgres": "postgres", "postgresql": "postgres", "mysql": "mysql", "mariadb": "mysql", "sqlite": "sqlite",
           "mssql": "tsql", "sqlserver": "tsql"}


class ReaderGap(NamedTuple):
    """Valid SQL that sqlglot's reader cannot parse: the statement is not at fault."""

    readers: tuple[str, ...]
    applies: Callable[[str], bool]
    reason: str
    example: str


def nesting(sql: str) -> int:
    depth = deepest = 0
    for c in sql:
        depth += (c == "(") - (c == ")")
        deepest = max(deepest, depth)
    return deepest


# sqlglot's parser recurses per nesting level and meets Python's recursion limit.
MAX_NESTING = 60

READER_GAPS = [
    ReaderGap(("postgres",), lambda sql: " <#> " in sql,
              "sqlglot's postgres reader takes '#>' for a JSON path operator",
              'SELECT "id" FROM "articles" ORDER BY "embedding" <#> $1'),
    ReaderGap(("tsql",), lambda sql: re.fullmatch(r"INSERT INTO .* OUTPUT .* DEFAULT VALUES", sql) is not None,
              "sqlglot's tsql reader has no INSERT ... OUTPUT ... DEFAULT VALUES",
              "INSERT INTO [visits] OUTPUT INSERTED.[id] DEFAULT VALUES"),
    ReaderGap(("postgres", "mysql", "sqlite", "tsql"), lambda sql: nesting(sql) > MAX_NESTING,
              "sqlglot's recursive parser exceeds Python's recursion limit on deep nesting",
              "SELECT 1 FROM t WHERE " + "NOT (" * 400 + "1 = 1" + ")" * 400),
]


def reader_gap(sql: str, dialect: str) -> ReaderGap | None:
    reader = READERS[dialect.lower()]
    return next((g for g in READER_GAPS if reader in g.readers and g.applies(sql)), None)


def parse_error(sql: str, dialect: str) -> str | None:
    """None when the reader parses the text as exactly one statement, else why not."""
    try:
        trees = sqlglot.parse(sql, read=READERS[dialect.lower()])
    except (ParseError, TokenError) as exc:
        return str(exc).splitlines()[0]
    except RecursionError:
        return "recursion limit"
    if len(trees) != 1 or trees[0] is None:
        return f"{len(trees)} statements"
    return None


def check(sql: str, dialect: str) -> None:
    if reader_gap(sql, dialect) is not None:
        return
    error = parse_error(sql, dialect)
    if error is not None:
        raise AssertionError(f"sqlglot ({READERS[dialect.lower()]}) cannot parse {sql!r}: {error}")
