"""`Alias`: a second occurrence of a model's table in one query."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.query.select import Select
from sarnic.query.values import Values

if TYPE_CHECKING:
    from sarnic.model.base import Table

class Alias:
    """A second occurrence of a model's table in one statement: it has the
    model's fields and queries, and its selects yield the model's instances."""

    def __init__(self, model: type[Table]) -> None:
        if model.__abstract__:
            raise TypeError(f"{model.__name__} is abstract: it has no table to alias")
        self.model = model
        self.__name__ = model.__name__
        self.__fields__ = []
        for f in model.__fields__:
            twin = f.clone()
            twin.bind_to(model, f.name, f.position)
            twin._source = self
            self.__dict__[f.name] = twin
            self.__fields__.append(twin)

    def select(self, *fields: Field[Any]) -> Select[Any]:
        picked = [self._own(f).position for f in fields]
        query = Select.of(self.model, [self.model.__fields__[i] for i in picked])
        return query._derive_one("_alias", self)

    def values(self, *items: Any) -> Values[Any]:
        return Values.of(self.model, items, self)

    def _own(self, f: Any) -> Field[Any]:
        if isinstance(f, ForeignKey):
            f = getattr(self, f.key.name)
        if not isinstance(f, Field) or f.source is not self:
            raise TypeError(f"select() on an alias of {self.model.__name__} takes the alias's fields, not {f!r}")
        return f

    def __repr__(self) -> str:
        return f"<alias of {self.model.__name__}>"
