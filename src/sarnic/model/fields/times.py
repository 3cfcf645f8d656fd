"""Time fields: `DateTime`, `Date`, `Time`."""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeVar, overload

from sarnic.model.fields.base import ORDERED, Bind, Field

T = TypeVar("T")


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
