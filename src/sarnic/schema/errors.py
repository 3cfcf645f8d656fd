"""The schema module's one exception."""

from __future__ import annotations


class SchemaError(ValueError):
    """The models cannot be turned into DDL as declared (a foreign-key cycle,
    a name or default no engine can hold)."""
