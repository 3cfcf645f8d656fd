"""sarnic: an asynchronous ORM whose SQL comes from a native compiler."""

from sarnic import fields
from sarnic._native import *  # noqa: F401,F403
from sarnic._native import __all__ as _native_all
from sarnic.compiled import Compiled
from sarnic.database import Database, Transaction, connect
from sarnic.errors import (
    DatabaseError, DataError, IntegrityError, NotSupportedError, OperationalError, ProgrammingError,
)  # fmt: skip
from sarnic.expr import ColumnExpr, Condition, Ordering, excluded, exists
from sarnic.functions import fn
from sarnic.model import FullTextIndex, Model
from sarnic.query import BulkDelete, BulkInsert, BulkUpdate, Delete, Insert, Query, Select, Update, Upsert, Values

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
]
