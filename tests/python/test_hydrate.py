"""hydrate_rows / hydrate_rows_msgpack: the row check and the conversion to dicts."""

from __future__ import annotations

import gc
import json
import math
import random
import sys
import tracemalloc
from typing import Any

import msgpack
import pytest

from sarnic import _native

FIELDS = [
    {"name": "id", "column_name": "id", "field_type": "int", "allowed_operators": [], "nullable": False},
    {"name": "nickname", "column_name": "nick", "field_type": "text", "allowed_operators": [], "nullable": True},
]
META: dict[str, Any] = {"model_name": "Person", "table_name": "people", "fields": FIELDS, "pk_index": 0}


def hydrate(encoding: str, rows: Any, meta: Any = META) -> list[dict[str, Any]]:
    """Rows as Python data (or ready-made text / bytes) through either entry point."""
    if encoding == "json":
        text = rows if isinstance(rows, str) else json.dumps(rows)
        return _native.hydrate_rows(json.dumps(meta), text)
    blob = rows if isinstance(rows, bytes) else msgpack.packb(rows)
    return _native.hydrate_rows_msgpack(msgpack.packb(meta), blob)


def in_range_int(text: str) -> int | float:
    n = int(text)
    return n if -(2**63) <= n < 2**64 else float(n)


def sorted_object(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # Byte order of the UTF-8 keys; the last of equal keys wins.
    return dict(sorted(dict(pairs).items(), key=lambda kv: kv[0].encode()))


def reference(text: str) -> Any:
    """What hydration must return for a JSON rows text that passes the check."""
    return json.loads(text, object_pairs_hook=sorted_object, parse_int=in_range_int)


def assert_same(got: Any, expected: Any) -> None:
    """Equal values of equal types, with equal key order at every level."""
    assert type(got) is type(expected), (got, expected)
    if isinstance(expected, dict):
        assert list(got) == list(expected)
        for key in expected:
            assert_same(got[key], expected[key])
    elif isinstance(expected, list):
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            assert_same(g, e)
    elif isinstance(expected, float) and math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == expected
        if isinstance(expected, float):
            assert math.copysign(1, got) == math.copysign(1, expected)


# Rows documents that pass the check; the expected result is the reference's.
VALUE_CASES = [
    "[]",
    '[{"id": 1}]',
    '[{"nick": null, "id": 1, "b": 2, "a": 3}]',
    '[{"id": 1, "Z": 0, "a": 0, "\\u00e9": 0, "B": 0, "": 0}]',
    '[{"id": 0, "t": true, "f": false, "s": "", "l": [], "o": {}}]',
    '[{"id": 9223372036854775807, "a": 9223372036854775808, "b": 18446744073709551615}]',
    '[{"id": -5, "a": -9223372036854775808}]',
    '[{"id": 1.0, "a": 1e2, "b": -0.0, "c": 2.5e-308, "d": 1.7976931348623157e308}]',
    '[{"id": "x", "s": "\\u00e9\\ud83d\\ude00 \\"q\\" \\\\ \\n \\u0000"}]',
    '[{"id": {"z": [1, {"y": null, "x": true}], "a": "s"}, "l": [[[]], [{}], [1, "2", 3.0]]}]',
    '[{"id": 1}, {"id": 2, "extra": "e"}, {"nick": "n", "id": 3}]',
]
# JSON only: repeated keys and numbers beyond 64 bits.
JSON_ONLY_CASES = [
    '[{"id": 1, "id": 2}]',
    '[{"id": null, "id": 2}]',
    '[{"id": {"k": 1, "k": {"b": 1, "a": 2}}}]',
    '[{"id": 18446744073709551616, "a": -9223372036854775809}]',
]


@pytest.mark.parametrize("text", VALUE_CASES + JSON_ONLY_CASES)
def test_values_json(text: str) -> None:
    assert_same(hydrate("json", text), reference(text))


@pytest.mark.parametrize("text", VALUE_CASES)
def test_values_msgpack(text: str) -> None:
    assert_same(hydrate("msgpack", msgpack.packb(json.loads(text))), reference(text))


def mp_map(*pairs: tuple[bytes, bytes]) -> bytes:
    assert len(pairs) < 16
    return bytes([0x80 | len(pairs)]) + b"".join(k + v for k, v in pairs)


ID = msgpack.packb("id")
ONE = msgpack.packb(1)
MSGPACK_ONLY_CASES = [
    # repeated keys, at the top and nested
    (b"\x91" + mp_map((ID, msgpack.packb(None)), (ID, ONE)), [{"id": 1}]),
    (b"\x91" + mp_map((ID, mp_map((b"\xa1k", ONE), (b"\xa1k", msgpack.packb(2))))), [{"id": {"k": 2}}]),
    # float32 widened, the 64-bit bounds exact
    (msgpack.packb([{"id": 1.5}], use_single_float=True), [{"id": 1.5}]),
    (msgpack.packb([{"id": 2**64 - 1, "a": -(2**63)}]), [{"a": -(2**63), "id": 2**64 - 1}]),
    # NaN and infinities stay floats, so they pass the non-null check
    (msgpack.packb([{"id": math.nan, "a": math.inf, "b": -math.inf}]),
     [{"a": math.inf, "b": -math.inf, "id": math.nan}]),
    (msgpack.packb([{"id": math.nan}], use_single_float=True), [{"id": math.nan}]),
]


@pytest.mark.parametrize(("blob", "expected"), MSGPACK_ONLY_CASES)
def test_values_msgpack_only(blob: bytes, expected: Any) -> None:
    assert_same(hydrate("msgpack", blob), expected)


def missing(column: str, model: str = "Person") -> str:
    return f"column '{column}' missing from result set for model '{model}'"


def null(column: str, model: str = "Person") -> str:
    return f"non-nullable column '{column}' on model '{model}' contains NULL"


def field(name: str, column: str, nullable: bool = False) -> dict[str, Any]:
    return {"name": name, "column_name": column, "field_type": "int", "allowed_operators": [], "nullable": nullable}


TWO_REQUIRED = {**META, "fields": [field("b", "b"), field("a", "a")]}
RENAMED = {**META, "fields": [field("author", "author_id")]}
CHECK_CASES = [
    ([{"id": 1}], META, None),
    ([{"id": 1, "nick": None}], META, None),
    ([{"id": "not an int"}], META, None),
    ([{"nick": "x"}], META, missing("id")),
    ([{"id": None}], META, null("id")),
    ([{"author": 1}], RENAMED, missing("author_id")),
    ([{"x": 1}], TWO_REQUIRED, missing("b")),
    ([{"a": None}], TWO_REQUIRED, missing("b")),
    ([{"id": 1}, {"nick": 1}, {"id": 3}, {"id": 4}, {"id": None}], META, missing("id")),
    ([{"id": 1}] * 4 + [{"id": None}], META, null("id")),
    ([{}], {**META, "fields": [field("n", "n", nullable=True)]}, None),
    ([{"ID": 1}], META, missing("id")),
]


@pytest.mark.parametrize(("rows", "meta", "error"), CHECK_CASES)
def test_required_columns(encoding: str, rows: list[dict[str, Any]], meta: dict[str, Any], error: str | None) -> None:
    if error is None:
        assert_same(hydrate(encoding, rows, meta), reference(json.dumps(rows)))
        return
    with pytest.raises(_native.SarnicHydrationError) as info:
        hydrate(encoding, rows, meta)
    assert info.value.args == (error,)


# (metadata, rows) as JSON text; the MessagePack forms are derived below.
BROKEN = [
    ("{", "[", "metadata deserialization error: "),
    ('{"model_name": "x"}', "[]", "metadata deserialization error: "),
    (json.dumps(META), "{}", "rows deserialization error: "),
    (json.dumps(META), "[1]", "rows deserialization error: "),
    (json.dumps(META), "[[]]", "rows deserialization error: "),
    (json.dumps(META), '"rows"', "rows deserialization error: "),
    (json.dumps(META), "[{}] []", "rows deserialization error: "),
]


@pytest.mark.parametrize(("meta", "rows", "prefix"), BROKEN)
def test_decode_failures_json(meta: str, rows: str, prefix: str) -> None:
    with pytest.raises(_native.SarnicHydrationError) as info:
        _native.hydrate_rows(meta, rows)
    (message,) = info.value.args
    assert message.startswith(prefix) and len(message) > len(prefix)
    assert " at line " in message


def mp_or_garbage(text: str) -> bytes:
    try:
        return msgpack.packb(json.loads(text))
    except ValueError:
        return msgpack.packb([{}]) + msgpack.packb([]) if text == "[{}] []" else b"\xc1"


@pytest.mark.parametrize(("meta", "rows", "prefix"), BROKEN)
def test_decode_failures_msgpack(meta: str, rows: str, prefix: str) -> None:
    with pytest.raises(_native.SarnicHydrationError) as info:
        _native.hydrate_rows_msgpack(mp_or_garbage(meta), mp_or_garbage(rows))
    assert info.value.args[0].startswith(prefix)


@pytest.mark.parametrize(
    "blob",
    [
        msgpack.packb([{"id": b"\x00\x01"}]),
        msgpack.packb([{"id": 1, "nested": [1, {"x": b""}]}]),
        msgpack.packb([{"id": msgpack.ExtType(5, b"ext")}]),
        msgpack.packb([{1: 1}]),
        msgpack.packb([{"id": {2: "x"}}]),
    ],
    ids=["bin", "nested bin", "ext", "integer key", "nested integer key"],
)
def test_msgpack_kinds_refused(blob: bytes) -> None:
    with pytest.raises(_native.SarnicHydrationError, match="^rows deserialization error: "):
        _native.hydrate_rows_msgpack(msgpack.packb(META), blob)


@pytest.mark.parametrize(("encoding", "limit"), [("json", 127), ("msgpack", 1023)])
def test_nesting_limit(encoding: str, limit: int) -> None:
    def rows(depth: int) -> str | bytes:
        inner = depth - 2  # the batch and the row are the two outer levels
        if encoding == "json":
            return '[{"id": ' + "[" * inner + "]" * inner + "}]"
        return b"\x91\x81\xa2id" + b"\x91" * (inner - 1) + b"\x90"

    value = hydrate(encoding, rows(limit))[0]["id"]
    levels = 0
    while value is not None:
        levels += 1
        value = value[0] if value else None
    assert levels == limit - 2
    with pytest.raises(_native.SarnicHydrationError, match="^rows deserialization error: "):
        hydrate(encoding, rows(limit + 1))


def big_batch(n: int) -> list[dict[str, Any]]:
    rnd = random.Random(7)
    return [
        {
            "id": i,
            "title": f"title {i} ✓",
            "views": rnd.randrange(-(2**40), 2**40),
            "score": rnd.random() * 1000,
            "published": rnd.random() < 0.5,
            "nick": None if i % 3 else f"n{i}",
            "tags": ["a", "b", str(i)],
            "meta": {"z": i, "a": [i, i + 0.5], "m": {"k": "v"}},
            "created_at": "2024-01-02T03:04:05Z",
            "big": 2**63 + i,
        }
        for i in range(n)
    ]


@pytest.mark.parametrize("encoding", ["json", "msgpack"])
def test_ten_thousand_rows(encoding: str) -> None:
    rows = big_batch(10_000)
    text = json.dumps(rows)
    got = hydrate(encoding, text if encoding == "json" else msgpack.packb(rows))
    assert_same(got, reference(text))
    # One str per distinct column within a call.
    assert all(a is b for a, b in zip(got[0], got[-1]))


def test_leaks() -> None:
    meta_json, meta_mp = json.dumps(META), msgpack.packb(META)
    rows = big_batch(50)
    rows_json, rows_mp = json.dumps(rows), msgpack.packb(rows)
    id_ref = {"name": "id", "index": 0}
    select = {"version": 3, "model_name": "Person", "operation": {"kind": "select", "fields": [id_ref]},
              "filters": [{"field": id_ref, "operator": "eq", "value": {"type": "int", "value": 1}}], "order_by": []}
    meta_eq = json.dumps({**META, "fields": [{**FIELDS[0], "allowed_operators": ["eq"]}, FIELDS[1]]})
    select_json, select_mp = json.dumps(select), msgpack.packb(select)
    cases = [
        lambda: _native.hydrate_rows(meta_json, rows_json),
        lambda: _native.hydrate_rows_msgpack(meta_mp, rows_mp),
        lambda: _native.hydrate_rows(meta_json, '[{"id": 1}, {"nick": {"a": [1]}}]'),
        lambda: _native.hydrate_rows("{", "["),
        lambda: _native.hydrate_rows_msgpack(meta_mp, b"\x91\xc4\x00"),
        lambda: _native.compile_query(meta_eq, select_json, "postgres"),
        lambda: _native.compile_query_msgpack(msgpack.packb(json.loads(meta_eq)), select_mp, "mysql"),
        lambda: _native.compile_query(meta_json, select_json, "postgres"),
        lambda: _native.compile_query(meta_eq, select_json, "oracle"),
        lambda: _native.compile_query(meta_eq, select_json, 3),
        lambda: _native.compile_query(meta_eq),
    ]

    def run(times: int) -> None:
        for _ in range(times):
            for case in cases:
                try:
                    case()
                except (RuntimeError, TypeError):
                    pass

    def rss() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    run(20)
    gc.collect()
    watched = [meta_json, meta_mp, rows_json, rows_mp, select_json, select_mp, meta_eq,
               _native.SarnicCompileError, _native.SarnicHydrationError, _native.SarnicInternalError]
    refcounts = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        before_py = tracemalloc.get_traced_memory()[0]
        before_rss = rss()
        run(300)
        gc.collect()
        grown_py = tracemalloc.get_traced_memory()[0] - before_py
        grown_rss = rss() - before_rss
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refcounts
    assert grown_py < 64 * 1024, grown_py  # Python objects: one leaked str per call would show
    assert grown_rss < 16 * 1024 * 1024, grown_rss  # native memory, generous for the allocator
