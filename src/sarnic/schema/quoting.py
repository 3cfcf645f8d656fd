"""Identifiers, literals and object names in DDL text.

Identifiers are quoted exactly as the core quotes them, so a table the DDL
creates is the table the compiled statements name. Literals appear only in
DEFAULT and CHECK clauses, for values fixed by the model declaration.
"""

from __future__ import annotations

import hashlib

from sarnic.schema.errors import SchemaError

#: PostgreSQL cuts longer names silently, MySQL refuses names over 64 characters.
MAX_NAME_BYTES = 63


def _no_nul(text: str, what: str) -> None:
    if "\x00" in text:
        raise SchemaError(f"{what} {text!r} holds a NUL character, which no engine stores in DDL")


def quote_ident(dialect: str, name: str) -> str:
    _no_nul(name, "the name")
    if dialect == "mysql":
        return "`" + name.replace("`", "``") + "`"
    return '"' + name.replace('"', '""') + '"'


def quote_literal(dialect: str, text: str) -> str:
    _no_nul(text, "the text")
    text = text.replace("'", "''")
    if dialect == "mysql":
        # MySQL reads backslash escapes inside quotes (unless NO_BACKSLASH_ESCAPES).
        text = text.replace("\\", "\\\\")
    return "'" + text + "'"


def object_name(*parts: str) -> str:
    """`<table>_<column>_<suffix>`, shortened with a short hash of the whole
    name when it is longer than every engine takes."""
    name = "_".join(parts)
    raw = name.encode()
    if len(raw) <= MAX_NAME_BYTES:
        return name
    digest = hashlib.blake2s(raw, digest_size=4).hexdigest()
    # The suffix stays readable: it tells an index from a constraint.
    tail = f"_{digest}_{parts[-1]}" if len(parts) > 1 and len(parts[-1]) <= 8 else f"_{digest}"
    keep = raw[: MAX_NAME_BYTES - len(tail.encode())].decode(errors="ignore")  # whole characters only
    return keep + tail
