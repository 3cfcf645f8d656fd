"""DDL text per dialect from the models, without a database (the db tier runs it)."""

from __future__ import annotations

import decimal
import enum
import re
import uuid
from types import SimpleNamespace
from typing import Any

import pytest

from sarnic import FullTextIndex, Model, fields
from sarnic.schema import (SchemaError, bulk_update_refusal, create_statements, drop_statements, object_name,
                           ordered, statement_refusal)

DIALECTS = ("postgres", "mysql", "sqlite")


class Kind(enum.Enum):
    A = "a"
    LONG = "it's"


def one_column(field: Any, **meta: Any) -> type[Model]:
    """A model with a key and this field as column x."""
    return type(Model)("One", (Model,), {"id": fields.Int(primary_key=True), "x": field,
                                         "Meta": type("Meta", (), {"table": "t", **meta})})


def ddl(model: type[Model], dialect: str, **options: Any) -> str:
    return "\n".join(create_statements([model], dialect, **options))


# field -> the column definition of x per dialect (postgres, mysql, sqlite)
COLUMNS: list[tuple[Any, tuple[str, str, str]]] = [
    (fields.Int(), ("integer NOT NULL", "INT NOT NULL", "INTEGER NOT NULL")),
    (fields.BigInt(null=True, default=-7), ("bigint DEFAULT -7", "BIGINT DEFAULT -7", "INTEGER DEFAULT -7")),
    (fields.Float(default=0.5), ("double precision NOT NULL DEFAULT 0.5", "DOUBLE NOT NULL DEFAULT 0.5",
                                 "REAL NOT NULL DEFAULT 0.5")),
    (fields.Decimal(max_digits=9, decimal_places=3, default=decimal.Decimal("1.50")),
     ("numeric(9,3) NOT NULL DEFAULT 1.50", "DECIMAL(9,3) NOT NULL DEFAULT 1.50", "TEXT NOT NULL DEFAULT '1.50'")),
    (fields.Decimal(null=True), ("numeric", "DECIMAL(65,30)", "TEXT")),
    (fields.Text(default="it's \\ x"), ("text NOT NULL DEFAULT 'it''s \\ x'",
                                         "LONGTEXT NOT NULL DEFAULT ('it''s \\\\ x')",
                                         "TEXT NOT NULL DEFAULT 'it''s \\ x'")),
    (fields.Text(max_length=40), ("varchar(40) NOT NULL", "VARCHAR(40) NOT NULL", "TEXT NOT NULL")),
    (fields.Text(unique=True), ("text NOT NULL", "VARCHAR(255) NOT NULL", "TEXT NOT NULL")),
    (fields.Text(index=True), ("text NOT NULL", "VARCHAR(255) NOT NULL", "TEXT NOT NULL")),
    (fields.Bool(default=False), ("boolean NOT NULL DEFAULT false", "BOOLEAN NOT NULL DEFAULT FALSE",
                                  "INTEGER NOT NULL DEFAULT 0")),
    (fields.DateTime(), ("timestamptz NOT NULL", "DATETIME(6) NOT NULL", "TEXT NOT NULL")),
    (fields.DateTime(timezone=False, default=lambda: None, null=True), ("timestamp", "DATETIME(6)", "TEXT")),
    (fields.Date(), ("date NOT NULL", "DATE NOT NULL", "TEXT NOT NULL")),
    (fields.Time(), ("time NOT NULL", "TIME(6) NOT NULL", "TEXT NOT NULL")),
    (fields.UUID(), ("uuid NOT NULL", "CHAR(36) CHARACTER SET ascii NOT NULL", "TEXT NOT NULL")),
    (fields.JSON(default={"a": 1}), ("jsonb NOT NULL", "JSON NOT NULL", "TEXT NOT NULL")),
    (fields.Bytes(), ("bytea NOT NULL", "LONGBLOB NOT NULL", "BLOB NOT NULL")),
    (fields.Vector(3), ("vector(3) NOT NULL", "JSON NOT NULL", "TEXT NOT NULL")),
    (fields.TSVector(null=True), ("tsvector", "LONGTEXT", "TEXT")),
    (fields.TextArray(default=list), ("text[] NOT NULL", "JSON NOT NULL", "TEXT NOT NULL")),
    (fields.IntArray(), ("bigint[] NOT NULL", "JSON NOT NULL", "TEXT NOT NULL")),
    (fields.FloatArray(), ("double precision[] NOT NULL", "JSON NOT NULL", "TEXT NOT NULL")),
    (fields.UUIDArray(), ("uuid[] NOT NULL", "JSON NOT NULL", "TEXT NOT NULL")),
    (fields.Enum(Kind, default=Kind.LONG), ("text NOT NULL DEFAULT 'it''s'", "VARCHAR(4) NOT NULL DEFAULT 'it''s'",
                                            "TEXT NOT NULL DEFAULT 'it''s'")),
]


@pytest.mark.parametrize("field, expected", COLUMNS,
                         ids=[f"{type(f).__name__}-{i}" for i, (f, _) in enumerate(COLUMNS)])
def test_column_types(field: Any, expected: tuple[str, str, str]) -> None:
    model = one_column(field)
    for dialect, definition in zip(DIALECTS, expected):
        q = "`" if dialect == "mysql" else '"'
        assert re.search(re.escape(f"{q}x{q} {definition}") + "[,)]", ddl(model, dialect)), dialect


def test_keys_constraints_and_references() -> None:
    class Org(Model):
        code = fields.Text(primary_key=True)

    class Seat(Model):
        org_no = fields.BigInt()
        n = fields.Int()
        kind = fields.Enum(Kind)
        org = fields.ForeignKey(Org, on_delete="cascade")

        class Meta:
            primary_key = ("org_no", "n")

    class Desk(Model):
        id = fields.BigInt(primary_key=True)
        seat = fields.ForeignKey(Org, column="where")
        boss = fields.ForeignKey("self", null=True, on_delete="set_null", index=False)

    pg, my, lite = (ddl(Seat, d) for d in DIALECTS)
    assert 'PRIMARY KEY ("org_no", "n")' in pg and "PRIMARY KEY (`org_no`, `n`)" in my
    assert 'CONSTRAINT "seat_kind_check" CHECK ("kind" IN (\'a\', \'it\'\'s\'))' in pg
    assert ('CONSTRAINT "seat_org_id_fkey" FOREIGN KEY ("org_id") REFERENCES "org" ("code") ON DELETE CASCADE'
            in lite)
    assert "`org_id` VARCHAR(255) NOT NULL" in my and '"org_id" text NOT NULL' in pg
    assert 'CREATE INDEX IF NOT EXISTS "seat_org_id_idx" ON "seat" ("org_id")' in pg
    assert "KEY `seat_org_id_idx` (`org_id`)" in my
    assert "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_0900_as_ci" in ddl(
        Seat, "mysql", collation="utf8mb4_0900_as_ci")
    # An auto key numbers itself; a column referring to one does not.
    desk = {d: ddl(Desk, d) for d in DIALECTS}
    assert '"id" bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY' in desk["postgres"]
    assert "`id` BIGINT AUTO_INCREMENT PRIMARY KEY" in desk["mysql"]
    assert '"id" INTEGER PRIMARY KEY,' in desk["sqlite"]
    assert '"where" text NOT NULL' in desk["postgres"]
    assert '"boss_id" bigint,' in desk["postgres"] and "desk_boss_id_idx" not in desk["postgres"]
    assert 'REFERENCES "desk" ("id") ON DELETE SET NULL' in desk["sqlite"]


def test_hostile_names_are_quoted_as_the_core_quotes_them() -> None:
    class Odd(Model):
        id = fields.Int(primary_key=True, column='o"r`d er')
        z = fields.Text(column="order", index=True, fts_config="simple")

        class Meta:
            table = 'tä"b`le'

    pg, my = ddl(Odd, "postgres"), ddl(Odd, "mysql")
    assert 'CREATE TABLE IF NOT EXISTS "tä""b`le" ("o""r`d er" integer' in pg
    assert 'ON "tä""b`le" USING gin (to_tsvector(\'simple\', "order"))' in pg
    assert "CREATE TABLE IF NOT EXISTS `tä\"b``le` (`o\"r``d er` INT" in my
    compiled = Odd.select().where(Odd.z.match("q")).sql("postgres").sql
    assert "to_tsvector('simple', \"order\")" in compiled


@pytest.mark.parametrize("declare, message", [
    (lambda: one_column(fields.Text(default="a\x00b")), "NUL"),
    (lambda: one_column(fields.Float(default=float("inf"))), "no SQL literal"),
    (lambda: one_column(fields.Int(column="a\x00")), "NUL"),
    (lambda: one_column(fields.TSVector(fts_source_columns=[])), "no column"),
])
def test_refused_declarations(declare: Any, message: str) -> None:
    model = declare()
    for dialect in DIALECTS:
        with pytest.raises(SchemaError, match=message):
            create_statements([model], dialect)


def test_refused_options() -> None:
    model = one_column(fields.Int())
    with pytest.raises(SchemaError, match="collation"):
        create_statements([model], "mysql", collation="x; DROP TABLE t")
    with pytest.raises(ValueError, match="dialect"):
        create_statements([model], "mssql")


def test_long_names_are_shortened_distinctly() -> None:
    a, b = (object_name("ü" * 40 + tail, "column", "idx") for tail in ("a", "b"))
    assert a != b and a.endswith("_idx") and b.endswith("_idx")
    assert all(len(n.encode()) <= 63 for n in (a, b))
    assert object_name("short", "col", "key") == "short_col_key"


def test_order_puts_references_first_and_names_cycles(monkeypatch: pytest.MonkeyPatch) -> None:
    class A(Model):
        id = fields.Int(primary_key=True)
        me = fields.ForeignKey("self", null=True)

    class B(Model):
        id = fields.Int(primary_key=True)
        a = fields.ForeignKey(A)

    class C(Model):
        id = fields.Int(primary_key=True)
        b = fields.ForeignKey(B)

    class D(Model):
        id = fields.Int(primary_key=True)

    assert ordered([C, D, B, A, D]) == [D, A, B, C]
    assert ordered([C]) == [C]  # the referenced tables are taken to exist
    assert drop_statements(ordered([B, A]), "postgres") == ['DROP TABLE IF EXISTS "b"', 'DROP TABLE IF EXISTS "a"']

    class X(Model):
        id = fields.Int(primary_key=True)

    class Y(Model):
        id = fields.Int(primary_key=True)
        x = fields.ForeignKey(X)

    # Declarations cannot close a cycle (a relation needs its target class), but a hand-made one is named.
    monkeypatch.setattr(X, "__relations__", {"y": SimpleNamespace(target=Y)})
    with pytest.raises(SchemaError, match="cycle: (X -> Y -> X|Y -> X -> Y)"):
        ordered([X, Y])


class Searched(Model):
    id = fields.Int(primary_key=True)
    title = fields.Text()
    body = fields.Text(column="body_txt")
    intro = fields.Text(fts_config="french")
    tags = fields.Text(fts_source_columns=["title", "intro"])
    doc = fields.TSVector(fts_source_columns=["title", "body_txt"])
    raw = fields.TSVector(null=True, fts_config="german")

    class Meta:
        full_text = [FullTextIndex("first", ["body", "title"]), FullTextIndex("second", ["title"], config="english")]


def test_full_text_objects_per_dialect() -> None:
    pg = create_statements([Searched], "postgres")
    gin = [s.split(" USING gin ")[1] for s in pg if " USING gin " in s]
    # The first index has no configuration, so body and title get no index.
    assert gin == ["(to_tsvector('french', \"intro\"))", '("doc")', '("raw")']
    assert ("\"doc\" tsvector GENERATED ALWAYS AS (to_tsvector('simple', coalesce(\"title\", '') || ' ' || "
            "coalesce(\"body_txt\", ''))) STORED") in pg[0]
    my = ddl(Searched, "mysql")
    assert ("FULLTEXT KEY `first` (`body_txt`, `title`), FULLTEXT KEY `searched_intro_ft` (`intro`), "
            "FULLTEXT KEY `searched_tags_ft` (`title`, `intro`), FULLTEXT KEY `searched_doc_ft` (`title`, `body_txt`), "
            "FULLTEXT KEY `searched_raw_ft` (`raw`), "
            # each field of a shared index also alone, for a match of that field only
            "FULLTEXT KEY `first_title` (`title`), FULLTEXT KEY `first_body` (`body_txt`)") in my
    assert "`doc` LONGTEXT AS (CONCAT_WS(' ', `title`, `body_txt`)) VIRTUAL" in my
    lite = create_statements([Searched], "sqlite")
    companions = [s.split(" USING fts5")[0].split()[-1] for s in lite if "USING fts5" in s]
    assert companions == ['"first"', '"searched_intro_fts"', '"searched_tags_fts"', '"searched_doc_fts"',
                          '"searched_raw_fts"']
    assert "content='searched', content_rowid='id', tokenize='unicode61')" in lite[1]
    # An update of a derived document's sources, or of the rowid, re-indexes it.
    assert any('AFTER UPDATE OF "title", "body_txt", "id" ON "searched"' in s and '"searched_doc_fts"' in s
               for s in lite)
    assert drop_statements([Searched], "sqlite")[1:] == [f"DROP TABLE IF EXISTS {c}" for c in companions]


def test_mysql_stores_a_derived_document_that_a_match_lists() -> None:
    class Nested(Model):
        id = fields.Int(primary_key=True)
        a = fields.Text()
        doc = fields.TSVector(fts_source_columns=["a"])
        t = fields.Text(fts_source_columns=["doc"])

    assert "`doc` LONGTEXT AS (CONCAT_WS(' ', `a`)) STORED" in ddl(Nested, "mysql")


class Keyed(Model):
    id = fields.UUID(primary_key=True)
    n = fields.Int()


class Counted(Model):
    id = fields.Int(primary_key=True)
    token = fields.UUID()
    price = fields.Decimal(max_digits=15, decimal_places=2)
    wide = fields.Decimal(max_digits=16, decimal_places=2)


def test_refusals() -> None:
    assert "finds rows by Keyed.id" in (bulk_update_refusal(Keyed, [Keyed.n]) or "")
    assert bulk_update_refusal(Counted, [Counted.price]) is None
    assert "sets Counted.token" in (bulk_update_refusal(Counted, [Counted.price, Counted.token]) or "")
    assert bulk_update_refusal(Counted, [Counted.token], "mysql") is None
    assert bulk_update_refusal(Counted, [Counted.wide]) is None  # decimals go as numeric
    obj = Counted(id=1, token=uuid.uuid4(), price=decimal.Decimal(1), wide=decimal.Decimal(2))
    assert statement_refusal(Counted.bulk_update([obj], fields=[Counted.price]), "postgres") is None
    for query in (Counted.select().where(Counted.price > 1), Counted.select().order_by(Counted.price.desc()),
                  Counted.delete().where(~((Counted.id == 1) | (Counted.price <= 2)))):
        assert "Counted.price is a Decimal" in str(statement_refusal(query, "sqlite"))
        assert statement_refusal(query, "postgres") is None
    assert statement_refusal(Counted.select().where(Counted.price == 1), "sqlite") is None
