"""Writes to a many-to-many relation as values: `LinkChange`, the pairs that
`add` and `remove` write, and the delete that `clear` is. `Database.execute`
runs them (sarnic.execution.links)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Protocol

from sarnic.query.writes import Delete

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.model.fields.base import Field
    from sarnic.model.fields.foreign_key import ForeignKey


class Pairs(Protocol):
    """A relation whose links are the rows of a through model."""

    owner: type[Table]
    source: ForeignKey[Any]
    destination: ForeignKey[Any]

    @property
    def label(self) -> str: ...
    @property
    def target(self) -> type[Table]: ...
    @property
    def through(self) -> type[Any]: ...
    def resolve(self) -> None: ...


def _key(model: type[Table], field: Field[Any], given: Any, what: str) -> Any:
    """The key of an instance of `model` (or a key given as it is), checked by the field it goes to."""
    if isinstance(given, model):
        given = given._key_value()
    elif isinstance(given, (type(None),)) or hasattr(given, "_key_value"):
        raise TypeError(f"{what} takes {model.__name__} instances or their keys, not {given!r}")
    field.bind(given)
    return given


class LinkChange:
    """Pairs to add to or remove from a through model."""

    __slots__ = ("relation", "owner", "keys", "adding")

    def __init__(self, relation: Pairs, owner: Any, items: Sequence[Any], adding: bool) -> None:
        what = f"{relation.label}.{'add' if adding else 'remove'}()"
        relation.resolve()
        self.relation = relation
        self.owner = _key(relation.owner, relation.source.key, owner, what)
        self.keys = tuple(dict.fromkeys(_key(relation.target, relation.destination.key, t, what) for t in items))
        self.adding = adding

    @property
    def model(self) -> type[Table]:
        through: type[Table] = self.relation.through
        return through

    def __repr__(self) -> str:
        return f"<LinkChange {self.relation.label}.{'add' if self.adding else 'remove'} of {len(self.keys)}>"


def clear(relation: Pairs, owner: Any) -> Delete[Any]:
    """Every pair of the owner."""
    relation.resolve()
    key = _key(relation.owner, relation.source.key, owner, f"{relation.label}.clear()")
    return Delete.of(relation.through, False).where(relation.source.key == key)
