"""Imports run one way: model <- query <- schema <- execution. Every import
counts, those under TYPE_CHECKING and inside functions too: a type-only one
still ties the lower folder to the upper one. Within a folder, the files
import one another without a circle."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "sarnic"
#: each folder may import those before it, never those after
ORDER = ("model", "query", "schema", "execution")


def _target(path: Path, node: ast.ImportFrom) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    package = parts if path.name == "__init__.py" else parts[:-1]
    base = list(package[:len(package) - node.level + 1]) if node.level else []
    return ".".join([*base, node.module] if node.module else base)


def _imports(path: Path) -> list[tuple[int, str]]:
    out = []
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            out.append((node.lineno, _target(path, node)))
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


def _modules(folder: Path) -> dict[str, Path]:
    return {".".join(p.relative_to(PACKAGE.parent).with_suffix("").parts).removesuffix(".__init__"): p
            for p in folder.rglob("*.py")}


def _edges(path: Path, modules: dict[str, Path]) -> set[str]:
    """The modules of `modules` that this file imports (a name imported from a
    package counts as its submodule where there is one)."""
    out = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            target = _target(path, node)
            for alias in node.names:
                sub = f"{target}.{alias.name}"
                out.add(sub if sub in modules else target)
        elif isinstance(node, ast.Import):
            out |= {alias.name for alias in node.names}
    return out & modules.keys()


def _circle(graph: dict[str, set[str]]) -> list[str]:
    """One import circle of the graph, or [] where there is none."""
    done: set[str] = set()

    def visit(module: str, path: list[str]) -> list[str]:
        if module in path:
            return [*path[path.index(module):], module]
        if module in done:
            return []
        for target in sorted(graph[module]):
            if found := visit(target, [*path, module]):
                return found
        done.add(module)
        return []

    for module in sorted(graph):
        if found := visit(module, []):
            return found
    return []


@pytest.mark.parametrize("folder", ORDER)
def test_a_folder_has_no_import_circle(folder: str) -> None:
    modules = _modules(PACKAGE / folder)
    graph = {name: _edges(path, modules) - {name} for name, path in modules.items()}
    assert not (circle := _circle(graph)), " -> ".join(circle)
