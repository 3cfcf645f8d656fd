"""A plain Python reading of a select IR over rows in memory: the reference the
engines' answers are compared with. SQL's three-valued logic throughout: a
comparison with NULL is unknown (None), NOT unknown is unknown, WHERE keeps
only true."""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass
from typing import Any

Row = dict[str, Any]


@dataclass(frozen=True)
class Semantics:
    """How one engine compares and sorts, as far as the generated queries reach."""

    contains_ignores_case: bool
    icontains_ignores_case: bool
    #: NULL sorts above every value (PostgreSQL) rather than below (SQLite, MariaDB)
    nulls_largest: bool


SEMANTICS = {
    "postgres": Semantics(False, True, True),  # LIKE / ILIKE
    "sqlite": Semantics(True, True, False),  # LIKE ignores ASCII case
    "mariadb": Semantics(False, False, False),  # LIKE under a binary collation
}


def like(value: str, pattern: str, ignore_case: bool) -> bool:
    """LIKE without an escape character: % any run, _ any one character."""
    rx = "".join(".*" if c == "%" else "." if c == "_" else re.escape(c) for c in pattern)
    return re.fullmatch(rx, value, re.DOTALL | (re.IGNORECASE if ignore_case else 0)) is not None


def compare(op: str, left: Any, right: Any, sem: Semantics) -> bool | None:
    if op == "is_null":
        return left is None
    if op == "is_not_null":
        return left is not None
    if left is None or right is None:
        return None
    match op:
        case "ne":
            return left != right
        case "gt":
            return left > right
        case "gte":
            return left >= right
        case "lt":
            return left < right
        case "lte":
            return left <= right
        case "contains":
            return like(left, right, sem.contains_ignores_case)
        case "icontains":
            return like(left, right, sem.icontains_ignores_case)
    return left == right  # "eq" and every operator the compiler does not know


def plain(bind: dict[str, Any]) -> Any:
    return bind.get("value")


def column_of(meta: dict[str, Any], fref: dict[str, Any]) -> str:
    return meta["fields"][fref["index"]]["column_name"]


def filter_holds(meta: dict[str, Any], f: dict[str, Any], row: Row, sem: Semantics) -> bool | None:
    return compare(f["operator"], row[column_of(meta, f["field"])], plain(f["value"]), sem)


def holds(meta: dict[str, Any], p: dict[str, Any], row: Row, sem: Semantics) -> bool | None:
    match p["kind"]:
        case "filter":
            return filter_holds(meta, p["filter"], row, sem)
        case "not":
            inner = holds(meta, p["child"], row, sem)
            return None if inner is None else not inner
        case "and":
            results = [holds(meta, c, row, sem) for c in p["children"]]
            return False if False in results else None if None in results else True
        case "or":
            results = [holds(meta, c, row, sem) for c in p["children"]]
            return True if True in results else None if None in results else False
    raise ValueError(p["kind"])


def selects(meta: dict[str, Any], ir: dict[str, Any], rows: list[Row], sem: Semantics) -> list[Row]:
    """The projected rows the IR selects, in its order, after its paging."""
    conditions = [{"kind": "filter", "filter": f} for f in ir["filters"]]
    if ir.get("predicate") is not None:
        conditions.append(ir["predicate"])
    kept = [r for r in rows if holds(meta, {"kind": "and", "children": conditions}, r, sem) is True]

    def order(a: Row, b: Row) -> int:
        for key in ir["order_by"]:
            col = column_of(meta, key["field"])
            x, y = a[col], b[col]
            if x is None and y is None:
                c = 0
            elif x is None or y is None:
                c = (1 if x is None else -1) * (1 if sem.nulls_largest else -1)
            else:
                c = (x > y) - (x < y)
            if c:
                return c if key["direction"] == "asc" else -c
        return 0

    kept.sort(key=functools.cmp_to_key(order))
    offset = ir.get("offset") or 0
    limit = ir.get("limit")
    kept = kept[offset:] if limit is None else kept[offset:offset + limit]
    cols = [column_of(meta, f) for f in ir["operation"]["fields"]]
    return [{c: r[c] for c in cols} for r in kept]
