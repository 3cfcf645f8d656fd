"""The DDL of sarnic.schema on each engine: the tables take every field type,
the core's statements run on them (full-text match and rank included), the
SQLite companions follow inserts, updates and deletes, and the drops leave
nothing behind."""

from __future__ import annotations

import datetime as dt
import decimal
import enum
import json
import uuid
from collections.abc import Iterator, Sequence
from typing import Any

import pytest

from sarnic import FullTextIndex, Model, Query, fields
from sarnic.schema import bulk_update_refusal, create_statements, drop_statements, ordered

from .drivers import ENGINES, Engine
from .servers import open_engine

UTC = dt.timezone.utc


class Mood(enum.Enum):
    GLAD = "glad"
    ODD = "it's a \\ mood"


class Author(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text(unique=True)
    motto = fields.Text(default="it's \\ fine")

    class Meta:
        table = "authors"


class Kitchen(Model):
    """Every field type but the vector, and every kind of searched field."""

    id = fields.BigInt(primary_key=True)
    author = fields.ForeignKey(Author, null=True, on_delete="set_null")
    small = fields.Int(default=-3)
    ratio = fields.Float(default=0.25)
    price = fields.Decimal(max_digits=12, decimal_places=4, default=decimal.Decimal("1.50"))
    loose = fields.Decimal(null=True)
    flag = fields.Bool(default=True)
    at = fields.DateTime(null=True)
    naive = fields.DateTime(timezone=False, null=True)
    day = fields.Date(null=True)
    clock = fields.Time(null=True)
    token = fields.UUID(unique=True)
    doc = fields.JSON(null=True)
    blob = fields.Bytes(null=True)
    words = fields.TextArray(default=list)
    ints = fields.IntArray(null=True)
    floats = fields.FloatArray(null=True)
    ids = fields.UUIDArray(null=True)
    mood = fields.Enum(Mood, default=Mood.ODD)
    title = fields.Text(max_length=200)
    body = fields.Text(fts_config="english")
    notes = fields.Text(null=True)
    raw = fields.TSVector(null=True)
    derived = fields.TSVector(fts_source_columns=["title", "body"], fts_config="english")

    class Meta:
        table = "kitchen"
        full_text = [FullTextIndex("kitchen_ft", ["title", "notes"], config="english")]


def page_model(name: str, column: str) -> Any:
    """A text key (companions keyed by rowid), a self reference, hostile names."""

    class Page(Model):
        slug = fields.Text(primary_key=True)
        parent = fields.ForeignKey("self", null=True, on_delete="cascade")
        text = fields.Text(column=column)
        rank = fields.Int(column="order", default=0, index=True)

        class Meta:
            table = name
            full_text = [FullTextIndex(f"{name} ft", ["text"], config="simple")]

    return Page


# The mariadb connector miscounts placeholders after a lone " inside backticks.
PAGES = {"postgres": page_model('Zürich "order" `x` y', 'wé"ird `text'),
         "mysql": page_model("Zürich `order` x y", "wé`ird text")}
PAGES["sqlite"] = PAGES["postgres"]


class Membership(Model):
    org = fields.Int()
    member = fields.Int()
    role = fields.Text(index=True)

    class Meta:
        primary_key = ("org", "member")


class Embedded(Model):
    id = fields.Int(primary_key=True)
    vec = fields.Vector(3)




def models(db: Db) -> list[type[Model]]:
    return [Kitchen, Author, PAGES[db.dialect], Membership]


#: the core's dialect for each engine of the tier
DIALECT = {"postgres": "postgres", "mariadb": "mysql", "sqlite": "sqlite"}
CATALOG = {
    "postgres": "SELECT c.relname AS n FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                "WHERE n.nspname = $1",
    "mysql": "SELECT table_name AS n FROM information_schema.tables WHERE table_schema = ?",
    "sqlite": "SELECT name AS n FROM sqlite_master",
}


class Db:
    """A tier engine (a schema of its own) seen through the core's dialect."""

    def __init__(self, engine: Engine) -> None:
        self.engine = engine
        self.dialect = DIALECT[engine.name]
        self.error = engine.error

    def run(self, sql: str, params: Sequence[Any] = ()) -> list[dict[str, Any]]:
        return self.engine.fetch(sql, params)

    def objects(self) -> set[str]:
        schema = getattr(self.engine, "schema", None)
        return {r["n"] for r in self.run(CATALOG[self.dialect], [schema] if schema else [])}


def _open(name: str) -> Iterator[Db]:
    engine = open_engine(name)
    try:
        yield Db(engine)
    finally:
        engine.close()


@pytest.fixture(params=list(ENGINES))
def db(request: pytest.FixtureRequest) -> Iterator[Db]:
    yield from _open(request.param)


@pytest.fixture
def pg() -> Iterator[Db]:
    yield from _open("postgres")


def driver_value(db: Db, model: type[Model], label: str, value: Any) -> Any:
    """A compiled parameter as the driver takes it, from the field its label names."""
    f = model.__fields_by_name__.get(label.rpartition(":")[0])
    if f is None or value is None or label.endswith((":match", ":text_rank")):
        return value
    tag, plain = f.bind(value)
    kind = f.field_type
    if kind == "json":
        return plain  # already JSON text
    if kind == "vector" or kind.startswith("array_"):
        if db.dialect != "postgres":
            return json.dumps(plain)
        return [uuid.UUID(v) for v in plain] if kind == "array_uuid" else plain
    if kind == "bytes":
        return bytes(plain)
    if db.dialect == "sqlite":
        return int(plain) if kind == "bool" else plain
    if kind == "datetime":
        moment = dt.datetime.fromisoformat(plain)
        return moment.astimezone(UTC).replace(tzinfo=None) if db.dialect == "mysql" and moment.tzinfo else moment
    converters: dict[str, Any] = {"decimal": decimal.Decimal, "date": dt.date.fromisoformat,
                                  "time": dt.time.fromisoformat, "uuid": uuid.UUID if db.dialect == "postgres" else str}
    return converters.get(kind, lambda v: v)(plain)


def run(db: Db, query: Query[Any]) -> list[dict[str, Any]]:
    c = query.sql(db.dialect)
    return db.run(c.sql, [driver_value(db, query.model, lb, v) for lb, v in zip(c.labels, c.params)])


def found(db: Db, query: Any) -> list[Any]:
    model = query.model
    return [row[model.__pk__[0].column] for row in run(db, query)]


def create(db: Db, models: Sequence[type[Model]], **options: Any) -> None:
    for sql in create_statements(ordered(models), db.dialect, **options):
        db.run(sql)


def kitchen_row(n: int, title: str, body: str, notes: str, raw: str, **extra: Any) -> Kitchen:
    return Kitchen(**extra,
        id=n, title=title, body=body, notes=notes, raw=raw, token=uuid.uuid4(), loose=decimal.Decimal("-12345.6789"),
        at=dt.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=UTC), naive=dt.datetime(2024, 1, 2, 3, 4, 5),
        day=dt.date(2023, 12, 31), clock=dt.time(23, 59, 58, 5), doc={"k": [1, "two", None]}, blob=b"\x00\xff",
        words=["a", "b'c"], ints=[1, -2], floats=[0.5, -1.0], ids=[uuid.uuid4()], mood=Mood.GLAD)


ROWS = [
    kitchen_row(1, "Quick brown foxes", "jumping across sleepy meadows", "garden party", "quick fox"),
    kitchen_row(2, "Slow green turtles", "sleeping beneath warm rocks", "village pond", "slow turtle"),
]
# field -> (query word, the row it finds)
SEARCHES = [("title", "foxes", 1), ("notes", "village", 2), ("body", "beneath", 2), ("derived", "turtles", 2),
            ("raw", "quick", 1)]


def test_every_field_type_round_trips_and_search_finds_rows(db: Db) -> None:
    create(db, models(db), collation="utf8mb4_uca1400_as_ci" if db.dialect == "mysql" else None)
    ann = Author(name="Ann")
    db.run(*_raw_insert_author(db))  # the DDL's defaults, when a statement leaves columns out
    for row in ROWS:
        run(db, Kitchen.insert(row))
    stored = {r["id"]: r for r in run(db, Kitchen.select().order_by(Kitchen.id))}
    for row in ROWS:
        got = stored[row.id]
        for f in Kitchen.__fields__:
            if isinstance(f, fields.TSVector):
                continue  # engines normalise documents
            value = got[f.column]
            assert (None if value is None else f.from_plain(value)) == getattr(row, f.name), f.name
    authors = run(db, Author.select())
    assert [(a["name"], a["motto"]) for a in authors] == [("Bea", ann.motto)]
    for name, word, expected in SEARCHES:
        f = Kitchen.__fields_by_name__[name]
        assert found(db, Kitchen.select().where(f.match(word))) == [expected], name
        assert found(db, Kitchen.select().rank(f, word))[0] == expected, name


def _raw_insert_author(db: Db) -> tuple[str, list[Any]]:
    placeholder = "$1" if db.dialect == "postgres" else "?"
    return f"INSERT INTO authors (name) VALUES ({placeholder})", ["Bea"]


def test_searches_follow_updates_and_deletes(db: Db) -> None:
    create(db, models(db))
    for row in ROWS:
        run(db, Kitchen.insert(row))
    run(db, Kitchen.update(title="Lazy cats").where(Kitchen.id == 1))
    run(db, Kitchen.update(small=5).where(Kitchen.id == 2))  # touches no searched column
    title, derived, body = Kitchen.title, Kitchen.derived, Kitchen.body
    assert found(db, Kitchen.select().where(title.match("foxes"))) == []
    assert found(db, Kitchen.select().where(title.match("cats"))) == [1]
    assert found(db, Kitchen.select().where(derived.match("cats"))) == [1]
    assert found(db, Kitchen.select().where(body.match("beneath"))) == [2]
    run(db, Kitchen.delete().where(Kitchen.id == 2))
    assert found(db, Kitchen.select().where(body.match("beneath"))) == []
    # A text key: the companion follows the rowid.
    Page = PAGES[db.dialect]
    for slug, text in [("a", "alpha words"), ("b", "beta words")]:
        run(db, Page.insert(slug=slug, text=text, parent_id=None if slug == "a" else "a"))
    run(db, Page.update(text="gamma").where(Page.slug == "b"))
    assert found(db, Page.select().where(Page.text.match("words"))) == ["a"]
    assert found(db, Page.select().where(Page.text.match("gamma"))) == ["b"]
    run(db, Page.delete().where(Page.slug == "a"))  # cascades to b
    assert found(db, Page.select().where(Page.text.match("gamma"))) == []
    assert run(db, Page.select()) == []


def test_create_twice_then_drop_leaves_nothing(db: Db) -> None:
    every = [*models(db), Embedded]
    before = db.objects()
    create(db, every)
    create(db, every, if_not_exists=True)
    assert db.objects() - before
    for sql in drop_statements(ordered(every), db.dialect):
        db.run(sql)
    assert db.objects() == before


def test_constraints_hold(db: Db) -> None:
    create(db, models(db))
    run(db, Author.insert(name="Ann"))
    run(db, Membership.insert(org=1, member=1, role="owner"))
    for statement in (Author.insert(name="Ann"), Membership.insert(org=1, member=1, role="again"),
                      Kitchen.insert(kitchen_row(9, "t", "b", "n", "r", author_id=999))):
        with pytest.raises(db.error):
            run(db, statement)
    run(db, Kitchen.insert(ROWS[0]))
    placeholder = "$1" if db.dialect == "postgres" else "?"
    with pytest.raises(db.error):  # the enum's CHECK
        db.run(f"UPDATE kitchen SET mood = {placeholder}", ["sad"])


def test_vectors(db: Db) -> None:
    create(db, [Embedded])
    for n, vec in [(1, [1.0, 0.0, 0.0]), (2, [0.0, 1.0, 0.5])]:
        run(db, Embedded.insert(id=n, vec=vec))
    assert [Embedded.vec.from_plain(r["vec"]) for r in run(db, Embedded.select().order_by(Embedded.id))] == [
        [1.0, 0.0, 0.0], [0.0, 1.0, 0.5]]
    if db.dialect == "postgres":
        assert found(db, Embedded.select().nearest(Embedded.vec, [0.1, 0.9, 0.4])) == [2, 1]


def test_postgres_search_uses_the_gin_indexes(pg: Db) -> None:
    create(pg, models(pg))
    pg.run("SET enable_seqscan = off")
    for name, index in [("title", "kitchen_title_gin"), ("body", "kitchen_body_gin"),
                        ("derived", "kitchen_derived_gin"), ("raw", "kitchen_raw_gin")]:
        c = Kitchen.select().where(Kitchen.__fields_by_name__[name].match("word")).sql("postgres")
        plan = " ".join(r["QUERY PLAN"] for r in pg.run("EXPLAIN " + c.sql, c.params))
        assert index in plan, (name, plan)


class Bulky(Model):
    id = fields.Int(primary_key=True)
    n = fields.Int()
    t = fields.Text()
    e = fields.Enum(Mood)
    d15 = fields.Decimal(max_digits=15, decimal_places=5)
    d30 = fields.Decimal(max_digits=30, decimal_places=10)
    u = fields.UUID()
    ua = fields.UUIDArray()
    tv = fields.TSVector()
    j = fields.JSON()
    at = fields.DateTime()


class UuidKeyed(Model):
    id = fields.UUID(primary_key=True)
    n = fields.Int()


def bulky(n: int, **changes: Any) -> Bulky:
    values: dict[str, Any] = dict(
        id=1, n=n, t=f"t{n}", e=Mood.GLAD, d15=decimal.Decimal("1234567890.12345"),
        d30=decimal.Decimal("12345678901234567890.0123456789"), u=uuid.UUID(int=n), ua=[uuid.UUID(int=n)],
        tv="a b", j={"n": n}, at=dt.datetime(2024, 1, n, tzinfo=UTC))
    return Bulky(**{**values, **changes})


@pytest.mark.parametrize("name", [f.name for f in Bulky.__fields__ if f.name != "id"])
def test_postgres_bulk_update_runs_exactly_when_not_refused(pg: Db, name: str) -> None:
    create(pg, [Bulky])
    run(pg, Bulky.insert(bulky(1)))
    new = bulky(2, d15=decimal.Decimal("9876543210.54321"), d30=decimal.Decimal("98765432109876543210.0123456789"))
    f = Bulky.__fields_by_name__[name]
    query = Bulky.bulk_update([new], fields=[f])
    refusal = bulk_update_refusal(Bulky, [f])
    try:
        run(pg, query)
    except pg.error:
        assert refusal is not None, f"{name}: PostgreSQL refused a bulk update the layer lets through"
        return
    stored = run(pg, Bulky.select(f))[0][f.column]
    exact = f.from_plain(stored) == getattr(new, name)
    assert exact == (refusal is None), (name, stored, refusal)


def test_postgres_bulk_update_by_uuid_key_is_refused_and_fails(pg: Db) -> None:
    create(pg, [UuidKeyed])
    key = uuid.uuid4()
    run(pg, UuidKeyed.insert(id=key, n=1))
    assert bulk_update_refusal(UuidKeyed, [UuidKeyed.n]) is not None
    with pytest.raises(pg.error):
        run(pg, UuidKeyed.bulk_update([UuidKeyed(id=key, n=2)], fields=[UuidKeyed.n]))
