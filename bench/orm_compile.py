"""The ORM layer's compile path: a query built with models and turned into a
`Compiled`, against SQLAlchemy Core building and compiling the same statement.

Besides the whole `.sql("postgres")`, each stage of it is timed alone on the
same query (the query object, its IR, the encoding, the core, the result made
into a `Compiled`), so the table shows where the time goes; the stages are
reported as shares of the whole. The IR's encoding is timed with msgspec, which
the package uses, beside the msgpack package's Packer on the same IR.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import msgpack
import sqlalchemy as sa

import equivalence
import peers
from harness import Candidate
from sarnic import FullTextIndex, Model, _codec, _native, fields
from sarnic.query.compiled import to_compiled
from sarnic.query.base import Query


class User(Model):
    id = fields.Int(primary_key=True)
    email = fields.Text()

    class Meta:
        table = "users"


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    email = fields.Text(null=True, unique=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author, null=True)
    title = fields.Text()
    body = fields.Text(fts_config="english")
    views = fields.Int(default=0)
    published_at = fields.DateTime(null=True)
    embedding = fields.Vector(3, null=True)
    tags = fields.TextArray(default=list)

    class Meta:
        table = "posts"
        full_text = [FullTextIndex("posts_fts", ["title", "body"], config="english")]


def user_query() -> Query[Any]:
    return User.select(User.id, User.email).where(User.email.icontains("%ann%")).order_by(User.id.desc()).limit(10)


def post_query() -> Query[Any]:
    return Post.select().where(Post.views >= 10).order_by(Post.id.desc())[:20]


_md = sa.MetaData()
USERS = sa.Table(
    "users", _md,
    sa.Column("id", sa.Integer, primary_key=True),
    sa.Column("email", sa.Text, nullable=False),
)  # fmt: skip
POSTS = sa.Table(
    "posts", _md,
    sa.Column("id", sa.BigInteger, primary_key=True),
    sa.Column("author_id", sa.Integer),
    sa.Column("title", sa.Text, nullable=False),
    sa.Column("body", sa.Text, nullable=False),
    sa.Column("views", sa.Integer, nullable=False),
    sa.Column("published_at", sa.DateTime(timezone=True)),
    sa.Column("embedding", sa.ARRAY(sa.Float)),
    sa.Column("tags", sa.ARRAY(sa.Text), nullable=False),
)  # fmt: skip


def sa_user_select() -> sa.Select:
    u = USERS.c
    return sa.select(u.id, u.email).where(u.email.ilike("%ann%")).order_by(u.id.desc()).limit(10)


def sa_post_select() -> sa.Select:
    p = POSTS.c
    return sa.select(POSTS).where(p.views >= 10).order_by(p.id.desc()).limit(20)


# name: (query builder, SQLAlchemy builder, table, expected SQL)
QUERIES: dict[str, tuple[Callable[[], Query[Any]], Callable[[], sa.Select], str, str]] = {
    "orm README select": (
        user_query, sa_user_select, "users",
        'SELECT "id", "email" FROM "users" WHERE "email" ILIKE $1 ORDER BY "id" DESC LIMIT $2',
    ),
    "orm Post select": (
        post_query, sa_post_select, "posts",
        'SELECT "id", "author_id", "title", "body", "views", "published_at", "embedding", "tags" FROM "posts" '
        'WHERE "views" >= $1 ORDER BY "id" DESC LIMIT $2',
    ),
}  # fmt: skip

STAGES = ("build", "ir()", "encode", "native compile", "result -> Compiled")


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"bench: wrong result: {what}")


def whole(build: Callable[[], Query[Any]]) -> Callable[[], Any]:
    def run() -> Any:
        return build().sql("postgres")

    return run


def orm_workload(report: Any, quick: bool) -> None:
    sa_dialect = peers.sqlalchemy_dialect("postgres")
    packer = msgpack.Packer(autoreset=True)
    for name, (build, sa_build, table, expected) in QUERIES.items():
        query = build()
        model = query.model
        ir = query.ir()
        packed = _codec.pack(ir)
        result = _native.compile_query_msgpack(model.__metadata_bytes__, packed, "postgres")
        compiled = query.sql("postgres")
        check(compiled.sql == expected, f"{name}: {compiled.sql}")
        check(to_compiled(model, result) == compiled, f"{name}: the stages make another Compiled")
        check(packer.pack(ir) == packed, f"{name}: msgpack's Packer encodes the IR otherwise")
        uncached = peers.compile_uncached(sa_build, sa_dialect)
        cached = peers.compile_cached(sa_build, sa_dialect)
        for peer_name, peer in (("sqlalchemy uncached", uncached), ("sqlalchemy cached", cached)):
            ours = (compiled.sql, list(compiled.params))
            check(equivalence.same_statement(ours, peer(), "postgres", table),
                  f"{name} {peer_name}: the peer builds another statement: {peer()[0]!r}")  # fmt: skip

        t = report.group(
            name,
            [
                Candidate(".sql('postgres')", whole(build)),
                Candidate("sqlalchemy uncached", uncached),
                Candidate("sqlalchemy cached", cached),
                Candidate("build", build),
                Candidate("ir()", query.ir),
                Candidate("encode", _codec.pack, (ir,)),
                Candidate("native compile", _native.compile_query_msgpack,
                          (model.__metadata_bytes__, packed, "postgres")),  # fmt: skip
                Candidate("result -> Compiled", to_compiled, (model, result)),
                Candidate("msgpack Packer encode", packer.pack, (ir,)),
            ],
            rounds=9 if quick else 41,
            budget_seconds=2.0 if quick else 6.0,
        )
        report.compare(name, t, ".sql('postgres')", "sqlalchemy uncached", 0.1)
        report.compare(name, t, ".sql('postgres')", "sqlalchemy cached", 0.5)
        for stage in STAGES:
            report.compare(name, t, stage, ".sql('postgres')")
        report.compare(name, t, "encode", "msgpack Packer encode")
