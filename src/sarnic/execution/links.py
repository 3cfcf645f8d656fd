"""Writes to a many-to-many relation: `add`, `remove` and `clear`, as
queries that `Database.execute` runs (the number of pairs written).

`add` inserts every pair and lets the through key skip those already there
(ON CONFLICT DO NOTHING, MySQL's no-op ON DUPLICATE KEY UPDATE), so adds of
the same pair at once never meet the constraint; it counts what was written
(on MySQL, where a skipped duplicate counts as found, what was not there
when it looked: adds at once may each count the pair).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from sarnic.model.fields.base import Field
from sarnic.query.bulk import BulkInsert
from sarnic.query.select import Select
from sarnic.query.writes import Delete
from sarnic.execution.keys import ONE_VALUE, chunk_size, chunks, keys_condition

if TYPE_CHECKING:
    from sarnic.execution.database import Database
    from sarnic.model.base import Table
    from sarnic.model.relations.many import ManyToMany


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

    def __init__(self, relation: ManyToMany[Any], owner: Any, items: Sequence[Any], adding: bool) -> None:
        what = f"{relation.label}.{'add' if adding else 'remove'}()"
        relation.resolve()
        self.relation = relation
        self.owner = _key(relation.owner, relation.source.key, owner, what)
        self.keys = tuple(dict.fromkeys(_key(relation.target, relation.destination.key, t, what) for t in items))
        self.adding = adding

    @property
    def model(self) -> type[Table]:
        return self.relation.through

    def __repr__(self) -> str:
        return f"<LinkChange {self.relation.label}.{'add' if self.adding else 'remove'} of {len(self.keys)}>"

    async def run(self, db: Database) -> int:
        if not self.keys:
            return 0
        rel = self.relation
        through, source, destination = rel.through, rel.source.key, rel.destination.key
        if not self.adding:
            mine, size = source == self.owner, chunk_size(db._backend)
            async with db.transaction():
                removed = 0
                for chunk in chunks(self.keys, size):
                    removed += await db.execute(Delete.of(through, False).where(mine, keys_condition(destination, chunk)))
                return removed
        if db._backend.dialect in ONE_VALUE:
            pairs = BulkInsert.of(through, [{source.name: self.owner, destination.name: k} for k in self.keys], False)
            return await db.execute(pairs.on_conflict(*through.__pk__))
        # MySQL counts a duplicate its no-op update found as a row written:
        # the pairs already there are read first for the count.
        async with db.transaction():
            there: set[Any] = set()
            linked: Select[Any] = Select.of(through, (destination,))
            for chunk in chunks(self.keys, chunk_size(db._backend)):
                rows = await db.fetch(linked.where(source == self.owner, keys_condition(destination, chunk)))
                there.update(r.__dict__[destination.name] for r in rows)
            new = [k for k in self.keys if k not in there]
            if new:
                pairs = BulkInsert.of(through, [{source.name: self.owner, destination.name: k} for k in new], False)
                await db.execute(pairs.on_conflict(*through.__pk__))
            return len(new)


def add(relation: ManyToMany[Any], owner: Any, items: Sequence[Any]) -> LinkChange:
    return LinkChange(relation, owner, items, True)


def remove(relation: ManyToMany[Any], owner: Any, items: Sequence[Any]) -> LinkChange:
    return LinkChange(relation, owner, items, False)


def clear(relation: ManyToMany[Any], owner: Any) -> Delete[Any]:
    relation.resolve()
    key = _key(relation.owner, relation.source.key, owner, f"{relation.label}.clear()")
    return Delete.of(relation.through, False).where(relation.source.key == key)
