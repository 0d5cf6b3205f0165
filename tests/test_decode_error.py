"""velkora.DecodeError: its kind and offsets, on every entry and both chunk-fed decoders."""

import re

import pytest

import arrow_expect as ax
import javabin as jb
import velkora
from descriptions import body
from helpers import every_cut, fails_alike_at_every_cut, failure, feed_all, needs_data, outcome
from velkora import _core

pa = pytest.importorskip("pyarrow")

OFFSET = re.compile(r"at byte offset (\d+)")
SCHEMA = pa.schema([("id", pa.utf8()), ("n", pa.int64())])
LISTS = pa.schema([("id", pa.utf8()), ("tags", pa.list_(pa.int64()))])

WHOLE_BODY = {
    "deserialize": velkora.deserialize,
    "deserialize_json": velkora.deserialize_json,
    "_bench_parse_only": velkora._bench_parse_only,
    "_deserialize_safe": velkora._deserialize_safe,
    "deserialize_stream": lambda b: velkora.deserialize_stream(b, lambda doc: None),
}
COUNTING = {  # these read the envelope and return how many documents it holds
    "deserialize_arrow": lambda data: velkora.deserialize_arrow(data, SCHEMA).num_rows,
    "_survey": lambda data: _core._survey(data)["documents"],
}


# (body, kind, offset): faults of the envelope, or of a top-level value that is no envelope, which every decoder
# reads through; kind None: a sound body without documents.
ENVELOPE_FAULTS = [
    (b"\x02\xc2\x21a\x14" + b"\x00" * 10, "UnknownTag", 4),
    (b"\x02\x1c" + b"\x00" * 10, "UnknownTag", 1),
    (b"\x02\x82\x00\x1f", "UnknownTag", 3),
    (b"\x02\x83\x01\x02", "UnexpectedEof", 4),  # cut: the chunk-fed decoders wait for the rest
    (jb.encode(jb.nested(jb.Arr(), 128)), "DepthExceeded", 129),  # 129 arrays deep
    (b"\x02\x0f", "UnexpectedValue", 1),  # an END marker is no top-level value
    (jb.encode(jb.nested(jb.Arr(), 127)), None, None),
    (b"\x02\x41", None, None),
    (b"\x02\x82\x41\xe0\x21a", None, None),
    *[(bytes([version]) + b"\xc1\x21a\x41", "InvalidVersion", None) for version in (0, 1, 3, 0x80, 0xFF)],
]
# More of the reference rules' failures, each with the offset its message names (or None).
FAILURES = ENVELOPE_FAULTS + [
    (b"", "UnexpectedEof", 0),
    (b"\x02", "UnexpectedEof", 1),
    (b"\x01", "InvalidVersion", None),
    (b"\x02\x14", "UnknownTag", 1),
    (b"\x02\x00\x00", "TrailingData", None),
    (b"\x02\x82\x00\x22\xc3\x28", "InvalidUtf8", 4),
    (b"\x02" + b"\x81" * 128 + b"\x00", "DepthExceeded", 129),
    (b"\x02\x82\xe0\x23abc\xe2", "UnexpectedEof", 8),
]


def message_offset(error: Exception) -> int | None:
    found = OFFSET.search(str(error))
    return int(found.group(1)) if found else None


def test_exported_beside_the_core_names():
    assert velkora.DecodeError is _core.DecodeError
    assert "DecodeError" in velkora.__all__ and "DecodeError" not in _core.__all__
    assert issubclass(velkora.DecodeError, ValueError) and velkora.DecodeError.__module__ == "velkora"
    made = velkora.DecodeError("by hand")
    assert (made.kind, made.offset, made.stream_offset, made.column, made.document) == (None,) * 5


@pytest.mark.parametrize("entry, data, kind, offset", [(entry, *case) for entry in WHOLE_BODY for case in FAILURES]
                         + [(entry, *case) for entry in COUNTING for case in ENVELOPE_FAULTS])
def test_whole_body_entries(entry, data, kind, offset):
    call = WHOLE_BODY.get(entry) or COUNTING[entry]
    if kind is None:  # a sound body: every entry reads it, and those that count documents find none
        result = call(data)
        assert entry in WHOLE_BODY or result == 0
        return
    error = pytest.raises(velkora.DecodeError, call, data).value
    assert (error.kind, error.offset, error.stream_offset, str(error)) == \
        (kind, offset, None, failure(velkora.deserialize, data))
    assert error.offset == message_offset(error)


def test_arrow_kinds_without_a_place():
    data = ax.select([("id", "a")], [("n", 1)])
    error = pytest.raises(velkora.DecodeError, velkora.deserialize_arrow, data, pa.schema([("d", pa.int8())])).value
    assert (str(error), error.kind, error.column, error.document) == \
        ("unsupported Arrow column type: Int8", "UnsupportedArrowType", None, None)
    strict = pa.schema([pa.field("id", pa.utf8(), nullable=False)])
    error = pytest.raises(velkora.DecodeError, velkora.deserialize_arrow, data, strict).value
    assert (error.kind, error.column, error.document, error.offset) == ("ArrowBuild", "id", None, None)
    assert error.__notes__ == ["in column 'id'"]
    # A bad argument is not a decode failure.
    assert type(pytest.raises(ValueError, velkora.deserialize_arrow, data, SCHEMA, children="all").value) is ValueError


# Each case: document 3 of 5, or its fields (the value marked where the failure is), the column it names, the
# kind, the schema and children mode. A value that does not fit is located at the value (the element of a
# multi-valued field), whose offset its message does not name.
PLACES = {
    "scalar": (lambda m: [("id", "d3"), ("n", m("text"))], "n", "ArrowTypeMismatch", SCHEMA, "skip"),
    "first of several": (lambda m: [("n", jb.Arr([m("x"), 2]))], "n", "ArrowTypeMismatch", SCHEMA, "skip"),
    "list item": (lambda m: [("tags", jb.Arr([1, m("x")]))], "tags", "ArrowTypeMismatch", LISTS, "skip"),
    "invalid UTF-8": (lambda m: [("id", m(jb.Raw(b"\x22\xc3\x28")))], "id", "InvalidUtf8", SCHEMA, "skip"),
    "child in a flat table": (lambda m: jb.Doc([("id", "d3")], children=[m(jb.Doc([("id", "c")]))]),
                              None, "ChildDocumentsInFlatTable", SCHEMA, "skip"),
    "in a child row": (lambda m: jb.Doc([("id", "d3")], children=[jb.Doc([("id", "c"), ("n", m("x"))])]),
                       "n", "ArrowTypeMismatch", SCHEMA, "explode"),
}


@pytest.mark.parametrize("case", PLACES)
@pytest.mark.parametrize("chunk", [None, 1, 7])
def test_arrow_errors_say_where(case, chunk):
    document, column, kind, schema, children = PLACES[case]
    marked, docs = [], [[("id", f"d{i}"), ("n", jb.Long(i))] for i in range(5)]
    docs[3] = document(lambda value: marked.append(ax.Mark(jb.wire(value))) or marked[-1])
    data = ax.select(*docs)
    at = marked[0].offset + (kind == "InvalidUtf8")  # an invalid string is named by its first byte after the size
    decode = (lambda: velkora.deserialize_arrow(data, schema, children=children)) if chunk is None else \
        (lambda: feed_all(velkora.ArrowStreamDecoder(schema, 2, children=children), data, [chunk]))
    error = pytest.raises(velkora.DecodeError, decode).value
    if chunk is None:
        assert (error.offset, error.stream_offset) == (at, None)
        where = f"at byte offset {at}"
    else:
        assert error.stream_offset == at and error.offset < at
        where = f"at byte offset {error.offset} of the document ({at} of the stream)"
    assert (error.kind, error.column, error.document) == (kind, column, 3)
    assert error.__notes__ == [(f"in column '{column}' of document 3, " if column else "in document 3, ") + where]
    if kind not in ("ArrowTypeMismatch", "ChildDocumentsInFlatTable"):
        assert error.offset == message_offset(error)


EVERY_CUT = ("select_small", "child_docs", "stream_like", "input_docs", "javabin_sample", "updateReq_4_5",
             "javabin_backcompat", "javabin_backcompat_child_docs")


@needs_data
@pytest.mark.parametrize("name, stride", [*[(name, 1) for name in EVERY_CUT], ("export_like", 37), ("all_types", 3)])
def test_every_truncation_names_its_offset(name, stride):
    # A cut body runs out of input (an earlier fault of the whole body stays that fault), at or before the cut;
    # deserialize and the reference decoder fail with the same text.
    data = body(name)
    cuts = set(range(0, len(data), stride)) | set(range(max(0, len(data) - 300), len(data)))
    for entry in (velkora.deserialize, velkora._deserialize_safe, velkora.deserialize_json, velkora._bench_parse_only):
        whole = failure(entry, data)
        for cut, error in every_cut(data, entry, cuts):
            assert isinstance(error, velkora.DecodeError) and error.offset == message_offset(error) <= cut
            assert error.kind == "UnexpectedEof" or whole is not None and error.args == (whole,)
    fails_alike_at_every_cut(data, velkora._deserialize_safe, velkora.deserialize, cuts)


# ---------------------------------------------------------------------------------------------------------
# Chunk-fed decoders: offsets of document errors count from the document, stream_offset from the first byte.


def docs_with_fault(fault: bytes, position: int, total: int = 6) -> bytes:
    """A /select body of `total` documents, the one at `position` holding `fault` as its "n" value."""
    return ax.select(*[[("id", f"doc-{i}"), ("n", jb.Raw(fault) if i == position else jb.Long(i))]
                       for i in range(total)])


STREAM_DECODERS = {
    "StreamDecoder": lambda data, chunk: feed_all(velkora.StreamDecoder(), data, [chunk], lambda doc: None),
    "ArrowStreamDecoder": lambda data, chunk: feed_all(velkora.ArrowStreamDecoder(SCHEMA, 2), data, [chunk]),
}
SOUND = docs_with_fault(b"", -1, total=40)  # sound: cut below, for finish() to find it cut


@pytest.mark.parametrize("decoder", STREAM_DECODERS)
@pytest.mark.parametrize("chunk", [1, 5, 9, 64, 1 << 20])
@pytest.mark.parametrize("data, kind", [
    (docs_with_fault(b"\x14", 4), "UnknownTag"),  # inside the fifth document
    (docs_with_fault(b"\x22\xc3\x28", 0), "InvalidUtf8"),
    (docs_with_fault(b"\x1f", 5), "UnknownTag"),
    (SOUND[:len(SOUND) * 3 // 4], "UnexpectedEof"),
])
def test_stream_offset_counts_from_the_first_byte(decoder, chunk, data, kind):
    whole = pytest.raises(velkora.DecodeError, velkora.deserialize, data).value
    error = pytest.raises(velkora.DecodeError, STREAM_DECODERS[decoder], data, chunk).value
    assert error.kind == whole.kind == kind
    # counted as the whole body counts (or, for a cut body, up to the end of what was fed), while the message
    # counts from the failing document
    assert error.stream_offset == (len(data) if kind == "UnexpectedEof" else whole.offset)
    assert error.offset == message_offset(error) < error.stream_offset


@pytest.mark.parametrize("decoder", STREAM_DECODERS)
@pytest.mark.parametrize("chunk", [1, 1 << 20])
@pytest.mark.parametrize("data, kind, offset", ENVELOPE_FAULTS)
def test_envelope_errors_count_from_the_stream_start(decoder, chunk, data, kind, offset):
    dec = velkora.StreamDecoder() if decoder == "StreamDecoder" else velkora.ArrowStreamDecoder(SCHEMA, 2)
    args = (pytest.fail,) if decoder == "StreamDecoder" else ()
    # each feed delivers nothing or fails; and an empty chunk after the last
    fed = [outcome(dec.feed, data[start:start + chunk], *args) for start in [*range(0, len(data), chunk), len(data)]]
    assert all(isinstance(result, velkora.DecodeError) or not result for result in fed)
    errors = [result for result in fed if isinstance(result, ValueError)]
    if kind in (None, "UnexpectedEof"):  # nothing wrong yet, or a value waiting for its end: finish() tells
        assert errors == []
        if kind is None:
            assert not dec.finish()
            return
        errors = [pytest.raises(velkora.DecodeError, dec.finish).value]
    else:
        assert len(errors) >= 2  # refused, and again at the next feed
    whole = pytest.raises(velkora.DecodeError, velkora.deserialize, data)
    for error in errors:
        assert (error.kind, error.offset, error.stream_offset, str(error)) == (kind, offset, offset, str(whole.value))
