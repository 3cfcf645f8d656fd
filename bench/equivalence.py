"""Whether two statements with their bound values say the same thing, read by sqlglot.

A peer spells a statement its own way: table-qualified columns, casts on its
placeholders, `%s` for `?`, LEFT OUTER JOIN, FETCH FIRST, NOT (a = b) for
a <> b, the conditions of an AND in another order, LIMIT written inline. So
each bound value is written into its placeholder, both texts are parsed in the
dialect, those spellings are brought to one form, and the results compared.
"""

from __future__ import annotations

import re
from typing import Any

from sqlglot import exp, parse_one
from sqlglot.optimizer.simplify import simplify

SQLGLOT_DIALECTS = {"postgres": "postgres", "mysql": "mysql", "sqlite": "sqlite", "mssql": "tsql"}

# $n, or ? and %s in order; the statements compared here hold no string literal
# that looks like a placeholder.
_NUMBERED = re.compile(r"\$(\d+)")
_POSITIONAL = re.compile(r"\?|%s")


def _inline(sql: str, values: list[Any], read: str) -> str:
    literal = [exp.convert(v).sql(dialect=read) for v in values]
    if _NUMBERED.search(sql):
        return _NUMBERED.sub(lambda m: literal[int(m.group(1)) - 1], sql)
    position = iter(literal)
    inlined = _POSITIONAL.sub(lambda _: next(position), sql)
    if next(position, None) is not None:
        raise ValueError("more bound values than placeholders")
    return inlined


def _one_spelling(node: exp.Expression, base_table: str) -> exp.Expression:
    if isinstance(node, exp.Cast):
        return _one_spelling(node.this, base_table)
    if isinstance(node, exp.Column) and node.table == base_table:
        return exp.column(node.name)
    if isinstance(node, exp.Join) and node.args.get("kind") == "OUTER":
        node.set("kind", None)
    if isinstance(node, exp.Fetch):
        node.set("direction", "NEXT")
    return node


def normal_form(sql: str, values: list[Any], dialect: str, base_table: str) -> str:
    read = SQLGLOT_DIALECTS[dialect]
    tree = parse_one(_inline(sql, values, read), read=read)
    tree = simplify(tree.transform(lambda node: _one_spelling(node, base_table)))
    return tree.sql(dialect=read, identify=True)


def same_statement(ours: tuple[str, list[Any]], theirs: tuple[str, list[Any]], dialect: str, base_table: str) -> bool:
    return normal_form(*ours, dialect, base_table) == normal_form(*theirs, dialect, base_table)
