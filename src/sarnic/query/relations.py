"""The many sides of relations as programs use them: `Many[T]`, what
`author.posts` is typed by, and its two kinds, `Reverse` (the other side of a
foreign key) and `ManyToMany` (pairs kept in a through model), whose link
writes are queries.

On the class each is what `Select.prefetch` takes; on an instance it is the
list of related instances, there only when the query prefetched it. Both
name their models as texts or classes and look them up on first use, when
every model is defined.
"""

from __future__ import annotations

from typing import Any, Generic, Self, TypeVar, overload

from sarnic.model.base import MODELS, DeclarationError, Table
from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.model.relations import through as made
from sarnic.model.relations.many import ManySide
from sarnic.query.links import LinkChange, clear
from sarnic.query.writes import Delete

T = TypeVar("T")


def _model(given: Any, who: str) -> type[Table]:
    """The model a relation names: a class, or a text looked up now."""
    if isinstance(given, str):
        model = MODELS.find(given, who)
    elif not (isinstance(given, type) and issubclass(given, Table)) or given.__abstract__:
        raise DeclarationError(f"{who} takes a model class or a model's name, not {given!r}")
    else:
        model = given
    model._check_declared()
    return model


class Many(ManySide[type[Table]], Generic[T]):
    """A relation to many instances of `T`: `author.posts` is a `list[T]`."""

    @overload
    def __get__(self, obj: None, owner: Any) -> Self: ...
    @overload
    def __get__(self, obj: object, owner: Any) -> list[T]: ...
    def __get__(self, obj: object | None, owner: Any) -> Self | list[T]:
        if obj is None:
            return self
        # Only reached when the instance holds no list: prefetch fills the instance dict.
        raise AttributeError(f"{self.label} was not prefetched: fetch with .prefetch({self.label}) to load it "
                             f"(sarnic never runs a query on attribute access)")

    @property
    def through(self) -> type[Any]:
        """The model whose rows are the pairs of a many-to-many relation."""
        raise TypeError(f"{self.label} is the other side of a foreign key: it has no through model")

    def add(self, owner: Table, *items: T) -> LinkChange:
        """Link these instances to the owner; pairs already there are kept."""
        raise TypeError(f"{self.label} is the other side of a foreign key: set the key on the related rows")

    def remove(self, owner: Table, *items: T) -> LinkChange:
        """Unlink these instances from the owner."""
        raise TypeError(f"{self.label} is the other side of a foreign key: set the key on the related rows")

    def clear(self, owner: Table) -> Delete[Any]:
        """Unlink every instance from the owner."""
        raise TypeError(f"{self.label} is the other side of a foreign key: set the key on the related rows")


class Reverse(Many[T]):
    """The other side of a foreign key, named `"Model.field"` (or given as
    the ForeignKey): the instances whose key points at this one."""

    relation: ForeignKey[Any]

    def __init__(self, relation: str | ForeignKey[Any]) -> None:
        if isinstance(relation, str):
            model, dot, field = relation.partition(".")
            if not (model and dot and field) or "." in field:
                raise ValueError(f"Reverse takes the foreign key as 'Model.field', not {relation!r}")
            self.named: tuple[str, str] | None = (model, field)
        elif isinstance(relation, ForeignKey):
            self.named = None
            self.relation = relation
        else:
            raise TypeError(f"Reverse takes a foreign key ('Model.field' or the field), not {relation!r}")

    def resolve(self) -> None:
        if self.named is None:
            return
        model_name, field = self.named
        model = _model(model_name, f"relation {self.label}")
        relation = model.__relations__.get(field)
        if relation is None:
            known = ", ".join(model.__relations__) or "none"
            raise DeclarationError(f"relation {self.label} names {model_name}.{field}, which is not a foreign key "
                                   f"of {model_name} (its foreign keys: {known})")
        self.relation = relation
        self.named = None

    @property
    def target(self) -> type[Table]:
        self.resolve()
        self._check_points_here()
        child: type[Table] = self.relation.model
        return child

    def keys(self) -> tuple[Field[Any], Field[Any]]:
        self.resolve()
        return self.relation.target.__pk__[0], self.relation.key

    def _check_points_here(self) -> None:
        if not issubclass(self.owner, self.relation.target):
            raise DeclarationError(f"relation {self.label} is the other side of {self.relation.label}, "
                                   f"which points at {self.relation.target.__name__}, not {self.owner.__name__}")


class ManyToMany(Many[T]):
    """Instances of another model linked in pairs by a through model with a
    foreign key to each side. Without `through`, one is made: two foreign
    keys that cascade deletes, the pair as its key, an index on the second."""

    source: ForeignKey[Any]
    destination: ForeignKey[Any]

    def __init__(self, model: str | type[Table], *, through: str | type[Table] | None = None) -> None:
        self.model_option = model
        self.through_option = through
        self._through: type[Table] | None = None
        self._target: type[Table] | None = None

    def resolve(self) -> None:
        if self._through is not None:
            return
        target = _model(self.model_option, f"relation {self.label}")
        if self.through_option is None:
            model, source, destination = made.automatic(self, target)
        else:
            model = _model(self.through_option, f"relation {self.label} (through)")
            source, destination = made.sides(self, model, target)
        self.source, self.destination = source, destination
        self._target, self._through = target, model

    @property
    def target(self) -> type[Table]:
        self.resolve()
        assert self._target is not None
        return self._target

    @property
    def through(self) -> type[Any]:
        """The model whose rows are the pairs."""
        self.resolve()
        assert self._through is not None
        return self._through

    @property
    def automatic(self) -> bool:
        return self.through_option is None

    def keys(self) -> tuple[Field[Any], Field[Any]]:
        return self.owner.__pk__[0], self.target.__pk__[0]

    def add(self, owner: Table, *items: T) -> LinkChange:
        return LinkChange(self, owner, items, True)

    def remove(self, owner: Table, *items: T) -> LinkChange:
        return LinkChange(self, owner, items, False)

    def clear(self, owner: Table) -> Delete[Any]:
        return clear(self, owner)
