"""Resident memory stays flat over 100,000 calls of every entry point on a good and a failing body, and over
100,000 decoders dropped mid-stream (in a subprocess, so other tests leave no noise)."""

import pytest

from helpers import in_fresh_python

LEAKS = """
    import gc
    import pyarrow as pa
    import velkora
    from arrow_expect import export, select
    from helpers import feed_all, outcome, rss

    good = select([("id", "a"), ("n", 1), ("tags", ["x", "y"])], [("id", "b"), ("n", 2), ("tags", [])])
    bad = good[:-3] + bytes([0x16]) + good[-2:]          # an unknown tag inside the last document
    cut = export([("id", "a"), ("n", 1)], [("id", "b"), ("n", 2)])[:-6]
    schema = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("tags", pa.list_(pa.utf8()))])

    fed = lambda make, *callback: lambda data: feed_all(make(), data, None, *callback)
    dropped = lambda make, *callback: lambda data: make().feed(data, *callback)
    entries = {
        "deserialize": velkora.deserialize,
        "_deserialize_safe": velkora._deserialize_safe,
        "deserialize_json": velkora.deserialize_json,
        "_bench_parse_only": velkora._bench_parse_only,
        "deserialize_stream": lambda data: velkora.deserialize_stream(data, lambda doc: None),
        "deserialize_arrow": lambda data: velkora.deserialize_arrow(data, schema),
        "StreamDecoder": fed(velkora.StreamDecoder, lambda doc: None),
        "ArrowStreamDecoder": fed(lambda: velkora.ArrowStreamDecoder(schema, 1)),
    }
    bodies = {"good": good, "bad": bad, "cut": cut}
    cases = [(name, entry, which) for name, entry in entries.items() for which in ("good", "bad")] + [
        ("dropped StreamDecoder", dropped(velkora.StreamDecoder, lambda doc: None), "cut"),
        ("dropped ArrowStreamDecoder", dropped(lambda: velkora.ArrowStreamDecoder(schema)), "cut")]

    calls = int(sys.argv[1])
    for name, entry, which in cases:
        for n in (calls // 5, calls):  # a warm-up first: caches, pymalloc arenas, pyarrow's pools
            gc.collect()
            before = rss()
            for _ in range(n):
                outcome(entry, bodies[which])
            gc.collect()
        print(name, which, rss() - before, flush=True)
"""

GROWTH_LIMIT = 4 << 20  # one leaked small object per call would be several times this


@pytest.mark.rss
def test_resident_memory_stays_flat():
    output = in_fresh_python(LEAKS, 100000, timeout=600)
    lines = [line.rsplit(" ", 1) for line in output.splitlines()]
    assert len(lines) == 18, output
    grown = {case: int(growth) for case, growth in lines if int(growth) > GROWTH_LIMIT}
    assert not grown, grown
