"""Every query method on every backend, through the ORM, against the Python
reading of the same query over the seeded instances (orm_tier): selects
with filters, trees, paging, DISTINCT, joins, full-text search and rank,
nearest neighbours on PostgreSQL; and writes, after each of which the
tables must hold what the Python model of them holds. A statement a backend
cannot run must be refused before it is sent."""

from __future__ import annotations

import datetime as dt
import decimal
import uuid
from collections.abc import Callable, Sequence
from typing import Any

import pytest

import sarnic
from sarnic import Model, Query, SarnicCompileError
from sarnic.query.bulk import BulkDelete, BulkInsert, BulkUpdate
from sarnic.query.select import Select
from sarnic.query.writes import Delete, Insert, Update

from .orm_tier import (
    FULL_TEXT, MODE_OPERATOR, UTC, Author, Every, Level, Membership, Mood, Post, Tier, boolean_query, check_rows,
    kept, ordered, project, rolled_back, searched_text, select, text_matches, tier_fixture,
)  # fmt: skip

T0 = dt.datetime(2024, 1, 1, 8, tzinfo=UTC)

AUTHORS = [Author(id=1, name="Ann", email="ann@x.org"), Author(id=2, name="bob", email=None),
           Author(id=3, name="Çelik", email="c@x.org")]
# Bodies are plain words that no engine stems or drops, none of them in a title.
POSTS = [
    Post(id=1, author_id=1, title="alpha", body="vector search engine kernel", views=10,
         published_at=dt.datetime(2024, 1, 1, 10, tzinfo=dt.timezone(dt.timedelta(hours=2))),
         embedding=[1.0, 0.0, 0.0], tags=["db", "ml"]),
    Post(id=2, author_id=1, title="Bravo", body="kernel lisbon notes", views=5, embedding=[0.0, 1.0, 0.0]),
    Post(id=3, author_id=2, title="charlie", body="vector vector vector", views=10,
         published_at=dt.datetime(2023, 6, 1, tzinfo=UTC), embedding=[0.5, 0.5, 0.0], tags=["ml"]),
    Post(id=4, author_id=None, title="Delta", body="lisbon tram orphan", views=0,
         published_at=dt.datetime(2025, 2, 2, 12, tzinfo=dt.timezone(dt.timedelta(hours=-5))), tags=["trip"]),
    Post(id=5, author_id=3, title="echo 50% off", body="python kernel", views=20, embedding=[-1.0, 0.0, 0.25]),
    Post(id=6, author_id=2, title="foxtrot_x", body="search for a vector", views=5, published_at=T0,
         embedding=[0.0, 0.0, 1.0], tags=["db"]),
    Post(id=7, author_id=None, title="golf", body="quiet", views=1),
]
MEMBERSHIPS = [Membership(org_id=1, user_id=1, role="owner", since=dt.date(2020, 1, 1)),
               Membership(org_id=1, user_id=2, role="member"),
               Membership(org_id=2, user_id=1, role="member", since=dt.date(2021, 5, 5)),
               Membership(org_id=2, user_id=3, role="guest")]


def _every(i: int, **values: Any) -> Every:
    base: dict[str, Any] = dict(doc={"i": i}, vec=[float(i), 0.0, 1.0], texts=[str(i)], ints=[i], floats=[i / 2],
                                uids=[uuid.UUID(int=i)])
    return Every(id=i, **{**base, **values})


EVERY = [
    _every(1, small=7, big=2**62, ratio=0.1, amount=decimal.Decimal("1.5"), text="apple", flag=True,
           at=dt.datetime(2024, 5, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=2))),
           wall=dt.datetime(2024, 5, 1, 12), day=dt.date(2024, 2, 29), clock=dt.time(8, 30), uid=uuid.UUID(int=1),
           blob=b"\x00\x01", mood=Mood.CALM, level=Level.LOW),
    _every(2, small=-7, big=-5, ratio=2.5, amount=decimal.Decimal("-20.25"), loose=decimal.Decimal("7"),
           text="Apple", note="n", flag=False, at=dt.datetime(2023, 1, 1, tzinfo=UTC),
           wall=dt.datetime(2023, 1, 1, 0, 0, 0, 1), day=dt.date(2023, 12, 31), clock=dt.time(23, 59, 59, 500000),
           uid=uuid.UUID(int=2), extra={"k": None}, blob=b"\xff", mood=Mood.ODD, level=Level.HIGH,
           search="'kernel'"),  # as PostgreSQL prints it back
    _every(3, small=0, big=0, ratio=-1e10, amount=decimal.Decimal("10"), loose=decimal.Decimal("-0.001"),
           text="banana", flag=True, at=dt.datetime(2024, 5, 1, 10, tzinfo=UTC), wall=dt.datetime(2030, 1, 1),
           day=dt.date(2024, 3, 1), clock=dt.time(0, 0), uid=uuid.UUID(int=3), blob=b"", mood=Mood.CALM,
           level=Level.HIGH),
]
TABLES: dict[type[Model], list[Any]] = {Author: AUTHORS, Post: POSTS, Membership: MEMBERSHIPS, Every: EVERY}


async def seed(db: sarnic.Database) -> None:
    for a in AUTHORS:
        stored = await db.fetch_one(Author.insert(name=a.name, email=a.email))
        assert stored == a  # generated keys 1, 2, 3
    unkeyed = [{f.name: getattr(p, f.name) for f in Post.__fields__ if f.name != "id"} for p in POSTS]
    mixed: list[Any] = [Post(**row) for row in unkeyed[:3]] + unkeyed[3:]  # instances and dicts
    await db.execute(Post.bulk_insert(mixed))
    await db.execute(Membership.bulk_insert(MEMBERSHIPS))
    await db.execute(Every.bulk_insert(EVERY))


tier = tier_fixture(list(TABLES), seed)


async def contents(db: sarnic.Database, model: type[Model]) -> list[Any]:
    return await db.fetch(model.select().order_by(*model.__pk__))


def test_seeded_tables_hold_the_instances(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> None:
        for model, rows in TABLES.items():
            assert await contents(db, model) == rows, model.__name__

    tier.run(test)


# -- selects -------------------------------------------------------------------------

def W(*conditions: Any) -> Select[Post]:
    return Post.select().where(*conditions)


Build = Select[Any] | Callable[[str], Select[Any]]
#: pgvector's operators: nearest() runs on PostgreSQL only
VECTOR_REFUSED: dict[str, Any] = dict.fromkeys(("mariadb", "sqlite"), (sarnic.NotSupportedError, SarnicCompileError))
Q = [1.0, 0.25, 0.0]

SELECTS: list[tuple[str, Build]] = [
    ("all", Post.select()),
    ("partial", Post.select(Post.id, Post.title, Post.views)),
    ("partial without key", Post.select(Post.title, Post.tags, Post.embedding)),
    *[(f"views {op}", W(cond)) for op, cond in [
        ("==", Post.views == 10), ("!=", Post.views != 10), ("<", Post.views < 10), ("<=", Post.views <= 10),
        (">", Post.views > 5), (">=", Post.views >= 5)]],
    ("datetime == across zones", W(Post.published_at == T0)),
    ("datetime > skips NULL", W(Post.published_at > T0)),
    ("datetime != skips NULL", W(Post.published_at != T0)),
    ("== None", W(Post.published_at == None)),  # noqa: E711
    ("!= None", W(Post.author_id != None)),  # noqa: E711
    ("fk != skips NULL", W(Post.author_id != 1)),
    ("text ==", W(Post.title == "alpha")),
    ("text == other case", W(Post.title == "ALPHA")),
    ("text >", W(Post.title > "B")),
    ("text <=", W(Post.title <= "charlie")),
    *[(f"contains {p!r}", W(Post.title.contains(p))) for p in ("%a%", "A%", "%50%%", "%_x", "%LF")],
    *[(f"icontains {p!r}", W(Post.title.icontains(p))) for p in ("%RAV%", "d%", "%LF")],
    ("contains non-ASCII", Author.select().where(Author.name.contains("%ç%"))),
    ("icontains non-ASCII", Author.select().where(Author.name.icontains("%Ç%"))),
    ("nullable text !=", Author.select().where(Author.email != "ann@x.org")),
    ("or with NULL", W((Post.views >= 10) | Post.published_at.is_null())),
    ("not of unknown", W(~(Post.published_at > T0))),
    ("not of or with NULL", W(~((Post.author_id == 1) | (Post.published_at < T0)))),
    ("and not", W((Post.views == 5) & ~(Post.author_id == None))),  # noqa: E711
    ("not not", W(~~(Post.published_at >= T0))),
    ("tree and filters", W(Post.views > 0, (Post.author_id == 2) | (Post.title.contains("%e%")))),
    ("two wheres", W(Post.views > 1).where(Post.title.contains("%o%"))),
    ("in_", W(Post.id.in_([1, 3, 99]))),
    ("in_ nullable", W(Post.author_id.in_([2, 3]))),
    ("in_ empty", W(Post.views.in_([]))),
    ("not in_ empty", W(~Post.views.in_([]))),
    ("order desc, id", Post.select().order_by(Post.views.desc(), Post.id)),
    ("order nullable asc", Post.select().order_by(Post.published_at, Post.id)),
    ("order nullable desc", Post.select().order_by(Post.published_at.desc(), Post.id)),
    ("order fk desc", Post.select().order_by(Post.author_id.desc(), Post.id.desc())),
    ("order text", Post.select().order_by(Post.title)),
    ("order ties", Post.select(Post.id).order_by(Post.views)),
    ("slice", Post.select().order_by(Post.id)[2:5]),
    ("limit", Post.select().order_by(Post.id.desc()).limit(3)),
    ("offset only", Post.select().order_by(Post.id).offset(5)),
    ("limit 0", Post.select().order_by(Post.id).limit(0)),
    ("past the end", Post.select().order_by(Post.id)[10:]),
    ("slice of a limit", Post.select().order_by(Post.views.desc(), Post.id).limit(4)[1:3]),
    ("filtered page", W(Post.views >= 5).order_by(Post.id)[1:3]),
    ("distinct", Post.select(Post.views).distinct()),
    ("distinct nullable ordered", Post.select(Post.author_id).distinct().order_by(Post.author_id)),
    ("distinct paged", Post.select(Post.views).distinct().order_by(Post.views.desc())[1:3]),
    ("join all fields", Post.select().join(Post.author)),
    ("join named fields", Post.select(Post.id, Post.title).join(Post.author, Author.name).order_by(Post.id)),
    ("join filtered paged", W(Post.views >= 5).join(Post.author, Author.email).order_by(Post.id)[:3]),
    ("join distinct", Post.select(Post.author_id).join(Post.author, Author.name).distinct()),
    ("composite key", Membership.select().where(Membership.org_id == 1)),
    ("composite ordered", Membership.select().order_by(Membership.org_id.desc(), Membership.user_id)),
    ("composite distinct", Membership.select(Membership.role).distinct()),
    ("match", W(Post.body.match("vector"))),
    ("match words", W(Post.body.match("vector search"))),
    ("match phrase", W(Post.body.match_phrase("vector search"))),
    ("match websearch", W(Post.body.match_websearch("kernel lisbon"))),
    ("match boolean", lambda e: W(Post.body.match_boolean(boolean_query(e, ["kernel"], ["lisbon"])))),
    ("match and filter", W(Post.body.match("kernel"), Post.views > 5)),
    ("not match", W(~Post.body.match("kernel"))),
    ("match joined", W(Post.body.match("lisbon")).join(Post.author, Author.name)),
    *[(f"nearest {m}", Post.select(Post.id).nearest(Post.embedding, Q, metric=m))
      for m in ("l2", "cosine", "inner_product")],
    ("nearest filtered paged", W(Post.views >= 5).nearest(Post.embedding, Q)[:3]),
]
def _query(build: Build, engine: str) -> Select[Any]:
    return build if isinstance(build, Select) else build(engine)


def _related(query: Select[Any]) -> dict[Any, Model] | None:
    return {a.id: a for a in AUTHORS} if query.joins else None


def got_rows(query: Select[Any], objs: Sequence[Model]) -> list[tuple[Any, ...]]:
    names = {f.name for f in query.fields} | {j.relation.name for j in query.joins}
    for obj in objs:
        assert set(obj.__dict__) == names, "an instance holds what was selected, and only that"
    return [project(query, o) for o in objs]


@pytest.mark.parametrize("build", [b for _, b in SELECTS], ids=[n for n, _ in SELECTS])
def test_select(tier: Tier, build: Build) -> None:
    query = _query(build, tier.engine)
    expected = select(tier.engine, query, TABLES[query.model], _related(query))
    refused = VECTOR_REFUSED.get(tier.engine) if query.vector is not None else None

    async def test(db: sarnic.Database) -> None:
        if refused is not None:
            with pytest.raises(refused, match="PostgreSQL"):
                await db.fetch(query)
            with pytest.raises(refused, match="PostgreSQL"):
                await anext(aiter(db.iterate(query)))
            return
        check_rows(got_rows(query, await db.fetch(query)), expected)
        check_rows(got_rows(query, [o async for o in db.iterate(query, batch=2)]), expected)
        assert await db.count(query) == len(expected)
        assert await db.exists(query) is bool(expected)
        one = await db.fetch_one(query)
        firsts = [p for k, p in expected if k == expected[0][0]] if expected else []
        assert one is None if not expected else one is not None and project(query, one) in firsts

    tier.run(test)


RANKS = [("plain", "vector"), ("phrase", "vector"), ("websearch", "vector"), ("boolean", "vector")]


@pytest.mark.parametrize(("mode", "text"), RANKS, ids=[m for m, _ in RANKS])
def test_rank_puts_the_matches_first_best_first(tier: Tier, mode: str, text: str) -> None:
    engine = tier.engine
    matched = {p.id for p in POSTS
               if text_matches(engine, MODE_OPERATOR[mode], searched_text(engine, p, Post.body), text)}
    ranked = Post.select(Post.id).rank(Post.body, text, mode=mode)  # type: ignore[arg-type]
    filtered = Post.select(Post.id).where(Post.body.match(text)).rank(Post.body, text, mode=mode)[:2]  # type: ignore[arg-type]

    async def test(db: sarnic.Database) -> None:
        got = [p.id for p in await db.fetch(ranked)]
        assert sorted(got) == [p.id for p in POSTS]
        assert got[0] == 3 and set(got[:len(matched)]) == matched, (got, matched)
        page = [p.id for p in await db.fetch(filtered)]
        assert page[0] == 3 and set(page) <= matched and len(page) == 2
        assert await db.count(filtered) == 2

    tier.run(test)


_COMPARE = {"eq": lambda f, v: f == v, "ne": lambda f, v: f != v, "lt": lambda f, v: f < v,
            "lte": lambda f, v: f <= v, "gt": lambda f, v: f > v, "gte": lambda f, v: f >= v,
            "contains": lambda f, v: f.contains("%PL%"), "icontains": lambda f, v: f.icontains("%PL%"),
            "is_null": lambda f, v: f.is_null(), "is_not_null": lambda f, v: f.is_not_null()}


def _condition(engine: str, f: Any, op: str) -> Any:
    if op in FULL_TEXT:
        text = boolean_query(engine, ["kernel"], []) if op == "match_boolean" else "kernel"
        return getattr(f, op)(text)
    reference = next(getattr(e, f.name) for e in (EVERY[1], EVERY[0]) if getattr(e, f.name) is not None)
    return _COMPARE[op](f, reference)


@pytest.mark.parametrize("field", [f for f in Every.__fields__ if f.allowed_operators()], ids=lambda f: f.name)
def test_every_operator_of_each_field_type(tier: Tier, field: Any) -> None:
    engine = tier.engine
    text_decimal = engine == "sqlite" and field.field_type == "decimal"

    async def test(db: sarnic.Database) -> None:
        for op in field.allowed_operators():
            query = Every.select(Every.id).where(_condition(engine, field, op))
            if text_decimal and op in ("lt", "lte", "gt", "gte"):
                with pytest.raises(sarnic.NotSupportedError, match="Decimal"):
                    await db.fetch(query)
                continue
            got = sorted(e.id for e in await db.fetch(query))
            assert got == [e.id for e in kept(engine, query, EVERY)], op
        if "lt" in field.allowed_operators():
            query = Every.select(Every.id).order_by(field.desc(), Every.id)
            if text_decimal:
                with pytest.raises(sarnic.NotSupportedError, match="Decimal"):
                    await db.fetch(query)
                return
            assert [e.id for e in await db.fetch(query)] == [e.id for e in ordered(engine, query, EVERY)]

    tier.run(test)


# -- writes --------------------------------------------------------------------------

def _changed(obj: Model, **values: Any) -> Any:
    new = object.__new__(type(obj))
    new.__dict__ = {**obj.__dict__, **values}
    return new


def _values(pairs: Sequence[tuple[Any, Any]]) -> dict[str, Any]:
    return {f.name: f.from_bind(*bind) for f, bind in pairs}


def apply(engine: str, query: Query[Any], tables: dict[type[Model], list[Any]]) -> tuple[int, list[Any]]:
    """What a write does to the Python model of the tables: the rows it
    matched, and the rows it leaves (for the rows handed back)."""
    model = query.model
    rows = tables[model]
    pk = model.__pk__
    if isinstance(query, (Update, Delete)):
        hit = kept(engine, query, rows)
        rest = [r for r in rows if r not in hit]
        if isinstance(query, Delete):
            tables[model] = rest
            return len(hit), []
        after = [_changed(r, **_values(query.assignments)) for r in hit]
        tables[model] = rest + after
        return len(hit), after
    if isinstance(query, BulkDelete):
        keys = [tuple(f.from_bind(*b) for f, b in zip(pk, ids)) for ids in query.ids]
        tables[model] = [r for r in rows if tuple(getattr(r, f.name) for f in pk) not in keys]
        return len(rows) - len(tables[model]), []
    if isinstance(query, BulkUpdate):
        changes = {tuple(f.from_bind(*b) for f, b in zip(pk, k)): _values(list(zip(query.fields, v)))
                   for k, v in query.rows}
        tables[model] = [_changed(r, **changes.get(tuple(getattr(r, f.name) for f in pk), {})) for r in rows]
        return sum(1 for r in rows if tuple(getattr(r, f.name) for f in pk) in changes), []
    if isinstance(query, Insert):
        new = [model(**_values(query.values))]
    else:
        assert isinstance(query, BulkInsert)
        new = [model(**_values(list(zip(query.columns, row)))) for row in query.rows]
    tables[model] = rows + new
    return len(new), new


def _key(row: Model) -> Any:
    return row._key_value()


_RETURNS: dict[str, type[Exception]] = {"mariadb": sarnic.NotSupportedError}
_P = {p.id: p for p in POSTS}

WRITES: list[tuple[str, Callable[[], Query[Any]], str, dict[str, type[Exception]]]] = [
    ("update tree", lambda: Post.update(views=99, tags=["x"]).where(
        (Post.author_id == 1) | Post.published_at.is_null()), "execute", {}),
    ("update filters and tree", lambda: Post.update(title="new", published_at=T0).where(
        Post.views >= 5, ~(Post.author_id == 2)), "execute", {}),
    ("update every row", lambda: Post.update(views=0, danger=True), "execute", {}),
    ("update composite", lambda: Membership.update(role="admin").where(Membership.org_id == 2), "execute", {}),
    ("update nothing", lambda: Post.update(views=1).where(Post.id.in_([])), "execute", {}),
    # counted as matched, not as changed: MariaDB's own count would be 0
    ("update rows to what they hold", lambda: Post.update(views=10).where(Post.views == 10), "execute", {}),
    ("delete nothing", lambda: Post.delete().where(Post.id == 99), "execute", {}),
    ("insert counted", lambda: Author.insert(id=41, name="Eve", email=None), "execute", {}),
    ("update handing rows back", lambda: Post.update(views=42, published_at=None).where(Post.views <= 5),
     "fetch", _RETURNS),
    ("update handing one row back", lambda: Post.update(title="x").where(Post.id == 3), "fetch_one", _RETURNS),
    ("delete tree", lambda: Post.delete().where(~(Post.published_at > T0) | Post.title.contains("%o%")),
     "execute", {}),
    ("delete every row", lambda: Membership.delete(danger=True), "execute", {}),
    ("bulk_delete keys", lambda: Post.bulk_delete([2, 4, 99]), "execute", {}),
    ("bulk_delete composite keys", lambda: Membership.bulk_delete([(1, 2), (2, 3), (9, 9)]), "execute", {}),
    ("bulk_delete instances", lambda: Membership.bulk_delete(MEMBERSHIPS[:1]), "execute", {}),
    ("bulk_update", lambda: Post.bulk_update(
        [_changed(_P[1], views=-1, title="it's", published_at=None, tags=[]),
         _changed(_P[4], views=7, title="b\\", published_at=T0, tags=["a", "b"])],
        fields=[Post.views, Post.title, Post.published_at, Post.tags]), "execute", {}),
    ("bulk_update of a uuid", lambda: Every.bulk_update([_changed(EVERY[0], uid=uuid.UUID(int=9))],
                                                        fields=[Every.uid]), "execute",
     {"postgres": sarnic.NotSupportedError}),
    ("insert generated key", lambda: Post.insert(title="new", body="fresh", author_id=2), "fetch_one", {}),
    ("insert an instance", lambda: Post.insert(Post(title="obj", body="b", published_at=T0,
                                                    embedding=[0.5, 0.5, 0.5], tags=["t"])), "fetch_one", {}),
    ("insert given key", lambda: Author.insert(id=40, name="Dee", email="d@x.org"), "fetch_one", {}),
    ("insert composite key", lambda: Membership.insert(org_id=3, user_id=1, role="new"), "fetch_one", {}),
    ("bulk_insert", lambda: Membership.bulk_insert([{"org_id": 5, "user_id": 1, "role": "a"},
                                                    Membership(org_id=5, user_id=2, role="b",
                                                               since=dt.date(1999, 12, 31))]), "execute", {}),
    ("bulk_insert handing rows back", lambda: Post.bulk_insert(
        [Post(title="n1", body="b1"), {"title": "n2", "body": "b2", "author_id": 1, "views": 3}],
        returning=True), "fetch", _RETURNS),
]


@pytest.mark.parametrize(("keys", "count"), [([1, 3, 99], 2), ([99], 0), (list(range(1, 8)), 7)])
def test_execute_counts_the_rows_a_relative_update_matched(tier: Tier, keys: list[int], count: int) -> None:
    async def body(db: sarnic.Database) -> None:
        assert await db.execute(Post.update(views=Post.views + 1).where(Post.id.in_(keys))) == count
        got = {p.id: p.views for p in await db.fetch(Post.select())}
        assert got == {p.id: p.views + (p.id in keys) for p in POSTS}
        # the rows handed back by fetch() are still those of the same update
        if engine_returns(tier.engine):
            assert sorted(p.views for p in await db.fetch(Post.update(views=Post.views + 1).where(
                Post.id.in_(keys)))) == sorted(got[k] + 1 for k in keys if k in got)

    tier.run(lambda db: rolled_back(db, lambda: body(db)))


def engine_returns(engine: str) -> bool:
    return engine not in _RETURNS


@pytest.mark.parametrize(("build", "method", "refused"), [w[1:] for w in WRITES], ids=[w[0] for w in WRITES])
def test_write(tier: Tier, build: Callable[[], Query[Any]], method: str,
               refused: dict[str, type[Exception]]) -> None:
    engine = tier.engine
    query = build()
    tables = {m: list(rows) for m, rows in TABLES.items()}

    async def body(db: sarnic.Database) -> None:
        run = getattr(db, method)
        if engine in refused:
            with pytest.raises(refused[engine], match="PostgreSQL|rows back|uuid"):
                await run(query)
        else:
            count, after = apply(engine, query, tables)
            got = await run(query)
            if method == "execute":
                assert got == count
            else:
                got = [got] if method == "fetch_one" else got
                auto = query.model.__pk__[0]
                for new, stored in zip(after, got):
                    if auto.name not in new.__dict__:  # a key the database generates
                        assert getattr(stored, auto.name) > len(POSTS)
                        new.__dict__[auto.name] = getattr(stored, auto.name)
                assert sorted(got, key=_key) == sorted(after, key=_key)
        for model, rows in tables.items():
            assert await contents(db, model) == sorted(rows, key=_key), model.__name__

    tier.run(lambda db: rolled_back(db, lambda: body(db)))
