"""Every query method against the core: the statement a query compiles to is
the one the core writes for the same IR built by hand, in the keyed form and
from the model's metadata document, in every dialect."""

from __future__ import annotations

import datetime as dt
import json
from collections.abc import Callable
from typing import Any

import pytest

from conftest import DIALECTS
from orm_models import Author, Category, Document, Everything, Membership, Post
from sarnic import SarnicCompileError, _codec, _native
from sarnic.query.compiled import compile_ir
from sarnic.query.base import Query

Doc = dict[str, Any]


def refs(*names: str) -> dict[str, Doc]:
    return {n: {"name": n, "index": i} for i, n in enumerate(names)}


P = refs("id", "author_id", "title", "body", "views", "published_at", "embedding", "tags")
A = refs("id", "name", "email")
M = refs("org_id", "user_id", "role")
C = refs("id", "name", "parent_id")
D = refs("id", "title", "body", "search", "summary")
NULL: Doc = {"type": "null"}


def val(kind: str, value: Any) -> Doc:
    return {"type": kind, "value": value}


def I(v: int) -> Doc:  # noqa: E743
    return val("int", v)


def T(v: str) -> Doc:
    return val("text", v)


def flt(field: Doc, op: str, value: Doc = NULL) -> Doc:
    return {"field": field, "operator": op, "value": value}


def leaf(field: Doc, op: str, value: Doc = NULL) -> Doc:
    return {"kind": "filter", "filter": flt(field, op, value)}


def ir(model: str, operation: Doc, **rest: Any) -> Doc:
    return {"version": 3, "model_name": model, "operation": operation, "filters": [], "order_by": [], **rest}


def sel(fields: list[Doc], model: str = "Post", **rest: Any) -> Doc:
    return ir(model, {"kind": "select", "fields": fields}, **rest)


def post(**rest: Any) -> Doc:
    return sel(list(P.values()), **rest)


def by(field: Doc, direction: str = "asc") -> Doc:
    return {"field": field, "direction": direction}


def join(relation: str, local: Doc, table: str, fields: list[tuple[int, str]]) -> Doc:
    return {"relation": relation, "alias": relation, "local_field": local, "remote_table": table,
            "remote_pk_column": "id", "remote_fields": [{"index": i, "name": n, "column": n} for i, n in fields]}


AUTHOR_JOIN = join("author", P["author_id"], "authors", [(0, "id"), (1, "name"), (2, "email")])
WHEN = dt.datetime(2024, 5, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=2)))
ANN = Author(id=7, name="Ann")


def p(id: int, **values: Any) -> Post:
    return Post(id=id, title=values.pop("title", "t"), body="b", **values)


ONLY_POSTGRES = ("mysql", "sqlite", "mssql")
Case = tuple[str, Callable[[], Query[Any]], Doc, tuple[str, ...]]
CASES: list[Case] = [
    # -- projections ----------------------------------------------------------
    ("select-all", lambda: Post.select(), post(), ()),
    ("select-some", lambda: Post.select(Post.title, Post.author, Post.title), sel([P["title"], P["author_id"]]), ()),
    # -- where ------------------------------------------------------------------
    *[(f"op-{op}", (lambda c=cond: Post.select().where(c())), post(filters=[flt(P["views"], op, I(3))]), ())
      for op, cond in [("eq", lambda: Post.views == 3), ("ne", lambda: Post.views != 3),
                       ("lt", lambda: Post.views < 3), ("lte", lambda: Post.views <= 3),
                       ("gt", lambda: Post.views > 3), ("gte", lambda: Post.views >= 3)]],
    *[(f"op-{op}{how}", (lambda c=cond: Post.select().where(c())), post(filters=[flt(field, op, value)]), ())
      for op, how, cond, field, value in [
          ("is_null", "", lambda: Post.published_at == None, P["published_at"], NULL),  # noqa: E711
          ("is_not_null", "", lambda: Post.author_id != None, P["author_id"], NULL),  # noqa: E711
          ("is_null", "-method", lambda: Post.embedding.is_null(), P["embedding"], NULL),
          ("contains", "", lambda: Post.title.contains("%ü%"), P["title"], T("%ü%")),
          ("icontains", "", lambda: Post.title.icontains("50%"), P["title"], T("50%")),
          ("match", "", lambda: Post.body.match("cat dog"), P["body"], T("cat dog")),
          ("match_phrase", "", lambda: Post.title.match_phrase("a b"), P["title"], T("a b")),
          ("match_websearch", "", lambda: Post.body.match_websearch('"a" -b'), P["body"], T('"a" -b')),
          ("match_boolean", "", lambda: Post.body.match_boolean("+a -b"), P["body"], T("+a -b")),
          ("gt", "-datetime-in-utc", lambda: Post.published_at > WHEN, P["published_at"],
           val("datetime", "2024-05-01T10:00:00+00:00")),
      ]],
    ("ts-vector-match", lambda: Document.select(Document.id).where(Document.search.match_phrase("x y")),
     sel([D["id"]], "Document", filters=[flt(D["search"], "match_phrase", T("x y"))]), ()),
    ("where-twice", lambda: Post.select().where(Post.views > 1).where(Post.title == "a", Post.author_id == ANN.id),
     post(filters=[flt(P["views"], "gt", I(1)), flt(P["title"], "eq", T("a")), flt(P["author_id"], "eq", I(7))]), ()),
    ("and-splits-into-filters", lambda: Post.select().where((Post.views > 1) & (Post.title == "a")),
     post(filters=[flt(P["views"], "gt", I(1)), flt(P["title"], "eq", T("a"))]), ()),
    ("or-tree", lambda: Post.select().where((Post.views < 1) | (Post.views > 9) | (Post.title == "x")),
     post(predicate={"kind": "or", "children": [leaf(P["views"], "lt", I(1)), leaf(P["views"], "gt", I(9)),
                                                leaf(P["title"], "eq", T("x"))]}), ()),
    ("not", lambda: Post.select().where(~(Post.title == "x")),
     post(predicate={"kind": "not", "child": leaf(P["title"], "eq", T("x"))}), ()),
    ("double-not", lambda: Post.select().where(~~(Post.title == "x")), post(filters=[flt(P["title"], "eq", T("x"))]), ()),
    ("nested-tree", lambda: Post.select().where(((Post.views < 1) | ~Post.title.contains("a%")) & (Post.author_id == None)),  # noqa: E711
     post(filters=[flt(P["author_id"], "is_null")],
          predicate={"kind": "or", "children": [leaf(P["views"], "lt", I(1)),
                                                {"kind": "not", "child": leaf(P["title"], "contains", T("a%"))}]}), ()),
    ("trees-anded-across-calls", lambda: Post.select().where((Post.views < 1) | (Post.views > 9)).where(~(Post.id == 2)),
     post(predicate={"kind": "and", "children": [
         {"kind": "or", "children": [leaf(P["views"], "lt", I(1)), leaf(P["views"], "gt", I(9))]},
         {"kind": "not", "child": leaf(P["id"], "eq", I(2))}]}), ()),
    # in_ binds its list as one value: a statement of the newer IR (test_orm_app_queries.py).
    # -- ordering and paging ------------------------------------------------------
    ("order-by", lambda: Post.select().order_by(Post.views.desc(), Post.id),
     post(order_by=[by(P["views"], "desc"), by(P["id"])]), ()),
    ("order-by-replaces", lambda: Post.select().order_by(Post.id).order_by(Post.title.asc()),
     post(order_by=[by(P["title"])]), ()),
    ("limit-offset", lambda: Post.select().limit(5).offset(10), post(limit=5, offset=10), ()),
    *[(f"slice-{name}", (lambda q=q: q(Post.select())), post(**paging), ())
      for name, q, paging in [
          ("head", lambda s: s[:20], {"limit": 20}),
          ("window", lambda s: s[10:30], {"offset": 10, "limit": 20}),
          ("tail", lambda s: s[5:], {"offset": 5}),
          ("full", lambda s: s[:], {}),
          ("tail-then-head", lambda s: s[5:][:10], {"offset": 5, "limit": 10}),
          ("window-in-window", lambda s: s[10:20][5:50], {"offset": 15, "limit": 5}),
          ("past-the-window", lambda s: s[10:20][15:], {"offset": 25, "limit": 0}),
          ("stop-before-start", lambda s: s[3:1], {"offset": 3, "limit": 0}),
          ("after-limit", lambda s: s.limit(3)[1:], {"offset": 1, "limit": 2}),
          ("after-offset", lambda s: s.offset(4)[2:3], {"offset": 6, "limit": 1}),
      ]],
    ("distinct", lambda: Post.select(Post.title).distinct(), sel([P["title"]], distinct=True), ()),
    ("distinct-off", lambda: Post.select(Post.title).distinct().distinct(False), sel([P["title"]]), ()),
    *[(f"nearest-{m}", (lambda m=m: Post.select(Post.id).nearest(Post.embedding, [1, 0.5, 0], metric=m)[:3]),
       sel([P["id"]], limit=3, vector_order_by={"field": P["embedding"], "metric": m,
                                                 "value": val("float_array", [1.0, 0.5, 0.0])}), ONLY_POSTGRES)
      for m in ("l2", "cosine", "inner_product")],
    ("order-by-replaces-nearest", lambda: Post.select(Post.id).nearest(Post.embedding, [1, 2, 3]).order_by(Post.id),
     sel([P["id"]], order_by=[by(P["id"])]), ()),
    *[(f"rank-{mode}", (lambda mode=mode: Post.select(Post.id).order_by(Post.id).rank(Post.body, "q ü", mode=mode)),
       sel([P["id"]], text_rank_by={"field": P["body"], "query": T("q ü"), "mode": mode}), ())
      for mode in ("plain", "phrase", "websearch", "boolean")],
    ("rank-derived-document", lambda: Document.select(Document.id).rank(Document.search, "x"),
     sel([D["id"]], "Document", text_rank_by={"field": D["search"], "query": T("x"), "mode": "plain"}), ()),
    # -- joins ----------------------------------------------------------------------
    ("join", lambda: Post.select(Post.id).join(Post.author), sel([P["id"]], joins=[AUTHOR_JOIN]), ()),
    ("join-named-fields", lambda: Post.select(Post.id).join(Post.author).join(Post.author, Author.name),
     sel([P["id"]], joins=[join("author", P["author_id"], "authors", [(0, "id"), (1, "name")])]), ()),
    ("join-self", lambda: Category.select().where(Category.name == "x").join(Category.parent, Category.name),
     sel(list(C.values()), "Category", filters=[flt(C["name"], "eq", T("x"))],
         joins=[join("parent", C["parent_id"], "category", [(0, "id"), (1, "name")])]), ()),
    # -- writes ---------------------------------------------------------------------
    ("insert-defaults", lambda: Post.insert(title="t", body="b"),
     ir("Post", {"kind": "insert", "values": [[P["title"], T("t")], [P["body"], T("b")], [P["views"], I(0)],
                                               [P["tags"], val("text_array", [])]]}), ()),
    ("insert-relation", lambda: Post.insert(author=ANN, title="t", body="b", views=2, tags=["ü"]),
     ir("Post", {"kind": "insert", "values": [[P["author_id"], I(7)], [P["title"], T("t")], [P["body"], T("b")],
                                               [P["views"], I(2)], [P["tags"], val("text_array", ["ü"])]]}), ()),
    ("insert-instance", lambda: Post.insert(p(5, published_at=WHEN)),
     ir("Post", {"kind": "insert", "values": [
         [P["id"], I(5)], [P["author_id"], NULL], [P["title"], T("t")], [P["body"], T("b")], [P["views"], I(0)],
         [P["published_at"], val("datetime", "2024-05-01T10:00:00+00:00")], [P["embedding"], NULL],
         [P["tags"], val("text_array", [])]]}), ()),
    ("insert-skips-derived", lambda: Document.insert(title="a", body="b"),
     ir("Document", {"kind": "insert", "values": [[D["title"], T("a")], [D["body"], T("b")]]}), ()),
    ("update", lambda: Post.update(views=0, author=None).where(Post.author_id == 7),
     ir("Post", {"kind": "update", "assignments": [[P["views"], I(0)], [P["author_id"], NULL]], "danger": False},
        filters=[flt(P["author_id"], "eq", I(7))]), ()),
    ("update-tree", lambda: Post.update(title="x").where((Post.views < 1) | (Post.views > 5)),
     ir("Post", {"kind": "update", "assignments": [[P["title"], T("x")]], "danger": False},
        predicate={"kind": "or", "children": [leaf(P["views"], "lt", I(1)), leaf(P["views"], "gt", I(5))]}), ()),
    ("update-danger", lambda: Post.update(views=0, danger=True),
     ir("Post", {"kind": "update", "assignments": [[P["views"], I(0)]], "danger": True}), ()),
    ("update-unscoped", lambda: Post.update(views=0),
     ir("Post", {"kind": "update", "assignments": [[P["views"], I(0)]], "danger": False}), DIALECTS),
    ("delete", lambda: Post.delete().where(Post.id == 3), ir("Post", {"kind": "delete", "danger": False},
                                                             filters=[flt(P["id"], "eq", I(3))]), ()),
    ("delete-danger", lambda: Post.delete(danger=True), ir("Post", {"kind": "delete", "danger": True}), ()),
    ("delete-unscoped", lambda: Post.delete(), ir("Post", {"kind": "delete", "danger": False}), DIALECTS),
    ("bulk-insert-objects", lambda: Author.bulk_insert([Author(name="a"), Author(name="b", email="b@x")]),
     ir("Author", {"kind": "bulk_insert", "returning": False, "rows": [
         [[A["name"], T("a")], [A["email"], NULL]], [[A["name"], T("b")], [A["email"], T("b@x")]]]}), ()),
    ("bulk-insert-dicts", lambda: Post.bulk_insert([{"title": "a", "body": "b"}, {"title": "c", "body": "d", "views": 3}],
                                                   returning=True),
     ir("Post", {"kind": "bulk_insert", "returning": True, "rows": [
         [[P["title"], T("a")], [P["body"], T("b")], [P["views"], I(0)], [P["tags"], val("text_array", [])]],
         [[P["title"], T("c")], [P["body"], T("d")], [P["views"], I(3)], [P["tags"], val("text_array", [])]]]}), ()),
    ("bulk-insert-mixed", lambda: Author.bulk_insert([{"name": "a", "email": "a@x"}, Author(name="b")]),
     ir("Author", {"kind": "bulk_insert", "returning": False, "rows": [
         [[A["name"], T("a")], [A["email"], T("a@x")]], [[A["name"], T("b")], [A["email"], NULL]]]}), ()),
    ("bulk-update", lambda: Post.bulk_update([p(1, views=5), p(2, title="z", views=6)], fields=[Post.views, Post.title]),
     ir("Post", {"kind": "bulk_update", "pk_fields": [P["id"]], "fields": [P["views"], P["title"]], "rows": [
         {"pk_values": [I(1)], "values": [I(5), T("t")]}, {"pk_values": [I(2)], "values": [I(6), T("z")]}]}),
     ONLY_POSTGRES),
    ("bulk-update-composite", lambda: Membership.bulk_update([Membership(org_id=1, user_id=2**40)], fields=[Membership.role]),
     ir("Membership", {"kind": "bulk_update", "pk_fields": [M["org_id"], M["user_id"]], "fields": [M["role"]],
                       "rows": [{"pk_values": [I(1), I(2**40)], "values": [T("member")]}]}), ONLY_POSTGRES),
    ("bulk-delete", lambda: Post.bulk_delete([1, 2**62, p(3)]),
     ir("Post", {"kind": "bulk_delete", "pk_fields": [P["id"]], "ids": [[I(1)], [I(2**62)], [I(3)]]}), ()),
    ("bulk-delete-composite", lambda: Membership.bulk_delete([(1, 2), [3, 4], Membership(org_id=5, user_id=6)]),
     ir("Membership", {"kind": "bulk_delete", "pk_fields": [M["org_id"], M["user_id"]],
                       "ids": [[I(1), I(2)], [I(3), I(4)], [I(5), I(6)]]}), ()),
]


def outcome(call: Callable[[], dict[str, Any]]) -> dict[str, Any] | str:
    try:
        return call()
    except SarnicCompileError as exc:
        return f"SarnicCompileError: {exc}"


@pytest.mark.parametrize("name, build, hand, refused", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("dialect", DIALECTS)
def test_query_compiles_as_the_hand_built_ir(name: str, build: Callable[[], Query[Any]], hand: Doc,
                                             refused: tuple[str, ...], dialect: str) -> None:
    query = build()
    model = query.model
    want = outcome(lambda: _native.compile_query(json.dumps(model.__metadata__), json.dumps(hand), dialect))
    got = outcome(lambda: compile_ir(model, query.ir(), dialect))
    assert isinstance(want, str) == (dialect in refused), want
    if isinstance(want, str):
        assert got == want
        if query.needs_statement_ir(dialect):  # written in the statement IR there, which can
            assert query.sql(dialect).sql.startswith("UPDATE ")
            return
        with pytest.raises(SarnicCompileError) as raised:
            query.sql(dialect)
        assert f"SarnicCompileError: {raised.value}" == want
        return
    assert isinstance(got, dict), got
    raw = [json.loads(b) for b in want["bound_params"]]
    assert _codec.unpack(got["bound_params"]) == raw
    for key in ("sql_text", "param_type_summary", "fingerprint", "operation"):
        assert got[key] == want[key], key

    compiled = query.sql(dialect)
    if query.needs_statement_ir(dialect):
        # Text and full-text match where the query IR would mean something else
        # there: the statement IR's form, checked in the statement tests.
        assert compiled.sql != want["sql_text"] or "MATCH" in compiled.sql
        return
    assert (compiled.sql, list(compiled.labels), compiled.fingerprint, compiled.operation) == (
        want["sql_text"], want["param_type_summary"], want["fingerprint"], want["operation"])
    # Python values: each one, bound again by the field its label names, is the value sent.
    fields = model.__fields_by_name__
    assert len(compiled.params) == len(raw)
    for label, value, bind in zip(compiled.labels, compiled.params, raw):
        if label in ("limit:int", "offset:int"):
            assert value == bind["value"]
        else:
            tag, payload = fields[label.rpartition(":")[0]].bind(value)
            assert {"type": tag, **({} if tag == "null" else {"value": payload})} == bind, label


def test_every_query_class_is_covered() -> None:
    covered = {type(build()).__name__ for _, build, _, _ in CASES}
    assert covered == {"Select", "Insert", "Update", "Delete", "BulkInsert", "BulkUpdate", "BulkDelete"}


@pytest.mark.parametrize(("build", "op"), [
    (lambda: Everything.doc > 1, "gt"), (lambda: Everything.doc == {"a": 1}, "eq"), (lambda: Everything.blob < b"x", "lt"),
    (lambda: Everything.vec == [1.0, 2.0, 3.0], "eq"), (lambda: Everything.flag < True, "lt"),
    (lambda: Everything.text == None, "is_null"), (lambda: Everything.big.is_not_null(), "is_not_null"),  # noqa: E711
])
def test_an_operator_the_field_does_not_take_fails_when_built(build: Any, op: str) -> None:
    with pytest.raises(TypeError, match=rf"^Everything\.\w+ does not take {op} \(it takes"):
        build()


@pytest.mark.parametrize("limit", [None, 0, 1, 2, 9])
@pytest.mark.parametrize("offset", [None, 0, 3])
def test_the_first_row_fetch_one_reads_is_the_one_slice_reads(limit: int | None, offset: int | None) -> None:
    query = Post.select().limit(limit).offset(offset)
    for q in (query, Post.values(Post.id).limit(limit).offset(offset)):
        first, sliced = q._first_row(), q[:1]
        assert (first._limit, first._offset) == (sliced._limit, sliced._offset) and vars(first) == vars(sliced)
