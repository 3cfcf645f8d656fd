"""Imports run one way: model <- query <- schema <- execution. Every import
counts, those under TYPE_CHECKING and inside functions too: a type-only one
still ties the lower folder to the upper one."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "sarnic"
#: each folder may import those before it, never those after
ORDER = ("model", "query", "schema", "execution")


def _imports(path: Path) -> list[tuple[int, str]]:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    package = parts if path.name == "__init__.py" else parts[:-1]
    out = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            base = list(package[:len(package) - node.level + 1]) if node.level else []
            target = ".".join([*base, node.module] if node.module else base)
            out.append((node.lineno, target))
        elif isinstance(node, ast.Import):
            out += [(node.lineno, alias.name) for alias in node.names]
    return out


@pytest.mark.parametrize("folder", ORDER[:-1])
def test_a_folder_imports_none_above_it(folder: str) -> None:
    above = {f"sarnic.{f}" for f in ORDER[ORDER.index(folder) + 1:]}
    wrong = [f"{path.relative_to(PACKAGE)}:{line} imports {target}"
             for path in sorted((PACKAGE / folder).rglob("*.py"))
             for line, target in _imports(path)
             if any(target == a or target.startswith(a + ".") for a in above)]
    assert not wrong, "\n".join(wrong)
