"""Models the ORM tests share: the blog pair of the API document, a composite
key, one field of every type, derived text-search documents, an enum stored
by value and one stored by name, a self relation and awkward column names."""

from __future__ import annotations

import datetime as dt
import enum

from sarnic import FullTextIndex, Model, fields


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    email = fields.Text(null=True, unique=True)

    class Meta:
        table = "authors"


class Post(Model):
    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author, null=True)
    author_id: fields.Int[int | None]  # added by the relation; declared for type checkers
    title = fields.Text()
    body = fields.Text(fts_config="english")
    views = fields.Int(default=0)
    published_at = fields.DateTime(null=True)
    embedding = fields.Vector(3, null=True)
    tags = fields.TextArray(default=list)

    class Meta:
        table = "posts"
        full_text = [FullTextIndex("posts_fts", ["title", "body"], config="english")]


class Membership(Model):
    org_id = fields.Int()
    user_id = fields.BigInt()
    role = fields.Text(default="member")

    class Meta:
        primary_key = ("org_id", "user_id")


class Color(enum.Enum):  # texts: stored by value
    RED = "red"
    GREEN = "grün"


class Level(enum.Enum):  # numbers: stored by name
    LOW = 1
    HIGH = 3


class Everything(Model):
    id = fields.Int(primary_key=True)
    big = fields.BigInt()
    ratio = fields.Float()
    amount = fields.Decimal(max_digits=40, decimal_places=20)
    text = fields.Text(max_length=200)
    flag = fields.Bool()
    at = fields.DateTime()
    wall = fields.DateTime(timezone=False)
    day = fields.Date()
    clock = fields.Time()
    uid = fields.UUID()
    doc = fields.JSON()
    blob = fields.Bytes()
    vec = fields.Vector(3)
    search = fields.TSVector()
    texts = fields.TextArray()
    ints = fields.IntArray()
    floats = fields.FloatArray()
    uids = fields.UUIDArray()
    color = fields.Enum(Color)
    level = fields.Enum(Level)
    note = fields.Text(null=True)
    when = fields.DateTime(null=True, default=lambda: dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc))


class Document(Model):
    id = fields.Int(primary_key=True)
    title = fields.Text()
    body = fields.Text(column="body_text")
    # Derived by the database from its columns: never written by the layer.
    search = fields.TSVector(fts_config="simple", fts_source_columns=["title", "body_text"])
    summary = fields.Text(null=True, fts_config="english")


class Category(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    parent = fields.ForeignKey("self", null=True, on_delete="set_null")


class Odd(Model):
    """Columns that are keywords or need quoting, and fields named like paging."""

    key = fields.Int(primary_key=True, column="select")
    limit = fields.Int(column="order by")
    offset = fields.Text(column='say "hi"')
    group = fields.Text(null=True, column="ünï")

    class Meta:
        table = "user"
