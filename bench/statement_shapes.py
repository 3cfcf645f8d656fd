"""Build a query and make it a backend's statement, many times over: the
per-call cost of `Statements.get` for queries of the statement IR (IN lists,
upserts, values queries, ...) beside plain ones of the query IR.

    .venv/bin/python bench/statement_shapes.py [--n 10000] [--dialect postgres]

No database is opened: the backends are made and never connected. Each figure
is the best of five runs of n calls, in microseconds per call of the thread's
CPU time (steadier than the wall clock on a shared machine).
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from typing import Any

from sarnic import Model, exists, fields, fn
from sarnic.execution.backends import create
from sarnic.execution.statement import Statements


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author, null=True)
    title = fields.Text()
    views = fields.Int(default=0)

    class Meta:
        table = "posts"


URLS = {"postgres": "postgresql://x@127.0.0.1/x", "mysql": "mysql://x@127.0.0.1/x", "sqlite": "sqlite://:memory:"}


def cases() -> dict[str, Callable[[int], Any]]:
    ids = [3, 5, 8, 13, 21]
    return {
        "v3 where id == i (query IR)": lambda i: Post.select().where(Post.id == i).limit(10),
        "in_(5 ids)": lambda i: Post.select().where(Post.id.in_([i, *ids])),
        "upsert": lambda i: Post.insert(id=i, title="t", views=1).on_conflict(Post.id, update=[Post.title]),
        "values group_by": lambda i: (Post.values(Post.author_id, fn.count()).where(Post.views > i)
                                      .group_by(Post.author_id)),
        "update views + 1": lambda i: Post.update(views=Post.views + 1).where(Post.id == i),
        "exists subquery": lambda i: Author.select().where(
            exists(Post.select().where(Post.author_id == Author.id, Post.views > i))),
        "joined condition": lambda i: Post.select().join(Post.author).where(Author.name == f"n{i}"),
        "for_update": lambda i: Post.select().where(Post.id == i).for_update(),
    }


def per_call(statements: Statements, build: Callable[[int], Any], n: int) -> float:
    get = statements.get
    best = float("inf")
    for _ in range(5):
        start = time.thread_time()
        for i in range(n):
            get(build(i))
        best = min(best, time.thread_time() - start)
    return best / n * 1e6


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=10_000)
    parser.add_argument("--dialect", action="append", choices=list(URLS))
    args = parser.parse_args()
    for dialect in args.dialect or ["postgres"]:
        backend = create(URLS[dialect], min_size=0, max_size=1)
        statements = Statements(backend, lambda q: None)
        print(f"{dialect}: us per build + statement ({args.n} calls, best of 5)")
        for name, build in cases().items():
            build_only = min(_time_build(build, args.n) for _ in range(3))
            print(f"  {name:32s} {per_call(statements, build, args.n):7.1f}   (build alone {build_only:5.1f})")


def _time_build(build: Callable[[int], Any], n: int) -> float:
    start = time.thread_time()
    for i in range(n):
        build(i)
    return (time.thread_time() - start) / n * 1e6


if __name__ == "__main__":
    main()
