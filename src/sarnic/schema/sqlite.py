"""SQLite: derived documents and the FTS5 companion tables that the core's
full-text SQL joins by rowid, kept in step with their table by triggers."""

from __future__ import annotations

from typing import Any

from sarnic.model.fields.search import TSVector
from sarnic.model.base import Table
from sarnic.schema import fulltext
from sarnic.schema.quoting import object_name, quote_ident, quote_literal


def _q(name: str) -> str:
    return quote_ident("sqlite", name)


def generated_column(field: TSVector[Any]) -> str:
    document = " || ' ' || ".join(f"coalesce({_q(c)}, '')" for c in field.fts_source_columns or ())
    return f"TEXT GENERATED ALWAYS AS ({document}) VIRTUAL"


def companions(model: type[Table]) -> dict[str, list[str]]:
    """Companion name -> the columns it indexes, named as the core names them:
    the first index listing a field, else `<table>_<field>_fts`."""
    out: dict[str, list[str]] = {}
    for f in fulltext.searched_fields(model):
        ix = fulltext.first_index(model, f)
        name = ix.name if ix is not None else f"{model.__table__}_{f.name}_fts"
        out.setdefault(name, fulltext.match_columns(model, f))
    return out


def tokenizer(model: type[Table], name: str) -> str:
    """FTS5 has one stemmer, Porter's for English: a companion searched with the
    english configuration stems as PostgreSQL does; any other configuration
    reads words as they are (unicode61: case and diacritics folded)."""
    for f in fulltext.searched_fields(model):
        ix = fulltext.first_index(model, f)
        if (ix.name if ix is not None else f"{model.__table__}_{f.name}_fts") == name:
            config = fulltext.postgres_config(model, f)
            return "porter unicode61" if (config or "").lower() == "english" else "unicode61"
    return "unicode61"


def rowid_alias(model: type[Table]) -> str | None:
    """The INTEGER PRIMARY KEY column, which is the rowid itself."""
    pk = model.__pk__
    return pk[0].column if pk[0].auto_key else None


def _watched(model: type[Table], columns: list[str], alias: str | None) -> list[str]:
    """The columns whose update changes what a companion holds. A derived
    column is never assigned, so its sources stand for it."""
    out: list[str] = []
    for c in columns:
        f = fulltext.field_by_column(model, c)
        out += list(f.fts_source_columns or ()) if f is not None and f.generated else [c]
    if alias is not None:
        out.append(alias)
    return list(dict.fromkeys(out))


def companion_statements(model: type[Table], exists: str) -> list[str]:
    table = model.__table__
    alias = rowid_alias(model)
    rowid = _q(alias) if alias is not None else "rowid"
    out = []
    for name, columns in companions(model).items():
        fts = _q(name)
        names = ", ".join(_q(c) for c in columns)
        new = ", ".join(f"new.{_q(c)}" for c in columns)
        old = ", ".join(f"old.{_q(c)}" for c in columns)
        content = f"content={quote_literal('sqlite', table)}, content_rowid={quote_literal('sqlite', alias or 'rowid')}"
        tokenize = f"tokenize={quote_literal('sqlite', tokenizer(model, name))}"
        out.append(f"CREATE VIRTUAL TABLE {exists}{fts} USING fts5({names}, {content}, {tokenize})")
        # External content: the companion keeps only the index, and removing a
        # row's terms takes the values it was indexed with.
        add = f"INSERT INTO {fts} (rowid, {names}) VALUES (new.{rowid}, {new});"
        drop = f"INSERT INTO {fts} ({fts}, rowid, {names}) VALUES ('delete', old.{rowid}, {old});"
        watched = ", ".join(_q(c) for c in _watched(model, columns, alias))
        on = _q(table)
        out += [
            f"CREATE TRIGGER {exists}{_q(object_name(name, 'ai'))} AFTER INSERT ON {on} BEGIN {add} END",
            f"CREATE TRIGGER {exists}{_q(object_name(name, 'ad'))} AFTER DELETE ON {on} BEGIN {drop} END",
            f"CREATE TRIGGER {exists}{_q(object_name(name, 'au'))} AFTER UPDATE OF {watched} ON {on} "
            f"BEGIN {drop} {add} END",
        ]
    return out


def drop_companions(model: type[Table]) -> list[str]:
    return [f"DROP TABLE IF EXISTS {_q(name)}" for name in companions(model)]
