"""velkora: fast native decoding of Apache Solr javabin responses."""

from . import _core
from ._core import *  # noqa: F401,F403  (every name the extension registers, in its __all__)
from ._core import PanicException

# Decode failures are DecodeError, a ValueError carrying `kind`, `offset`, `stream_offset`, `column` and
# `document`. The extension defines it so that it raises it directly; the package exports it.
from ._core import DecodeError

# Arrow schemas from Solr's Schema API or from documents; pyarrow is imported when first used.
from . import schema

__version__ = "0.1.0"
__all__ = [*_core.__all__, "PanicException", "DecodeError"]
