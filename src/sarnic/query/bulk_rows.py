"""Rows of a bulk insert become bind tuples in one pass.

The rows, dicts of field values or instances of the model, are bound by a
function written out once per model and column list: each value is read
once, the common Python types of each field are bound inline, and anything
else goes through the field's own `bind`, so what comes out is exactly what
`Field.bind` gives.

The other end, bound rows to one driver's forms of their values, is
sarnic.execution.driver_rows.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable, Sequence, Set
from typing import TYPE_CHECKING, Any

from sarnic.model.fields.base import Bind, Field
from sarnic.model.fields.numbers import Float, _Integer
from sarnic.model.fields.scalars import Bool
from sarnic.model.fields.text import Text
from sarnic.model.fields.times import DateTime

if TYPE_CHECKING:
    from sarnic.model.base import Table

Binder = Callable[[Sequence[Any]], list[tuple[Bind, ...]]]

_MISSING = object()


def given_names(model: type[Table], rows: Sequence[Any]) -> set[str] | None:
    """The field names the rows give, or None unless every row is a dict or
    an instance of the model naming only the model's writable fields."""
    dicts = []
    for r in rows:
        if type(r) is dict:
            dicts.append(r)
        elif type(r) is model:
            dicts.append(r.__dict__)
        else:
            return None
    given: set[str] = set().union(*dicts)
    return given if given <= model.__writable_names__ else None


def written_columns(model: type[Table], given: Set[str], what: str) -> tuple[Field[Any], ...]:
    """The columns every row writes: each field some row gives, and each with
    a default. A required field no row gives is refused; rows of defaults
    only name one nullable column as NULL, its default (an insert with an
    empty column list runs on MySQL alone)."""
    writable = model.__writable__
    for f in writable:
        if f.name not in given and not (f.has_default or f.null or f.auto_key):
            raise TypeError(f"{what}: {model.__name__} needs a value for {f.name!r}")
    picked = tuple(f for f in writable if f.name in given or f.has_default)
    if not picked:
        picked = tuple(f for f in writable if f.null)[:1]
    return picked


def binder(model: type[Table], columns: tuple[Field[Any], ...]) -> Binder:
    made = model.__bulk_binders__
    found: Binder | None = made.get(columns)
    if found is None:
        found = made[columns] = _write_binder(model, columns)
    return found


def _inline(f: Field[Any], v: str) -> str | None:
    """An expression that binds the common value of the field's type, to be
    guarded by `else` with the field's own bind; None where there is none."""
    kind = type(f)
    if issubclass(kind, _Integer) and kind.bind_value is _Integer.bind_value:
        low, high = f.bounds  # type: ignore[attr-defined]
        return f'("int", {v}) if type({v}) is int and {low} <= {v} <= {high}'
    if kind.bind_value is Text.bind_value:
        limit = f.max_length  # type: ignore[attr-defined]
        bound = "" if limit is None else f" and len({v}) <= {int(limit)}"
        return f'("text", {v}) if type({v}) is str{bound}'
    if kind.bind_value is Bool.bind_value:
        return f'("bool", {v}) if type({v}) is bool'
    if kind.bind_value is Float.bind_value:
        return f'("float", {v}) if type({v}) is float'
    if kind.bind_value is DateTime.bind_value:
        zone = "_utc" if f.timezone else "None"  # type: ignore[attr-defined]
        # An aware value already in UTC needs no conversion; others take the full path.
        return f'("datetime", {v}.isoformat()) if type({v}) is _datetime and {v}.tzinfo is {zone}'
    return None


def _write_binder(model: type[Table], columns: tuple[Field[Any], ...]) -> Binder:
    if not columns:
        return lambda rows: [() for _ in rows]
    what = f"{model.__name__}.bulk_insert()"
    space: dict[str, Any] = {"_M": _MISSING, "_datetime": dt.datetime, "_utc": dt.timezone.utc}
    items = []
    for j, f in enumerate(columns):
        v = f"v{j}"
        space[f"f{j}"] = _fallback(model, f, what)
        fast = _inline(f, v)
        fetch = f"({v} := get({f.name!r}, _M))"
        if fast is None:
            items.append(f"f{j}({fetch}, i)")
        else:
            items.append(f"({fast.replace(f'type({v})', f'type({fetch})', 1)} else f{j}({v}, i))")
    body = ",\n                ".join(items)
    source = f"""
def bind(rows):
    out = []
    append = out.append
    for i, r in enumerate(rows):
        get = (r if type(r) is dict else r.__dict__).get
        append((
                {body},
        ))
    return out
"""
    exec(source, space)  # noqa: S102 - text written here from field names (repr) and numbers only
    bind: Binder = space["bind"]
    return bind


def _fallback(model: type[Table], f: Field[Any], what: str) -> Callable[[Any, int], Bind]:
    bind = f.bind
    if f.auto_key:
        def missing(i: int) -> Bind:
            raise ValueError(f"{what}: row {i} leaves out the key {f.name!r} that other rows give; "
                             "give it in every row or in none")
    elif f.has_default:
        def missing(i: int) -> Bind:
            return bind(f.make_default())
    elif f.null:
        def missing(i: int) -> Bind:
            return bind(None)
    else:
        def missing(i: int) -> Bind:
            raise TypeError(f"{what}: {model.__name__} needs a value for {f.name!r}")

    def slow(value: Any, i: int) -> Bind:
        return missing(i) if value is _MISSING else bind(value)

    return slow
