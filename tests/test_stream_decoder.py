"""StreamDecoder: documents of a response fed in chunks, delivered one at a time."""

import gc
from concurrent.futures import ThreadPoolExecutor

import pyarrow as pa
import pytest

import javabin as jb
import velkora
from helpers import EOF, every_cut, export, feed_all, in_fresh_python, needs_data, select, stream_decoded, \
    streamed as reference
from solr_node import stream_body
from descriptions import body as solr_body



def stream(data, sizes=None):
    dec, out = stream_decoded(data, sizes)
    assert dec.finish() is None and dec.count == len(out)
    return out


SHAPES = {"select": select, "export": export, "stream": stream_body}
DOCS = [{"id": f"d{i}", f"f{i}": i, "tags": ["x", f"t{i}"]} for i in range(5)]

# --- chunking equivalence (the other Solr bodies go through the fuzz oracles' chunk plans: test_fuzz_replay.py) --

@needs_data
def test_large_select_chunked_like_whole():
    data = solr_body("select_large")
    expected = reference(data)
    assert len(expected) > 1000 and stream(data, [65536]) == expected


# --- truncation, envelope boundaries and malformed input ---------------------------------------

TRUNCATED = {  # documents, the body's shape
    # extern definitions cut anywhere (the second document refers back to names the first one defines)
    "externs": ([{"id": "a", "alpha_field": 1, "beta_field": 2}, {"beta_field": 3, "alpha_field": 4, "id": "b"},
                 DOCS[2]], export),
    # 40 documents: the array size spills into a second byte, and nothing is delivered before it is in
    "two-byte array size": (DOCS * 8, select),
}


@pytest.mark.parametrize("case", TRUNCATED)
def test_truncation_at_every_prefix(case):
    docs, shape = TRUNCATED[case]
    data = shape(docs)
    bounds = [len(shape(docs, k=k)) for k in range(len(docs) + 1)]  # envelope end, then each doc's end
    ended = bounds[-1] + (shape is export)  # the counted array ends with its last document, an iterator at END
    if shape is export:
        assert b"\xe0\x2balpha_field" in data[bounds[0]:bounds[1]]
    else:
        assert data[bounds[0] - 2:bounds[0]] == b"\x9f\x09"  # ARR header: 0x80|31, then varint 40 - 31
    for n, (dec, out) in every_cut(data, stream_decoded):
        done = [b for b in bounds[1:] if b <= n]
        assert dec.count == len(done) and out == docs[:len(done)]
        if n < ended:
            cursor = max([b for b in bounds if b <= n], default=0)  # bytes consumed so far
            held = n - cursor if cursor >= n - cursor else n  # buffer left after compaction
            for _ in range(2):
                assert str(pytest.raises(ValueError, dec.finish).value) == EOF.format(held)
            dec.feed(data[n:], out.append)  # it was only waiting: the rest completes the stream
        assert out == docs and dec.count == len(docs) and dec.finish() is None


@pytest.mark.parametrize("index, size_bytes", [(9, 1), (40, 2), (4000, 3)])
@pytest.mark.parametrize("as_name", [True, False], ids=["name", "value"])
def test_extern_reference_beyond_table_raised_at_once(index, size_bytes, as_name):
    # the table holds "result-set", "docs" and "id" when the second document starts
    bad = {jb.ExternRef(index): 1} if as_name else {"id": jb.ExternRef(index)}
    data = stream_body([{"id": "a"}, bad])
    start = data.index(b"\x0f") + 1  # the second document follows the first one's END
    ref_end = start + (1 if as_name else 2) + size_bytes  # after the doc's tag (and the name "id")
    assert str(pytest.raises(ValueError, velkora.deserialize, data).value) == EOF.format(ref_end)
    dec, out = stream_decoded(data[:ref_end - 1], [1])  # a reference still missing size bytes just waits
    assert out == [{"id": "a"}]
    for chunk in (data[ref_end - 1:ref_end], b""):  # the last size byte: raised now, and again on the next feed
        info = pytest.raises(ValueError, dec.feed, chunk, out.append)
        assert str(info.value) == EOF.format(ref_end - start)
    assert dec.count == 1


def test_extern_reference_beyond_table_in_envelope():
    data = jb.encode(jb.NamedList([("responseHeader", jb.NamedList({"status": 0})), (jb.ExternRef(7), 1)]))
    whole = pytest.raises(ValueError, velkora.deserialize, data)
    dec = velkora.StreamDecoder()
    with pytest.raises(ValueError) as info:
        dec.feed(data[:-1], pytest.fail)  # the value of the entry has not arrived yet
    assert str(info.value) == str(whole.value) == EOF.format(len(data) - 1)


# --- callback failures and re-entrancy ---------------------------------------------------------

BOOM = KeyError("third")


@pytest.mark.parametrize("op, message", [
    (lambda d: (_ for _ in ()).throw(BOOM), None),  # propagated as it is
    (lambda d: d.feed(b"", print), "Already borrowed"),
    (lambda d: d.finish(), "Already borrowed"),
    (lambda d: d.count, "Already mutably borrowed"),
], ids=["error", "reentrant_feed", "reentrant_finish", "reentrant_count"])
def test_callback_failure_redelivers_document(op, message):
    dec, out = velkora.StreamDecoder(), []

    def cb(doc):  # fails once, at the third document
        if len(out) == 2 and not hasattr(cb, "failed"):
            cb.failed = True
            op(dec)
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


ARROW = pa.schema([("id", pa.utf8())])
THREAD_OPS = {
    "feed": (velkora.StreamDecoder, lambda d: d.feed(b"\x02", print)),
    "finish": (velkora.StreamDecoder, lambda d: d.finish()),
    "count": (velkora.StreamDecoder, lambda d: d.count),
    "arrow_feed": (lambda: velkora.ArrowStreamDecoder(ARROW), lambda d: d.feed(b"\x02")),
    "arrow_finish": (lambda: velkora.ArrowStreamDecoder(ARROW), lambda d: d.finish()),
    "arrow_schema": (lambda: velkora.ArrowStreamDecoder(ARROW), lambda d: d.schema()),
}


def fed_whole(dec, data):
    """What a decoder of either kind gives for the whole of `data`: the documents, or the rows' ids."""
    if isinstance(dec, velkora.StreamDecoder):
        out = []
        dec.feed(data, out.append)
        assert dec.finish() is None
        return out
    return [i for b in dec.feed(data) + dec.finish() for i in b.column(0).to_pylist()]


# --- bodies without documents, trailing bytes ---------------------------------------------------

NO_DOCS = {name: jb.encode(value) for name, value in {
    "no_response": jb.NamedList({"responseHeader": jb.NamedList({"status": 0}), "docs": [jb.Doc({"id": "a"})]}),
    "top_level_arr": [jb.Doc({"id": "a"})],
    "top_level_doclist": jb.DocList(docs=[jb.Doc({"id": "a"})]),
    "top_level_map": jb.Map({"response": jb.MapEntryIter({"docs": jb.Iter([jb.Doc({"id": "a"})])})}),
    "empty_envelope": jb.NamedList({}),
    "docs_not_sequence": jb.NamedList({"response": jb.NamedList({"docs": "x", "more": [jb.Doc()]})}),
    "doclist_docs_iterator": jb.NamedList({"response": jb.DocList(docs=jb.Iter([jb.Doc({"id": "a"})]))}),
    "response_without_docs": jb.MapEntryIter({"response": jb.MapEntryIter({"numFound": 0})}),
    "named_list_without_docs": jb.NamedList({"response": jb.NamedList({"numFound": 0})}),
    "top_level_ints": [1, 2], "header_only": jb.NamedList({"responseHeader": jb.NamedList({"status": 0})}),
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


@pytest.mark.parametrize("shape", ["select", "export", "stream"])
def test_bytes_after_documents_ignored(shape):
    full = SHAPES[shape](DOCS)
    # the counted /select array ends where the facet section starts; the iterators two bytes early
    seq_end = full.index(b"\xe0\x2cfacet_counts") if shape == "select" else len(full) - 2
    assert stream(full[:seq_end] + b"\x16\xff\xffgarbage\x15\x63", [7]) == reference(full)


@pytest.mark.parametrize("make", [velkora.StreamDecoder, lambda: velkora.ArrowStreamDecoder(ARROW)],
                         ids=["StreamDecoder", "ArrowStreamDecoder"])
@pytest.mark.parametrize("chunk", [bytearray(b"\x02"), memoryview(b"\x02"), "\x02"])
def test_chunk_must_be_bytes(make, chunk):
    dec = make()
    with pytest.raises(TypeError) as info:
        dec.feed(chunk, print) if isinstance(dec, velkora.StreamDecoder) else dec.feed(chunk)
    assert str(info.value) == f"'{type(chunk).__name__}' object is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'chunk'"]
    subclass = type("Chunk", (bytes,), {})(export(DOCS))  # subclasses of bytes are fine
    assert fed_whole(dec, subclass) == (DOCS if isinstance(dec, velkora.StreamDecoder) else [d["id"] for d in DOCS])


# --- bounded buffer -----------------------------------------------------------------------------

def _growth_while_feeding(data, tmp_path):
    """How far resident memory rose while `data` was fed in 64 KiB chunks (the decoder's buffer is on the C
    allocator, which only the operating system sees), measured in a fresh process; and the documents."""
    path = tmp_path / "body.bin"
    path.write_bytes(data)
    return tuple(map(int, in_fresh_python("""
        import velkora
        from helpers import pieces, rss
        data, dec = open(sys.argv[1], "rb").read(), velkora.StreamDecoder()
        before = peak = rss()
        for chunk in pieces(data, [65536]):
            dec.feed(chunk, lambda doc: None)
            peak = max(peak, rss())
        print(peak - before, dec.count)
    """, path).split()))


@pytest.mark.rss
def test_buffer_holds_an_incomplete_document(tmp_path):
    data = export([{"id": "big", "blob": "z" * 4_000_000}])
    growth, count = _growth_while_feeding(data[:-10], tmp_path)
    assert count == 0 and growth > 4_000_000


@pytest.mark.rss
def test_buffer_memory_independent_of_response_size(tmp_path):
    small, large = (export([{"id": f"doc-{i}", "price": i * 0.25, "tags": ["a", f"t{i % 7}"]} for i in range(n)])
                    for n in (5_000, 50_000))
    growth_small, count_small = _growth_while_feeding(small, tmp_path)
    growth_large, count_large = _growth_while_feeding(large, tmp_path)
    assert (count_small, count_large) == (5_000, 50_000)
    assert growth_large < growth_small + (2 << 20), (growth_small, growth_large, len(large))
