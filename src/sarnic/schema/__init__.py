"""DDL per dialect from the models: what `create_tables` and `drop_tables`
run, and the statements of the core that these tables cannot serve.

`create_statements` gives, in order, every statement the models' tables
need: the columns, keys, constraints and indexes, plus what the compiled
full-text and vector SQL looks for (PostgreSQL tsvector columns with GIN
indexes and pgvector, MySQL FULLTEXT indexes over each MATCH list, SQLite
FTS5 companion tables kept in step by triggers).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from sarnic.model.base import Table
from sarnic.query.model import Model
from sarnic.schema import postgres
from sarnic.schema.errors import SchemaError
from sarnic.schema.introspection import COLUMNS_SQL, TableDifference, differences
from sarnic.schema.quoting import object_name, quote_ident, quote_literal
from sarnic.schema.refusals import bulk_update_refusal, statement_refusal
from sarnic.schema.table import create_table, drop_table

__all__ = [
    "SchemaError",
    "TableDifference",
    "COLUMNS_SQL",
    "differences",
    "concrete",
    "ordered",
    "create_statements",
    "drop_statements",
    "bulk_update_refusal",
    "statement_refusal",
    "quote_ident",
    "quote_literal",
    "object_name",
]

DIALECTS = ("postgres", "mysql", "sqlite")


def _dialect(dialect: str) -> str:
    if dialect not in DIALECTS:
        raise ValueError(f"no DDL for dialect {dialect!r}: expected one of {', '.join(DIALECTS)}")
    return dialect


def concrete(models: Iterable[type[Table]]) -> list[type[Table]]:
    out: list[type[Table]] = []
    for m in models:
        if not (isinstance(m, type) and issubclass(m, Table)) or m is Table or m is Model:
            raise TypeError(f"expected Model classes, not {m!r}")
        if m.__abstract__:
            raise TypeError(f"{m.__name__} is abstract: it has no table")
        m._check_declared()
        if m not in out:
            out.append(m)
    return out


def ordered(models: Iterable[type[Table]], *, dropping: bool = False) -> list[type[Table]]:
    """The models with every referenced table before the tables that refer
    to it, otherwise in the order given. References to models outside the
    set are taken to exist already; a model may refer to itself. The
    through models made for the models' many-to-many relations come along:
    those of relations declared on a model to create, those of relations to
    or from a model to drop (the constraints would refuse the drop otherwise)."""
    pending = concrete(models)
    pending += [t for t in dict.fromkeys(_through_models(pending, dropping)) if t not in pending]
    within = set(pending)
    needs = {m: {r.target for r in m.__relations__.values() if r.target is not m and r.target in within}
             for m in pending}
    out: list[type[Table]] = []
    while pending:
        ready = next((m for m in pending if needs[m] <= set(out)), None)
        if ready is None:
            raise SchemaError(f"foreign keys form a cycle: {_cycle(pending, needs)}; no creation order "
                              "satisfies them (make one of the relations point the other way, or drop it)")
        out.append(ready)
        pending.remove(ready)
    return out


def _through_models(models: list[type[Table]], dropping: bool) -> list[type[Table]]:
    from sarnic.model.base import DeclarationError, Table as Base
    from sarnic.query.relations import ManyToMany

    found: list[type[Table]] = []
    given = set(models)
    owners = [c for c in _defined(Base) if c.__many__] if dropping else models
    for owner in owners:
        for rel in owner.__many__.values():
            if not isinstance(rel, ManyToMany) or not rel.automatic:
                continue
            if dropping and owner not in given:
                # A relation declared elsewhere: its pairs go with a model they point at.
                try:
                    rel.resolve()
                except DeclarationError:
                    continue  # it names a model this program does not define: no table of it
                if rel.target not in given:
                    continue
            found.append(rel.through)
    return found


def _defined(base: type[Table]) -> list[type[Table]]:
    out = []
    for sub in base.__subclasses__():
        out.append(sub)
        out += _defined(sub)
    return out


def _cycle(pending: list[type[Table]], needs: dict[type[Table], set[type[Table]]]) -> str:
    path = [pending[0]]
    while True:
        nxt = next(t for t in pending if t in needs[path[-1]])
        if nxt in path:
            loop = path[path.index(nxt):] + [nxt]
            return " -> ".join(m.__name__ for m in loop)
        path.append(nxt)


def create_statements(models: Sequence[type[Table]], dialect: str, *, if_not_exists: bool = True,
                      collation: str | None = None) -> list[str]:
    """The DDL for these models (already ordered), in the order to run it.
    `collation` is the MySQL tables' collation; other dialects ignore it."""
    d = _dialect(dialect)
    models = concrete(models)
    exists = "IF NOT EXISTS " if if_not_exists else ""
    out: list[str] = []
    if d == "postgres" and postgres.needs_vector(models):
        out.append(postgres.VECTOR_EXTENSION)
    for m in models:
        out += create_table(m, d, exists, collation)
    return out


def drop_statements(models: Sequence[type[Table]], dialect: str) -> list[str]:
    """Drops for these models (ordered as for creation): referring tables
    first, each with what was made for it. The vector extension stays: other
    tables may use it."""
    d = _dialect(dialect)
    out: list[str] = []
    for m in reversed(concrete(models)):
        out += drop_table(m, d)
    return out
