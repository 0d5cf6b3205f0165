"""What the start of a javabin answer says before its documents.

The chunk-fed decoders find the documents but keep the envelope to themselves. The HTTP routes need a few of its
entries while the documents are still arriving: the response header's ``status`` and ``partialResults``, and
``numFound`` and ``start``, all written before the documents by /select, /export and /stream. `read_envelope`
reads the bytes received so far up to the first document and reports them; it is pure Python, so it only ever
walks the envelope, which is small.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any

__all__ = ["Envelope", "NeedMore", "Unreadable", "read_envelope"]

MAX_DEPTH = 64  # an envelope nests a few levels; deeper is not Solr's


class NeedMore(Exception):
    """The bytes end before the documents begin."""


class Unreadable(Exception):
    """The envelope holds something this reader does not walk (the decoder reports what is wrong, if anything)."""


@dataclass
class Envelope:
    """The envelope up to the documents.

    shape: "select" (a document list), "export" (a map holding ``numFound`` and ``docs``), "stream" (a
    ``result-set``), or "other" (no documents where the decoders look for them).
    """

    shape: str
    header: dict[str, Any]
    num_found: int | None = None
    start: int | None = None

    @property
    def status(self) -> int:
        status = self.header.get("status", 0)
        return status if isinstance(status, int) and not isinstance(status, bool) else 0

    @property
    def partial(self) -> bool:
        return self.header.get("partialResults") is True


_END = object()  # the END marker, which closes iterators and map entry iterators


class _Reader:
    def __init__(self, data: bytes | bytearray) -> None:
        self.data, self.at, self.externs = data, 0, []  # type: ignore[var-annotated]

    def byte(self) -> int:
        if self.at >= len(self.data):
            raise NeedMore
        self.at += 1
        return self.data[self.at - 1]

    def take(self, n: int) -> bytes:
        if self.at + n > len(self.data):
            raise NeedMore
        self.at += n
        return bytes(self.data[self.at - n:self.at])

    def vint(self) -> int:
        value, shift = 0, 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            if b < 0x80:
                return value
            shift += 7
            if shift > 63:
                raise Unreadable

    def size(self, tag: int) -> int:
        low = tag & 0x1F
        return low + self.vint() if low == 31 else low

    def text(self, tag: int) -> str:
        return self.take(self.size(tag)).decode("utf-8", "replace")

    def value(self, depth: int = 0) -> Any:
        if depth > MAX_DEPTH:
            raise Unreadable
        tag = self.byte()
        group = tag >> 5
        if group == 1:
            return self.text(tag)
        if group in (2, 3):  # SINT, SLONG: the low four bits, and a varint above them when 0x10 is set
            value = (self.vint() << 4 | tag & 0x0F) if tag & 0x10 else tag & 0x0F
            bits = 32 if group == 2 else 64
            value &= (1 << bits) - 1
            return value - (1 << bits) if value >> (bits - 1) else value
        if group == 4:
            return [self.value(depth + 1) for _ in range(self.size(tag))]
        if group in (5, 6):
            return {self.value(depth + 1): self.value(depth + 1) for _ in range(self.size(tag))}
        if group == 7:  # an extern string: 0 defines the next one, n refers to the n-th
            index = self.size(tag)
            if index == 0:
                self.externs.append(self.text(self.byte()))
                return self.externs[-1]
            if index > len(self.externs):
                raise Unreadable
            return self.externs[index - 1]
        fixed = {3: ">b", 4: ">h", 5: ">d", 6: ">i", 7: ">q", 8: ">f", 9: ">q"}.get(tag)
        if fixed is not None:
            return struct.unpack(fixed, self.take(struct.calcsize(fixed)))[0]
        if tag <= 2:
            return (None, True, False)[tag]
        if tag == 0x0A:  # MAP
            return {self.value(depth + 1): self.value(depth + 1) for _ in range(self.vint())}
        if tag == 0x0D:  # BYTEARR
            return self.take(self.vint())
        if tag == 0x0E:  # ITERATOR
            items = []
            while (item := self.value(depth + 1)) is not _END:
                items.append(item)
            return items
        if tag == 0x0F:
            return _END
        if tag == 0x11:  # MAP_ENTRY_ITER
            entries = {}
            while (key := self.value(depth + 1)) is not _END:
                entries[key] = self.value(depth + 1)
            return entries
        if tag in (0x12, 0x13):  # ENUM_FIELD_VALUE, MAP_ENTRY: two values
            return [self.value(depth + 1), self.value(depth + 1)]
        raise Unreadable  # documents, typed arrays: never in the part of an envelope read here

    def entries(self, tag: int) -> Any:
        """The (key, value-reader) loop of a map-like container: yields each key, the caller reads its value."""
        if 0xA0 <= tag < 0xE0:
            for _ in range(self.size(tag)):
                yield self.value(1)
        elif tag == 0x0A:
            for _ in range(self.vint()):
                yield self.value(1)
        elif tag == 0x11:
            while (key := self.value(1)) is not _END:
                yield key
        else:
            raise Unreadable


def read_envelope(data: bytes | bytearray) -> Envelope:
    """The envelope of the answer starting `data`, up to its documents; raises `NeedMore` when `data` ends first,
    `Unreadable` for what this reader does not walk."""
    reader = _Reader(data)
    if reader.byte() != 2:
        raise Unreadable
    header: dict[str, Any] = {}
    for key in reader.entries(reader.byte()):
        if key == "responseHeader":
            value = reader.value(1)
            header = value if isinstance(value, dict) else {}
        elif key in ("response", "result-set"):
            return _response(reader, "stream" if key == "result-set" else "export", header)
        else:
            reader.value(1)
    return Envelope("other", header)


def _response(reader: _Reader, shape: str, header: dict[str, Any]) -> Envelope:
    tag = reader.byte()
    if tag == 0x0C:  # SOLRDOCLST: [numFound, start, maxScore, numFoundExact], then the documents
        head = reader.value(1)
        if not isinstance(head, list) or len(head) < 2:
            raise Unreadable
        return Envelope("select", header, _count(head[0]), _count(head[1]))
    num_found = None
    for key in reader.entries(tag):
        if key == "docs":
            return Envelope(shape, header, num_found)
        value = reader.value(1)
        if key == "numFound":
            num_found = _count(value)
    return Envelope("other", header)


def _count(value: object) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None
