"""The record batch deserialize_arrow builds for documents given as value descriptions (descriptions.py)."""

from __future__ import annotations

import base64
import ctypes

import pyarrow as pa

import javabin as jb
from descriptions import assert_same

MISFIT = "javabin value does not fit the Arrow column type (expected {})"
CHILDREN_REFUSED = ("document has child documents (_childDocuments_), which cannot be represented"
                    " in a flat Arrow table")
META = {"parent_id": "_parent_id", "depth": "_depth", "child_field": "_child_field", "key": "id"}
_SMALL_INTS = ("byte", "short", "int")
# The description kinds a column stores as they are (an int32 column also a long that fits).
_KEPT = {"int32": _SMALL_INTS, "int64": _SMALL_INTS + ("long",), "timestamp(ms)": ("long", "date"),
         "boolean": ("bool",), "utf8": ("str",)}
_KINDS = {"int32": "int32", "int64": "int64", "float": "float32", "double": "float64", "bool": "boolean",
          "string": "utf8", "binary": "binary"}


class Refused(Exception):
    """The decoder must fail; the argument is the start of its message."""


def kind_of(t: pa.DataType) -> tuple[str, bool]:
    if pa.types.is_list(t):
        return kind_of(t.value_type)[0], True
    return "timestamp(ms)" if pa.types.is_timestamp(t) else _KINDS[str(t)], False


def convert(kind: str, d, expected: str | None = None):
    """The Python value a column of `kind` stores for the scalar description `d`."""
    t, v = d["t"], d.get("v")
    if t == "null":
        return None
    if t in _KEPT.get(kind, ()) or kind == "int32" and t == "long" and -2**31 <= v < 2**31:
        return v
    if kind in ("float32", "float64") and t in ("float", "double"):
        return float(v) if kind == "float64" else ctypes.c_float(float(v)).value  # rounded; 1e300 -> inf
    if (kind, t) == ("binary", "bytes"):
        return base64.b64decode(v) if isinstance(v, str) else v
    raise Refused(MISFIT.format(expected or kind))


def is_children(d) -> bool:
    return d["t"] == "doc" or d["t"] in ("list", "iter") and bool(d["v"]) and d["v"][0]["t"] == "doc"


def route(kind: str, is_list: bool, d):
    """The column entry for a field value: a scalar column takes the first of many, a list column a lone one."""
    items = d["v"] if d["t"] in ("list", "iter") else [d]
    if not is_list:
        return convert(kind, items[0]) if items else None
    return None if d["t"] == "null" else [convert(kind, x, f"list<{kind}>") for x in items]


def expected_batch(docs, schema: pa.Schema, children: str = "skip", meta=None) -> pa.RecordBatch:
    """The batch for top-level documents `docs` (or Refused)."""
    meta = {**META, **(meta or {})}
    names = [f.name for f in schema]
    at = {role: names.index(name) if name in names else None for role, name in meta.items()}
    metadata = {at[r] for r in ("parent_id", "depth", "child_field")} - {None}
    index = {name: i for i, name in enumerate(names) if i not in metadata}  # a later field of a name wins
    kinds = [kind_of(f.type) for f in schema]
    columns: list[list] = [[] for _ in names]

    def collect(doc, rows, parent, via, depth):
        row = {"parent": parent, "via": via, "depth": depth, "values": {}}
        rows.append(row)
        for name, value in doc["fields"] if doc["t"] == "doc" else doc["v"]:
            if children == "explode" and is_children(value):
                for child in [value] if value["t"] == "doc" else value["v"]:
                    collect(child, rows, row, name, depth + 1)
            elif name in index:
                i = index[name]  # skip mode converts at once, explode mode when the row is emitted
                row["values"][i] = value if children == "explode" else route(*kinds[i], value)
        for child in doc.get("children", []):
            if children == "skip":
                raise Refused(CHILDREN_REFUSED)
            collect(child, rows, row, None, depth + 1)

    for doc in docs:
        rows: list[dict] = []
        collect(doc, rows, None, None, 0)
        for row in rows:
            row["converted"] = values = {i: route(*kinds[i], v) if children == "explode" else v
                                         for i, v in row["values"].items()}
            meta_values = {at["depth"]: row["depth"], at["child_field"]: row["via"],
                           at["parent_id"]: row["parent"] and row["parent"]["converted"].get(at["key"])}
            for i in range(len(names)):
                columns[i].append(meta_values[i] if i in metadata else values.get(i))
    return pa.RecordBatch.from_arrays([pa.array(c, f.type) for c, f in zip(columns, schema)], schema=schema)


def plain(array: pa.Array) -> list:
    if pa.types.is_timestamp(array.type):
        array = array.view(pa.int64())
    elif pa.types.is_list(array.type) and pa.types.is_timestamp(array.type.value_type):
        array = array.view(pa.list_(pa.int64()))
    return array.to_pylist()


def assert_batches_equal(batch: pa.RecordBatch, expected: pa.RecordBatch) -> None:
    """Same schema (metadata included), rows and values (NaN equals NaN, -0.0 is not 0.0, 1 is not True)."""
    assert isinstance(batch, pa.RecordBatch)
    batch.validate(full=True)
    assert batch.schema.equals(expected.schema, check_metadata=True), (batch.schema, expected.schema)
    assert batch.num_rows == expected.num_rows
    for i, field in enumerate(expected.schema):
        assert batch.column(i).type == field.type
        assert_same(plain(batch.column(i)), plain(expected.column(i)), f"column {i} ({field.name})")


# ---------------------------------------------------------------------------
# Where the documents are, and a schema that fits them


def documents(desc) -> list:
    for key, value in desc["v"]:
        if key in ("response", "result-set"):
            return value["docs"] if value["t"] == "doclist" else dict(value["v"])["docs"]["v"]
    return []


_TYPES = {"str": pa.utf8(), "byte": pa.int32(), "short": pa.int32(), "int": pa.int32(), "long": pa.int64(),
          "float": pa.float32(), "double": pa.float64(), "bool": pa.bool_(), "date": pa.timestamp("ms"),
          "bytes": pa.binary()}
_WIDER = {pa.int32(): pa.int64(), pa.float32(): pa.float64()}


def schema_for(docs, widen: bool = False) -> pa.Schema:
    """A field per field name (children's too), typed by the values; `widen`: 64-bit numbers, no list columns."""
    types: dict[str, pa.DataType | None] = {}

    def walk(doc):
        for name, value in doc["fields"] if doc["t"] == "doc" else doc["v"]:
            if is_children(value):
                for child in [value] if value["t"] == "doc" else value["v"]:
                    walk(child)
                continue
            items = value["v"] if value["t"] in ("list", "iter") else [value]
            item_type = next((_TYPES[x["t"]] for x in items if x["t"] != "null"), None)
            if widen:
                item_type = _WIDER.get(item_type, item_type)
            multi = value["t"] in ("list", "iter") and not widen
            if types.get(name) is None:
                types[name] = None if item_type is None else pa.list_(item_type) if multi else item_type
        for child in doc.get("children", []):
            walk(child)

    for doc in docs:
        walk(doc)
    return pa.schema([(name, t or pa.utf8()) for name, t in types.items()])


def from_python(value):
    """The description of a value `velkora.deserialize` returned."""
    if isinstance(value, list):
        return {"t": "list", "v": [from_python(x) for x in value]}
    for types, t in [(type(None), "null"), (bool, "bool"), (int, "long"), (float, "double"), (str, "str"),
                     (bytes, "bytes")]:
        if isinstance(value, types):
            return {"t": t, "v": value}
    raise TypeError(f"no description for {type(value).__name__}")


# ---------------------------------------------------------------------------
# Bodies


class Mark(jb.Wire):
    """Writes `value`, remembering the byte offset where it starts."""

    def __init__(self, value) -> None:
        self.value, self.offset = value, None

    def write_to(self, w: jb.Writer) -> None:
        self.offset = len(w.out)
        w.write(self.value)


def _doc(d, make):  # a document given as its fields, or already built
    return make(d) if isinstance(d, (list, dict)) else d


def select(*docs) -> bytes:
    return jb.encode(jb.NamedList([("responseHeader", jb.OrderedMap([("status", jb.Int(0))])),
                                   ("response", jb.DocList(len(docs), docs=[_doc(d, jb.Doc) for d in docs]))]))


def export(*docs) -> bytes:
    return jb.encode(jb.MapEntryIter([
        ("responseHeader", jb.MapEntryIter([("status", jb.Int(0))])),
        ("response", jb.MapEntryIter([("numFound", len(docs)),
                                      ("docs", jb.Iter([_doc(d, jb.MapEntryIter) for d in docs]))]))]))


def stream(*docs, end=True) -> bytes:
    """A /stream body; with end=False it stops right after the last document."""
    docs = jb.Iter([_doc(d, jb.MapEntryIter) for d in docs], end=end)
    return jb.encode(jb.MapEntryIter([("result-set", jb.MapEntryIter([("docs", docs)], end=end))], end=end))
