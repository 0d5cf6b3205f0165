"""The errors of velkora.http that a program catches, and what makes them from a body."""

from __future__ import annotations

import functools
import html
import json
import re
from typing import Any

from . import _core

__all__ = ["SolrError", "IncompleteResponse"]


class SolrError(Exception):
    """Solr reported a failure: a non-2xx answer, or a 2xx answer carrying Solr's report in its body.

    ``msg`` and ``code`` are Solr's own (from the ``error`` entry of its javabin or JSON error body; for an HTML
    page, its title or text; for an in-band report of /export or /stream, the ``EXCEPTION`` text, with the
    response header's ``status`` as ``code`` when it is not 0); ``status`` and ``url`` are the HTTP status and
    the requested URL; ``metadata`` holds the ``error.metadata`` pairs (``error-class``, ``root-error-class``,
    ...) and ``trace`` Solr's stack trace, when it sent one.
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
            msg = trace.splitlines()[0] if trace else _page_text(body, content_type)
        code = error.get("code")
        return cls(msg or f"HTTP {status}", code=code if isinstance(code, int) else None, status=status, url=url,
                   metadata=metadata if isinstance(metadata, dict) else None, trace=trace)


class IncompleteResponse(ValueError):
    """An answer that ended cleanly without all the documents it announced, or that Solr marked partial.

    ``expected`` is the number of documents the answer stated (``numFound``, for a /select page the page's
    share of it; None when only ``partialResults`` said so), ``received`` the number that arrived, ``url``
    the requested URL.
    """

    def __init__(self, message: str, *, expected: int | None, received: int, url: str) -> None:
        super().__init__(message)
        self.expected, self.received, self.url = expected, received, url

    def __reduce__(self) -> tuple[Any, tuple[()]]:
        return functools.partial(type(self), str(self), expected=self.expected, received=self.received,
                                 url=self.url), ()


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


def _page_text(body: bytes, content_type: str) -> str:
    """What a body without Solr's error entry says: an HTML page's title (or its text), else the start of the body."""
    text = body[:1 << 16].decode("utf-8", "replace")
    if "html" in content_type or text.lstrip()[:1] == "<":
        title = re.search(r"<title[^>]*>(.*?)</title>", text, re.IGNORECASE | re.DOTALL)
        if title and title.group(1).strip():
            text = title.group(1)
        else:
            text = re.sub(r"<(script|style)\b.*?</\1\s*>", " ", text, flags=re.IGNORECASE | re.DOTALL)
            text = re.sub(r"<[^>]*>", " ", text)
        text = html.unescape(text)
    return " ".join(text.split())[:500]
