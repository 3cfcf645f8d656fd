"""Pool options in the query string of every URL form, and what each
scheme's own options become for its driver."""

from __future__ import annotations

import asyncio
import re
import ssl
from pathlib import Path
from typing import Any

import pytest

import sarnic
from sarnic.execution.backends import url_options as options
from sarnic.execution.backends.url_options import url_options

URLS = ["sqlite://:memory:", "sqlite:///var/x.db", "postgresql://u:p@h:5/db", "postgres://h/db",
        "mysql://root@h/db", "mariadb://h:3306/db"]


@pytest.mark.parametrize("url", URLS)
def test_pool_options_are_read_from_every_url_form(url):
    assert url_options(f"{url}?min_size=2&max_size=5&timeout=2.5") == (url, {"min_size": 2, "max_size": 5,
                                                                             "timeout": 2.5})
    assert url_options(url) == (url, {})


@pytest.mark.parametrize("url,message", [
    ("sqlite:///x.db?max_sise=5", "unknown URL option 'max_sise': sqlite URLs take min_size, max_size, timeout"),
    ("sqlite://:memory:?mod=ro&x=1", "'mod', 'x'"),
    ("mariadb://h/db?max_size=3&pool=9", "unknown URL option 'pool'"),
    ("sqlite:///x.db?max_size=five", "the URL's max_size is an int, not 'five'"),
    ("sqlite:///x.db?timeout=soon", "the URL's timeout is a number"),
    ("sqlite:///x.db?max_size=2&max_size=3", "max_size twice"),
    ("sqlite:///x.db?timeout=0", "timeout is a number of seconds > 0"),
    ("sqlite:///x.db?min_size=4&max_size=2", "max_size is an int >= 1 and >= min_size"),
])
def test_bad_options_are_refused_by_name(url, message):
    _needs_driver(url)
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


_DRIVERS = {"postgres": "asyncpg", "postgresql": "asyncpg", "mysql": "asyncmy", "mariadb": "asyncmy"}


def _needs_driver(url: str) -> None:
    """The server schemes' backends import their driver: skipped where it is not installed."""
    driver = _DRIVERS.get(url.partition("://")[0])
    if driver is not None:
        pytest.importorskip(driver)


def _driver_arguments(url: str) -> Any:
    backend = sarnic.connect(url)._backend
    if backend.dialect == "sqlite":
        return backend.target  # type: ignore[attr-defined]
    args = dict(backend._connect_args)  # type: ignore[attr-defined]
    if isinstance(args.get("ssl"), ssl.SSLContext):  # compared by what it checks
        context = args["ssl"]
        args["ssl"] = (context.verify_mode, context.check_hostname)
    return args


SETTINGS = {"timezone": "UTC", "default_text_search_config": "pg_catalog.simple"}
CA = ssl.get_default_verify_paths().cafile
VERIFIED, UNVERIFIED = (ssl.CERT_REQUIRED, True), (ssl.CERT_NONE, False)
MARIA = {"host": "h", "port": 3306, "user": None, "password": "", "database": "db", "charset": "utf8mb4"}


@pytest.mark.parametrize("url,expected", [
    ("sqlite:///app.db", options.SqliteTarget("file:app.db?mode=rwc", False, False, 5000)),
    # Quoted: SQLite reads % and # in a URI's path as a URI's.
    ("sqlite:////tmp/50%#1.db?mode=ro&busy_timeout=250",
     options.SqliteTarget("file:///tmp/50%25%231.db?mode=ro", False, True, 250)),
    ("sqlite:///data/app.db?mode=rw&min_size=2", options.SqliteTarget("file:data/app.db?mode=rw", False, False, 5000)),
    ("sqlite:///scratch?mode=memory", options.SqliteTarget(":memory:", True, False, 5000)),
    ("sqlite://:memory:?mode=memory", options.SqliteTarget(":memory:", True, False, 5000)),
    ("postgresql://u:p%40@h:5/db?sslmode=verify-full&sslrootcert=/ca.pem&application_name=my%20app"
     "&connect_timeout=3&statement_timeout=5s",
     {"host": "h", "port": 5, "user": "u", "password": "p@", "database": "db", "timeout": 3.0,
      "dsn": "postgresql://?sslmode=verify-full&sslrootcert=%2Fca.pem",
      "server_settings": {"application_name": "my app", "statement_timeout": "5s", **SETTINGS}}),
    ("postgres:///db?host=/run/postgresql&ssl=true&command_timeout=2&statement_cache_size=0&app.tenant=7",
     {"host": "/run/postgresql", "database": "db", "command_timeout": 2.0, "statement_cache_size": 0,
      "dsn": "postgresql://?sslmode=verify-full", "server_settings": {"app.tenant": "7", **SETTINGS}}),
    ("postgresql://h/db?ssl=require", {"host": "h", "database": "db", "dsn": "postgresql://?sslmode=require",
                                        "server_settings": SETTINGS}),
    ("mysql://root@h/db?charset=UTF8MB4&connect_timeout=2.5", {**MARIA, "user": "root", "connect_timeout": 2.5}),
    ("mariadb://h/db?unix_socket=/run/mysqld/mysqld.sock",
     {**MARIA, "unix_socket": "/run/mysqld/mysqld.sock"}),
    ("mariadb://h/db?ssl=true", {**MARIA, "ssl": VERIFIED}),
    ("mariadb://h/db?ssl=false", MARIA),
    ("mariadb://h/db?ssl_mode=REQUIRED", {**MARIA, "ssl": UNVERIFIED}),
    ("mariadb://h/db?ssl_mode=verify_ca", {**MARIA, "ssl": (ssl.CERT_REQUIRED, False)}),
    # As the mysql client: REQUIRED with a CA checks the certificate against it.
    (f"mariadb://h/db?ssl_mode=REQUIRED&ssl_ca={CA}", {**MARIA, "ssl": (ssl.CERT_REQUIRED, False)}),
    (f"mariadb://h/db?ssl_ca={CA}", {**MARIA, "ssl": VERIFIED}),
])
def test_url_options_become_driver_arguments(url: str, expected: Any) -> None:
    _needs_driver(url)
    if CA is None and "ssl_ca" in url:
        pytest.skip("no system CA file")
    assert _driver_arguments(url) == expected


@pytest.mark.parametrize("url,message", [
    ("sqlite:///x.db?cache=shared", "unknown URL option 'cache': sqlite URLs take min_size, max_size, timeout, "
                                    "mode, busy_timeout"),
    ("sqlite:///x.db?mode=readonly", "the URL's mode is one of ro, rw, rwc, memory, not 'readonly'"),
    ("sqlite://:memory:?mode=ro", "mode=ro does not fit an in-memory database"),
    ("sqlite:///x.db?busy_timeout=-1", "the URL's busy_timeout is an int >= 0, not '-1'"),
    ("sqlite:///x.db?mode=ro&mode=rw", "the URL gives mode twice"),
    ("postgresql://h/db?sslmode=on", "the URL's sslmode is one of disable, allow, prefer, require, verify-ca, "
                                     "verify-full, not 'on'"),
    ("postgresql://h/db?ssl=yes", "the URL's ssl is one of disable"),
    ("postgresql://h/db?ssl=true&sslmode=disable", "both ssl and sslmode"),
    ("postgresql://h/db?sslmode=require&sslmode=disable", "the URL gives sslmode twice"),
    ("postgresql://h/db?keepalives=1", "unknown URL option 'keepalives': postgresql URLs take min_size"),
    ("postgres://h/db?max-size=3", "unknown URL option 'max-size'"),
    ("postgresql://h/db?connect_timeout=0", "the URL's connect_timeout is a number of seconds > 0, not '0'"),
    ("postgresql://h/db?command_timeout=nan", "the URL's command_timeout is a number of seconds > 0"),
    ("postgresql://h/db?statement_cache_size=-1", "the URL's statement_cache_size is an int >= 0"),
    ("postgresql://h/db?TimeZone=Europe/Paris", "sessions in UTC"),
    ("postgresql://h/db?sslmode=verify-ca&sslrootcert=", "the URL's sslrootcert is a file name, not empty"),
    ("mysql://h/db?charset=latin1", "the URL's charset is utf8mb4, not 'latin1'"),
    ("mysql://h/db?charset=utf8", "utf8 is utf8mb3"),
    ("mysql://h/db?ssl_mode=PREFERRED", "fall back to plain text"),
    ("mysql://h/db?ssl_mode=sometimes", "the URL's ssl_mode is one of DISABLED, REQUIRED, VERIFY_CA, "
                                        "VERIFY_IDENTITY, not 'SOMETIMES'"),
    ("mysql://h/db?ssl=maybe", "the URL's ssl is true or false, not 'maybe'"),
    ("mysql://h/db?ssl=true&ssl_mode=REQUIRED", "both ssl and ssl_mode"),
    ("mysql://h/db?ssl=false&ssl_ca=/ca.pem", "the URL gives ssl_ca with TLS disabled"),
    ("mysql://h/db?ssl_key=/k.pem", "ssl_key without ssl_cert"),
    ("mysql://h/db?ssl_ca=/no/such/ca.pem", "the URL's ssl_ca cannot be loaded"),
    ("mysql://h/db?connect_timeout=soon", "the URL's connect_timeout is a number of seconds > 0"),
    ("mariadb://h/db?sql_mode=ANSI&init_command=x", "unknown URL option 'sql_mode', 'init_command': mariadb "
                                                    "URLs take min_size, max_size, timeout, charset"),
])
def test_scheme_options_are_checked_by_name(url: str, message: str) -> None:
    _needs_driver(url)
    with pytest.raises(ValueError, match=re.escape(message)):
        sarnic.connect(url)


def test_the_docs_table_is_the_options_table() -> None:
    text = (Path(__file__).parents[2] / "docs" / "urls.md").read_text()
    documented = [line for line in text.splitlines() if line.startswith("| ") and not line.startswith("| scheme")]

    def row(scheme: str, option: options.Option) -> str:
        name = option.name if " " in option.name else f"`{option.name}`"
        return f"| {scheme} | {name} | {option.default} | {option.meaning} |"

    schemes = {"sqlite": "sqlite", "postgres": "postgresql, postgres", "mysql": "mysql, mariadb"}
    expected = [row("every", o) for o in options.POOL.values()]
    expected += [row(schemes[b], o) for b, table in options.BY_BACKEND.items() for o in table.values()]
    assert documented == expected
