"""From fetched rows to model instances.

A reader is worked out once per query shape and backend: which fields the
row holds at which positions, which of them need a converter, which must not
be NULL, and where each joined row starts. Every row is checked as the
core's hydrator checks rows (a required column absent from the result, or
NULL in a non-nullable column, raises `SarnicHydrationError` with the core's
text) before any instance is made from it. The rows themselves are made into
instances by the core's native builder, following a plan made here once.
"""

from __future__ import annotations

from collections.abc import Sequence
from itertools import islice
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from sarnic._native import SarnicHydrationError, build_instances

if TYPE_CHECKING:
    from sarnic.execution.backends.base import Backend, Result
    from sarnic.model.fields.base import Field, Row
    from sarnic.model.fields.foreign_key import ForeignKey
    from sarnic.model.base import Table

M = TypeVar("M", bound="Table")


def missing_column(model: type[Row], column: str) -> SarnicHydrationError:
    return SarnicHydrationError(f"column '{column}' missing from result set for model '{model.__name__}'")


class _Part:
    """The columns of one model within a row: the base model's, or a joined one's."""

    def __init__(self, model: type[Row], fields: Sequence[Field[Any]], start: int, backend: Backend,
                 labels: Sequence[str]) -> None:
        self.model = model
        self.fields = tuple(fields)
        self.start = start
        self.end = start + len(fields)
        self.own_columns = tuple(f.column for f in fields)
        self.labels = tuple(labels)
        self.convs = [backend.result_converter(f) for f in fields]


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
        self.width = len(self.columns)
        self._checked: Sequence[str] | None = None
        self.plan = _plan(self.base, tuple((name, _plan(part, ())) for name, part in self.joins))

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
        rows = result.rows
        columns = result.columns
        if columns or len(rows[0]) != self.width:  # without names, the width is all there is to check
            self.check_columns(columns, len(rows[0]))
        return build_instances(self.plan, rows if type(rows) is list else list(rows))


def _plan(part: _Part, joins: tuple[tuple[str, Any], ...]) -> tuple[Any, ...]:
    """What the native builder needs of a part, made once per statement shape."""
    return (part.model, part.model.__name__, part.start, tuple(f.name for f in part.fields), part.own_columns,
            tuple(not f.null for f in part.fields), tuple(getattr(c, "native", c) for c in part.convs), joins)


def _cut(name: str, limit: int) -> str:
    data = name.encode()
    return name if len(data) <= limit else data[:limit].decode(errors="ignore")


def first_value(result: Result) -> Any:
    row = next(iter(result.rows), None)
    return None if row is None else next(islice(row, 0, 1))
