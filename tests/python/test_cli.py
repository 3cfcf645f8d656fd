"""The sarnic command: compile, hydrate and demo, their inputs, outputs and
exit statuses. The module itself is the reference for every SQL text."""

from __future__ import annotations

import io
import json
import math
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import msgpack
import pytest

from conftest import DIALECTS
from sarnic import _native, cli, demo, fields

OPS = ["eq", "gte"]
MODEL = {"model_name": "Article", "table_name": "articles", "pk_index": 0, "fields": [
    {"name": n, "column_name": c, "field_type": t, "allowed_operators": OPS, "nullable": n == "views"}
    for n, c, t in [("id", "id", "int"), ("title", "title", "text"), ("views", "view_count", "int")]]}  # fmt: skip
ID, TITLE, VIEWS = ({"name": f["name"], "index": i} for i, f in enumerate(MODEL["fields"]))
SELECT = {
    "version": 3,
    "model_name": "Article",
    "operation": {"kind": "select", "fields": [ID, TITLE]},
    "filters": [{"field": VIEWS, "operator": "gte", "value": {"type": "int", "value": 100}},
                {"field": TITLE, "operator": "eq", "value": {"type": "text", "value": 'naïve "q"\n'}}],
    "order_by": [{"field": TITLE, "direction": "asc"}],
    "limit": 10,
    "offset": 20,
}  # fmt: skip
FLOATS = {**SELECT, "operation": {"kind": "insert", "values": [
    [VIEWS, {"type": "float", "value": math.nan}], [TITLE, {"type": "float_array", "value": [0.5, math.inf]}]]}}
BULK_UPDATE = {**SELECT, "operation": {"kind": "bulk_update", "pk_fields": [ID], "fields": [VIEWS], "rows": [
    {"pk_values": [{"type": "int", "value": 1}], "values": [{"type": "int", "value": 5}]}]}}  # fmt: skip
UNSCOPED = {**SELECT, "operation": {"kind": "delete"}, "filters": []}
REFUSED = "malformed IR: bulk_update is only supported on PostgreSQL (not MySQL, SQLite, or MSSQL)"


@pytest.fixture
def files(tmp_path: Path):
    """Writes documents to files; a str is a path given as it is (or -)."""

    def write(*docs: Any, packed: bool = False) -> list[str]:
        paths = []
        for i, doc in enumerate(docs):
            path = tmp_path / f"doc{i}"
            if not isinstance(doc, str):
                path.write_bytes(doc if isinstance(doc, bytes) else msgpack.packb(doc) if packed else
                                 json.dumps(doc).encode())  # fmt: skip
            paths.append(doc if isinstance(doc, str) else str(path))
        return paths

    return write


@pytest.fixture
def sarnic(capsys, monkeypatch):
    """Runs the command in process: (status, stdout, stderr)."""

    def run(*argv: str, stdin: bytes = b"") -> tuple[int, str, str]:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        status = cli.main(list(argv))
        return (status, *capsys.readouterr())

    return run


def reference(doc: Any, dialect: str) -> dict[str, Any]:
    """The module's result, read by the msgpack package, non-finite floats as null."""
    result = _native.compile_query_msgpack(msgpack.packb(MODEL), msgpack.packb(doc), dialect)
    params = json.loads(json.dumps(msgpack.unpackb(result["bound_params"])).replace("NaN", "null")
                        .replace("Infinity", "null"))  # fmt: skip
    return {**result, "bound_params": params}


@pytest.mark.parametrize("dialect", ["postgres", "mssql", "MariaDB"])
def test_compile_one_dialect_aligns_values_with_labels(sarnic, files, dialect):
    status, out, err = sarnic("compile", "--dialect", dialect, *files(MODEL, SELECT))
    expected = reference(SELECT, dialect)
    labels = expected["param_type_summary"]
    params = [f"{i}  {label:<10}  {p['type']:<4}  {json.dumps(p['value'], ensure_ascii=False)}"
              for i, (label, p) in enumerate(zip(labels, expected["bound_params"]), start=1)]  # fmt: skip
    assert (status, err) == (0, "")
    assert out.splitlines() == ["operation    select", "", f"{dialect:<13}{expected['sql_text']}",
                                f"fingerprint  {expected['fingerprint']}",
                                *(f"{'params' if i == 0 else '':<13}{p}" for i, p in enumerate(params))]  # fmt: skip


def test_compile_shows_all_dialects_by_default(sarnic, files):
    paths = files(MODEL, SELECT)
    status, out, _ = sarnic("compile", *paths)
    assert (status, out) == sarnic("compile", "--dialect", "ALL", *paths)[:2]
    sql_lines = [line for line in out.splitlines() if line.split(" ", 1)[0] in DIALECTS]
    assert sql_lines == [f"{d:<13}{reference(SELECT, d)['sql_text']}" for d in DIALECTS]
    empty = {**SELECT, "filters": [], "limit": None, "offset": None}
    assert sarnic("compile", *files(MODEL, empty))[1].count("params       (none)\n") == 4


@pytest.mark.parametrize("packed,doc", [(False, SELECT), (True, SELECT), (True, FLOATS)],
                         ids=["json", "msgpack", "msgpack-non-finite"])  # fmt: skip
def test_compile_json_prints_one_result_per_dialect(sarnic, files, packed, doc):
    status, out, _ = sarnic("compile", "--json", *(["--msgpack"] * packed), *files(MODEL, doc, packed=packed))
    objects = [json.loads(line) for line in out.splitlines()]  # strict JSON: no NaN
    assert status == 0 and [o.pop("dialect") for o in objects] == list(DIALECTS)
    assert objects == [reference(doc, d) for d in DIALECTS]


@pytest.mark.parametrize("packed", [False, True], ids=["json", "msgpack"])
@pytest.mark.parametrize("position", [0, 1])
def test_either_input_can_come_from_stdin(sarnic, files, packed, position):
    paths = files(MODEL, SELECT, packed=packed)
    piped, paths[position] = Path(paths[position]).read_bytes(), "-"
    status, out, _ = sarnic("compile", "--json", "--dialect", "sqlite", *["--msgpack"] * packed, *paths, stdin=piped)
    assert (status, json.loads(out)) == (0, {"dialect": "sqlite", **reference(SELECT, "sqlite")})


def test_dialects_that_refuse_are_shown_in_place_and_exit_2(sarnic, files):
    status, out, err = sarnic("compile", *files(MODEL, BULK_UPDATE))
    assert (status, err) == (2, "")
    assert f"postgres     {reference(BULK_UPDATE, 'postgres')['sql_text']}\n" in out
    assert [line for line in out.splitlines() if "MSSQL)" in line] == [
        f"{d:<13}SarnicCompileError: {REFUSED}" for d in DIALECTS[1:]]
    status, out, _ = sarnic("compile", "--json", *files(MODEL, BULK_UPDATE))
    errors = [json.loads(line).get("error") for line in out.splitlines()]
    assert status == 2 and errors == [None] + [{"class": "SarnicCompileError", "message": REFUSED}] * 3


ERRORS = [
    ("unknown dialect", ["compile", "--dialect", "oracle"], [MODEL, SELECT],
     'SarnicCompileError: malformed IR: unknown dialect "oracle"; expected postgres, mysql, sqlite, or mssql'),
    # The same refusal from every dialect is reported once.
    ("unscoped delete", ["compile"], [MODEL, UNSCOPED], "SarnicCompileError: operation 'delete' on model 'Article' "
     "requires at least one filter; use the danger API for unscoped mutations"),
    ("IR not JSON", ["compile"], [MODEL, b"{"], "SarnicCompileError: malformed IR: IR deserialization failed: "),
    ("MessagePack garbage", ["compile", "--msgpack"], [b"\xc1", b""],
     "SarnicCompileError: malformed IR: metadata deserialization failed: "),
    ("not UTF-8", ["compile"], [b"\xff{}", SELECT], "InputError: METADATA "),
    ("both on stdin", ["hydrate"], ["-", "-"], "InputError: only one of METADATA and ROWS can be read from standard"),
    ("missing file", ["compile"], ["no/such.json", SELECT],
     "FileNotFoundError: [Errno 2] No such file or directory: 'no/such.json'"),
    ("line break in a message", ["compile", "--dialect", "sqlite"],
     [MODEL, {**SELECT, "order_by": [{"field": {"name": "a\nb", "index": 9}, "direction": "asc"}]}],
     "SarnicCompileError: unknown field 'a\\nb' on model 'Article'"),
    ("missing column", ["hydrate"], [MODEL, [{"id": 1}]],
     "SarnicHydrationError: column 'title' missing from result set for model 'Article'"),
    ("rows not an array", ["hydrate", "--json"], [MODEL, {"id": 1}], "SarnicHydrationError: rows deserialization error: "),
]  # fmt: skip


@pytest.mark.parametrize("argv,docs,message", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_user_errors_print_one_line_and_exit_2(sarnic, files, argv, docs, message):
    status, out, err = sarnic(*argv, *files(*docs))
    assert (status, out) == (2, "")
    assert err.startswith(message) and err.count("\n") == 1 and err.endswith("\n")


@pytest.mark.parametrize("argv", [[], ["compile", "one-file"], ["frobnicate"], ["hydrate", "--bogus", "a", "b"]])
def test_bad_arguments_exit_2_with_usage(capsys, argv):
    with pytest.raises(SystemExit) as exc:
        cli.main(argv)
    assert exc.value.code == 2 and "usage: sarnic" in capsys.readouterr().err


@pytest.mark.parametrize("packed", [False, True], ids=["json", "msgpack"])
def test_hydrate_prints_the_checked_rows(sarnic, files, packed):
    rows = [{"views": None, "title": "b\tc", "id": 2, "extra": [1, {"k": True}]}, {"title": "x", "id": 10}]
    paths = files(MODEL, rows, packed=packed)
    status, out, _ = sarnic("hydrate", *["--msgpack"] * packed, *paths)
    # Keys in byte order; numbers to the right; a tab escaped; an absent column blank, a null NULL.
    assert (status, out.splitlines()) == (0, [
        "extra           id  title  views",
        "--------------  --  -----  -----",
        '[1,{"k":true}]   2  b\\tc   NULL',
        "                10  x",
        "2 rows",
    ])  # fmt: skip
    out = sarnic("hydrate", "--json", *["--msgpack"] * packed, *paths)[1]
    assert json.loads(out) == _native.hydrate_rows(json.dumps(MODEL), json.dumps(rows))
    empty = msgpack.packb([]) if packed else b"[]"
    assert sarnic("hydrate", *["--msgpack"] * packed, paths[0], "-", stdin=empty) == (0, "0 rows\n", "")


PACKED = [None, True, 0, 127, 128, 256, 65536, 2**32, 2**64 - 1, -1, -32, -33, -129, -32769, -2**31 - 1, -2**63,
          0.5, "", "é" * 40, "x" * 300, "y" * 70000, list(range(16)), list(range(70000)), {"k": {"n": [1]}},
          {str(i): i for i in range(16)}]  # fmt: skip


@pytest.mark.parametrize("value", PACKED, ids=lambda v: type(v).__name__ + str(len(str(v))))
def test_unpack_msgpack_agrees_with_the_reference(value):
    assert cli.unpack_msgpack(msgpack.packb(value)) == msgpack.unpackb(msgpack.packb(value), strict_map_key=False)


@pytest.mark.parametrize("blob", [b"", b"\x92\x01", b"\xa3ab", b"\x01\x02", b"\xc1", b"\xcd\x01",
                                  b"\x91" * 40 + b"\x00", b"\xa2\xff\xfe"])  # fmt: skip
def test_unpack_msgpack_rejects_broken_input(blob):
    with pytest.raises(ValueError):  # UnicodeDecodeError is one too
        cli.unpack_msgpack(blob)


@pytest.mark.parametrize("field,payload,bound", [
    (fields.Bool(), True, True), (fields.Int(), -7, -7), (fields.Float(), 2.5, 2.5), (fields.Text(), "t", "t"),
    (fields.DateTime(), "2024-01-01T10:00:00+02:00", "2024-01-01 08:00:00.000000"),
    (fields.DateTime(timezone=False), "2024-01-01T10:00:00", "2024-01-01 10:00:00.000000"),
    (fields.Time(), "10:00:00", "10:00:00.000000"), (fields.Decimal(), "1.50", "1.5"), (fields.Decimal(), "-0.0", "0"),
    (fields.Bytes(), [0, 255], b"\x00\xff"), (fields.IntArray(), [1, 2], "[1,2]"),
    (fields.TextArray(), ["é"], '["é"]'),
])  # fmt: skip
def test_the_demo_database_binds_values_the_sqlite3_way(field, payload, bound):
    # What the tour's SQLite file stores: fixed-width times, exact decimals, JSON arrays.
    from sarnic.execution.backends.sqlite import _PARAMS

    convert = _PARAMS.get(field.field_type)
    got = payload if convert is None else convert(payload)
    assert got == bound and type(got) is type(bound)


def test_demo_tours_every_operation_quickly(capsys):
    start = time.perf_counter()
    assert demo.run(sys.stdout) == 0 and time.perf_counter() - start < 2
    out = capsys.readouterr().out
    steps = [line.split(". ", 1)[1].split(":")[0] for line in out.splitlines() if line[:3].strip(" .").isdigit()]
    assert steps == ["fill the tables", "select with filters", "a condition tree", "a join", "DISTINCT", "paging",
                     "full-text match and rank", "EXISTS", "insert", "update", "bulk update", "bulk delete",
                     "a transaction rolled back", "delete"]  # fmt: skip
    # Every step shows four dialects (or why one refuses) and what SQLite did.
    assert out.count("\n    mssql     ") == out.count("\n    result    ") == len(steps)
    assert ('    sqlite    SELECT EXISTS(SELECT 1 FROM "posts" WHERE ("author_id" = ? AND "published" = ?))\n'
            in out)  # fmt: skip
    assert "               4  The relational model at fifty   2210\n" in out
    assert "    result    2 rows deleted\n" in out and "    result    9 posts deleted inside, 9 there after" in out
    assert float(out.splitlines()[-1].split()[2]) > 0 and out.splitlines()[-1].startswith("compile speed: ")


@pytest.mark.parametrize("entry", [["sarnic"], ["-m", "sarnic"]], ids=["script", "module"])
def test_entry_points(files, entry):
    command = [str(Path(sys.executable).with_name("sarnic"))] if entry == ["sarnic"] else [sys.executable, *entry]
    proc = subprocess.run([*command, "demo"], capture_output=True, text=True)
    assert (proc.returncode, proc.stderr, proc.stdout[:12]) == (0, "", "sarnic demo:")
    proc = subprocess.run([*command, "compile", *files(MODEL, UNSCOPED)], capture_output=True, text=True)
    assert (proc.returncode, proc.stdout) == (2, "") and proc.stderr.startswith("SarnicCompileError: operation")


def test_a_reader_that_stops_early_gets_no_traceback(files):
    # Far more output than a pipe holds, so the writer meets the closed pipe.
    rows = [[[TITLE, {"type": "text", "value": f"row {i}"}]] for i in range(5000)]
    paths = files(MODEL, {**SELECT, "operation": {"kind": "bulk_insert", "rows": rows}})
    command = f"'{sys.executable}' -m sarnic compile {' '.join(paths)} | head -1; exit ${{PIPESTATUS[0]}}"
    proc = subprocess.run(command, shell=True, capture_output=True, text=True, executable="/bin/bash")
    assert (proc.stdout, proc.stderr, proc.returncode) == ("operation    bulk_insert\n", "", 1)
