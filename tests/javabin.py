"""tests/javabin.py: a small javabin writer for building test bodies.

Values are described with the marker classes below (one per wire form) and
plain Python values, which are mapped to the obvious wire form:

    None -> NULL, bool -> BOOL_TRUE/BOOL_FALSE, int -> SINT (0 <= v < 2**31),
    INT (other 32-bit values) or LONG, float -> DOUBLE, str -> STR,
    bytes -> BYTEARR, list/tuple -> ARR, dict -> NAMED_LST with extern keys.

`encode(value)` returns a whole body (version byte 2 first).  Every body gets
its own extern-string table, so `Extern("id")` defines the string the first
time it is written in a body and refers back to it afterwards, exactly as
Solr does for field and entry names.  `Raw`, `End`, `vint` and `size_header`
are there for hand-built bodies that Solr would never write (forged counts,
dangling references, stray END markers, truncated payloads).

The marker defaults follow what Solr's own encoder writes (extern names,
SOLRDOC header as an ORDERED_MAP size byte, FLOAT document boost 1.0, the
four-item SolrDocumentList header), so descriptions of real responses can be
rebuilt byte for byte; `solr_int` and `solr_long` pick the integer form Solr
uses for a Java int or long.
"""

from __future__ import annotations

import math
import struct

__all__ = [
    # tag numbers
    "NULL", "BOOL_TRUE", "BOOL_FALSE", "BYTE", "SHORT", "DOUBLE", "INT", "LONG",
    "FLOAT", "DATE", "MAP", "SOLRDOC", "SOLRDOCLST", "BYTEARR", "ITERATOR",
    "END", "SOLRINPUTDOC", "MAP_ENTRY_ITER", "ENUM_FIELD_VALUE", "MAP_ENTRY",
    "TYPED_ARR", "STR", "SINT", "SLONG", "ARR", "ORDERED_MAP", "NAMED_LST",
    "EXTERN_STRING",
    # low-level helpers
    "vint", "size_header", "small_int",
    # markers
    "Null", "End", "Bool", "Byte", "Short", "Int", "SInt", "Long", "SLong",
    "Float", "Double", "Date", "Str", "Extern", "ExternRef", "Bytes", "Arr",
    "Iter", "Map", "NamedList", "OrderedMap", "MapEntryIter", "MapEntry",
    "EnumValue", "Doc", "InputDoc", "DocList", "TypedArr", "Raw",
    "solr_int", "solr_long",
    # writing
    "Writer", "encode", "wire",
]

# Group-0 tags: the whole byte is the tag.
NULL = 0x00
BOOL_TRUE = 0x01
BOOL_FALSE = 0x02
BYTE = 0x03
SHORT = 0x04
DOUBLE = 0x05
INT = 0x06
LONG = 0x07
FLOAT = 0x08
DATE = 0x09
MAP = 0x0A
SOLRDOC = 0x0B
SOLRDOCLST = 0x0C
BYTEARR = 0x0D
ITERATOR = 0x0E
END = 0x0F
SOLRINPUTDOC = 0x10
MAP_ENTRY_ITER = 0x11
ENUM_FIELD_VALUE = 0x12
MAP_ENTRY = 0x13
TYPED_ARR = 0x15

# Groups 1-7: the top three bits are the tag, the low five a size or number.
STR = 0x20
SINT = 0x40
SLONG = 0x60
ARR = 0x80
ORDERED_MAP = 0xA0
NAMED_LST = 0xC0
EXTERN_STRING = 0xE0

VERSION = 2


# ---------------------------------------------------------------------------
# Low-level encodings


def vint(n: int) -> bytes:
    """Unsigned varint: 7 bits per byte, low group first, 0x80 = more follows.

    Any non-negative size is accepted, also beyond 32 bits, so that oversized
    or wrapping counts can be forged.
    """
    if n < 0:
        raise ValueError(f"varint must be non-negative, got {n}")
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def size_header(base_tag: int, n: int) -> bytes:
    """Tag byte with a size in its low five bits; 31 and up spill into a varint."""
    if n < 0:
        raise ValueError(f"size must be non-negative, got {n}")
    if n < 31:
        return bytes([base_tag | n])
    return bytes([base_tag | 31]) + vint(n - 31)


def small_int(base_tag: int, n: int) -> bytes:
    """SINT/SLONG body: low four bits in the tag; from 15 up, 0x10 plus varint(n >> 4).

    Solr sets the continuation bit already for 15 (0x5F 0x00), and so do we.
    """
    if n < 0:
        raise ValueError(f"small int must be non-negative, got {n}")
    if n >= 0x0F:
        return bytes([base_tag | 0x10 | (n & 0x0F)]) + vint(n >> 4)
    return bytes([base_tag | n])


# ---------------------------------------------------------------------------
# Writer


class Writer:
    """Writes values into one body; owns that body's extern-string table."""

    def __init__(self) -> None:
        self.out = bytearray()
        self.externs: dict[str, int] = {}  # string -> 1-based table index
        self.extern_count = 0  # entries defined so far, including forced ones

    def write(self, value) -> "Writer":
        wire(value).write_to(self)
        return self

    def raw(self, data: bytes) -> None:
        self.out += data

    def body(self) -> bytes:
        return bytes([VERSION]) + bytes(self.out)


def encode(*values) -> bytes:
    """Body of version byte 2 followed by each value in turn (one extern table).

    Several values make a body with trailing data after the first one.
    """
    w = Writer()
    for v in values:
        w.write(v)
    return w.body()


# ---------------------------------------------------------------------------
# Markers


class Wire:
    """A value that knows how to write itself."""

    def write_to(self, w: Writer) -> None:  # pragma: no cover - abstract
        raise NotImplementedError

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"{type(self).__name__}({fields})"


class _Tag(Wire):
    """A payload-less single tag byte (NULL, END)."""

    def __init__(self, name: str, tag: int) -> None:
        self.name = name
        self.tag = tag

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([self.tag]))

    def __repr__(self) -> str:
        return self.name


Null = _Tag("Null", NULL)
"""NULL (0x00)."""

End = _Tag("End", END)
"""The END marker (0x0F), for hand-closing ITERATOR / MAP_ENTRY_ITER bodies."""


class Raw(Wire):
    """Bytes written verbatim (hand-crafted or deliberately broken fragments)."""

    def __init__(self, data: bytes) -> None:
        self.data = bytes(data)

    def write_to(self, w: Writer) -> None:
        w.raw(self.data)


class Bool(Wire):
    def __init__(self, v: bool) -> None:
        self.v = bool(v)

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([BOOL_TRUE if self.v else BOOL_FALSE]))


class _Fixed(Wire):
    tag = 0
    fmt = ""

    def __init__(self, v) -> None:
        self.v = v

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([self.tag]) + struct.pack(self.fmt, self.v))


class Byte(_Fixed):
    """BYTE: one signed byte."""
    tag, fmt = BYTE, ">b"


class Short(_Fixed):
    """SHORT: two bytes, big-endian signed."""
    tag, fmt = SHORT, ">h"


class Int(_Fixed):
    """INT (0x06): four bytes, big-endian signed."""
    tag, fmt = INT, ">i"


class Long(_Fixed):
    """LONG (0x07): eight bytes, big-endian signed."""
    tag, fmt = LONG, ">q"


class Date(_Fixed):
    """DATE: eight bytes, signed milliseconds since the epoch."""
    tag, fmt = DATE, ">q"


class Float(_Fixed):
    """FLOAT: IEEE binary32; the value is rounded to float32 when packed.

    NaN is written as 7fc00000, -0.0 keeps its sign.
    """
    tag, fmt = FLOAT, ">f"

    def write_to(self, w: Writer) -> None:
        v = float(self.v)
        data = b"\x7f\xc0\x00\x00" if math.isnan(v) else struct.pack(">f", v)
        w.raw(bytes([FLOAT]) + data)


class Double(_Fixed):
    """DOUBLE: IEEE binary64; NaN is written as 7ff8000000000000."""
    tag, fmt = DOUBLE, ">d"

    def write_to(self, w: Writer) -> None:
        v = float(self.v)
        data = b"\x7f\xf8\x00\x00\x00\x00\x00\x00" if math.isnan(v) else struct.pack(">d", v)
        w.raw(bytes([DOUBLE]) + data)


class SInt(Wire):
    """SINT (0x40..): a non-negative number in the tag plus varint.

    Negative values are written as their 32-bit two's-complement bit pattern,
    which a reader assembles back into the same negative int.
    """

    def __init__(self, v: int) -> None:
        self.v = v

    def write_to(self, w: Writer) -> None:
        w.raw(small_int(SINT, self.v & 0xFFFFFFFF if self.v < 0 else self.v))


class SLong(Wire):
    """SLONG (0x60..); negative values as their 64-bit bit pattern."""

    def __init__(self, v: int) -> None:
        self.v = v

    def write_to(self, w: Writer) -> None:
        w.raw(small_int(SLONG, self.v & 0xFFFFFFFFFFFFFFFF if self.v < 0 else self.v))


def solr_int(v: int) -> Wire:
    """A Java int as Solr writes it: SINT when > 0, else INT."""
    return SInt(v) if v > 0 else Int(v)


def solr_long(v: int) -> Wire:
    """A Java long as Solr writes it: SLONG when 0 <= v < 2**56, else LONG."""
    return SLong(v) if 0 <= v < (1 << 56) else Long(v)


class Str(Wire):
    """STR: size header (byte count of the UTF-8) and the bytes.

    `s` may also be `bytes`, written as-is (for invalid UTF-8).
    """

    def __init__(self, s) -> None:
        self.s = s

    def write_to(self, w: Writer) -> None:
        data = self.s if isinstance(self.s, bytes) else self.s.encode("utf-8")
        w.raw(size_header(STR, len(data)) + data)


class Extern(Wire):
    """EXTERN_STRING: defined on first use in the body, referenced afterwards.

    A definition is 0xE0, then the string with a STR size header; a reference
    is 0xE0 | index (1-based, 31 and up spill into a varint).  `redefine=True`
    writes a fresh definition even if the string is already in the table;
    later plain uses keep referring to the first entry.
    """

    def __init__(self, s, redefine: bool = False) -> None:
        self.s = s
        self.redefine = redefine

    def write_to(self, w: Writer) -> None:
        index = w.externs.get(self.s)
        if index is not None and not self.redefine:
            w.raw(size_header(EXTERN_STRING, index))
            return
        data = self.s if isinstance(self.s, bytes) else self.s.encode("utf-8")
        w.raw(bytes([EXTERN_STRING]) + size_header(STR, len(data)) + data)
        w.extern_count += 1
        w.externs.setdefault(self.s, w.extern_count)


class ExternRef(Wire):
    """An explicit reference to extern-table entry `index` (1-based), defined or not."""

    def __init__(self, index: int) -> None:
        self.index = index

    def write_to(self, w: Writer) -> None:
        w.raw(size_header(EXTERN_STRING, self.index))


class Bytes(Wire):
    """BYTEARR: varint length, then the bytes."""

    def __init__(self, b: bytes, count: int | None = None) -> None:
        self.b = bytes(b)
        self.count = count

    def write_to(self, w: Writer) -> None:
        n = len(self.b) if self.count is None else self.count
        w.raw(bytes([BYTEARR]) + vint(n) + self.b)


class Arr(Wire):
    """ARR (0x80 | size): `count` overrides the declared size."""

    def __init__(self, items=(), count: int | None = None) -> None:
        self.items = list(items)
        self.count = count

    def write_to(self, w: Writer) -> None:
        n = len(self.items) if self.count is None else self.count
        w.raw(size_header(ARR, n))
        for item in self.items:
            w.write(item)


class Iter(Wire):
    """ITERATOR: the values, then END (left out with `end=False`)."""

    def __init__(self, items=(), end: bool = True) -> None:
        self.items = list(items)
        self.end = end

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([ITERATOR]))
        for item in self.items:
            w.write(item)
        if self.end:
            w.raw(bytes([END]))


def _name(key) -> Wire:
    """An entry name as Solr writes it: str -> extern string, None -> NULL."""
    if key is None:
        return Null
    if isinstance(key, str):
        return Extern(key)
    return wire(key)


def _pairs(pairs):
    return list(pairs.items()) if isinstance(pairs, dict) else list(pairs)


class Map(Wire):
    """MAP: varint count, then key/value pairs.

    `str` keys are written as extern strings (Solr does so for String keys);
    other keys as ordinary values, so `Str("k")` gives a plain STR key.
    """

    def __init__(self, pairs=(), count: int | None = None) -> None:
        self.pairs = _pairs(pairs)
        self.count = count

    def write_to(self, w: Writer) -> None:
        n = len(self.pairs) if self.count is None else self.count
        w.raw(bytes([MAP]) + vint(n))
        for k, v in self.pairs:
            w.write(_name(k))
            w.write(v)


class NamedList(Wire):
    """NAMED_LST (0xC0 | size): names as extern strings, None as NULL."""

    tag = NAMED_LST

    def __init__(self, pairs=(), count: int | None = None) -> None:
        self.pairs = _pairs(pairs)
        self.count = count

    def write_to(self, w: Writer) -> None:
        n = len(self.pairs) if self.count is None else self.count
        w.raw(size_header(self.tag, n))
        for k, v in self.pairs:
            w.write(_name(k))
            w.write(v)


class OrderedMap(NamedList):
    """ORDERED_MAP (0xA0 | size), Solr's SimpleOrderedMap; same body as NAMED_LST."""

    tag = ORDERED_MAP


class MapEntryIter(Wire):
    """MAP_ENTRY_ITER: key/value pairs (str keys extern), then END."""

    def __init__(self, pairs=(), end: bool = True) -> None:
        self.pairs = _pairs(pairs)
        self.end = end

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([MAP_ENTRY_ITER]))
        for k, v in self.pairs:
            w.write(_name(k))
            w.write(v)
        if self.end:
            w.raw(bytes([END]))


class MapEntry(Wire):
    """MAP_ENTRY: key then value, both ordinary values (a str key is STR)."""

    def __init__(self, k, v) -> None:
        self.k = k
        self.v = v

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([MAP_ENTRY]))
        w.write(self.k)
        w.write(self.v)


class EnumValue(Wire):
    """ENUM_FIELD_VALUE: the int (as Solr writes an int) and the STR."""

    def __init__(self, i, s) -> None:
        self.i = i
        self.s = s

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([ENUM_FIELD_VALUE]))
        w.write(solr_int(self.i) if isinstance(self.i, int) and not isinstance(self.i, bool) else self.i)
        w.write(self.s)


class Doc(Wire):
    """SOLRDOC: header byte 0xA0 | (fields + children), names, then children.

    Field names are extern strings (pass a marker such as `Str(...)` or `Raw`
    to write something else); field values are ordinary values, so a child
    document under a field name is simply a `Doc` value.  `count` overrides
    the declared item count.
    """

    def __init__(self, fields=(), children=(), count: int | None = None) -> None:
        self.fields = _pairs(fields)
        self.children = list(children)
        self.count = count

    def write_to(self, w: Writer) -> None:
        n = len(self.fields) + len(self.children) if self.count is None else self.count
        w.raw(bytes([SOLRDOC]) + size_header(ORDERED_MAP, n))
        for name, value in self.fields:
            w.write(_name(name))
            w.write(value)
        for child in self.children:
            w.write(child)


class InputDoc(Wire):
    """SOLRINPUTDOC: varint count, document boost, names and values, children.

    `boost` is written as FLOAT when it is a number, otherwise as the value
    given (any marker).  `field_boosts` maps a field name to a boost (or a
    list of boosts) written as FLOAT before that field's name, the way Solr
    4.5 wrote index-time field boosts.
    """

    def __init__(self, fields=(), children=(), boost=1.0, field_boosts=None,
                 count: int | None = None) -> None:
        self.fields = _pairs(fields)
        self.children = list(children)
        self.boost = boost
        self.field_boosts = dict(field_boosts or {})
        self.count = count

    def write_to(self, w: Writer) -> None:
        n = len(self.fields) + len(self.children) if self.count is None else self.count
        w.raw(bytes([SOLRINPUTDOC]) + vint(n))
        is_number = isinstance(self.boost, (int, float)) and not isinstance(self.boost, bool)
        w.write(Float(self.boost) if is_number else self.boost)
        for name, value in self.fields:
            boosts = self.field_boosts.get(name, ()) if isinstance(name, str) else ()
            for b in boosts if isinstance(boosts, (list, tuple)) else (boosts,):
                w.write(Float(b))
            w.write(_name(name))
            w.write(value)
        for child in self.children:
            w.write(child)


class DocList(Wire):
    """SOLRDOCLST: header ARR [numFound, start, maxScore, numFoundExact], then ARR of docs.

    numFound and start are written as Solr writes a long, maxScore as FLOAT
    (NULL when None), numFoundExact as BOOL (NULL when None).  `header`
    replaces the whole header value (for example a three-item list as older
    Solr versions wrote, or a non-array), `docs` may be a list or any value.
    """

    def __init__(self, numFound: int = 0, start: int = 0, maxScore=None,
                 numFoundExact=None, docs=(), header=None) -> None:
        self.numFound = numFound
        self.start = start
        self.maxScore = maxScore
        self.numFoundExact = numFoundExact
        self.docs = docs
        self.header = header

    def write_to(self, w: Writer) -> None:
        w.raw(bytes([SOLRDOCLST]))
        if self.header is not None:
            w.write(self.header)
        else:
            w.write(Arr([
                solr_long(self.numFound),
                solr_long(self.start),
                Null if self.maxScore is None else Float(self.maxScore),
                Null if self.numFoundExact is None else Bool(self.numFoundExact),
            ]))
        w.write(Arr(self.docs) if isinstance(self.docs, (list, tuple)) else self.docs)


_TYPED = {
    1: (1, None), 2: (1, None), 3: (1, None), 4: (2, ">h"),
    5: (8, ">d"), 6: (4, ">i"), 7: (8, ">q"), 8: (4, ">f"),
}


class TypedArr(Wire):
    """TYPED_ARR: element type byte, varint count, fixed-width elements.

    `values` is either the raw element payload (`bytes`; the count is then
    the payload length divided by the element width, or `count`) or a list
    of Python values packed by the element type: bools for 1/2 (True as 1,
    False as 2), ints for 4/6/7, floats for 5/8, byte values for 3.
    """

    def __init__(self, elem_type: int, values, count: int | None = None) -> None:
        self.elem_type = elem_type
        self.values = values
        self.count = count

    def write_to(self, w: Writer) -> None:
        width, fmt = _TYPED.get(self.elem_type, (1, None))
        if isinstance(self.values, (bytes, bytearray)):
            payload = bytes(self.values)
            n = len(payload) // width
        else:
            n = len(self.values)
            if self.elem_type in (1, 2):
                payload = bytes(1 if v else 2 for v in self.values)
            elif fmt is None:
                payload = bytes(self.values)
            else:
                payload = b"".join(struct.pack(fmt, v) for v in self.values)
        if self.count is not None:
            n = self.count
        w.raw(bytes([TYPED_ARR, self.elem_type]) + vint(n) + payload)


# ---------------------------------------------------------------------------
# Plain Python values


def wire(value) -> Wire:
    """The marker for a value: markers unchanged, plain Python values mapped."""
    if isinstance(value, Wire):
        return value
    if value is None:
        return Null
    if isinstance(value, bool):
        return Bool(value)
    if isinstance(value, int):
        if 0 <= value < (1 << 31):
            return SInt(value)
        if -(1 << 31) <= value < 0:
            return Int(value)
        return Long(value)
    if isinstance(value, float):
        return Double(value)
    if isinstance(value, str):
        return Str(value)
    if isinstance(value, (bytes, bytearray)):
        return Bytes(value)
    if isinstance(value, (list, tuple)):
        return Arr(value)
    if isinstance(value, dict):
        return NamedList(value)
    raise TypeError(f"no javabin form for {type(value).__name__}: {value!r}")
