"""Requests per second of the article lists, and the share of a request's
time spent in sarnic.

    python examples/conduit/bench/bench.py sqlite:///build/bench.db [--seconds 10] [--clients 32]
    python examples/conduit/bench/bench.py postgresql://postgres@127.0.0.1/conduit_bench

Serves the app on a free port of 127.0.0.1 on a database of its own (it
drops the app's tables before and after: never point it at one in use),
seeds 500 articles (21 users, three tags each, favorites, a viewer who
follows half the authors), runs wrk against GET /api/articles and
GET /api/articles/feed as the viewer, then serves again under cProfile for
a bounded run of requests and sums the profile's own time by package.
Every request goes to the loopback address; each run is bounded in time.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import pstats
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from collections import Counter
from pathlib import Path

import sarnic

HERE = Path(__file__).resolve().parent
APP = HERE.parent
PATHS = ("/api/articles", "/api/articles/feed")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def call(base: str, method: str, path: str, body: object = None, token: str | None = None) -> object:
    req = urllib.request.Request(base + path, method=method, data=None if body is None else json.dumps(body).encode(),
                                 headers={"Content-Type": "application/json",
                                          **({"Authorization": f"Token {token}"} if token else {})})
    with urllib.request.urlopen(req, timeout=30) as r:
        return json.loads(r.read() or b"null")


async def empty(url: str) -> None:
    sys.path.insert(0, str(APP))
    from conduit.models import ALL

    async with sarnic.connect(url) as db:
        await db.drop_tables(*ALL)


def serve(url: str, port: int, profile: str | None = None) -> subprocess.Popen[bytes]:
    env = {**os.environ, "CONDUIT_DATABASE_URL": url, "CONDUIT_PORT": str(port), "CONDUIT_SECRET": "bench" * 8,
           "CONDUIT_LOG_LEVEL": "warning", "PYTHONPATH": str(APP)}
    args = [sys.executable, *(["-m", "cProfile", "-o", profile] if profile else []), "-m", "conduit"]
    proc = subprocess.Popen(args, env=env)
    for _ in range(200):
        try:
            urllib.request.urlopen(f"http://127.0.0.1:{port}/api/tags", timeout=1).read()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise SystemExit("the app did not start")


def seed(base: str) -> str:
    tokens = []
    for n in range(21):
        user = call(base, "POST", "/api/users", {"user": {"username": f"u{n}", "email": f"u{n}@b.io", "password": "pw"}})
        tokens.append(user["user"]["token"])  # type: ignore[index]
    viewer, authors = tokens[0], tokens[1:]
    for n in range(1, 21, 2):
        call(base, "POST", f"/api/profiles/u{n}/follow", token=viewer)
    for i in range(500):
        art = call(base, "POST", "/api/articles", {"article": {
            "title": f"article {i}", "description": "d", "body": "b" * 500,
            "tagList": [f"t{i % 7}", f"s{i % 13}", "all"]}}, token=authors[i % 20])
        if i % 3 == 0:
            slug = art["article"]["slug"]  # type: ignore[index]
            for t in (viewer, authors[(i + 1) % 20]):
                call(base, "POST", f"/api/articles/{slug}/favorite", token=t)
    return viewer


def wrk(base: str, path: str, token: str, seconds: int, clients: int) -> float:
    out = subprocess.run(["wrk", "-t2", f"-c{clients}", f"-d{seconds}s", "--timeout", "10s",
                          "-H", f"Authorization: Token {token}", base + path],
                         capture_output=True, text=True, timeout=seconds + 60, check=True).stdout
    if "Non-2xx" in out:
        raise SystemExit(f"{path}: failed requests\n{out}")
    return float(re.search(r"Requests/sec:\s*([\d.]+)", out).group(1))  # type: ignore[union-attr]


def package(file: str) -> str:
    m = re.search(r"site-packages/([A-Za-z_0-9]+)", file) or re.search(r"/(conduit)/", file)
    return m.group(1) if m else "stdlib"


def share(profile: str) -> Counter[str]:
    """Own time by package, the event loop's wait and the imports left out.
    A C function's time (the core's compile and hydrate calls, json, the
    drivers' C parts) goes to the package of the Python code that called it."""
    by: Counter[str] = Counter()
    for (file, _, name), (_, _, own, _, callers) in pstats.Stats(profile).stats.items():  # type: ignore[attr-defined]
        if name in ("<method 'poll' of 'select.epoll' objects>", "<module>") or "importlib" in file:
            continue  # waiting for requests, and the imports at start
        if file != "~":
            by[package(file)] += own
            continue
        for (caller_file, _, _), (_, _, caller_own, _) in callers.items():
            if "importlib" not in caller_file:
                by[package(caller_file)] += caller_own
    return by


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("url")
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--clients", type=int, default=32)
    ap.add_argument("--profiled", type=int, default=400, help="requests per path under the profiler")
    a = ap.parse_args()
    asyncio.run(empty(a.url))
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    proc = serve(a.url, port)
    try:
        token = seed(base)
        for path in PATHS:
            print(f"{path}: {wrk(base, path, token, a.seconds, a.clients):.0f} requests/s")
    finally:
        proc.send_signal(signal.SIGINT)
        proc.wait(30)
    profile = tempfile.mktemp(suffix=".prof")
    proc = serve(a.url, port, profile)
    try:
        for path in PATHS:
            for _ in range(a.profiled):
                call(base, "GET", path, token=token)
    finally:
        proc.send_signal(signal.SIGINT)
        proc.wait(60)
    by = share(profile)
    total = sum(by.values())
    print("own time by package: " + ", ".join(f"{k} {v / total:.0%}" for k, v in by.most_common(8)))
    os.unlink(profile)
    asyncio.run(empty(a.url))


if __name__ == "__main__":
    main()
