"""What the live tables hold, read back and compared with the models: the
columns' names, types and nullability. Only columns are compared; indexes,
constraints and the full-text companions are left to create_tables.

Types are compared in the form each engine reports them, with the DDL's own
spellings mapped onto it (PostgreSQL's `timestamptz` is reported as
`timestamp with time zone`, MariaDB's BOOLEAN as `tinyint(1)`, its JSON as
`longtext`, integer display widths are dropped).
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, Literal

from sarnic.model.fields.base import Field
from sarnic.model.base import Table
from sarnic.schema.types import column_type

#: one row per column of the table named by the one bound value: (name, type, nullable)
COLUMNS_SQL = {
    "postgres": (
        "SELECT a.attname, format_type(a.atttypid, a.atttypmod), NOT a.attnotnull "
        "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
        "JOIN pg_namespace n ON n.oid = c.relnamespace "
        "WHERE c.relname = $1 AND n.nspname = current_schema() AND c.relkind IN ('r', 'p') "
        "AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum"
    ),
    "mysql": (
        "SELECT column_name, column_type, is_nullable = 'YES' FROM information_schema.columns "
        "WHERE table_schema = DATABASE() AND table_name = ? ORDER BY ordinal_position"
    ),
    # table_xinfo lists generated columns too; hidden = 1 marks a virtual table's own.
    "sqlite": 'SELECT name, type, "notnull" = 0 FROM pragma_table_xinfo(?) WHERE hidden != 1 ORDER BY cid',
}

Kind = Literal["missing table", "missing column", "extra column", "type", "nullability"]


@dataclass(frozen=True)
class TableDifference:
    """One way a live table differs from its model. `expected` is what the
    model declares, `found` what the table holds (None where absent)."""

    table: str
    column: str | None
    kind: Kind
    expected: str | None = None
    found: str | None = None

    def __str__(self) -> str:
        where = self.table if self.column is None else f"{self.table}.{self.column}"
        if self.kind == "missing table":
            return f"{where}: the table does not exist"
        if self.kind == "missing column":
            return f"{where}: the table has no such column (the model declares {self.expected})"
        if self.kind == "extra column":
            return f"{where}: the model has no field for this column ({self.found})"
        if self.kind == "type":
            return f"{where}: the column is {self.found}, the model declares {self.expected}"
        return f"{where}: the column is {self.found}, the model declares it {self.expected}"


_PG_NAMES = {"timestamptz": "timestamp with time zone", "timestamp": "timestamp without time zone",
             "time": "time without time zone"}
_MYSQL_WIDTH = re.compile(r"^(tinyint|smallint|mediumint|int|bigint)\(\d+\)")


def normal_type(dialect: str, text: str) -> str:
    """A type in the form the engine reports it, for comparing."""
    t = " ".join(text.lower().split())
    if dialect == "postgres":
        t = re.sub(r"^varchar\(", "character varying(", t)
        return _PG_NAMES.get(t, t)
    if dialect == "mysql":
        t = re.sub(r" character set \w+| collate \w+", "", t)
        if t == "boolean":
            return "tinyint(1)"
        if t == "json":
            return "longtext"  # MariaDB keeps JSON as LONGTEXT with a check
        return t if t == "tinyint(1)" else _MYSQL_WIDTH.sub(r"\1", t)
    return t


def _nullable(field: Field[Any], dialect: str) -> bool:
    """Whether the DDL leaves the column nullable: derived columns and
    SQLite's INTEGER PRIMARY KEY (the rowid) carry no NOT NULL."""
    return field.null or field.generated or dialect == "sqlite" and field.auto_key


def _null_word(nullable: bool) -> str:
    return "nullable" if nullable else "NOT NULL"


def differences(model: type[Table], dialect: str, rows: Any) -> list[TableDifference]:
    """The differences between the model and the columns COLUMNS_SQL read."""
    table = model.__table__
    if not rows:
        return [TableDifference(table, None, "missing table")]
    live = {str(name): (str(kind), bool(nullable)) for name, kind, nullable in rows}
    out: list[TableDifference] = []
    declared = set()
    for f in model.__fields__:
        declared.add(f.column)
        kind = column_type(f, dialect)
        nullable = _nullable(f, dialect)
        found = live.get(f.column)
        if found is None:
            out.append(TableDifference(table, f.column, "missing column", f"{kind} {_null_word(nullable)}"))
            continue
        if normal_type(dialect, found[0]) != normal_type(dialect, kind):
            out.append(TableDifference(table, f.column, "type", kind, found[0]))
        if found[1] != nullable:
            out.append(TableDifference(table, f.column, "nullability", _null_word(nullable), _null_word(found[1])))
    for name, (kind, nullable) in live.items():
        if name not in declared:
            out.append(TableDifference(table, name, "extra column", None, f"{kind} {_null_word(nullable)}"))
    return out
