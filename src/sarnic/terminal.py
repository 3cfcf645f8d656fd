"""Text for a terminal, shared by the command line and the tour: values as
one line each, rows as an aligned table."""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Sequence
from typing import Any

DIALECTS = ("postgres", "mysql", "sqlite", "mssql")


def show_value(value: Any) -> str:
    """One value as compact JSON (texts quoted, so "7" and 7 differ); null for None."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def finite(value: Any) -> Any:
    # Valid JSON has no NaN: write non-finite doubles as null, as the compiler's JSON writer does.
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [finite(v) for v in value]
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    return value


# Control characters would break the alignment of a table: show them escaped.
_CONTROL = {c: f"\\x{c:02x}" for c in [*range(0x20), 0x7F]} | {0x09: "\\t", 0x0A: "\\n", 0x0D: "\\r"}
_MISSING = object()


def _cell(value: Any, width: int | None) -> str:
    if value is _MISSING:
        text = ""
    elif value is None:
        text = "NULL"
    elif isinstance(value, str):
        text = value.translate(_CONTROL)
    else:
        text = show_value(value)
    if width is not None and len(text) > width:
        text = text[: width - 3] + "..."
    return text


def _numeric(values: Iterable[Any]) -> bool:
    present = [v for v in values if v is not None]
    return bool(present) and all(isinstance(v, int | float) and not isinstance(v, bool) for v in present)


def format_table(rows: Sequence[dict[str, Any]], columns: Sequence[str] | None = None,
                 max_width: int | None = None) -> list[str]:  # fmt: skip
    """Rows as aligned text lines: a header, a rule, one line per row. Columns
    default to every key in first-seen order; numeric columns align right; a
    column a row lacks is left blank, a null reads NULL."""
    if columns is None:
        columns = list(dict.fromkeys(key for row in rows for key in row))
    if not columns:
        return []
    cells = [[_cell(row.get(c, _MISSING), max_width) for c in columns] for row in rows]
    widths = [max([len(c)] + [len(line[i]) for line in cells]) for i, c in enumerate(columns)]
    right = [_numeric(row.get(c) for row in rows) for c in columns]

    def line(items: Sequence[str]) -> str:
        parts = [s.rjust(w) if r else s.ljust(w) for s, w, r in zip(items, widths, right)]
        return "  ".join(parts).rstrip()

    return [line(columns), line(["-" * w for w in widths])] + [line(c) for c in cells]


# ---------------------------------------------------------------- compile
