"""From fetched rows to model instances.

A reader is worked out once per query shape and backend: which fields the
row holds at which positions, which of them need a converter, which must not
be NULL, and where each joined row starts. Every row is checked as the
core's hydrator checks rows (a required column absent from the result, or
NULL in a non-nullable column, raises `SarnicHydrationError` with the core's
text) before any instance is made from it.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from itertools import islice
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from sarnic._native import SarnicHydrationError

if TYPE_CHECKING:
    from sarnic.backends.base import Backend, Result
    from sarnic.fields import Field, ForeignKey
    from sarnic.model import Model

M = TypeVar("M", bound="Model")

_new = object.__new__


def missing_column(model: type[Model], column: str) -> SarnicHydrationError:
    return SarnicHydrationError(f"column '{column}' missing from result set for model '{model.__name__}'")


def null_in_column(model: type[Model], column: str) -> SarnicHydrationError:
    return SarnicHydrationError(f"non-nullable column '{column}' on model '{model.__name__}' contains NULL")


class _Part:
    """The columns of one model within a row: the base model's, or a joined one's."""

    def __init__(self, model: type[Model], fields: Sequence[Field[Any]], start: int, backend: Backend,
                 labels: Sequence[str]) -> None:
        self.model = model
        self.fields = tuple(fields)
        self.start = start
        self.end = start + len(fields)
        self.own_columns = tuple(f.column for f in fields)
        self.labels = tuple(labels)
        self.convs = [backend.result_converter(f) for f in fields]


def _write_part(part: _Part, space: dict[str, Any], lines: list[str], indent: str, extra: str = "") -> str:
    """Lines that check and make one part's instance; returns its variable."""
    tag = f"p{part.start}"
    space[f"{tag}_cls"] = part.model
    required = [part.start + i for i, f in enumerate(part.fields) if not f.null]
    if required:
        test = " or ".join(f"v{i} is None" for i in required)
        lines.append(f"{indent}if {test}: {tag}_nulls(row)")
        space[f"{tag}_nulls"] = _null_check(part, required)
    items = []
    for i, (f, conv) in enumerate(zip(part.fields, part.convs)):
        v = f"v{part.start + i}"
        if conv is None:
            items.append(f"{f.name!r}: {v}")
            continue
        name = f"c{part.start + i}"
        space[name] = conv
        inline = getattr(conv, "inline", None)
        space.update(getattr(conv, "inline_names", {}))
        expr = inline.format(v=v, f=name) if inline else f"{name}({v})"
        items.append(f"{f.name!r}: {expr}" if not f.null else f"{f.name!r}: None if {v} is None else {expr}")
    lines.append(f"{indent}{tag} = new({tag}_cls)")
    lines.append(f"{indent}{tag}.__dict__ = {{{', '.join(items)}{extra}}}")
    return tag


def _null_check(part: _Part, required: Sequence[int]) -> Callable[[Sequence[Any]], None]:
    """The error for the first required column that is NULL, in field order."""
    columns = [(i, part.fields[i - part.start].column) for i in required]

    def nulls(row: Sequence[Any]) -> None:
        values = tuple(row)
        for i, column in columns:
            if values[i] is None:
                raise null_in_column(part.model, column)

    return nulls


def _builder(base: _Part, joins: Sequence[tuple[str, _Part]]) -> Callable[[Sequence[Any]], Any]:
    """One function that makes an instance (and its joined ones) from a row,
    written out for the query shape: the row unpacked once, NULL checked
    where fields are required (the core hydrator's check, in field order),
    converted where the backend needs it, each instance dict built in one
    step. Names and columns enter the code as literals only (repr)."""
    width = joins[-1][1].end if joins else base.end
    space: dict[str, Any] = {"new": _new}
    lines = ["def build(row):", f"    {', '.join(f'v{i}' for i in range(width))}{',' if width == 1 else ''} = row"]
    extra = ""
    for name, part in joins:
        # The joined key is never NULL for a row that exists: a NULL key is no row.
        lines.append(f"    if v{part.start} is None:")
        lines.append(f"        p{part.start} = None")
        lines.append("    else:")
        _write_part(part, space, lines, "        ")
        extra += f", {name!r}: p{part.start}"
    tag = _write_part(base, space, lines, "    ", extra)
    lines.append(f"    return {tag}")
    exec("\n".join(lines), space)  # noqa: S102 - generated from literals above
    build: Callable[[Sequence[Any]], Any] = space["build"]
    return build


class RowReader(Generic[M]):
    """Turns the rows of one statement shape into instances of its model."""

    def __init__(self, model: type[M], fields: Sequence[Field[Any]], joins: Sequence[tuple[ForeignKey[Any],
                 Sequence[Field[Any]]]], backend: Backend) -> None:
        self.model = model
        self.base = _Part(model, fields, 0, backend, [f.column for f in fields])
        self.joins: list[tuple[str, _Part]] = []
        start = self.base.end
        for relation, joined in joins:
            part = _Part(relation.target, joined, start, backend,
                         [f"{relation.name}__{f.column}" for f in joined])
            self.joins.append((relation.name, part))
            start = part.end
        self.columns = self.base.labels + tuple(c for _, p in self.joins for c in p.labels)
        if backend.name_limit is not None:
            # The server reports long names cut short; the rows are positional all the same.
            self.columns = tuple(_cut(c, backend.name_limit) for c in self.columns)
            for part in (self.base, *(p for _, p in self.joins)):
                part.labels = tuple(_cut(c, backend.name_limit) for c in part.labels)
        self._checked: Sequence[str] | None = None
        self.build = _builder(self.base, self.joins)

    def check_columns(self, columns: Sequence[str], width: int) -> None:
        """The result must hold the statement's columns, in its order. Where the
        driver reports no names, the rows hold the statement's projection by
        position and only their width can be wrong."""
        if not columns:
            if width == len(self.columns):
                return
            columns = self.columns[:width]
        if columns is self._checked or tuple(columns) == self.columns:
            self._checked = columns
            return
        have = set(columns)
        for part in (self.base, *(p for _, p in self.joins)):
            for i, label in enumerate(part.labels):
                if label not in have:
                    raise missing_column(part.model, part.own_columns[i])
        raise SarnicHydrationError(f"the result set for model '{self.model.__name__}' has the columns "
                                   f"{list(columns)}, not {list(self.columns)}")

    def read(self, result: Result) -> list[M]:
        if not result.rows:
            return []
        self.check_columns(result.columns, len(result.rows[0]))
        build = self.build
        return [build(row) for row in result.rows]


def _cut(name: str, limit: int) -> str:
    data = name.encode()
    return name if len(data) <= limit else data[:limit].decode(errors="ignore")


def first_value(result: Result) -> Any:
    row = next(iter(result.rows), None)
    return None if row is None else next(islice(row, 0, 1))
