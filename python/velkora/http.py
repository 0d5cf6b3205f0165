"""Solr over HTTP, from query to documents or Arrow batches in one call.

Give any of these a ``requests.Session`` or an ``httpx.Client`` (their ``a``-prefixed twins an
``httpx.AsyncClient`` or an ``aiohttp.ClientSession``; no client is imported here unless you do), the full URL
of a request handler (``http://localhost:8983/solr/techproducts/select``, ``.../export``, ``.../stream``) and
the query parameters. They ask for ``wt=javabin`` and feed the body to the chunk-fed decoders as it arrives, so
memory stays at about one document plus one batch whatever the response's size. The decoder runs on a thread
of its own: an iterator may be advanced from any thread, and the async twins never decode on the event loop.

- A non-2xx answer raises `SolrError` with Solr's own message and code (an HTML page: its title or text).
- Failures Solr reports inside a 2xx body raise `SolrError` too: an ``EXCEPTION`` tuple of /stream or /export,
  or a response header whose ``status`` is not 0. The documents before it were yielded; the ``read_`` functions
  return no table. The EOF tuple that ends a /stream is never a document.
- An answer that ends cleanly with fewer documents than its ``numFound`` (an /export without ``numWorkers``
  or ``expr``, a /select page: ``min(rows, numFound - start)``) raises `IncompleteResponse`, and so does
  ``partialResults: true`` unless ``allow_partial=True``.
- A body cut short raises: the client's own error when the transport notices (requests'
  ``ChunkedEncodingError``, httpx's ``RemoteProtocolError``), otherwise ``ValueError`` from the decoder's
  ``finish()`` ("unexpected end of input at byte offset N"), never a short table. A 2xx body that is not
  javabin raises ``ValueError`` naming the URL and the content type.
- One document or envelope value longer than ``max_value_bytes`` (256 MiB by default) raises ``ValueError``
  naming the limit, and so does a Schema API answer or /select page longer than that once inflated.
- Timeouts: the caller's ``timeout`` is passed to the client unchanged; without one, and without one set on
  the client, connect 10 s and read 300 s (requests has no timeout of its own at all).
- A query string over 4 KiB is sent as a form POST.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Union, overload

from . import _core
from ._decoding import MAX_VALUE_BYTES, AnswerCheck, ArrowDecoding, DecoderThread, DocumentDecoding, Outcome
from ._envelope import Envelope, NeedMore, Unreadable, read_envelope
from ._http_errors import IncompleteResponse, SolrError
from ._transport import Answer, Inflater, aopen_answer, aread_all, open_answer, read_all, require_javabin

if TYPE_CHECKING:
    import aiohttp
    import httpx
    import polars
    import pyarrow
    import requests

    Client = Union[requests.Session, httpx.Client]
    AsyncClient = Union[httpx.AsyncClient, aiohttp.ClientSession]
    Schema = Union[pyarrow.Schema, Any]

__all__ = ["SolrError", "IncompleteResponse", "MAX_VALUE_BYTES", "iter_documents", "iter_batches", "read_arrow",
           "read_polars", "iter_select", "aiter_documents", "aiter_batches", "aread_arrow", "aread_polars",
           "aiter_select"]

Children = Literal["skip", "explode"]

#: A parameter value: text, a number or a bool (written as Solr spells it), or several of them.
ParamValue = Union[str, int, float, bool, list[Union[str, int, float, bool]], tuple[Union[str, int, float, bool], ...]]
#: Query parameters: a mapping, or (name, value) pairs when a name repeats (``fq`` often does).
Params = Union[Mapping[str, ParamValue], Sequence[tuple[str, ParamValue]]]


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
# Whole bodies: Schema API answers, /select pages

def fetch_answer(client: Client, url: str, pairs: list[tuple[str, str]], timeout: Any = None,
                 max_value_bytes: int = MAX_VALUE_BYTES) -> tuple[bytes, Answer]:
    """The whole javabin body of a 2xx answer, and the answer (a Solr error answer raises `SolrError`);
    refused past `max_value_bytes`."""
    with open_answer(client, url, pairs, timeout) as answer:
        answer.raise_for_solr_error()
        return _javabin_body(answer, read_all(answer.chunks, max_value_bytes, answer.url))


async def afetch_answer(client: AsyncClient, url: str, pairs: list[tuple[str, str]], timeout: Any = None,
                        max_value_bytes: int = MAX_VALUE_BYTES) -> tuple[bytes, Answer]:
    async with aopen_answer(client, url, pairs, timeout) as answer:
        await answer.araise_for_solr_error()
        return _javabin_body(answer, await aread_all(answer.chunks, max_value_bytes, answer.url))


def _javabin_body(answer: Answer, body: bytes) -> tuple[bytes, Answer]:
    require_javabin(body[:64], answer.content_type, answer.url)
    return body, answer


def fetch_body(client: Client, url: str, pairs: list[tuple[str, str]], timeout: Any = None,
               max_value_bytes: int = MAX_VALUE_BYTES) -> bytes:
    """The whole javabin body of a 2xx answer."""
    return fetch_answer(client, url, pairs, timeout, max_value_bytes)[0]


def fetch_javabin(client: Client, url: str, params: Params, timeout: Any = None,
                  max_value_bytes: int = MAX_VALUE_BYTES) -> Any:
    """A small answer (Schema API, one page) asked as javabin, decoded whole."""
    return _core.deserialize(fetch_body(client, url, query_pairs(params, wt="javabin"), timeout, max_value_bytes))


async def afetch_javabin(client: AsyncClient, url: str, params: Params, timeout: Any = None,
                         max_value_bytes: int = MAX_VALUE_BYTES) -> Any:
    body, _ = await afetch_answer(client, url, query_pairs(params, wt="javabin"), timeout, max_value_bytes)
    return await asyncio.to_thread(_core.deserialize, body)


# ---------------------------------------------------------------------------
# Streaming: the body through a decoder on its own thread

def _check(answer: Answer, pairs: list[tuple[str, str]], max_value_bytes: int, allow_partial: bool,
           received_before: int = 0) -> AnswerCheck:
    return AnswerCheck(answer.url, answer.content_type, answer.status, pairs, max_value_bytes=max_value_bytes,
                       allow_partial=allow_partial, received_before=received_before)


def _handed_on(outcome: Outcome) -> Iterator[Any]:
    yield from outcome.items
    if outcome.error is not None:
        raise outcome.error


def _stream(client: Client, url: str, params: Params, decoding: Any, timeout: Any, max_value_bytes: int,
            allow_partial: bool) -> Iterator[Any]:
    """The items `decoding(check)` makes of the answer's body, as they come."""
    pairs = query_pairs(params, wt="javabin")
    with open_answer(client, url, pairs, timeout) as answer:
        answer.raise_for_solr_error()
        worker = DecoderThread(decoding(_check(answer, pairs, max_value_bytes, allow_partial)))
        try:
            for chunk in answer.chunks:
                worker.feed(chunk)
                while (step := worker.due()) is not None:
                    yield from _handed_on(step.result())
            worker.end()
            while (step := worker.next()) is not None:
                yield from _handed_on(step.result())
        finally:
            worker.close()


async def _astream(client: AsyncClient, url: str, params: Params, decoding: Any, timeout: Any,
                   max_value_bytes: int, allow_partial: bool) -> AsyncIterator[Any]:
    """`_stream` for the async clients: reading on the event loop, decoding on the decoder's thread."""
    pairs = query_pairs(params, wt="javabin")
    async with aopen_answer(client, url, pairs, timeout) as answer:
        await answer.araise_for_solr_error()
        steps = decoding(_check(answer, pairs, max_value_bytes, allow_partial))
        if answer.raw is not None:
            steps.inflater = Inflater(answer.url)
        worker = DecoderThread(steps)
        try:
            async for chunk in (answer.chunks if answer.raw is None else answer.raw):
                worker.feed(chunk)
                while (step := worker.due()) is not None:
                    for item in _handed_on(await asyncio.wrap_future(step)):
                        yield item
            worker.end()
            while (step := worker.next()) is not None:
                for item in _handed_on(await asyncio.wrap_future(step)):
                    yield item
        finally:
            worker.close()


# ---------------------------------------------------------------------------
# Documents

def iter_documents(client: Client, url: str, params: Params, *, timeout: Any = None,
                   max_value_bytes: int = MAX_VALUE_BYTES, allow_partial: bool = False,
                   shape: Literal["objects", "solr-json"] = "objects") -> Iterator[dict[str, Any]]:
    """Yield the result documents of the handler at `url` as they arrive, each a dict as `deserialize` makes it.

    With ``shape="solr-json"`` each document is what ``json.loads`` gives for Solr's JSON writer's text (see
    `velkora.loads_solr_json`, the ``json.nl`` of `params` shaping named lists); the body is then decoded
    once it has arrived whole, with the same checks. May be advanced from any thread. `timeout` is passed to
    the client's request; see the module's notes for the errors, `max_value_bytes` and `allow_partial`.
    """
    if shape == "solr-json":
        yield from _solr_json_documents(client, url, params, timeout, max_value_bytes, allow_partial)
        return
    if shape != "objects":
        raise ValueError(f'shape must be "objects" or "solr-json", not {shape!r}')
    yield from _stream(client, url, params, DocumentDecoding, timeout, max_value_bytes, allow_partial)


async def aiter_documents(client: AsyncClient, url: str, params: Params, *, timeout: Any = None,
                          max_value_bytes: int = MAX_VALUE_BYTES,
                          allow_partial: bool = False) -> AsyncIterator[dict[str, Any]]:
    """`iter_documents` through an ``httpx.AsyncClient`` or an ``aiohttp.ClientSession``."""
    async for document in _astream(client, url, params, DocumentDecoding, timeout, max_value_bytes, allow_partial):
        yield document


_JSON_NL = ("flat", "map", "arrarr", "arrmap", "arrntv")


def _solr_json_documents(client: Client, url: str, params: Params, timeout: Any, max_value_bytes: int,
                         allow_partial: bool) -> Iterator[dict[str, Any]]:
    """The documents in Solr's JSON writer's shapes, the body decoded whole and then checked as the streamed
    documents are: Solr's EXCEPTION tuple raises after the documents before it, the EOF tuple ends them, and
    the answer is complete or an error."""
    json_nl = param(params, "json.nl") or "flat"
    pairs = query_pairs(params, wt="javabin")
    body, answer = fetch_answer(client, url, pairs, timeout, max_value_bytes)
    check = _check(answer, pairs, max_value_bytes, allow_partial)
    check.look(body, at_end=True)
    decoded = _core._deserialize_solr_json(body, json_nl if json_nl in _JSON_NL else "flat")
    found = decoded.get("response", decoded.get("result-set")) if isinstance(decoded, dict) else None
    documents = list(found.get("docs") or ()) if isinstance(found, dict) else []
    for i, document in enumerate(documents if check.tuples else ()):
        if isinstance(document, dict) and "EXCEPTION" in document:
            yield from documents[:i]
            raise check.in_band(document["EXCEPTION"])
        if isinstance(document, dict) and document.get("EOF") is True:
            del documents[i:]
            break
    check.received = len(documents)
    yield from documents
    check.end()


# ---------------------------------------------------------------------------
# Arrow

SCHEMA_PARTS = (("fields", "/schema/fields"), ("dynamicFields", "/schema/dynamicfields"),
                ("fieldTypes", "/schema/fieldtypes"))


def _schema_of(answers: list[Any], params: Params) -> pyarrow.Schema:
    from .schema import from_solr

    fields, dynamic, field_types = ((a.get(key, []) if isinstance(a, dict) else [])
                                    for a, (key, _) in zip(answers, SCHEMA_PARTS))
    return from_solr({"fields": fields, "dynamicFields": dynamic}, {"fieldTypes": field_types}, fl=param(params, "fl"))


def schema_from_solr(client: Client, url: str, params: Params, timeout: Any = None,
                     max_value_bytes: int = MAX_VALUE_BYTES) -> pyarrow.Schema:
    """The Arrow schema of the fields in `params`' ``fl`` (dynamic fields resolved), from the Schema API of the
    collection behind `url`."""
    base = collection_url(url)
    return _schema_of([fetch_javabin(client, base + path, {"showDefaults": "true"}, timeout, max_value_bytes)
                       for _, path in SCHEMA_PARTS], params)


async def aschema_from_solr(client: AsyncClient, url: str, params: Params, timeout: Any = None,
                            max_value_bytes: int = MAX_VALUE_BYTES) -> pyarrow.Schema:
    base = collection_url(url)
    return _schema_of([await afetch_javabin(client, base + path, {"showDefaults": "true"}, timeout, max_value_bytes)
                       for _, path in SCHEMA_PARTS], params)


def _arrow(schema: Schema, batch_size: int, children: Children) -> Any:
    return lambda check: ArrowDecoding(check, schema, batch_size, children)


def _output_schema(schema: Schema, children: Children) -> pyarrow.Schema:
    """The schema of the batches: the decoder's own (so a bad schema fails here, before any request)."""
    return _core.ArrowStreamDecoder(schema, 1, children=children).schema()


def iter_batches(client: Client, url: str, params: Params, schema: Schema | None = None, batch_size: int = 65536,
                 children: Children = "skip", *, timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES,
                 allow_partial: bool = False) -> Iterator[pyarrow.RecordBatch]:
    """Yield the result documents as `pyarrow.RecordBatch`es of `batch_size` rows (the last one shorter).

    `schema` is a pyarrow schema, or None to ask the collection's Schema API for the fields in ``fl``.
    `children` is that of `ArrowStreamDecoder`. May be advanced from any thread.
    """
    if schema is None:
        schema = schema_from_solr(client, url, params, timeout, max_value_bytes)
    _output_schema(schema, children)
    yield from _stream(client, url, params, _arrow(schema, batch_size, children), timeout, max_value_bytes,
                       allow_partial)


async def aiter_batches(client: AsyncClient, url: str, params: Params, schema: Schema | None = None,
                        batch_size: int = 65536, children: Children = "skip", *, timeout: Any = None,
                        max_value_bytes: int = MAX_VALUE_BYTES,
                        allow_partial: bool = False) -> AsyncIterator[pyarrow.RecordBatch]:
    """`iter_batches` through an ``httpx.AsyncClient`` or an ``aiohttp.ClientSession``."""
    if schema is None:
        schema = await aschema_from_solr(client, url, params, timeout, max_value_bytes)
    _output_schema(schema, children)
    async for batch in _astream(client, url, params, _arrow(schema, batch_size, children), timeout,
                                max_value_bytes, allow_partial):
        yield batch


def read_arrow(client: Client, url: str, params: Params, schema: Schema | None = None, batch_size: int = 65536,
               children: Children = "skip", *, timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES,
               allow_partial: bool = False) -> pyarrow.Table:
    """All the result documents as one `pyarrow.Table` (with `schema`, also when there are none)."""
    import pyarrow

    if schema is None:
        schema = schema_from_solr(client, url, params, timeout, max_value_bytes)
    batches = list(iter_batches(client, url, params, schema, batch_size, children, timeout=timeout,
                                max_value_bytes=max_value_bytes, allow_partial=allow_partial))
    return pyarrow.Table.from_batches(batches, schema=_output_schema(schema, children))


async def aread_arrow(client: AsyncClient, url: str, params: Params, schema: Schema | None = None,
                      batch_size: int = 65536, children: Children = "skip", *, timeout: Any = None,
                      max_value_bytes: int = MAX_VALUE_BYTES, allow_partial: bool = False) -> pyarrow.Table:
    """`read_arrow` through an ``httpx.AsyncClient`` or an ``aiohttp.ClientSession``."""
    import pyarrow

    if schema is None:
        schema = await aschema_from_solr(client, url, params, timeout, max_value_bytes)
    batches = [batch async for batch in aiter_batches(client, url, params, schema, batch_size, children,
                                                      timeout=timeout, max_value_bytes=max_value_bytes,
                                                      allow_partial=allow_partial)]
    return pyarrow.Table.from_batches(batches, schema=_output_schema(schema, children))


def _polars(table: pyarrow.Table) -> polars.DataFrame:
    import polars

    frame = polars.from_arrow(table, rechunk=False)
    assert isinstance(frame, polars.DataFrame)
    return frame


def read_polars(client: Client, url: str, params: Params, schema: Schema | None = None, batch_size: int = 65536,
                children: Children = "skip", *, timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES,
                allow_partial: bool = False) -> polars.DataFrame:
    """All the result documents as one `polars.DataFrame`, one chunk per batch (``.rechunk()`` joins them)."""
    return _polars(read_arrow(client, url, params, schema, batch_size, children, timeout=timeout,
                              max_value_bytes=max_value_bytes, allow_partial=allow_partial))


async def aread_polars(client: AsyncClient, url: str, params: Params, schema: Schema | None = None,
                       batch_size: int = 65536, children: Children = "skip", *, timeout: Any = None,
                       max_value_bytes: int = MAX_VALUE_BYTES, allow_partial: bool = False) -> polars.DataFrame:
    """`read_polars` through an ``httpx.AsyncClient`` or an ``aiohttp.ClientSession``."""
    return _polars(await aread_arrow(client, url, params, schema, batch_size, children, timeout=timeout,
                                     max_value_bytes=max_value_bytes, allow_partial=allow_partial))


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


def _unique_key(answer: Any, url: str) -> str:
    key = answer.get("uniqueKey") if isinstance(answer, dict) else None
    if not isinstance(key, str):
        raise ValueError(f"the Schema API of {collection_url(url)} names no unique key")
    return key


def unique_key_of(client: Client, url: str, timeout: Any = None) -> str:
    """The unique key field of the collection behind `url`, from its Schema API."""
    return _unique_key(fetch_javabin(client, f"{collection_url(url)}/schema/uniquekey", {}, timeout), url)


async def aunique_key_of(client: AsyncClient, url: str, timeout: Any = None) -> str:
    return _unique_key(await afetch_javabin(client, f"{collection_url(url)}/schema/uniquekey", {}, timeout), url)


class _CursorWalk:
    """A cursorMark walk: the mark to ask for next, the documents so far, and what each page gives."""

    def __init__(self, url: str, params: Params, rows: int, sort: str, batches: bool, schema: Schema | None,
                 children: Children, max_value_bytes: int, allow_partial: bool) -> None:
        self.url, self.params, self.rows, self.sort = url, params, rows, sort
        self.batches, self.schema, self.children = batches, schema, children
        self.max_value_bytes, self.allow_partial = max_value_bytes, allow_partial
        self.mark: str | None = param(params, "cursorMark") or "*"
        self.resumed = self.mark != "*"  # the documents before the mark are unknown: no count to check against
        self.received = 0

    def pairs(self) -> list[tuple[str, str]]:
        assert self.mark is not None
        return query_pairs(self.params, sort=self.sort, rows=str(self.rows), cursorMark=self.mark, wt="javabin")

    def page(self, body: bytes, answer: Answer) -> list[Any]:
        """The page's documents (or its one batch); sets `mark` to None once the walk is over."""
        documents: list[Any] = []
        envelope = _core.deserialize_stream(body, (lambda d: None) if self.batches else documents.append)
        check = _check(answer, self.pairs(), self.max_value_bytes, self.allow_partial, self.received)
        check.envelope = _page_envelope(body)
        check.counting = not self.resumed
        items: list[Any] = documents
        if self.batches:
            batch = _core.deserialize_arrow(body, self.schema, children=self.children)
            items = [batch] if batch.num_rows else []
            check.counting = check.counting and self.children == "skip"
            check.received = batch.num_rows
        else:
            check.received = len(documents)
        check.end()
        self.received += check.received
        following = envelope.get("nextCursorMark") if isinstance(envelope, dict) else None
        if not isinstance(following, str):
            raise ValueError(f"the answer of {self.url} has no nextCursorMark: the handler does not page with "
                             "cursorMark")
        # A page without documents ends the walk even when the mark moved: it would move forever.
        self.mark = None if following == self.mark or not check.received else following
        return items


def _page_envelope(body: bytes) -> Envelope | None:
    try:
        return read_envelope(body)
    except (NeedMore, Unreadable):
        return None


@overload
def iter_select(client: Client, url: str, params: Params, rows: int = 1000, *, batches: Literal[False] = False,
                unique_key: str | None = None, timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES,
                allow_partial: bool = False) -> Iterator[dict[str, Any]]: ...


@overload
def iter_select(client: Client, url: str, params: Params, rows: int = 1000, *, batches: Literal[True],
                schema: Schema | None = None, children: Children = "skip", unique_key: str | None = None,
                timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES,
                allow_partial: bool = False) -> Iterator[pyarrow.RecordBatch]: ...


def iter_select(client: Client, url: str, params: Params, rows: int = 1000, *, batches: bool = False,
                schema: Schema | None = None, children: Children = "skip", unique_key: str | None = None,
                timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES, allow_partial: bool = False
                ) -> Iterator[Any]:
    """Page through a /select result with cursorMark, `rows` documents a page, until the mark repeats or a page
    comes without documents.

    Yields documents, or with ``batches=True`` one `pyarrow.RecordBatch` per non-empty page (`schema` None:
    from the Schema API). The sort must end on the collection's unique key (`unique_key`, or asked of the
    Schema API); without a ``sort`` the unique key ascending is used. A ``cursorMark`` in `params` resumes
    from that mark. Each page is read whole (at most `max_value_bytes`): at most `rows` documents are in
    memory at a time. A page with ``partialResults`` raises `IncompleteResponse` unless `allow_partial`.
    """
    if unique_key is None:
        unique_key = unique_key_of(client, url, timeout)
    sort = cursor_sort(param(params, "sort"), unique_key)
    if batches and schema is None:
        schema = schema_from_solr(client, url, params, timeout, max_value_bytes)
    walk = _CursorWalk(url, params, rows, sort, batches, schema, children, max_value_bytes, allow_partial)
    while walk.mark is not None:
        body, answer = fetch_answer(client, url, walk.pairs(), timeout, max_value_bytes)
        yield from walk.page(body, answer)


@overload
def aiter_select(client: AsyncClient, url: str, params: Params, rows: int = 1000, *,
                 batches: Literal[False] = False, unique_key: str | None = None, timeout: Any = None,
                 max_value_bytes: int = MAX_VALUE_BYTES,
                 allow_partial: bool = False) -> AsyncIterator[dict[str, Any]]: ...


@overload
def aiter_select(client: AsyncClient, url: str, params: Params, rows: int = 1000, *, batches: Literal[True],
                 schema: Schema | None = None, children: Children = "skip", unique_key: str | None = None,
                 timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES,
                 allow_partial: bool = False) -> AsyncIterator[pyarrow.RecordBatch]: ...


async def aiter_select(client: AsyncClient, url: str, params: Params, rows: int = 1000, *, batches: bool = False,
                       schema: Schema | None = None, children: Children = "skip", unique_key: str | None = None,
                       timeout: Any = None, max_value_bytes: int = MAX_VALUE_BYTES, allow_partial: bool = False
                       ) -> AsyncIterator[Any]:
    """`iter_select` through an ``httpx.AsyncClient`` or an ``aiohttp.ClientSession``; pages are decoded off
    the event loop."""
    if unique_key is None:
        unique_key = await aunique_key_of(client, url, timeout)
    sort = cursor_sort(param(params, "sort"), unique_key)
    if batches and schema is None:
        schema = await aschema_from_solr(client, url, params, timeout, max_value_bytes)
    walk = _CursorWalk(url, params, rows, sort, batches, schema, children, max_value_bytes, allow_partial)
    while walk.mark is not None:
        body, answer = await afetch_answer(client, url, walk.pairs(), timeout, max_value_bytes)
        for item in await asyncio.to_thread(walk.page, body, answer):
            yield item
