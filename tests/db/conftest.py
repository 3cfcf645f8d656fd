"""Real-database tier: PostgreSQL and MariaDB on this machine, SQLite in memory.

A server that does not answer skips its tests with one line saying so; under
CI it fails them instead, so CI never goes green by skipping this tier.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager

import pytest

from . import ddl
from .drivers import ENGINES, SERVERS, Engine, answers
from .seed import Seeded, seed

_reachable: dict[str, bool] = {}
_missing: set[str] = set()


def ci() -> bool:
    return os.environ.get("CI", "").lower() not in ("", "0", "false", "no")


def require_server(engine: str) -> None:
    if engine not in SERVERS:
        return
    label, addr = SERVERS[engine]
    if engine not in _reachable:
        _reachable[engine] = answers(addr)
    if _reachable[engine]:
        return
    message = f"{label} server not reachable at {addr[0]}:{addr[1]}"
    _missing.add(message)
    if ci():
        pytest.fail(f"{message}; CI needs it", pytrace=False)
    pytest.skip(message)


def open_engine(name: str) -> Engine:
    # A server that answers but refuses us is an error, never a skip.
    require_server(name)
    return ENGINES[name]()


@contextmanager
def fresh_schema(name: str) -> Iterator[Engine]:
    """A schema of its own on the engine, holding the models' tables; dropped after."""
    engine = open_engine(name)
    try:
        engine.script(ddl.postgres(engine.vector_type) if name == "postgres" else SCHEMAS[name]())
        yield engine
    finally:
        engine.close()


SCHEMAS = {"mariadb": ddl.mariadb, "sqlite": ddl.sqlite}


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
    for message in sorted(_missing):
        terminalreporter.write_line(f"db tier: {message}: its tests {'failed' if ci() else 'were skipped'}")
