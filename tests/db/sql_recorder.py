"""pytest plugin: writes every statement the compile entry points return, one
JSON line {"dialect", "sql"} each, to the file named by SARNIC_SQL_RECORD.

Loaded into a run of the golden tests (`-p tests.db.sql_recorder`) so the SQL
they produce can be read by sqlglot without repeating their cases here.
"""

from __future__ import annotations

import functools
import json
import os
from typing import Any

import pytest

# Longer statements are many rows of one shape already recorded in short form.
MAX_LENGTH = 16384


def _recording(fn: Any, out: Any) -> Any:
    @functools.wraps(fn)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        result = fn(*args, **kwargs)
        dialect = kwargs["dialect"] if "dialect" in kwargs else args[2]
        sql = result["sql_text"]
        if len(sql) <= MAX_LENGTH:
            out.write(json.dumps({"dialect": dialect, "sql": sql}) + "\n")
        return result

    return wrapper


def pytest_configure(config: pytest.Config) -> None:
    from sarnic import _native

    out = open(os.environ["SARNIC_SQL_RECORD"], "a", encoding="utf-8")  # noqa: SIM115 - open for the run
    config.add_cleanup(out.close)
    for name in ("compile_query", "compile_query_msgpack"):
        setattr(_native, name, _recording(getattr(_native, name), out))
