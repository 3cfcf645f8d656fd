"""Real-database tier: PostgreSQL and MariaDB on this machine, SQLite in memory."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

import pytest

from . import ddl
from .drivers import ENGINES, Engine
from .seed import Seeded, seed
from .servers import ci, missing, open_engine


@contextmanager
def fresh_schema(name: str) -> Iterator[Engine]:
    """A schema of its own on the engine, holding the models' tables; dropped after."""
    engine = open_engine(name)
    try:
        engine.script(ddl.models(engine))
        yield engine
    finally:
        engine.close()


@pytest.fixture(params=list(ENGINES))
def db(request: pytest.FixtureRequest) -> Iterator[Engine]:
    """An empty schema per test, on each engine in turn: for tests that write."""
    with fresh_schema(request.param) as engine:
        yield engine


@pytest.fixture(scope="module", params=list(ENGINES))
def reader(request: pytest.FixtureRequest) -> Iterator[tuple[Engine, Seeded]]:
    """One seeded schema per module and engine, shared by tests that only read."""
    with fresh_schema(request.param) as engine:
        yield engine, seed(engine)


@pytest.fixture
def pg() -> Iterator[Engine]:
    with fresh_schema("postgres") as engine:
        yield engine


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter) -> None:
    for message in sorted(missing):
        terminalreporter.write_line(f"db tier: {message}: its tests {'failed' if ci() else 'were skipped'}")
