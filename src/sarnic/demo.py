"""`sarnic demo`: a tour of every operation on an in-memory SQLite blog.

Each step prints its IR on one line, the SQL sarnic writes for the four
dialects, and what SQLite did with the SQLite statement: the rows it returned,
checked by hydrate_rows, or the number of rows it changed.
"""

from __future__ import annotations

import json
import sqlite3
import statistics
import time
from collections.abc import Sequence
from typing import Any, TextIO

from sarnic import _native
from sarnic._demo_models import (
    AUTHORS, POSTS, SEED_AUTHORS, SEED_POSTS, SEED_TAGS, SQLITE_SCHEMA, TAGS,
    Doc, bind, flt, ir, leaf, narrowed, order, ref, refs, sqlite_fts_table, when,
)  # fmt: skip
from sarnic.cli import DIALECTS, format_table, show_value

LABEL = 10  # width of the label column ("postgres  ")
INDENT = "    "
CELL = 34  # long texts (post bodies) are cut in tables


def sqlite_value(param: Doc) -> Any:
    """A tagged bind value as the sqlite3 module takes it."""
    tag: str = param["type"]
    value: Any = param.get("value")
    match tag:
        case "null":
            return None
        case "text" | "datetime":
            return str(value)
        case "int":
            return int(value)
        case "float":
            # JSON has no NaN or infinity: the compiler writes them as null.
            return None if value is None else float(value)
        case "bool":
            return int(bool(value))
        case "bytes":
            return bytes(value)
        case "float_array" | "text_array" | "int_array":
            return json.dumps(value)
    raise ValueError(f"unknown bind value type {tag!r}")


def _json(doc: Any) -> str:
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False)


class Tour:
    def __init__(self, db: sqlite3.Connection, out: TextIO) -> None:
        self.db = db
        self.out = out
        self.number = 0

    def line(self, label: str, text: str) -> None:
        self.out.write(f"{INDENT}{label:<{LABEL}}{text}\n")

    def compile(self, model: Doc, query: Doc, dialect: str) -> dict[str, Any]:
        result = _native.compile_query(_json(model), _json(query), dialect)
        return {**result, "bound_params": [json.loads(p) for p in result["bound_params"]]}

    def show(self, title: str, model: Doc, query: Doc, dialects: Sequence[str] = DIALECTS) -> dict[str, Any]:
        """Prints the step and returns the SQLite statement (or the first dialect's)."""
        self.number += 1
        self.out.write(f"\n{self.number:>2}. {title}\n")
        self.line("IR", _json(query))
        compiled = {d: self.compile(model, query, d) for d in dialects}
        for dialect, result in compiled.items():
            self.line(dialect, result["sql_text"])
        chosen = compiled.get("sqlite") or next(iter(compiled.values()))
        binds = [f"{label}={show_value(p.get('value'))}"
                 for label, p in zip(chosen["param_type_summary"], chosen["bound_params"])]  # fmt: skip
        self.line("binds", "  ".join(binds) if binds else "(none)")
        return chosen

    def execute(self, compiled: dict[str, Any]) -> sqlite3.Cursor:
        params = [sqlite_value(p) for p in compiled["bound_params"]]
        return self.db.execute(compiled["sql_text"], params)

    def step(self, title: str, model: Doc, query: Doc) -> None:
        """Shows one statement and what SQLite made of it, by operation."""
        operation = query["operation"]
        kind = operation["kind"]
        if kind == "bulk_update":
            self.show(title, model, query, dialects=("postgres",))
            try:
                self.compile(model, query, "sqlite")
            except _native.SarnicCompileError as exc:
                self.line("others", f"{type(exc).__name__}: {exc}")
            return
        compiled = self.show(title, model, query)
        if kind == "select" and query.get("exists"):
            (found,) = self.execute(compiled).fetchone()
            self.line("result", f"{'yes' if found else 'no'} (SQLite returned {found})")
        elif kind == "select":
            # A partial projection is checked only for the columns it asked for.
            self.rows(compiled, narrowed(model, [f["name"] for f in operation["fields"]]))
        elif kind in ("insert", "update") or operation.get("returning"):
            self.rows(compiled, model)
        else:
            count = self.execute(compiled).rowcount  # the deletes: no rows come back
            self.line("result", f"{count} row{'' if count == 1 else 's'} deleted")

    def rows(self, compiled: dict[str, Any], model: Doc) -> None:
        cursor = self.execute(compiled)
        columns = [d[0] for d in cursor.description]
        fetched = [dict(zip(columns, row)) for row in cursor.fetchall()]
        checked = _native.hydrate_rows(_json(model), _json(fetched))
        count = len(checked)
        self.line("result", f"{count} row{'' if count == 1 else 's'} from SQLite, checked by hydrate_rows")
        for text in format_table(checked, columns, max_width=CELL):
            self.line("", text)


def select(*names: str, **keys: Any) -> Doc:
    return ir(POSTS, {"kind": "select", "fields": refs(POSTS, *names)}, **keys)


def is_(name: str, operator: str, value: Any = None) -> Doc:
    return flt(POSTS, name, operator, bind(value))


def _fill(tour: Tour) -> None:
    authors = [[[ref(AUTHORS, "name"), bind(name)], [ref(AUTHORS, "email"), bind(email)],
                [ref(AUTHORS, "joined_at"), when(joined)]] for name, email, joined in SEED_AUTHORS]  # fmt: skip
    query = ir(AUTHORS, {"kind": "bulk_insert", "rows": authors, "returning": True})
    tour.step("fill the tables: one bulk insert each (authors shown, returning the new rows)", AUTHORS, query)

    names = ("author_id", "title", "body", "views", "published", "published_at")
    posts = [[[ref(POSTS, n), when(v) if n == "published_at" and isinstance(v, str) else bind(v)]
              for n, v in zip(names, row)] for row in SEED_POSTS]  # fmt: skip
    tags = [[[ref(TAGS, "post_id"), bind(p)], [ref(TAGS, "name"), bind(n)]] for p, n in SEED_TAGS]
    for model, rows in ((POSTS, posts), (TAGS, tags)):
        query = ir(model, {"kind": "bulk_insert", "rows": rows})
        tour.execute(tour.compile(model, query, "sqlite"))
    tour.line("also", f"{len(posts)} posts and {len(tags)} tags, by the same bulk insert on their own models")


def _reads(tour: Tour) -> None:
    query = select("id", "title", "views", filters=[is_("published", "eq", True), is_("views", "gte", 500)],
                   order_by=[order(POSTS, "views", "desc")], limit=3)  # fmt: skip
    tour.step("select with filters: published posts read at least 500 times, most read first", POSTS, query)

    mentions = leaf(POSTS, "title", "contains", bind("%SQLite%"))
    popular = leaf(POSTS, "views", "gte", bind(2000))
    unpublished = leaf(POSTS, "published_at", "is_null")
    predicate = {"kind": "and", "children": [{"kind": "or", "children": [mentions, popular]},
                                             {"kind": "not", "child": unpublished}]}  # fmt: skip
    query = select("id", "title", "published_at", predicate=predicate, order_by=[order(POSTS, "id")])
    tour.step("a predicate tree: (title mentions SQLite OR 2000+ views) AND NOT unpublished", POSTS, query)

    author = {"relation": "author", "alias": "author", "local_field": ref(POSTS, "author_id"),
              "remote_table": "authors", "remote_pk_column": "id",
              "remote_fields": [{"index": 1, "name": "name", "column": "name"}]}  # fmt: skip
    query = select("id", "title", filters=[is_("views", "lt", 1000)], joins=[author], order_by=[order(POSTS, "id")])
    tour.step("a join: posts under 1000 views with their author (a guest post has none)", POSTS, query)

    query = select("author_id", distinct=True, filters=[is_("published", "eq", True)],
                   order_by=[order(POSTS, "author_id")])  # fmt: skip
    tour.step("DISTINCT: who has published anything", POSTS, query)

    query = select("id", "title", order_by=[order(POSTS, "id")], limit=3, offset=3)
    tour.step("paging: the second page of three", POSTS, query)

    rank = {"field": ref(POSTS, "body"), "query": bind("sqlite"), "mode": "plain"}
    query = select("id", "title", filters=[is_("body", "match", "sqlite")], text_rank_by=rank)
    fts = sqlite_fts_table(POSTS, "body")
    tour.step(f"full-text match and rank: posts about sqlite, best match first (FTS5 table {fts})", POSTS, query)

    query = select(exists=True, filters=[is_("author_id", "eq", 3), is_("published", "eq", False)])
    tour.step("EXISTS: has author 3 an unpublished draft?", POSTS, query)


def _writes(tour: Tour) -> None:
    values = [("author_id", 2), ("title", "Hello from sarnic"),
              ("body", "One IR, four dialects: this post was written by a compiled INSERT."),
              ("views", 0), ("published", False), ("published_at", None)]  # fmt: skip
    query = ir(POSTS, {"kind": "insert", "values": [[ref(POSTS, n), bind(v)] for n, v in values]})
    tour.step("insert: a new draft, handed back by RETURNING / OUTPUT", POSTS, query)

    new_id = len(SEED_POSTS) + 1
    assignments = [[ref(POSTS, "published"), bind(True)], [ref(POSTS, "published_at"), when("2024-04-12 10:00:00")]]
    query = ir(POSTS, {"kind": "update", "assignments": assignments}, filters=[is_("id", "eq", new_id)])
    tour.step("update: publish it", POSTS, query)

    rows = [{"pk_values": [bind(1)], "values": [bind(1600)]}, {"pk_values": [bind(2)], "values": [bind(900)]}]
    query = ir(POSTS, {"kind": "bulk_update", "pk_fields": refs(POSTS, "id"), "fields": refs(POSTS, "views"),
                       "rows": rows})  # fmt: skip
    tour.step("bulk update: new view counts for two posts in one statement (PostgreSQL only)", POSTS, query)

    ids = [[bind(1), bind("databases")], [bind(7), bind("sql")]]
    query = ir(TAGS, {"kind": "bulk_delete", "pk_fields": refs(TAGS, "post_id", "name"), "ids": ids})
    tour.step("bulk delete: two tags by their composite key", TAGS, query)

    query = ir(POSTS, {"kind": "delete"}, filters=[is_("id", "eq", new_id)])
    tour.step("delete: remove the new post again (the triggers clean its full-text row)", POSTS, query)


def compile_speed(calls: int = 200, rounds: int = 15) -> float:
    """Median microseconds per compile_query call for a typical select."""
    query = select("id", "title", "views", filters=[is_("published", "eq", True), is_("views", "gte", 500)],
                   order_by=[order(POSTS, "views", "desc")], limit=20)  # fmt: skip
    metadata, text = _json(POSTS), _json(query)
    compile_query = _native.compile_query
    compile_query(metadata, text, "postgres")
    samples = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        for _ in range(calls):
            compile_query(metadata, text, "postgres")
        samples.append((time.perf_counter_ns() - start) / calls / 1000)
    return statistics.median(samples)


def run(out: TextIO) -> int:
    db = sqlite3.connect(":memory:", isolation_level=None)
    try:
        for statement in SQLITE_SCHEMA:
            db.execute(statement)
        out.write(f"sarnic demo: a small blog in an in-memory SQLite {sqlite3.sqlite_version} database;"
                  " every statement below is compiled by sarnic.\n\n")  # fmt: skip
        fts = sqlite_fts_table(POSTS, "body")
        for label, text in [
            ("schema", "authors (id, name, email, joined_at)"),
            ("", "posts (id, author_id, title, body, views, published, published_at)"),
            ("", f"{fts}: FTS5 over posts (title, body), kept in step by three triggers"),
            ("", "tags (post_id, name), primary key (post_id, name)"),
        ]:
            out.write(f"{label:<{LABEL}}{text}\n")
        tour = Tour(db, out)
        _fill(tour)
        _reads(tour)
        _writes(tour)
    finally:
        db.close()
    micros = compile_speed()
    out.write(f"\ncompile speed: {micros:.1f} microseconds per call (median; a select with two filters,"
              " ordering and a limit, PostgreSQL, JSON inputs)\n")  # fmt: skip
    return 0
