"""Per-engine schemas for the models. The full-text objects are derived from
the models, the way each engine's full-text SQL looks for them."""

from __future__ import annotations

from typing import Any

from .drivers import Engine
from .models import ARTICLES


def _capable(meta: dict[str, Any], f: dict[str, Any]) -> bool:
    if f["field_type"] in ("ts_vector", "tsvector"):
        return True
    listed = any(f["name"] in ix["fields"] for ix in meta.get("full_text_indexes", []))
    return f["field_type"] == "text" and (listed or f.get("fts_source_columns") is not None)


def _match_columns(meta: dict[str, Any], f: dict[str, Any]) -> list[str]:
    by_name = {g["name"]: g["column_name"] for g in meta["fields"]}
    for ix in meta.get("full_text_indexes", []):
        if f["name"] in ix["fields"]:
            return [by_name[n] for n in ix["fields"] if n in by_name]
    if f.get("fts_source_columns") is not None:
        return list(f["fts_source_columns"])
    return [f["column_name"]]


def mariadb_fulltext(meta: dict[str, Any]) -> list[tuple[str, list[str]]]:
    """One FULLTEXT index per distinct MATCH column list of the model's searchable
    fields (MATCH needs an index over exactly its columns)."""
    out: list[tuple[str, list[str]]] = []
    for f in meta["fields"]:
        if not _capable(meta, f) or any(cols == _match_columns(meta, f) for _, cols in out):
            continue
        ix = next((ix for ix in meta.get("full_text_indexes", []) if f["name"] in ix["fields"]), None)
        out.append((ix["name"] if ix else f"ft_{f['name']}", _match_columns(meta, f)))
    return out


def sqlite_companions(meta: dict[str, Any]) -> dict[str, list[str]]:
    """FTS5 companion tables by name: the first index listing a field names its
    table, else <table>_<field>_fts; the columns are those the field searches."""
    tables: dict[str, list[str]] = {}
    for f in meta["fields"]:
        if not _capable(meta, f):
            continue
        ix = next((ix for ix in meta.get("full_text_indexes", []) if f["name"] in ix["fields"]), None)
        name = ix["name"] if ix else f"{meta['table_name']}_{f['name']}_fts"
        tables.setdefault(name, _match_columns(meta, f))
    return tables


def _vector_dimensions(meta: dict[str, Any]) -> int:
    return int(next(f["vector_dimensions"] for f in meta["fields"] if f["field_type"] == "vector"))


def postgres() -> list[str]:
    return [
        "CREATE TABLE authors (id bigserial PRIMARY KEY, name text NOT NULL, email text,"
        " joined_at timestamptz)",
        "CREATE TABLE articles (id bigserial PRIMARY KEY, title text NOT NULL, body text NOT NULL,"
        " view_count bigint NOT NULL DEFAULT 0, score double precision,"
        " published boolean NOT NULL DEFAULT false,"
        " author_id bigint REFERENCES authors (id) ON DELETE SET NULL,"
        " created_at timestamptz NOT NULL DEFAULT now(), payload bytea, tags text[],"
        f" embedding vector({_vector_dimensions(ARTICLES)}),"
        " search_vector tsvector GENERATED ALWAYS AS"
        " (to_tsvector('english', title || ' ' || body)) STORED)",
        "CREATE INDEX articles_search_gin ON articles USING gin (search_vector)",
        "CREATE INDEX articles_body_gin ON articles USING gin (to_tsvector('english', body))",
        'CREATE TABLE memberships (org_id bigint NOT NULL, user_id bigint NOT NULL REFERENCES authors (id),'
        ' role text NOT NULL, "order" bigint NOT NULL DEFAULT 0, PRIMARY KEY (org_id, user_id))',
        "CREATE TABLE visits (id bigserial PRIMARY KEY, note text, at timestamptz NOT NULL DEFAULT now())",
    ]


def mariadb() -> list[str]:
    fulltext = "".join(f", FULLTEXT KEY `{name}` ({', '.join(f'`{c}`' for c in cols)})"
                       for name, cols in mariadb_fulltext(ARTICLES))
    return [
        "CREATE TABLE authors (id BIGINT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(200) NOT NULL,"
        " email VARCHAR(200), joined_at DATETIME(6)) ENGINE=InnoDB",
        "CREATE TABLE articles (id BIGINT AUTO_INCREMENT PRIMARY KEY, title TEXT NOT NULL,"
        " body TEXT NOT NULL, view_count BIGINT NOT NULL DEFAULT 0, score DOUBLE,"
        " published BOOLEAN NOT NULL DEFAULT FALSE, author_id BIGINT,"
        " created_at DATETIME(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6), payload BLOB, tags JSON,"
        " embedding JSON, search_vector TEXT,"
        " FOREIGN KEY (author_id) REFERENCES authors (id) ON DELETE SET NULL"
        f"{fulltext}) ENGINE=InnoDB",
        "CREATE TABLE memberships (org_id BIGINT NOT NULL, user_id BIGINT NOT NULL,"
        " role VARCHAR(50) NOT NULL, `order` BIGINT NOT NULL DEFAULT 0,"
        " PRIMARY KEY (org_id, user_id), FOREIGN KEY (user_id) REFERENCES authors (id)) ENGINE=InnoDB",
        "CREATE TABLE visits (id BIGINT AUTO_INCREMENT PRIMARY KEY, note TEXT,"
        " at DATETIME(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6)) ENGINE=InnoDB",
    ]


def _sqlite_sync(table: str, key: str, fts: str, cols: list[str]) -> list[str]:
    names = ", ".join(f'"{c}"' for c in cols)
    new = ", ".join(f'new."{c}"' for c in cols)
    old = ", ".join(f'old."{c}"' for c in cols)
    add = f'INSERT INTO "{fts}" (rowid, {names}) VALUES (new."{key}", {new});'
    drop = f'INSERT INTO "{fts}" ("{fts}", rowid, {names}) VALUES (\'delete\', old."{key}", {old});'
    return [
        f'CREATE TRIGGER "{fts}_ai" AFTER INSERT ON "{table}" BEGIN {add} END',
        f'CREATE TRIGGER "{fts}_ad" AFTER DELETE ON "{table}" BEGIN {drop} END',
        f'CREATE TRIGGER "{fts}_au" AFTER UPDATE ON "{table}" BEGIN {drop} {add} END',
    ]


def sqlite() -> list[str]:
    out = [
        "CREATE TABLE authors (id INTEGER PRIMARY KEY, name TEXT NOT NULL, email TEXT, joined_at TEXT)",
        "CREATE TABLE articles (id INTEGER PRIMARY KEY, title TEXT NOT NULL, body TEXT NOT NULL,"
        " view_count INTEGER NOT NULL DEFAULT 0, score REAL, published INTEGER NOT NULL DEFAULT 0,"
        " author_id INTEGER REFERENCES authors (id) ON DELETE SET NULL,"
        " created_at TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP, payload BLOB, tags TEXT,"
        " embedding TEXT, search_vector TEXT)",
        'CREATE TABLE memberships (org_id INTEGER NOT NULL, user_id INTEGER NOT NULL REFERENCES authors (id),'
        ' role TEXT NOT NULL, "order" INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (org_id, user_id))',
        "CREATE TABLE visits (id INTEGER PRIMARY KEY, note TEXT, at TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP)",
    ]
    for fts, cols in sqlite_companions(ARTICLES).items():
        names = ", ".join(f'"{c}"' for c in cols)
        out.append(f"CREATE VIRTUAL TABLE \"{fts}\" USING fts5({names}, content='articles', content_rowid='id')")
        out += _sqlite_sync("articles", "id", fts, cols)
    return out


def models(engine: Engine) -> list[str]:
    """The models' tables on this engine."""
    if engine.name == "postgres":
        return postgres()
    return mariadb() if engine.name == "mariadb" else sqlite()
