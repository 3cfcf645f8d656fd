"""Many threads on shared inputs get exactly the single-threaded results, and
concurrent first imports end with one set of exception classes."""

from __future__ import annotations

import json
import random
import subprocess
import sys
import textwrap
import threading
from typing import Any, Callable

import msgpack
import pytest

from sarnic import _native

THREADS = 8
ROUNDS = 300

METADATA = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "nullable": False, "allowed_operators": ["eq", "in"]},
        {"name": "title", "column_name": "title", "field_type": "text", "nullable": False,
         "allowed_operators": ["eq", "icontains", "match"]},
        {"name": "nick", "column_name": "nick", "field_type": "text", "nullable": True, "allowed_operators": []},
    ],
    "pk_index": 0,
    "full_text_indexes": [{"name": "ft", "fields": ["title"]}],
}


def ir(operation: dict[str, Any], **extra: Any) -> dict[str, Any]:
    return {"version": 3, "model_name": "Article", "operation": operation, "filters": [], "order_by": [], **extra}


SELECT = ir({"kind": "select", "fields": [{"name": "id", "index": 0}, {"name": "title", "index": 1}]},
            filters=[{"field": {"name": "title", "index": 1}, "operator": "icontains", "value": {"type": "text", "value": "%a%"}}],
            text_rank_by={"field": {"name": "title", "index": 1}, "query": {"type": "text", "value": "q"}, "mode": "plain"},
            limit=10, offset=5)
BULK = ir({"kind": "bulk_insert", "rows": [[[{"name": "title", "index": 1}, {"type": "text", "value": str(i)}]] for i in range(50)]})
UNKNOWN_FIELD = ir({"kind": "select", "fields": [{"name": "nope", "index": 9}]})
UNSCOPED = ir({"kind": "delete"})
ROWS = [{"id": i, "title": f"t{i}", "nick": None, "extra": {"b": [1, 2.5], "a": None}} for i in range(20)]


def cases() -> list[tuple[str, Callable[..., Any], tuple[Any, ...]]]:
    mj, mp = json.dumps(METADATA), msgpack.packb(METADATA)
    out: list[tuple[str, Callable[..., Any], tuple[Any, ...]]] = []
    for name, doc in [("select", SELECT), ("bulk", BULK), ("unknown-field", UNKNOWN_FIELD), ("unscoped", UNSCOPED)]:
        for dialect in ("postgres", "mssql", "oracle"):
            out.append((f"json-{name}-{dialect}", _native.compile_query, (mj, json.dumps(doc), dialect)))
            out.append((f"mp-{name}-{dialect}", _native.compile_query_msgpack, (mp, msgpack.packb(doc), dialect)))
    out += [
        ("json-bad-ir", _native.compile_query, (mj, "{", "postgres")),
        ("mp-internal", _native.compile_query_msgpack,
         (msgpack.packb({**METADATA, "pk_index": 99}), msgpack.packb(SELECT), "mssql")),
        ("rows", _native.hydrate_rows, (mj, json.dumps(ROWS))),
        ("rows-mp", _native.hydrate_rows_msgpack, (mp, msgpack.packb(ROWS))),
        ("rows-missing", _native.hydrate_rows, (mj, json.dumps([{"id": 1}]))),
        ("rows-null", _native.hydrate_rows_msgpack, (mp, msgpack.packb([{"id": None, "title": "x"}]))),
        ("rows-bad", _native.hydrate_rows, (mj, "[1]")),
    ]
    return out


def outcome(fn: Callable[..., Any], args: tuple[Any, ...]) -> tuple[str, Any]:
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - the exception is the result under test
        return (type(exc).__name__, exc.args)


def test_threads_match_single_threaded_results():
    table = cases()
    expected = {name: outcome(fn, args) for name, fn, args in table}
    kinds = {value[0] for value in expected.values()}
    assert {"ok", "SarnicCompileError", "SarnicHydrationError", "SarnicInternalError"} <= kinds

    failures: list[str] = []
    barrier = threading.Barrier(THREADS)

    def worker(seed: int) -> None:
        order = list(table)
        rng = random.Random(seed)
        barrier.wait()
        for _ in range(ROUNDS):
            rng.shuffle(order)
            for name, fn, args in order:
                got = outcome(fn, args)
                if got != expected[name]:
                    failures.append(f"{name}: {got!r} != {expected[name]!r}")
                    return

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures, failures[:3]


IMPORT_RACE = textwrap.dedent(
    """
    import sys, threading
    N = 16
    barrier = threading.Barrier(N)
    seen = []
    def first_use():
        barrier.wait()
        import sarnic._native as m
        try:
            m.compile_query("{", "{", "postgres")
        except m.SarnicCompileError as exc:
            seen.append((m.SarnicInternalError, m.SarnicCompileError, m.SarnicHydrationError, type(exc)))
    threads = [threading.Thread(target=first_use) for _ in range(N)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert len(seen) == N, seen
    assert len({s[:3] for s in seen}) == 1, "threads saw different classes"
    first = seen[0]
    assert first[3] is first[1]

    # A second import after dropping the module, again from racing threads,
    # must reuse the process-wide classes.
    del sys.modules["sarnic._native"]
    again = []
    barrier = threading.Barrier(N)
    def reimport():
        barrier.wait()
        import importlib
        m = importlib.import_module("sarnic._native")
        again.append((m.SarnicInternalError, m.SarnicCompileError, m.SarnicHydrationError))
    threads = [threading.Thread(target=reimport) for _ in range(N)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert all(a == first[:3] for a in again), "re-import created new classes"
    print("ok")
    """
)


@pytest.mark.parametrize("attempt", range(3))
def test_concurrent_first_import_in_fresh_process(attempt: int):
    result = subprocess.run([sys.executable, "-c", IMPORT_RACE], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
