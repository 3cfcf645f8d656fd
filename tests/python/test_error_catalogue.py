"""Every error text that can reach Python, reached from Python at least once.

The table below holds one case per catalogue text. A second test scans the
native sources for the fixed texts handed to malformed_ir() (directly, through
the small fail() wrappers, through named constants, or through the message
builders) and for the boundary texts of the binding, and fails when one of them
is neither produced by a case of the table nor listed as unreachable with a
reason; the same holds for the fixed pieces of each rendered error kind. A
new message therefore needs a case here.
"""

from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any

import msgpack
import pytest

from sarnic import _native

from statement_error_cases import CASES as STATEMENT_CASES

ROOT = Path(__file__).resolve().parents[2]

META: dict[str, Any] = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "nullable": False, "allowed_operators": ["eq"]},
        {"name": "title", "column_name": "title", "field_type": "text", "nullable": False,
         "allowed_operators": ["eq", "match"]},
        {"name": "views", "column_name": "view_count", "field_type": "int", "nullable": True,
         "allowed_operators": ["gte", "match"]},
        {"name": "embedding", "column_name": "embedding", "field_type": "vector", "nullable": True,
         "allowed_operators": []},
        {"name": "body", "column_name": "body", "field_type": "ts_vector", "nullable": True, "fts_config": "bad config",
         "allowed_operators": ["match"]},
        {"name": "notes", "column_name": "notes", "field_type": "text", "nullable": True,
         "fts_source_columns": ["notes", "x;y"], "allowed_operators": ["match"]},
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "ft", "fields": ["title"]}],
}


def ref(name: str, index: int) -> dict[str, Any]:
    return {"name": name, "index": index}


TEXT = {"type": "text", "value": "q"}
INT = {"type": "int", "value": 1}


def ir(operation: dict[str, Any] | None = None, **extra: Any) -> dict[str, Any]:
    doc = {"version": 3, "model_name": "Article", "operation": operation or {"kind": "select", "fields": [ref("id", 0)]},
           "filters": [], "order_by": []}
    doc.update(extra)
    return doc


def flt(name: str, index: int, op: str, value: dict[str, Any]) -> dict[str, Any]:
    return {"field": ref(name, index), "operator": op, "value": value}


def rank(name: str, index: int, query: dict[str, Any] = TEXT) -> dict[str, Any]:
    return {"field": ref(name, index), "query": query, "mode": "plain"}


def join(**over: Any) -> dict[str, Any]:
    return {"relation": "author", "alias": "a", "local_field": ref("id", 0), "remote_table": "users",
            "remote_pk_column": "id", "remote_fields": [], **over}


def bulk_update(**over: Any) -> dict[str, Any]:
    op = {"kind": "bulk_update", "pk_fields": [ref("id", 0)], "fields": [ref("title", 1)],
          "rows": [{"pk_values": [INT], "values": [TEXT]}]}
    op.update(over)
    return op


def bulk_delete(pk: list[dict[str, Any]], ids: list[list[dict[str, Any]]]) -> dict[str, Any]:
    return {"kind": "bulk_delete", "pk_fields": pk, "ids": ids}


def compile_case(meta: Any, doc: Any, dialect: str = "postgres", encoding: str = "json") -> Any:
    if encoding == "json":
        return _native.compile_query(meta if isinstance(meta, str) else json.dumps(meta),
                                     doc if isinstance(doc, str) else json.dumps(doc), dialect)
    return _native.compile_query_msgpack(meta if isinstance(meta, bytes) else msgpack.packb(meta),
                                         doc if isinstance(doc, bytes) else msgpack.packb(doc), dialect)


def hydrate_case(meta: Any, rows: Any, encoding: str = "json") -> Any:
    if encoding == "json":
        return _native.hydrate_rows(meta if isinstance(meta, str) else json.dumps(meta),
                                    rows if isinstance(rows, str) else json.dumps(rows))
    return _native.hydrate_rows_msgpack(msgpack.packb(meta), rows if isinstance(rows, bytes) else msgpack.packb(rows))


CompileErr, HydrateErr, InternalErr = _native.SarnicCompileError, _native.SarnicHydrationError, _native.SarnicInternalError
M = "malformed IR: "

# (id, call, exception, message): the message is exact, or a regular expression when it starts with "re:".
CASES: list[tuple[str, Any, type[BaseException], str]] = [
    # MalformedIr catalogue
    ("unknown-dialect", lambda: compile_case(META, ir(), "oracle"), CompileErr,
     M + 'unknown dialect "oracle"; expected postgres, mysql, sqlite, or mssql'),
    ("unknown-dialect-escapes", lambda: compile_case(META, ir(), 'a"\\\t\n\r\0\x7f'), CompileErr,
     M + 'unknown dialect "a\\"\\\\\\t\\n\\r\\0\\u{7f}"; expected postgres, mysql, sqlite, or mssql'),
    ("metadata-json", lambda: compile_case('{"model_name": "A"}', ir()), CompileErr,
     "re:" + re.escape(M + "metadata deserialization failed: missing field `table_name`") + " at line 1 column \\d+"),
    ("metadata-msgpack", lambda: compile_case(b"\xc1", ir(), encoding="msgpack"), CompileErr,
     "re:" + re.escape(M + "metadata deserialization failed: ") + ".+"),
    ("ir-json", lambda: compile_case(META, '{"version": 3}'), CompileErr,
     "re:" + re.escape(M + "IR deserialization failed: missing field `model_name`") + " at line 1 column \\d+"),
    ("ir-msgpack", lambda: compile_case(META, {"version": 3}, encoding="msgpack"), CompileErr,
     M + "IR deserialization failed: missing field `model_name`"),
    ("ir-duplicate-key", lambda: compile_case(META, b"\x82\xa7version\x03\xa7version\x03", encoding="msgpack"),
     CompileErr, M + "IR deserialization failed: duplicate field `version`"),
    ("ir-invalid-value", lambda: compile_case(META, ir(filters=[flt("id", -1, "eq", INT)]), encoding="msgpack"),
     CompileErr, "re:" + re.escape(M + "IR deserialization failed: invalid value: ") + ".+"),
    ("update-no-assignments", lambda: compile_case(META, ir({"kind": "update", "assignments": [], "danger": True})),
     CompileErr, M + "update requires at least one assignment"),
    ("join-no-alias", lambda: compile_case(META, ir(joins=[join(alias="")])), CompileErr,
     M + "join spec missing remote_table or alias"),
    ("join-no-table", lambda: compile_case(META, ir(joins=[join(remote_table="")])), CompileErr,
     M + "join spec missing remote_table or alias"),
    ("bulk-insert-empty", lambda: compile_case(META, ir({"kind": "bulk_insert", "rows": []})), CompileErr,
     M + "bulk_insert requires at least one row"),
    ("bulk-insert-ragged", lambda: compile_case(META, ir({"kind": "bulk_insert", "rows": [
        [[ref("title", 1), TEXT]], [[ref("title", 1), TEXT], [ref("id", 0), INT]]]})), CompileErr,
     M + "bulk_insert rows must share the same columns"),
    ("bulk-update-no-rows", lambda: compile_case(META, ir(bulk_update(rows=[]))), CompileErr,
     M + "bulk_update requires at least one row"),
    ("bulk-update-no-fields", lambda: compile_case(META, ir(bulk_update(fields=[]))), CompileErr,
     M + "bulk_update requires at least one field"),
    ("bulk-update-no-pk", lambda: compile_case(META, ir(bulk_update(pk_fields=[]))), CompileErr,
     M + "bulk_update requires at least one pk_field"),
    ("bulk-update-values", lambda: compile_case(META, ir(bulk_update(rows=[{"pk_values": [INT], "values": []}]))),
     CompileErr, M + "bulk_update row value count must match fields"),
    ("bulk-update-pk-values", lambda: compile_case(META, ir(bulk_update(rows=[{"pk_values": [], "values": [TEXT]}]))),
     CompileErr, M + "bulk_update row pk_values count must match pk_fields"),
    ("bulk-update-dialect", lambda: compile_case(META, ir(bulk_update()), "sqlite"), CompileErr,
     M + "bulk_update is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)"),
    ("bulk-delete-no-ids", lambda: compile_case(META, ir(bulk_delete([ref("id", 0)], []))), CompileErr,
     M + "bulk_delete requires at least one id"),
    ("bulk-delete-no-pk", lambda: compile_case(META, ir(bulk_delete([], [[INT]]))), CompileErr,
     M + "bulk_delete requires at least one pk_field"),
    ("bulk-delete-empty-row", lambda: compile_case(META, ir(bulk_delete([ref("id", 0)], [[INT], []]))), CompileErr,
     M + "BulkDelete id row is empty"),
    ("bulk-delete-short-row", lambda: compile_case(META, ir(bulk_delete([ref("id", 0), ref("title", 1)], [[INT]]))),
     CompileErr, M + "BulkDelete id row has fewer values than pk_fields"),
    ("vector-value", lambda: compile_case(META, ir(vector_order_by={"field": ref("embedding", 3), "metric": "l2",
                                                                    "value": TEXT})), CompileErr,
     M + "vector_order_by.value must be float_array or int_array"),
    ("vector-dialect", lambda: compile_case(META, ir(vector_order_by={"field": ref("embedding", 3), "metric": "l2",
                                                                      "value": {"type": "float_array", "value": [1.0]}}),
                                            "mysql"), CompileErr,
     M + "vector_order_by is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)"),
    ("fts-config", lambda: compile_case(META, ir(filters=[flt("body", 4, "match", TEXT)])), CompileErr,
     M + 'invalid fts_config identifier: "bad config"'),
    ("fts-index-config", lambda: compile_case({**META, "full_text_indexes": [{"name": "ft", "fields": ["title"],
                                                                               "config": "x'y"}]},
                                              ir(text_rank_by=rank("title", 1))), CompileErr,
     M + "invalid fts_config identifier: \"x'y\""),
    ("fts-source-columns", lambda: compile_case(META, ir(text_rank_by=rank("notes", 5))), CompileErr,
     M + 'invalid fts_source_columns identifier: "x;y"'),
    ("fts-needs-text", lambda: compile_case(META, ir(filters=[flt("title", 1, "match", INT)])), CompileErr,
     M + "FTS operator match requires a text bind value"),
    ("rank-needs-text", lambda: compile_case(META, ir(text_rank_by=rank("title", 1, INT))), CompileErr,
     M + "text_rank_by.query must be a text bind value"),
    # the other CompileError variants
    ("unknown-field", lambda: compile_case(META, ir(filters=[flt("ghost", 6, "eq", INT)])), CompileErr,
     "unknown field 'ghost' on model 'Article'"),
    ("unsupported-operator", lambda: compile_case(META, ir(filters=[flt("id", 0, "EQ", INT)])), CompileErr,
     "unsupported operator 'EQ' for field 'id' on model 'Article'"),
    ("fts-not-capable", lambda: compile_case(META, ir(filters=[flt("views", 2, "match", TEXT)])), CompileErr,
     "unsupported operator 'match' for field 'views' on model 'Article'"),
    ("nearest-to", lambda: compile_case(META, ir(vector_order_by={"field": ref("title", 1), "metric": "l2",
                                                                  "value": {"type": "float_array", "value": [1.0]}})),
     CompileErr, "unsupported operator 'nearest_to' for field 'title' on model 'Article'"),
    ("rank-by", lambda: compile_case(META, ir(text_rank_by=rank("views", 2))), CompileErr,
     "unsupported operator 'rank_by' for field 'views' on model 'Article'"),
    ("sort-direction", lambda: compile_case(META, ir(order_by=[{"field": ref("id", 0), "direction": "ASC"}])),
     CompileErr, "invalid sort direction 'unknown' for field 'id' on model 'Article'"),
    ("version", lambda: compile_case(META, {**ir(), "version": 2}, encoding="msgpack"), CompileErr,
     "IR version 2 is not supported (expected 3)"),
    ("unscoped-update", lambda: compile_case(META, ir({"kind": "update", "assignments": [[ref("title", 1), TEXT]]})),
     CompileErr, "operation 'update' on model 'Article' requires at least one filter; use the danger API for unscoped mutations"),
    ("unscoped-delete", lambda: compile_case(META, ir({"kind": "delete"})), CompileErr,
     "operation 'delete' on model 'Article' requires at least one filter; use the danger API for unscoped mutations"),
    # a predicate made only of empty groups holds for every row: no scope either
    ("unscoped-update-empty-and", lambda: compile_case(META, ir({"kind": "update", "assignments": [[ref("title", 1), TEXT]]},
                                                                predicate={"kind": "and", "children": []}),
                                                       encoding="msgpack"), CompileErr,
     "operation 'update' on model 'Article' requires at least one filter; use the danger API for unscoped mutations"),
    ("unscoped-delete-nested-empty", lambda: compile_case(META, ir({"kind": "delete"}, predicate={
        "kind": "and", "children": [{"kind": "and", "children": []}, {"kind": "not", "child": {"kind": "or", "children": []}}]})),
     CompileErr,
     "operation 'delete' on model 'Article' requires at least one filter; use the danger API for unscoped mutations"),
    # hydration
    ("missing-column", lambda: hydrate_case(META, [{"id": 1}]), HydrateErr,
     "column 'title' missing from result set for model 'Article'"),
    ("null-column", lambda: hydrate_case(META, [{"id": None, "title": "t"}], "msgpack"), HydrateErr,
     "non-nullable column 'id' on model 'Article' contains NULL"),
    ("hydrate-metadata", lambda: hydrate_case("[]", "[]"), HydrateErr,
     "re:" + re.escape("metadata deserialization error: ") + ".+ at line 1 column \\d+"),
    ("hydrate-rows", lambda: hydrate_case(META, "{}"), HydrateErr,
     "re:" + re.escape("rows deserialization error: ") + ".+ at line 1 column \\d+"),
    ("hydrate-rows-msgpack", lambda: hydrate_case(META, b"\x91\xc4\x01x", "msgpack"), HydrateErr,
     "re:" + re.escape("rows deserialization error: ") + ".+"),
    # boundary texts
    ("internal-compile", lambda: compile_case({**META, "pk_index": 99}, ir(text_rank_by=rank("title", 1)), "mssql"),
     InternalErr, "internal Sarnic error: unexpected panic in Rust core (category: compile)"),
    ("migration", lambda: _native.plan_migration(), NotImplementedError, "Migration planning is not yet implemented"),
]

CASES += STATEMENT_CASES

# Texts that no Python input can reach, each with the reason and where it is tested instead.
UNREACHABLE = {
    "emit_select called with non-Select operation": "dispatch picks the emitter by operation; tests/native/test_regressions.cpp",
    "emit_insert called with non-Insert operation": "as above",
    "emit_update called with non-Update operation": "as above",
    "emit_delete called with non-Delete operation": "as above",
    "emit_bulk_insert called with non-BulkInsert operation": "as above",
    "emit_bulk_update called with non-BulkUpdate operation": "as above",
    "emit_bulk_delete called with non-BulkDelete operation": "as above",
    "internal Sarnic error: unexpected panic in Rust core (category: hydrate)":
        "the hydrator has no unvalidated index; tests/native/test_regressions.cpp checks it never faults",
    "internal Sarnic error: bound_params msgpack encode failed (": "writing into a growable buffer cannot fail",
    ")": "closing piece of the message above",
    "Failed to initialize new exception type.": "module set-up: the interpreter refusing to create a class",
    "could not append __name__ to __all__": "module set-up: the interpreter refusing a list append",
}


def observed(case: tuple[str, Any, type[BaseException], str]) -> str:
    _, call, exc_type, _ = case
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_catalogue_text(case: tuple[str, Any, type[BaseException], str]):
    message, expected = observed(case), case[3]
    if expected.startswith("re:"):
        assert re.fullmatch(expected[3:], message), message
    else:
        assert message == expected


# --- scanning the sources -------------------------------------------------------------------------------

LITERAL = r'"(?:[^"\\\n]|\\.)*"'
CONSTANT = re.compile(r"\b(k[A-Z]\w*)\s*=\s*((?:" + LITERAL + r"\s*)+);")
BUILDER = re.compile(r"\bmessage(?:\s*\+?=\s*|\.append\(\s*)(" + LITERAL + ")")


def unescape(literal: str) -> str:
    return bytes(literal[1:-1], "utf-8").decode("unicode_escape")


def literals(text: str) -> list[str]:
    return [unescape(m) for m in re.findall(LITERAL, text)]


def call_arguments(source: str, name: str) -> list[str]:
    """The argument text of every call of `name` (not its declarations)."""
    out = []
    for m in re.finditer(r"(?<![\w:])" + name + r"\(", source):
        line_start = source.rfind("\n", 0, m.start()) + 1
        prefix = source[line_start:m.start()]
        if re.search(r"\b(CompileError|CompileStatus|CompileResult<[^>]*>)\s*$", prefix):
            continue  # a definition
        depth, i = 1, m.end()
        while i < len(source) and depth:
            depth += {"(": 1, ")": -1}.get(source[i], 0)
            i += 1
        out.append(source[m.end():i - 1])
    return out


def scanned_texts() -> set[str]:
    sources = {p: p.read_text() for p in (ROOT / "native").rglob("*") if p.suffix in (".cpp", ".hpp")}
    constants = {}
    for text in sources.values():
        for name, value in CONSTANT.findall(text):
            constants[name] = "".join(literals(value))
    found: set[str] = set()
    for path, text in sources.items():
        for name in ("malformed_ir", "fail"):
            for arg in call_arguments(text, name):
                found.update(piece for piece in literals(arg) if piece)
                found.update(constants[c] for c in re.findall(r"\bk[A-Z]\w*", arg) if c in constants)
        if "malformed_ir(std::move(message))" in text:
            found.update(unescape(lit) for lit in BUILDER.findall(text))
    # the fixed pieces of every rendered error kind, so that a new kind needs a case too
    for body in re.findall(r"::render\(\) const \{(.*?)\n\}\n", sources.get(ROOT / "native" / "core" / "error.cpp", ""), re.S):
        found.update(piece for piece in literals(body) if piece)
    errors_hpp = sources.get(ROOT / "native" / "python" / "errors.hpp", "")
    namespace = re.search(r"namespace text \{(.*?)\}", errors_hpp, re.S)
    if namespace:
        found.update(v for v in ("".join(literals(v)) for _, v in CONSTANT.findall(namespace.group(1))) if v)
    return found


def test_every_native_message_is_reached_or_explained():
    texts = scanned_texts()
    assert len(texts) > 30, "the source scan found too little; has the message code moved?"
    messages = [observed(case) for case in CASES]
    missing = sorted(t for t in texts if t not in UNREACHABLE and not any(t in m for m in messages))
    assert not missing, f"messages without a case in CASES: {missing}"
    stale = sorted(t for t in UNREACHABLE if t not in texts)
    assert not stale, f"UNREACHABLE lists texts the sources no longer have: {stale}"
