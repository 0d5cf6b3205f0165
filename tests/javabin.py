"""A small javabin writer for test bodies: each marker class writes one wire form, plain values the obvious one
(`wire`). Names are written as Solr writes them, so described Solr responses rebuild byte for byte; `Raw`,
`ExternRef` and the `count`/`end` overrides forge what Solr never writes."""

from __future__ import annotations

import struct

# Group-0 tags are the whole byte; in groups 1-7 the top three bits are the tag, the low five a size or number.
(NULL, BOOL_TRUE, BOOL_FALSE, BYTE, SHORT, DOUBLE, INT, LONG, FLOAT, DATE, MAP, SOLRDOC, SOLRDOCLST, BYTEARR,
 ITERATOR, END, SOLRINPUTDOC, MAP_ENTRY_ITER, ENUM_FIELD_VALUE, MAP_ENTRY) = range(0x14)
TYPED_ARR = 0x15
STR, SINT, SLONG, ARR, ORDERED_MAP, NAMED_LST, EXTERN_STRING = range(0x20, 0x100, 0x20)


def vint(n: int) -> bytes:
    """Unsigned varint, low seven bits first; any size, so that oversized counts can be forged."""
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


def size_header(tag: int, n: int) -> bytes:
    """The tag with a size in its low five bits; from 31 up the rest follows as a varint."""
    return bytes([tag | n]) if n < 31 else bytes([tag | 31]) + vint(n - 31)


def small_int(tag: int, n: int) -> bytes:
    """SINT/SLONG: low four bits in the tag; from 15 up (as Solr does) also 0x10 and varint(n >> 4)."""
    return bytes([tag | 0x10 | (n & 0x0F)]) + vint(n >> 4) if n >= 0x0F else bytes([tag | n])


class Writer:
    """A body being written: version byte 2, then values sharing one extern-string table."""

    def __init__(self) -> None:
        self.out = bytearray([2])
        self.externs: dict[str, int] = {}  # string -> 1-based table index

    def write(self, *values) -> None:
        for value in values:
            wire(value).write_to(self)


def encode(*values) -> bytes:
    """A whole body holding the values in turn (more than one leaves trailing data)."""
    w = Writer()
    w.write(*values)
    return bytes(w.out)


class Wire:
    """A marker: a value that writes itself."""

    def __repr__(self) -> str:
        return f"{type(self).__name__}({', '.join(f'{k}={v!r}' for k, v in vars(self).items())})"


class _Scalar(Wire):
    """A one-value marker; the fixed-width ones below pack it big-endian after their tag."""

    def __init__(self, v) -> None:
        self.v = v

    def write_to(self, w: Writer) -> None:
        w.out += struct.pack(self.fmt, self.tag, self.v)


class Raw(_Scalar):
    """Bytes written verbatim."""

    def write_to(self, w: Writer) -> None:
        w.out += self.v


Null = Raw(bytes([NULL]))


def Bool(v) -> Raw:
    return Raw(bytes([BOOL_TRUE if v else BOOL_FALSE]))


def ExternRef(index: int) -> Raw:
    """A reference to extern-table entry `index` (1-based), defined or not."""
    return Raw(size_header(EXTERN_STRING, index))


def Str(s: str) -> Raw:
    data = s.encode("utf-8")
    return Raw(size_header(STR, len(data)) + data)


def Bytes(b: bytes) -> Raw:
    return Raw(bytes([BYTEARR]) + vint(len(b)) + bytes(b))


# Fixed-width values; FLOAT rounds to binary32.
Byte, Short, Int, Long, Float, Double, Date = (
    type(name, (_Scalar,), {"tag": tag, "fmt": ">B" + fmt}) for name, tag, fmt in [
        ("Byte", BYTE, "b"), ("Short", SHORT, "h"), ("Int", INT, "i"), ("Long", LONG, "q"),
        ("Float", FLOAT, "f"), ("Double", DOUBLE, "d"), ("Date", DATE, "q")])


class SInt(_Scalar):
    """SINT: the number in the tag and a varint; a negative value as its 32-bit pattern."""
    tag, bits = SINT, 32

    def write_to(self, w: Writer) -> None:
        w.out += small_int(self.tag, self.v if self.v >= 0 else self.v + (1 << self.bits))


class SLong(SInt):
    tag, bits = SLONG, 64


def solr_int(v: int) -> Wire:
    """A Java int as Solr writes it: SINT when > 0, else INT."""
    return SInt(v) if v > 0 else Int(v)


def solr_long(v: int) -> Wire:
    """A Java long as Solr writes it: SLONG when 0 <= v < 2**56, else LONG."""
    return SLong(v) if 0 <= v < (1 << 56) else Long(v)


class Extern(_Scalar):
    """EXTERN_STRING: a definition (0xE0, then as STR) on first use in a body, a reference (0xE0 | index) after."""

    def write_to(self, w: Writer) -> None:
        if self.v in w.externs:
            w.out += size_header(EXTERN_STRING, w.externs[self.v])
        else:
            w.externs[self.v] = len(w.externs) + 1
            w.write(Raw(bytes([EXTERN_STRING])), Str(self.v))


def _items(items) -> list:
    return list(items.items()) if isinstance(items, dict) else list(items)


def _name(key) -> Wire:
    """An entry name as Solr writes it: str -> extern string, None -> NULL, anything else as a value."""
    return Extern(key) if isinstance(key, str) else wire(key)


class Arr(Wire):
    """ARR (0x80 | size), then the items; `count` overrides the declared size."""
    tag, size, pairs = ARR, "in tag", False

    def __init__(self, items=(), count: int | None = None, end: bool = True) -> None:
        self.items = _items(items)
        self.count, self.end = count, end

    def write_to(self, w: Writer) -> None:
        n = len(self.items) if self.count is None else self.count
        w.out += size_header(self.tag, n) if self.size == "in tag" else bytes([self.tag])
        if self.size == "varint":
            w.out += vint(n)
        for item in self.items:
            w.write(*((_name(item[0]), item[1]) if self.pairs else (item,)))
        if self.size == "END" and self.end:
            w.out.append(END)


# The other containers: how the size is given ("END": closed by END, left out with end=False), and
# whether the items are (name, value) pairs, a dict giving them in order.
Iter, NamedList, OrderedMap, Map, MapEntryIter = (
    type(name, (Arr,), {"tag": tag, "size": size, "pairs": pairs}) for name, tag, size, pairs in [
        ("Iter", ITERATOR, "END", False), ("NamedList", NAMED_LST, "in tag", True),
        ("OrderedMap", ORDERED_MAP, "in tag", True), ("Map", MAP, "varint", True),
        ("MapEntryIter", MAP_ENTRY_ITER, "END", True)])


class MapEntry(Wire):
    """MAP_ENTRY: key then value, both ordinary values (a str key is a STR)."""
    tag = MAP_ENTRY

    def __init__(self, k, v) -> None:
        self.k, self.v = k, v

    def write_to(self, w: Writer) -> None:
        w.out.append(self.tag)
        w.write(self.k, self.v)


class EnumValue(MapEntry):
    """ENUM_FIELD_VALUE: the int (as Solr writes an int) and the STR."""
    tag = ENUM_FIELD_VALUE

    def __init__(self, i, s) -> None:
        super().__init__(solr_int(i) if type(i) is int else i, s)


class Doc(Wire):
    """SOLRDOC: an ORDERED_MAP size byte counting fields and children, the fields, then the children."""

    def __init__(self, fields=(), children=()) -> None:
        self.fields, self.children = _items(fields), list(children)

    def write_to(self, w: Writer) -> None:
        w.out.append(SOLRDOC)
        w.write(OrderedMap(self.fields, len(self.fields) + len(self.children)), *self.children)


class InputDoc(Doc):
    """SOLRINPUTDOC: varint count, the boost (FLOAT unless a marker), then for each field its `field_boosts`
    (one or a list, as FLOATs the way Solr 4.5 wrote them), name and value, then the children."""

    def __init__(self, fields=(), children=(), boost=1.0, field_boosts=None) -> None:
        super().__init__(fields, children)
        self.boost, self.field_boosts = boost, field_boosts or {}

    def write_to(self, w: Writer) -> None:
        w.out += bytes([SOLRINPUTDOC]) + vint(len(self.fields) + len(self.children))
        w.write(self.boost if isinstance(self.boost, Wire) else Float(self.boost))
        for name, value in self.fields:
            boosts = self.field_boosts.get(name, [])
            w.write(*map(Float, boosts if isinstance(boosts, (list, tuple)) else [boosts]), _name(name), value)
        w.write(*self.children)


class DocList(Wire):
    """SOLRDOCLST: header [numFound, start, maxScore, numFoundExact] (or `header` in its place), then the docs."""

    def __init__(self, numFound=0, start=0, maxScore=None, numFoundExact=None, docs=(), header=None) -> None:
        self.numFound, self.start, self.maxScore, self.numFoundExact = numFound, start, maxScore, numFoundExact
        self.docs, self.header = docs, header

    def write_to(self, w: Writer) -> None:
        header = self.header if self.header is not None else [
            solr_long(self.numFound), solr_long(self.start),
            None if self.maxScore is None else Float(self.maxScore), self.numFoundExact]
        w.out.append(SOLRDOCLST)
        w.write(header, self.docs)


_ELEMENT = {4: ">h", 5: ">d", 6: ">i", 7: ">q", 8: ">f"}  # other element types are one byte wide


class TypedArr(Wire):
    """TYPED_ARR: element type, varint count, elements.  `values` is the raw payload (bytes) or a list packed
    by the type: bools for 1/2 (True as 1, False as 2), ints for 3/4/6/7, floats for 5/8."""

    def __init__(self, elem_type: int, values, count: int | None = None) -> None:
        self.elem_type, self.values, self.count = elem_type, values, count

    def write_to(self, w: Writer) -> None:
        fmt = _ELEMENT.get(self.elem_type, ">B")
        if isinstance(self.values, bytes):
            payload, n = self.values, len(self.values) // struct.calcsize(fmt)
        else:
            values = [1 if v else 2 for v in self.values] if self.elem_type in (1, 2) else self.values
            payload, n = b"".join(struct.pack(fmt, v) for v in values), len(values)
        w.out += bytes([TYPED_ARR, self.elem_type]) + vint(n if self.count is None else self.count) + payload


_PLAIN = [(type(None), lambda _: Null), (bool, Bool), (float, Double), (str, Str), ((bytes, bytearray), Bytes),
          ((list, tuple), Arr), (dict, NamedList)]


def wire(value) -> Wire:
    """The marker for a value: markers as they are, plain Python values mapped."""
    if isinstance(value, Wire):
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return SInt(value) if 0 <= value < 1 << 31 else Int(value) if -(1 << 31) <= value < 0 else Long(value)
    for types, marker in _PLAIN:
        if isinstance(value, types):
            return marker(value)
    raise TypeError(f"no javabin form for {type(value).__name__}: {value!r}")


def nested(inner, levels: int, make=lambda x: Arr([x])):
    """`inner` wrapped `levels` times by `make` (in an ARR unless told)."""
    for _ in range(levels):
        inner = make(inner)
    return inner
