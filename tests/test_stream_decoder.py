"""StreamDecoder: documents of a response fed in chunks, delivered one at a time; what both chunk-fed decoders
hold on to while they are fed."""

import functools
import gc
from concurrent.futures import ThreadPoolExecutor

import pyarrow as pa
import pytest

import javabin as jb
import velkora
from helpers import EOF, every_cut, export, failure, fed_until_failure, feed_all, in_fresh_python, select, \
    stream_decoded, streamed as reference
from solr_node import stream_body


DOCS = [{"id": f"d{i}", f"f{i}": i, "tags": ["x", f"t{i}"]} for i in range(5)]

# --- truncation, envelope boundaries and malformed input ---------------------------------------

# The envelope defines "alpha_name" and "docs"; each document defines names the next ones refer back to.
EXTERNS = ([{"id": "a", "alpha_name": 1}, {"alpha_name": 2, "beta_name": [jb.Extern("gamma")]},
            {"beta_name": jb.Extern("gamma"), "id": "c"}], [("debug", jb.NamedList({"alpha_name": jb.Extern("docs")}))])
SHAPES = {"select": select, "export": export, "export_named": functools.partial(export, named=True)}
TRUNCATED = {  # documents, the entries ahead of "response", the body's shape
    **{f"externs in {name}": (*EXTERNS, shape) for name, shape in SHAPES.items()},
    # 40 documents: the array size spills into a second byte, and nothing is delivered before it is in
    "two-byte array size": (DOCS * 8, (), select)}


ROWS = pa.schema([("id", pa.utf8()), ("alpha_name", pa.int64())], {"origin": "solr"})


def arrow_rows(*calls):
    return [row for call in calls for batch in call for row in batch.to_pylist()]


def fed(dec, data, sizes):
    """A decoder of either kind fed `data` in `sizes` chunks up to the first failure: the documents (rows) delivered,
    the error text (None when none), the range of bytes fed by the chunk whose feed raised it (None otherwise)."""
    out, stream = [], isinstance(dec, velkora.StreamDecoder)
    returned, error, at = fed_until_failure(dec, data, sizes, *[out.append] * stream)
    assert not stream or returned == [None] * len(returned)  # a StreamDecoder's feed and finish return None
    return out if stream else arrow_rows(*returned), None if error is None else str(error), at


@pytest.mark.parametrize("case", TRUNCATED)
def test_truncation_at_every_prefix(case):
    # Both decoders fed a prefix: what it completes, then a refusal at finish() naming the bytes still held, until
    # the rest comes.
    docs, before, shape = TRUNCATED[case]
    data, expected = shape(docs, before), reference(shape(docs, before))
    rows = velkora.deserialize_arrow(data, ROWS).to_pylist()
    bounds = [len(shape(docs, before, k)) for k in range(len(docs) + 1)]  # envelope end, then each doc's end
    ended = bounds[-1] + (shape is not select)  # the counted array ends with its last document, an iterator at END
    # "beta_name" defined by the second document; or the ARR header: 0x80|31, then varint 40 - 31
    assert b"\xe0\x29beta_name" in data[bounds[1]:bounds[2]] if before else data[bounds[0] - 2:bounds[0]] == b"\x9f\x09"
    for n, (dec, out) in every_cut(data, stream_decoded):
        arrow = velkora.ArrowStreamDecoder(ROWS, 1)
        got, done = arrow_rows(arrow.feed(data[:n])), [b for b in bounds[1:] if b <= n]
        assert dec.count == len(done) and out == expected[:len(done)] and got == rows[:len(done)]
        if n < ended:
            cursor = max([b for b in bounds if b <= n], default=0)  # bytes consumed so far
            held = n - cursor if cursor >= n - cursor else n  # buffer left after compaction
            for finish in (dec.finish, arrow.finish) * 2:  # the same again: finish changes nothing
                assert failure(finish) == EOF.format(held)
        dec.feed(data[n:], out.append)  # it was only waiting: the rest completes the stream
        assert out == expected and len(out) == dec.count == len(docs) and dec.finish() is None
        assert got + arrow_rows(arrow.feed(data[n:]), arrow.finish()) == rows
        if before:  # one object, whichever chunk defined it
            assert out[1]["beta_name"][0] is out[2]["beta_name"] and list(out[1])[0] is list(out[0])[1]
    # schema() at any time: a new object each call, the schema given, metadata included
    assert arrow.schema() is not arrow.schema() and arrow.schema().equals(ROWS, check_metadata=True)


@pytest.mark.parametrize("index, size_bytes", [(9, 1), (40, 2), (4000, 3)])
@pytest.mark.parametrize("as_name", [True, False], ids=["name", "value"])
def test_extern_reference_beyond_table_raised_at_once(index, size_bytes, as_name):
    # the table holds "result-set", "docs" and "id" when the second document starts
    bad = {jb.ExternRef(index): 1} if as_name else {"id": jb.ExternRef(index)}
    data = stream_body([{"id": "a"}, bad])
    start = data.index(b"\x0f") + 1  # the second document follows the first one's END
    ref_end = start + (1 if as_name else 2) + size_bytes  # after the doc's tag (and the name "id")
    assert failure(velkora.deserialize, data) == EOF.format(ref_end)
    dec, out = stream_decoded(data[:ref_end - 1], [1])  # a reference still missing size bytes just waits
    assert out == [{"id": "a"}]
    for chunk in (data[ref_end - 1:ref_end], b""):  # the last size byte: raised now, and again on the next feed
        assert failure(dec.feed, chunk, out.append) == EOF.format(ref_end - start)
    assert dec.count == 1


ARROW = pa.schema([("id", pa.utf8())])
DECODERS = {"StreamDecoder": velkora.StreamDecoder, "ArrowStreamDecoder": lambda: velkora.ArrowStreamDecoder(ARROW)}


@pytest.mark.parametrize("make", DECODERS.values(), ids=DECODERS)
@pytest.mark.parametrize("data, cut, arrow_message", [
    (jb.encode(jb.NamedList([(jb.Raw(bytes([jb.INT, 0, 0, 0, 1])), 1)])), None,
     "expected field name (string or null) at byte offset 2, found other tag"),
    # the reference is complete, the value of its entry has not arrived yet
    (jb.encode(jb.NamedList([("responseHeader", jb.NamedList({"status": 0})), (jb.ExternRef(7), 1)])), -1, None),
], ids=["field name", "reference beyond the table"])
def test_envelope_errors_count_from_the_stream(make, data, cut, arrow_message):
    dec = make()  # the whole body's message, or the Arrow decoder's own
    message = isinstance(dec, velkora.ArrowStreamDecoder) and arrow_message or failure(velkora.deserialize, data)
    for chunk in (data[:cut], b"", b"x"):  # raised by the feed, no document delivered, and again on every later feed
        assert fed(dec, chunk, None) == ([], message, (0, len(chunk)))
    assert cut is None or message == EOF.format(len(data) - 1)


# --- callback failures and re-entrancy ---------------------------------------------------------

BOOM = KeyError("third")


@pytest.mark.parametrize("op, message", [
    (lambda d: (_ for _ in ()).throw(BOOM), None),  # propagated as it is
    (lambda d: d.feed(b"", print), "Already borrowed"),
    (lambda d: d.finish(), "Already borrowed"),
    (lambda d: d.count, "Already mutably borrowed"),
], ids=["error", "reentrant_feed", "reentrant_finish", "reentrant_count"])
def test_callback_failure_redelivers_document(op, message):
    dec, out, op = velkora.StreamDecoder(), [], [op]

    def cb(doc):  # fails once, at the third document
        if len(out) == 2 and op:
            op.pop()(dec)
        out.append(doc)

    info = pytest.raises(KeyError if message is None else RuntimeError, lambda: dec.feed(export(DOCS), cb))
    assert (info.value is BOOM if message is None else str(info.value) == message) and dec.count == 2
    dec.feed(b"", cb)
    assert out == DOCS and dec.count == 5 and dec.finish() is None


# --- threads ---------------------------------------------------------------------------------

def in_thread(func):
    """Run `func` on another thread; what it raised (a PanicException is no Exception), or None."""
    gc.collect()  # decoders of earlier tests left in reference cycles must not be collected in the worker
    gc.disable()
    try:
        with ThreadPoolExecutor(1) as pool:
            return pool.submit(func).exception()
    finally:
        gc.enable()


THREAD_OPS = {name: (DECODERS["ArrowStreamDecoder" if name.startswith("arrow") else "StreamDecoder"], use)
              for name, use in {"feed": lambda d: d.feed(b"\x02", print), "finish": lambda d: d.finish(),
                                "count": lambda d: d.count, "arrow_feed": lambda d: d.feed(b"\x02"),
                                "arrow_finish": lambda d: d.finish(), "arrow_schema": lambda d: d.schema()}.items()}


def fed_whole(dec, data):
    """What a decoder of either kind gives for the whole of `data`: the documents, or the rows' ids."""
    got, error, _ = fed(dec, data, None)
    assert error is None
    return got if isinstance(dec, velkora.StreamDecoder) else [row["id"] for row in got]


# --- bodies without documents, trailing bytes ---------------------------------------------------

A = [jb.Doc({"id": "a"})]
NO_DOCS = {name: jb.encode(value) for name, value in {
    "no_response": jb.NamedList({"responseHeader": jb.NamedList({"status": 0}), "docs": A}), "top_level_arr": A,
    "top_level_doclist": jb.DocList(docs=A), "empty_envelope": jb.NamedList({}), "top_level_ints": [1, 2],
    "top_level_map": jb.Map({"response": jb.MapEntryIter({"docs": jb.Iter(A)})}),
    "docs_not_sequence": jb.NamedList({"response": jb.NamedList({"docs": "x", "more": [jb.Doc()]})}),
    "doclist_docs_iterator": jb.NamedList({"response": jb.DocList(docs=jb.Iter(A))}),
    **{f"{k.__name__}_without_docs": k({"response": k({"numFound": 0})}) for k in (jb.MapEntryIter, jb.NamedList)},
    "header_only": jb.NamedList({"responseHeader": jb.NamedList({"status": 0})}),
    "stream": jb.MapEntryIter([("result-set", jb.MapEntryIter([("docs", jb.Iter([]))]))]),
}.items()} | {"select": select([]), "export": export([])}


@pytest.mark.parametrize("tail", [b"", b"\x16\x16garbage"], ids=["", "garbage"])
@pytest.mark.parametrize("sizes", [None, [1], [3]])
@pytest.mark.parametrize("name", sorted(NO_DOCS))
def test_bodies_without_documents(name, sizes, tail):
    dec, out = stream_decoded(NO_DOCS[name] + tail, sizes)
    assert out == [] and dec.finish() is None and dec.count == 0
    assert not any(feed_all(velkora.ArrowStreamDecoder(ARROW), NO_DOCS[name] + tail, sizes))
    assert velkora.deserialize_arrow(NO_DOCS[name] + tail, ARROW).num_rows == 0


@pytest.mark.parametrize("shape", [select, export, stream_body], ids=["select", "export", "stream"])
def test_bytes_after_documents_ignored(shape):
    full = shape(DOCS)
    # the counted /select array ends where the facet section starts; the iterators two bytes early
    seq_end = full.index(b"\xe0\x2cfacet_counts") if shape is select else len(full) - 2
    dec, out = stream_decoded(full[:seq_end] + b"\x16\xff\xffgarbage\x15\x63", [7])
    assert dec.finish() is None and dec.count == len(out) and out == reference(full)


@pytest.mark.parametrize("make", DECODERS.values(), ids=DECODERS)
@pytest.mark.parametrize("chunk", [bytearray(b"\x02"), memoryview(b"\x02"), "\x02"])
def test_chunk_must_be_bytes(make, chunk):
    dec = make()
    info = pytest.raises(TypeError, fed, dec, chunk, None)
    assert str(info.value) == f"'{type(chunk).__name__}' object is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'chunk'"]
    subclass = type("Chunk", (bytes,), {})(export(DOCS))  # subclasses of bytes are fine
    assert fed_whole(dec, subclass) == (DOCS if isinstance(dec, velkora.StreamDecoder) else [d["id"] for d in DOCS])


# --- bounded buffers ------------------------------------------------------------------------------

def _growth_while_feeding(kind, body):
    """How far resident memory rose while `body` ("incomplete", or the number of documents of a /stream body) was
    fed in 64 KiB chunks to a decoder of `kind` (its buffer is on the C allocator, which only the operating system
    sees), measured in a fresh process; and the documents (rows) delivered."""
    return tuple(map(int, in_fresh_python("""
        import velkora
        from helpers import export, pieces, rss
        from test_arrow import _big
        stream, incomplete = sys.argv[1] == "StreamDecoder", sys.argv[2] == "incomplete"
        data = export([{"id": "big", "blob": "z" * 4_000_000}])[:-10] if incomplete else _big(int(sys.argv[2]))[0]
        dec, rows = velkora.StreamDecoder() if stream else velkora.ArrowStreamDecoder(_big(2)[1], 8192), 0
        feed = (lambda chunk: dec.feed(chunk, lambda doc: None) or []) if stream else dec.feed
        before = peak = rss()
        for chunk in pieces(data, [65536]):
            rows += sum(b.num_rows for b in feed(chunk))
            peak = max(peak, rss())
        print(peak - before, dec.count if stream else rows + sum(b.num_rows for b in dec.finish()))
    """, kind, body).split()))


@pytest.mark.rss
@pytest.mark.parametrize("kind, slack", [("StreamDecoder", 2 << 20), ("ArrowStreamDecoder", 24 << 20)])
def test_memory_bounded_by_one_document(kind, slack):
    # a response of many documents costs no more than one of fewer; an incomplete document is held whole
    if kind == "StreamDecoder":
        growth, count = _growth_while_feeding(kind, "incomplete")
        assert count == 0 and growth > 4_000_000
    (small, small_count), (large, large_count) = (_growth_while_feeding(kind, n) for n in (5_000, 50_000))
    assert (small_count, large_count) == (5_000, 50_000) and large < small + slack, (small, large)
