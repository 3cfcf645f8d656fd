"""Decimal columns: what each declaration holds, refused before anything is
sent when a written value would not fit, and read back as stored."""

from __future__ import annotations

import decimal

import pytest

from sarnic import DataError, Model, fields
from sarnic.schema import SchemaError, create_statements

D = decimal.Decimal


class Money(Model):
    id = fields.Int(primary_key=True)
    plain = fields.Decimal(null=True)
    price = fields.Decimal(max_digits=10, decimal_places=2, null=True)
    whole = fields.Decimal(max_digits=5, decimal_places=0, null=True)


# (field, value, fits)
CASES = [
    ("plain", D("19.99"), True),
    ("plain", D("0." + "0" * 29 + "1"), True),
    ("plain", D("0." + "0" * 30 + "1"), False),          # 31 places: MySQL would round it
    ("plain", D("1." + "1" * 40), False),
    ("plain", D("9" * 35 + "." + "9" * 30), True),       # the widest value
    ("plain", D("9" * 36), False),
    ("plain", 10**35 - 1, True),
    ("plain", 10**35, False),
    ("plain", D("1E+34"), True),
    ("plain", D("1E+35"), False),
    ("plain", D("1.5" + "0" * 60), True),                # trailing zeros after the point are not places
    ("price", D("12345678.99"), True),
    ("price", D("123456789"), False),                    # 9 digits before the point, 8 fit
    ("price", D("1.234"), False),
    ("price", D("1.230"), True),
    ("price", D("-0.01"), True),
    ("price", D("0E-40"), True),
    ("price", D("0.001"), False),
    ("whole", D("99999"), True),
    ("whole", D("99999.0"), True),
    ("whole", D("0.5"), False),
    ("whole", 100000, False),
]


@pytest.mark.parametrize("name,value,fits", CASES)
def test_a_written_decimal_must_fit_its_column(name, value, fits):
    writes = [
        lambda: Money(id=1, **{name: value}),
        lambda: Money.insert(id=1, **{name: value}),
        lambda: Money.update(**{name: value}).where(Money.id == 1),
        lambda: Money.bulk_insert([{"id": 1, name: value}]),
    ]
    for write in writes:
        if fits:
            write()
        else:
            with pytest.raises(DataError, match=f"Money.{name} holds decimals of"):
                write()


def test_a_compared_decimal_need_not_fit():
    # A filter may name a value no row holds: the comparison is exact on every engine.
    Money.select().where(Money.price < D("1.005"), Money.plain == D("0." + "0" * 40 + "1")).sql("mysql")


def test_the_refusal_says_why():
    with pytest.raises(DataError, match=r"10 digits, 2 of them after the point .*3 digits after the point"):
        Money.insert(id=1, price=D("1.234"))
    with pytest.raises(DataError, match=r"9 digits before the point"):
        Money.insert(id=1, price=D("123456789"))


def test_read_values_keep_their_digits():
    plain, price = Money.plain, Money.price
    # MySQL pads a column without a declared scale to 30 places.
    assert str(plain.from_plain(D("19.990000000000000000000000000000"))) == "19.99"
    assert str(plain.from_plain(D("100.000"))) == "100"
    assert str(plain.from_plain(D("0E-30"))) == "0"
    assert str(plain.from_plain("12345678901234567890123456789012345.5")) == "12345678901234567890123456789012345.5"
    # A declared scale reads as every engine with a fixed scale hands it back.
    assert str(price.from_plain("1.5")) == "1.50"
    assert str(price.from_plain("7")) == "7.00"


@pytest.mark.parametrize("declared,columns", [
    (fields.Decimal(), ("numeric", "DECIMAL(65,30)", "TEXT")),
    (fields.Decimal(max_digits=10, decimal_places=2), ("numeric(10,2)", "DECIMAL(10,2)", "TEXT")),
    (fields.Decimal(max_digits=65, decimal_places=30), ("numeric(65,30)", "DECIMAL(65,30)", "TEXT")),
    (fields.Decimal(max_digits=80, decimal_places=10), ("numeric(80,10)", None, "TEXT")),
    (fields.Decimal(max_digits=40, decimal_places=31), ("numeric(40,31)", None, "TEXT")),
])
def test_the_declaration_becomes_the_column_type(declared, columns):
    class Priced(Model):
        id = fields.Int(primary_key=True)
        x = declared

    for dialect, expected in zip(("postgres", "mysql", "sqlite"), columns):
        if expected is None:
            with pytest.raises(SchemaError, match="at most 65 digits, 30 of them after the point"):
                create_statements([Priced], dialect)
        else:
            assert f" {expected} NOT NULL" in create_statements([Priced], dialect)[0]


@pytest.mark.parametrize("options,error", [
    ({"max_digits": 1001, "decimal_places": 2}, ValueError),
    ({"max_digits": 0, "decimal_places": 0}, ValueError),
    ({"max_digits": 10.0, "decimal_places": 2}, TypeError),
    ({"max_digits": 10, "decimal_places": True}, TypeError),
])
def test_declarations_no_engine_holds_are_refused(options, error):
    with pytest.raises(error):
        fields.Decimal(**options)
