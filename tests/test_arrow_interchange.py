"""The exchange with pyarrow: every C structure velkora creates or receives is released exactly as often as it
should be, and batches reach pyarrow without a copy."""

import ctypes

import pytest

pa = pytest.importorskip("pyarrow")

import javabin as jb
import velkora


class ArrowSchema(ctypes.Structure):
    pass


RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", RELEASE), ("private_data", ctypes.c_void_p),
]
NULLABLE = 2


class TrackedSchema:
    """A C schema of one int64 field named "x" (its format given), whose release calls are counted."""

    def __init__(self, field_format=b"l"):
        self.releases = 0

        @RELEASE
        def release(schema):
            self.releases += 1
            schema.contents.release = RELEASE()  # released: the producer's mark

        @RELEASE
        def release_child(schema):
            schema.contents.release = RELEASE()

        self._callbacks = (release, release_child)
        self.child = ArrowSchema(field_format, b"x", None, NULLABLE, 0, None, None, release_child, None)
        self._children = (ctypes.POINTER(ArrowSchema) * 1)(ctypes.pointer(self.child))
        self.root = ArrowSchema(b"+s", b"", None, 0, 1, self._children, None, release, None)

    def capsule(self):
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return new(ctypes.addressof(self.root), b"arrow_schema", None)


class CapsuleProvider:
    """Any Arrow library's schema: only the capsule protocol."""

    def __init__(self, tracked):
        self.tracked = tracked

    def __arrow_c_schema__(self):
        return self.tracked.capsule()


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


@pytest.mark.parametrize("field_format, error", [
    (b"l", None),
    (b"s", (ValueError, "unsupported Arrow column type: Int16")),
    (b"?!", (pa.ArrowException, "Invalid argument error")),
])
def test_exported_schema_is_released_once_on_every_path(field_format, error):
    tracked = TrackedSchema(field_format)
    if error is None:
        assert velkora.deserialize_arrow(BODY, exporting(tracked)).num_rows == 2
    else:
        with pytest.raises(error[0], match=error[1]):
            velkora.deserialize_arrow(BODY, exporting(tracked))
    assert tracked.releases == 1


def test_export_that_fails_in_pyarrow_still_releases():
    tracked = TrackedSchema()
    schema = exporting(tracked)
    with pytest.raises(ValueError, match="children must be"):  # fails after the schema was imported
        velkora.deserialize_arrow(BODY, schema, children="none")
    assert tracked.releases == 1


def test_batches_reach_pyarrow_without_a_copy():
    schema = pa.schema([("x", pa.int64())])
    velkora.deserialize_arrow(BODY, schema)  # pyarrow's own first-use allocations out of the way
    before = pa.total_allocated_bytes()
    batch = velkora.deserialize_arrow(BODY * 1, schema)
    assert pa.total_allocated_bytes() == before  # the buffers are velkora's, handed over as they are
    assert batch.schema.equals(schema, check_metadata=True) and batch.column(0).to_pylist() == [7, 8]
