"""Typed column expressions and the conditions and orderings they build.

Every node keeps the IR it stands for, built once when the node is made, so
turning a query into IR only collects finished pieces. The IR uses the core's
positional (array) form of each record: a field reference is `[name, index]`,
a filter `[field, operator, value]`, a bind value `[type, payload]`.

What that IR cannot say (lists bound as one array, subqueries, comparisons
between columns, arithmetic, functions, other tables' columns) is written in
the statement IR of the core's newer entry point: nodes render it with
`render(scope)`, which places each column among the statement's tables.

Fields are column expressions, so this is the ground the model side stands
on; what reaches into other queries (subqueries, an upsert's proposed row) is
in sarnic.query.expr and comes in through `Subquery`.
"""

from __future__ import annotations

import decimal
from collections.abc import Iterable
from typing import Any, ClassVar, Generic, Protocol, TypeVar, runtime_checkable

T = TypeVar("T")

#: a value as the core binds it: (type tag, payload)
Bind = tuple[str, Any]


class Column(Protocol):
    """A model column as expressions read it: the fields, which are built on
    this file's `ColumnExpr`, so it cannot import them."""

    name: str
    position: int
    ref: tuple[str, int]
    field_type: ClassVar[str]

    @property
    def model(self) -> Any: ...

    @property
    def label(self) -> str: ...

    @property
    def source(self) -> Any: ...

    @property
    def _source(self) -> Any: ...

    def bind_value(self, value: Any) -> Bind: ...

    def render(self, scope: Scope) -> dict[str, Any]: ...


class Scope(Protocol):
    """What a node asks of the statement it is written into: where a column's
    table stands, and the label of a bound value (sarnic.query.statement_ir)."""

    #: labels of IN lists (their payload is a list of the field's values)
    lists: set[str]

    def locate(self, field: Column) -> tuple[int, int]: ...

    def ref_name(self, field: Column) -> str: ...

    def label(self, field: Column | None, op: str) -> str: ...


@runtime_checkable
class Subquery(Protocol):
    """A query that `in_()` takes in place of a list: a one-column values query."""

    def in_condition(self, operand: ColumnExpr[Any], negated: bool) -> Condition: ...

_NULL = ("null", None)

#: Operators whose query IR form reads case as each engine's LIKE does (SQLite
#: folds ASCII, MySQL's collations ignore case); on those engines a query using
#: them is written in the statement IR, whose text match means one thing.
#: PostgreSQL's LIKE keeps case, and its ILIKE folds by the database's ctype:
#: Unicode under a UTF-8 locale, ASCII only under C ("postgres-c", which the
#: backend reads off the database when it opens).
#: A full-text match there searches its field alone only in the statement IR,
#: and SQLite's search text is rewritten on the way (see the SQLite backend).
_SHARED_INDEX_DIALECTS = frozenset(("sqlite", "mysql", "mariadb"))
TEXT_CASE_DIALECTS = {"contains": frozenset(("sqlite", "mysql", "mariadb")),
                      "icontains": frozenset(("sqlite", "mysql", "mariadb", "postgres-c")),
                      **{op: _SHARED_INDEX_DIALECTS for op in ("match", "match_phrase", "match_websearch",
                                                                "match_boolean")}}
TEXT_CASE_OPERATORS = frozenset(TEXT_CASE_DIALECTS)
_LIKE_OPERATORS = frozenset(("contains", "icontains"))


def text_case_dialects(cond: object) -> frozenset[str]:
    """The dialects on which a condition must be written in the statement IR
    for its text-case operators."""
    if isinstance(cond, Comparison):
        return TEXT_CASE_DIALECTS.get(cond.operator, frozenset())
    children = getattr(cond, "children", None)
    if isinstance(children, tuple):
        return frozenset().union(*(text_case_dialects(c) for c in children))
    child = getattr(cond, "child", None)
    return frozenset() if child is None else text_case_dialects(child)


class Condition:
    """A condition on a model's columns: combine with `&`, `|` and `~`."""

    __slots__ = ()

    model: Any

    def __and__(self, other: Condition) -> Condition:
        return And(_flatten(And, (self, _condition(other))))

    def __or__(self, other: Condition) -> Condition:
        return Or(_flatten(Or, (self, _condition(other))))

    def __invert__(self) -> Condition:
        return Not(self)

    def __bool__(self) -> bool:
        raise TypeError("a condition has no truth value: combine conditions with &, | and ~, "
                        "not with and, or, not (and compare one column at a time)")

    def predicate(self) -> list[Any]:
        """The core's predicate record for this condition."""
        raise NotImplementedError

    def plain(self, source: Any) -> bool:
        """Whether the older IR says it: comparisons of the source's own
        columns with values, combined."""
        return False

    def render(self, scope: Scope) -> dict[str, Any]:
        """The condition as an expression of the statement IR."""
        raise NotImplementedError


def _takes(column: Any, operator: str) -> None:
    """A comparison the field's operators leave out fails here, when the query
    is built, not when the core compiles it."""
    allowed = column.__dict__.get("_allowed")
    if allowed is None:
        allowed = column.__dict__["_allowed"] = frozenset(column.allowed_operators())
    if operator not in allowed:
        takes = ", ".join(sorted(allowed)) or "no comparison"
        raise TypeError(f"{column.label} does not take {operator} (it takes {takes})")


def _condition(value: Any) -> Condition:
    if not isinstance(value, Condition):
        raise TypeError(f"expected a condition such as Post.views >= 10, not {type(value).__name__}")
    return value


def _flatten(kind: type[_Group], items: Iterable[Condition]) -> tuple[Condition, ...]:
    out: list[Condition] = []
    for item in items:
        out.extend(item.children if isinstance(item, kind) else (item,))
    return tuple(out)


class Comparison(Condition):
    """One filter: a column, an operator and a bound value."""

    __slots__ = ("field", "operator", "value", "ir")

    def __init__(self, field: Column, operator: str, value: Any, bind: Bind) -> None:
        self.field = field
        self.operator = operator
        self.value = value
        self.ir = [field.ref, operator, bind]

    @property
    def model(self) -> Any:
        return self.field.model

    def predicate(self) -> list[Any]:
        return ["filter", self.ir]

    def plain(self, source: Any) -> bool:
        return self.field.source is source

    def render(self, scope: Scope) -> dict[str, Any]:
        f = self.field
        at, up = scope.locate(f)
        name = scope.ref_name(f)
        label = scope.label(f, self.operator)
        if self.operator in _LIKE_OPERATORS:
            # The statement IR's text match keeps or folds case alike on every engine.
            tag, payload = self.ir[2]
            return {"kind": "like", "operand": {"kind": "field", "field": f.position, "source": at, "up": up},
                    "pattern": {"kind": "value", "value": {"type": tag, "value": payload}, "label": label},
                    "fold": self.operator == "icontains"}
        return {"kind": "filter", "filter": [[name, f.position], self.operator, list(self.ir[2])],
                "source": at, "up": up}

    def __repr__(self) -> str:
        return f"<{self.field.label} {self.operator} {self.value!r}>"


class _Group(Condition):
    __slots__ = ("children",)
    kind = ""

    def __init__(self, children: tuple[Condition, ...]) -> None:
        self.children = children

    @property
    def model(self) -> Any:
        models = {c.model for c in self.children}
        return models.pop() if len(models) == 1 else None if not models else models

    def predicate(self) -> list[Any]:
        return [self.kind, [c.predicate() for c in self.children]]

    def plain(self, source: Any) -> bool:
        return all(c.plain(source) for c in self.children)

    def render(self, scope: Scope) -> dict[str, Any]:
        return {"kind": self.kind, "children": [c.render(scope) for c in self.children]}

    def __repr__(self) -> str:
        return f"<{self.kind} {list(self.children)!r}>"


class And(_Group):
    __slots__ = ()
    kind = "and"


class Or(_Group):
    __slots__ = ()
    kind = "or"


class Not(Condition):
    __slots__ = ("child",)

    def __init__(self, child: Condition) -> None:
        self.child = child

    @property
    def model(self) -> Any:
        return self.child.model

    def predicate(self) -> list[Any]:
        return ["not", self.child.predicate()]

    def plain(self, source: Any) -> bool:
        return self.child.plain(source)

    def render(self, scope: Scope) -> dict[str, Any]:
        return {"kind": "unary", "op": "not", "operand": self.child.render(scope)}

    def __invert__(self) -> Condition:
        return self.child

    def __repr__(self) -> str:
        return f"<not {self.child!r}>"


class Ordering:
    """A sort key: a column (or an expression) and a direction."""

    __slots__ = ("field", "direction", "ir")

    def __init__(self, field: ColumnExpr[Any], direction: str) -> None:
        self.field: Any = field
        self.direction = direction
        ref = getattr(field, "ref", None)
        self.ir = None if ref is None else [ref, direction]

    def render(self, scope: Scope) -> dict[str, Any]:
        return {"expr": self.field.render(scope), "direction": self.direction}

    def __repr__(self) -> str:
        return f"<{self.field.label} {self.direction}>"


NUMERIC = frozenset(("int", "big_int", "float", "decimal"))
#: the array bind value an IN list of each field type goes as
_LIST_TAGS = {"int": "int_array", "big_int": "int_array", "float": "float_array"}
#: field types whose lists the core cannot bind as one array of their values
_NO_LISTS = frozenset(("bool", "bytes", "json", "vector", "ts_vector", "array_text", "array_int", "array_uuid",
                       "array_float"))


class ColumnExpr(Generic[T]):
    """A typed value of a row: a column, or an expression over columns. `T`
    is the Python type of its value. A field is the base case: each method
    here reads as the column's; expressions override what differs."""

    # Conditions compare by building a Condition, so fields are hashed by identity.
    __hash__ = object.__hash__

    #: the alias a column was taken from (None: its model's own table)
    _source: Any = None

    @property
    def label(self) -> str:
        raise NotImplementedError

    @property
    def source(self) -> Any:
        """The table occurrence a column reads: its model, or the alias it came from."""
        return self._source or self.model  # type: ignore[attr-defined]

    @property
    def typed_field(self) -> Column | None:
        """The field whose type the values compared with this expression take."""
        return self  # type: ignore[return-value]

    #: whether an aggregate function is part of it
    aggregate: bool = False

    def bare_fields(self) -> tuple[Column, ...]:
        """The columns read outside any aggregate."""
        return (self,)  # type: ignore[return-value]

    def result_kind(self) -> Any:
        """How a fetched value becomes this expression's Python type: a field
        (its converter), or "int", "float", "decimal", "text"."""
        return self

    def render(self, scope: Scope) -> dict[str, Any]:
        at, up = scope.locate(self)  # type: ignore[arg-type]
        return {"kind": "field", "field": self.position, "source": at, "up": up}  # type: ignore[attr-defined]

    def bind(self, value: Any) -> Bind:
        raise NotImplementedError

    def bind_value(self, value: Any) -> Bind:
        """`bind` of a value known not to be None."""
        raise NotImplementedError

    def _compare(self, operator: str, value: Any) -> Condition:
        if value is None:
            raise TypeError(f"{self.label} {operator} None is never true: "
                            "test for NULL with == None or .is_null()")
        if isinstance(value, ColumnExpr):
            _comparable(self, value)
            return Compare(operator, self, value)
        if isinstance(value, Condition):
            raise TypeError(f"{self.label} is compared with values or expressions, not with conditions")
        _takes(self, operator)
        return Comparison(self, operator, value, self.bind_value(value))  # type: ignore[arg-type]

    def _search(self, operator: str, query: str) -> Condition:
        if not isinstance(query, str):
            raise TypeError(f"{self.label}.{operator}() takes a str query, not {type(query).__name__}")
        _takes(self, operator)
        return Comparison(self, operator, query, ("text", str(query)))  # type: ignore[arg-type]

    def __eq__(self, other: T | ColumnExpr[Any] | None) -> Condition:  # type: ignore[override]
        if other is None:
            return self.is_null()
        return self._compare("eq", other)

    def __ne__(self, other: T | ColumnExpr[Any] | None) -> Condition:  # type: ignore[override]
        if other is None:
            return self.is_not_null()
        return self._compare("ne", other)

    def __lt__(self, other: T | ColumnExpr[Any]) -> Condition:
        return self._compare("lt", other)

    def __le__(self, other: T | ColumnExpr[Any]) -> Condition:
        return self._compare("lte", other)

    def __gt__(self, other: T | ColumnExpr[Any]) -> Condition:
        return self._compare("gt", other)

    def __ge__(self, other: T | ColumnExpr[Any]) -> Condition:
        return self._compare("gte", other)

    def is_null(self) -> Condition:
        # A column that holds no NULL takes no NULL test: refused here, like the other operators it leaves out.
        _takes(self, "is_null")
        return Comparison(self, "is_null", None, _NULL)  # type: ignore[arg-type]

    def is_not_null(self) -> Condition:
        _takes(self, "is_not_null")
        return Comparison(self, "is_not_null", None, _NULL)  # type: ignore[arg-type]

    def in_(self, values: Iterable[T] | Subquery) -> Condition:
        """Equal to one of the values (an empty list matches nothing), or to
        one of the rows of a one-column values query. The list is bound as
        one value where the dialect can."""
        return self._in(values, False)

    def not_in(self, values: Iterable[T] | Subquery) -> Condition:
        """Equal to none of the values (true for an empty list). As in SQL, a
        None among them makes it never true."""
        return self._in(values, True)

    def _in(self, values: Any, negated: bool) -> Condition:
        what = "not_in" if negated else "in_"
        # What isinstance(values, Subquery) asks, without the protocol check's
        # cost (some microseconds a call, more than the rest of in_()).
        in_condition = getattr(type(values), "in_condition", None)
        if in_condition is not None:
            return in_condition(values, self, negated)  # type: ignore[no-any-return]
        if isinstance(values, (str, bytes)):
            raise TypeError(f"{self.label}.{what}() takes a collection of values, not one text")
        if not isinstance(values, Iterable):
            raise TypeError(f"{self.label}.{what}() takes a collection of values or a values query, "
                            f"not {type(values).__name__}")
        field = self.typed_field
        if field is None or field.field_type in _NO_LISTS:
            kind = "this expression" if field is None else f"a {type(field).__name__} field"
            raise TypeError(f"{self.label}.{what}() takes no lists on {kind}: compare with == instead")
        bind = field.bind_value
        payloads = [None if v is None else bind(v)[1] for v in values]
        return InList(self, field, _LIST_TAGS.get(field.field_type, "text_array"), payloads, negated)

    def asc(self) -> Ordering:
        return Ordering(self, "asc")

    def desc(self) -> Ordering:
        return Ordering(self, "desc")

    # -- arithmetic ----------------------------------------------------------

    def _number(self, op: str) -> Column | None:
        """The field whose values meet this operand (None for an aggregate's number)."""
        field = self.typed_field
        if field is None and self.result_kind() in ("int", "float", "decimal"):
            return None
        if field is None or field.field_type not in NUMERIC:
            raise TypeError(f"{self.label} is not a number: {op} takes Int, BigInt, Float and Decimal values")
        return field

    def _operand(self, other: Any, op: str) -> ColumnExpr[Any] | Value:
        field = self._number(op)
        if isinstance(other, ColumnExpr):
            other._number(op)
            return other
        if other is None:
            raise TypeError(f"{self.label} {op} None is NULL: use fn.coalesce() for a default")
        if field is None:
            return Value(_plain_bind(self.result_kind(), other, self), None, f"{_OPS[op]}")
        return Value(field.bind_value(other), field, _OPS[op])

    def __add__(self, other: T | ColumnExpr[T]) -> ColumnExpr[T]:
        return Arith("add", self, self._operand(other, "+"))

    def __radd__(self, other: T) -> ColumnExpr[T]:
        return Arith("add", self._operand(other, "+"), self)

    def __sub__(self, other: T | ColumnExpr[T]) -> ColumnExpr[T]:
        return Arith("sub", self, self._operand(other, "-"))

    def __rsub__(self, other: T) -> ColumnExpr[T]:
        return Arith("sub", self._operand(other, "-"), self)

    def __mul__(self, other: T | ColumnExpr[T]) -> ColumnExpr[T]:
        return Arith("mul", self, self._operand(other, "*"))

    def __rmul__(self, other: T) -> ColumnExpr[T]:
        return Arith("mul", self._operand(other, "*"), self)

    def __truediv__(self, other: T | ColumnExpr[T]) -> ColumnExpr[T]:
        """Division in the operands' type: integers divide to an integer
        (truncated toward zero on every engine once fetched)."""
        return Arith("div", self, self._operand(other, "/"))

    def __rtruediv__(self, other: T) -> ColumnExpr[T]:
        return Arith("div", self._operand(other, "/"), self)

    def __neg__(self) -> ColumnExpr[T]:
        self._number("-")
        return Neg(self)


_OPS = {"+": "add", "-": "sub", "*": "mul", "/": "div"}


def _value_class(expr: ColumnExpr[Any]) -> str:
    kind = expr.result_kind()
    if not isinstance(kind, str):
        kind = kind.field_type
    return "number" if kind in NUMERIC or kind in ("int", "float") else kind


def _comparable(left: ColumnExpr[Any], right: ColumnExpr[Any]) -> None:
    a, b = _value_class(left), _value_class(right)
    if a != b:
        raise TypeError(f"{left.label} and {right.label} hold different types ({a}, {b}): they cannot be compared")


class Value:
    """A bound value inside an expression, checked by the field it meets."""

    __slots__ = ("bind", "field", "op")

    def __init__(self, bind: Bind, field: Column | None, op: str) -> None:
        self.bind = bind
        self.field = field
        self.op = op

    aggregate = False

    def bare_fields(self) -> tuple[Column, ...]:
        return ()

    def render(self, scope: Scope) -> dict[str, Any]:
        tag, payload = self.bind
        label = scope.label(self.field, self.op) if self.field is not None else f"#{self.op}"
        return {"kind": "value", "value": {"type": tag, "value": payload}, "label": label}


Operand = ColumnExpr[Any] | Value


class Expression(ColumnExpr[T]):
    """An expression that is not a column."""

    __slots__ = ()
    model: Any = None

    @property
    def label(self) -> str:
        return repr(self)

    @property
    def source(self) -> Any:
        return None

    def bind_value(self, value: Any) -> Bind:
        field = self.typed_field
        if field is None:
            raise TypeError(f"{self!r} is compared with expressions only")
        return field.bind_value(value)

    def _compare(self, operator: str, value: Any) -> Condition:
        if value is None:
            raise TypeError(f"{self!r} {operator} None is never true: test for NULL with == None")
        if isinstance(value, ColumnExpr):
            _comparable(self, value)
            return Compare(operator, self, value)
        if isinstance(value, Condition):
            raise TypeError(f"{self!r} is compared with values or expressions, not with conditions")
        kind = self.result_kind()
        field = kind if not isinstance(kind, str) else None
        if field is not None:
            return Compare(operator, self, Value(field.bind_value(value), field, operator))
        return Compare(operator, self, Value(_plain_bind(kind, value, self), None, f"{self.name}:{operator}"))

    name = "expression"

    def is_null(self) -> Condition:
        return NullTest(self, "is_null")

    def is_not_null(self) -> Condition:
        return NullTest(self, "is_not_null")


def _plain_bind(kind: str, value: Any, expr: Any) -> Bind:
    """A value compared with an expression of no field's type (a count, a length, a text)."""
    if kind == "int":
        if isinstance(value, int) and not isinstance(value, bool):
            return ("int", value)
    elif kind == "float":
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return ("float", float(value))
    elif kind == "decimal":
        if isinstance(value, decimal.Decimal) and value.is_finite() or type(value) is int:
            return ("text", format(value, "f"))
    elif kind == "text":
        if isinstance(value, str):
            return ("text", value)
    raise TypeError(f"{expr!r} is compared with {'a str' if kind == 'text' else 'a number'}, "
                    f"not {type(value).__name__} ({value!r:.60})")


def _numeric_kind(field: Column | None) -> str:
    kind = "" if field is None else field.field_type
    return "float" if kind == "float" else "decimal" if kind == "decimal" else "int"


class Arith(Expression[T]):
    __slots__ = ("op", "left", "right")

    def __init__(self, op: str, left: Operand, right: Operand) -> None:
        self.op = op
        self.left = left
        self.right = right

    @property
    def typed_field(self) -> Column | None:
        for side in (self.left, self.right):
            if isinstance(side, ColumnExpr):
                return side.typed_field
        return None

    @property
    def aggregate(self) -> bool:  # type: ignore[override]
        return self.left.aggregate or self.right.aggregate

    def bare_fields(self) -> tuple[Column, ...]:
        return self.left.bare_fields() + self.right.bare_fields()

    def result_kind(self) -> Any:
        kinds = {_numeric_kind(s.typed_field) for s in (self.left, self.right) if isinstance(s, ColumnExpr)}
        return "float" if "float" in kinds else "decimal" if "decimal" in kinds else "int"

    def render(self, scope: Scope) -> dict[str, Any]:
        return {"kind": "binary", "op": self.op, "left": self.left.render(scope), "right": self.right.render(scope)}

    def __repr__(self) -> str:
        return f"({_show(self.left)} {self.op} {_show(self.right)})"


def _show(node: Any) -> str:
    if isinstance(node, Value):
        return repr(node.bind[1])
    if isinstance(node, Expression):
        return repr(node)
    return str(node.label)


class Neg(Expression[T]):
    __slots__ = ("operand",)

    def __init__(self, operand: ColumnExpr[T]) -> None:
        self.operand = operand

    @property
    def typed_field(self) -> Column | None:
        return self.operand.typed_field

    @property
    def aggregate(self) -> bool:  # type: ignore[override]
        return self.operand.aggregate

    def bare_fields(self) -> tuple[Column, ...]:
        return self.operand.bare_fields()

    def result_kind(self) -> Any:
        return _numeric_kind(self.typed_field)

    def render(self, scope: Scope) -> dict[str, Any]:
        return {"kind": "unary", "op": "neg", "operand": self.operand.render(scope)}

    def __repr__(self) -> str:
        return f"-{_show(self.operand)}"


class Compare(Condition):
    """A comparison between two expressions (a column with another, say)."""

    __slots__ = ("op", "left", "right")

    def __init__(self, op: str, left: ColumnExpr[Any], right: Operand) -> None:
        self.op = op
        self.left = left
        self.right = right

    @property
    def model(self) -> Any:
        return None

    def render(self, scope: Scope) -> dict[str, Any]:
        return {"kind": "binary", "op": self.op, "left": self.left.render(scope), "right": self.right.render(scope)}

    def __repr__(self) -> str:
        return f"<{_show(self.left)} {self.op} {_show(self.right)}>"


class NullTest(Condition):
    __slots__ = ("expr", "op")

    def __init__(self, expr: ColumnExpr[Any], op: str) -> None:
        self.expr = expr
        self.op = op

    @property
    def model(self) -> Any:
        return None

    def render(self, scope: Scope) -> dict[str, Any]:
        return {"kind": "unary", "op": self.op, "operand": self.expr.render(scope)}


class InList(Condition):
    """`x IN (...)` over a list bound as one array value."""

    __slots__ = ("operand", "field", "tag", "payloads", "negated")

    def __init__(self, operand: ColumnExpr[Any], field: Column, tag: str, payloads: list[Any],
                 negated: bool) -> None:
        self.operand = operand
        self.field = field
        self.tag = tag
        self.payloads = payloads
        self.negated = negated

    @property
    def model(self) -> Any:
        return None

    def __invert__(self) -> Condition:
        return InList(self.operand, self.field, self.tag, self.payloads, not self.negated)

    def render(self, scope: Scope) -> dict[str, Any]:
        op = "not_in" if self.negated else "in"
        label = scope.label(self.field, op)
        scope.lists.add(label)
        payloads = self.payloads
        operand = self.operand.render(scope)
        if None not in payloads:
            return {"kind": "in", "operand": operand, "negated": self.negated,
                    "values": {"type": self.tag, "value": payloads}, "query": None, "label": label}
        # Arrays hold no NULL: x IN (1, NULL) is written (x IN (1)) OR (x = NULL), which is
        # true, or NULL, as SQL has it; NOT IN, (x NOT IN (1)) AND (x <> NULL), never true.
        listed = {"kind": "in", "operand": operand, "negated": self.negated, "query": None, "label": label,
                  "values": {"type": self.tag, "value": [v for v in payloads if v is not None]}}
        null = {"kind": "binary", "op": "ne" if self.negated else "eq", "left": operand,
                "right": {"kind": "value", "value": {"type": "null", "value": None}, "label": label}}
        return {"kind": "and" if self.negated else "or", "children": [listed, null]}

    def __repr__(self) -> str:
        return f"<{_show(self.operand)} {'not in' if self.negated else 'in'} {len(self.payloads)} values>"
