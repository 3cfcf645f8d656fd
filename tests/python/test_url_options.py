"""Pool options in the query string of every URL form."""

from __future__ import annotations

import asyncio

import pytest

import sarnic
from sarnic.execution.database import url_options

URLS = ["sqlite://:memory:", "sqlite:///var/x.db", "postgresql://u:p@h:5/db", "postgres://h/db",
        "mysql://root@h/db", "mariadb://h:3306/db"]


@pytest.mark.parametrize("url", URLS)
def test_pool_options_are_read_from_every_url_form(url):
    assert url_options(f"{url}?min_size=2&max_size=5&timeout=2.5") == (url, {"min_size": 2, "max_size": 5,
                                                                             "timeout": 2.5})
    assert url_options(url) == (url, {})


@pytest.mark.parametrize("url,message", [
    ("sqlite:///x.db?max_sise=5", "unknown URL option 'max_sise': sqlite URLs take min_size, max_size, timeout"),
    ("sqlite://:memory:?mode=ro&x=1", "'mode', 'x'"),
    ("mariadb://h/db?max_size=3&pool=9", "unknown URL option 'pool'"),
    ("sqlite:///x.db?max_size=five", "the URL's max_size is an int, not 'five'"),
    ("sqlite:///x.db?timeout=soon", "the URL's timeout is a number"),
    ("sqlite:///x.db?max_size=2&max_size=3", "max_size twice"),
    ("sqlite:///x.db?timeout=0", "timeout is a number of seconds > 0"),
    ("sqlite:///x.db?min_size=4&max_size=2", "max_size is an int >= 1 and >= min_size"),
])
def test_bad_options_are_refused_by_name(url, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace("?", r"\?")):
        sarnic.connect(url)


def test_postgres_keeps_its_own_options():
    # Connection arguments and server settings go on to the driver.
    assert url_options("postgresql://h/db?max_size=3&application_name=app&command_timeout=5") == (
        "postgresql://h/db?application_name=app&command_timeout=5", {"max_size": 3})


def test_the_url_and_the_keywords_agree_or_are_refused():
    db = sarnic.connect("sqlite:///x.db?max_size=4", max_size=4)
    assert (db._backend.min_size, db._backend.max_size) == (1, 4)
    with pytest.raises(ValueError, match="max_size is given twice, as 3 and as 4 in the URL"):
        sarnic.connect("sqlite:///x.db?max_size=4", max_size=3)


def test_the_timeout_bounds_the_wait_for_a_connection():
    async def main() -> None:
        async with sarnic.connect("sqlite://:memory:?min_size=1&max_size=3&timeout=0.2") as db:
            backend = db._backend
            assert (backend.min_size, backend.max_size) == (1, 3)
            held = await backend.acquire()
            # The one in-memory connection is taken: the next waits for the timeout, then says so.
            with pytest.raises(sarnic.OperationalError, match="within 0.2 s"):
                await backend.acquire()
            await backend.release(held)
            await backend.release(await backend.acquire())

    asyncio.run(main())
