"""`Field`: the descriptor every field type builds on, and what they share:
the operator families, the bind pair, the bounds of integers.

A field is a non-data descriptor. On the class it is itself the typed column
expression (`Post.views >= 10`); on an instance the value lives in the
instance `__dict__` under the field's name, so reading `post.views` is a plain
dict lookup and the descriptor only runs for a value that is absent.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, ClassVar, Protocol, Self, TypeVar, overload

from sarnic.model.columns import Bind as Bind, ColumnExpr, Condition, Ordering

T = TypeVar("T")

INT32 = (-(2**31), 2**31 - 1)
INT64 = (-(2**63), 2**63 - 1)

ORDERED = ("eq", "ne", "lt", "lte", "gt", "gte")
EQUALITY = ("eq", "ne")
LIKE = ("contains", "icontains")
NULLS = ("is_null", "is_not_null")
FULL_TEXT = ("match", "match_phrase", "match_websearch", "match_boolean")

#: What a value must be, by field type, as shown in type errors.
NULL_BIND: Bind = ("null", None)

_NOT_GIVEN: Any = object()
#: what a field learns from its model, left out of a clone
_BOUND = frozenset(("model", "name", "position", "ref", "ascending", "descending"))


class Row(Protocol):
    """An instance of a model as its fields see it: `Field.model` is a
    `type[Row]` (each `Table` is one)."""

    __table__: ClassVar[str]
    __fields__: ClassVar[tuple[Field[Any], ...]]
    __fields_by_name__: ClassVar[dict[str, Field[Any]]]
    __pk__: ClassVar[tuple[Field[Any], ...]]
    __relations__: ClassVar[dict[str, Any]]
    __full_text__: ClassVar[tuple[Any, ...]]
    __metadata_bytes__: ClassVar[bytes]

    def _key_value(self) -> Any: ...


class Field(ColumnExpr[T]):
    """A model column. `T` is what an instance holds: the value type, with
    `None` when the field is nullable."""

    #: the core's name of the field type
    field_type: ClassVar[str] = ""
    #: operators a column of this type supports besides the null tests
    operators_for_type: ClassVar[tuple[str, ...]] = ()
    #: what a bound value must be, for type errors
    expects: ClassVar[str] = ""

    # Filled in by the model when the class is created.
    model: type[Row]
    name: str
    position: int
    column: str
    ref: tuple[str, int]
    ascending: Ordering
    descending: Ordering

    def __init__(
        self,
        *,
        column: str | None = None,
        null: bool = False,
        default: Any = _NOT_GIVEN,
        primary_key: bool = False,
        unique: bool = False,
        index: bool = False,
        operators: Sequence[str] | None = None,
        fts_config: str | None = None,
        fts_source_columns: Sequence[str] | None = None,
    ) -> None:
        self.column_option = column
        self.null = bool(null)
        self.default = default
        self.primary_key = bool(primary_key)
        self.unique = bool(unique)
        self.indexed = bool(index)
        self.operators_option = None if operators is None else tuple(operators)
        self.fts_config = fts_config
        self.fts_source_columns = None if fts_source_columns is None else tuple(fts_source_columns)
        if isinstance(operators, str) or isinstance(fts_source_columns, str):
            raise TypeError("operators and fts_source_columns take a list of texts, not one text")

    # -- declaration ---------------------------------------------------------

    def options(self) -> dict[str, Any]:
        """The keyword arguments that rebuild this field (for inherited fields)."""
        return {
            "column": self.column_option,
            "null": self.null,
            "default": self.default,
            "primary_key": self.primary_key,
            "unique": self.unique,
            "index": self.indexed,
            "operators": self.operators_option,
            "fts_config": self.fts_config,
            "fts_source_columns": self.fts_source_columns,
        }

    def clone(self) -> Self:
        new = object.__new__(type(self))
        new.__dict__.update({k: v for k, v in self.__dict__.items() if k not in _BOUND})
        return new

    def bind_to(self, model: type[Row], name: str, position: int) -> None:
        self.model = model
        self.name = name
        self.position = position
        self.column = self.column_option or name
        self.ref = (name, position)
        # Orderings are immutable: each field's two are made once.
        self.ascending = Ordering(self, "asc")
        self.descending = Ordering(self, "desc")

    def asc(self) -> Ordering:
        return self.ascending

    def desc(self) -> Ordering:
        return self.descending

    @property
    def has_default(self) -> bool:
        return self.default is not _NOT_GIVEN

    def make_default(self) -> Any:
        d = self.default
        return d() if callable(d) else d

    @property
    def generated(self) -> bool:
        """Whether the database computes the column (never written by the layer)."""
        return False

    @property
    def auto_key(self) -> bool:
        """A single-column integer key that the database generates when not given."""
        return False

    @property
    def label(self) -> str:
        return f"{self.model.__name__}.{self.name}"

    # -- descriptor ----------------------------------------------------------

    @overload
    def __get__(self, obj: None, owner: Any) -> Self: ...
    @overload
    def __get__(self, obj: object, owner: Any) -> T: ...
    def __get__(self, obj: object | None, owner: Any) -> Self | T:
        if obj is None:
            return self
        # Only reached when the instance holds no value: a partial select, or
        # a key the database has not generated yet.
        if self.auto_key:
            raise AttributeError(f"{self.label} is not set: the database generates it on insert")
        raise AttributeError(f"{self.label} was not loaded: the query that fetched this {self.model.__name__} "
                             f"did not select it")

    # -- values --------------------------------------------------------------

    def type_error(self, value: Any) -> TypeError:
        return TypeError(f"{self.label} takes {self.expects}, not {type(value).__name__} ({value!r:.60})")

    def bind(self, value: Any) -> Bind:
        """The core's bind value for a Python value of this field, checked."""
        if value is None:
            if not self.null:
                raise TypeError(f"{self.label} is not nullable: None is not a value for it")
            return NULL_BIND
        return self.bind_value(value)

    def bind_value(self, value: Any) -> Bind:
        raise NotImplementedError

    def check(self, value: Any) -> Any:
        """The value an instance stores: checked, and normalised where the type
        has one form (a float field keeps a float for an int)."""
        self.bind(value)
        return value

    def from_bind(self, tag: str, payload: Any) -> Any:
        """The Python value back from a bind value this field wrote."""
        return None if tag == "null" else self.from_plain(payload)

    def from_plain(self, value: Any) -> Any:
        """The Python value of a stored value in its plain form (numbers, text,
        lists) as drivers without a native type for it return it."""
        return value

    @property
    def binds_as_is(self) -> bool:
        """Whether a value this field binds comes back from the core as the Python value itself."""
        kind = type(self)
        return kind.from_bind is Field.from_bind and kind.from_plain is Field.from_plain

    def allowed_operators(self) -> list[str]:
        if self.operators_option is not None:
            return list(self.operators_option)
        ops = list(self.operators_for_type)
        if self.null:
            ops += NULLS
        if self.full_text_capable():
            ops += FULL_TEXT
        return ops

    def full_text_capable(self) -> bool:
        return False

    def metadata(self) -> dict[str, Any]:
        doc: dict[str, Any] = {
            "name": self.name,
            "column_name": self.column,
            "field_type": self.field_type,
            "allowed_operators": self.allowed_operators(),
            "nullable": self.null,
        }
        return doc

    def __repr__(self) -> str:
        where = getattr(self, "model", None)
        return f"<{type(self).__name__} {self.label}>" if where else f"<{type(self).__name__} (unbound)>"


class Searchable(Field[T]):
    """A field full-text conditions can search: text indexed where it is, or a
    document kept for the search."""

    def match(self, query: str) -> Condition:
        return self._search("match", query)

    def match_phrase(self, query: str) -> Condition:
        return self._search("match_phrase", query)

    def match_websearch(self, query: str) -> Condition:
        return self._search("match_websearch", query)

    def match_boolean(self, query: str) -> Condition:
        return self._search("match_boolean", query)
