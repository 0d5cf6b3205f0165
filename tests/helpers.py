"""What several test files share: chunked feeding, sweeps over cut and corrupted bodies, /select and /export
bodies, and memory probes."""

import random
import resource
import subprocess
import sys
import textwrap
import tracemalloc
from itertools import chain

import pytest

import javabin as jb
import velkora
from descriptions import SOLR_DATA

needs_data = pytest.mark.skipif(not SOLR_DATA.is_dir(), reason="Solr test data not present")
EOF = "unexpected end of input at byte offset {}"
DEPTH = ("javabin value nesting exceeds the maximum supported depth (128) at byte offset {}; "
         "the input is likely malformed or malicious")


def failure(call, *args, **kw):
    """The message of the ValueError `call(*args, **kw)` raises, or None when it returns."""
    try:
        call(*args, **kw)
    except ValueError as e:
        return str(e)


def outcome(call, *args, **kw):
    """What `call(*args, **kw)` returns, or the ValueError it raises."""
    try:
        return call(*args, **kw)
    except ValueError as e:
        return e


def every_cut(data, call, cuts=None):
    """(cut, outcome of `call` on data[:cut]) for every cut (or those `cuts` lists), in order."""
    for cut in range(len(data) + 1) if cuts is None else sorted(cuts):
        yield cut, outcome(call, data[:cut])


def fails_alike_at_every_cut(data, call, reference, cuts=None):
    """On each prefix of `data` (or those `cuts` lists), `call` fails with `reference`'s message or returns."""
    for cut in range(len(data) + 1) if cuts is None else cuts:
        assert failure(call, data[:cut]) == failure(reference, data[:cut]), cut


def corrupt(data, position, kind, byte):
    """`data` with `byte` put at `position` ("replace" or "insert"), or the byte there taken out ("delete")."""
    if kind == "delete":
        return data[:position] + data[position + 1:]
    return data[:position] + bytes([byte]) + data[position + (kind == "replace"):]


def corruptions(data, count, seed):
    """`count` copies of `data`, each with one random byte replaced by a random byte (seeded)."""
    rng = random.Random(seed)
    return [corrupt(data, rng.randrange(len(data)), "replace", rng.randrange(256)) for _ in range(count)]


def replacements(data, values, start=0):
    """`data` with the byte at each position from `start` on replaced by each of `values` in turn."""
    return (corrupt(data, pos, "replace", value) for pos in range(start, len(data)) for value in values)


def pieces(data, sizes=None):
    """`data` cut into pieces of the given sizes, cycled; None means one piece (also for empty data)."""
    pos, i = 0, 0
    while pos < len(data) or i == 0:
        size = len(data) if sizes is None else sizes[i % len(sizes)]
        yield data[pos:pos + size]
        pos, i = pos + size, i + 1


def feed_all(decoder, data, sizes=None, *args):
    """What every feed of `data` in `sizes` pieces (with `args`) returned, then what finish() returned."""
    return [decoder.feed(chunk, *args) for chunk in pieces(data, sizes)] + [decoder.finish()]


def fed_until_failure(decoder, data, sizes=None, *args):
    """feed_all up to the first call that raises: what the calls returned, that ValueError (or None), and the
    range of bytes fed by the piece whose feed raised it (None when finish() did)."""
    returned, end = [], 0
    for chunk in chain(pieces(data, sizes), [None]):  # None: finish()
        try:
            returned.append(decoder.finish() if chunk is None else decoder.feed(chunk, *args))
        except ValueError as e:
            return returned, e, None if chunk is None else (end, end + len(chunk))
        end += 0 if chunk is None else len(chunk)
    return returned, None, None


def stream_decoded(data, sizes=None):
    """A new StreamDecoder fed `data` in `sizes` pieces: the decoder and the documents it delivered."""
    dec, out = velkora.StreamDecoder(), []
    for chunk in pieces(data, sizes):
        dec.feed(chunk, out.append)
    return dec, out


def streamed(data):
    out = []
    velkora.deserialize_stream(data, out.append)
    return out


def documents(data):
    """The documents of a body as deserialize_stream delivers them, less the EOF tuple ending a /stream."""
    return [d for d in streamed(data) if d.get("EOF") is not True]


# ---------------------------------------------------------------------------
# Bodies. Documents are dicts of fields or javabin values (jb.Doc, jb.MapEntryIter, ...); `before` entries
# come ahead of "response"; with `k`, only the bytes up to the end of document k, the declared counts kept.

def _wire(doc, kind):
    return kind(doc) if isinstance(doc, dict) else doc


def select(docs, before=(), k=None):
    tail = [("facet_counts", jb.NamedList({"facet_fields": jb.NamedList({})}))] * (k is None)
    docs = [_wire(d, jb.Doc) for d in docs]
    response = jb.DocList(numFound=len(docs), maxScore=1.5, numFoundExact=True, docs=jb.Arr(docs[:k], count=len(docs)))
    return jb.encode(jb.NamedList([("responseHeader", jb.NamedList({"status": 0, "QTime": 3})), *before,
                                   ("response", response), *tail], count=3 + len(before)))


def export(docs, before=(), k=None, named=False):
    """Documents in an ITERATOR, "response" a MAP_ENTRY_ITER (a NAMED_LST if `named`)."""
    end = k is None
    docs = [_wire(d, jb.MapEntryIter) for d in docs]
    items = [("numFound", len(docs)), ("docs", jb.Iter(docs if end else docs[:k], end=end))]
    response = jb.NamedList(items) if named else jb.MapEntryIter(items, end=end)
    return jb.encode(jb.MapEntryIter([("responseHeader", jb.MapEntryIter({"status": jb.Int(0)})), *before,
                                      ("response", response)], end=end))


# ---------------------------------------------------------------------------
# Memory

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def status(key):
    """A size this process's /proc status gives (VmRSS, VmHWM, ...), in bytes."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


def cap_address_space(room):
    """Lets this process map no more than `room` bytes beyond what it has mapped now (None lifts the cap)."""
    with open("/proc/self/statm") as f:
        limit = resource.RLIM_INFINITY if room is None else int(f.read().split()[0]) * 4096 + room
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))


def traced_peak(call, *args):
    """What `call(*args)` returns, and the peak memory Python's allocators traced meanwhile."""
    tracemalloc.start()
    try:
        return call(*args), tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def in_fresh_python(code, *args, timeout=300):
    """The standard output of `code` (dedented) run in a new interpreter that imports from tests/ too."""
    tests = str(__import__("pathlib").Path(__file__).resolve().parent)
    prologue = f"import sys\nsys.path.insert(0, {tests!r})\n"
    run = subprocess.run([sys.executable, "-c", prologue + textwrap.dedent(code), *map(str, args)],
                         capture_output=True, text=True, timeout=timeout)
    assert run.returncode == 0, run.stderr[-3000:]
    return run.stdout
