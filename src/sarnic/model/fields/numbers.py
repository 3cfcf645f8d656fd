"""Number fields: `Int`, `BigInt`, `Float`, `Decimal`, and the forms a
decimal takes on its way to and from an engine."""

from __future__ import annotations

import decimal
from collections.abc import Callable, Sequence
from typing import Any, ClassVar, Literal, TypeVar, overload

from sarnic.errors import DataError
from sarnic.model.fields.base import INT32, INT64, ORDERED, Bind, Field

T = TypeVar("T")


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
