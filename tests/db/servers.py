"""Whether each server answers (and has the extensions the models need), and
what happens when one does not: a skip with one line saying so, or under CI a
failure, so CI never goes green by skipping this tier."""

from __future__ import annotations

import os
from typing import NoReturn

import pytest

from .drivers import ENGINES, SERVERS, Engine, MissingExtension, answers

_reachable: dict[str, bool] = {}
#: why a server that answers cannot hold the models, once it is known
_lacking: dict[str, str] = {}
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
    _unavailable(f"{label} server not reachable at {addr[0]}:{addr[1]}")


def _unavailable(message: str) -> NoReturn:
    missing.add(message)
    if ci():
        pytest.fail(f"{message}; CI needs it", pytrace=False)
    pytest.skip(message)


def open_engine(name: str) -> Engine:
    # A server that answers but refuses us is an error, never a skip; one that
    # lacks an extension is as good as absent.
    require_server(name)
    if name in _lacking:
        _unavailable(_lacking[name])
    try:
        return ENGINES[name]()
    except MissingExtension as exc:
        _lacking[name] = str(exc)
        _unavailable(str(exc))
