"""Chunk-fed decoders: work linear in the size of one document and of the envelope, however the peer cuts the
body (counted in bytes gone over); fed in any chunks, the whole body's documents and errors, at one feed."""

import functools
import re
import sys
from pathlib import Path

import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import javabin as jb
import velkora
from helpers import corrupt, export, failure, fed_until_failure, feed_all, pieces, select

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
from oracles import is_prefix, same  # noqa: E402  (documents compared as the oracles compare them)

EOF_TEXT = re.compile(r"^unexpected end of input at byte offset \d+$")
OFFSET = re.compile(r"byte offset (\d+)")
SHAPES = {"select": select, "export": export, "export_named": functools.partial(export, named=True)}


def _vals(key, n):
    return jb.Doc({"id": key, "vals": [f"v{i:05}" for i in range(n)]})


def _long_varint(where):
    """A varint of 30,000 continuation bytes (the wire puts no limit on a varint's length): a small int's in the
    envelope, or a string's size (31 + 0 bytes) in a document."""
    run = b"\x80" * 30_000
    if where == "envelope":
        return select([{"id": "d0"}], before=[("debug", jb.Raw(b"\x55" + run + b"\x01"))])
    return select([jb.Doc({"id": "d0", "name": jb.Raw(b"\x3f" + run + b"\x00" + b"n" * 31)})])


def _envelope(entries):
    """A highlighting section of `entries` entries ahead of "response", then three small documents."""
    hl = jb.NamedList({f"doc-{i}": {"title": [f"<em>w{i}</em> text"]} for i in range(entries)})
    return select([jb.Doc({"id": f"d{i}"}) for i in range(3)], before=[("highlighting", hl)])


SCHEMA = pa.schema([("id", pa.utf8()), ("vals", pa.list_(pa.utf8()))])
WIDE = pa.schema([("id", pa.utf8()), ("f7", pa.int64())])  # the other fields are passed over
LARGE = {  # about 1 MB each, or 30 KB for one-byte feeding; with the schema the Arrow decoder reads them by
    "one_document": (lambda: select([_vals("big", 140_000)]), SCHEMA),
    "large_envelope": (lambda: _envelope(28_000), SCHEMA),
    "small_documents": (lambda: select([_vals(f"d{i}", 140) for i in range(1000)]), SCHEMA),
    "many_fields": (lambda: select([jb.Doc([("id", "w")] + [(f"f{i}", i) for i in range(100_000)])]), WIDE),
    "one_document_30kb": (lambda: select([_vals("big", 4200)]), SCHEMA),
    "large_envelope_30kb": (lambda: _envelope(970), SCHEMA),
    "varint_in_envelope_30kb": (lambda: _long_varint("envelope"), SCHEMA),
    "varint_in_document_30kb": (lambda: _long_varint("document"), SCHEMA)}


@functools.lru_cache(maxsize=None)
def large(name):
    return LARGE[name][0]()


def walked(kind, data, size, schema):
    """The bytes a new decoder of `kind` goes over (every walk and decode attempt) fed `data` in `size` pieces."""
    stream = kind == "StreamDecoder"
    dec = velkora.StreamDecoder() if stream else velkora.ArrowStreamDecoder(schema, 4096)
    feed_all(dec, data, [size], *[lambda doc: None] * stream)
    return dec._walked


# --- work: linear in the body however it is cut (wall-clock ratios are in benchmarks/bench_chunked.py) -----

@pytest.mark.parametrize("kind", ["StreamDecoder", "ArrowStreamDecoder"])
@pytest.mark.parametrize("body,size", [("one_document", 256), ("large_envelope", 256), ("small_documents", 256),
                                       ("many_fields", 256), ("one_document_30kb", 1), ("large_envelope_30kb", 1),
                                       ("varint_in_envelope_30kb", 1), ("varint_in_document_30kb", 7)])
def test_small_chunks_walk_each_byte_a_few_times(kind, body, size):
    # A decoder that went back to the start of a document or envelope at every feed would go over about
    # len(data)**2 / (2 * size) bytes: 2,000 times the body here; one that goes on where it stopped, about twice.
    data = large(body)
    assert len(data) <= walked(kind, data, size, LARGE[body][1]) <= 4 * len(data)


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
    ENTRIES(st.tuples(NAMES, inner)).map(jb.NamedList), ENTRIES(st.tuples(NAMES, inner)).map(jb.OrderedMap),
    ENTRIES(st.tuples(st.one_of(NAMES, st.integers(0, 9)), inner)).map(jb.Map),
    ENTRIES(st.tuples(st.one_of(NAMES, st.integers(0, 9)), inner)).map(jb.MapEntryIter),
    st.tuples(NAMES.map(jb.Str), inner).map(lambda kv: jb.MapEntry(*kv)),
    st.tuples(st.integers(0, 9), NAMES.map(jb.Str)).map(lambda p: jb.EnumValue(*p)),
    ENTRIES(st.tuples(NAMES, inner)).map(jb.Doc)), max_leaves=10)
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


def fed(data, sizes):
    """A StreamDecoder fed `data` in `sizes` chunks: the documents, the error text (None when none) with the
    range of bytes fed by the chunk that raised it, and what finish() raised (None when it returned)."""
    out = []
    _, error, at = fed_until_failure(velkora.StreamDecoder(), data, sizes, out.append)
    text = None if error is None else str(error)
    return (out, text, at, None) if at else (out, None, None, text)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shape=st.sampled_from(sorted(SHAPES)), docs=DOCUMENTS, before=BEFORE, sizes=SIZES)
def test_valid_bodies_in_any_chunks(shape, docs, before, sizes):
    data = SHAPES[shape](docs, before)
    expected, error = whole(data)
    assert error is None and len(expected) == len(docs)
    assert fed(data, sizes) == (expected, None, None, None)
    assert fed(data, [1]) == (expected, None, None, None)


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_extern_definitions_split_anywhere(shape):
    # each document defines names the next ones refer to; the envelope defines "response" and "docs"
    docs = [jb.Doc({"id": "a", "alpha_name": 1}), jb.Doc({"alpha_name": 2, "beta_name": [jb.Extern("gamma")]}),
            jb.Doc({"beta_name": jb.Extern("gamma"), "id": "c"})]
    data = SHAPES[shape](docs, [("debug", jb.NamedList({"alpha_name": jb.Extern("docs")}))])
    expected, _ = whole(data)
    for cut in range(len(data) + 1):
        got, error, _, finish = fed(data, [cut, len(data)] if cut else None)
        assert (got, error, finish) == (expected, None, None)
        assert got[1]["beta_name"][0] is got[2]["beta_name"]  # one object, whichever chunk defined it
        assert list(got[1])[0] is list(got[0])[1] == "alpha_name"


def first_fault(data):
    """The length of the shortest prefix on which deserialize_stream fails for another reason than running
    out of input: where a decoder reading as far as the bytes go first meets the fault."""
    for n in range(len(data) + 1):
        _, error = whole(data[:n])
        if error is not None and not EOF_TEXT.match(error):
            return n
    return None


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shape=st.sampled_from(sorted(SHAPES)), docs=DOCUMENTS.filter(bool), before=BEFORE, sizes=SIZES,
       where=st.floats(0, 1, exclude_max=True), kind=st.sampled_from(["replace", "insert", "delete"]),
       byte=st.integers(0, 255))
def test_corrupted_documents_in_any_chunks(shape, docs, before, sizes, where, kind, byte):
    build = SHAPES[shape]
    bounds = [len(build(docs, before, k)) for k in range(len(docs) + 1)]  # where each document ends
    position = bounds[0] + int(where * (bounds[-1] - bounds[0]))
    hit = next(j for j in range(len(docs)) if position < bounds[j + 1])  # the document the fault is in
    data = corrupt(build(docs, before), position, kind, byte)
    expected, error = whole(data)
    got, stream_error, at, finish = fed(data, sizes)
    assert is_prefix(got, expected) and len(got) >= hit
    if stream_error is not None:
        # the same documents, then the same fault, its offset counted from the failing document
        assert same(got, expected) and error is not None
        assert OFFSET.sub("#", stream_error) == OFFSET.sub("#", error)
        if len(got) == hit and OFFSET.search(error):
            assert int(OFFSET.search(error)[1]) == bounds[hit] + int(OFFSET.search(stream_error)[1])
        if not EOF_TEXT.match(stream_error):
            # raised by the feed that brought the fault's last byte, as a decoder that tries at every feed would
            fault = first_fault(data)
            assert at[0] < fault <= at[1]
            assert fed(data, [1])[2] == (fault - 1, fault)
    elif finish is not None:
        # the stream stopped waiting for bytes that never came: so does the whole body
        assert EOF_TEXT.match(finish) and same(got, expected) and error is not None and EOF_TEXT.match(error)
    # otherwise the sequence ended; the whole body reads on after it (it may even find a second "docs")


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shape=st.sampled_from(sorted(SHAPES)), docs=DOCUMENTS, before=BEFORE, sizes=SIZES,
       where=st.floats(0, 1, exclude_max=True), kind=st.sampled_from(["replace", "insert", "delete"]),
       byte=st.integers(0, 255))
def test_corrupted_envelopes_in_any_chunks(shape, docs, before, sizes, where, kind, byte):
    build = SHAPES[shape]
    envelope_end = len(build(docs, before, 0))
    data = corrupt(build(docs, before), 1 + int(where * (envelope_end - 1)), kind, byte)
    got, stream_error, _, finish = fed(data, sizes)
    at_once = fed(data, None)
    assert same(got, at_once[0]) and (stream_error, finish) == (at_once[1], at_once[3])
    expected, error = whole(data)
    if error is None:  # (the whole body checks more of the envelope, a document list's header for one)
        assert is_prefix(got, expected)
    if stream_error is not None and stream_error == error and not got and not EOF_TEXT.match(error):
        # an envelope fault: raised by the feed that brought its last byte, counted from the stream's start
        fault = first_fault(data)
        assert fed(data, [1])[2] == (fault - 1, fault)


ARROW = pa.schema([("id", pa.utf8()), ("name", pa.utf8()), ("price", pa.float64()), ("tags", pa.list_(pa.utf8()))])


def arrow_fed(data, sizes):
    """An ArrowStreamDecoder (batches of 2 rows) fed `data` in `sizes` chunks: the rows of the batches, in
    order, and the first error text with the end of the bytes fed when a feed raised it, or what finish() gave."""
    returned, error, at = fed_until_failure(velkora.ArrowStreamDecoder(ARROW, 2), data, sizes)
    rows = [b.to_pylist() for call in returned for b in call]
    return rows, None if error is None else (str(error), at[1]) if at else str(error)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shape=st.sampled_from(sorted(SHAPES)), docs=DOCUMENTS, before=BEFORE, sizes=SIZES,
       where=st.floats(0, 1, exclude_max=True), kind=st.sampled_from(["replace", "insert", "delete", "none"]),
       byte=st.integers(0, 255))
def test_arrow_corrupted_bodies_in_any_chunks(shape, docs, before, sizes, where, kind, byte):
    data = SHAPES[shape](docs, before)
    if kind != "none":
        data = corrupt(data, 1 + int(where * (len(data) - 1)), kind, byte)
    rows, outcome = arrow_fed(data, sizes)
    whole_rows, whole_outcome = arrow_fed(data, None)
    bytewise_rows, bytewise_outcome = arrow_fed(data, [1])
    if isinstance(whole_outcome, tuple):
        # the same error; fed byte by byte, raised by the byte that completes the fault (the batches a
        # failing feed had cut stay queued, so the rows seen before it depend on the chunks)
        assert outcome[0] == whole_outcome[0] == bytewise_outcome[0]
        start = 0
        for piece in pieces(data, sizes):
            if start < bytewise_outcome[1] <= start + len(piece):
                assert outcome[1] == start + len(piece)
            start += len(piece)
    else:
        flat = [r for batch in whole_rows for r in batch]
        assert [r for batch in rows for r in batch] == [r for batch in bytewise_rows for r in batch] == flat
        if whole_outcome is None:
            assert outcome is None and bytewise_outcome is None
        else:  # cut inside the counted documents: the offset is what each decoder still held
            assert EOF_TEXT.match(whole_outcome) and EOF_TEXT.match(outcome) and EOF_TEXT.match(bytewise_outcome)
