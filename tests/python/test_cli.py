"""The sarnic command: compile, hydrate and demo, their inputs, outputs and
exit statuses. The module itself is the reference for every SQL text."""

from __future__ import annotations

import io
import json
import math
import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import msgpack
import pytest

from conftest import DIALECTS
from sarnic import _native, cli, demo

OPS = ["eq", "gte", "match"]
MODEL = {
    "model_name": "Article",
    "table_name": "articles",
    "fields": [
        {"name": "id", "column_name": "id", "field_type": "int", "allowed_operators": OPS, "nullable": False},
        {"name": "title", "column_name": "title", "field_type": "text", "allowed_operators": OPS, "nullable": False},
        {"name": "views", "column_name": "view_count", "field_type": "int", "allowed_operators": OPS,
         "nullable": True},
    ],
    "pk_index": 0,
}  # fmt: skip
ID, TITLE, VIEWS = ({"name": f["name"], "index": i} for i, f in enumerate(MODEL["fields"]))
SELECT = {
    "version": 3,
    "model_name": "Article",
    "operation": {"kind": "select", "fields": [ID, TITLE]},
    "filters": [
        {"field": VIEWS, "operator": "gte", "value": {"type": "int", "value": 100}},
        {"field": TITLE, "operator": "eq", "value": {"type": "text", "value": "naïve \"quotes\"\n"}},
    ],
    "order_by": [{"field": TITLE, "direction": "asc"}],
    "limit": 10,
    "offset": 20,
}
FLOATS = {**SELECT, "operation": {"kind": "insert", "values": [
    [VIEWS, {"type": "float", "value": float("nan")}],
    [TITLE, {"type": "float_array", "value": [0.5, float("inf")]}],
    [ID, {"type": "bytes", "value": [0, 255]}],
]}}  # fmt: skip
BULK_UPDATE = {**SELECT, "operation": {"kind": "bulk_update", "pk_fields": [ID], "fields": [VIEWS],
                                       "rows": [{"pk_values": [{"type": "int", "value": 1}],
                                                 "values": [{"type": "int", "value": 5}]}]}}  # fmt: skip
UNSCOPED = {**SELECT, "operation": {"kind": "delete"}, "filters": []}


def encode(doc: Any, packed: bool) -> bytes:
    return msgpack.packb(doc) if packed else json.dumps(doc).encode()


@pytest.fixture
def files(tmp_path: Path):
    """Writes documents to files and returns their paths."""

    def write(*docs: Any, packed: bool = False) -> list[str]:
        paths = []
        for i, doc in enumerate(docs):
            if isinstance(doc, str):  # a path as given, or -
                paths.append(doc)
                continue
            path = tmp_path / f"doc{i}.{'mp' if packed else 'json'}"
            path.write_bytes(doc if isinstance(doc, bytes) else encode(doc, packed))
            paths.append(str(path))
        return paths

    return write


def run(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, *argv: str,
        stdin: bytes = b"") -> tuple[int, str, str]:  # fmt: skip
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list | dict):
        items = value.items() if isinstance(value, dict) else enumerate(value)
        out = {k: finite(v) for k, v in items}
        return out if isinstance(value, dict) else list(out.values())
    return value


def reference(doc: Any, dialect: str) -> dict[str, Any]:
    """The module's result, read by the msgpack package (the JSON input cannot carry NaN)."""
    result = _native.compile_query_msgpack(msgpack.packb(MODEL), msgpack.packb(doc), dialect)
    return finite({**result, "bound_params": msgpack.unpackb(result["bound_params"])})


# ---------------------------------------------------------------- compile


@pytest.mark.parametrize("dialect", [*DIALECTS, "MariaDB", "SqlServer"])
def test_compile_one_dialect_prints_sql_fingerprint_and_aligned_params(capsys, monkeypatch, files, dialect):
    status, out, err = run(capsys, monkeypatch, "compile", "--dialect", dialect, *files(MODEL, SELECT))
    expected = reference(SELECT, dialect)
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[:3] == ["operation    select", "", f"{dialect:<13}{expected['sql_text']}"]
    assert lines[3] == f"fingerprint  {expected['fingerprint']}"
    labels = expected["param_type_summary"]
    width = max(map(len, labels))
    params = [f"{i}  {label:<{width}}  {p['type']:<4}  {json.dumps(p['value'], ensure_ascii=False)}"
              for i, (label, p) in enumerate(zip(labels, expected["bound_params"]), start=1)]  # fmt: skip
    assert [line[13:] for line in lines[4:]] == params
    # The text value with a quote and a newline stays on one line, as JSON.
    assert '"naïve \\"quotes\\"\\n"' in out


def test_compile_all_shows_every_dialect_in_order(capsys, monkeypatch, files):
    status, out, _ = run(capsys, monkeypatch, "compile", "--dialect", "all", *files(MODEL, SELECT))
    assert status == 0
    sql_lines = [line for line in out.splitlines() if line.split(" ", 1)[0] in DIALECTS]
    assert sql_lines == [f"{d:<13}{reference(SELECT, d)['sql_text']}" for d in DIALECTS]
    # SQL Server binds the offset before the limit: each block has its own order.
    assert out.count("offset:int") == 4 and "operation    select\n" in out


def test_compile_without_bound_values(capsys, monkeypatch, files):
    doc = {**SELECT, "filters": [], "limit": None, "offset": None}
    status, out, _ = run(capsys, monkeypatch, "compile", "--dialect", "sqlite", *files(MODEL, doc))
    assert status == 0 and out.splitlines()[-1] == "params       (none)"


def test_compile_defaults_to_all_dialects(capsys, monkeypatch, files):
    paths = files(MODEL, SELECT)
    assert run(capsys, monkeypatch, "compile", *paths) == run(capsys, monkeypatch, "compile", "--dialect", "ALL", *paths)


@pytest.mark.parametrize("packed,doc", [(False, SELECT), (True, SELECT), (True, FLOATS)],
                         ids=["json", "msgpack", "msgpack-non-finite-floats"])  # fmt: skip
def test_compile_json_output_is_the_result_per_dialect(capsys, monkeypatch, files, packed, doc):
    status, out, _ = run(capsys, monkeypatch, "compile", "--json", *(["--msgpack"] * packed),
                         *files(MODEL, doc, packed=packed))  # fmt: skip
    assert status == 0
    objects = [json.loads(line) for line in out.splitlines()]  # strict JSON: no NaN
    assert [o["dialect"] for o in objects] == list(DIALECTS)
    for obj in objects:
        expected = reference(doc, obj.pop("dialect"))
        assert obj == expected  # NaN and infinity read back as null, as in the JSON result


@pytest.mark.parametrize("packed", [False, True], ids=["json", "msgpack"])
@pytest.mark.parametrize("stdin_position", [0, 1])
def test_compile_reads_either_input_from_stdin(capsys, monkeypatch, files, packed, stdin_position):
    paths = files(MODEL, SELECT, packed=packed)
    piped = Path(paths[stdin_position]).read_bytes()
    paths[stdin_position] = "-"
    flags = ["--msgpack"] * packed
    status, out, _ = run(capsys, monkeypatch, "compile", "--json", "--dialect", "sqlite", *flags, *paths, stdin=piped)
    assert status == 0
    assert json.loads(out) == {"dialect": "sqlite", **reference(SELECT, "sqlite")}


def test_partial_failure_is_shown_per_dialect_and_exits_2(capsys, monkeypatch, files):
    status, out, err = run(capsys, monkeypatch, "compile", *files(MODEL, BULK_UPDATE))
    refused = "SarnicCompileError: malformed IR: bulk_update is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)"
    assert (status, err) == (2, "")
    assert f"postgres     {reference(BULK_UPDATE, 'postgres')['sql_text']}\n" in out
    assert [f"{d:<13}{refused}" for d in DIALECTS[1:]] == [l for l in out.splitlines() if l.endswith("MSSQL)")]

    status, out, _ = run(capsys, monkeypatch, "compile", "--json", *files(MODEL, BULK_UPDATE))
    objects = [json.loads(line) for line in out.splitlines()]
    assert status == 2 and objects[0]["operation"] == "bulk_update"
    assert [o["error"] for o in objects[1:]] == [{"class": "SarnicCompileError", "message": refused.split(": ", 1)[1]}] * 3


# ---------------------------------------------------------------- user errors

ERRORS = [
    ("unknown dialect", ["compile", "--dialect", "oracle"], [MODEL, SELECT],
     'SarnicCompileError: malformed IR: unknown dialect "oracle"; expected postgres, mysql, sqlite, or mssql'),
    ("unscoped delete, all dialects", ["compile"], [MODEL, UNSCOPED],
     "SarnicCompileError: operation 'delete' on model 'Article' requires at least one filter; "
     "use the danger API for unscoped mutations"),
    ("IR not JSON", ["compile", "--dialect", "sqlite"], [MODEL, b"{"],
     "SarnicCompileError: malformed IR: IR deserialization failed: "),
    ("MessagePack garbage", ["compile", "--msgpack"], [b"\xc1", b"\xc1"],
     "SarnicCompileError: malformed IR: metadata deserialization failed: "),
    ("not UTF-8", ["compile"], [b"\xff{}", SELECT], "InputError: METADATA "),
    ("both on stdin", ["compile"], ["-", "-"], "InputError: only one of METADATA and IR can be read from standard input"),
    ("missing file", ["compile"], ["no/such/metadata.json", SELECT],
     "FileNotFoundError: [Errno 2] No such file or directory: 'no/such/metadata.json'"),
    # A field name with a line break cannot break the one-line message.
    ("line break in a message", ["compile", "--dialect", "sqlite"],
     [MODEL, {**SELECT, "order_by": [{"field": {"name": "a\nb", "index": 9}, "direction": "asc"}]}],
     "SarnicCompileError: unknown field 'a\\nb' on model 'Article'"),
    ("missing column", ["hydrate"], [MODEL, [{"id": 1}]],
     "SarnicHydrationError: column 'title' missing from result set for model 'Article'"),
    ("rows not an array", ["hydrate", "--json"], [MODEL, {"id": 1}], "SarnicHydrationError: rows deserialization error: "),
]  # fmt: skip


@pytest.mark.parametrize("argv,docs,message", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_user_errors_print_one_line_and_exit_2(capsys, monkeypatch, files, argv, docs, message):
    status, out, err = run(capsys, monkeypatch, *argv, *files(*docs))
    assert (status, out) == (2, "")
    assert err.startswith(message) and err.endswith("\n") and err.count("\n") == 1


def test_subprocess_user_error_has_no_traceback(files):
    paths = files(MODEL, UNSCOPED)
    proc = subprocess.run([sys.executable, "-m", "sarnic", "compile", *paths], capture_output=True, text=True)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("SarnicCompileError: operation 'delete'") and "Traceback" not in proc.stderr


@pytest.mark.parametrize("argv", [[], ["compile", "only-one-file"], ["frobnicate"], ["compile", "--bogus", "a", "b"]])
def test_bad_arguments_exit_2_with_usage(capsys, argv):
    with pytest.raises(SystemExit) as exc:
        cli.main(argv)
    assert exc.value.code == 2 and "usage: sarnic" in capsys.readouterr().err


# ---------------------------------------------------------------- hydrate

ROWS = [{"views": None, "title": "b\tc", "id": 2, "extra": [1, {"k": True}]}, {"title": "x", "id": 10}]


@pytest.mark.parametrize("packed", [False, True], ids=["json", "msgpack"])
def test_hydrate_prints_the_checked_rows(capsys, monkeypatch, files, packed):
    flags = ["--msgpack"] * packed
    status, out, _ = run(capsys, monkeypatch, "hydrate", *flags, *files(MODEL, ROWS, packed=packed))
    assert status == 0
    # Keys come back in byte order; numbers align right; a tab is escaped; a
    # column the row lacks is blank, a null reads NULL.
    assert out.splitlines() == [
        "extra           id  title  views",
        "--------------  --  -----  -----",
        '[1,{"k":true}]   2  b\\tc   NULL',
        "                10  x",
        "2 rows",
    ]
    status, out, _ = run(capsys, monkeypatch, "hydrate", "--json", *flags, *files(MODEL, ROWS, packed=packed))
    assert json.loads(out) == _native.hydrate_rows(json.dumps(MODEL), json.dumps(ROWS))


def test_hydrate_empty_batch_and_stdin(capsys, monkeypatch, files):
    (meta,) = files(MODEL)
    assert run(capsys, monkeypatch, "hydrate", meta, "-", stdin=b"[]") == (0, "0 rows\n", "")


# ---------------------------------------------------------------- helpers

PACKED = [None, True, False, 0, 127, 128, 255, 256, 65535, 65536, 2**32, 2**64 - 1, -1, -32, -33, -128, -129,
          -32768, -32769, -2**31 - 1, -2**63, 0.5, 1e300, "", "a" * 31, "é" * 40, "x" * 300, "y" * 70000,
          [], list(range(16)), list(range(70000)), {"k": {"n": [1]}}, {str(i): i for i in range(16)}]  # fmt: skip


@pytest.mark.parametrize("value", PACKED, ids=lambda v: type(v).__name__ + str(len(str(v))))
def test_unpack_msgpack_matches_the_reference(value):
    assert cli.unpack_msgpack(msgpack.packb(value)) == msgpack.unpackb(msgpack.packb(value), strict_map_key=False)


@pytest.mark.parametrize("blob,reads", [
    (msgpack.packb(1.5, use_single_float=True), 1.5),
    (msgpack.packb(b"\x00\xff"), [0, 255]),  # bin: shown as its byte values
])  # fmt: skip
def test_unpack_msgpack_other_forms(blob, reads):
    assert cli.unpack_msgpack(blob) == reads


@pytest.mark.parametrize("blob", [b"", b"\x92\x01", b"\xa3ab", b"\x01\x02", b"\xc1", b"\xcd\x01",
                                  b"\x91" * 40 + b"\x00", b"\xa2\xff\xfe"])  # fmt: skip
def test_unpack_msgpack_rejects_broken_input(blob):
    with pytest.raises(ValueError):  # UnicodeDecodeError is a ValueError too
        cli.unpack_msgpack(blob)


def test_format_table_cuts_long_cells_and_shows_null():
    rows = [{"n": 1.5, "t": "abcdefghij", "f": False}, {"n": None, "t": None, "f": True}]
    assert cli.format_table(rows, ["t", "n", "f"], max_width=6) == [
        "t          n  f",
        "------  ----  -----",
        "abc...   1.5  false",
        "NULL    NULL  true",
    ]
    assert cli.format_table([]) == []


@pytest.mark.parametrize("param,value", [
    ({"type": "null"}, None),
    ({"type": "bool", "value": True}, 1),
    ({"type": "int", "value": -7}, -7),
    ({"type": "float", "value": 2.5}, 2.5),
    ({"type": "float", "value": None}, None),  # NaN in the JSON result
    ({"type": "text", "value": "t"}, "t"),
    ({"type": "datetime", "value": "2024-01-01 00:00:00"}, "2024-01-01 00:00:00"),
    ({"type": "bytes", "value": [0, 255]}, b"\x00\xff"),
    ({"type": "int_array", "value": [1, 2]}, "[1, 2]"),
    ({"type": "text_array", "value": ["a"]}, '["a"]'),
])  # fmt: skip
def test_demo_binds_values_the_sqlite3_way(param, value):
    assert demo.sqlite_value(param) == value and type(demo.sqlite_value(param)) is type(value)


# ---------------------------------------------------------------- demo and entry points


def test_demo_runs_the_tour_quickly(capsys):
    start = time.perf_counter()
    assert demo.run(sys.stdout) == 0
    assert time.perf_counter() - start < 2
    out = capsys.readouterr().out
    steps = [line for line in out.splitlines() if line[:3].strip().rstrip(".").isdigit()]
    kinds = ["fill", "select", "a predicate", "a join", "DISTINCT", "paging", "full-text", "EXISTS", "insert",
             "update", "bulk update", "bulk delete", "delete"]  # fmt: skip
    assert [s.split(". ", 1)[1].startswith(k) for s, k in zip(steps, kinds)] == [True] * len(kinds)
    assert len(steps) == len(kinds)
    # Every step but the PostgreSQL-only bulk update shows four dialects and a result.
    assert out.count("\n    mssql     ") == len(kinds) - 1 and out.count("\n    result    ") == len(kinds) - 1
    assert '    sqlite    SELECT EXISTS(SELECT 1 FROM "posts" WHERE ("author_id" = ? AND "published" = ?))\n' in out
    assert "    result    yes (SQLite returned 1)\n" in out
    assert "               4  The relational model at fifty   2210\n" in out
    assert out.count("row deleted") == 1 and "2 rows deleted" in out
    assert out.splitlines()[-1].startswith("compile speed: ")
    micros = float(out.splitlines()[-1].split()[2])
    assert math.isfinite(micros) and micros > 0


def test_console_script_and_module_run_the_demo():
    script = Path(sys.executable).with_name("sarnic")
    for command in ([str(script), "demo"], [sys.executable, "-m", "sarnic", "demo"]):
        proc = subprocess.run(command, capture_output=True, text=True, env={**os.environ, "LC_ALL": "C"})
        assert (proc.returncode, proc.stderr) == (0, ""), command
        assert proc.stdout.startswith("sarnic demo: ") and "13. delete" in proc.stdout


def test_output_cut_short_by_the_reader_is_quiet(files):
    # Far more output than a pipe buffers, so the writer meets the closed pipe.
    rows = [[[TITLE, {"type": "text", "value": f"row {i}"}]] for i in range(5000)]
    paths = files(MODEL, {**SELECT, "operation": {"kind": "bulk_insert", "rows": rows}})
    command = f"'{sys.executable}' -m sarnic compile {paths[0]} {paths[1]} | head -1; exit ${{PIPESTATUS[0]}}"
    proc = subprocess.run(command, shell=True, capture_output=True, text=True, executable="/bin/bash")
    assert (proc.stdout, proc.stderr, proc.returncode) == ("operation    bulk_insert\n", "", 1)
