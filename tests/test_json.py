"""JSON text of deserialize_json: numbers, strings, key order and the shape of every kind."""

import base64
import ctypes
import json
import math
import random
import struct

import pytest
from hypothesis import example, given, strategies as st

from descriptions import json_float_text, json_object as object_text
from helpers import in_fresh_python
from javabin import (Bytes, Date, Doc, DocList, Double, EnumValue, Extern, Float, Int, Iter, Long, Map, MapEntry,
                     MapEntryIter, NamedList, Raw, SInt, Str, TypedArr, encode)
from velkora import deserialize_json as as_json

DOCLIST = '{{"docs":{},"maxScore":{},"numFound":{},"numFoundExact":{},"start":{}}}'.format  # a document list's text


# Each double's text, which parses back to it.
DOUBLES = ("1.0 1e+16 1e-7 5e-324 1.7976931348623157e+308 1000000000000000.0 0.0 -0.0 0.000015 0.00001 1e-6 123.456 "
           "-2.5 1.5e-7 0.001 12345678.0 9007199254740992.0 2e-308").split()
# Every digit count of a long, and its ends.
INTS = [0, 1, 2 ** 63 - 1] + [s * (10 ** n + d) for n in range(19) for d in (-1, 0, 1) for s in (1, -1)] + [-(2 ** 63)]
# Every length up to 24 with one or two escapes anywhere, and clean: the last bytes of a string are taken as
# whole words, which must not hide an escape nor repeat one already written.
SHORT = [""] + [t for n in range(1, 25) for t in ["abcdefghijklmnopqrstuvwxyz"[:n]] + [
    u for i in range(n) for c in '"\\\n\x01\u00e9' for s in ["x" * i + c + "y" * (n - i - 1)]
    for u in [s, *(s[:j] + "\t" + s[j + 1:] for j in range(i + 1, n))]]]


def many_keys(size):
    # Around the longest key sequence whose order is remembered; shuffled, with duplicates, seen twice.
    pairs = [(k, j) for j, k in enumerate([f"f{(j * 7919) % size:04d}" for j in range(size)] + ["f0003", "f0001"])]
    text = object_text((k, str(v)) for k, v in pairs)
    return pytest.param([NamedList(pairs), NamedList(pairs)], f"[{text},{text}]", id=f"{size}-keys")


def nested_sequences():
    # Each outer object holds 660 objects of distinct key sequences, more than are remembered, so what was
    # remembered for the outer sequence is replaced while the outer object is being written, and the next
    # outer object, whose keys are the same extern strings, finds its remembered order gone.
    outer_keys = ["k%02d" % (9 - j) for j in range(10)] + ["k05"]
    inner = lambda j: [(f"q{j}-{m}", m) for m in range(j % 5 + 1)]
    value = [NamedList([(k, [NamedList(inner(j * 100 + m)) for m in range(60)]) for j, k in enumerate(outer_keys)])] * 3
    text = object_text((k, "[" + ",".join(object_text((q, str(v)) for q, v in inner(j * 100 + m)) for m in range(60))
                        + "]") for j, k in enumerate(outer_keys))
    return pytest.param(value, "[" + ",".join([text] * 3) + "]", id="key-orders-survive-many-nested-sequences")


# The same names as extern strings (one place in the body for all uses) and as plain strings (a new place each
# time), interleaved, and a map whose keys are the plain ones.
ALIKE = [(k, Long(v)) for v, k in enumerate(["b", "a", "c", "a"])]


@pytest.mark.parametrize("value, text", [
    *[(Double(float(t)), t) for t in DOUBLES], (Float(0.1), "0.10000000149011612"), (Float(-0.0), "-0.0"),
    (Float(16777216.0), "16777216.0"), (Raw(b"\x05\xff\xf0\x00\x00\x00\x00\x00\x01"), '"NaN"'), (SInt(-1), "-1"),
    *[(kind(float(name)), f'"{name}"') for kind in (Double, Float) for name in ("NaN", "Infinity", "-Infinity")],
    (Raw(b"\x08\xff\xc0\x00\x00"), '"NaN"'), ([Long(v) for v in INTS], "[" + ",".join(map(str, INTS)) + "]"),
    (Int(-(2 ** 31)), "-2147483648"), (Raw(b"\x03\x80"), "-128"), (Raw(b"\x04\x80\x00"), "-32768"), (Date(0), "0"),
    (Date(-62135596800001), "-62135596800001"), (Date(2 ** 63 - 1), "9223372036854775807"),
    (NamedList([("b", 1), ("a", 2), ("b", 3)]), '{"a":2,"b":3}'),
    # byte order of the UTF-8 keys: U+FB01 sorts before U+1F600 (UTF-16 order would differ)
    (NamedList([("\U0001f600", 1), ("\ufb01", 2), ("\u00e9", 3), ("\x7f", 4), ("z", 5), ("Z", 6), ("ab", 7), ("a", 8)]),
     '{"Z":6,"a":8,"ab":7,"z":5,"\x7f":4,"\u00e9":3,"\ufb01":2,"\U0001f600":1}'),
    (NamedList([(None, 1)]), '{"":1}'), (NamedList([(None, 1), ("", 2)]), '{"":2}'), (MapEntry(1, 2), "[[1,2]]"),
    (NamedList([("", 2), (None, 1)]), '{"":1}'), (NamedList([]), "{}"), (Map([(1, "x")]), '[[1,"x"]]'), (Map([]), "{}"),
    (Map([("k", 1), (2, 3)]), '[["k",1],[2,3]]'), (Map([(None, 1)]), "[[null,1]]"), (Map([(Str("k"), 1)]), '{"k":1}'),
    (Map([("b", 1), ("a", 2), ("b", 3)]), '{"a":2,"b":3}'), (Map([(1, "a"), (1, "b")]), '[[1,"a"],[1,"b"]]'),
    (Map([([1], {"a": 1})]), '[[[1],{"a":1}]]'), (Iter([]), "[]"), (MapEntry("k", 1), '{"k":1}'), (Bytes(b""), '""'),
    (MapEntryIter([("z", 1), ("a", Iter([]))]), '{"a":[],"z":1}'), ([[], [None]], "[[],[null]]"),
    (EnumValue(3, Str("high")), '{"int":3,"string":"high"}'), (DocList(10, 0), DOCLIST("[]", "null", 10, "null", 0)),
    (Doc([("id", "1"), ("_childDocuments_", "x")], [Doc([("id", "2")])]), '{"_childDocuments_":[{"id":"2"}],"id":"1"}'),
    (Doc([("_childDocuments_", "x"), ("id", "1"), ("id", "3")]), '{"_childDocuments_":"x","id":"3"}'),
    (Doc([], [Doc([]), Doc([], [Doc([("a", None)])])]), '{"_childDocuments_":[{},{"_childDocuments_":[{"a":null}]}]}'),
    (DocList(2 ** 60, 3, 0.1, False, [Doc([("b", 1), ("a", 2)])]),
     DOCLIST('[{"a":2,"b":1}]', "0.10000000149011612", "1152921504606846976", "false", 3)),
    (DocList(header=[Int(7), Long(2)]), DOCLIST("[]", "null", 7, "null", 2)), (TypedArr(8, [0.5, -1.0]), "[0.5,-1.0]"),
    (DocList(header=[Int(-1), Str("2"), Double(2.5), True, 99]), DOCLIST("[]", "2.5", -1, "true", 0)),
    (DocList(header=[Double(1.0), Float(2.0), SInt(3), SInt(1)]), DOCLIST("[]", "null", 0, "null", 0)),
    (DocList(header=TypedArr(7, [5, 3]), docs=Iter([1, None])), DOCLIST("[1,null]", "null", 5, "null", 3)),
    (DocList(header=Iter([SInt(4)]), docs=TypedArr(1, [True])), DOCLIST("[true]", "null", 4, "null", 0)),
    (TypedArr(4, [-2]), "[-2]"), (TypedArr(1, b"\x00\x02\x01"), "[true,false,true]"), (Bytes(b"abc"), '"YWJj"'),
    ([Str(t) for t in SHORT], json.dumps(SHORT, ensure_ascii=False, separators=(",", ":"))),
    ([x for _ in range(6) for x in (NamedList(ALIKE), *(Map([(s(k), v) for k, v in ALIKE]) for s in (Str, Extern)))],
     "[" + ",".join([object_text((k, str(v)) for v, k in enumerate("baca"))] * 18) + "]"),
    *map(many_keys, [255, 256, 257, 1000]), nested_sequences(),
    # Texts far longer than the room first given them (three times the input): escapes six times their
    # bytes, and one string written again for every one-byte reference to it.
    pytest.param(Str("\x01" * 20_000), '"' + "\\u0001" * 20_000 + '"', id="escapes-outgrow-the-first-room"),
    pytest.param([Extern("k" * 5_000)] * 200, "[" + ",".join(['"' + "k" * 5_000 + '"'] * 200) + "]",
                 id="references-outgrow-the-first-room")])
def test_text_of_each_kind(value, text):
    assert as_json(encode(value)) == text


def near(rng):  # a short decimal at any exponent, or a neighbour one step away
    x = float(f"{rng.randrange(1, 10 ** 17)}e{rng.randrange(-25, 21)}")
    return rng.choice([1, -1]) * math.nextafter(x, rng.choice([0.0, x, math.inf]))


RANDOM_FLOATS = {  # 40,000 of each kind (120,000 singles)
    "bits": lambda rng: [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(40_000)],
    # 16 and 17 digits
    "uniform": lambda rng: [rng.uniform(1e-5, 1e15) * 10.0 ** -rng.randrange(0, 20) for _ in range(40_000)],
    # short decimals (most response floats) and the doubles next to them, which need more digits
    "decimals": lambda rng: [math.nextafter(round(rng.uniform(0, 3000), rng.randrange(8)),
                                            rng.choice([0.0, math.inf, 1500.0])) for _ in range(40_000)],
    "near": lambda rng: [near(rng) for _ in range(40_000)],
    # singles widened to double, whose exact digits often end in a tie one digit further on
    "singles": lambda rng: [struct.unpack("<f", struct.pack("<I", rng.getrandbits(32)))[0] for _ in range(40_000)]
    + [ctypes.c_float(rng.uniform(-5000, 5000)).value for _ in range(40_000)]
    + [ctypes.c_float(near(rng)).value for _ in range(40_000)]}


@pytest.mark.parametrize("kind", RANDOM_FLOATS)
def test_float_text_in_bulk(kind):
    # Many floats in one body, the way a result list holds them, against the shortest round-trip rule.
    values = [x for x in RANDOM_FLOATS[kind](random.Random(kind)) if math.isfinite(x)]
    texts = as_json(encode(TypedArr(8 if kind == "singles" else 5, values)))[1:-1].split(",")  # FLOATs or DOUBLEs
    assert len(texts) == len(values) and [(x, t) for x, t in zip(values, texts) if t != json_float_text(x)] == []


# Strings are scanned several bytes at a time: escapes at every offset, in long clean runs and at the end. Bytes
# are padded base64.
@given(st.text(st.sampled_from('ab\x00\x1f "\\\n\x7f\x80\u00e9\xff\u0100\u20ac\U0001f600'), max_size=80),
       st.binary(max_size=300))
@example("".join(map(chr, range(0x20))) + '"\\/\x7f\u00e9\u20ac\U0001f600\x00end', b"")  # every control, "/" as it is
def test_string_escaping_at_every_offset(text, data):
    expected = json.dumps(text, ensure_ascii=False)
    assert as_json(encode(Str(text))) == expected and as_json(encode(NamedList([(text, 1)]))) == "{" + expected + ":1}"
    assert as_json(encode(Str("x" * 13 + text))) == json.dumps("x" * 13 + text, ensure_ascii=False)
    assert as_json(encode(Bytes(data))) == as_json(encode(TypedArr(3, data))) == json.dumps(
        base64.b64encode(data).decode())


# Keys alike in length and first and last byte, the children's key, an empty key and a non-ASCII key.
KEYS = ["id", "abc", "axc", "a c", "", "b", "_childDocuments_", "\u00e9", "ab", "abcdefghij"]


# Objects whose key sequences repeat, differ by one key, by order or by a duplicate, nested in each other:
# each value is its position, so the text shows which of the duplicates was written.
@given(st.lists(st.lists(st.sampled_from(KEYS), max_size=8), min_size=1, max_size=4),
       st.lists(st.tuples(st.integers(0, 3), st.sampled_from(["list", "doc", "map"]), st.integers(0, 2)),
                min_size=1, max_size=30))
def test_objects_sharing_key_sequences(shapes, picks):
    def build(i, depth, kind=None):
        which, picked, children = picks[i % len(picks)]
        kind, keys = kind or picked, shapes[(which + depth) % len(shapes)]
        built = [build(i + 1, depth + 1) if j == 0 and depth < 2 else (Long(i * 100 + j), str(i * 100 + j))
                 for j in range(len(keys))]
        kids = [build(i + 2 + c, depth + 1, "doc") for c in range(children if kind == "doc" and depth < 2 else 0)]
        fields, texts = [(k, v) for k, (v, _) in zip(keys, built)], [(k, t) for k, (_, t) in zip(keys, built)]
        value = (NamedList(fields) if kind == "list" else Map([(Str(k), v) for k, v in fields]) if kind == "map"
                 else Doc(fields, [doc for doc, _ in kids]))
        return value, object_text(texts + [("_childDocuments_", "[" + ",".join(t for _, t in kids) + "]")] * bool(kids))

    built = [build(i, 0) for i in range(len(picks))]
    assert as_json(encode([value for value, _ in built])) == "[" + ",".join(text for _, text in built) + "]"


# Peak memory of one call in a fresh interpreter, from the kernel's high-water mark reset just before it.
MEMORY_PROBE = r"""
    import velkora
    from pathlib import Path
    from helpers import status

    data = Path(sys.argv[1]).read_bytes()
    velkora.deserialize_json(b"\x02\x00")
    Path("/proc/self/clear_refs").write_text("5")
    before = status("VmRSS")
    text = velkora.deserialize_json(data)
    print(status("VmHWM") - before, len(text.encode()))
"""


@pytest.mark.rss
def test_peak_memory_stays_under_three_times_the_text(tmp_path):
    # The tree is released before the str is made, so the peak is the tree with the text while rendering,
    # or the text with its str (one byte a character here) after; the tree held on would pass 4 times.
    rng, words = random.Random(3), ["café", "über", "stand", "cable", "portable", "hd"]
    docs = [Doc([("id", f"SKU-{i:07d}"), ("title", " ".join(rng.choice(words) for _ in range(6))),
                 ("price", Float(rng.uniform(1, 3000))), ("views", Long(rng.getrandbits(40))),
                 ("cat", [rng.choice(words) for _ in range(2)])]) for i in range(40_000)]
    (tmp_path / "body.bin").write_bytes(encode(NamedList([("response", DocList(numFound=len(docs), docs=docs))])))
    peak, size = map(int, in_fresh_python(MEMORY_PROBE, tmp_path / "body.bin").split())
    assert size > 4_000_000 and peak < 3 * size
