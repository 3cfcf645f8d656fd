"""The errors of talking to a database: the same classes on every backend,
with the driver's own exception as `__cause__`."""

from __future__ import annotations

from sarnic._native import SarnicCompileError

#: engine names for messages, by dialect
ENGINES = {"postgres": "PostgreSQL", "mysql": "MySQL/MariaDB", "sqlite": "SQLite", "mssql": "SQL Server"}


class DatabaseError(Exception):
    """A database refused a statement, or could not be reached."""


class IntegrityError(DatabaseError):
    """A constraint refused the change: a duplicate key, a missing referenced
    row, NULL in a NOT NULL column, a CHECK. `constraint` is its name where
    the engine reports one (PostgreSQL always, MySQL/MariaDB for keys,
    foreign keys and checks, SQLite for checks), else None."""

    def __init__(self, message: str, *, constraint: str | None = None) -> None:
        super().__init__(message)
        self.constraint = constraint


class OperationalError(DatabaseError):
    """The database could not do the work: the connection was lost, a lock or
    a timeout ran out, the server is going away."""


class ProgrammingError(DatabaseError):
    """The statement does not fit the database: a missing table or column,
    a syntax the engine does not take, a privilege it lacks."""


class DataError(DatabaseError):
    """A value does not fit its column: out of range, too long, not valid
    text for the type."""


class NotSupportedError(DatabaseError):
    """The statement cannot run on this backend; refused before anything was
    sent. `feature` and `engine` say what and where, when the layer refused it."""

    def __init__(self, message: str, *, feature: str | None = None, engine: str | None = None) -> None:
        super().__init__(message)
        self.feature = feature
        self.engine = engine


class NotSupportedStatement(NotSupportedError, SarnicCompileError):
    """A statement the core writes for some dialects only, refused by the
    layer first; still the core's `SarnicCompileError`, which it raised before."""


def not_supported(feature: str, dialect: str, hint: str = "", *,
                  cls: type[NotSupportedError] = NotSupportedError) -> NotSupportedError:
    """`<feature> is not supported on <engine>[: hint]`."""
    engine = ENGINES.get(dialect, dialect)
    return cls(f"{feature} is not supported on {engine}" + (f": {hint}" if hint else ""),
               feature=feature, engine=engine)
