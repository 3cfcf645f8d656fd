"""Compile an IR, run it on an engine, hydrate what comes back."""

from __future__ import annotations

import datetime as dt
import decimal
import json
import uuid
from dataclasses import dataclass
from typing import Any

import msgpack

from sarnic import _native

from . import sqlcheck
from .bind import decode_params, driver_values
from .drivers import Engine


@dataclass
class Compiled:
    sql: str
    params: list[dict[str, Any]]
    labels: list[str]
    operation: str
    bound_json: list[str]
    bound_mp: bytes


def compile_ir(meta: dict[str, Any], ir: dict[str, Any], dialect: str, *, read: bool = True) -> Compiled:
    """Compiles from JSON and from MessagePack and checks both agree. With `read`,
    sqlglot must read the statement, and the same IR compiled for SQL Server as T-SQL."""
    a = _native.compile_query(json.dumps(meta), json.dumps(ir), dialect)
    b = _native.compile_query_msgpack(msgpack.packb(meta), msgpack.packb(ir), dialect)
    for key in ("sql_text", "param_type_summary", "fingerprint", "operation"):
        assert a[key] == b[key], key
    params = decode_params(a["bound_params"])
    assert params == decode_params(b["bound_params"])
    assert len(params) == len(a["param_type_summary"])
    if read:
        sqlcheck.check(a["sql_text"], dialect)
    if read and dialect != "mssql":
        try:
            twin = _native.compile_query(json.dumps(meta), json.dumps(ir), "mssql")
        except _native.SarnicCompileError:
            pass  # PostgreSQL-only statements (bulk update, vector ordering)
        else:
            sqlcheck.check(twin["sql_text"], "mssql")
    return Compiled(a["sql_text"], params, a["param_type_summary"], a["operation"],
                    a["bound_params"], b["bound_params"])


def jsonable(value: Any) -> Any:
    """A fetched value in the plain form the rows document carries."""
    if isinstance(value, (dt.datetime, dt.date, dt.time)):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, decimal.Decimal):
        return float(value)
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    return value


def hydrate(meta: dict[str, Any], rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Rows through both hydrate entries; they must come back unchanged."""
    plain = [{k: jsonable(v) for k, v in r.items()} for r in rows]
    from_json = _native.hydrate_rows(json.dumps(meta), json.dumps(plain))
    from_mp = _native.hydrate_rows_msgpack(msgpack.packb(meta), msgpack.packb(plain))
    assert from_json == plain
    assert from_mp == plain
    return from_json


def returned_model(meta: dict[str, Any], ir: dict[str, Any]) -> dict[str, Any]:
    """The model the statement's rows are checked against: a select returns only
    its projected fields (joined columns are extra keys), a write every field."""
    op = ir["operation"]
    if op["kind"] != "select":
        return meta
    picked = [] if ir.get("exists") else [meta["fields"][r["index"]] for r in op["fields"]]
    return {**meta, "fields": picked}


def run(db: Engine, meta: dict[str, Any], ir: dict[str, Any], *, read: bool = True) -> list[dict[str, Any]]:
    c = compile_ir(meta, ir, db.dialect, read=read)
    values = driver_values(c.bound_json, db.name)
    assert values == driver_values(c.bound_mp, db.name)
    return hydrate(returned_model(meta, ir), db.fetch(c.sql, values))


def compile_error(meta: dict[str, Any], ir: dict[str, Any], dialect: str) -> str:
    """The message of the compile error the IR must raise."""
    try:
        _native.compile_query(json.dumps(meta), json.dumps(ir), dialect)
    except _native.SarnicCompileError as exc:
        return str(exc)
    raise AssertionError(f"{dialect}: compiled, but an error was expected")
