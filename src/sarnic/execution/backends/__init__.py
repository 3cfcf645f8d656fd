"""One module per driver; a URL's scheme picks the module, which is imported
only then, so a missing driver fails only where it is used."""

from __future__ import annotations

from urllib.parse import urlsplit

from sarnic.execution.backends.base import Backend, Connection, Result, Url, parse_query
from sarnic.errors import NotSupportedError

__all__ = ["Backend", "Connection", "Result", "Url", "create"]


def _sqlite_url(url: str) -> Url:
    rest = url.split("://", 1)[1]
    path, _, query = rest.partition("?")
    if path in (":memory:", "/:memory:", ""):
        path = ":memory:"
    elif path.startswith("/"):
        path = path[1:]  # sqlite:///blog.db is relative, sqlite:////tmp/blog.db absolute
    else:
        raise ValueError(f"SQLite URLs are sqlite:///path or sqlite://:memory:, not {url!r}")
    return Url("sqlite", None, None, None, None, path, parse_query(query))


def create(url: str, *, min_size: int, max_size: int) -> Backend:
    if not isinstance(url, str):
        raise TypeError(f"a database URL is a str, not {type(url).__name__}")
    scheme = url.partition("://")[0].lower() if "://" in url else ""
    if scheme == "sqlite":
        from sarnic.execution.backends.sqlite import SqliteBackend

        return SqliteBackend(_sqlite_url(url), min_size=min_size, max_size=max_size)
    cls: type[Backend]
    if scheme in ("postgresql", "postgres"):
        from sarnic.execution.backends.postgres import PostgresBackend

        cls = PostgresBackend
    elif scheme in ("mysql", "mariadb"):
        from sarnic.execution.backends.mysql import MySQLBackend

        cls = MySQLBackend
    elif scheme in ("mssql", "sqlserver"):
        raise NotSupportedError("SQL Server statements compile (query.sql('mssql')), but no SQL Server executor "
                                "ships yet")
    else:
        raise ValueError(f"unknown database URL {url!r}: use postgresql://, mysql://, mariadb:// or sqlite://")
    return cls(Url.parse(urlsplit(url)), min_size=min_size, max_size=max_size)
