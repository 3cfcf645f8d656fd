"""Kept statements: a query of a shape compiled before takes the kept text
and binds its own values, and those must be what the core binds for it."""

from __future__ import annotations

from typing import Any

import pytest

from orm_models import Post
from sarnic import SarnicCompileError
from sarnic.execution.backends import create
from sarnic.query.base import Query
from sarnic.query.shapes import shape
from sarnic.execution.statement import Statements, prepare
from test_orm_queries import CASES



def _backends() -> dict[str, Any]:
    # The server drivers are extras: a wheel tested with the base install has only SQLite.
    found = {}
    for dialect, url in [("postgres", "postgresql://x@127.0.0.1/x"), ("mysql", "mysql://x@127.0.0.1/x"),
                         ("sqlite", "sqlite://:memory:")]:
        try:
            found[dialect] = create(url, min_size=0, max_size=1)
        except ImportError:
            pass
    return found


BACKENDS = _backends()


def variants(query: Query[Any]) -> list[str]:
    return ["select", "exists"] if query.operation == "select" else ["select"]


@pytest.mark.parametrize("dialect", list(BACKENDS))
@pytest.mark.parametrize("name, build", [(c[0], c[1]) for c in CASES], ids=[c[0] for c in CASES])
def test_a_kept_statement_binds_what_the_core_binds(dialect: str, name: str, build: Any) -> None:
    backend = BACKENDS[dialect]
    try:
        query = build()
    except (TypeError, ValueError):
        pytest.skip("refused while built")
    for variant in variants(query):
        statements = Statements(backend, lambda q: None)
        ir = query.ir(exists=True) if variant == "exists" else query.ir()
        try:
            expected = prepare(backend, query.model, ir)
        except SarnicCompileError:
            continue
        first = statements.get(query, variant)
        second = statements.get(query, variant)  # from the kept text, where one was kept
        if query.needs_statement_ir(dialect):  # text match there is written in the statement IR
            assert first == second, name
            continue
        assert first == expected and second == expected, name
        if shape(query, variant, dialect) is not None and query.operation in ("select", "insert", "update", "delete"):
            assert statements._kept, f"{name}: the shape's prediction did not hold"


def test_shapes_differ_where_the_text_does_and_only_there() -> None:
    key = lambda q: shape(q, "select", "postgres")[0]  # noqa: E731
    same = [Post.select().where(Post.views >= 1)[:5], Post.select().where(Post.views >= 99)[:7]]
    assert key(same[0]) == key(same[1])
    different = [Post.select().where(Post.views > 1), Post.select().where(Post.views >= 1),
                 Post.select().where(Post.title >= "a"), Post.select().where(Post.views >= 1).limit(1),
                 Post.select().where(Post.views >= 1).offset(1), Post.select(Post.id).where(Post.views >= 1),
                 Post.select().where((Post.views >= 1) | (Post.views >= 2)),
                 Post.select().where(~(Post.views >= 1)), Post.select().where(Post.views >= 1).distinct()]
    keys = [key(q) for q in different]
    assert len(set(keys)) == len(keys)
    assert shape(Post.select(), "exists", "postgres")[0] != key(Post.select())
