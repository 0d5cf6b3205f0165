"""velkora.schema.infer and the native field survey behind it."""

import json
import warnings
from collections import Counter
from itertools import product

import pytest

import javabin as jb
import velkora
from descriptions import body
from helpers import (DEPTH, EOF, corrupt, fails_alike_at_every_cut, feed_all, needs_data as needs_solr, outcome,
                     streamed, traced_peak)
from velkora import _core
from velkora.schema import SchemaWarning, infer

pa = pytest.importorskip("pyarrow")
from arrow_expect import export, select, stream  # noqa: E402  (needs pyarrow)

pytestmark = pytest.mark.filterwarnings("error")  # a warning is a failure unless the test expects it
ID = pa.field("id", pa.utf8(), nullable=False)
# What select_small holds.
SMALL = pa.schema([ID, ("title", pa.utf8()), ("price", pa.float32()), ("popularity", pa.int32()),
                   ("inStock", pa.bool_()), ("manufacturedate_dt", pa.timestamp("ms")), ("cat", pa.list_(pa.utf8())),
                   ("weight", pa.float64()), ("payload", pa.binary()), ("views", pa.int64())])
# The real bodies that hold documents where deserialize_arrow looks for them, with the children mode they need,
# and the step between the cuts at which the survey must fail as deserialize_arrow does, and between the bytes
# it must survive being replaced by hostile ones.
REAL = [("select_small", "skip", 1), ("select_large", "skip", 999_983), ("export_like", "skip", 29),
        ("stream_like", "skip", 1), ("javabin_sample", "skip", 1), ("child_docs", "explode", 1)]


@needs_solr
@pytest.mark.parametrize("name, children, step", REAL)
def test_real_bodies_decode_with_the_inferred_schema(name, children, step):
    data = body(name)
    with warnings.catch_warnings(action="ignore", category=SchemaWarning):
        schema = infer(data, sample=None)
    assert name != "select_small" or infer(data) == SMALL  # the types, with no warning (a warning fails the test)
    assert name != "export_like" or infer(data).field("tags_dv").type == pa.list_(pa.utf8())  # ITERATORs are lists
    batch = velkora.deserialize_arrow(data, schema, children=children)
    arrow = lambda cut: velkora.deserialize_arrow(cut, schema, children=children)  # the survey walks where it walks
    fails_alike_at_every_cut(data, _core._survey, arrow, range(0, len(data), step))
    for pos, byte in product(range(1, len(data), step), (0x00, 0x0F, 0x14, 0x3F, 0x9F, 0xFF)):
        error = outcome(_core._survey, corrupt(data, pos, "replace", byte), 5)  # never a crash
        assert not isinstance(error, ValueError) or error.kind in {
            "UnexpectedEof", "UnknownTag", "UnexpectedValue", "InvalidUtf8", "DepthExceeded", "TrailingData",
            "ArrowTypeMismatch"}
    fed = velkora.ArrowStreamDecoder(schema, 4096, children=children)
    assert pa.Table.from_batches([*fed.feed(data), *fed.finish()], schema).equals(pa.Table.from_batches([batch]))
    survey, peak = traced_peak(_core._survey, data)  # select_large: 50,000 documents, 5 MB
    assert peak < 64 * 1024  # a few dicts for the result, whatever the number of values
    # Dates stay dates: each column the survey saw a DATE in (as a value or a list item) holds timestamps.
    kinds = [(f.type, {*survey["fields"][f.name]["values"], *survey["fields"][f.name]["items"]}) for f in schema]
    assert {t for t, seen in kinds if "date" in seen} <= {pa.timestamp("ms"), pa.list_(pa.timestamp("ms"))}
    assert batch.num_rows == (survey["rows"] if children == "explode" else survey["documents"])
    # The survey's counts against the documents deserialize_stream delivers, and those they hold.
    docs, counts = streamed(data), Counter()

    def rows(doc):  # the document's row and those of the documents it holds
        counts.update(doc.keys() - {"_childDocuments_"})
        return 1 + sum(rows(x) for v in doc.values() for x in (v if type(v) is list else [v]) if type(x) is dict)

    assert survey["rows"] == sum(map(rows, docs)) and survey["documents"] == len(docs) and survey["complete"]
    assert survey["documents"] == 50_000 or name != "select_large"
    assert {name: tally["rows"] for name, tally in survey["fields"].items()} == counts


def _v(*values, shape=select):  # documents whose field "v" holds each value in turn
    return shape(*[[("id", str(i)), ("v", v)] for i, v in enumerate(values)])


CANNOT = "cannot infer a column type for field 'v': it holds "
INFERRED = [  # body, then field "v"'s type (the body decodes with it), whether it is nullable, or the refusal
    # Longs into a date column are milliseconds, an INT is not; a list in any document makes a list column; a null
    # inside a list is not a missing value.
    (_v(jb.solr_int(1), jb.Long(2)), pa.int64()), (_v(jb.Byte(1), jb.Short(2), jb.Int(-3)), pa.int32()),
    (_v(jb.SInt(5), jb.SLong(5)), pa.int64()), (_v(jb.Float(1.5), jb.Double(2.5)), pa.float64()),
    (_v(jb.Float(1.5)), pa.float32()), (_v(jb.Bytes(b"\x00"), None), pa.binary()), (_v(True, 1), CANNOT + "bool, int"),
    (_v(jb.Date(0), jb.Long(86_400_000)), pa.timestamp("ms")), (stream([("v", 1)], [("v", 2)]), False),
    (_v(jb.solr_int(1), [jb.Long(2), jb.solr_int(3)], jb.Iter([jb.solr_int(4)]), shape=export), pa.list_(pa.int64())),
    (stream([("v", 1)], [("b", 2)]), True), (stream([("v", 1)], [("v", None)]), True),
    (stream([("v", [1])], [("v", [None])]), False), (_v(jb.Map([("k", 1)])), CANNOT + "map"),
    (_v(jb.NamedList([("k", 1)])), CANNOT + "named list"), (_v(jb.EnumValue(1, "one")), CANNOT + "named list"),
    (_v(jb.TypedArr(6, [1, 2])), CANNOT + "typed array"), (_v([[1]]), CANNOT + "array, array in a list"),
    (_v([jb.Map([("k", 1)])]), CANNOT + "array, map in a list"), (_v("text", 1), CANNOT + "int, string"),
    (_v([b"\x00"]), CANNOT + "lists of bytes, and a list of binary is not a column type deserialize_arrow supports"),
    (_v(jb.Float(1.0), 1), CANNOT + "float, int"), (_v("text", [1]), CANNOT + "int, string"),
    (_v(jb.Date(5), 5), CANNOT + "date, int"), (select(), "the body holds no document fields to infer a schema from"),
    (jb.encode([1, 2]), 'the body holds no documents where deserialize_arrow looks for them (the "docs" of a '
                        '"response" or "result-set")'),
    # A malformed body fails as the survey's decode does (its envelope faults: test_decode_error.py); a top-level
    # value that is no envelope holds no documents only once it has been read through.
    (select([("id", "a")])[:-3], EOF.format(53)), (b"\x02\x1c\x00", "unknown javabin tag byte 0x1c at byte offset 1")]


@pytest.mark.parametrize("data, expected", INFERRED)
def test_inferred_types_and_refusals(data, expected):
    schema = outcome(infer, data)  # or the ValueError it raises
    field = None if isinstance(expected, str) else schema.field("v")
    assert (str(schema) if field is None else field.nullable if isinstance(expected, bool) else field.type) == expected
    assert field is None or velkora.deserialize_arrow(data, schema).num_rows > 0  # the body decodes with the schema


def test_sample_bounds_what_is_read():
    data = select(*[[("id", str(i))] for i in range(5)])  # a partial sample never promises a value
    assert [infer(data, sample=n).field("id").nullable for n in (3, 5, None)] == [True, False, False]
    data = export(*[[("id", str(i))] for i in range(4)], [("id", "x"), ("late", 1)], [("id", 5), ("bad", 1)])
    with pytest.warns(SchemaWarning) as caught:  # what the documents after the sample hold is left out, and said
        assert infer(data, sample=4).names == ["id"]
    assert [str(w.message) for w in caught] == [
        "2 fields appear only after the first 4 documents and are left out of the schema: 'late', 'bad'; infer with "
        "a larger sample (or sample=None) to include them"]
    with pytest.warns(SchemaWarning, match="^1 fields appear only after the first 5 documents .*: 'bad'; "):
        assert infer(data, sample=5).names == ["id", "late"]
    assert infer(data[:-3], sample=5).names == ["id", "late"]  # a prefix (as the CLI reads) is not walked on
    pytest.raises(ValueError, infer, data, sample=6).match("field 'id': it holds int, string")
    assert [_core._survey(data, 4)[key] for key in ("documents", "complete")] == [4, False]
    pytest.raises(ValueError, infer, data, sample=0).match("sample must be at least 1")


@pytest.mark.parametrize("data, warning, fields, children, rows, tally", [
    # "kids" held documents: rows, not a column
    (select(jb.Doc([("id", "p"), ("kids", [jb.Doc([("id", "c2"), ("n", jb.solr_int(2))])])],
                   children=[jb.Doc([("id", "c1"), ("n", jb.solr_int(1))])])),
     '2 child documents; decode with children="explode"', [ID, ("n", pa.int32())], "explode", 3, ("n", {"int": 2})),
    (stream([("id", "a"), ("gone", None)]), "field 'gone' held no value but null", [ID, ("gone", pa.utf8())], "skip",
     1, ("gone", {"null": 1})),
    # The Arrow decoders refuse a value that refers back to an extern string (Solr writes only names so).
    (export([("id", "a"), ("group", jb.Extern("g1"))], [("id", "b"), ("group", jb.Extern("g1"))]),
     "field 'group' holds values written as references to extern strings", [ID], "skip", 2,
     ("group", {"string": 1, "extern reference": 1}))])
def test_warnings(data, warning, fields, children, rows, tally):
    assert _core._survey(data)["fields"][tally[0]]["values"] == tally[1]
    with pytest.warns(SchemaWarning, match=warning):
        assert infer(data) == pa.schema(fields)
    assert velkora.deserialize_arrow(data, pa.schema(fields), children=children).num_rows == rows


# A key read from the extern-string table, whose value then defines more extern strings: the table must not
# move the key's text (the release build used to crash on the large body, AddressSanitizer saw the small one).
@pytest.mark.parametrize("data", [
    bytes.fromhex("02c128726573706f6e7365c1e0286e756d466f756e64e03f09") + b"v" * 40,
    jb.encode({"big": jb.Extern("x" * 200_000), "response": {"numFound": jb.Extern("v" * 300_000)}}),
], ids=["65 bytes", "500 KB"])
def test_a_key_outlives_the_strings_its_value_defines(data):
    value = velkora.deserialize(data)
    assert value["response"] == {"numFound": "v" * (40 if len(data) == 65 else 300_000)}
    assert velkora._deserialize_safe(data) == json.loads(velkora.deserialize_json(data)) == value
    assert velkora.deserialize_stream(data, print) == value
    assert feed_all(velkora.StreamDecoder(), data, None, print) == [None, None]
    survey = _core._survey(data)
    assert [survey[k] for k in ("response_key", "numFound", "documents", "complete")] == ["response", None, 0, True]
    pytest.raises(ValueError, infer, data).match("no documents")
    schema = pa.schema([("numFound", pa.utf8())])
    assert velkora.deserialize_arrow(data, schema).num_rows == 0
    assert feed_all(velkora.ArrowStreamDecoder(schema), data) == [[], []]


@pytest.mark.parametrize("kids, rows", [
    ([jb.Doc([("id", "c")]), jb.Doc([("id", "d")])], 3), (jb.Iter([jb.Doc([("id", "c")])]), 2),
    # A list holds child documents only when its first item is one: a later document is skipped with it.
    (["x", jb.Doc([("id", "c")])], 1), (jb.Iter([None, jb.Doc([("id", "c")], [jb.Doc()])]), 1),
    # After a first document each item is one: a map too, any other kind fails.
    (jb.Iter([jb.Doc(), jb.NamedList([("id", "d")]), jb.OrderedMap([("kids", [jb.Doc()])])]), 5),
    ([jb.Doc([("id", "c")]), "x"], "expected SolrDocument or map at byte offset 69, found other tag"),
    # Chains of documents as deep as explode goes and deeper, in a field ("kid") or as anonymous children.
    *[([jb.nested(jb.Doc([("id", "leaf")]), levels, kid)], rows) for kid, offset in [
        (lambda d: jb.Doc([("id", "n"), ("kid", [d])]), 964), (lambda d: jb.Doc([("id", "n")], children=[d]), 704)]
      for levels, rows in [(126, 128), (127, 129), (128, DEPTH.format(offset)), (139, DEPTH.format(offset))]]])
def test_survey_counts_the_rows_explode_makes(kids, rows):
    data = select(jb.Doc([("id", "p"), ("kids", kids)]))
    explode = lambda: velkora.deserialize_arrow(data, pa.schema([("id", pa.utf8())]), children="explode").num_rows
    assert [str(outcome(count)) for count in (lambda: _core._survey(data)["rows"], explode)] == [str(rows)] * 2


def test_distinct_field_names_are_bounded():
    fields = [(f"f{i}", jb.solr_int(1)) for i in range(65536 + 10)]
    data = select(jb.Doc(fields), jb.Doc(fields[-3:]))
    survey = _core._survey(data)
    assert (len(survey["fields"]), survey["untallied"], list(survey["fields"])[-1]) == (65536, 13, "f65535")
    pytest.raises(ValueError, infer, data).match("more than 65536 distinct field names")
