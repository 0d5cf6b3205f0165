"""Arrow C schemas made with ctypes, whose release calls are counted; no pyarrow needed."""

import ctypes


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


def capsule(address, name=b"arrow_schema"):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(address, name, None)


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
        return capsule(ctypes.addressof(self.root))


class CapsuleProvider:
    """Any Arrow library's schema: only the capsule protocol."""

    def __init__(self, tracked):
        self.tracked = tracked

    def __arrow_c_schema__(self):
        return self.tracked.capsule()
