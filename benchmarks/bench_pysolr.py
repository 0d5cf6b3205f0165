"""`velkora.pysolr.Solr.search()` against `pysolr.Solr.search()` over loopback.

What it measures: the wall-clock time of one ``search("*:*")`` call, request to `pysolr.Results`, for each client
on the same answers: the 50,000-document select_large and the 20-document select_small of the Solr test data,
each with a SimpleOrderedMap at the top as a real /select has. A loopback Solr node (tests/solr_node.py) serves
each answer as javabin to us and as the text Solr's JSON writer writes for it (tests/solr_json.py) to pysolr, in
4 KiB chunks with chunked transfer encoding, without gzip, over one kept-alive connection per client.

The node runs in a process of its own, as Solr does for a real client: in the client's process its serving
thread would compete with the client for the interpreter lock, and the cost of serving would count against
both sides. It still is a Python server, far slower than Solr's Jetty, so its serving time is part of every
figure, the same for both sides but for the size of the body each is sent (the JSON text is about twice the
javabin). The lines marked "bound" measure it: the round trip of an empty answer through a plain
``requests.Session`` (pysolr's transport) and through the direct path velkora.pysolr takes.

Each side is timed best of N calls, in rounds that alternate between the sides so that both see the same load.
Each search is counted in instructions too (callgrind, the client's process alone), a figure the load does not
move.
Then the decode step alone, in alternating rounds too: the native JSON-writer shape against `deserialize` on the
same body.

The line marked "floor" bounds what any decoder could reach: `marshal.loads`, the interpreter's own fastest
reader of its objects, building the very objects the JSON shape gives for select_large (its strings already
text, its floats already rounded), in time and in instructions (callgrind, when valgrind is there). The search
spends that building, the fetch, the release of the last answer and the collections its containers meet on
our side, whatever the decoder; the ratio printed beside it is the best a search could then reach.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import instructions  # noqa: E402
from timing import best_of  # noqa: E402

CASES = {"search, 50,000 documents": "select_large", "search, 20 documents": "select_small"}
TARGETS = {"search, 50,000 documents": 3.0, "search, 20 documents": 1.3}
STEP_TARGET = 1.3
ROUNDS = 3
REPEAT = {"select_large": 3, "select_small": 100}  # calls per round
EMPTY = "/solr/empty/select/"


def answer(name: str) -> tuple[bytes, bytes]:
    """(javabin, JSON text) of a described body, its top a SimpleOrderedMap."""
    import solr_json
    from descriptions import body, load

    data = bytearray(body(name))
    assert data[1] >> 5 == 6  # NAMED_LST at the top: the same header as ORDERED_MAP but for the group
    data[1] = (5 << 5) | (data[1] & 0x1F)
    d = load(name)
    return bytes(data), solr_json.text({"t": "som", "v": d["v"]})


def serve() -> None:
    """The node's process: serves the answers, prints its address, and stops when its input closes."""
    from solr_node import SolrNode, bodies

    node = SolrNode()
    try:
        for name in CASES.values():
            javabin, text = answer(name)
            for path in (f"/solr/{name}/select", f"/solr/{name}/select/"):  # pysolr asks for "select/?..."
                node.serve(path, bodies(javabin, text))
        node.serve(EMPTY, bodies(b"", b""))
        print(node.base, flush=True)
        sys.stdin.read()
    finally:
        node.close()


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


def alternating(first, second, repeat: int) -> tuple[float, float]:
    """Best seconds of each of two calls, timed in alternating rounds."""
    a = b = float("inf")
    for _ in range(ROUNDS):
        a = min(a, best_of(first, repeat))
        b = min(b, best_of(second, repeat))
    return a, b


def with_collection(fn):
    """`fn`, then enough small allocations to run the young collection the objects it built are left to."""

    def run():
        result = fn()
        return result, [[] for _ in range(2_000)]

    return run


def parts(base: str, session) -> None:
    """Where the time of each side's search of the 50,000 documents goes: the fetch of its body, and the decode
    together with the young collection its objects meet next (json.loads pays its collections inside the call;
    deserialize pauses the collector and leaves them to the caller) and their release."""
    import velkora.pysolr as vp
    from velkora import _core

    url = f"{base}/solr/select_large/select/?q=%2A%3A%2A"
    javabin, text = session.get(url + "&wt=javabin").content, session.get(url + "&wt=json").text

    t_fetch_ours = best_of(lambda: vp._direct_get(session, url + "&wt=javabin", 60, None), 5)
    t_fetch_theirs = best_of(lambda: session.get(url + "&wt=json", timeout=60).text, 5)
    t_decode_ours = best_of(with_collection(lambda: _core._deserialize_solr_json(javabin, "flat")), 5)
    t_decode_theirs = best_of(with_collection(lambda: json.loads(text)), 5)
    print(f"bound, search of 50,000 documents in parts: fetch {t_fetch_ours * 1e3:.1f} ms (javabin) against "
          f"{t_fetch_theirs * 1e3:.1f} ms (JSON text); decode, collection and release {t_decode_ours * 1e3:.1f} ms "
          f"(_deserialize_solr_json) against {t_decode_theirs * 1e3:.1f} ms (json.loads) (no target)")
    return t_fetch_ours


def floor(javabin: bytes, t_fetch: float, t_theirs: float) -> None:
    """The objects of the JSON shape built by marshal.loads, against the native decode of the same body."""
    import marshal

    from velkora import _core

    objects = marshal.dumps(_core._deserialize_solr_json(javabin, "flat"), 4)
    t_marshal = best_of(with_collection(lambda: marshal.loads(objects)), 5)
    t_native = best_of(with_collection(lambda: _core._deserialize_solr_json(javabin, "flat")), 5)
    line = (f"floor, the objects of select_large: marshal.loads {t_marshal * 1e3:.1f} ms, _deserialize_solr_json "
            f"{t_native * 1e3:.1f} ms (each with its collection and release); a search of fetch and marshal's "
            f"building alone would be {t_theirs / (t_fetch + t_marshal):.2f} x pysolr")
    counts = instructions_on(javabin, "import marshal\nfrom velkora import _core\n"
                             "objects = marshal.dumps(_core._deserialize_solr_json(body, 'flat'), 4)",
                             ["marshal.loads(objects)", "_core._deserialize_solr_json(body, 'flat')"])
    if counts:
        line += f"; instructions per call (build and release): marshal.loads {counts[0] / 1e6:.0f} M, " \
                f"_deserialize_solr_json {counts[1] / 1e6:.0f} M"
    print(line + " (no target)")


def instructions_on(javabin: bytes, setup: str, calls: list[str]) -> list[int] | None:
    """Instructions of one of each of `calls` (after `setup`, with the body in `body`), or None without valgrind.
    A shared machine's load moves the clock more than some differences measured; the counts stay."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "body.bin"
        path.write_bytes(javabin)
        counts = [instructions.per_call(f"body = open({str(path)!r}, 'rb').read()\n{setup}", call) for call in calls]
    return None if None in counts else counts


def search_instructions(url: str) -> list[int] | None:
    """Instructions one search("*:*") takes in the client's process, ours and pysolr's, or None without valgrind.
    The node serves from its own process, outside the count; so does the kernel's side of the sockets."""
    counts = [instructions.per_call(f"import {module} as client_module\nclient = client_module.Solr({url!r})",
                                    "client.search('*:*')", times=(1, 2)) for module in ("velkora.pysolr", "pysolr")]
    return None if None in counts else counts


def main() -> None:
    import pysolr
    import requests

    import velkora
    import velkora.pysolr as vp

    node = subprocess.Popen([sys.executable, __file__, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    try:
        base = node.stdout.readline().strip()
        if not base.startswith("http://127.0.0.1:"):
            raise RuntimeError(f"the loopback node did not start (it printed {base!r})")
        steps = {}
        for label, name in CASES.items():
            steps[name] = answer(name)[0]
            url = f"{base}/solr/{name}"
            ours, theirs = vp.Solr(url), pysolr.Solr(url)
            assert ours.search("*:*").raw_response == theirs.search("*:*").raw_response
            t_ours, t_theirs = alternating(lambda: ours.search("*:*"), lambda: theirs.search("*:*"), REPEAT[name])
            speedup = t_theirs / t_ours
            if name == "select_large":
                large_theirs = t_theirs
            print(f"{label}: velkora {t_ours * 1e3:.2f} ms, pysolr {t_theirs * 1e3:.2f} ms, "
                  f"{speedup:.2f} x (target >= {TARGETS[label]} x: {verdict(speedup >= TARGETS[label])})")
            counts = search_instructions(url)
            if counts:
                speedup = counts[1] / counts[0]
                print(f"{label}, in instructions of the client's process (callgrind): velkora {counts[0] / 1e6:.1f} M, "
                      f"pysolr {counts[1] / 1e6:.1f} M, {speedup:.2f} x (the target, >= {TARGETS[label]} x, is of the "
                      f"clock: {verdict(speedup >= TARGETS[label])} in this count)")
        session = requests.Session()
        t_fetch = parts(base, session)
        floor(steps["select_large"], t_fetch, large_theirs)
        empty = base + EMPTY + "?q=x"
        t_direct, t_session = alternating(lambda: vp._direct_get(session, empty, 60, None),
                                          lambda: session.get(empty, timeout=60).content, REPEAT["select_small"])
        print(f"bound, round trip of an empty answer: velkora.pysolr's direct path {t_direct * 1e3:.2f} ms, "
              f"requests.Session.get {t_session * 1e3:.2f} ms (no target)")
        for name, javabin in steps.items():
            repeat = 7 if name == "select_large" else 500
            t_json, t_plain = alternating(lambda: velkora.loads_solr_json(javabin), lambda: velkora.deserialize(javabin),
                                          repeat)
            ratio = t_json / t_plain
            print(f"decode step, {name}: loads_solr_json {t_json * 1e3:.3f} ms, deserialize {t_plain * 1e3:.3f} ms, "
                  f"{ratio:.2f} x (target <= {STEP_TARGET} x: {verdict(ratio <= STEP_TARGET)})")
            counts = instructions_on(javabin, "import velkora", ["velkora.loads_solr_json(body)",
                                                                  "velkora.deserialize(body)"])
            if counts:
                ratio = counts[0] / counts[1]
                print(f"decode step, {name}, in instructions (callgrind): loads_solr_json {counts[0] / 1e3:,.0f} k, "
                      f"deserialize {counts[1] / 1e3:,.0f} k, {ratio:.2f} x "
                      f"(target <= {STEP_TARGET} x: {verdict(ratio <= STEP_TARGET)})")
    finally:
        node.stdin.close()
        node.wait(timeout=30)


if __name__ == "__main__":
    serve() if sys.argv[1:] == ["--serve"] else main()
