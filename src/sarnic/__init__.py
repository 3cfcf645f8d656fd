"""sarnic: an asynchronous ORM whose SQL comes from a native compiler."""

from sarnic import fields
from sarnic._native import *  # noqa: F401,F403
from sarnic._native import __all__ as _native_all
from sarnic.query.compiled import Compiled
from sarnic.execution.database import Database, connect
from sarnic.execution.transaction import Transaction
from sarnic.errors import (
    DatabaseError, DataError, IntegrityError, NotSupportedError, OperationalError, ProgrammingError,
)  # fmt: skip
from sarnic.model.columns import ColumnExpr, Condition, Ordering
from sarnic.query.expr import excluded, exists
from sarnic.query.functions import fn
from sarnic.model.base import DeclarationError, FullTextIndex
from sarnic.query.model import Model
from sarnic.query.base import Query
from sarnic.query.bulk import BulkDelete, BulkInsert, BulkUpdate
from sarnic.query.select import Select
from sarnic.query.values import Values
from sarnic.query.writes import Delete, Insert, Update, Upsert
from sarnic.schema.errors import SchemaError

__all__ = [
    *_native_all,
    "fields",
    "Model",
    "FullTextIndex",
    "Compiled",
    "Condition",
    "Ordering",
    "ColumnExpr",
    "fn",
    "exists",
    "excluded",
    "Query",
    "Select",
    "Insert",
    "Update",
    "Delete",
    "BulkInsert",
    "BulkUpdate",
    "BulkDelete",
    "Values",
    "Upsert",
    "connect",
    "Database",
    "Transaction",
    "DatabaseError",
    "IntegrityError",
    "OperationalError",
    "ProgrammingError",
    "DataError",
    "NotSupportedError",
    "DeclarationError",
    "SchemaError",
]
