"""Hostile inputs: every one fails with the module's own exception (or the
host's TypeError for a wrong argument type) and never crashes, hangs or
returns garbage."""

from __future__ import annotations

import json
import math
from typing import Any

import msgpack
import pytest

from sarnic import _native

CompileError = _native.SarnicCompileError
HydrationError = _native.SarnicHydrationError
InternalError = _native.SarnicInternalError

U64_MAX = 2**64 - 1
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)

METADATA: dict[str, Any] = {
    "model_name": "Doc",
    "table_name": "docs",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "nullable": False, "allowed_operators": ["eq", "in"]},
        {"name": "title", "column_name": "title", "field_type": "text", "nullable": True,
         "allowed_operators": ["eq", "match"], "fts_source_columns": ["title"]},
        {"name": "score", "column_name": "score", "field_type": "float", "nullable": True, "allowed_operators": ["eq"]},
        {"name": "embedding", "column_name": "embedding", "field_type": "vector", "nullable": True,
         "allowed_operators": [], "vector_dimensions": 3},
    ],
    "pk_index": 0,
}


def ref(name: str, index: int) -> dict[str, Any]:
    return {"name": name, "index": index}


def select(**extra: Any) -> dict[str, Any]:
    ir = {"version": 3, "model_name": "Doc", "operation": {"kind": "select", "fields": [ref("id", 0)]},
          "filters": [], "order_by": []}
    ir.update(extra)
    return ir


def eq(index: int, value: dict[str, Any], name: str = "id", op: str = "eq") -> dict[str, Any]:
    return {"field": ref(name, index), "operator": op, "value": value}


def compile_json(metadata: Any, ir: Any, dialect: str = "postgres") -> dict[str, Any]:
    m = metadata if isinstance(metadata, str) else json.dumps(metadata)
    i = ir if isinstance(ir, str) else json.dumps(ir)
    return _native.compile_query(m, i, dialect)


def compile_mp(metadata: Any, ir: Any, dialect: str = "postgres") -> dict[str, Any]:
    m = metadata if isinstance(metadata, bytes) else msgpack.packb(metadata)
    i = ir if isinstance(ir, bytes) else msgpack.packb(ir)
    return _native.compile_query_msgpack(m, i, dialect)


def raises_compile(call, *args: Any, startswith: str = "malformed IR: ") -> str:
    with pytest.raises(CompileError) as info:
        call(*args)
    (message,) = info.value.args
    assert message.startswith(startswith), message
    return message


# --- sizes: large documents, long arrays, deep nesting ---------------------------------------------


def test_huge_text_value_round_trips_in_both_encodings():
    big = "x" * (100 * 1024 * 1024)
    ir = select(filters=[eq(1, {"type": "text", "value": big}, "title")])
    out = compile_json(METADATA, ir)
    assert len(out["bound_params"][0]) == len(big) + len('{"type":"text","value":""}')
    out = compile_mp(METADATA, ir)
    assert msgpack.unpackb(out["bound_params"])[0]["value"] == big


def test_huge_row_value_hydrates_in_both_encodings():
    big = "y" * (100 * 1024 * 1024)
    assert _native.hydrate_rows(json.dumps(METADATA), json.dumps([{"id": 1, "v": big}]))[0]["v"] == big
    assert _native.hydrate_rows_msgpack(msgpack.packb(METADATA), msgpack.packb([{"id": 1, "v": big}]))[0]["v"] == big


def test_huge_garbage_fails_cleanly():
    junk = "[" + " " * (100 * 1024 * 1024)
    raises_compile(compile_json, METADATA, junk, startswith="malformed IR: IR deserialization failed: ")
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows(json.dumps(METADATA), junk)
    # an array32 of 100 MiB of 0xc1, the one byte MessagePack never uses
    mp_junk = b"\xdd" + (100 * 1024 * 1024).to_bytes(4, "big") + b"\xc1" * (100 * 1024 * 1024)
    raises_compile(compile_mp, METADATA, mp_junk, startswith="malformed IR: IR deserialization failed: ")
    raises_compile(compile_mp, mp_junk, select(), startswith="malformed IR: metadata deserialization failed: ")
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows_msgpack(msgpack.packb(METADATA), mp_junk)


def test_ten_million_element_array():
    n = 10_000_000
    ints = "[" + ",".join(["7"] * n) + "]"
    ir_json = json.dumps(select(filters=[eq(0, {"type": "int_array", "value": [0]}, op="in")])).replace("[0]", ints)
    out = compile_json(json.dumps(METADATA), ir_json)
    assert out["bound_params"][0].count(",") == n  # n - 1 between items, one after "type"
    rows = _native.hydrate_rows_msgpack(msgpack.packb(METADATA), msgpack.packb([{"id": 1, "v": [None] * n}]))
    assert len(rows[0]["v"]) == n
    # the other encoding of each: a MessagePack array32 of fixints, a JSON row of nulls
    placeholder = msgpack.packb([0])
    ir_mp = msgpack.packb(select(filters=[eq(0, {"type": "int_array", "value": [0]}, op="in")]))
    ir_mp = ir_mp.replace(placeholder, b"\xdd" + n.to_bytes(4, "big") + b"\x07" * n)
    out = compile_mp(METADATA, ir_mp)
    assert msgpack.unpackb(out["bound_params"])[0]["value"] == [7] * n
    rows = _native.hydrate_rows(json.dumps(METADATA), '[{"id": 1, "v": [' + ",".join(["null"] * n) + "]}]")
    assert len(rows[0]["v"]) == n


@pytest.mark.parametrize("kind", ["array", "map"])
def test_million_levels_of_nesting(kind: str):
    depth = 1_000_000
    json_doc = ("[" * depth) if kind == "array" else ('{"a":' * depth)
    mp_doc = (b"\x91" * depth) if kind == "array" else (b"\x81\xa1a" * depth)
    raises_compile(compile_json, METADATA, json_doc, startswith="malformed IR: IR deserialization failed: ")
    raises_compile(compile_mp, METADATA, mp_doc, startswith="malformed IR: IR deserialization failed: ")
    raises_compile(compile_json, json_doc, select(), startswith="malformed IR: metadata deserialization failed: ")
    raises_compile(compile_mp, mp_doc, select(), startswith="malformed IR: metadata deserialization failed: ")
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows(json.dumps(METADATA), "[{\"v\":" + json_doc)
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows_msgpack(msgpack.packb(METADATA), b"\x91\x81\xa1v" + mp_doc)


@pytest.mark.parametrize(("encoding", "limit"), [("json", 127), ("msgpack", 1023)])
def test_nesting_limit_is_exact(encoding: str, limit: int):
    # An unknown key may hold any value; the whole document nests `depth` deep.
    def doc(depth: int) -> Any:
        value: Any = []
        for _ in range(depth - 2):
            value = [value]
        return select(extra=value)

    call = compile_json if encoding == "json" else compile_mp
    assert call(METADATA, doc(limit))["operation"] == "select"
    raises_compile(call, METADATA, doc(limit + 1), startswith="malformed IR: IR deserialization failed: ")


@pytest.mark.parametrize(
    "header",
    [b"\xdd\xff\xff\xff\xff", b"\xdf\xff\xff\xff\xff", b"\xdb\xff\xff\xff\xff", b"\xc6\xff\xff\xff\xff",
     b"\xdc\xff\xff", b"\x91" * 500 + b"\xdd\x7f\xff\xff\xff"],
    ids=["array32", "map32", "str32", "bin32", "array16", "nested-array32"],
)
def test_msgpack_headers_announcing_more_than_present(header: bytes):
    # Nothing may be sized from the announced count before the bytes exist.
    raises_compile(compile_mp, METADATA, header, startswith="malformed IR: IR deserialization failed: ")
    raises_compile(compile_mp, header, select(), startswith="malformed IR: metadata deserialization failed: ")
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows_msgpack(msgpack.packb(METADATA), header)


# --- text: UTF-8, NUL, surrogates --------------------------------------------------------------------

INVALID_UTF8 = [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"abc\xe2\x82", b"\x80"]


@pytest.mark.parametrize("bad", INVALID_UTF8, ids=["ff", "overlong-nul", "surrogate", "above-max", "truncated", "lone-cont"])
def test_invalid_utf8_in_msgpack_strings_and_keys(bad: bytes):
    def str_header(b: bytes) -> bytes:
        return bytes([0xA0 | len(b)]) + b

    placeholder = msgpack.packb("PLACEHOLDER")
    ir_value = msgpack.packb(select(filters=[eq(1, {"type": "text", "value": "PLACEHOLDER"}, "title")]))
    ir_key = msgpack.packb({**select(), "PLACEHOLDER": 1})
    meta_name = msgpack.packb({**METADATA, "table_name": "PLACEHOLDER"})
    for ir in (ir_value, ir_key):
        raises_compile(compile_mp, METADATA, ir.replace(placeholder, str_header(bad)),
                       startswith="malformed IR: IR deserialization failed: ")
    meta_key = msgpack.packb({**METADATA, "PLACEHOLDER": 1})
    field_key = msgpack.packb({**METADATA, "fields": [{**METADATA["fields"][0], "PLACEHOLDER": 1}]})
    for meta in (meta_name, meta_key, field_key):
        raises_compile(compile_mp, meta.replace(placeholder, str_header(bad)), select(),
                       startswith="malformed IR: metadata deserialization failed: ")
    for rows in ([{"id": 1, "PLACEHOLDER": 2}], [{"id": "PLACEHOLDER"}], [{"id": {"PLACEHOLDER": 1}}]):
        packed = msgpack.packb(rows).replace(placeholder, str_header(bad))
        with pytest.raises(HydrationError, match="^rows deserialization error: "):
            _native.hydrate_rows_msgpack(msgpack.packb(METADATA), packed)


@pytest.mark.parametrize("escape", ["\\ud800", "\\udfff", "\\ud800\\u0041", "\\ud800x"])
def test_lone_surrogate_escapes_in_json_fail_to_decode(escape: str):
    # Accepting them would hand the host text that is not UTF-8.
    ir = json.dumps(select(filters=[eq(1, {"type": "text", "value": "S"}, "title")])).replace('"S"', f'"{escape}"')
    raises_compile(compile_json, METADATA, ir, startswith="malformed IR: IR deserialization failed: ")
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows(json.dumps(METADATA), f'[{{"id": 1, "v": "{escape}"}}]')


def test_surrogate_escape_pair_decodes():
    ir = json.dumps(select(filters=[eq(1, {"type": "text", "value": "S"}, "title")])).replace('"S"', '"\\ud83d\\ude00"')
    assert json.loads(compile_json(METADATA, ir)["bound_params"][0])["value"] == "\U0001F600"


def test_lone_surrogate_in_python_str_argument():
    with pytest.raises(UnicodeEncodeError):
        _native.compile_query(json.dumps(METADATA), json.dumps(select()), "postgres\ud800")
    with pytest.raises(UnicodeEncodeError):
        _native.hydrate_rows("\ud800", "[]")


def test_nul_bytes_inside_identifiers_and_values():
    meta = json.loads(json.dumps(METADATA))
    meta["table_name"] = "do\0cs"
    meta["fields"][0]["column_name"] = "i\0d"
    ir = select(filters=[eq(1, {"type": "text", "value": "a\0b"}, "tit\0le")])
    for dialect, quoted in [("postgres", '"do\0cs"'), ("mysql", "`do\0cs`"), ("mssql", "[do\0cs]")]:
        for call in (compile_json, compile_mp):
            out = call(meta, ir, dialect)
            assert quoted in out["sql_text"]
            assert out["param_type_summary"] == ["tit\0le:eq"]
    assert json.loads(compile_json(meta, ir)["bound_params"][0])["value"] == "a\0b"
    assert msgpack.unpackb(compile_mp(meta, ir)["bound_params"])[0]["value"] == "a\0b"
    rows = _native.hydrate_rows(json.dumps(meta), json.dumps([{"i\0d": "x\0y"}]))
    assert rows == [{"i\0d": "x\0y"}]


def test_nul_inside_dialect_name():
    message = raises_compile(compile_json, METADATA, select(), "postgres\0")
    assert message == 'malformed IR: unknown dialect "postgres\\0"; expected postgres, mysql, sqlite, or mssql'


# --- numbers at and beyond their bounds ---------------------------------------------------------------

INT_CASES = [
    (I64_MAX, True), (I64_MIN, True), (I64_MAX + 1, False), (I64_MIN - 1, False), (U64_MAX, False), (U64_MAX + 1, False),
]


@pytest.mark.parametrize(("value", "ok"), INT_CASES, ids=["i64max", "i64min", "i64max+1", "i64min-1", "u64max", "u64max+1"])
def test_int_bind_value_bounds(value: int, ok: bool):
    ir_json = json.dumps(select(filters=[eq(0, {"type": "int", "value": 0})])).replace('"value": 0', f'"value": {value}')
    calls: list[Any] = [lambda: compile_json(METADATA, ir_json)]
    if I64_MIN <= value <= U64_MAX:  # msgpack cannot even encode the rest
        calls.append(lambda: compile_mp(METADATA, select(filters=[eq(0, {"type": "int", "value": value})])))
    for call in calls:
        if ok:
            out = call()
            params = out["bound_params"]
            got = json.loads(params[0]) if isinstance(params, list) else msgpack.unpackb(params)[0]
            assert got["value"] == value
        else:
            raises_compile(call, startswith="malformed IR: IR deserialization failed: ")


@pytest.mark.parametrize(("key", "value", "expect"), [
    ("version", 2**32 - 1, "IR version 4294967295 is not supported (expected 3)"),
    ("version", 2**32, "malformed IR: IR deserialization failed: "),
    ("version", -1, "malformed IR: IR deserialization failed: "),
    ("limit", U64_MAX, None),
    ("limit", U64_MAX + 1, "malformed IR: IR deserialization failed: "),
    ("offset", -1, "malformed IR: IR deserialization failed: "),
])
def test_unsigned_ir_fields_at_their_bounds(key: str, value: int, expect: str | None):
    ir = select(**{key: 0})
    text = json.dumps(ir).replace(f'"{key}": 0', f'"{key}": {value}')
    if expect is None:
        out = compile_json(METADATA, text)
        assert json.loads(out["bound_params"][-1])["value"] == I64_MAX  # counts bind clamped
        return
    with pytest.raises(CompileError) as info:
        compile_json(METADATA, text)
    assert info.value.args[0].startswith(expect)
    if -(2**63) <= value <= U64_MAX:
        with pytest.raises(CompileError) as info:
            compile_mp(METADATA, msgpack.packb({**ir, key: value}))
        assert info.value.args[0].startswith(expect)


def field_refs_at(index: int) -> list[dict[str, Any]]:
    """One IR per place a field reference can stand, each pointing at `index`."""
    r = ref("ghost", index)
    text = {"type": "text", "value": "q"}
    return [
        {**select(), "operation": {"kind": "select", "fields": [r]}},
        select(filters=[{"field": r, "operator": "eq", "value": text}]),
        select(predicate={"kind": "not", "child": {"kind": "filter", "filter": {"field": r, "operator": "eq", "value": text}}}),
        select(order_by=[{"field": r, "direction": "asc"}]),
        select(vector_order_by={"field": r, "metric": "l2", "value": {"type": "float_array", "value": [1.0]}}),
        select(text_rank_by={"field": r, "query": text, "mode": "plain"}),
        select(joins=[{"relation": "x", "alias": "a", "local_field": r, "remote_table": "t", "remote_pk_column": "id",
                       "remote_fields": []}]),
        {**select(), "operation": {"kind": "insert", "values": [[r, text]]}},
        {**select(), "operation": {"kind": "update", "assignments": [[r, text]], "danger": True}},
        {**select(), "operation": {"kind": "bulk_insert", "rows": [[[r, text]]]}},
        {**select(), "operation": {"kind": "bulk_update", "pk_fields": [r], "fields": [ref("id", 0)],
                                   "rows": [{"pk_values": [text], "values": [text]}]}},
        {**select(), "operation": {"kind": "bulk_delete", "pk_fields": [r], "ids": [[text]]}},
    ]


@pytest.mark.parametrize("index", [4, U64_MAX], ids=["field-count", "u64max"])
@pytest.mark.parametrize("dialect", ["postgres", "mssql"])
def test_field_index_out_of_range_everywhere(index: int, dialect: str):
    for ir in field_refs_at(index):
        for call in (compile_json, compile_mp):
            message = raises_compile(call, METADATA, ir, dialect, startswith="unknown field ")
            assert message == "unknown field 'ghost' on model 'Doc'"


def test_field_index_beyond_u64_fails_to_decode():
    ir = json.dumps(select(filters=[eq(0, {"type": "int", "value": 1})])).replace('"index": 0', f'"index": {U64_MAX + 1}')
    raises_compile(compile_json, METADATA, ir, startswith="malformed IR: IR deserialization failed: ")


@pytest.mark.parametrize("pk", [{"pk_index": U64_MAX}, {"pk_index": 0, "pk_fields": [U64_MAX, 0]}], ids=["pk_index", "pk_fields"])
def test_unchecked_key_position_is_an_internal_error_not_a_crash(pk: dict[str, Any]):
    meta = {**METADATA, **pk}
    ir = select(text_rank_by={"field": ref("title", 1), "query": {"type": "text", "value": "q"}, "mode": "plain"})
    for call in (compile_json, compile_mp):
        with pytest.raises(InternalError) as info:
            call(meta, ir, "mssql")
        assert info.value.args == ("internal Sarnic error: unexpected panic in Rust core (category: compile)",)
        assert call(meta, ir, "postgres")["operation"] == "select"


def test_hydrate_integers_at_their_bounds():
    text = f'[{{"id": 1, "a": {U64_MAX}, "b": {I64_MAX}, "c": {I64_MIN}, "d": {U64_MAX + 1}, "e": {I64_MIN - 1}}}]'
    (row,) = _native.hydrate_rows(json.dumps(METADATA), text)
    assert row["a"] == U64_MAX and type(row["a"]) is int
    assert row["b"] == I64_MAX and row["c"] == I64_MIN
    assert type(row["d"]) is float and type(row["e"]) is float
    (row,) = _native.hydrate_rows_msgpack(msgpack.packb(METADATA), msgpack.packb([{"id": 1, "a": U64_MAX, "c": I64_MIN}]))
    assert row == {"id": 1, "a": U64_MAX, "c": I64_MIN}


# --- floats: NaN and infinities ---------------------------------------------------------------------

SPECIALS = [math.nan, math.inf, -math.inf]


@pytest.mark.parametrize("special", SPECIALS, ids=["nan", "inf", "-inf"])
def test_msgpack_specials_in_float_positions(special: float):
    ir = select(
        filters=[eq(2, {"type": "float", "value": special}, "score")],
        vector_order_by={"field": ref("embedding", 3), "metric": "l2", "value": {"type": "float_array", "value": [special, 1.0]}},
    )
    for use_single in (False, True):
        out = compile_mp(METADATA, msgpack.packb(ir, use_single_float=use_single))
        params = msgpack.unpackb(out["bound_params"])
        assert [p["type"] for p in params] == ["float", "float_array"]
        got = [params[0]["value"], params[1]["value"][0]]
        for g in got:
            assert (math.isnan(g) and math.isnan(special)) or g == special
    (row,) = _native.hydrate_rows_msgpack(msgpack.packb(METADATA), msgpack.packb([{"id": 1, "s": special, "l": [special]}]))
    assert type(row["s"]) is float and (math.isnan(row["s"]) or row["s"] == special)


def float_positions(value: dict[str, Any]) -> list[dict[str, Any]]:
    """One IR per place a bind value can stand, each holding `value`."""
    score = ref("score", 2)
    return [
        select(filters=[eq(2, value, "score")]),
        select(predicate={"kind": "or", "children": [{"kind": "filter", "filter": eq(2, value, "score")}]}),
        {**select(), "operation": {"kind": "insert", "values": [[score, value]]}},
        {**select(), "operation": {"kind": "update", "assignments": [[score, value]], "danger": True}},
        {**select(), "operation": {"kind": "bulk_insert", "rows": [[[score, value]], [[score, value]]]}},
        {**select(), "operation": {"kind": "bulk_update", "pk_fields": [ref("id", 0)], "fields": [score],
                                   "rows": [{"pk_values": [{"type": "int", "value": 1}], "values": [value]}]}},
    ]


@pytest.mark.parametrize("special", SPECIALS, ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize("kind", ["float", "float_array"])
def test_msgpack_specials_in_every_bind_position(special: float, kind: str):
    value = {"type": kind, "value": special if kind == "float" else [1.0, special]}
    for ir in float_positions(value):
        for use_single in (False, True):
            out = compile_mp(METADATA, msgpack.packb(ir, use_single_float=use_single))
            params = msgpack.unpackb(out["bound_params"])
            got = [p["value"] if kind == "float" else p["value"][1] for p in params if p["type"] == kind]
            assert got, out["sql_text"]
            assert all((math.isnan(g) and math.isnan(special)) or g == special for g in got)


@pytest.mark.parametrize("special", SPECIALS, ids=["nan", "inf", "-inf"])
def test_specials_in_nested_row_values(special: float):
    rows = msgpack.packb([{"id": 1, "m": {"a": [{"b": special}]}}], use_single_float=True)
    (row,) = _native.hydrate_rows_msgpack(msgpack.packb(METADATA), rows)
    got = row["m"]["a"][0]["b"]
    assert (math.isnan(got) and math.isnan(special)) or got == special


@pytest.mark.parametrize("literal", ["NaN", "Infinity", "-Infinity", "1e400", "-1e400"])
def test_json_has_no_specials(literal: str):
    for ir in float_positions({"type": "float", "value": 0.25}):
        raises_compile(compile_json, METADATA, json.dumps(ir).replace("0.25", literal),
                       startswith="malformed IR: IR deserialization failed: ")
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows(json.dumps(METADATA), f'[{{"id": 1, "v": [{literal}]}}]')


@pytest.mark.parametrize("special", SPECIALS, ids=["nan", "inf", "-inf"])
def test_specials_where_floats_are_not_allowed(special: float):
    # Python's json.dumps writes NaN/Infinity, which is not JSON: must fail to decode.
    ir = select(filters=[eq(2, {"type": "float", "value": special}, "score")])
    raises_compile(compile_json, METADATA, json.dumps(ir), startswith="malformed IR: IR deserialization failed: ")
    for key in ("version", "limit"):
        raises_compile(compile_mp, METADATA, {**select(), key: special}, startswith="malformed IR: IR deserialization failed: ")
    raises_compile(compile_mp, METADATA, select(filters=[eq(0, {"type": "int", "value": special})]),
                   startswith="malformed IR: IR deserialization failed: ")
    raises_compile(compile_mp, {**METADATA, "pk_index": special}, select(),
                   startswith="malformed IR: metadata deserialization failed: ")


def test_json_float_bind_values_write_back_exactly():
    values = [0.0, -0.0, 5e-324, 1.7976931348623157e308, 0.1, 1e21, 123456789.0]
    ir = select(filters=[eq(2, {"type": "float", "value": v}, "score") for v in values])
    meta = {**METADATA}
    out = compile_json(meta, ir)
    got = [json.loads(p)["value"] for p in out["bound_params"]]
    assert got == values and [math.copysign(1, g) for g in got] == [math.copysign(1, v) for v in values]


# --- truncation and trailing bytes --------------------------------------------------------------------


def test_truncated_msgpack_at_every_offset():
    meta = msgpack.packb(METADATA)
    ir = msgpack.packb(select(filters=[eq(0, {"type": "int_array", "value": [1, 2**40, -3]}, op="in")], limit=5))
    rows = msgpack.packb([{"id": 1, "title": "t", "n": {"a": [1.5, None, True]}}])
    for cut in range(len(ir)):
        raises_compile(compile_mp, meta, ir[:cut], startswith="malformed IR: IR deserialization failed: ")
    for cut in range(len(meta)):
        raises_compile(compile_mp, meta[:cut], ir, startswith="malformed IR: metadata deserialization failed: ")
    for cut in range(len(rows)):
        with pytest.raises(HydrationError, match="^rows deserialization error: "):
            _native.hydrate_rows_msgpack(meta, rows[:cut])
    assert compile_mp(meta, ir)["operation"] == "select"


def test_truncated_json_at_every_offset():
    meta = json.dumps(METADATA)
    ir = json.dumps(select(filters=[eq(1, {"type": "text", "value": "a\\\"b"}, "title")]))
    for cut in range(len(ir)):
        raises_compile(compile_json, meta, ir[:cut], startswith="malformed IR: IR deserialization failed: ")


@pytest.mark.parametrize("trailer", [b"\x00", b"\xc0", b"\x90"])
def test_msgpack_trailing_bytes_fail(trailer: bytes):
    raises_compile(compile_mp, METADATA, msgpack.packb(select()) + trailer, startswith="malformed IR: IR deserialization failed: ")
    with pytest.raises(HydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows_msgpack(msgpack.packb(METADATA), msgpack.packb([]) + trailer)


# --- wrong Python types -------------------------------------------------------------------------------


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


WRONG = {
    "None": None, "int": 1, "bytearray": bytearray(b"{}"), "memoryview": memoryview(b"{}"), "list": [],
}

SIGNATURES = {
    "compile_query": (("metadata_json", "str"), ("ir_json", "str"), ("dialect", "str")),
    "compile_query_msgpack": (("metadata_mp", "bytes"), ("ir_mp", "bytes"), ("dialect", "str")),
    "hydrate_rows": (("metadata_json", "str"), ("rows_json", "str")),
    "hydrate_rows_msgpack": (("metadata_mp", "bytes"), ("rows_mp", "bytes")),
}


def good_args(function: str) -> list[Any]:
    meta_j, ir_j, rows_j = json.dumps(METADATA), json.dumps(select()), '[{"id": 1}]'
    return {
        "compile_query": [meta_j, ir_j, "postgres"],
        "compile_query_msgpack": [msgpack.packb(METADATA), msgpack.packb(select()), "postgres"],
        "hydrate_rows": [meta_j, rows_j],
        "hydrate_rows_msgpack": [msgpack.packb(METADATA), msgpack.packb([{"id": 1}])],
    }[function]


@pytest.mark.parametrize("function", list(SIGNATURES))
def test_wrong_argument_types(function: str):
    fn = getattr(_native, function)
    for position, (name, kind) in enumerate(SIGNATURES[function]):
        wrong = dict(WRONG)
        wrong["str" if kind == "bytes" else "bytes"] = "{}" if kind == "bytes" else b"{}"
        for label, value in wrong.items():
            args = good_args(function)
            args[position] = value
            with pytest.raises(TypeError) as info:
                fn(*args)
            assert f"'{name}'" in str(info.value), (function, name, label, str(info.value))
            kwargs = dict(zip((n for n, _ in SIGNATURES[function]), good_args(function)))
            kwargs[name] = value
            with pytest.raises(TypeError):
                fn(**kwargs)


@pytest.mark.parametrize("function", list(SIGNATURES))
def test_subclasses_are_accepted(function: str):
    fn = getattr(_native, function)
    args = [StrSub(a) if isinstance(a, str) else BytesSub(a) for a in good_args(function)]
    assert fn(*args) == fn(*good_args(function))


@pytest.mark.parametrize("function", list(SIGNATURES))
def test_wrong_arity(function: str):
    fn = getattr(_native, function)
    args = good_args(function)
    names = [n for n, _ in SIGNATURES[function]]
    calls = [
        lambda: fn(),
        lambda: fn(*args[:-1]),
        lambda: fn(*args, "extra"),
        lambda: fn(*args, **{names[0]: args[0]}),
        lambda: fn(*args[:-1], bogus=1),
        lambda: fn(*args, **{"x" * 10_000: 1}),
    ]
    for call in calls:
        with pytest.raises(TypeError):
            call()


def test_plan_migration_refuses_arguments():
    with pytest.raises(NotImplementedError):
        _native.plan_migration()
    with pytest.raises(TypeError):
        _native.plan_migration(None)  # type: ignore[call-arg]
