"""MySQL and MariaDB: table options, derived documents and the FULLTEXT
indexes that MATCH ... AGAINST needs (one over exactly each MATCH list)."""

from __future__ import annotations

import re
from typing import Any

from sarnic.model.fields.search import TSVector
from sarnic.model.base import Table
from sarnic.schema import fulltext
from sarnic.schema.errors import SchemaError
from sarnic.schema.quoting import object_name, quote_ident

_COLLATION = re.compile(r"[A-Za-z0-9_]+")


def _q(name: str) -> str:
    return quote_ident("mysql", name)


def fulltext_lists(model: type[Table]) -> list[tuple[str, list[str]]]:
    """(index name, columns) for each distinct MATCH column list of the model."""
    out: list[tuple[str, list[str]]] = []
    for f in fulltext.searched_fields(model):
        columns = fulltext.match_columns(model, f)
        if not columns or any(columns == seen for _, seen in out):
            continue
        ix = fulltext.first_index(model, f)
        out.append((ix.name if ix is not None else f"{model.__table__}_{f.name}_ft", columns))
    # A MATCH must list exactly one index's columns: each field of a shared
    # index gets one of its own, so that a field's match can search it alone.
    for f in fulltext.searched_fields(model):
        ix = fulltext.first_index(model, f)
        if ix is not None and len(ix.fields) > 1 and not any(seen == [f.column] for _, seen in out):
            out.append((f"{ix.name}_{f.name}", [f.column]))
    return out


def fulltext_clauses(model: type[Table]) -> list[str]:
    return [f"FULLTEXT KEY {_q(object_name(name))} ({', '.join(_q(c) for c in columns)})"
            for name, columns in fulltext_lists(model)]


def generated_column(model: type[Table], field: TSVector[Any]) -> str:
    """The source texts joined by blanks (CONCAT_WS skips NULLs). InnoDB puts
    no FULLTEXT index on a virtual column, so one that a MATCH lists is stored."""
    sources = ", ".join(_q(c) for c in field.fts_source_columns or ())
    indexed = any(field.column in columns for _, columns in fulltext_lists(model))
    return f"LONGTEXT AS (CONCAT_WS(' ', {sources})) {'STORED' if indexed else 'VIRTUAL'}"


def table_options(collation: str | None) -> str:
    if collation is None:
        return " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4"
    if not _COLLATION.fullmatch(collation):
        raise SchemaError(f"collation {collation!r} is not a collation name (ASCII letters, digits and _)")
    return f" ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE={collation}"
