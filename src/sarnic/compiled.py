"""`Compiled`: one statement as the core wrote it. This module is the only
caller of the core's compile functions."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from sarnic import _codec, _native

if TYPE_CHECKING:
    from sarnic.query import Query


@dataclass(frozen=True, slots=True)
class Compiled:
    """A statement for one dialect: its SQL text, the Python values bound to
    its placeholders in placeholder order, one label per value, the
    fingerprint of the text and the operation name."""

    sql: str
    params: tuple[Any, ...]
    labels: tuple[str, ...]
    fingerprint: str
    operation: str


def compile_ir(model: Any, ir: list[Any], dialect: str) -> dict[str, Any]:
    """The core's result for an IR of this model: errors pass through unchanged."""
    return _native.compile_query_msgpack(model.__metadata_bytes__, _codec.pack(ir), dialect)  # type: ignore[return-value]


_PAGING = frozenset(("limit:int", "offset:int"))


def python_params(model: Any, labels: list[str], packed: bytes) -> tuple[Any, ...]:
    """The bound values as Python values, each turned back by the field its
    label names (paging values are plain ints)."""
    by_name = model.__fields_by_name__
    out = []
    for label, bind in zip(labels, _codec.unpack(packed)):
        tag = bind["type"]
        payload = bind.get("value")
        # Paging labels name no field; a field may well be called "limit".
        field = None if label in _PAGING else by_name.get(label.rpartition(":")[0])
        out.append(payload if field is None else field.from_bind(tag, payload))
    return tuple(out)


def compile_query(query: Query[Any], dialect: str) -> Compiled:
    result = compile_ir(query.model, query.ir(), dialect)
    labels = result["param_type_summary"]
    return Compiled(
        sql=result["sql_text"],
        params=python_params(query.model, labels, result["bound_params"]),
        labels=tuple(labels),
        fingerprint=result["fingerprint"],
        operation=result["operation"],
    )
