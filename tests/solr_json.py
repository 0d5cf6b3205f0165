"""tests/solr_json.py: the JSON text Solr's JSON writer makes (with its default json.nl=flat) for a described
response, the way pysolr receives it: named lists flat, simple ordered maps and MapWriters as objects, dates
as ISO-8601 instants, floats as Java's Float.toString, bytes as Base64, a document list's absent maxScore and
numFoundExact left out."""

from __future__ import annotations

import json
from datetime import datetime, timedelta, timezone

import numpy as np

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def instant(ms: int) -> str:
    text = (EPOCH + timedelta(milliseconds=ms)).isoformat(timespec="milliseconds").replace("+00:00", "Z")
    return text.replace(".000Z", "Z")


def value(d):
    t, v = d["t"], d.get("v")
    if t == "float":
        return float(str(np.float32(v)))
    if t == "date":
        return instant(v)
    if t in ("null", "bool", "byte", "short", "int", "long", "double", "str", "bytes"):
        return v
    if t in ("list", "iter"):
        return [value(x) for x in v]
    if t == "namedlist":
        return [x for name, item in v for x in (name, value(item))]
    if t in ("som", "mapwriter"):
        return {name: value(item) for name, item in v}
    if t == "map":
        return {k["v"]: value(item) for k, item in v}
    if t == "doc":
        doc = {name: value(item) for name, item in d["fields"]}
        if d["children"]:
            doc["_childDocuments_"] = [value(c) for c in d["children"]]
        return doc
    if t == "doclist":
        out = {"numFound": d["numFound"], "start": d["start"]}
        if d["maxScore"] is not None:
            out["maxScore"] = float(str(np.float32(d["maxScore"])))
        if d["numFoundExact"] is not None:
            out["numFoundExact"] = d["numFoundExact"]
        return {**out, "docs": [value(x) for x in d["docs"]]}
    raise ValueError(f"no JSON form for {t!r}")


def text(d) -> bytes:
    return json.dumps(value(d), ensure_ascii=False).encode("utf-8")
