"""velkora: fast native decoding of Apache Solr javabin responses."""

from . import _core
from ._core import *  # noqa: F401,F403  (every name the extension registers, in its __all__)
from ._core import PanicException

# Decode failures are DecodeError, a ValueError carrying `kind`, `offset`, `stream_offset`, `column` and
# `document`. The extension defines it so that it raises it directly; the package exports it.
from ._core import DecodeError

# Arrow schemas from Solr's Schema API or from documents; pyarrow is imported when first used.
from . import schema

from typing import Any as _Any, Literal as _Literal


def loads_solr_json(body: bytes, json_nl: _Literal["flat", "map", "arrarr", "arrmap", "arrntv"] = "flat") -> _Any:
    """Decode a javabin body into what ``json.loads`` gives for the text Solr's JSON writer (``wt=json``)
    writes for the same answer, for code written against ``wt=json``.

    SimpleOrderedMaps, maps and documents become dicts (a repeated key keeps its first place and its last
    value, a non-string map key becomes its text); NamedLists (facet counts, spellcheck suggestions, ...) as
    `json_nl` says, as Solr's ``json.nl`` parameter does: "flat" ``[name, value, ...]``, "map" a dict,
    "arrarr" ``[[name, value], ...]``, "arrmap" ``[{name: value}, ...]``, "arrntv"
    ``[{"name": n, "type": t, "value": v}, ...]``. Dates are ISO-8601 text as Java's ``Instant.toString``
    writes them (``2012-01-28T06:22:02Z``), floats the value read back from Java's ``Float.toString``, NaN and
    the infinities the strings "NaN", "Infinity" and "-Infinity", bytes Base64 text, enums their string; a
    document list holds "maxScore" and "numFoundExact" only when they are set. Raises `DecodeError` exactly
    where `deserialize` does, TypeError when `body` is not bytes and ValueError for another `json_nl`.
    """
    return _core._deserialize_solr_json(body, json_nl)


__version__ = "0.1.0"
# The public names only: `_deserialize_safe` and `_bench_parse_only` are re-exported above but stay out of a
# star import.
__all__ = [*(name for name in _core.__all__ if not name.startswith("_")), "PanicException", "DecodeError",
           "loads_solr_json"]
