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


tier = tier_fixture([Ledger])


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
