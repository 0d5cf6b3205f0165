"""python/velkora/http.py: Solr over HTTP, from query to documents or Arrow batches in one call.

Give any of these a ``requests.Session`` or an ``httpx.Client`` (neither is imported here unless you do), the
full URL of a request handler (``http://localhost:8983/solr/techproducts/select``, ``.../export``,
``.../stream``) and the query parameters. They ask for ``wt=javabin`` and feed the body to the chunk-fed
decoders as it arrives, so memory stays at about one document plus one batch whatever the response's size.

- A non-2xx answer raises `SolrError` with Solr's own message and code.
- A body cut short raises: the client's own error when the transport notices (requests'
  ``ChunkedEncodingError``, httpx's ``RemoteProtocolError``), otherwise ``ValueError`` from the decoder's
  ``finish()`` ("unexpected end of input at byte offset N"), never a short table.
- Timeouts are the client's: its own exception passes through unchanged.
"""

from __future__ import annotations

import collections
import functools
import json
import sys
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Literal, Union, cast, overload

from . import _core

if TYPE_CHECKING:
    import httpx
    import polars
    import pyarrow
    import requests

    Client = Union[requests.Session, httpx.Client]
    Schema = Union[pyarrow.Schema, Any]

__all__ = ["SolrError", "iter_documents", "iter_batches", "read_arrow", "read_polars", "iter_select"]

#: A parameter value: text, a number or a bool (written as Solr spells it), or several of them.
ParamValue = Union[str, int, float, bool, list[Union[str, int, float, bool]], tuple[Union[str, int, float, bool], ...]]
#: Query parameters: a mapping, or (name, value) pairs when a name repeats (``fq`` often does).
Params = Union[Mapping[str, ParamValue], Sequence[tuple[str, ParamValue]]]

CHUNK_SIZE = 1 << 18  # bytes asked of the client per read; each becomes one feed() call
ERROR_BODY_LIMIT = 1 << 20  # an error answer is read up to this many bytes: enough for any Solr error


class SolrError(Exception):
    """Solr answered with a non-2xx status.

    ``msg`` and ``code`` are Solr's own (from the ``error`` entry of its javabin or JSON error body; for a body
    without one, such as a proxy's HTML page, ``msg`` is the start of its text and ``code`` is None);
    ``status`` and ``url`` are the HTTP status and the requested URL; ``metadata`` holds the
    ``error.metadata`` pairs (``error-class``, ``root-error-class``, ...) and ``trace`` Solr's stack trace,
    when it sent one.
    """

    def __init__(self, msg: str, *, code: int | None, status: int, url: str,
                 metadata: dict[str, Any] | None = None, trace: str | None = None) -> None:
        super().__init__(f"Solr error {code if code is not None else status}: {msg} (HTTP {status} from {url})")
        self.msg = msg
        self.code = code
        self.status = status
        self.url = url
        self.metadata = metadata or {}
        self.trace = trace

    def __reduce__(self) -> tuple[Any, tuple[()]]:
        # Rebuilt from its fields, so that it survives pickling (a Dask worker sends it back to the client).
        return functools.partial(type(self), self.msg, code=self.code, status=self.status, url=self.url,
                                 metadata=self.metadata, trace=self.trace), ()

    @classmethod
    def from_body(cls, body: bytes, *, status: int, url: str, content_type: str = "") -> SolrError:
        """The error an answer with this status and body stands for."""
        error = _error_entry(body, content_type)
        metadata = error.get("metadata")
        if isinstance(metadata, list):  # JSON and named lists written flat: [name, value, name, value, ...]
            metadata = dict(zip(metadata[::2], metadata[1::2]))
        trace = error.get("trace") if isinstance(error.get("trace"), str) else None
        msg = error.get("msg")
        if not isinstance(msg, str) or not msg:
            msg = trace.splitlines()[0] if trace else body[:500].decode("utf-8", "replace").strip()
        code = error.get("code")
        return cls(msg or f"HTTP {status}", code=code if isinstance(code, int) else None, status=status, url=url,
                   metadata=metadata if isinstance(metadata, dict) else None, trace=trace)


def _error_entry(body: bytes, content_type: str) -> dict[str, Any]:
    """The ``error`` entry of a Solr error body in javabin or JSON; empty for anything else."""
    try:
        if "javabin" in content_type or body[:1] == b"\x02":
            decoded = _core.deserialize(body)
        else:
            decoded = json.loads(body)
    except (ValueError, RecursionError):  # not javabin, not JSON, or cut short: keep the raw text
        return {}
    error = decoded.get("error") if isinstance(decoded, dict) else None
    return error if isinstance(error, dict) else {}


# ---------------------------------------------------------------------------
# Parameters and URLs

def _solr_text(value: str | int | float | bool) -> str:
    return ("true" if value else "false") if isinstance(value, bool) else str(value)


def query_pairs(params: Params, **overrides: str) -> list[tuple[str, str]]:
    """`params` as (name, text) pairs, a sequence value giving one pair per item; each name in `overrides`
    replaces every pair of that name, at the end."""
    items = params.items() if isinstance(params, Mapping) else params
    pairs = []
    for name, value in items:
        if name in overrides:
            continue
        if isinstance(value, (list, tuple)):
            pairs += [(name, _solr_text(v)) for v in value]
        else:
            pairs.append((name, _solr_text(value)))
    return pairs + list(overrides.items())


def param(params: Params, name: str) -> str | None:
    """The first value given for `name`, as Solr reads a single-valued parameter; None when absent."""
    return next((v for k, v in query_pairs(params) if k == name), None)


def collection_url(handler_url: str) -> str:
    """The collection's URL: the handler's URL without its last path segment and without a query."""
    base = handler_url.split("?", 1)[0].split("#", 1)[0].rstrip("/")
    return base.rsplit("/", 1)[0]


# ---------------------------------------------------------------------------
# Transport: one GET through whichever client we were given

class _Answer:
    """An open answer: its status, content type, URL and body chunks."""

    def __init__(self, status: int, content_type: str, url: str, chunks: Iterator[bytes]) -> None:
        self.status, self.content_type, self.url, self.chunks = status, content_type, url, chunks

    def raise_for_solr_error(self) -> None:
        if 200 <= self.status < 300:
            return
        body = bytearray()
        for chunk in self.chunks:
            body += chunk
            if len(body) >= ERROR_BODY_LIMIT:
                break
        raise SolrError.from_body(bytes(body), status=self.status, url=self.url, content_type=self.content_type)


def _client_kind(client: object) -> str:
    """"requests" or "httpx"; looked up among the modules already imported, so neither is ever imported here."""
    for module, cls in (("requests", "Session"), ("httpx", "Client")):
        loaded = sys.modules.get(module)
        if loaded is not None and isinstance(client, getattr(loaded, cls)):
            return module
    raise TypeError(f"expected a requests.Session or an httpx.Client, got {type(client).__qualname__}")


@contextmanager
def _get(client: Client, url: str, pairs: list[tuple[str, str]], timeout: Any) -> Iterator[_Answer]:
    """GET `url` with the query `pairs`, body not yet read; closed on leaving."""
    query = tuple(pairs)
    extra = {} if timeout is None else {"timeout": timeout}
    if _client_kind(client) == "requests":
        response = cast("requests.Session", client).get(url, params=query, stream=True, **extra)
        try:
            yield _Answer(response.status_code, response.headers.get("content-type", ""), response.url,
                          response.iter_content(CHUNK_SIZE))
        finally:
            response.close()
    else:
        with cast("httpx.Client", client).stream("GET", url, params=query, **extra) as streamed:
            yield _Answer(streamed.status_code, streamed.headers.get("content-type", ""), str(streamed.url),
                          streamed.iter_bytes(CHUNK_SIZE))


def fetch_body(client: Client, url: str, pairs: list[tuple[str, str]], timeout: Any = None) -> bytes:
    """The whole body of a 2xx answer (a Solr error answer raises `SolrError`)."""
    with _get(client, url, pairs, timeout) as answer:
        answer.raise_for_solr_error()
        return b"".join(answer.chunks)


def fetch_javabin(client: Client, url: str, params: Params, timeout: Any = None) -> Any:
    """A small answer (Schema API, one page) asked as javabin, decoded whole."""
    return _core.deserialize(fetch_body(client, url, query_pairs(params, wt="javabin"), timeout))


# ---------------------------------------------------------------------------
# Documents

def iter_documents(client: Client, url: str, params: Params, *, timeout: Any = None,
                   shape: Literal["objects", "solr-json"] = "objects") -> Iterator[dict[str, Any]]:
    """Yield the result documents of the handler at `url` as they arrive, each a dict as `deserialize` makes it.

    With ``shape="solr-json"`` each document is what ``json.loads`` gives for Solr's JSON writer's text (see
    `velkora.loads_solr_json`, the ``json.nl`` of `params` shaping named lists); the body is then decoded
    once it has arrived whole. The iterator belongs to the thread that starts it. `timeout` is passed to the
    client's request when given.
    """
    if shape == "solr-json":
        yield from _solr_json_documents(client, url, params, timeout)
        return
    if shape != "objects":
        raise ValueError(f'shape must be "objects" or "solr-json", not {shape!r}')
    decoder = _core.StreamDecoder()
    try:
        ready: collections.deque[dict[str, Any]] = collections.deque()
        with _get(client, url, query_pairs(params, wt="javabin"), timeout) as answer:
            answer.raise_for_solr_error()
            for chunk in answer.chunks:
                decoder.feed(chunk, ready.append)
                while ready:
                    yield ready.popleft()
        decoder.finish()
    finally:
        del decoder  # dropped here, on its own thread, not by whoever frees a traceback holding this frame


def _solr_json_documents(client: Client, url: str, params: Params, timeout: Any) -> Iterator[dict[str, Any]]:
    json_nl = param(params, "json.nl") or "flat"
    decoded = _core._deserialize_solr_json(fetch_body(client, url, query_pairs(params, wt="javabin"), timeout),
                                           json_nl if json_nl in ("flat", "map", "arrarr", "arrmap", "arrntv") else "flat")
    found = decoded.get("response", decoded.get("result-set")) if isinstance(decoded, dict) else None
    yield from (found.get("docs") or ()) if isinstance(found, dict) else ()


# ---------------------------------------------------------------------------
# Arrow

def schema_from_solr(client: Client, url: str, params: Params, timeout: Any = None) -> pyarrow.Schema:
    """The Arrow schema of the fields in `params`' ``fl``, from the Schema API of the collection behind `url`."""
    from .schema import from_solr

    base = collection_url(url)
    fields = fetch_javabin(client, f"{base}/schema/fields", {"showDefaults": "true"}, timeout)
    field_types = fetch_javabin(client, f"{base}/schema/fieldtypes", {"showDefaults": "true"}, timeout)
    return from_solr(fields, field_types, fl=param(params, "fl"))


def _stream_batches(client: Client, url: str, params: Params, decoder: _core.ArrowStreamDecoder,
                    timeout: Any) -> Iterator[pyarrow.RecordBatch]:
    try:
        with _get(client, url, query_pairs(params, wt="javabin"), timeout) as answer:
            answer.raise_for_solr_error()
            for chunk in answer.chunks:
                yield from decoder.feed(chunk)
        yield from decoder.finish()
    finally:
        del decoder  # see iter_documents


def _arrow_decoder(client: Client, url: str, params: Params, schema: Schema | None, batch_size: int,
                   children: Literal["skip", "explode"], timeout: Any) -> _core.ArrowStreamDecoder:
    if schema is None:
        schema = schema_from_solr(client, url, params, timeout)
    return _core.ArrowStreamDecoder(schema, batch_size, children=children)


def iter_batches(client: Client, url: str, params: Params, schema: Schema | None = None, batch_size: int = 65536,
                 children: Literal["skip", "explode"] = "skip", *,
                 timeout: Any = None) -> Iterator[pyarrow.RecordBatch]:
    """Yield the result documents as `pyarrow.RecordBatch`es of `batch_size` rows (the last one shorter).

    `schema` is a pyarrow schema, or None to ask the collection's Schema API for the fields in ``fl``.
    `children` is that of `ArrowStreamDecoder`. The iterator belongs to the thread that starts it.
    """
    yield from _stream_batches(client, url, params,
                               _arrow_decoder(client, url, params, schema, batch_size, children, timeout), timeout)


def read_arrow(client: Client, url: str, params: Params, schema: Schema | None = None, batch_size: int = 65536,
               children: Literal["skip", "explode"] = "skip", *, timeout: Any = None) -> pyarrow.Table:
    """All the result documents as one `pyarrow.Table` (with `schema`, also when there are none)."""
    import pyarrow

    decoder = _arrow_decoder(client, url, params, schema, batch_size, children, timeout)
    try:
        batches = list(_stream_batches(client, url, params, decoder, timeout))
        return pyarrow.Table.from_batches(batches, schema=decoder.schema())
    finally:
        del decoder  # see iter_documents


def read_polars(client: Client, url: str, params: Params, schema: Schema | None = None, batch_size: int = 65536,
                children: Literal["skip", "explode"] = "skip", *, timeout: Any = None) -> polars.DataFrame:
    """All the result documents as one `polars.DataFrame`, one chunk per batch (``.rechunk()`` joins them)."""
    import polars

    table = read_arrow(client, url, params, schema, batch_size, children, timeout=timeout)
    frame = polars.from_arrow(table, rechunk=False)
    assert isinstance(frame, polars.DataFrame)
    return frame


# ---------------------------------------------------------------------------
# /select paging with cursorMark

def _sort_clauses(sort: str) -> list[str]:
    """The comma-separated clauses of a sort, commas inside function arguments left alone."""
    clauses, depth, start = [], 0, 0
    for i, c in enumerate(sort):
        depth += (c == "(") - (c == ")")
        if c == "," and depth == 0:
            clauses.append(sort[start:i].strip())
            start = i + 1
    return clauses + [sort[start:].strip()]


def cursor_sort(sort: str | None, unique_key: str) -> str:
    """The sort to page with: `sort` if its last clause is on `unique_key`, ``"<unique_key> asc"`` when absent."""
    if sort is None or not sort.strip():
        return f"{unique_key} asc"
    last = _sort_clauses(sort)[-1].split()
    if len(last) != 2 or last[0] != unique_key or last[1].lower() not in ("asc", "desc"):
        raise ValueError(f"cursor paging needs a sort that ends on the unique key {unique_key!r}, got {sort!r}")
    return sort


def unique_key_of(client: Client, url: str, timeout: Any = None) -> str:
    """The unique key field of the collection behind `url`, from its Schema API."""
    answer = fetch_javabin(client, f"{collection_url(url)}/schema/uniquekey", {}, timeout)
    key = answer.get("uniqueKey") if isinstance(answer, dict) else None
    if not isinstance(key, str):
        raise ValueError(f"the Schema API of {collection_url(url)} names no unique key")
    return key


def _discard(document: object) -> None:
    pass


@overload
def iter_select(client: Client, url: str, params: Params, rows: int = 1000, *, batches: Literal[False] = False,
                unique_key: str | None = None, timeout: Any = None) -> Iterator[dict[str, Any]]: ...


@overload
def iter_select(client: Client, url: str, params: Params, rows: int = 1000, *, batches: Literal[True],
                schema: Schema | None = None, children: Literal["skip", "explode"] = "skip",
                unique_key: str | None = None, timeout: Any = None) -> Iterator[pyarrow.RecordBatch]: ...


def iter_select(client: Client, url: str, params: Params, rows: int = 1000, *, batches: bool = False,
                schema: Schema | None = None, children: Literal["skip", "explode"] = "skip",
                unique_key: str | None = None, timeout: Any = None) -> Iterator[Any]:
    """Page through a /select result with cursorMark, `rows` documents a page, until the mark repeats.

    Yields documents, or with ``batches=True`` one `pyarrow.RecordBatch` per non-empty page (`schema` None:
    from the Schema API). The sort must end on the collection's unique key (`unique_key`, or asked of the
    Schema API); without a ``sort`` the unique key ascending is used. A ``cursorMark`` in `params` resumes
    from that mark. Each page is read whole: at most `rows` documents are in memory at a time.
    """
    if unique_key is None:
        unique_key = unique_key_of(client, url, timeout)
    sort = cursor_sort(param(params, "sort"), unique_key)
    if batches and schema is None:
        schema = schema_from_solr(client, url, params, timeout)
    mark = param(params, "cursorMark") or "*"
    while True:
        pairs = query_pairs(params, sort=sort, rows=str(rows), cursorMark=mark, wt="javabin")
        page = fetch_body(client, url, pairs, timeout)
        if batches:
            envelope = _core.deserialize_stream(page, _discard)
            batch = _core.deserialize_arrow(page, schema, children=children)
            if batch.num_rows:
                yield batch
        else:
            documents: list[dict[str, Any]] = []
            envelope = _core.deserialize_stream(page, documents.append)
            yield from documents
        following = envelope.get("nextCursorMark") if isinstance(envelope, dict) else None
        if not isinstance(following, str):
            raise ValueError(f"the answer of {url} has no nextCursorMark: the handler does not page with cursorMark")
        if following == mark:
            return
        mark = following
