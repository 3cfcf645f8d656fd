"""Bulk writes: `BulkInsert`, `BulkUpdate`, `BulkDelete`, one statement for
many rows."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Self

from sarnic.model.fields.base import Bind, Field
from sarnic.model.fields.foreign_key import ForeignKey
from sarnic.query import bulk_rows
from sarnic.query.base import IR_VERSION, M, Query, _own_field
from sarnic.query.writes import Conflict, _assignments, _conflict, _conflict_node

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.query.statement_ir import Scope

class BulkInsert(Query[M]):
    operation = "bulk_insert"
    columns: tuple[Field[Any], ...]
    rows: tuple[tuple[Bind, ...], ...]
    returning: bool
    conflict: Conflict | None

    @classmethod
    def of(cls, model: type[M], rows: Iterable[Any], returning: bool) -> BulkInsert[M]:
        what = f"{model.__name__}.bulk_insert()"
        if isinstance(rows, (Mapping, str, bytes)) or isinstance(rows, model):
            raise TypeError(f"{what} takes a list of rows (instances or dicts)")
        rows = rows if isinstance(rows, (list, tuple)) else list(rows)
        if not rows:
            return cls._make({"model": model, "columns": (), "rows": (), "returning": bool(returning),
                              "conflict": None})
        given = bulk_rows.given_names(model, rows)
        if given is None:
            # Rows that name relations (author=ann) or other fields: each
            # checked and made a dict of field values first.
            rows = [_plain_row(model, r, what) for r in rows]
            given = set().union(*rows)
        columns = bulk_rows.written_columns(model, given, what)
        binds = bulk_rows.binder(model, columns)(rows)
        return cls._make({"model": model, "columns": columns, "rows": tuple(binds), "returning": bool(returning),
                          "conflict": None})

    def on_conflict(self, *target: Field[Any], update: Sequence[Field[Any]] | Mapping[Any, Any] | None = None
                    ) -> Self:
        """As `Insert.on_conflict`, for every row."""
        return self._derive_one("conflict", _conflict(self.model, target, update,
                                                      f"{self.model.__name__}.bulk_insert().on_conflict()"))

    @property
    def uses_statement_ir(self) -> bool:
        return self.__dict__.get("conflict") is not None

    def ir(self) -> list[Any]:
        refs = [f.ref for f in self.columns]
        rows = [[[r, b] for r, b in zip(refs, row)] for row in self.rows]
        return [IR_VERSION, self.model.__name__, ["bulk_insert", rows, self.returning], [], [], None, None]

    def statement(self, scope: Scope) -> dict[str, Any]:
        scope.stack.append([self.source])
        try:
            positions = [f.position for f in self.columns]
            rows = [[[p, {"type": b[0], "value": b[1]}] for p, b in zip(positions, row)] for row in self.rows]
            return {"model": scope.model(self.model),
                    "operation": {"kind": "bulk_insert", "rows": rows, "returning": self.returning,
                                  "on_conflict": _conflict_node(scope, self.conflict)}}
        finally:
            scope.stack.pop()


def _plain_row(model: type[Table], row: Any, what: str) -> dict[str, Any]:
    """A bulk row as the values of the model's writable fields, by name."""
    if isinstance(row, model):
        names = model.__writable_names__
        return {k: v for k, v in row.__dict__.items() if k in names}
    if not isinstance(row, Mapping):
        raise TypeError(f"{what} takes instances or dicts, not {type(row).__name__}")
    return _assignments(model, row, what)


class BulkUpdate(Query[M]):
    operation = "bulk_update"
    fields: tuple[Field[Any], ...]
    rows: tuple[tuple[tuple[Bind, ...], tuple[Bind, ...]], ...]

    @classmethod
    def of(cls, model: type[M], objs: Iterable[Any], fields: Sequence[Any]) -> BulkUpdate[M]:
        what = f"{model.__name__}.bulk_update()"
        if isinstance(fields, (Field, ForeignKey)):
            fields = [fields]
        picked = tuple(dict.fromkeys(_own_field(model, f, what) for f in fields))
        if not picked:
            raise TypeError(f"{what} needs at least one field to set")
        pk = model.__pk__
        for f in picked:
            if any(f is k for k in pk):
                raise TypeError(f"{what}: {f.label} is part of the key that finds each row; it cannot be set here")
            if f.generated:
                raise TypeError(f"{what}: {f.label} is derived by the database and cannot be written")
        rows = []
        for obj in objs:
            if not isinstance(obj, model):
                raise TypeError(f"{what} takes {model.__name__} instances, not {type(obj).__name__}")
            d = obj.__dict__
            try:
                keys = tuple(f.bind(d[f.name]) for f in pk)
            except KeyError:
                raise ValueError(f"{what}: a {model.__name__} without its key cannot be updated") from None
            missing = [f.name for f in picked if f.name not in d]
            if missing:
                raise ValueError(f"{what}: a {model.__name__} does not hold {', '.join(missing)}")
            rows.append((keys, tuple(f.bind(d[f.name]) for f in picked)))
        return cls._make({"model": model, "fields": picked, "rows": tuple(rows)})

    def ir(self) -> list[Any]:
        op = ["bulk_update", [f.ref for f in self.model.__pk__], [f.ref for f in self.fields],
              [[list(k), list(v)] for k, v in self.rows]]
        return [IR_VERSION, self.model.__name__, op, [], [], None, None]

    def needs_statement_ir(self, dialect: str) -> bool:
        # The query IR's bulk update is PostgreSQL's UPDATE ... FROM (VALUES ...);
        # the statement IR writes one CASE per column for the other engines.
        return dialect != "postgres"

    def statement(self, scope: Scope) -> dict[str, Any]:
        return {"model": scope.model(self.model), "operation": {
            "kind": "bulk_update", "pk_fields": [f.position for f in self.model.__pk__],
            "fields": [f.position for f in self.fields],
            "rows": [[[list(b) for b in keys], [list(b) for b in values]] for keys, values in self.rows]}}

    def params_per_row(self, dialect: str) -> int:
        keys, fields = len(self.model.__pk__), len(self.fields)
        return keys + fields if dialect == "postgres" else fields * (keys + 1) + keys


class BulkDelete(Query[M]):
    operation = "bulk_delete"
    ids: tuple[tuple[Bind, ...], ...]

    @classmethod
    def of(cls, model: type[M], keys: Iterable[Any]) -> BulkDelete[M]:
        what = f"{model.__name__}.bulk_delete()"
        if isinstance(keys, (str, bytes)) or not isinstance(keys, Iterable):
            raise TypeError(f"{what} takes a list of keys")
        pk = model.__pk__
        ids: list[tuple[Bind, ...]] = []
        for key in keys:
            if isinstance(key, model):
                key = key._key_value()
            if len(pk) == 1:
                ids.append((pk[0].bind(key),))
                continue
            if not isinstance(key, (tuple, list)) or len(key) != len(pk):
                names = ", ".join(f.name for f in pk)
                raise ValueError(f"{what}: {model.__name__} keys are tuples of ({names}), not {key!r}")
            ids.append(tuple(f.bind(v) for f, v in zip(pk, key)))
        return cls._make({"model": model, "ids": tuple(ids)})

    def ir(self) -> list[Any]:
        op = ["bulk_delete", [f.ref for f in self.model.__pk__], [list(i) for i in self.ids]]
        return [IR_VERSION, self.model.__name__, op, [], [], None, None]
