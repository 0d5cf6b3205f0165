"""One request through whichever HTTP client the caller gave, sync or async.

requests and httpx (``Client`` and ``AsyncClient``) and aiohttp are never imported here: a client is recognised
among the modules already loaded. Every client inflates gzip itself (Solr gzips answers of 2,048 bytes or more
when asked), so the chunks handed on are the javabin bytes. A query string longer than `LONG_QUERY` travels as a
form POST, as Solr's servlet container refuses long request lines.
"""

from __future__ import annotations

import sys
import zlib
from collections.abc import AsyncIterator, Iterator
from contextlib import asynccontextmanager, contextmanager
from typing import Any, cast
from urllib.parse import urlencode

from ._http_errors import SolrError

INFLATED_PIECE = 1 << 20  # bytes inflated at a time by `Inflater`: a gzip bomb shows as it grows
CHUNK_SIZE = 1 << 20  # bytes asked of the client per read; each becomes one feed() call (fewer hand-offs)
ERROR_BODY_LIMIT = 1 << 20  # an error answer is read up to this many bytes: enough for any Solr error
LONG_QUERY = 4096  # query strings longer than this are sent as a form POST
CONNECT_TIMEOUT, READ_TIMEOUT = 10.0, 300.0  # seconds, when neither the call nor the client sets a timeout

SYNC_CLIENTS = (("requests", "Session"), ("httpx", "Client"))
ASYNC_CLIENTS = (("httpx", "AsyncClient"), ("aiohttp", "ClientSession"))


def client_kind(client: object, kinds: tuple[tuple[str, str], ...] = SYNC_CLIENTS) -> str:
    """The module of `client`'s class among `kinds`, looked up among the modules already imported."""
    for module, cls in kinds:
        loaded = sys.modules.get(module)
        if loaded is not None and isinstance(client, getattr(loaded, cls)):
            return module
    names = " or ".join(f"{'a' if m == 'requests' else 'an'} {m}.{c}" for m, c in kinds)
    raise TypeError(f"expected {names}, got {type(client).__qualname__}")


FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def _request_shape(kind: str, pairs: list[tuple[str, str]]) -> tuple[str, dict[str, Any]]:
    """GET with the pairs as the query, or POST with them as a form when the query would be long."""
    query = urlencode(pairs)
    if len(query) > LONG_QUERY:
        return "POST", {"content" if kind == "httpx" else "data": query.encode("ascii"), "headers": FORM}
    return "GET", {"params": list(pairs) if kind == "aiohttp" else tuple(pairs)}


class Inflater:
    """A gzip or deflate body inflated piece by piece, each piece at most `INFLATED_PIECE` bytes."""

    def __init__(self, url: str) -> None:
        self.url = url
        self._z = zlib.decompressobj(32 + zlib.MAX_WBITS)  # a gzip or a zlib header, told apart by zlib

    def pieces(self, chunk: bytes) -> Iterator[bytes]:
        try:
            while chunk:
                piece = self._z.decompress(chunk, INFLATED_PIECE)
                if piece:
                    yield piece
                chunk = self._z.unconsumed_tail
        except zlib.error as e:
            raise ValueError(f"the compressed answer from {self.url} cannot be inflated: {e}") from None

    def rest(self) -> bytes:
        return self._z.flush()


INFLATABLE = ("gzip", "deflate")


class Answer:
    """An open answer: its status, content type, URL and body chunks (an iterator, or an async iterator).

    `raw`, when set, is the body as it travelled, compressed with `encoding` (one of `INFLATABLE`): a
    streaming route then inflates it on its decoder thread. Either `chunks` or `raw` is read, never both.
    """

    def __init__(self, status: int, content_type: str, url: str, chunks: Any, raw: Any = None,
                 encoding: str = "") -> None:
        self.status, self.content_type, self.url, self.chunks = status, content_type, url, chunks
        self.raw, self.encoding = raw, encoding

    @property
    def ok(self) -> bool:
        return 200 <= self.status < 300

    def error(self, body: bytes) -> SolrError:
        return SolrError.from_body(body, status=self.status, url=self.url, content_type=self.content_type)

    def raise_for_solr_error(self) -> None:
        if not self.ok:
            raise self.error(read_all(self.chunks, ERROR_BODY_LIMIT, self.url, truncate=True))

    async def araise_for_solr_error(self) -> None:
        if not self.ok:
            raise self.error(await aread_all(self.chunks, ERROR_BODY_LIMIT, self.url, truncate=True))


def _too_large(url: str, limit: int) -> ValueError:
    return ValueError(f"the answer from {url} is larger than max_value_bytes ({limit} bytes); "
                      "pass a larger max_value_bytes if it should be read")


def read_all(chunks: Iterator[bytes], limit: int, url: str, *, truncate: bool = False) -> bytes:
    """The whole body, or a ValueError once it passes `limit` bytes (inflated): a gzip bomb stops there.
    With `truncate`, the first `limit` bytes instead."""
    body = bytearray()
    for chunk in chunks:
        body += chunk
        if len(body) > limit:
            if truncate:
                return bytes(body[:limit])
            raise _too_large(url, limit)
    return bytes(body)


async def aread_all(chunks: AsyncIterator[bytes], limit: int, url: str, *, truncate: bool = False) -> bytes:
    body = bytearray()
    async for chunk in chunks:
        body += chunk
        if len(body) > limit:
            if truncate:
                return bytes(body[:limit])
            raise _too_large(url, limit)
    return bytes(body)


def _timeout(kind: str, client: Any, timeout: Any) -> dict[str, Any]:
    """The timeout argument to pass: the caller's own, else ours when the client has none of its own."""
    if timeout is not None:
        return {"timeout": timeout}
    if kind == "requests":
        return {"timeout": (CONNECT_TIMEOUT, READ_TIMEOUT)}
    if kind == "httpx":
        import httpx

        if client.timeout == httpx.Timeout(5.0):  # httpx's own default: a long export outlasts it
            return {"timeout": httpx.Timeout(READ_TIMEOUT, connect=CONNECT_TIMEOUT)}
        return {}
    import aiohttp

    if client.timeout == aiohttp.ClientTimeout(total=300, sock_connect=30):  # aiohttp's default caps the total
        return {"timeout": aiohttp.ClientTimeout(total=None, connect=CONNECT_TIMEOUT, sock_read=READ_TIMEOUT)}
    return {}


@contextmanager
def open_answer(client: Any, url: str, pairs: list[tuple[str, str]], timeout: Any) -> Iterator[Answer]:
    """Ask `url` with the query `pairs` through a requests.Session or an httpx.Client, body not yet read;
    closed on leaving."""
    kind = client_kind(client)
    method, query = _request_shape(kind, pairs)
    extra = _timeout(kind, client, timeout)
    if kind == "requests":
        response = cast(Any, client).request(method, url, stream=True, **query, **extra)
        try:
            yield Answer(response.status_code, response.headers.get("content-type", ""), response.url,
                         response.iter_content(CHUNK_SIZE))
        finally:
            response.close()
    else:
        with cast(Any, client).stream(method, url, **query, **extra) as streamed:
            yield Answer(streamed.status_code, streamed.headers.get("content-type", ""), str(streamed.url),
                         streamed.iter_bytes(CHUNK_SIZE))


@asynccontextmanager
async def aopen_answer(client: Any, url: str, pairs: list[tuple[str, str]], timeout: Any) -> AsyncIterator[Answer]:
    """`open_answer` for an httpx.AsyncClient or an aiohttp.ClientSession; the response is closed on leaving,
    also when the task is cancelled."""
    kind = client_kind(client, ASYNC_CLIENTS)
    method, query = _request_shape(kind, pairs)
    extra = _timeout(kind, client, timeout)
    # A gzip body is inflated on the decoder thread, not on the event loop (which would hold the interpreter
    # lock while the decoder waits for it): the raw body is kept at hand.
    if kind == "httpx":
        async with client.stream(method, url, **query, **extra) as streamed:
            encoding = streamed.headers.get("content-encoding", "").strip().lower()
            yield Answer(streamed.status_code, streamed.headers.get("content-type", ""), str(streamed.url),
                         streamed.aiter_bytes(CHUNK_SIZE),
                         streamed.aiter_raw(CHUNK_SIZE) if encoding in INFLATABLE else None, encoding)
    else:
        headers = {**query.pop("headers", {}), "Accept-Encoding": ", ".join(INFLATABLE)}
        response = await client.request(method, url, **query, **extra, headers=headers, auto_decompress=False)
        try:
            encoding = response.headers.get("Content-Encoding", "").strip().lower()
            raw = response.content.iter_chunked(CHUNK_SIZE)
            inflatable = encoding in INFLATABLE
            yield Answer(response.status, response.headers.get("Content-Type", ""), str(response.url),
                         _ainflated(raw, Inflater(str(response.url))) if inflatable else raw,
                         raw if inflatable else None, encoding)
        finally:
            response.close()  # not release(): a body left unread must not keep the connection


async def _ainflated(raw: AsyncIterator[bytes], inflater: Inflater) -> AsyncIterator[bytes]:
    async for chunk in raw:
        for piece in inflater.pieces(chunk):
            yield piece
    if rest := inflater.rest():
        yield rest


def require_javabin(start: bytes, content_type: str, url: str) -> None:
    """Raise when a 2xx body is plainly not javabin (JSON or HTML from a proxy, a handler ignoring ``wt``).
    A body declared binary is left to the decoder, whose message says what is wrong with it."""
    if not start or start[0] == 2 or "octet-stream" in content_type or "javabin" in content_type:
        return
    shown = start[:40].decode("utf-8", "replace")
    raise ValueError(f"the answer from {url} is not javabin: its content type is "
                     f"{content_type or 'not given'} and its body starts {shown!r}")
