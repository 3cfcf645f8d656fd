"""Whether each server answers, and what happens when one does not: a skip
with one line saying so, or under CI a failure, so CI never goes green by
skipping this tier."""

from __future__ import annotations

import os

import pytest

from .drivers import ENGINES, SERVERS, Engine, answers

_reachable: dict[str, bool] = {}
#: one message per server that did not answer, for the end of the run
missing: set[str] = set()


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
    missing.add(message)
    if ci():
        pytest.fail(f"{message}; CI needs it", pytrace=False)
    pytest.skip(message)


def open_engine(name: str) -> Engine:
    # A server that answers but refuses us is an error, never a skip.
    require_server(name)
    return ENGINES[name]()
