"""The errors of talking to a database: the same classes on every backend,
with the driver's own exception as `__cause__`."""

from __future__ import annotations


class DatabaseError(Exception):
    """A database refused a statement, or could not be reached."""


class IntegrityError(DatabaseError):
    """A constraint refused the change: a duplicate key, a missing referenced
    row, NULL in a NOT NULL column, a CHECK."""


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
    """The statement cannot run on this backend; refused before anything was sent."""
