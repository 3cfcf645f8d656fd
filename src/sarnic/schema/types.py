"""Column types per dialect, by the core's field type."""

from __future__ import annotations

from typing import Any

from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.model.fields.numbers import Decimal
from sarnic.model.fields.scalars import Enum
from sarnic.model.fields.search import Vector
from sarnic.model.fields.text import Text
from sarnic.model.fields.times import DateTime
from sarnic.schema.errors import SchemaError

_FIXED: dict[str, dict[str, str]] = {
    "postgres": {
        "int": "integer",
        "big_int": "bigint",
        "float": "double precision",
        "bool": "boolean",
        "date": "date",
        "time": "time",
        "uuid": "uuid",
        "json": "jsonb",
        "bytes": "bytea",
        "ts_vector": "tsvector",
        "array_text": "text[]",
        "array_int": "bigint[]",
        "array_float": "double precision[]",
        "array_uuid": "uuid[]",
        "enum": "text",
    },
    "mysql": {
        "int": "INT",
        "big_int": "BIGINT",
        "float": "DOUBLE",
        "bool": "BOOLEAN",
        "datetime": "DATETIME(6)",  # UTC wall time for aware values
        "date": "DATE",
        "time": "TIME(6)",
        "uuid": "CHAR(36) CHARACTER SET ascii",
        "json": "JSON",
        "bytes": "LONGBLOB",
        "vector": "JSON",
        "ts_vector": "LONGTEXT",
        "array_text": "JSON",
        "array_int": "JSON",
        "array_float": "JSON",
        "array_uuid": "JSON",
    },
    "sqlite": {
        "int": "INTEGER",
        "big_int": "INTEGER",
        "float": "REAL",
        # Exact decimals are kept as their text.
        "decimal": "TEXT",
        "text": "TEXT",
        "bool": "INTEGER",
        "datetime": "TEXT",
        "date": "TEXT",
        "time": "TEXT",
        "uuid": "TEXT",
        "json": "TEXT",
        "bytes": "BLOB",
        "vector": "TEXT",
        "ts_vector": "TEXT",
        "array_text": "TEXT",
        "array_int": "TEXT",
        "array_float": "TEXT",
        "array_uuid": "TEXT",
        "enum": "TEXT",
    },
}

#: MySQL's widest DECIMAL: (precision, scale)
MYSQL_DECIMAL = (65, 30)
#: a bounded text type for MySQL text columns that an index covers
MYSQL_KEY_TEXT = "VARCHAR(255)"


def referenced_key(field: Field[Any]) -> Field[Any] | None:
    """The target's key when the field is a foreign key's column."""
    rel: ForeignKey[Any]
    for rel in field.model.__relations__.values():
        if rel.key is field:
            return rel.target.__pk__[0]
    return None


def column_type(field: Field[Any], dialect: str) -> str:
    """The column's type, without key or generation clauses. A foreign key
    column takes the type of the key it references."""
    target = referenced_key(field)
    if target is not None:
        return column_type(target, dialect)
    fixed = _FIXED[dialect].get(field.field_type)
    if fixed is not None:
        return fixed
    if dialect == "postgres":
        return _postgres(field)
    return _mysql(field)


def _postgres(field: Field[Any]) -> str:
    if isinstance(field, Decimal):
        return "numeric" if field.max_digits is None else f"numeric({field.max_digits},{field.decimal_places})"
    if isinstance(field, Text):
        return "text" if field.max_length is None else f"varchar({field.max_length})"
    if isinstance(field, DateTime):
        return "timestamptz" if field.timezone else "timestamp"
    if isinstance(field, Vector):
        return f"vector({field.dim})"
    raise AssertionError(f"no PostgreSQL type for {field.field_type}")


def _mysql(field: Field[Any]) -> str:
    if isinstance(field, Decimal):
        # Without max_digits: the widest, which is what the field then holds.
        if field.precision > MYSQL_DECIMAL[0] or field.scale > MYSQL_DECIMAL[1]:
            raise SchemaError(f"{field.label}: MySQL and MariaDB hold decimals of at most {MYSQL_DECIMAL[0]} digits, "
                              f"{MYSQL_DECIMAL[1]} of them after the point, not {field.precision} and {field.scale}")
        return f"DECIMAL({field.precision},{field.scale})"
    if isinstance(field, Text):
        if field.max_length is not None:
            return f"VARCHAR({field.max_length})"
        # InnoDB indexes no unbounded text column.
        return MYSQL_KEY_TEXT if field.primary_key or field.unique or field.indexed else "LONGTEXT"
    if isinstance(field, Enum):
        return f"VARCHAR({max(len(t) for t in field.stored.values())})"
    raise AssertionError(f"no MySQL type for {field.field_type}")
