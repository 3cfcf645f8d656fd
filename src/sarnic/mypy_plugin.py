"""A mypy plugin that types model constructors: `User(name=1)` and unknown
keywords are errors, each field's parameter takes what the field holds.

Enable it with `plugins = ["sarnic.mypy_plugin"]` under `[tool.mypy]`.
Fields are declared without annotations (`views = fields.Int(default=0)`),
which `typing.dataclass_transform` does not see, so the parameters are read
here from the declarations themselves: the field class, `null=True`, a
`default`, an integer primary key the database numbers, a document derived
from its columns (never written). Attribute types are untouched: the
descriptors give them.
"""

from __future__ import annotations

from collections.abc import Callable

from mypy.nodes import (
    ARG_NAMED, ARG_NAMED_OPT, Argument, AssignmentStmt, CallExpr, Expression, NameExpr, PlaceholderNode, RefExpr,
    StrExpr, TypeInfo, Var,
)  # fmt: skip
from mypy.plugin import ClassDefContext, Plugin, SemanticAnalyzerPluginInterface
from mypy.plugins.common import add_method_to_class, deserialize_and_fixup_type
from mypy.types import AnyType, Instance, NoneType, Type, TypeOfAny, UnionType

MODEL = "sarnic.query.model.Model"
#: where the field classes are defined, one module per family
_FIELDS = "sarnic.model.fields."
#: what a constructor takes for each field class: a type's full name and its arguments' names
_TAKES: dict[str, tuple[str, ...]] = {
    "Int": ("builtins.int",),
    "BigInt": ("builtins.int",),
    "Float": ("builtins.float",),
    "Decimal": ("decimal.Decimal", "builtins.int"),
    "Text": ("builtins.str",),
    "TSVector": ("builtins.str",),
    "Bool": ("builtins.bool",),
    "DateTime": ("datetime.datetime",),
    "Date": ("datetime.date",),
    "Time": ("datetime.time",),
    "UUID": ("uuid.UUID",),
    "Bytes": ("builtins.bytes",),
    "Vector": ("typing.Sequence", "builtins.float"),
    "FloatArray": ("typing.Sequence", "builtins.float"),
    "TextArray": ("typing.Sequence", "builtins.str"),
    "IntArray": ("typing.Sequence", "builtins.int"),
    "UUIDArray": ("typing.Sequence", "uuid.UUID"),
}
_UNIONS = frozenset(("Decimal",))  # a union of the names, not a generic


def _keyword(call: CallExpr, name: str) -> Expression | None:
    for arg_name, arg in zip(call.arg_names, call.args):
        if arg_name == name:
            return arg
    return None


def _is_true(expr: Expression | None) -> bool:
    return isinstance(expr, NameExpr) and expr.fullname == "builtins.True"


class _Incomplete(Exception):
    """A referenced class is not analysed yet: the hook runs again later."""


def _named(api: SemanticAnalyzerPluginInterface, name: str, args: list[Type] | None = None) -> Type:
    found = api.named_type_or_none(name, args)
    return found if found is not None else AnyType(TypeOfAny.special_form)


def _class_of(expr: Expression | None, owner: TypeInfo) -> Type:
    """The instance type of a class argument (an enum, a relation's target)."""
    if isinstance(expr, StrExpr) and expr.value == "self":
        return Instance(owner, [])
    if isinstance(expr, RefExpr):
        if isinstance(expr.node, PlaceholderNode):
            raise _Incomplete
        if isinstance(expr.node, TypeInfo):
            return Instance(expr.node, [])
    return AnyType(TypeOfAny.special_form)  # a model named by a string


def _parameters(ctx: ClassDefContext) -> list[tuple[str, Type, bool]]:
    """(name, type, optional) for each writable field the class body declares."""
    api, info = ctx.api, ctx.cls.info
    out: list[tuple[str, Type, bool]] = []
    for stmt in ctx.cls.defs.body:
        if not (isinstance(stmt, AssignmentStmt) and len(stmt.lvalues) == 1 and isinstance(stmt.lvalues[0], NameExpr)
                and isinstance(stmt.rvalue, CallExpr) and isinstance(stmt.rvalue.callee, RefExpr)):
            continue
        name, call, callee = stmt.lvalues[0].name, stmt.rvalue, stmt.rvalue.callee
        if not callee.fullname.startswith(_FIELDS):
            continue
        kind = callee.fullname.rpartition(".")[2]
        null = _is_true(_keyword(call, "null"))
        optional = null or _keyword(call, "default") is not None
        typ: Type
        if kind == "ForeignKey":
            target = _class_of(call.args[0] if call.args and call.arg_names[0] is None else _keyword(call, "model"),
                               info)
            out.append((name, UnionType([target, NoneType()]) if null else target, True))
            # The key instead of the related object; one of the two is needed when not null.
            out.append((f"{name}_id", AnyType(TypeOfAny.special_form), True))
            continue
        if kind == "Enum":
            typ = _class_of(call.args[0] if call.args and call.arg_names[0] is None else _keyword(call, "enum_class"),
                            info)
        elif kind == "JSON":
            typ = AnyType(TypeOfAny.special_form)
        elif kind in _TAKES:
            names = _TAKES[kind]
            if kind in _UNIONS:
                typ = UnionType([_named(api, n) for n in names])
            else:
                typ = _named(api, names[0], [_named(api, n) for n in names[1:]] or None)
        else:
            continue
        if kind == "TSVector" and _keyword(call, "fts_source_columns") is not None:
            continue  # derived by the database, never written
        if kind in ("Int", "BigInt") and _is_true(_keyword(call, "primary_key")):
            optional = True  # the database numbers a single integer key
        out.append((name, UnionType([typ, NoneType()]) if null else typ, optional))
    return out


def _add_constructor(ctx: ClassDefContext) -> None:
    info = ctx.cls.info
    try:
        own = _parameters(ctx)
    except _Incomplete:
        if not ctx.api.final_iteration:
            ctx.api.defer()
            return
        own = []
    params: dict[str, tuple[Type, bool]] = {}
    for base in reversed(info.mro[1:]):
        for name, data, optional in base.metadata.get("sarnic", {}).get("fields", []):
            params[name] = (deserialize_and_fixup_type(data, ctx.api), optional)
    for name, typ, optional in own:
        params[name] = (typ, optional)
    info.metadata["sarnic"] = {"fields": [[n, t.serialize(), o] for n, (t, o) in params.items()]}
    args = [Argument(Var(name, typ), typ, None, ARG_NAMED_OPT if optional else ARG_NAMED)
            for name, (typ, optional) in params.items()]
    add_method_to_class(ctx.api, ctx.cls, "__init__", args, NoneType())


class SarnicPlugin(Plugin):
    def get_base_class_hook(self, fullname: str) -> Callable[[ClassDefContext], None] | None:
        if fullname == MODEL:
            return _add_constructor
        found = self.lookup_fully_qualified(fullname)
        if found is not None and isinstance(found.node, TypeInfo) and found.node.has_base(MODEL):
            return _add_constructor
        return None


def plugin(version: str) -> type[Plugin]:
    del version  # the hooks used are those of mypy 1.x and later
    return SarnicPlugin


__all__ = ["plugin"]
