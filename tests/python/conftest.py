"""Shared helpers: compile one document in both encodings and check they agree."""

from __future__ import annotations

import json
from typing import Any

import msgpack
import pytest

from sarnic import _native

DIALECTS = ("postgres", "mysql", "sqlite", "mssql")


def _same_through_statement_door(old: Any, new: Any, metadata_doc: Any, ir_doc: Any, dialect: str) -> Any:
    """The statement entry points take every version-3 document and answer
    exactly as the query entry points do: same result, or same error text."""
    try:
        expected = old(metadata_doc, ir_doc, dialect)
    except _native.SarnicCompileError as error:
        try:
            new(ir_doc, dialect)
        except _native.SarnicCompileError as again:
            # A version the old door names as "expected 3" is one neither door takes.
            assert str(again) == str(error) or "(expected 4)" in str(again), (str(again), str(error))
        else:
            raise AssertionError(f"the statement door accepted what the query door refused: {error}")
        raise
    assert new(ir_doc, dialect) == expected
    return expected


def compile_json(metadata: Any, ir: Any, dialect: str) -> dict[str, Any]:
    models = "[" + json.dumps(metadata) + "]"
    return _same_through_statement_door(
        _native.compile_query, lambda i, d: _native.compile_statement(models, i, d),
        json.dumps(metadata), json.dumps(ir), dialect)


def compile_msgpack(metadata: Any, ir: Any, dialect: str) -> dict[str, Any]:
    models = b"\x91" + msgpack.packb(metadata)
    return _same_through_statement_door(
        _native.compile_query_msgpack, lambda i, d: _native.compile_statement_msgpack(models, i, d),
        msgpack.packb(metadata), msgpack.packb(ir), dialect)


def compile_both(metadata: Any, ir: Any, dialect: str) -> dict[str, Any]:
    """Compiles from JSON and from MessagePack; returns the JSON result with
    bound_params decoded to plain values, after checking both agree."""
    from_json = compile_json(metadata, ir, dialect)
    from_mp = compile_msgpack(metadata, ir, dialect)
    params_json = [json.loads(p) for p in from_json["bound_params"]]
    params_mp = msgpack.unpackb(from_mp["bound_params"])
    for key in ("sql_text", "param_type_summary", "fingerprint", "operation"):
        assert from_json[key] == from_mp[key], key
    assert params_json == params_mp
    return {**from_json, "bound_params": params_json}


def values(result: dict[str, Any]) -> list[Any]:
    """The payloads of decoded bound params (None for the null variant)."""
    return [p.get("value") for p in result["bound_params"]]


@pytest.fixture(params=["json", "msgpack"])
def encoding(request: pytest.FixtureRequest) -> str:
    return request.param


def compile_with(encoding: str, metadata: Any, ir: Any, dialect: str) -> dict[str, Any]:
    return (compile_json if encoding == "json" else compile_msgpack)(metadata, ir, dialect)
