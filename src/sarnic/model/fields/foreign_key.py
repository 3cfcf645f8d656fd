"""`ForeignKey`: a reference to another model's key, through a key column."""

from __future__ import annotations

from typing import Any, Generic, Literal, Self, TypeVar, overload

from sarnic.model.fields.base import Field, Row
from sarnic.model.columns import ColumnExpr, Condition

T = TypeVar("T")
M = TypeVar("M", bound=Row)


class ForeignKey(Generic[T]):
    """A reference to another model's key. It adds the key column `<name>_id`
    (a field of the target key's type; `column=` renames its column). On the
    class it is the relation that `.join()` and `.prefetch()` take; on an
    instance it is the related object, present only when the query joined
    or prefetched it. The model is a class, "self", or a model's name, looked
    up once a model of that name is defined (annotate the field for type
    checkers: `manager: ForeignKey[Employee | None] = ForeignKey("Employee", null=True)`).
    `on_delete` is the constraint's action when the referenced row goes:
    "restrict" (the delete fails), "cascade" or "set_null"."""

    # Filled in by the model.
    model: type[Row]
    name: str
    target: type[Row]
    key: Field[Any]

    @overload
    def __init__(self: ForeignKey[M], model: type[M], *, null: Literal[False] = ..., column: str | None = ...,
                 on_delete: Literal["restrict", "cascade"] = ..., index: bool = ...) -> None: ...
    @overload
    def __init__(self: ForeignKey[M | None], model: type[M], *, null: Literal[True], column: str | None = ...,
                 on_delete: Literal["restrict", "cascade", "set_null"] = ..., index: bool = ...) -> None: ...
    @overload
    def __init__(self: ForeignKey[Any], model: str, *, null: bool = ..., column: str | None = ...,
                 on_delete: Literal["restrict", "cascade", "set_null"] = ..., index: bool = ...) -> None: ...
    def __init__(self, model: Any, *, null: bool = False, column: str | None = None,
                 on_delete: str = "restrict", index: bool = True) -> None:
        if on_delete not in ("restrict", "cascade", "set_null"):
            raise ValueError("on_delete is one of 'restrict', 'cascade', 'set_null'")
        if on_delete == "set_null" and not null:
            raise ValueError("on_delete='set_null' needs null=True")
        self.target_option = model
        self.null = bool(null)
        self.column_option = column
        self.on_delete = on_delete
        self.indexed = bool(index)

    def options(self) -> dict[str, Any]:
        return {"null": self.null, "column": self.column_option, "on_delete": self.on_delete, "index": self.indexed}

    @property
    def label(self) -> str:
        return f"{self.model.__name__}.{self.name}"

    __hash__ = object.__hash__

    def _key_of(self, other: Any) -> Any:
        return other._key_value() if isinstance(other, self.target) else other

    def __eq__(self, other: object) -> Condition:  # type: ignore[override]
        """`Post.author == ann`: the key column equals ann's key (or a key given as it is)."""
        key: ColumnExpr[Any] = self.key
        return key._compare("eq", self._key_of(other)) if other is not None else key.is_null()

    def __ne__(self, other: object) -> Condition:  # type: ignore[override]
        key: ColumnExpr[Any] = self.key
        return key._compare("ne", self._key_of(other)) if other is not None else key.is_not_null()

    def is_null(self) -> Condition:
        key: ColumnExpr[Any] = self.key
        return key.is_null()

    def is_not_null(self) -> Condition:
        key: ColumnExpr[Any] = self.key
        return key.is_not_null()

    @overload
    def __get__(self, obj: None, owner: Any) -> Self: ...
    @overload
    def __get__(self, obj: object, owner: Any) -> T: ...
    def __get__(self, obj: object | None, owner: Any) -> Self | T:
        if obj is None:
            return self
        raise AttributeError(f"{self.label} was not joined: fetch with "
                             f".join({self.model.__name__}.{self.name}, ...) or "
                             f".prefetch({self.model.__name__}.{self.name}) to load it "
                             f"(sarnic never runs a query on attribute access)")

    def __repr__(self) -> str:
        return f"<ForeignKey {self.label}>" if hasattr(self, "model") else "<ForeignKey (unbound)>"
