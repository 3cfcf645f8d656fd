"""The ORM tier: the same models on every backend through `sarnic.connect`,
in a database of their own that is dropped afterwards, and a Python reading
of queries over the instances that were stored, the reference every answer
is compared with.

Backends: PostgreSQL (a database made with the C collation, so that text
sorts by code point), MariaDB (the tables' case-insensitive,
accent-sensitive collation), SQLite in a file and in memory. Each test runs
its coroutine under `asyncio.run`, on a Database of its own; the in-memory
database lives as long as that Database, so it is built and seeded per test.
"""

from __future__ import annotations

import asyncio
import datetime as dt
import enum
import functools
import math
import operator
import re
import secrets
from collections.abc import Awaitable, Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, TypeVar

import pytest

import sarnic
from sarnic import FullTextIndex, Model, fields
from sarnic.model.columns import And, Comparison, Condition, InList, Not, Or
from sarnic.query.select import Select

from .drivers import MARIADB_ADDR, PG_ADDR
from .servers import _unavailable, require_server

M = TypeVar("M", bound=Model)
UTC = dt.timezone.utc
BACKENDS = ("postgres", "mariadb", "sqlite-file", "sqlite-memory")


# -- models --------------------------------------------------------------------------

class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    email = fields.Text(null=True, unique=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author, null=True)
    author_id: fields.Int[int | None]
    title = fields.Text()
    body = fields.Text(fts_config="english")
    views = fields.Int(default=0)
    published_at = fields.DateTime(null=True)
    embedding = fields.Vector(3, null=True)
    tags = fields.TextArray(default=list)

    class Meta:
        table = "posts"
        full_text = [FullTextIndex("posts_fts", ["title", "body"], config="english")]


class Membership(Model):
    org_id = fields.Int()
    user_id = fields.Int()
    role = fields.Text()
    since = fields.Date(null=True)

    class Meta:
        table = "memberships"
        primary_key = ("org_id", "user_id")


class Mood(enum.Enum):
    CALM = "calm"
    ODD = "ödd 'x'"


class Level(enum.Enum):
    LOW = 1
    HIGH = 3


class Every(Model):
    """One field of each of the core's types, and nullable ones for the NULL tests."""

    id = fields.Int(primary_key=True)
    small = fields.Int()
    big = fields.BigInt()
    ratio = fields.Float()
    amount = fields.Decimal(max_digits=40, decimal_places=20)
    loose = fields.Decimal(null=True)
    text = fields.Text()
    note = fields.Text(null=True)
    flag = fields.Bool()
    at = fields.DateTime()
    wall = fields.DateTime(timezone=False)
    day = fields.Date()
    clock = fields.Time()
    uid = fields.UUID()
    doc = fields.JSON()
    extra = fields.JSON(null=True)
    blob = fields.Bytes()
    vec = fields.Vector(3)
    search = fields.TSVector(null=True)
    texts = fields.TextArray()
    ints = fields.IntArray()
    floats = fields.FloatArray()
    uids = fields.UUIDArray()
    mood = fields.Enum(Mood)
    level = fields.Enum(Level)

    class Meta:
        table = "every"


# -- backends ------------------------------------------------------------------------

@dataclass(frozen=True)
class Semantics:
    """How an engine compares, matches and sorts what these tables hold."""

    #: equality and ordering of text ignore case (any script): MariaDB's _ci collation
    text_ignores_case: bool
    #: NULL sorts above every value (PostgreSQL), not below
    nulls_largest: bool


SEMANTICS = {
    "postgres": Semantics(False, True),
    "mariadb": Semantics(True, False),
    "sqlite": Semantics(False, False),
}


@dataclass
class Tier:
    """One backend holding the module's tables, and how to run a test on it."""

    name: str
    url: str
    prepare: Callable[[sarnic.Database], Awaitable[None]]

    @property
    def engine(self) -> str:
        return self.name.partition("-")[0]

    @property
    def memory(self) -> bool:
        return self.name == "sqlite-memory"

    def run(self, test: Callable[[sarnic.Database], Awaitable[Any]]) -> Any:
        async def main() -> Any:
            async with sarnic.connect(self.url, min_size=1, max_size=2) as db:
                if self.memory:
                    await self.prepare(db)
                return await test(db)

        return asyncio.run(main())


async def _pg_admin(sql: str, *, needs_vector: bool = False) -> None:
    import asyncpg

    conn = await asyncpg.connect(host=PG_ADDR[0], port=PG_ADDR[1], user="postgres", database="test")
    try:
        if needs_vector and not await conn.fetchval("SELECT 1 FROM pg_available_extensions WHERE name = 'vector'"):
            _unavailable("PostgreSQL server lacks pgvector (make pgvector builds it)")
        await conn.execute(sql)
    finally:
        await conn.close()


async def _mariadb_admin(sql: str) -> None:
    import asyncmy

    conn = await asyncmy.connect(host=MARIADB_ADDR[0], port=MARIADB_ADDR[1], user="root", autocommit=True)
    try:
        async with conn.cursor() as cur:
            await cur.execute(sql)
    finally:
        conn.close()


@contextmanager
def _database(name: str, tmp: pytest.TempPathFactory) -> Iterator[str]:
    """A URL of a database that exists for the duration of the block."""
    if name == "sqlite-memory":
        yield "sqlite://:memory:"
    elif name == "sqlite-file":
        yield f"sqlite:///{tmp.mktemp('orm') / 'tier.db'}"
    elif name == "postgres":
        require_server("postgres")
        pytest.importorskip("asyncpg")
        db = f"sarnic_t_{secrets.token_hex(6)}"
        # template0: the only template a database of another collation may copy.
        asyncio.run(_pg_admin(f"CREATE DATABASE {db} TEMPLATE template0 ENCODING 'UTF8' "
                              "LC_COLLATE 'C' LC_CTYPE 'C'", needs_vector=True))
        try:
            yield f"postgresql://postgres@{PG_ADDR[0]}:{PG_ADDR[1]}/{db}"
        finally:
            asyncio.run(_pg_admin(f"DROP DATABASE IF EXISTS {db} WITH (FORCE)"))
    else:
        require_server("mariadb")
        pytest.importorskip("asyncmy")
        db = f"sarnic_t_{secrets.token_hex(6)}"
        asyncio.run(_mariadb_admin(f"CREATE DATABASE {db}"))
        try:
            yield f"mariadb://root@{MARIADB_ADDR[0]}:{MARIADB_ADDR[1]}/{db}"
        finally:
            asyncio.run(_mariadb_admin(f"DROP DATABASE IF EXISTS {db}"))


def tier_fixture(models: Sequence[type[Model]],
                 seed: Callable[[sarnic.Database], Awaitable[None]] | None = None) -> Any:
    """A module-scoped fixture giving a Tier per backend: the models' tables
    created (and seeded) through the ORM, dropped with their database after."""

    async def prepare(db: sarnic.Database) -> None:
        await db.create_tables(*models)
        if seed is not None:
            await seed(db)

    @pytest.fixture(scope="module", params=BACKENDS)
    def tier(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Tier]:
        with _database(request.param, tmp_path_factory) as url:
            t = Tier(request.param, url, prepare)
            if not t.memory:
                t.run(prepare)
            yield t
            if not t.memory:
                t.run(lambda db: db.drop_tables(*models))

    return tier


class Undo(Exception):
    """Raised at the end of a transaction whose writes are only looked at."""


async def rolled_back(db: sarnic.Database, body: Callable[[], Awaitable[None]]) -> None:
    """Run `body` in a transaction, then roll it back: the seeded rows stay for the next test."""
    try:
        async with db.transaction():
            await body()
            raise Undo
    except Undo:
        pass


# -- the Python reading of a query ---------------------------------------------------

FULL_TEXT = frozenset(("match", "match_phrase", "match_websearch", "match_boolean"))
MODE_OPERATOR = {"plain": "match", "phrase": "match_phrase", "websearch": "match_websearch",
                 "boolean": "match_boolean"}


def words(text: str) -> list[str]:
    return re.findall(r"\w+", text.lower())


def boolean_query(engine: str, required: Sequence[str], excluded: Sequence[str]) -> str:
    """A boolean full-text query in the engine's own syntax."""
    if engine == "postgres":
        return " & ".join([*required, *(f"!{w}" for w in excluded)])
    if engine == "mariadb":
        return " ".join([*(f"+{w}" for w in required), *(f"-{w}" for w in excluded)])
    return " AND ".join(required) + "".join(f" NOT {w}" for w in excluded)


def _boolean_terms(engine: str, query: str) -> tuple[list[str], list[str]]:
    tokens = [t for t in query.replace("&", " ").split() if t != "AND"]
    if engine == "sqlite":
        cut = tokens.index("NOT") if "NOT" in tokens else len(tokens)
        return tokens[:cut], [t for t in tokens[cut:] if t != "NOT"]
    return ([t.lstrip("+") for t in tokens if t[0] not in "!-"], [t[1:] for t in tokens if t[0] in "!-"])


def text_matches(engine: str, op: str, text: str, query: str) -> bool:
    """Whether the engine's full-text search finds `query` in `text`, for
    texts of plain words that no engine stems or drops: PostgreSQL reads
    phrases (and SQLite, whose text is quoted for it), MariaDB's natural
    language mode wants any word, the other modes want every word."""
    have = words(text)
    if op == "match_boolean":
        required, excluded = _boolean_terms(engine, query)
        return all(w in have for w in required) and not any(w in have for w in excluded)
    wanted = words(query)
    if engine == "mariadb":
        return any(w in have for w in wanted)
    if engine in ("postgres", "sqlite") and op == "match_phrase":
        n = len(wanted)
        return any(have[i:i + n] == wanted for i in range(len(have) - n + 1))
    return all(w in have for w in wanted)


def searched_text(engine: str, obj: Model, field: fields.Field[Any]) -> str:
    """What a search on the field reads: the field itself, on every engine."""
    return getattr(obj, field.name) or ""


def _like(value: str, pattern: str, fold: Callable[[str], str] | None) -> bool:
    if fold is not None:
        value, pattern = fold(value), fold(pattern)
    rx, escaped = [], False
    for c in pattern:
        if escaped or c not in "%_\\":
            rx.append(re.escape(c))
            escaped = False
        elif c == "\\":
            escaped = True
        else:
            rx.append(".*" if c == "%" else ".")
    return re.fullmatch("".join(rx), value, re.DOTALL) is not None


def _key(value: Any, sem: Semantics) -> Any:
    return value.lower() if sem.text_ignores_case and isinstance(value, str) else value


_OPERATORS: dict[str, Callable[[Any, Any], bool]] = {
    "eq": operator.eq, "ne": operator.ne, "lt": operator.lt, "lte": operator.le, "gt": operator.gt, "gte": operator.ge}


def compare(engine: str, cond: Comparison, obj: Model) -> bool | None:
    """One comparison on one stored instance, in SQL's three-valued logic."""
    sem = SEMANTICS[engine]
    op, field, right = cond.operator, cond.field, cond.value
    left = obj.__dict__[field.name]
    if op == "is_null":
        return left is None
    if op == "is_not_null":
        return left is not None
    if op in FULL_TEXT:
        return text_matches(engine, op, searched_text(engine, obj, field), right)
    if left is None:
        return None
    if op in ("contains", "icontains"):
        # The same on every engine: contains keeps case, icontains folds it.
        return _like(left, right, str.lower if op == "icontains" else None)
    return _OPERATORS[op](_key(left, sem), _key(right, sem))


def listed(engine: str, cond: InList, obj: Model) -> bool | None:
    """`x IN (...)` / `x NOT IN (...)` on one instance, NULLs as SQL has them."""
    sem = SEMANTICS[engine]
    left = obj.__dict__[cond.field.name]
    values = [None if p is None else cond.field.from_plain(p) for p in cond.payloads]
    if left is None:
        return None
    found: bool | None = any(_key(left, sem) == _key(v, sem) for v in values if v is not None)
    if not found and None in values:
        found = None
    return found if not cond.negated or found is None else not found


def holds(engine: str, cond: Condition, obj: Model) -> bool | None:
    if isinstance(cond, Comparison):
        return compare(engine, cond, obj)
    if isinstance(cond, InList):
        return listed(engine, cond, obj)
    if isinstance(cond, Not):
        inner = holds(engine, cond.child, obj)
        return None if inner is None else not inner
    results = [holds(engine, c, obj) for c in cond.children]  # type: ignore[attr-defined]
    if isinstance(cond, And):
        return False if False in results else None if None in results else True
    assert isinstance(cond, Or)
    return True if True in results else None if None in results else False


def kept(engine: str, query: Any, rows: Sequence[M]) -> list[M]:
    """The rows a select, update or delete acts on."""
    conditions = (*query.filters, *query.predicates)
    return [r for r in rows if all(holds(engine, c, r) is True for c in conditions)]


def distance(metric: str, a: Sequence[float], b: Sequence[float]) -> float:
    dot = sum(x * y for x, y in zip(a, b))
    if metric == "l2":
        return math.dist(a, b)
    if metric == "cosine":
        return 1 - dot / (math.hypot(*a) * math.hypot(*b))
    return -dot  # pgvector's <#>: the negative inner product


def _cmp(a: Any, b: Any, nulls_largest: bool) -> int:
    if a is None or b is None:
        return 0 if a is b else (1 if a is None else -1) * (1 if nulls_largest else -1)
    return (a > b) - (a < b)


def sort_keys(engine: str, query: Select[Any], obj: Model) -> tuple[Any, ...]:
    """The values the query orders by, as the engine compares them."""
    if query.vector is not None:
        f, metric, _ = query.vector
        v = obj.__dict__[f.name]
        return (None if v is None else distance(metric, v, query.vector[2][1]),)
    sem = SEMANTICS[engine]
    return tuple(_key(obj.__dict__[o.field.name], sem) for o in query.order)


def ordered(engine: str, query: Select[Any], rows: Sequence[M]) -> list[M]:
    sem = SEMANTICS[engine]
    directions = ["asc"] if query.vector is not None else [o.direction for o in query.order]

    def order(a: Model, b: Model) -> int:
        for d, x, y in zip(directions, sort_keys(engine, query, a), sort_keys(engine, query, b)):
            c = _cmp(x, y, sem.nulls_largest)
            if c:
                return c if d == "asc" else -c
        return 0

    return sorted(rows, key=functools.cmp_to_key(order))


def project(query: Select[Any], obj: Model, related: dict[Any, Model] | None = None) -> tuple[Any, ...]:
    """A row as the query's projection: its fields, then each joined row
    (None where the relation is NULL). `related` is the joined table by key;
    without it, the instance carries the joined rows itself."""
    out: list[Any] = [obj.__dict__[f.name] for f in query.fields]
    for j in query.joins:
        if related is None:
            target = obj.__dict__[j.relation.name]
        else:
            key = obj.__dict__[j.relation.key.name]
            target = None if key is None else related[key]
        out.append(None if target is None else tuple(target.__dict__[f.name] for f in j.fields))
    return tuple(out)


def select(engine: str, query: Select[Any], rows: Sequence[Model],
           related: dict[Any, Model] | None = None) -> list[tuple[tuple[Any, ...], tuple[Any, ...]]]:
    """(sort key, projected row) for each row of a select, in its order and
    after its paging. Rows whose keys tie may come in any order."""
    out: list[tuple[tuple[Any, ...], tuple[Any, ...]]] = []
    for r in ordered(engine, query, kept(engine, query, rows)):
        p = project(query, r, related)
        if not (query._distinct and any(q == p for _, q in out)):
            out.append((sort_keys(engine, query, r), p))
    start = query._offset or 0
    return out[start: None if query._limit is None else start + query._limit]


def check_rows(got: list[tuple[Any, ...]], expected: list[tuple[tuple[Any, ...], tuple[Any, ...]]]) -> None:
    """The rows in the expected order, where tied rows may come in any order."""
    arranged: list[Any] = []
    rest = list(got)
    for key in dict.fromkeys(k for k, _ in expected):
        run = [p for k, p in expected if k == key]
        window, rest = rest[:len(run)], rest[len(run):]
        for p in run:
            if p in window:
                window.remove(p)
                arranged.append(p)
        arranged += window
    assert arranged + rest == [p for _, p in expected]
