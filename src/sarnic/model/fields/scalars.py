"""Fields of one plain value each: `Bool`, `UUID`, `JSON`, `Bytes`, `Enum`."""

from __future__ import annotations

import enum
import json
import uuid
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeVar, overload

from sarnic.model.fields.base import EQUALITY, _NOT_GIVEN, Bind, Field

T = TypeVar("T")
E = TypeVar("E", bound=enum.Enum)


class Bool(Field[T]):
    field_type = "bool"
    operators_for_type = EQUALITY
    expects = "a bool"

    @overload
    def __init__(self: Bool[bool], *, column: str | None = ..., null: Literal[False] = ...,
                 default: bool | Callable[[], bool] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Bool[bool | None], *, column: str | None = ..., null: Literal[True],
                 default: bool | None | Callable[[], bool | None] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        if isinstance(value, bool):
            return ("bool", value)
        raise self.type_error(value)

    def from_plain(self, value: Any) -> Any:
        return bool(value)


class UUID(Field[T]):
    field_type = "uuid"
    operators_for_type = EQUALITY
    expects = "a uuid.UUID"

    @overload
    def __init__(self: UUID[uuid.UUID], *, column: str | None = ..., null: Literal[False] = ...,
                 default: uuid.UUID | Callable[[], uuid.UUID] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: UUID[uuid.UUID | None], *, column: str | None = ..., null: Literal[True],
                 default: uuid.UUID | None | Callable[[], uuid.UUID | None] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        if isinstance(value, uuid.UUID):
            return ("text", str(value))
        raise self.type_error(value)

    def from_plain(self, value: Any) -> Any:
        if isinstance(value, uuid.UUID):
            return value
        return uuid.UUID(bytes=bytes(value)) if isinstance(value, (bytes, bytearray)) else uuid.UUID(str(value))


def _json_text(field: Field[Any], value: Any) -> str:
    try:
        return json.dumps(value, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{field.label} takes a JSON value (dict, list, str, int, float, bool, None): {exc}") from None


class JSON(Field[Any]):
    """A JSON document. Python `None` is SQL NULL (on a nullable field), not JSON null."""

    field_type = "json"
    operators_for_type = ()
    expects = "a JSON value"

    def __init__(self, *, column: str | None = None, null: bool = False, default: Any = _NOT_GIVEN,
                 operators: Sequence[str] | None = None) -> None:
        super().__init__(column=column, null=null, default=default, operators=operators)

    def bind_value(self, value: Any) -> Bind:
        return ("text", _json_text(self, value))

    def from_plain(self, value: Any) -> Any:
        return json.loads(value) if isinstance(value, (str, bytes, bytearray)) else value


class Bytes(Field[T]):
    field_type = "bytes"
    operators_for_type = EQUALITY
    expects = "bytes"

    @overload
    def __init__(self: Bytes[bytes], *, column: str | None = ..., null: Literal[False] = ...,
                 default: bytes | Callable[[], bytes] = ..., unique: bool = ..., index: bool = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Bytes[bytes | None], *, column: str | None = ..., null: Literal[True],
                 default: bytes | None | Callable[[], bytes | None] = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        if isinstance(value, (bytes, bytearray, memoryview)):
            # The core reads bytes as a list of numbers: a packed bin value is refused.
            return ("bytes", list(bytes(value)))
        raise self.type_error(value)

    def check(self, value: Any) -> Any:
        self.bind(value)
        return None if value is None else bytes(value)

    def from_plain(self, value: Any) -> Any:
        return bytes(value)


class Enum(Field[T]):
    """A member of an `enum.Enum`, stored as text: the member's value when the
    enum's values are all texts, else its name."""

    field_type = "enum"
    operators_for_type = EQUALITY

    @overload
    def __init__(self: Enum[E], enum_class: type[E], *, column: str | None = ..., null: Literal[False] = ...,
                 default: E | Callable[[], E] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Enum[E | None], enum_class: type[E], *, column: str | None = ..., null: Literal[True],
                 default: E | None | Callable[[], E | None] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, enum_class: type[enum.Enum], **options: Any) -> None:
        super().__init__(**options)
        if not (isinstance(enum_class, type) and issubclass(enum_class, enum.Enum)) or not len(enum_class):
            raise TypeError("Enum takes an enum.Enum class with at least one member")
        self.enum_class = enum_class
        by_value = all(isinstance(m.value, str) for m in enum_class)
        self.stored: dict[Any, str] = {m: (m.value if by_value else m.name) for m in enum_class}
        self.members = {text: m for m, text in self.stored.items()}

    def options(self) -> dict[str, Any]:
        return {"enum_class": self.enum_class, **super().options()}

    @property
    def expects(self) -> str:  # type: ignore[override]
        return f"a {self.enum_class.__name__} member"

    def bind_value(self, value: Any) -> Bind:
        text = self.stored.get(value) if isinstance(value, self.enum_class) else None
        if text is None:
            raise self.type_error(value)
        return ("text", text)

    def from_plain(self, value: Any) -> Any:
        try:
            return self.members[value]
        except KeyError:
            raise ValueError(f"{self.label}: {value!r} is not a stored {self.enum_class.__name__}") from None
