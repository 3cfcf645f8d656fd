"""What each dialect's full-text SQL searches, read the way the core reads it
from the model's metadata document, so the DDL builds exactly those objects."""

from __future__ import annotations

from typing import Any

from sarnic.model.fields.base import Field
from sarnic.model.base import FullTextIndex, Table


def searched_fields(model: type[Table]) -> list[Field[Any]]:
    return [f for f in model.__fields__ if f.full_text_capable()]


def first_index(model: type[Table], field: Field[Any]) -> FullTextIndex | None:
    """The first full-text index that lists the field: it decides the columns,
    the configuration and the companion name."""
    return next((ix for ix in model.__full_text__ if field.name in ix.fields), None)


def match_columns(model: type[Table], field: Field[Any]) -> list[str]:
    """The columns a MATCH on the field lists (MySQL) and its companion holds
    (SQLite): the first listing index's fields, else the source columns, else
    the field's own column."""
    meta = model.__metadata__
    ix = first_index(model, field)
    if ix is not None:
        by_name = {f["name"]: f["column_name"] for f in meta["fields"]}
        return [by_name[n] for n in ix.fields if n in by_name]
    sources = meta["fields"][field.position].get("fts_source_columns")
    return list(sources) if sources is not None else [field.column]


def postgres_config(model: type[Table], field: Field[Any]) -> str | None:
    """The configuration PostgreSQL searches the field with: its own, else
    that of the first index listing it (which may have none)."""
    if field.fts_config is not None:
        return field.fts_config
    ix = first_index(model, field)
    return None if ix is None else ix.config


def field_by_column(model: type[Table], column: str) -> Field[Any] | None:
    return next((f for f in model.__fields__ if f.column == column), None)
