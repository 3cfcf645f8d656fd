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
        self.start = start
        self.end = start + len(fields)
        self.names = tuple(f.name for f in fields)
        self.own_columns = tuple(f.column for f in fields)
        self.labels = tuple(labels)
        self.required = tuple((i, f.column) for i, f in enumerate(fields) if not f.null)
        self.build = _builder(model, fields, start, [backend.result_converter(f) for f in fields], self.required)


def _builder(model: type[Model], fields: Sequence[Field[Any]], start: int, convs: Sequence[Any],
             required: Sequence[tuple[int, str]]) -> Callable[[Sequence[Any]], Any]:
    """A function that makes one instance from a row, written out for this
    part: each value read by its position, NULL checked where the field is
    required (in field order, as the core's hydrator checks), converted where
    the backend needs it, and the instance dict built in one step. Names and
    columns enter the code as literals only (repr)."""
    space: dict[str, Any] = {"new": _new, "cls": model, "null": null_in_column}
    lines = ["def build(row):"]
    for i, column in required:
        lines.append(f"    if row[{start + i}] is None: raise null(cls, {column!r})")
    items = []
    for i, (f, conv) in enumerate(zip(fields, convs)):
        if conv is None:
            items.append(f"{f.name!r}: row[{start + i}]")
            continue
        space[f"c{i}"] = conv
        lines.append(f"    v{i} = row[{start + i}]")
        items.append(f"{f.name!r}: c{i}(v{i})" if not f.null else f"{f.name!r}: None if v{i} is None else c{i}(v{i})")
    lines += ["    o = new(cls)", "    o.__dict__ = {" + ", ".join(items) + "}", "    return o"]
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
        if not self.joins:
            build = self.base.build
            return [build(row) for row in result.rows]
        return [self._joined(row) for row in result.rows]

    def _joined(self, row: Sequence[Any]) -> M:
        obj: M = self.base.build(row)
        d = obj.__dict__
        for name, part in self.joins:
            # The joined key is never NULL for a row that exists: a NULL key is no row.
            d[name] = None if row[part.start] is None else part.build(row)
        return obj


def _cut(name: str, limit: int) -> str:
    data = name.encode()
    return name if len(data) <= limit else data[:limit].decode(errors="ignore")


def first_value(result: Result) -> Any:
    row = next(iter(result.rows), None)
    return None if row is None else next(islice(row, 0, 1))
