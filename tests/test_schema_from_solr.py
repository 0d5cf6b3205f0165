"""velkora.schema.from_solr on Schema API answers written as Solr writes them."""

from datetime import datetime, timezone

import pytest

import javabin as jb
import velkora
from solr_node import plain_wire
from velkora.schema import from_solr

pa = pytest.importorskip("pyarrow")

_t = lambda name, cls, **props: {"name": name, "class": cls, **props}  # noqa: E731
_fd = lambda name, type, **props: {"name": name, "type": type, **props}  # noqa: E731
DV, SHOWN, MANY = {"docValues": True}, {"indexed": True, "stored": True}, {"multiValued": True}
TOKENIZED = {"tokenizer": {"class": "solr.StandardTokenizerFactory"}}

# /schema/fieldtypes, in the shape the Schema API answers (JSON; the javabin answer decodes the same).
FIELD_TYPES = {"responseHeader": {"status": 0, "QTime": 1}, "fieldTypes": [
    _t("string", "solr.StrField", sortMissingLast=True, **DV), _t("boolean", "solr.BoolField", sortMissingLast=True),
    _t("strings", "solr.StrField", sortMissingLast=True, **MANY, **DV), _t("binary", "solr.BinaryField"),
    *[_t(name, f"solr.{cls}PointField", **DV, **props) for name, cls, props in [
        ("pint", "Int", {}), ("plong", "Long", {}), ("plongs", "Long", MANY), ("pfloat", "Float", {}),
        ("pdouble", "Double", {}), ("pdate", "Date", {}), ("pdates", "Date", MANY)]],
    _t("text_general", "solr.TextField", positionIncrementGap="100", **MANY, indexAnalyzer=TOKENIZED,
       queryAnalyzer=TOKENIZED), _t("location", "solr.LatLonPointSpatialField", **DV),
    _t("vector", "solr.DenseVectorField", vectorDimension="4", similarityFunction="cosine"),
    _t("tint", "org.apache.solr.schema.TrieIntField", precisionStep="8"), _t("shape", "solr.ExternalFileField")]}

# /schema/fields, with the dynamic fields the /schema answer lists beside them.
FIELDS = {"responseHeader": {"status": 0, "QTime": 2}, "fields": [
    _fd("_version_", "plong", indexed=False, stored=False),
    _fd("_root_", "string", indexed=True, stored=False, docValues=False),
    _fd("id", "string", multiValued=False, indexed=True, required=True, stored=True),
    _fd("title", "text_general", multiValued=False), _fd("body", "text_general"), _fd("cat", "strings"),
    _fd("price", "pfloat"), _fd("popularity", "pint", required=True, default="0"),
    _fd("inStock", "boolean", required=True), _fd("released", "pdate"), _fd("store", "location"),
], "dynamicFields": [*[_fd(name, type, **SHOWN) for name, type in [
    ("*_s", "string"), ("*_ss", "strings"), ("*_i", "pint"), ("*_l", "plong"), ("*_dt", "pdate")]],
    _fd("*_dts", "pdate", **SHOWN, **MANY), _fd("attr_*", "text_general", **SHOWN, **MANY)]}


one = lambda field, types=FIELD_TYPES, **kw: from_solr({"fields": [field]}, types, **kw).field(0)  # noqa: E731
_typed = lambda cls, **props: (_fd("f", "t"), {"fieldTypes": [_t("t", cls, **props)]})  # noqa: E731
_f = lambda type, **props: (_fd("f", type, **props), FIELD_TYPES)  # noqa: E731


ONE = [  # field and field types, then the field's Arrow type and nullability, or the start of the refusal
    # one class of each Arrow type, and each way of naming it
    *[(*_typed(cls), t, True) for cls, t in [
        ("solr.IntPointField", pa.int32()), ("solr.TrieLongField", pa.int64()), ("solr.FloatField", pa.float32()),
        ("solr.DoublePointField", pa.float64()), ("solr.TrieDateField", pa.timestamp("ms")),
        ("solr.DateField", pa.timestamp("ms")), ("solr.BoolField", pa.bool_()), ("solr.BinaryField", pa.binary()),
        ("solr.LatLonType", pa.utf8()), ("solr.SortableTextField", pa.utf8()), ("solr.CurrencyFieldType", pa.utf8()),
        ("solr.DenseVectorField", pa.list_(pa.float32())), ("org.apache.solr.schema.IntPointField", pa.int32())]],
    (*_typed("solr.DenseVectorField", vectorDimension=4, vectorEncoding="BYTE"), pa.list_(pa.int32()), True),
    (*_f("plong"), pa.int64(), True), (*_f("plong", multiValued=True), pa.list_(pa.int64()), True),
    (*_f("plong", multiValued="true"), pa.list_(pa.int64()), True),  # older answers: strings
    (*_f("plongs"), pa.list_(pa.int64()), True),  # inherited from the type
    (*_f("plongs", multiValued=False), pa.int64(), True),  # the field overrides its type
    (*_f("pdates"), pa.list_(pa.timestamp("ms")), True), (*_f("text_general"), pa.list_(pa.utf8()), True),
    (*_f("pint", required=True), pa.int32(), False), (*_f("pint", required="true"), pa.int32(), False),
    (*_f("pint", required=False), pa.int32(), True),
    (*_f("pint", required=True, default="0"), pa.int32(), True),  # filled in, but maybe missing from results
    (*_f("pint", required=True, multiValued=True), pa.list_(pa.int32()), False),
    (_fd("f", "pdate"), None, pa.timestamp("ms"), True),  # Solr's default configset
    # refusals; a fallback, a type or its name, reads the unmapped as text (nullable: whether to try one)
    (_fd("ranking", "shape"), FIELD_TYPES, "field 'ranking' has type 'shape' of class 'solr.ExternalFileField', "
     "which has no Arrow mapping; pass fallback=pyarrow.utf8() to read it as text", True),
    (_fd("f", "my_type"), None, "field 'f' has type 'my_type', which is neither among the given", True),
    (*_f("binary", multiValued=True), "field 'f' holds several binary values", False)]


@pytest.mark.parametrize("field, types, expected, nullable", ONE)
def test_one_field(field, types, expected, nullable):
    if isinstance(expected, pa.DataType):
        assert (one(field, types).type, one(field, types).nullable) == (expected, nullable)
        return
    assert str(pytest.raises(ValueError, one, field, types).value).startswith(expected)
    assert not nullable or one(field, types, fallback=pa.utf8()).type == one(field, types, fallback="utf8").type \
        == pa.utf8()


@pytest.mark.parametrize("fl, expected", [
    # all returnable fields in schema order: _root_ is neither stored nor docValues; _version_ is not stored but
    # its type keeps docValues
    (None, [("_version_", pa.int64()), pa.field("id", pa.utf8(), nullable=False), ("title", pa.utf8()),
            ("body", pa.list_(pa.utf8())), ("cat", pa.list_(pa.utf8())), ("price", pa.float32()),
            ("popularity", pa.int32()), pa.field("inStock", pa.bool_(), nullable=False),
            ("released", pa.timestamp("ms")), ("store", pa.utf8())]),
    ("price,id", [("price", pa.float32()), pa.field("id", pa.utf8(), nullable=False)]),
    ("id price", [pa.field("id", pa.utf8(), nullable=False), ("price", pa.float32())]),
    (["title", "score"], [("title", pa.utf8()), ("score", pa.float32())]),
    ("id,[child],[explain style=nl]", [pa.field("id", pa.utf8(), nullable=False)]),
    ("cost:price", [("cost", pa.float32())]),
    ("name_s,tags_ss,n_i,big_l,when_dt,whens_dts",
     [("name_s", pa.utf8()), ("tags_ss", pa.list_(pa.utf8())), ("n_i", pa.int32()), ("big_l", pa.int64()),
      ("when_dt", pa.timestamp("ms")), ("whens_dts", pa.list_(pa.timestamp("ms")))]),
    ("attr_color_s", [("attr_color_s", pa.list_(pa.utf8()))]),  # attr_*, the longer pattern, wins over *_s
    # globs expand in schema order; a name already placed keeps its place
    ("p*,id,*", "price popularity id _version_ _root_ title body cat inStock released store".split())])
@pytest.mark.parametrize("answers", ["whole", "dynamicfields apart"])
def test_fl_picks_orders_and_resolves(fl, expected, answers):
    # /schema/fields lists declared fields only; the dynamic ones come from /schema/dynamicfields
    declared = {k: v for k, v in FIELDS.items() if k != "dynamicFields" or answers == "whole"}
    schema = from_solr(declared, FIELD_TYPES, fl=fl, dynamic_fields={"dynamicFields": FIELDS["dynamicFields"]}
                       if answers != "whole" else None)
    assert schema.names == expected if isinstance(expected[0], str) else schema == pa.schema(expected)


@pytest.mark.parametrize("args, kw, error, message", [
    ((FIELDS, FIELD_TYPES), {"fl": "id,colour"}, ValueError, "fl names 'colour', which is neither a field of "
     "the schema nor matched by one of its dynamic fields"),
    (({"fields": [_fd("ranking", "shape")]}, FIELD_TYPES), {"fallback": "text"}, ValueError,
     "fallback must be a pyarrow DataType or \"utf8\", not 'text'"),
    (("id,title",), {}, TypeError, "expected the Schema API answer holding 'fields', got str")])
def test_refusals(args, kw, error, message):
    assert str(pytest.raises(error, from_solr, *args, **kw).value) == message


def test_whole_schema_answer_lists_and_javabin_answers_give_the_same_schema():
    lists = {k: v for answer in (FIELD_TYPES, FIELDS) for k, v in answer.items() if k != "responseHeader"}
    whole = {"responseHeader": {"status": 0}, "schema": {"name": "example", "version": 1.6, "uniqueKey": "id", **lists}}
    # The answers as Solr's javabin writer lays them out: a NamedList envelope, SimpleOrderedMap objects.
    fields, types = (velkora.deserialize(jb.encode(jb.NamedList([(k, plain_wire(v)) for k, v in a.items()])))
                     for a in (FIELDS, FIELD_TYPES))
    assert from_solr(FIELDS["fields"], FIELD_TYPES["fieldTypes"]) == from_solr(FIELDS, FIELD_TYPES)
    for answers in [(whole,), (fields, types)]:
        for fl in (None, "id,when_dt", "id,name_s,whens_dts,score"):
            assert from_solr(*answers, fl=fl) == from_solr(FIELDS, FIELD_TYPES, fl=fl)


@pytest.mark.parametrize("tz", [None, "UTC", "Europe/Paris"])
def test_schema_decodes_the_values_solr_writes(tz):
    # One document as Solr writes these field types, read back with the schema made from the answers.
    fields = [("id", "SKU-1"), ("title", "Keyboard"), ("cat", ["a", "b"]), ("price", jb.Float(9.5)),
              ("popularity", jb.solr_int(7)), ("inStock", True), ("released", jb.Date(86_400_000)),
              ("store", "45.17,-93.87"), ("_version_", jb.solr_long(1 << 60)), ("when_dt", jb.Date(1000)),
              ("whens_dts", [jb.Date(2000)]), ("tags_ss", ["x"]), ("n_i", jb.solr_int(-3)), ("big_l", jb.solr_long(5))]
    body = jb.encode(jb.NamedList([("response", jb.DocList(1, docs=[jb.Doc(fields)]))]))
    schema = from_solr(FIELDS, FIELD_TYPES, fl=",".join(name for name, _ in fields), tz=tz)
    zoned = pa.timestamp("ms", tz=tz)
    assert [schema.field(n).type for n in ("released", "when_dt", "whens_dts")] == [zoned, zoned, pa.list_(zoned)]
    row = velkora.deserialize_arrow(body, schema).to_pylist()[0]
    assert row["released"] == datetime(1970, 1, 2, tzinfo=tz and timezone.utc)  # the same instant in any zone
    assert (row["cat"], row["price"], row["n_i"], row["_version_"]) == (["a", "b"], 9.5, -3, 1 << 60)
