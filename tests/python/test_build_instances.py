"""The native row builder: instances as the Python builder made them, rows
checked as the hydrator checks them, and hostile plans refused."""

from __future__ import annotations

import datetime as dt
import enum
import importlib
import pickle
import uuid
from collections.abc import Sequence
from typing import Any

import pytest

from sarnic import _native, fields
from sarnic._native import SarnicHydrationError, build_instances
from sarnic.query.model import Model


class Scribe(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()


class Jotting(Model):
    id = fields.Int(primary_key=True)
    writer = fields.ForeignKey(Scribe, null=True)
    title = fields.Text()
    stars = fields.Int(null=True)


class Seq(Sequence[Any]):
    """A row that is a sequence but not a tuple, as asyncpg's Record is."""

    def __init__(self, *values: Any) -> None:
        self.values = values

    def __getitem__(self, i: Any) -> Any:
        return self.values[i]

    def __len__(self) -> int:
        return len(self.values)


def plan(model: type[Model], start: int, names: tuple[str, ...], required: tuple[bool, ...],
         converters: tuple[Any, ...] | None = None, joins: tuple[Any, ...] = ()) -> tuple[Any, ...]:
    return (model, model.__name__, start, names, names, required, converters or (None,) * len(names), joins)


WRITER = plan(Scribe, 4, ("id", "name"), (True, True))
NOTE = plan(Jotting, 0, ("id", "writer_id", "title", "stars"), (True, False, True, False),
            (None, None, str.title, lambda v: v * 2), (("writer", WRITER),))


@pytest.mark.parametrize("row_type", [lambda *v: v, lambda *v: Seq(*v)], ids=["tuple", "sequence"])
def test_instances_carry_converted_values_and_joined_rows(row_type: Any) -> None:
    rows = [row_type(1, 7, "first jotting", 2, 7, "Ann"), row_type(2, None, "second", None, None, None)]
    first, second = build_instances(NOTE, rows)
    assert type(first) is Jotting and first.title == "First Jotting" and first.stars == 4
    assert type(first.writer) is Scribe and first.writer == Scribe(id=7, name="Ann")
    assert second.writer is None and second.stars is None
    assert pickle.loads(pickle.dumps(first)) == first
    assert repr(second) == repr(Jotting(id=2, writer_id=None, title="Second", stars=None))


@pytest.mark.parametrize(("row", "message"), [
    ((None, 1, "t", 1, 1, "a"), "non-nullable column 'id' on model 'Jotting' contains NULL"),
    ((1, 1, None, 1, 1, "a"), "non-nullable column 'title' on model 'Jotting' contains NULL"),
    # the joined row is checked first, as the hydrator reads it
    ((None, 1, "t", 1, 1, None), "non-nullable column 'name' on model 'Scribe' contains NULL"),
])
def test_required_values_are_checked_before_any_converter(row: tuple[Any, ...], message: str) -> None:
    with pytest.raises(SarnicHydrationError) as info:
        build_instances(NOTE, [row])
    assert str(info.value) == message


def test_a_converter_error_and_a_short_row_propagate() -> None:
    with pytest.raises(TypeError):
        build_instances(NOTE, [(1, None, 5, None, None, None)])  # str.title of an int
    with pytest.raises(IndexError):
        build_instances(NOTE, [(1, None, "t")])


@pytest.mark.parametrize("bad", [
    None, (), (Jotting,), (1, "Jotting", 0, (), (), (), (), ()), (Jotting, "Jotting", -1, ("id",), ("id",), (True,), (None,), ()),
    (Jotting, "Jotting", 0, ("id",), ("id", "x"), (True,), (None,), ()),
    (Jotting, "Jotting", 0, ("id",), ("id",), (1,), (None,), ()), (Jotting, "Jotting", 0, ("id",), ("id",), (True,), (3,), ()),
    (Jotting, "Jotting", 0, (), (), (), (), ()), (Jotting, "Jotting", 0, ("id",), ("id",), (True,), (None,), (("w",),)),
    # Classes object.__new__ cannot make: their instances would be left half made.
    (dict, "d", 0, ("id",), ("id",), (True,), (None,), ()),
    (type("Table", (dict,), {}), "d", 0, ("id",), ("id",), (True,), (None,), ()),
])
def test_hostile_plans_are_type_errors(bad: Any) -> None:
    with pytest.raises(TypeError):
        build_instances(bad, [(1,)])


class Untrue:
    def __bool__(self) -> bool:
        raise ValueError("no truth")


UTC = dt.timezone.utc
NAIVE = dt.datetime(2024, 5, 6, 7, 8, 9)
EPOCH = dt.datetime(1970, 1, 1)


@pytest.mark.parametrize(("form", "value", "expected"), [
    ((1,), 0, False), ((1,), 3, True),
    ((2, lambda v: v.replace(tzinfo=UTC)), NAIVE, NAIVE.replace(tzinfo=UTC)),
    ((2, lambda v: 1 / 0), NAIVE.replace(tzinfo=UTC), NAIVE.replace(tzinfo=UTC)),  # aware: not called
    ((3, EPOCH.replace(tzinfo=UTC), EPOCH), NAIVE, NAIVE.replace(tzinfo=UTC)),
    ((1,), Untrue(), ValueError), ((2, str), 5, AttributeError), ((3, EPOCH, EPOCH), "x", TypeError),
    ((4, dt.datetime.fromisoformat, "+00:00", str), "2024-05-06 07:08:09", NAIVE.replace(tzinfo=UTC)),
    ((4, dt.datetime.fromisoformat, "+00:00", lambda v: "fell back"), "May 6th", "fell back"),
    ((4, dt.datetime.fromisoformat, "", lambda v: v * 2), 21, 42),  # not a str: the converter alone
    ((4, lambda v: 1 / 0, "", str), "x", ZeroDivisionError),  # only ValueError and TypeError fall back
    ((5, {"a": 1}, lambda v: "missed"), "a", 1), ((5, {"a": 1}, lambda v: "missed"), "b", "missed"),
    ((5, {"a": 1}, lambda v: "unhashable"), ["a"], "unhashable"),
])
def test_native_converter_forms(form: tuple[Any, ...], value: Any, expected: Any) -> None:
    forms = plan(Jotting, 0, ("id", "stars"), (True, False), (None, form))
    if isinstance(expected, type):
        with pytest.raises(expected):
            build_instances(forms, [(1, value)])
        return
    (got,) = build_instances(forms, [(1, value)])
    assert got.stars == expected and type(got.stars) is type(expected)


@pytest.mark.parametrize("field", [fields.DateTime(), fields.DateTime(timezone=False), fields.Date(), fields.Time()],
                         ids=["aware", "naive", "date", "time"])
@pytest.mark.parametrize("text", ["2024-05-06 07:08:09.123456", "2024-05-06 07:08:09", "2024-05-06T07:08:09+02:00",
                                  "2024-05-06", "07:08:09.5", "2024-02-30 00:00:00", "", "x", 7])
def test_sqlite_text_forms_read_as_their_python_converters(field: Any, text: Any) -> None:
    both = read_both(Jotting, "stars", backend_converter("sqlite", field, 4), text)
    if both is not None:
        got, expected = both
        assert got == expected and type(got) is type(expected)
        assert getattr(got, "tzinfo", None) == getattr(expected, "tzinfo", None)


def backend_converter(dialect: str, field: Any, form: int) -> Any:
    """A backend's result converter for the field, which has the native form."""
    pytest.importorskip({"postgres": "asyncpg", "mysql": "asyncmy", "sqlite": "aiosqlite"}[dialect])
    module = importlib.import_module(f"sarnic.execution.backends.{dialect}")
    backend = {"postgres": "PostgresBackend", "mysql": "MySQLBackend", "sqlite": "SqliteBackend"}[dialect]
    conv = getattr(module, backend).make_result_converter(None, field)
    assert conv is not None and conv.native[0] == form
    return conv


def read_both(model: type[Model], name: str, conv: Any, stored: Any) -> tuple[Any, Any] | None:
    """What the native form and the converter itself make of a stored value;
    None where both fail alike, with the same exception and text."""
    forms = plan(model, 0, ("id", name), (True, False), (None, conv.native))
    try:
        expected = conv(stored)
    except Exception as exc:  # noqa: BLE001 - the same failure either way
        with pytest.raises(type(exc)) as info:
            build_instances(forms, [(1, stored)])
        assert str(info.value) == str(exc)
        return None
    (got,) = build_instances(forms, [(1, stored)])
    return getattr(got, name), expected


class Mood(enum.Enum):
    GLAD = "glad"
    GLUM = "glum"


class Diary(Model):
    id = fields.Int(primary_key=True)
    mood = fields.Enum(Mood, null=True)


@pytest.mark.parametrize("dialect", ["postgres", "mysql", "sqlite"])
@pytest.mark.parametrize("stored", ["glad", "glum", "GLAD", "", 3, ["glad"]])
def test_enum_texts_read_natively_as_their_python_converter(dialect: str, stored: Any) -> None:
    both = read_both(Diary, "mood", backend_converter(dialect, Diary.mood, 5), stored)
    if both is not None:
        assert both[0] is both[1]


class Ticket(Model):
    id = fields.Int(primary_key=True)
    code = fields.UUID(null=True)


CODE = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")


@pytest.mark.parametrize("dialect", ["mysql", "sqlite"])
@pytest.mark.parametrize("stored", [str(CODE), str(CODE).upper(), CODE.hex, "{%s}" % CODE, f"urn:uuid:{CODE}",
                                    str(CODE)[:-1] + "g", str(CODE)[:35], "12345678-9abc-def0-1234_56789abcdef0",
                                    "", "\ud800" * 32, CODE.bytes, CODE, 7])
def test_uuid_texts_read_natively_as_their_python_converter(dialect: str, stored: Any) -> None:
    both = read_both(Ticket, "code", backend_converter(dialect, Ticket.code, 6), stored)
    if both is not None:
        got, expected = both
        assert type(got) is uuid.UUID and got == expected and got.is_safe is expected.is_safe
        assert hash(got) == hash(expected) and pickle.loads(pickle.dumps(got)) == expected


@pytest.mark.parametrize("form", [(), (0,), (1, 2), (2, 3), (3, 1), ("1",), (4, str, "", None), (4, str, 1, str),
                                  (5, [], str), (5, {}, None), (5, {}), (6, 1, None, str),
                                  (6, type("Id", (dict,), {}), None, str), (6, uuid.UUID, None)])
def test_bad_converter_forms_are_refused(form: tuple[Any, ...]) -> None:
    with pytest.raises(TypeError, match="converter form"):
        build_instances(plan(Jotting, 0, ("id", "stars"), (True, False), (None, form)), [(1, 2)])


def test_deeply_nested_joins_are_refused() -> None:
    deep: tuple[Any, ...] = plan(Scribe, 0, ("id",), (True,))
    for _ in range(20):
        deep = plan(Scribe, 0, ("id",), (True,), joins=(("w", deep),))
    with pytest.raises(TypeError, match="nested too deep"):
        build_instances(deep, [(1,)])


def test_rows_must_be_a_list_and_the_collector_is_left_as_found() -> None:
    import gc

    with pytest.raises(TypeError):
        build_instances(WRITER, ((1, "a"),))  # type: ignore[arg-type]
    gc.disable()
    build_instances(plan(Scribe, 0, ("id", "name"), (True, True)), [(1, "a")])
    assert not gc.isenabled()
    gc.enable()
    build_instances(plan(Scribe, 0, ("id", "name"), (True, True)), [(1, "a")])
    assert gc.isenabled()
    assert _native.build_instances is build_instances


@pytest.mark.parametrize("row_type", [lambda *v: v, lambda *v: Seq(*v)], ids=["tuple", "sequence"])
def test_instances_keep_their_promises_whatever_layout_holds_their_values(row_type: Any) -> None:
    # A partial select with a join: what was not selected or not joined is absent.
    partial = plan(Jotting, 0, ("id", "title"), (True, True), joins=(("writer", plan(Scribe, 2, ("id",), (True,))),))
    (made,) = build_instances(partial, [row_type(3, "t", 9)])
    with pytest.raises(AttributeError, match=r"Jotting\.stars was not loaded"):
        made.stars
    assert vars(made) == {"id": 3, "title": "t", "writer": made.writer} and vars(made.writer) == {"id": 9}
    with pytest.raises(AttributeError, match=r"Scribe\.name was not loaded"):
        made.writer.name
    (bare,) = build_instances(plan(Jotting, 0, ("id",), (True,)), [row_type(4)])
    with pytest.raises(AttributeError, match=r"Jotting\.writer was not joined"):
        bare.writer
    # Equality, repr and pickling read the same values; attributes can be set and removed.
    (full,) = build_instances(NOTE, [row_type(3, None, "t", 1, 9, "Ann")])
    twin = Jotting(id=3, writer_id=None, title="T", stars=2)
    assert full.__dict__.pop("writer").name == "Ann" and full == twin and repr(full) == repr(twin)
    again = pickle.loads(pickle.dumps(made))
    assert again.writer == made.writer and vars(again) == {"id": 3, "title": "t", "writer": again.writer}
    made.stars = 5
    del made.title
    assert made.stars == 5 and "title" not in vars(made)
    with pytest.raises(AttributeError, match=r"Jotting\.title was not loaded"):
        made.title
