"""The options of a database URL's query string, per scheme, and what they
become for the driver. Read here, without importing any driver, when the
Database is made: a misspelt or ill-formed option fails `sarnic.connect`
by name, before anything is opened.

The tables (name, default, meaning) are what docs/urls.md shows; a test
holds the two together."""

from __future__ import annotations

import math
import re
import ssl
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any
from urllib.parse import quote, unquote, urlencode

from sarnic.execution.backends.base import Url
from sarnic.schema.postgres import DEFAULT_DOCUMENT_CONFIG


@dataclass(frozen=True)
class Option:
    name: str
    default: str
    meaning: str


def _table(*options: Option) -> dict[str, Option]:
    return {o.name: o for o in options}


#: read on every scheme (pool_options below)
POOL = _table(
    Option("min_size", "1", "connections opened with the pool"),
    Option("max_size", "10", "most connections at once"),
    Option("timeout", "none", "seconds to wait for a connection (made, or free in a full pool), then "
                              "`OperationalError`"),
)

SQLITE_MODES = ("ro", "rw", "rwc", "memory")
SQLITE = _table(
    Option("mode", "rwc", "`ro`: read only, a write is `OperationalError`; `rw`: the file must exist; `rwc`: "
                          "made when missing; `memory`: in memory, as `sqlite://:memory:`"),
    Option("busy_timeout", "5000", "milliseconds a statement waits for another connection's lock before "
                                   "`database is locked`"),
)

#: the session's text-search configuration: the one derived documents without a config are stored in
PG_TEXT_SEARCH_CONFIG = f"pg_catalog.{DEFAULT_DOCUMENT_CONFIG}"
PG_SSLMODES = ("disable", "allow", "prefer", "require", "verify-ca", "verify-full")
#: what libpq does with each, asyncpg's reading of the same names
POSTGRES = _table(
    Option("sslmode", "prefer", "libpq's: `disable`, `allow`, `prefer` (TLS if the server has it), `require` "
                                "(TLS, no certificate check unless `sslrootcert` is given), `verify-ca`, "
                                "`verify-full` (and the host name)"),
    Option("ssl", "none", "`sslmode` under another name; `true` is `verify-full`, `false` `disable`"),
    Option("sslrootcert", "~/.postgresql/root.crt", "CA certificates the server's is checked against"),
    Option("sslcert", "~/.postgresql/postgresql.crt", "client certificate"),
    Option("sslkey", "~/.postgresql/postgresql.key", "the client certificate's key"),
    Option("sslcrl", "~/.postgresql/root.crl", "revoked certificates"),
    Option("application_name", "none", "the name `pg_stat_activity` shows for the connections"),
    Option("connect_timeout", "60", "seconds to make a connection"),
    Option("command_timeout", "none", "seconds the client waits for a statement, then cancels it"),
    Option("statement_cache_size", "100", "prepared statements kept per connection (0 for PgBouncer in "
                                          "transaction mode)"),
    Option("host", "none", "a socket directory, for a URL without a host: `postgresql:///db?host=/run/postgresql`"),
    Option("any server setting", "the server's", "`statement_timeout=5s`, `search_path=app`, `lock_timeout=1s`: "
                                                 "set on every connection; the server refuses an unknown name "
                                                 "when the pool opens"),
)

MYSQL_SSL_MODES = ("DISABLED", "REQUIRED", "VERIFY_CA", "VERIFY_IDENTITY")
MYSQL = _table(
    Option("charset", "utf8mb4", "the connection's character set: `utf8mb4` only, the one that holds every "
                                 "character sarnic's tables store"),
    Option("ssl_mode", "DISABLED", "the mysql client's: `DISABLED`, `REQUIRED` (TLS, no certificate check "
                                   "unless `ssl_ca` is given), `VERIFY_CA`, `VERIFY_IDENTITY` (and the host "
                                   "name); never a silent fall back to plain text"),
    Option("ssl", "false", "`true` is `ssl_mode=VERIFY_IDENTITY`"),
    Option("ssl_ca", "the system's", "CA certificates the server's is checked against (alone: "
                                     "`VERIFY_IDENTITY`)"),
    Option("ssl_cert", "none", "client certificate (alone: `VERIFY_IDENTITY`)"),
    Option("ssl_key", "none", "the client certificate's key, when not in `ssl_cert`"),
    Option("connect_timeout", "10", "seconds to make a connection"),
    Option("unix_socket", "none", "the server's socket file, instead of host and port"),
)

#: the tables by backend, for the messages and the docs
BY_BACKEND: dict[str, dict[str, Option]] = {"sqlite": SQLITE, "postgres": POSTGRES, "mysql": MYSQL}

#: libpq connection keywords that sarnic does not take: refused by name, not sent as server settings
_LIBPQ_ONLY = frozenset((
    "hostaddr", "dbname", "user", "password", "passfile", "require_auth", "channel_binding", "client_encoding",
    "options", "fallback_application_name", "keepalives", "keepalives_idle", "keepalives_interval",
    "keepalives_count", "tcp_user_timeout", "replication", "gssencmode", "requiressl", "sslnegotiation",
    "sslcompression", "sslpassword", "sslcertmode", "sslcrldir", "sslsni", "requirepeer",
    "ssl_min_protocol_version", "ssl_max_protocol_version", "krbsrvname", "gsslib", "gssdelegation", "service",
    "target_session_attrs", "load_balance_hosts",
))
#: what a server setting's name looks like (a custom one has a dot)
_SETTING = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*(\.[A-Za-z_][A-Za-z0-9_$]*)?")


#: how each pool option's text is read; the rest of the query string is the
#: scheme's own, refused by name where the scheme does not take it
_POOL_READERS: dict[str, Callable[[str], Any]] = {"min_size": int, "max_size": int, "timeout": float}


@dataclass(frozen=True)
class PoolOptions:
    min_size: int
    max_size: int
    timeout: float | None


def pool_options(url: str, *, min_size: int | None, max_size: int | None,
                 timeout: float | None) -> tuple[str, PoolOptions]:
    """The URL without its pool options, and those options checked: each
    given in the URL or as a keyword (both only where they agree), else its
    default."""
    url, given = url_options(url)
    low = _option("min_size", min_size, given, 1)
    high = _option("max_size", max_size, given, 10)
    wait = _option("timeout", timeout, given, None)
    if isinstance(low, bool) or not isinstance(low, int) or low < 0:
        raise ValueError("min_size is an int >= 0")
    if isinstance(high, bool) or not isinstance(high, int) or high < max(low, 1):
        raise ValueError("max_size is an int >= 1 and >= min_size")
    if wait is not None and (isinstance(wait, bool) or not isinstance(wait, (int, float))
                             or not 0 < wait < math.inf):
        raise ValueError("timeout is a number of seconds > 0")
    return url, PoolOptions(low, high, None if wait is None else float(wait))


def url_options(url: str) -> tuple[str, dict[str, Any]]:
    """The URL without the pool options of its query string, and those
    options read."""
    if not isinstance(url, str) or "?" not in url:
        return url, {}
    head, _, query = url.partition("?")
    given: dict[str, Any] = {}
    rest: list[str] = []
    for part in query.split("&"):
        if not part:
            continue
        raw_key, _, raw_value = part.partition("=")
        key = unquote(raw_key)
        read = _POOL_READERS.get(key)
        if read is None:
            rest.append(part)
            continue
        if key in given:
            raise ValueError(f"the URL gives {key} twice")
        try:
            given[key] = read(unquote(raw_value))
        except ValueError:
            what = "an int" if read is int else "a number"
            raise ValueError(f"the URL's {key} is {what}, not {unquote(raw_value)!r}") from None
    return (f"{head}?{'&'.join(rest)}" if rest else head), given


def _option(name: str, keyword: Any, given: dict[str, Any], default: Any) -> Any:
    if name not in given:
        return default if keyword is None else keyword
    if keyword is not None and keyword != given[name]:
        raise ValueError(f"{name} is given twice, as {keyword!r} and as {given[name]!r} in the URL")
    return given[name]


def unknown(scheme: str, names: list[str], takes: Mapping[str, Option]) -> ValueError:
    """The error for options a scheme does not take, naming them and what it takes."""
    known = ", ".join([*POOL, *(n for n in takes if " " not in n)])
    settings = " and server settings" if takes is POSTGRES else ""
    return ValueError(f"unknown URL option {', '.join(map(repr, names))}: {scheme} URLs take {known}{settings}")


def _refuse_unknown(url: Url, takes: Mapping[str, Option]) -> None:
    names = [name for name in url.query if name not in takes]
    if names:
        raise unknown(url.scheme, names, takes)


def _seconds(name: str, text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise ValueError(f"the URL's {name} is a number of seconds > 0, not {text!r}")
    return value


def _count(name: str, text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        value = least - 1
    if value < least:
        raise ValueError(f"the URL's {name} is an int >= {least}, not {text!r}")
    return value


def _choice(name: str, text: str, choices: tuple[str, ...]) -> str:
    if text not in choices:
        raise ValueError(f"the URL's {name} is one of {', '.join(choices)}, not {text!r}")
    return text


def _path(name: str, text: str) -> str:
    if not text:
        raise ValueError(f"the URL's {name} is a file name, not empty")
    return text


def _flag(name: str, text: str) -> bool:
    folded = text.lower()
    if folded in ("true", "1", "yes", "on"):
        return True
    if folded in ("false", "0", "no", "off"):
        return False
    raise ValueError(f"the URL's {name} is true or false, not {text!r}")


# -- SQLite --------------------------------------------------------------------


@dataclass(frozen=True)
class SqliteTarget:
    """What a SQLite URL opens."""

    #: what sqlite3.connect opens, with uri=True
    target: str
    memory: bool
    read_only: bool
    #: milliseconds
    busy_timeout: int


def sqlite_target(url: Url) -> SqliteTarget:
    _refuse_unknown(url, SQLITE)
    query = url.query
    mode = _choice("mode", query["mode"], SQLITE_MODES) if "mode" in query else "rwc"
    busy = _count("busy_timeout", query["busy_timeout"], 0) if "busy_timeout" in query else 5000
    path = url.database
    if path in ("", ":memory:") or mode == "memory":
        if path in ("", ":memory:") and mode not in ("rwc", "memory"):
            raise ValueError(f"the URL's mode={mode} does not fit an in-memory database, which is always made anew")
        # One connection, which statements and transactions take in turns: each would be a database of its own.
        return SqliteTarget(":memory:", True, False, busy)
    # Opened as a URI, so that mode=ro holds for every statement; the path is
    # quoted, since SQLite reads ?, # and % in it as a URI's.
    quoted = quote(path, safe="/")
    target = f"file://{quoted}?mode={mode}" if path.startswith("/") else f"file:{quoted}?mode={mode}"
    return SqliteTarget(target, False, mode == "ro", busy)


# -- PostgreSQL ----------------------------------------------------------------


def postgres_arguments(url: Url) -> dict[str, Any]:
    """asyncpg.connect's keyword arguments; libpq's TLS options go in a DSN
    of their own, so that asyncpg reads them as libpq does (`prefer` falls
    back to plain text, `require` checks a certificate only against a given
    root certificate)."""
    args: dict[str, Any] = {"host": url.host, "port": url.port, "user": url.user, "password": url.password,
                            "database": url.database or None}
    settings: dict[str, str] = {}
    tls: dict[str, str] = {}
    for key, value in url.query.items():
        if key == "connect_timeout":
            args["timeout"] = _seconds(key, value)
        elif key == "command_timeout":
            args["command_timeout"] = _seconds(key, value)
        elif key == "statement_cache_size":
            args["statement_cache_size"] = _count(key, value, 0)
        elif key == "sslmode":
            tls["sslmode"] = _choice(key, value, PG_SSLMODES)
        elif key == "ssl":
            if "sslmode" in url.query:
                raise ValueError("the URL gives both ssl and sslmode: keep sslmode")
            if value.lower() in ("true", "false"):
                tls["sslmode"] = "verify-full" if _flag(key, value) else "disable"
            else:
                tls["sslmode"] = _choice(key, value, PG_SSLMODES)
        elif key in ("sslrootcert", "sslcert", "sslkey", "sslcrl"):
            tls[key] = _path(key, value)
        elif key == "host":
            args["host"] = value
        elif key.lower() == "timezone":
            raise ValueError("sarnic keeps PostgreSQL sessions in UTC: drop the timezone setting from the URL")
        elif key.lower() == "default_text_search_config":
            raise ValueError(f"sarnic's text-search documents without a config use {PG_TEXT_SEARCH_CONFIG!r}, "
                             "and so do its sessions: drop default_text_search_config from the URL and give "
                             "fts_config to the fields that need another")
        elif key in _LIBPQ_ONLY or not _SETTING.fullmatch(key):
            raise unknown(url.scheme, [key], POSTGRES)
        else:
            settings[key] = value
    settings["timezone"] = "UTC"
    # A query the core writes without a config takes the session's: the
    # one derived documents without a config are stored in.
    settings["default_text_search_config"] = PG_TEXT_SEARCH_CONFIG
    args["server_settings"] = settings
    if tls:
        args["dsn"] = "postgresql://?" + urlencode(tls)
    return {k: v for k, v in args.items() if v is not None}


# -- MySQL and MariaDB ---------------------------------------------------------


def mysql_arguments(url: Url) -> dict[str, Any]:
    """asyncmy.connect's keyword arguments for the URL (the session's own
    settings are the backend's)."""
    _refuse_unknown(url, MYSQL)
    query = url.query
    args: dict[str, Any] = {"host": url.host or "localhost", "port": url.port or 3306, "user": url.user,
                            "password": url.password or "", "database": url.database or None,
                            "charset": "utf8mb4"}
    if "charset" in query:
        charset = query["charset"]
        if charset.lower() != "utf8mb4":
            raise ValueError(f"the URL's charset is utf8mb4, not {charset!r}: sarnic's tables are utf8mb4 and "
                             "a connection in another character set loses what it cannot hold"
                             + (" (utf8 is utf8mb3, without emoji and other characters beyond U+FFFF)"
                                if charset.lower() in ("utf8", "utf8mb3") else ""))
    if "connect_timeout" in query:
        seconds = _seconds("connect_timeout", query["connect_timeout"])
        if seconds > 31536000:
            raise ValueError("the URL's connect_timeout is at most a year (31536000 seconds)")
        args["connect_timeout"] = seconds
    if "unix_socket" in query:
        args["unix_socket"] = _path("unix_socket", query["unix_socket"])
    context = mysql_tls(query)
    if context is not None:
        args["ssl"] = context
    return args


def mysql_tls(query: Mapping[str, str]) -> ssl.SSLContext | None:
    """The TLS context the ssl options ask for, None for none. With one the
    driver refuses a server without TLS: no option falls back to plain text."""
    files = {k: _path(k, query[k]) for k in ("ssl_ca", "ssl_cert", "ssl_key") if k in query}
    if "ssl_mode" in query:
        if "ssl" in query:
            raise ValueError("the URL gives both ssl and ssl_mode: keep ssl_mode")
        text = query["ssl_mode"].upper()
        if text == "PREFERRED":
            raise ValueError("the URL's ssl_mode=PREFERRED would fall back to plain text unseen: use REQUIRED "
                             "(or DISABLED)")
        mode = _choice("ssl_mode", text, MYSQL_SSL_MODES)
    elif "ssl" in query:
        mode = "VERIFY_IDENTITY" if _flag("ssl", query["ssl"]) else "DISABLED"
    else:
        mode = "VERIFY_IDENTITY" if files else "DISABLED"
    if mode == "DISABLED":
        if files:
            raise ValueError(f"the URL gives {', '.join(files)} with TLS disabled")
        return None
    if "ssl_key" in files and "ssl_cert" not in files:
        raise ValueError("the URL gives ssl_key without ssl_cert")
    try:
        what = "ssl_ca"
        context = ssl.create_default_context(cafile=files.get("ssl_ca"))
        if "ssl_cert" in files:
            what = "ssl_cert"
            context.load_cert_chain(files["ssl_cert"], keyfile=files.get("ssl_key"))
    except (OSError, ssl.SSLError) as exc:
        raise ValueError(f"the URL's {what} cannot be loaded: {exc}") from None
    # As the mysql client: REQUIRED checks the certificate only against a CA it is given.
    verify = mode != "REQUIRED" or "ssl_ca" in files
    context.check_hostname = mode == "VERIFY_IDENTITY"
    context.verify_mode = ssl.CERT_REQUIRED if verify else ssl.CERT_NONE
    return context
