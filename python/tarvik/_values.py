"""VarValue arrays: 9-byte packed records, a tag byte and 8 payload bytes (an
int32, a double or a pointer to a zero-terminated text block). Arrays are read
and written in bulk with ``struct`` rather than element by element through
ctypes structures: a read of 1000 values stays a few microseconds of Python."""

from __future__ import annotations

import ctypes
import math
import numbers
import struct
from typing import Any, Dict, List, Sequence, Tuple

from ._lib import POINTER_SIZE
from .types import Value, ValueType

VAL_NONE = 0
VAL_LONG = 1
VAL_DOUBLE = 2
VAL_STRING = 4

RECORD = 9
TEXT_MAX = 63
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

_LONG = struct.Struct("<Bi4x")
_DOUBLE = struct.Struct("<Bd")
_POINTER = struct.Struct("<BQ" if POINTER_SIZE == 8 else "<BI4x")
_INT_AT = struct.Struct("<i")
_PTR_AT = struct.Struct("<Q" if POINTER_SIZE == 8 else "<I")

_doubles_cache: Dict[int, struct.Struct] = {}


def _doubles(n: int) -> struct.Struct:
    """A struct that reads the payloads of n records as doubles."""
    s = _doubles_cache.get(n)
    if s is None:
        if len(_doubles_cache) > 32:
            _doubles_cache.clear()
        s = struct.Struct("<" + "xd" * n)
        _doubles_cache[n] = s
    return s


def decode(raw: bytes, n: int, encoding: str, errors: str) -> Tuple[List[Value], bool]:
    """The n values of a VarValue array's bytes, and whether any holds a text
    block (which the caller must release). Text blocks are read while the
    array still owns them."""
    tags = raw[0 : RECORD * n : RECORD]
    if tags.count(VAL_DOUBLE) == n:
        return list(_doubles(n).unpack_from(raw)), False
    values: List[Value] = []
    texts = False
    for i, tag in enumerate(tags):
        offset = RECORD * i + 1
        if tag == VAL_DOUBLE:
            values.append(struct.unpack_from("<d", raw, offset)[0])
        elif tag == VAL_LONG:
            values.append(_INT_AT.unpack_from(raw, offset)[0])
        elif tag == VAL_STRING:
            texts = True
            address = _PTR_AT.unpack_from(raw, offset)[0]
            if address:
                values.append(ctypes.string_at(address).decode(encoding, errors))
            else:
                values.append("")
        else:
            values.append(None)
    return values, texts


def _number(value: Any, item: str) -> Any:
    """A text given for a numeric field, read as a number (never silently 0)."""
    if isinstance(value, str):
        try:
            return int(value, 10)
        except ValueError:
            try:
                return float(value)
            except ValueError:
                raise ValueError(f"{item}: the field is numeric and {value!r} is not a number") from None
    return value


def encode(
    items: Sequence[str],
    types: Sequence[int],
    values: Sequence[Any],
    encoding: str,
    errors: str,
) -> Tuple[bytearray, list]:
    """The VarValue array for a write, and the text buffers it points into
    (keep them alive until the call returns). Each value is checked against
    its field's type, so that nothing is cut or turned into 0 on the way."""
    out = bytearray(RECORD * len(values))
    keep: list = []
    for i, (item, vtype, value) in enumerate(zip(items, types, values)):
        offset = RECORD * i
        if value is None:
            raise TypeError(f"{item}: no value to write (None)")
        if vtype in (VAL_LONG, VAL_DOUBLE):
            value = _number(value, item)
        if isinstance(value, numbers.Integral):  # bool included
            v = int(value)
            fits = INT32_MIN <= v <= INT32_MAX
            if vtype == VAL_LONG and not fits:
                raise ValueError(f"{item}: {v} does not fit the field's 32-bit integer")
            if fits and vtype != VAL_DOUBLE:
                _LONG.pack_into(out, offset, VAL_LONG, v)
            elif vtype == VAL_STRING:
                keep.append(_text(out, offset, str(v), item, encoding, errors))
            else:
                try:
                    _DOUBLE.pack_into(out, offset, VAL_DOUBLE, float(v))
                except OverflowError:
                    raise ValueError(f"{item}: {v} is too large for a double") from None
        elif isinstance(value, numbers.Real):
            v = float(value)
            if vtype == VAL_LONG:
                if not math.isfinite(v):
                    raise ValueError(f"{item}: {v} is not a number for an integer field")
                # The library rounds half up (floor of v + 0.5) and would clamp
                # what does not fit: refused here instead.
                if not INT32_MIN <= math.floor(v + 0.5) <= INT32_MAX:
                    raise ValueError(f"{item}: {v} does not fit the field's 32-bit integer")
            _DOUBLE.pack_into(out, offset, VAL_DOUBLE, v)
        elif isinstance(value, str):
            keep.append(_text(out, offset, value, item, encoding, errors))
        else:
            raise TypeError(f"{item}: cannot write a {type(value).__name__} ({value!r})")
    return out, keep


def _text(out: bytearray, offset: int, text: str, item: str, encoding: str, errors: str) -> Any:
    data = text.encode(encoding, errors)
    if len(data) > TEXT_MAX:
        raise ValueError(f"{item}: text of {len(data)} bytes; the server keeps at most {TEXT_MAX}")
    if b"\0" in data:
        raise ValueError(f"{item}: text with a zero byte")
    buffer = ctypes.create_string_buffer(data, TEXT_MAX + 1)
    _POINTER.pack_into(out, offset, VAL_STRING, ctypes.addressof(buffer))
    return buffer


def value_type(value: int) -> Any:
    """``ValueType(value)``, or the bare number for an unknown type."""
    try:
        return ValueType(value)
    except ValueError:
        return value
