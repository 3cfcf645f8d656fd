"""Peak memory of one compile call, run in a fresh process:

    python peak_memory.py json|msgpack METADATA_FILE IR_FILE DIALECT

Prints one JSON object: the input and output sizes and the growth of the
resident set from just before the call to its peak during the call (Linux:
the peak is reset through /proc/self/clear_refs once the inputs are loaded).
"""

from __future__ import annotations

import gc
import json
import sys
from typing import Any

from sarnic import _native


def status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def deep_size(value: Any, seen: set[int]) -> int:
    """Bytes held by a result: containers and every distinct object in them."""
    if id(value) in seen:
        return 0
    seen.add(id(value))
    size = sys.getsizeof(value)
    if isinstance(value, dict):
        size += sum(deep_size(k, seen) + deep_size(v, seen) for k, v in value.items())
    elif isinstance(value, list):
        size += sum(deep_size(v, seen) for v in value)
    return size


def main() -> None:
    encoding, metadata_path, ir_path, dialect = sys.argv[1:5]
    mode = "r" if encoding == "json" else "rb"
    with open(metadata_path, mode) as f:
        metadata = f.read()
    with open(ir_path, mode) as f:
        ir = f.read()
    compile_query = _native.compile_query if encoding == "json" else _native.compile_query_msgpack
    gc.collect()
    gc.disable()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    result = compile_query(metadata, ir, dialect)
    peak = status_kib("VmHWM")
    print(json.dumps({
        "input_bytes": sys.getsizeof(metadata) + sys.getsizeof(ir),
        "output_bytes": deep_size(result, set()),
        "growth_bytes": (peak - before) * 1024,
        "parameters": len(result["param_type_summary"]),
    }))  # fmt: skip


if __name__ == "__main__":
    main()
