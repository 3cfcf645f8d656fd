"""Driver forms written by shortcut must equal the ones the long way gives:
stored datetimes cut from the layer's own UTC text (on MySQL, the text the
driver writes for a datetime), and bulk rows converted
by a function written out per column list."""

from __future__ import annotations

import datetime as dt

import pytest

from orm_models import Everything, Post
from sarnic.execution.backends import create
from sarnic.execution.driver_rows import driver_rows

UTC = dt.timezone.utc
TIMES = [dt.datetime(2024, 1, 1, tzinfo=UTC), dt.datetime(2024, 1, 1, 0, 0, 0, 1, tzinfo=UTC),
         dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), dt.datetime(999, 1, 1, tzinfo=UTC),
         dt.datetime(1, 1, 1, tzinfo=UTC), dt.datetime(2024, 5, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=2))),
         dt.datetime(2024, 5, 1, 12, 30), dt.datetime(1000, 1, 1, 0, 0, 0, 500)]


def wall(text: str) -> dt.datetime:
    value = dt.datetime.fromisoformat(text)
    return value.astimezone(UTC).replace(tzinfo=None) if value.tzinfo else value


@pytest.mark.parametrize("value", TIMES, ids=str)
def test_stored_datetimes_by_shortcut_equal_the_parsed_ones(value: dt.datetime) -> None:
    text = value.astimezone(UTC).isoformat() if value.tzinfo else value.isoformat()
    sqlite_form = create("sqlite://:memory:", min_size=0, max_size=1).param_converter(Everything.at)
    assert sqlite_form is not None and sqlite_form(text) == wall(text).isoformat(sep=" ", timespec="microseconds")
    try:
        mysql_form = create("mysql://x@127.0.0.1/x", min_size=0, max_size=1).param_converter(Everything.at)
        from asyncmy.converters import escape_item
    except ImportError:
        return  # the driver is an extra
    # The driver writes values into the statement's text: the text cut short
    # must be written as the datetime would be.
    assert mysql_form is not None
    for given in (text, value.isoformat()):  # an offset other than UTC goes the long way
        assert escape_item(mysql_form(given), "utf8mb4") == escape_item(wall(given), "utf8mb4")


def test_driver_rows_convert_as_each_column_does() -> None:
    backend = create("sqlite://:memory:", min_size=0, max_size=1)
    rows = [{"title": "a", "body": "b", "published_at": t} for t in TIMES if t.tzinfo] + [{"title": "n", "body": "b"}]
    query = Post.bulk_insert(rows)
    convs = [backend.param_converter(f) for f in query.columns]
    expected = [tuple(v if c is None or v is None else c(v) for (_, v), c in zip(row, convs)) for row in query.rows]
    assert driver_rows(backend, query.columns)(query.rows) == expected
    one = Post.bulk_insert([{"title": "a", "body": "b"}])
    assert driver_rows(backend, one.columns[:1])([r[:1] for r in one.rows]) == [(one.rows[0][0][1],)]
