"""An update or delete needs a real scope: a predicate that holds for every row
whatever the data (built only from empty groups) is no scope at all."""

from __future__ import annotations

from typing import Any

import pytest

from conftest import DIALECTS, compile_both
from orm_models import Post
from sarnic import _native
from sarnic._native import SarnicCompileError

MODEL = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "allowed_operators": ["eq"], "nullable": False}
    ],
    "pk_index": 0,
}
LEAF = {"kind": "filter", "filter": {"field": {"name": "id", "index": 0}, "operator": "eq", "value": {"type": "int", "value": 7}}}
AND_NONE: dict[str, Any] = {"kind": "and", "children": []}
OR_NONE: dict[str, Any] = {"kind": "or", "children": []}


def group(kind: str, *children: Any) -> dict[str, Any]:
    return {"kind": kind, "children": list(children)}


def negate(child: Any) -> dict[str, Any]:
    return {"kind": "not", "child": child}


def mutation(kind: str, predicate: Any, danger: bool = False) -> dict[str, Any]:
    op: dict[str, Any] = {"kind": kind, "danger": danger}
    if kind == "update":
        op["assignments"] = [[{"name": "id", "index": 0}, {"type": "int", "value": 1}]]
    return {"version": 3, "model_name": "Article", "operation": op, "filters": [], "order_by": [], "predicate": predicate}


UNSCOPED = [
    pytest.param(AND_NONE, id="empty-and"),
    pytest.param(negate(OR_NONE), id="not-empty-or"),
    pytest.param(group("or", LEAF, AND_NONE), id="or-with-empty-and"),
    pytest.param(group("and", AND_NONE, group("and")), id="nested-empty-ands"),
]
SCOPED = [
    pytest.param(LEAF, id="leaf"),
    pytest.param(group("and", LEAF, AND_NONE), id="and-with-leaf"),
    pytest.param(OR_NONE, id="empty-or-matches-nothing"),
    pytest.param(negate(AND_NONE), id="not-empty-and-matches-nothing"),
    pytest.param(group("or", LEAF, OR_NONE), id="or-with-leaf"),
]


@pytest.mark.parametrize("kind", ["update", "delete"])
@pytest.mark.parametrize("predicate", UNSCOPED)
def test_constant_true_predicate_is_no_scope(kind: str, predicate: Any) -> None:
    for dialect in DIALECTS:
        with pytest.raises(_native.SarnicCompileError) as err:
            compile_both(MODEL, mutation(kind, predicate), dialect)
        assert err.value.args == (
            f"operation '{kind}' on model 'Article' requires at least one filter; use the danger API for unscoped mutations",
        )


@pytest.mark.parametrize("kind", ["update", "delete"])
@pytest.mark.parametrize("predicate", UNSCOPED)
def test_danger_flag_still_allows_it(kind: str, predicate: Any) -> None:
    assert "WHERE" in compile_both(MODEL, mutation(kind, predicate, danger=True), "sqlite")["sql_text"]


@pytest.mark.parametrize("kind", ["update", "delete"])
@pytest.mark.parametrize("predicate", SCOPED)
def test_predicate_that_depends_on_rows_scopes(kind: str, predicate: Any) -> None:
    assert "WHERE" in compile_both(MODEL, mutation(kind, predicate), "postgres")["sql_text"]


@pytest.mark.parametrize("dialect", DIALECTS)
def test_update_without_assignments_is_refused(dialect: str) -> None:
    ir = mutation("update", LEAF)
    ir["operation"]["assignments"] = []
    with pytest.raises(_native.SarnicCompileError) as err:
        compile_both(MODEL, ir, dialect)
    assert err.value.args == ("malformed IR: update requires at least one assignment",)


@pytest.mark.parametrize("build", [lambda: Post.update(views=1), lambda: Post.delete(),
                                   lambda: Post.update(views=Post.views + 1)], ids=["update", "delete", "relative"])
def test_an_unscoped_write_says_how_to_mean_it(build: Any) -> None:
    with pytest.raises(SarnicCompileError) as info:
        build().sql("sqlite")
    assert any("danger=True" in note for note in info.value.__notes__)
