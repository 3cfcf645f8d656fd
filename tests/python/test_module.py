"""The module surface: functions, exception classes, __all__, signatures."""

from __future__ import annotations

import importlib
import importlib.util
import inspect
import sys

import pytest

from sarnic import _native

ALL = [
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
CLASSES = ["SarnicInternalError", "SarnicCompileError", "SarnicHydrationError"]
SIGNATURES = {
    "compile_query": ["metadata_json", "ir_json", "dialect"],
    "compile_query_msgpack": ["metadata_mp", "ir_mp", "dialect"],
    "compile_statement": ["models_json", "ir_json", "dialect"],
    "compile_statement_msgpack": ["models_mp", "ir_mp", "dialect"],
    "hydrate_rows": ["metadata_json", "rows_json"],
    "hydrate_rows_msgpack": ["metadata_mp", "rows_mp"],
    "build_instances": ["plan", "rows"],
    "plan_migration": [],
}


def test_all_lists_the_eight_names_in_order() -> None:
    assert _native.__all__ == ALL
    assert [n for n in vars(_native) if n in ALL] == ALL  # attributes added in the same order


def test_star_import_binds_exactly_all() -> None:
    namespace: dict[str, object] = {}
    exec("from sarnic._native import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(ALL)


def test_module_docstring() -> None:
    assert _native.__doc__ is not None
    assert _native.__doc__.splitlines()[0] == "The Python extension module `sarnic._native`."
    assert "_native" in _native.__doc__.split("\n\n", 1)[1]


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_signature_and_module(name: str) -> None:
    fn = getattr(_native, name)
    params = inspect.signature(fn).parameters.values()
    assert [p.name for p in params] == SIGNATURES[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is inspect.Parameter.empty for p in params)
    assert fn.__module__ == "sarnic._native"
    assert fn.__name__ == name
    assert fn.__text_signature__ == "(" + ", ".join(SIGNATURES[name]) + ")"
    assert fn.__doc__.strip()  # prose after the signature line


@pytest.mark.parametrize("name", CLASSES)
def test_exception_class(name: str) -> None:
    cls = getattr(_native, name)
    assert cls.__module__ == "sarnic_native"
    assert cls.__name__ == name
    assert cls.__bases__ == (RuntimeError,)
    assert cls.__doc__ is None
    err = cls("message")
    assert err.args == ("message",)
    assert str(err) == "message"


@pytest.mark.parametrize("a", CLASSES)
@pytest.mark.parametrize("b", CLASSES)
def test_exception_classes_are_unrelated(a: str, b: str) -> None:
    cls_a, cls_b = getattr(_native, a), getattr(_native, b)
    assert issubclass(cls_a, cls_b) == (a == b)
    with pytest.raises(RuntimeError):
        raise cls_a("x")


def test_plan_migration() -> None:
    with pytest.raises(NotImplementedError) as info:
        _native.plan_migration()
    assert info.value.args == ("Migration planning is not yet implemented",)
    with pytest.raises(TypeError, match=r"^plan_migration\(\) takes 0 positional arguments but 1 was given$"):
        _native.plan_migration(1)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="unexpected keyword argument 'force'"):
        _native.plan_migration(force=True)  # type: ignore[call-arg]


def test_reimport_reuses_the_classes() -> None:
    first = {name: getattr(_native, name) for name in CLASSES}
    saved = {k: sys.modules.pop(k) for k in ("sarnic", "sarnic._native")}
    try:
        fresh = importlib.import_module("sarnic._native")
        assert fresh is not saved["sarnic._native"]
        assert fresh.__all__ == ALL
        for name, cls in first.items():
            assert getattr(fresh, name) is cls
        # Raised by the new module's functions, caught by the old module's class.
        with pytest.raises(first["SarnicHydrationError"]):
            fresh.hydrate_rows("{", "[]")
    finally:
        sys.modules.update(saved)



def test_exec_step_fails_when_all_cannot_grow() -> None:
    found = importlib.util.find_spec("sarnic._native")
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    module.__all__ = ()  # type: ignore[attr-defined]
    with pytest.raises(SystemError, match=r"^could not append __name__ to __all__: TypeError: ") as info:
        found.loader.exec_module(module)
    assert isinstance(info.value.__cause__, TypeError)
    assert not hasattr(module, "compile_query")
