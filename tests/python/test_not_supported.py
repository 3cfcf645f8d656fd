"""What an engine cannot do is refused before anything is sent, with the
feature and the engine named."""

from __future__ import annotations

import asyncio
import decimal

import pytest

import sarnic
from sarnic import Model, _native, fields
from sarnic.errors import NotSupportedStatement


class Doc(Model):
    id = fields.Int(primary_key=True)
    vec = fields.Vector(2)
    amount = fields.Decimal(null=True)

    class Meta:
        table = "never_created"


# (query, feature named, the core's own error class kept as a base)
REFUSED = [
    (lambda: Doc.select().nearest(Doc.vec, [1.0, 0.0]), "nearest-neighbour ordering (nearest())", True),
    (lambda: Doc.select().where(Doc.amount > decimal.Decimal(1)), "ordering comparisons of decimals", False),
    (lambda: Doc.select().order_by(Doc.amount), "ordering by a decimal", False),
    (lambda: Doc.values(sarnic.fn.sum(Doc.amount)), "fn.sum() of decimals", False),
]


@pytest.mark.parametrize("query,feature,compile_error", REFUSED)
def test_refused_on_sqlite_before_anything_is_sent(query, feature, compile_error):
    async def main() -> None:
        # The table does not exist: a statement sent would fail otherwise.
        async with sarnic.connect("sqlite://:memory:") as db:
            with pytest.raises(sarnic.NotSupportedError) as info:
                await db.fetch(query())
            assert isinstance(info.value, _native.SarnicCompileError) is compile_error
            assert "SQLite" in str(info.value)
            assert (info.value.feature, info.value.engine) == (feature, "SQLite")
            if compile_error:
                assert str(info.value).startswith(f"{feature} is not supported on SQLite: ")

    asyncio.run(main())


def test_the_core_error_class_stays_a_base():
    assert issubclass(NotSupportedStatement, sarnic.NotSupportedError)
    assert issubclass(NotSupportedStatement, _native.SarnicCompileError)
    assert sarnic.DataError is sarnic.errors.DataError
