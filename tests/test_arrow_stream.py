"""velkora.ArrowStreamDecoder: the rows deserialize_arrow gives, in any chunks, cut every batch_size rows."""

import random

import pyarrow as pa
import pytest

import arrow_expect as ax
import javabin as jb
import velkora
from arrow_expect import select, stream
from helpers import fed_until_failure, feed_all, in_fresh_python
from test_arrow import fed

SCHEMA = pa.schema([("id", pa.int64()), ("name", pa.utf8()), ("tags", pa.list_(pa.utf8()))])


def docs(n):
    return [[("id", i), ("name", f"doc {i}"), ("tags", ["a", "b"][: i % 3])] for i in range(n)]


def counts(data, schema, sizes=None, batch_size=65536, **kw):
    """Per call (the feeds, then finish), the rows of each batch returned, every batch of `schema`."""
    calls = feed_all(velkora.ArrowStreamDecoder(schema, batch_size, **kw), data, sizes)
    assert all(b.schema.equals(schema, check_metadata=True) for call in calls for b in call)
    return [[b.num_rows for b in call] for call in calls]


# ---------------------------------------------------------------------------
# Batch boundaries

# A MAP_ENTRY_ITER document written part by part (a bare SOLRDOC among its items is an anonymous child).
EntryDoc = type("EntryDoc", (jb.Arr,), {"tag": jb.MAP_ENTRY_ITER, "size": "END"})


def test_batches_cut_every_batch_size_rows():
    assert counts(select(*docs(7)), SCHEMA, batch_size=3) == [[3, 3], [1]]
    assert counts(select(*docs(6)), SCHEMA, batch_size=3) == [[3, 3], []]
    assert counts(select(*docs(3)), SCHEMA, batch_size=0) == [[1, 1, 1], []]
    assert counts(select(*docs(2)), SCHEMA, batch_size=True) == [[1, 1], []]
    assert counts(select(*docs(5)), SCHEMA, batch_size=2 ** 64 - 1) == [[], [5]]
    assert counts(select(*docs(7)), SCHEMA, [1], batch_size=3).count([3]) == 2


def test_a_documents_rows_never_split():
    # An anonymous child among the items of an entry document is measured as one item; with two children of a
    # field, the first document makes a batch of five rows at batch_size=2. Split at every byte, the same rows.
    data = stream(EntryDoc([jb.Extern("id"), 1, jb.Doc([("id", 2)], [jb.Doc([("id", 3)])]), jb.Extern("name"), "one",
                            jb.Extern("kids"), [jb.Doc([("id", 5)]), jb.Doc([("id", 6)])]]), [("id", 4)])
    schema = pa.schema(list(SCHEMA)[:2] + [("_parent_id", pa.int64()), ("_depth", pa.int32())])
    assert counts(data, schema, batch_size=2, children="explode") == [[5], [1]]
    whole = pa.Table.from_batches([velkora.deserialize_arrow(data, schema, children="explode")])
    assert fed(data, schema, batch_size=2, children="explode").to_pydict() == whole.to_pydict() == {
        "id": [1, 2, 3, 5, 6, 4], "name": ["one"] + [None] * 5, "_parent_id": [None, 1, 2, 1, 1, None],
        "_depth": [0, 1, 2, 1, 1, 0]}
    for cut in range(1, len(data)):
        assert fed(data, schema, [cut, len(data)], children="explode").equals(whole)


# ---------------------------------------------------------------------------
# Errors

KEYED = pa.schema([("id", pa.int64()), pa.field("name", pa.utf8(), nullable=False)])
# The third of six documents, and the start of the error it raises. Assembly fails on the batch that holds it.
FAILING = {
    "type mismatch": ([("id", 2), ("name", 5)], ax.MISFIT.format("utf8")),
    "invalid UTF-8": ([("id", 2), ("name", jb.Raw(b"\x22\xc3\x28"))], "invalid UTF-8 string at byte offset 6: "),
    "reference beyond the table": ([("id", 2), (jb.ExternRef(60), "x")], "unexpected end of input at byte offset"),
    "wrong document tag": (jb.Raw(bytes([jb.MAP, 0])), "expected SolrDocument or map at byte offset 0, found other tag"),
    "assembly": ([("id", 2)], "failed to build Arrow RecordBatch: Invalid argument error: Column 'name' is declared"),
}


def described(error):
    return (type(error), str(error), getattr(error, "__notes__", None)) + tuple(
        getattr(error, name) for name in ("kind", "offset", "stream_offset", "column", "document"))


@pytest.mark.parametrize("children", ["skip", "explode"])
@pytest.mark.parametrize("batch_size", [1, 2, 65536])
@pytest.mark.parametrize("sizes", [None, [1], "random", "every cut"])
@pytest.mark.parametrize("failure", FAILING)
def test_a_failure_is_kept(failure, sizes, batch_size, children):
    bad, message = FAILING[failure]
    good = [[("id", i), ("name", f"doc {i}")] for i in range(6)]
    data = select(*good[:2], bad, *good[3:])
    if sizes == "random":
        sizes = random.Random(failure).choices(range(1, 40), k=64)
    # Two pieces, cut at every byte: a document decoded straight from the bytes held may stop short at any
    # of them, or fail where it was cut, and must then be read as if it had come in one piece.
    cuts = [[cut, len(data)] for cut in range(1, len(data))] if sizes == "every cut" else [sizes]
    whole = failure_is_kept(data, None, batch_size, children, failure, message)
    for split in cuts:
        assert failure_is_kept(data, split, batch_size, children, failure, message) == whole, split


def failure_is_kept(data, sizes, batch_size, children, failure, message):
    dec = velkora.ArrowStreamDecoder(KEYED if failure == "assembly" else SCHEMA, batch_size, children=children)
    returned, first, _ = fed_until_failure(dec, data, sizes)
    rows = [i for call in returned for batch in call for i in batch.column(0).to_pylist()]
    assert first is not None and str(first).startswith(message)
    assert rows == [0, 1][:len(rows)]  # never a row of the failing document, or of one after it
    again = (lambda: dec.feed(b""), lambda: dec.feed(data), dec.finish, dec.finish)
    assert [described(pytest.raises(ValueError, call).value) for call in again] == [described(first)] * 4
    assert dec.schema().equals(dec.schema())  # the borrow was released every time
    return described(first)


@pytest.mark.rss
def test_memory_exhaustion_is_kept_too():
    out = in_fresh_python("""
        import pyarrow as pa, velkora
        from arrow_expect import Mark, select
        from helpers import cap_address_space
        import javabin as jb
        big = Mark(jb.Doc([("id", 1), ("name", "x" * (48 << 20))]))
        data = select([("id", 0), ("name", "a")], big, [("id", 2), ("name", "c")])
        schema = pa.schema([("id", pa.int64()), ("name", pa.utf8())])
        dec = velkora.ArrowStreamDecoder(schema, 1)
        print([b.column(0).to_pylist() for b in dec.feed(data[:big.offset])])
        cap_address_space(90 << 20)  # room for the buffered document, not for its text in the builder as well
        for call in (lambda: dec.feed(data[big.offset:]), lambda: dec.feed(b""), dec.finish, dec.finish):
            try:
                call()
                print("no error")
            except MemoryError:
                print("MemoryError")
        cap_address_space(None)
        fresh = velkora.ArrowStreamDecoder(schema, 1)
        print([b.column(0).to_pylist() for b in fresh.feed(data) + fresh.finish()])
    """, timeout=120)
    assert out.splitlines() == ["[[0]]"] + ["MemoryError"] * 4 + ["[[0], [1], [2]]"]


@pytest.mark.parametrize("failure", ["no pyarrow", "after the stream", "after the batch", "reentrant use"])
def test_batches_are_kept_when_pyarrow_cannot_take_them(failure):
    # pyarrow not importable at all, or failing once it holds the stream (or the batch). Python code runs inside
    # feed only while batches are handed to pyarrow: the decoder refuses to be used from there.
    out = in_fresh_python(f"""
        from types import SimpleNamespace
        import velkora
        from c_schema import TrackedSchema, CapsuleProvider
        failure = {failure!r}
        pyarrow = None if failure == "no pyarrow" else __import__("pyarrow")

        def fails(stage, value):
            global failure
            if failure == "reentrant use":
                for call in (dec.schema, lambda: dec.feed(b""), dec.finish):
                    try:
                        call()
                    except RuntimeError as e:
                        print(e)
                failure = None
            if failure == stage:
                raise ImportError("pyarrow failed")
            return value

        def import_from_c(address):  # pyarrow's reader, failing once the real one has taken what it was given
            reader = fails("after the stream", pyarrow.RecordBatchReader._import_from_c(address))
            return SimpleNamespace(read_next_batch=lambda: fails("after the batch", reader.read_next_batch()))

        dec, got = velkora.ArrowStreamDecoder(CapsuleProvider(TrackedSchema()), 2), []
        sys.modules["pyarrow"] = pyarrow and type(sys)("pyarrow")
        if pyarrow:
            reader = SimpleNamespace(_import_from_c=import_from_c)
            sys.modules["pyarrow"].__dict__.update(vars(pyarrow), RecordBatchReader=reader)
        try:
            got += dec.feed(bytes.fromhex("{select(*[[("x", i)] for i in range(5)]).hex()}"))
        except ImportError as e:
            print(e)
        failure = None
        sys.modules["pyarrow"] = pyarrow  # back as it was: none imported yet, or the real one
        if not pyarrow:
            del sys.modules["pyarrow"]
        print([b.column(0).to_pylist() for b in got + dec.feed(b"") + dec.finish()], dec.schema().names)
    """, timeout=120)
    raised = ["Already mutably borrowed", "Already borrowed", "Already borrowed"] if failure == "reentrant use" else [
        "import of pyarrow halted; None in sys.modules" if failure == "no pyarrow" else "pyarrow failed"]
    assert out.splitlines() == raised + ["[[0, 1], [2, 3], [4]] ['x']"]


# ---------------------------------------------------------------------------
# Arguments

@pytest.mark.parametrize("args,error,message", [
    ((SCHEMA, 10, 20), TypeError,
     "ArrowStreamDecoder.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ((), TypeError, "ArrowStreamDecoder.__new__() missing 1 required positional argument: 'schema'"),
    *[((SCHEMA, size), error, None) for size, error in [(-1, OverflowError), (2 ** 64, OverflowError),
                                                         (2.0, TypeError), (None, TypeError)]],
])
def test_constructor_arguments(args, error, message):
    info = pytest.raises(error, lambda: velkora.ArrowStreamDecoder(*args))
    if message is None:  # a bad batch_size
        assert info.value.__notes__ == ["while processing 'batch_size'"]
    else:
        assert str(info.value) == message
