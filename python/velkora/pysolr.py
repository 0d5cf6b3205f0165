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
import urllib.request
from typing import Any

import pysolr
import requests
import requests.adapters
import requests.cookies
import requests.models
import requests.utils

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
            response = _direct_get(session, url, self.timeout, self.auth) if method == "get" else None
            if response is None:
                response = getattr(session, method)(url, data=body, headers=headers or {}, timeout=self.timeout,
                                                    auth=self.auth)
            content: bytes = response.content
        except requests.exceptions.Timeout as err:
            raise pysolr.SolrError(f"Connection to server '{url}' timed out: {err}") from err
        except requests.exceptions.ConnectionError as err:
            raise pysolr.SolrError(f"Failed to connect to server at {url}: {err}") from err
        if response.status_code != 200:
            raise SolrError.from_body(content, status=response.status_code, url=response.url,
                                      content_type=response.headers.get("content-type", ""))
        return content


# ---------------------------------------------------------------------------
# The request without the session's per-call machinery

def _direct_get(session: Any, url: str, timeout: Any, auth: Any) -> requests.Response | None:
    """The answer to a GET of `url` sent straight through the session's own adapter (its pool of kept-alive
    connections), with the session's headers; None where the session would do more than that, for the caller
    to send the request through the session itself.

    ``Session.request`` spends about as long as the whole loopback round trip of a small answer merging
    settings that are nearly always empty: cookies, auth (netrc's too), proxies from the environment, hooks,
    query parameters. Where each of them is empty, the request it sends is this one. Plain http only, so that
    no certificate setting is involved. Cookies the answer sets go into the session's jar, and a redirect is
    followed by the session, as ``Session.send`` does both.
    """
    if (type(session) is not requests.Session or auth is not None or session.auth is not None or session.proxies
            or session.params or session.cookies or any(session.hooks.values()) or not url.startswith("http://")
            or "@" in url[7:].split("/", 1)[0]):  # credentials in the URL
        return None
    adapter = session.get_adapter(url)
    if type(adapter) is not requests.adapters.HTTPAdapter:  # a mounted adapter of the caller's may send otherwise
        return None
    verify: Any = session.verify
    if session.trust_env:
        proxies = urllib.request.getproxies()  # what requests reads from the environment for every request
        if "http" in proxies or "all" in proxies or requests.utils.get_netrc_auth(url):
            return None
        if verify is True or verify is None:  # the bundle requests would name (part of the pool's key)
            verify = os.environ.get("REQUESTS_CA_BUNDLE") or os.environ.get("CURL_CA_BUNDLE") or verify
    request = requests.models.PreparedRequest()
    request.prepare_method("GET")
    request.prepare_url(url, None)
    request.prepare_headers({name: value for name, value in session.headers.items() if value is not None})
    request.prepare_body(None, None)
    request.hooks = {"response": []}
    response = adapter.send(request, stream=True, timeout=timeout, verify=verify, cert=session.cert, proxies={})
    if "set-cookie" in response.headers or "set-cookie2" in response.headers:
        requests.cookies.extract_cookies_to_jar(session.cookies, request, response.raw)  # type: ignore[no-untyped-call]
    if response.is_redirect:  # followed by the session, hop by hop, as it follows its own
        request.prepare_cookies(requests.cookies.RequestsCookieJar())  # the session's jar as it was asked: empty
        history = [response, *session.resolve_redirects(response, request, stream=session.stream, timeout=timeout,
                                                        verify=verify, cert=session.cert, proxies={})]
        response = history.pop()
        response.history = history
    return response
