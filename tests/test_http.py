"""velkora.http through requests and httpx against a loopback Solr node: the same documents and batches as the
whole-body decoders, Solr's error answers, cut and stalled downloads, cursor paging, the Schema API path."""

import asyncio
import gzip
import pickle
import re
import time
from concurrent.futures import ThreadPoolExecutor
from urllib.parse import unquote_plus

import pyarrow as pa
import pytest

import javabin as jb
import velkora
import velkora.http as vh
from descriptions import body as solr_body
from helpers import documents, in_fresh_python, needs_data
from solr_node import (JSON, Answer, bodies, cursor_pages, error_response, export_body, export_failure, schema_api,
                       select_body, solr_error, stream_body)
from test_arrow import _solr_schema

requests = pytest.importorskip("requests")
httpx = pytest.importorskip("httpx")
try:
    import aiohttp
except ImportError:  # the aiohttp cases skip
    aiohttp = None

EOF = r"^unexpected end of input at byte offset \d+$"
SCHEMA = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("tags", pa.list_(pa.utf8()))])
# Real bodies by handler, with the children mode their documents need.
REAL = [("select", "select_small", "skip"), ("export", "export_like", "skip"), ("stream", "stream_like", "skip"),
        ("select", "child_docs", "explode"), ("select", "javabin_sample", None)]


@pytest.fixture(params=["requests", "httpx"])
def client(request):
    with MAKE[request.param]() as made:
        yield made


def docs(n, start=0):
    return [[("id", f"d{i:02d}"), ("n", i), ("tags", ["a", "b", "c"][: i % 4])] for i in range(start, start + n)]


select, export = select_body, export_body


# Every client: the sync ones are given as objects or names, the async ones by name (made inside the loop).
CLIENTS = ["requests", "httpx", "httpx-async", "aiohttp"]
MAKE = {"requests": lambda: requests.Session(), "httpx": lambda: httpx.Client(),
        "httpx-async": lambda: httpx.AsyncClient(), "aiohttp": lambda: aiohttp.ClientSession()}


@pytest.fixture(params=CLIENTS)
def any_client(request):
    if request.param == "aiohttp" and aiohttp is None:
        pytest.skip("aiohttp not installed")
    return request.param


def run(function, client, url, params=None, **kw):
    """Everything `function` gives, as a list (the readers' tables as their batches)."""
    got, error = consume(function, client, url, params, **kw)
    if error is not None:
        raise error
    return got


def consume(function, client, url, params=None, **kw):
    """What `function` gave before it stopped, and the exception it stopped with (None at a normal end).
    `client` is a client, or a name of CLIENTS (the async ones run their `a`-twin in a fresh event loop).
    The Arrow functions read with SCHEMA unless given a schema."""
    params = {"q": "*:*"} if params is None else params
    if function == "iter_select":
        kw.setdefault("unique_key", "id")
    elif function != "iter_documents":
        kw.setdefault("schema", SCHEMA)
    if client in ("httpx-async", "aiohttp"):
        return asyncio.run(_aconsume(function, MAKE[client], url, params, kw))
    if isinstance(client, str):
        with MAKE[client]() as made:
            return consume(function, made, url, params, **kw)
    got = []
    try:
        call = getattr(vh, function)(client, url, params, **kw)
        got.extend(_batches(function, call) if function.startswith("read_") else call)
    except Exception as e:
        return got, e
    return got, None


def _batches(function, result):
    return result.to_arrow().to_batches() if function == "read_polars" else result.to_batches()


async def _aconsume(function, make, url, params, kw):
    got = []
    async with make() as client:
        try:
            call = getattr(vh, "a" + function)(client, url, params, **kw)
            if function.startswith("read_"):
                got = _batches(function, await call)
            else:
                async for item in call:  # what came before a failure is kept
                    got.append(item)
        except Exception as e:
            return got, e
    return got, None


def count(function, got):
    return len(got) if function in ("iter_documents", "iter_select") else sum(b.num_rows for b in got)


# ---------------------------------------------------------------------------
# The same documents and batches as the whole-body decoders

@needs_data
@pytest.mark.parametrize("chunk_size", [13, 4096])
@pytest.mark.parametrize("handler,name,children", REAL)
def test_real_bodies_agree_with_the_whole_body_decoders(solr, client, handler, name, children, chunk_size):
    data = solr_body(name)
    url = solr.serve(f"/solr/{name}/{handler}", data, chunk_size=chunk_size)
    assert list(vh.iter_documents(client, url, {"q": "*:*"})) == documents(data)
    shaped = velkora.loads_solr_json(data, "map")  # the described tops are named lists
    shaped = shaped.get("response", shaped.get("result-set")) or {}
    assert list(vh.iter_documents(client, url, {"q": "*:*", "json.nl": "map"}, shape="solr-json")) == \
        [d for d in shaped.get("docs", []) if d.get("EOF") is not True]  # the EOF tuple ends them
    if children is None:
        return
    schema = _solr_schema(name, children)
    whole = pa.Table.from_batches([velkora.deserialize_arrow(data, schema, children=children)])
    whole = whole.slice(0, whole.num_rows - (handler == "stream"))  # the EOF tuple is no row
    batches = list(vh.iter_batches(client, url, {"q": "*:*"}, schema, 7, children))
    # A document's rows stay together: in explode mode a batch may run past the size.
    assert all(b.num_rows == 7 if children == "skip" else b.num_rows >= 7 for b in batches[:-1])
    assert pa.Table.from_batches(batches, schema=schema).equals(whole)
    assert vh.read_arrow(client, url, {"q": "*:*"}, schema, children=children).equals(whole)
    frame = vh.read_polars(client, url, {"q": "*:*"}, schema, batch_size=50, children=children).to_arrow()
    assert frame.equals(whole.cast(frame.schema))  # polars keeps the values, in its own text and list types
    assert [p["wt"] for p in solr.asked(f"/solr/{name}/{handler}")] == [["javabin"]] * 5


@needs_data
def test_a_large_select_arrives_in_batches_of_the_asked_size(solr, client):
    data = solr_body("select_large")
    url = solr.serve("/solr/big/select", data, chunk_size=65536)
    schema = _solr_schema("select_large", "skip")
    batches = list(vh.iter_batches(client, url, {"q": "*:*"}, schema, batch_size=16384))
    assert [b.num_rows for b in batches] == [16384, 16384, 16384, 848]
    assert pa.Table.from_batches(batches).equals(pa.Table.from_batches([velkora.deserialize_arrow(data, schema)]))


@pytest.mark.parametrize("framing", ["chunked", "length", "close"])
def test_every_framing_delivers_the_whole_body(solr, client, framing):
    url = solr.serve("/solr/c/export", export(docs(40)), framing=framing, chunk_size=100)
    assert list(vh.iter_documents(client, url, {})) == [dict(d) for d in docs(40)]
    assert vh.read_arrow(client, url, {}, SCHEMA).to_pylist() == [dict(d) for d in docs(40)]


@pytest.mark.parametrize("data", [select([]), export([]), jb.encode({"responseHeader": {"status": 0}}),
                                  jb.encode([1, [2, "x"]])], ids=repr)
def test_no_documents(solr, client, data):
    url = solr.serve("/solr/c/select", data)
    assert list(vh.iter_documents(client, url, {})) == []
    assert list(vh.iter_batches(client, url, {}, SCHEMA)) == []
    table = vh.read_arrow(client, url, {}, SCHEMA)
    assert table.num_rows == 0 and table.schema.equals(SCHEMA)
    assert vh.read_polars(client, url, {}, SCHEMA).columns == ["id", "n", "tags"]


@pytest.mark.parametrize("params,sent", [
    ({"q": "*:*", "wt": "json", "fl": "id,n"}, [("q", "*:*"), ("fl", "id,n"), ("wt", "javabin")]),
    ([("q", "x"), ("fq", "a:1"), ("fq", "b:2")], [("q", "x"), ("fq", "a:1"), ("fq", "b:2"), ("wt", "javabin")]),
    ({"q": "x", "fq": ["a:1", "b:2"], "facet": True, "rows": 10},
     [("q", "x"), ("fq", "a:1"), ("fq", "b:2"), ("facet", "true"), ("rows", "10"), ("wt", "javabin")]),
], ids=["wt replaced", "pairs", "lists, bools and numbers"])
def test_parameters_travel_as_given_with_wt_javabin(solr, client, params, sent):
    url = solr.serve("/solr/c/select", select(docs(2)))
    assert len(list(vh.iter_documents(client, url, params))) == 2
    expected = {}
    for name, value in sent:
        expected.setdefault(name, []).append(value)
    assert solr.asked("/solr/c/select") == [expected]


def test_only_a_requests_session_or_an_httpx_client():
    for wrong in (object(), "http://x", httpx.AsyncClient()):
        with pytest.raises(TypeError, match=f"^expected a requests.Session or an httpx.Client, got "
                                            f"{type(wrong).__qualname__}$"):
            next(vh.iter_documents(wrong, "http://127.0.0.1:9/solr/c/select", {}))


def test_importing_the_module_imports_no_client_and_no_dataframe_library():
    out = in_fresh_python("""
        import velkora, velkora.http
        print(sorted({"requests", "httpx", "pyarrow", "polars", "pysolr", "dask"} & set(sys.modules)))
    """)
    assert out.strip() == "[]"


# ---------------------------------------------------------------------------
# Solr's error answers

METADATA = {"error-class": "org.apache.solr.common.SolrException",
            "root-error-class": "org.apache.solr.common.SolrException"}
FUNCTIONS = ["iter_documents", "iter_batches", "read_arrow", "read_polars", "iter_select"]


@pytest.mark.parametrize("form", ["javabin", "json"])
@pytest.mark.parametrize("function", FUNCTIONS)
def test_error_answers_raise_solr_error_with_solrs_message(solr, any_client, function, form):
    javabin, text = error_response(400, "undefined field foo")
    answer = Answer(javabin, 400) if form == "javabin" else Answer(text, 400, JSON)
    url = solr.serve("/solr/c/select", answer)
    _, e = consume(function, any_client, url, {"q": "foo:1"})
    assert isinstance(e, vh.SolrError)
    full_url = f"{url}?q=foo%3A1" + ("&sort=id+asc&rows=1000&cursorMark=%2A" if function == "iter_select" else "") \
        + "&wt=javabin"
    assert unquote_plus(str(e)) == unquote_plus(f"Solr error 400: undefined field foo (HTTP 400 from {full_url})")
    assert (e.msg, e.code, e.status, unquote_plus(e.url), e.metadata, e.trace) == \
        ("undefined field foo", 400, 400, unquote_plus(full_url), METADATA, None)


@pytest.mark.parametrize("answer,msg,code,trace", [
    (bodies(*error_response(500, "Index locked", trace="java.io.IOException: locked\n\tat x.y(Z.java:1)"),
            status=500), "Index locked", 500, "java.io.IOException: locked\n\tat x.y(Z.java:1)"),
    (bodies(*error_response(500, None, trace="java.lang.NullPointerException\n\tat a.b(C.java:2)"), status=500),
     "java.lang.NullPointerException", 500, "java.lang.NullPointerException\n\tat a.b(C.java:2)"),
    (Answer(b"<html><head><title>502 Bad Gateway</title></head><body><h1>Bad Gateway</h1></body></html>", 502,
            "text/html"), "502 Bad Gateway", None, None),
    (Answer(b"<html><body><h2>HTTP ERROR 414 URI Too Long</h2>\n<table><tr><th>URI:</th><td>/solr/c/select</td>"
            b"</tr></table></body></html>", 414, "text/html;charset=iso-8859-1"),
     "HTTP ERROR 414 URI Too Long URI: /solr/c/select", None, None),
    (Answer(b"", 503, "text/plain"), "HTTP 503", None, None),
    (Answer(error_response(400, "cut short")[0][:-9], 400), None, None, None),
], ids=["with trace", "trace only", "proxy page", "jetty page", "empty", "cut javabin"])
def test_error_answers_without_the_usual_entries(solr, client, answer, msg, code, trace):
    url = solr.serve("/solr/c/select", answer)
    e = pytest.raises(vh.SolrError, lambda: list(vh.iter_documents(client, url, {}))).value
    status = e.status
    assert (e.code, e.trace) == (code, trace)
    if msg is not None:
        assert e.msg == msg
        assert str(e) == f"Solr error {code or status}: {msg} (HTTP {status} from {url}?wt=javabin)"
    else:  # not decodable: the start of the raw body stands in
        assert e.msg and e.status == 400


@pytest.mark.parametrize("cls", [vh.SolrError, pytest.param("pysolr", id="pysolr drop-in")])
def test_solr_errors_survive_pickling(cls):
    if cls == "pysolr":
        cls = pytest.importorskip("velkora.pysolr").SolrError
    error = cls("undefined field foo", code=400, status=400, url="http://127.0.0.1:1/solr/c/select?wt=javabin",
                metadata=METADATA, trace="at x")
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is cls and str(copy) == str(error)
    assert (copy.msg, copy.code, copy.status, copy.url, copy.metadata, copy.trace) == \
        (error.msg, error.code, error.status, error.url, error.metadata, error.trace)


def test_a_schema_api_failure_is_a_solr_error(solr, client):
    solr.serve("/solr/c/schema/fields", solr_error(404, "Not Found"))
    url = solr.serve("/solr/c/export", export(docs(3)))
    pytest.importorskip("velkora.schema")
    with pytest.raises(vh.SolrError, match=r"^Solr error 404: Not Found \(HTTP 404 from .*/solr/c/schema/fields"):
        vh.read_arrow(client, url, {"fl": "id"})


# ---------------------------------------------------------------------------
# Cut and stalled downloads: an error, never a short table

BODIES = {"select": select(docs(30)), "export": export(docs(30))}
# Where the body stops: before any answer, just after the headers, in the envelope, in a document.
PHASES = {"before the answer": ("silent", 0), "after the headers": (None, 0), "in the envelope": (None, 10),
          "in a document": (None, -200)}
CUTS = [("chunked", "drop"), ("length", "drop"), ("close", "end"), ("chunked", "end"), ("length", "end")]


def cut_error(client, framing, cut, phase):
    """What a client raises for the cut; a clean early end leaves it to the decoder's finish()."""
    if phase == "before the answer":
        return (requests.ConnectionError, None) if isinstance(client, requests.Session) \
            else (httpx.RemoteProtocolError, None)
    if cut == "drop":
        return (requests.exceptions.ChunkedEncodingError, None) if isinstance(client, requests.Session) \
            else (httpx.RemoteProtocolError, None)
    return ValueError, EOF


@pytest.mark.parametrize("framing,cut", CUTS)
@pytest.mark.parametrize("phase", PHASES)
@pytest.mark.parametrize("function,handler", [(f, h) for f in FUNCTIONS for h in BODIES
                                              if not (f == "iter_select" and h == "export")])  # pages are /select
def test_a_cut_download_raises_in_every_function(solr, client, function, handler, phase, framing, cut):
    data = BODIES[handler] if function != "iter_select" else \
        cursor_pages(docs(30))({"cursorMark": ["*"], "rows": ["1000"]}).body
    how, cut_at = PHASES[phase]
    url = solr.serve(f"/solr/c/{handler}", data, framing=framing, cut=how or cut, cut_at=cut_at, chunk_size=64)
    error, message = cut_error(client, framing, cut, phase)
    if function == "iter_select" and error is ValueError:
        message = None  # a page is decoded whole: the whole-body decoders say where it stops
    with pytest.raises(error, match=message):
        run(function, client, url)


@pytest.mark.parametrize("cut", ["end", "drop"])
@pytest.mark.parametrize("function", ["iter_documents", "iter_batches", "read_arrow"])
def test_documents_before_the_cut_arrive_then_the_error(solr, any_client, function, cut):
    data = export(docs(30))
    url = solr.serve("/solr/c/export", data, cut=cut, cut_at=len(data) // 2, chunk_size=64)
    got, e = consume(function, any_client, url, {}, **({} if function == "iter_documents" else {"batch_size": 1}))
    if cut == "end":  # a clean early end: the decoder says where, after what arrived
        assert isinstance(e, ValueError) and re.match(EOF, str(e)), e
        assert (5 < len(got) < 30) if function != "read_arrow" else got == []
    else:  # the transport's own error (what it had buffered of the read it was in is lost with it)
        assert type(e) is {"requests": requests.exceptions.ChunkedEncodingError, "httpx": httpx.RemoteProtocolError,
                           "httpx-async": httpx.RemoteProtocolError,
                           "aiohttp": aiohttp and aiohttp.ClientPayloadError}[any_client], e
        assert len(got) < 30


def test_a_stall_ends_in_the_clients_own_timeout(solr, client):
    # The node holds the rest back for ten seconds, then drops the connection (another error than a timeout);
    # that it saw the client hang up while it waited shows the timeout ended the read, with no clock read here.
    url = solr.serve("/solr/c/export", export(docs(30)), cut="stall", cut_at=300)
    expected = requests.ConnectionError if isinstance(client, requests.Session) else httpx.ReadTimeout
    raised = pytest.raises(expected, lambda: list(vh.iter_documents(client, url, {}, timeout=0.3)))
    if isinstance(client, requests.Session):  # requests reports a read timeout while streaming this way
        assert "Read timed out" in str(raised.value)
    for _ in range(100):  # the node notices the hang-up within its polling step
        if solr.hung_up:
            break
        time.sleep(0.02)
    assert solr.hung_up == ["/solr/c/export"]


@pytest.mark.parametrize("data, kind, offset", [
    (b"\x01\x02\x03", "InvalidVersion", None),
    # Top-level values that are no envelope: no documents only once read through.
    (b"\x02\x1c\x00\x00", "UnknownTag", 1),
    (b"\x02\x83\x01\x02", "UnexpectedEof", 4),
    (b"\x02" + b"\x81" * 128 + b"\x80", "DepthExceeded", 129),
], ids=["version", "unknown tag", "cut", "too deep"])
def test_malformed_bodies_raise_the_decoders_error(solr, client, data, kind, offset):
    url = solr.serve("/solr/c/select", data, chunk_size=1)
    whole = pytest.raises(velkora.DecodeError, velkora.deserialize, data)
    for read in (lambda: list(vh.iter_documents(client, url, {})), lambda: vh.read_arrow(client, url, {}, SCHEMA)):
        caught = pytest.raises(velkora.DecodeError, read)
        assert (caught.value.kind, caught.value.offset, str(caught.value)) == (kind, offset, str(whole.value))


# ---------------------------------------------------------------------------
# What Solr reports inside a 2xx body: in-band failures, short answers, partial results

STREAMED = ["iter_documents", "iter_batches", "read_arrow", "read_polars"]
IN_BAND = {
    # name: (handler, body, params, (error class, msg or message end, code or expected), documents before it)
    "stream parse error": ("stream", stream_body([], "Invalid stream expression search(c, q=*:*"), {},
                           (vh.SolrError, "Invalid stream expression search(c, q=*:*", None), 0),
    "stream run-time error": ("stream", stream_body(docs(6), "java.io.IOException: shard down\n\tat x.y(Z.java:1)"),
                              {}, (vh.SolrError, "java.io.IOException: shard down\n\tat x.y(Z.java:1)", None), 6),
    "export refused": ("export", export_failure('undefined field: "nope"'), {},
                       (vh.SolrError, 'undefined field: "nope"', 400), 0),
    "export header status": ("export", export_body(docs(3), status=500), {},
                             (vh.SolrError, "the response header reports status 500", 500), 3),
    "export cut short": ("export", export_body(docs(20), num_found=30), {},
                         (vh.IncompleteResponse, "ended after 20 of the 30 documents it announced", 30), 20),
    "select page short": ("select", select_body(docs(7), num_found=25), {"rows": 10},
                          (vh.IncompleteResponse, "ended after 7 of the 10 documents it announced", 10), 7),
    "select partial": ("select", select_body(docs(10), num_found=25, partial=True), {"rows": 10},
                       (vh.IncompleteResponse, "has partialResults: documents may be missing (pass allow_partial=True"
                                               " to take them anyway)", 10), 10),
}


@pytest.mark.parametrize("case", IN_BAND)
@pytest.mark.parametrize("function", STREAMED)
def test_in_band_reports_raise_after_the_documents_before_them(solr, any_client, function, case):
    handler, data, params, (cls, text, code), before = IN_BAND[case]
    url = solr.serve(f"/solr/c/{handler}", data, chunk_size=64)
    got, e = consume(function, any_client, url, {"q": "*:*", **params},
                     **({} if function == "iter_documents" else {"batch_size": 1}))
    assert type(e) is cls, e
    assert e.url.startswith(url)
    if cls is vh.SolrError:
        assert (e.msg, e.code, e.status) == (text, code, 200)
    else:
        assert str(e) == f"the answer from {e.url} {text}" and (e.expected, e.received) == (code, before)
    assert count(function, got) == (before if function in ("iter_documents", "iter_batches") else 0)
    if function == "iter_documents":
        assert got == [dict(d) for d in docs(before)]


@pytest.mark.parametrize("handler,data,params,kw", [
    ("stream", stream_body(docs(6)), {}, {}),
    ("export", export_body(docs(20), num_found=60), {"numWorkers": 3, "workerId": 0, "partitionKeys": "id"}, {}),
    ("export", export_body(docs(20), num_found=60), {"expr": "unique(input(), over=id)"}, {}),
    ("select", select_body(docs(5), num_found=25, start=20), {"rows": 10, "start": 20}, {}),
    ("select", select_body(docs(5), num_found=25), {}, {}),  # the handler's default rows is unknown
    ("select", select_body(docs(10), num_found=25, partial=True), {"rows": 10}, {"allow_partial": True}),
], ids=["stream", "export partitioned", "export expr", "last page", "rows unknown", "partial allowed"])
@pytest.mark.parametrize("function", STREAMED)
def test_complete_answers_and_the_eof_tuple(solr, any_client, function, handler, data, params, kw):
    url = solr.serve(f"/solr/c/{handler}", data)
    n = {"stream": 6, "export": 20, "select": 10 if kw else 5}[handler]
    got = run(function, any_client, url, {"q": "*:*", **params}, **kw)
    if function == "iter_documents":
        assert got == [dict(d) for d in docs(n)]  # no EOF tuple
    else:
        table = pa.Table.from_batches(got)
        assert table.column_names == ["id", "n", "tags"] and table.to_pylist() == [dict(d) for d in docs(n)]


# ---------------------------------------------------------------------------
# gzip, long queries, timeouts, answers that are not javabin

@pytest.mark.parametrize("function", FUNCTIONS)
def test_gzip_answers_are_inflated_by_every_route(solr, any_client, function):
    respond = cursor_pages(docs(150)) if function == "iter_select" else export(docs(150))
    url = solr.serve(f"/solr/c/{'select' if function == 'iter_select' else 'export'}", respond, gzip=True,
                     chunk_size=100)
    got = run(function, any_client, url)
    rows = got if function in ("iter_documents", "iter_select") else pa.Table.from_batches(got).to_pylist()
    assert rows == [dict(d) for d in docs(150)]
    assert solr.seen[0]["gzip"] and "gzip" in solr.seen[0]["accept"]


@pytest.mark.parametrize("length,method", [(4000, "GET"), (4200, "POST"), (9000, "POST")])
@pytest.mark.parametrize("function", FUNCTIONS)
def test_long_queries_go_as_a_form_post(solr, any_client, function, length, method):
    url = solr.serve("/solr/c/select", cursor_pages(docs(5)) if function == "iter_select" else select(docs(5)))
    q = "id:(" + " OR ".join(f"d{i:04d}" for i in range(length // 9)) + ")"
    q += "x" * (length - len(q))
    got = run(function, any_client, url, {"q": q})
    assert count(function, got) == 5
    assert [seen["method"] for seen in solr.seen] == [method] * len(solr.seen)
    assert all(p["q"] == [q] for p in solr.asked("/solr/c/select"))


def test_the_node_refuses_long_request_lines_as_jetty_does(solr, client):
    url = solr.serve("/solr/c/select", select(docs(1)))
    answer = client.get(url, params={"q": "x" * 9000})
    assert answer.status_code == 414 and "<title>Error 414 URI Too Long</title>" in answer.text


@pytest.mark.parametrize("given", [None, 7.5])
def test_a_default_timeout_unless_one_is_given(solr, client, monkeypatch, given):
    url = solr.serve("/solr/c/export", export(docs(3)))
    seen = []
    method = "request" if isinstance(client, requests.Session) else "stream"
    original = getattr(client, method)
    monkeypatch.setattr(client, method, lambda *a, **kw: seen.append(kw.get("timeout", "client's")) or original(*a, **kw))
    assert len(list(vh.iter_documents(client, url, {}, timeout=given))) == 3
    default = (10.0, 300.0) if isinstance(client, requests.Session) else httpx.Timeout(300.0, connect=10.0)
    assert seen == [default if given is None else given]
    if isinstance(client, httpx.Client):  # a timeout set on the client is the client's choice
        seen.clear()
        client.timeout = httpx.Timeout(60.0)
        list(vh.iter_documents(client, url, {}))
        assert seen == ["client's"]


@pytest.mark.parametrize("answer,shown", [
    (Answer(b'{"responseHeader":{"status":0},"response":{"numFound":0,"docs":[]}}', 200, JSON),
     "application/json;charset=utf-8 and its body starts '{\"responseHeader\":{\"status\":0},\"response'"),
    (Answer(b"<html><body>Welcome to nginx!</body></html>", 200, "text/html"),
     "text/html and its body starts '<html><body>Welcome to nginx!</body></ht'"),
], ids=["json", "html"])
@pytest.mark.parametrize("function", FUNCTIONS)
def test_a_2xx_that_is_not_javabin_says_what_it_is(solr, any_client, function, answer, shown):
    url = solr.serve("/solr/c/select", answer)
    _, e = consume(function, any_client, url)
    assert type(e) is ValueError, e
    assert str(e).startswith(f"the answer from {url}?") and str(e).endswith(f" is not javabin: its content type is "
                                                                           f"{shown}")


# ---------------------------------------------------------------------------
# A dishonest server: values that never end, gzip bombs, pages without end

ENDLESS_STRING = jb.Raw(jb.size_header(jb.STR, 1 << 30))  # a string announced as 1 GiB; filler follows
LIMIT = 1 << 20


@pytest.mark.parametrize("where", ["document", "envelope"])
@pytest.mark.parametrize("function", STREAMED)
def test_a_value_that_never_ends_stops_at_max_value_bytes(solr, any_client, function, where):
    if where == "document":
        data = export(docs(3) + [[("id", "d99"), ("n", 1), ("tags", ENDLESS_STRING)]])
    else:
        data = jb.encode(jb.MapEntryIter([("responseHeader", jb.Map([("status", jb.Int(0)),
                                                                     ("QTime", ENDLESS_STRING)]))]))
    url = solr.serve("/solr/c/export", data, endless=16 * LIMIT, chunk_size=65536)
    got, e = consume(function, any_client, url, max_value_bytes=LIMIT,
                     **({} if function == "iter_documents" else {"batch_size": 1}))
    assert type(e) is ValueError, e
    assert str(e).startswith(f"a value in the answer from {url}?") and str(e).endswith(
        f" goes on past max_value_bytes ({LIMIT} bytes) without ending; pass a larger max_value_bytes if it is genuine")
    assert count(function, got) == (3 if where == "document" and function in ("iter_documents", "iter_batches") else 0)


BOMB = gzip.compress(b"\x02" + bytes(8 * LIMIT), 9)  # 8 MiB of javabin nulls in a few kilobytes


@pytest.mark.parametrize("function,target", [("read_arrow", "schema api"), ("iter_select", "schema api"),
                                             ("iter_select", "select page")])
def test_whole_body_reads_stop_a_gzip_bomb(solr, any_client, function, target):
    assert len(BOMB) < 64 << 10
    bomb = Answer(BOMB, encoding="gzip")
    for path, respond in schema_api(FIELDS, FIELD_TYPES).items():
        solr.serve("/solr/c" + path, bomb if target == "schema api" and path == "/schema/fields" else respond)
    handler = "select" if function == "iter_select" else "export"
    url = solr.serve(f"/solr/c/{handler}", bomb if target == "select page" else export(docs(3)))
    kw = {"batches": True} if function == "iter_select" else {}
    _, e = consume(function, any_client, url, {"q": "*:*", "fl": "id,n"}, max_value_bytes=LIMIT, schema=None, **kw)
    assert type(e) is ValueError, e
    assert str(e).endswith(f" is larger than max_value_bytes ({LIMIT} bytes); pass a larger max_value_bytes if it "
                           "should be read")


def test_cursor_paging_stops_at_a_page_without_documents(solr, any_client):
    def moving(params):
        return Answer(jb.encode(jb.OrderedMap([
            ("responseHeader", jb.OrderedMap([("status", jb.Int(0))])), ("response", jb.DocList(0, 0, None, True, [])),
            ("nextCursorMark", params["cursorMark"][-1] + "x")])))
    url = solr.serve("/solr/c/select", moving)
    assert run("iter_select", any_client, url) == [] and len(solr.asked("/solr/c/select")) == 1


# ---------------------------------------------------------------------------
# Any thread, any event loop

@pytest.mark.parametrize("function", ["iter_documents", "iter_batches", "iter_select"])
def test_a_route_advanced_from_a_thread_pool(solr, client, function):
    url = solr.serve("/solr/c/select", cursor_pages(docs(30)) if function == "iter_select" else select(docs(30)),
                     chunk_size=50)
    kw = {"schema": SCHEMA, "batch_size": 4} if function == "iter_batches" else \
        {"rows": 4, "unique_key": "id"} if function == "iter_select" else {}
    iterator = getattr(vh, function)(client, url, {"q": "*:*"}, **kw)
    got = []
    with ThreadPoolExecutor(4) as pool:
        for _ in range(40):  # each step on whichever worker is free
            item = pool.submit(next, iterator, None).result()
            if item is None:
                break
            got.append(item)
    rows = got if function != "iter_batches" else pa.Table.from_batches(got).to_pylist()
    assert rows == [dict(d) for d in docs(30)]


@pytest.mark.parametrize("function", ["aiter_documents", "aiter_batches", "aread_arrow"])
@pytest.mark.parametrize("kind", ["httpx-async", "aiohttp"])
def test_cancelling_an_async_route_closes_the_connection(solr, kind, function):
    if kind == "aiohttp" and aiohttp is None:
        pytest.skip("aiohttp not installed")
    data = export(docs(30))
    url = solr.serve("/solr/c/export", data, cut="stall", cut_at=len(data) // 2, chunk_size=64)

    async def cancel_mid_body():
        async with MAKE[kind]() as client:
            kw = {} if function == "aiter_documents" else {"schema": SCHEMA, "batch_size": 1}
            async def drain():
                if function == "aread_arrow":
                    return await vh.aread_arrow(client, url, {}, **kw)
                async for _ in getattr(vh, function)(client, url, {}, **kw):
                    pass
            task = asyncio.create_task(drain())
            for _ in range(100):  # until the node has sent half the body and stalls
                if solr.seen:
                    break
                await asyncio.sleep(0.02)
            await asyncio.sleep(0.2)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            for _ in range(100):  # the node notices the hang-up within its polling step
                if solr.hung_up:
                    break
                await asyncio.sleep(0.02)
    asyncio.run(cancel_mid_body())
    assert solr.hung_up == ["/solr/c/export"]


# ---------------------------------------------------------------------------
# Cursor paging

PAGED = docs(25)


def test_cursor_paging_follows_the_mark_until_it_repeats(solr, client):
    url = solr.serve("/solr/c/select", cursor_pages(PAGED))
    assert list(vh.iter_select(client, url, {"q": "*:*"}, rows=10, unique_key="id")) == [dict(d) for d in PAGED]
    asked = solr.asked("/solr/c/select")
    assert [p["cursorMark"] for p in asked] == [["*"], ["after:d09"], ["after:d19"], ["after:d24"]]
    assert all(p["sort"] == ["id asc"] and p["rows"] == ["10"] and p["wt"] == ["javabin"] for p in asked)


def test_cursor_paging_asks_the_schema_api_for_the_unique_key(solr, client):
    for path, respond in schema_api([], [], unique_key="id").items():
        solr.serve("/solr/c" + path, respond)
    url = solr.serve("/solr/c/select", cursor_pages(PAGED))
    assert len(list(vh.iter_select(client, url, [("q", "*:*"), ("sort", "n desc, id desc")], rows=100))) == 25
    assert solr.asked("/solr/c/schema/uniquekey") == [{"wt": ["javabin"]}]
    assert [p["sort"] for p in solr.asked("/solr/c/select")] == [["n desc, id desc"]] * 2


@pytest.mark.parametrize("sort", ["n desc", "id asc, n desc", "sum(n, id) asc", "idx asc", "id", "id up"])
def test_cursor_paging_refuses_a_sort_without_the_unique_key_last(solr, client, sort):
    url = solr.serve("/solr/c/select", cursor_pages(PAGED))
    message = f"cursor paging needs a sort that ends on the unique key 'id', got {sort!r}"
    with pytest.raises(ValueError) as raised:
        next(vh.iter_select(client, url, {"q": "*:*", "sort": sort}, unique_key="id"))
    assert str(raised.value) == message and solr.requests == []


@pytest.mark.parametrize("function, args, expected", [
    ("collection_url", ("http://h:8983/solr/techproducts/select",), "http://h:8983/solr/techproducts"),
    ("collection_url", ("http://h/solr/c/export/?q=x",), "http://h/solr/c"),
    ("collection_url", ("http://h/solr/c/stream#top",), "http://h/solr/c"),
    ("param", ([("sort", "a asc"), ("sort", "b asc")], "sort"), "a asc"),  # single-valued, as Solr reads them
    ("param", ({"fq": ["x", "y"]}, "fq"), "x"), ("param", ({}, "sort"), None),
    *[("cursor_sort", (sort, "id"), sort) for sort in ["id asc", "n desc,id asc", "div(n, 2) desc, id DESC",
                                                       "  id   desc "]],
])
def test_url_and_parameter_helpers(function, args, expected):
    assert getattr(vh, function)(*args) == expected


def test_cursor_paging_in_batches_and_resuming(solr, client):
    url = solr.serve("/solr/c/select", cursor_pages(PAGED))
    batches = list(vh.iter_select(client, url, {"q": "*:*"}, rows=10, batches=True, schema=SCHEMA, unique_key="id"))
    assert [b.num_rows for b in batches] == [10, 10, 5]
    assert pa.Table.from_batches(batches).to_pylist() == [dict(d) for d in PAGED]
    resumed = vh.iter_select(client, url, {"q": "*:*", "cursorMark": "after:d19"}, rows=10, unique_key="id")
    assert [d["id"] for d in resumed] == ["d20", "d21", "d22", "d23", "d24"]


def test_cursor_paging_needs_next_cursor_mark(solr, client):
    url = solr.serve("/solr/c/select", cursor_pages(PAGED, mark_entry=False))
    with pytest.raises(ValueError, match=f"^the answer of {url} has no nextCursorMark: the handler does not "
                                         f"page with cursorMark$"):
        list(vh.iter_select(client, url, {"q": "*:*"}, rows=10, unique_key="id"))


# ---------------------------------------------------------------------------
# Schema from the Schema API (schema=None)

FIELDS = [{"name": "id", "type": "string", "multiValued": False, "indexed": True, "required": True, "stored": True},
          {"name": "n", "type": "plong", "multiValued": False, "indexed": True, "stored": True},
          {"name": "tags", "type": "strings", "multiValued": True, "indexed": True, "stored": True},
          {"name": "_version_", "type": "plong", "indexed": False, "stored": False}]
FIELD_TYPES = [{"name": "string", "class": "solr.StrField", "sortMissingLast": True},
               {"name": "strings", "class": "solr.StrField", "sortMissingLast": True, "multiValued": True},
               {"name": "plong", "class": "solr.LongPointField", "docValues": True}]


@pytest.mark.parametrize("function", ["iter_batches", "read_arrow", "read_polars", "iter_select"])
def test_schema_none_asks_the_schema_api(solr, any_client, function):
    pytest.importorskip("velkora.schema")
    dynamic = [{"name": "*_dt", "type": "pdate", "indexed": True, "stored": True}]  # only in /schema/dynamicfields
    for path, respond in schema_api(FIELDS, FIELD_TYPES, dynamic_fields=dynamic).items():
        solr.serve("/solr/c" + path, respond)
    handler = "select" if function == "iter_select" else "export"
    url = solr.serve(f"/solr/c/{handler}", cursor_pages(PAGED) if function == "iter_select" else export(PAGED))
    params = {"q": "*:*", "fl": "id,n,tags,when_dt"}
    kw = {"batches": True} if function == "iter_select" else {}
    got = pa.Table.from_batches(run(function, any_client, url, params, schema=None, **kw))
    expected = pa.schema([pa.field("id", pa.utf8(), nullable=False), ("n", pa.int64()),
                          ("tags", pa.list_(pa.utf8())), ("when_dt", pa.timestamp("ms"))])
    assert got.schema.names == ["id", "n", "tags", "when_dt"] and got.num_rows == 25
    assert got.schema.equals(expected) or function == "read_polars"
    assert all(p["wt"] == ["javabin"] for p in solr.asked("/solr/c/schema/fields"))
    assert len(solr.asked("/solr/c/schema/dynamicfields")) == 1


# ---------------------------------------------------------------------------
# Memory stays about one document plus one batch, whatever the response's size

STREAM_CLIENT = """
    import pyarrow as pa, requests
    import velkora.http as vh
    from helpers import status
    url, function = sys.argv[1], sys.argv[2]
    schema = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("title", pa.utf8())])
    session = requests.Session()
    list(vh.iter_documents(session, url.replace("/export", "/warm"), {}))  # first-use costs out of the way
    list(vh.iter_batches(session, url.replace("/export", "/warm"), {}, schema))
    before = status("VmRSS")
    if function == "iter_documents":
        rows = sum(1 for _ in vh.iter_documents(session, url, {}))
    else:
        rows = sum(b.num_rows for b in vh.iter_batches(session, url, {}, schema, batch_size=2048))
    print(rows, status("VmHWM") - before)
"""


@pytest.mark.rss
@pytest.mark.parametrize("function", ["iter_documents", "iter_batches"])
def test_memory_does_not_grow_with_the_response(solr, function):
    title = "a fairly long title, as product titles go " * 3

    def growth(n):
        data = export([[("id", f"d{i:07d}"), ("n", i), ("title", title)] for i in range(n)])
        solr.serve("/solr/c/export", data, chunk_size=65536)
        solr.serve("/solr/c/warm", export(docs(10)))
        rows, grown = map(int, in_fresh_python(STREAM_CLIENT, solr.url("/solr/c/export"), function,
                                               timeout=120).split())
        assert rows == n
        return grown, len(data)

    (small, _), (large, size) = growth(5_000), growth(80_000)
    assert large - small < 4 << 20 and large < size / 4, (small, large, size)
