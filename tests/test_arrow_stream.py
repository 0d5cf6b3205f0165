"""velkora.ArrowStreamDecoder: the rows deserialize_arrow gives, in any chunks, cut every batch_size rows."""

import gc
import random
import sys

import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import arrow_expect as ax
import javabin as jb
import velkora
from arrow_expect import export, select, stream
from descriptions import body as solr_body
from helpers import EOF, failure, fed_until_failure, feed_all, in_fresh_python, needs_data
from test_arrow import SOLR, _big, _solr_schema

SCHEMA = pa.schema([("id", pa.int64()), ("name", pa.utf8()), ("tags", pa.list_(pa.utf8()))])
TREE = pa.schema([("id", pa.int64()), ("_parent_id", pa.int64()), ("_depth", pa.int32())])


def docs(n, start=0):
    return [[("id", i), ("name", f"doc {i}"), ("tags", ["a", "b"][: i % 3])] for i in range(start, start + n)]


def fed(data, schema, sizes=None, batch_size=65536, **kw):
    """Per call (the feeds, then finish), the batches returned."""
    calls = feed_all(velkora.ArrowStreamDecoder(schema, batch_size, **kw), data, sizes)
    for batch in (b for call in calls for b in call):
        assert batch.schema.equals(schema, check_metadata=True)
    return calls


def table(calls, schema):
    return pa.Table.from_batches([b for call in calls for b in call], schema=schema)


def same_rows(data, schema, sizes, batch_size=65536, **kw):
    whole = pa.Table.from_batches([velkora.deserialize_arrow(data, schema, **kw)])
    assert table(fed(data, schema, sizes, batch_size, **kw), schema).equals(whole)


# ---------------------------------------------------------------------------
# The same rows for every chunking

@needs_data
@pytest.mark.parametrize("name,children", SOLR)  # child_docs in skip mode: refused alike
def test_solr_bodies_in_any_chunks(name, children):
    data, schema = solr_body(name), _solr_schema(name, children)
    for sizes in [None, [4096], [1] if len(data) < 100_000 else [65536], [1, 7, 2, 300, 13]]:
        if name == "child_docs" and children == "skip":
            assert failure(fed, data, schema, sizes) == failure(velkora.deserialize_arrow, data, schema) is not None
        else:
            same_rows(data, schema, sizes, children=children, batch_size=97)


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 12), st.sampled_from([select, export, stream]), st.sampled_from(["skip", "explode"]),
       st.lists(st.integers(1, 40), min_size=1, max_size=8), st.integers(0, 5))
def test_generated_bodies_in_random_chunks(n, envelope, children, sizes, batch_size):
    documents = [d + [("kid", jb.Doc([("id", 100 + i)]))] if i % 4 == 1 else d for i, d in enumerate(docs(n))]
    schema = SCHEMA if children == "skip" else pa.schema(list(SCHEMA) + list(TREE)[1:])
    data = envelope(*documents)
    same_rows(data, schema, sizes, children=children, batch_size=batch_size)


# A MAP_ENTRY_ITER document written part by part (a bare SOLRDOC among its items is an anonymous child).
EntryDoc = type("EntryDoc", (jb.Arr,), {"tag": jb.MAP_ENTRY_ITER, "size": "END"})
SPLIT = {  # a body, its children mode, and the columns of the whole body
    # an anonymous child among the items of an entry document is measured as one item
    "anonymous child": (lambda: stream(EntryDoc([jb.Extern("id"), 1, jb.Doc([("id", 2)], [jb.Doc([("id", 3)])]),
                                                 jb.Extern("name"), "one"]), [("id", 4)]), "explode",
                        {"id": [1, 2, 3, 4], "name": ["one", None, None, None], "_parent_id": [None, 1, 2, None],
                         "_depth": [0, 1, 2, 0]}),
    # both documents define and use their own field names
    "extern definitions": (lambda: stream([("first name", "x"), ("id", 1)],
                                          [("second name", "y"), ("id", 2), ("first name", "z")]),
                           "skip", {"id": [1, 2], "first name": ["x", "z"], "second name": [None, "y"]}),
}


@pytest.mark.parametrize("case", SPLIT)
def test_two_pieces_split_at_every_byte(case):
    make, children, columns = SPLIT[case]
    types = {"id": pa.int64(), "_parent_id": pa.int64(), "_depth": pa.int32()}
    data, schema = make(), pa.schema([(name, types.get(name, pa.utf8())) for name in columns])
    assert velkora.deserialize_arrow(data, schema, children=children).to_pydict() == columns
    for cut in range(1, len(data)):
        same_rows(data, schema, [cut, len(data)], children=children)


# ---------------------------------------------------------------------------
# Batch boundaries

def test_batches_cut_every_batch_size_rows():
    counts = lambda calls: [[b.num_rows for b in call] for call in calls]
    assert counts(fed(select(*docs(7)), SCHEMA, batch_size=3)) == [[3, 3], [1]]
    assert counts(fed(select(*docs(6)), SCHEMA, batch_size=3)) == [[3, 3], []]
    assert counts(fed(select(*docs(3)), SCHEMA, batch_size=0)) == [[1, 1, 1], []]
    assert counts(fed(select(*docs(2)), SCHEMA, batch_size=True)) == [[1, 1], []]
    assert counts(fed(select(*docs(5)), SCHEMA, batch_size=2 ** 64 - 1)) == [[], [5]]
    assert counts(fed(select(*docs(7)), SCHEMA, [1], batch_size=3)).count([3]) == 2
    # A document's rows never split: two children make a batch of three rows at batch_size=2.
    tree = select([("id", 1), ("kids", [jb.Doc([("id", 2)]), jb.Doc([("id", 3)])])], [("id", 4)])
    calls = fed(tree, TREE, batch_size=2, children="explode")
    assert counts(calls) == [[3], [1]]
    assert table(calls, TREE).to_pydict() == {"id": [1, 2, 3, 4], "_parent_id": [None, 1, 1, None],
                                              "_depth": [0, 1, 1, 0]}


# ---------------------------------------------------------------------------
# A cut download is an error, never a short table

LAST = ax.Mark(jb.Doc(docs(5)[4]))
CUTS = [  # body, where it is cut, the bytes finish reports still held, the rows fed, the rows of the rest
    (select(*docs(5)), 12, 12, [], None),               # in the envelope: every byte is still held
    (export(*docs(5)), -3, 0, [2, 2], None),            # after the last document, before the iterator's END
    (stream(*docs(3), end=False), None, 0, [2], None),  # the iterator never ends
    (b"", None, 0, [], None),                           # no bytes at all
    (select(*docs(4), LAST), LAST.offset + 3, 3, [2, 2], [1]),  # in a counted document: the bytes it holds
]


@pytest.mark.parametrize("data,cut,held,rows,rest", CUTS)
def test_finish_refuses_a_cut_stream(data, cut, held, rows, rest):
    schema = SCHEMA.with_metadata({"origin": "solr"})
    dec = velkora.ArrowStreamDecoder(schema, 2)
    first = dec.schema()
    assert [b.num_rows for b in dec.feed(data[:cut])] == rows
    for _ in range(2):  # the same again: finish changes nothing
        pytest.raises(ValueError, dec.finish).match(f"^{EOF.format(held)}$")
    if rest is not None:  # and the rest still completes the table
        assert [b.num_rows for b in dec.feed(data[cut:]) + dec.finish()] == rest
    # schema() at any time: a new object each call, the schema given, metadata included
    assert first is not dec.schema() and first.equals(schema, check_metadata=True)
    assert dec.schema().equals(schema, check_metadata=True)


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
    for again in (lambda: dec.feed(b""), lambda: dec.feed(data), dec.finish, dec.finish):
        caught = pytest.raises(ValueError, again)
        assert described(caught.value) == described(first)
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


def test_envelope_errors_count_from_the_stream():
    data = jb.encode(jb.NamedList([(jb.Raw(bytes([jb.INT, 0, 0, 0, 1])), 1)]))
    dec = velkora.ArrowStreamDecoder(SCHEMA)
    for chunk in (data, b"", b"x"):
        with pytest.raises(ValueError, match="^expected field name \\(string or null\\) at byte offset 2, found other tag$"):
            dec.feed(chunk)


# How pyarrow fails to take a batch: not importable at all, or failing once it holds the stream (or the batch).
EXPORT_FAILURES = ["no pyarrow", "after the stream", "after the batch"]


@pytest.mark.parametrize("failure", EXPORT_FAILURES)
def test_batches_are_kept_when_pyarrow_cannot_take_them(failure):
    out = in_fresh_python(f"""
        from c_schema import TrackedSchema, CapsuleProvider
        failure, failing = {failure!r}, [False]

        class NoPyarrow:
            def find_spec(self, name, path=None, target=None):
                if failing[0] and failure == "no pyarrow" and name.partition(".")[0] == "pyarrow":
                    raise ImportError("no pyarrow now")

        def fails(stage, value):
            if failing[0] and failure == stage:
                raise ImportError("pyarrow failed")
            return value

        sys.meta_path.insert(0, NoPyarrow())
        if failure != "no pyarrow":
            import pyarrow

            class Flaky:  # pyarrow's reader, failing once the real one has taken what it was given
                def __init__(self, reader):
                    self.reader = reader

                @classmethod
                def _import_from_c(cls, address):
                    return fails("after the stream", cls(pyarrow.RecordBatchReader._import_from_c(address)))

                def read_next_batch(self):
                    return fails("after the batch", self.reader.read_next_batch())

            sys.modules["pyarrow"] = type(sys)("pyarrow")
            sys.modules["pyarrow"].__dict__.update(vars(pyarrow), RecordBatchReader=Flaky)
        import velkora
        dec = velkora.ArrowStreamDecoder(CapsuleProvider(TrackedSchema()), 2)
        failing[0] = True
        try:
            dec.feed(bytes.fromhex("{select(*[[("x", i)] for i in range(5)]).hex()}"))
        except ImportError:
            pass
        else:
            raise AssertionError("the batches went out although pyarrow failed")
        failing[0] = False
        got = dec.feed(b"") + dec.finish()
        print([b.column(0).to_pylist() for b in got])
    """, timeout=120)
    assert out.strip() == "[[0, 1], [2, 3], [4]]"


# ---------------------------------------------------------------------------
# The object: schema(), threads, arguments

@pytest.mark.skipif(sys.version_info >= (3, 12), reason="from 3.12 the collector runs between bytecodes only, "
                    "so no callback of it can run inside feed")
def test_reentrant_use_is_refused():
    # Python code can run inside feed only while batches are handed to pyarrow: a collector callback then.
    dec, data, seen, armed = velkora.ArrowStreamDecoder(SCHEMA, 1), select(*docs(3)), [], []
    feed = dec.feed  # bound before arming: nothing is allocated between arming and the call

    def during_collection(phase, info):
        if phase == "start" and armed and not seen:
            for call in (dec.schema, lambda: dec.feed(b""), dec.finish):
                try:
                    call()
                    seen.append("no error")
                except Exception as e:
                    seen.append(f"{type(e).__name__}: {e}")

    thresholds = gc.get_threshold()
    gc.callbacks.append(during_collection)
    gc.set_threshold(1)
    try:
        armed.append(True)
        batches = feed(data)
        armed.clear()
    finally:
        gc.set_threshold(*thresholds)
        gc.callbacks.remove(during_collection)
    assert seen == ["RuntimeError: Already mutably borrowed", "RuntimeError: Already borrowed",
                    "RuntimeError: Already borrowed"]
    assert [b.num_rows for b in batches + dec.finish()] == [1, 1, 1] and dec.schema().equals(SCHEMA)


@pytest.mark.parametrize("args,kwargs,error,message", [
    ((SCHEMA, 10, 20), {}, TypeError,
     "ArrowStreamDecoder.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ((), {}, TypeError, "ArrowStreamDecoder.__new__() missing 1 required positional argument: 'schema'"),
    *[((SCHEMA, size), {}, error, None) for size, error in [(-1, OverflowError), (2 ** 64, OverflowError),
                                                             (2.0, TypeError), (None, TypeError)]],
    ((SCHEMA,), {"children": "both"}, ValueError, 'children must be "skip" or "explode", not "both"'),
    ((SCHEMA,), {"child_columns": {"id": "x"}}, ValueError,
     'unknown child_columns role "id"; expected one of "parent_id", "depth", "child_field", "key"'),
    ((pa.schema([("a", pa.int8())]),), {}, ValueError, "unsupported Arrow column type: Int8"),
])
def test_constructor_arguments(args, kwargs, error, message):
    info = pytest.raises(error, lambda: velkora.ArrowStreamDecoder(*args, **kwargs))
    if message is None:  # a bad batch_size
        assert info.value.__notes__ == ["while processing 'batch_size'"]
    else:
        assert str(info.value) == message


# ---------------------------------------------------------------------------
# Memory stays flat in the response size

@pytest.mark.rss
def test_memory_does_not_grow_with_the_response():
    def peak(n):
        # The body itself is made before decoding: subtract what holding it costs.
        rows, rss = map(int, in_fresh_python("""
            import resource
            import velkora
            from helpers import pieces
            from test_arrow import _big
            data, schema = _big(int(sys.argv[1]))
            dec, rows = velkora.ArrowStreamDecoder(schema, 8192), 0
            for chunk in pieces(data, [65536]):
                rows += sum(b.num_rows for b in dec.feed(chunk))
            rows += sum(b.num_rows for b in dec.finish())
            del data, chunk
            print(rows, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
        """, n).split())
        assert rows == n
        return rss - len(_big(n)[0])

    small, large = peak(5_000), peak(50_000)
    assert large - small < 24 << 20, (small, large)
