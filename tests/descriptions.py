"""tests/descriptions.py: what the Solr test bodies hold, in three forms.

Each `NAME.bin` under the shared Solr test data comes with `NAME.json`, a
typed description of the Java object graph Solr encoded (every value an
object {"t": kind, ...}).  From a description this module builds

- `to_wire(desc)`: the `tests.javabin` marker tree that writes the same bytes
  Solr wrote (names as extern strings, ints and longs in Solr's chosen form);
- `to_python(desc)`: the object `velkora.deserialize` returns for the body
  (anonymous children of documents and of input documents alike in a list
  under "_childDocuments_"), or a `DecodeFailure` raised where `deserialize`
  must refuse it (a map entry keyed by a document or list);
- `deserialize_error(desc)`: that refusal's exact ValueError text, offset
  included (None when the body decodes);
- `to_json_text(desc)`: the text `velkora.deserialize_json` returns for it
  (the JSON path takes any map entry key).

`assert_same(actual, expected)` compares decoded objects strictly: types must
match (True is not 1, 1.0 is not 1), dict key order counts, NaN equals NaN
and -0.0 differs from 0.0.
"""

from __future__ import annotations

import base64
import decimal
import gzip
import json
import math
import struct
from pathlib import Path

try:
    from . import javabin as jb
except ImportError:  # imported as a top-level module (tests/ on sys.path)
    import javabin as jb

__all__ = [
    "SOLR_DATA", "DESCRIBED", "body", "load", "DecodeFailure", "Unhashable",
    "to_wire", "to_python", "deserialize_error", "to_json_text",
    "json_float_text", "json_string", "assert_same",
]

# The shared test data sits beside the project: ../shared from the repository root.
SOLR_DATA = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "solr"


# Bodies that come with a description, smallest first (select_large is ~5 MB).
DESCRIBED = (
    "javabin_backcompat_child_docs", "javabin_backcompat", "child_docs", "input_docs",
    "select_small", "stream_like", "export_like", "all_types", "select_large",
)


def body(name: str) -> bytes:
    """The Solr-encoded body `name`.bin."""
    return (SOLR_DATA / f"{name}.bin").read_bytes()


def load(name: str):
    """The description `name` (e.g. "select_small"), from .json or .json.gz."""
    path = SOLR_DATA / f"{name}.json"
    if path.exists():
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    with gzip.open(SOLR_DATA / f"{name}.json.gz", "rt", encoding="utf-8") as f:
        return json.load(f)


class DecodeFailure(Exception):
    """`deserialize` must refuse the body; `pattern` matches its ValueError text."""

    pattern = ""


class Unhashable(DecodeFailure):
    """A MAP_ENTRY key Python cannot hash (a document, list or dict).

    The entry's key and value are read first; the error is reported just
    after the value.
    """

    pattern = r"^expected hashable map key at byte offset \d+, found unhashable value$"


def _number(v) -> float:
    """A description float: a JSON number, or "NaN" / "Infinity" / "-Infinity"."""
    if isinstance(v, str):
        return {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}[v]
    return float(v)


# ---------------------------------------------------------------------------
# Wire form, as Solr's encoder writes it


def to_wire(d) -> jb.Wire:
    """The marker tree that encodes description `d` byte for byte as Solr did."""
    return _build(d, None)


def _build(d, note) -> jb.Wire:
    """`to_wire`, optionally noting where `deserialize` stops (see deserialize_error)."""
    t = d["t"]
    if t == "null":
        return jb.Null
    if t == "bool":
        return jb.Bool(d["v"])
    if t == "byte":
        return jb.Byte(d["v"])
    if t == "short":
        return jb.Short(d["v"])
    if t == "int":
        return jb.solr_int(d["v"])
    if t == "long":
        return jb.solr_long(d["v"])
    if t == "float":
        return jb.Float(_number(d["v"]))
    if t == "double":
        return jb.Double(_number(d["v"]))
    if t == "date":
        return jb.Date(d["v"])
    if t == "str":
        return jb.Str(d["v"])
    if t == "bytes":
        return jb.Bytes(base64.b64decode(d["v"]))
    if t == "list":
        return jb.Arr([_build(x, note) for x in d["v"]])
    if t == "iter":
        return jb.Iter([_build(x, note) for x in d["v"]])
    if t == "map":
        # String keys of a Map are written as extern strings, all others as values.
        return jb.Map([(jb.Extern(k["v"]) if k["t"] == "str" else _build(k, note),
                        _build(v, note)) for k, v in d["v"]])
    if t in ("namedlist", "som", "mapwriter"):
        cls = {"namedlist": jb.NamedList, "som": jb.OrderedMap, "mapwriter": jb.MapEntryIter}[t]
        return cls([(k, _build(v, note)) for k, v in d["v"]])
    if t == "doc":
        return jb.Doc([(k, _build(v, note)) for k, v in d["fields"]],
                      [_build(c, note) for c in d["children"]])
    if t == "inputdoc":
        return jb.InputDoc([(k, _build(v, note)) for k, v in d["fields"]],
                           [_build(c, note) for c in d["children"]])
    if t == "doclist":
        return jb.DocList(d["numFound"], d["start"], d["maxScore"], d["numFoundExact"],
                          [_build(x, note) for x in d["docs"]])
    if t == "enum":
        return jb.EnumValue(d["int"], jb.Str(d["str"]))
    if t == "mapentry":
        value = _build(d["v"], note)
        if note is not None and not _hashable_key(d["k"]):
            value = _Probe(value, note, _UNHASHABLE_ERROR)
        return jb.MapEntry(_build(d["k"], note), value)
    raise ValueError(f"unknown description type {t!r}")


# ---------------------------------------------------------------------------
# Python objects, as `deserialize` builds them


def to_python(d):
    """The object `deserialize` returns; raises a DecodeFailure where it must fail."""
    t = d["t"]
    if t == "null":
        return None
    if t in ("bool", "byte", "short", "int", "long", "date", "str"):
        return d["v"]
    if t in ("float", "double"):
        return _number(d["v"])
    if t == "bytes":
        return base64.b64decode(d["v"])
    if t in ("list", "iter"):
        return [to_python(x) for x in d["v"]]
    if t == "map":
        pairs = [(to_python(k), to_python(v)) for k, v in d["v"]]
        if all(k["t"] == "str" for k, _ in d["v"]):
            return dict(pairs)
        return [[k, v] for k, v in pairs]
    if t in ("namedlist", "som", "mapwriter"):
        return {k: to_python(v) for k, v in d["v"]}
    if t in ("doc", "inputdoc"):
        out = {k: to_python(v) for k, v in d["fields"]}
        if d["children"]:
            out["_childDocuments_"] = [to_python(c) for c in d["children"]]
        return out
    if t == "doclist":
        return {
            "numFound": d["numFound"],
            "start": d["start"],
            "maxScore": None if d["maxScore"] is None else _number(d["maxScore"]),
            "numFoundExact": d["numFoundExact"],
            "docs": [to_python(x) for x in d["docs"]],
        }
    if t == "enum":
        return {"int": d["int"], "string": d["str"]}
    if t == "mapentry":
        k = to_python(d["k"])
        v = to_python(d["v"])
        if not _hashable_key(d["k"]):
            raise Unhashable(f"map entry key of type {type(k).__name__}")
        return {k: v}
    raise ValueError(f"unknown description type {t!r}")


_SCALARS = frozenset(
    ["null", "bool", "byte", "short", "int", "long", "float", "double", "date", "str", "bytes"])


def _hashable_key(d) -> bool:
    """Scalars decode to hashable objects; every container to a dict or list."""
    return d["t"] in _SCALARS


_UNHASHABLE_ERROR = "expected hashable map key at byte offset {}, found unhashable value"


class _Probe(jb.Wire):
    """Writes `inner`, then notes an error at the body offset just after it."""

    def __init__(self, inner: jb.Wire, note, message: str) -> None:
        self.inner = inner
        self.note = note
        self.message = message

    def write_to(self, w: jb.Writer) -> None:
        w.write(self.inner)
        self.note(len(w.out) + 1, self.message)  # +1: the version byte


def deserialize_error(d) -> str | None:
    """The ValueError text `deserialize` raises for the body of `d`, or None.

    The body is rebuilt as Solr writes it, noting where the fast decoder
    stops: just after the value of a map entry whose key is unhashable.
    Errors are found in body order, so the lowest offset is the one raised.
    """
    found: list[tuple[int, str]] = []
    jb.encode(_build(d, lambda offset, message: found.append((offset, message))))
    if not found:
        return None
    offset, message = min(found)
    return message.format(offset)


# ---------------------------------------------------------------------------
# JSON text, as `deserialize_json` writes it


def json_string(s: str) -> str:
    """A JSON string literal: only '"', '\\' and bytes below 0x20 are escaped."""
    out = ['"']
    for ch in s:
        c = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif c < 0x20:
            out.append(_SHORT_ESCAPES.get(c, f"\\u{c:04x}"))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


_SHORT_ESCAPES = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}


def json_float_text(x: float) -> str:
    """A double written with its shortest round-trip digits.

    Plain notation when the exponent of the first digit is in -5..15 (with
    ".0" when there is no fraction), otherwise d[.ddd]e(+|-)N; 0.0 and -0.0
    as such.  Non-finite values have no number text and are refused.
    """
    if not math.isfinite(x):
        raise ValueError(f"{x!r} has no JSON number text")
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    # repr() gives the shortest digit string that reads back as x, nearest first.
    _, digits, exp = decimal.Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, digits))
    stripped = digits.rstrip("0")
    exp += len(digits) - len(stripped)
    digits = stripped
    n = len(digits)
    e = exp + n - 1  # decimal exponent of the first digit
    if -5 <= e <= 15:
        if e >= n - 1:
            text = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            text = digits[: e + 1] + "." + digits[e + 1:]
        else:
            text = "0." + "0" * (-e - 1) + digits
    else:
        mantissa = digits[0] + ("." + digits[1:] if n > 1 else "")
        text = f"{mantissa}e{'+' if e >= 0 else '-'}{abs(e)}"
    return sign + text


def _json_double(x: float) -> str:
    if math.isnan(x):
        return '"NaN"'
    if math.isinf(x):
        return '"Infinity"' if x > 0 else '"-Infinity"'
    return json_float_text(x)


def _json_object(pairs) -> str:
    """Object text: a later duplicate key wins, keys sorted by their UTF-8 bytes."""
    merged: dict[str, str] = {}
    for k, v in pairs:
        merged[k] = v
    keys = sorted(merged, key=lambda k: k.encode("utf-8", "surrogatepass"))
    return "{" + ",".join(json_string(k) + ":" + merged[k] for k in keys) + "}"


def _json_array(items) -> str:
    return "[" + ",".join(items) + "]"


def to_json_text(d) -> str:
    """The exact text `deserialize_json` returns for description `d`."""
    t = d["t"]
    if t == "null":
        return "null"
    if t == "bool":
        return "true" if d["v"] else "false"
    if t in ("byte", "short", "int", "long", "date"):
        return str(d["v"])
    if t in ("float", "double"):
        return _json_double(_number(d["v"]))
    if t == "str":
        return json_string(d["v"])
    if t == "bytes":
        # Re-encode rather than copy: the text must be standard padded base64.
        return json_string(base64.b64encode(base64.b64decode(d["v"])).decode("ascii"))
    if t in ("list", "iter"):
        return _json_array(to_json_text(x) for x in d["v"])
    if t == "map":
        if all(k["t"] == "str" for k, _ in d["v"]):
            return _json_object((k["v"], to_json_text(v)) for k, v in d["v"])
        return _json_array(_json_array([to_json_text(k), to_json_text(v)]) for k, v in d["v"])
    if t in ("namedlist", "som", "mapwriter"):
        return _json_object(("" if k is None else k, to_json_text(v)) for k, v in d["v"])
    if t in ("doc", "inputdoc"):
        pairs = [(k, to_json_text(v)) for k, v in d["fields"]]
        if d["children"]:
            pairs.append(("_childDocuments_", _json_array(to_json_text(c) for c in d["children"])))
        return _json_object(pairs)
    if t == "doclist":
        return _json_object([
            ("numFound", str(d["numFound"])),
            ("start", str(d["start"])),
            ("maxScore", "null" if d["maxScore"] is None else _json_double(_number(d["maxScore"]))),
            ("numFoundExact", "null" if d["numFoundExact"] is None
             else ("true" if d["numFoundExact"] else "false")),
            ("docs", _json_array(to_json_text(x) for x in d["docs"])),
        ])
    if t == "enum":
        return _json_object([("int", str(d["int"])), ("string", json_string(d["str"]))])
    if t == "mapentry":
        # One entry: an object when the key is a string, else a one-pair array.
        if d["k"]["t"] == "str":
            return _json_object([(d["k"]["v"], to_json_text(d["v"]))])
        return _json_array([_json_array([to_json_text(d["k"]), to_json_text(d["v"])])])
    raise ValueError(f"unknown description type {t!r}")


# ---------------------------------------------------------------------------
# Strict comparison of decoded objects


def assert_same(actual, expected, path: str = "$") -> None:
    """Fail unless `actual` is `expected` in type, order and value (NaN == NaN)."""
    if type(actual) is not type(expected):
        raise AssertionError(
            f"{path}: type {type(actual).__name__} != {type(expected).__name__}"
            f" ({_short(actual)} vs {_short(expected)})")
    if isinstance(expected, float):
        same = (struct.pack(">d", actual) == struct.pack(">d", expected)
                or (math.isnan(actual) and math.isnan(expected)))
        if not same:
            raise AssertionError(f"{path}: {actual!r} != {expected!r}")
    elif isinstance(expected, dict):
        if [(type(k), k) for k in actual] != [(type(k), k) for k in expected]:
            raise AssertionError(
                f"{path}: keys {_short(list(actual))} != {_short(list(expected))}")
        for k in expected:
            assert_same(actual[k], expected[k], f"{path}[{k!r}]")
    elif isinstance(expected, list):
        if len(actual) != len(expected):
            raise AssertionError(f"{path}: length {len(actual)} != {len(expected)}")
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_same(a, e, f"{path}[{i}]")
    elif actual != expected:
        raise AssertionError(f"{path}: {_short(actual)} != {_short(expected)}")


def _short(v, limit: int = 120) -> str:
    text = repr(v)
    return text if len(text) <= limit else text[:limit] + "..."
