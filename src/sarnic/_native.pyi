"""Type stubs for the native module `sarnic._native`."""

from typing import Any, NoReturn, TypedDict

__all__ = [
    "compile_query",
    "compile_query_msgpack",
    "compile_statement",
    "compile_statement_msgpack",
    "hydrate_rows",
    "hydrate_rows_msgpack",
    "build_instances",
    "plan_migration",
    "SarnicInternalError",
    "SarnicCompileError",
    "SarnicHydrationError",
]

# Stub-only shapes of the result dicts (plain dicts at run time).
class _CompiledQuery(TypedDict):
    sql_text: str
    bound_params: list[str]  # one compact JSON text per bound value
    param_type_summary: list[str]
    fingerprint: str
    operation: str

class _CompiledQueryMsgpack(TypedDict):
    sql_text: str
    bound_params: bytes  # one MessagePack array of {"type", "value"} maps
    param_type_summary: list[str]
    fingerprint: str
    operation: str

def compile_query(metadata_json: str, ir_json: str, dialect: str) -> _CompiledQuery: ...
def compile_query_msgpack(metadata_mp: bytes, ir_mp: bytes, dialect: str) -> _CompiledQueryMsgpack: ...
def compile_statement(models_json: str, ir_json: str, dialect: str) -> _CompiledQuery: ...
def compile_statement_msgpack(models_mp: bytes, ir_mp: bytes, dialect: str) -> _CompiledQueryMsgpack: ...
def hydrate_rows(metadata_json: str, rows_json: str) -> list[dict[str, Any]]: ...
def hydrate_rows_msgpack(metadata_mp: bytes, rows_mp: bytes) -> list[dict[str, Any]]: ...
def build_instances(plan: tuple[Any, ...], rows: list[Any]) -> list[Any]: ...
def plan_migration() -> NoReturn: ...

class SarnicInternalError(RuntimeError): ...
class SarnicCompileError(RuntimeError): ...
class SarnicHydrationError(RuntimeError): ...
