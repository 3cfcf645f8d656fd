"""The `sarnic` command: compile an IR in one or every dialect, check a row
batch, or run the demo tour.

User errors (unreadable input, anything the compiler or the row check refuses)
print one line, the exception class and its message, and exit with status 2.
"""

from __future__ import annotations

import argparse
import json
import struct
import sys
from collections.abc import Sequence
from typing import Any, TextIO

from sarnic import _native
from sarnic.terminal import DIALECTS, finite, format_table, show_value

USER_ERROR = 2
LABEL = 13  # width of the label column of the compile output

_SARNIC_ERRORS = (_native.SarnicCompileError, _native.SarnicHydrationError, _native.SarnicInternalError)


class InputError(Exception):
    """An input file that cannot be handed to the compiler at all."""


# ---------------------------------------------------------------- input


def _read(path: str, what: str, binary: bool) -> str | bytes:
    if path == "-":
        data = sys.stdin.buffer.read()
        path = "<stdin>"
    else:
        with open(path, "rb") as handle:
            data = handle.read()
    if binary:
        return data
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise InputError(f"{what} {path} is not UTF-8 text (byte {exc.start}: {exc.reason})") from None


def _read_pair(first: str, second: str, names: tuple[str, str], binary: bool) -> tuple[Any, Any]:
    if first == "-" and second == "-":
        raise InputError(f"only one of {names[0]} and {names[1]} can be read from standard input")
    return _read(first, names[0], binary), _read(second, names[1], binary)


# ---------------------------------------------------------------- MessagePack

# The compiler hands bound_params back as one MessagePack blob; this reads it
# back without a runtime dependency. The blob is an array of small maps, so a
# shallow depth bound is plenty.
_MAX_DEPTH = 32


def unpack_msgpack(blob: bytes) -> Any:
    value, end = _unpack(memoryview(blob), 0, 0)
    if end != len(blob):
        raise ValueError(f"trailing bytes after the MessagePack value at offset {end}")
    return value


def _take(buf: memoryview, pos: int, size: int) -> tuple[memoryview, int]:
    if pos + size > len(buf):
        raise ValueError("truncated MessagePack value")
    return buf[pos : pos + size], pos + size


def _unpack(buf: memoryview, pos: int, depth: int) -> tuple[Any, int]:
    if depth > _MAX_DEPTH:
        raise ValueError("MessagePack value nested too deeply")
    head, pos = _take(buf, pos, 1)
    b = head[0]
    if b <= 0x7F:
        return b, pos
    if b >= 0xE0:
        return b - 0x100, pos
    if 0xA0 <= b <= 0xBF:
        return _text(buf, pos, b & 0x1F)
    if 0x90 <= b <= 0x9F:
        return _array(buf, pos, b & 0x0F, depth)
    if 0x80 <= b <= 0x8F:
        return _map(buf, pos, b & 0x0F, depth)
    simple = {0xC0: None, 0xC2: False, 0xC3: True}
    if b in simple:
        return simple[b], pos
    fixed = {0xCA: ">f", 0xCB: ">d", 0xCC: ">B", 0xCD: ">H", 0xCE: ">I", 0xCF: ">Q",
             0xD0: ">b", 0xD1: ">h", 0xD2: ">i", 0xD3: ">q"}  # fmt: skip
    if b in fixed:
        raw, pos = _take(buf, pos, struct.calcsize(fixed[b]))
        return struct.unpack(fixed[b], raw)[0], pos
    sized = {0xD9: (">B", "str"), 0xDA: (">H", "str"), 0xDB: (">I", "str"),
             0xC4: (">B", "bin"), 0xC5: (">H", "bin"), 0xC6: (">I", "bin"),
             0xDC: (">H", "array"), 0xDD: (">I", "array"), 0xDE: (">H", "map"), 0xDF: (">I", "map")}  # fmt: skip
    if b in sized:
        fmt, kind = sized[b]
        raw, pos = _take(buf, pos, struct.calcsize(fmt))
        n = struct.unpack(fmt, raw)[0]
        if kind == "str":
            return _text(buf, pos, n)
        if kind == "bin":
            data, pos = _take(buf, pos, n)
            return list(bytes(data)), pos
        return (_array if kind == "array" else _map)(buf, pos, n, depth)
    raise ValueError(f"unsupported MessagePack marker 0x{b:02x}")


def _text(buf: memoryview, pos: int, n: int) -> tuple[str, int]:
    raw, pos = _take(buf, pos, n)
    return bytes(raw).decode("utf-8"), pos


def _array(buf: memoryview, pos: int, n: int, depth: int) -> tuple[list[Any], int]:
    items = []
    for _ in range(n):
        item, pos = _unpack(buf, pos, depth + 1)
        items.append(item)
    return items, pos


def _map(buf: memoryview, pos: int, n: int, depth: int) -> tuple[dict[Any, Any], int]:
    out = {}
    for _ in range(n):
        key, pos = _unpack(buf, pos, depth + 1)
        out[key], pos = _unpack(buf, pos, depth + 1)
    return out, pos


# ---------------------------------------------------------------- display


def decode_params(bound_params: list[str] | bytes) -> list[dict[str, Any]]:
    """The tagged bind values of either result form: JSON texts or one MessagePack blob."""
    if isinstance(bound_params, bytes):
        decoded = unpack_msgpack(bound_params)
        assert isinstance(decoded, list)
        return decoded
    return [json.loads(p) for p in bound_params]


def _compile_one(metadata: str | bytes, ir: str | bytes, dialect: str) -> dict[str, Any]:
    if isinstance(metadata, bytes) and isinstance(ir, bytes):
        return dict(_native.compile_query_msgpack(metadata, ir, dialect))
    assert isinstance(metadata, str) and isinstance(ir, str)
    return dict(_native.compile_query(metadata, ir, dialect))


def _error_line(exc: BaseException) -> str:
    message = str(exc).replace("\r", "\\r").replace("\n", "\\n")
    return f"{type(exc).__name__}: {message}"


def _compile_all(args: argparse.Namespace) -> list[tuple[str, dict[str, Any] | BaseException]]:
    metadata, ir = _read_pair(args.metadata, args.ir, ("METADATA", "IR"), args.msgpack)
    dialects = DIALECTS if args.dialect.lower() == "all" else (args.dialect,)
    results: list[tuple[str, dict[str, Any] | BaseException]] = []
    for dialect in dialects:
        try:
            result = _compile_one(metadata, ir, dialect)
        except _SARNIC_ERRORS as exc:
            results.append((dialect, exc))
            continue
        results.append((dialect, {**result, "bound_params": decode_params(result["bound_params"])}))
    return results


def _print_params(out: TextIO, result: dict[str, Any]) -> None:
    params, labels = result["bound_params"], result["param_type_summary"]
    if not params:
        out.write(f"{'params':<{LABEL}}(none)\n")
        return
    width = max(len(label) for label in labels)
    type_width = max(len(p["type"]) for p in params)
    number_width = len(str(len(params)))
    for i, (param, label) in enumerate(zip(params, labels), start=1):
        head = "params" if i == 1 else ""
        value = show_value(param.get("value"))
        out.write(f"{head:<{LABEL}}{i:>{number_width}}  {label:<{width}}  {param['type']:<{type_width}}"
                  f"  {value}\n")  # fmt: skip


def cmd_compile(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """With several dialects, one that refuses the IR is shown in its place and
    the others still print; any refusal makes the exit status 2."""
    results = _compile_all(args)
    failures = [r for _, r in results if isinstance(r, BaseException)]
    distinct = {_error_line(e) for e in failures}
    if len(failures) == len(results) and len(distinct) == 1:
        # The same refusal everywhere is one error, not four.
        err.write(distinct.pop() + "\n")
        return USER_ERROR
    if args.json:
        for dialect, result in results:
            if isinstance(result, BaseException):
                error = {"class": type(result).__name__, "message": str(result)}
                doc: dict[str, Any] = {"dialect": dialect, "error": error}
            else:
                doc = {"dialect": dialect, **result}
            out.write(json.dumps(finite(doc), ensure_ascii=False) + "\n")
        return USER_ERROR if failures else 0

    operations = {r["operation"] for _, r in results if isinstance(r, dict)}
    out.write(f"{'operation':<{LABEL}}{', '.join(sorted(operations))}\n")
    for dialect, result in results:
        out.write("\n")
        if isinstance(result, BaseException):
            out.write(f"{dialect:<{LABEL}}{_error_line(result)}\n")
            continue
        out.write(f"{dialect:<{LABEL}}{result['sql_text']}\n")
        out.write(f"{'fingerprint':<{LABEL}}{result['fingerprint']}\n")
        _print_params(out, result)
    return USER_ERROR if failures else 0


# ---------------------------------------------------------------- hydrate


def cmd_hydrate(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    metadata, rows_doc = _read_pair(args.metadata, args.rows, ("METADATA", "ROWS"), args.msgpack)
    hydrate = _native.hydrate_rows_msgpack if args.msgpack else _native.hydrate_rows
    rows = hydrate(metadata, rows_doc)
    if args.json:
        out.write(json.dumps(finite(rows), ensure_ascii=False) + "\n")
        return 0
    for line in format_table(rows):
        out.write(line + "\n")
    out.write(f"{len(rows)} row{'' if len(rows) == 1 else 's'}\n")
    return 0


def cmd_demo(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from sarnic import demo

    return demo.run(out)


# ---------------------------------------------------------------- entry


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sarnic",
        description="Compile sarnic query IRs to SQL, check row batches, or run the demo tour.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    compile_ = sub.add_parser(
        "compile",
        help="print the SQL, bound values, labels, fingerprint and operation of an IR",
        description="Compile a query IR against model metadata. FILE may be - for standard input.",
    )
    compile_.add_argument("--dialect", default="all", metavar="NAME",
                          help="postgres, mysql (mariadb), sqlite, mssql (sqlserver), or all (default)")  # fmt: skip
    compile_.add_argument("--msgpack", action="store_true", help="the input files are MessagePack, not JSON")
    compile_.add_argument("--json", action="store_true", help="print one JSON object per dialect, for scripts")
    compile_.add_argument("metadata", metavar="METADATA", help="model metadata file, or -")
    compile_.add_argument("ir", metavar="IR", help="query IR file, or -")
    compile_.set_defaults(run=cmd_compile)

    hydrate = sub.add_parser(
        "hydrate",
        help="check a batch of fetched rows against the model and print them",
        description="Check a row batch (an array of objects keyed by column) against model metadata.",
    )
    hydrate.add_argument("--msgpack", action="store_true", help="the input files are MessagePack, not JSON")
    hydrate.add_argument("--json", action="store_true", help="print the rows as one JSON array")
    hydrate.add_argument("metadata", metavar="METADATA", help="model metadata file, or -")
    hydrate.add_argument("rows", metavar="ROWS", help="row batch file, or -")
    hydrate.set_defaults(run=cmd_hydrate)

    demo = sub.add_parser(
        "demo",
        help="a tour of every operation on an in-memory SQLite blog",
        description="Build a small blog in an in-memory SQLite database and run every operation, compiled by sarnic.",
    )
    demo.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out, err = sys.stdout, sys.stderr
    try:
        status: int = args.run(args, out, err)
        out.flush()
    except (*_SARNIC_ERRORS, InputError, OSError) as exc:
        if isinstance(exc, BrokenPipeError):
            return _broken_pipe()
        err.write(_error_line(exc) + "\n")
        return USER_ERROR
    except KeyboardInterrupt:
        return 130
    return status


def _broken_pipe() -> int:
    # The reader went away (sarnic ... | head): stop quietly, and keep the
    # interpreter from complaining again when it flushes stdout at exit.
    import os

    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return 1


if __name__ == "__main__":
    sys.exit(main())
