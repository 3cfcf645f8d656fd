"""Typed use of the module as the ORM layer writes it: test_readme.py checks it
with mypy --strict and runs it."""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any, NoReturn

import sarnic
from sarnic import SarnicCompileError, SarnicHydrationError, _native

FIELD = {"name": "id", "column_name": "id", "field_type": "int", "allowed_operators": ["eq"], "nullable": False}
METADATA = json.dumps({"model_name": "Tag", "table_name": "tags", "fields": [FIELD], "pk_index": 0})
IR = json.dumps({"version": 3, "model_name": "Tag", "operation": {"kind": "select", "fields": [{"name": "id", "index": 0}]},
                 "filters": [{"field": {"name": "id", "index": 0}, "operator": "eq", "value": {"type": "int", "value": 1}}],
                 "order_by": []})  # fmt: skip


def compile_sqlite() -> tuple[str, list[str], list[str], str, str]:
    r = sarnic.compile_query(METADATA, IR, "sqlite")
    return r["sql_text"], r["bound_params"], r["param_type_summary"], r["fingerprint"], r["operation"]


def packed_params(metadata: bytes, ir: bytes) -> bytes:
    return _native.compile_query_msgpack(metadata, ir, "sqlite")["bound_params"]


def fetch(rows: list[dict[str, Any]], packed: bytes | None = None) -> list[dict[str, Any]]:
    if packed is not None:
        return _native.hydrate_rows_msgpack(packed, packed)
    return _native.hydrate_rows(METADATA, json.dumps(rows))


def migrate() -> NoReturn:
    _native.plan_migration()


def raises(call: Callable[[], object]) -> type[BaseException] | None:
    try:
        call()
    except (RuntimeError, NotImplementedError) as exc:
        return type(exc)
    return None


def main() -> None:
    sql, params, labels, fingerprint, operation = compile_sqlite()
    assert (sql, params, labels, operation) == ('SELECT "id" FROM "tags" WHERE "id" = ?', ['{"type":"int","value":1}'],
                                                ["id:eq"], "select")  # fmt: skip
    assert len(fingerprint) == 16 and fetch([{"id": 3}]) == [{"id": 3}]
    assert raises(lambda: packed_params(b"\x90", b"\x90")) is SarnicCompileError
    assert raises(lambda: fetch([{"id": None}])) is SarnicHydrationError
    assert raises(lambda: fetch([], packed=b"\x90")) is SarnicHydrationError
    assert raises(migrate) is NotImplementedError


if __name__ == "__main__":
    main()
