"""sarnic against the async ORMs on real databases: one table, bench/orm-results.json.

    python bench/orm/run.py [--quick] [--only WORKLOAD,...] [--engines ENGINE,...] [--output PATH]

Workloads by number or name (by-key, page, many, joined, insert, bulk, update,
concurrent, in-list, counts, upsert, increment, prefetch, tags); engines: postgres, mariadb, sqlite. Every ratio divides two
medians measured in this process, in the same group, on the same rows. See
bench/README.md for the method.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass, field
from importlib import metadata as dist
from pathlib import Path
from typing import Any

import peer_bare
import peer_piccolo
import peer_raw
import peer_sarnic
import peer_sqlalchemy
import peer_tortoise
from engines import Engine, all_engines
from timing import measure
import dataset
import workloads
from workloads import BY_NAME, WORKLOADS, Workload, WrongResult, candidate, expected, plain_result

HERE = Path(__file__).resolve().parent
RAW, BARE, SARNIC, SQLALCHEMY, TORTOISE, PICCOLO = (m.NAME for m in (peer_raw, peer_bare, peer_sarnic, peer_sqlalchemy,
                                                                       peer_tortoise, peer_piccolo))
PEERS = {m.NAME: m for m in (peer_raw, peer_bare, peer_sarnic, peer_sqlalchemy, peer_tortoise, peer_piccolo)}
US = 1e-6


@dataclass
class Row:
    engine: str
    workload: Workload
    #: seconds per call (per query for a rate workload), by peer
    seconds: dict[str, float] = field(default_factory=dict)
    #: why a peer has no figure
    missing: dict[str, str] = field(default_factory=dict)
    targets: list[dict[str, Any]] = field(default_factory=list)

    def ratio(self, peer: str) -> float | None:
        raw = self.seconds.get(RAW)
        t = self.seconds.get(peer)
        if raw is None or t is None:
            return None
        return raw / t if self.workload.rate else t / raw

    def overhead(self, peer: str) -> float | None:
        raw = self.seconds.get(RAW)
        t = self.seconds.get(peer)
        return None if raw is None or t is None else t - raw


# -- targets --------------------------------------------------------------------


def check_targets(row: Row) -> None:
    """sarnic's targets: its overhead against the ORMs', and its time against the driver's."""
    if SARNIC not in row.seconds or RAW not in row.seconds:
        return
    n, ov = row.workload.number, row.overhead(SARNIC)
    ratio = row.ratio(SARNIC)
    assert ov is not None and ratio is not None

    def add(what: str, value: float, limit: float, at_least: bool = False) -> None:
        met = value >= limit if at_least else value <= limit
        row.targets.append({"target": what, "value": value, "limit": limit, "met": met})

    if (sa := row.overhead(SQLALCHEMY)) is not None:
        add("overhead <= 1/4 of SQLAlchemy's", ov, sa / 4)
    orms = [o for o in (row.overhead(TORTOISE), row.overhead(PICCOLO)) if o is not None]
    if orms:
        add("overhead <= 1/2 of the faster of Tortoise and Piccolo", ov, min(orms) / 2)
    if (row.engine == "postgres" and n in (1, 2, 7)) or n == 5:
        add("time <= 1.3 x the driver's", ratio, 1.3)
    if row.engine == "postgres" and n == 1:
        add("overhead <= 30 us", ov, 30 * US)
    if row.engine == "postgres" and n in (1, 2) and (bare := row.seconds.get(BARE)) is not None:
        # Against one connection without a pool: the floor a single query can reach.
        add("time <= 1.2 x the bare connection's", row.seconds[SARNIC] / bare, 1.2)
    if n == 3:
        add("time <= 1.5 x the driver's", ratio, 1.5)
        add("time <= 1.25 x the driver's", ratio, 1.25)
    if row.engine == "mariadb" and n == 6:
        add("time <= 1.15 x the driver's", ratio, 1.15)
    if row.engine == "sqlite" and n == 7:
        add("time <= 1.2 x the driver's", ratio, 1.2)
    if n == 8:
        add("rate >= 0.8 x the driver's", ratio, 0.8, at_least=True)


# -- running --------------------------------------------------------------------


async def open_peers(engine: Engine, names: list[str]) -> tuple[dict[str, Any], dict[str, str]]:
    opened: dict[str, Any] = {}
    missing: dict[str, str] = {}
    for name in names:
        module = PEERS[name]
        if reason := module.unsupported(engine):
            missing[name] = reason
            continue
        peer = module.make(engine)
        try:
            await peer.open()
        except Exception as exc:  # noqa: BLE001 - reported in its cell
            missing[name] = f"cannot open: {type(exc).__name__}: {exc}"
            continue
        opened[name] = peer
    return opened, missing


def options(w: Workload, quick: bool) -> dict[str, Any]:
    slow = w.number in (3, 6, 8, 11, 13)
    if quick:
        # A smoke run: the slow groups (a second or more a round) get two rounds.
        return {"rounds": 5, "min_rounds": 2 if slow else 3, "batch_seconds": 0.02,
                "budget_seconds": 4.0 if slow else 1.5}
    return {"rounds": 21, "min_rounds": 7, "batch_seconds": 0.05, "budget_seconds": 30.0 if slow else 12.0}


async def run_workload(engine: Engine, w: Workload, peers: dict[str, Any], missing: dict[str, str],
                       quick: bool) -> Row:
    row = Row(engine.name, w, missing=dict(missing))
    await engine.check_seed()
    # Each peer first does the job once; only those that return the driver's result are timed.
    reference = await plain_result(w, peers[RAW], engine)
    if (want := expected(w)) is not None and reference != want:
        raise SystemExit(f"bench-orm: the raw driver's {w.label} on {engine.name} is not what the seed says")
    checked = {RAW: peers[RAW]}
    for name, peer in peers.items():
        if name == RAW:
            continue
        try:
            got = await plain_result(w, peer, engine)
            if got != reference:
                raise WrongResult(f"returned {str(got)[:200]}, the driver {str(reference)[:200]}")
        except Exception as exc:  # noqa: BLE001 - a peer that fails is shown as n/a with the reason
            if name == SARNIC and isinstance(exc, WrongResult):
                raise SystemExit(f"bench-orm: sarnic, {w.label} on {engine.name}: {exc}") from exc
            row.missing[name] = f"{type(exc).__name__}: {exc}".splitlines()[0][:300]
            continue
        checked[name] = peer
    medians = await measure([candidate(w, name, peer, engine) for name, peer in checked.items()], **options(w, quick))
    queries = dataset.TASKS * workloads.per_task
    row.seconds = {name: t / queries if w.rate else t for name, t in medians.items()}
    check_targets(row)
    return row


async def run_engine(engine: Engine, chosen: list[Workload], peer_names: list[str], quick: bool) -> list[Row]:
    if reason := engine.unreachable():
        return [Row(engine.name, w, missing={p: reason for p in peer_names}) for w in chosen]
    await engine.create()
    rows = []
    try:
        peers, missing = await open_peers(engine, peer_names)
        try:
            if RAW not in peers:
                raise SystemExit(f"bench-orm: the raw driver cannot run on {engine.name}: {missing.get(RAW)}")
            for w in chosen:
                started = time.perf_counter()
                rows.append(await run_workload(engine, w, peers, missing, quick))
                print(f"  {engine.name} {w.label}: {time.perf_counter() - started:.1f} s", file=sys.stderr)
        finally:
            for peer in peers.values():
                await peer.close()
    finally:
        await engine.drop()
    return rows


# -- report ---------------------------------------------------------------------


def version(package: str) -> str:
    try:
        return dist.version(package)
    except dist.PackageNotFoundError:
        return "not installed"


def machine() -> dict[str, Any]:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    packages = ("sarnic", "asyncpg", "asyncmy", "aiosqlite", "sqlalchemy", "greenlet", "tortoise-orm", "piccolo")
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True, text=True,
                                check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    return {
        "commit": commit,
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "load_average": os.getloadavg(),
        "versions": {p: version(p) for p in packages},
        "servers": {},
    }


def human_time(seconds: float) -> str:
    sign = "-" if seconds < 0 else ""
    seconds = abs(seconds)
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{sign}{seconds / scale:.3g} {unit}"
    return f"{sign}{seconds / 1e-9:.3g} ns"


def cell(row: Row, peer: str) -> str:
    if peer in row.missing:
        return "n/a"
    t = row.seconds.get(peer)
    if t is None:
        return ""
    if row.workload.rate:
        figure = f"{1 / t / 1000:.3g}k q/s"
    else:
        figure = human_time(t)
    if peer == RAW:
        return figure
    ratio, ov = row.ratio(peer), row.overhead(peer)
    assert ratio is not None and ov is not None
    return f"{figure} x{ratio:.2f} {'+' if ov >= 0 else ''}{human_time(ov)}{'/q' if row.workload.rate else ''}"


def status(row: Row) -> str:
    if not row.targets:
        return ""
    missed = [t["target"] for t in row.targets if not t["met"]]
    return "PASS" if not missed else "MISS: " + "; ".join(missed)


def print_table(rows: list[Row], peers: list[str], info: dict[str, Any]) -> None:
    print(f"machine: {info['cpu']}, {info['cpus']} CPUs, {info['system']}, Python {info['python']}, "
          f"load {info['load_average'][0]:.2f} at start, {info['load_average_end'][0]:.2f} at the end")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items()))
    print("servers: " + ", ".join(info["servers"].values()))
    print("cells: median time per call (workload 8: queries per second), x the raw driver's (rate: its share "
          "of the driver's rate), + the time above the driver's (per query for workload 8)")
    header = ("engine", "workload", *peers, "sarnic targets")
    lines = [header] + [(r.engine, r.workload.label, *(cell(r, p) for p in peers), status(r)) for r in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    for i, line in enumerate(lines):
        print("  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    reasons = sorted({(p, r.engine, why) for r in rows for p, why in r.missing.items()})
    for peer, engine, why in reasons:
        print(f"n/a: {peer} on {engine}: {why}")
    targets = [t for r in rows for t in r.targets]
    print(f"sarnic targets: {sum(t['met'] for t in targets)} PASS, {sum(not t['met'] for t in targets)} MISS")


def as_json(rows: list[Row], info: dict[str, Any], args: argparse.Namespace, peers: list[str]) -> dict[str, Any]:
    out = []
    for r in rows:
        results = {}
        for p in peers:
            if p in r.missing:
                results[p] = {"n/a": r.missing[p]}
            elif p in r.seconds:
                t = r.seconds[p]
                entry: dict[str, Any] = {"seconds_per_query" if r.workload.rate else "seconds": t}
                if r.workload.rate:
                    entry["queries_per_second"] = 1 / t
                if p != RAW:
                    entry["ratio_to_raw"] = r.ratio(p)
                    entry["overhead_seconds"] = r.overhead(p)
                results[p] = entry
        out.append({"engine": r.engine, "workload": r.workload.number, "title": r.workload.title,
                    "results": results, "sarnic_targets": r.targets})
    return {"machine": info, "quick": args.quick, "rows": out}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds: a smoke run")
    parser.add_argument("--only", metavar="WORKLOAD,...", help="workloads by number or name")
    parser.add_argument("--engines", metavar="ENGINE,...", default="postgres,mariadb,sqlite")
    parser.add_argument("--peers", metavar="PEER,...", help=f"of: {', '.join(PEERS)} (the raw driver always runs)")
    parser.add_argument("--output", type=Path, default=HERE.parent / "orm-results.json")
    args = parser.parse_args()
    chosen = WORKLOADS
    if args.only:
        unknown = [w for w in args.only.split(",") if w not in BY_NAME]
        if unknown:
            parser.error(f"unknown workload: {', '.join(unknown)}; of: {', '.join(w.name for w in WORKLOADS)}")
        picked = {BY_NAME[w].number for w in args.only.split(",")}
        chosen = [w for w in WORKLOADS if w.number in picked]
    engines = all_engines()
    names = args.engines.split(",")
    if unknown := [e for e in names if e not in engines]:
        parser.error(f"unknown engine: {', '.join(unknown)}; of: {', '.join(engines)}")
    peers = list(PEERS)
    if args.peers:
        wanted = set(args.peers.split(","))
        if unknown := wanted - set(PEERS):
            parser.error(f"unknown peer: {', '.join(sorted(unknown))}")
        peers = [p for p in PEERS if p in wanted or p == RAW]

    # A quick run's burst is one query a task.
    workloads.per_task = 1 if args.quick else dataset.QUERIES_PER_TASK
    started = time.perf_counter()
    info = machine()
    rows: list[Row] = []
    for name in names:
        engine = engines[name]
        rows += asyncio.run(run_engine(engine, chosen, peers, args.quick))
        info["servers"][name] = engine.server or "not reached"
    info["load_average_end"] = os.getloadavg()
    info["seconds"] = round(time.perf_counter() - started, 1)
    print_table(rows, peers, info)
    args.output.write_text(json.dumps(as_json(rows, info, args, peers), indent=2) + "\n")
    print(f"{args.output} written in {info['seconds']} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
