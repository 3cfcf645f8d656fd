"""A bulk insert's bound rows in the forms one backend's driver takes."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from sarnic.execution.backends.base import Backend
from sarnic.model.fields.base import Bind, Field


def driver_rows(backend: Backend, columns: tuple[Field[Any], ...]) -> Callable[[Sequence[tuple[Bind, ...]]], list[tuple[Any, ...]]]:
    """A function from bound rows to the driver's forms of their values, for
    one backend and column list: written out once, each column's converter
    called in place (and not at all where the driver takes the value as it is)."""
    found = backend.row_converters.get(columns)
    if found is not None:
        return found
    space: dict[str, Any] = {}
    names = [f"b{j}" for j in range(len(columns))]
    items = []
    for j, f in enumerate(columns):
        conv = backend.param_converter(f)
        if conv is None:
            items.append(f"b{j}[1]")
        else:
            space[f"c{j}"] = conv
            items.append(f"(None if (p{j} := b{j}[1]) is None else c{j}(p{j}))")
    source = f"""
def convert(rows):
    return [({', '.join(items)},) for {', '.join(names)}, in rows]
"""
    exec(source, space)  # noqa: S102 - text written here from numbers only
    convert: Callable[[Sequence[tuple[Bind, ...]]], list[tuple[Any, ...]]] = space["convert"]
    if len(backend.row_converters) >= 256:
        backend.row_converters.clear()
    backend.row_converters[columns] = convert
    return convert
