"""Application queries as they are built: the values each refuses (naming
the field), the statement IR each writes for the core's newer entry point,
and the queries that keep the older IR (and so their SQL and caching)."""

from __future__ import annotations

import decimal
from collections.abc import Callable
from typing import Any

import pytest

from conftest import DIALECTS
from orm_models import Author, Category, Everything, Post
from sarnic import _codec, excluded, exists, fn
from sarnic.query.statement_ir import statement_document

Sub = Category.alias()


def doc(query: Any) -> dict[str, Any]:
    return _codec.unpack(statement_document(query)[1])  # type: ignore[no-any-return]


def field(index: int, source: int = 0, up: int = 0) -> dict[str, Any]:
    return {"kind": "field", "field": index, "source": source, "up": up}


P = {f.name: f.position for f in Post.__fields__}
C = {f.name: f.position for f in Category.__fields__}

BUILD_ERRORS: list[tuple[Callable[[], object], type[Exception], str]] = [
    (lambda: Post.views.in_(["1"]), TypeError, "Post.views takes an int, not str"),
    (lambda: Post.views.not_in([2**40]), ValueError, "Post.views holds 32-bit integers"),
    (lambda: Post.tags.in_([["a"]]), TypeError, "Post.tags.in_() takes no lists"),
    (lambda: Post.views.in_(3), TypeError, "takes a collection of values or a values query"),
    (lambda: Post.views.in_(Post.values(Post.id, Post.title)), TypeError, "a values query of one column, not 2"),
    (lambda: Post.views + "x", TypeError, "Post.views takes an int, not str"),
    (lambda: Post.title * 2, TypeError, "Post.title is not a number"),
    (lambda: -Post.title, TypeError, "Post.title is not a number"),
    (lambda: Post.views + None, TypeError, "use fn.coalesce()"),
    (lambda: fn.sum(Post.title), TypeError, "fn.sum() takes a number: Post.title"),
    (lambda: fn.lower(Post.views), TypeError, "fn.lower() takes a Text field: Post.views"),
    (lambda: fn.coalesce(Post.author_id, "x"), TypeError, "Post.author_id takes an int"),
    (lambda: fn.count(distinct=True), TypeError, "needs the expression"),
    (lambda: fn.count() >= "2", TypeError, "fn.count() is compared with a number"),
    (lambda: fn.max(Post.published_at) > 3, TypeError, "Post.published_at takes an aware datetime"),
    (lambda: Post.values(), TypeError, "at least one field"),
    (lambda: Post.values(3), TypeError, "values() takes fields or expressions"),
    (lambda: Post.values(Post.id).having(True), TypeError, "expected a condition"),
    (lambda: Post.update(views=Post.views + "1"), TypeError, "Post.views takes an int"),
    (lambda: Author.insert(name="a").on_conflict(Author.name), ValueError,
     "Author.name is neither the key of Author nor a unique field"),
    (lambda: Author.insert(name="a").on_conflict(Author.id, Author.email), ValueError, "neither the key"),
    (lambda: Author.insert(name="a").on_conflict(Post.id), TypeError, "Post.id is not a field of Author"),
    (lambda: Author.insert(name="a").on_conflict(), TypeError, "names the key or a unique field"),
    (lambda: Author.insert(name="a").on_conflict(Author.email, update=[]), ValueError, "update names no field"),
    (lambda: Author.insert(name="a").on_conflict(Author.email, update={Author.name: 3}), TypeError,
     "Author.name takes a str"),
    (lambda: Author.bulk_insert([{"name": "a"}]).on_conflict(Author.name), ValueError, "neither the key"),
    (lambda: Post.select().for_update(skip_locked=True, nowait=True), ValueError, "not both"),
    (lambda: exists(Post.update(views=1)), TypeError, "exists() takes a select or a values query"),
    (lambda: excluded(Post.views + 1), TypeError, "excluded() takes a field"),  # type: ignore[arg-type]
    (lambda: Post.select().order_by(Author.name), TypeError, "order_by(): Author.name is not a field of Post"),
]


@pytest.mark.parametrize("build, error, words", BUILD_ERRORS, ids=[f"{i}" for i in range(len(BUILD_ERRORS))])
def test_bad_input_is_refused_while_the_query_is_built(build: Callable[[], object], error: type[Exception],
                                                       words: str) -> None:
    with pytest.raises(error) as raised:
        build()
    assert type(raised.value) is error and words in str(raised.value)


# Refused when the statement is written, before the core is called.
WRITE_ERRORS: list[tuple[Callable[[], Any], str]] = [
    (lambda: Post.values(Post.author_id, fn.count()),
     "Post.author_id is neither in group_by() nor inside an aggregate"),
    (lambda: Post.values(Post.title, fn.sum(Post.views)).group_by(Post.author_id), "Post.title is neither"),
    (lambda: Post.values(Post.author_id, Post.title).group_by(Post.author_id), "Post.title is neither"),
    (lambda: Post.values(fn.coalesce(Post.author_id, 0), fn.count()), "Post.author_id is neither"),
    (lambda: Post.select().where(Author.name == "x"), "a condition on Author.name cannot filter Post"),
    (lambda: Post.select().where(Post.views > excluded(Post.views)), "on_conflict(update=...) only"),
    (lambda: Post.select().for_update(of=[Author]), "Author' is not a model the select reads"),
    (lambda: Post.select().where(exists(Author.select().where(Category.id == Author.id))),
     "a condition on Category.id cannot filter Author"),
]


@pytest.mark.parametrize("build, words", WRITE_ERRORS, ids=[f"{i}" for i in range(len(WRITE_ERRORS))])
def test_statements_that_cannot_be_written_are_refused_before_the_core(build: Callable[[], Any],
                                                                       words: str) -> None:
    with pytest.raises(TypeError, match=None) as raised:
        statement_document(build())
    assert words in str(raised.value)


def test_grouping_accepts_grouped_fields_and_aggregates_of_any_field() -> None:
    q = Post.values(Post.author_id, fn.count(), fn.max(Post.title), fn.sum(Post.views) + 1).group_by(Post.author_id)
    assert doc(q)["group_by"] == [field(P["author_id"])]
    doc(Post.values(fn.count(), fn.avg(Post.views)))  # aggregates alone: one group


def test_in_lists_bind_one_array_of_the_fields_values() -> None:
    d = doc(Post.select().where(Post.id.in_(range(3)), Post.author_id.not_in([]), Post.title.in_(("a", "b"))))
    assert d["where"]["children"] == [
        {"kind": "in", "operand": field(P["id"]), "negated": False, "values": {"type": "int_array", "value": [0, 1, 2]},
         "query": None, "label": "id:in"},
        {"kind": "in", "operand": field(P["author_id"]), "negated": True, "values": {"type": "int_array", "value": []},
         "query": None, "label": "author_id:not_in"},
        {"kind": "in", "operand": field(P["title"]), "negated": False,
         "values": {"type": "text_array", "value": ["a", "b"]}, "query": None, "label": "title:in"}]
    # Each element in the field's bind form; ~ flips the list test itself.
    amounts = doc(Everything.select().where(~Everything.amount.in_([decimal.Decimal("1.50"), 2])))["where"]
    assert (amounts["negated"], amounts["values"]) == (True, {"type": "text_array", "value": ["1.50", "2"]})
    assert doc(Everything.select().where(Everything.ratio.in_([1])))["where"]["values"]["type"] == "float_array"


def test_exists_on_an_alias_reads_the_enclosing_row_one_level_up() -> None:
    q = Category.select().where(~exists(Sub.select().where(Sub.parent_id == Category.id, Sub.name != "x")))
    outer = doc(q)
    assert outer["model"] == 0 and outer["where"]["kind"] == "unary" and outer["where"]["op"] == "not"
    inner = outer["where"]["operand"]["query"]
    assert inner["model"] == 0  # the same table, a second occurrence
    # Comparisons with values first (as filters), then the rest.
    assert inner["where"]["children"][1] == {"kind": "binary", "op": "eq", "left": field(C["parent_id"]),
                                             "right": field(C["id"], up=1)}
    assert inner["where"]["children"][0]["kind"] == "filter"


def test_subqueries_joins_and_expressions() -> None:
    followed = Author.values(Author.id).where(Author.email != None)  # noqa: E711
    d = doc(Post.select().join(Post.author, Author.name).where(Post.author_id.in_(followed), Author.name == "Ann",
                                                                Post.views > Post.author_id * 2)
            .order_by(Author.name.desc(), Post.id))
    sub, joined, compared = d["where"]["children"]
    assert sub["query"]["model"] == 1 and sub["query"]["operation"] == {"kind": "values", "items": [field(0)]}
    assert joined == {"kind": "filter", "filter": [["Author.name", 1], "eq", ["text", "Ann"]], "source": 1, "up": 0}
    assert compared["right"] == {"kind": "binary", "op": "mul", "left": field(P["author_id"]),
                                 "right": {"kind": "value", "value": {"type": "int", "value": 2},
                                           "label": "author_id:mul"}}
    assert d["joins"] == [{"model": 1, "name": "author", "local_field": P["author_id"], "fields": [0, 1]}]
    assert d["order_by"] == [{"expr": field(1, source=1), "direction": "desc"},
                             {"expr": field(P["id"]), "direction": "asc"}]


def test_values_query_document() -> None:
    q = (Post.values(Post.author_id, fn.count(), fn.count(Post.title, distinct=True))
         .where(Post.published_at != None).group_by(Post.author_id)  # noqa: E711
         .having(fn.count() >= 2).order_by(fn.count().desc()).distinct()[5:10])
    d = doc(q)
    count = {"kind": "func", "name": "count", "args": [], "distinct": False}
    assert d["operation"]["items"][1:] == [count, {"kind": "func", "name": "count", "args": [field(P["title"])],
                                                   "distinct": True}]
    assert d["having"] == {"kind": "binary", "op": "gte", "left": count,
                           "right": {"kind": "value", "value": {"type": "int", "value": 2}, "label": "#count:gte"}}
    assert (d["order_by"], d["limit"], d["offset"], d["distinct"]) == ([{"expr": count, "direction": "desc"}], 5, 5,
                                                                       True)


def test_writes_documents() -> None:
    up = doc(Post.update(views=-Post.views + 1, title="t").where(Post.id == 3))["operation"]
    assert up["assignments"][0] == [P["views"], {"kind": "binary", "op": "add",
                                                 "left": {"kind": "unary", "op": "neg", "operand": field(P["views"])},
                                                 "right": {"kind": "value", "value": {"type": "int", "value": 1},
                                                           "label": "views:add"}}]
    assert up["assignments"][1] == [P["title"], {"kind": "value", "value": {"type": "text", "value": "t"},
                                                 "label": "title:assign"}]
    ins = doc(Author.insert(name="a", email="e").on_conflict(
        Author.email, update={Author.name: excluded(Author.name), Author.email: "f"}))["operation"]
    assert ins["on_conflict"] == {"target": [2], "update": [
        [1, {"kind": "excluded", "field": 1}],
        [2, {"kind": "value", "value": {"type": "text", "value": "f"}, "label": "email:assign"}]]}
    nothing = doc(Author.insert(id=1, name="a").on_conflict(Author.id))["operation"]["on_conflict"]
    assert nothing == {"target": [0], "update": None}
    bulk = doc(Author.bulk_insert([{"name": "a"}], returning=True).on_conflict(Author.email, update=[Author.name]))
    assert bulk["operation"]["rows"] == [[[1, {"type": "text", "value": "a"}]]]
    assert bulk["operation"]["on_conflict"]["update"] == [[1, {"kind": "excluded", "field": 1}]]
    lock = doc(Post.select().join(Post.author).for_update(nowait=True, of=[Post.author]))["lock"]
    assert lock == {"skip_locked": False, "nowait": True, "of": [1]}


@pytest.mark.parametrize("dialect", DIALECTS)
def test_queries_the_older_ir_says_keep_its_path(dialect: str) -> None:
    plain = [Post.select().where(Post.views > 1, (Post.id == 1) | (Post.title == "x")).order_by(Post.id.desc()),
             Post.update(views=3).where(Post.id == 1), Author.insert(name="a"), Post.delete().where(Post.id == 2),
             Author.bulk_insert([{"name": "a"}])]
    assert not any(q.uses_statement_ir for q in plain)
    newer = [Post.select().where(Post.id.in_([1])), Post.select().where(Post.views > Post.author_id),
             Post.select().order_by(Post.views + 1), Post.select().for_update(),
             Post.update(views=Post.views + 1), Post.delete().where(exists(Author.select())),
             Author.insert(name="a").on_conflict(Author.email)]
    assert all(q.uses_statement_ir for q in newer)
    # A select of an alias alone is the model's own statement.
    assert Sub.select(Sub.id).where(Sub.name == "x").sql(dialect) == \
        Category.select(Category.id).where(Category.name == "x").sql(dialect)
