"""Every statement sarnic writes must be read by sqlglot's parser for its
dialect; SQL Server cannot run here, so its text is checked this way only.

The database tests check their own statements as they compile them (and the
same IR compiled for SQL Server); here the golden tests' statements are
collected by running them with a recording plugin.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from .sqlcheck import READER_GAPS, ReaderGap, parse_error, reader_gap

ROOT = Path(__file__).resolve().parents[2]
DIALECTS = {"postgres": "postgres", "postgresql": "postgres", "mysql": "mysql", "mariadb": "mysql",
            "sqlite": "sqlite", "mssql": "mssql", "sqlserver": "mssql"}


@pytest.fixture(scope="module")
def golden(tmp_path_factory: pytest.TempPathFactory) -> dict[str, set[str]]:
    record = tmp_path_factory.mktemp("golden") / "statements.jsonl"
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "tests.db.sql_recorder",
         "tests/python"],
        cwd=ROOT, env={**os.environ, "SARNIC_SQL_RECORD": str(record)}, capture_output=True, text=True,
        timeout=900, check=False)
    # Failing golden tests are reported by their own run; a run that did not get
    # through collection would leave this check without its statements.
    assert proc.returncode in (0, 1), proc.stdout[-3000:] + proc.stderr[-3000:]
    found: dict[str, set[str]] = {d: set() for d in set(DIALECTS.values())}
    for line in record.read_text(encoding="utf-8").splitlines():
        entry = json.loads(line)
        found[DIALECTS[entry["dialect"].lower()]].add(entry["sql"])
    return found


@pytest.mark.parametrize("dialect", ["postgres", "mysql", "sqlite", "mssql"])
def test_every_golden_statement_parses(golden: dict[str, set[str]], dialect: str) -> None:
    statements = golden[dialect]
    assert len(statements) >= 20, f"only {len(statements)} {dialect} statements recorded"
    failures = [f"{sql}\n    {error}" for sql in sorted(statements)
                if reader_gap(sql, dialect) is None and (error := parse_error(sql, dialect)) is not None]
    assert not failures, f"{len(failures)} of {len(statements)} statements do not parse:\n" + "\n".join(failures)


TSQL = {"tsql": "mssql"}


@pytest.mark.parametrize(("gap", "reader"), [
    pytest.param(g, r, marks=pytest.mark.xfail(strict=True, reason=g.reason), id=f"{r}-{i}")
    for i, g in enumerate(READER_GAPS) for r in g.readers])
def test_reader_gap_still_exists(gap: ReaderGap, reader: str) -> None:
    """Valid SQL the reader cannot parse; when sqlglot learns it, drop the entry."""
    assert parse_error(gap.example, TSQL.get(reader, reader)) is None
