"""What the compile path keeps between calls: the selects a model hands out,
each field's orderings, the readers of bound values by label, and the
`Compiled` made from the core's result without its __init__."""

from __future__ import annotations

import dataclasses
import datetime as dt
import decimal
from itertools import permutations

import pytest

from sarnic import Compiled, Model, fields


class Ledger(Model):
    id = fields.Int(primary_key=True)
    x = fields.Decimal()
    limit = fields.DateTime()
    note = fields.Text()
    views = fields.Int()


class Tally(Model):
    id = fields.Int(primary_key=True)
    x = fields.Int()
    limit = fields.Text()


class SubLedger(Ledger):
    pass


DERIVE = [
    lambda q, m: q.where(m.id == 3),
    lambda q, m: q.where((m.id == 3) | (m.id == 4), m.id > 1),
    lambda q, m: q.order_by(m.id.desc(), m.id),
    lambda q, m: q.limit(4).offset(2),
    lambda q, m: q[3:9],
    lambda q, m: q.distinct(),
]


@pytest.mark.parametrize("model", [Ledger, SubLedger, Tally])
def test_a_shared_select_is_never_changed_by_what_is_derived_from_it(model: type[Model]) -> None:
    for project in ((), (model.id, model.x)):  # type: ignore[attr-defined]
        before = model.select(*project).sql("postgres")
        for derive in DERIVE:
            derive(model.select(*project), model).sql("postgres")
        assert model.select(*project) is model.select(*project)
        assert model.select(*project).sql("postgres") == before
        assert model.select(*project).model is model


def test_a_subclass_selects_and_orders_by_its_own_fields() -> None:
    assert SubLedger.select().fields is SubLedger.__fields__
    assert not set(SubLedger.__fields__) & set(Ledger.__fields__)
    assert SubLedger.id.desc().field is SubLedger.id and Ledger.id.desc().field is Ledger.id
    assert SubLedger.select().order_by(SubLedger.id.desc()).sql("sqlite").sql.endswith('ORDER BY "id" DESC')


def test_every_projection_compiles_to_its_own_columns_past_the_kept_ones() -> None:
    model = Ledger
    picked = list(permutations(model.__fields__, 4))
    assert len(picked) > 64
    for _ in range(2):
        for some in picked:
            sql = model.select(*some).sql("postgres").sql
            assert sql.startswith("SELECT " + ", ".join(f'"{f.column}"' for f in some) + ' FROM "ledger"')
    assert model.select(model.x, model.x, model.id).fields == (model.x, model.id)


def test_bound_values_come_back_by_the_field_of_their_own_model() -> None:
    when = dt.datetime(2024, 5, 1, 12, tzinfo=dt.timezone.utc)
    cases = [
        (Ledger.select().where(Ledger.x == decimal.Decimal("1.50"), Ledger.limit < when).limit(3),
         (decimal.Decimal("1.50"), when, 3)),
        (Tally.select().where(Tally.x == 2, Tally.limit == "ten").limit(3), (2, "ten", 3)),
    ]
    for _ in range(2):  # the second pass reads through the labels seen in the first
        for query, params in cases + cases[::-1]:
            got = query.sql("postgres").params
            assert got == params and [type(v) for v in got] == [type(v) for v in params]


def test_a_compiled_from_the_core_is_an_ordinary_frozen_compiled() -> None:
    got = Ledger.select(Ledger.id).where(Ledger.note == "n").sql("mysql")
    same = Compiled(**{f.name: getattr(got, f.name) for f in dataclasses.fields(Compiled)})
    assert got == same and hash(got) == hash(same) and repr(got) == repr(same)
    with pytest.raises(dataclasses.FrozenInstanceError):
        got.sql = "DROP TABLE ledger"  # type: ignore[misc]
