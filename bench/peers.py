"""The same statements built with SQLAlchemy Core and PyPika.

Each builder makes a new statement object on every call and returns the SQL
text with its bound values in placeholder order, the two things sarnic hands
back.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import sqlalchemy as sa
from pypika import Order, Table
from pypika.dialects import MSSQLQuery, MySQLQuery, PostgreSQLQuery, SQLLiteQuery
from pypika.terms import ListParameter
from sqlalchemy.dialects.mssql import pyodbc
from sqlalchemy.dialects.mysql import aiomysql
from sqlalchemy.dialects.postgresql import TSVECTOR, asyncpg
from sqlalchemy.dialects.sqlite import aiosqlite

import inputs


def sqlalchemy_dialect(name: str) -> sa.engine.Dialect:
    """The async drivers an async ORM would use; SQL Server as of 2012 and later."""
    if name == "postgres":
        return asyncpg.dialect()
    if name == "mysql":
        return aiomysql.dialect()
    if name == "sqlite":
        return aiosqlite.dialect()
    dialect = pyodbc.dialect(paramstyle="qmark")
    # Set on connect from the server version; without it the paging is ROW_NUMBER().
    dialect.server_version_info = (16, 0)  # type: ignore[assignment]
    dialect._supports_offset_fetch = True
    return dialect


_md = sa.MetaData()
ARTICLES = sa.Table(
    "articles", _md,
    sa.Column("id", sa.BigInteger, primary_key=True),
    sa.Column("title", sa.Text, nullable=False),
    sa.Column("views", sa.Integer, nullable=False),
    sa.Column("author_id", sa.BigInteger, sa.ForeignKey("users.id")),
    sa.Column("body", sa.Text),
    sa.Column("search_vector", TSVECTOR),
    sa.Column("embedding", sa.ARRAY(sa.Float)),
    sa.Column("price", sa.Float),
    sa.Column("published_at", sa.DateTime(timezone=True)),
    sa.Column("status", sa.Enum("draft", "published", name="status")),
    sa.Column("tags", sa.ARRAY(sa.Text)),
    sa.Column("meta", sa.JSON),
)  # fmt: skip
USERS = sa.Table(
    "users", _md,
    sa.Column("id", sa.BigInteger, primary_key=True),
    sa.Column("name", sa.Text),
    sa.Column("email", sa.Text),
)  # fmt: skip
EVENTS = sa.Table(
    "events", _md,
    sa.Column("id", sa.BigInteger, primary_key=True),
    sa.Column("name", sa.Text, nullable=False),
    sa.Column("count", sa.Integer),
    sa.Column("ratio", sa.Float),
    sa.Column("active", sa.Boolean),
    sa.Column("happened_on", sa.Text),
)  # fmt: skip


def paged_select() -> sa.Select:
    a = ARTICLES.c
    return sa.select(a.id, a.title).where(a.views >= 100).order_by(a.title.asc()).limit(10).offset(20)


def joined_ranked_select() -> sa.Select:
    a = ARTICLES.c
    author = USERS.alias("author")
    rank = sa.func.ts_rank(a.search_vector, sa.func.websearch_to_tsquery(sa.literal_column("'english'"), inputs.SEARCH_QUERY))
    return (
        sa.select(a.id, a.title, a.views, author.c.name.label("author__name"), author.c.email.label("author__email"))
        .select_from(ARTICLES.outerjoin(author, a.author_id == author.c.id))
        .where(
            sa.or_(a.views >= 100, a.views < 5),
            sa.not_(a.status == "draft"),
            a.title.ilike("%sql%"),
            a.price <= 9.5,
            a.author_id.is_not(None),
        )
        .order_by(rank.desc().nulls_last())
        .limit(20)
    )


def nearest_select() -> sa.Select:
    a = ARTICLES.c
    distance = a.embedding.op("<=>")(sa.bindparam("vector", inputs.QUERY_VECTOR, type_=sa.ARRAY(sa.Float)))
    return sa.select(a.id, a.title).where(a.status == "published").order_by(distance).limit(10)


def _in_order(compiled: Any, params: dict[str, Any]) -> list[Any]:
    return [params[name] for name in compiled.positiontup]


def compile_uncached(build: Callable[[], Any], dialect: sa.engine.Dialect) -> Callable[[], Any]:
    def run() -> Any:
        compiled = build().compile(dialect=dialect)
        return compiled.string, _in_order(compiled, compiled.params)

    return run


def compile_cached(build: Callable[[], Any], dialect: sa.engine.Dialect) -> Callable[[], Any]:
    """What Connection.execute does: a new statement, its cache key, the
    compiled form from the cache, and the parameters extracted from the key."""
    cache: dict[Any, Any] = {}

    def run() -> Any:
        compiled, extracted, *rest = build()._compile_w_cache(
            dialect, compiled_cache=cache, column_keys=[], for_executemany=False, schema_translate_map=None
        )
        # 2.1 also hands back the parameters it collected while making the key.
        extra = {"_collected_params": rest[0]} if len(rest) == 2 else {}
        params = compiled.construct_params(extracted_parameters=extracted, escape_names=False, **extra)
        return compiled.string, _in_order(compiled, params)

    return run


def bulk_insert(rows: list[dict[str, Any]], dialect: sa.engine.Dialect) -> Callable[[], Any]:
    values = [{("happened_on" if k == "happened_at" else k): v for k, v in row.items()} for row in rows]

    def run() -> Any:
        compiled = sa.insert(EVENTS).values(values).compile(dialect=dialect)
        return compiled.string, _in_order(compiled, compiled.params)

    return run


PYPIKA_QUERIES = {"postgres": PostgreSQLQuery, "mysql": MySQLQuery, "sqlite": SQLLiteQuery, "mssql": MSSQLQuery}
_pk_articles = Table("articles")


def pypika_paged_select(dialect: str) -> Callable[[], Any]:
    """PyPika binds the filter value; it writes LIMIT and OFFSET inline."""
    query = PYPIKA_QUERIES[dialect]
    placeholder: Any = (lambda i: f"${i + 1}") if dialect == "postgres" else "?"

    def run() -> Any:
        t = _pk_articles
        parameter = ListParameter(placeholder=placeholder)
        q = query.from_(t).select(t.id, t.title).where(t.views >= 100).orderby(t.title, order=Order.asc)
        sql = q.limit(10).offset(20).get_sql(parameter=parameter)
        return sql, parameter.get_parameters()

    return run
