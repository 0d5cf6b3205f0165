"""velkora.deserialize_stream: documents handed to the callback one by one, the envelope
returned with an empty document list."""

import contextlib
import gc
import sys

import pytest

import javabin as jb
from descriptions import assert_same, body
from helpers import EOF, failure, needs_data, outcome

from velkora import deserialize, deserialize_stream


def docs(*ids):
    return [jb.Doc([("id", i), ("name", f"n{i}")]) for i in ids]


def py_docs(*ids):
    return [{"id": i, "name": f"n{i}"} for i in ids]


def doclist(numFound, docs=(), start=0, maxScore=None, numFoundExact=None):
    return dict(numFound=numFound, start=start, maxScore=maxScore, numFoundExact=numFoundExact, docs=list(docs))


HEADER = ("responseHeader", jb.OrderedMap([("status", jb.Int(0))]))
SELECT = jb.NamedList([HEADER, ("response", jb.DocList(3, 0, 1.5, True, docs(1, 2, 3)))])
THREE = jb.encode(jb.NamedList([("response", jb.DocList(5, docs=jb.Arr(docs(1, 2, 3), count=5)))]))
FIVE = jb.encode(jb.Raw(THREE[1:]), *docs(4, 5))  # cut inside the fourth document below

CASES = [
    (SELECT, {"responseHeader": {"status": 0}, "response": doclist(3, maxScore=1.5, numFoundExact=True)},
     py_docs(1, 2, 3)),
    (jb.MapEntryIter([("responseHeader", jb.MapEntryIter([("status", 0)])), ("response", jb.MapEntryIter(
        [("numFound", 2), ("docs", jb.Iter(docs(1, 2))), ("after", [jb.Doc()])]))]),
     {"responseHeader": {"status": 0}, "response": {"numFound": 2, "docs": [], "after": [{}]}}, py_docs(1, 2)),
    (jb.NamedList([("response", jb.NamedList([("docs", jb.Iter(docs(1))), (None, 5)]))]),
     {"response": {"docs": [], None: 5}}, py_docs(1)),
    (jb.NamedList([("result-set", jb.NamedList([("docs", docs(1, 2))]))]), {"result-set": {"docs": []}}, py_docs(1, 2)),
    # A MAP container is always a dict here, whatever its keys.
    (jb.NamedList([("response", jb.Map([(7, "x"), ("docs", docs(4))]))]), {"response": {7: "x", "docs": []}}, py_docs(4)),
    (jb.NamedList([("response", jb.DocList(1, docs=jb.Iter(docs(1))))]), {"response": doclist(1)}, []),
    (jb.NamedList([("response", jb.DocList(header=jb.Arr([5])))]), {"response": doclist(5, start=None)}, []),
    (jb.NamedList([("docs", docs(1)), ("other", jb.NamedList([("docs", docs(2))]))]),
     {"docs": py_docs(1), "other": {"docs": py_docs(2)}}, []),
    (jb.NamedList([("response", jb.NamedList([("docs", jb.NamedList([("a", 1)]))])), ("response", "s")]),
     {"response": "s"}, []),
    (jb.NamedList([("response", jb.NamedList([("docs", [1, None, [2]])]))]), {"response": {"docs": []}}, [1, None, [2]]),
    (jb.Arr([jb.NamedList([("response", jb.DocList(1, docs=docs(1)))])]), [{"response": doclist(1, py_docs(1))}], []),
    # Input-document children (tag 0x10 in item position) of a delivered document.
    (jb.NamedList([("response", jb.DocList(1, docs=[jb.Doc([("id", 1)], [jb.InputDoc([("id", 2)]), jb.Doc()])]))]),
     {"response": doclist(1)}, [{"id": 1, "_childDocuments_": [{"id": 2}, {}]}]),
    (jb.NamedList([("response", jb.DocList(0, docs=[]))]), {"response": doclist(0)}, []),
    # a fault: the documents ahead of it delivered, then the error the whole body raises
    (jb.Raw(jb.encode(SELECT)[1:] + b"\0\0"), "trailing data after decoded value: 2 unread byte(s)", py_docs(1, 2, 3)),
    *[(jb.Raw(FIVE[1:len(THREE) + cut]), EOF.format(len(THREE) + cut), py_docs(1, 2, 3)) for cut in (1, 4, 7)],
    # real Solr bodies: what deserialize returns, the documents taken out of it
    *[pytest.param(name, None, None, marks=needs_data) for name in [
        "select_small", "child_docs", "javabin_sample", "export_like", "stream_like", "javabin_backcompat_child_docs"]],
]


def split(value):
    """What deserialize_stream should return and deliver, from deserialize's result."""
    delivered = []
    for container in [value.get(key) for key in ("response", "result-set")] if isinstance(value, dict) else []:
        if isinstance(container, dict) and isinstance(container.get("docs"), list):
            delivered += container["docs"]
            container["docs"] = []
    return value, delivered


@pytest.mark.parametrize("wire,envelope,delivered", CASES)
def test_shapes(wire, envelope, delivered):
    data = body(wire) if isinstance(wire, str) else jb.encode(wire)
    if isinstance(wire, str):
        envelope, delivered = split(deserialize(data))
        assert len(delivered) > 0 or wire == "javabin_backcompat_child_docs"
    got = []
    result = outcome(deserialize_stream, data, got.append)
    assert_same(str(result) if isinstance(result, ValueError) else result, envelope)
    assert_same(got, delivered)
    assert not isinstance(result, ValueError) or failure(deserialize, data) == envelope
    with pytest.raises(TypeError) if got else contextlib.nullcontext():  # only a document due calls the callback
        assert_same(deserialize_stream(data, 5), envelope)
    seen = {}  # field names come from one extern table: one key object per name
    for doc in (d for d in got if isinstance(d, dict)):
        assert all(seen.setdefault(k, k) is k for k in doc)


@pytest.mark.parametrize("enabled", [True, False])
def test_callback_runs_under_the_callers_collector_with_the_only_reference(enabled):
    # Decoding pauses the cyclic collector; the callback runs under the caller's setting, and every exit restores
    # it, the one by the callback's exception (passed on as it is) too. Each document is let go of before the
    # next is read, the envelope once returned.
    boom, kept, previous, seen = KeyError("stop"), [], [], []

    def callback(doc):
        if kept:
            previous.append(sys.getrefcount(kept[-1]))  # `kept` and getrefcount's own argument
        kept.append(doc)
        seen.append(gc.isenabled())
        if len(kept) == 5:
            raise boom

    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        deserialize(jb.encode(SELECT))
        assert gc.isenabled() == enabled
        result = deserialize_stream(jb.encode(SELECT), callback)
        assert sys.getrefcount(result) == 2
        assert [sys.getrefcount(kept[i]) for i in range(3)] == [2] * 3
        assert pytest.raises(KeyError, deserialize_stream, jb.encode(SELECT), callback).value is boom
        assert kept == py_docs(1, 2, 3, 1, 2) and previous == [2] * 4
        assert seen == [enabled] * 5 and gc.isenabled() == enabled
    finally:
        gc.enable() if was else gc.disable()
