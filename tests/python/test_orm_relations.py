"""Relations on SQLite: names resolved once the models exist, the many sides
and their through models, prefetch (order, empty lists, nesting, one select
per level, 50,000 parents), add/remove/clear, and the foreign keys' actions
enforced by the database."""

from __future__ import annotations

import asyncio
import os
import re
import sqlite3
import subprocess
import sys
import uuid
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

import pytest

import relations_typed_usage
import sarnic
from relation_models import MODELS, Favorite, Reader, Staff, Story, Topic, Writer
from sarnic import Model, fields, schema
from sarnic.model.base import DeclarationError

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent


def unique(stem: str) -> str:
    return f"{stem}{uuid.uuid4().hex[:8]}"


def model(name: str, module: str = __name__, **body: Any) -> type[Model]:
    return type(name, (Model,), {"__module__": module, "id": fields.Int(primary_key=True), **body})


# -- names ---------------------------------------------------------------------------


def test_a_model_naming_one_not_yet_defined_waits_for_it() -> None:
    parent, middle = unique("Parent"), unique("Middle")
    child = model(unique("Child"), up=fields.ForeignKey(middle, on_delete="cascade"))
    mid = model(middle, up=fields.ForeignKey(parent, null=True))
    for use in (child.select, child, lambda: schema.ordered([child])):
        with pytest.raises(DeclarationError, match=f"relation 'up' names the model '{middle}'|points at {middle}"):
            use()
    with pytest.raises(DeclarationError, match=f"names the model '{parent}', which is not defined"):
        mid.select()
    top = model(parent, id=fields.BigInt(primary_key=True))
    # The key field takes the type of the key it refers to, once that exists.
    assert isinstance(mid.up_id, fields.BigInt) and isinstance(child.up_id, fields.Int)  # type: ignore[attr-defined]
    assert child.up.target is mid and mid.up.target is top  # type: ignore[attr-defined]
    assert child(up_id=1).up_id == 1 and child.select().sql("sqlite").sql.startswith("SELECT")  # type: ignore[attr-defined]


def test_a_model_names_itself_and_a_shared_name_is_an_error_naming_both() -> None:
    boss = unique("Boss")
    own = model(boss, manager=fields.ForeignKey(boss, null=True, on_delete="set_null"))
    assert own.manager.target is own and own.manager_id.null  # type: ignore[attr-defined]
    # Names are looked up among live models: the namesakes are held, or a
    # garbage collection in between would leave one name.
    namesake = model(boss, module="elsewhere")
    with pytest.raises(DeclarationError, match=rf"2 models are named '{boss}' \({__name__}\.{boss}, elsewhere\.{boss}\)"):
        model(unique("Ref"), boss=fields.ForeignKey(boss))
    # The class itself is never ambiguous.
    assert model(unique("Ref"), boss=fields.ForeignKey(own)).boss.target is own  # type: ignore[attr-defined]
    # Found shared while the model waits for another name: refused for good, saying why.
    twin, later = unique("Twin"), unique("Later")
    waiting = model(unique("Waiting"), a=fields.ForeignKey(later), b=fields.ForeignKey(twin))
    held = model(twin), model(twin, module="elsewhere"), model(later)
    with pytest.raises(DeclarationError, match=f"relation 'b' names the model '{twin}', but 2 models are named"):
        waiting.select()
    assert namesake is not None and held


BAD_RELATIONS: list[tuple[Callable[[], Any], type[Exception], str]] = [
    (lambda: fields.Reverse("Story"), ValueError, "'Model.field'"),
    (lambda: fields.Reverse(3), TypeError, "takes a foreign key"),  # type: ignore[arg-type]
    (lambda: (m := model(unique("W"), s=fields.Reverse("Story.nope"))).select().prefetch(m.s),  # type: ignore[attr-defined]
     DeclarationError, r"Story.nope, which is not a foreign key of Story \(its foreign keys: writer\)"),
    (lambda: (m := model(unique("W"), s=fields.Reverse("Favorite.reader"))).select().prefetch(m.s),  # type: ignore[attr-defined]
     DeclarationError, "the other side of Favorite.reader, which points at Reader"),
    (lambda: (m := model(unique("W"), s=fields.Reverse("NoSuchModel.x"))).select().prefetch(m.s),  # type: ignore[attr-defined]
     DeclarationError, "names the model 'NoSuchModel', which is not defined"),
    (lambda: (m := model(unique("W"), t=fields.ManyToMany("NoSuchTag"))).select().prefetch(m.t),  # type: ignore[attr-defined]
     DeclarationError, "names the model 'NoSuchTag', which is not defined"),
    (lambda: (m := model(unique("W"), t=fields.ManyToMany(Topic, through=Favorite))).select().prefetch(m.t),  # type: ignore[attr-defined]
     DeclarationError, "through model Favorite needs exactly one foreign key to W.* and one to Topic"),
    (lambda: Writer.select().prefetch(Writer.stories, Story.select()[:3]), ValueError, "filter them with where"),
    (lambda: Writer.select().prefetch(Writer.stories, Topic.select()), TypeError, "takes a select of Story"),
    (lambda: Writer.select(Writer.name).prefetch(Writer.stories), ValueError, "by Writer.id: select it"),
    (lambda: Story.select().prefetch(Writer.stories), TypeError, "relation of Story"),
    (lambda: Story.topics.add(Story(title="t"), Topic(name="x")), ValueError, "has no key yet"),
    (lambda: Story.topics.add(Story(id=1, title="t"), Reader(id=1, name="x")), TypeError, "Topic instances"),
    (lambda: Story.topics.add(Story(id=1, title="t"), "x"), TypeError, "takes an int"),
    (lambda: Writer.stories.add(Writer(id=1, name="w"), Story(id=1, title="t")), TypeError, "set the key"),
]


@pytest.mark.parametrize("make, error, words", BAD_RELATIONS)
def test_bad_relations_and_prefetches_are_refused_before_sql(make: Callable[[], Any], error: type[Exception],
                                                             words: str) -> None:
    with pytest.raises(error, match=words):
        make()


def test_the_automatic_through_model_and_its_tables() -> None:
    through = Story.topics.through
    assert (through.__name__, through.__table__, [f.name for f in through.__pk__]) == (
        "StoryTopics", "story_topics", ["story_id", "topic_id"])
    assert {r.name: (r.target, r.on_delete) for r in through.__relations__.values()} == {
        "story": (Story, "cascade"), "topic": (Topic, "cascade")}
    ddl = schema.create_statements(schema.ordered([Topic, Story, Writer]), "sqlite")
    tables = [re.search(r'TABLE IF NOT EXISTS "(\w+)"', s).group(1) for s in ddl if "CREATE TABLE" in s]  # type: ignore[union-attr]
    assert tables == ["topic", "writer", "story", "story_topics"]
    assert 'CREATE INDEX IF NOT EXISTS "story_topics_topic_id_idx" ON "story_topics" ("topic_id")' in ddl
    assert not any("story_topics_story_id_idx" in s for s in ddl)  # the key's leading column has its index
    # Creating a model alone creates its own relations' pairs; dropping a model drops every pair pointing at it.
    created = schema.ordered([Story])
    dropped = schema.ordered([Topic], dropping=True)
    assert StoryTopicsIn(created) and StoryTopicsIn(dropped) and not StoryTopicsIn(schema.ordered([Topic]))
    assert schema.drop_statements(dropped, "postgres") == ['DROP TABLE IF EXISTS "story_topics"',
                                                           'DROP TABLE IF EXISTS "topic"']


def StoryTopicsIn(models: list[type[Model]]) -> bool:  # noqa: N802
    return Story.topics.through in models


# -- typing ----------------------------------------------------------------------------

MISUSE = {
    'text: str = Writer(name="a").stories': "assignment",
    'title: int = Writer(name="a").stories[0].title': "assignment",
    'Story.topics.add(Story(title="t"), Reader(name="r"))': "arg-type",
    "Writer.select().prefetch(Writer.name)": "arg-type",
    'Writer.select().prefetch(Writer.stories, "x")': "arg-type",
    "stories: list[Topic] = Writer.stories": "assignment",
}


def test_relations_are_typed_under_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    misuse = tmp_path / "relations_misuse.py"
    header = "from relation_models import Reader, Story, Topic, Writer\n"
    misuse.write_text(header + "\n".join(MISUSE) + "\n")
    env = {**os.environ, "MYPYPATH": str(HERE)}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--no-incremental",
                           str(Path(relations_typed_usage.__file__)), str(misuse)],
                          capture_output=True, text=True, cwd=ROOT, env=env)  # fmt: skip
    errors = re.findall(r"^(.*?):(\d+): error: .*\[([a-z-]+)\]$", proc.stdout, re.M)
    assert [e for e in errors if Path(e[0]).name != misuse.name] == [], proc.stdout
    found = {int(line): code for _, line, code in errors}
    assert found == {line: code for line, code in enumerate(MISUSE.values(), start=2)}, proc.stdout


# -- on a database -------------------------------------------------------------------


def run(body: Callable[[sarnic.Database], Awaitable[Any]]) -> Any:
    async def main() -> Any:
        async with sarnic.connect("sqlite://:memory:") as db:
            await db.create_tables(*MODELS)
            return await body(db)

    return asyncio.run(main())


def counting(db: sarnic.Database) -> list[str]:
    """The SQL of every statement that returns rows, from now on."""
    seen: list[str] = []
    fetch = db._fetch

    async def counted(stmt: Any, *, read_only: bool) -> Any:
        seen.append(stmt.sql)
        return await fetch(stmt, read_only=read_only)

    db._fetch = counted  # type: ignore[method-assign]
    return seen


async def blog(db: sarnic.Database) -> dict[str, Any]:
    """Three writers (the last without stories), stories with topics and readers."""
    writers = [await db.fetch_one(Writer.insert(name=n)) for n in ("ann", "bob", "cy")]
    topics = [await db.fetch_one(Topic.insert(name=n)) for n in ("py", "web", "db")]
    readers = [await db.fetch_one(Reader.insert(name=n)) for n in ("r1", "r2")]
    stories = [await db.fetch_one(Story.insert(writer=w, title=t, views=v))
               for w, t, v in ((writers[0], "a1", 5), (writers[0], "a2", 50), (writers[1], "b1", 20),
                               (writers[0], "a3", 30), (None, "orphan", 99))]
    await db.execute(Story.topics.add(stories[0], topics[2], topics[0]))
    await db.execute(Story.topics.add(stories[1], topics[1]))
    await db.execute(Favorite.bulk_insert([Favorite(story=stories[1], reader=readers[1]),
                                           Favorite(story=stories[1], reader=readers[0])]))
    return {"writers": writers, "topics": topics, "readers": readers, "stories": stories}


def test_prefetch_orders_nests_and_runs_one_select_per_level() -> None:
    async def body(db: sarnic.Database) -> Any:
        await blog(db)
        sql = counting(db)
        plain = await db.fetch(Writer.select().order_by(Writer.id).prefetch(Writer.stories))
        by_key = [[s.title for s in w.stories] for w in plain]
        nested = await db.fetch(Writer.select().order_by(Writer.id).prefetch(
            Writer.stories,
            Story.select().where(Story.views > 10).order_by(Story.views.desc())
            .prefetch(Story.topics).prefetch(Story.readers, Reader.select().order_by(Reader.name.desc()))))
        shaped = [(w.name, [(s.title, [t.name for t in s.topics], [r.name for r in s.readers]) for s in w.stories])
                  for w in nested]
        forward = await db.fetch(Story.select().order_by(Story.id).prefetch(Story.writer))
        return by_key, shaped, [None if s.writer is None else s.writer.name for s in forward], sql

    by_key, shaped, writers, sql = run(body)
    assert by_key == [["a1", "a2", "a3"], ["b1"], []]  # key order without an order_by; [] for no children
    assert shaped == [("ann", [("a2", ["web"], ["r2", "r1"]), ("a3", [], [])]), ("bob", [("b1", [], [])]),
                      ("cy", [])]
    assert writers == ["ann", "ann", "bob", "ann", None]
    # writers+stories; writers+stories+(pairs with topics)+(pairs, then readers in their order); stories+writers
    assert len(sql) == 2 + 5 + 2, sql
    assert re.search(r'FROM "story_topics" LEFT JOIN "topic"', sql[4]), sql[4]


# From 2 on: no story has more readers than one statement takes.
@pytest.mark.parametrize("size", [2, 3])
def test_chunked_prefetch_gives_what_one_statement_gives(size: int, monkeypatch: pytest.MonkeyPatch) -> None:
    from sarnic.execution import keys

    def body(db: sarnic.Database) -> Any:
        async def go() -> Any:
            await blog(db)
            readers = Reader.select().order_by(Reader.name.desc())
            for extra in range(6):  # enough pairs for parents to fall in several groups
                await db.execute(Story.readers.through.bulk_insert(
                    [Favorite(story_id=s, reader_id=r) for s in range(1, 6) for r in (1, 2) if (s + r + extra) % 4 == 0]))
            query = Writer.select().order_by(Writer.id.desc()).prefetch(
                Writer.stories, Story.select().order_by(Story.title.desc())
                .prefetch(Story.topics).prefetch(Story.readers, readers).prefetch(Story.writer))
            got = await db.fetch(query)
            return [(w.name, [(s.title, s.writer.name, [t.name for t in s.topics], [r.name for r in s.readers])
                              for s in w.stories]) for w in got]
        return go()

    expected = run(body)
    monkeypatch.setattr(keys, "KEYS_PER_STATEMENT", size)
    monkeypatch.setattr(keys, "ONE_VALUE", frozenset())  # chunks as where each key is a placeholder
    assert run(body) == expected and expected[-1][1][0][0] == "a3"


def test_prefetch_nests_to_any_depth_and_shares_targets() -> None:
    async def body(db: sarnic.Database) -> Any:
        top = await db.fetch_one(Staff.insert(name="ceo"))
        level = [top]
        for depth in range(1, 5):
            level = [await db.fetch_one(Staff.insert(name=f"{p.name}.{i}", manager=p)) for p in level for i in (1, 2)]
        sql = counting(db)
        deep = Staff.select().order_by(Staff.id.desc())
        for _ in range(3):
            deep = Staff.select().order_by(Staff.id.desc()).prefetch(Staff.reports, deep)
        (ceo,) = await db.fetch(Staff.select().where(Staff.manager_id == None)  # noqa: E711
                                .prefetch(Staff.reports, deep))
        names = [[[[x.name for x in c.reports] for c in b.reports] for b in a.reports] for a in ceo.reports]
        return names, len(sql), ceo.reports[0].reports[0].reports[0].reports[0]

    names, statements, leaf = run(body)
    with pytest.raises(TypeError, match="iterate streams rows and prefetches nothing"):
        run(lambda db: db.iterate(Staff.select().prefetch(Staff.reports)).__anext__())
    assert names[0][0][0] == ["ceo.2.2.2.2", "ceo.2.2.2.1"] and len(names) == 2 and statements == 5
    with pytest.raises(AttributeError, match=r"Staff.reports was not prefetched: fetch with .prefetch\(Staff.reports\)"):
        leaf.reports


def test_prefetch_over_50000_parents() -> None:
    n = 50_000

    async def body(db: sarnic.Database) -> Any:
        await db.execute(Writer.bulk_insert([{"id": i, "name": f"w{i}"} for i in range(1, n + 1)]))
        await db.execute(Story.bulk_insert([{"id": i, "writer_id": i // 2 + 1, "title": f"s{i}"} for i in range(n)]))
        await db.execute(Topic.bulk_insert([{"id": i, "name": f"t{i}"} for i in range(1, 4)]))
        await db.execute(Story.topics.through.bulk_insert(
            [{"story_id": i, "topic_id": 3 - i % 3} for i in range(n)] + [{"story_id": i, "topic_id": 1} for i in range(0, n, 3)]))
        sql = counting(db)
        writers = await db.fetch(Writer.select().prefetch(
            Writer.stories, Story.select().order_by(Story.id.desc()).prefetch(Story.topics)))
        return writers, len(sql)

    writers, statements = run(body)
    assert len(writers) == n and statements == 3  # one per level: SQLite binds the 50,000 keys as one value
    assert [s.id for s in writers[0].stories] == [1, 0] and [s.id for s in writers[-1].stories] == []
    assert [[t.id for t in s.topics] for s in writers[0].stories] == [[2], [1, 3]]  # 0: pairs (0, 3) and (0, 1)
    assert sum(len(w.stories) for w in writers) == n


def test_add_remove_and_clear_keep_pairs_once() -> None:
    async def body(db: sarnic.Database) -> Any:
        got = await blog(db)
        story, (py, web, data) = got["stories"][0], got["topics"]
        counts = [await db.execute(Story.topics.add(story, py, web, web)),  # one pair there already
                  await db.execute(Story.topics.add(story, py.id, data)),  # keys do as well
                  await db.execute(Story.topics.remove(story, web, web, got["topics"][0]))]
        left = [[t.name for t in s.topics] for s in await db.fetch(Story.select().order_by(Story.id)
                                                                 .prefetch(Story.topics))]
        counts += [await db.execute(Story.topics.clear(story)), await db.execute(Story.topics.add(story))]
        through = Story.topics.through
        return counts, left, await db.count(through.select().where(through.story_id == story.id))  # type: ignore[attr-defined]

    counts, left, after = run(body)
    assert counts == [1, 0, 2, 1, 0] and left[:2] == [["db"], ["web"]] and after == 0


def test_foreign_key_actions_are_the_databases() -> None:
    async def body(db: sarnic.Database) -> Any:
        got = await blog(db)
        boss = await db.fetch_one(Staff.insert(name="boss"))
        await db.fetch_one(Staff.insert(name="dev", manager=boss))
        with pytest.raises(sarnic.IntegrityError):
            await db.execute(Reader.delete().where(Reader.id == got["readers"][0].id))  # restrict: a favorite holds it
        with pytest.raises(sarnic.IntegrityError):
            await db.execute(Story.insert(writer_id=999, title="dangling"))
        await db.execute(Writer.delete().where(Writer.name == "ann"))  # cascade: her stories, their pairs
        await db.execute(Staff.delete().where(Staff.id == boss.id))  # set_null: the report stays
        through = Story.topics.through
        return ([s.title for s in await db.fetch(Story.select().order_by(Story.id))],
                await db.count(through.select()), await db.count(Favorite.select()),
                [s.manager_id for s in await db.fetch(Staff.select())])

    assert run(body) == (["b1", "orphan"], 0, 0, [None])


def test_drop_tables_drops_the_pairs_and_orders_the_drops(tmp_path: Path) -> None:
    path = tmp_path / "rel.db"

    async def main() -> None:
        async with sarnic.connect(f"sqlite:///{path}") as db:
            await db.create_tables(*MODELS)
            await blog(db)
            await db.drop_tables(Writer, Reader, Topic, Favorite, Story)  # referenced tables named first
            await db.drop_tables(Staff)

    asyncio.run(main())
    with sqlite3.connect(path) as conn:
        assert conn.execute("SELECT name FROM sqlite_master").fetchall() == []


def test_a_model_linked_to_itself() -> None:
    name = unique("Person")
    person: Any = model(name, nick=fields.Text(), follows=fields.ManyToMany(name))
    through = person.follows.through
    assert [f.name for f in through.__pk__] == [f"from_{name.lower()}_id", f"to_{name.lower()}_id"]

    async def main() -> Any:
        async with sarnic.connect("sqlite://:memory:") as db:
            await db.create_tables(person)
            a, b, c = [await db.fetch_one(person.insert(nick=n)) for n in "abc"]
            await db.execute(person.follows.add(a, c, b))
            await db.execute(person.follows.add(c, a))
            got = await db.fetch(person.select().order_by(person.id).prefetch(
                person.follows, person.select().order_by(person.nick.desc()).prefetch(person.follows)))
            await db.drop_tables(person)
            return [(p.nick, [(f.nick, [g.nick for g in f.follows]) for f in p.follows]) for p in got]

    assert asyncio.run(main()) == [("a", [("c", ["a"]), ("b", [])]), ("b", []), ("c", [("a", ["b", "c"])])]


def test_count_keeps_the_joins_its_conditions_and_order_name() -> None:
    async def body(db: sarnic.Database) -> Any:
        await blog(db)
        joined = Story.select(Story.title).join(Story.writer, Writer.name)
        out = []
        for q in (joined.where(Writer.name == "ann"), joined.where(Writer.name != "ann"), joined,
                  joined.order_by(Writer.name.desc(), Story.id)[1:3]):
            out.append((await db.count(q), len(await db.fetch(q))))
        return out

    assert run(body) == [(3, 3), (1, 1), (5, 5), (2, 2)]
