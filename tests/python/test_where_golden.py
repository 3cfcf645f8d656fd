"""WHERE conditions: filters, predicate trees, operators and numbering per dialect."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import pytest

from conftest import DIALECTS, compile_both
from test_select_golden import (
    ARTICLES,
    GOLDEN_ARGS,
    NULL,
    A,
    I,
    T,
    all_,
    any_,
    check_golden,
    expand,
    field,
    flt,
    join,
    leaf,
    model,
    not_,
    refs,
    run_sqlite,
    select,
)

USERS = model("User", "users", [field("age"), field("name", "text"), field("email", "text")])
U = refs(USERS)
AGE, NAME, EMAIL = U["age"], U["name"], U["email"]

SELECT_AGE = {
    "postgres": 'SELECT "age" FROM "users"',
    "mysql": "SELECT `age` FROM `users`",
    "sqlite": 'SELECT "age" FROM "users"',
    "mssql": "SELECT [age] FROM [users]",
}


def users(filters: Sequence[Any] = (), predicate: Any = None, **keys: Any) -> dict[str, Any]:
    ir = select([AGE], model_name="User", filters=list(filters), **keys)
    if predicate is not None:
        ir["predicate"] = predicate
    return ir


def where(name: str, ir: dict[str, Any], conditions: dict[str, str], params: list, labels: list) -> Any:
    """Cases for `SELECT age FROM users WHERE <condition>` in the dialects given."""
    sql = {d: f"{SELECT_AGE[d]} WHERE {c}" for d, c in conditions.items()}
    return expand(name, USERS, ir, sql, params, labels)


def pg(condition: str) -> dict[str, str]:
    return {"postgres": condition}


AGE_18 = flt(AGE, "gte", I(18))
ANN_OR_EMAIL = any_(leaf(NAME, "icontains", T("%ann%")), not_(leaf(EMAIL, "is_null")))

WORKED = [
    *where(
        "filters-and-predicate",
        users([AGE_18], ANN_OR_EMAIL),
        {
            "postgres": '("age" >= $1 AND ("name" ILIKE $2 OR NOT ("email" IS NULL)))',
            "mysql": "(`age` >= ? AND (`name` LIKE ? OR NOT (`email` IS NULL)))",
            "sqlite": '("age" >= ? AND ("name" LIKE ? OR NOT ("email" IS NULL)))',
            "mssql": "([age] >= ? AND ([name] LIKE ? OR NOT ([email] IS NULL)))",
        },
        [I(18), T("%ann%")],
        ["age:gte", "name:icontains"],
    ),
    *expand(
        "qualified-with-join",
        USERS,
        users([AGE_18], ANN_OR_EMAIL, joins=[join("t", AGE, "teams")]),
        {
            "postgres": 'SELECT "users"."age" FROM "users" LEFT JOIN "teams" AS "t" ON "users"."age" = "t"."id" '
            'WHERE ("users"."age" >= $1 AND ("users"."name" ILIKE $2 OR NOT ("users"."email" IS NULL)))'
        },
        [I(18), T("%ann%")],
        ["age:gte", "name:icontains"],
    ),
    *where("filter-alone-is-bare", users([AGE_18]), pg('"age" >= $1'), [I(18)], ["age:gte"]),
    *where(
        "predicate-alone",
        users(predicate=ANN_OR_EMAIL),
        pg('("name" ILIKE $1 OR NOT ("email" IS NULL))'),
        [T("%ann%")],
        ["name:icontains"],
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, WORKED)
def test_worked_conditions(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


EDGES = [
    *expand("no-condition-no-where", USERS, users(), SELECT_AGE, [], []),
    *where("two-filters", users([AGE_18, flt(NAME, "eq", T("x"))]), pg('("age" >= $1 AND "name" = $2)'),
           [I(18), T("x")], ["age:gte", "name:eq"]),  # fmt: skip
    # IS NULL binds nothing, even with a value, and numbering counts bound values only.
    *where(
        "null-tests-bind-nothing",
        users([flt(EMAIL, "is_null", I(5)), flt(NAME, "is_not_null", T("y")), flt(AGE, "gt", I(3))]),
        pg('("email" IS NULL AND "name" IS NOT NULL AND "age" > $1)'),
        [I(3)],
        ["age:gt"],
    ),
    # A null value compares with "=" and is bound; it never turns into IS NULL.
    *where("null-value-is-bound", users([flt(AGE, "eq", NULL)]), pg('"age" = $1'), [NULL], ["age:eq"]),
    *where("null-under-gt", users([flt(AGE, "gt", NULL)]), pg('"age" > $1'), [NULL], ["age:gt"]),
    # A list binds as one parameter; a pattern is bound exactly as given.
    *where("list-is-one-parameter", users([flt(AGE, "eq", {"type": "int_array", "value": [1, 2]})]),
           pg('"age" = $1'), [{"type": "int_array", "value": [1, 2]}], ["age:eq"]),  # fmt: skip
    *where("not-around-and", users(predicate=not_(all_(leaf(AGE, "gt", I(1)), leaf(AGE, "lt", I(9))))),
           pg('NOT (("age" > $1 AND "age" < $2))'), [I(1), I(9)], ["age:gt", "age:lt"]),  # fmt: skip
    *where("group-of-one", users(predicate=any_(leaf(AGE, "lte", I(1)))), pg('("age" <= $1)'), [I(1)], ["age:lte"]),
    # Filters come first in the text, so they take the first numbers.
    *where(
        "filters-before-predicate",
        users([flt(NAME, "ne", T("x"))], leaf(AGE, "lt", I(2))),
        pg('("name" <> $1 AND "age" < $2)'),
        [T("x"), I(2)],
        ["name:ne", "age:lt"],
    ),
    # Empty groups are the neutral element of their connective in every dialect.
    *where(
        "empty-groups",
        users([AGE_18], not_(any_(all_(), any_()))),
        {
            "postgres": '("age" >= $1 AND NOT (((1 = 1) OR (1 = 0))))',
            "mysql": "(`age` >= ? AND NOT (((1 = 1) OR (1 = 0))))",
            "sqlite": '("age" >= ? AND NOT (((1 = 1) OR (1 = 0))))',
            "mssql": "([age] >= ? AND NOT (((1 = 1) OR (1 = 0))))",
        },
        [I(18)],
        ["age:gte"],
    ),
    *where("empty-and-alone", users(predicate=all_()), {d: "(1 = 1)" for d in DIALECTS}, [], []),
    *where("empty-or-alone", users(predicate=any_()), {d: "(1 = 0)" for d in DIALECTS}, [], []),
    *where(
        "deep-not",
        users(predicate=not_(not_(not_(leaf(AGE, "eq", I(7)))))),
        pg('NOT (NOT (NOT ("age" = $1)))'),
        [I(7)],
        ["age:eq"],
    ),
]


@pytest.mark.parametrize(GOLDEN_ARGS, EDGES)
def test_condition_edges(dialect: str, metadata: Any, ir: Any, sql: str, params: list, labels: list) -> None:
    check_golden(dialect, metadata, ir, sql, params, labels)


# Operator text -> SQL operator; every operator the table does not know is "=",
# and operator texts are case-sensitive.
OPERATORS = [
    ("eq", "="), ("ne", "<>"), ("gt", ">"), ("gte", ">="), ("lt", "<"), ("lte", "<="), ("contains", "LIKE"),
    ("startswith", "="), ("GT", "="),
]  # fmt: skip


@pytest.mark.parametrize("dialect", DIALECTS)
@pytest.mark.parametrize("op,sql_op", OPERATORS)
def test_operators(dialect: str, op: str, sql_op: str) -> None:
    result = compile_both(USERS, users([flt(AGE, op, I(4))]), dialect)
    column, placeholder = {"postgres": ('"age"', "$1"), "mysql": ("`age`", "?"), "sqlite": ('"age"', "?"),
                           "mssql": ("[age]", "?")}[dialect]  # fmt: skip
    assert result["sql_text"] == f"{SELECT_AGE[dialect]} WHERE {column} {sql_op} {placeholder}"
    assert result["param_type_summary"] == [f"age:{op}"]


def test_deep_predicate_is_rendered_without_limit_of_its_own() -> None:
    depth = 100  # within the JSON nesting limit
    tree = leaf(AGE, "eq", I(1))
    for _ in range(depth):
        tree = not_(tree)
    sql = compile_both(USERS, users(predicate=tree), "sqlite")["sql_text"]
    assert sql == SELECT_AGE["sqlite"] + " WHERE " + "NOT (" * depth + '"age" = ?' + ")" * depth


# On a real SQLite the groups keep their meaning: an empty AND holds, an empty OR does not.
SQLITE_RUNS = [
    pytest.param(all_(), [1, 2, 3, 4], id="empty-and"),
    pytest.param(any_(), [], id="empty-or"),
    pytest.param(not_(any_()), [1, 2, 3, 4], id="not-empty-or"),
    pytest.param(any_(leaf(A["views"], "lt", I(100)), leaf(A["author_id"], "is_null")), [1, 3], id="or-is-null"),
    pytest.param(all_(leaf(A["title"], "contains", T("%s")), not_(leaf(A["views"], "gte", I(200)))), [1, 2],
                 id="and-not-like"),  # fmt: skip
]


@pytest.mark.parametrize("predicate,ids", SQLITE_RUNS)
def test_conditions_run_on_sqlite(predicate: Any, ids: list[int]) -> None:
    ir = select([A["id"]], predicate=predicate, order_by=[{"field": A["id"], "direction": "asc"}])
    rows = run_sqlite(ARTICLES, ir)
    assert [r[0] for r in rows] == ids
