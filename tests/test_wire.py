"""Wire-level decoding through the tree parser: every error kind, exact messages and offsets."""

import resource

import pytest

import velkora
from helpers import DEPTH, EOF, traced_peak
from javabin import Doc, DocList, EnumValue, InputDoc, Iter, Map, MapEntry, MapEntryIter, NamedList, Str, TypedArr, encode

VERSION = "invalid javabin version (expected 2, found {}); the data may not be in javabin format"
UTF8 = "invalid UTF-8 string at byte offset {}: invalid utf-8 sequence of {} bytes from index {}"
CUT = "invalid UTF-8 string at byte offset {}: incomplete utf-8 byte sequence from index {}"
END = "expected value at byte offset {}, found END marker"
TRAILING = "trailing data after decoded value: {} unread byte(s)"
LIST = "expected SolrDocumentList {} array at byte offset {}, found {}"
TAG = "unknown javabin tag byte 0x{} at byte offset {}"
KEY = "expected string or null at byte offset {}, found {}"
ITEM = "expected field name (string) or child SolrDocument at byte offset {}, found {}"


@pytest.fixture(params=[velkora._bench_parse_only, velkora.deserialize_json], ids=["parse_only", "json"])
def parse(request):
    return request.param


def raises_exactly(parse, data, message):
    exc = pytest.raises(ValueError, parse, data)
    assert type(exc.value) is velkora.DecodeError and exc.value.args == (message,)


def nested(depth, inner):
    return b"\x02" + b"\x81" * depth + bytes.fromhex(inner)


def cases(message, *rows):  # (body, message) for each row: a body, then what its message names
    return [(hexbody, message.format(*named)) for hexbody, *named in rows]


@pytest.mark.parametrize("hexbody, message", [
    # missing input, cut fixed-width payloads (offset of the payload's first byte)
    *cases(EOF, ("", 0), ("02", 1), ("0281", 2), ("0203", 2), ("020400", 2), ("0205" + "00" * 7, 2), ("0206000000", 2),
           ("0207" + "00" * 7, 2), ("0208000000", 2), ("0209" + "00" * 7, 2), ("0282410600", 4), ("02150601000000", 4),
           ("021506020000000100", 8), ("0215030561", 4), ("021509", 3)),
    # varints: none at all -> current position, cut inside -> input length
    *cases(EOF, ("020d", 2), ("020a80", 3), ("023f8080", 4), ("025f80", 3), ("027f808080", 5), ("0210ff", 3),
           ("02e0", 2), ("02e03f80", 4)),
    # strings and byte arrays longer than the input -> their first byte
    *cases(EOF, ("02236162", 2), ("020d0561", 3), ("02e0236162", 3), ("023f0061", 3)),
    # extern references beyond the table -> just after the size, even with input left
    *cases(EOF, ("0282e200", 3), ("0283e02161e200", 6), ("0282ff0000", 4), ("02e1", 2)),
    *cases(VERSION, ("01", 1), ("ff00", 255), ("0000", 0)),
    # unknown tags, zero-padded lowercase hex; typed-array element types checked even for count 0
    *cases(TAG, ("0214", "14", 1), ("0216", "16", 1), ("021f", "1f", 1), ("02811a", "1a", 2), ("02150000", "00", 2),
           ("02150900", "09", 2), ("0215ff0100", "ff", 2), ("0282001509020000", "09", 4)),
    # END marker where a value is required, at the END byte
    *cases(END, ("020f", 1), ("02810f", 2), ("02c1000f", 3), ("02c10f00", 2), ("020a010f", 3), ("021121610f", 4),
           ("02130f00", 2), ("0212410f", 3), ("020c0f80", 2)),
    # named-list keys: offset of the key's first byte
    *cases(KEY, ("02c10600000001" + "00", 2, "int"), ("02a22161004100", 5, "int"), ("02c1010000", 2, "bool"),
           ("02c1030100", 2, "byte"), ("02c104000100", 2, "short"), ("02c16000", 2, "long"),
           ("02c1083f80000000", 2, "float"), ("02c105" + "00" * 10, 2, "double"), ("02c109" + "00" * 10, 2, "date"),
           ("02c10d0000", 2, "bytes"), ("02c115030000", 2, "bytes"), ("02c18000", 2, "array"),
           ("02c10e0f00", 2, "array"), ("02c10a0000", 2, "map"), ("02c113000000", 2, "map"),
           ("02c1c000", 2, "named list"), ("02c112000000", 2, "named list"), ("02c10ba000", 2, "solr document"),
           ("02c10c808000", 2, "solr document list")),
    # document items: offset just after the item; a second float before a field name is an item
    *cases(ITEM, ("020ba141", 4, "int"), ("020ba100", 4, "null"), ("020ba280", 4, "array"),
           ("020ba1c0", 4, "named list"), ("0210010041", 5, "int"), ("021001" + "083f800000" * 3, 18, "float")),
    *cases(LIST, ("020c0080", "header", 3, "null"), ("020cc080", "header", 3, "named list"), ("020c8041", "docs", 4, "int"),
           ("020c800a00", "docs", 5, "map"), ("020c800ba0", "docs", 5, "solr document")),
    *cases(TRAILING, ("020000", 1), ("0280000f0f", 3), ("02112161000f0f", 1)),
])
def test_decode_errors(parse, hexbody, message):
    raises_exactly(parse, bytes.fromhex(hexbody), message)


DECODERS = [velkora._bench_parse_only, velkora.deserialize_json, velkora.deserialize, velkora._deserialize_safe]


@pytest.mark.parametrize("decode", DECODERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("hexbody, message", [
    # the length of the maximal invalid subpart, or a sequence cut by the end of the string
    *cases(UTF8, ("0222c328", 2, 1, 0), ("022461e28228", 2, 2, 1), ("0224f09f9828", 2, 3, 0), ("0222c080", 2, 1, 0),
           ("0223eda080", 2, 1, 0), ("0224f4908080", 2, 1, 0), ("022361f561", 2, 1, 1), ("022280ff", 2, 1, 0),
           ("0222e080", 2, 1, 0), ("02e022c328", 3, 1, 0)),
    *cases(CUT, ("0221c3", 2, 0), ("02246162e282", 2, 2), ("0223f09f98", 2, 0),
           ("0282003f00" + "61" * 30 + "c3", 5, 30)),
    # field names, and extern strings defined as names
    *cases(UTF8, ("020ba1e022c32800", 5, 1, 0), ("020ba1e02161e022c328", 8, 1, 0), ("02c1e022808000", 4, 1, 0)),
])
def test_invalid_utf8_alike_on_every_path(decode, hexbody, message):
    raises_exactly(decode, bytes.fromhex(hexbody), message)


@pytest.mark.parametrize("data, message", cases(
    DEPTH, (nested(128, "00"), 129), (nested(127, "0e0f"), 129),  # END read at depth 129
    (nested(127, "110f"), 129), (nested(127, "120000"), 129), (nested(127, "130000"), 129),
    (nested(127, "0c8080"), 129), (nested(127, "100000"), 130), (nested(127, "c1"), 129), (nested(100_000, "00"), 129),
    (b"\x02" + b"\xc1\x00" * 200, 256),
))
def test_depth_exceeded(parse, data, message):
    raises_exactly(parse, data, message)


@pytest.mark.parametrize("depth, inner, count", [
    (127, "00", 128), (126, "0e0f", 127), (127, "80", 128), (127, "0a00", 128), (127, "c0", 128),
    (127, "a0", 128), (127, "0ba0", 128), (127, "1502020102", 130), (127, "150300", 128),
])
def test_deepest_accepted_nesting(depth, inner, count):
    data = nested(depth, inner)
    assert velkora._bench_parse_only(data) == count
    assert velkora.deserialize_json(data).endswith("]" * depth)


@pytest.mark.parametrize("data, count", [
    (bytes.fromhex("0200"), 1), (bytes.fromhex("0280"), 1), (bytes.fromhex("02c0"), 1),
    (bytes.fromhex("02c22161412162820100"), 7), (bytes.fromhex("0282e023616263e1"), 3),
    (encode(NamedList([("a", "x"), ("b", "y")])), 5), (encode(NamedList([(None, "x"), ("b", "y")])), 5),
    (encode(Map([(1, 2)])), 3), (encode(Map([([1, 2], None)])), 5), (encode(Doc([("id", "1")], [Doc([("id", "2")])])), 6),
    (encode(DocList(99, 5, 1.5, True, [Doc([("a", 1), ("b", 2), ("c", 3)])] * 2)), 15),
    (encode(EnumValue(3, Str("high"))), 5), (encode(TypedArr(6, [1, 2, 3])), 4), (encode(TypedArr(3, b"abc")), 1),
    (encode(Iter([1, [2]])), 4), (encode(MapEntryIter([("a", 1)])), 3), (encode(MapEntry("k", [1])), 4),
    (encode(InputDoc([("a", 1)], [InputDoc([("b", 2)])])), 6),
])
def test_node_count(data, count):
    assert velkora._bench_parse_only(data) == count


@pytest.mark.parametrize("hexbody, text", [
    ("023f808080808001" + "61" * 39, '"' + "a" * 39 + '"'),  # the sixth varint byte lands at bit 3 (35 mod 32)
    ("025fffffffff0f", "-1"), ("0245", "5"), ("025f01", "31"), ("02708001", "2048"), ("027fffffffffffffffffff01", "-1"),
    ("02e083616263", '"abc"'), ("0282e023616263e1", '["abc","abc"]'), ("02150203010200", "[true,false,true]"),
])
def test_wire_forms(hexbody, text):
    assert velkora.deserialize_json(bytes.fromhex(hexbody)) == text


FORGED = [  # huge declared counts followed by almost nothing
    ("029fa1843d000000", 8), ("029fffffffff0f00", 8), ("02dfffffffff0f00", 8), ("02bfffffffff0f00", 8),
    ("020affffffff0f00", 8), ("020dffffffff0f", 7), ("023fffffffff0f", 7), ("021507ffffffff0f", 8),
    ("0210ffffffff0f00", 8), ("020bbfffffffff0f", 8), ("02e03fffffffff0f", 8), ("021501ffffffff0f0102", 10),
    ("021503ffffffff0f01", 8), ("021504ffffffff0f" + "00" * 65, 72),
]


@pytest.mark.parametrize("decode", DECODERS, ids=lambda f: f.__name__)
def test_forged_counts_fail_fast_without_large_allocation(decode):
    # A count of 2**32 elements must fail where the input runs out, without sizing a tree or a list by it.
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    _, peak = traced_peak(lambda: [raises_exactly(decode, bytes.fromhex(hexbody), EOF.format(offset))
                                   for _ in range(200) for hexbody, offset in FORGED])
    assert peak < 1 << 20
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 50 * 1024  # KiB
