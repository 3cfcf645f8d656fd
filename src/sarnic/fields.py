"""Field declarations: one class per core field type, plus `ForeignKey`.

A field is a non-data descriptor. On the class it is itself the typed column
expression (`Post.views >= 10`); on an instance the value lives in the
instance `__dict__` under the field's name, so reading `post.views` is a plain
dict lookup and the descriptor only runs for a value that is absent.
"""

from __future__ import annotations

import datetime as dt
import decimal
import enum
import json
import math
import uuid
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, Generic, Literal, Self, TypeVar, overload

from sarnic.errors import DataError
from sarnic.query.expr import ColumnExpr, Condition, Ordering

if TYPE_CHECKING:
    from sarnic.model.base import Model

T = TypeVar("T")
E = TypeVar("E", bound=enum.Enum)
M = TypeVar("M", bound="Model")

INT32 = (-(2**31), 2**31 - 1)
INT64 = (-(2**63), 2**63 - 1)

ORDERED = ("eq", "ne", "lt", "lte", "gt", "gte")
EQUALITY = ("eq", "ne")
LIKE = ("contains", "icontains")
NULLS = ("is_null", "is_not_null")
FULL_TEXT = ("match", "match_phrase", "match_websearch", "match_boolean")

#: What a value must be, by field type, as shown in type errors.
Bind = tuple[str, Any]
NULL_BIND: Bind = ("null", None)

_NOT_GIVEN: Any = object()
#: what a field learns from its model, left out of a clone
_BOUND = frozenset(("model", "name", "position", "ref", "ascending", "descending"))


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
    model: type[Model]
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

    def bind_to(self, model: type[Model], name: str, position: int) -> None:
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


def _int_bind(field: Field[Any], value: Any, bounds: tuple[int, int]) -> Bind:
    if type(value) is not int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise field.type_error(value)
        value = int(value)
    if not bounds[0] <= value <= bounds[1]:
        bits = 32 if bounds is INT32 else 64
        raise ValueError(f"{field.label} holds {bits}-bit integers: {value} is out of range")
    return ("int", value)


class _Integer(Field[T]):
    operators_for_type = ORDERED
    expects = "an int"
    bounds: ClassVar[tuple[int, int]] = INT64

    def bind_value(self, value: Any) -> Bind:
        if type(value) is int:
            low, high = self.bounds
            if low <= value <= high:
                return ("int", value)
        return _int_bind(self, value, self.bounds)

    @property
    def auto_key(self) -> bool:
        # A relation's key is the target's value, never generated here.
        pk = self.model.__pk__
        return self.primary_key and len(pk) == 1 and pk[0] is self and not getattr(self, "implied", False)


class Int(_Integer[T]):
    """A 32-bit integer. As a single-column primary key the database generates it."""

    field_type = "int"
    bounds = INT32

    @overload
    def __init__(self: Int[int], *, column: str | None = ..., null: Literal[False] = ...,
                 default: int | Callable[[], int] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Int[int | None], *, column: str | None = ..., null: Literal[True],
                 default: int | None | Callable[[], int | None] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)


class BigInt(_Integer[T]):
    """A 64-bit integer."""

    field_type = "big_int"
    bounds = INT64

    @overload
    def __init__(self: BigInt[int], *, column: str | None = ..., null: Literal[False] = ...,
                 default: int | Callable[[], int] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: BigInt[int | None], *, column: str | None = ..., null: Literal[True],
                 default: int | None | Callable[[], int | None] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)


class Float(Field[T]):
    """A 64-bit float; an int is taken as the equal float."""

    field_type = "float"
    operators_for_type = ORDERED
    expects = "a float"

    @overload
    def __init__(self: Float[float], *, column: str | None = ..., null: Literal[False] = ...,
                 default: float | Callable[[], float] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Float[float | None], *, column: str | None = ..., null: Literal[True],
                 default: float | None | Callable[[], float | None] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        if type(value) is float:
            return ("float", value)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self.type_error(value)
        return ("float", float(value))

    def check(self, value: Any) -> Any:
        return None if value is None else self.bind(value)[1]


class Decimal(Field[T]):
    """An exact decimal number. Floats are refused: they are not exact.

    `max_digits` and `decimal_places` are the column's precision and scale.
    Without them the column holds what every engine can: 65 digits, 30 of
    them after the point (MySQL's widest DECIMAL). A value written that the
    column cannot hold exactly is refused with `DataError`, never rounded."""

    field_type = "decimal"
    operators_for_type = ORDERED
    expects = "a decimal.Decimal or an int"

    @overload
    def __init__(self: Decimal[decimal.Decimal], *, max_digits: int | None = ..., decimal_places: int | None = ...,
                 column: str | None = ..., null: Literal[False] = ...,
                 default: decimal.Decimal | int | Callable[[], decimal.Decimal] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Decimal[decimal.Decimal | None], *, max_digits: int | None = ...,
                 decimal_places: int | None = ..., column: str | None = ..., null: Literal[True],
                 default: decimal.Decimal | int | None | Callable[[], decimal.Decimal | None] = ...,
                 primary_key: bool = ..., unique: bool = ..., index: bool = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, *, max_digits: int | None = None, decimal_places: int | None = None, **options: Any) -> None:
        super().__init__(**options)
        if (max_digits is None) != (decimal_places is None):
            raise TypeError("Decimal takes max_digits and decimal_places together, or neither")
        for given in (max_digits, decimal_places):
            if given is not None and (isinstance(given, bool) or not isinstance(given, int)):
                raise TypeError("Decimal takes max_digits and decimal_places as ints")
        if max_digits is not None and decimal_places is not None:
            if not 0 <= decimal_places <= max_digits:
                raise ValueError("Decimal needs 0 <= decimal_places <= max_digits")
            if not 1 <= max_digits <= MAX_DECIMAL_DIGITS:
                raise ValueError(f"Decimal takes max_digits from 1 to {MAX_DECIMAL_DIGITS}")
        self.max_digits = max_digits
        self.decimal_places = decimal_places
        self.precision = PORTABLE_DECIMAL[0] if max_digits is None else max_digits
        self.scale = PORTABLE_DECIMAL[1] if decimal_places is None else decimal_places

    def options(self) -> dict[str, Any]:
        return {**super().options(), "max_digits": self.max_digits, "decimal_places": self.decimal_places}

    def bind_value(self, value: Any) -> Bind:
        if isinstance(value, decimal.Decimal):
            if not value.is_finite():
                raise ValueError(f"{self.label} takes finite decimals, not {value}")
            return ("text", decimal_text(value))
        if isinstance(value, int) and not isinstance(value, bool):
            return ("text", str(value))
        raise self.type_error(value)

    def bind(self, value: Any) -> Bind:
        # Written values must fit the column; compared ones need not (a
        # filter may well name a value no row can hold).
        if value is None:
            return super().bind(value)
        out = self.bind_value(value)
        # Read off the positional text the value is bound as: cheaper than its digit tuple.
        whole, _, fraction = out[1].lstrip("-").partition(".")
        places = len(fraction.rstrip("0"))
        digits = len(whole.lstrip("0"))
        if places > self.scale or digits > self.precision - self.scale:
            raise self._misfit(value, digits, places)
        return out

    def _misfit(self, value: Any, whole: int, places: int) -> DataError:
        p, s = self.precision, self.scale
        if places > s:
            why = f"it has {places} digits after the point and would be rounded"
        else:
            why = f"it has {whole} digits before the point and would overflow"
        return DataError(f"{self.label} holds decimals of {p} digits, {s} of them after the point "
                         f"(at most {p - s} before it): {value} does not fit, {why}")

    def check(self, value: Any) -> Any:
        self.bind(value)
        return decimal.Decimal(value) if type(value) is int else value

    def from_plain(self, value: Any) -> Any:
        d = value if isinstance(value, decimal.Decimal) else decimal.Decimal(str(value))
        return trimmed_decimal(d) if self.decimal_places is None else padded_decimal(d, self.decimal_places)


#: the most digits a declared decimal may have (PostgreSQL's numeric limit)
MAX_DECIMAL_DIGITS = 1000
#: (precision, scale) of a decimal declared without them: what MySQL's widest DECIMAL holds
PORTABLE_DECIMAL = (65, 30)


def trimmed_decimal(value: decimal.Decimal) -> decimal.Decimal:
    """The value without trailing zeros after the point (an engine that pads
    to the column's scale reads 19.99 as 19.990...0); no context, no rounding."""
    sign, digits, exp = value.as_tuple()
    if not isinstance(exp, int) or exp >= 0 or digits[-1]:
        return value
    if not any(digits):
        return decimal.Decimal(0)
    keep = len(bytes(digits).rstrip(b"\x00"))
    cut = min(len(digits) - keep, -exp)
    return decimal.Decimal((sign, digits[: len(digits) - cut], exp + cut))


def padded_decimal(value: decimal.Decimal, places: int) -> decimal.Decimal:
    """The value with the column's scale, as the engines with a fixed scale
    hand it back (1.5 in a scale of 2 is 1.50)."""
    sign, digits, exp = value.as_tuple()
    if not isinstance(exp, int) or -exp >= places:
        return value
    more = places + exp
    return decimal.Decimal((sign, (*digits, *(0,) * more), exp - more))


def decimal_text(value: decimal.Decimal) -> str:
    """The plain positional text of a decimal, without exponent: one text per
    value and scale, which every engine reads back exactly."""
    return format(value, "f")


def _like_text(text: object, field: Field[Any]) -> str:
    if not isinstance(text, str):
        raise TypeError(f"{field.label} compares with text, not {type(text).__name__}")
    return text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")


class Text(Field[T]):
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
        return self._compare("contains", _like_text(text, self) + "%")

    def istartswith(self, text: str) -> Condition:
        return self._compare("icontains", _like_text(text, self) + "%")

    def endswith(self, text: str) -> Condition:
        return self._compare("contains", "%" + _like_text(text, self))

    def iendswith(self, text: str) -> Condition:
        return self._compare("icontains", "%" + _like_text(text, self))

    def includes(self, text: str) -> Condition:
        return self._compare("contains", "%" + _like_text(text, self) + "%")

    def iincludes(self, text: str) -> Condition:
        return self._compare("icontains", "%" + _like_text(text, self) + "%")

    def match(self, query: str) -> Condition:
        return self._search("match", query)

    def match_phrase(self, query: str) -> Condition:
        return self._search("match_phrase", query)

    def match_websearch(self, query: str) -> Condition:
        return self._search("match_websearch", query)

    def match_boolean(self, query: str) -> Condition:
        return self._search("match_boolean", query)


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


class DateTime(Field[T]):
    """A point in time. With `timezone=True` (the default) values must be aware
    and come back in UTC; with `timezone=False` they must be naive wall-clock
    times and come back as given. Mixing the two is refused rather than guessed."""

    field_type = "datetime"
    operators_for_type = ORDERED

    @overload
    def __init__(self: DateTime[dt.datetime], *, timezone: bool = ..., column: str | None = ...,
                 null: Literal[False] = ..., default: dt.datetime | Callable[[], dt.datetime] = ...,
                 primary_key: bool = ..., unique: bool = ..., index: bool = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: DateTime[dt.datetime | None], *, timezone: bool = ..., column: str | None = ...,
                 null: Literal[True], default: dt.datetime | None | Callable[[], dt.datetime | None] = ...,
                 primary_key: bool = ..., unique: bool = ..., index: bool = ...,
                 operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, *, timezone: bool = True, **options: Any) -> None:
        super().__init__(**options)
        self.timezone = bool(timezone)

    def options(self) -> dict[str, Any]:
        return {**super().options(), "timezone": self.timezone}

    @property
    def expects(self) -> str:  # type: ignore[override]
        return "an aware datetime" if self.timezone else "a naive datetime"

    def bind_value(self, value: Any) -> Bind:
        if not isinstance(value, dt.datetime):
            raise self.type_error(value)
        aware = value.utcoffset() is not None
        if aware != self.timezone:
            kind = "an aware" if aware else "a naive"
            raise ValueError(f"{self.label} takes {self.expects}, not {kind} one ({value.isoformat()}); "
                             f"declare DateTime(timezone={not self.timezone}) to store such values")
        if aware:
            try:
                value = value.astimezone(dt.timezone.utc)
            except OverflowError:
                raise ValueError(f"{self.label}: {value.isoformat()} has no UTC time within the datetime range") from None
        return ("datetime", value.isoformat())

    def check(self, value: Any) -> Any:
        self.bind(value)
        return value

    def from_plain(self, value: Any) -> Any:
        if isinstance(value, dt.datetime):
            parsed = value
        else:
            parsed = dt.datetime.fromisoformat(str(value))
        if self.timezone:
            return parsed.replace(tzinfo=dt.timezone.utc) if parsed.tzinfo is None else parsed.astimezone(dt.timezone.utc)
        return parsed


class Date(Field[T]):
    field_type = "date"
    operators_for_type = ORDERED
    expects = "a datetime.date"

    @overload
    def __init__(self: Date[dt.date], *, column: str | None = ..., null: Literal[False] = ...,
                 default: dt.date | Callable[[], dt.date] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Date[dt.date | None], *, column: str | None = ..., null: Literal[True],
                 default: dt.date | None | Callable[[], dt.date | None] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        # A datetime is a date too, but storing one here would drop its time.
        if isinstance(value, dt.date) and not isinstance(value, dt.datetime):
            return ("text", value.isoformat())
        raise self.type_error(value)

    def from_plain(self, value: Any) -> Any:
        return value if isinstance(value, dt.date) else dt.date.fromisoformat(str(value))


class Time(Field[T]):
    """A time of day, without a zone (an aware time is refused)."""

    field_type = "time"
    operators_for_type = ORDERED
    expects = "a naive datetime.time"

    @overload
    def __init__(self: Time[dt.time], *, column: str | None = ..., null: Literal[False] = ...,
                 default: dt.time | Callable[[], dt.time] = ..., primary_key: bool = ..., unique: bool = ...,
                 index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    @overload
    def __init__(self: Time[dt.time | None], *, column: str | None = ..., null: Literal[True],
                 default: dt.time | None | Callable[[], dt.time | None] = ..., primary_key: bool = ...,
                 unique: bool = ..., index: bool = ..., operators: Sequence[str] | None = ...) -> None: ...
    def __init__(self, **options: Any) -> None:
        super().__init__(**options)

    def bind_value(self, value: Any) -> Bind:
        if isinstance(value, dt.time) and value.tzinfo is None:
            return ("text", value.isoformat())
        raise self.type_error(value)

    def from_plain(self, value: Any) -> Any:
        if isinstance(value, dt.time):
            return value
        if isinstance(value, dt.timedelta):  # MySQL's TIME comes back as a duration
            seconds = value // dt.timedelta(microseconds=1)
            return (dt.datetime.min + dt.timedelta(microseconds=seconds)).time()
        return dt.time.fromisoformat(str(value))


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


class TSVector(Field[T]):
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

    def match(self, query: str) -> Condition:
        return self._search("match", query)

    def match_phrase(self, query: str) -> Condition:
        return self._search("match_phrase", query)

    def match_websearch(self, query: str) -> Condition:
        return self._search("match_websearch", query)

    def match_boolean(self, query: str) -> Condition:
        return self._search("match_boolean", query)


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
    model: type[Model]
    name: str
    target: type[Model]
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


# The many sides of relations live with the rest of the relation code.
from sarnic.model.relations.many import Many as Many, ManyToMany as ManyToMany, Reverse as Reverse  # noqa: E402
