"""Turn off SQLite's reading of an unknown double-quoted name as a string.

With it on, a column missing from the table is silently a literal text
(`"age" = 3` is false for every row) where the other engines say the column
does not exist. Python 3.12+ exposes the switch; on 3.11 it is called through
ctypes on the connection's own handle, in the library `_sqlite3` links to,
after a probe confirms both; where that cannot be confirmed it is left on.
"""

from __future__ import annotations

import ctypes
import logging
import sqlite3
import sys
from typing import Any

_DQS_DML = 1013
_DQS_DDL = 1014
_TRIGGER_DEPTH = 10

log = logging.getLogger("sarnic.sqlite")


def _library() -> Any:
    import _sqlite3

    # dlsym on the extension finds the symbols of the library it links to.
    lib = ctypes.CDLL(_sqlite3.__file__)
    lib.sqlite3_libversion.restype = ctypes.c_char_p
    if lib.sqlite3_libversion().decode() != sqlite3.sqlite_version:
        raise OSError("the loaded SQLite library is not the one _sqlite3 uses")
    lib.sqlite3_limit.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    lib.sqlite3_limit.restype = ctypes.c_int
    lib.sqlite3_db_config.restype = ctypes.c_int
    return lib


def _handle(conn: sqlite3.Connection, lib: Any) -> int:
    # CPython 3.11 release builds: the sqlite3* follows the object header.
    if sys.version_info[:2] != (3, 11) or hasattr(sys, "gettotalrefcount"):
        raise OSError("unknown connection layout")
    db = ctypes.c_void_p.from_address(id(conn) + 2 * ctypes.sizeof(ctypes.c_void_p)).value
    if not db:
        raise OSError("no handle")
    # A limit set through Python must read back through the handle.
    old = conn.getlimit(_TRIGGER_DEPTH)
    probe = max(1, old - 1) if old != 1 else 2
    conn.setlimit(_TRIGGER_DEPTH, probe)
    try:
        seen = lib.sqlite3_limit(db, _TRIGGER_DEPTH, -1)
    finally:
        conn.setlimit(_TRIGGER_DEPTH, old)
    if seen != probe:
        raise OSError("the handle probe did not match")
    return int(db)


def strict_quotes(conn: sqlite3.Connection) -> bool:
    """Turn the fallback off on `conn` (in its own thread); False if it could not."""
    setconfig = getattr(conn, "setconfig", None)
    if setconfig is not None:
        setconfig(_DQS_DML, False)
        setconfig(_DQS_DDL, False)
        return True
    try:
        lib = _library()
        db = _handle(conn, lib)
    except (OSError, AttributeError, ImportError, sqlite3.Error) as exc:
        log.warning("SQLite double-quoted strings stay on: %s", exc)
        return False
    out = ctypes.c_int(-1)
    for op in (_DQS_DML, _DQS_DDL):
        if lib.sqlite3_db_config(ctypes.c_void_p(db), op, ctypes.c_int(0), ctypes.byref(out)) != 0:
            log.warning("SQLite double-quoted strings stay on: sqlite3_db_config refused")
            return False
    return True
