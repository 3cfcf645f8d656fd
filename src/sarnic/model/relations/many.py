"""`ManySide`: the many side of a relation as its model declares it, bound
to the model and the attribute name it is declared under.

What a program uses (`fields.Many[T]` and its kinds `Reverse` and
`ManyToMany`, with the link writes) is built on it in `sarnic.query.relations`:
the model side knows only what declaring the class needs.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, TypeVar

if TYPE_CHECKING:
    from sarnic.model.fields.base import Field


#: the model class (`type[Table]`): a parameter, so that this file needs no import of it
O = TypeVar("O", bound=type)


class ManySide(Generic[O]):
    """A relation to many instances of another model, declared on `owner` as `name`."""

    owner: O
    name: str

    def __set_name__(self, owner: O, name: str) -> None:
        self.owner = owner
        self.name = name

    @property
    def label(self) -> str:
        return f"{self.owner.__name__}.{self.name}" if hasattr(self, "owner") else f"{type(self).__name__}(unbound)"

    @property
    def target(self) -> O:
        """The model of the related instances."""
        raise NotImplementedError

    def resolve(self) -> None:
        """Look up the models named, once: errors name the missing model."""
        raise NotImplementedError

    def keys(self) -> tuple[Field[Any], Field[Any]]:
        """For a prefetch: the owner's field its related rows are found by,
        and the related model's field they are fetched by."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.label}>"
