"""Typed use of the module as the ORM layer writes it; test_readme.py checks
it with mypy --strict and runs it."""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any, NoReturn

import sarnic
from sarnic import SarnicCompileError, SarnicHydrationError, SarnicInternalError, _native

METADATA = json.dumps({
    "model_name": "Tag",
    "table_name": "tags",
    "fields": [{"name": "id", "column_name": "id", "field_type": "int", "allowed_operators": ["eq"],
                "nullable": False}],
    "pk_index": 0,
})  # fmt: skip
IR = json.dumps({
    "version": 3,
    "model_name": "Tag",
    "operation": {"kind": "select", "fields": [{"name": "id", "index": 0}]},
    "filters": [{"field": {"name": "id", "index": 0}, "operator": "eq", "value": {"type": "int", "value": 1}}],
    "order_by": [],
})


def compile_json(dialect: str) -> tuple[str, list[str], list[str], str, str]:
    result = sarnic.compile_query(METADATA, IR, dialect)
    return (result["sql_text"], result["bound_params"], result["param_type_summary"], result["fingerprint"],
            result["operation"])  # fmt: skip


def compile_packed(metadata: bytes, ir: bytes) -> bytes:
    result = _native.compile_query_msgpack(metadata, ir, "sqlite")
    blob: bytes = result["bound_params"]
    return blob


def fetch(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    return _native.hydrate_rows(METADATA, json.dumps(rows))


def fetch_packed(metadata: bytes, rows: bytes) -> list[dict[str, Any]]:
    return _native.hydrate_rows_msgpack(metadata, rows)


def kind(exc: RuntimeError) -> str:
    if isinstance(exc, SarnicCompileError):
        return "compile"
    if isinstance(exc, SarnicHydrationError):
        return "hydrate"
    if isinstance(exc, SarnicInternalError):
        return "internal"
    return "other"


def migrate() -> NoReturn:
    _native.plan_migration()


def failure(call: Callable[[], object]) -> str:
    try:
        call()
    except RuntimeError as exc:
        return kind(exc)
    return "none"


def main() -> None:
    sql, params, labels, fingerprint, operation = compile_json("sqlite")
    assert (sql, operation, labels) == ('SELECT "id" FROM "tags" WHERE "id" = ?', "select", ["id:eq"])
    assert [json.loads(p) for p in params] == [{"type": "int", "value": 1}] and len(fingerprint) == 16
    assert fetch([{"id": 3}]) == [{"id": 3}]
    assert failure(lambda: compile_json("oracle")) == "compile"
    assert failure(lambda: fetch([{"id": None}])) == "hydrate"
    assert failure(lambda: fetch_packed(b"\x90", b"\x90")) == "hydrate"  # metadata too short
    try:
        migrate()
    except NotImplementedError:
        return
    raise AssertionError("plan_migration returned")


if __name__ == "__main__":
    main()
