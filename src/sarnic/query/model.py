"""`Model`: the class programs subclass. Its declaration (fields, key,
relations, metadata) is `Table`'s; what it adds are the queries a model
starts, each made by the query classes themselves.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, ClassVar, Self, TypeVar, cast, overload

from sarnic.model.base import Table
from sarnic.model.fields.base import Field
from sarnic.query.alias import Alias
from sarnic.query.bulk import BulkDelete, BulkInsert, BulkUpdate
from sarnic.query.select import Select
from sarnic.query.values import Values
from sarnic.query.writes import Delete, Insert, Update
from sarnic.model.columns import ColumnExpr

M = TypeVar("M", bound="Model")
A = TypeVar("A")
B = TypeVar("B")
C = TypeVar("C")
D = TypeVar("D")
E = TypeVar("E")
F = TypeVar("F")

# Enough for the projections a program writes; a program that makes them up
# at run time builds the rest each time.
_SELECTS_KEPT = 64


class Model(Table):
    """Base class of models. Subclasses declare fields as class attributes and
    an optional inner `class Meta` (`table`, `primary_key`, `full_text`,
    `abstract`)."""

    class Meta:
        abstract = True

    #: selects made by select(), by the fields asked for
    __selects__: ClassVar[dict[tuple[Any, ...], Select[Any]]] = {}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        cls.__selects__ = {}
        super().__init_subclass__(**kwargs)

    @classmethod
    def select(cls: type[M], *fields: Field[Any]) -> Select[M]:
        """Select all fields, or these."""
        # Queries are immutable, so one select of the same fields serves every call.
        made = cls.__selects__
        try:
            query = made.get(fields)
        except TypeError:  # an unhashable argument: select() says what it takes
            return Select.of(cls, fields)
        if query is None:
            query = Select.of(cls, fields)
            if len(made) < _SELECTS_KEPT:
                made[fields] = query
        return query

    @overload
    @classmethod
    def values(cls, a: ColumnExpr[A], /) -> Values[tuple[A]]: ...
    @overload
    @classmethod
    def values(cls, a: ColumnExpr[A], b: ColumnExpr[B], /) -> Values[tuple[A, B]]: ...
    @overload
    @classmethod
    def values(cls, a: ColumnExpr[A], b: ColumnExpr[B], c: ColumnExpr[C], /) -> Values[tuple[A, B, C]]: ...
    @overload
    @classmethod
    def values(cls, a: ColumnExpr[A], b: ColumnExpr[B], c: ColumnExpr[C], d: ColumnExpr[D], /
               ) -> Values[tuple[A, B, C, D]]: ...
    @overload
    @classmethod
    def values(cls, a: ColumnExpr[A], b: ColumnExpr[B], c: ColumnExpr[C], d: ColumnExpr[D], e: ColumnExpr[E], /
               ) -> Values[tuple[A, B, C, D, E]]: ...
    @overload
    @classmethod
    def values(cls, a: ColumnExpr[A], b: ColumnExpr[B], c: ColumnExpr[C], d: ColumnExpr[D], e: ColumnExpr[E],
               f: ColumnExpr[F], /) -> Values[tuple[A, B, C, D, E, F]]: ...
    @overload
    @classmethod
    def values(cls, a: ColumnExpr[Any], b: ColumnExpr[Any], c: ColumnExpr[Any], d: ColumnExpr[Any],
               e: ColumnExpr[Any], f: ColumnExpr[Any], g: ColumnExpr[Any], /, *more: ColumnExpr[Any]
               ) -> Values[tuple[Any, ...]]: ...
    @classmethod
    def values(cls, *items: ColumnExpr[Any]) -> Values[Any]:
        """A select of these fields and expressions, fetched as typed tuples."""
        return Values.of(cls, items)

    @classmethod
    def alias(cls) -> type[Self]:
        """A second occurrence of the table, for a query that reads it twice
        (`Report = Employee.alias()`): the model's fields and queries, its instances."""
        return cast("type[Self]", Alias(cls))

    @classmethod
    def insert(cls: type[M], obj: M | None = None, /, **values: Any) -> Insert[M]:
        """Insert one row, from an instance or from field values (defaults apply)."""
        return Insert.of(cls, obj, values)

    @classmethod
    def update(cls: type[M], *, danger: bool = False, **values: Any) -> Update[M]:
        """Set these fields on the rows `.where()` selects (every row only with danger=True)."""
        return Update.of(cls, values, danger)

    @classmethod
    def delete(cls: type[M], *, danger: bool = False) -> Delete[M]:
        """Delete the rows `.where()` selects (every row only with danger=True)."""
        return Delete.of(cls, danger)

    @classmethod
    def bulk_insert(cls: type[M], rows: Iterable[M | Mapping[str, Any]], *, returning: bool = False) -> BulkInsert[M]:
        return BulkInsert.of(cls, rows, returning)

    @classmethod
    def bulk_update(cls: type[M], objs: Iterable[M], *, fields: Sequence[Field[Any]]) -> BulkUpdate[M]:
        return BulkUpdate.of(cls, objs, fields)

    @classmethod
    def bulk_delete(cls: type[M], keys: Iterable[Any]) -> BulkDelete[M]:
        return BulkDelete.of(cls, keys)
