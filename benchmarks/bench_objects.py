"""Python objects: deserialize against marshal.loads, json.loads and orjson.loads of the same data.

For a 50,000-document /select response (the real one from the shared test data when it is present,
else a generated one) and a generated /export response, prints the time of each decoder and its
ratio to deserialize, with the cyclic collector on and paused for the baselines.

A decoder that keeps the collector out of its build does not remove the collection, it defers it: the
young generation then holds every container of the result, and the caller's next allocations pay to
traverse them. So each route with the collector on is timed twice: the call alone, and the call followed
by a couple of thousand small allocations, which includes the first young collection after it.
"""

from __future__ import annotations

import json
import marshal
from pathlib import Path

import velkora
from bodies import export_response, select_response
from timing import best_of

try:
    import orjson
except ImportError:  # the benchmark still runs; that row is left out
    orjson = None

REAL_SELECT = Path(__file__).resolve().parent.parent.parent / "shared/testdata/solr/select_large.bin"

# Kept alive until the clock stops, so that the young generation's count passes its threshold (700 by
# default) at least once whatever it was after the call.
NEXT_ALLOCATIONS = 2_000


def noop(_doc) -> None:
    pass


def then_allocate(fn):
    """`fn`, then the caller's next few container allocations: up to and including a young collection."""

    def run():
        result = fn()
        allocated = [[] for _ in range(NEXT_ALLOCATIONS)]
        return result, allocated

    return run


def report(name: str, body: bytes) -> None:
    frozen = marshal.dumps(velkora.deserialize(body))  # no decoded copy stays alive for the collector to walk
    text = velkora.deserialize_json(body)
    rows = [
        ("deserialize", lambda: velkora.deserialize(body), True),
        # deserialize keeps the collector out of its own decode, so the caller's setting changes little.
        ("deserialize (gc paused)", lambda: velkora.deserialize(body), False),
        ("marshal.loads (gc on)", lambda: marshal.loads(frozen), True),
        ("marshal.loads (gc paused)", lambda: marshal.loads(frozen), False),
        ("json.loads (gc on)", lambda: json.loads(text), True),
        ("json.loads (gc paused)", lambda: json.loads(text), False),
    ]
    if orjson is not None:
        rows += [
            ("orjson.loads (gc on)", lambda: orjson.loads(text), True),
            ("orjson.loads (gc paused)", lambda: orjson.loads(text), False),
        ]
    rows += [
        ("deserialize_stream, no-op", lambda: velkora.deserialize_stream(body, noop), True),
        ("_deserialize_safe (gc on)", lambda: velkora._deserialize_safe(body), True),
    ]
    print(f"{name}: {len(body) / 1e6:.2f} MB javabin, {len(text) / 1e6:.2f} MB JSON")
    print(f"  {'':28} {'call':>11} {'x ours':>8}   {'+ young collection':>18} {'x ours':>8}")
    base = base_collected = None
    for label, fn, collector in rows:
        t = best_of(fn, repeat=5, collector=collector)
        base = base or t
        line = f"  {label:28} {t * 1e3:8.1f} ms {t / base:6.2f} x"
        if collector:  # with the collector paused there is no collection to include
            tc = best_of(then_allocate(fn), repeat=5, collector=True)
            base_collected = base_collected or tc
            line += f"   {tc * 1e3:15.1f} ms {tc / base_collected:6.2f} x"
        print(line)
    print()


def main() -> None:
    select = REAL_SELECT.read_bytes() if REAL_SELECT.exists() else select_response(50_000)
    report("/select, 50,000 documents" + (" (select_large.bin)" if REAL_SELECT.exists() else ""), select)
    report("/export, 50,000 documents", export_response(50_000))
    print("targets: deserialize <= 1.25 x marshal.loads; orjson.loads >= 1.5 x deserialize;")
    print("         with the young collection: deserialize <= 0.5 x marshal.loads")


if __name__ == "__main__":
    main()
