"""IRs the compiler accepts whose SQL some engine refuses. Each case runs on
every engine; where the engine refuses it, the case is an expected failure
with the reason, so a fix shows up as an unexpected pass."""

from __future__ import annotations

from typing import Any

import pytest

from .drivers import Engine
from .models import ARTICLES, VISITS, asc, bv, bulk_insert, ref, select
from .seed import seed
from .tier import run

RANK = {"field": ref(ARTICLES, "body"), "query": bv("lighthouse"), "mode": "plain"}
EMPTY_SELECT = {**select(ARTICLES), "operation": {"kind": "select", "fields": []}}

# name, model, IR, rows expected where it runs, {engine: why the engine refuses it}
CASES: list[tuple[str, dict[str, Any], dict[str, Any], int, dict[str, str]]] = [
    ("bulk insert of rows without values", VISITS, bulk_insert(VISITS, [{}, {}], returning=False), 0,
     {"postgres": 'INSERT INTO "visits" () VALUES (), () is no PostgreSQL syntax',
      "sqlite": 'INSERT INTO "visits" () VALUES (), () is no SQLite syntax'}),
    ("select without fields", ARTICLES, EMPTY_SELECT, 4,
     {e: "SELECT  FROM: an empty column list runs only on PostgreSQL" for e in ("mariadb", "sqlite")}),
    ("distinct ordered by an unselected field", ARTICLES,
     select(ARTICLES, "title", distinct=True, order_by=[asc(ARTICLES, "views")]), 4,
     {"postgres": "PostgreSQL: for SELECT DISTINCT, ORDER BY expressions must appear in select list"}),
    ("distinct ordered by rank", ARTICLES, select(ARTICLES, "title", distinct=True, text_rank_by=RANK), 4,
     {"postgres": "PostgreSQL: for SELECT DISTINCT, ORDER BY expressions must appear in select list"}),
]


@pytest.mark.parametrize(("meta", "ir", "rows", "refused"), [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_statement_runs(request: pytest.FixtureRequest, db: Engine, meta: dict[str, Any], ir: dict[str, Any],
                        rows: int, refused: dict[str, str]) -> None:
    if db.name in refused:
        request.applymarker(pytest.mark.xfail(strict=True, raises=db.error, reason=refused[db.name]))
    seed(db)
    # The engine is the judge here: sqlglot accepts some of these texts.
    assert len(run(db, meta, ir, read=False)) == rows
