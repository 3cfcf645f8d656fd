"""Seed corpora and dictionaries for the fuzz targets.

    python fuzz/make_seeds.py OUTDIR

Writes OUTDIR/seeds/<target>/<sha1> and OUTDIR/<target>.dict for the four
targets. Seeds are every input that the golden and error-catalogue tests hand
to sarnic._native (recorded by wrapping the entry points while those tests run
in-process), in both encodings, plus a few built-in documents so that a fresh
checkout without the module still gets a corpus.

Input layouts (see fuzz/fuzz_support.hpp): JSON targets take
"metadata NUL body"; MessagePack targets a 2-byte big-endian metadata length,
the metadata, then the body. The statement targets take a model list in place
of the metadata.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import json
import sys
from pathlib import Path
from typing import Any

import msgpack

ROOT = Path(__file__).resolve().parent.parent
TARGETS = ("fuzz_compile_json", "fuzz_compile_msgpack", "fuzz_hydrate_json", "fuzz_hydrate_msgpack",
           "fuzz_statement_json", "fuzz_statement_msgpack")
MAX_SEED = 64 * 1024
HARVESTED_TESTS = ("test_*_golden.py", "test_error_catalogue.py")
STATEMENT_WORDS = """
model where joins group_by having lock skip_locked nowait of values items on_conflict target source up
binary unary func in exists subquery excluded add sub mul div neg count sum avg min max coalesce lower
upper length negated label expr left right operand args like pattern fold bulk_update pk_fields
""".split()

WORDS = """
version model_name operation filters order_by limit offset vector_order_by text_rank_by predicate
distinct exists joins kind select insert update delete bulk_insert bulk_update bulk_delete fields
values assignments danger rows returning pk_fields ids pk_values and or not filter children child
field operator value name index relation alias local_field remote_table remote_pk_column
remote_fields column direction asc desc metric l2 cosine inner_product query mode plain phrase
websearch boolean type null bool int float text bytes datetime float_array text_array int_array
table_name pk_index full_text_indexes column_name field_type allowed_operators nullable
vector_dimensions fts_config fts_source_columns config big_int decimal date time uuid json vector
ts_vector tsvector array_text array_int array_uuid array_float enum eq ne gt gte lt lte contains
icontains is_null is_not_null match match_phrase match_websearch match_boolean
""".split()

ARTICLES = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "allowed_operators": ["eq", "in"], "nullable": False},
        {"name": "title", "column_name": "title", "field_type": "text", "nullable": False,
         "allowed_operators": ["eq", "icontains", "match", "match_phrase"]},
        {"name": "views", "column_name": "view_count", "field_type": "int", "nullable": False,
         "allowed_operators": ["gte", "lt", "is_null"]},
        {"name": "search", "column_name": "search_vector", "field_type": "ts_vector", "nullable": True,
         "fts_config": "english", "allowed_operators": ["match_websearch"]},
        {"name": "embedding", "column_name": "embedding", "field_type": "vector", "nullable": True,
         "vector_dimensions": 3, "allowed_operators": []},
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "ft_articles", "fields": ["title"], "config": None}],
}


def field(name: str, index: int) -> dict[str, Any]:
    return {"name": name, "index": index}


def bind(kind: str, value: Any = None) -> dict[str, Any]:
    return {"type": kind} if kind == "null" else {"type": kind, "value": value}


def base_ir(operation: dict[str, Any], **extra: Any) -> dict[str, Any]:
    return {"version": 3, "model_name": "Article", "operation": operation, "filters": [], "order_by": [], **extra}


BUILTIN_COMPILE = [
    base_ir({"kind": "select", "fields": [field("id", 0), field("title", 1)]},
            filters=[{"field": field("views", 2), "operator": "gte", "value": bind("int", 100)}],
            order_by=[{"field": field("title", 1), "direction": "asc"}], limit=10, offset=20),
    base_ir({"kind": "select", "fields": []}, distinct=True,
            predicate={"kind": "or", "children": [
                {"kind": "filter", "filter": {"field": field("title", 1), "operator": "icontains",
                                              "value": bind("text", "%a%")}},
                {"kind": "not", "child": {"kind": "filter", "filter": {
                    "field": field("views", 2), "operator": "is_null", "value": bind("null")}}}]},
            joins=[{"relation": "author", "alias": "author", "local_field": field("id", 0),
                    "remote_table": "users", "remote_pk_column": "id",
                    "remote_fields": [{"index": 0, "name": "name", "column": "name"}]}]),
    base_ir({"kind": "select", "fields": [field("id", 0)]}, exists=True,
            vector_order_by={"field": field("embedding", 4), "metric": "cosine",
                             "value": bind("float_array", [0.5, 1.0, 2.25])}, limit=5),
    base_ir({"kind": "select", "fields": [field("id", 0)]},
            filters=[{"field": field("search", 3), "operator": "match_websearch", "value": bind("text", "a b")}],
            text_rank_by={"field": field("title", 1), "query": bind("text", "q"), "mode": "phrase"}),
    base_ir({"kind": "insert", "values": [[field("title", 1), bind("text", "Hello")], [field("views", 2), bind("int", 3)]]}),
    base_ir({"kind": "update", "assignments": [[field("title", 1), bind("text", "New")]]},
            filters=[{"field": field("id", 0), "operator": "eq", "value": bind("int", 7)}]),
    base_ir({"kind": "delete", "danger": True}),
    base_ir({"kind": "bulk_insert", "rows": [[[field("title", 1), bind("text", "a")]], [[field("title", 1), bind("text", "b")]]],
             "returning": True}),
    base_ir({"kind": "bulk_update", "pk_fields": [field("id", 0)], "fields": [field("title", 1)],
             "rows": [{"pk_values": [bind("int", 1)], "values": [bind("text", "a")]}]}),
    base_ir({"kind": "bulk_delete", "pk_fields": [field("id", 0)], "ids": [[bind("int", 1)], [bind("int", 2)]]}),
    ["version", 3],
]

def column(index: int, source: int = 0, up: int = 0) -> dict[str, Any]:
    return {"kind": "field", "field": index, "source": source, "up": up}


BUILTIN_STATEMENTS = [
    {"version": 4, "model": 0, "operation": {"kind": "values", "items": [
        column(0), {"kind": "func", "name": "count", "args": [], "distinct": False}]},
     "where": {"kind": "and", "children": [
         {"kind": "in", "operand": column(0), "negated": True, "values": bind("int_array", [1, 2]), "label": "id:in"},
         {"kind": "exists", "query": {"model": 1, "operation": {"kind": "select", "fields": [0]},
                                      "where": {"kind": "binary", "op": "eq", "left": column(0), "right": column(0, up=1)}}}]},
     "group_by": [column(0)], "having": {"kind": "binary", "op": "gt", "left": column(2),
                                          "right": {"kind": "value", "value": bind("int", 1), "label": "h"}},
     "order_by": [{"expr": column(1), "direction": "desc"}], "limit": 3, "lock": {"skip_locked": True}},
    {"version": 4, "model": 0, "operation": {"kind": "insert", "values": [[1, {"kind": "value", "value": bind("text", "t"),
                                                                              "label": "title:insert"}]],
                                             "on_conflict": {"target": [1], "update": [[2, {"kind": "binary", "op": "add",
                                                 "left": column(2), "right": {"kind": "excluded", "field": 2}}]]}}},
    {"version": 4, "model": 0, "operation": {"kind": "update", "assignments": [[2, {"kind": "unary", "op": "neg",
                                                                                    "operand": column(2)}]]},
     "where": {"kind": "filter", "filter": {"field": field("title", 1), "operator": "icontains",
                                            "value": bind("text", "%a%")}, "source": 0, "up": 0}},
    {"version": 4, "model": 0, "operation": {"kind": "delete", "danger": True, "returning": False}},
    {"version": 4, "model": 0, "operation": {"kind": "update", "assignments": [[2, column(2)]], "danger": True,
                                             "returning": False}},
]

# Raw texts: duplicate keys must survive into the seed.
BUILTIN_ROWS = [
    '[{"id": 1, "title": "a", "view_count": 3, "search_vector": null}]',
    '[{"view_count": 1, "id": 2, "title": "x", "id": 3, "nested": {"b": [1, 2.5, null], "a": {"k": true}, "b": 0}}]',
    "[]",
    '[{"title": "missing id"}, {"id": null}]',
    '[{"id": 18446744073709551615, "nick": null, "e\u00e9mail": "", "": -1}]',
]


def json_seed(metadata: str, body: str) -> bytes:
    return metadata.encode() + b"\0" + body.encode()


def msgpack_seed(metadata: bytes, body: bytes) -> bytes | None:
    if len(metadata) >= 1 << 16 or not metadata:
        return None
    return len(metadata).to_bytes(2, "big") + metadata + body


class Seeds:
    def __init__(self) -> None:
        self.by_target: dict[str, dict[str, bytes]] = {t: {} for t in TARGETS}

    def add(self, target: str, seed: bytes | None) -> None:
        if seed is not None and len(seed) <= MAX_SEED:
            self.by_target[target][hashlib.sha1(seed).hexdigest()] = seed

    def add_json(self, kind: str, metadata: str, body: str) -> None:
        self.add(f"fuzz_{kind}_json", json_seed(metadata, body))
        with contextlib.suppress(ValueError, TypeError):
            self.add(f"fuzz_{kind}_msgpack",
                     msgpack_seed(msgpack.packb(json.loads(metadata)), msgpack.packb(json.loads(body))))

    def add_msgpack(self, kind: str, metadata: bytes, body: bytes) -> None:
        self.add(f"fuzz_{kind}_msgpack", msgpack_seed(metadata, body))
        with contextlib.suppress(ValueError, TypeError, msgpack.ExtraData, msgpack.FormatError, msgpack.StackError):
            self.add(f"fuzz_{kind}_json", json_seed(json.dumps(msgpack.unpackb(metadata, strict_map_key=False)),
                                                    json.dumps(msgpack.unpackb(body, strict_map_key=False))))

    def write(self, outdir: Path) -> None:
        for target, seeds in self.by_target.items():
            directory = outdir / "seeds" / target
            directory.mkdir(parents=True, exist_ok=True)
            for name, seed in seeds.items():
                (directory / name).write_bytes(seed)
            print(f"{target}: {len(seeds)} seeds")


def harvest(seeds: Seeds) -> None:
    """Runs the golden and catalogue tests with the entry points wrapped."""
    try:
        import pytest

        from sarnic import _native
    except ImportError as exc:
        print(f"no harvest ({exc}); built-in seeds only")
        return
    originals = {name: getattr(_native, name) for name in
                 ("compile_query", "compile_query_msgpack", "hydrate_rows", "hydrate_rows_msgpack",
                  "compile_statement", "compile_statement_msgpack")}

    def recorder(name: str):
        original = originals[name]
        kind = "statement" if "statement" in name else "compile" if name.startswith("compile") else "hydrate"
        encoding = "msgpack" if name.endswith("msgpack") else "json"

        def record(*args: Any, **kwargs: Any) -> Any:
            with contextlib.suppress(Exception):
                metadata, body = (list(args) + list(kwargs.values()))[:2]
                if encoding == "json" and isinstance(metadata, str) and isinstance(body, str):
                    seeds.add_json(kind, metadata, body)
                elif isinstance(metadata, bytes) and isinstance(body, bytes):
                    seeds.add_msgpack(kind, metadata, body)
            return original(*args, **kwargs)

        return record

    files = sorted({str(p) for pattern in HARVESTED_TESTS for p in (ROOT / "tests" / "python").glob(pattern)})
    if not files:
        return
    for name in originals:
        setattr(_native, name, recorder(name))
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            pytest.main(["-q", "-p", "no:cacheprovider", "--rootdir", str(ROOT), *files])
    finally:
        for name, original in originals.items():
            setattr(_native, name, original)


def dictionary(words: list[str], encode) -> str:
    lines = []
    for word in words:
        data = encode(word)
        lines.append('"' + "".join(chr(b) if 32 <= b < 127 and b not in (34, 92) else f"\\x{b:02x}" for b in data) + '"')
    return "\n".join(lines) + "\n"


def main() -> None:
    outdir = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "fuzz")
    seeds = Seeds()
    metadata = json.dumps(ARTICLES)
    for ir in BUILTIN_COMPILE:
        seeds.add_json("compile", metadata, json.dumps(ir))
        seeds.add("fuzz_compile_json", json.dumps(ir).encode())  # against the target's built-in model
        seeds.add("fuzz_compile_msgpack", b"\0\0" + msgpack.packb(ir))
    for rows in BUILTIN_ROWS:
        seeds.add_json("hydrate", metadata, rows)
        seeds.add("fuzz_hydrate_json", rows.encode())
        seeds.add("fuzz_hydrate_msgpack", b"\0\0" + msgpack.packb(json.loads(rows)))
    models = json.dumps([ARTICLES, {**ARTICLES, "model_name": "Tag", "table_name": "tags"}])
    for statement in BUILTIN_STATEMENTS:
        seeds.add_json("statement", models, json.dumps(statement))
        seeds.add("fuzz_statement_json", json.dumps(statement).encode())
        seeds.add("fuzz_statement_msgpack", b"\0\0" + msgpack.packb(statement))
    harvest(seeds)
    seeds.write(outdir)

    json_words = [json.dumps(w) for w in WORDS] + ['{"type":', '"value":', "null", "true", "false", "[]", "{}",
                                                   "18446744073709551615", "-9223372036854775808", "1e308", "\\u0000"]
    msgpack_words = [msgpack.packb(w) for w in WORDS]
    (outdir / "fuzz_compile_json.dict").write_text(dictionary(json_words, str.encode))
    (outdir / "fuzz_hydrate_json.dict").write_text(dictionary(json_words, str.encode))
    for target in ("fuzz_compile_msgpack", "fuzz_hydrate_msgpack"):
        (outdir / f"{target}.dict").write_text(dictionary(msgpack_words, lambda b: b))
    statement_words = WORDS + STATEMENT_WORDS
    (outdir / "fuzz_statement_json.dict").write_text(
        dictionary([json.dumps(w) for w in statement_words] + json_words[len(WORDS):], str.encode))
    (outdir / "fuzz_statement_msgpack.dict").write_text(
        dictionary([msgpack.packb(w) for w in statement_words], lambda b: b))


if __name__ == "__main__":
    main()
