"""The seed inputs of each target: the shared minimised corpus, the Solr bodies and bodies written by
the test writer (tests/javabin.py), each with the target's prefixes in front (fuzz/targets.py)."""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "testdata"
CORPUS = SHARED / "fuzz" / "corpus"
DICTIONARY = SHARED / "fuzz" / "javabin.dict"
SOLR = SHARED / "solr"
REGRESSIONS = Path(__file__).resolve().parent / "regressions"
LARGEST = 1 << 20  # select_large (5 MB) would only slow every target down

sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import targets  # noqa: E402


def written_bodies() -> list[bytes]:
    """Small bodies of every shape the envelope readers know, from the test writer."""
    import javabin as jb
    from arrow_expect import export, select, stream

    docs = [[("id", f"d{i}"), ("n", i), ("tags", ["a", "b"][: i % 3]), ("price", jb.Float(1.5 * i))] for i in range(4)]
    child = [("id", "p"), ("kid", jb.Doc([("id", "c")]))]
    return [
        select(*docs), export(*docs), stream(*docs), stream(*docs, end=False), select(child),
        jb.encode(jb.Doc([("id", "p")], [jb.Doc([("id", "c1")], [jb.Doc([("id", "g")])])])),
        jb.encode(jb.Map({1: "x", "k": [1, 2]})), jb.encode(jb.TypedArr(4, [1, -2])), jb.encode(jb.Iter([1, None])),
        jb.encode(jb.MapEntryIter({"response": jb.NamedList({"docs": jb.Iter([jb.MapEntryIter({"id": 1})])})})),
        jb.encode(jb.EnumValue(3, "high")), jb.encode(jb.MapEntry("k", jb.Date(0))), jb.encode([jb.Double(0.5)] * 3),
    ]


def bodies(full: bool = True) -> list[bytes]:
    """Seed bodies: with `full` the shared corpus too (1,600 inputs), else the Solr bodies and written ones."""
    found = []
    if full and CORPUS.is_dir():
        found += [p.read_bytes() for p in sorted(CORPUS.iterdir())]
    if SOLR.is_dir():
        found += [p.read_bytes() for p in sorted(SOLR.glob("*.bin")) if p.stat().st_size <= LARGEST]
    return found + written_bodies()


def regressions(target: str) -> list[Path]:
    folder = REGRESSIONS / target
    return sorted(folder.iterdir()) if folder.is_dir() else []


def write(target: str, folder: Path, full: bool = True) -> int:
    """Writes the seeds of `target` into `folder`, named by content; returns how many there are."""
    folder.mkdir(parents=True, exist_ok=True)
    prefixes = targets.PREFIXES.get(target, [b""])
    inputs = [prefix + body for body in bodies(full) for prefix in prefixes]
    inputs += [p.read_bytes() for p in regressions(target)]
    for data in inputs:
        (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
    return len(inputs)
