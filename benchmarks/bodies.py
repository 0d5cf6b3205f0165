"""Large response bodies for the benchmarks, built with the test suite's writer."""

from __future__ import annotations

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import javabin as jb  # noqa: E402

WORDS = "wireless keyboard charger stand café portable über smart cable usb hd audio".split()
CATEGORIES = ["electronics", "accessories", "audio", "kitchen", "sale", "outdoor"]


def _fields(rng: random.Random, i: int) -> list:
    """About ten typed fields, as a product catalogue document has them."""
    title = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 7))) + f" {i}"
    return [
        ("id", f"SKU-{i:07d}"),
        ("title", title),
        ("price", jb.Float(round(rng.uniform(1, 3000), 2))),
        ("popularity", jb.solr_int(rng.randint(1, 10))),
        ("inStock", rng.random() < 0.8),
        ("manufacturedate_dt", jb.Date(1_300_000_000_000 + rng.randint(0, 10**11))),
        ("cat", [rng.choice(CATEGORIES) for _ in range(rng.randint(1, 3))]),
        ("weight", rng.uniform(0.1, 40.0)),
        ("views", jb.solr_long(rng.randint(0, 10**9))),
        ("sku_dv", jb.Extern(f"group-{i % 50}")),
    ]


def select_response(n: int, seed: int = 7) -> bytes:
    """A /select response: a header, then n documents in a SolrDocumentList."""
    rng = random.Random(seed)
    docs = [jb.Doc(_fields(rng, i)) for i in range(n)]
    header = jb.OrderedMap([("status", jb.Int(0)), ("QTime", jb.solr_int(12)),
                            ("params", jb.NamedList([("q", "*:*"), ("rows", str(n))]))])
    return jb.encode(jb.NamedList([
        ("responseHeader", header),
        ("response", jb.DocList(n * 3, 0, 1.0, True, docs)),
    ]))


def export_response(n: int, seed: int = 11) -> bytes:
    """An /export response: documents as MapWriter entries inside an iterator."""
    rng = random.Random(seed)
    docs = [jb.MapEntryIter(_fields(rng, i)) for i in range(n)]
    return jb.encode(jb.MapEntryIter([
        ("responseHeader", jb.MapEntryIter([("status", jb.Int(0))])),
        ("response", jb.MapEntryIter([("numFound", jb.solr_long(n)), ("docs", jb.Iter(docs))])),
    ]))
