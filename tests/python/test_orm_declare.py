"""Declaring models and using their instances and queries: the declaration
errors, the metadata a class sends, instances, immutable queries and the
errors a query raises while it is built."""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable
from typing import Any

import pytest

from orm_models import Author, Category, Document, Membership, Post
from sarnic import FullTextIndex, Model, fields
from sarnic.model.base import DeclarationError


class Abstract(Model):
    id = fields.Int(primary_key=True)
    created = fields.DateTime(null=True)

    class Meta:
        abstract = True


def meta(**options: Any) -> type:
    return type("Meta", (), options)


KEY = {"id": fields.Int(primary_key=True)}
BAD_MODELS: list[tuple[str, Callable[[], dict[str, Any]], str]] = [
    ("duplicate-column", lambda: {**KEY, "b": fields.Text(column="id")}, "'id' and 'b' both map to column 'id'"),
    ("relation-column-taken", lambda: {**KEY, "r": fields.ForeignKey(Author), "x": fields.Int(column="r_id")},
     "both map to column 'r_id'"),
    ("relation-field-declared", lambda: {**KEY, "r": fields.ForeignKey(Author), "r_id": fields.Int()},
     "relation 'r' adds the field 'r_id'"),
    ("no-key", lambda: {"a": fields.Text()}, "no primary key"),
    ("several-keys", lambda: {**KEY, "b": fields.Int(primary_key=True)}, "'id', 'b' are all marked primary_key"),
    ("meta-key-unknown", lambda: {"a": fields.Int(), "Meta": meta(primary_key=("a", "zz"))}, "names 'zz'"),
    ("meta-key-leaves-flagged-out", lambda: {**KEY, "b": fields.Int(), "Meta": meta(primary_key=("b",))},
     "field 'id' is marked primary_key but Meta.primary_key leaves it out"),
    ("nullable-key", lambda: {"id": fields.Int(primary_key=True, null=True)}, "key field 'id' cannot be nullable"),
    ("vector-key", lambda: {"v": fields.Vector(2), "Meta": meta(primary_key="v")}, "key field 'v' is a Vector"),
    ("index-unknown-field", lambda: {**KEY, "t": fields.Text(), "Meta": meta(full_text=[FullTextIndex("ix", ["t", "zz"])])},
     "full-text index 'ix' names 'zz', which is not a field"),
    ("index-non-text", lambda: {**KEY, "Meta": meta(full_text=[FullTextIndex("ix", ["id"])])}, "'id', which is not a Text"),
    ("index-twice", lambda: {**KEY, "t": fields.Text(), "Meta": meta(full_text=[FullTextIndex("ix", ["t"])] * 2)},
     "two full-text indexes are named 'ix'"),
    ("index-bad-config", lambda: {**KEY, "t": fields.Text(), "Meta": meta(full_text=[FullTextIndex("ix", ["t"], "a-b")])},
     "config 'a-b' is not an identifier"),
    ("index-not-an-index", lambda: {**KEY, "Meta": meta(full_text=["t"])}, "holds FullTextIndex objects, not str"),
    ("relation-to-non-model", lambda: {**KEY, "r": fields.ForeignKey(int)}, "relation 'r' needs a Model class"),
    ("relation-to-abstract", lambda: {**KEY, "r": fields.ForeignKey(Abstract)}, "points at Abstract, which is abstract"),
    ("relation-to-composite", lambda: {**KEY, "r": fields.ForeignKey(Membership)}, "Membership, whose key has 2 fields"),
    *[(f"reserved-{n}", (lambda n=n: {**KEY, n: fields.Text()}), f"field name '{n}' is reserved")
      for n in ("select", "bulk_delete", "_private")],
    ("fts-config-injection", lambda: {**KEY, "t": fields.Text(fts_config="english'); drop")},
     "field 't': fts_config \"english'); drop\" is not an identifier"),
    ("fts-config-on-int", lambda: {**KEY, "n": fields.Int(fts_config="english")},
     "field 'n': only Text and TSVector fields take fts_config"),
    ("fts-source-unknown", lambda: {**KEY, "s": fields.TSVector(fts_source_columns=["nope"])},
     "field 's': fts_source_columns names 'nope', which is not a column"),
    ("fts-source-is-field-name", lambda: {**KEY, "t": fields.Text(column="tt"), "s": fields.TSVector(fts_source_columns=["t"])},
     "names 't', which is not a column"),
    ("bad-default", lambda: {**KEY, "n": fields.Int(default="x")}, "field 'n': its default is not a value"),
    ("table-not-text", lambda: {**KEY, "Meta": meta(table=3)}, "Meta.table must be a text"),
]


@pytest.mark.parametrize("make, words", [c[1:] for c in BAD_MODELS], ids=[c[0] for c in BAD_MODELS])
def test_bad_model_is_refused_naming_model_and_field(make: Callable[[], dict[str, Any]], words: str) -> None:
    with pytest.raises(DeclarationError) as raised:
        type("Bad", (Model,), {"__module__": __name__, **make()})
    assert str(raised.value).startswith("model Bad: ") and words in str(raised.value)


BAD_FIELDS: list[tuple[Callable[[], object], type[Exception], str]] = [
    (lambda: fields.Vector(0), ValueError, "dimension"),
    (lambda: fields.Decimal(max_digits=5), TypeError, "together"),
    (lambda: fields.Decimal(max_digits=2, decimal_places=3), ValueError, "decimal_places <= max_digits"),
    (lambda: fields.Text(max_length=0), ValueError, "max_length"),
    (lambda: fields.Enum(int), TypeError, "enum.Enum class"),
    (lambda: fields.ForeignKey(Author, on_delete="set_null"), ValueError, "needs null=True"),
    (lambda: fields.Int(operators="eq"), TypeError, "not one text"),
    (lambda: FullTextIndex("ix", "title"), TypeError, "not one text"),
]


@pytest.mark.parametrize("make, error, words", BAD_FIELDS)
def test_bad_field_options_are_refused(make: Callable[[], object], error: type[Exception], words: str) -> None:
    with pytest.raises(error, match=words):
        make()


def ops(*extra: str) -> list[str]:
    return ["eq", "ne", "lt", "lte", "gt", "gte", *extra]


FULL_TEXT = ["match", "match_phrase", "match_websearch", "match_boolean"]


def test_metadata_documents() -> None:
    def f(name: str, kind: str, operators: list[str], null: bool = False, **extra: Any) -> dict[str, Any]:
        return {"name": name, "column_name": extra.pop("column", name), "field_type": kind,
                "allowed_operators": operators, "nullable": null, **extra}

    assert Post.__metadata__ == {
        "model_name": "Post", "table_name": "posts", "pk_index": 0, "pk_fields": [],
        "fields": [f("id", "big_int", ops()), f("author_id", "int", ops("is_null", "is_not_null"), True),
                   f("title", "text", ops("contains", "icontains", *FULL_TEXT)),
                   f("body", "text", ops("contains", "icontains", *FULL_TEXT), fts_config="english"),
                   f("views", "int", ops()), f("published_at", "datetime", ops("is_null", "is_not_null"), True),
                   f("embedding", "vector", ["is_null", "is_not_null"], True, vector_dimensions=3),
                   f("tags", "array_text", [])],
        "full_text_indexes": [{"name": "posts_fts", "fields": ["title", "body"], "config": "english"}],
    }
    # A derived document is never NULL-tested; a configuration alone searches the column itself.
    assert Document.__metadata__["fields"][2:] == [
        f("body", "text", ops("contains", "icontains"), column="body_text"),
        f("search", "ts_vector", FULL_TEXT, fts_config="simple", fts_source_columns=["title", "body_text"]),
        f("summary", "text", ops("contains", "icontains", "is_null", "is_not_null", *FULL_TEXT), True,
          fts_config="english", fts_source_columns=["summary"]),
    ]
    assert (Membership.__metadata__["pk_index"], Membership.__metadata__["pk_fields"]) == (0, [0, 1])
    assert Membership.__table__ == "membership" and Category.__fields__[2].name == "parent_id"


def test_inherited_fields_belong_to_each_model() -> None:
    class Left(Abstract):
        name = fields.Text()

    class RightSide(Abstract):
        pass

    assert Left.id is not RightSide.id and Left.id.model is Left and RightSide.id.label == "RightSide.id"
    assert [f.name for f in Left.__fields__] == ["id", "created", "name"] and RightSide.__table__ == "right_side"
    with pytest.raises(TypeError, match="Abstract is abstract"):
        Abstract()


# -- instances ------------------------------------------------------------------


def test_instances() -> None:
    a, b = Post(title="t", body="b"), Post(title="t", body="b")
    assert a.views == 0 and a.tags == [] and a.tags is not b.tags  # callable defaults run per instance
    assert a.author_id is None and a.published_at is None
    assert a == b and a != Post(title="t", body="c") and a != Author(name="t")
    ann = Author(id=7, name="Ann")
    with_author = Post(id=3, author=ann, title="t", body="b")
    assert with_author.author is ann and with_author.author_id == 7
    assert {with_author, Post(id=3, title="other", body="b")} == {with_author, Post(id=3, title="other", body="b")}
    assert hash(with_author) == hash(Post(id=3, title="x", body="y"))
    assert (repr(with_author), repr(Membership(org_id=1, user_id=2)), repr(a)) == (
        "Post(id=3)", "Membership(org_id=1, user_id=2)", "Post(id=<unset>)")


@pytest.mark.parametrize("make, error, words", [
    (lambda: Post(title="t"), TypeError, "Post() is missing required fields: body"),
    (lambda: Post(title="t", body="b", nope=1), TypeError, "Post() got unexpected fields: nope"),
    (lambda: Document(title="t", body="b", search="x"), TypeError, "search (generated by the database)"),
    (lambda: Post(title="t", body="b", views="ten"), TypeError, "Post.views takes an int, not str"),
    (lambda: Post(title="t", body="b", author=Category(name="c")), TypeError, "Post.author takes a Author"),
    (lambda: Post(title="t", body="b", author=None, author_id=1), TypeError, "both author and author_id"),
    (lambda: hash(Post(title="t", body="b")), ValueError, "has no key yet"),
])
def test_instance_errors(make: Callable[[], object], error: type[Exception], words: str) -> None:
    with pytest.raises(error) as raised:
        make()
    assert words in str(raised.value)


def test_absent_values_raise_attribute_errors_that_explain() -> None:
    partial = object.__new__(Post)  # as a select of id and title builds it
    partial.__dict__.update(id=1, title="t")
    with pytest.raises(AttributeError, match=r"Post\.views was not loaded.*did not select it"):
        partial.views
    with pytest.raises(AttributeError, match=r"Post\.author was not joined: fetch with \.join\(Post\.author"):
        partial.author
    with pytest.raises(AttributeError, match=r"Post\.id is not set: the database generates it"):
        Post(title="t", body="b").id


# -- queries ----------------------------------------------------------------------


def test_queries_are_immutable_and_reusable() -> None:
    base = Post.select().where(Post.views > 1)
    before = base.sql("postgres")
    derived = [base.where(Post.id == 2), base.order_by(Post.id), base[:5], base.distinct(), base.join(Post.author),
               base.nearest(Post.embedding, [1, 2, 3]), base.rank(Post.body, "q"), base.limit(1), base.offset(1)]
    assert all(d is not base and d.sql("postgres") != before for d in derived)
    assert base.sql("postgres") == before
    for query in (base, Post.insert(title="t", body="b"), Post.update(views=1), Post.delete(), Post.bulk_delete([1])):
        with pytest.raises(AttributeError, match="immutable"):
            query.model = Author
        with pytest.raises(AttributeError, match="immutable"):
            del query.model


BUILD_ERRORS: list[tuple[Callable[[], object], type[Exception], str]] = [
    (lambda: Post.views >= "ten", TypeError, "Post.views takes an int, not str"),
    (lambda: Post.views == 2**40, ValueError, "Post.views holds 32-bit integers"),
    (lambda: Post.views > None, TypeError, "never true"),
    (lambda: Post.views == Post.title, TypeError, "Post.views and Post.title hold different types"),
    (lambda: Post.title.contains(3), TypeError, "Post.title takes a str"),
    (lambda: Post.body.match(None), TypeError, "takes a str query"),
    (lambda: Post.views.in_("12"), TypeError, "not one text"),
    (lambda: Post.views == 1 and Post.id == 2, TypeError, "no truth value"),
    (lambda: (Post.views == 1) & True, TypeError, "expected a condition"),
    # A condition on another model is placed when the statement is written
    # (it may read a joined model or an enclosing query's row).
    (lambda: Post.select().where(Author.id == 1).sql("sqlite"), TypeError,
     "a condition on Author.id cannot filter Post"),
    (lambda: Post.select().where((Post.id == 1) | ~(Author.id == 1)).sql("sqlite"), TypeError,
     "Author.id cannot filter Post"),
    (lambda: Post.select().where(True), TypeError, "where() takes conditions"),
    (lambda: Post.select(Author.name), TypeError, "select(): Author.name is not a field of Post"),
    (lambda: Post.select().order_by(Author.id.desc()), TypeError, "order_by(): Author.id is not a field of Post"),
    (lambda: Post.select()[3], TypeError, "queries take slices"),
    (lambda: Post.select()[-1:], ValueError, "cannot be negative"),
    (lambda: Post.select()[::2], ValueError, "no step"),
    (lambda: Post.select().limit(-1), ValueError, "cannot be negative"),
    (lambda: Post.select().offset(True), TypeError, "takes an int, not bool"),
    (lambda: Author.select().join(Post.author), TypeError, "join() takes a relation of Author"),
    (lambda: Post.select().join(Post.author, Post.title), TypeError, "Post.title is not a field of Author"),
    (lambda: Post.select().nearest(Post.views, [1.0]), TypeError, "nearest() orders by a Vector field"),
    (lambda: Post.select().nearest(Post.embedding, [1.0]), ValueError, "3 dimensions, not 1"),
    (lambda: Post.select().nearest(Post.embedding, [1, 2, 3], "hamming"), ValueError, "metric"),
    (lambda: Post.select().rank(Post.views, "q"), TypeError, "rank() orders by a Text or TSVector"),
    (lambda: Post.select().rank(Post.body, "q", "fuzzy"), ValueError, "mode"),
    (lambda: Post.insert(title="t", body="b", views="ten"), TypeError, "Post.views takes an int"),
    (lambda: Post.insert(title="t"), TypeError, "needs a value for 'body'"),
    (lambda: Post.insert(Post(title="t", body="b"), views=1), TypeError, "not both"),
    (lambda: Post.insert(Author(name="a")), TypeError, "takes a Post, not Author"),
    (lambda: Post.update(views=1.5), TypeError, "Post.views takes an int, not float"),
    (lambda: Post.update(nope=1), TypeError, "Post has no field 'nope'"),
    (lambda: Post.update(), TypeError, "at least one field"),
    (lambda: Document.update(search="x"), TypeError, "derived by the database"),
    (lambda: Post.bulk_insert([{"title": "t", "body": 3}]), TypeError, "Post.body takes a str"),
    (lambda: Post.bulk_insert({"title": "t", "body": "b"}), TypeError, "takes a list of rows"),
    (lambda: Post.bulk_insert([("t", "b")]), TypeError, "takes instances or dicts, not tuple"),
    (lambda: Post.bulk_insert([Post(id=1, title="t", body="b"), {"title": "t", "body": "b"}]), ValueError,
     "row 1 leaves out the key 'id'"),
    (lambda: Post.bulk_update([Post(id=1, title="t", body="b")], fields=[Post.id]), TypeError, "part of the key"),
    (lambda: Post.bulk_update([Post(title="t", body="b")], fields=[Post.views]), ValueError, "without its key"),
    (lambda: Post.bulk_update([Author(id=1, name="a")], fields=[Post.views]), TypeError, "takes Post instances"),
    (lambda: Post.bulk_update([], fields=[]), TypeError, "at least one field"),
    (lambda: Document.bulk_update([], fields=[Document.search]), TypeError, "derived by the database"),
    (lambda: Post.bulk_delete(["1"]), TypeError, "Post.id takes an int, not str"),
    (lambda: Post.bulk_delete([2**63]), ValueError, "64-bit"),
    (lambda: Post.bulk_delete("12"), TypeError, "takes a list of keys"),
    (lambda: Membership.bulk_delete([1]), ValueError, "keys are tuples of (org_id, user_id), not 1"),
    (lambda: Membership.bulk_delete([(1, "2")]), TypeError, "Membership.user_id takes an int"),
    (lambda: Post.select().where(Post.published_at > dt.datetime(2024, 1, 1)), ValueError, "not a naive one"),
    (lambda: Post.select().where(Post.published_at > dt.datetime(1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1)))),
     ValueError, "no UTC time"),
]


@pytest.mark.parametrize("build, error, words", BUILD_ERRORS, ids=[f"{i}" for i in range(len(BUILD_ERRORS))])
def test_errors_are_raised_while_the_query_is_built(build: Callable[[], object], error: type[Exception],
                                                    words: str) -> None:
    with pytest.raises(error) as raised:
        build()
    assert type(raised.value) is error and words in str(raised.value)


def test_a_relation_compares_through_its_key() -> None:
    ann = Author(id=7, name="Ann")
    for cond, key in ((Post.author == ann, ("eq", 7)), (Post.author != 3, ("ne", 3)),
                      (Post.author == None, ("is_null", None)), (Post.author.is_not_null(), ("is_not_null", None))):  # noqa: E711
        assert (cond.field, cond.operator, cond.value) == (Post.author_id, *key)  # type: ignore[attr-defined]


def test_bounded_text_refuses_longer_values_and_unsearchable_columns_are_declaration_errors() -> None:
    class Short(Model):
        id = fields.Int(primary_key=True)
        code = fields.Text(max_length=3)

    Short(code="abc")
    with pytest.raises(ValueError, match="at most 3 characters, not 4"):
        Short.insert(code="abcd")
    with pytest.raises(DeclarationError, match="searched by name"):
        class Odd(Model):
            id = fields.Int(primary_key=True)
            note = fields.Text(column="a note", fts_config="english")
