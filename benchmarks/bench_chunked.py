"""Chunk-fed decoding over an /export response in 64 KiB and 4 KiB chunks, over one large document and a
large envelope in 256-byte and one-byte chunks, and over a document of 100,000 field names in 256-byte chunks.

StreamDecoder is timed as a ratio to deserialize_stream on the whole body, ArrowStreamDecoder (batches of
8,192 rows) as a ratio to deserialize_arrow on the whole body; for the /export response each ratio is also
counted in instructions (callgrind, when valgrind is there), which the machine's load does not move, and
each figure is printed beside its target with "met" or "NOT met". Peak memory is the growth of resident memory
while feeding, measured in a fresh process for a 5,000- and a 50,000-document response: the decoders'
buffers are on the C allocator, so only the operating system sees them. A peer chooses the chunk sizes, so
one document or one envelope cut small must cost about what it costs whole.
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pyarrow as pa

import velkora
import instructions
from bodies import export_response
from timing import best_of

import javabin as jb  # noqa: E402  (bodies puts the tests' writer on the path)

# The fields export_response writes that an Arrow column can take (sku_dv refers back to extern strings).
SCHEMA = pa.schema([("id", pa.utf8()), ("title", pa.utf8()), ("price", pa.float32()), ("popularity", pa.int32()),
                    ("inStock", pa.bool_()), ("manufacturedate_dt", pa.timestamp("ms")),
                    ("cat", pa.list_(pa.utf8())), ("weight", pa.float64()), ("views", pa.int64())])
BATCH = 8192


def noop(_doc) -> None:
    pass


def chunks_of(body: bytes, size: int) -> list[bytes]:
    return [body[i : i + size] for i in range(0, len(body), size)]


def feed_documents(chunks: list[bytes]) -> None:
    decoder = velkora.StreamDecoder()
    for chunk in chunks:
        decoder.feed(chunk, noop)
    decoder.finish()


def feed_batches(chunks: list[bytes]) -> int:
    decoder = velkora.ArrowStreamDecoder(SCHEMA, BATCH)
    rows = 0
    for chunk in chunks:
        rows += sum(b.num_rows for b in decoder.feed(chunk))
    return rows + sum(b.num_rows for b in decoder.finish())


PEAK = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    import pyarrow, velkora
    from bench_chunked import SCHEMA, BATCH, noop
    body = open(sys.argv[2], "rb").read()
    size, arrow = int(sys.argv[3]), sys.argv[4] == "arrow"
    decoder = velkora.ArrowStreamDecoder(SCHEMA, BATCH) if arrow else velkora.StreamDecoder()
    statm = open("/proc/self/statm")
    def rss():
        statm.seek(0)
        return int(statm.read().split()[1]) * 4096
    before = peak = rss()
    for start in range(0, len(body), size):
        batches = decoder.feed(body[start:start + size], *([] if arrow else [noop]))
        peak = max(peak, rss())
        del batches
    decoder.finish()
    print(max(peak, rss()) - before)
""")


def peak_growth(documents: int, size: int, kind: str) -> int:
    """How far resident memory rose above its level before feeding (sampled after every feed, with the batches
    a feed returned still held), in a fresh process that only read the body."""
    here = Path(__file__).resolve().parent
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        f.write(export_response(documents))
        f.flush()
        run = subprocess.run([sys.executable, "-c", PEAK, str(here), f.name, str(size), kind],
                             capture_output=True, text=True, check=True)
    return int(run.stdout)


def one_document(values: int) -> bytes:
    """A /select response of one document with a multi-valued field of `values` short strings (7 bytes each)."""
    return jb.encode(jb.NamedList([("responseHeader", jb.NamedList({"status": 0})), ("response", jb.DocList(
        numFound=1, docs=[jb.Doc({"id": "big", "vals": [f"v{i:05}" for i in range(values)]})]))]))


def large_envelope(entries: int) -> bytes:
    """A highlighting section of `entries` entries (about 36 bytes each) ahead of three small documents."""
    hl = jb.NamedList({f"doc-{i}": jb.NamedList({"title": [f"<em>w{i}</em> text"]}) for i in range(entries)})
    return jb.encode(jb.NamedList([("responseHeader", jb.NamedList({"status": 0})), ("highlighting", hl), (
        "response", jb.DocList(numFound=3, docs=[jb.Doc({"id": f"d{i}"}) for i in range(3)]))]))


def small_documents(n: int) -> bytes:
    """A /select response of `n` documents of about 1 KB: the same bytes as the cases above, cut by documents."""
    docs = [jb.Doc({"id": f"d{i}", "vals": [f"v{j:05}" for j in range(140)]}) for i in range(n)]
    return jb.encode(jb.NamedList([("responseHeader", jb.NamedList({"status": 0})), ("response", jb.DocList(
        numFound=n, docs=docs))]))


def many_fields(fields: int) -> bytes:
    """One document of `fields` single-valued fields, each name defined where it is first used."""
    return jb.encode(jb.NamedList([("responseHeader", jb.NamedList({"status": 0})), ("response", jb.DocList(
        numFound=1, docs=[jb.Doc([("id", "wide")] + [(f"f{i}", i) for i in range(fields)])]))]))


LARGE_SCHEMA = pa.schema([("id", pa.utf8()), ("vals", pa.list_(pa.utf8()))])
WIDE_SCHEMA = pa.schema([("id", pa.utf8()), ("f7", pa.int64())])  # the other fields are passed over


def small_chunks() -> None:
    """Wall-clock ratios of one large document, a large envelope and 100,000 field names cut small; the test
    suite proves the same linearity by counting the bytes the decoders go over (`_walked`), which a busy
    machine cannot upset, and these figures are what that count stands for."""
    cases = [("one document", one_document(140_000), 256, LARGE_SCHEMA),
             ("one document", one_document(14_000), 1, LARGE_SCHEMA),
             ("large envelope", large_envelope(28_000), 256, LARGE_SCHEMA),
             ("large envelope", large_envelope(2_800), 1, LARGE_SCHEMA),
             ("100,000 field names", many_fields(100_000), 256, WIDE_SCHEMA)]
    for name, body, size, schema in cases:
        print(f"{name}, {len(body) / 1e6:.2f} MB, {size}-byte chunks")
        same_size = chunks_of(small_documents(len(body) // 1000), size)
        reference = best_of(lambda: feed_documents(same_size), repeat=3)
        whole = best_of(lambda: velkora.deserialize_stream(body, noop), repeat=3)
        chunks = chunks_of(body, size)
        t = best_of(lambda: feed_documents(chunks), repeat=3)
        walked = velkora.StreamDecoder()
        for chunk in chunks:
            walked.feed(chunk, noop)
        print(f"  deserialize_stream (whole body)      {whole * 1e3:8.1f} ms   1.00 x")
        print(f"  StreamDecoder                        {t * 1e3:8.1f} ms   {t / whole:5.2f} x"
              f"   (went over {walked._walked / len(body):.2f} x the body)")
        print(f"  StreamDecoder, ~1 KB documents       {reference * 1e3:8.1f} ms   (as many bytes, the same chunks)")
        whole = best_of(lambda: velkora.deserialize_arrow(body, schema), repeat=3)

        def feed_arrow() -> int:
            decoder = velkora.ArrowStreamDecoder(schema, BATCH)
            for chunk in chunks:
                decoder.feed(chunk)
            decoder.finish()
            return decoder._walked

        t = best_of(feed_arrow, repeat=3)
        print(f"  deserialize_arrow (whole body)       {whole * 1e3:8.1f} ms   1.00 x")
        print(f"  ArrowStreamDecoder                   {t * 1e3:8.1f} ms   {t / whole:5.2f} x"
              f"   (went over {feed_arrow() / len(body):.2f} x the body)")


# Instruction counts of the /export figures: the body is written once to a file that each counted run reads.
COUNTED = textwrap.dedent("""
    import pyarrow, velkora
    from bench_chunked import SCHEMA, chunks_of, feed_batches, feed_documents, noop
    body = open({path!r}, "rb").read()
    chunks = chunks_of(body, {size}) if {size} else None
""")
CALLS = {"deserialize_stream": "velkora.deserialize_stream(body, noop)", "StreamDecoder": "feed_documents(chunks)",
         "deserialize_arrow": "velkora.deserialize_arrow(body, SCHEMA)", "ArrowStreamDecoder": "feed_batches(chunks)"}


def counted(path: str, name: str, size: int = 0) -> int | None:
    return instructions.per_call(COUNTED.format(path=path, size=size), CALLS[name])


def figure(label: str, t: float, ratio: float | None, target: float | None, count: int | None,
           count_ratio: float | None, peak: str = "") -> None:
    """One line, the same for every figure: time, ratio to the whole body and its verdict, then the same ratio in
    instructions (callgrind) and its verdict, then the peak memory where it was measured."""
    timed = f"{1.0 if ratio is None else ratio:5.2f} x"
    judged = f"(target <= {target} x: {instructions.verdict(ratio, target)})" if target is not None else ""
    if count is None:
        counts = "   instructions: valgrind absent"
    else:
        counts = f"{count / 1e6:8.1f} M instructions"
        if count_ratio is not None:
            counts += f" {count_ratio:5.2f} x (target <= {target} x: {instructions.verdict(count_ratio, target)})"
    print(f"  {label:36} {t * 1e3:8.1f} ms {timed} {judged:28} {counts}{peak}".rstrip())


def main() -> None:
    small_chunks()
    body = export_response(50_000)
    print(f"/export, 50,000 documents, {len(body) / 1e6:.2f} MB")
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        f.write(body)
        f.flush()
        for whole_name, name, cases, feed in (("deserialize_stream", "StreamDecoder", ((65536, 1.1), (4096, 1.3)),
                                               lambda c: feed_documents(c)),
                                              ("deserialize_arrow", "ArrowStreamDecoder", ((65536, 1.2), (4096, 1.4)),
                                               lambda c: feed_batches(c))):
            if whole_name == "deserialize_stream":
                whole = best_of(lambda: velkora.deserialize_stream(body, noop), repeat=5)
            else:
                whole = best_of(lambda: velkora.deserialize_arrow(body, SCHEMA), repeat=5)
            whole_count = counted(f.name, whole_name)
            figure(f"{whole_name} (whole body)", whole, None, None, whole_count, None)
            kind = "documents" if name == "StreamDecoder" else "arrow"
            for size, target in cases:
                chunks = chunks_of(body, size)
                if name == "ArrowStreamDecoder":
                    assert feed_batches(chunks) == 50_000
                t = best_of(lambda: feed(chunks), repeat=5)
                count = counted(f.name, name, size)
                peak = (f"   peak +{peak_growth(50_000, size, kind) / 2**20:5.1f} MiB"
                        f" (5,000 documents: +{peak_growth(5_000, size, kind) / 2**20:5.1f} MiB)")
                figure(f"{name}, {size // 1024:2} KiB chunks", t, t / whole, target, count,
                       count / whole_count if count is not None and whole_count else None, peak)


if __name__ == "__main__":
    main()
