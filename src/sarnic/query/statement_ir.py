"""The statement IR of the core's newer entry point (`compile_statement`):
what a query becomes when the older query IR cannot say it.

A `Scope` is made per compile. It numbers the models a statement reads (the
core takes their metadata as one list), places every column among the
tables of the statement and of the statements around it (a subquery's
reference to the enclosing row is a column `up` levels out), and remembers
the field behind each value label, so that bound values find their converters.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from sarnic import _codec

if TYPE_CHECKING:
    from sarnic.model.base import Table
    from sarnic.model.columns import Column
    from sarnic.model.fields.base import Field

VERSION = 4
_PAGING = frozenset(("limit:int", "offset:int"))


class Scope:
    def __init__(self, base: type[Table]) -> None:
        self.base = base
        self.models: list[type[Table]] = []
        self._index: dict[type[Table], int] = {}
        #: value labels -> the field that converts the value
        self.labels: dict[str, Field[Any]] = {}
        #: labels of IN lists (their payload is a list of the field's values)
        self.lists: set[str] = set()
        #: the sources (table occurrences) of each statement being written, innermost last
        self.stack: list[list[Any]] = []
        #: whether excluded() may be read (an upsert's update)
        self.conflict = False
        self.model(base)

    def model(self, model: type[Table]) -> int:
        at = self._index.get(model)
        if at is None:
            at = self._index[model] = len(self.models)
            self.models.append(model)
        return at

    def locate(self, field: Column) -> tuple[int, int]:
        """(source, up) of the table occurrence the column reads."""
        source = field.source
        for up, sources in enumerate(reversed(self.stack)):
            for at, candidate in enumerate(sources):
                if candidate is source:
                    return at, up
        inner = self.stack[-1][0] if self.stack else self.base
        name = getattr(inner, "__name__", "the query")
        raise TypeError(f"a condition on {field.label} cannot filter {name}: {field.model.__name__} is not its "
                        f"model, a model it joins, or the model of a query around it")

    def ref_name(self, field: Column) -> str:
        return field.name if field.model is self.base else f"{field.model.__name__}.{field.name}"

    def label(self, field: Column | None, op: str) -> str:
        if field is None:
            return f"#{op}"
        label = f"{self.ref_name(field)}:{op}"
        # The model's own field object: its converters are cached by it.
        self.labels[label] = field.model.__fields__[field.position]
        return label

    def field_of(self, label: str) -> Field[Any] | None:
        found = self.labels.get(label)
        if found is not None or label in _PAGING or label.startswith("#"):
            return found
        # Labels the core writes itself (written rows): "<field>:<op>" of the base model.
        name = label.rpartition(":")[0]
        model_name, dot, field_name = name.rpartition(".")
        if not dot:
            return self.base.__fields_by_name__.get(name)
        for model in self.models:
            if model.__name__ == model_name:
                return model.__fields_by_name__.get(field_name)
        return None

    def models_bytes(self) -> bytes:
        """The models' metadata as the core takes it: an array of the documents."""
        n = len(self.models)
        header = bytes([0x90 | n]) if n < 16 else b"\xdc" + n.to_bytes(2, "big")
        return header + b"".join(m.__metadata_bytes__ for m in self.models)


def statement_document(query: Any, *, exists: bool = False, returning: bool | None = None) -> tuple[Scope, bytes]:
    """The query's statement IR, packed, and the scope that wrote it.
    `returning` (a write's): whether its rows come back; None leaves the
    kind's own default."""
    scope = Scope(query.model)
    doc = query.statement(scope)
    doc["version"] = VERSION
    if exists:
        doc["exists"] = True
    if returning is not None:
        doc["operation"]["returning"] = returning
    return scope, _codec.pack(doc)
