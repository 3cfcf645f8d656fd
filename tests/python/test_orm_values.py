"""Python values and the core's bind values: what each field type sends, that
it comes back as the same value, what it refuses, and that a row of every
type survives a compile in every dialect."""

from __future__ import annotations

import datetime as dt
import decimal
import math
import uuid
from typing import Any

import pytest

from conftest import DIALECTS
from orm_models import Color, Everything, Level, Post
from sarnic.fields import Field

E = Everything
UTC = dt.timezone.utc
PLUS2 = dt.timezone(dt.timedelta(hours=2))
U1, U2 = uuid.UUID(int=1), uuid.UUID("12345678-1234-5678-1234-567812345678")
D30 = decimal.Decimal("1234567890.12345678901234567890")  # 30 significant digits
NESTED = {"a": [1, 2.5, {"b": None, "c": [True, False]}], "ü": "🎉", "": {}}

# (field, Python value, bind value, the value that comes back when not the one given)
ROUND_TRIPS: list[tuple[Field[Any], Any, tuple[str, Any], Any]] = [
    (E.id, 2**31 - 1, ("int", 2**31 - 1), None),
    (E.id, -(2**31), ("int", -(2**31)), None),
    (E.big, 2**63 - 1, ("int", 2**63 - 1), None),
    (E.big, -(2**63), ("int", -(2**63)), None),
    (E.big, 2**31, ("int", 2**31), None),
    (E.ratio, 1, ("float", 1.0), 1.0),
    (E.ratio, -0.1, ("float", -0.1), None),
    (E.ratio, 1.7976931348623157e308, ("float", 1.7976931348623157e308), None),
    (E.amount, D30, ("text", "1234567890.12345678901234567890"), None),
    (E.amount, decimal.Decimal("-0.00000000000000000001"), ("text", "-0.00000000000000000001"), None),
    (E.amount, decimal.Decimal("1E+3"), ("text", "1000"), None),
    (E.amount, 10**19, ("text", "10000000000000000000"), decimal.Decimal(10**19)),
    (E.text, "naïve 日本語 🎉", ("text", "naïve 日本語 🎉"), None),
    (E.text, "", ("text", ""), None),
    (E.text, "quote ' \" \\ \x00 end", ("text", "quote ' \" \\ \x00 end"), None),
    (E.flag, False, ("bool", False), None),
    (E.at, dt.datetime(2024, 5, 1, 12, 30, tzinfo=PLUS2), ("datetime", "2024-05-01T10:30:00+00:00"),
     dt.datetime(2024, 5, 1, 10, 30, tzinfo=UTC)),
    (E.at, dt.datetime(1, 1, 1, tzinfo=UTC), ("datetime", "0001-01-01T00:00:00+00:00"), None),
    (E.wall, dt.datetime(2024, 2, 29, 23, 59, 59, 999999), ("datetime", "2024-02-29T23:59:59.999999"), None),
    (E.day, dt.date(2024, 2, 29), ("text", "2024-02-29"), None),
    (E.clock, dt.time(23, 59, 59, 999999), ("text", "23:59:59.999999"), None),
    (E.clock, dt.time(0, 0), ("text", "00:00:00"), None),
    (E.uid, U2, ("text", "12345678-1234-5678-1234-567812345678"), None),
    (E.doc, NESTED, ("text", '{"a":[1,2.5,{"b":null,"c":[true,false]}],"ü":"🎉","":{}}'), None),
    (E.doc, [], ("text", "[]"), None),
    (E.doc, "text", ("text", '"text"'), None),
    (E.blob, b"\x00\xff\x80", ("bytes", [0, 255, 128]), None),
    (E.blob, bytearray(b"ab"), ("bytes", [97, 98]), b"ab"),
    (E.blob, b"", ("bytes", []), None),
    (E.vec, [1, -2.5, 3e-300], ("float_array", [1.0, -2.5, 3e-300]), [1.0, -2.5, 3e-300]),
    (E.vec, (0.0, 0.0, 0.0), ("float_array", [0.0, 0.0, 0.0]), [0.0, 0.0, 0.0]),
    (E.search, "fat cats", ("text", "fat cats"), None),
    (E.texts, [], ("text_array", []), None),
    (E.texts, ["a", "ü", ""], ("text_array", ["a", "ü", ""]), None),
    (E.ints, [], ("int_array", []), None),
    (E.ints, [2**63 - 1, -(2**63), 0], ("int_array", [2**63 - 1, -(2**63), 0]), None),
    (E.floats, [], ("float_array", []), None),
    (E.floats, [1, 0.5], ("float_array", [1.0, 0.5]), [1.0, 0.5]),
    (E.uids, [], ("text_array", []), None),
    (E.uids, [U1, U2], ("text_array", [str(U1), str(U2)]), None),
    (E.color, Color.GREEN, ("text", "grün"), None),  # texts: by value
    (E.level, Level.HIGH, ("text", "HIGH"), None),  # numbers: by name
    (E.note, None, ("null", None), None),
]


@pytest.mark.parametrize("field, value, bind, back", ROUND_TRIPS,
                         ids=[f"{f.name}-{i}" for i, (f, *_) in enumerate(ROUND_TRIPS)])
def test_bind_and_back(field: Field[Any], value: Any, bind: tuple[str, Any], back: Any) -> None:
    got = field.bind(value)
    assert got == bind
    assert type(got[1]) is type(bind[1])  # no bool for int, no Decimal for text
    restored = field.from_bind(*got)
    expected = value if back is None else back
    assert restored == expected and type(restored) is type(expected)
    if isinstance(expected, dt.datetime):
        assert restored.utcoffset() == expected.utcoffset()


REFUSED: list[tuple[Field[Any], Any, type[Exception], str]] = [
    (E.id, "1", TypeError, "takes an int, not str"),
    (E.id, True, TypeError, "takes an int, not bool"),
    (E.id, 2**31, ValueError, "32-bit"),
    (E.id, -(2**31) - 1, ValueError, "32-bit"),
    (E.big, 2**63, ValueError, "64-bit"),
    (E.big, -(2**63) - 1, ValueError, "64-bit"),
    (E.ratio, "1.5", TypeError, "takes a float, not str"),
    (E.ratio, False, TypeError, "not bool"),
    (E.amount, 1.5, TypeError, "not float"),
    (E.amount, decimal.Decimal("NaN"), ValueError, "finite"),
    (E.text, b"x", TypeError, "takes a str, not bytes"),
    (E.flag, 1, TypeError, "takes a bool, not int"),
    (E.at, dt.datetime(2024, 1, 1), ValueError, "not a naive one"),
    (E.wall, dt.datetime(2024, 1, 1, tzinfo=UTC), ValueError, "not an aware one"),
    (E.at, dt.date(2024, 1, 1), TypeError, "not date"),
    (E.day, dt.datetime(2024, 1, 1), TypeError, "not datetime"),
    (E.clock, dt.time(1, tzinfo=UTC), TypeError, "naive datetime.time"),
    (E.uid, str(U1), TypeError, "not str"),
    (E.doc, {1, 2}, TypeError, "JSON value"),
    (E.doc, {"x": math.nan}, TypeError, "JSON value"),
    (E.blob, "ab", TypeError, "not str"),
    (E.vec, [1.0, 2.0], ValueError, "3 dimensions, not 2"),
    (E.vec, [1.0, math.nan, 2.0], ValueError, "finite"),
    (E.vec, [1.0, "2", 3.0], TypeError, "is a str"),
    (E.vec, "abc", TypeError, "not str"),
    (E.texts, "abc", TypeError, "not str"),
    (E.texts, ["a", 1], TypeError, "list of str"),
    (E.ints, [2**63], ValueError, "64-bit"),
    (E.ints, [1.0], TypeError, "is a float"),
    (E.ints, [True], TypeError, "is a bool"),
    (E.floats, [math.nan], ValueError, "finite"),
    (E.uids, [str(U1)], TypeError, "list of uuid.UUID"),
    (E.color, "red", TypeError, "takes a Color member, not str"),
    (E.color, Level.LOW, TypeError, "takes a Color member, not Level"),
    (E.level, 3, TypeError, "takes a Level member, not int"),
    (E.id, None, TypeError, "not nullable"),
]


@pytest.mark.parametrize("field, value, error, words", REFUSED,
                         ids=[f"{f.name}-{i}" for i, (f, *_) in enumerate(REFUSED)])
def test_refused_values_name_model_field_and_type(field: Field[Any], value: Any, error: type[Exception],
                                                  words: str) -> None:
    with pytest.raises(error) as raised:
        field.bind(value)
    assert type(raised.value) is error
    assert f"Everything.{field.name}" in str(raised.value) and words in str(raised.value)
    with pytest.raises(error):  # the instance checks the same way
        Everything(**{**everything_values(), field.name: value})


def test_stored_enum_text_that_is_no_member_is_refused() -> None:
    with pytest.raises(ValueError, match=r"Everything\.color: 'blue' is not a stored Color"):
        E.color.from_bind("text", "blue")
    assert E.level.from_bind("text", "LOW") is Level.LOW


def everything_values() -> dict[str, Any]:
    return dict(id=1, big=2**63 - 1, ratio=1, amount=D30, text="ü🎉", flag=True,
                at=dt.datetime(2024, 5, 1, 12, tzinfo=PLUS2), wall=dt.datetime(2024, 5, 1, 12),
                day=dt.date(2024, 2, 29), clock=dt.time(23, 59, 59, 999999), uid=U1, doc=NESTED, blob=b"\x00\xff",
                vec=(1, 2, 3), search="a b", texts=[], ints=[-(2**63)], floats=[], uids=[U2], color=Color.RED,
                level=Level.LOW)


def test_instance_holds_the_normalised_values() -> None:
    row = Everything(**everything_values())
    assert type(row.ratio) is float and row.vec == [1.0, 2.0, 3.0] and type(row.blob) is bytes
    assert row.note is None and row.when == dt.datetime(2024, 1, 1, tzinfo=UTC)  # null, default


@pytest.mark.parametrize("dialect", DIALECTS)
def test_a_row_of_every_type_compiles_and_comes_back(dialect: str) -> None:
    row = Everything(**everything_values())
    compiled = Everything.insert(row).sql(dialect)
    assert compiled.labels == tuple(f"{f.name}:insert" for f in Everything.__fields__)
    assert compiled.params == tuple(getattr(row, f.name) for f in Everything.__fields__)
    # The same values as conditions, where the type has an operator (None tests bind nothing).
    eq = [f for f in Everything.__fields__ if "eq" in f.allowed_operators() and getattr(row, f.name) is not None]
    where = Everything.select(Everything.id).where(*(f == getattr(row, f.name) for f in eq))
    assert where.sql(dialect).params == tuple(getattr(row, f.name) for f in eq)


def test_paging_values_are_plain_ints_even_beside_a_field_named_limit() -> None:
    from orm_models import Odd

    compiled = Odd.select().where(Odd.limit == 4, Odd.offset == "5")[2:9].sql("sqlite")
    assert compiled.labels == ("limit:eq", "offset:eq", "limit:int", "offset:int")
    assert compiled.params == (4, "5", 7, 2)
    assert Post.select()[2**62:].sql("postgres").params == (2**62,)
