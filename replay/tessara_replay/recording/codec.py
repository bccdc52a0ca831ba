"""Column conversion between recorded Python values and Arrow arrays.

Each column has one type (see layouts); a value that does not fit it (a string where a
price belongs, an integer beyond 64 bits) is stored as null and counted, so that one odd
record never costs the recording. Columns of type `any` keep ints, floats, strings, bools
and None exactly, as tagged text.
"""
import enum as _enum
import operator

import pyarrow as pa

_SCALARS = {"float": pa.float64(), "int": pa.int64(), "str": pa.string(), "any": pa.string()}
_LISTS = {"list[float]": pa.list_(pa.float64()), "list[int]": pa.list_(pa.int64())}
_CONVERSION_ERRORS = (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError,
                      TypeError, ValueError, OverflowError)
INT64_RANGE = range(-2 ** 63, 2 ** 63)


def arrow_type(kind):
    if isinstance(kind, tuple):                       # ("list", fields): a list of records
        return pa.list_(pa.struct([field(n, k) for n, k in kind[1]]))
    if kind.startswith("enum:"):
        return pa.int64()
    return _SCALARS.get(kind) or _LISTS[kind]


def field(name, kind):
    meta = {"enum": kind[5:]} if isinstance(kind, str) and kind.startswith("enum:") else None
    return pa.field(name, arrow_type(kind), metadata=meta)


# any: tagged text ------------------------------------------------------------------------
def encode_any(value):
    """Text of a value of an `any` column; None for None. Returns (text, exact)."""
    if value is None:
        return None, True
    kind = type(value)
    if kind is int:
        return "i:%d" % value, True
    if kind is str:
        return "s:" + value, True
    if kind is float:
        return "f:" + repr(value), True
    if kind is bool:
        return "b:%d" % value, True
    if isinstance(value, _enum.Enum):
        return encode_any(value.value)
    if isinstance(value, int):
        return "i:%d" % int(value), True
    if isinstance(value, float):
        return "f:" + repr(float(value)), True
    if isinstance(value, str):
        return "s:" + str(value), True
    return "s:" + repr(value), False


def decode_any(text):
    if text is None:
        return None
    tag, body = text[0], text[2:]
    if tag == "i":
        return int(body)
    if tag == "f":
        return float(body)
    if tag == "b":
        return body == "1"
    return body


# typed columns --------------------------------------------------------------------------
def _fits(value, kind):
    if value is None:
        return True
    if kind == "float":
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    if kind in ("int",) or kind.startswith("enum:"):
        return isinstance(value, int) and not isinstance(value, bool) and value in INT64_RANGE
    if kind == "str":
        return isinstance(value, str)
    inner = kind[5:-1]
    return isinstance(value, (list, tuple)) and all(v is not None and _fits(v, inner)
                                                    for v in value)


_value_of = operator.attrgetter("_value_")      # `value` is a slower descriptor


def _enum_values(values):
    try:
        return list(map(_value_of, values))          # the usual case: all members
    except AttributeError:
        return [v.value if isinstance(v, _enum.Enum) else v for v in values]




class Encoder:
    """Builds the arrays of one batch and counts the values it could not keep."""

    def __init__(self):
        self.dropped = 0

    def array(self, values, kind):
        if isinstance(kind, tuple):
            return self._records(values, kind[1])
        if kind == "any":
            texts = []
            for v in values:
                text, exact = encode_any(v)
                self.dropped += not exact
                texts.append(text)
            return pa.array(texts, type=pa.string())
        if kind.startswith("enum:"):
            values = _enum_values(values)
        typ = arrow_type(kind)
        try:
            return pa.array(values, type=typ)
        except _CONVERSION_ERRORS:
            kept = [v if _fits(v, kind) else None for v in values]
            self.dropped += sum(1 for v, k in zip(values, kept) if k is None and v is not None)
            return pa.array(kept, type=typ)

    def _records(self, values, fields):
        """A list-of-records column: each value is a list of attribute tuples, or None."""
        flat = [rec for v in values if v is not None for rec in v]
        children = self.struct(flat, fields)
        offsets, pos = [0], 0
        for v in values:
            pos += 0 if v is None else len(v)
            offsets.append(pos)
        mask = pa.array([v is None for v in values], type=pa.bool_())
        return pa.ListArray.from_arrays(pa.array(offsets, type=pa.int32()), children,
                                        mask=mask if any(v is None for v in values) else None)

    def struct(self, rows, cols):
        """A struct array of `rows` (tuples in the order of `cols`)."""
        if not cols:
            return pa.array([{}] * len(rows), type=pa.struct([]))
        columns = list(zip(*rows)) if rows else [()] * len(cols)
        arrays = [self.array(list(col), kind) for col, (_, kind) in zip(columns, cols)]
        return pa.StructArray.from_arrays(arrays, fields=[field(n, k) for n, k in cols])


def decoder(kind):
    """A function turning one stored column (a Python list) back into recorded values."""
    if kind == "any":
        return lambda values: [decode_any(v) for v in values]
    if isinstance(kind, str) and kind.startswith("enum:"):
        from pyvorn import enums
        cls = getattr(enums, kind[5:], None)
        if cls is None:
            return lambda values: values

        def members(values):
            out = []
            for v in values:
                try:
                    out.append(None if v is None else cls(v))
                except ValueError:
                    out.append(v)
            return out
        return members
    return lambda values: values
