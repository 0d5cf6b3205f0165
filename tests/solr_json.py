"""The JSON text Solr's JSON writer makes for a described response, the way pysolr receives it, for each json.nl."""

# Named lists by json.nl; simple ordered maps, maps, MapWriters and documents as objects (a null name as "", another
# map key as its text); dates as Instant.toString, floats as Float.toString, doubles as Double.toString, NaN and
# infinities as strings, bytes as Base64, enums as their string; a document list's absent maxScore and numFoundExact
# left out. Written from the writer's rules, apart from the decoders.

from __future__ import annotations

import base64
import json
import math
from datetime import date
from decimal import Decimal

import numpy as np

STYLES = ("flat", "map", "arrarr", "arrmap", "arrntv")
_DAYS_PER_400_YEARS = 146_097  # the Gregorian calendar repeats every 400 years
_NTV_TYPES = {"byte": "int", "short": "int", "bytes": "str", "enum": "str", "list": "array", "iter": "array",
              "namedlist": "lst", "som": "map", "mapwriter": "map", "mapentry": "map", "inputdoc": "doc"}
# The other kinds keep their own name: null, bool, int, long, float, double, date, str, map, doc, doclist.


def instant(ms: int) -> str:
    # Instant.toString: the day moved by whole 400-year cycles into datetime's range, the year moved back.
    days, ms_of_day = divmod(ms, 86_400_000)
    cycles, day = divmod(days, _DAYS_PER_400_YEARS)
    d = date.fromordinal(date(1970, 1, 1).toordinal() + day)
    year = d.year + 400 * cycles
    text = f"+{year}" if year > 9999 else f"-{-year:04d}" if year < 0 else f"{year:04d}"
    seconds, millis = divmod(ms_of_day, 1000)
    text += f"-{d.month:02d}-{d.day:02d}T{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
    return text + (f".{millis:03d}Z" if millis else "Z")


def _nonfinite(v: float) -> str:
    return '"NaN"' if math.isnan(v) else '"Infinity"' if v > 0 else '"-Infinity"'


def java_float(v: float) -> str:
    # Float.toString as JSON text: the shortest digits that read back as the float, at least two of them when one
    # would do (the nearest such pair), NaN and infinities as strings.
    if not math.isfinite(v):
        return _nonfinite(v)
    x = np.float32(v)
    mantissa, exponent = np.format_float_scientific(x, unique=True, trim="-").split("e")
    if len(mantissa.lstrip("-").replace(".", "")) > 1 or x == 0:
        return f"{mantissa}e{int(exponent)}"
    # The decimals that read back as `x` lie between the midpoints to its neighbours; a midpoint itself reads back
    # as `x` when the significand is even (ties go to even).
    exact = Decimal(abs(float(x)))
    low, high = ((exact + Decimal(float(np.nextafter(abs(x), np.float32(to))))) / 2 for to in (-np.inf, np.inf))
    even = not int(np.abs(x).view(np.uint32)) & 1
    candidates = [Decimal(m).scaleb(e) for e in range(int(exponent) - 2, int(exponent) + 1) for m in range(10, 100)]
    best = min((c for c in candidates if low < c < high or even and c in (low, high)), key=lambda c: abs(c - exact))
    return ("-" if v < 0 else "") + str(best)


def java_double(v: float) -> str:
    return repr(float(v)) if math.isfinite(v) else _nonfinite(v)


def _key(k) -> str:  # the object key Solr writes for a map key description (or a name)
    if k is None or isinstance(k, str):
        return json.dumps(k or "")
    return json.dumps("" if k["t"] == "null" else str(k["v"]).lower() if k["t"] == "bool" else str(k["v"]))


def _object(pairs) -> str:
    return "{" + ",".join(f"{_key(k)}:{v}" for k, v in pairs) + "}"


def _named_list(pairs, nl: str) -> str:
    if nl == "map":
        return _object((k, v) for k, v, _ in pairs)
    name = json.dumps  # None as null
    if nl == "arrarr":
        return "[" + ",".join(f"[{name(k)},{v}]" for k, v, _ in pairs) + "]"
    if nl == "arrmap":
        return "[" + ",".join(v if k is None else f"{{{name(k)}:{v}}}" for k, v, _ in pairs) + "]"
    if nl == "arrntv":
        return "[" + ",".join(f'{{"name":{name(k)},"type":"{t}","value":{v}}}' for k, v, t in pairs) + "]"
    return "[" + ",".join(f"{name(k)},{v}" for k, v, _ in pairs) + "]"


def render(d, nl: str = "flat") -> str:
    t, v = d["t"], d.get("v")
    array = lambda items: "[" + ",".join(render(x, nl) for x in items) + "]"  # noqa: E731
    if t in ("null", "bool", "byte", "short", "int", "long", "str"):
        return json.dumps(v, ensure_ascii=False)
    if t in ("float", "double"):
        return (java_float if t == "float" else java_double)(float(v))
    if t == "date":
        return json.dumps(instant(v))
    if t == "bytes":
        return json.dumps(base64.b64encode(base64.b64decode(v)).decode("ascii"))
    if t == "enum":
        return json.dumps(d["str"], ensure_ascii=False)
    if t in ("list", "iter"):
        return array(v)
    if t == "namedlist":
        return _named_list([(k, render(x, nl), _NTV_TYPES.get(x["t"], x["t"])) for k, x in v], nl)
    if t in ("som", "mapwriter", "map"):
        return _object((k, render(x, nl)) for k, x in v)
    if t == "mapentry":
        return _object([(d["k"], render(v, nl))])
    if t in ("doc", "inputdoc"):
        children = [("_childDocuments_", array(d["children"]))] if d["children"] else []
        return _object([(k, render(x, nl)) for k, x in d["fields"]] + children)
    if t == "doclist":
        head = [("numFound", "long"), ("start", "long"), ("maxScore", "float"), ("numFoundExact", "bool")]
        return _object([(k, render({"t": kind, "v": d[k]}, nl)) for k, kind in head if d[k] is not None]
                       + [("docs", array(d["docs"]))])
    raise ValueError(f"no JSON form for {t!r}")


def text(d, nl: str = "flat") -> bytes:
    return render(d, nl).encode("utf-8")
