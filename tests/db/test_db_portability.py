"""What reads and writes the same on every engine: decimals as stored,
values a column cannot hold refused before anything is sent."""

from __future__ import annotations

import decimal

import pytest

import sarnic
from sarnic import Model, fields

from .orm_tier import Author, Every, Membership, Post, Tier, tier_fixture

D = decimal.Decimal


class Ledger(Model):
    id = fields.Int(primary_key=True)
    plain = fields.Decimal()
    price = fields.Decimal(max_digits=10, decimal_places=2)

    class Meta:
        table = "ledger"


class Seat(Model):
    row = fields.Text()
    number = fields.Int()
    taken = fields.Bool(default=False)

    class Meta:
        table = "seats"
        primary_key = ("row", "number")


async def _seed(db: sarnic.Database) -> None:
    await db.execute(Seat.bulk_insert([Seat(row=r, number=n, taken=n == 2) for r in "AB" for n in (1, 2)]))


class Drifted(Model):
    """Another model's view of the seats table."""

    row = fields.Text()
    number = fields.BigInt()
    taken = fields.Bool(null=True)
    label = fields.Text(null=True)

    class Meta:
        table = "seats"
        primary_key = ("row", "number")


class Absent(Model):
    id = fields.Int(primary_key=True)

    class Meta:
        table = "absent_table"


class Searched(Model):
    id = fields.BigInt(primary_key=True)
    title = fields.Text(max_length=200)
    body = fields.Text(fts_config="english")
    raw = fields.TSVector(null=True)
    derived = fields.TSVector(fts_source_columns=["title", "body"], fts_config="english")
    naive = fields.DateTime(timezone=False, null=True)
    clock = fields.Time(null=True)

    class Meta:
        table = "searched"


MODELS = [Ledger, Seat, Author, Post, Membership, Every, Searched]
tier = tier_fixture(MODELS, _seed)


@pytest.mark.parametrize("plain,price,read_plain,read_price", [
    ("19.99", "19.9", "19.99", "19.90"),
    ("-0.5", "7", "-0.5", "7.00"),
    ("100", "0", "100", "0.00"),
    ("9" * 35 + "." + "9" * 30, "-99999999.99", "9" * 35 + "." + "9" * 30, "-99999999.99"),
    ("0." + "0" * 29 + "1", "0.01", "0." + "0" * 29 + "1", "0.01"),
])
def test_decimals_read_back_as_stored(tier: Tier, plain: str, price: str, read_plain: str, read_price: str) -> None:
    async def test(db: sarnic.Database) -> None:
        await db.execute(Ledger.delete(danger=True))
        stored = await db.fetch_one(Ledger.insert(id=1, plain=D(plain), price=D(price)))
        (fetched,) = await db.fetch(Ledger.select())
        for row in (stored, fetched):
            # The same digits and exponent, not only an equal value.
            assert (row.plain.as_tuple(), row.price.as_tuple()) == (D(read_plain).as_tuple(), D(read_price).as_tuple())

    tier.run(test)


def test_a_decimal_the_column_cannot_hold_is_not_written(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> None:
        await db.execute(Ledger.delete(danger=True))
        await db.execute(Ledger.insert(id=1, plain=D("1"), price=D("1")))
        with pytest.raises(sarnic.DataError):
            await db.execute(Ledger.insert(id=2, plain=D("1." + "1" * 40), price=D("1")))
        with pytest.raises(sarnic.DataError):
            await db.execute(Ledger.update(price=D("1.005")).where(Ledger.id == 1))
        (row,) = await db.fetch(Ledger.select())
        assert (row.plain, row.price) == (D("1"), D("1"))

    tier.run(test)


def test_get_finds_a_row_by_its_key(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> None:
        await db.execute(Ledger.delete(danger=True))
        stored = await db.fetch_one(Ledger.insert(id=7, plain=D("1.5"), price=D("2")))
        assert await db.get(Ledger, 7) == stored
        assert await db.get(Ledger, 8) is None
        assert await db.get(Seat, ("B", 2)) == Seat(row="B", number=2, taken=True)
        assert await db.get(Seat, ("C", 2)) is None
        for model, key, message in [(Seat, "B", r"\(row, number\): get takes a tuple of 2 values"),
                                    (Seat, ("B", 2, 3), "a tuple of 2 values"), (Ledger, None, "None is not"),
                                    (Ledger, "7", "takes an int"), (Model, 1, "a model class")]:
            with pytest.raises(TypeError, match=message):
                await db.get(model, key)

    tier.run(test)


def test_fetching_the_rows_of_an_update_is_refused_where_none_come_back(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> None:
        await db.execute(Ledger.delete(danger=True))
        await db.execute(Ledger.insert(id=1, plain=D("1"), price=D("1")))
        update = Ledger.update(price=D("2")).where(Ledger.id == 1)
        if tier.engine != "mariadb":
            assert [r.price for r in await db.fetch(update)] == [D("2.00")]
            return
        with pytest.raises(sarnic.NotSupportedError) as info:
            await db.fetch(update)
        assert (info.value.feature, info.value.engine) == ("fetching the rows of update", "MySQL/MariaDB")
        assert (await db.get(Ledger, 1)).price == D("1")  # nothing was sent

    tier.run(test)


def test_check_tables_reports_how_the_tables_differ(tier: Tier) -> None:
    async def test(db: sarnic.Database) -> None:
        assert await db.check_tables(*MODELS) == []
        found = await db.check_tables(Drifted, Absent)
        text = {"postgres": "text", "mariadb": "LONGTEXT"}.get(tier.engine, "TEXT")
        big = {"postgres": "bigint", "mariadb": "BIGINT"}.get(tier.engine, "INTEGER")
        found_int = {"postgres": "integer", "mariadb": "int(11)"}.get(tier.engine, "INTEGER")
        expected = [("seats", "taken", "nullability", "nullable", "NOT NULL"),
                    ("seats", "label", "missing column", f"{text} nullable", None),
                    ("absent_table", None, "missing table", None, None)]
        if big.lower() != found_int.partition("(")[0].lower():
            expected.insert(0, ("seats", "number", "type", big, found_int))
        assert [(d.table, d.column, d.kind, d.expected, d.found) for d in found] == expected
        assert [str(d) for d in found][-3:] == [
            "seats.taken: the column is NOT NULL, the model declares it nullable",
            f"seats.label: the table has no such column (the model declares {expected[-2][3]})",
            "absent_table: the table does not exist"]
        # The other side: a column the model does not declare.
        assert [str(d) for d in await db.check_tables(Ghost)] == [
            f"seats.taken: the model has no field for this column ({found_bool[tier.engine]} NOT NULL)"]

    found_bool = {"postgres": "boolean", "mariadb": "tinyint(1)", "sqlite": "INTEGER"}
    found_bool["sqlite-file"] = found_bool["sqlite-memory"] = "INTEGER"
    tier.run(test)


class Ghost(Model):
    row = fields.Text()
    number = fields.Int()

    class Meta:
        table = "seats"
        primary_key = ("row", "number")
