"""Every Arrow C schema velkora receives is released exactly as often as it should be."""

import ctypes

import pytest

pa = pytest.importorskip("pyarrow")

import javabin as jb
import velkora
from c_schema import ArrowSchema, CapsuleProvider, TrackedSchema


class ExportingSchema(pa.Schema):
    """A pyarrow.Schema reached through _export_to_c, which hands over the tracked structure."""

    @property
    def __arrow_c_schema__(self):
        raise AttributeError("only _export_to_c here")

    def _export_to_c(self, address):
        ctypes.memmove(address, ctypes.addressof(self.tracked.root), ctypes.sizeof(ArrowSchema))


def exporting(tracked):
    schema = ExportingSchema.__new__(ExportingSchema)
    schema.tracked = tracked
    return schema


BODY = jb.encode({"response": jb.DocList(docs=[jb.Doc({"x": 7}), jb.Doc({"x": jb.Long(8)})])})


def test_capsule_schema_is_never_released_by_velkora():
    tracked = TrackedSchema()
    batch = velkora.deserialize_arrow(BODY, CapsuleProvider(tracked))
    assert batch.column("x").to_pylist() == [7, 8]
    assert tracked.releases == 0  # the capsule's owner releases it, not the importer
    tracked.root.release(ctypes.pointer(tracked.root))
    assert tracked.releases == 1


@pytest.mark.parametrize("field_format,children,error", [
    (b"l", "skip", None), (b"s", "skip", (ValueError, "unsupported Arrow column type: Int16")),
    (b"?!", "skip", (pa.ArrowException, "Invalid argument error")),
    (b"l", "none", (ValueError, "children must be")),  # fails after the schema was imported
])
def test_exported_schema_is_released_once_on_every_path(field_format, children, error):
    tracked = TrackedSchema(field_format)
    decode = lambda: velkora.deserialize_arrow(BODY, exporting(tracked), children=children)
    if error is None:
        assert decode().num_rows == 2
    else:
        pytest.raises(error[0], decode).match(error[1])
    assert tracked.releases == 1
