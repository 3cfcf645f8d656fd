"""A query is a value: iterating it without a database says how to run it."""

from __future__ import annotations

import asyncio

import pytest

from sarnic import Model, fields


class Note(Model):
    id = fields.Int(primary_key=True)
    text = fields.Text()


async def _async_for(query: object) -> None:
    async for _ in query:  # type: ignore[attr-defined]
        pass


def _for(query: object) -> None:
    for _ in query:  # type: ignore[attr-defined]
        pass


@pytest.mark.parametrize("iterate", [list, tuple, _for, lambda q: asyncio.run(_async_for(q)), lambda q: [*q]])
@pytest.mark.parametrize("query", [Note.select(), Note.select()[:3], Note.select().where(Note.id > 1),
                                   Note.insert(id=1, text="x"), Note.update(text="y").where(Note.id == 1)])
def test_iterating_a_query_says_how_to_run_it(iterate, query):
    with pytest.raises(TypeError, match=r"use await db\.fetch\(query\).*db\.iterate\(query\)"):
        iterate(query)
