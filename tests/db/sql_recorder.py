"""pytest plugin: writes every statement the compile entry points return, one
JSON line {"dialect", "sql"} each, to the file named by SARNIC_SQL_RECORD.

Loaded into a run of the golden tests (`-p tests.db.sql_recorder`) so the SQL
they produce can be read by sqlglot without repeating their cases here.
"""

from __future__ import annotations

import functools
import json
import os
import threading
from typing import Any

import pytest

# Longer statements are many rows of one shape already recorded in short form.
MAX_LENGTH = 16384


def _recording(fn: Any, out: Any, seen: set[tuple[str, str]], lock: threading.Lock) -> Any:
    @functools.wraps(fn)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        result = fn(*args, **kwargs)
        entry = (kwargs["dialect"] if "dialect" in kwargs else args[2], result["sql_text"])
        # Some golden tests compile from several threads; a text file is not thread-safe.
        with lock:
            if len(entry[1]) <= MAX_LENGTH and entry not in seen:
                seen.add(entry)
                out.write(json.dumps({"dialect": entry[0], "sql": entry[1]}) + "\n")
        return result

    return wrapper


def pytest_configure(config: pytest.Config) -> None:
    from sarnic import _native

    out = open(os.environ["SARNIC_SQL_RECORD"], "a", encoding="utf-8")  # noqa: SIM115 - open for the run
    config.add_cleanup(out.close)
    seen: set[tuple[str, str]] = set()
    lock = threading.Lock()
    for name in ("compile_query", "compile_query_msgpack"):
        setattr(_native, name, _recording(getattr(_native, name), out, seen, lock))
