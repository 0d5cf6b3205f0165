"""velkora.deserialize_arrow: conversions, routing, envelopes, refusals, threads, memory, Solr bodies."""

import functools
import gc
import math
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import arrow_expect as ax
import javabin as jb
import velkora
from arrow_expect import MISFIT, Mark, export, select, stream
from c_schema import CapsuleProvider, capsule
from descriptions import body as solr_body, load
from helpers import (DEPTH, EOF, corruptions, every_cut, failure, feed_all, in_fresh_python, needs_data, outcome,
                     stream_decoded, streamed)
from velkora import deserialize_arrow

BUILD = "failed to build Arrow RecordBatch: Invalid argument error: "
MISMATCH = BUILD + "column types must match schema types, expected "
UTF8_SEQ = "invalid UTF-8 string at byte offset {}: invalid utf-8 sequence of 1 bytes from index 0"
UTF8_CUT = "invalid UTF-8 string at byte offset {}: incomplete utf-8 byte sequence from index 1"
I32, I64, F32, F64, BOOL, UTF8, BIN, TS = (pa.int32(), pa.int64(), pa.float32(), pa.float64(), pa.bool_(), pa.utf8(),
                                           pa.binary(), pa.timestamp("ms"))
LIST = pa.list_
error = functools.partial(failure, deserialize_arrow)  # the message of the ValueError it raises


def fed(data, schema, sizes=None, batch_size=8192, **kw) -> pa.Table:
    """The rows of an ArrowStreamDecoder fed `data` in pieces of `sizes` (helpers.pieces), each batch of `schema`."""
    calls = feed_all(velkora.ArrowStreamDecoder(schema, batch_size, **kw), data, sizes)
    assert all(b.schema.equals(schema, check_metadata=True) for call in calls for b in call)
    return pa.Table.from_batches([b for call in calls for b in call], schema=schema)


# ---------------------------------------------------------------------------
# Conversions

F32_01 = 0.10000000149011612
SCALARS = [I32, I64, F32, F64, BOOL, UTF8, BIN, TS]
CONVERTED = [
    (jb.SInt(5), I32, 5), (jb.Byte(-128), I32, -128), (jb.Short(-32768), I32, -32768), (jb.Int(-2**31), I32, -2**31),
    (jb.Raw(jb.small_int(jb.SINT, 0xFFFFFFFF)), I32, -1), (jb.Long(-5), I32, -5), (jb.Long(2**31 - 1), I32, 2**31 - 1),
    (jb.Long(-2**31), I32, -2**31), (jb.SLong(7), I32, 7), (jb.Int(-3), I64, -3), (jb.Byte(-1), I64, -1),
    (jb.Raw(jb.small_int(jb.SINT, 0xFFFFFFFF)), I64, -1), (jb.Long(-2**63), I64, -2**63), (jb.SLong(2**60), I64, 2**60),
    (jb.Float(0.1), F32, F32_01), (jb.Double(0.1), F32, F32_01), (jb.Double(1e300), F32, math.inf),
    (jb.Double(-1e300), F32, -math.inf),
    (jb.Double(1 + 3 * 2**-24), F32, 1 + 2**-22),  # rounded to nearest (even), not truncated
    (jb.Double(3.4028235e38), F32, 3.4028234663852886e38), (jb.Double(1e-45), F32, 2**-149),
    (jb.Float(0.1), F64, F32_01), (jb.Double(0.1), F64, 0.1), (jb.Double(-0.0), F64, -0.0),
    (jb.Double(math.nan), F64, math.nan), (jb.Float(-math.inf), F64, -math.inf), (True, BOOL, True),
    (False, BOOL, False), ("héllo\0", UTF8, "héllo\0"), ("", UTF8, ""),
    (jb.Extern("defined here"), UTF8, "defined here"), (b"\x00\xff", BIN, b"\x00\xff"), (b"", BIN, b""),
    (jb.Long(-1), TS, -1), (jb.SLong(5), TS, 5), (jb.Date(1327731722134), TS, 1327731722134),
    (jb.Date(-2**63), TS, -2**63), ([jb.Byte(1), jb.Long(-2**31), None], LIST(I32), [1, -2**31, None]),
    ([jb.Int(-1), jb.Long(2**40)], LIST(I64), [-1, 2**40]), ([jb.Float(0.1), None], LIST(F64), [F32_01, None]),
    ([jb.Double(1e300), jb.Float(0.1)], LIST(F32), [math.inf, F32_01]), (["a", jb.Extern("b")], LIST(UTF8), ["a", "b"]),
    ([True, None, False], LIST(BOOL), [True, None, False]), ([jb.Date(3), jb.Long(-4)], LIST(TS), [3, -4]),
    # Only the first value of a multi-valued field is converted for a scalar column; the rest is read.
    ([5, "x", jb.Double(2.0)], I32, 5), (jb.Iter([jb.Date(5), True]), TS, 5),
    *[(None, t, None) for t in SCALARS + [LIST(t) for t in SCALARS if t != BIN]],
    # Routing: a scalar column takes the first of several values, a list column wraps a single one.
    *[case for value, scalar, items in [
        ([3, 4, 5], 3, [3, 4, 5]), ([], None, []), (7, 7, [7]), (jb.Iter([1, 2]), 1, [1, 2]), (jb.Iter([]), None, []),
        ([None, 2], None, [None, 2]), (jb.Iter([None, 2]), None, [None, 2])]
      for case in [(value, I64, scalar), (value, LIST(I64), items)]],
]


@pytest.mark.parametrize("children", ["skip", "explode"])
@pytest.mark.parametrize("value,t,expected", CONVERTED, ids=repr)
def test_conversions(value, t, expected, children):
    schema = pa.schema([("v", t), ("absent", t)])
    batch = deserialize_arrow(select([("v", value)], []), schema, children=children)
    assert batch.schema.equals(schema, check_metadata=True)
    ax.assert_same([ax.plain(c) for c in batch.columns], [[expected, None], [None, None]])


EXTERN = "inline value (unexpected extern-string reference)"
REJECTED = [
    (jb.SInt(1), F64, "float64"), (jb.Int(1), F32, "float32"), (jb.Long(1), F64, "float64"), ("1", I32, "int32"),
    ("x", I64, "int64"), (1, UTF8, "utf8"), (b"x", UTF8, "utf8"), ("x", BIN, "binary"), (True, I32, "int32"),
    (jb.SInt(1), BOOL, "boolean"), (jb.Double(1.0), BOOL, "boolean"), (jb.Date(0), I64, "int64"),
    (jb.Date(0), I32, "int32"), (jb.SInt(1), TS, "timestamp(ms)"), (jb.Float(1.0), TS, "timestamp(ms)"),
    ("2020-01-01", TS, "timestamp(ms)"), (1.5, I64, "int64"), (jb.Long(2**31), I32, "int32"),
    (jb.Long(-2**31 - 1), I32, "int32"), ([jb.SInt(1), "x"], LIST(I32), "list<int32>"),
    ("x", LIST(I32), "list<int32>"), ([1], LIST(UTF8), "list<utf8>"), ([jb.Float(1.0)], LIST(I64), "list<int64>"),
    ([jb.Long(2**31)], LIST(I32), "list<int32>"), ([jb.Int(1)], LIST(TS), "list<timestamp(ms)>"),
    ([1], LIST(BOOL), "list<boolean>"), ([1], LIST(F32), "list<float32>"), ([jb.Long(1)], LIST(F64), "list<float64>"),
    (jb.Iter(["x"]), LIST(I64), "list<int64>"), (["x", 1], I32, "int32"), (jb.Iter([1.5, 1]), I64, "int64"),
    (jb.Extern("v"), UTF8, EXTERN),  # "v" is the field name
    ([jb.Extern("v")], LIST(UTF8), EXTERN), (["a", jb.Extern("v")], UTF8, EXTERN),
]


@pytest.mark.parametrize("children", ["skip", "explode"])
@pytest.mark.parametrize("value,t,expected", REJECTED, ids=repr)
def test_rejected_values(value, t, expected, children):
    assert error(select([("v", value)]), pa.schema([("v", t)]), children=children) == MISFIT.format(expected)


CONTAINERS = [(v, "container") for v in (jb.NamedList([("a", 1)]), jb.OrderedMap([("a", 1)]), jb.Arr([1]))] + [
    (v, "container/other") for v in (jb.Map([("a", 1)]), jb.Doc([("a", 1)]), jb.DocList(), jb.Iter([1]),
                                     jb.MapEntryIter([]), jb.MapEntry(1, 2), jb.EnumValue(1, "x"), jb.TypedArr(6, [1]),
                                     *map(jb.Raw, [b"\x0f", b"\x10", b"\x14", b"\x16", b"\x1f"]))]
PLACES = {"value": lambda m: m, "first": lambda m: jb.Arr([m]), "later": lambda m: jb.Arr([1, m]),
          "iterated": lambda m: jb.Iter([m]), "list item": lambda m: jb.Iter([1, m])}
# Leaving out an ARR or ITERATOR as the field value itself (a multi-valued field) and an END closing an ITERATOR.
PLACED = [(value, found, place) for value, found in CONTAINERS for place in PLACES
          if not (place == "value" and type(value) in (jb.Arr, jb.Iter)
                  or place in ("iterated", "list item") and getattr(value, "v", None) == b"\x0f")]


@pytest.mark.parametrize("value,found,place", PLACED, ids=repr)
def test_container_where_a_scalar_belongs(value, found, place):
    mark = Mark(value)
    data = select([("v", PLACES[place](mark)), ("w", 1)])
    schema = pa.schema([("v", LIST(I64) if place == "list item" else I64)])
    assert error(data, schema) == f"expected scalar value at byte offset {mark.offset}, found {found}"


# ---------------------------------------------------------------------------
# Routing of field values

def test_absent_fields_and_duplicates():
    schema = pa.schema([("a", pa.int32()), ("a", pa.int64()), ("l", LIST(pa.utf8())), ("n", pa.utf8())])
    data = select([("a", 1), ("l", ["x", "y"]), ("a", 2), ("l", ["z"])], [("l", None), ("l", "w")], [])
    for children in ("skip", "explode"):
        batch = deserialize_arrow(data, schema, children=children)
        # The later of two same-named fields takes the values; a field named twice keeps its last value.
        assert [c.to_pylist() for c in batch.columns] == [[None] * 3, [2, None, None], [["z"], ["w"], None], [None] * 3]
    # Every occurrence is converted when met.
    assert error(select([("a", "x"), ("a", 2)]), schema) == MISFIT.format("int64")


SKIPPED = [
    jb.NamedList([("a", [1, {"b": None}]), (None, jb.Iter([jb.MapEntryIter([(1, 2)])]))]),
    jb.Map([(1, 2), (None, jb.Doc([("a", 1)])), (jb.Arr([]), jb.OrderedMap([("x", jb.Iter([]))]))]),
    jb.DocList(docs=[jb.Doc([("id", 1)], [jb.Doc()])]), jb.MapEntry(jb.Arr([]), 1), jb.EnumValue(1, "x"),
    jb.TypedArr(7, [1, 2]), jb.TypedArr(3, b"ab"), jb.TypedArr(1, b""), jb.Float(1.0), jb.Date(5), b"bytes",
    jb.Arr([jb.Raw(b"\x0e\x0f")] * 3), jb.MapEntryIter([("k", jb.Raw(b"\x0d\x00"))]),
    jb.Raw(b"\x22\xc3\x28"),  # a plain string's UTF-8 is not examined,
    jb.ExternRef(30),  # nor is a reference looked up,
    jb.NamedList([(jb.Int(3), 1), (jb.Arr([1]), 2)]),  # nor are key kinds
    jb.Raw(b"\x0f"),  # an END in value position is one byte
    jb.nested(None, 128),  # 128 levels below the field value
    jb.Doc([("id", 2)]), [jb.Doc([("id", 2)]), jb.Doc([("id", 3)])], jb.Iter([jb.Doc([("id", 2)])]),  # named children
]


@pytest.mark.parametrize("value", SKIPPED, ids=lambda v: repr(v)[:50])
def test_fields_outside_the_schema_are_skipped(value):
    data = select([("a", 1), ("junk", value), ("b", 2)], [("junk", value)])
    schema = pa.schema([("b", I64), ("a", I64), ("id", I64), ("_parent_id", I64), ("_depth", pa.int32()),
                        ("_child_field", UTF8)])
    for decoded in (deserialize_arrow(data, schema), fed(data, schema, [1])):  # metadata columns still filled
        assert [c.to_pylist() for c in decoded.columns] == [[2, None], [1, None], *[[None] * 2] * 2, [0, 0], [None] * 2]


def test_extern_strings_defined_in_values_keep_their_numbers():
    # "k" is defined as the value of "s" (so "k" later is a reference), "b" inside a skipped value.
    data = select([("s", jb.Extern("k")), ("k", 1), ("junk", jb.NamedList([("b", jb.Extern("c"))]))],
                  [("b", 2), ("k", 3), (jb.Extern("c"), 4)])
    schema = pa.schema([("s", UTF8), ("k", I64), ("b", I64), ("c", I64)])
    batch = deserialize_arrow(data, schema)
    assert [c.to_pylist() for c in batch.columns] == [["k", None], [1, 3], [None, 2], [None, 4]]


TAG = "unknown javabin tag byte 0x{:02x} at byte offset {{}}".format
SKIP_ERRORS = [  # value with its fault marked, message, offset from the mark
    (lambda m: jb.Arr([1, m(jb.Raw(b"\x16"))]), TAG(0x16), 0), (lambda m: m(jb.InputDoc([("a", 1)])), TAG(0x10), 0),
    (lambda m: jb.NamedList([("a", m(jb.Raw(b"\x14")))]), TAG(0x14), 0),
    (lambda m: jb.Map([(m(jb.Raw(b"\x1f")), 1)]), TAG(0x1f), 0), (lambda m: m(jb.TypedArr(0, b"")), TAG(0x00), 1),
    (lambda m: jb.Iter([m(jb.TypedArr(9, b"\x00"))]), TAG(0x09), 1),
    (lambda m: jb.Arr([m(jb.Raw(b"\xe0\x22\xc3\x28"))]), UTF8_SEQ, 2), (lambda m: jb.nested(m(None), 129), DEPTH, 0),
    (lambda m: jb.Arr([m(jb.Raw(b"\x0d\xff\xff\x03"))]), EOF, 4),
    (lambda m: jb.Arr([m(jb.Raw(b"\x3f\xff\xff\x03"))]), EOF, 4),
]


@pytest.mark.parametrize("children", ["skip", "explode"])
@pytest.mark.parametrize("build,message,delta", SKIP_ERRORS)
def test_hostile_values_outside_the_schema(build, message, delta, children):
    marks = []
    doc = Mark(jb.Doc([("a", 1), ("junk", build(lambda v: marks.append(Mark(v)) or marks[-1])), ("b", 2)]))
    data, schema, at = select(doc), pa.schema([("a", I64)]), marks[0].offset + delta
    assert error(data, schema, children=children) == message.format(at)
    # Found by the resumable walk too, fed a byte at a time; finish reports a cut document at the bytes it holds.
    walked = failure(fed, data, schema, [1], children=children)
    assert walked == message.format(len(data) - doc.offset if message == EOF else at - doc.offset)


# ---------------------------------------------------------------------------
# Envelopes

_docs = lambda *values: [jb.Doc([("a", v)]) for v in values]  # noqa: E731
_in = lambda *fields, top=jb.NamedList: jb.encode(top(list(fields)))  # noqa: E731  (a body of these fields)


ENVELOPES = [  # body, values of column "a"
    (select([("a", 1)], [("a", 2)]), [1, 2]), (export([("a", 1)], [("a", 2)]), [1, 2]),
    (stream([("a", 1)], [("a", 2)], [("EOF", True)]), [1, 2, None]),
    (_in(("response", jb.NamedList([("numFound", 1), ("docs", _docs(1))])), top=jb.OrderedMap), [1]),
    (_in(("response", jb.Map([("docs", [jb.OrderedMap([("a", 1)]), jb.NamedList([("a", 2)])])]))), [1, 2]),
    (_in(("response", jb.OrderedMap([("docs", jb.Iter(_docs(1, 2)))]))), [1, 2]),
    (_in((None, 0), ("x", jb.Raw(b"\x0f")), ("result-set", jb.NamedList([("docs", _docs(3))])), top=jb.MapEntryIter),
     [3]),
    (_in(("response", 5), ("result-set", jb.OrderedMap([("docs", _docs(3))]))), [3]),
    (_in(("response", jb.DocList(header=jb.SInt(3), docs=_docs(4)))), [4]),
    # Document size byte and extern-definition header: only their low five bits count.
    (_in(("response", jb.DocList(docs=jb.Arr([jb.Raw(b"\x0b\x41\xe0\x81a"), 5], count=1)))), [5]),
    # No documents: the first map or document list under "response"/"result-set" ends the search.
    (_in(("response", jb.NamedList([("x", 1)])), ("result-set", jb.NamedList([("docs", _docs(1))]))), []),
    (_in(("response", jb.OrderedMap([("docs", 5), ("docs", _docs(1))]))), []),
    (_in(("response", jb.DocList(docs=jb.Iter(_docs(1))))), []), (_in(("Response", jb.DocList(docs=_docs(1)))), []),
    (_in(("responseHeader", {"status": 0})), []), (_in(("response", jb.DocList(docs=_docs(1))), top=jb.Map), []),
    (jb.encode(_docs(1)), []), (select(), []),
    # Nothing after the documents is read.
    (select([("a", 1)]) + b"\x16\xff", [1]), (stream([("a", 1)])[:-2] + b"\x14", [1]),
    (_in(("response", jb.DocList(docs=_docs(1))), ("facets", jb.Raw(b"\x16"))), [1]),
]


@pytest.mark.parametrize("data,values", ENVELOPES)
def test_envelopes(data, values):
    schema = pa.schema([("a", I64), pa.field("b", LIST(UTF8), metadata={"k": "v"})], metadata={"s": "1"})
    batch = deserialize_arrow(data, schema)
    assert batch.schema.equals(schema, check_metadata=True)
    assert batch.to_pydict() == {"a": values, "b": [None] * len(values)}


NOT_DOC = "expected SolrDocument or map at byte offset {}, found other tag"
NAME = "expected field name (string or null) at byte offset {}, found other tag"
ITEM = "expected field name or child document at byte offset {}, found other tag"
ENVELOPE_ERRORS = [  # body builder marking a part, message, offset from the mark (None: the body's length)
    (lambda m: b"", EOF.format(0), None), (lambda m: b"\x02", EOF.format(1), None),
    (lambda m: stream([("a", 1)], end=False), EOF, None),
    (lambda m: _in(("response", jb.DocList(docs=jb.Arr(_docs(1), count=2)))), EOF, None),
    (lambda m: select(m(jb.Map([("a", 1)]))), NOT_DOC, 0), (lambda m: select([("a", 1)], m(None)), NOT_DOC, 0),
    (lambda m: export(m(jb.Str("a"))), NOT_DOC, 0), (lambda m: select([(m(None), 1)]), ITEM, 0),
    (lambda m: _in(("x", 1), (m(jb.Int(5)), 1)), NAME, 0),
    (lambda m: _in(("response", jb.Map([(m(jb.SInt(3)), 1)]))), NAME, 0),
    (lambda m: select([("a", 1), (m(jb.SInt(5)), 1)]), ITEM, 0), (lambda m: export([(m(jb.Arr(["a"])), 1)]), ITEM, 0),
    (lambda m: select([(m(jb.ExternRef(40)), 1)]), EOF, 2), (lambda m: export([("a", 1), ("b", "x")])[:-4], EOF, None),
    # Invalid UTF-8 in a value and in a field name, at the string's first byte.
    *[(lambda m, v=v, place=place: select([place(m(jb.Raw(v)))]), message, 1 + (v[0] == jb.EXTERN_STRING))
      for v, message in [(b"\x22\xc3\x28", UTF8_SEQ), (b"\xe0\x22\xc3\x28", UTF8_SEQ), (b"\x22\x61\xc3", UTF8_CUT)]
      for place in (lambda x: ("v", x), lambda x: (x, 1))],
]


@pytest.mark.parametrize("build,message,delta", ENVELOPE_ERRORS)
def test_envelope_errors(build, message, delta):
    mark = Mark(None)
    data = build(lambda value: setattr(mark, "value", value) or mark)
    offset = len(data) if delta is None else mark.offset + delta
    assert error(data, pa.schema([("a", I64), ("v", UTF8)])) == message.format(offset)


# ---------------------------------------------------------------------------
# Refused schemas and arguments

UNSUPPORTED_TYPE = "unsupported Arrow column type: "
UNSUPPORTED = [
    (pa.int16(), "Int16"), (pa.int8(), "Int8"), (pa.uint64(), "UInt64"), (pa.uint32(), "UInt32"),
    (pa.date32(), "Date32"), (pa.large_string(), "LargeUtf8"), (pa.null(), "Null"), (pa.float16(), "Float16"),
    (pa.large_binary(), "LargeBinary"), (pa.timestamp("s"), "Timestamp(s)"), (pa.timestamp("us"), "Timestamp(µs)"),
    (pa.timestamp("ns"), "Timestamp(ns)"), (pa.timestamp("ns", tz="UTC"), 'Timestamp(ns, "UTC")'),
    (pa.timestamp("s", tz="UTC"), 'Timestamp(s, "UTC")'), (LIST(pa.binary()), "List<Binary>"),
    (LIST(pa.int16()), "List<Int16>"), (pa.large_list(pa.int64()), "LargeList<Int64>"),
    # Only the start of the message is fixed for these.
    (pa.string_view(), ""), (pa.struct([("a", pa.int32())]), ""), (pa.dictionary(pa.int32(), pa.utf8()), ""),
    (pa.decimal128(5, 2), ""), (LIST(LIST(pa.int32())), ""), (pa.list_(pa.int32(), 2), ""),
]


@pytest.mark.parametrize("t,text", UNSUPPORTED, ids=str)
def test_unsupported_types(t, text):
    schema, prefix = pa.schema([("ok", I64), ("bad", t), ("worse", pa.uint8())]), UNSUPPORTED_TYPE
    message = error(select(), schema)
    assert failure(velkora.ArrowStreamDecoder, schema) == message
    assert message == prefix + text if text else message.startswith(prefix) and len(message) > len(prefix)


ROLE = 'unknown child_columns role {}; expected one of "parent_id", "depth", "child_field", "key"'
QUOTED = [("Explode", '"Explode"'), ("", '""'), ("a\tb", r'"a\tb"'), ('say "hi"', r'"say \"hi\""'),
          ("back\\slash", r'"back\\slash"'), ("nul\0", r'"nul\0"'), ("\x01", r'"\u{1}"'), ("\r\n", r'"\r\n"'),
          ("\x7f", r'"\u{7f}"'), ("\x85", r'"\u{85}"'), ("it's", '"it\'s"'), ("é", '"é"'), (" skip", '" skip"'),
          ("both", '"both"'), ("id", '"id"')]


@pytest.mark.parametrize("text,quoted", QUOTED)
def test_children_and_role_values_are_quoted(text, quoted):
    # Checked before the body or the schema's types are looked at, by ArrowStreamDecoder too.
    schema = pa.schema([("x", pa.uint8())])
    for refuse in (functools.partial(error, b""), functools.partial(failure, velkora.ArrowStreamDecoder)):
        assert refuse(schema, children=text) == f'children must be "skip" or "explode", not {quoted}'
        assert refuse(schema, child_columns={"depth": "d", text: "p"}) == ROLE.format(quoted)


def test_one_unknown_role_is_reported():
    message = error(select(), pa.schema([("a", I64)]), child_columns={"parent": "p", "level": "l"})
    assert message in (ROLE.format('"parent"'), ROLE.format('"level"'))


SCHEMA = pa.schema([("a", pa.int64())])
BODY = select([("a", 1)])
INT = "'int' object is not an instance of 'str'"
CONVERSIONS = [  # args, kwargs, message, parameter named in the note
    ((bytearray(BODY), SCHEMA), {"children": None}, "'bytearray' object is not an instance of 'bytes'", "data"),
    ((memoryview(BODY), SCHEMA), {}, "'memoryview' object is not an instance of 'bytes'", "data"),
    ((None, [("a", 1)]), {}, "'None' is not an instance of 'bytes'", "data"),
    ((BODY, [("a", 1)]), {"children": None}, "Expected instance of pyarrow.lib.Schema, got list", "schema"),
    ((BODY, "a: int64"), {}, "Expected instance of pyarrow.lib.Schema, got str", "schema"),
    ((BODY, None), {}, "Expected instance of pyarrow.lib.Schema, got NoneType", "schema"),
    ((BODY, SCHEMA), {"children": None, "child_columns": 1}, "'None' is not an instance of 'str'", "children"),
    ((BODY, SCHEMA), {"children": b"skip"}, "'bytes' object is not an instance of 'str'", "children"),
    *[((BODY, SCHEMA), {"child_columns": roles}, message, "child_columns") for roles, message in [
        ({"depth": 1}, INT), ({1: "d"}, INT), ({"depth": None}, "'None' is not an instance of 'str'"),
        ([("depth", "d")], "'list' object is not an instance of 'dict'")]],
]


@pytest.mark.parametrize("args,kwargs,message,param", CONVERSIONS)
def test_argument_conversion(args, kwargs, message, param):
    info = pytest.raises(TypeError, lambda: deserialize_arrow(*args, **kwargs))
    assert type(info.value) is TypeError and str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_accepted_argument_forms():
    sub = lambda base, value: type("Sub", (base,), {})(value)
    batch = deserialize_arrow(data=sub(bytes, BODY), schema=SCHEMA, children=sub(str, "explode"),
                              child_columns=sub(dict, {"depth": "a"}))
    assert batch.column(0).to_pylist() == [0]  # "a" now holds the depth, so the document's "a" is skipped
    assert deserialize_arrow(BODY, SCHEMA, child_columns=None).column(0).to_pylist() == [1]
    assert deserialize_arrow.__text_signature__ == '(data, schema, *, children="skip", child_columns=None)'


# ---------------------------------------------------------------------------
# Schema objects

def like(result):
    """Another Arrow library's schema: its __arrow_c_schema__ returns what `result()` does."""
    return CapsuleProvider(SimpleNamespace(capsule=result))


CAPSULE = "Expected __arrow_c_schema__ to return a arrow_schema capsule."


@pytest.mark.parametrize("result,message,cause", [  # cause: its TypeError's text, "" any exception, None unchecked
    (lambda: {"a": 1}, CAPSULE.replace("arrow_schema ", ""), "'dict' object is not an instance of 'PyCapsule'"),
    (lambda: capsule(id(BODY), b"arrow_array"), CAPSULE, ""), (lambda: capsule(id(BODY), None), CAPSULE, ""),
    (lambda: (_ for _ in ()).throw(RuntimeError("boom")), "boom", None),  # the object's own error goes through
])
def test_objects_with_a_broken_capsule_protocol(result, message, cause):
    info = pytest.raises(RuntimeError if cause is None else TypeError, lambda: deserialize_arrow(BODY, like(result)))
    assert str(info.value) == message and info.value.__notes__ == ["while processing 'schema'"]
    assert cause is None or isinstance(info.value.__cause__, Exception)
    assert not cause or type(info.value.__cause__) is TypeError and str(info.value.__cause__) == cause


def test_objects_with_the_capsule_protocol():
    schema = pa.schema([pa.field("a", I64, metadata={"f": "1"})], metadata={"s": "2"})
    batch = deserialize_arrow(BODY, like(schema.__arrow_c_schema__))
    assert batch.schema.equals(schema, check_metadata=True) and batch.column(0).to_pylist() == [1]
    pl = pytest.importorskip("polars")  # and a polars schema
    schema = pl.Schema({"a": pl.Int64, "b": pl.Float64, "t": pl.Datetime("ms")})
    if not hasattr(schema, "__arrow_c_schema__"):
        pytest.skip("this polars has no Arrow schema capsule")
    batch = deserialize_arrow(select([("a", 1), ("b", 2.5), ("t", jb.Date(7))]), schema)
    assert batch.schema.equals(pa.schema(schema)) and batch.to_pylist()[0]["a"] == 1


# ---------------------------------------------------------------------------
# Batch assembly

def test_assembly_checks():
    strict = pa.schema([pa.field("id", pa.int64(), nullable=False), ("n", pa.int64())])
    null, empty = "Column 'id' is declared as non-nullable but contains null values", pa.schema([])
    assert error(select([("id", 1)], [("n", 2)]), strict) == error(select([("id", None)]), strict) == BUILD + null
    assert deserialize_arrow(select([("id", 1)], [("id", 2), ("n", 3)]), strict).num_rows == 2
    assert deserialize_arrow(select(), strict).num_rows == 0
    assert error(select([("a", 1)]), empty) == error(select(), empty) == BUILD + "must either specify a row count " \
                                                                                 "or at least one column"
    # The nullability check comes before the type check.
    mixed = pa.schema([("t", pa.timestamp("ms", tz="UTC")), pa.field("id", pa.int64(), nullable=False)])
    assert error(select([("t", jb.Date(1))]), mixed).endswith(null)


@pytest.mark.parametrize("t, types", [
    (LIST(pa.field("item", pa.int64(), nullable=False)), 'List<"item": Int64 not null> but found List<Int64>'),
    (LIST(pa.field("element", pa.int64(), nullable=False)),
     'List<"element": Int64 not null> but found List<"element": Int64>'),
    (LIST(pa.field("item", pa.int64(), metadata={"k": "v"})), None),
], ids=str)
def test_types_the_builders_do_not_produce(t, types):
    schema = pa.schema([("a", pa.int64()), ("b", pa.utf8()), ("c", t)])
    message = error(select([("a", 1)]), schema)
    assert message.startswith(MISMATCH) and message.endswith(" at column index 2")
    assert types is None or message == MISMATCH + types + " at column index 2"


@pytest.mark.parametrize("t, plain, values", [
    (pa.timestamp("ms", tz="UTC"), TS, [jb.Date(1500), None]),
    (pa.timestamp("ms", tz="Europe/Paris"), TS, [jb.Date(-1), jb.Date(86_400_000)]),
    (LIST(pa.field("element", I64)), LIST(I64), [[jb.Long(1), jb.Long(2)], None]),  # as Parquet says
    (LIST(pa.field("value", pa.timestamp("ms", tz="Asia/Tokyo"))), LIST(TS), [[jb.Date(7)], [jb.Date(8), jb.Date(9)]]),
    # A zone longer than a timestamp format that nanoarrow writes itself (128 bytes) is kept too.
    (pa.timestamp("ms", tz="Etc/" + "Z" * 200), TS, [jb.Date(5)]),
    (LIST(pa.timestamp("ms", tz="Etc/" + "Z" * 200)), LIST(TS), [[jb.Date(5)]]),
], ids=lambda v: str(v) if isinstance(v, pa.DataType) else "")
def test_time_zones_and_item_names_are_the_schemas_own(t, plain, values):
    schema = pa.schema([("a", I64), ("c", t)])
    data = select(*[[("a", i)] + ([("c", v)] if v is not None else []) for i, v in enumerate(values)])
    expected = pa.chunked_array([deserialize_arrow(data, pa.schema([("a", I64), ("c", plain)])).column(1).cast(t)])
    for decoded in [pa.table(deserialize_arrow(data, schema)), fed(data, schema, batch_size=1)]:
        assert decoded.schema.equals(schema) and decoded.column(1).equals(expected)


# ---------------------------------------------------------------------------
# Threads and memory

def _big(n):
    """A /stream body of n documents, all but the first referring to the names the first defines."""
    doc = [("id", "document-identifier-000"), ("n", jb.SLong(123456789)), ("x", 2.5), ("tags", ["red", "green"])]
    one, two = stream(doc, end=False), stream(doc, doc, end=False)
    schema = pa.schema([("id", UTF8), ("n", I64), ("x", F64), ("tags", LIST(UTF8))])
    return one + two[len(one):] * (n - 1) + bytes([jb.END] * 3), schema


def assert_lock_released(call, data, attempts=3):
    """`call` lets another thread in far more often than `deserialize` of the same body (which holds the lock)."""
    def progress(run) -> int:  # how often this thread, yielding at once (sleep(0)), gets the lock while `run` runs
        worker, count = threading.Thread(target=run, daemon=True), 0
        worker.start()
        while worker.is_alive():
            count += 1
            time.sleep(0)
        return count

    results = [(progress(call), progress(lambda: velkora.deserialize(data))) for _ in range(attempts)]
    assert any(free >= 100 and free > 20 * (held + 1) for free, held in results), results


@pytest.mark.parametrize("decode", [deserialize_arrow, fed], ids=["deserialize_arrow", "ArrowStreamDecoder"])
def test_other_threads_run_while_decoding(decode):
    data, schema, rows = *_big(300_000), []
    assert_lock_released(lambda: rows.append(decode(data, schema).num_rows), data)
    assert set(rows) == {300_000}


def test_batch_is_handed_over_without_copies_and_alike_from_concurrent_calls():
    data, schema = _big(50_000)
    before = pa.total_allocated_bytes()
    batch = deserialize_arrow(data, schema)
    assert batch.nbytes > 1 << 20 and pa.total_allocated_bytes() - before < 1 << 16
    with ThreadPoolExecutor(4) as pool:
        assert all(b.equals(batch) for b in pool.map(lambda _: deserialize_arrow(data, schema), range(16)))
    addresses = lambda: [b.address for c in batch.columns for b in c.buffers() if b is not None]
    held = addresses()
    del data
    gc.collect()
    overwrite = [bytes([i % 256]) * 4096 for i in range(2000)]  # may take the memory the input held
    assert addresses() == held and batch.slice(49_999).to_pylist() == [
        {"id": "document-identifier-000", "n": 123456789, "x": 2.5, "tags": ["red", "green"]}]
    del overwrite


def test_works_without_pyarrow_except_for_arrow():
    in_fresh_python(f"""
        sys.modules["pyarrow"] = None  # any import of it fails
        import pytest
        import velkora
        from helpers import stream_decoded, streamed

        body = bytes.fromhex("{BODY.hex()}")
        dec, out = stream_decoded(body)
        assert velkora.deserialize(body)["response"]["docs"] == streamed(body) == out == [{{"a": 1}}]
        assert '"docs":[{{"a":1}}]' in velkora.deserialize_json(body) and dec.finish() is None and dec.count == 1
        error = pytest.raises(ImportError, velkora.deserialize_arrow, body, [("a", 1)]).value
        assert error.__notes__ == ["while processing 'schema'"], error.__notes__
        del sys.modules["pyarrow"]  # a failed import is tried again later
        import pyarrow as pa
        assert velkora.deserialize_arrow(body, pa.schema([("a", pa.int64())])).num_rows == 1
    """, timeout=120)


# ---------------------------------------------------------------------------
# Solr bodies

_documents = functools.lru_cache(lambda name: ax.documents(load(name)))
SOLR = [("select_small", "skip"), ("select_small", "explode"), ("select_large", "skip"), ("export_like", "skip"),
        ("stream_like", "skip"), ("child_docs", "explode"), ("child_docs", "skip")]


def _solr_schema(name, children, variant="exact"):
    schema = ax.schema_for(_documents(name), widen=variant == "widened")
    if variant == "subset":
        schema = pa.schema(list(schema)[::-2] + [pa.field("absent", pa.int64())])
    if children == "explode":
        parent = [("_parent_id", schema.field("id").type)] if "id" in schema.names else []
        schema = pa.schema(list(schema) + [("_depth", pa.int32()), ("_child_field", pa.utf8())] + parent)
    return schema


@needs_data
@pytest.mark.parametrize("variant", ["exact", "widened", "subset"])
@pytest.mark.parametrize("name,children", SOLR)
def test_solr_bodies(name, children, variant):
    data, schema = solr_body(name), _solr_schema(name, children, variant)
    decoded = outcome(deserialize_arrow, data, schema, children=children)
    try:
        ax.assert_batches_equal(decoded, ax.expected_batch(_documents(name), schema, children))
    except ax.Refused as refusal:
        assert str(decoded).startswith(str(refusal))
    # The same rows, or the same refusal, from ArrowStreamDecoder in any chunks; from StreamDecoder, the documents
    # deserialize_stream delivers.
    for sizes in [None, [4096], [1] if len(data) < 100_000 else [65536], [1, 7, 2, 300, 13]]:
        got = outcome(fed, data, schema, sizes, 97, children=children)
        assert str(got) == str(decoded) if isinstance(decoded, ValueError) else got.equals(pa.table(decoded))
        if children == "skip" and variant == "exact":
            dec, out = stream_decoded(data, sizes)
            assert dec.finish() is None and dec.count == len(out) and out == streamed(data)


@needs_data
@pytest.mark.parametrize("name,children", [("select_small", "skip"), ("child_docs", "explode")])
def test_truncated_and_corrupted_solr_bodies(name, children):
    data, schema = solr_body(name), _solr_schema(name, children)
    decode = functools.partial(deserialize_arrow, schema=schema, children=children)
    cut = [batch for _, batch in every_cut(data, decode)]
    for batch in cut + [outcome(decode, corrupted) for corrupted in corruptions(data, 1000, name)]:
        if not isinstance(batch, ValueError):  # (outside the decode: ArrowInvalid is a ValueError too)
            batch.validate(full=True)
    # A prefix decodes only once it holds every document, and then to the same batch.
    first = next(n for n, batch in enumerate(cut) if not isinstance(batch, ValueError))
    assert first > 0 and all(batch.equals(cut[-1]) for batch in cut[first:])


# ---------------------------------------------------------------------------
# Agreement with deserialize on generated documents

_i32, _i64 = st.integers(-2**31, 2**31 - 1), st.integers(-2**63, 2**63 - 1)
_ints = st.one_of(st.builds(jb.Byte, st.integers(-128, 127)), st.builds(jb.Short, st.integers(-2**15, 2**15 - 1)),
                  st.builds(jb.Int, _i32), st.builds(jb.SInt, _i32), st.builds(jb.Long, _i32))
_longs = _ints | st.builds(jb.Long, _i64) | st.builds(jb.SLong, _i64)
_floats = st.builds(jb.Float, st.floats(width=32)) | st.floats().map(jb.Double)
_stamps = st.builds(jb.Date, _i64) | st.builds(jb.Long, _i64) | st.builds(jb.SLong, _i64)
_COLUMNS = {"n": (I32, _ints), "i": (I64, _longs), "g": (F32, _floats), "f": (F64, _floats), "b": (BOOL, st.booleans()),
            "s": (UTF8, st.text(max_size=8)), "x": (BIN, st.binary(max_size=8)), "t": (TS, _stamps)}
_COLUMNS.update({"l" + k: (LIST(_COLUMNS[k][0]), _COLUMNS[k][1]) for k in "igst"})  # list columns
DIFF_SCHEMA = pa.schema([(name, t) for name, (t, _) in _COLUMNS.items()])


def _field(values):
    items = st.lists(values | st.none(), max_size=3)
    return st.one_of(values, st.none(), items, items.map(jb.Iter))


_junk = st.recursive(st.integers(-5, 5) | st.text(max_size=3), lambda inner: st.lists(inner, max_size=3)
                     | st.dictionaries(st.text(max_size=2), inner, max_size=3), max_leaves=6)
_document = st.fixed_dictionaries({}, optional={**{k: _field(v) for k, (_, v) in _COLUMNS.items()},
                                                "junk": _junk}).map(lambda d: list(d.items()))


@settings(max_examples=150, deadline=None)
@given(st.lists(_document, max_size=6), st.sampled_from([select, export]), st.sampled_from(["skip", "explode"]))
def test_agrees_with_deserialize(docs, envelope, children):
    data = envelope(*docs)
    rows = [{f.name: ax.route(*ax.kind_of(f.type), ax.from_python(doc.get(f.name))) for f in DIFF_SCHEMA}
            for doc in velkora.deserialize(data)["response"]["docs"]]
    ax.assert_batches_equal(deserialize_arrow(data, DIFF_SCHEMA, children=children),
                            pa.RecordBatch.from_pylist(rows, schema=DIFF_SCHEMA))
