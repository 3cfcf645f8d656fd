"""The README's promises: each Python example runs and prints what it says, the
commands, folders and classes it names exist, and the examples and the typed
usage file pass mypy --strict while misuse of the stubs does not."""

from __future__ import annotations

import contextlib
import io
import re
import subprocess
import sys
from pathlib import Path

import pytest

import typed_usage
from test_docs import PROMISE, fenced
from sarnic import _native

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()


PYTHON_BLOCKS = [body for _, body in fenced(README, "python")]


@pytest.mark.parametrize("block", range(len(PYTHON_BLOCKS)))
def test_python_example_runs_and_prints_what_its_comments_say(block):
    example = PYTHON_BLOCKS[block]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(example, f"README.md (python block {block + 1})", "exec"), {"__name__": "readme"})
    promised = PROMISE.findall(example)
    assert printed.getvalue().splitlines() == promised


def test_readme_opens_with_models_and_keeps_the_core_interface():
    assert len(PYTHON_BLOCKS) >= 2
    assert "(Model)" in PYTHON_BLOCKS[0] and ".sql(" in PYTHON_BLOCKS[0]
    assert any("compile_query(" in b for b in PYTHON_BLOCKS[1:])


def test_make_targets_exist():
    makefile = (ROOT / "Makefile").read_text()
    named = set(re.findall(r"\bmake ([a-z][a-z0-9-]*)", README))
    assert {"demo", "test", "bench", "fuzz", "sanitize"} <= named
    missing = [t for t in sorted(named) if not re.search(rf"^{t}:", makefile, re.M)]
    assert missing == []


def test_layout_folders_exist():
    folders = re.findall(r"^\| `([a-z/]+)` \|", README, re.M)
    assert {"native/core", "native/sql", "src/sarnic", "tests/python", "bench", "fuzz"} <= set(folders)
    assert [f for f in folders if not (ROOT / f).is_dir()] == []


def test_error_classes_are_the_modules():
    documented = set(re.findall(r"^\| `(Sarnic\w+)` \|", README, re.M))
    assert documented == {name for name in _native.__all__ if name.startswith("Sarnic")}


MISUSE = {
    'compile_query(b"{}", "{}", "sqlite")': "arg-type",
    'compile_query_msgpack("{}", b"", "sqlite")': "arg-type",
    'compile_query("", "", "sqlite")["sql"]': "typeddict-item",
    'text: str = compile_query_msgpack(b"", b"", "x")["bound_params"]': "assignment",
    'hydrate_rows("", "")[0].missing': "attr-defined",
    "plan_migration(1)": "call-arg",
    "except_ = SarnicCompileError('x').args": None,  # a RuntimeError, as documented
}


def test_typed_usage_passes_mypy_strict_and_misuse_fails(tmp_path):
    pytest.importorskip("mypy")  # absent from the bare venvs of the abi3 check
    misuse = tmp_path / "misuse.py"
    header = "from sarnic import SarnicCompileError, compile_query, compile_query_msgpack, hydrate_rows, plan_migration\n"
    misuse.write_text(header + "\n".join(MISUSE) + "\n")
    # Without the installed stubs and py.typed, mypy --strict fails on the imports instead.
    usage = Path(typed_usage.__file__)
    blocks = []
    for i, block in enumerate(PYTHON_BLOCKS):
        blocks.append(tmp_path / f"readme_block_{i + 1}.py")
        blocks[-1].write_text(block)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", str(usage), str(misuse),
                           *map(str, blocks)], capture_output=True, text=True, cwd=ROOT)  # fmt: skip
    errors = re.findall(r"^(.*?):(\d+): error: .*\[([a-z-]+)\]$", proc.stdout, re.M)
    assert [e for e in errors if Path(e[0]).name != misuse.name] == [], proc.stdout
    found = {int(line): code for _, line, code in errors}
    expected = {line: code for line, code in enumerate(MISUSE.values(), start=2) if code}
    assert found == expected, proc.stdout


def test_typed_usage_runs():
    typed_usage.main()
