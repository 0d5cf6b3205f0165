"""Type stubs for velkora._core, the compiled javabin decoder."""

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, Protocol, TypeAlias

if TYPE_CHECKING:
    import pyarrow

    class _ArrowSchemaExportable(Protocol):
        """Anything that hands out an Arrow schema through the Arrow PyCapsule interface."""

        def __arrow_c_schema__(self) -> object: ...

    _Schema: TypeAlias = pyarrow.Schema | _ArrowSchemaExportable
    _ChildrenMode: TypeAlias = Literal["skip", "explode"]

# Spelled out, so that type checkers know what ``from velkora._core import *`` (velkora's __init__) brings.
__all__ = [
    "deserialize", "deserialize_stream", "_deserialize_safe", "deserialize_json", "_bench_parse_only",
    "deserialize_arrow", "StreamDecoder", "ArrowStreamDecoder",
]

class PanicException(BaseException):
    """An internal fault of the extension; not caught by ``except Exception``."""

class DecodeError(ValueError):
    """A body or stream that could not be decoded (outside ``__all__``; exported by the package).

    ``kind`` is the failure's kind name ("UnexpectedEof", "InvalidUtf8", "ArrowTypeMismatch", ...);
    ``offset`` the byte offset the message names (for a value that does not fit its Arrow column, where
    it starts), or None; ``stream_offset``, for the chunk-fed decoders, that offset counted from the
    first byte ever fed, else None; ``column`` and ``document``, for the Arrow decoders, the schema field
    whose value failed and the 0-based index of the result document, else None (also given in a note).
    """

    kind: str | None
    offset: int | None
    stream_offset: int | None
    column: str | None
    document: int | None

def deserialize(data: bytes) -> Any:
    """Decode a javabin response body into Python objects."""

def deserialize_stream(data: bytes, callback: Callable[[Any], object]) -> Any:
    """Decode a javabin response, calling ``callback`` once per result document; return the envelope."""

def _deserialize_safe(data: bytes) -> Any:
    """Decode a javabin response body by the reference path."""

def deserialize_json(data: bytes) -> str:
    """Decode a javabin response body into compact JSON text with sorted keys."""

def _bench_parse_only(data: bytes) -> int:
    """Parse a javabin body without building Python objects; return the node count."""

def _deserialize_solr_json(data: bytes, json_nl: str = "flat") -> Any:
    """Decode a javabin response body into what json.loads gives for Solr's JSON writer's text (outside ``__all__``)."""

def _survey(data: bytes, sample: int | None = None) -> dict[str, Any]:
    """Count each document field's values by wire kind, without building them (outside ``__all__``).

    Walks the first ``sample`` top-level documents (all when None) where ``deserialize_arrow`` finds them.
    Keys: "top", "keys", "response_key", "response", "docs", "numFound", "start", "maxScore", "declared",
    "documents", "complete", "rows", "children", "nested_documents", "extern_strings", "untallied",
    "rest_error", and
    "fields": name -> {"rows": int, "values": {kind: count}, "items": {kind: count}}.
    """

def deserialize_arrow(
    data: bytes,
    schema: _Schema,
    *,
    children: _ChildrenMode = "skip",
    child_columns: dict[str, str] | None = None,
) -> pyarrow.RecordBatch:
    """Decode the result documents of a javabin response into one Arrow record batch, one row per document.

    Columns follow ``schema`` (int32, int64, float32, float64, bool, utf8, binary, timestamp('ms') with or
    without a time zone, and lists of those except binary, their items nullable under any name); fields outside it are skipped, absent ones are null. Decoding runs with
    the interpreter lock released. ``children="explode"`` turns nested child documents into rows of their
    own, described by the ``_parent_id``, ``_depth`` and ``_child_field`` columns when the schema has
    them; ``child_columns`` renames those roles (keys "parent_id", "depth", "child_field", "key").
    Raises ValueError for malformed input, an unsupported column type or a value that does not fit its
    column, ImportError when pyarrow is not installed.
    """

class StreamDecoder:
    """Decode a javabin response fed in chunks, one callback per complete document."""

    def __new__(cls) -> StreamDecoder: ...
    def feed(self, chunk: bytes, callback: Callable[[Any], object]) -> None:
        """Append a chunk and deliver every document it completes."""
    def finish(self) -> None:
        """Raise ValueError if the response ended before its documents sequence did."""
    @property
    def count(self) -> int:
        """Total number of documents streamed so far."""

class ArrowStreamDecoder:
    """Decode a javabin response fed in chunks into Arrow record batches of ``batch_size`` rows."""

    def __new__(
        cls,
        schema: _Schema,
        batch_size: int = 65536,
        *,
        children: _ChildrenMode = "skip",
        child_columns: dict[str, str] | None = None,
    ) -> ArrowStreamDecoder: ...
    def feed(self, chunk: bytes) -> list[pyarrow.RecordBatch]:
        """Append a chunk; return the batches it completes, oldest first."""
    def finish(self) -> list[pyarrow.RecordBatch]:
        """End the response; return the last batches. Raises ValueError if the response was cut short."""
    def schema(self) -> pyarrow.Schema:
        """The Arrow schema this decoder produces."""
