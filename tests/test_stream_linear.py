"""Chunk-fed decoders: work linear in the size of one document and of the envelope, however the peer cuts the
body (counted in bytes gone over); fed in any chunks, the whole body's documents and errors, at one feed."""

import functools
import re
import sys
from itertools import accumulate
from pathlib import Path

import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import javabin as jb
import velkora
from helpers import corrupt, failure, outcome, pieces, select
from test_stream_decoder import SHAPES, fed

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
from oracles import is_prefix, same  # noqa: E402  (documents compared as the oracles compare them)

EOF_TEXT = re.compile(r"^unexpected end of input at byte offset \d+$")
OFFSET = re.compile(r"byte offset (\d+)")


def _vals(key, n):
    return jb.Doc({"id": key, "vals": [f"v{i:05}" for i in range(n)]})


def _envelope(entries):
    """A highlighting section of `entries` entries ahead of "response", then three small documents."""
    hl = jb.NamedList({f"doc-{i}": {"title": [f"<em>w{i}</em> text"]} for i in range(entries)})
    return select([jb.Doc({"id": f"d{i}"}) for i in range(3)], before=[("highlighting", hl)])


SCHEMA = pa.schema([("id", pa.utf8()), ("vals", pa.list_(pa.utf8()))])
WIDE = pa.schema([("id", pa.utf8()), ("f7", pa.int64())])  # the other fields are passed over
RUN = b"\x80" * 30_000
LARGE = {  # about 1 MB each fed by 256 bytes, or 30 KB by fewer; the schema the Arrow decoder reads them by
    "one_document": (lambda: select([_vals("big", 140_000)]), SCHEMA, 256),
    "large_envelope": (lambda: _envelope(28_000), SCHEMA, 256),
    "small_documents": (lambda: select([_vals(f"d{i}", 140) for i in range(1000)]), SCHEMA, 256),
    "many_fields": (lambda: select([jb.Doc([("id", "w")] + [(f"f{i}", i) for i in range(100_000)])]), WIDE, 256),
    "one_document_30kb": (lambda: select([_vals("big", 4200)]), SCHEMA, 1),
    "large_envelope_30kb": (lambda: _envelope(970), SCHEMA, 1),
    # 30,000 continuation bytes in a varint (which has no length limit): a small int's, or a string's size (31)
    "varint_in_envelope_30kb": (lambda: select([{"id": "d0"}], before=[("debug", jb.Raw(b"\x55" + RUN + b"\x01"))]),
                                SCHEMA, 1),
    "varint_in_document_30kb": (lambda: select([{"id": "d0", "name": jb.Raw(b"\x3f" + RUN + b"\x00" + b"n" * 31)}]),
                                SCHEMA, 7)}


# --- work: linear in the body however it is cut (wall-clock ratios are in benchmarks/bench_chunked.py) -----

@pytest.mark.parametrize("kind", ["StreamDecoder", "ArrowStreamDecoder"])
@pytest.mark.parametrize("body", LARGE)
def test_small_chunks_walk_each_byte_a_few_times(kind, body):
    # A decoder that went back to the start of a document or envelope at every feed would go over about
    # len(data)**2 / (2 * size) bytes: 2,000 times the body here; one that goes on where it stopped, about twice.
    build, schema, size = LARGE[body]
    dec = velkora.StreamDecoder() if kind == "StreamDecoder" else velkora.ArrowStreamDecoder(schema, 4096)
    assert fed(dec, data := build(), [size])[1] is None and len(data) <= dec._walked <= 4 * len(data)


# --- agreement with the whole body --------------------------------------------------------------------------

NAMES = st.sampled_from(["id", "name", "price", "tags", "x" * 40, "ünï", "docs", "response", "result-set"])
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(-2**63, 2**63 - 1), st.text(max_size=40), st.binary(max_size=8),
    st.floats(allow_nan=False), NAMES.map(jb.Extern), st.integers(-2**31, 2**31 - 1).map(jb.Int),
    st.integers(-2**20, 2**20).map(lambda v: jb.Float(v / 8)), st.integers(-2**63, 2**63 - 1).map(jb.Date),
    st.integers(0, 2**62).map(jb.SLong), st.integers(-128, 127).map(jb.Byte),
    st.lists(st.booleans(), max_size=5).map(lambda v: jb.TypedArr(1, v)),
    st.binary(max_size=6).map(lambda b: jb.TypedArr(3, b)),
    st.lists(st.integers(-2**31, 2**31 - 1), max_size=4).map(lambda v: jb.TypedArr(6, v)))
ENTRIES = functools.partial(st.lists, max_size=4)
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(
    ENTRIES(inner), ENTRIES(inner).map(jb.Iter),
    *[ENTRIES(st.tuples(NAMES, inner)).map(named) for named in (jb.NamedList, jb.OrderedMap, jb.Doc)],
    *[ENTRIES(st.tuples(st.one_of(NAMES, st.integers(0, 9)), inner)).map(keyed) for keyed in (jb.Map, jb.MapEntryIter)],
    st.tuples(NAMES.map(jb.Str), inner).map(lambda kv: jb.MapEntry(*kv)),
    st.tuples(st.integers(0, 9), NAMES.map(jb.Str)).map(lambda p: jb.EnumValue(*p))), max_leaves=10)
FIELDS = ENTRIES(st.tuples(NAMES, VALUES), max_size=6)
DOCUMENTS = st.lists(st.one_of(
    st.tuples(FIELDS, st.lists(FIELDS.map(jb.Doc), max_size=2)).map(lambda p: jb.Doc(*p)),
    FIELDS.map(jb.MapEntryIter), FIELDS.map(jb.NamedList),
    FIELDS.map(lambda f: jb.InputDoc(f, field_boosts={name: [1.5, 2.0] for name, _ in f[:1]}))), max_size=6)
BEFORE = ENTRIES(st.tuples(st.sampled_from(["highlighting", "facet_counts", "debug"]), VALUES))
SIZES = st.lists(st.integers(1, 64), min_size=1, max_size=12)


def whole(data):
    """What deserialize_stream delivers from the whole body, and the text of its error (or None)."""
    out = []
    return out, failure(velkora.deserialize_stream, data, out.append)


def first_fault(data):
    """The length of the shortest prefix on which deserialize_stream fails for another reason than running
    out of input: where a decoder reading as far as the bytes go first meets the fault."""
    return next((n for n in range(len(data) + 1) if (e := whole(data[:n])[1]) and not EOF_TEXT.match(e)), None)


ARROW = pa.schema([("id", pa.utf8()), ("name", pa.utf8()), ("price", pa.float64()), ("tags", pa.list_(pa.utf8()))])


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shape=st.sampled_from(list(SHAPES.values())), docs=DOCUMENTS, before=BEFORE, sizes=SIZES,
       where=st.floats(0, 1, exclude_max=True), kind=st.sampled_from(["none", "replace", "insert", "delete"]),
       byte=st.integers(0, 255), batch_size=st.integers(0, 5), children=st.sampled_from(["skip", "explode"]))
def test_bodies_in_any_chunks(shape, docs, before, sizes, where, kind, byte, batch_size, children):
    bounds = [len(shape(docs, before, k)) for k in range(len(docs) + 1)]  # the envelope's end, then each document's
    data = shape(docs, before)
    position = 1 + int(where * (len(data) - 1))
    data = data if kind == "none" else corrupt(data, position, kind, byte)
    expected, error = whole(data)
    got, text, at = fed(velkora.StreamDecoder(), data, sizes)
    if kind == "none":
        assert error is None and len(expected) == len(docs)
        assert (got, text, at) == fed(velkora.StreamDecoder(), data, [1]) == (expected, None, None)
    elif position < bounds[0]:  # in the envelope: as fed at once, by a feed or by finish() as there
        at_once = fed(velkora.StreamDecoder(), data, None)
        assert same(got, at_once[0]) and (text, at is None) == (at_once[1], at_once[2] is None)
        # (the whole body checks more of the envelope, a document list's header for one)
        assert error is not None or is_prefix(got, expected)
        if at and text == error and not got and not EOF_TEXT.match(error):
            # an envelope fault: raised by the feed that brought its last byte, counted from the stream's start
            fault = first_fault(data)
            assert fed(velkora.StreamDecoder(), data, [1])[2] == (fault - 1, fault)
    elif position < bounds[-1]:  # in a document: the documents before it, then its fault
        hit = next(j for j in range(len(docs)) if position < bounds[j + 1])
        assert is_prefix(got, expected) and len(got) >= hit
        if at:
            # the same documents, then the same fault, its offset counted from the failing document
            assert same(got, expected) and error is not None and OFFSET.sub("#", text) == OFFSET.sub("#", error)
            if len(got) == hit and OFFSET.search(error):
                assert int(OFFSET.search(error)[1]) == bounds[hit] + int(OFFSET.search(text)[1])
            if not EOF_TEXT.match(text):
                # raised by the feed that brought the fault's last byte, as a decoder that tries at every feed would
                fault = first_fault(data)
                assert at[0] < fault <= at[1] and fed(velkora.StreamDecoder(), data, [1])[2] == (fault - 1, fault)
        elif text is not None:
            # finish(): the stream stopped waiting for bytes that never came, and so does the whole body
            assert EOF_TEXT.match(text) and same(got, expected) and error is not None and EOF_TEXT.match(error)
        # otherwise the sequence ended; the whole body reads on after it (it may even find a second "docs")
    # The Arrow decoder: fed at once, in chunks and byte by byte, the same rows, or the same error; fed byte by
    # byte, raised by the byte that completes the fault (the batches a failing feed had cut stay queued, so the
    # rows seen before it depend on the chunks)
    (rows, chunked, chunked_at), (whole_rows, in_one, in_one_at), (bytewise_rows, bytewise, bytewise_at) = (
        fed(velkora.ArrowStreamDecoder(ARROW, batch_size, children=children), data, by) for by in (sizes, None, [1]))
    if kind == "none":  # and deserialize_arrow, reading the body whole, the same rows or the same fault
        batch = outcome(velkora.deserialize_arrow, data, ARROW, children=children)
        assert (OFFSET.sub("#", str(batch)) if isinstance(batch, ValueError) else batch.to_pylist()) == (
            whole_rows if in_one is None else OFFSET.sub("#", in_one))
    if in_one_at:  # raised by a feed: by a feed in chunks and byte by byte too
        assert chunked == in_one == bytewise and chunked_at and bytewise_at
        # the chunk that raised it holds the byte that completes the fault
        assert chunked_at[1] == next(end for end in accumulate(map(len, pieces(data, sizes))) if bytewise_at[1] <= end)
    else:
        assert rows == bytewise_rows == whole_rows
        if in_one is None:
            assert chunked is None and bytewise is None
        else:  # cut inside the counted documents: raised by finish(), the offset what each decoder still held
            assert (chunked_at, bytewise_at) == (None, None) and all(map(EOF_TEXT.match, (in_one, chunked, bytewise)))
