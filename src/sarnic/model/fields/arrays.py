"""Array fields: `TextArray`, `IntArray`, `FloatArray`, `UUIDArray`."""

from __future__ import annotations

import json
import uuid
from collections.abc import Callable, Sequence
from typing import Any, ClassVar, Literal, TypeVar, overload

from sarnic.model.fields.base import Bind, Field
from sarnic.model.fields.scalars import UUID
from sarnic.model.fields.search import _numbers

T = TypeVar("T")


class _Array(Field[T]):
    operators_for_type = ()
    item: ClassVar[type] = object

    def check(self, value: Any) -> Any:
        return None if value is None else self.from_bind(*self.bind(value))


class TextArray(_Array[T]):
    field_type = "array_text"
    expects = "a list of str"

    @overload
    def __init__(self: TextArray[list[str]], *, column: str | None = ..., null: Literal[False] = ...,
                 default: Sequence[str] | Callable[[], Sequence[str]] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: TextArray[list[str] | None], *, column: str | None = ..., null: Literal[True],
                 default: Sequence[str] | None | Callable[[], Sequence[str] | None] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
            raise self.type_error(value)
        return ("text_array", [str(v) for v in value])

    def from_plain(self, value: Any) -> Any:
        return list(json.loads(value) if isinstance(value, str) else value)


class IntArray(_Array[T]):
    field_type = "array_int"
    expects = "a list of int"

    @overload
    def __init__(self: IntArray[list[int]], *, column: str | None = ..., null: Literal[False] = ...,
                 default: Sequence[int] | Callable[[], Sequence[int]] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: IntArray[list[int] | None], *, column: str | None = ..., null: Literal[True],
                 default: Sequence[int] | None | Callable[[], Sequence[int] | None] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        return ("int_array", _numbers(self, value, int))

    def from_plain(self, value: Any) -> Any:
        return list(json.loads(value) if isinstance(value, str) else value)


class FloatArray(_Array[T]):
    field_type = "array_float"
    expects = "a list of float"

    @overload
    def __init__(self: FloatArray[list[float]], *, column: str | None = ..., null: Literal[False] = ...,
                 default: Sequence[float] | Callable[[], Sequence[float]] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: FloatArray[list[float] | None], *, column: str | None = ..., null: Literal[True],
                 default: Sequence[float] | None | Callable[[], Sequence[float] | None] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        return ("float_array", _numbers(self, value, float))

    def from_plain(self, value: Any) -> Any:
        return [float(v) for v in (json.loads(value) if isinstance(value, str) else value)]


class UUIDArray(_Array[T]):
    field_type = "array_uuid"
    expects = "a list of uuid.UUID"

    @overload
    def __init__(self: UUIDArray[list[uuid.UUID]], *, column: str | None = ..., null: Literal[False] = ...,
                 default: Sequence[uuid.UUID] | Callable[[], Sequence[uuid.UUID]] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: UUIDArray[list[uuid.UUID] | None], *, column: str | None = ..., null: Literal[True],
                 default: Sequence[uuid.UUID] | None | Callable[[], Sequence[uuid.UUID] | None] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        if not isinstance(value, (list, tuple)) or not all(isinstance(v, uuid.UUID) for v in value):
            raise self.type_error(value)
        return ("text_array", [str(v) for v in value])

    def from_plain(self, value: Any) -> Any:
        items = json.loads(value) if isinstance(value, str) else value
        return [v if isinstance(v, uuid.UUID) else uuid.UUID(str(v)) for v in items]
