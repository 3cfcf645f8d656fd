"""Prefetching: after a select, one select per relation level over the keys
just fetched (in chunks an engine takes), the related instances put on the
instances they belong to.

Children keep the prefetch query's order, or key order when it has none: a
parent's children all come from one statement, so the order each statement
gives is the order of every list. A parent without children gets `[]`.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from sarnic.model.fields.base import Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.execution.keys import chunk_size, chunks, keys_condition
from sarnic.query.relations import ManyToMany, Reverse
from sarnic.query.select import Select
from sarnic.execution.session import Session

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.query.select import Prefetch


async def run(db: Session, parents: Sequence[Table], steps: Sequence[Prefetch]) -> None:
    """Load each relation onto the parents, then the next levels onto what was loaded."""
    if not parents:
        return
    size = chunk_size(db._backend)
    for step in steps:
        if isinstance(step.relation, ManyToMany):
            children = await _pairs(db, parents, step, size)
        elif isinstance(step.relation, Reverse):
            children = await _reverse(db, parents, step, size)
        else:
            children = await _forward(db, parents, step, size)
        if step.query.prefetches and children:
            await run(db, children, step.query.prefetches)


def _keys(parents: Sequence[Table], field: Field[Any]) -> list[Any]:
    name = field.name
    return [k for k in dict.fromkeys(p.__dict__[name] for p in parents) if k is not None]


async def _fetch(db: Session, query: Select[Any], field: Field[Any], keys: Sequence[Any]) -> list[Any]:
    return await db.fetch(query.where(keys_condition(field, keys)))


async def _reverse(db: Session, parents: Sequence[Table], step: Prefetch, size: int) -> list[Table]:
    query, name, by = step.query._derive(prefetches=()), step.relation.name, step.child_key
    keys = _keys(parents, step.parent_key)
    children: list[Table] = []
    for chunk in chunks(keys, size):
        children += await _fetch(db, query, by, chunk)
    groups: dict[Any, list[Table]] = {}
    held = by.name
    for c in children:
        key = c.__dict__[held]
        found = groups.get(key)
        if found is None:
            groups[key] = [c]
        else:
            found.append(c)
    parent_key = step.parent_key.name
    for p in parents:
        got = groups.get(p.__dict__[parent_key])
        p.__dict__[name] = [] if got is None else list(got)
    return children


async def _forward(db: Session, parents: Sequence[Table], step: Prefetch, size: int) -> list[Table]:
    query, name, by = step.query._derive(prefetches=()), step.relation.name, step.child_key
    found: dict[Any, Table] = {}
    for chunk in chunks(_keys(parents, step.parent_key), size):
        for c in await _fetch(db, query, by, chunk):
            found[c.__dict__[by.name]] = c
    parent_key = step.parent_key.name
    for p in parents:
        p.__dict__[name] = found.get(p.__dict__[parent_key])
    return list(found.values())


async def _joined(db: Session, parents: Sequence[Table], step: Prefetch, size: int) -> list[Table]:
    """Pairs with their targets joined, in the targets' key order: one select per chunk of parents."""
    rel = step.relation
    assert isinstance(rel, ManyToMany)
    source, to = rel.source.key, rel.destination
    pairs = (Select.of(rel.through, (source, to.key)).join(to, *step.query.fields).order_by(source, to.key))
    seen: dict[Any, Table] = {}
    lists: dict[Any, list[Table]] = {}
    held, key_name = to.name, step.child_key.name
    for chunk in chunks(_keys(parents, step.parent_key), size):
        for row in await _fetch(db, pairs, source, chunk):
            d = row.__dict__
            target = d[held]
            if target is None:  # a pair whose target is gone (foreign keys off where it was written)
                continue
            target = seen.setdefault(target.__dict__[key_name], target)
            owner = lists.get(d[source.name])
            if owner is None:
                lists[d[source.name]] = [target]
            else:
                owner.append(target)
    name, parent_key = rel.name, step.parent_key.name
    for p in parents:
        got = lists.get(p.__dict__[parent_key])
        p.__dict__[name] = [] if got is None else list(got)
    return list(seen.values())


async def _pairs(db: Session, parents: Sequence[Table], step: Prefetch, size: int) -> list[Table]:
    """Pairs from the through model, then the targets. Parents go in groups
    whose targets fit one statement, so each list keeps the query's order
    (a parent with more targets than a statement takes has them in chunks)."""
    rel = step.relation
    assert isinstance(rel, ManyToMany)
    if step.plain:
        return await _joined(db, parents, step, size)
    source, destination = rel.source.key, rel.destination.key
    pairs = Select.of(rel.through, (source, destination))
    linked: dict[Any, list[Any]] = {}
    for chunk in chunks(_keys(parents, step.parent_key), size):
        for row in await _fetch(db, pairs, source, chunk):
            d = row.__dict__
            linked.setdefault(d[source.name], []).append(d[destination.name])

    # Each group: its parents, and their targets in one dict (kept in order).
    groups: list[tuple[list[Any], dict[Any, None]]] = []
    owners: list[Any] = []
    wanted: dict[Any, None] = {}
    for owner, targets in linked.items():
        if wanted and len(wanted) + sum(1 for t in targets if t not in wanted) > size:
            groups.append((owners, wanted))
            owners, wanted = [], {}
        owners.append(owner)
        wanted.update(dict.fromkeys(targets))
    if owners:
        groups.append((owners, wanted))

    query, by = step.query._derive(prefetches=()), step.child_key.name
    seen: dict[Any, Table] = {}
    lists: dict[Any, list[Table]] = {}
    for owners, wanted in groups:
        position: dict[Any, int] = {}
        for chunk in chunks(list(wanted), size):
            for c in await _fetch(db, query, step.child_key, chunk):
                key = c.__dict__[by]
                seen.setdefault(key, c)
                position[key] = len(position)
        for owner in owners:
            present = [t for t in linked[owner] if t in position]
            present.sort(key=position.__getitem__)
            lists[owner] = [seen[t] for t in present]
    name, parent_key = rel.name, step.parent_key.name
    for p in parents:
        got = lists.get(p.__dict__[parent_key])
        p.__dict__[name] = [] if got is None else list(got)
    return list(seen.values())
