"""A drop-in `pysolr.Solr` whose search() asks for javabin and decodes it with velkora.

``velkora.pysolr.Solr`` takes the same arguments as ``pysolr.Solr``; its ``search()`` returns pysolr's own
``Results`` with the same ``docs``, ``hits``, ``raw_response``, facets, highlighting, spellcheck, stats,
grouping, debug and cursor paging pysolr builds from Solr's JSON, so code written for pysolr keeps working.
The answer is decoded natively into the shape of Solr's JSON writer (see `velkora.loads_solr_json`): javabin
tags dates, floats and named lists apart, so no schema is asked for. A ``json.nl`` the caller passes shapes
the named lists as it would shape Solr's JSON. Everything but ``search()`` is pysolr's.
"""

from __future__ import annotations

import logging
import os
import re
import urllib.request
from typing import Any, NamedTuple

import pysolr
import requests
import requests.adapters
import requests.cookies
import requests.models
import requests.utils
import urllib3
import urllib3.exceptions
from urllib3.util import Timeout

from . import _core, http

__all__ = ["Solr", "SolrError"]

LOG = logging.getLogger(__name__)


class SolrError(pysolr.SolrError, http.SolrError):  # type: ignore[misc]
    """A non-200 answer: pysolr's own error (and its message), carrying `velkora.http.SolrError`'s fields."""

    def __init__(self, msg: str, *, code: int | None, status: int, url: str,
                 metadata: dict[str, Any] | None = None, trace: str | None = None) -> None:
        http.SolrError.__init__(self, msg, code=code, status=status, url=url, metadata=metadata, trace=trace)
        self.args = (f"Solr responded with an error (HTTP {status}): [Reason: {msg}]",)


# ---------------------------------------------------------------------------
# The client

_STYLES = frozenset(["flat", "map", "arrarr", "arrmap", "arrntv"])


def _named_list_style(json_nl: Any) -> str:
    """Solr's JSON writer takes an unknown json.nl for flat, so does this."""
    return json_nl if json_nl in _STYLES else "flat"

class Solr(pysolr.Solr):  # type: ignore[misc]
    """``pysolr.Solr`` whose ``search()`` asks for ``wt=javabin`` and decodes with velkora."""

    def search(self, q: str, search_handler: str | None = None, **kwargs: Any) -> Any:
        """pysolr's ``search``: same arguments, same ``Results``, the answer read as javabin."""
        params = {"q": q}
        params.update(kwargs)
        json_nl = params.get("json.nl", "flat")
        if isinstance(json_nl, (list, tuple)):  # a repeated parameter: Solr takes the first
            json_nl = json_nl[0] if json_nl else "flat"
        decoded = _core._deserialize_solr_json(self._select_javabin(dict(params), search_handler),
                                               _named_list_style(json_nl))
        LOG.debug("Found '%s' search results.", (decoded.get("response", {}) or {}).get("numFound", 0))
        cursor_mark = params.get("cursorMark", None)
        if cursor_mark != decoded.get("nextCursorMark", cursor_mark):
            def next_page_query() -> Any:
                following = params.copy()
                following["cursorMark"] = decoded["nextCursorMark"]
                return self.search(search_handler=search_handler, **following)
            return self.results_cls(decoded, next_page_query)
        return self.results_cls(decoded)

    def _select_javabin(self, params: dict[str, Any], handler: str | None) -> bytes:
        """pysolr's ``_select`` with ``wt=javabin``, the body as bytes."""
        params["wt"] = "javabin"
        custom_handler = handler or self.search_handler
        handler = "select"
        if custom_handler:
            if self.use_qt_param:
                params["qt"] = custom_handler
            else:
                handler = custom_handler
        encoded = pysolr.safe_urlencode(params, True)
        if len(encoded) < 1024:
            return self._get_bytes("get", f"{handler}/?{encoded}")
        return self._get_bytes("post", f"{handler}/", body=encoded.encode("utf-8"),
                               headers={"Content-type": "application/x-www-form-urlencoded; charset=utf-8"})

    def _get_bytes(self, method: str, path: str, body: bytes | None = None,
                   headers: dict[str, str] | None = None) -> bytes:
        """pysolr's ``_send_request``, keeping the body as bytes; errors as pysolr raises them."""
        url = self._create_full_url(path)
        session = self.get_session()
        try:
            answer = _direct_get(session, url, self.timeout, self.auth) if method == "get" else None
            if answer is None:
                response = getattr(session, method)(url, data=body, headers=headers or {}, timeout=self.timeout,
                                                    auth=self.auth)
                answer = _Answer(response.status_code, response.url, response.headers.get("content-type", ""),
                                 response.content)
        except requests.exceptions.Timeout as err:
            raise pysolr.SolrError(f"Connection to server '{url}' timed out: {err}") from err
        except requests.exceptions.ConnectionError as err:
            raise pysolr.SolrError(f"Failed to connect to server at {url}: {err}") from err
        if answer.status != 200:
            raise SolrError.from_body(answer.content, status=answer.status, url=answer.url,
                                      content_type=answer.content_type)
        return answer.content


# ---------------------------------------------------------------------------
# The request without the session's per-call machinery

class _Answer(NamedTuple):
    status: int
    url: str
    content_type: str
    content: bytes


# URLs that requests' prepare_url gives back unchanged: plain http, a lower-case host name or IPv4 address, a port
# without a leading zero, a path without dot segments, no fragment, and nothing percent-encoded but characters
# outside the unreserved set, in upper-case hex (as urlencode writes a query).
_ESCAPED = r"%(?!2[DE]|3[0-9]|[46][1-9A-F]|[57][0-9A]|5F|7E)[0-9A-F]{2}"
_PREPARED = re.compile(r"http://[a-z0-9][a-z0-9.-]*(?::(?P<port>[1-9][0-9]{0,4}))?"
                       rf"(?:/(?!\.\.?(?:[/?]|$))(?:[A-Za-z0-9._~!$&'()*+,;=:@-]|{_ESCAPED})*)+"
                       rf"(?:\?(?:[A-Za-z0-9._~!$&'()*+,;=:@/?-]|{_ESCAPED})*)?")


def _prepared(url: str) -> bool:
    """Whether `url` is already as requests would send it, so that preparing it again can be skipped."""
    match = _PREPARED.fullmatch(url)
    return match is not None and int(match["port"] or 0) <= 65535


def _proxy_in_environment() -> bool:
    """Whether the environment may name a proxy. Where the environment is all there is to it, only its names are
    read, and a name with "_proxy" anywhere in it counts: the session then sends, and sorts it out."""
    if urllib.request.getproxies is not urllib.request.getproxies_environment:  # the system's settings count too
        proxies = urllib.request.getproxies()
        return "http" in proxies or "all" in proxies
    return "_proxy" in "\0".join(os.environ).lower()


def _direct_get(session: Any, url: str, timeout: Any, auth: Any) -> _Answer | None:
    """The answer to a GET of `url` sent straight through the connection pool of the session's own adapter (its
    kept-alive connections, its pool sizes and retries), with the session's headers; None where the session
    would do more than that, for the caller to send the request through the session itself.

    ``Session.request`` spends about as long as the whole loopback round trip of a small answer merging
    settings that are nearly always empty: cookies, auth (netrc's too), proxies from the environment, hooks,
    query parameters; the adapter then builds a `requests.Response` the caller reads once. Where each of those
    settings is empty, the request sent here is the one the session would send, its errors the adapter's.
    Plain http without a client certificate only, so that no certificate setting is involved. Cookies the
    answer sets go into the session's jar, and a redirect is followed by the session, as ``Session.send`` does
    both. An adapter of a class of its own may send otherwise: then the session sends.
    """
    if (type(session) is not requests.Session or auth is not None or session.auth is not None or session.proxies
            or session.params or session.cookies or session.cert is not None or any(session.hooks.values())
            or not url.startswith("http://") or "@" in url[7:].split("/", 1)[0]):  # credentials in the URL
        return None
    adapter = session.get_adapter(url)
    if type(adapter) is not requests.adapters.HTTPAdapter:
        return None
    verify: Any = session.verify
    if session.trust_env:
        if _proxy_in_environment() or requests.utils.get_netrc_auth(url):
            return None
        if verify is True or verify is None:  # the bundle requests would name (part of the pool's key)
            verify = os.environ.get("REQUESTS_CA_BUNDLE") or os.environ.get("CURL_CA_BUNDLE") or verify
    request = requests.models.PreparedRequest()
    request.prepare_method("GET")
    if _prepared(url):
        request.url = url
    else:
        request.prepare_url(url, None)
    request.prepare_headers({name: value for name, value in session.headers.items() if value is not None})
    if isinstance(timeout, tuple):
        try:
            connect, read = timeout
            timeout = Timeout(connect=connect, read=read)
        except ValueError:
            return None  # the session raises its own error for it
    elif not isinstance(timeout, Timeout):
        timeout = Timeout(connect=timeout, read=timeout)
    # get_connection_with_tls_context without its look for a proxy (there is none), raising what it raises
    try:
        host, pool_kwargs = adapter.build_connection_pool_key_attributes(request, verify, None)
    except ValueError as err:
        raise requests.exceptions.InvalidURL(err, request=request)
    try:
        pool = adapter.poolmanager.connection_from_host(**host, pool_kwargs=pool_kwargs)
    except urllib3.exceptions.LocationValueError as err:
        raise requests.exceptions.InvalidURL(err, request=request)
    adapter.cert_verify(pool, request.url, verify, None)  # type: ignore[no-untyped-call]
    raw = _urlopen(pool, request, adapter.max_retries, timeout)
    if "set-cookie" in raw.headers or "set-cookie2" in raw.headers:
        requests.cookies.extract_cookies_to_jar(session.cookies, request, raw)  # type: ignore[no-untyped-call]
    if raw.status in requests.models.REDIRECT_STATI and "location" in raw.headers:
        # followed by the session, hop by hop, as it follows its own
        response = adapter.build_response(request, raw)
        request.prepare_cookies(requests.cookies.RequestsCookieJar())  # the session's jar as it was asked: empty
        history = [response, *session.resolve_redirects(response, request, stream=session.stream, timeout=timeout,
                                                        verify=verify, cert=None, proxies={})]
        response = history.pop()
        response.history = history
        return _Answer(response.status_code, response.url, response.headers.get("content-type", ""),
                       response.content)
    return _Answer(raw.status, str(request.url), raw.headers.get("content-type", ""), _content(raw))


def _urlopen(pool: Any, request: requests.models.PreparedRequest, retries: Any, timeout: Timeout) -> Any:
    """``pool.urlopen`` as ``HTTPAdapter.send`` calls it, its errors the ones the adapter raises."""
    try:
        return pool.urlopen(method="GET", url=request.path_url, body=None, headers=request.headers, redirect=False,
                            assert_same_host=False, preload_content=False, decode_content=False, retries=retries,
                            timeout=timeout, chunked=False)
    except (urllib3.exceptions.ProtocolError, OSError) as err:
        raise requests.exceptions.ConnectionError(err, request=request)
    except urllib3.exceptions.MaxRetryError as err:
        reason = err.reason
        if isinstance(reason, urllib3.exceptions.ConnectTimeoutError) and \
                not isinstance(reason, urllib3.exceptions.NewConnectionError):
            raise requests.exceptions.ConnectTimeout(err, request=request)
        if isinstance(reason, urllib3.exceptions.ResponseError):
            raise requests.exceptions.RetryError(err, request=request)
        raise requests.exceptions.ConnectionError(err, request=request)
    except urllib3.exceptions.ClosedPoolError as err:
        raise requests.exceptions.ConnectionError(err, request=request)
    except urllib3.exceptions.ReadTimeoutError as err:
        raise requests.exceptions.ReadTimeout(err, request=request)
    except urllib3.exceptions.InvalidHeader as err:
        raise requests.exceptions.InvalidHeader(err, request=request)


def _content(raw: Any) -> bytes:
    """The body inflated, read as `requests.Response.content` reads it, its errors the ones that raises."""
    try:
        return b"".join(raw.stream(requests.models.CONTENT_CHUNK_SIZE, decode_content=True))
    except urllib3.exceptions.ProtocolError as err:
        raise requests.exceptions.ChunkedEncodingError(err)
    except urllib3.exceptions.DecodeError as err:
        raise requests.exceptions.ContentDecodingError(err)
    except urllib3.exceptions.ReadTimeoutError as err:
        raise requests.exceptions.ConnectionError(err)
