"""velkora.deserialize and the cyclic collector. The first young collection after a decode walks every tracked
container of the result; a dict holding only scalars cannot be part of a cycle, and the interpreter leaves it
untracked until a container goes in: the decoder must keep it so, and cycles made later must still be freed."""

import gc
import weakref

import pytest

import javabin as jb
from descriptions import body
from helpers import needs_data
from velkora import deserialize

SCALARS = [("id", jb.Str("a-1")), ("title", "Ñandú"), ("n", 3), ("big", jb.Long(-2**63)), ("price", jb.Float(1.5)),
           ("weight", 2.25), ("inStock", True), ("gone", None), ("payload", jb.Bytes(b"\x00\xff")),
           ("when", jb.Date(1_289_616_390_279)), ("group", jb.Extern("g-1"))]


class Probe:  # weakly referable, to put inside a cycle
    pass


def holds_container(d: dict) -> bool:
    return any(isinstance(x, (list, dict)) for pair in d.items() for x in pair)


def dicts_in(value):
    if isinstance(value, dict):
        yield value
    for child in [*value, *value.values()] if isinstance(value, dict) else value if isinstance(value, list) else ():
        yield from dicts_in(child)


@pytest.mark.parametrize("value, tracked", [
    (jb.Doc(SCALARS), False),
    (jb.InputDoc(SCALARS, boost=2.0), False),
    (jb.Doc(SCALARS + [("cat", ["a", "b"])]), True),
    (jb.Doc(SCALARS + [("empty", [])]), True),
    (jb.Doc(SCALARS + [("typed", jb.TypedArr(6, [1, 2]))]), True),
    (jb.Doc(SCALARS + [("blob", jb.TypedArr(3, b"\x01\x02"))]), False),  # element type 3 is bytes
    (jb.Doc(SCALARS, [jb.Doc([("id", "child")])]), True),  # the children list
    (jb.NamedList(SCALARS), False),
    (jb.NamedList([(None, 1), ("a", "x")]), False),
    # An all-scalar dict inside still counts: it may be tracked later, and then the outer one must be walked.
    (jb.NamedList([("inner", jb.NamedList([("a", 1)]))]), True),
    (jb.Map(SCALARS), False),
    (jb.Map([("m", jb.Map([("a", 1)]))]), True),
    (jb.MapEntryIter([(7, "x"), (None, 1.5)]), False),
    (jb.MapEntryIter([(7, [1])]), True),
    (jb.MapEntry(jb.Str("k"), 1), False),
    (jb.EnumValue(3, jb.Str("x")), False),
], ids=["doc", "input-doc", "doc-list-field", "doc-empty-list", "doc-typed-list", "doc-typed-bytes",
        "doc-children", "named-list", "named-list-null-key", "named-list-nested", "map", "map-nested",
        "entry-iter", "entry-iter-list", "map-entry", "enum"])
def test_a_dict_is_tracked_only_when_it_holds_a_container(value, tracked):
    decoded = deserialize(jb.encode(value))
    assert isinstance(decoded, dict) and gc.is_tracked(decoded) is tracked


@needs_data
@pytest.mark.parametrize("name", ["select_small", "child_docs", "export_like", "stream_like", "javabin_sample",
                                  "all_types", "updateReq_4_5", "javabin_backcompat_child_docs"])
def test_real_responses_leave_only_dicts_holding_containers_tracked(name):
    decoded = deserialize(body(name))
    untracked = 0
    for d in dicts_in(decoded):
        assert gc.is_tracked(d) is holds_container(d), d
        untracked += not gc.is_tracked(d)
    if name in ("select_small", "stream_like", "javabin_sample"):
        assert untracked > 0  # some documents are all scalars there


def scalar_document_body() -> bytes:
    docs = [jb.Doc(SCALARS), jb.Doc(SCALARS + [("cat", ["x"])])]
    return jb.encode(jb.NamedList([("response", jb.DocList(numFound=2, docs=docs))]))


def test_cycles_made_through_an_untracked_document_are_collected():
    # The interpreter tracks a dict when a container goes in; the decoder's untracked dicts must be real dicts.
    docs = deserialize(scalar_document_body())["response"]["docs"]
    doc = docs[0]
    assert not gc.is_tracked(doc) and gc.is_tracked(docs)
    probe = Probe()
    alive = weakref.ref(probe)
    doc["self"] = [doc, probe]  # doc -> list -> doc
    doc["all"] = docs  # docs -> doc -> docs
    assert gc.is_tracked(doc)
    del docs, doc, probe
    gc.collect()
    assert alive() is None
