"""Model classes by name, for relations that name their model as a text.

A name is looked up among the models defined so far. A model whose foreign
key names a model not defined yet waits: its fields are bound once every
model it names exists, and using it before then raises an error naming the
missing model.
"""

from __future__ import annotations

import weakref
from collections.abc import Callable, Sequence
from typing import Generic, TypeVar

from sarnic.model.errors import DeclarationError

#: a model class: the registry needs only its names
M = TypeVar("M", bound=type)


class ModelsByName(Generic[M]):
    """The model classes defined so far, by class name (held weakly)."""

    def __init__(self) -> None:
        self._by_name: dict[str, list[weakref.ref[M]]] = {}
        #: models waiting for a name to be defined
        self._waiting: dict[weakref.ref[M], str] = {}

    def register(self, model: M) -> None:
        self._by_name.setdefault(model.__name__, []).append(weakref.ref(model))

    def defined(self, name: str) -> list[M]:
        """The live models of this name, in the order they were defined."""
        refs = self._by_name.get(name, [])
        alive = [m for m in (r() for r in refs) if m is not None]
        if len(alive) != len(refs):
            self._by_name[name] = [weakref.ref(m) for m in alive]
        return alive

    def find(self, name: str, who: str) -> M:
        """The one model of this name, for a relation used now (the caller
        checks that it is declared)."""
        found = self.defined(name)
        if not found:
            raise DeclarationError(f"{who} names the model {name!r}, which is not defined")
        if len(found) > 1:
            raise DeclarationError(f"{who} names the model {name!r}, but {shared(name, found)}")
        return found[0]

    def wait(self, model: M) -> None:
        self._waiting[weakref.ref(model)] = model.__name__

    def retry(self, declare: Callable[[M], bool]) -> None:
        """Declare the waiting models that can be now: a model just defined may
        be the one they name, and each one declared may free others. `declare`
        says whether the model is done waiting (declared, or refused for good)."""
        progress = True
        while progress and self._waiting:
            progress = False
            for ref in list(self._waiting):
                model = ref()
                if model is None:
                    del self._waiting[ref]
                elif declare(model):
                    self._waiting.pop(ref, None)
                    progress = True


def shared(name: str, models: Sequence[type]) -> str:
    return (f"{len(models)} models are named {name!r} ("
            + ", ".join(f"{m.__module__}.{m.__qualname__}" for m in models) + "): pass the class instead")
