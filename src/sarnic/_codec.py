"""MessagePack for the documents sent to the core and the values it sends back."""

from __future__ import annotations

import msgspec

pack = msgspec.msgpack.Encoder().encode
unpack = msgspec.msgpack.Decoder().decode
