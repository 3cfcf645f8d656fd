"""Every entry point, on its success path and on each error path, called
100,000 times: no growth in live Python objects (or in the reference total on
debug interpreters) and none in RSS beyond a small bound."""

from __future__ import annotations

import gc
import json
import os
import sys
import uuid
from typing import Any, Callable

import msgpack
import pytest

from sarnic import _native

CALLS = 100_000
WARMUP = 5_000
# A leak of one small object or one 16-byte block per call shows up as at
# least 100,000 blocks or 1.6 MB; the bounds sit far below that and far above noise.
MAX_BLOCK_GROWTH = 2_000
MAX_RSS_GROWTH = 1 << 20
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

METADATA = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "nullable": False, "allowed_operators": ["eq"]},
        {"name": "title", "column_name": "title", "field_type": "text", "nullable": False,
         "allowed_operators": ["eq", "match"]},
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "ft", "fields": ["title"]}],
}
MJ, MP = json.dumps(METADATA), msgpack.packb(METADATA)


def ir(operation: dict[str, Any], **extra: Any) -> dict[str, Any]:
    return {"version": 3, "model_name": "Article", "operation": operation, "filters": [], "order_by": [], **extra}


SELECT = ir({"kind": "select", "fields": [{"name": "id", "index": 0}]},
            filters=[{"field": {"name": "title", "index": 1}, "operator": "eq", "value": {"type": "text", "value": "a"}}],
            limit=3)
RANK = ir({"kind": "select", "fields": []},
          text_rank_by={"field": {"name": "title", "index": 1}, "query": {"type": "text", "value": "q"}, "mode": "plain"})
BULK = ir({"kind": "bulk_insert", "rows": [[[{"name": "title", "index": 1}, {"type": "text", "value": "x"}]]] * 3,
           "returning": True})
UNSCOPED = ir({"kind": "update", "assignments": [[{"name": "title", "index": 1}, {"type": "text", "value": "x"}]]},
             predicate={"kind": "and", "children": []})
UNKNOWN = ir({"kind": "select", "fields": [{"name": "ghost", "index": 7}]})
ROWS = [{"id": 1, "title": "t", "n": {"z": [1, 2.5, None], "a": "é"}}, {"id": 2, "title": "u"}]
BAD_PK = {**METADATA, "pk_index": 50}

STATEMENT = {"version": 4, "model": 0, "operation": {"kind": "values", "items": [
    {"kind": "func", "name": "count", "args": [], "distinct": False}]},
    "where": {"kind": "in", "operand": {"kind": "field", "field": 0}, "negated": False, "label": "id:in",
              "values": {"type": "int_array", "value": [1, 2, 3]}}}


class Row:
    pass


PLAN = (Row, "Row", 0, ("id", "title"), ("id", "title"), (True, False), (None, str.upper), ())
# An enum's lookup and a UUID's parse, each with a fallback that runs too.
NATIVE_PLAN = (Row, "Row", 0, ("mood", "code"), ("mood", "code"), (True, True),
               ((5, {"glad": 1}, len), (6, uuid.UUID, uuid.SafeUUID.unknown, len)), ())

PATHS: dict[str, tuple[Callable[..., Any], tuple[Any, ...], type[BaseException] | None]] = {
    "compile-json-ok": (_native.compile_query, (MJ, json.dumps(SELECT), "postgres"), None),
    "compile-json-bulk-ok": (_native.compile_query, (MJ, json.dumps(BULK), "mssql"), None),
    "compile-json-bad-metadata": (_native.compile_query, ("{]", json.dumps(SELECT), "postgres"), _native.SarnicCompileError),
    "compile-json-bad-ir": (_native.compile_query, (MJ, '{"version": 3}', "postgres"), _native.SarnicCompileError),
    "compile-json-dialect": (_native.compile_query, (MJ, json.dumps(SELECT), "oracle"), _native.SarnicCompileError),
    "compile-json-unknown-field": (_native.compile_query, (MJ, json.dumps(UNKNOWN), "sqlite"), _native.SarnicCompileError),
    "compile-json-internal": (_native.compile_query, (json.dumps(BAD_PK), json.dumps(RANK), "mssql"), _native.SarnicInternalError),
    "compile-json-type": (_native.compile_query, (MJ, b"{}", "postgres"), TypeError),
    "compile-json-unscoped": (_native.compile_query, (MJ, json.dumps(UNSCOPED), "postgres"), _native.SarnicCompileError),
    "compile-mp-ok": (_native.compile_query_msgpack, (MP, msgpack.packb(SELECT), "mysql"), None),
    "compile-mp-bad-ir": (_native.compile_query_msgpack, (MP, b"\x81\xa7version", "mysql"), _native.SarnicCompileError),
    "compile-mp-unknown-field": (_native.compile_query_msgpack, (MP, msgpack.packb(UNKNOWN), "mysql"), _native.SarnicCompileError),
    "compile-mp-internal": (_native.compile_query_msgpack, (msgpack.packb(BAD_PK), msgpack.packb(RANK), "mssql"),
                            _native.SarnicInternalError),
    "compile-mp-dialect-type": (_native.compile_query_msgpack, (MP, msgpack.packb(SELECT), b"mysql"), TypeError),
    "compile-mp-kwargs": (lambda *a: _native.compile_query_msgpack(metadata_mp=a[0], ir_mp=a[1], dialect=a[2]),
                          (MP, msgpack.packb(SELECT), "postgres"), None),
    "hydrate-json-ok": (_native.hydrate_rows, (MJ, json.dumps(ROWS)), None),
    "hydrate-json-missing": (_native.hydrate_rows, (MJ, '[{"id": 1}]'), _native.SarnicHydrationError),
    "hydrate-json-null": (_native.hydrate_rows, (MJ, '[{"id": null, "title": "x"}]'), _native.SarnicHydrationError),
    "hydrate-json-bad-rows": (_native.hydrate_rows, (MJ, '[{"id": 1}'), _native.SarnicHydrationError),
    "hydrate-json-bad-metadata": (_native.hydrate_rows, ("[]", "[]"), _native.SarnicHydrationError),
    "hydrate-mp-ok": (_native.hydrate_rows_msgpack, (MP, msgpack.packb(ROWS)), None),
    "hydrate-mp-missing": (_native.hydrate_rows_msgpack, (MP, msgpack.packb([{"title": "x"}])), _native.SarnicHydrationError),
    "hydrate-json-type": (_native.hydrate_rows, (None, "[]"), TypeError),
    "hydrate-mp-null": (_native.hydrate_rows_msgpack, (MP, msgpack.packb([{"id": None, "title": "x"}])),
                        _native.SarnicHydrationError),
    "hydrate-mp-bad-rows": (_native.hydrate_rows_msgpack, (MP, b"\x91\xc1"), _native.SarnicHydrationError),
    "hydrate-mp-type": (_native.hydrate_rows_msgpack, (MP, bytearray(b"\x90")), TypeError),
    "plan-migration": (_native.plan_migration, (), NotImplementedError),
    "statement-ok": (_native.compile_statement, ("[" + MJ + "]", json.dumps(STATEMENT), "postgres"), None),
    "statement-mp-ok": (_native.compile_statement_msgpack, (b"\x91" + MP, msgpack.packb(STATEMENT), "mysql"), None),
    "statement-bad": (_native.compile_statement, ("[" + MJ + "]", json.dumps({**STATEMENT, "model": 3}), "sqlite"),
                      _native.SarnicCompileError),
    "statement-v3": (_native.compile_statement, ("[" + MJ + "]", json.dumps(SELECT), "sqlite"), None),
    "build-ok": (_native.build_instances, (PLAN, [(1, "a"), (2, None)] * 5), None),
    "build-null": (_native.build_instances, (PLAN, [(None, "a")]), _native.SarnicHydrationError),
    "build-converter": (_native.build_instances, (PLAN, [(1, 2)]), TypeError),
    "build-plan": (_native.build_instances, ((Row, "Row"), []), TypeError),
    "build-native-forms": (_native.build_instances, (NATIVE_PLAN, [("glad", "12345678-9abc-def0-1234-56789abcdef0"),
                                                                   ("glum", "not a uuid")] * 5), None),
}


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refs() -> int:
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0  # debug interpreters only


def run(fn: Callable[..., Any], args: tuple[Any, ...], error: type[BaseException] | None, n: int) -> None:
    if error is None:
        for _ in range(n):
            fn(*args)
        return
    for _ in range(n):
        try:
            fn(*args)
        except error:
            pass
        else:  # pragma: no cover - the path must fail every time
            raise AssertionError("expected failure")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("path", list(PATHS))
def test_no_growth_over_many_calls(path: str):
    fn, args, error = PATHS[path]
    run(fn, args, error, WARMUP)
    gc.collect()
    blocks, total, before = sys.getallocatedblocks(), refs(), rss()
    run(fn, args, error, CALLS)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < MAX_BLOCK_GROWTH
    assert refs() - total < MAX_BLOCK_GROWTH
    if not UNDER_ASAN:  # the sanitizer's quarantine holds freed memory back on purpose
        assert rss() - before < MAX_RSS_GROWTH, f"RSS grew by {rss() - before} bytes"


def test_large_results_are_released():
    # One big compile and hydration, repeated: each result is freed with its last reference.
    big_rows = msgpack.packb([{"id": i, "title": "x" * 100} for i in range(20_000)])
    big_ir = json.dumps(ir({"kind": "bulk_insert",
                            "rows": [[[{"name": "title", "index": 1}, {"type": "text", "value": "y" * 50}]]] * 20_000}))
    for _ in range(3):
        _native.hydrate_rows_msgpack(MP, big_rows)
        _native.compile_query(MJ, big_ir, "postgres")
    gc.collect()
    before = rss()
    for _ in range(20):
        _native.hydrate_rows_msgpack(MP, big_rows)
        _native.compile_query(MJ, big_ir, "postgres")
    gc.collect()
    if not UNDER_ASAN:
        assert rss() - before < 8 * MAX_RSS_GROWTH
