"""Parses statements with sqlglot's reader for their dialect."""

from __future__ import annotations

import re
from typing import NamedTuple

import sqlglot
from sqlglot.errors import ParseError, TokenError

READERS = {"postgres": "postgres", "mysql": "mysql", "mariadb": "mysql", "sqlite": "sqlite", "mssql": "tsql"}


class ReaderGap(NamedTuple):
    """Valid SQL that sqlglot's reader cannot parse: the statement is not at fault."""

    reader: str
    pattern: re.Pattern[str]
    reason: str
    example: str


READER_GAPS = [
    ReaderGap("postgres", re.compile(r" <#> "),
              "sqlglot's postgres reader takes '#>' for a JSON path operator",
              'SELECT "id" FROM "articles" ORDER BY "embedding" <#> $1'),
    ReaderGap("tsql", re.compile(r"^INSERT INTO .* OUTPUT .* DEFAULT VALUES$"),
              "sqlglot's tsql reader has no INSERT ... OUTPUT ... DEFAULT VALUES",
              "INSERT INTO [visits] OUTPUT INSERTED.[id] DEFAULT VALUES"),
]


def reader_gap(sql: str, dialect: str) -> ReaderGap | None:
    reader = READERS[dialect.lower()]
    return next((g for g in READER_GAPS if g.reader == reader and g.pattern.search(sql)), None)


def parse_error(sql: str, dialect: str) -> str | None:
    """None when the reader parses the text as exactly one statement, else why not."""
    try:
        trees = sqlglot.parse(sql, read=READERS[dialect.lower()])
    except (ParseError, TokenError) as exc:
        return str(exc).splitlines()[0]
    if len(trees) != 1 or trees[0] is None:
        return f"{len(trees)} statements"
    return None


def check(sql: str, dialect: str) -> None:
    error = parse_error(sql, dialect)
    if error is not None and reader_gap(sql, dialect) is None:
        raise AssertionError(f"sqlglot ({READERS[dialect.lower()]}) cannot parse {sql!r}: {error}")
