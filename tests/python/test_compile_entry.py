"""compile_query / compile_query_msgpack: arguments, result dict, error order."""

from __future__ import annotations

import json
import re
from typing import Any, Callable

import msgpack
import pytest

from sarnic import _native
from conftest import compile_both, compile_with

META: dict[str, Any] = {
    "model_name": "Post",
    "table_name": "posts",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "allowed_operators": ["eq", "in"], "nullable": False},
        {"name": "title", "column_name": "title", "field_type": "text", "allowed_operators": ["eq"], "nullable": False},
        {"name": "views", "column_name": "view_count", "field_type": "int", "allowed_operators": ["gte"],
         "nullable": True},
        {"name": "body", "column_name": "body", "field_type": "text", "allowed_operators": ["match"], "nullable": True},
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "body_ft", "fields": ["body"]}],
}
ID = {"name": "id", "index": 0}
TITLE = {"name": "title", "index": 1}
VIEWS = {"name": "views", "index": 2}


def ir(operation: dict[str, Any], **extra: Any) -> dict[str, Any]:
    return {"version": 3, "model_name": "Post", "operation": operation, "filters": [], "order_by": [], **extra}


def val(type_: str, value: Any = None) -> dict[str, Any]:
    return {"type": type_} if type_ == "null" else {"type": type_, "value": value}


SELECT = ir({"kind": "select", "fields": [ID, TITLE]})
ID_EQ_7 = [{"field": ID, "operator": "eq", "value": val("int", 7)}]
KEYS = ["sql_text", "bound_params", "param_type_summary", "fingerprint", "operation"]

OPERATIONS = [
    ("select", SELECT),
    ("insert", ir({"kind": "insert", "values": [[TITLE, val("text", "Hi")], [VIEWS, val("int", 3)]]})),
    ("update", ir({"kind": "update", "assignments": [[TITLE, val("text", "New")]]}, filters=ID_EQ_7)),
    ("delete", ir({"kind": "delete"}, filters=ID_EQ_7)),
    ("bulk_insert", ir({"kind": "bulk_insert", "rows": [[[TITLE, val("text", "a")]], [[TITLE, val("text", "b")]]]})),
    ("bulk_update", ir({"kind": "bulk_update", "pk_fields": [ID], "fields": [TITLE],
                        "rows": [{"pk_values": [val("int", 1)], "values": [val("text", "a")]}]})),
    ("bulk_delete", ir({"kind": "bulk_delete", "pk_fields": [ID], "ids": [[val("int", 1)], [val("int", 2)]]})),
]


@pytest.mark.parametrize(("operation", "query"), OPERATIONS, ids=[o for o, _ in OPERATIONS])
def test_result_dict(encoding: str, operation: str, query: dict[str, Any]) -> None:
    result = compile_with(encoding, META, query, "postgres")
    assert list(result) == KEYS
    assert result["operation"] == operation
    assert isinstance(result["sql_text"], str) and result["sql_text"]
    assert re.fullmatch("[0-9a-f]{16}", result["fingerprint"])
    params = result["bound_params"]
    if encoding == "json":
        assert isinstance(params, list) and all(isinstance(p, str) for p in params)
        assert all(" " not in p or '"text"' in p for p in params)  # compact: no blanks outside strings
        count = len(params)
    else:
        assert isinstance(params, bytes)
        count = len(msgpack.unpackb(params))
    assert len(result["param_type_summary"]) == count


def test_no_bound_values() -> None:
    from_json = _native.compile_query(json.dumps(META), json.dumps(SELECT), "sqlite")
    from_mp = _native.compile_query_msgpack(msgpack.packb(META), msgpack.packb(SELECT), "sqlite")
    assert from_json["bound_params"] == [] and from_json["param_type_summary"] == []
    assert from_mp["bound_params"] == b"\x90" and from_mp["param_type_summary"] == []


def test_repeated_labels_stay_exact() -> None:
    # Labels of a bulk insert repeat on every row; non-ASCII names included.
    meta = {**META, "fields": [*META["fields"], {"name": "größe", "column_name": "g", "field_type": "int",
                                                  "allowed_operators": [], "nullable": True}]}
    size = {"name": "größe", "index": 4}
    rows = [[[TITLE, val("text", f"t{i}")], [size, val("int", i)]] for i in range(2000)]
    result = compile_both(meta, ir({"kind": "bulk_insert", "rows": rows}), "postgres")
    assert result["param_type_summary"] == ["title:bulk_insert", "größe:bulk_insert"] * 2000
    assert [p["value"] for p in result["bound_params"]][:4] == ["t0", 0, "t1", 1]


BAD_JSON = "{not json"
UNKNOWN_DIALECT = 'malformed IR: unknown dialect "oracle"; expected postgres, mysql, sqlite, or mssql'

# (metadata, ir, dialect) -> expected message (prefix when it ends with ": ")
ERROR_ORDER = [
    (BAD_JSON, BAD_JSON, "oracle", "malformed IR: metadata deserialization failed: "),
    (json.dumps(META) + " {}", json.dumps(SELECT), "postgres", "malformed IR: metadata deserialization failed: "),
    (json.dumps(META), BAD_JSON, "oracle", "malformed IR: IR deserialization failed: "),
    (json.dumps(META), json.dumps(SELECT) + " 1", "postgres", "malformed IR: IR deserialization failed: "),
    (json.dumps(META), json.dumps(SELECT), "oracle", UNKNOWN_DIALECT),
    (json.dumps(META), json.dumps({**SELECT, "version": 2}), "oracle", UNKNOWN_DIALECT),
    (json.dumps(META), json.dumps({**SELECT, "version": 2}), "postgres", "IR version 2 is not supported (expected 3)"),
    (json.dumps(META), json.dumps(ir({"kind": "select", "fields": [{"name": "ghost", "index": 9}]})), "mysql",
     "unknown field 'ghost' on model 'Post'"),
    (json.dumps(META), json.dumps(ir({"kind": "delete"})), "sqlite",
     "operation 'delete' on model 'Post' requires at least one filter; use the danger API for unscoped mutations"),
]


def check_message(message: str, expected: str) -> None:
    if expected.endswith(": "):
        assert message.startswith(expected) and len(message) > len(expected), message
    else:
        assert message == expected


@pytest.mark.parametrize(("metadata", "query", "dialect", "expected"), ERROR_ORDER)
def test_errors_json(metadata: str, query: str, dialect: str, expected: str) -> None:
    with pytest.raises(_native.SarnicCompileError) as info:
        _native.compile_query(metadata, query, dialect)
    assert len(info.value.args) == 1
    check_message(info.value.args[0], expected)


def to_mp(text: str) -> bytes:
    try:
        return msgpack.packb(json.loads(text))
    except ValueError:
        return b"\xc1" if text == BAD_JSON else msgpack.packb(json.loads(text.rsplit(" ", 1)[0])) + b"\x01"


@pytest.mark.parametrize(("metadata", "query", "dialect", "expected"), ERROR_ORDER)
def test_errors_msgpack(metadata: str, query: str, dialect: str, expected: str) -> None:
    with pytest.raises(_native.SarnicCompileError) as info:
        _native.compile_query_msgpack(to_mp(metadata), to_mp(query), dialect)
    check_message(info.value.args[0], expected)


def test_internal_fault_is_reported_not_raised_through() -> None:
    # The SQL Server rank ordering joins on the primary key, whose position is
    # never validated: out of range it is an internal fault.
    meta = {**META, "pk_index": 99}
    query = ir({"kind": "select", "fields": [ID]},
               text_rank_by={"field": {"name": "body", "index": 3}, "query": val("text", "cats"), "mode": "plain"})
    for call in (lambda: _native.compile_query(json.dumps(meta), json.dumps(query), "mssql"),
                 lambda: _native.compile_query_msgpack(msgpack.packb(meta), msgpack.packb(query), "mssql")):
        with pytest.raises(_native.SarnicInternalError) as info:
            call()
        assert info.value.args == ("internal Sarnic error: unexpected panic in Rust core (category: compile)",)
    assert _native.compile_query(json.dumps(meta), json.dumps(query), "postgres")["operation"] == "select"


# Arity errors are compared with a Python function of the same signature.
def compile_query(metadata_json: Any, ir_json: Any, dialect: Any) -> None: ...  # noqa: ARG001
def compile_query_msgpack(metadata_mp: Any, ir_mp: Any, dialect: Any) -> None: ...  # noqa: ARG001
def hydrate_rows(metadata_json: Any, rows_json: Any) -> None: ...  # noqa: ARG001
def hydrate_rows_msgpack(metadata_mp: Any, rows_mp: Any) -> None: ...  # noqa: ARG001


REFERENCES: list[Callable[..., None]] = [compile_query, compile_query_msgpack, hydrate_rows, hydrate_rows_msgpack]
CALL_SHAPES: list[tuple[tuple[Any, ...], dict[str, Any]]] = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3, 4), {}),
    ((1, 2, 3, 4, 5), {"x": 1}),
    ((1, 2, 3, 4), {"dialect": 1}),
    ((1,), {"metadata_json": 1}),
    ((1,), {"metadata_mp": 1}),
    ((), {"x": 1}),
    ((), {"dialect": 1}),
    ((), {"rows_json": 1, "rows_mp": 1}),
    ((1, 2), {"ir_json": 1}),
]


def arity_error(reference: Callable[..., None], args: tuple[Any, ...], kwargs: dict[str, Any]) -> str | None:
    try:
        reference(*args, **kwargs)
    except TypeError as e:
        # Newer interpreters append a spelling suggestion for an unknown keyword; it is not part of the message.
        return re.sub(r"\. Did you mean '\w+'\?$", "", str(e))
    return None


ARITY_CASES = [
    pytest.param(ref.__name__, args, kwargs, message, id=f"{ref.__name__}-{args}-{sorted(kwargs)}")
    for ref in REFERENCES
    for args, kwargs in CALL_SHAPES
    if (message := arity_error(ref, args, kwargs)) is not None
]


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), ARITY_CASES)
def test_arity_errors_read_as_the_interpreters(function: str, args: tuple[Any, ...], kwargs: dict[str, Any],
                                               message: str) -> None:
    with pytest.raises(TypeError) as info:
        getattr(_native, function)(*args, **kwargs)
    assert str(info.value) == message


class Text(str):
    pass


class Blob(bytes):
    pass


META_JSON, SELECT_JSON = json.dumps(META), json.dumps(SELECT)
META_MP, SELECT_MP = msgpack.packb(META), msgpack.packb(SELECT)
WRONG_TYPES = [
    ("compile_query", (META_JSON.encode(), SELECT_JSON, "postgres"), "argument 'metadata_json' must be str, not bytes"),
    ("compile_query", (META_JSON, None, "postgres"), "argument 'ir_json' must be str, not None"),
    ("compile_query", (META_JSON, SELECT_JSON, 1), "argument 'dialect' must be str, not int"),
    ("compile_query_msgpack", (bytearray(META_MP), SELECT_MP, "postgres"),
     "argument 'metadata_mp' must be bytes, not bytearray"),
    ("compile_query_msgpack", (META_MP, memoryview(SELECT_MP), "postgres"),
     "argument 'ir_mp' must be bytes, not memoryview"),
    ("compile_query_msgpack", (META_JSON, SELECT_MP, "postgres"), "argument 'metadata_mp' must be bytes, not str"),
    ("compile_query_msgpack", (META_MP, SELECT_MP, b"postgres"), "argument 'dialect' must be str, not bytes"),
    ("hydrate_rows", (META_JSON, ["[]"]), "argument 'rows_json' must be str, not list"),
    ("hydrate_rows_msgpack", (META_MP, Text("x")), "argument 'rows_mp' must be bytes, not Text"),
]


@pytest.mark.parametrize(("function", "args", "message"), WRONG_TYPES)
def test_wrong_argument_types(function: str, args: tuple[Any, ...], message: str) -> None:
    with pytest.raises(TypeError) as info:
        getattr(_native, function)(*args)
    assert str(info.value) == f"{function}() {message}"


def test_type_errors_come_in_argument_order() -> None:
    with pytest.raises(TypeError, match="'metadata_json'"):
        _native.compile_query(None, None, None)  # type: ignore[arg-type]


def test_subclasses_and_keywords_accepted() -> None:
    expected = _native.compile_query(META_JSON, SELECT_JSON, "postgres")
    assert _native.compile_query(Text(META_JSON), Text(SELECT_JSON), Text("postgres")) == expected
    assert _native.compile_query(dialect="postgres", ir_json=SELECT_JSON, metadata_json=META_JSON) == expected
    # Keyword names built at run time are not the interned ones.
    kwargs = {"".join(["dia", "lect"]): "postgres"}
    assert _native.compile_query(META_JSON, SELECT_JSON, **kwargs) == expected
    mp = _native.compile_query_msgpack(Blob(META_MP), Blob(SELECT_MP), "postgres")
    assert mp == _native.compile_query_msgpack(ir_mp=SELECT_MP, dialect="postgres", metadata_mp=META_MP)
    assert mp["sql_text"] == expected["sql_text"]


def test_unencodable_text_argument() -> None:
    with pytest.raises(UnicodeEncodeError):
        _native.compile_query(META_JSON, SELECT_JSON, "post\ud800gres")

