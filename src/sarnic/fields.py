"""Field declarations: one class per core field type, plus `ForeignKey` and
the many sides of relations (`Reverse`, `ManyToMany`).

The public face of the field types: each family lives in its own module
under `sarnic.model.fields`, the many sides of relations in `sarnic.query.relations`
(their link writes are queries).
"""

from sarnic.model.fields.arrays import FloatArray as FloatArray, IntArray as IntArray
from sarnic.model.fields.arrays import TextArray as TextArray, UUIDArray as UUIDArray
from sarnic.model.fields.base import EQUALITY as EQUALITY, FULL_TEXT as FULL_TEXT, INT32 as INT32, INT64 as INT64
from sarnic.model.fields.base import LIKE as LIKE, NULL_BIND as NULL_BIND, NULLS as NULLS, ORDERED as ORDERED
from sarnic.model.fields.base import Bind as Bind, Field as Field
from sarnic.model.fields.foreign_key import ForeignKey as ForeignKey
from sarnic.model.fields.numbers import MAX_DECIMAL_DIGITS as MAX_DECIMAL_DIGITS
from sarnic.model.fields.numbers import PORTABLE_DECIMAL as PORTABLE_DECIMAL
from sarnic.model.fields.numbers import BigInt as BigInt, Decimal as Decimal, Float as Float, Int as Int
from sarnic.model.fields.numbers import decimal_text as decimal_text, padded_decimal as padded_decimal
from sarnic.model.fields.numbers import trimmed_decimal as trimmed_decimal
from sarnic.model.fields.scalars import JSON as JSON, UUID as UUID, Bool as Bool, Bytes as Bytes, Enum as Enum
from sarnic.model.fields.search import TSVector as TSVector, Vector as Vector
from sarnic.model.fields.text import Text as Text
from sarnic.model.fields.times import Date as Date, DateTime as DateTime, Time as Time
from sarnic.query.relations import Many as Many, ManyToMany as ManyToMany, Reverse as Reverse
