"""deserialize_arrow and child documents: refused in skip mode, one row per document in explode mode."""

import pyarrow as pa
import pytest

import javabin as jb
from arrow_expect import CHILDREN_REFUSED, MISFIT, Mark, export, select
from helpers import DEPTH, failure
from test_arrow import BUILD, I64, NOT_DOC, UTF8
from velkora import deserialize_arrow

META = pa.schema([("id", I64), ("_parent_id", I64), ("_depth", pa.int32()), ("_child_field", UTF8)])
error = lambda data, schema=META, **kw: failure(deserialize_arrow, data, schema, **kw)  # noqa: E731


def D(key, *fields, children=()):
    return jb.Doc([("id", key), *fields], children)


def rows(data, schema=META, children="explode", **kw):
    batch = deserialize_arrow(data, schema, children=children, **kw)
    assert batch.schema.equals(schema, check_metadata=True)
    return list(zip(*(c.to_pylist() for c in batch.columns)))


ROOT = (1, None, 0, None)
TREES = [  # body, rows (id, _parent_id, _depth, _child_field)
    (select(D(1, children=[D(2), D(3)])), [ROOT, (2, 1, 1, None), (3, 1, 1, None)]),
    (select(D(1, ("reviews", [D(5), D(6, children=[D(7)])]))),
     [ROOT, (5, 1, 1, "reviews"), (6, 1, 1, "reviews"), (7, 6, 2, None)]),
    (select(D(1, ("kids", jb.Iter([D(2), D(3)])), ("n", 4))), [ROOT, (2, 1, 1, "kids"), (3, 1, 1, "kids")]),
    (export([("id", 1), ("author", D(2))]), [ROOT, (2, 1, 1, "author")]),
    (select(D(1, ("kids", [D(2), jb.NamedList([("id", 3)]), jb.MapEntryIter([("id", 4)]), jb.OrderedMap([])]))),
     [ROOT, (2, 1, 1, "kids"), (3, 1, 1, "kids"), (4, 1, 1, "kids"), (None, 1, 1, "kids")]),
    (select(D(1, ("a", [D(2, children=[D(3)])]), children=[D(4, ("b", D(5)))]), D(6, children=[D(7)])),
     [ROOT, (2, 1, 1, "a"), (3, 2, 2, None), (4, 1, 1, None), (5, 4, 2, "b"), (6, None, 0, None), (7, 6, 1, None)]),
    # The parent's key may follow its children; a parent without a single key gives them no parent id.
    (select(jb.Doc([("kids", [D(2)]), ("id", 1)])), [ROOT, (2, 1, 1, "kids")]),
    (jb.encode({"response": jb.DocList(docs=jb.Arr([jb.Raw(b"\x0b\xa2"), D(2), jb.Extern("id"), 1],
                                                  count=1))}), [ROOT, (2, 1, 1, None)]),
    (select(jb.Doc([("x", 1)], [D(2)])), [(None, None, 0, None), (2, None, 1, None)]),
    (select(D(None, children=[D(2)])), [(None, None, 0, None), (2, None, 1, None)]),
    (select(D([7, 8], children=[D(2)])), [(7, None, 0, None), (2, 7, 1, None)]),
    (select(D(1, ("id", 9), children=[D(2)])), [(9, None, 0, None), (2, 9, 1, None)]),
    # Empty lists are plain values, and fields named like metadata columns are not document fields.
    (select(D(1, ("kids", []), ("more", jb.Iter([])), ("_depth", 5), ("_parent_id", 3), ("_child_field", "f"))),
     [ROOT]),
]


SHAPED = [  # body, rows, schema, child_columns
    # A field holding children stays null.
    (select(D(1, ("kids", D(2, ("kids", "plain"))), ("tags", [D(3)])), D(4, ("kids", []), ("tags", []))),
     [(1, None, None, 0), (2, "plain", None, 1), (3, None, None, 1), (4, None, [], 0)],
     pa.schema([("id", I64), ("kids", UTF8), ("tags", pa.list_(I64)), ("_depth", I64)]), None),
    # Renamed roles: "_depth" is then a document field.
    (select(jb.Doc([("key", "a"), ("_depth", "plain"), ("id", 1), ("sub", [jb.Doc([("key", "b")])])])),
     [("a", None, 0, None, "plain", 1), ("b", "a", 1, "sub", None, None)],
     pa.schema([("key", UTF8), ("pid", UTF8), ("lvl", I64), ("via", UTF8), ("_depth", UTF8), ("id", I64)]),
     {"parent_id": "pid", "depth": "lvl", "child_field": "via", "key": "key"}),
]


@pytest.mark.parametrize("data,expected,schema,roles", [(*tree, META, None) for tree in TREES] + SHAPED)
def test_explode(data, expected, schema, roles):
    assert rows(data, schema, child_columns=roles) == expected


@pytest.mark.parametrize("nest,via", [
    (lambda d, k: D(k, children=[d]), None), (lambda d, k: D(k, ("kid", [d]), ("x", 1)), "kid"),
    (lambda d, k: D(k, ("kid", d)), "kid"), (lambda d, k: D(k, ("kid", jb.Iter([d]))), "kid")])
def test_depth_limit(nest, via):
    def chain(levels):  # documents 0 .. levels, each the child of the one before
        doc = inner = Mark(D(levels))
        for k in range(levels - 1, -1, -1):
            doc = nest(doc, k)
        return select(doc), inner

    data, _ = chain(128)
    assert rows(data) == [(0, None, 0, None)] + [(k, k - 1, k, via) for k in range(1, 129)]
    data, inner = chain(129)
    assert error(data, children="explode") == DEPTH.format(inner.offset)


def test_later_elements_of_a_children_list_must_be_documents_and_child_values_are_converted():
    for bad, kids in [(Mark(jb.SInt(3)), lambda m: [D(2), m]), (Mark(jb.Str("x")), lambda m: jb.Iter([D(2), m]))]:
        assert error(select(D(1, ("kids", kids(bad)))), children="explode") == NOT_DOC.format(bad.offset)
    assert error(select(D(1, children=[D("two")])), children="explode") == MISFIT.format("int64")


# ---------------------------------------------------------------------------
# Skip mode


@pytest.mark.parametrize("data", [select(D(1, children=[D(2)])), select(D(1), jb.Doc([], [jb.Doc()])),
                                  export([("id", 1), (D(2), None)])])
def test_skip_mode_refuses_anonymous_children(data):
    assert error(data) == error(data, pa.schema([("other", UTF8)])) == CHILDREN_REFUSED


# ---------------------------------------------------------------------------
# Metadata columns in the schema

LEVEL = "column '{}' holds the depth of a child document, so it must be of type int32 or int64"
VIA = "column '{}' holds the nesting field name of a child document, so it must be of type utf8"
NO_KEY = "column '{}' holds the parent's key, but the schema has no '{}' column to take that key from"
KEY_TYPE = "column '_parent_id' holds the parent key of a child document, so it must be the same type as the key column"
METADATA_ERRORS = [  # fields, child_columns, message
    ([("_depth", UTF8)], None, LEVEL.format("_depth")),
    ([("u", pa.uint8()), ("_depth", pa.int16())], None, LEVEL.format("_depth")),
    ([("lvl", pa.float64())], {"depth": "lvl"}, LEVEL.format("lvl")),
    ([("_child_field", pa.int32())], None, VIA.format("_child_field")),
    ([("_child_field", pa.large_string())], None, VIA.format("_child_field")),
    ([("_parent_id", I64)], None, NO_KEY.format("_parent_id", "id")),
    ([("pid", I64), ("_parent_id", UTF8)], {"parent_id": "pid"}, NO_KEY.format("pid", "id")),
    ([("id", I64), ("_parent_id", I64)], {"key": "key"}, NO_KEY.format("_parent_id", "key")),
    ([("id", I64), ("_parent_id", pa.int32())], None, KEY_TYPE),
    ([("id", UTF8), ("_parent_id", pa.large_string())], None, KEY_TYPE),
    ([("id", pa.list_(I64)), ("_parent_id", pa.list_(I64))], None, MISFIT.format("list")),  # read from the body
]


@pytest.mark.parametrize("children", ["skip", "explode"])
@pytest.mark.parametrize("fields,roles,message", METADATA_ERRORS)
def test_metadata_column_errors(fields, roles, message, children):
    assert error(select(D([1])), pa.schema(fields), children=children, child_columns=roles) == message


def test_metadata_columns_in_skip_mode_and_their_nullability():
    data = select(D(1, ("_depth", "x")), D(2))
    assert rows(data, META, children="skip") == [(1, None, 0, None), (2, None, 0, None)]
    # The first field of a role's name is the metadata column; a later one is an ordinary column.
    batch = deserialize_arrow(data, pa.schema([("_depth", pa.int32()), ("_depth", UTF8)]))
    assert batch.column(0).to_pylist() == [0, 0] and batch.column(1).to_pylist() == ["x", None]
    strict = pa.schema([pa.field("id", I64, nullable=False), pa.field("_depth", pa.int32(), nullable=False)])
    assert rows(select(D(1, children=[D(2)])), strict) == [(1, 0), (2, 1)]
    for name, t in (("_parent_id", I64), ("_child_field", UTF8)):
        assert error(data, strict.append(pa.field(name, t, nullable=False)), children="explode") == \
            f"{BUILD}Column '{name}' is declared as non-nullable but contains null values"
