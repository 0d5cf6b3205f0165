"""Python objects: deserialize against marshal.loads, json.loads and orjson.loads of the same data.

For a 50,000-document /select response (the real one from the shared test data when it is present,
else a generated one) and a generated /export response, prints the time of each decoder and its
ratio to deserialize, with the cyclic collector on and paused for the baselines.

A decoder that keeps the collector out of its build does not remove the collection, it defers it: the
young generation then holds every container of the result, and the caller's next allocations pay to
traverse them. So each route with the collector on is timed three times: the call alone; the call followed
by a couple of thousand small allocations, which includes the first young collection after it; and the
call followed by enough allocations to reach the next middle-generation collection, which walks the
survivors of the young one once more (a decoder that lets the collector run pays both inside its call).
"""

from __future__ import annotations

import gc
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
# The middle generation is collected at the young collection after its own count passes its threshold;
# each young collection adds one to that count, and best_of starts from a full collection, so at zero.
_young, _middle, _old = gc.get_threshold()
THROUGH_MIDDLE = _young * (_middle + 3)


def noop(_doc) -> None:
    pass


def then_allocate(fn, count: int):
    """`fn`, then the caller's next `count` container allocations, kept until the clock stops."""

    def run():
        result = fn()
        allocated = [[] for _ in range(count)]
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
    print(f"  {'':28} {'call':>11} {'x ours':>8}   {'+ young collection':>18} {'x ours':>8}"
          f"   {'+ middle generation':>19} {'x ours':>8}")
    bases: dict[int, float] = {}
    for label, fn, collector in rows:
        t = best_of(fn, repeat=5, collector=collector)
        base = bases.setdefault(0, t)
        line = f"  {label:28} {t * 1e3:8.1f} ms {t / base:6.2f} x"
        # With the collector paused there is no collection to include.
        for count, width in ((NEXT_ALLOCATIONS, 15), (THROUGH_MIDDLE, 16)) if collector else ():
            t = best_of(then_allocate(fn, count), repeat=5, collector=True)
            base = bases.setdefault(count, t)
            line += f"   {t * 1e3:{width}.1f} ms {t / base:6.2f} x"
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
