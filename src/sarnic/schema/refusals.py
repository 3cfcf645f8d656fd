"""Statements the core writes that cannot run on the tables this package
creates. The Database asks here before sending one and raises the message.

- PostgreSQL bulk update: the core casts each value by field type. uuid,
  uuid[] and tsvector values go as text, which those columns neither take by
  assignment nor compare with: refused, whether the field is set or is the
  key. Decimals go as numeric and enum values as text into text columns, so
  they run.
- SQLite: Decimal columns hold exact text, so <, <=, >, >= and ORDER BY on
  them would compare texts: refused. Equality runs.
- Vector ordering off PostgreSQL: pgvector's distance operators exist
  there only. Raised here as `NotSupportedStatement`, since it was the
  core's compile error before.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from sarnic.errors import ENGINES, NotSupportedError, NotSupportedStatement, not_supported
from sarnic.model.columns import And, Comparison, Condition, Not, Or
from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.model.fields.numbers import Decimal
from sarnic.model.base import Table
from sarnic.query.base import Query
from sarnic.query.bulk import BulkInsert, BulkUpdate
from sarnic.query.select import Select
from sarnic.query.writes import Insert

#: PostgreSQL's bulk update casts these to text, which their columns do not
#: take by assignment nor compare with
_CAST_AS_TEXT = {"uuid": "uuid", "array_uuid": "uuid[]", "ts_vector": "tsvector"}
_ORDERING = frozenset(("lt", "lte", "gt", "gte"))


def bulk_update_refusal(model: type[Table], fields: Iterable[Field[Any] | ForeignKey[Any]],
                        dialect: str = "postgres") -> str | None:
    """Why a PostgreSQL bulk update of these fields cannot run, or None.

    The statement casts every value by field type: uuid, uuid[] and tsvector
    values to text, which no such column takes."""
    if dialect != "postgres":
        return None  # the core writes bulk updates for PostgreSQL only, and says so
    what = f"{model.__name__}.bulk_update()"
    keys = list(model.__pk__)
    for f in [*keys, *(f.key if isinstance(f, ForeignKey) else f for f in fields)]:
        role = "finds rows by" if any(f is k for k in keys) else "sets"
        column = _CAST_AS_TEXT.get(f.field_type)
        if column is not None:
            return (f"{what} {role} {f.label}, and its PostgreSQL statement passes that value as text, which a "
                    f"{column} column neither takes nor compares with: update those rows one at a time with "
                    f"{model.__name__}.update(...).where(...)")
    return None


def _comparisons(conditions: Iterable[Condition]) -> Iterable[Comparison]:
    for c in conditions:
        if isinstance(c, Comparison):
            yield c
        elif isinstance(c, (And, Or)):
            yield from _comparisons(c.children)
        elif isinstance(c, Not):
            yield from _comparisons((c.child,))


def _text_decimal(field: Field[Any], use: str) -> str:
    return (f"{field.label} is a Decimal, which SQLite stores as exact text, so {use} would compare texts "
            f"('10' before '9'), not numbers; compare for equality only, or sort in Python")


def statement_refusal(query: Query[Any], dialect: str) -> NotSupportedError | None:
    """Why this query's statement cannot run on the schema of this package
    in this dialect, or None; what the core would refuse itself is raised."""
    reason = _refusal(query, dialect)
    if reason is None:
        return None
    feature, message = reason
    return NotSupportedError(message, feature=feature, engine=ENGINES.get(dialect, dialect))


def _refusal(query: Query[Any], dialect: str) -> tuple[str, str] | None:
    if dialect != "postgres" and isinstance(query, Select) and query.vector is not None:
        raise not_supported("nearest-neighbour ordering (nearest())", dialect,
                            "it needs pgvector's distance operators, on PostgreSQL only", cls=NotSupportedStatement)
    if isinstance(query, BulkUpdate):
        message = bulk_update_refusal(query.model, query.fields, dialect)
        return None if message is None else ("bulk_update() of uuid and tsvector values", message)
    if dialect != "mysql" and (isinstance(query, Insert) and not query.values
                               or isinstance(query, BulkInsert) and not query.columns):
        return ("an insert of defaults only",
                f"{query.model.__name__} has no column to name in an insert of defaults only, and "
                f"{ENGINES.get(dialect, dialect)} takes no INSERT with an empty column list: give a value for one field")
    if dialect == "sqlite":
        conditions = (*getattr(query, "filters", ()), *getattr(query, "predicates", ()))
        for c in _comparisons(conditions):
            if c.operator in _ORDERING and isinstance(c.field, Decimal):
                return "ordering comparisons of decimals", _text_decimal(c.field, f"a {c.operator} comparison")
        if isinstance(query, Select):
            for o in query.order:
                if isinstance(o.field, Decimal):
                    return "ordering by a decimal", _text_decimal(o.field, "ordering")
    return None
