"""MessagePack for the documents sent to the core and the values it sends back."""

from __future__ import annotations

from typing import Any

import msgspec

pack = msgspec.msgpack.Encoder().encode
unpack = msgspec.msgpack.Decoder().decode


class BoundValue(msgspec.Struct, gc=False):
    """One of the core's bound values: its type tag and its payload (absent for
    NULL). Freshly decoded values hold no cycles: the collector need not track them."""

    type: str
    value: Any = None


#: The core's bound values, read into structs: quicker to make and to read than dicts.
unpack_binds = msgspec.msgpack.Decoder(list[BoundValue]).decode
