"""Type stubs for velkora._core, the compiled javabin decoder."""

from collections.abc import Callable
from typing import Any, Final

__all__: Final[list[str]]

class PanicException(BaseException):
    """An internal fault of the extension; not caught by ``except Exception``."""

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
