"""The application queries' types under mypy --strict: typical use passes
(and builds), each misuse below fails with its error code."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import orm_app_typed_usage

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent

MISUSE = {
    'Post.views + "x"': "operator",
    "fn.sum(Post.title)": "arg-type",
    "fn.avg(Post.published_at)": "arg-type",
    "fn.lower(Post.views)": "arg-type",
    'fn.coalesce(Post.author_id, "none")': "misc",
    "Post.views.not_in([1.5])": "list-item",
    "Post.values(Post.id).where(1)": "arg-type",
    "ids: Values[tuple[str]] = Post.values(Post.id)": "arg-type",
    "pair: Values[tuple[int]] = Post.values(Post.id, Post.title)": "assignment",
    "Post.values(Post.id).for_update()": "attr-defined",
    'Post.select().for_update(skip_locked="yes")': "arg-type",
    'Author.insert(name="a").on_conflict("email")': "arg-type",
    "Post.update(views=0).on_conflict(Post.id)": "attr-defined",
    "exists(Post.update(views=0))": "arg-type",
    "excluded(Post.author)": "arg-type",
    "Post.views > Post.views + 1": None,
}


def test_app_usage_passes_mypy_strict_and_misuse_fails(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    misuse = tmp_path / "orm_app_misuse.py"
    header = "from orm_models import Author, Post\nfrom sarnic import Values, excluded, exists, fn\n"
    misuse.write_text(header + "\n".join(MISUSE) + "\n")
    env = {**os.environ, "MYPYPATH": str(HERE)}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--no-incremental",
                           str(Path(orm_app_typed_usage.__file__)), str(misuse)],
                          capture_output=True, text=True, cwd=ROOT, env=env)  # fmt: skip
    errors = re.findall(r"^(.*?):(\d+): error: .*\[([a-z-]+)\]$", proc.stdout, re.M)
    assert [e for e in errors if Path(e[0]).name != misuse.name] == [], proc.stdout
    found: dict[int, set[str]] = {}
    for _, line, code in errors:
        found.setdefault(int(line), set()).add(code)
    first = header.count("\n") + 1
    expected = {line: {code} for line, code in enumerate(MISUSE.values(), start=first) if code}
    assert found == expected, proc.stdout


def test_app_usage_builds() -> None:
    orm_app_typed_usage.main()
