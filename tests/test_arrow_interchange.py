"""Every Arrow C schema velkora receives is released exactly as often as it should be: one a capsule lends never,
one handed over through _export_to_c once, whether the decode succeeds or fails."""

import ctypes

import pytest

pa = pytest.importorskip("pyarrow")

import javabin as jb
import velkora
from c_schema import ArrowSchema, CapsuleProvider, TrackedSchema


class ExportingSchema(pa.Schema):
    """A pyarrow.Schema reached through _export_to_c, which hands over the tracked structure."""

    def __init__(self, tracked):
        self.tracked = tracked

    @property
    def __arrow_c_schema__(self):
        raise AttributeError("only _export_to_c here")

    def _export_to_c(self, address):
        ctypes.memmove(address, ctypes.addressof(self.tracked.root), ctypes.sizeof(ArrowSchema))


BODY = jb.encode({"response": jb.DocList(docs=[jb.Doc({"x": 7}), jb.Doc({"x": jb.Long(8)})])})


@pytest.mark.parametrize("field_format,children,error", [
    (b"l", "skip", None), (b"s", "skip", (ValueError, "unsupported Arrow column type: Int16")),
    (b"?!", "skip", (pa.ArrowException, "Invalid argument error")),
    (b"l", "none", (ValueError, "children must be")),  # fails after the schema was imported
])
@pytest.mark.parametrize("provider", [CapsuleProvider, ExportingSchema])
def test_schema_is_released_as_often_as_it_should_be(provider, field_format, children, error):
    tracked = TrackedSchema(field_format)
    decode = lambda: velkora.deserialize_arrow(BODY, provider(tracked), children=children)
    if error is None:
        assert decode().column("x").to_pylist() == [7, 8]
    else:
        pytest.raises(error[0], decode).match(error[1])
    assert tracked.releases == (provider is ExportingSchema)
    if provider is CapsuleProvider:  # the capsule's owner releases it, not the importer, and it is still whole
        tracked.root.release(ctypes.pointer(tracked.root))
    assert tracked.releases == 1
