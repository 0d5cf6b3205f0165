"""velkora.deserialize and the cyclic collector. The first young collection after a decode walks every tracked
container of the result; a dict holding only scalars cannot be part of a cycle, and the interpreter leaves it
untracked until a container goes in: the decoder must keep it so, and cycles made later must still be freed."""

import gc
import weakref

import pytest

import javabin as jb
from descriptions import body
from helpers import needs_data, select
from velkora import deserialize

SCALARS = [("id", jb.Str("a-1")), ("title", "Ñandú"), ("n", 3), ("big", jb.Long(-2**63)), ("price", jb.Float(1.5)),
           ("weight", 2.25), ("inStock", True), ("gone", None), ("payload", jb.Bytes(b"\x00\xff")),
           ("when", jb.Date(1_289_616_390_279)), ("group", jb.Extern("g-1"))]
# Values decoding to dicts, some holding containers. Element type 3 is bytes; a document's children come in a list;
# an all-scalar dict inside still counts: it may be tracked later, and then the outer one must be walked.
VALUES = {
    "doc": jb.Doc(SCALARS), "input-doc": jb.InputDoc(SCALARS, boost=2.0), "map": jb.Map(SCALARS),
    "doc-list-field": jb.Doc(SCALARS + [("cat", ["a", "b"])]), "named-list": jb.NamedList(SCALARS),
    "doc-empty-list": jb.Doc(SCALARS + [("empty", [])]), "enum": jb.EnumValue(3, jb.Str("x")),
    "doc-typed-list": jb.Doc(SCALARS + [("typed", jb.TypedArr(6, [1, 2]))]),
    "doc-typed-bytes": jb.Doc(SCALARS + [("blob", jb.TypedArr(3, b"\x01\x02"))]),
    "doc-children": jb.Doc(SCALARS, [jb.Doc([("id", "child")])]), "map-entry": jb.MapEntry(jb.Str("k"), 1),
    "named-list-null-key": jb.NamedList([(None, 1), ("a", "x")]), "entry-iter-list": jb.MapEntryIter([(7, [1])]),
    "named-list-nested": jb.NamedList([("inner", jb.NamedList([("a", 1)]))]),
    "map-nested": jb.Map([("m", jb.Map([("a", 1)]))]), "entry-iter": jb.MapEntryIter([(7, "x"), (None, 1.5)]),
    "select": select([jb.Doc(SCALARS), jb.Doc(SCALARS + [("cat", ["x"])])])}
REAL = ["select_small", "child_docs", "export_like", "stream_like", "javabin_sample", "all_types", "updateReq_4_5",
        "javabin_backcompat_child_docs"]


def dicts_in(value):
    if isinstance(value, dict):
        yield value
    for child in [*value, *value.values()] if isinstance(value, dict) else value if isinstance(value, list) else ():
        yield from dicts_in(child)


@pytest.mark.parametrize("source", [*VALUES.values(), *(pytest.param(name, marks=needs_data) for name in REAL)],
                         ids=[*VALUES, *REAL])
def test_only_dicts_holding_containers_are_tracked_and_cycles_through_them_are_collected(source):
    decoded = deserialize(body(source) if isinstance(source, str) else source if isinstance(source, bytes)
                          else jb.encode(source))
    dicts = list(dicts_in(decoded))
    assert dicts[0] is decoded
    # Some documents are all scalars there.
    assert not all(map(gc.is_tracked, dicts)) or source not in ("select_small", "stream_like", "javabin_sample")
    probe = {1}  # a set is weakly referable
    alive = weakref.ref(probe)
    for d in dicts:
        assert gc.is_tracked(d) is any(isinstance(x, (list, dict)) for pair in d.items() for x in pair), d
        # The interpreter tracks a dict when a container goes in; the decoder's untracked dicts must be real dicts.
        d.update(self=[d, probe], all=decoded)  # d -> list -> d, and decoded -> ... -> d -> decoded
        assert gc.is_tracked(d)
    del decoded, dicts, d, probe
    gc.collect()
    assert alive() is None
