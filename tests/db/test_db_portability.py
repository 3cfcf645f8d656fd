"""What reads and writes the same on every engine: decimals as stored,
values a column cannot hold refused before anything is sent."""

from __future__ import annotations

import decimal

import pytest

import sarnic
from sarnic import Model, fields

from .orm_tier import Tier, tier_fixture

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


tier = tier_fixture([Ledger, Seat], _seed)


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
