"""Search fields: `Vector` (embeddings compared by distance) and `TSVector`
(a document for full-text search)."""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeVar, overload

from sarnic.model.fields.base import FULL_TEXT, INT64, NULLS, Bind, Field, Searchable
from sarnic.model.columns import Condition

T = TypeVar("T")


def _numbers(field: Field[Any], value: Any, kind: type) -> list[Any]:
    if hasattr(value, "tolist") and not isinstance(value, (list, tuple)):
        value = value.tolist()  # array-likes such as numpy's
    if not isinstance(value, (list, tuple)):
        raise field.type_error(value)
    out: list[Any] = []
    for item in value:
        if isinstance(item, bool) or not isinstance(item, (int, float) if kind is float else int):
            raise TypeError(f"{field.label} takes a list of {kind.__name__}s; {item!r:.40} is a {type(item).__name__}")
        if kind is float:
            item = float(item)
            if not math.isfinite(item):
                raise ValueError(f"{field.label} takes finite numbers, not {item}")
        elif not INT64[0] <= item <= INT64[1]:
            raise ValueError(f"{field.label} holds 64-bit integers: {item} is out of range")
        out.append(item)
    return out


class Vector(Field[T]):
    """A vector of `dim` floats (pgvector's `vector(dim)` on PostgreSQL)."""

    field_type = "vector"
    operators_for_type = ()
    expects = "a list of floats"

    @overload
    def __init__(self: Vector[list[float]], dim: int, *, column: str | None = ..., null: Literal[False] = ...,
                 default: Sequence[float] | Callable[[], Sequence[float]] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Vector[list[float] | None], dim: int, *, column: str | None = ..., null: Literal[True],
                 default: Sequence[float] | None | Callable[[], Sequence[float] | None] = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, dim: int, **options: Any) -> None:
        super().__init__(**options)
        if type(dim) is not int or not 1 <= dim <= 16000:
            raise ValueError("Vector takes a dimension from 1 to 16000")
        self.dim = dim

    def options(self) -> dict[str, Any]:
        return {"dim": self.dim, **super().options()}

    def bind_value(self, value: Any) -> Bind:
        items = _numbers(self, value, float)
        if len(items) != self.dim:
            raise ValueError(f"{self.label} holds vectors of {self.dim} dimensions, not {len(items)}")
        return ("float_array", items)

    def check(self, value: Any) -> Any:
        return None if value is None else self.bind(value)[1]

    def from_plain(self, value: Any) -> Any:
        if isinstance(value, str):
            value = json.loads(value)
        return [float(v) for v in value]

    def metadata(self) -> dict[str, Any]:
        return {**super().metadata(), "vector_dimensions": self.dim}


class TSVector(Searchable[T]):
    """A text-search document. With `fts_source_columns` the database derives it
    from those columns (a generated column, never written); without, the
    layer writes the text given."""

    field_type = "ts_vector"
    operators_for_type = ()
    expects = "a str"

    @overload
    def __init__(self: TSVector[str], *, column: str | None = ..., null: Literal[False] = ...,
                 fts_config: str | None = ..., fts_source_columns: Sequence[str] | None = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: TSVector[str | None], *, column: str | None = ..., null: Literal[True],
                 fts_config: str | None = ..., fts_source_columns: Sequence[str] | None = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    @property
    def generated(self) -> bool:
        return self.fts_source_columns is not None

    def bind_value(self, value: Any) -> Bind:
        if isinstance(value, str):
            return ("text", str(value))
        raise self.type_error(value)

    def full_text_capable(self) -> bool:
        return True

    def allowed_operators(self) -> list[str]:
        if self.operators_option is not None:
            return list(self.operators_option)
        # A derived document is never NULL-tested: it is always there.
        return [*(NULLS if self.null and not self.generated else ()), *FULL_TEXT]

    def metadata(self) -> dict[str, Any]:
        doc = super().metadata()
        if self.fts_config is not None:
            doc["fts_config"] = self.fts_config
        if self.fts_source_columns is not None:
            doc["fts_source_columns"] = list(self.fts_source_columns)
        return doc
