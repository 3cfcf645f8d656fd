"""`Compiled`: one statement as the core wrote it. This module is the only
caller of the core's compile functions."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

import sarnic._codec as _codec
import sarnic._native as _native
from sarnic.query.statement_ir import Scope, statement_document


class Compilable(Protocol):
    """What compiling reads of a query: its model, which IR says it, the IR."""

    @property
    def model(self) -> Any: ...

    def needs_statement_ir(self, dialect: str) -> bool: ...

    def ir(self) -> list[Any]: ...


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


_UNSCOPED = "requires at least one filter"


def _noted(exc: _native.SarnicCompileError) -> _native.SarnicCompileError:
    """The core's error as it is, with a note saying how to mean it."""
    if _UNSCOPED in str(exc) and not getattr(exc, "__notes__", None):
        exc.add_note("to update or delete every row on purpose, say so: Model.update(..., danger=True) "
                     "or Model.delete(danger=True)")
    return exc


def compile_ir(model: Any, ir: list[Any], dialect: str) -> dict[str, Any]:
    """The core's result for an IR of this model: errors pass through unchanged
    (an unscoped write gains a note naming danger=True)."""
    try:
        return _native.compile_query_msgpack(model.__metadata_bytes__, _codec.pack(ir), dialect)  # type: ignore[return-value]
    except _native.SarnicCompileError as exc:
        raise _noted(exc) from None


_PAGING = frozenset(("limit:int", "offset:int"))
_pack = _codec.pack
_unpack_binds = _codec.unpack_binds

# The dataclass's own slot setters: a Compiled made by the core's result skips
# the frozen __init__, which sets each field through object.__setattr__.
_new = object.__new__
_set_sql, _set_params, _set_labels, _set_fingerprint, _set_operation = (
    Compiled.__dict__[name].__set__ for name in ("sql", "params", "labels", "fingerprint", "operation"))


def _reader(model: Any, label: str) -> Callable[[str, Any], Any] | None:
    """What turns the bound value of this label back into a Python value:
    None where the payload is the value already (paging, plain types)."""
    # Paging labels name no field; a field may well be called "limit".
    field = None if label in _PAGING else model.__fields_by_name__.get(label.rpartition(":")[0])
    if field is None or field.binds_as_is:
        return None
    return field.from_bind  # type: ignore[no-any-return]


def python_params(model: Any, labels: list[str], packed: bytes) -> tuple[Any, ...]:
    """The bound values as Python values, each turned back by the field its
    label names (paging values are plain ints)."""
    readers = model.__bind_readers__
    if readers is None:
        return tuple([bind.value for bind in _unpack_binds(packed)])
    out = []
    for label, bind in zip(labels, _unpack_binds(packed)):
        try:
            read = readers[label]
        except KeyError:
            read = readers[label] = _reader(model, label)
        out.append(bind.value if read is None else read(bind.type, bind.value))
    return tuple(out)


def compile_statement_ir(scope: Scope, ir: bytes, dialect: str) -> dict[str, Any]:
    """The core's result for a statement IR document written in `scope`."""
    try:
        return _native.compile_statement_msgpack(scope.models_bytes(), ir, dialect)  # type: ignore[return-value]
    except _native.SarnicCompileError as exc:
        raise _noted(exc) from None


def compile_query(query: Compilable, dialect: str) -> Compiled:
    if query.needs_statement_ir(dialect):
        scope, ir = statement_document(query)
        return statement_compiled(scope, compile_statement_ir(scope, ir, dialect))
    model = query.model
    try:
        result = _native.compile_query_msgpack(model.__metadata_bytes__, _pack(query.ir()), dialect)
    except _native.SarnicCompileError as exc:
        raise _noted(exc) from None
    return to_compiled(model, result)  # type: ignore[arg-type]


def statement_compiled(scope: Scope, result: dict[str, Any]) -> Compiled:
    """The core's result for a statement IR document, as a `Compiled`: each
    value turned back by the field its label names (a list element by element)."""
    labels = result["param_type_summary"]
    params = []
    for label, bind in zip(labels, _unpack_binds(result["bound_params"])):
        field = scope.field_of(label)
        value = bind.value
        if field is None or field.binds_as_is or value is None:
            params.append(value)
        elif label in scope.lists and isinstance(value, list):
            params.append([None if v is None else field.from_plain(v) for v in value])
        else:
            params.append(field.from_bind(bind.type, value))
    new = _new(Compiled)
    _set_sql(new, result["sql_text"])
    _set_params(new, tuple(params))
    _set_labels(new, tuple(labels))
    _set_fingerprint(new, result["fingerprint"])
    _set_operation(new, result["operation"])
    return new


def to_compiled(model: Any, result: dict[str, Any]) -> Compiled:
    """The core's result for a query of this model, as a `Compiled`."""
    labels = result["param_type_summary"]
    new = _new(Compiled)
    _set_sql(new, result["sql_text"])
    _set_params(new, python_params(model, labels, result["bound_params"]))
    _set_labels(new, tuple(labels))
    _set_fingerprint(new, result["fingerprint"])
    _set_operation(new, result["operation"])
    return new
