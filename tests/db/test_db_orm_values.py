"""Values through the ORM on every backend: each field type's extremes
there and back, as the same Python values and types; enums stored by value
and by name; identifiers and values written to defeat quoting, kept
verbatim; transactions that an exception interrupts leave no rows, and
savepoints undo only their own part."""

from __future__ import annotations

import datetime as dt
import decimal
import uuid
from typing import Any

import pytest

import sarnic
from sarnic import FullTextIndex, Model, fields

from .orm_tier import UTC, Author, Every, Level, Mood, Tier, kept, tier_fixture

D = decimal.Decimal


class Hostile(Model):
    id = fields.Int(primary_key=True, column="order")
    text = fields.Text(column='a "quoted" `back` [br] name ?')
    pct = fields.Text(column="50% 'off' $1 :x %s", null=True)
    uni = fields.Int(column="ünï 名前 ñ", default=0)
    keyword = fields.Text(column="select", null=True, unique=True)
    body = fields.Text(column="from where")
    # A joined column's alias is "parent__" and this: longer than PostgreSQL's 63 bytes.
    long = fields.Text(column="c" * 60, default="")

    class Meta:
        table = 'we"ird `tab` [le] ü ?% group'
        full_text = [FullTextIndex("hostile 'fts' \"x\"", ["body"])]


class HostileChild(Model):
    id = fields.Int(primary_key=True, column='key "k"')
    parent = fields.ForeignKey(Hostile, null=True, column="pärent `id` ?")
    note = fields.Text(column="where")

    class Meta:
        table = "child \"table\" `x` 'y'"


class EveryStored(Model):
    """The every table read with its enums as the texts stored."""

    id = fields.Int(primary_key=True)
    mood = fields.Text()
    level = fields.Text()

    class Meta:
        table = "every"


tier = tier_fixture([Author, Every, Hostile, HostileChild])

NASTY = ["'; DROP TABLE authors; --", 'say "hi"', "back\\slash \\' \\\\", "50%_off %s %(x)s {0}", "? ?? $1 :name @p",
         "\n\t\r\x0b", "😀 ünï 名前", "", "  lead and trail  ", "NULL", "`tick` [br]"]

EDGES: list[dict[str, Any]] = [
    dict(id=1, small=2**31 - 1, big=2**63 - 1, ratio=1.7976931348623157e308,
         amount=D("99999999999999.99999999999999"), loose=D("-" + "9" * 14 + "." + "9" * 14),
         text="".join(NASTY), note="", flag=True, at=dt.datetime(9999, 12, 31, 23, 59, 59, 999998, tzinfo=UTC),
         wall=dt.datetime(9999, 12, 31, 23, 59, 59, 999998), day=dt.date(9999, 12, 30),
         clock=dt.time(23, 59, 59, 999999), uid=uuid.UUID(int=2**128 - 1),
         doc={"a": [1, 2.5, None, True, {"b": [], "c": {}}], "é😀\"'\\": "x\ty", "big": 2**70, "neg": -2**63},
         extra=[], blob=bytes(range(256)), vec=[0.5, -0.25, 1024.0], search="'a' 'b'",
         texts=["", "a,b", '{"}', "NULL", "\\", "😀"], ints=[2**63 - 1, -2**63, 0], floats=[0.1, -1e300, 5e-324],
         uids=[uuid.UUID(int=0), uuid.UUID(int=2**128 - 1)], mood=Mood.ODD, level=Level.HIGH),
    dict(id=2, small=-2**31, big=-2**63, ratio=-2.5, amount=D("-12345678901234.5678901234"),
         loose=D("-0." + "0" * 26 + "1"), text="", note=None, flag=False,
         at=dt.datetime(1, 1, 1, 0, 0, 0, 1, tzinfo=UTC), wall=dt.datetime(1, 1, 1, 0, 0, 0, 1),
         day=dt.date(1, 1, 2),
         clock=dt.time(0, 0), uid=uuid.UUID(int=0), doc="just text", extra=None, blob=b"", vec=[-1.0, 0.0, 3.0],
         search=None, texts=[], ints=[], floats=[], uids=[], mood=Mood.CALM, level=Level.LOW),
    dict(id=3, small=0, big=1, ratio=5e-324, amount=D("0.00000000000000000001"), loose=D("0"), text="A",
         note="n", flag=True, at=dt.datetime(2024, 2, 29, 23, 59, 59, 123456,
                                             tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30))),
         wall=dt.datetime(2024, 2, 29, 23, 59, 59, 1), day=dt.date(2024, 2, 29), clock=dt.time(12, 0, 0, 1),
         uid=uuid.uuid4(), doc=2**53 + 1, extra={"k": None}, blob=b"\x00", vec=[1.0, 2.0, 3.0],
         search="'x'", texts=["a"], ints=[-1], floats=[-0.5], uids=[uuid.uuid4()], mood=Mood.ODD, level=Level.LOW),
]
#: the fields a WHERE can compare: each edge value must find the rows equal to it
COMPARED = [f for f in Every.__fields__ if "eq" in f.allowed_operators()]
def same_type(value: Any, expected: Any) -> bool:
    if isinstance(expected, list):
        return type(value) is list and all(same_type(v, e) for v, e in zip(value, expected))
    # Exactly: a driver's own subclass (asyncpg's UUID) does not pass.
    return type(value) is type(expected)


def test_every_field_type_round_trips_its_edge_values(tier: Tier) -> None:
    engine = tier.engine
    rows = [Every(**r) for r in EDGES]

    async def test(db: sarnic.Database) -> None:
        stored = [await db.fetch_one(Every.insert(**EDGES[0])), await db.fetch_one(Every.insert(rows[1]))]
        assert await db.execute(Every.bulk_insert([rows[2]])) == 1
        fetched = await db.fetch(Every.select().where(Every.id <= 3).order_by(Every.id))
        for got in (*stored, *fetched):
            want = next(r for r in rows if r.id == got.id)
            for f in Every.__fields__:
                value, expected = getattr(got, f.name), getattr(want, f.name)
                assert value == expected and same_type(value, expected), f.name
            assert got.at.tzinfo is UTC and got.wall.tzinfo is None
        assert fetched == rows
        for f in COMPARED:
            for r in rows:
                query = Every.select(Every.id).where(f == getattr(r, f.name), Every.id <= 3)
                expected = [e.id for e in kept(engine, query, rows)]
                assert sorted(e.id for e in await db.fetch(query)) == expected, (f.name, r.id)
        stored_enums = EveryStored.select().where(EveryStored.id <= 3).order_by(EveryStored.id)
        assert [(e.mood, e.level) for e in await db.fetch(stored_enums)] == [
            ("ödd 'x'", "HIGH"), ("calm", "LOW"), ("ödd 'x'", "LOW")]

    tier.run(test)


#: (Every.amount: DECIMAL(40,20), Every.loose: unbounded, 65 digits on MariaDB) past a double and past
#: Python's default 28-digit decimal context
DECIMALS = [(D("12345678901234567890.1234567890"), D("9" * 35 + "." + "9" * 30)),
            (D("-99999999999999999999.99999999999999999999"), D("-0." + "0" * 29 + "1")),
            (D("0.00000000000000000001"), D("-12345678901234567890123456789.123456"))]


def test_decimals_keep_every_digit(tier: Tier) -> None:
    # On SQLite the exact text of each value, with no decimal context rounding it.
    base = {k: v for k, v in EDGES[2].items() if k not in ("amount", "loose")}
    rows = [Every(**{**base, "id": 10 + i, "amount": a, "loose": b}) for i, (a, b) in enumerate(DECIMALS)]

    async def test(db: sarnic.Database) -> None:
        assert [await db.fetch_one(Every.insert(r)) for r in rows] == rows
        assert await db.fetch(Every.select().where(Every.id >= 10).order_by(Every.id)) == rows
        for r in rows:
            ours = Every.select().where(Every.id >= 10)
            assert [e.id for e in await db.fetch(ours.where(Every.amount == r.amount))] == [r.id]
            # One unit in the last place apart is another value.
            assert not await db.exists(ours.where(Every.amount == r.amount + D("1e-20")))

    tier.run(test)


def test_integral_floats_handed_back_stay_floats(tier: Tier) -> None:
    # SQLite's RETURNING hands a REAL column's integral values back as ints.
    row = Every(**{**EDGES[2], "id": 30, "ratio": 1.0, "floats": [2.0]})

    async def test(db: sarnic.Database) -> None:
        got = await db.fetch_one(Every.insert(row))
        assert (got.ratio, type(got.ratio), got.floats) == (1.0, float, [2.0])
        (fetched,) = await db.fetch(Every.select().where(Every.id == 30))
        assert type(fetched.ratio) is float

    tier.run(test)


def test_the_extreme_datetimes_stay_aware(tier: Tier) -> None:
    # asyncpg writes datetime.max/min as PostgreSQL 'infinity' and reads it back naive.
    latest = dt.datetime.max.replace(tzinfo=UTC)
    row = Every(**{**EDGES[2], "id": 20, "at": latest, "wall": dt.datetime.max, "day": dt.date.max})

    async def test(db: sarnic.Database) -> None:
        got = await db.fetch_one(Every.insert(row))
        assert (got.at, got.at.tzinfo) == (latest, UTC)
        assert (await db.fetch(Every.select().where(Every.at == latest))) == [row]

    tier.run(test)


def _hostile(i: int, text: str) -> Hostile:
    return Hostile(id=i, text=text, pct=text[::-1] or None, uni=-i, keyword=f"{text}#{i}",
                   body=f"word{i} {text}", long=text)


async def empty_hostile_tables(db: sarnic.Database) -> None:
    await db.execute(HostileChild.delete(danger=True))
    await db.execute(Hostile.delete(danger=True))


def test_hostile_identifiers_and_values_round_trip_verbatim(tier: Tier) -> None:
    engine = tier.engine
    rows = [_hostile(i, text) for i, text in enumerate(NASTY, 1)]

    async def test(db: sarnic.Database) -> None:
        await empty_hostile_tables(db)
        first = await db.fetch_one(Hostile.insert(rows[0]))
        assert first == rows[0]
        assert await db.execute(Hostile.bulk_insert(rows[1:])) == len(rows) - 1
        assert await db.fetch(Hostile.select().order_by(Hostile.id)) == rows
        for r in rows:
            query = Hostile.select(Hostile.id).where(Hostile.text == r.text)
            assert sorted(h.id for h in await db.fetch(query)) == [h.id for h in kept(engine, query, rows)], r.text
            assert [h.id for h in await db.fetch(Hostile.select(Hostile.id).where(
                Hostile.keyword == r.keyword))] == [r.id]
        assert [h.id for h in await db.fetch(Hostile.select(Hostile.id).where(Hostile.body.match("word3")))] == [3]
        assert await db.count(Hostile.select().where(Hostile.uni < -5)) == len(rows) - 5
        newest = NASTY[0] + NASTY[3]
        assert await db.execute(Hostile.update(text=newest, uni=1).where(Hostile.pct == rows[1].pct)) == 1
        assert await db.execute(Hostile.delete().where(Hostile.keyword == rows[2].keyword)) == 1
        assert await db.execute(Hostile.bulk_delete([4, 5])) == 2
        left = await db.fetch(Hostile.select(Hostile.id, Hostile.text, Hostile.uni).order_by(Hostile.uni.desc()))
        assert [(h.id, h.text) for h in left][:2] == [(2, newest), (1, NASTY[0])]
        assert len(left) == len(rows) - 3

    tier.run(test)


def test_join_on_hostile_names(tier: Tier) -> None:
    # PostgreSQL reports the alias parent__<60-byte column> cut to 63 bytes.

    async def test(db: sarnic.Database) -> None:
        await empty_hostile_tables(db)
        parent = await db.fetch_one(Hostile.insert(_hostile(100, NASTY[1])))
        await db.execute(HostileChild.bulk_insert([{"id": 1, "parent_id": 100, "note": NASTY[0]},
                                                   {"id": 2, "parent_id": None, "note": NASTY[2]}]))
        got = await db.fetch(HostileChild.select().join(HostileChild.parent).order_by(HostileChild.id))
        assert [(c.note, c.parent) for c in got] == [(NASTY[0], parent), (NASTY[2], None)]

    tier.run(test)


class Boom(Exception):
    pass


def test_interrupted_transactions_leave_no_rows_and_savepoints_undo_their_part(tier: Tier) -> None:
    async def names(db: sarnic.Database) -> list[str]:
        return [a.name for a in await db.fetch(Author.select().order_by(Author.id))]

    async def test(db: sarnic.Database) -> None:
        with pytest.raises(Boom):
            async with db.transaction():
                await db.execute(Author.insert(name="outer"))
                async with db.transaction():
                    await db.execute(Author.bulk_insert([{"name": "inner"}, {"name": "inner 2"}]))
                raise Boom
        assert await names(db) == []
        async with db.transaction():
            await db.execute(Author.insert(name="kept", email="k@x"))
            with pytest.raises(sarnic.IntegrityError):
                async with db.transaction():
                    await db.execute(Author.insert(name="undone"))
                    async with db.transaction():
                        await db.execute(Author.insert(name="undone too"))
                    await db.execute(Author.insert(name="duplicate", email="k@x"))
            async with db.transaction():
                await db.execute(Author.insert(name="kept too"))
                with pytest.raises(Boom):
                    async with db.transaction():
                        await db.execute(Author.update(name="renamed", danger=True))
                        raise Boom
            assert await names(db) == ["kept", "kept too"]
        assert await names(db) == ["kept", "kept too"]
        # A bulk insert split into statements is one transaction: a failure in the last leaves none.
        db._backend.max_params = 4
        with pytest.raises(sarnic.IntegrityError):
            await db.execute(Author.bulk_insert([{"name": f"n{i}", "email": f"e{i}"} for i in range(5)]
                                                + [{"name": "dup", "email": "k@x"}]))
        assert await names(db) == ["kept", "kept too"]

    tier.run(test)


class Loose(Model):
    """Its table takes NULL where the model wants a value."""

    id = fields.Int(primary_key=True)
    name = fields.Text()

    class Meta:
        table = "loose_nulls"


def test_null_in_a_required_column_is_refused_before_any_instance_is_made(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> None:
        async with db._connection() as conn:
            await conn.run("CREATE TABLE loose_nulls (id INT PRIMARY KEY, name VARCHAR(10))")
            await conn.run("INSERT INTO loose_nulls (id, name) VALUES (1, 'a'), (2, NULL)")
        try:
            for query in (Loose.select(), Loose.select(Loose.name).where(Loose.id == 2)):
                with pytest.raises(sarnic.SarnicHydrationError) as caught:
                    await db.fetch(query)
                assert str(caught.value) == "non-nullable column 'name' on model 'Loose' contains NULL"
            assert [x.name for x in await db.fetch(Loose.select().where(Loose.id == 1))] == ["a"]
        finally:
            await db.drop_tables(Loose)

    tier.run(test)
