"""sarnic benchmarks: prints one table of ratios and writes bench/results.json.

    python bench/run.py [--quick] [--only NAME,...] [--strict] [--output PATH]

Every ratio divides two medians measured in the same group, in this process,
on the same inputs. See bench/README.md for the method.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Mapping
from dataclasses import asdict, dataclass
from importlib import metadata as dist
from pathlib import Path
from typing import Any

import msgpack
import msgspec
import orjson
import ormsgpack

import equivalence
import inputs
import peers
from harness import Candidate, measure
from orm_compile import orm_workload
from sarnic import _native

HERE = Path(__file__).resolve().parent
DIALECTS = ("postgres", "mysql", "sqlite", "mssql")
SCALING_ROWS = (1_000, 10_000, 100_000)
MEMORY_ROWS = 100_000


@dataclass
class Comparison:
    workload: str
    subject: str
    subject_s: float
    reference: str
    reference_s: float
    limit: float | None = None  # the target: ratio must not exceed it

    @property
    def ratio(self) -> float:
        return self.subject_s / self.reference_s

    @property
    def met(self) -> bool | None:
        return None if self.limit is None else self.ratio <= self.limit


class Report:
    def __init__(self) -> None:
        self.rows: list[Comparison] = []
        self.timings: dict[str, dict[str, float]] = {}

    def group(self, workload: str, candidates: list[Candidate], **options: Any) -> dict[str, float]:
        medians = measure(candidates, **options)
        self.timings[workload] = medians
        return medians

    def compare(self, workload: str, t: dict[str, float], subject: str, reference: str | list[str],
                limit: float | None = None) -> None:  # fmt: skip
        """A ratio to one reference, or to the fastest of several."""
        if isinstance(reference, list):
            reference = min(reference, key=t.__getitem__)
            label = f"fastest: {reference}"
        else:
            label = reference
        self.rows.append(Comparison(workload, subject, t[subject], label, t[reference], limit))


# ---- checks: each workload first proves that every candidate does the same job


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"bench: wrong result: {what}")


def bound_values_json(result: Mapping[str, Any]) -> list[Any]:
    return [json.loads(p).get("value") for p in result["bound_params"]]


def bound_values_msgpack(result: Mapping[str, Any]) -> list[Any]:
    return [p.get("value") for p in msgpack.unpackb(result["bound_params"])]


def check_same_compile(from_json: Mapping[str, Any], from_msgpack: Mapping[str, Any], what: str) -> None:
    for key in ("sql_text", "param_type_summary", "fingerprint", "operation"):
        check(from_json[key] == from_msgpack[key], f"{what}: {key} differs between JSON and MessagePack")
    check(bound_values_json(from_json) == bound_values_msgpack(from_msgpack), f"{what}: bound values differ")


def check_peer(ours: Mapping[str, Any], peer: Callable[[], tuple[str, list[Any]]], dialect: str, what: str,
               table: str = "articles") -> None:  # fmt: skip
    """A peer is timed only once it is seen to build our statement."""
    theirs = peer()
    ok = equivalence.same_statement((ours["sql_text"], bound_values_json(ours)), theirs, dialect, table)
    check(ok, f"{what}: the peer builds another statement: {theirs[0]!r}")


def sorted_rows(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    return [dict(sorted(row.items(), key=lambda kv: kv[0].encode())) for row in rows]


# ---- workloads


def json_floor(metadata_json: str, ir_json: str) -> None:
    json.loads(metadata_json)
    json.loads(ir_json)


def select_workload(report: Report, quick: bool) -> None:
    metadata, ir = inputs.encode(inputs.ARTICLES), inputs.encode(inputs.PAGED_SELECT)
    for dialect in DIALECTS:
        from_json = _native.compile_query(metadata.json, ir.json, dialect)
        from_msgpack = _native.compile_query_msgpack(metadata.msgpack, ir.msgpack, dialect)
        check(from_json["sql_text"] == inputs.PAGED_SQL[dialect], f"select {dialect}: {from_json['sql_text']}")
        check(bound_values_json(from_json) == inputs.PAGED_VALUES[dialect], f"select {dialect}: bound values")
        check_same_compile(from_json, from_msgpack, f"select {dialect}")
        sa_dialect = peers.sqlalchemy_dialect(dialect)
        peer_builders = {
            "sqlalchemy uncached": peers.compile_uncached(peers.paged_select, sa_dialect),
            "sqlalchemy cached": peers.compile_cached(peers.paged_select, sa_dialect),
            "pypika": peers.pypika_paged_select(dialect),
        }
        for name, build in peer_builders.items():
            check_peer(from_json, build, dialect, f"select {dialect} {name}")

        t = report.group(
            f"select {dialect}",
            [
                Candidate("compile_query", _native.compile_query, (metadata.json, ir.json, dialect)),
                Candidate("compile_query_msgpack", _native.compile_query_msgpack,
                          (metadata.msgpack, ir.msgpack, dialect)),  # fmt: skip
                *(Candidate(name, build) for name, build in peer_builders.items()),
                Candidate("json floor", json_floor, (metadata.json, ir.json)),
            ],
            rounds=9 if quick else 41,
            budget_seconds=1.5 if quick else 5.0,
        )
        w = f"select {dialect}"
        report.compare(w, t, "compile_query", "sqlalchemy uncached", 1 / 40)
        report.compare(w, t, "compile_query", "json floor", 1.0)
        report.compare(w, t, "compile_query_msgpack", "compile_query", 0.8)
        report.compare(w, t, "compile_query", "sqlalchemy cached")
        report.compare(w, t, "compile_query", "pypika")


def join_search_vector_workload(report: Report, quick: bool) -> None:
    metadata = inputs.encode(inputs.ARTICLES)
    sa_dialect = peers.sqlalchemy_dialect("postgres")
    cases = {
        "join+tree+rank": (inputs.JOINED_RANKED_SELECT, peers.joined_ranked_select),
        "nearest": (inputs.NEAREST_SELECT, peers.nearest_select),
    }
    for name, (ir_value, build) in cases.items():
        ir = inputs.encode(ir_value)
        from_json = _native.compile_query(metadata.json, ir.json, "postgres")
        check_same_compile(from_json, _native.compile_query_msgpack(metadata.msgpack, ir.msgpack, "postgres"), name)
        uncached, cached = peers.compile_uncached(build, sa_dialect), peers.compile_cached(build, sa_dialect)
        check_peer(from_json, uncached, "postgres", f"{name} sqlalchemy uncached")
        check_peer(from_json, cached, "postgres", f"{name} sqlalchemy cached")
        t = report.group(
            f"{name} postgres",
            [
                Candidate("compile_query", _native.compile_query, (metadata.json, ir.json, "postgres")),
                Candidate("compile_query_msgpack", _native.compile_query_msgpack,
                          (metadata.msgpack, ir.msgpack, "postgres")),  # fmt: skip
                Candidate("sqlalchemy uncached", uncached),
                Candidate("sqlalchemy cached", cached),
                Candidate("json floor", json_floor, (metadata.json, ir.json)),
            ],
            rounds=9 if quick else 41,
            budget_seconds=1.5 if quick else 4.0,
        )
        w = f"{name} postgres"
        report.compare(w, t, "compile_query", "sqlalchemy uncached")
        report.compare(w, t, "compile_query", "sqlalchemy cached")
        report.compare(w, t, "compile_query", "json floor")
        report.compare(w, t, "compile_query_msgpack", "compile_query")


def bulk_insert_workload(report: Report, quick: bool, rows: int = 10_000) -> None:
    metadata, ir = inputs.bulk_insert_documents(rows)
    from_json = _native.compile_query(metadata.json, ir.json, "postgres")
    check_same_compile(from_json, _native.compile_query_msgpack(metadata.msgpack, ir.msgpack, "postgres"), "bulk")
    check(len(from_json["bound_params"]) == rows * len(inputs.EVENT_COLUMNS), "bulk insert: parameter count")
    check(from_json["sql_text"].endswith(f"${rows * 5 - 1}, ${rows * 5})"), "bulk insert: last tuple")
    sa_dialect = peers.sqlalchemy_dialect("postgres")
    sa_insert = peers.bulk_insert([inputs.event_row(i) for i in range(rows)], sa_dialect)
    check(sa_insert()[1] == bound_values_json(from_json), "bulk insert: SQLAlchemy binds other values")
    # The statement's shape, on a batch small enough to parse.
    small_metadata, small_ir = inputs.bulk_insert_documents(3)
    check_peer(_native.compile_query(small_metadata.json, small_ir.json, "postgres"),
               peers.bulk_insert([inputs.event_row(i) for i in range(3)], sa_dialect), "postgres",
               "bulk insert sqlalchemy", table="events")  # fmt: skip
    t = report.group(
        "bulk insert 10k",
        [
            Candidate("compile_query", _native.compile_query, (metadata.json, ir.json, "postgres")),
            Candidate("compile_query_msgpack", _native.compile_query_msgpack, (metadata.msgpack, ir.msgpack, "postgres")),
            Candidate("sqlalchemy insert().values", sa_insert),
            Candidate("json.loads(ir)", json.loads, (ir.json,)),
        ],  # fmt: skip
        rounds=5 if quick else 11,
        budget_seconds=3.0 if quick else 10.0,
    )
    w = "bulk insert 10k"
    report.compare(w, t, "compile_query", "json.loads(ir)", 1.0)
    report.compare(w, t, "compile_query_msgpack", "json.loads(ir)")
    report.compare(w, t, "compile_query", "sqlalchemy insert().values")
    report.compare(w, t, "compile_query_msgpack", "compile_query")


# The fastest decoder of each encoding sets the 1.5x target; the others are reported beside it.
JSON_PEERS = ["json.loads", "orjson.loads", "msgspec.json.decode"]
MSGPACK_PEERS = ["msgpack.unpackb", "ormsgpack.unpackb", "msgspec.msgpack.decode"]


def hydrate_workload(report: Report, quick: bool, rows: int = 10_000) -> None:
    metadata, batch = inputs.hydrate_documents(rows)
    expected = sorted_rows(json.loads(batch.json))
    for got in (_native.hydrate_rows(metadata.json, batch.json),
                _native.hydrate_rows_msgpack(metadata.msgpack, batch.msgpack)):  # fmt: skip
        check(got == expected and list(got[0]) == list(expected[0]), "hydrate: rows differ from json.loads")
    t = report.group(
        "hydrate 10k",
        [
            Candidate("hydrate_rows", _native.hydrate_rows, (metadata.json, batch.json)),
            Candidate("hydrate_rows_msgpack", _native.hydrate_rows_msgpack, (metadata.msgpack, batch.msgpack)),
            Candidate("json.loads", json.loads, (batch.json,)),
            Candidate("orjson.loads", orjson.loads, (batch.json,)),
            Candidate("msgspec.json.decode", msgspec.json.decode, (batch.json,)),
            Candidate("msgpack.unpackb", msgpack.unpackb, (batch.msgpack,)),
            Candidate("ormsgpack.unpackb", ormsgpack.unpackb, (batch.msgpack,)),
            Candidate("msgspec.msgpack.decode", msgspec.msgpack.decode, (batch.msgpack,)),
        ],
        rounds=5 if quick else 31,
        budget_seconds=3.0 if quick else 10.0,
    )
    w = "hydrate 10k"
    for subject, floor, peer_names in (("hydrate_rows", "json.loads", JSON_PEERS),
                                       ("hydrate_rows_msgpack", "msgpack.unpackb", MSGPACK_PEERS)):  # fmt: skip
        report.compare(w, t, subject, floor, 0.8)
        fastest = min(peer_names, key=t.__getitem__)
        report.compare(w, t, subject, peer_names, 1.5)
        for peer in peer_names:
            if peer not in (floor, fastest):
                report.compare(w, t, subject, peer)


def scaling_workload(report: Report, quick: bool) -> None:
    """Per-row time of one entry point at each size, all sizes in one group,
    beside the same figure for the stdlib or msgpack decoder of the same
    documents: how much of the growth the machine's memory alone brings."""
    entries: dict[str, tuple[Callable[[int], Any], Callable[..., Any], str, Callable[[Any], Any], str]] = {
        "bulk insert compile_query": (inputs.bulk_insert_documents, _native.compile_query, "json", json.loads, "json.loads(ir)"),
        "bulk insert compile_query_msgpack": (inputs.bulk_insert_documents, _native.compile_query_msgpack, "msgpack",
                                              msgpack.unpackb, "msgpack.unpackb(ir)"),
        "hydrate_rows": (inputs.hydrate_documents, _native.hydrate_rows, "json", json.loads, "json.loads"),
        "hydrate_rows_msgpack": (inputs.hydrate_documents, _native.hydrate_rows_msgpack, "msgpack",
                                 msgpack.unpackb, "msgpack.unpackb"),
    }  # fmt: skip
    smallest, largest = SCALING_ROWS[0], SCALING_ROWS[-1]
    for name, (documents, func, encoding, peer, peer_name) in entries.items():
        candidates = []
        for rows in SCALING_ROWS:
            metadata, doc = documents(rows)
            args: tuple[Any, ...] = (getattr(metadata, encoding), getattr(doc, encoding))
            if func in (_native.compile_query, _native.compile_query_msgpack):
                args += ("postgres",)
            candidates.append(Candidate(f"{name} {rows}", func, args))
            if rows in (smallest, largest):
                candidates.append(Candidate(f"{peer_name} {rows}", peer, (getattr(doc, encoding),)))
        t = report.group(f"scaling {name}", candidates, rounds=5 if quick else 9,
                         budget_seconds=3.0 if quick else 8.0)  # fmt: skip
        per_row = {k: v / int(k.rsplit(" ", 1)[1]) for k, v in t.items()}
        w = f"scaling {name} (per row)"
        for label, subject, limit in ((func.__name__, name, 1.25), (peer_name, peer_name, None)):
            report.rows.append(Comparison(w, f"{label} at {largest:,} rows", per_row[f"{subject} {largest}"],
                                          f"at {smallest:,} rows", per_row[f"{subject} {smallest}"], limit))  # fmt: skip


def memory_workload(report: Report) -> dict[str, Any]:
    """Peak memory of the 100,000-row bulk insert compile, each encoding in a fresh process."""
    metadata, ir = inputs.bulk_insert_documents(MEMORY_ROWS)
    found: dict[str, Any] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for encoding in ("json", "msgpack"):
            paths = []
            for label, doc in (("metadata", metadata), ("ir", ir)):
                path = Path(tmp) / f"{label}.{encoding}"
                value = getattr(doc, encoding)
                path.write_bytes(value.encode() if isinstance(value, str) else value)
                paths.append(str(path))
            out = subprocess.run(
                [sys.executable, str(HERE / "peak_memory.py"), encoding, *paths, "postgres"],
                check=True, capture_output=True, text=True,
            )  # fmt: skip
            m = json.loads(out.stdout)
            found[encoding] = m
            entry = "compile_query" if encoding == "json" else "compile_query_msgpack"
            report.rows.append(Comparison(
                "memory bulk insert 100k", f"{entry} peak RSS growth", m["growth_bytes"],
                "input + output bytes", m["input_bytes"] + m["output_bytes"], 3.0,
            ))  # fmt: skip
    return found


WORKLOADS: dict[str, Callable[..., Any]] = {
    "select": select_workload,
    "join": join_search_vector_workload,
    "orm": orm_workload,
    "bulk": bulk_insert_workload,
    "hydrate": hydrate_workload,
    "scaling": scaling_workload,
    "memory": memory_workload,
}


# ---- report


def machine() -> dict[str, Any]:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = {}
    for package in ("sqlalchemy", "pypika", "orjson", "msgspec", "msgpack", "ormsgpack"):
        try:
            versions[package] = dist.version(package)
        except dist.PackageNotFoundError:
            versions[package] = "?"
    return {
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "load_average": os.getloadavg(),
        "peers": versions,
    }


def human(workload: str, seconds: float) -> str:
    if workload.startswith("memory"):
        return f"{seconds / 2**20:.1f} MiB"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def print_table(report: Report, info: dict[str, Any]) -> None:
    print(f"machine: {info['cpu']}, {info['cpus']} CPUs, {info['system']}, Python {info['python']}, "
          f"load {info['load_average'][0]:.2f} at start")  # fmt: skip
    print("peers: " + ", ".join(f"{k} {v}" for k, v in info["peers"].items()))
    header = ("workload", "subject", "median", "reference", "median", "ratio", "target", "")
    lines = [header]
    for c in report.rows:
        target = "" if c.limit is None else f"<= {c.limit:.3g}"
        status = "" if c.met is None else ("PASS" if c.met else "MISS")
        lines.append((c.workload, c.subject, human(c.workload, c.subject_s), c.reference,
                      human(c.workload, c.reference_s), f"{c.ratio:.3g}", target, status))  # fmt: skip
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    for i, line in enumerate(lines):
        print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    targets = [c for c in report.rows if c.met is not None]
    missed = [c for c in targets if not c.met]
    print(f"targets: {len(targets) - len(missed)} PASS, {len(missed)} MISS")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds: a smoke run, not figures to quote")
    parser.add_argument("--output", type=Path, default=HERE / "results.json")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    parser.add_argument("--only", metavar="NAME,...", help=f"run only these workloads, of: {', '.join(WORKLOADS)}")
    args = parser.parse_args()
    chosen = args.only.split(",") if args.only else list(WORKLOADS)
    if unknown := set(chosen) - set(WORKLOADS):
        parser.error(f"unknown workload: {', '.join(sorted(unknown))}")

    started = time.perf_counter()
    info = machine()
    report = Report()
    memory: dict[str, Any] = {}
    for name in chosen:
        if name == "memory":
            memory = memory_workload(report)
        else:
            WORKLOADS[name](report, args.quick)
    info["load_average_end"] = os.getloadavg()
    info["seconds"] = round(time.perf_counter() - started, 1)

    print_table(report, info)
    args.output.write_text(json.dumps({
        "machine": info,
        "quick": args.quick,
        "workloads": chosen,
        "medians_seconds": report.timings,
        "memory": memory,
        "comparisons": [{**asdict(c), "ratio": c.ratio, "met": c.met} for c in report.rows],
    }, indent=2) + "\n")  # fmt: skip
    print(f"{args.output} written in {info['seconds']} s")
    missed = any(c.met is False for c in report.rows)
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
