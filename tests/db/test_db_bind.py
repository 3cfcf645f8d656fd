"""The bound_params converter: each tag to the value each driver takes."""

from __future__ import annotations

import datetime as dt
import json
import math
from typing import Any

import msgpack
import pytest

from .bind import decode_params, driver_values, to_driver

UTC = dt.timezone.utc
NOON = dt.datetime(2024, 5, 6, 12, 0, tzinfo=UTC)

CASES: list[tuple[dict[str, Any], dict[str, Any]]] = [
    ({"type": "null"}, {"postgres": None, "mariadb": None, "sqlite": None}),
    ({"type": "bool", "value": True}, {"postgres": True, "mariadb": True, "sqlite": True}),
    ({"type": "int", "value": -(2**63)}, {"postgres": -(2**63), "mariadb": -(2**63), "sqlite": -(2**63)}),
    ({"type": "float", "value": 2}, {"postgres": 2.0, "mariadb": 2.0, "sqlite": 2.0}),
    ({"type": "text", "value": "é\x00"}, {"postgres": "é\x00", "mariadb": "é\x00", "sqlite": "é\x00"}),
    ({"type": "bytes", "value": [0, 255]}, {"postgres": b"\x00\xff", "mariadb": b"\x00\xff", "sqlite": b"\x00\xff"}),
    ({"type": "datetime", "value": "2024-05-06T14:00:00+02:00"},
     {"postgres": NOON.astimezone(dt.timezone(dt.timedelta(hours=2))), "mariadb": dt.datetime(2024, 5, 6, 12),
      "sqlite": "2024-05-06 12:00:00"}),
    ({"type": "datetime", "value": "2024-05-06T12:00:00"},
     {"postgres": NOON, "mariadb": dt.datetime(2024, 5, 6, 12), "sqlite": "2024-05-06 12:00:00"}),
    ({"type": "float_array", "value": [1, 0.5]}, {"postgres": [1.0, 0.5], "mariadb": "[1.0, 0.5]",
                                                  "sqlite": "[1.0, 0.5]"}),
    ({"type": "int_array", "value": [1, -2]}, {"postgres": [1, -2], "mariadb": "[1, -2]", "sqlite": "[1, -2]"}),
    ({"type": "text_array", "value": ["a", ""]}, {"postgres": ["a", ""], "mariadb": '["a", ""]',
                                                  "sqlite": '["a", ""]'}),
]


@pytest.mark.parametrize("engine", ["postgres", "mariadb", "sqlite"])
@pytest.mark.parametrize(("param", "expected"), CASES, ids=[c[0]["type"] for c in CASES])
def test_each_tag_becomes_the_drivers_value(param: dict[str, Any], expected: dict[str, Any], engine: str) -> None:
    got = to_driver(param, engine)
    assert got == expected[engine] and type(got) is type(expected[engine])


def test_both_encodings_decode_alike() -> None:
    params = [c[0] for c in CASES]
    assert decode_params([json.dumps(p) for p in params]) == decode_params(msgpack.packb(params)) == params


def test_json_null_float_is_nan() -> None:
    (value,) = driver_values(['{"type":"float","value":null}'], "postgres")
    assert math.isnan(value)


def test_unknown_tag_is_refused() -> None:
    with pytest.raises(ValueError, match="decimal"):
        to_driver({"type": "decimal", "value": "1.5"}, "sqlite")
