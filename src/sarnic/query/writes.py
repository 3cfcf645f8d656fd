"""Writes of one row or of the rows a condition selects: `Insert`, `Upsert`,
`Update`, `Delete`, and the conflict clause of an upsert."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from sarnic.model.fields.base import NULL_BIND, Bind, Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.query.base import IR_VERSION, M, Query, _Filtered, _new, _own_field
from sarnic.model.columns import ColumnExpr, Value
from sarnic.query.expr import Excluded

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.query.statement_ir import Scope

def _assignments(model: type[Table], values: Mapping[str, Any], what: str) -> dict[str, Any]:
    """Field values by field name, with relations (author=ann) turned into their keys."""
    out: dict[str, Any] = {}
    for name, value in values.items():
        rel = model.__relations__.get(name)
        if rel is not None:
            if value is not None and not isinstance(value, rel.target):
                raise TypeError(f"{rel.label} takes a {rel.target.__name__}, not {type(value).__name__}")
            name, value = rel.key.name, None if value is None else value._key_value()
        f = model.__fields_by_name__.get(name)
        if f is None:
            raise TypeError(f"{what}: {model.__name__} has no field {name!r}")
        if f.generated:
            raise TypeError(f"{what}: {f.label} is derived by the database and cannot be written")
        if name in out:
            raise TypeError(f"{what}: {f.label} is given twice")
        out[name] = value
    return out


def _row(model: type[Table], obj: Any, values: Mapping[str, Any], what: str) -> list[tuple[Field[Any], Bind]]:
    """The (field, bind value) pairs an insert writes: the given values, then
    defaults; an absent generated key is left to the database."""
    if obj is not None:
        if values:
            raise TypeError(f"{what} takes an instance or field values, not both")
        if not isinstance(obj, model):
            raise TypeError(f"{what} takes a {model.__name__}, not {type(obj).__name__}")
        d = obj.__dict__
        return _not_empty(model, [(f, f.bind(d[f.name])) for f in model.__writable__ if f.name in d])
    given = _assignments(model, values, what)
    pairs = []
    for f in model.__writable__:
        name = f.name
        if name in given:
            pairs.append((f, f.bind(given[name])))
        elif f.has_default:
            pairs.append((f, f.bind(f.make_default())))
        elif not (f.null or f.auto_key):
            raise TypeError(f"{what}: {model.__name__} needs a value for {name!r}")
    return _not_empty(model, pairs)


def _not_empty(model: type[Table], pairs: list[tuple[Field[Any], Bind]]) -> list[tuple[Field[Any], Bind]]:
    """A row of defaults only names one nullable column as NULL, its default:
    an insert with an empty column list runs on MySQL alone."""
    if not pairs:
        nullable = next((f for f in model.__writable__ if f.null), None)
        if nullable is not None:
            pairs.append((nullable, NULL_BIND))
    return pairs


def _value_node(bind: Bind, label: str) -> dict[str, Any]:
    return {"kind": "value", "value": {"type": bind[0], "value": bind[1]}, "label": label}


def _write_expr(scope: Scope, field: Field[Any], value: Any, op: str) -> dict[str, Any]:
    if isinstance(value, (ColumnExpr, Value)):
        return value.render(scope)
    return _value_node(value, scope.label(field, op))


Conflict = tuple[tuple[Field[Any], ...], tuple[tuple[Field[Any], Any], ...] | None]


def _conflict(model: type[Table], target: Sequence[Any], update: Any, what: str) -> Conflict:
    """An upsert's target (the key or a unique field) and its update: None
    (do nothing), fields (take the proposed values) or values by field."""
    if not target:
        raise TypeError(f"{what} names the key or a unique field whose conflict it handles")
    fields = tuple(dict.fromkeys(_own_field(model, f, what) for f in target))
    pk = model.__pk__
    if set(fields) != set(pk) and not (len(fields) == 1 and fields[0].unique):
        names = ", ".join(f.label for f in fields)
        raise ValueError(f"{what}: {names} is neither the key of {model.__name__} nor a unique field: "
                         f"a conflict is only found on those")
    if update is None:
        return fields, None
    pairs: list[tuple[Field[Any], Any]] = []
    if isinstance(update, Mapping):
        for key, value in update.items():
            f = _own_field(model, key, what)
            if isinstance(value, ColumnExpr):
                pairs.append((f, value))
            else:
                pairs.append((f, f.bind(value)))
    else:
        if isinstance(update, (str, bytes, Field, ForeignKey)) or not isinstance(update, Iterable):
            raise TypeError(f"{what}: update takes a list of fields or a dict of field values")
        for key in update:
            f = _own_field(model, key, what)
            pairs.append((f, Excluded(f)))
    if not pairs:
        raise ValueError(f"{what}: update names no field (leave it out to do nothing on a conflict)")
    for f, _ in pairs:
        if f.generated:
            raise TypeError(f"{what}: {f.label} is derived by the database and cannot be written")
    return fields, tuple(pairs)


def _conflict_node(scope: Scope, conflict: Conflict | None) -> dict[str, Any] | None:
    if conflict is None:
        return None
    target, update = conflict
    if update is None:
        return {"target": [f.position for f in target], "update": None}
    scope.conflict = True
    try:
        return {"target": [f.position for f in target],
                "update": [[f.position, _write_expr(scope, f, v, "assign")] for f, v in update]}
    finally:
        scope.conflict = False


class Insert(Query[M]):
    operation = "insert"
    values: tuple[tuple[Field[Any], Bind], ...]
    conflict: Conflict | None

    @classmethod
    def of(cls, model: type[M], obj: Any, values: Mapping[str, Any]) -> Insert[M]:
        return cls._make({"model": model, "values": tuple(_row(model, obj, values, f"{model.__name__}.insert()")),
                          "conflict": None})

    def on_conflict(self, *target: Field[Any], update: Sequence[Field[Any]] | Mapping[Any, Any] | None = None
                    ) -> Upsert[M]:
        """An upsert: where a row with the same target (the key or a unique
        field) exists, do nothing, or update it: `update=[fields]` takes the
        new row's values, `update={field: value or expression}` sets these
        (`excluded(f)` is the new row's value). MySQL and MariaDB ignore the
        target: any unique key's conflict counts there."""
        conflict = _conflict(self.model, target, update, f"{self.model.__name__}.insert().on_conflict()")
        new = _new(Upsert)
        new.__dict__.update(self.__dict__, conflict=conflict)
        return new

    @property
    def uses_statement_ir(self) -> bool:
        return self.conflict is not None

    def ir(self) -> list[Any]:
        return [IR_VERSION, self.model.__name__, ["insert", [[f.ref, b] for f, b in self.values]], [], [],
                None, None]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            values = [[f.position, _value_node(b, scope.label(f, "insert"))] for f, b in self.values]
            return {"model": scope.model(self.model),
                    "operation": {"kind": "insert", "values": values,
                                  "on_conflict": _conflict_node(scope, self.conflict)}}
        finally:
            scope.stack.pop()


class Upsert(Insert[M]):
    """An insert with `on_conflict`: `fetch_one` hands back the stored row,
    or None where a conflict did nothing."""


class Update(_Filtered[M]):
    operation = "update"
    assignments: tuple[tuple[Field[Any], Any], ...]
    danger: bool

    @classmethod
    def of(cls, model: type[M], values: Mapping[str, Any], danger: bool) -> Update[M]:
        """Values are checked by their fields; an expression (`Post.views + 1`)
        sets the column from the row's own values."""
        what = f"{model.__name__}.update()"
        given = _assignments(model, values, what)
        if not given:
            raise TypeError(f"{what} needs at least one field to set")
        by_name = model.__fields_by_name__
        pairs: list[tuple[Field[Any], Any]] = []
        newer = False
        for n, v in given.items():
            if isinstance(v, ColumnExpr):
                newer = True
                pairs.append((by_name[n], v))
            else:
                pairs.append((by_name[n], by_name[n].bind(v)))
        return cls._make({"model": model, "filters": (), "predicates": (), "danger": bool(danger),
                          "assignments": tuple(pairs), "_newer": newer})

    @property
    def uses_statement_ir(self) -> bool:
        return bool(self.__dict__.get("_newer"))

    def ir(self) -> list[Any]:
        op = ["update", [[f.ref, b] for f, b in self.assignments], self.danger]
        return [IR_VERSION, self.model.__name__, op, self._filters_ir(), [], None, None, None, None,
                self._predicate_ir()]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            return {"model": scope.model(self.model),
                    "operation": {"kind": "update", "danger": self.danger,
                                  "assignments": [[f.position, _write_expr(scope, f, v, "assign")]
                                                  for f, v in self.assignments]},
                    "where": self._where_node(scope)}
        finally:
            scope.stack.pop()


class Delete(_Filtered[M]):
    operation = "delete"
    danger: bool

    @classmethod
    def of(cls, model: type[M], danger: bool) -> Delete[M]:
        return cls._make({"model": model, "filters": (), "predicates": (), "danger": bool(danger)})

    @property
    def uses_statement_ir(self) -> bool:
        return bool(self.__dict__.get("_newer"))

    def ir(self) -> list[Any]:
        return [IR_VERSION, self.model.__name__, ["delete", self.danger], self._filters_ir(), [], None, None,
                None, None, self._predicate_ir()]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            return {"model": scope.model(self.model), "operation": {"kind": "delete", "danger": self.danger},
                    "where": self._where_node(scope)}
        finally:
            scope.stack.pop()
