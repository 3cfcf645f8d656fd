"""Random selects over a seeded table: each engine must return exactly the rows
a plain Python reading of the same IR selects from the same data."""

from __future__ import annotations

import random
from collections.abc import Iterator
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from .drivers import Engine
from .evaluator import SEMANTICS, selects
from .models import COMPARE, TEXT_OPS, bulk_insert, field, flt, p_and, p_not, p_or, select
from .servers import open_engine
from .tier import run

OPS = {
    "id": COMPARE,
    "n": [*COMPARE, "exact"],  # an operator the compiler does not know renders as "="
    "x": COMPARE,
    "s": TEXT_OPS,
    "flag": ["eq", "ne", "is_null", "is_not_null"],
}
ITEMS: dict[str, Any] = {
    "model_name": "Item",
    "table_name": "items",
    "fields": [field("id", "int", ops=OPS["id"]), field("n", "int", nullable=True, ops=OPS["n"]),
               field("x", "float", nullable=True), field("s", "text", nullable=True, ops=OPS["s"]),
               field("flag", "bool", nullable=True, ops=OPS["flag"])],
    "pk_index": 0,
}
# Text compares byte-wise everywhere; ASCII only, so SQLite's LIKE folds case
# like the reference does, and no backslash (PostgreSQL's default LIKE escape).
DDL = {
    "postgres": 'CREATE TABLE items (id bigint PRIMARY KEY, n bigint, x double precision, s text COLLATE "C",'
                " flag boolean)",
    "sqlite": "CREATE TABLE items (id INTEGER PRIMARY KEY, n INTEGER, x REAL, s TEXT, flag INTEGER)",
    "mariadb": "CREATE TABLE items (id BIGINT PRIMARY KEY, n BIGINT, x DOUBLE,"
               " s VARCHAR(20) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin, flag BOOLEAN) ENGINE=InnoDB",
}
ALPHABET = "aAb_%"
FLOATS = [-1.5, 0.0, 0.25, 2.5, 3.0]


def seed_rows(count: int = 40) -> list[dict[str, Any]]:
    rnd = random.Random(20240601)

    def maybe(value: Any) -> Any:
        return None if rnd.random() < 0.25 else value

    return [{"id": i, "n": maybe(rnd.randint(-2, 5)), "x": maybe(rnd.choice(FLOATS)),
             "s": maybe("".join(rnd.choice(ALPHABET) for _ in range(rnd.randint(0, 3)))),
             "flag": maybe(rnd.random() < 0.5)} for i in range(1, count + 1)]


SEED = seed_rows()

VALUES = {
    "id": st.integers(0, len(SEED) + 1),
    "n": st.integers(-2, 5),
    "x": st.sampled_from(FLOATS),
    "s": st.text(alphabet=ALPHABET, max_size=4),
    "flag": st.booleans(),
}


# Patterns mostly anchored by wildcards, so that LIKE finds something to match.
PATTERNS = st.builds(lambda a, core, b: a + core + b, st.sampled_from(["", "%"]),
                     st.text(alphabet=ALPHABET, max_size=2), st.sampled_from(["", "%", "%"]))


@st.composite
def filters(draw: st.DrawFn) -> dict[str, Any]:
    name = draw(st.sampled_from(["id", "n", "x", "s", "s", "flag"]))
    # LIKE is where the engines differ most: ask for it more often.
    op = draw(st.sampled_from(OPS[name] + ["contains", "icontains"] * 2 if name == "s" else OPS[name]))
    values = PATTERNS if op in ("contains", "icontains") else VALUES[name]
    value = None if draw(st.integers(0, 7)) == 0 else draw(values)
    return flt(ITEMS, name, op, value)


predicates = st.recursive(
    filters().map(lambda f: {"kind": "filter", "filter": f}),
    lambda inner: st.one_of(st.lists(inner, max_size=3).map(lambda c: p_and(*c)),
                            st.lists(inner, max_size=3).map(lambda c: p_or(*c)),
                            inner.map(p_not)),
    max_leaves=8,
)


@st.composite
def queries(draw: st.DrawFn) -> dict[str, Any]:
    names = [f["name"] for f in ITEMS["fields"]]
    shown = ["id", *draw(st.lists(st.sampled_from(names[1:]), unique=True))]
    keys: list[tuple[str, str]] = draw(st.lists(
        st.tuples(st.sampled_from(names), st.sampled_from(["asc", "desc"])), max_size=3, unique_by=lambda k: k[0]))
    if "id" not in [k[0] for k in keys]:
        keys.append(("id", "asc"))  # a total order, so paging is deterministic
    order_by = [{"field": {"name": n, "index": names.index(n)}, "direction": d} for n, d in keys]
    return select(ITEMS, *shown, filters=draw(st.lists(filters(), max_size=2)),
                  predicate=draw(st.none() | predicates), order_by=order_by,
                  limit=draw(st.sampled_from([None, None, 0, 1, 3, 10, 2**64 - 1])),
                  offset=draw(st.sampled_from([None, None, 0, 1, 5, 39])))


@pytest.fixture(scope="module", params=["sqlite", "postgres", "mariadb"])
def items(request: pytest.FixtureRequest) -> Iterator[Engine]:
    engine = open_engine(request.param)
    try:
        engine.script([DDL[request.param]])
        run(engine, ITEMS, bulk_insert(ITEMS, SEED, returning=False))
        yield engine
    finally:
        engine.close()


def normalised(row: dict[str, Any]) -> dict[str, Any]:
    if row.get("flag") is not None:
        row["flag"] = bool(row["flag"])  # 0/1 in SQLite and MariaDB
    return row


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(query=queries())
def test_select_returns_the_rows_the_reference_selects(items: Engine, query: dict[str, Any]) -> None:
    got = [normalised(r) for r in run(items, ITEMS, query)]
    assert got == selects(ITEMS, query, SEED, SEMANTICS[items.name])
