"""`velkora.pysolr.Solr.search()` against `pysolr.Solr.search()` over loopback.

A loopback Solr node (tests/solr_node.py, in this process) serves each answer as javabin to us and as the
text Solr's JSON writer writes for it (tests/solr_json.py) to pysolr: the 50,000-document select_large and the
20-document select_small of the Solr test data, each with a SimpleOrderedMap at the top as a real /select has.
Then the decode step alone: the native JSON-writer shape against `deserialize` on the same body.
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

from timing import best_of  # noqa: E402

TARGETS = {"search, 50,000 documents": 3.0, "search, 20 documents": 1.3}
STEP_TARGET = 1.3


def answer(name: str) -> tuple[bytes, bytes]:
    """(javabin, JSON text) of a described body, its top a SimpleOrderedMap."""
    import solr_json
    from descriptions import body, load

    data = bytearray(body(name))
    assert data[1] >> 5 == 6  # NAMED_LST at the top: the same header as ORDERED_MAP but for the group
    data[1] = (5 << 5) | (data[1] & 0x1F)
    d = load(name)
    return bytes(data), solr_json.text({"t": "som", "v": d["v"]})


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


def main() -> None:
    import pysolr

    import velkora
    import velkora.pysolr as vp
    from solr_node import SolrNode, bodies

    node = SolrNode()
    try:
        cases = {"search, 50,000 documents": "select_large", "search, 20 documents": "select_small"}
        steps = {}
        for label, name in cases.items():
            javabin, text = answer(name)
            steps[name] = javabin
            for path in (f"/solr/{name}/select", f"/solr/{name}/select/"):
                node.serve(path, bodies(javabin, text))
            url = node.url(f"/solr/{name}")
            ours, theirs = vp.Solr(url), pysolr.Solr(url)
            assert ours.search("*:*").raw_response == theirs.search("*:*").raw_response
            repeat = 5 if name == "select_large" else 200
            t_ours = best_of(lambda: ours.search("*:*"), repeat)
            t_theirs = best_of(lambda: theirs.search("*:*"), repeat)
            speedup = t_theirs / t_ours
            print(f"{label}: velkora {t_ours * 1e3:.2f} ms, pysolr {t_theirs * 1e3:.2f} ms, "
                  f"{speedup:.2f} x (target >= {TARGETS[label]} x: {verdict(speedup >= TARGETS[label])})")
        for name, javabin in steps.items():
            repeat = 7 if name == "select_large" else 500
            t_json = best_of(lambda: velkora.loads_solr_json(javabin), repeat)
            t_plain = best_of(lambda: velkora.deserialize(javabin), repeat)
            ratio = t_json / t_plain
            print(f"decode step, {name}: loads_solr_json {t_json * 1e3:.3f} ms, deserialize {t_plain * 1e3:.3f} ms, "
                  f"{ratio:.2f} x (target <= {STEP_TARGET} x: {verdict(ratio <= STEP_TARGET)})")
    finally:
        node.close()


if __name__ == "__main__":
    main()
