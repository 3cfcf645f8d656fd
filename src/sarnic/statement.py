"""A query made ready for one backend: the core's SQL and the bound values
in the forms the backend's driver takes."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from sarnic import _codec
from sarnic.compiled import compile_ir

if TYPE_CHECKING:
    from sarnic.backends.base import Backend
    from sarnic.model import Model

_PAGING = frozenset(("limit:int", "offset:int"))


@dataclass(slots=True)
class Statement:
    sql: str
    params: list[Any]
    operation: str


def prepare(backend: Backend, model: type[Model], ir: list[Any]) -> Statement:
    """Compile for the backend's dialect; each bound value goes to the driver
    in the form the field named by its label needs there."""
    result = compile_ir(model, ir, backend.dialect)
    by_name = model.__fields_by_name__
    params: list[Any] = []
    for label, bind in zip(result["param_type_summary"], _codec.unpack(result["bound_params"])):
        payload = bind.get("value")
        if payload is None:
            params.append(None)
            continue
        field = None if label in _PAGING else by_name.get(label.rpartition(":")[0])
        conv = None if field is None else backend.param_converter(field)
        params.append(payload if conv is None else conv(payload))
    return Statement(result["sql_text"], params, result["operation"])
