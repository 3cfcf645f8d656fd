"""Turns compiled bound_params into the values each driver takes, by type tag,
as the Python layer does before it hands a statement to its driver."""

from __future__ import annotations

import datetime as dt
import json
from typing import Any

import msgpack

ENGINES = ("postgres", "mariadb", "sqlite")


def decode_params(bound_params: list[str] | bytes) -> list[dict[str, Any]]:
    """The tagged values of either encoding: JSON texts or one MessagePack blob."""
    if isinstance(bound_params, bytes):
        return msgpack.unpackb(bound_params, raw=False)
    return [json.loads(p) for p in bound_params]


def _datetime(text: str, engine: str) -> Any:
    value = dt.datetime.fromisoformat(text)
    if engine == "postgres":
        # timestamptz wants an aware value; a naive text is taken as UTC.
        return value if value.tzinfo else value.replace(tzinfo=dt.timezone.utc)
    if engine == "mariadb":
        # DATETIME has no zone: store UTC wall time.
        if value.tzinfo:
            value = value.astimezone(dt.timezone.utc).replace(tzinfo=None)
        return value
    # SQLite keeps the text; one format for every stored value keeps text order
    # equal to time order.
    if value.tzinfo:
        value = value.astimezone(dt.timezone.utc).replace(tzinfo=None)
    return value.isoformat(sep=" ")


def to_driver(param: dict[str, Any], engine: str) -> Any:
    tag = param["type"]
    value: Any = param.get("value")
    match tag:
        case "null":
            return None
        case "bool":
            return bool(value)
        case "int":
            return int(value)
        case "float":
            # JSON has no NaN or infinity: the compiler writes them as null.
            return float("nan") if value is None else float(value)
        case "text":
            return str(value)
        case "bytes":
            return bytes(value)
        case "datetime":
            return _datetime(value, engine)
        case "float_array" | "text_array" | "int_array":
            items = [float(v) for v in value] if tag == "float_array" else list(value)
            # Only PostgreSQL has array columns; elsewhere arrays are stored as JSON.
            return items if engine == "postgres" else json.dumps(items)
    raise ValueError(f"unknown bind type tag {tag!r}")


def driver_values(bound_params: list[str] | bytes, engine: str) -> list[Any]:
    return [to_driver(p, engine) for p in decode_params(bound_params)]
