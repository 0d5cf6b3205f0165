"""velkora.deserialize: shapes, errors and offsets, limits, and agreement with the reference _deserialize_safe."""

import gc
import random
import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

import javabin as jb
from javabin import nested
from descriptions import (DESCRIBED, Unhashable, assert_same, body, load, rebuild, to_json_text, to_python,
                          to_wire)
from helpers import DEPTH as DEPTH_ERR, corruptions, failure, feed_all, needs_data, rss, stream_decoded

from velkora import (StreamDecoder, _bench_parse_only, _deserialize_safe, deserialize, deserialize_json,
                     deserialize_stream)

SMALL = ("javabin_backcompat_child_docs", "javabin_backcompat", "child_docs", "input_docs",
         "javabin_sample", "updateReq_4_5", "select_small", "stream_like")


SHAPES = [
    (jb.Raw(jb.small_int(jb.SINT, 0x80000000)), -2**31), (jb.Raw(jb.small_int(jb.SINT, 0xFFFFFFFF)), -1),
    (jb.Raw(jb.small_int(jb.SINT, 2**32 + 5)), 5), (jb.Raw(jb.small_int(jb.SLONG, 0xFFFFFFFF)), 0xFFFFFFFF),
    (jb.Raw(jb.small_int(jb.SLONG, 2**64 - 1)), -1), (jb.Float(0.1), 0.10000000149011612),
    (jb.Date(-86_400_001), -86_400_001),
    ([jb.Byte(-128), jb.Short(-2), jb.Int(-3), jb.Long(-2**63)], [-128, -2, -3, -2**63]),
    (jb.Map([("a", 1), ("b", 2)]), {"a": 1, "b": 2}), (jb.Map([("a", 1), (7, 2)]), [["a", 1], [7, 2]]),
    (jb.Map([(None, 1)]), [[None, 1]]), (jb.Map(), {}),
    (jb.MapEntryIter([(7, "x"), (None, 1)]), {7: "x", None: 1}), (jb.MapEntry(jb.Str("k"), 1), {"k": 1}),
    (jb.NamedList([(None, 1), ("a", 2), (jb.Str("a"), 3)]), {None: 1, "a": 3}),
    (jb.EnumValue(3, jb.Str("x")), {"int": 3, "string": "x"}),
    (jb.Doc([("a", 1), ("b", 2)], [jb.Doc([("id", 1)]), jb.Doc([("id", 2)])]),
     {"a": 1, "b": 2, "_childDocuments_": [{"id": 1}, {"id": 2}]}),
    (jb.Doc([("a", 1)]), {"a": 1}),
    ((jb.Raw(b"\x0b\xa3"), jb.Doc([("id", "c")]), jb.Extern("_childDocuments_"), 5, jb.Extern("z"), 6),
     {"_childDocuments_": [{"id": "c"}], "z": 6}),
    (jb.Doc([("_childDocuments_", 1), ("a", 2)], [jb.Doc()]), {"_childDocuments_": [{}], "a": 2}),
    (jb.InputDoc([("a", 1), ("b", 2)], boost=jb.Str("x"), field_boosts={"a": [2.0, 3.0], "b": 4.0}), {"a": 1, "b": 2}),
    # Input-document children (tag 0x10 in item position), mixed with ordinary ones.
    (jb.Doc([("id", 1)], [jb.InputDoc([("id", 2)]), jb.Doc([("id", 3)])]),
     {"id": 1, "_childDocuments_": [{"id": 2}, {"id": 3}]}),
    (jb.InputDoc([("id", 1)], [jb.InputDoc([("id", 2)], [jb.Doc()], field_boosts={"id": 2.0})]),
     {"id": 1, "_childDocuments_": [{"id": 2, "_childDocuments_": [{}]}]}),
    ((jb.Raw(b"\x10\x01"), jb.Float(1), jb.Float(2), jb.InputDoc([("id", 2)])), {"_childDocuments_": [{"id": 2}]}),
    (jb.DocList(header=jb.Arr([jb.SLong(7), jb.SLong(2), jb.Float(1.5)])),
     {"numFound": 7, "start": 2, "maxScore": 1.5, "numFoundExact": None, "docs": []}),
    (jb.DocList(header=jb.Arr([1, "s", None, True, 9]), docs=jb.Str("d")),
     {"numFound": 1, "start": "s", "maxScore": None, "numFoundExact": True, "docs": "d"}),
    (jb.DocList(header=jb.Arr([])), dict(numFound=None, start=None, maxScore=None, numFoundExact=None, docs=[])),
    (jb.TypedArr(3, b"\x00\x01\x02\xff"), b"\x00\x01\x02\xff"), (jb.TypedArr(1, b"\x01\x02\x00"), [True, False, True]),
    (jb.TypedArr(4, [-2]), [-2]), (jb.TypedArr(7, [-2**63]), [-2**63]), (jb.TypedArr(8, [0.1]), [0.10000000149011612]),
    (jb.Raw(b"\x82\xe0\x23abc\xe1"), ["abc", "abc"]), (nested(jb.Arr(), 127), nested([], 127, lambda x: [x])),
    (nested(jb.InputDoc(), 126, lambda d: jb.InputDoc(children=[d])),
     nested({}, 126, lambda d: {"_childDocuments_": [d]}))]
FOUND = "expected field name (string) or child SolrDocument at byte offset {}, found other"
ERRORS = [
    (jb.encode(jb.MapEntryIter([(7, 1), (jb.Arr([1]), jb.Str("v"))])),  # after the value: offset 8 of 9 bytes
     "expected hashable map key at byte offset 8, found unhashable value"),
    (jb.encode(jb.MapEntry(jb.Doc(), 2)), "expected hashable map key at byte offset 5, found unhashable value"),
    (jb.encode(jb.NamedList([("a", 1), (jb.Int(5), 1)])), "expected string or null at byte offset 6, found non-string"),
    (b"\x02\x0b\xa1\x41", FOUND.format(3)), (b"\x02\x0b\xa2\x00\x00", FOUND.format(3)),
    (b"\x02\x0b\xa1\x0c\x80\x80", FOUND.format(3)),
    (jb.encode(jb.Raw(b"\x10\x01\x00"), jb.Float(1), jb.Int(3)), FOUND.format(9)),
    (jb.encode(jb.DocList(header=jb.SInt(3))),
     "expected SolrDocumentList header array at byte offset 3, found non-array"),
    (jb.encode(jb.TypedArr(9, b"\x00", count=1)), "unknown javabin tag byte 0x09 at byte offset 2"),
    (jb.encode(jb.TypedArr(0, b"\x00", count=1)), "unknown javabin tag byte 0x00 at byte offset 2"),
    (jb.encode(jb.Arr([jb.Extern("a"), jb.Extern("b"), jb.Extern("c"), jb.ExternRef(5), 1])),
     "unexpected end of input at byte offset 12"),
    (jb.encode(1, 2, 3), "trailing data after decoded value: 2 unread byte(s)"),
    *[(jb.encode(nested(*levels)), DEPTH_ERR.format(at)) for *levels, at in [
        (jb.Doc(), 199, lambda d: jb.Doc(children=[d]), 257), (jb.InputDoc(), 199, lambda d: jb.InputDoc(children=[d]), 892),
        (jb.InputDoc(), 127, lambda d: jb.Doc(children=[d]), 257), (jb.Iter(), 127, 129), (jb.MapEntryIter(), 127, 129),
        (None, 128, 129)]]]


@pytest.mark.parametrize("func", [deserialize, _deserialize_safe])
@pytest.mark.parametrize("value,expected", SHAPES)
def test_shapes(func, value, expected):
    assert_same(func(jb.encode(*value) if isinstance(value, tuple) else jb.encode(value)), expected)


@pytest.mark.parametrize("func", [deserialize, _deserialize_safe])
@pytest.mark.parametrize("data,message", ERRORS)
def test_errors(func, data, message):
    assert failure(func, data) == message


def test_unknown_typed_array_type_with_no_elements_only_fails_in_safe():
    data = jb.encode(jb.TypedArr(9, b"", count=0))
    assert_same(deserialize(data), [])
    assert failure(_deserialize_safe, data) == "unknown javabin tag byte 0x09 at byte offset 2"


streamed = lambda data: stream_decoded(data)[1]  # noqa: E731  (one feed, no finish)


@pytest.mark.parametrize("name,remembered", [("id", True), ("prix_ünï", True), ("n" * 128, True),
                                             ("n" * 129, False), ("ü" * 200, False)])
def test_field_names_shared_across_documents_and_responses(name, remembered):
    # One object per name within a response; across responses and decoders, for a name short enough to be
    # remembered, the object made before.
    data = jb.encode(jb.NamedList({"response": jb.DocList(
        numFound=2, docs=[jb.Doc([(name, 1), ("name", "x")]), jb.Doc([("name", "y"), (name, 2)])])}))
    keys = []
    for func in (deserialize, _deserialize_safe, lambda d: {"response": {"docs": streamed(d)}}):
        a, b = func(data)["response"]["docs"]
        assert list(a) == [name, "name"] and all(ka is kb for ka, kb in zip(a, reversed(list(b))))
        keys.append(next(iter(a)))
    assert all(k is keys[0] for k in keys) or not remembered
    first, second = deserialize(b"\x02\x82\xe0\x23abc\xe1")
    assert first is second


@needs_data
@pytest.mark.parametrize("name", DESCRIBED)
def test_solr_bodies(name):
    desc, data = load(name), body(name)
    rebuilt, message = rebuild(desc)
    assert rebuilt == data and deserialize_json(data) == to_json_text(desc)  # the text takes any key
    for func in (deserialize, _deserialize_safe):
        if message is None:
            assert_same(func(data), to_python(desc))
            continue
        pytest.raises(Unhashable, to_python, desc)
        assert failure(func, data) == message
        # input_docs fails after its part 0, which holds input documents with children and decodes alone
        part = desc["v"][0] if name == "input_docs" else None
        assert_same(func(jb.encode(to_wire(part))), to_python(part))


# ---------------------------------------------------------------------------
# Agreement with _deserialize_safe


def assert_agree(data):
    fast, safe = failure(deserialize, data), failure(_deserialize_safe, data)
    if fast is None and safe is None:
        return assert_same(deserialize(data), _deserialize_safe(data))
    if fast != safe and (safe or "").startswith("unknown javabin tag byte"):
        offset = int(safe.rsplit(" ", 1)[1])  # allowed: element type refused although no element follows
        assert data[offset - 1] == jb.TYPED_ARR and data[offset + 1:offset + 2] == b"\x00"
    else:
        assert fast == safe


@needs_data
@pytest.mark.parametrize("name", SMALL)
def test_safe_agrees_on_corruptions(name):  # (and on truncations: test_decode_error.py)
    for corrupted in corruptions(body(name), 600, name):
        assert_agree(corrupted)


f32 = st.integers(0, 2**32 - 1).map(lambda bits: struct.unpack(">f", struct.pack(">I", bits))[0])
names = st.sampled_from(["id", "a", "_childDocuments_", "é", "b"])
typed = lambda types, items: st.builds(jb.TypedArr, st.sampled_from(types), items)  # noqa: E731
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**63, 2**63 - 1),
    st.builds(jb.Byte, st.integers(-128, 127)), st.builds(jb.Short, st.integers(-2**15, 2**15 - 1)),
    st.builds(jb.SInt, st.integers(-2**31, 2**32 - 1)), st.builds(jb.SLong, st.integers(-2**63, 2**64 - 1)),
    st.builds(jb.Float, f32), st.floats(), st.builds(jb.Date, st.integers(-2**63, 2**63 - 1)),
    st.text(max_size=40), st.builds(jb.Extern, names | st.text(max_size=3)), st.binary(max_size=8),
    typed([1, 2], st.lists(st.booleans(), max_size=4)), typed([3], st.binary(max_size=4)),
    typed([4], st.lists(st.integers(-2**15, 2**15 - 1), max_size=3)), typed([5, 8], st.lists(f32, max_size=3)),
    typed([7], st.lists(st.integers(-2**63, 2**63 - 1), max_size=3)))


def _containers(inner):
    fields = st.lists(st.tuples(names, inner), max_size=3)
    boosts = st.dictionaries(names, st.lists(f32, max_size=2), max_size=2)
    docs = st.builds(jb.Doc, fields) | st.builds(jb.InputDoc, fields, boost=f32 | inner.map(jb.wire))
    for _ in range(2):  # anonymous children, two levels deep
        docs = (st.builds(jb.Doc, fields, st.lists(docs, max_size=2))
                | st.builds(jb.InputDoc, fields, st.lists(docs, max_size=2), field_boosts=boosts))
    keys = names | st.none() | st.integers(-5, 5) | inner
    return st.one_of(
        st.lists(inner, max_size=4), st.builds(jb.Iter, st.lists(inner, max_size=4)),
        st.builds(jb.NamedList, st.lists(st.tuples(names | st.none(), inner), max_size=4)),
        st.builds(jb.OrderedMap, st.lists(st.tuples(names, inner), max_size=4)),
        st.builds(jb.Map, st.lists(st.tuples(keys, inner), max_size=3)),
        st.builds(jb.MapEntryIter, st.lists(st.tuples(keys, inner), max_size=3)),
        st.builds(jb.MapEntry, keys, inner), st.builds(jb.EnumValue, st.integers(-9, 9), inner), docs,
        st.builds(jb.DocList, st.integers(0, 2**60), st.integers(-1, 9), st.none() | f32,
                  st.none() | st.booleans(), st.lists(docs, max_size=3)))


@settings(max_examples=400, deadline=None)
@given(st.recursive(scalars, _containers, max_leaves=25))
def test_safe_agrees_on_generated_trees(value):
    assert_agree(jb.encode(value))


# ---------------------------------------------------------------------------
# Leaks


@pytest.mark.rss
@needs_data
@pytest.mark.parametrize("cases", ["a large body", "failures"])
def test_no_leak(cases):
    if cases == "a large body":
        funcs, cases = [deserialize], [body("select_large")] * 10
    else:
        rng, funcs = random.Random(7), [deserialize, _deserialize_safe]
        cases = [d[:rng.randrange(len(d))] for d in map(body, SMALL) for _ in range(300)]
        cases += [c for name in SMALL for c in corruptions(body(name), 300, name)]

    def run():
        for data in cases:
            for func in funcs:
                failure(func, data)
        gc.collect()
    run()  # warm-up: caches, intern table, free lists
    refs, blocks, before = getattr(sys, "gettotalrefcount", int)(), sys.getallocatedblocks(), rss()
    run()
    assert getattr(sys, "gettotalrefcount", int)() - refs < 100
    assert sys.getallocatedblocks() - blocks < 1000
    assert rss() - before < 20 << 20


@pytest.mark.rss
@pytest.mark.parametrize("func,first", [(deserialize, 0), (_deserialize_safe, 1000), (streamed, 2000)],
                         ids=["deserialize", "_deserialize_safe", "StreamDecoder"])
def test_field_names_met_once_are_not_kept(func, first):
    # 400,000 names in all, each met once (dynamic or per-tenant fields): kept for good, they cost about
    # 60 MiB; remembered in a table of fixed size, next to nothing.
    template = jb.encode(jb.NamedList({"response": jb.DocList(numFound=1, docs=[jb.Doc(
        [(f"attr_@@@@@_{i:04}_dynamic_field_name_s", i) for i in range(1000)])])}))  # names of about 40 bytes
    bodies = [template.replace(b"@@@@@", b"%05d" % k) for k in range(first, first + 402)]  # each k its own names
    for data in bodies[:2]:
        func(data)  # warm-up: the table and the allocator's first arenas
    gc.collect()
    before = rss()
    for data in bodies[2:]:
        func(data)
    gc.collect()
    assert rss() - before < 12 << 20


def _near_strings():
    # Strings of every length around the short-string limit, with pairs that differ in one byte at each
    # position (ASCII and multi-byte), so that any byte a lookup fails to compare shows as a wrong value.
    out = []
    for n in range(0, 31):
        base = "".join(chr(ord("a") + i % 26) for i in range(n))
        out.append(base)
        for i in range(n):
            out.append(base[:i] + "Z" + base[i + 1:])
        if n >= 2:
            out.append(base[:n - 2] + "é")  # same length in bytes, last character wide
    return out


def test_recurring_short_strings_decode_exactly():
    strings = _near_strings()
    values = [s for _ in range(3) for s in random.Random(5).sample(strings, len(strings))]
    data = jb.encode(values)
    assert deserialize(data) == _deserialize_safe(data) == values
    docs = [{"v": values[i:i + 7]} for i in range(0, len(values), 7)]
    select = jb.encode({"response": jb.DocList(docs=[jb.Doc(list(d.items())) for d in docs])})
    assert deserialize(select)["response"]["docs"] == docs
    received = []
    deserialize_stream(select, received.append)
    feed_all(StreamDecoder(), select, [97], received.append)  # documents over many feeds share what was remembered
    assert received == docs * 2


def test_invalid_short_string_after_many_reports_its_offset():
    prefix = [s for s in _near_strings() if 2 <= len(s.encode()) <= 24] * 2
    data = jb.encode(prefix + [jb.Raw(b"\x25ab\xc3(e")])
    expected = failure(_bench_parse_only, data)
    assert expected.startswith("invalid UTF-8 string at byte offset")
    assert failure(deserialize, data) == failure(_deserialize_safe, data) == expected
