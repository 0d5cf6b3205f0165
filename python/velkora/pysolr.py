"""python/velkora/pysolr.py: a drop-in `pysolr.Solr` whose search() asks for javabin and decodes it with velkora.

``velkora.pysolr.Solr`` takes the same arguments as ``pysolr.Solr``; its ``search()`` returns pysolr's own
``Results`` with the same ``docs``, ``hits`` and ``raw_response`` pysolr builds from Solr's JSON, so code
written for pysolr keeps working. Javabin carries types JSON writes as text, so the answer is brought to the
shape of Solr's JSON writer: dates become ISO-8601 text, float fields the shortest decimal of their 32-bit
value, bytes Base64, and the named lists JSON writes flat (facet field and range counts, spellcheck
suggestions and collations, terms) become flat [name, value, ...] lists. Which fields hold dates and floats
comes from the collection's Schema API (one ``/schema`` request per `Solr` object); when it cannot be asked,
dates stay integer milliseconds and floats their exact value. Everything but ``search()`` is pysolr's.
"""

from __future__ import annotations

import base64
import logging
import struct
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from typing import Any

import pysolr
import requests

from . import _core, http

__all__ = ["Solr", "SolrError"]

LOG = logging.getLogger(__name__)
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_DATE_CLASSES = frozenset(["DatePointField", "TrieDateField", "DateField"])
_FLOAT_CLASSES = frozenset(["FloatPointField", "TrieFloatField", "FloatField"])


class SolrError(pysolr.SolrError, http.SolrError):  # type: ignore[misc]
    """A non-200 answer: pysolr's own error (and its message), carrying `velkora.http.SolrError`'s fields."""

    def __init__(self, msg: str, *, code: int | None, status: int, url: str,
                 metadata: dict[str, Any] | None = None, trace: str | None = None) -> None:
        http.SolrError.__init__(self, msg, code=code, status=status, url=url, metadata=metadata, trace=trace)
        self.args = (f"Solr responded with an error (HTTP {status}): [Reason: {msg}]",)


# ---------------------------------------------------------------------------
# The shape of Solr's JSON writer

def iso_instant(ms: int) -> str:
    """A date as Solr's JSON writer prints it: ``2012-01-28T06:22:02Z``, milliseconds only when not zero."""
    moment = _EPOCH + timedelta(milliseconds=ms)
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    return f"{text}.{ms % 1000:03d}Z" if ms % 1000 else f"{text}Z"


def float32_value(value: float) -> float:
    """The shortest decimal that reads back as the same 32-bit float, as Java's Float.toString writes it."""
    if value != value or value in (float("inf"), float("-inf")):
        return value
    for digits in range(1, 10):
        shortest = float(f"{value:.{digits}g}")
        if struct.unpack("f", struct.pack("f", shortest))[0] == value:
            return shortest
    return value


def _plain(value: Any) -> Any:
    """Values JSON has no form for: bytes as Base64, in any container."""
    if isinstance(value, bytes):
        return base64.b64encode(value).decode("ascii")
    if isinstance(value, list):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


def _flat(named: Any) -> Any:
    """A named list as JSON writes it by default: [name, value, name, value, ...]."""
    return [x for pair in named.items() for x in pair] if isinstance(named, dict) else named


def _each(container: Any, convert: Callable[[Any], Any]) -> Any:
    return {k: convert(v) for k, v in container.items()} if isinstance(container, dict) else container


def _facet_range(facet_range: Any, is_float: bool) -> Any:
    """A range facet: its counts flat; on a float field its bounds and gap are floats, as Java writes them."""
    if not isinstance(facet_range, dict):
        return facet_range
    out = {k: float32_value(v) if is_float and isinstance(v, float) else v for k, v in facet_range.items()}
    if "counts" in out:
        out["counts"] = _flat(out["counts"])
    return out


def _facet_counts(facets: Any, kinds: _FieldKinds) -> Any:
    if not isinstance(facets, dict):
        return facets
    out = dict(facets)
    if "facet_fields" in out:
        out["facet_fields"] = _each(out["facet_fields"], _flat)
    if isinstance(out.get("facet_ranges"), dict):
        out["facet_ranges"] = {name: _facet_range(r, kinds(name) == "float")
                               for name, r in out["facet_ranges"].items()}
    return out


def _spellcheck(spellcheck: Any) -> Any:
    if not isinstance(spellcheck, dict):
        return spellcheck
    return {k: _flat(v) if k in ("suggestions", "collations") else v for k, v in spellcheck.items()}


def _terms(terms: Any) -> Any:
    return _each(terms, _flat)


# Where else Solr's JSON writer writes named lists flat, from the top of a response.
_FLAT: dict[str, Callable[[Any], Any]] = {"spellcheck": _spellcheck, "terms": _terms}
_DOCLIST_KEYS = ["numFound", "start", "maxScore", "numFoundExact", "docs"]


class _FieldKinds:
    """Which fields hold dates and floats, from a Schema API ``/schema`` answer; fields and dynamic-field
    patterns, longest pattern first as Solr matches them."""

    def __init__(self, schema: dict[str, Any] | None) -> None:
        schema = schema or {}
        classes = {t.get("name"): str(t.get("class", "")).rsplit(".", 1)[-1] for t in schema.get("fieldTypes", [])}

        def kind(field: dict[str, Any]) -> str | None:
            cls = classes.get(field.get("type"))
            return "date" if cls in _DATE_CLASSES else "float" if cls in _FLOAT_CLASSES else None

        self.known: dict[str, str | None] = {f["name"]: kind(f) for f in schema.get("fields", [])}
        self.known.setdefault("score", "float")
        self.patterns = sorted(((f["name"], kind(f)) for f in schema.get("dynamicFields", [])),
                               key=lambda p: -len(p[0]))

    def __call__(self, name: str) -> str | None:
        if name not in self.known:
            self.known[name] = next((k for p, k in self.patterns if (p.startswith("*") and name.endswith(p[1:]))
                                     or (p.endswith("*") and name.startswith(p[:-1]))), None)
        return self.known[name]

    def document(self, doc: dict[str, Any]) -> dict[str, Any]:
        for name, value in doc.items():
            kind = self(name)
            if kind == "date":
                doc[name] = [iso_instant(v) for v in value] if isinstance(value, list) else \
                    iso_instant(value) if isinstance(value, int) else value
            elif kind == "float":
                doc[name] = [float32_value(v) for v in value] if isinstance(value, list) else \
                    float32_value(value) if isinstance(value, float) else value
            elif isinstance(value, (bytes, list)):
                doc[name] = _plain(value) if not (isinstance(value, list) and value and isinstance(value[0], dict)) \
                    else [self.document(child) for child in value]  # child documents
            elif isinstance(value, dict):
                doc[name] = self.document(value)
        return doc

    def doclist(self, value: Any) -> Any:
        if not (isinstance(value, dict) and list(value) == _DOCLIST_KEYS):
            return value
        out = {k: v for k, v in value.items() if v is not None or k not in ("maxScore", "numFoundExact")}
        if isinstance(out.get("maxScore"), float):
            out["maxScore"] = float32_value(out["maxScore"])
        out["docs"] = [self.document(d) for d in value["docs"]]
        return out


def as_solr_json(decoded: Any, kinds: _FieldKinds) -> Any:
    """`decoded` (from `velkora.deserialize`) in the shape pysolr gets from Solr's JSON for the same answer."""
    if not isinstance(decoded, dict):
        return decoded
    out = {}
    for key, value in decoded.items():
        if key in ("response", "match"):
            out[key] = kinds.doclist(value)
        elif key == "grouped" and isinstance(value, dict):
            out[key] = _plain({field: {k: ([{**g, "doclist": kinds.doclist(g.get("doclist"))} for g in v]
                                           if k == "groups" else kinds.doclist(v) if k == "doclist" else v)
                                       for k, v in group.items()} if isinstance(group, dict) else group
                               for field, group in value.items()})
        elif key == "facet_counts":
            out[key] = _plain(_facet_counts(value, kinds))
        elif key in ("expanded", "moreLikeThis"):  # document lists by group value or by document id
            out[key] = _each(value, kinds.doclist)
        elif key in _FLAT:
            out[key] = _plain(_FLAT[key](value))
        else:
            out[key] = _plain(value)
    return out


# ---------------------------------------------------------------------------
# The client

class Solr(pysolr.Solr):  # type: ignore[misc]
    """``pysolr.Solr`` whose ``search()`` asks for ``wt=javabin`` and decodes with velkora."""

    _field_kinds: _FieldKinds | None = None

    def field_kinds(self) -> _FieldKinds:
        """Date and float fields of the collection, asked of its Schema API once."""
        if self._field_kinds is None:
            try:
                answer = _core.deserialize(self._get_bytes("get", "schema?wt=javabin"))
                self._field_kinds = _FieldKinds(answer.get("schema") if isinstance(answer, dict) else None)
            except (pysolr.SolrError, ValueError) as error:
                LOG.warning("no Schema API at %s (%s): dates and floats keep their javabin values", self.url, error)
                self._field_kinds = _FieldKinds(None)
        return self._field_kinds

    def search(self, q: str, search_handler: str | None = None, **kwargs: Any) -> Any:
        """pysolr's ``search``: same arguments, same ``Results``, the answer read as javabin."""
        params = {"q": q}
        params.update(kwargs)
        decoded = as_solr_json(_core.deserialize(self._select_javabin(dict(params), search_handler)),
                               self.field_kinds())
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
        try:
            response = getattr(self.get_session(), method)(url, data=body, headers=headers or {},
                                                           timeout=self.timeout, auth=self.auth)
        except requests.exceptions.Timeout as err:
            raise pysolr.SolrError(f"Connection to server '{url}' timed out: {err}") from err
        except requests.exceptions.ConnectionError as err:
            raise pysolr.SolrError(f"Failed to connect to server at {url}: {err}") from err
        if response.status_code != 200:
            raise SolrError.from_body(response.content, status=response.status_code, url=response.url,
                                      content_type=response.headers.get("content-type", ""))
        content: bytes = response.content
        return content
