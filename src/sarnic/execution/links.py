"""Running a many-to-many relation's link writes (`LinkChange`): the number
of pairs written.

`add` inserts every pair and lets the through key skip those already there
(ON CONFLICT DO NOTHING, MySQL's no-op ON DUPLICATE KEY UPDATE), so adds of
the same pair at once never meet the constraint; it counts what was written
(on MySQL, where a skipped duplicate counts as found, what was not there
when it looked: adds at once may each count the pair).
"""

from __future__ import annotations

from typing import Any

from sarnic.query.bulk import BulkInsert
from sarnic.query.links import LinkChange
from sarnic.query.select import Select
from sarnic.query.writes import Delete
from sarnic.execution.keys import ONE_VALUE, chunk_size, chunks, keys_condition
from sarnic.execution.session import Session


async def run(db: Session, change: LinkChange) -> int:
    if not change.keys:
        return 0
    rel, owner = change.relation, change.owner
    through, source, destination = rel.through, rel.source.key, rel.destination.key
    backend = db._backend
    if not change.adding:
        mine, size = source == owner, chunk_size(backend)
        async with db.transaction():
            removed = 0
            for chunk in chunks(change.keys, size):
                removed += await db.execute(Delete.of(through, False).where(mine, keys_condition(destination, chunk)))
            return removed
    if backend.dialect in ONE_VALUE:
        pairs = BulkInsert.of(through, [{source.name: owner, destination.name: k} for k in change.keys], False)
        return await db.execute(pairs.on_conflict(*through.__pk__))
    # MySQL counts a duplicate its no-op update found as a row written:
    # the pairs already there are read first for the count.
    async with db.transaction():
        there: set[Any] = set()
        linked: Select[Any] = Select.of(through, (destination,))
        for chunk in chunks(change.keys, chunk_size(backend)):
            rows = await db.fetch(linked.where(source == owner, keys_condition(destination, chunk)))
            there.update(r.__dict__[destination.name] for r in rows)
        new = [k for k in change.keys if k not in there]
        if new:
            pairs = BulkInsert.of(through, [{source.name: owner, destination.name: k} for k in new], False)
            await db.execute(pairs.on_conflict(*through.__pk__))
        return len(new)
