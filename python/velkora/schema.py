"""Arrow schemas for deserialize_arrow and ArrowStreamDecoder, from Solr's Schema API or from documents.

``from_solr`` maps the answers of ``/schema/fields`` and ``/schema/fieldtypes`` (decoded javabin or parsed
JSON) to a ``pyarrow.Schema``; ``infer`` sniffs one from the documents of a saved response. pyarrow is
imported when either is first called, so ``import velkora`` works without it.
"""

from __future__ import annotations

import fnmatch
import re
import warnings
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    import pyarrow

__all__ = ["from_solr", "infer", "SchemaWarning"]

#: A Schema API answer (``/schema``, ``/schema/fields``, ``/schema/fieldtypes``), decoded or parsed from JSON,
#: or the list of field or field type objects it holds.
SchemaAnswer = Union[Mapping[str, Any], Iterable[Mapping[str, Any]]]


class SchemaWarning(UserWarning):
    """Something ``infer`` or ``from_solr`` could only guess at, or that the schema alone cannot express."""


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError("velkora.schema needs pyarrow: pip install 'velkora[arrow]'") from e
    return pyarrow


# ---------------------------------------------------------------------------------------------------------
# Solr field type classes

# Solr field type class (its short name) -> the Arrow type of one value, as javabin carries it: Point and
# Trie numbers keep their Java width, dates arrive as DATE (milliseconds), everything text-like as a string.
_CLASS_TYPES: dict[str, str] = {
    # numbers
    "IntPointField": "int32", "TrieIntField": "int32", "IntField": "int32",
    "LongPointField": "int64", "TrieLongField": "int64", "LongField": "int64",
    "FloatPointField": "float32", "TrieFloatField": "float32", "FloatField": "float32",
    "DoublePointField": "float64", "TrieDoubleField": "float64", "DoubleField": "float64",
    # dates
    "DatePointField": "timestamp", "TrieDateField": "timestamp", "DateField": "timestamp",
    # booleans and bytes
    "BoolField": "bool", "BinaryField": "binary",
    # text of every kind, and values Solr returns as text
    "StrField": "utf8", "TextField": "utf8", "SortableTextField": "utf8", "NestPathField": "utf8",
    "PreAnalyzedField": "utf8", "ICUCollationField": "utf8", "CollationField": "utf8", "UUIDField": "utf8",
    "DateRangeField": "utf8", "CurrencyField": "utf8", "CurrencyFieldType": "utf8",
    "LatLonPointSpatialField": "utf8", "LatLonType": "utf8", "PointType": "utf8",
    "SpatialRecursivePrefixTreeFieldType": "utf8", "RptWithGeometrySpatialField": "utf8", "BBoxField": "utf8",
    # a dense vector is returned as a list of its components
    "DenseVectorField": "vector",
}

# The field types of Solr's default configset, for Schema API answers given without the field types.
_DEFAULT_TYPES: dict[str, dict[str, Any]] = {
    **{name: {"class": cls} for name, cls in [
        ("string", "solr.StrField"), ("boolean", "solr.BoolField"), ("pint", "solr.IntPointField"),
        ("plong", "solr.LongPointField"), ("pfloat", "solr.FloatPointField"),
        ("pdouble", "solr.DoublePointField"), ("pdate", "solr.DatePointField"), ("binary", "solr.BinaryField"),
        ("random", "solr.RandomSortField"), ("rank", "solr.RankField"), ("_nest_path_", "solr.NestPathField"),
        ("location", "solr.LatLonPointSpatialField"), ("location_rpt", "solr.SpatialRecursivePrefixTreeFieldType"),
        ("point", "solr.PointType"), ("ignored", "solr.StrField"), ("delimited_payloads_string", "solr.TextField"),
        ("text_en", "solr.TextField"), ("text_ws", "solr.TextField"),
        ("lowercase", "solr.TextField"), ("phonetic_en", "solr.TextField"), ("text_gen_sort", "solr.SortableTextField"),
    ]},
    **{name: {"class": cls, "multiValued": True} for name, cls in [
        ("strings", "solr.StrField"), ("booleans", "solr.BoolField"), ("pints", "solr.IntPointField"),
        ("plongs", "solr.LongPointField"), ("pfloats", "solr.FloatPointField"),
        ("pdoubles", "solr.DoublePointField"), ("pdates", "solr.DatePointField"), ("text_general", "solr.TextField"),
    ]},
}


def _truth(value: object) -> bool:
    """A Schema API flag: JSON and javabin give booleans, older answers strings."""
    return value is True or (isinstance(value, str) and value.lower() == "true")


def _entries(answer: object, key: str) -> list[Mapping[str, Any]]:
    """The list under `key` of a Schema API answer, or the answer itself when it is already that list."""
    if answer is None:
        return []
    if isinstance(answer, Mapping):
        if "schema" in answer and isinstance(answer["schema"], Mapping):
            answer = answer["schema"]
        answer = answer.get(key, [])
    if not isinstance(answer, Iterable) or isinstance(answer, (str, bytes)):
        raise TypeError(f"expected the Schema API answer holding {key!r}, got {type(answer).__name__}")
    entries = list(answer)
    for entry in entries:
        if not isinstance(entry, Mapping) or not isinstance(entry.get("name"), str):
            raise TypeError(f"expected {key!r} to hold objects with a 'name', got {entry!r}")
    return entries


def _class_name(cls: str) -> str:
    """The short class name: "solr.TrieIntField" and "org.apache.solr.schema.TrieIntField" are both TrieIntField."""
    return cls.rsplit(".", 1)[-1]


def _fallback_type(fallback: pyarrow.DataType | str) -> pyarrow.DataType:
    pa = _pyarrow()
    if isinstance(fallback, str):
        if fallback not in ("utf8", "string"):
            raise ValueError(f'fallback must be a pyarrow DataType or "utf8", not {fallback!r}')
        return pa.utf8()
    if not isinstance(fallback, pa.DataType):
        raise TypeError(f"fallback must be a pyarrow DataType or \"utf8\", not {type(fallback).__name__}")
    return fallback


def _value_type(field: Mapping[str, Any], field_type: Mapping[str, Any] | None,
                fallback: pyarrow.DataType | str | None) -> pyarrow.DataType:
    """The Arrow type of one value of `field`, or the fallback for a class without a mapping."""
    pa = _pyarrow()
    name, type_name = field["name"], field.get("type")
    if field_type is None:
        if fallback is not None:
            return _fallback_type(fallback)
        raise ValueError(f"field {name!r} has type {type_name!r}, which is neither among the given field types nor "
                         "one of Solr's default field types; pass field_types (the /schema/fieldtypes answer), "
                         "or fallback=pyarrow.utf8()")
    cls = str(field_type.get("class", ""))
    kind = _CLASS_TYPES.get(_class_name(cls))
    if kind is None:
        if fallback is not None:
            return _fallback_type(fallback)
        raise ValueError(f"field {name!r} has type {type_name!r} of class {cls!r}, which has no Arrow mapping; "
                         "pass fallback=pyarrow.utf8() to read it as text")
    if kind == "vector":
        byte_encoded = str(field_type.get("vectorEncoding", field.get("vectorEncoding", "FLOAT32"))).upper() == "BYTE"
        return pa.list_(pa.int32() if byte_encoded else pa.float32())
    if kind == "timestamp":
        return pa.timestamp("ms")
    return {"int32": pa.int32(), "int64": pa.int64(), "float32": pa.float32(), "float64": pa.float64(),
            "bool": pa.bool_(), "binary": pa.binary(), "utf8": pa.utf8()}[kind]


def _field_type(field: Mapping[str, Any], types: Mapping[str, Mapping[str, Any]]) -> Mapping[str, Any] | None:
    """The field type `field` names, or None when it names none of `types`."""
    return types.get(field["type"]) if "type" in field else None


def _property(field: Mapping[str, Any], types: Mapping[str, Mapping[str, Any]], key: str, default: bool) -> bool:
    """A field property; a field that does not set it takes its type's."""
    if key in field:
        return _truth(field[key])
    field_type = _field_type(field, types) or {}
    return _truth(field_type[key]) if key in field_type else default


def _arrow_field(name: str, field: Mapping[str, Any], types: Mapping[str, Mapping[str, Any]],
                 fallback: pyarrow.DataType | str | None) -> pyarrow.Field:
    pa = _pyarrow()
    value_type = _value_type(field, _field_type(field, types), fallback)
    if _property(field, types, "multiValued", False) and not pa.types.is_list(value_type):
        if pa.types.is_binary(value_type):
            raise ValueError(f"field {name!r} holds several binary values, and a list of binary is not a "
                             "column type deserialize_arrow supports")
        value_type = pa.list_(value_type)
    required = _truth(field.get("required", False)) and field.get("default") is None
    return pa.field(name, value_type, nullable=not required)


def _dynamic_match(name: str, patterns: list[Mapping[str, Any]]) -> Mapping[str, Any] | None:
    """The dynamic field whose pattern matches `name`; the longest pattern wins, as in Solr."""
    best: Mapping[str, Any] | None = None
    for pattern in patterns:
        glob = pattern["name"]
        if (glob.startswith("*") and name.endswith(glob[1:])) or (glob.endswith("*") and name.startswith(glob[:-1])):
            if best is None or len(glob) > len(best["name"]):
                best = pattern
    return best


def _fl_names(fl: str | Iterable[object]) -> list[str]:
    """The names of a field list: "id,title score" or ["id", "title"]."""
    if isinstance(fl, str):
        # A transformer keeps its parameters: "[explain style=nl]" is one entry.
        return re.findall(r"[^\s,\[]*\[[^\]]*\]|[^\s,]+", fl)
    return [str(part) for part in fl]


def from_solr(fields: SchemaAnswer, field_types: SchemaAnswer | None = None, *, fl: str | Iterable[str] | None = None,
              fallback: pyarrow.DataType | str | None = None, dynamic_fields: SchemaAnswer | None = None,
              tz: str | None = None) -> pyarrow.Schema:
    """An Arrow schema for documents of a Solr collection, from its Schema API answers.

    Parameters
    ----------
    fields
        The ``/schema/fields`` answer, decoded (``velkora.deserialize`` of a ``wt=javabin`` answer) or parsed
        from JSON, or the list of field objects. Dynamic fields are taken from a ``"dynamicFields"`` entry of
        the same answer (the ``/schema`` answer holds both), or from field objects whose name has a ``*``.
    field_types
        The ``/schema/fieldtypes`` answer, or its list. Left out, field types are looked up among the types
        of ``fields`` (a whole ``/schema`` answer) and those of Solr's default configset.
    fl
        The field list of the query ("id,title,price" or a list), picking and ordering the columns. Names
        resolve through dynamic fields; ``*`` and globs expand to the matching fields; ``score`` is a
        float32 column; ``alias:field`` names the column ``alias``; transformers (``[child]``) are left out.
        Left out: every field of the schema.
    fallback
        Maps field types of a class without a mapping to this type (``pyarrow.utf8()`` or "utf8") instead
        of raising.
    dynamic_fields
        The ``/schema/dynamicfields`` answer, or its list: ``/schema/fields`` lists declared fields only, so
        names such as ``released_dt`` resolve through these.
    tz
        A time zone ("UTC", "Europe/Paris"): dates become ``timestamp("ms", tz=tz)``. Solr's dates are UTC
        instants either way; the zone says how pandas and polars show them.

    Returns
    -------
    pyarrow.Schema
        Point and Trie numbers as int32/int64/float32/float64, dates as ``timestamp("ms")``, BoolField as
        bool, BinaryField as binary, text kinds (StrField, TextField, SortableTextField, UUIDField, ...) as
        utf8; multiValued fields as lists; required fields without a default are not nullable.

    Raises
    ------
    ValueError
        A field type of an unknown class (naming the field and the class), or an ``fl`` name that is neither
        a field nor matched by a dynamic field.

    Example
    -------
    >>> schema = velkora.schema.from_solr(fields_answer, types_answer, fl="id,title,price")
    >>> batch = velkora.deserialize_arrow(body, schema)
    """
    pa = _pyarrow()
    declared = _entries(fields, "fields")
    dynamic = [f for f in declared if "*" in f["name"]] + _entries(fields, "dynamicFields") \
        if isinstance(fields, Mapping) else [f for f in declared if "*" in f["name"]]
    dynamic += _entries(dynamic_fields, "dynamicFields")
    explicit = [f for f in declared if "*" not in f["name"]]
    types: dict[str, Mapping[str, Any]] = {name: dict(t) for name, t in _DEFAULT_TYPES.items()}
    for answer in (fields if isinstance(fields, Mapping) else None, field_types):
        if answer is not None:
            types.update({t["name"]: t for t in _entries(answer, "fieldTypes")})
    by_name = {f["name"]: f for f in explicit}

    if fl is None:
        # Fields never returned (neither stored nor docValues) would only be columns of nulls.
        picked = [(f["name"], f) for f in explicit
                  if _property(f, types, "stored", True) or _property(f, types, "docValues", False)]
        return _zoned(pa.schema([_arrow_field(name, f, types, fallback) for name, f in picked]), tz)

    columns: list[pyarrow.Field] = []
    for entry in _fl_names(fl):
        alias, source = entry.split(":", 1) if ":" in entry.split("[", 1)[0] else ("", entry)
        if source.startswith("["):
            continue  # a transformer ([child], [explain]): no column of its own
        column = alias or source
        if source == "score":
            columns.append(pa.field(column, pa.float32()))
        elif "*" in source or "?" in source:
            columns.extend(_arrow_field(f["name"], f, types, fallback) for f in explicit
                           if fnmatch.fnmatchcase(f["name"], source))
        elif source in by_name:
            columns.append(_arrow_field(column, by_name[source], types, fallback))
        elif (pattern := _dynamic_match(source, dynamic)) is not None:
            columns.append(_arrow_field(column, pattern, types, fallback))
        else:
            raise ValueError(f"fl names {source!r}, which is neither a field of the schema nor matched by one of "
                             "its dynamic fields")
    seen: set[str] = set()
    unique: list[pyarrow.Field] = []
    for column in columns:  # a name given twice (id, *) keeps its first place
        if column.name not in seen:
            seen.add(column.name)
            unique.append(column)
    return _zoned(pa.schema(unique), tz)


def _zoned(schema: pyarrow.Schema, tz: str | None) -> pyarrow.Schema:
    """`schema` with its date columns (and date lists) in the time zone `tz`."""
    if tz is None:
        return schema
    pa = _pyarrow()
    zoned = pa.timestamp("ms", tz=tz)

    def retyped(t: pyarrow.DataType) -> pyarrow.DataType:
        if pa.types.is_timestamp(t):
            return zoned
        if pa.types.is_list(t) and pa.types.is_timestamp(t.value_type):
            return pa.list_(pa.field(t.value_field.name, zoned, t.value_field.nullable))
        return t
    return pa.schema([f.with_type(retyped(f.type)) for f in schema], metadata=schema.metadata)


# ---------------------------------------------------------------------------------------------------------
# Inference from documents

_INTEGER_WIDTH = {"byte": 32, "short": 32, "int": 32, "long": 64}
_FLOAT_WIDTH = {"float": 32, "double": 64}


def _merge_kinds(name: str, kinds: set[str]) -> str | None:
    """The column kind ("int32", "timestamp", ...) that takes every kind seen, or None when nothing but nulls.

    Integers widen to the widest width seen, floats likewise; dates take longs too (as milliseconds). A
    mix the decoder cannot put in one column (text and numbers, integers and floats, maps) is refused.
    """
    kinds = kinds - {"null"}
    if not kinds:
        return None
    if kinds <= _INTEGER_WIDTH.keys():
        return "int64" if "long" in kinds else "int32"
    if kinds <= _FLOAT_WIDTH.keys():
        return "float64" if "double" in kinds else "float32"
    if kinds <= {"date", "long"} and "date" in kinds:
        return "timestamp"
    if kinds == {"string"}:
        return "utf8"
    if kinds == {"bool"}:
        return "bool"
    if kinds == {"bytes"}:
        return "binary"
    raise ValueError(f"cannot infer a column type for field {name!r}: it holds {', '.join(sorted(kinds))}")


def _arrow_type(kind: str) -> pyarrow.DataType:
    pa = _pyarrow()
    return {"int32": pa.int32(), "int64": pa.int64(), "float32": pa.float32(), "float64": pa.float64(),
            "timestamp": pa.timestamp("ms"), "utf8": pa.utf8(), "bool": pa.bool_(), "binary": pa.binary()}[kind]


EOF_TUPLE_FIELDS = ("EOF", "RESPONSE_TIME")  # the tuple that ends a /stream: a protocol marker, not a document


def without_eof_tuple(survey: dict[str, Any], *, uncounted: bool = True) -> dict[str, Any]:
    """A `_core._survey` of a /stream body whose EOF tuple is neither typed nor (`uncounted`) counted.

    ``infer`` keeps it among the rows: the whole-body decoders give it a row of nulls, so no field may be
    declared non-nullable on the strength of the other tuples alone.
    """
    eof = survey["fields"].get("EOF")
    if survey.get("response_key") != "result-set" or eof is None:
        return survey
    fields = {name: tally for name, tally in survey["fields"].items() if name not in EOF_TUPLE_FIELDS}
    if not uncounted:
        return {**survey, "fields": fields}
    return {**survey, "fields": fields, "documents": survey["documents"] - eof["rows"],
            "rows": survey["rows"] - eof["rows"]}


def _warn_of_later_fields(body: bytes, survey: dict[str, Any], sample: int | None) -> None:
    """A `SchemaWarning` naming the fields that only documents after the sample hold: the schema leaves them out,
    so the decoders would skip them. Only a whole body is walked; a body cut short (a prefix) is not."""
    from . import _core

    if survey["complete"] or sample is None:
        return
    try:
        whole = without_eof_tuple(_core._survey(body), uncounted=False)
    except ValueError:
        return
    later = [name for name in whole["fields"] if name not in survey["fields"]]
    if later:
        shown = ", ".join(repr(name) for name in later[:10]) + (", ..." if len(later) > 10 else "")
        warnings.warn(f"{len(later)} fields appear only after the first {sample} documents and are left out of the "
                      f"schema: {shown}; infer with a larger sample (or sample=None) to include them",
                      SchemaWarning, stacklevel=3)


def infer(body: bytes, *, sample: int | None = 1000) -> pyarrow.Schema:
    """An Arrow schema sniffed from the documents of a javabin response (/select, /export or /stream).

    The first ``sample`` documents (all of them with ``sample=None``) are walked natively, without building
    values, and each field's wire types are counted: INT, LONG, FLOAT, DOUBLE and DATE stay distinct, so
    dates become ``timestamp("ms")``. Mixed integer or float widths widen; a field holding a list in any
    document becomes a list column; a field missing (or null) in some documents is nullable. A field is
    declared non-nullable only when it had a value in every document and the sample covered them all.

    Child documents are surveyed as rows too and reported with a :class:`SchemaWarning`: decode with
    ``children="explode"``. Fields that hold only child documents get no column.

    Raises
    ------
    ValueError
        A field that cannot be typed (maps, typed arrays, text in one document and numbers in another),
        naming the field and the kinds seen; velkora.DecodeError for a malformed body.
    """
    from . import _core

    pa = _pyarrow()
    if sample is not None and sample < 1:
        raise ValueError(f"sample must be at least 1, not {sample}")
    survey = without_eof_tuple(_core._survey(body, sample), uncounted=False)
    if survey["untallied"]:
        raise ValueError(f"the documents hold more than {len(survey['fields'])} distinct field names; "
                         "no schema is inferred from so many")
    if not survey["fields"]:
        raise ValueError("the body holds no document fields to infer a schema from"
                         if survey["docs"] else "the body holds no documents where deserialize_arrow looks for them "
                         '(the "docs" of a "response" or "result-set")')
    if survey["children"] or survey["nested_documents"]:
        warnings.warn(f"the documents hold {survey['children'] + survey['nested_documents']} child documents; "
                      'decode with children="explode" to give each its own row', SchemaWarning, stacklevel=2)
    _warn_of_later_fields(body, survey, sample)
    columns: list[pyarrow.Field] = []
    for name, tally in survey["fields"].items():
        values, items = tally["values"], tally["items"]
        if "solr document" in values or "solr document" in items:
            kinds = set(values) | set(items)
            if kinds - {"solr document", "array", "null"}:
                raise ValueError(f"cannot infer a column type for field {name!r}: it holds child documents "
                                 f"and {', '.join(sorted(kinds - {'solr document', 'array'}))}")
            continue  # child documents under a field name: rows in explode mode, no column
        if "extern reference" in values or "extern reference" in items:
            warnings.warn(f"field {name!r} holds values written as references to extern strings, which "
                          "deserialize_arrow cannot read; left out of the schema", SchemaWarning, stacklevel=2)
            continue
        containers = (set(values) | set(items)) & {"map", "named list", "solr document list", "typed array"}
        if containers or "array" in items:
            held = sorted(set(values) | {f"{k} in a list" for k in items})
            raise ValueError(f"cannot infer a column type for field {name!r}: it holds {', '.join(held)}")
        is_list = "array" in values
        scalar_kinds = set(values) - {"array"}
        kind = _merge_kinds(name, scalar_kinds | set(items))
        if kind is None:
            warnings.warn(f"field {name!r} held no value but null in the sample; typed as utf8", SchemaWarning,
                          stacklevel=2)
            kind = "utf8"
        value_type = _arrow_type(kind)
        if is_list:
            if kind == "binary":
                raise ValueError(f"cannot infer a column type for field {name!r}: it holds lists of bytes, and a "
                                 "list of binary is not a column type deserialize_arrow supports")
            value_type = pa.list_(value_type)
        always = tally["rows"] == survey["rows"] and "null" not in values and survey["complete"]
        columns.append(pa.field(name, value_type, nullable=not always))
    return pa.schema(columns)
