"""What the Solr test bodies hold: each `NAME.bin` comes with `NAME.json`, a typed description of the object
graph Solr encoded (every value {"t": kind, ...}), from which `rebuild` writes the body again, `to_python` gives
what `velkora.deserialize` returns and `to_json_text` what `velkora.deserialize_json` returns."""

from __future__ import annotations

import base64
import gzip
import json
import math
import struct
from json.encoder import encode_basestring as json_string  # escapes only '"', '\\' and controls
from pathlib import Path

import javabin as jb

# The shared test data sits beside the project: ../shared from the repository root.
SOLR_DATA = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "solr"
# Bodies that come with a description, smallest first (select_large is ~5 MB).
DESCRIBED = ("javabin_backcompat_child_docs", "javabin_backcompat", "child_docs", "input_docs",
             "select_small", "stream_like", "export_like", "all_types", "select_large")
SCALARS = frozenset(["null", "bool", "byte", "short", "int", "long", "float", "double", "date", "str", "bytes"])
UNHASHABLE = "expected hashable map key at byte offset {}, found unhashable value"


def body(name: str) -> bytes:
    return (SOLR_DATA / f"{name}.bin").read_bytes()


def load(name: str):
    """The description `name` (e.g. "select_small"), from .json or .json.gz."""
    path = SOLR_DATA / f"{name}.json"
    with (open(path, "rb") if path.exists() else gzip.open(f"{path}.gz")) as f:
        return json.load(f)


class Unhashable(Exception):
    """A map entry key Python cannot hash (a document, list or dict): `deserialize` refuses it."""


def _scalar(d):
    """The Python value of a scalar; a float may be "NaN", "Infinity" or "-Infinity"."""
    t, v = d["t"], d.get("v")
    return base64.b64decode(v) if t == "bytes" else float(v) if t in ("float", "double") else v


def _named(d) -> list:
    """(name, description) pairs of a value both decoders present as a dict."""
    t = d["t"]
    if t in ("doc", "inputdoc"):  # anonymous children of either in a list under "_childDocuments_"
        return d["fields"] + [("_childDocuments_", {"t": "list", "v": d["children"]})] * bool(d["children"])
    if t == "doclist":
        return [("numFound", {"t": "long", "v": d["numFound"]}), ("start", {"t": "long", "v": d["start"]}),
                ("maxScore", {"t": "float" if d["maxScore"] is not None else "null", "v": d["maxScore"]}),
                ("numFoundExact", {"t": "bool", "v": d["numFoundExact"]}), ("docs", {"t": "list", "v": d["docs"]})]
    if t == "enum":
        return [("int", {"t": "int", "v": d["int"]}), ("string", {"t": "str", "v": d["str"]})]
    if t in ("namedlist", "som", "mapwriter"):
        return d["v"]
    raise ValueError(f"unknown description type {t!r}")


# ---------------------------------------------------------------------------
# Wire form, as Solr's encoder writes it

_WIRE_SCALARS = {"null": jb.wire, "bool": jb.Bool, "byte": jb.Byte, "short": jb.Short, "int": jb.solr_int,
                 "long": jb.solr_long, "float": jb.Float, "double": jb.Double, "date": jb.Date, "str": jb.Str,
                 "bytes": jb.Bytes}
_WIRE_NAMED = {"namedlist": jb.NamedList, "som": jb.OrderedMap, "mapwriter": jb.MapEntryIter}


class _Noted(jb.Wire):

    def __init__(self, inner, note) -> None:
        self.inner, self.note = inner, note

    def write_to(self, w: jb.Writer) -> None:
        w.write(self.inner)
        self.note(len(w.out))


def to_wire(d, note=None) -> jb.Wire:
    """The marker tree for `d`; `note` gets the offset just after each map entry value with an unhashable key."""
    t = d["t"]
    if t in SCALARS:
        return _WIRE_SCALARS[t](_scalar(d))
    if t in ("list", "iter"):
        return (jb.Arr if t == "list" else jb.Iter)([to_wire(x, note) for x in d["v"]])
    if t == "map":  # str keys of a Map are written as extern strings, all others as values
        return jb.Map([(k["v"] if k["t"] == "str" else to_wire(k, note), to_wire(v, note)) for k, v in d["v"]])
    if t in _WIRE_NAMED:
        return _WIRE_NAMED[t]([(k, to_wire(v, note)) for k, v in d["v"]])
    if t in ("doc", "inputdoc"):
        return (jb.Doc if t == "doc" else jb.InputDoc)(
            [(k, to_wire(v, note)) for k, v in d["fields"]], [to_wire(c, note) for c in d["children"]])
    if t == "doclist":
        return jb.DocList(d["numFound"], d["start"], d["maxScore"], d["numFoundExact"],
                          [to_wire(x, note) for x in d["docs"]])
    if t == "enum":
        return jb.EnumValue(d["int"], jb.Str(d["str"]))
    if t == "mapentry":
        value, noted = to_wire(d["v"], note), note and d["k"]["t"] not in SCALARS
        return jb.MapEntry(to_wire(d["k"], note), _Noted(value, note) if noted else value)
    raise ValueError(f"unknown description type {t!r}")


def rebuild(d) -> tuple[bytes, str | None]:
    """The body Solr wrote for `d`, and the ValueError text `deserialize` raises for it (None if it decodes):
    it stops just after the value of the first map entry whose key is unhashable."""
    offsets: list[int] = []
    data = jb.encode(to_wire(d, offsets.append))
    return data, UNHASHABLE.format(offsets[0]) if offsets else None


# ---------------------------------------------------------------------------
# Python objects, as `deserialize` builds them

def to_python(d):
    """The object `deserialize` returns for `d`; raises Unhashable where it must refuse it."""
    t = d["t"]
    if t in SCALARS:
        return _scalar(d)
    if t in ("list", "iter"):
        return [to_python(x) for x in d["v"]]
    if t == "map":  # a dict when every key is a string, else [key, value] pairs
        pairs = [[to_python(k), to_python(v)] for k, v in d["v"]]
        return dict(pairs) if all(k["t"] == "str" for k, _ in d["v"]) else pairs
    if t == "mapentry":
        k, v = to_python(d["k"]), to_python(d["v"])
        if d["k"]["t"] not in SCALARS:
            raise Unhashable(f"map entry key of type {type(k).__name__}")
        return {k: v}
    return {k: to_python(v) for k, v in _named(d)}


# ---------------------------------------------------------------------------
# JSON text, as `deserialize_json` writes it

def json_float_text(x: float) -> str:
    """A finite double with its shortest round-trip digits: plain when the exponent of the first digit is in
    -5..15 (".0" when there is no fraction), else d[.ddd]e(+|-)N."""
    text = repr(x)  # plain for exponents -4..15, else d[.ddd]e(+|-)NN
    if "e" not in text:
        return text
    mantissa, exp = text.split("e")
    if int(exp) != -5:
        return f"{mantissa}e{int(exp):+d}"
    return "-" * mantissa.startswith("-") + "0.0000" + mantissa.lstrip("-").replace(".", "")


def _json_scalar(v) -> str:
    if isinstance(v, float):
        if math.isnan(v):
            return '"NaN"'
        return json_float_text(v) if math.isfinite(v) else '"Infinity"' if v > 0 else '"-Infinity"'
    if isinstance(v, bytes):  # re-encoded: the text must be standard padded base64
        v = base64.b64encode(v).decode("ascii")
    return json_string(v) if isinstance(v, str) else json.dumps(v)


def json_object(pairs) -> str:
    """Object text: a later duplicate key wins, keys sorted by their UTF-8 bytes."""
    merged = dict(pairs)
    keys = sorted(merged, key=lambda k: k.encode("utf-8", "surrogatepass"))
    return "{" + ",".join(f"{json_string(k)}:{merged[k]}" for k in keys) + "}"


def to_json_text(d) -> str:
    """The exact text `deserialize_json` returns for `d` (it takes any map entry key)."""
    t = d["t"]
    if t in SCALARS:
        return _json_scalar(_scalar(d))
    if t in ("list", "iter"):
        return "[" + ",".join(map(to_json_text, d["v"])) + "]"
    if t in ("map", "mapentry"):  # an object when every key is a string, else an array of [key, value]
        pairs = d["v"] if t == "map" else [(d["k"], d["v"])]
        if all(k["t"] == "str" for k, _ in pairs):
            return json_object((k["v"], to_json_text(v)) for k, v in pairs)
        return "[" + ",".join(f"[{to_json_text(k)},{to_json_text(v)}]" for k, v in pairs) + "]"
    return json_object(("" if k is None else k, to_json_text(v)) for k, v in _named(d))


# ---------------------------------------------------------------------------
# Strict comparison of decoded objects

def assert_same(actual, expected, path: str = "$") -> None:
    """Fail unless `actual` is `expected` in type, order and value: True is not 1, 1.0 is not 1, -0.0 is not
    0.0, dict key order counts and NaN equals NaN."""
    if type(actual) is not type(expected):
        raise AssertionError(f"{path}: type {type(actual).__name__} != {type(expected).__name__}"
                             f" ({_short(actual)} vs {_short(expected)})")
    if isinstance(expected, float):
        if struct.pack(">d", actual) != struct.pack(">d", expected) and not (math.isnan(actual) and
                                                                             math.isnan(expected)):
            raise AssertionError(f"{path}: {actual!r} != {expected!r}")
    elif isinstance(expected, dict):
        if [(type(k), k) for k in actual] != [(type(k), k) for k in expected]:  # maybe NaN keys only
            assert_same(list(actual), list(expected), f"{path}.keys()")
        for (k, a), e in zip(actual.items(), expected.values()):
            assert_same(a, e, f"{path}[{k!r}]")
    elif isinstance(expected, list):
        if len(actual) != len(expected):
            raise AssertionError(f"{path}: length {len(actual)} != {len(expected)}")
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_same(a, e, f"{path}[{i}]")
    elif actual != expected:
        raise AssertionError(f"{path}: {_short(actual)} != {_short(expected)}")


def _short(v, limit: int = 120) -> str:
    return repr(v)[:limit] + "..." * (len(repr(v)) > limit)
