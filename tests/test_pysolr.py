"""velkora.pysolr.Solr against pysolr itself: the same Results from the javabin and the JSON of one response."""

import pytest

import javabin as jb
import solr_json
from descriptions import SOLR_DATA, load, to_wire
from solr_node import JSON, Answer, bodies, error_response, schema_api

pysolr = pytest.importorskip("pysolr")
import velkora.pysolr as vp  # noqa: E402
from velkora import http as vh  # noqa: E402

needs_data = pytest.mark.skipif(not SOLR_DATA.is_dir(), reason="Solr test data not present")

TYPES = [{"name": "string", "class": "solr.StrField"}, {"name": "strings", "class": "solr.StrField",
                                                         "multiValued": True},
         {"name": "text_general", "class": "solr.TextField"}, {"name": "pint", "class": "solr.IntPointField"},
         {"name": "pfloat", "class": "solr.FloatPointField"}, {"name": "pdouble", "class": "solr.DoublePointField"},
         {"name": "pdate", "class": "solr.DatePointField"}, {"name": "boolean", "class": "solr.BoolField"},
         {"name": "binary", "class": "solr.BinaryField"}]
FIELDS = [{"name": n, "type": t, "stored": True} for n, t in [
    ("id", "string"), ("title", "text_general"), ("price", "pfloat"), ("popularity", "pint"),
    ("inStock", "boolean"), ("weight", "pdouble"), ("payload", "binary"), ("cat", "strings")]]
DYNAMIC = [{"name": "*_dt", "type": "pdate", "stored": True}, {"name": "*_s", "type": "string", "stored": True}]


def solr_like(d):
    """A described response with the containers a real /select has: the top, the header, its params, the
    facet counts and their fields are simple ordered maps; the counts themselves stay named lists."""
    if d["t"] not in ("namedlist", "som"):
        return d
    return {"t": "som", "v": [(k, solr_like(v) if k in ("responseHeader", "params", "facet_counts", "facet_fields")
                               else v) for k, v in d["v"]]}


@pytest.fixture
def core(solr):
    """A core serving select_small-like answers in both forms; its URL as pysolr takes it."""
    for path, respond in schema_api(FIELDS, TYPES, dynamic_fields=DYNAMIC).items():
        solr.serve("/solr/products" + path, respond)
    return solr


def serve_select(core, d):
    respond = bodies(jb.encode(to_wire(d)), solr_json.text(d))
    for path in ("/solr/products/select", "/solr/products/select/"):  # pysolr asks for "select/?..."
        core.serve(path, respond)
    return core.url("/solr/products")


@needs_data
@pytest.mark.parametrize("name", ["select_small", "child_docs"])
def test_search_gives_what_pysolr_gives_from_json(core, name):
    url = serve_select(core, solr_like(load(name)))
    expected = pysolr.Solr(url).search("title:keyboard", **{"facet": "true", "facet.field": "cat"})
    got = vp.Solr(url).search("title:keyboard", **{"facet": "true", "facet.field": "cat"})
    assert type(got) is pysolr.Results
    assert got.hits == expected.hits and got.docs == expected.docs
    assert got.raw_response == expected.raw_response
    assert (got.facets, got.qtime, got.nextCursorMark) == (expected.facets, expected.qtime, None)
    wts = [p["wt"] for p in core.asked("/solr/products/select/")]
    assert wts == [["json"], ["javabin"]]
    assert core.asked("/solr/products/schema") == [{"wt": ["javabin"]}]


def test_one_schema_request_per_client_and_long_queries_posted(core):
    d = {"t": "som", "v": [("response", {"t": "doclist", "numFound": 1, "start": 0, "maxScore": 0.1,
                                         "numFoundExact": True, "docs": [{"t": "doc", "fields": [
                                             ("id", {"t": "str", "v": "a"}),
                                             ("made_dt", {"t": "date", "v": 1_600_000_000_123}),
                                             ("score", {"t": "float", "v": 0.10000000149011612})],
                                             "children": []}]})]}
    url = serve_select(core, d)
    solr = vp.Solr(url)
    for q in ("*:*", "id:a"):
        results = solr.search(q)
        assert results.docs == [{"id": "a", "made_dt": "2020-09-13T12:26:40.123Z", "score": 0.1}]
        assert results.raw_response["response"]["maxScore"] == 0.1
    long_q = "id:(" + " OR ".join(f"x{i}" for i in range(300)) + ")"  # pysolr posts a query this long
    assert solr.search(long_q).docs == results.docs
    assert core.asked("/solr/products/select/")[-1] == {"q": [long_q], "wt": ["javabin"]}
    assert len(core.asked("/solr/products/schema")) == 1


@pytest.mark.parametrize("form", ["javabin", "json"])
def test_errors_are_pysolrs_with_solrs_message(core, form):
    javabin, text = error_response(400, "undefined field nope")
    # Each client gets the form it asks for, or JSON whatever it asks for.
    answer = bodies(javabin, text, status=400) if form == "javabin" else Answer(text, 400, JSON)
    for path in ("/solr/products/select", "/solr/products/select/"):
        core.serve(path, answer)
    url = core.url("/solr/products")
    with pytest.raises(pysolr.SolrError) as expected:
        pysolr.Solr(url).search("nope:1")
    with pytest.raises(vp.SolrError) as got:
        vp.Solr(url).search("nope:1")
    assert str(got.value) == str(expected.value) == \
        "Solr responded with an error (HTTP 400): [Reason: undefined field nope]"
    assert isinstance(got.value, pysolr.SolrError) and isinstance(got.value, vh.SolrError)
    assert (got.value.msg, got.value.code, got.value.status) == ("undefined field nope", 400, 400)


def test_without_a_schema_api_dates_stay_milliseconds(solr, caplog):
    d = {"t": "som", "v": [("response", {"t": "doclist", "numFound": 1, "start": 0, "maxScore": None,
                                         "numFoundExact": True, "docs": [{"t": "doc", "fields": [
                                             ("made_dt", {"t": "date", "v": 5})], "children": []}]})]}
    url = serve_select(solr, d)
    results = vp.Solr(url).search("*:*")
    assert results.docs == [{"made_dt": 5}] and results.hits == 1
    assert "no Schema API at" in caplog.text


@pytest.mark.parametrize("ms,text", [(0, "1970-01-01T00:00:00Z"), (1, "1970-01-01T00:00:00.001Z"),
                                     (-1, "1969-12-31T23:59:59.999Z"), (253402300799999, "9999-12-31T23:59:59.999Z"),
                                     (1_327_731_722_000, "2012-01-28T06:22:02Z")])
def test_dates_as_solr_writes_them(ms, text):
    assert vp.iso_instant(ms) == text == solr_json.instant(ms)


@pytest.mark.parametrize("value", [0.1, 19.99, 2367.92, 1e-45, 3.4028234663852886e38, -0.0, 1.0, 16777217.0])
def test_floats_as_java_writes_them(value):
    import numpy as np
    single = float(np.float32(value))
    assert vp.float32_value(single) == float(str(np.float32(value)))


def _v(t, v):
    return {"t": t, "v": v}


def _doclist(*docs):
    return {"t": "doclist", "numFound": len(docs), "start": 0, "maxScore": None, "numFoundExact": True,
            "docs": [{"t": "doc", "fields": fields, "children": []} for fields in docs]}


PARTS = {
    "expanded": {"t": "som", "v": [("g1", _doclist([("id", _v("str", "b")), ("made_dt", _v("date", 86_400_000)),
                                                    ("price", _v("float", 0.10000000149011612))]))]},
    "moreLikeThis": {"t": "som", "v": [("a", _doclist([("id", _v("str", "c")), ("payload", _v("bytes", "AAE=")),
                                                       ("weight", _v("double", 0.1))]))]},
    "spellcheck": {"t": "som", "v": [
        ("suggestions", {"t": "namedlist", "v": [("helo", {"t": "som", "v": [
            ("numFound", _v("int", 1)), ("suggestion", _v("list", [_v("str", "hello")]))]})]}),
        ("correctlySpelled", _v("bool", False)),
        ("collations", {"t": "namedlist", "v": [("collation", _v("str", "hello"))]})]},
    "terms": {"t": "som", "v": [("cat", {"t": "namedlist", "v": [("audio", _v("int", 3)), ("video", _v("int", 1))]})]},
    "facet_counts": {"t": "som", "v": [
        ("facet_queries", {"t": "som", "v": []}),
        ("facet_fields", {"t": "som", "v": [("cat", {"t": "namedlist", "v": [("audio", _v("int", 3))]})]}),
        ("facet_ranges", {"t": "som", "v": [("price", {"t": "som", "v": [
            ("counts", {"t": "namedlist", "v": [("0.0", _v("int", 2)), ("0.1", _v("int", 1))]}),
            ("gap", _v("float", 0.10000000149011612)), ("start", _v("float", 0.0)),
            ("end", _v("float", 0.20000000298023224))]})]})]},
}


@pytest.mark.parametrize("part", PARTS)
def test_other_response_parts_as_pysolr_gives_them(core, part):
    d = {"t": "som", "v": [("responseHeader", {"t": "som", "v": [("status", _v("int", 0)), ("QTime", _v("int", 1))]}),
                           ("response", _doclist([("id", _v("str", "a")), ("made_dt", _v("date", 5))])),
                           (part, PARTS[part])]}
    url = serve_select(core, d)
    expected = pysolr.Solr(url).search("*:*").raw_response
    assert vp.Solr(url).search("*:*").raw_response == expected
    assert part in expected
