"""velkora.pysolr.Solr against pysolr on one response's javabin and JSON; the JSON shaping against Solr's writer."""

import json
import math
import re
import socket
from urllib.parse import urlencode

import numpy as np
import pytest

import javabin as jb
import velkora
from velkora import _core
import solr_json
from descriptions import DESCRIBED, SOLR_DATA, assert_same, body, load, to_wire
from helpers import fails_alike_at_every_cut, needs_data, outcome
from solr_node import JSON, Answer, bodies, error_response

pysolr = pytest.importorskip("pysolr")
import requests.adapters  # noqa: E402  (pysolr's own dependency)
import velkora.pysolr as vp  # noqa: E402

SELECT = ("/solr/products/select", "/solr/products/select/")  # pysolr asks for "select/?..."
_v = lambda t, v: {"t": t, "v": v}  # noqa: E731
_f, _som = lambda v: _v("float", v), lambda **items: _v("som", list(items.items()))  # noqa: E731
_nl, _named = lambda pairs: _v("namedlist", pairs), lambda **items: _v("namedlist", list(items.items()))  # noqa: E731


def solr_like(d, simple=("responseHeader", "params", "facet_counts", "facet_fields")):
    # The containers a real /select has: the top, the header, its params, the facet counts and their fields
    # are simple ordered maps; the counts themselves stay named lists.
    if d["t"] not in ("namedlist", "som"):
        return d
    return {"t": "som", "v": [(k, solr_like(v) if k in simple else v) for k, v in d["v"]]}


def answering(d):  # a description as javabin, or as the JSON text Solr writes for the json.nl asked
    javabin = jb.encode(to_wire(d))
    return lambda params: bodies(javabin, solr_json.text(d, (params.get("json.nl") or ["flat"])[0]))(params)


def serve(node, respond, **delivery):  # the core's URL (its Schema API unanswered), its /select answering `respond`
    for path in SELECT:
        node.serve(path, answering(respond) if isinstance(respond, dict) else respond, **delivery)
    return node.url("/solr/products")


def _doclist(*docs):
    return {"t": "doclist", "numFound": len(docs), "start": 0, "maxScore": None, "numFoundExact": True,
            "docs": [{"t": "doc", "fields": fields, "children": []} for fields in docs]}


def assert_same_results(got, expected):
    assert type(got) is pysolr.Results
    for attr in ("docs", "hits", "raw_response", "facets", "highlighting", "spellcheck", "stats", "grouped",
                 "debug", "qtime", "nextCursorMark"):
        assert_same(getattr(got, attr), getattr(expected, attr), attr)


class _Traced(requests.adapters.HTTPAdapter):  # the caller's adapter: what its send() adds must reach Solr
    def add_headers(self, request, **kwargs):
        request.headers["X-Trace"] = "adapter"


# What each setting changes in the requests the session sends, and how many of velkora's two searches go
# through Session.request: the direct path takes none of these settings but for the headers (merged as the
# session merges them) and the mounted adapter's own pool, and a cookie the first answer set sends the second
# search through the session.
SESSION_SETTINGS = {"plain": ({}, None, {}, 0), "pysolr's auth": ({"auth": ("solr", "secret")}, None, {}, 2),
    "session's auth": ({}, lambda s: setattr(s, "auth", ("solr", "secret")), {}, 2),
    "session's headers": ({}, lambda s: s.headers.update({"X-Trace": "t1", "User-Agent": "probe",
                                                          "Accept-Encoding": None}), {}, 0),
    "session's params": ({}, lambda s: setattr(s, "params", {"fq": "inStock:true"}), {}, 2),
    "a cookie set by the node": ({}, None, {"cookie": True}, 1), "a redirect": ({}, None, {"redirect": True}, 0),
    "credentials in netrc": ({}, None, {"netrc": True}, 2), "answers gzipped": ({}, None, {"gzip": True}, 0),
    "a proxy in the environment": ({}, None, {"proxy": True}, 2),
    "the environment not trusted": ({}, lambda s: setattr(s, "trust_env", False), {"netrc": True, "proxy": True}, 0),
    "an adapter with its own pool sizes": ({}, lambda s: s.mount("http://", requests.adapters.HTTPAdapter(
        pool_connections=1, pool_maxsize=1)), {}, 0),
    "an adapter of the caller's class": ({}, lambda s: s.mount("http://", _Traced()), {}, 2),
    "a URL requests rewrites": ({}, None, {"path": "/solr/./Products/../products"}, 0)}


@pytest.mark.parametrize("case", SESSION_SETTINGS)
def test_session_settings_reach_solr_as_through_pysolr(solr, case, tmp_path, monkeypatch):
    # Each client's session with the same setting: the node sees the same requests from both, and the same
    # Results come back, whichever path a request takes.
    solr_args, settings, node, through_session = SESSION_SETTINGS[case]
    serve(solr, solr_like(load("select_small")) if SOLR_DATA.is_dir() else _som(response=_doclist()),
          gzip=node.get("gzip", False))
    url, respond = solr.url(node.get("path", "/solr/products")), solr.routes[SELECT[1]].respond
    if node.get("cookie"):  # the answer sets a cookie the session must send back
        solr.serve(SELECT[1], lambda params: Answer(**{**respond(params).__dict__,
                                                       "headers": (("Set-Cookie", "route=n1; Path=/solr"),)}))
    if node.get("redirect"):
        url = solr.serve("/solr/moved/select/", lambda params: Answer(b"", 302, "text/plain", headers=(
            ("Location", "/solr/products/select/?" + urlencode(params, doseq=True)),)))[:-len("/select/")]
    if node.get("netrc"):
        (tmp_path / "netrc").write_text("machine 127.0.0.1 login netrc-user password netrc-secret\n")
        monkeypatch.setenv("NETRC", str(tmp_path / "netrc"))
    if node.get("proxy"):  # the node plays the proxy too: it is asked for the whole URL
        monkeypatch.setenv("HTTP_PROXY", solr.base)
        for name in ("NO_PROXY", "no_proxy"):
            monkeypatch.delenv(name, raising=False)
        solr.serve(solr.url(SELECT[1]), respond)
    seen, results, asked, pools = {}, {}, [], {}
    session_request = requests.Session.request
    monkeypatch.setattr(requests.Session, "request", lambda self, *a, **kw: asked.append(a[:2]) or
                        session_request(self, *a, **kw))
    for client in (pysolr, vp):
        del asked[:], solr.seen[:]
        (settings or id)(session := requests.Session())
        solr_ = client.Solr(url, session=session, **solr_args)
        results[client] = [solr_.search("*:*") for _ in range(2)]
        seen[client] = [{**s, "target": s["target"].replace("wt=json", "wt=javabin")} for s in solr.seen]
        adapter = session.get_adapter(url)  # whose pools served the searches, over how many connections
        pools[client] = sorted((type(adapter).__name__, p.num_connections, p.num_requests)
                               for manager in (adapter.poolmanager, *adapter.proxy_manager.values())
                               for p in map(manager.pools.get, manager.pools.keys()))
    assert len(asked) == through_session
    assert seen[vp] == seen[pysolr]
    assert pools[vp] == pools[pysolr] and pools[vp][0][1] == 1
    assert len(seen[vp]) == 2 * (1 + bool(node.get("redirect")))
    for got, expected in zip(results[vp], results[pysolr]):
        assert_same_results(got, expected)


ERROR = error_response(400, "undefined field nope")


@pytest.mark.parametrize("failure, respond, delivery, raised", [
    # Each client gets Solr's error in the form it asks for, or in JSON whatever it asks for.
    ("an error", bodies(*ERROR, status=400), {}, vp.SolrError),
    ("an error in JSON", Answer(ERROR[1], 400, JSON), {}, vp.SolrError),
    ("a stalled answer", b"x" * 5000, {"cut": "stall", "stall": 5.0}, pysolr.SolrError),
    ("a dropped connection", b"x" * 5000, {"cut": "drop", "cut_at": 100}, requests.exceptions.ChunkedEncodingError),
    ("nobody listening", b"", {}, pysolr.SolrError)])
def test_failures_raise_what_pysolr_raises(solr, failure, respond, delivery, raised):
    # The same exception, worded the same, whichever client asked (addresses of objects aside); Solr's error
    # is pysolr's SolrError and velkora.http's both.
    url = serve(solr, respond, **delivery)
    if failure == "nobody listening":
        with socket.create_server(("127.0.0.1", 0)) as closed:  # closed before anyone asks
            url = f"http://127.0.0.1:{closed.getsockname()[1]}/solr/products"
    expected, got = (pytest.raises(Exception, lambda: c.Solr(url, timeout=0.5).search("nope:1")).value
                     for c in (pysolr, vp))
    assert (type(expected), type(got)) == ({vp.SolrError: pysolr.SolrError}.get(raised, raised), raised)
    said = [re.sub(r" at 0x[0-9a-f]+", "", str(e)).replace("wt=json", "wt=javabin") for e in (expected, got)]
    assert said[0] == said[1]
    if raised is vp.SolrError:
        assert str(got) == str(expected) == "Solr responded with an error (HTTP 400): [Reason: undefined field nope]"
        assert isinstance(got, velkora.http.SolrError) and (got.msg, got.code, got.status) == (
            "undefined field nope", 400, 400)


PREPARED = ["http://127.0.0.1:8983/solr/c_1/select/?q=%2A%3A%2A&fq=a%20b+c&wt=javabin",
            "http://solr-1.example:65535/solr/c/select/?q=~!$'()*,;:@/?", "http://127.0.0.1:8983/solr//c/select"]


@pytest.mark.parametrize("url", [
    *PREPARED, "http://127.0.0.1:65536/solr/c/select/?q=x",  # refused by requests
    "http://127.0.0.1:08983/solr/c/select/?q=x", "http://Solr.example/solr/c/select/?q=x",
    "HTTP://solr.example/solr/c/select/?q=x", "http://solr.example/solr/./c/../c/select/?q=x",
    *[f"http://solr.example/solr/c/select/{end}"
      for end in (".", "?q=%41", "?q=%2a", "?q=%zz", "?q=a b", "?q=[x]", "?q=\u00e9", "#x")],
    "http://solr.example?q=x", "http://[::1]:8983/solr/c/select/?q=x"])
def test_urls_sent_unprepared_are_those_requests_leaves_alone(url):
    assert vp._prepared(url) is (url in PREPARED)
    assert url not in PREPARED or requests.Request("GET", url).prepare().url == url


F01, F02 = 0.10000000149011612, 0.20000000298023224  # 0.1 and 0.2 as floats
PARTS = {
    "expanded": _som(g1=_doclist([("id", _v("str", "b")), ("made_dt", _v("date", 86_400_000)), ("price", _f(F01))])),
    "moreLikeThis": _som(a=_doclist([("id", _v("str", "c")), ("payload", _v("bytes", "AAE=")),
                                     ("weight", _v("double", 0.1))])),
    "spellcheck": _som(suggestions=_named(helo=_som(numFound=_v("int", 1), suggestion=_v("list", [_v("str", "hi")]))),
                       correctlySpelled=_v("bool", False), collations=_named(collation=_v("str", "hi"))),
    "terms": _som(cat=_named(audio=_v("int", 3), video=_v("int", 1))),
    "facet_counts": _som(facet_queries=_som(), facet_fields=_som(cat=_named(audio=_v("int", 3))), facet_ranges=_som(
        price=_som(counts=_nl([("0.0", _v("int", 2)), ("0.1", _v("int", 1))]),
                   gap=_f(F01), start=_f(0.0), end=_f(F02)))),
    "highlighting": _som(a=_som(title=_v("list", [_v("str", "<em>key</em>board")]))),
    "stats": _som(stats_fields=_som(price=_som(
        min=_v("double", 0.5), max=_v("double", "Infinity"), count=_v("long", 2), missing=_v("long", 0),
        sum=_v("double", "Infinity"), mean=_v("double", "NaN"), stddev=_v("double", "NaN")))),
    "grouped": _som(cat=_som(matches=_v("int", 2), groups=_v("list", [_som(
        groupValue=_v("str", "audio"), doclist=_doclist([("id", _v("str", "g")), ("made_dt", _v("date", -1))]))]))),
    "debug": _som(rawquerystring=_v("str", "*:*"), explain=_named(a=_v("str", "1.0 = x")),
                  timing=_som(time=_v("double", 1.0)))}


@pytest.mark.parametrize("nl", [None, *solr_json.STYLES])
@pytest.mark.parametrize("name", ["select_small", "child_docs", *PARTS])
def test_search_gives_what_pysolr_gives_from_json(solr, name, nl):
    # Real bodies for a short query, or one built with each other part pysolr reads for a query it posts
    if name not in PARTS and not SOLR_DATA.is_dir():
        pytest.skip("Solr test data not present")
    q = "id:(" + " OR ".join(f"x{i}" for i in range(300)) + ")" if name in PARTS else "title:keyboard"
    url = serve(solr, _som(responseHeader=_som(status=_v("int", 0), QTime=_v("int", 1)), response={**_doclist(
        [("id", _v("str", "a")), ("made_dt", _v("date", 1_600_000_000_123)), ("score", _f(F01))]), "maxScore": 0.1},
        **{name: PARTS[name]}) if name in PARTS else solr_like(load(name)))
    params = {"facet": "true", "facet.field": "cat", **({"json.nl": nl} if nl else {})}
    got, expected = vp.Solr(url).search(q, **params), pysolr.Solr(url).search(q, **params)
    assert_same_results(got, expected)
    assert [p["wt"] for p in solr.asked(SELECT[1])] == [["javabin"], ["json"]]
    assert {p for p, _ in solr.requests} == {SELECT[1]}  # no Schema API
    assert solr.asked(SELECT[1])[0] == {"q": [q], **{k: [v] for k, v in params.items()}, "wt": ["javabin"]}
    assert [s["method"] for s in solr.seen] == ["POST" if name in PARTS else "GET"] * 2
    if name in PARTS:
        assert name in expected.raw_response and expected.raw_response["response"]["maxScore"] == 0.1
        assert expected.docs == [{"id": "a", "made_dt": "2020-09-13T12:26:40.123Z", "score": 0.1}]


def test_cursor_paging_through_results(solr):
    pages = {mark: _som(response=_doclist(*[[("id", _v("str", i))] for i in ids]), nextCursorMark=_v("str", following))
             for mark, following, ids in [("*", "A", "ab"), ("A", "B", "c"), ("B", "B", "")]}
    url = serve(solr, lambda params: answering(pages[params["cursorMark"][0]])(params))
    got = vp.Solr(url).search("*:*", sort="id asc", cursorMark="*")
    assert [doc["id"] for doc in got] == [doc["id"] for doc in pysolr.Solr(url).search(
        "*:*", sort="id asc", cursorMark="*")] == ["a", "b", "c"]
    assert got.nextCursorMark == "A"


# ---------------------------------------------------------------------------
# The native decoder against the writer's rules

EDGES = _som(
    dates=_v("list", [_v("date", ms) for ms in (0, -1, 1, 86_399_999, -62_135_596_800_000, -62_135_596_800_001,
                                                -62_198_755_200_000, 253_402_300_799_999, 253_402_300_800_000,
                                                -(1 << 63), (1 << 63) - 1)]),
    floats=_v("list", [_f(x) for x in (1.401298464324817e-45, 2.802596928649634e-45, 9.80908925027372e-45,
                                       1.1754943508222875e-38, 3.4028234663852886e38, -3.4028234663852886e38, F01,
                                       -0.0, 0.0, 16777216.0, 9.99999993922529e-09, 8999999488.0, "NaN", "Infinity",
                                       "-Infinity")]),
    doubles=_v("iter", [_v("double", x) for x in (5e-324, 0.1, -0.0, "NaN", "-Infinity", "Infinity")]),
    bytes=_v("list", [_v("bytes", b) for b in ("", "AA==", "AAEC", "/+8=")]),
    enum=_v("list", [{"t": "enum", "int": 1, "str": "High"}]),
    named=_nl([
        ("a", _v("int", 1)), (None, _f(0.5)), ("a", _v("date", 0)), ("b", _nl([(None, _v("null", None))])),
        ("c", _v("bytes", "")), ("d", _v("short", 2)), ("e", _v("long", 3)), ("f", _v("bool", True)),
        ("g", _som(h=_v("double", "NaN"))), ("i", _v("iter", [])), ("j", _v("map", [])), ("k", _v("null", None)),
        ("l", _v("double", 0.5)), ("m", _v("str", "s")), ("n", _v("list", [])),
        ("o", {"t": "doc", "fields": [("id", _v("str", "o"))], "children": []}), ("p", _doclist())]),
    som={"t": "som", "v": [(None, _v("int", 1)), ("x", _v("int", 2)), ("x", _v("int", 3))]},
    map={"t": "map", "v": [(_v("int", 7), _v("str", "seven")), (_v("bool", False), _v("int", 0)),
                           (_v("str", "s"), _v("int", 1)), (_v("long", 1 << 40), _v("null", None))]},
    entry={"t": "mapentry", "k": {"t": "int", "v": 5}, "v": _v("str", "five")},
    writer={"t": "mapwriter", "v": [("k", _v("date", 1_327_731_722_000)), ("k", _v("double", 1.5))]},
    response={**_doclist(), "numFound": 3, "start": 1, "maxScore": 1.401298464324817e-45, "numFoundExact": None,
              "docs": [{"t": "doc", "fields": [("id", _v("str", "p")), ("score", _f(F01))],
                        "children": _doclist([("id", _v("str", "c"))])["docs"]}]})


def test_edge_values_read_back_as_the_writer_writes_them():
    # Fixed texts the rules give, so that the renderer and the decoder cannot share a mistake.
    got = velkora.loads_solr_json(jb.encode(to_wire(EDGES)), json_nl="arrntv")
    assert got["dates"][4:] == ["0001-01-01T00:00:00Z", "0000-12-31T23:59:59.999Z", "-0001-01-01T00:00:00Z",
                                "9999-12-31T23:59:59.999Z", "+10000-01-01T00:00:00Z",
                                "-292275055-05-16T16:47:04.192Z", "+292278994-08-17T07:12:55.807Z"]
    assert got["floats"][:5] == [1.4e-45, 2.8e-45, 9.8e-45, 1.1754944e-38, 3.4028235e38]
    # 9e9 is the float's shortest text, lying on the edge of its interval, which an even significand includes
    assert got["floats"][-4:] == [9e9, "NaN", "Infinity", "-Infinity"] and got["bytes"][:2] == ["", "AA=="]
    assert got["named"][:3] == [{"name": "a", "type": "int", "value": 1}, {"name": None, "type": "float", "value": 0.5},
                                {"name": "a", "type": "date", "value": "1970-01-01T00:00:00Z"}]
    assert [entry["type"] for entry in got["named"][3:]] == \
        "lst str int long bool map array map null double str array doc doclist".split()
    assert (got["som"], got["map"]) == ({"": 1, "x": 3}, {"7": "seven", "false": 0, "s": 1, "1099511627776": None})
    assert list(got["response"]) == ["numFound", "start", "maxScore", "docs"] and got["enum"] == ["High"]


def test_every_float_of_one_shortest_digit_takes_the_nearest_two_that_read_back():
    with np.errstate(over="ignore"):
        near = {float(np.float32(f"{d}e{e}")) for d in range(1, 10) for e in range(-46, 40)}
    ones = sorted(f for f in near if 0 < f < math.inf and len(np.format_float_scientific(np.float32(f), unique=True)
                                                              .split("e")[0].strip(".")) == 1)
    assert len(ones) == 747
    values = ones + [-f for f in ones]
    got = velkora.loads_solr_json(jb.encode(jb.Arr([jb.Float(f) for f in values])))
    assert got == [float(solr_json.java_float(f)) for f in values]


HOSTILE = [*map(jb.encode, [
    jb.NamedList([(jb.Date(0), 1)]),  # a key deserialize makes an int, we would make text
    jb.NamedList([(jb.Bytes(b""), 1)]), jb.NamedList([(jb.EnumValue(1, jb.Str("x")), 1)]),
    jb.MapEntryIter([(jb.EnumValue(1, jb.Str("x")), 1)]),  # unhashable to deserialize
    jb.MapEntryIter([(jb.Arr([1]), 1)]), jb.MapEntry(jb.OrderedMap([("a", 1)]), 1),
    jb.TypedArr(9, b"", count=1), jb.TypedArr(9, b"", count=0),
    # document list headers: a named list and an enum are dicts to deserialize, a map with an int key its pairs
    jb.DocList(header=jb.NamedList([("a", 1)])), jb.DocList(header=jb.EnumValue(1, jb.Arr([0, 0]))),
    jb.DocList(header=jb.Map([(1, 2), ("a", 3)]), docs=[])]),
    jb.encode(jb.NamedList([("a", jb.Float(1.0))]))[:-2]]
BUILT = {**{f"hostile{i}": (data, None) for i, data in enumerate(HOSTILE)}, "EDGES": (jb.encode(to_wire(EDGES)), EDGES)}


@pytest.mark.parametrize("nl", solr_json.STYLES)
@pytest.mark.parametrize("name", [*BUILT, "javabin_sample", *[n for n in DESCRIBED if n != "select_large"]])
def test_decoder_gives_json_loads_of_the_writers_text(name, nl):
    # json.loads of the writer's text, or where deserialize fails, its very error; so on each cut of a small body.
    if name not in BUILT and not SOLR_DATA.is_dir():
        pytest.skip("Solr test data not present")
    data, described = BUILT.get(name) or (body(name), name in DESCRIBED and load(name))
    fails_alike_at_every_cut(data, lambda cut: _core._deserialize_solr_json(cut, nl), _core.deserialize,
                             None if len(data) < 2000 else [len(data)])
    error, ours = outcome(_core.deserialize, data), outcome(_core._deserialize_solr_json, data, nl)
    if isinstance(error, ValueError):
        assert type(ours) is type(error)
    elif described:
        assert_same(ours, json.loads(solr_json.text(described, nl)))


@needs_data
def test_real_select_answer_with_facets(solr):
    data = body("javabin_sample")
    got = velkora.loads_solr_json(data)
    facets = got["facet_counts"]["facet_fields"]
    assert (facets["inStock"], facets["timestamp_dt"]) == (["false", 2, "true", 2], ["2019-02-05T00:21:03.591Z", 4])
    assert list(got["response"]) == ["numFound", "start", "docs"]  # no maxScore, no numFoundExact on the wire
    assert got["response"]["docs"][0]["timestamp_dt"] == "2019-02-05T00:21:03.591Z"
    assert velkora.loads_solr_json(data, "map")["facet_counts"]["facet_fields"]["price"] == \
        {"2.0": 1, "3.0": 1, "4.0": 1, "5.0": 1}
    results = vp.Solr(serve(solr, data)).search("*:*")
    assert (results.hits, results.facets, results.qtime) == (5, got["facet_counts"], 91)


@pytest.mark.parametrize("json_nl, error, message", [
    ("arr", ValueError, 'json_nl must be "flat", "map", "arrarr", "arrmap" or "arrntv", not "arr"'),
    ("", ValueError, 'json_nl must be "flat", "map", "arrarr", "arrmap" or "arrntv", not ""'),
    (1, TypeError, "'int' object is not an instance of 'str'")])
def test_json_nl_argument(json_nl, error, message):
    exc = pytest.raises(error, velkora.loads_solr_json, b"\x02\x00", json_nl).value
    assert type(exc) is error and str(exc) == message
    assert getattr(exc, "__notes__", None) == (["while processing 'json_nl'"] if error is TypeError else None)
    assert velkora.loads_solr_json(b"\x02\x00") is None
