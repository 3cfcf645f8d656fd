"""The package's types hold under mypy --strict: typical use of models and
queries passes (and runs), each misuse below fails with its error code."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import orm_typed_usage

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent

MISUSE = {
    'Post.views >= "ten"': "operator",
    "Post.views < 1.5": "operator",
    "Post.published_at > dt.date(2024, 1, 1)": "operator",
    'Post.views.in_(["1"])': "list-item",
    'Post.views.contains("x")': "attr-defined",
    "Post.title.contains(3)": "arg-type",
    'Post.title.contains("x").nope': "attr-defined",  # a condition, not Any
    "Post.body.match(None)": "arg-type",
    "Post.nope": "attr-defined",
    'text: str = Post(title="t", body="b").views': "assignment",
    'Post(title="t", body="b").author.name': "union-attr",
    "when: dt.datetime = Post.select().where(Post.id == 1)": "assignment",
    "Post.select().where(1)": "arg-type",
    'Post.select().order_by("views")': "arg-type",
    "Post.select()[0]": "index",
    'Post.select().limit("3")': "arg-type",
    "Post.select().join(Author.id)": "arg-type",
    'Post.select().nearest(Post.embedding, [1.0], metric="hamming")': "arg-type",
    'Post.select().rank(Post.body, "q", mode="fuzzy")': "arg-type",
    "authors: Select[Author] = Post.select()": "assignment",
    "Post.update(views=0).order_by(Post.id)": "attr-defined",
    'Post.insert(title="t").where(Post.id == 1)': "attr-defined",
    'Post.insert(Author(name="a"))': "arg-type",
    'Post.bulk_update([Author(name="a")], fields=[Post.views])': "list-item",
    'Post.select().sql("sqlite").sql = "x"': "misc",
    'fields.Int(default="0")': "call-overload",
    "fields.Vector(3, null=True, default=[1])": None,  # ints are floats to a type checker
    'Post.views == "ten"': None,  # == falls back to str.__eq__: caught at run time only
    # constructors, with sarnic.mypy_plugin
    'Post(title=1, body="b")': "arg-type",
    'Post(title="t", body="b", nope=1)': "call-arg",
    'Post(title="t", body="b", views="3")': "arg-type",
    'Post(title="t", body="b", published_at=dt.date(2024, 1, 1))': "arg-type",
    'Post(title="t", body="b", author=Post(title="t", body="b"))': "arg-type",
    'Post(title="t", body="b", tags=[1])': "list-item",
    "Post(body=\"b\")": "call-arg",  # title is required
    'Author(name="a", email=3)': "arg-type",
    "Membership(org_id=1)": "call-arg",
    'Membership(org_id=1, user_id="2")': "arg-type",
    'Document(title="t", body="b", search="x")': "call-arg",  # derived: never written
}


def test_typed_usage_passes_mypy_strict_and_misuse_fails(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    misuse = tmp_path / "orm_misuse.py"
    header = ("import datetime as dt\nfrom orm_models import Author, Document, Everything, Membership, Post\n"
              "from sarnic import Select, fields\n")
    misuse.write_text(header + "\n".join(MISUSE) + "\n")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nplugins = sarnic.mypy_plugin\n")
    env = {**os.environ, "MYPYPATH": str(HERE)}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--no-incremental",
                           "--config-file", str(config), str(Path(orm_typed_usage.__file__)), str(misuse)],
                          capture_output=True, text=True, cwd=ROOT, env=env)  # fmt: skip
    errors = re.findall(r"^(.*?):(\d+): error: .*\[([a-z-]+)\]$", proc.stdout, re.M)
    assert [e for e in errors if Path(e[0]).name != misuse.name] == [], proc.stdout
    found: dict[int, set[str]] = {}
    for _, line, code in errors:
        found.setdefault(int(line), set()).add(code)
    first = header.count("\n") + 1
    expected = {line: {code} for line, code in enumerate(MISUSE.values(), start=first) if code}
    assert found == expected, proc.stdout


def test_typed_usage_runs() -> None:
    orm_typed_usage.main()
