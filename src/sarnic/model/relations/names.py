"""Model classes by name, for relations that name their model as a text.

A name is looked up among the models defined so far. A model whose foreign
key names a model not defined yet waits: its fields are bound once every
model it names exists, and using it before then raises an error naming the
missing model.
"""

from __future__ import annotations

import weakref
from collections.abc import Callable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from sarnic.model.base import Table

_by_name: dict[str, list[weakref.ref[type[Table]]]] = {}
#: models waiting for a name to be defined
_waiting: dict[weakref.ref[type[Table]], str] = {}


def register(model: type[Table]) -> None:
    _by_name.setdefault(model.__name__, []).append(weakref.ref(model))


def defined(name: str) -> list[type[Table]]:
    """The live models of this name, in the order they were defined."""
    refs = _by_name.get(name, [])
    alive = [m for m in (r() for r in refs) if m is not None]
    if len(alive) != len(refs):
        _by_name[name] = [weakref.ref(m) for m in alive]
    return alive


def shared(name: str, models: list[type[Table]]) -> str:
    return (f"{len(models)} models are named {name!r} ("
            + ", ".join(f"{m.__module__}.{m.__qualname__}" for m in models) + "): pass the class instead")


def find(name: str, who: str) -> type[Table]:
    """The one model of this name, for a relation used now."""
    from sarnic.model.base import DeclarationError

    found = defined(name)
    if not found:
        raise DeclarationError(f"{who} names the model {name!r}, which is not defined")
    if len(found) > 1:
        raise DeclarationError(f"{who} names the model {name!r}, but {shared(name, found)}")
    model = found[0]
    model._check_declared()
    return model


def wait(model: type[Table]) -> None:
    _waiting[weakref.ref(model)] = model.__name__


def retry(declare: Callable[[type[Table]], bool]) -> None:
    """Declare the waiting models that can be now: a model just defined may
    be the one they name, and each one declared may free others. `declare`
    says whether the model is done waiting (declared, or refused for good)."""
    progress = True
    while progress and _waiting:
        progress = False
        for ref in list(_waiting):
            model = ref()
            if model is None:
                del _waiting[ref]
            elif declare(model):
                _waiting.pop(ref, None)
                progress = True
