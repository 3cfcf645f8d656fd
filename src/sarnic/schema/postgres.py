"""PostgreSQL objects beyond the table: the pgvector extension, derived
tsvector columns and the GIN indexes the full-text SQL can use."""

from __future__ import annotations

from typing import Any

from sarnic.model.fields.scalars import Enum
from sarnic.model.fields.search import TSVector, Vector
from sarnic.model.fields.text import Text
from sarnic.model.base import Table
from sarnic.schema import fulltext
from sarnic.schema.quoting import object_name, quote_ident, quote_literal

VECTOR_EXTENSION = "CREATE EXTENSION IF NOT EXISTS vector"
#: the configuration of a derived document whose field names none
DEFAULT_DOCUMENT_CONFIG = "simple"


def needs_vector(models: list[type[Table]]) -> bool:
    return any(isinstance(f, Vector) for m in models for f in m.__fields__)


def _q(name: str) -> str:
    return quote_ident("postgres", name)


def generated_column(model: type[Table], field: TSVector[Any]) -> str:
    """A document derived from its source columns; NULL sources count as empty."""
    parts = []
    for column in field.fts_source_columns or ():
        source = fulltext.field_by_column(model, column)
        # Only a text column concatenates as it is; others need an (immutable) cast.
        cast = "" if isinstance(source, (Text, Enum)) else "::text"
        parts.append(f"coalesce({_q(column)}{cast}, '')")
    config = quote_literal("postgres", field.fts_config or DEFAULT_DOCUMENT_CONFIG)
    document = " || ' ' || ".join(parts)
    return f"tsvector GENERATED ALWAYS AS (to_tsvector({config}, {document})) STORED"


def search_indexes(model: type[Table], exists: str) -> list[str]:
    """A GIN index per searched field, on exactly what the core's condition
    searches: a tsvector column itself, a text column through to_tsvector with
    its configuration. A text field without one gets none: to_tsvector(text)
    depends on a setting, so no index can hold it."""
    table = model.__table__
    out = []
    for f in fulltext.searched_fields(model):
        if isinstance(f, TSVector):
            target = _q(f.column)
        else:
            config = fulltext.postgres_config(model, f)
            if config is None:
                continue
            target = f"to_tsvector({quote_literal('postgres', config)}, {_q(f.column)})"
        name = _q(object_name(table, f.column, "gin"))
        out.append(f"CREATE INDEX {exists}{name} ON {_q(table)} USING gin ({target})")
    return out

