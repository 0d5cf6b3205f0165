"""A loopback HTTP server (127.0.0.1 only) playing a Solr node for the HTTP tests and benchmarks; its answers."""

from __future__ import annotations

import contextlib
import gzip
import json
import select
import socket
import sys
import threading
from collections.abc import Callable
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from itertools import chain, repeat
from urllib.parse import parse_qs

import javabin as jb

JAVABIN = "application/octet-stream"
JSON = "application/json;charset=utf-8"
SENT = ("Authorization", "Cookie", "User-Agent", "X-Trace")  # request headers `SolrNode.seen` records
URI_TOO_LONG = (b'<html>\n<head>\n<meta http-equiv="Content-Type" content="text/html;charset=ISO-8859-1"/>\n'
                b"<title>Error 414 URI Too Long</title>\n</head>\n"
                b"<body><h2>HTTP ERROR 414 URI Too Long</h2>\n</body>\n</html>\n")


@dataclass
class Answer:
    body: bytes
    status: int = 200
    content_type: str = JAVABIN
    encoding: str | None = None  # "gzip": the body is already compressed (a gzip bomb, say)
    headers: tuple[tuple[str, str], ...] = ()  # more header lines: Set-Cookie, a redirect's Location


Params = dict[str, list[str]]
Respond = Callable[[Params], Answer]


@dataclass
class Route:
    # framing: "chunked", "length" or "close". After cut_at body bytes (negative: from the end), cut: "drop"
    # (close abruptly), "end" (end cleanly: the terminator, a Content-Length of the cut, or a close), "stall"
    # (wait `stall` seconds at most, then drop); "silent" drops before any answer. endless: bytes of filler after
    # the body (a value that never ends), then a drop.
    respond: Respond
    framing: str = "chunked"
    chunk_size: int = 4096
    cut: str | None = None
    cut_at: int = 0
    stall: float = 10.0
    gzip: bool = False
    endless: int = 0


class SolrNode:
    # requests: (path, params) of each request; seen: method, path, target, accept(-encoding), gzip(ped) and
    # the SENT headers of each; hung_up: paths of stalled deliveries whose client hung up.
    def __init__(self) -> None:
        self.routes, self.requests, self.seen, self.hung_up = {}, [], [], []
        self.server = _Server(("127.0.0.1", 0), _Handler)
        self.server.node = self  # type: ignore[attr-defined]
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    @property
    def base(self) -> str:
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def url(self, path: str) -> str:
        return self.base + path

    def serve(self, path: str, respond: Respond | Answer | bytes, **delivery) -> str:
        answer = Answer(respond) if isinstance(respond, bytes) else respond
        self.routes[path] = Route(respond if callable(respond) else lambda params: answer, **delivery)
        return self.url(path)

    def asked(self, path: str) -> list[Params]:
        return [params for p, params in self.requests if p == path]

    def reset(self) -> None:
        for kept in (self.routes, self.requests, self.seen, self.hung_up):
            kept.clear()

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address) -> None:  # a client that hung up is no fault of the node's
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers, chunks and terminator go out in separate writes: with Nagle on, the client's delayed ACK would
    # hold a small answer back by tens of milliseconds, as no real node does.
    disable_nagle_algorithm = True

    def log_message(self, format, *args) -> None:  # quiet
        return

    def do_GET(self) -> None:
        if len(self.requestline) > 8192:  # Jetty's default request header size
            return self._send(Answer(URI_TOO_LONG, 414, "text/html;charset=iso-8859-1"), Route(None, "length"))
        self._answer("")

    def do_POST(self) -> None:  # a form-encoded query, as clients send long ones
        self._answer(self.rfile.read(int(self.headers.get("Content-Length", 0))).decode())

    def _answer(self, form: str) -> None:
        node: SolrNode = self.server.node  # type: ignore[attr-defined]
        path, _, query = self.path.partition("?")
        params = parse_qs(f"{query}&{form}", keep_blank_values=True)  # a form's values after the query's
        node.requests.append((path, params))
        seen = {"method": self.command, "path": path, "target": self.path, "gzip": False,
                "accept": self.headers.get("Accept-Encoding", ""), "headers": {n: self.headers.get(n) for n in SENT}}
        node.seen.append(seen)
        route = node.routes.get(path) or Route(lambda _: Answer(b"no route", 404, "text/plain"))
        if route.cut == "silent":
            return self._drop()
        answer = route.respond(params)
        if route.gzip and not answer.encoding and len(answer.body) >= 2048 and "gzip" in seen["accept"]:  # as Jetty
            answer = Answer(gzip.compress(answer.body, 6), answer.status, answer.content_type, "gzip", answer.headers)
        seen["gzip"] = answer.encoding == "gzip"
        self._send(answer, route)

    def _send(self, answer: Answer, route: Route) -> None:
        body, chunked = answer.body, route.framing == "chunked"
        sent = body if route.cut is None else body[:route.cut_at]
        framing = {"chunked": ("Transfer-Encoding", "chunked"), "close": ("Connection", "close"),
                   "length": ("Content-Length", str(len(sent if route.cut == "end" else body)))}[route.framing]
        self.close_connection |= route.framing == "close"
        self.send_response(answer.status)
        for name, value in [("Content-Type", answer.content_type), *[("Content-Encoding", answer.encoding)] * bool(
                answer.encoding), *answer.headers, framing]:
            self.send_header(name, value)
        self.end_headers()
        size = route.chunk_size
        pieces = chain((sent[i:i + size] for i in range(0, len(sent), size)),
                       repeat(b"x" * size, route.endless // size))  # as they are sent, none copied ahead
        try:
            for piece in pieces:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            if route.cut == "stall" and self._client_hangs_up(route.stall):
                self.server.node.hung_up.append(self.path.partition("?")[0])  # type: ignore[attr-defined]
            if route.cut in ("drop", "stall") or route.endless:
                self._drop()
            elif chunked:
                self.wfile.write(b"0\r\n\r\n")
        except OSError:  # the client went away first (a timeout on its side)
            self.close_connection = True

    def _client_hangs_up(self, seconds: float) -> bool:
        with contextlib.suppress(OSError):  # readable and at its end: the client closed the connection
            return bool(select.select([self.connection], [], [], seconds)[0]) and not self.connection.recv(
                1, socket.MSG_PEEK)
        return True

    def _drop(self) -> None:
        self.close_connection = True
        with contextlib.suppress(OSError):
            self.connection.shutdown(socket.SHUT_RDWR)


# ---------------------------------------------------------------------------
# Answers

def wt(params: Params) -> str:
    return params.get("wt", ["json"])[-1]


def bodies(javabin: bytes, json_text: bytes | None = None, status: int = 200) -> Respond:
    """The same response as javabin or JSON, as ``wt`` asks (JSON by default, as Solr does)."""
    return lambda params: Answer(javabin, status) if wt(params) == "javabin" or json_text is None else \
        Answer(json_text, status, JSON)


def _header(qtime: int, *more) -> jb.Wire:
    return jb.OrderedMap([("status", jb.Int(0)), ("QTime", jb.solr_int(qtime)), *more])


def error_response(status: int, msg: str | None, *, error_class: str = "org.apache.solr.common.SolrException",
                   trace: str | None = None) -> tuple[bytes, bytes]:
    """A Solr error answer, (javabin, JSON): the error's metadata (a named list), msg, trace and code (if any)."""
    metadata = [("error-class", error_class), ("root-error-class", error_class)]
    error = {k: v for k, v in {"msg": msg, "trace": trace, "code": status}.items() if v is not None}
    answer = {"responseHeader": {"status": status, "QTime": 3}}
    javabin = jb.encode(plain_wire({**answer, "error": {"metadata": jb.NamedList(metadata), **error}}))
    return javabin, json.dumps({**answer, "error": {"metadata": [x for kv in metadata for x in kv], **error}}).encode()


def solr_error(status: int, msg: str | None, **kw) -> Respond:
    return bodies(*error_response(status, msg, **kw), status=status)


def schema_api(fields: list[dict], field_types: list[dict], unique_key: str = "id",
               dynamic_fields: list[dict] = ()) -> dict[str, Respond]:
    """A collection's Schema API answers by path below it, each javabin or JSON as asked."""
    parts = {"uniqueKey": unique_key, "fieldTypes": field_types, "fields": fields,
             "dynamicFields": list(dynamic_fields)}
    parts["schema"] = {"name": "test", "version": 1.6, **parts, "copyFields": []}
    return {"/schema" + ("/" + name.lower()) * (name != "schema"): bodies(
        jb.encode(jb.OrderedMap([("responseHeader", _header(1)), (name, plain_wire(value))])),
        json.dumps({"responseHeader": {"status": 0, "QTime": 1}, name: value}).encode())
        for name, value in parts.items()}


def plain_wire(value):
    """JSON-shaped values as Solr's javabin writes them: objects as ordered maps, ints as Solr ints."""
    if isinstance(value, dict):
        return jb.OrderedMap([(k, plain_wire(v)) for k, v in value.items()])
    if isinstance(value, list):
        return [plain_wire(v) for v in value]
    return jb.solr_int(value) if isinstance(value, int) and not isinstance(value, bool) else value


def cursor_pages(documents: list[list[tuple]], key: str = "id", mark_entry: bool = True) -> Respond:
    """A /select paged with cursorMark over `documents` (in key order); a mark names the last key sent."""
    keys = [dict(doc)[key] for doc in documents]

    def respond(params: Params) -> Answer:
        mark, rows = params["cursorMark"][-1], int(params["rows"][-1])
        start = 0 if mark == "*" else keys.index(mark.removeprefix("after:")) + 1
        page = documents[start:start + rows]
        following = f"after:{dict(page[-1])[key]}" if page else mark
        return Answer(select_body(page, len(documents), more=[("nextCursorMark", following)] * mark_entry))
    return respond


def select_body(documents: list[list[tuple]], num_found: int | None = None, start: int = 0,
                partial: bool = False, more: list[tuple] = ()) -> bytes:
    """A /select answer, `more` entries after the documents; `partial` sets ``partialResults`` in the header."""
    return jb.encode(jb.OrderedMap([("responseHeader", _header(1, *[("partialResults", True)] * partial)), (
        "response", jb.DocList(len(documents) if num_found is None else num_found, start, None, True,
                               [jb.Doc(d) for d in documents])), *more]))


def export_body(documents: list[list[tuple]], num_found: int | None = None, status: int = 0) -> bytes:
    """An /export answer; a `num_found` above the documents' number: Solr's write loop failed."""
    return jb.encode(jb.MapEntryIter([
        ("responseHeader", jb.Map([("status", jb.Int(status))])),
        ("response", jb.MapEntryIter([
            ("numFound", jb.solr_long(len(documents) if num_found is None else num_found)),
            ("docs", jb.Iter([jb.MapEntryIter(d) for d in documents]))]))]))


def export_failure(msg: str, status: int = 400) -> bytes:
    """What /export writes after its 200 status line for a request it refuses (no sort, score in fl, ...)."""
    return export_body([[("EXCEPTION", msg)]], num_found=0, status=status)


def stream_body(documents: list[list[tuple]], exception: str | None = None) -> bytes:
    """A /stream answer: the tuples, then the EOF tuple, or for a failure ``{"EXCEPTION": ..., "EOF": true}``."""
    last = [("EXCEPTION", exception), ("EOF", True)] if exception is not None else \
        [("EOF", True), ("RESPONSE_TIME", jb.solr_long(12))]
    return jb.encode(jb.MapEntryIter([("result-set", jb.MapEntryIter([
        ("docs", jb.Iter([jb.MapEntryIter(d) for d in documents + [last]]))]))]))


# ---------------------------------------------------------------------------
# SolrCloud: cores whose /export partitions as Solr's does, and the Collections API's CLUSTERSTATUS

def java_hash(text: str) -> int:
    """Java's String.hashCode, as a signed 32-bit int (over UTF-16 code units)."""
    h, data = 0, text.encode("utf-16-be")
    for i in range(0, len(data), 2):
        h = (31 * h + int.from_bytes(data[i:i + 2], "big")) & 0xFFFFFFFF
    return h - (1 << 32) if h >= 1 << 31 else h


def partitioned_export(documents: list[list[tuple]]) -> Respond:
    """A core's /export: only the fields in ``fl``, with ``numWorkers`` only worker ``workerId``'s documents."""
    def respond(params: Params) -> Answer:
        fields, chosen = params["fl"][-1].split(","), documents
        if "numWorkers" in params:
            workers, worker = int(params["numWorkers"][-1]), int(params["workerId"][-1])
            keys = params["partitionKeys"][-1].split(",")
            chosen = [d for d in documents
                      if (sum(java_hash(str(dict(d)[k])) for k in keys) & 0x7FFFFFFF) % workers == worker]
        return Answer(export_body([[(k, v) for k, v in d if k in fields] for d in chosen], len(documents)))
    return respond


def cluster_status(collections: dict[str, dict], live_nodes: list[str], aliases: dict = {}) -> Respond:
    """CLUSTERSTATUS of a collection (an alias: each of its collections'); an unknown one answers 400."""
    def respond(params: Params) -> Answer:
        asked = params.get("collection", [None])[-1]
        names = list(collections) if asked is None else aliases.get(asked, asked).split(",")
        if any(name not in collections for name in names):
            return solr_error(400, f"Collection: {asked} not found")(params)
        cluster = {"collections": {name: collections[name] for name in names}, "aliases": aliases,
                   "live_nodes": live_nodes}
        return Answer(jb.encode(jb.OrderedMap([("responseHeader", _header(4)), ("cluster", plain_wire(cluster))])))
    return respond


def node_name(node: SolrNode | str) -> str:
    return (node.base if isinstance(node, SolrNode) else node).removeprefix("http://") + "_solr"


def replica_state(node: SolrNode | str, core: str, leader: bool = False, state: str = "active",
                  type: str = "NRT") -> dict:
    """A replica's entry of CLUSTERSTATUS; `node` a SolrNode or an address with nothing behind it."""
    base = node.base if isinstance(node, SolrNode) else node
    return {"core": core, "node_name": node_name(node), "base_url": base + "/solr", "state": state, "type": type,
            **({"leader": "true"} if leader else {})}
