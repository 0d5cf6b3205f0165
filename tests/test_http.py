"""velkora.http through requests, httpx and aiohttp against a loopback Solr node: the same documents and batches
as the whole-body decoders, what the caller sees of each answer, cut and stalled downloads, paging, Schema API."""

import asyncio
import gzip
import pickle
import re
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
from urllib.parse import unquote_plus, urlencode

import pyarrow as pa
import pytest

import javabin as jb
import velkora
import velkora.http as vh
from descriptions import body as solr_body
from helpers import documents, failure, in_fresh_python, needs_data
from solr_node import JAVABIN, JSON, Answer, cursor_pages, error_response, export_body as export, export_failure, \
    schema_api, select_body as select, solr_error, stream_body
from test_arrow import _solr_schema

requests = pytest.importorskip("requests")
httpx = pytest.importorskip("httpx")
try:
    import aiohttp
except ImportError:  # the aiohttp cases skip
    aiohttp = None

SCHEMA = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("tags", pa.list_(pa.utf8()))])
FUNCTIONS = ["iter_documents", "iter_batches", "read_arrow", "read_polars", "iter_select"]
# Every client: the sync ones are given as objects or names, the async ones by name (made inside the loop).
MAKE = {"requests": requests.Session, "httpx": httpx.Client, "httpx-async": httpx.AsyncClient,
        "aiohttp": lambda: aiohttp.ClientSession()}


@pytest.fixture(params=["requests", "httpx"])
def client(request):
    with MAKE[request.param]() as made:
        yield made


@pytest.fixture(params=[*list(MAKE)[:3], pytest.param("aiohttp", marks=pytest.mark.skipif(
    aiohttp is None, reason="aiohttp not installed"))])
def any_client(request):
    return request.param


def docs(n):  # also what the functions give of them
    return [{"id": f"d{i:02d}", "n": i, "tags": ["a", "b", "c"][: i % 4]} for i in range(n)]


def consume(function, client, url, params=None, **kw):
    # What `function` gave before it stopped (a table as one item, polars' as Arrow), and the exception it stopped
    # with (None at a normal end). `client`: a name of MAKE (an async one runs the `a` twin). A sync iterator is
    # advanced from a thread pool, each step on whichever worker is free.
    kw = {"iter_documents": {}, "iter_select": {"unique_key": "id"}}.get(function, {"schema": SCHEMA}) | kw
    params, got = {"q": "*:*"} if params is None else params, []
    try:
        if client in ("httpx-async", "aiohttp"):
            asyncio.run(_agather(function, MAKE[client], url, params, kw, got))
        else:
            with MAKE[client]() as made, ThreadPoolExecutor(4) as pool:
                result = getattr(vh, function)(made, url, params, **kw)
                got.extend(iter(lambda: pool.submit(next, result, None).result(), None)  # keeps what came first
                           if hasattr(result, "__next__") else _items(result))
    except Exception as e:
        return got, e
    return got, None


def _items(result):
    return [result] if isinstance(result, pa.Table) else [result.to_arrow()] if hasattr(result, "to_arrow") else result


async def _agather(function, make, url, params, kw, got):
    async with make() as client:
        result = getattr(vh, "a" + function)(client, url, params, **kw)
        if not hasattr(result, "__aiter__"):
            return got.extend(_items(await result))
        async for item in result:
            got.append(item)


def rows(got):  # the documents of what a function gave: the rows of its batches or table as dicts
    return got if not got or isinstance(got[0], dict) else [row for part in got for row in part.to_pylist()]


def wait_for(condition):  # what `condition()` gives once true, polled for up to two seconds
    any(condition() or time.sleep(0.02) for _ in range(100))
    return condition()


# ---------------------------------------------------------------------------
# The same documents and batches as the whole-body decoders

@needs_data
@pytest.mark.parametrize("handler,name,children,chunk_size,size", [  # real bodies, the children mode they need
    *[(*body, chunk_size, 7) for body in [("select", "select_small", "skip"), ("export", "export_like", "skip"),
                                          ("stream", "stream_like", "skip"), ("select", "child_docs", "explode"),
                                          ("select", "javabin_sample", None)] for chunk_size in (13, 4096)],
    ("select", "select_large", "skip", 65536, 16384)])  # batches joined from the decoder's smaller ones
def test_real_bodies_agree_with_the_whole_body_decoders(solr, client, handler, name, children, chunk_size, size):
    url = solr.serve(f"/solr/{name}/{handler}", data := solr_body(name), chunk_size=chunk_size)
    assert list(vh.iter_documents(client, url, {"q": "*:*"})) == documents(data)
    # The described tops are named lists.
    shaped = (top := velkora.loads_solr_json(data, "map")).get("response", top.get("result-set")) or {}
    assert list(vh.iter_documents(client, url, {"q": "*:*", "json.nl": "map"}, shape="solr-json")) == \
        [d for d in shaped.get("docs", []) if d.get("EOF") is not True]  # the EOF tuple ends them
    if children is None:
        return
    schema = _solr_schema(name, children)  # below: the EOF tuple is no row
    whole = pa.table(velkora.deserialize_arrow(data, schema, children=children))[:-1 if handler == "stream" else None]
    batches = list(vh.iter_batches(client, url, {"q": "*:*"}, schema, size, children))
    # A document's rows stay together: in explode mode a batch may run past the size.
    assert all(b.num_rows == size if children == "skip" else b.num_rows >= size for b in batches[:-1])
    assert pa.Table.from_batches(batches, schema=schema).equals(whole)
    assert vh.read_arrow(client, url, {"q": "*:*"}, schema, children=children).equals(whole)
    frame = vh.read_polars(client, url, {"q": "*:*"}, schema, batch_size=50, children=children).to_arrow()
    assert frame.equals(whole.cast(frame.schema))  # polars keeps the values, in its own text and list types
    assert [p["wt"] for p in solr.asked(f"/solr/{name}/{handler}")] == [["javabin"]] * 5


def test_only_a_requests_session_or_an_httpx_client_and_no_import_of_either():
    for wrong in (object(), "http://x", httpx.AsyncClient()):
        with pytest.raises(TypeError, match=f"^expected a requests.Session or an httpx.Client, got "
                                            f"{type(wrong).__qualname__}$"):
            next(vh.iter_documents(wrong, "http://127.0.0.1:9/solr/c/select", {}))
    assert in_fresh_python("""
        import velkora, velkora.http
        print(sorted({"requests", "httpx", "pyarrow", "polars", "pysolr", "dask"} & set(sys.modules)))
    """).strip() == "[]"


# ---------------------------------------------------------------------------
# What the caller sees of each answer: the documents (for an error, those before it where the function
# streams them), and the error's type, message ("{url}" the URL asked, "{msg}" its msg) and fields

def case(handler, answer, n=0, error=None, params={}, **how):
    # handler "any": at /select, and iter_select meets it too; how: the delivery, allow_partial, max_value_bytes
    kw = {k: how.pop(k) for k in ("allow_partial", "max_value_bytes") if k in how}
    return handler, answer, n, error, params, kw, {"chunk_size": 64, **how}


def solr_says(status, msg, code=None, **fields):  # msg None: not decodable
    return vh.SolrError, f"Solr error {code or status}: {msg or '{msg}'} (HTTP {status} from {{url}})", \
        {"code": code, "status": status, **fields, **({"msg": msg} if msg else {})}


def not_solr(body, status, content_type, msg):  # an error page from a proxy or Jetty, or a cut error
    return case("any", Answer(body, status, content_type), 0, solr_says(status, msg, trace=None))


def incomplete(text, expected):
    return vh.IncompleteResponse, "the answer from {url} " + text, {"expected": expected}


METADATA = dict.fromkeys(["error-class", "root-error-class"], "org.apache.solr.common.SolrException")
FOO, FOO_SAYS = error_response(400, "undefined field foo"), solr_says(400, "undefined field foo", 400,
                                                                      metadata=METADATA, trace=None)
TRACE, NPE = "java.io.IOException: locked\n\tat x.y(Z.java:1)", "java.lang.NullPointerException\n\tat a.b(C.java:2)"
PARSE, DOWN = "Invalid stream expression search(c, q=*:*", "java.io.IOException: shard down\n\tat x.y(Z.java:1)"
NOPE, SHORT = 'undefined field: "nope"', "ended after {} of the {} documents it announced"
NOT_JAVABIN = "the answer from {{url}} is not javabin: its content type is {} and its body starts '{}'"
PARTIAL = "has partialResults: documents may be missing (pass allow_partial=True to take them anyway)"
BODIES = {"select": select(docs(30)), "export": export(docs(30)), "iter_select": cursor_pages(docs(30))}
ENDLESS_STR = jb.Raw(jb.size_header(jb.STR, 1 << 30))  # a string announced as 1 GiB; filler follows
LIMIT = 1 << 20
ENDLESS = dict(endless=16 * LIMIT, chunk_size=65536, max_value_bytes=LIMIT)
NEVER_ENDS = (ValueError, f"a value in the answer from {{url}} goes on past max_value_bytes ({LIMIT} bytes) "
              "without ending; pass a larger max_value_bytes if it is genuine", {})
OUTCOMES = {
    **{how: case("export", export(docs(40)), 40, framing=how) for how in ("chunked", "length", "close")},
    "empty select": case("select", select([])), "empty export": case("export", export([])),
    "header only": case("select", jb.encode({"responseHeader": {"status": 0}})),
    "no envelope": case("select", jb.encode([1, [2, "x"]])),
    "stream": case("stream", stream_body(docs(6)), 6),  # the EOF tuple is no document
    "export partitioned": case("export", export(docs(20), 60), 20,
                               params={"numWorkers": 3, "workerId": 0, "partitionKeys": "id"}),
    "export expr": case("export", export(docs(20), 60), 20, params={"expr": "unique(input(), over=id)"}),
    "last page": case("select", select(docs(5), 25, start=20), 5, params={"rows": 10, "start": 20}),
    "rows unknown": case("select", select(docs(5), 25), 5),  # the handler's default rows is unknown
    "partial allowed": case("select", select(docs(10), 25, partial=True), 10, params={"rows": 10}, allow_partial=True),
    "stream parse error": case("stream", stream_body([], PARSE), 0, solr_says(200, PARSE)),
    "stream run-time error": case("stream", stream_body(docs(6), DOWN), 6, solr_says(200, DOWN)),
    "export refused": case("export", export_failure(NOPE), 0, solr_says(200, NOPE, 400)),
    "export header status": case("export", export(docs(3), status=500), 3,
                                 solr_says(200, "the response header reports status 500", 500)),
    "export cut short": case("export", export(docs(20), 30), 20, incomplete(SHORT.format(20, 30), 30)),
    "select page short": case("select", select(docs(7), 25), 7, incomplete(SHORT.format(7, 10), 10), {"rows": 10}),
    "select partial": case("select", select(docs(10), 25, partial=True), 10, incomplete(PARTIAL, 10), {"rows": 10}),
    "error": case("any", Answer(FOO[0], 400), 0, FOO_SAYS),
    "error as json": case("any", Answer(FOO[1], 400, JSON), 0, FOO_SAYS),
    "error with trace": case("any", solr_error(500, "Index locked", trace=TRACE), 0,
                             solr_says(500, "Index locked", 500, trace=TRACE)),
    "error trace only": case("any", solr_error(500, None, trace=NPE), 0,
                             solr_says(500, "java.lang.NullPointerException", 500, trace=NPE)),
    "proxy page": not_solr(b"<html><head><title>502 Bad Gateway</title></head><body><h1>Bad Gateway</h1></body>"
                           b"</html>", 502, "text/html", "502 Bad Gateway"),
    "jetty page": not_solr(b"<html><body><h2>HTTP ERROR 414 URI Too Long</h2>\n<table><tr><th>URI:</th><td>/solr/c/"
                           b"select</td></tr></table></body></html>", 414, "text/html;charset=iso-8859-1",
                           "HTTP ERROR 414 URI Too Long URI: /solr/c/select"),
    "empty error": not_solr(b"", 503, "text/plain", "HTTP 503"), "cut error": not_solr(FOO[0][:-9], 400, JAVABIN, None),
    # A clean early end: the chunk-fed decoders' finish() says so, counting the bytes they still hold.
    "cut cleanly": case("export", BODIES["export"], 13, (velkora.DecodeError, "unexpected end of input at byte "
                        "offset 1", {"kind": "UnexpectedEof"}), cut="end", cut_at=len(BODIES["export"]) // 2),
    "endless document": case("export", export([*docs(3), {"id": "d9", "tags": ENDLESS_STR}]), 3, NEVER_ENDS, **ENDLESS),
    "endless envelope": case("export", jb.encode(jb.MapEntryIter([("responseHeader", jb.Map([
        ("status", jb.Int(0)), ("QTime", ENDLESS_STR)]))])), 0, NEVER_ENDS, **ENDLESS),
    # The decoders' errors (the whole-body decoder's message); top-level values that are no envelope: no documents
    # only once read through.
    **{name: case("select", d, 0, (velkora.DecodeError, failure(velkora.deserialize, d), {"kind": kind, "offset": at}),
                  chunk_size=1) for name, (d, kind, at) in {
        "bad version": (b"\x01\x02\x03", "InvalidVersion", None), "unknown tag": (b"\x02\x1c\x00\x00", "UnknownTag", 1),
        "cut value": (b"\x02\x83\x01\x02", "UnexpectedEof", 4),
        "too deep": (b"\x02" + b"\x81" * 128 + b"\x80", "DepthExceeded", 129)}.items()},
    "json": case("any", Answer(b'{"responseHeader":{"status":0},"response":{"numFound":0,"docs":[]}}', 200, JSON), 0,
                 (ValueError, NOT_JAVABIN.format(JSON, '{"responseHeader":{"status":0},"response'), {})),
    "html": case("any", Answer(b"<html><body>Welcome to nginx!</body></html>", 200, "text/html"), 0,
                 (ValueError, NOT_JAVABIN.format("text/html", "<html><body>Welcome to nginx!</body></ht"), {}))}


@pytest.mark.parametrize("case,function", [(c, f) for c in OUTCOMES for f in FUNCTIONS
                                           if f != "iter_select" or OUTCOMES[c][0] == "any"])
def test_what_the_caller_sees_of_each_answer(solr, any_client, function, case):
    handler, answer, n, error, params, kw, delivery = OUTCOMES[case]
    url = solr.serve(f"/solr/c/{handler.replace('any', 'select')}", answer, **delivery)
    got, e = consume(function, any_client, url, {"q": "*:*", **params}, **kw,
                     **({"batch_size": 1} if function in FUNCTIONS[1:4] else {}))
    paging = [("sort", "id asc"), ("rows", "1000"), ("cursorMark", "*")] * (function == "iter_select")
    asked = unquote_plus(f"{url}?{urlencode([('q', '*:*'), *params.items(), *paging, ('wt', 'javabin')])}")
    cls, text, fields = error or (type(None), "None", {})  # no error: e is None
    assert (type(e), {k: getattr(e, k) for k in fields}, getattr(e, "received", n)) == (cls, fields, n), e
    assert unquote_plus(str(e)) == unquote_plus(text.replace("{msg}", getattr(e, "msg", ""))).replace(
        "{url}", asked)  # the URL as each client writes it
    assert unquote_plus(getattr(e, "url", asked)) == asked and (cls is not vh.SolrError or e.msg)
    copy = pickle.loads(pickle.dumps(e))  # as a Dask worker sends it back, every field kept
    assert (type(copy), str(copy), getattr(copy, "__dict__", None)) == (cls, str(e), getattr(e, "__dict__", None))
    assert rows(got) == docs(n if error is None or function in FUNCTIONS[:2] else 0)
    assert all(p.schema.names == SCHEMA.names and (function == "read_polars" or p.schema.equals(SCHEMA))
               for p in got if not isinstance(p, dict))


def test_the_pysolr_drop_in_error_survives_pickling_too():
    error = pytest.importorskip("velkora.pysolr").SolrError("undefined field foo", code=400, status=400, trace="at x",
                                                           metadata=METADATA, url="http://127.0.0.1:1/solr/c/select")
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), vars(copy)) == (type(error), str(error), vars(error))


# ---------------------------------------------------------------------------
# Cut and stalled downloads: an error, never a short table

# Where the body stops: before any answer, just after the headers, in the envelope, in a document.
PHASES = {"before the answer": {"cut": "silent"}, "after the headers": {}, "in the envelope": {"cut_at": 10},
          "in a document": {"cut_at": -200}}
DROPPED = {  # what a client raises for a connection dropped before the answer, and during the body
    "requests": (requests.ConnectionError, requests.exceptions.ChunkedEncodingError),
    "aiohttp": aiohttp and (aiohttp.ServerDisconnectedError, aiohttp.ClientPayloadError)}


@pytest.mark.parametrize("framing,cut", [("chunked", "drop"), ("length", "drop"), ("close", "end"),
                                         ("chunked", "end"), ("length", "end")])
@pytest.mark.parametrize("phase", PHASES)
@pytest.mark.parametrize("function,handler", [(f, h) for f in FUNCTIONS for h in ("select", "export")  # pages: /select
                                              if not (f == "iter_select" and h == "export")])
def test_a_cut_download_raises_in_every_function(solr, any_client, function, handler, phase, framing, cut):
    url = solr.serve(f"/solr/c/{handler}", BODIES.get(function, BODIES[handler]),
                     **{"framing": framing, "cut": cut, "chunk_size": 64, **PHASES[phase]})
    answered = phase != "before the answer"  # a clean early end after that: left to the decoder's finish()
    error, message = (ValueError, r"^unexpected end of input at byte offset \d+$") if answered and cut == "end" else \
        (DROPPED.get(any_client, (httpx.RemoteProtocolError,) * 2)[answered], None)
    _, e = consume(function, any_client, url)
    assert isinstance(e, error) and (function == "iter_select" or re.search(message or "", str(e))), e  # a page: whole


@pytest.mark.parametrize("function", ["iter_documents", "iter_batches", "read_arrow"])
def test_a_stall_ends_the_read_and_the_connection(solr, any_client, function):
    # The node sends half the body, holds the rest back for ten seconds, then drops the connection (another error
    # than a timeout); that it saw the client hang up while it waited shows the timeout or the cancel ended the read.
    url = solr.serve("/solr/c/export", BODIES["export"], cut="stall", cut_at=len(BODIES["export"]) // 2, chunk_size=64)
    kw = {} if function == "iter_documents" else {"schema": SCHEMA, "batch_size": 1}

    async def cancel_mid_body():
        async with MAKE[any_client]() as client:
            task = asyncio.create_task(_agather(function, lambda: nullcontext(client), url, {}, kw, []))
            await asyncio.to_thread(wait_for, lambda: solr.seen)  # the node sends half the body and stalls
            with pytest.raises(TimeoutError):  # wait_for cancels the read after 0.2 s
                await asyncio.wait_for(task, 0.2)
            return await asyncio.to_thread(wait_for, lambda: solr.hung_up)  # before the client closes
    if any_client in ("requests", "httpx"):  # the timeout
        _, e = consume(function, any_client, url, {}, timeout=0.3, **kw)
        expected = requests.ConnectionError if any_client == "requests" else httpx.ReadTimeout
        assert isinstance(e, expected) and (expected is httpx.ReadTimeout or "Read timed out" in str(e)), e  # requests
    hung_up = wait_for(lambda: solr.hung_up) if any_client in ("requests", "httpx") else asyncio.run(cancel_mid_body())
    assert hung_up == ["/solr/c/export"]


# ---------------------------------------------------------------------------
# Parameters, gzip, long queries, timeouts

@pytest.mark.parametrize("gzipped,length,method,given", [(True, 0, "GET", "dict"), (False, 3900, "GET", "pairs"),
                                                         (False, 4200, "POST", "dict"), (False, 9000, "POST", "pairs")])
@pytest.mark.parametrize("function", FUNCTIONS)
def test_parameters_gzip_and_long_queries_in_every_route(solr, any_client, function, gzipped, length, method, given):
    # Every route sends the parameters as given (a dict or pairs; lists, bools and numbers) with wt javabin, inflates
    # gzipped answers, and sends a query too long for Jetty's request line as a form.
    documents = docs(150 if gzipped else 5)
    handler, answer = ("select", cursor_pages(documents)) if function == "iter_select" else \
        ("export", export(documents)) if gzipped else ("select", select(documents))
    url = solr.serve(f"/solr/c/{handler}", answer, gzip=gzipped, chunk_size=100)
    q = ("id:(" + " OR ".join(f"d{i:04d}" for i in range(length // 9)) + ")" if length else "*:*").ljust(length, "x")
    params = {"q": q, "wt": "json", "fq": ["a:1", "b:2"], "facet": True, "hl.fragsize": 10}
    got, e = consume(function, any_client, url, params if given == "dict" else [
        (k, v) for k, values in params.items() for v in (values if isinstance(values, list) else [values])])
    assert e is None and rows(got) == documents, e
    sent = {"q": [q], "wt": ["javabin"], "fq": ["a:1", "b:2"], "facet": ["true"], "hl.fragsize": ["10"]}
    assert all(({k: p[k] for k in sent}, s["method"]) == (sent, method) for (_, p), s in zip(solr.requests, solr.seen))
    assert not gzipped or solr.seen[0]["gzip"] and "gzip" in solr.seen[0]["accept"]


def test_a_default_timeout_unless_one_is_given(solr, client, monkeypatch):
    url, seen, session = solr.serve("/solr/c/export", export(docs(3))), [], isinstance(client, requests.Session)
    real = getattr(client, method := "request" if session else "stream")
    monkeypatch.setattr(client, method, lambda *a, **kw: seen.append(kw.get("timeout", "client's")) or real(*a, **kw))
    for given in (None, 7.5, None):
        assert len(list(vh.iter_documents(client, url, {}, timeout=given))) == 3
        client.timeout = httpx.Timeout(60.0)  # one set on an httpx client is the client's choice; requests has none
    default = (10.0, 300.0) if session else httpx.Timeout(300.0, connect=10.0)
    assert seen == [default, 7.5, default if session else "client's"]


# ---------------------------------------------------------------------------
# Cursor paging

PAGED, MARKS = docs(25), ["*", "after:d09", "after:d19", "after:d24"]  # the marks of its pages of ten, the last twice


@pytest.mark.parametrize("batches", [False, True])
@pytest.mark.parametrize("respond,params,n,marks,message", [  # n: the last n documents of PAGED arrive
    (cursor_pages(PAGED), {}, 25, MARKS, None), (cursor_pages(PAGED), {"cursorMark": "after:d19"}, 5, MARKS[2:], None),
    *[(cursor_pages(PAGED), {"sort": s}, 0, [], f"cursor paging needs a sort that ends on the unique key 'id', got "
       f"{s!r}") for s in ("n desc", "id asc, n desc", "sum(n, id) asc", "idx asc", "id", "id up")],
    (cursor_pages(PAGED, mark_entry=False), {}, 0, ["*"], "the answer of {url} has no nextCursorMark: the handler "
     "does not page with cursorMark"),
    # A page without documents ends the paging, whatever its mark.
    (lambda params: Answer(select([], more=[("nextCursorMark", params["cursorMark"][-1] + "x")])), {}, 0, ["*"], None)])
def test_cursor_paging_follows_the_mark_until_it_repeats(solr, any_client, batches, respond, params, n, marks, message):
    url = solr.serve("/solr/c/select", respond)
    got, e = consume("iter_select", any_client, url, {"q": "*:*", **params}, rows=10,
                     **({"batches": True, "schema": SCHEMA} if batches else {}))
    assert (type(e), str(e)) == (ValueError, message.replace("{url}", url)) if message else e is None
    assert rows(got) == PAGED[len(PAGED) - n:]
    assert not batches or [b.num_rows for b in got] == [min(10, n - i) for i in range(0, n, 10)]  # one a page
    assert [(p["cursorMark"], p["sort"], p["rows"], p["wt"]) for _, p in solr.requests] == \
        [([m], ["id asc"], ["10"], ["javabin"]) for m in marks]  # all of them pages


@pytest.mark.parametrize("function, args, expected", [
    *[("collection_url", (f"http://h/solr/c{tail}",), "http://h/solr/c") for tail in ("/export/?q=x", "/stream#top")],
    ("param", ([("sort", "a asc"), ("sort", "b asc")], "sort"), "a asc"),  # single-valued, as Solr reads them
    ("param", ({"fq": ["x", "y"]}, "fq"), "x"), ("param", ({}, "sort"), None),
    *[("cursor_sort", (s, "id"), s) for s in ["id asc", "n desc,id asc", "div(n, 2) desc, id DESC", "  id   desc "]]])
def test_url_and_parameter_helpers(function, args, expected):
    assert getattr(vh, function)(*args) == expected


# ---------------------------------------------------------------------------
# Schema from the Schema API (schema=None); a dishonest server: gzip bombs

FIELDS = [{"name": "id", "type": "string", "required": True}, {"name": "n", "type": "plong"},
          {"name": "tags", "type": "strings"}, {"name": "_version_", "type": "plong", "stored": False}]
FIELD_TYPES = [{"name": "string", "class": "solr.StrField"}, {"name": "plong", "class": "solr.LongPointField"},
               {"name": "strings", "class": "solr.StrField", "multiValued": True}]  # tags: a list from its type
BOMB = Answer(gzip.compress(b"\x02" + bytes(8 * LIMIT), 9), encoding="gzip")  # 8 MiB of nulls in a few KiB
LARGER = re.escape(f" is larger than max_value_bytes ({LIMIT} bytes); pass a larger max_value_bytes if it "
                   "should be read") + "$"


@pytest.mark.parametrize("function,failure", [  # what a server answers instead at a path, the error and its message
    *[(f, None) for f in ("iter_batches", "read_arrow", "read_polars", "iter_select")],
    *[(f, ("/schema/fields", BOMB, ValueError, LARGER)) for f in ("read_arrow", "iter_select")],  # schema api bombs
    ("iter_select", ("/select", BOMB, ValueError, LARGER)),  # a page bomb
    ("read_arrow", ("/schema/fields", solr_error(404, "Not Found"), vh.SolrError,
                    r"^Solr error 404: Not Found \(HTTP 404 from .*/solr/c/schema/fields"))])
def test_schema_none_asks_the_schema_api(solr, any_client, function, failure):
    dynamic = [{"name": "*_dt", "type": "pdate", "indexed": True, "stored": True}]  # in /schema/dynamicfields only
    paged = function == "iter_select"  # which asks the unique key too, and keeps a sort that ends on it
    for path, respond in {**schema_api(FIELDS, FIELD_TYPES, dynamic_fields=dynamic), "/select": cursor_pages(PAGED),
                          "/export": export(PAGED), **dict([failure[:2]] if failure else [])}.items():
        solr.serve("/solr/c" + path, respond)
    params = {"q": "*:*", "fl": "id,n,tags,when_dt", **({"sort": "n desc, id desc"} if paged else {})}
    got, e = consume(function, any_client, solr.url("/solr/c/select" if paged else "/solr/c/export"), params,
                     schema=None, max_value_bytes=LIMIT, **({"batches": True, "unique_key": None} if paged else {}))
    assert type(e) is failure[2] and re.search(failure[3], str(e)) if failure else e is None, e
    if failure:  # a whole-body read stops at a gzip bomb, a Schema API failure ends the read
        return
    got = got[0] if function.startswith("read_") else pa.Table.from_batches(got)
    assert solr.asked("/solr/c/schema/uniquekey") == [{"wt": ["javabin"]}] * paged
    assert [p["sort"] for p in solr.asked("/solr/c/select")] == [["n desc, id desc"]] * 2 * paged
    expected = pa.schema([SCHEMA.field("id").with_nullable(False), *list(SCHEMA)[1:], ("when_dt", pa.timestamp("ms"))])
    assert got.schema.names == ["id", "n", "tags", "when_dt"] and got.num_rows == 25
    assert got.schema.equals(expected) or function == "read_polars"
    assert [p["wt"] for part in ("fields", "dynamicfields") for p in solr.asked(f"/solr/c/schema/{part}")] == \
        [["javabin"]] * 2


# ---------------------------------------------------------------------------
# Memory stays about one document plus one batch, whatever the response's size

@pytest.mark.rss
@pytest.mark.parametrize("function", ["iter_documents", "iter_batches"])
def test_memory_does_not_grow_with_the_response(solr, function):
    title, sizes = "a fairly long title, as product titles go " * 3, (5_000, 80_000)
    data = [export([[("id", f"d{i:07d}"), ("n", i), ("title", title)] for i in range(n)]) for n in sizes]
    urls = [solr.serve(f"/solr/c{n}/export", body, chunk_size=65536) for n, body in zip(sizes, data)]
    out = in_fresh_python("""
        import pyarrow as pa, requests, velkora.http as vh
        from helpers import status
        function, session = sys.argv[1], requests.Session()
        schema = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("title", pa.utf8())])
        for url in sys.argv[2:]:  # a warm-up (first costs), the small answer, the large one: how far each took the peak
            rows = sum(1 for _ in vh.iter_documents(session, url, {})) if function == "iter_documents" else \\
                sum(b.num_rows for b in vh.iter_batches(session, url, {}, schema, batch_size=2048))
            before = status("VmRSS") if url == sys.argv[2] else before
            print(rows, status("VmHWM") - before)
    """, function, solr.serve("/solr/c/warm", export(docs(10))), *urls, timeout=120)
    _, (small_rows, small), (large_rows, large) = [map(int, line.split()) for line in out.splitlines()]
    assert (small_rows, large_rows) == sizes and large - small < 4 << 20 and large < len(data[1]) / 4, (small, large)
