"""Search-box text on SQLite's FTS5: never read as query syntax in the plain,
phrase and websearch modes, and meaning there what it means on PostgreSQL."""

from __future__ import annotations

import sqlite3

import pytest

from sarnic.execution.backends.sqlite_fulltext import for_mode

ROWS = ["c++ is fun", "don't stop", "AND the bread", "plain text", "bread and butter", "rye bread"]


@pytest.fixture(scope="module")
def db() -> sqlite3.Connection:
    conn = sqlite3.connect(":memory:")
    conn.execute("CREATE VIRTUAL TABLE ft USING fts5(body, tokenize='porter unicode61')")
    conn.executemany("INSERT INTO ft (rowid, body) VALUES (?, ?)", list(enumerate(ROWS, 1)))
    return conn


@pytest.mark.parametrize(("op", "text", "rows"), [
    ("match", "c++", [1]), ("match", "don't", [2]), ("match", "AND", [3, 5]), ("match", "-bread", [3, 5, 6]),
    ("match", "*", []), ("match", '"unbalanced', []), ("match", "", []), ("match", "NEAR(a b)", []),
    ("match", "bread the", [3]), ("match", "body: bread", []),
    ("match_phrase", "the bread", [3]), ("match_phrase", "bread the", []), ("match_phrase", 'the "bread', [3]),
    ("match_websearch", "bread -rye", [3, 5]), ("match_websearch", '"rye bread" or fun', [1, 6]),
    ("match_websearch", "-bread", []), ("match_websearch", 'bread -"and butter"', [3, 6]),
    ("match_websearch", '"unbalanced', []), ("match_websearch", "or or -", []),
])
def test_user_text_is_words_never_syntax(db: sqlite3.Connection, op: str, text: str, rows: list[int]) -> None:
    found = db.execute("SELECT rowid FROM ft WHERE ft MATCH ? ORDER BY rowid", [for_mode(op, text)]).fetchall()
    assert [r for (r,) in found] == rows


def test_boolean_mode_is_fts5_syntax_as_written(db: sqlite3.Connection) -> None:
    assert for_mode("match_boolean", "bread NOT rye") == "bread NOT rye"
