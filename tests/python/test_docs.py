"""The pages of docs/ keep their promises: the ```python blocks of each page
run in order, in one namespace and on one event loop (top-level `await` as
in `python -m asyncio`), and every `print(...)  # text` prints that text. A
new page is covered as soon as it exists. The reference pages also pass
mypy --strict, since they state what each call returns to a type checker."""

from __future__ import annotations

import ast
import asyncio
import contextlib
import io
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = sorted((ROOT / "docs").glob("*.md"))
#: a line that prints what its comment says
PROMISE = re.compile(r"^\s*print\(.*\)\s+# (.*)$", re.M)


def fenced(text: str, language: str) -> list[tuple[int, str]]:
    """The fenced blocks opened with ```language: the line each body starts on, and the body."""
    blocks: list[tuple[int, str]] = []
    info: str | None = None
    start, body = 0, list[str]()
    for number, line in enumerate(text.splitlines(keepends=True), start=1):
        if line.startswith("```"):
            if info is None:
                info, start, body = line[3:].strip(), number + 1, []
            else:
                if info == language:
                    blocks.append((start, "".join(body)))
                info = None
        elif info is not None:
            body.append(line)
    return blocks


def run_page(path: Path) -> None:
    """Each block compiled at its own lines of the page, so a traceback points into the page."""
    name = str(path.relative_to(ROOT))
    namespace: dict[str, Any] = {"__name__": path.stem.replace("-", "_")}
    with asyncio.Runner() as runner:
        try:
            for start, body in fenced(path.read_text(), "python"):
                code = compile("\n" * (start - 1) + body, name, "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
                printed = io.StringIO()
                with contextlib.redirect_stdout(printed):
                    pending = eval(code, namespace)  # a coroutine where the block awaits
                    if pending is not None:
                        runner.run(pending)
                promised = PROMISE.findall(body)
                assert printed.getvalue().splitlines() == promised, f"{name}, the block from line {start}"
        finally:
            from sarnic import Database

            for value in namespace.values():
                if isinstance(value, Database):
                    runner.run(value.close())


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_page_examples_run_and_print_what_they_say(page: Path) -> None:
    # A process of its own, as the program a reader writes: models named by text
    # are looked up among the models defined, which other pages and tests would share.
    proc = subprocess.run([sys.executable, __file__, str(page)], capture_output=True, text=True, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr[-3000:]


REFERENCE = [p for p in PAGES if p.name.startswith("reference")]


def test_reference_pages_link_each_other_and_exist() -> None:
    assert REFERENCE, "docs/reference.md is the index of the reference"
    index = (ROOT / "docs" / "reference.md").read_text()
    for page in REFERENCE:
        assert page.name == "reference.md" or f"({page.name}" in index, f"reference.md does not link {page.name}"
    for page in PAGES:
        for target, anchor in re.findall(r"\]\(([\w./-]+\.md)?(?:#([\w-]+))?\)", page.read_text()):
            linked = (page.parent / target).resolve() if target else page
            assert linked.is_file(), f"{page.name} links {target}, which is missing"
            if anchor:
                assert anchor in anchors(linked.read_text()), f"{page.name} links {target}#{anchor}, no such heading"


def anchors(text: str) -> set[str]:
    """The anchors of a page's headings, as GitHub writes them."""
    titles = re.findall(r"^#+ (.*)$", text, re.M)
    return {re.sub(r"[^\w\- ]", "", t.lower()).replace(" ", "-") for t in titles}


def test_reference_examples_pass_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    files = []
    for page in REFERENCE:
        # One module per page, its code the body of a coroutine (mypy takes no async with
        # outside one), each line at its line of the page, so that errors point into it.
        # A page's first two lines are its title and a blank line.
        lines = ["from __future__ import annotations", "async def page() -> None:"]
        for start, body in fenced(page.read_text(), "python"):
            lines += [""] * (start - 1 - len(lines))
            for line in body.splitlines():
                line = "pass" if line.startswith("from __future__") else line
                lines.append("    " + line if line.strip() else "")
        files.append(tmp_path / f"{page.stem.replace('-', '_')}.py")
        files[-1].write_text("\n".join(lines) + "\n")
    # With the plugin, as the pages advise: constructors are checked keyword by keyword.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nplugins = sarnic.mypy_plugin\n")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--config-file",
                           str(config), *map(str, files)],
                          capture_output=True, text=True, cwd=ROOT)  # fmt: skip
    assert proc.stdout == "", proc.stdout


if __name__ == "__main__":
    run_page(Path(sys.argv[1]).resolve())
