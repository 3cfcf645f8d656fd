"""`Text`: strings, with their pattern and full-text conditions."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeVar, overload

from sarnic.model.fields.base import LIKE, ORDERED, Bind, Field, Searchable
from sarnic.model.columns import Condition

T = TypeVar("T")


def _like_text(text: object, field: Field[Any]) -> str:
    if not isinstance(text, str):
        raise TypeError(f"{field.label} compares with text, not {type(text).__name__}")
    return text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")


class Text(Searchable[T]):
    """Text. `max_length` makes it a bounded column where the engine has one;
    keys, unique and indexed text columns get a bounded type on MySQL."""

    field_type = "text"
    operators_for_type = (*ORDERED, *LIKE)
    expects = "a str"

    @overload
    def __init__(self: Text[str], *, max_length: int | None = ..., column: str | None = ...,
                 null: Literal[False] = ..., default: str | Callable[[], str] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...,
                 fts_config: str | None = ..., fts_source_columns: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Text[str | None], *, max_length: int | None = ..., column: str | None = ...,
                 null: Literal[True], default: str | None | Callable[[], str | None] = ...,
                 primary_key: bool = ..., unique: bool = ..., index: bool = ...,
                 operators: Sequence[str] | None = ..., fts_config: str | None = ...,
                 fts_source_columns: Sequence[str] | None = ...) -> None: ...
    def __init__(self, *, max_length: int | None = None, **options: Any) -> None:
        super().__init__(**options)
        if max_length is not None and (type(max_length) is not int or max_length < 1):
            raise ValueError("max_length must be a positive int")
        self.max_length = max_length

    def options(self) -> dict[str, Any]:
        return {**super().options(), "max_length": self.max_length}

    def bind_value(self, value: Any) -> Bind:
        if type(value) is str or isinstance(value, str):
            if self.max_length is not None and len(value) > self.max_length:
                raise ValueError(f"{self.label} holds at most {self.max_length} characters, not {len(value)}")
            return ("text", str(value))
        raise self.type_error(value)

    def full_text_capable(self) -> bool:
        return self.fts_source_columns is not None or self.fts_config is not None or any(
            self.name in ix.fields for ix in self.model.__full_text__
        )

    def metadata(self) -> dict[str, Any]:
        doc = super().metadata()
        if self.fts_config is not None:
            doc["fts_config"] = self.fts_config
        sources = self.fts_source_columns
        # A configuration alone asks for a search over the column itself.
        if sources is None and self.fts_config is not None and not any(
            self.name in ix.fields for ix in self.model.__full_text__
        ):
            sources = (self.column,)
        if sources is not None:
            doc["fts_source_columns"] = list(sources)
        return doc

    # Text-only conditions. `contains` and `icontains` take a LIKE pattern the
    # caller writes (`%` any run, `_` one character, backslash escapes); the
    # plain-text forms below escape their text, so every character matches itself.
    def contains(self, pattern: str) -> Condition:
        return self._compare("contains", pattern)

    def icontains(self, pattern: str) -> Condition:
        return self._compare("icontains", pattern)

    def startswith(self, text: str) -> Condition:
        return self._literal("contains", text, "", "%")

    def istartswith(self, text: str) -> Condition:
        return self._literal("icontains", text, "", "%")

    def endswith(self, text: str) -> Condition:
        return self._literal("contains", text, "%", "")

    def iendswith(self, text: str) -> Condition:
        return self._literal("icontains", text, "%", "")

    def includes(self, text: str) -> Condition:
        return self._literal("contains", text, "%", "%")

    def iincludes(self, text: str) -> Condition:
        return self._literal("icontains", text, "%", "%")

    def _literal(self, operator: str, text: str, before: str, after: str) -> Condition:
        return self._compare(operator, before + _like_text(text, self) + after)
