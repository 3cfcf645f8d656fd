"""The MySQL backend's placeholders: the core's `?` become the driver's `%s`
outside quoted identifiers and texts, and the driver's `%` formatting gives
back the statement as written, with the values in place."""

from __future__ import annotations

from typing import Any

import pytest

pytest.importorskip("asyncmy")

from orm_models import Post  # noqa: E402

from sarnic import Model, fields  # noqa: E402
from sarnic.execution.backends.base import Url  # noqa: E402
from sarnic.execution.backends.mysql import MySQLBackend, driver_sql  # noqa: E402


class Quoted(Model):
    id = fields.Int(primary_key=True, column="id?")
    rate = fields.Int(column="100%")
    note = fields.Text(column="a`?`%")

    class Meta:
        table = "odd?%"


def _formatted(sql: str, n: int) -> str:
    """What the driver sends: the text formatted with the escaped values (here markers)."""
    return driver_sql(sql) % tuple(f"<{i}>" for i in range(n))


# (the core's text, the text the server must receive, with <i> for the i-th value)
CASES = [
    ("SELECT `a` FROM `t` WHERE `a` = ? AND `b` > ?", "SELECT `a` FROM `t` WHERE `a` = <0> AND `b` > <1>"),
    ("SELECT `a?b%` FROM `t``?``` WHERE `c` = ?", "SELECT `a?b%` FROM `t``?``` WHERE `c` = <0>"),
    ('SELECT `x` AS "a?%\\\\", `y` AS "q""?" FROM `t` LIMIT ?',
     'SELECT `x` AS "a?%\\\\", `y` AS "q""?" FROM `t` LIMIT <0>'),
    ('SELECT `x` AS "say \\"?\\"" WHERE ? = 1', 'SELECT `x` AS "say \\"?\\"" WHERE <0> = 1'),
    ("SELECT 'it''s ? 100%' WHERE `b` = ?", "SELECT 'it''s ? 100%' WHERE `b` = <0>"),
    ("SELECT 'a\\'?' = ?, '\\\\' = ?", "SELECT 'a\\'?' = <0>, '\\\\' = <1>"),
    ("SELECT 5 % ? FROM `t`", "SELECT 5 % <0> FROM `t`"),
    ("SELECT '%s' AS \"%d\", `%(x)s` FROM `t`", "SELECT '%s' AS \"%d\", `%(x)s` FROM `t`"),
    ("SELECT 'two\nlines ?' WHERE `a` IN (?, ?, ?)", "SELECT 'two\nlines ?' WHERE `a` IN (<0>, <1>, <2>)"),
    ("SELECT ?, `?`, '?', \"?\", ?", "SELECT <0>, `?`, '?', \"?\", <1>"),
]


@pytest.mark.parametrize(("sql", "sent"), CASES)
def test_placeholders_outside_quotes_only(sql: str, sent: str) -> None:
    assert _formatted(sql, sent.count("<")) == sent


@pytest.mark.parametrize("query", [
    Quoted.select().where(Quoted.rate > 5, Quoted.note.contains("%?%"))[:3],
    Quoted.update(note="x?").where(Quoted.id == 1),
    Post.select().join(Post.author).where(Post.title.contains("b%?"))[:2],
], ids=["quoted names", "update", "join aliases"])
def test_core_statements(query: Any) -> None:
    """The core's own texts: one placeholder per bound value, and with the
    values put back as `?` the text is the core's again."""
    compiled = query.sql("mysql")
    n = len(compiled.params)
    marks = tuple(f"\0{i}\0" for i in range(n))
    sent = driver_sql(compiled.sql) % marks
    assert all(sent.count(m) == 1 for m in marks)
    for m in marks:
        sent = sent.replace(m, "?")
    assert sent == compiled.sql


def test_translation_cache_is_bounded() -> None:
    backend = MySQLBackend(Url("mysql", "h", None, None, None, "d"), min_size=0, max_size=1)
    for i in range(2000):
        assert backend.driver_sql(f"SELECT ? + {i}") == f"SELECT %s + {i}"
    assert 0 < len(backend._sql) <= 512
