"""Through models of many-to-many relations: the two foreign keys of a
given one, or a model made for the relation."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from sarnic.model.fields.foreign_key import ForeignKey

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.model.relations.many import ManySide


def sides(rel: ManySide[type[Table]], through: type[Table], target: type[Table]) -> tuple[ForeignKey[Any], ForeignKey[Any]]:
    """The through model's foreign key to the owner and the one to the
    target. Where both sides are one model, the first declared is the owner's."""
    from sarnic.model.base import DeclarationError

    owner = rel.owner
    to_owner = [r for r in through.__relations__.values() if r.target is owner]
    to_target = [r for r in through.__relations__.values() if r.target is target]
    if owner is target:
        if len(to_owner) == 2:
            return to_owner[0], to_owner[1]
    elif len(to_owner) == 1 and len(to_target) == 1:
        return to_owner[0], to_target[0]
    wanted = (f"two foreign keys to {owner.__name__}" if owner is target
              else f"one foreign key to {owner.__name__} and one to {target.__name__}")
    raise DeclarationError(f"relation {rel.label}: its through model {through.__name__} needs exactly {wanted}")


def automatic(rel: ManySide[type[Table]], target: type[Table]) -> tuple[type[Table], ForeignKey[Any], ForeignKey[Any]]:
    """A model for the pairs: `<Owner><Relation>` on table `<owner table>_<relation>`."""
    from sarnic.model.base import Table, snake_case

    owner = rel.owner
    first, second = snake_case(owner.__name__), snake_case(target.__name__)
    if first == second:
        first, second = f"from_{first}", f"to_{second}"
    meta = type("Meta", (), {"table": f"{owner.__table__}_{rel.name}",
                             "primary_key": (f"{first}_id", f"{second}_id")})
    # The key's leading column needs no index of its own; the second one does.
    body: dict[str, Any] = {
        "__module__": owner.__module__,
        "__qualname__": f"{owner.__qualname__}.{rel.name}.through",
        "__doc__": f"The pairs of {rel.label}.",
        first: ForeignKey(owner, on_delete="cascade", index=False),
        second: ForeignKey(target, on_delete="cascade"),
        "Meta": meta,
    }
    name = owner.__name__ + "".join(part.capitalize() for part in rel.name.split("_"))
    # Of the owner's own kind (Model, for the models a program declares): the
    # pairs take the same queries.
    kind = next(c for c in owner.__mro__ if Table in c.__bases__)
    model: type[Table] = type(name, (kind,), body)
    model.__through_of__ = rel  # type: ignore[attr-defined]
    return model, model.__relations__[first], model.__relations__[second]
