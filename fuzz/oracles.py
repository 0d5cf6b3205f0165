"""What the decoders must agree on for one body; a disagreement raises `Disagreement`.

Used by the fuzz targets (fuzz/targets.py) under the instrumented build and by the replay tests under the normal
one, so it needs nothing but velkora (and pyarrow for the Arrow checks). Outcomes are compared exactly: equal
values of equal types in equal order (NaN equals NaN, -0.0 is not 0.0, 1 is not True), or the same error text.
"""

from __future__ import annotations

import json
import math
import re

import velkora
from velkora._json_text import json_text, json_value


class Disagreement(AssertionError):
    """Two decoders, or two ways of feeding one decoder, gave different outcomes for the same bytes."""


class SlowFeeding(Disagreement):
    """Feeding a body in small chunks went over far more bytes than feeding it whole: work not linear in the
    input."""


def check(condition: bool, what: str, *details) -> None:
    if not condition:
        raise Disagreement(what + "".join(f"\n  {d!r}"[:2000] for d in details))


# ---------------------------------------------------------------------------
# Outcomes and exact comparison

class Failed:
    """A call that raised ValueError; anything else a decoder raises is left to escape as a finding."""

    def __init__(self, error: ValueError) -> None:
        self.message = str(error)

    def __eq__(self, other) -> bool:
        return isinstance(other, Failed) and other.message == self.message

    def __repr__(self) -> str:
        return f"Failed({self.message!r})"


def outcome(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except ValueError as error:
        return Failed(error)


def same(a, b) -> bool:
    """Equal values of identical types, dict keys in the same order, floats bit for bit up to NaN payloads."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, dict):
        return len(a) == len(b) and all(same(ka, kb) and same(va, vb)
                                        for (ka, va), (kb, vb) in zip(a.items(), b.items()))
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def is_prefix(short: list, long: list) -> bool:
    return len(short) <= len(long) and all(same(x, y) for x, y in zip(short, long))


# ---------------------------------------------------------------------------
# deserialize, _deserialize_safe, _bench_parse_only, deserialize_json

_UNKNOWN_TAG = re.compile(r"unknown javabin tag byte 0x[0-9a-f]{2} at byte offset (\d+)$")
TYPED_ARR = 0x15
JSON_TEXT_LIMIT = 64 << 20  # a body whose JSON text may pass this is not rendered (extern strings repeat)


def read_vint(data: bytes, pos: int) -> int | None:
    """The wire's unsigned varint at `pos`: seven bits a byte, least significant first, into 32 bits with the shift
    taken modulo 32 and no limit on the bytes; None if it runs past the end."""
    value, k = 0, 0
    for byte in data[pos:]:
        value = (value | ((byte & 0x7F) << (7 * k % 32))) & 0xFFFFFFFF
        if not byte & 0x80:
            return value
        k += 1
    return None


def _empty_typed_array_type_at(data: bytes, offset: int) -> bool:
    """The byte at `offset` is the element type of a TYPED_ARR whose count is 0."""
    return 1 <= offset < len(data) - 1 and data[offset - 1] == TYPED_ARR and read_vint(data, offset + 1) == 0


def safe_agrees_with_fast(data: bytes, fast) -> None:
    """`_deserialize_safe` gives what `deserialize` gives. Their one difference on well-formed bytes: an empty
    TYPED_ARR with an unknown element type is an empty list to `deserialize` and an unknown tag to the safe path.
    Where that explains a disagreement, the type byte is made a known one (which changes nothing for
    `deserialize`) and the two are compared again on the result."""
    for _ in range(len(data) + 1):
        safe = outcome(velkora._deserialize_safe, data)
        if same(safe, fast):
            return
        match = isinstance(safe, Failed) and _UNKNOWN_TAG.match(safe.message)
        at = int(match.group(1)) if match else -1
        check(match and _empty_typed_array_type_at(data, at),
              "_deserialize_safe and deserialize disagree", data, safe, fast)
        data = data[:at] + bytes([4]) + data[at + 1:]
        patched = outcome(velkora.deserialize, data)
        check(same(patched, fast), "deserialize changed with the element type of an empty TYPED_ARR", data,
              patched, fast)


def rendered_size_bound(value, limit: int = JSON_TEXT_LIMIT) -> int:
    """An upper bound of the JSON text of a decoded value, counted until it passes `limit`."""
    total, stack = 0, [value]
    while stack and total <= limit:
        v = stack.pop()
        if isinstance(v, str):
            total += 6 * len(v.encode("utf-8", "surrogatepass")) + 3
        elif isinstance(v, bytes):
            total += 4 * len(v) // 3 + 7
        elif isinstance(v, dict):
            total += 2 + len(v)
            for k, x in v.items():
                stack += [k, x]
        elif isinstance(v, list):
            total += 2 + len(v)
            stack += v
        else:
            total += 30
    return total


def _json_key(key):
    return "" if key is None else key


_DOC_LIST_KEYS = ["numFound", "start", "maxScore", "numFoundExact", "docs"]


def text_is_determined(value) -> bool:
    """Whether `json_text` of this value of `deserialize` must be deserialize_json's very text: true unless a
    dict could stand for two different JSON renderings (a None key is a named list's "" or a map's pair; keys
    Python holds equal were merged; a document list's header keeps only numbers in the value tree)."""
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, dict):
            if not all(isinstance(k, str) for k in v) or list(v) == _DOC_LIST_KEYS:
                return False
            stack += v.values()
        elif isinstance(v, list):
            stack += v
    return True


def _json_pairs(value) -> list | None:
    if isinstance(value, list) and all(isinstance(p, list) and len(p) == 2 for p in value):
        return value
    return None


def json_agrees(expected, text_value, path="$") -> None:
    """`text_value` (parsed JSON text) against `expected` (a value of `deserialize`), allowing for what JSON
    cannot say: sorted keys, "" for a null key, header items of a document list that the value tree keeps only
    when they are numbers, maps with other keys than strings (dicts there, arrays of pairs here)."""
    if isinstance(expected, dict):
        if all(isinstance(k, str) or k is None for k in expected) and isinstance(text_value, dict):
            keys = list(expected)
            doc_list = keys == ["numFound", "start", "maxScore", "numFoundExact", "docs"]
            if None in expected and "" in expected:  # which of the two came last is lost in the dict
                expected = {k: v for k, v in expected.items() if k not in (None, "")}
                text_value = {k: v for k, v in text_value.items() if k != ""}
            check({_json_key(k) for k in expected} == set(text_value), f"JSON keys differ at {path}",
                  sorted(map(str, expected)), sorted(text_value))
            for k, v in expected.items():
                key = _json_key(k)
                if doc_list and key in ("numFound", "start", "maxScore", "numFoundExact"):
                    _doc_list_header_agrees(key, v, text_value[key], f"{path}.{key}")
                else:
                    json_agrees(v, text_value[key], f"{path}.{key}")
            return
        pairs = _json_pairs(text_value)
        check(pairs is not None, f"JSON has no pairs for a map at {path}", expected, text_value)
        check(len(expected) <= len(pairs), f"JSON pairs missing at {path}", expected, text_value)
        if any(isinstance(k, bytes) or isinstance(k, float) and not math.isfinite(k) for k in expected):
            return  # as JSON strings these keys may meet string keys that Python keeps apart
        # A dict merges keys Python holds equal (1, 1.0 and True are one key): the first key stays, in its place,
        # with the last value.
        last = {}
        for k, v in pairs:
            merged = k if isinstance(k, (str, int, float, type(None))) else json.dumps(k, sort_keys=True)
            last[merged] = (last[merged][0] if merged in last else k, v)
        check(len(last) == len(expected), f"JSON map keys differ at {path}", expected, text_value)
        for (k, v), (tk, tv) in zip(expected.items(), last.values()):
            json_agrees(k, tk, f"{path}<key>")
            json_agrees(v, tv, f"{path}[{k!r}]")
        return
    if isinstance(expected, list):
        check(isinstance(text_value, list) and len(text_value) == len(expected), f"JSON array differs at {path}",
              expected, text_value)
        for i, (x, y) in enumerate(zip(expected, text_value)):
            json_agrees(x, y, f"{path}[{i}]")
        return
    check(same(json_value(expected), text_value), f"JSON scalar differs at {path}", expected, text_value)


def _doc_list_header_agrees(key, expected, text_value, path) -> None:
    # The value tree keeps numFound/start only from an int or long (else 0), maxScore only from a float or double
    # and numFoundExact only from a bool (else null); Python keeps whatever was decoded, and a byte, short or date
    # is an int there too. A named list with these five keys is written as it is.
    try:
        json_agrees(expected, text_value, path)
        return
    except Disagreement:
        pass
    default = 0 if key in ("numFound", "start") else None
    check(same(default, text_value), f"JSON document list header differs at {path}", expected, text_value)


def check_safe(data: bytes):
    """`deserialize` ≡ `_deserialize_safe`. Returns the outcome of `deserialize`."""
    fast = outcome(velkora.deserialize, data)
    safe_agrees_with_fast(data, fast)
    return fast


_EXPECTED = re.compile(r"expected (.+) at byte offset (\d+), found (.+)$")
_OFFSET = re.compile(r"at byte offset (\d+)")
# The "found" words of `deserialize`, where the value tree names the kind it found.
_PYTHON_FOUND_WORDS = {"non-string", "other", "non-array"}
_DOC_ITEM = "field name (string) or child SolrDocument"
_DEPTH = "javabin value nesting exceeds"


def _offset(result) -> int | None:
    match = isinstance(result, Failed) and _OFFSET.search(result.message)
    return int(match.group(1)) if match else None


def _too_deep_first(one, other) -> bool:
    """`one` refuses a body as too deep at N, and `other` fails too at N or later: the decoders count the levels
    of document items differently, and check the depth before or after the tag of the part that is too deep."""
    at, later = _offset(one), _offset(other)
    return one.message.startswith(_DEPTH) and later is not None and later >= at if isinstance(one, Failed) else False


def tree_departure(fast, tree) -> bool:
    """Whether `deserialize` and the value tree (`_bench_parse_only`, `deserialize_json`) may part here, by the
    rules where the Python decoder departs from the reference reading: fixed "found" words; map keys Python
    cannot hash; a document item judged by its tag alone (so a bad item fails at its tag, before anything inside
    it is read), and the levels of document items counted its own way (so a body too deep is refused at
    another place); FLOAT boosts skipped before a SOLRINPUTDOC field name; a document list's header judged as a
    Python list (a MAP with other keys than strings is one) and its documents not required to be an array."""
    f = isinstance(fast, Failed) and _EXPECTED.match(fast.message)
    t = isinstance(tree, Failed) and _EXPECTED.match(tree.message)
    # Past any of these departures the two read different things, and the other decoder may fail anywhere
    # later in its reading, which can be at a smaller offset (the start of a key holding the document).
    return any([
        _too_deep_first(fast, tree) or _too_deep_first(tree, fast),
        f and t and f.group(1, 2) == t.group(1, 2) and f.group(3) in _PYTHON_FOUND_WORDS,
        isinstance(fast, Failed) and fast.message.endswith("found unhashable value"),
        t and t.group(1) == "SolrDocumentList docs array",
        f and f.group(1) == _DOC_ITEM and f.group(3) == "other",
        t and t.group(1) == _DOC_ITEM and t.group(3) == "float",
        t and t.group(1) == "SolrDocumentList header array" and t.group(3) == "map",
        f and f.group(1) == "SolrDocumentList header array" and f.group(3) == "non-array",
    ])


def check_parse_only(data: bytes, fast=None):
    """`_bench_parse_only` and `deserialize` succeed or fail together, with the same text, but for the documented
    departures of the Python decoder (`tree_departure`) and the empty TYPED_ARR with an unknown element type,
    an empty list to `deserialize` and an unknown tag to the tree, which is taken out as for the safe path.
    Returns the count for the body as given."""
    fast = outcome(velkora.deserialize, data) if fast is None else fast
    first = None
    for _ in range(len(data) + 1):
        count = outcome(velkora._bench_parse_only, data)
        first = count if first is None else first
        check(isinstance(count, Failed) or (type(count) is int and count > 0), "node count", count)
        if isinstance(count, Failed) == isinstance(fast, Failed) and (not isinstance(fast, Failed) or count == fast):
            return first
        if tree_departure(fast, count):
            return first
        match = isinstance(count, Failed) and _UNKNOWN_TAG.match(count.message)
        at = int(match.group(1)) if match else -1
        check(match and _empty_typed_array_type_at(data, at), "_bench_parse_only and deserialize disagree", data,
              count, fast)
        data = data[:at] + bytes([4]) + data[at + 1:]
        patched = outcome(velkora.deserialize, data)
        check(same(patched, fast), "deserialize changed with the element type of an empty TYPED_ARR", data,
              patched, fast)
    return first


def check_json(data: bytes, fast=None, count=None) -> None:
    """`deserialize_json` and `_bench_parse_only` (one parser) fail together with the same text; the JSON text
    says what the Python objects of `deserialize` say. Bodies whose text could pass JSON_TEXT_LIMIT are not
    rendered: one long extern string referenced many times expands without bound, by design."""
    fast = outcome(velkora.deserialize, data) if fast is None else fast
    if not isinstance(fast, Failed) and rendered_size_bound(fast) > JSON_TEXT_LIMIT:
        return
    count = outcome(velkora._bench_parse_only, data) if count is None else count
    text = outcome(velkora.deserialize_json, data)
    check(same(text, count) if isinstance(count, Failed) else isinstance(text, str),
          "deserialize_json and _bench_parse_only disagree", data, text, count)
    if not isinstance(fast, Failed) and isinstance(text, str):
        json_agrees(fast, json.loads(text))
        if text_is_determined(fast):
            check(text == json_text(fast), "deserialize_json's text is not the rendering of deserialize's value",
                  data, text, json_text(fast))


def check_solr_json(data: bytes, fast) -> None:
    """`loads_solr_json`, in every named-list style, fails exactly where and as `deserialize` does, and decodes
    whatever it decodes."""
    for style in ("flat", "map", "arrarr", "arrmap", "arrntv"):
        shaped = outcome(velkora.loads_solr_json, data, style)
        check(isinstance(shaped, Failed) == isinstance(fast, Failed) and (shaped == fast or not isinstance(fast, Failed)),
              f"loads_solr_json ({style}) and deserialize disagree on failing", data, shaped, fast)


def check_objects(data: bytes):
    """Every check of the whole-body decoders on one body. Returns the outcome of `deserialize`."""
    fast = check_safe(data)
    count = check_parse_only(data, fast)
    check_json(data, fast, count)
    check_solr_json(data, fast)
    return fast


# ---------------------------------------------------------------------------
# deserialize_stream and StreamDecoder

def not_an_envelope(data: bytes) -> bool:
    """The body's top-level value is neither a named list nor a MAP_ENTRY_ITER: no decoder finds documents in it,
    but every one reads it through, by its own rules, and refuses it when it is broken."""
    return len(data) >= 2 and data[0] == 2 and data[1] >> 5 not in (5, 6) and data[1] != 0x11


def _comparable(result):
    """An outcome as it can be compared across chunkings: the offset of a stream cut short is the number of bytes
    the decoder still holds, which depends on where the chunks ended."""
    if isinstance(result, Failed) and result.message.startswith("unexpected end of input"):
        return "unexpected end of input"
    return result


def chunk_count(length: int, sizes: list[int] | None) -> int:
    """How many pieces `chunks` cuts `length` bytes into."""
    if not sizes or not length:
        return 1
    pos = count = 0
    while pos < length:
        pos, count = pos + sizes[count % len(sizes)], count + 1
    return count


def chunks(data: bytes, sizes: list[int] | None):
    """`data` cut into pieces of `sizes` (cycled; 0 gives an empty chunk); None or [] means one piece."""
    if not sizes:
        yield data
        return
    pos, i = 0, 0
    while pos < len(data):
        size = sizes[i % len(sizes)]
        yield data[pos:pos + size]
        pos, i = pos + size, i + 1
    if not data:
        yield data


def streamed(data: bytes):
    docs: list = []
    return docs, outcome(velkora.deserialize_stream, data, docs.append)


def fed(data: bytes, sizes):
    """A StreamDecoder fed `data` in `sizes`: (documents, first error or None, finish outcome, count, bytes
    walked). Feeding stops at the first error; finish is asked only when there was none."""
    decoder, docs = velkora.StreamDecoder(), []
    error = None
    for chunk in chunks(data, sizes):
        error = outcome(decoder.feed, chunk, docs.append)
        if error is not None:
            break
    finished = outcome(decoder.finish) if error is None else None
    return docs, error, finished, decoder.count, decoder._walked


def check_stream(data: bytes, sizes: list[int] | None) -> None:
    """StreamDecoder fed in `sizes` ≡ fed whole ≡ (as far as it goes) `deserialize_stream`; feeding in small
    chunks stays linear in work."""
    docs, result = streamed(data)
    whole = fed(data, None)
    check(whole[3] == len(whole[0]), "StreamDecoder.count is not the documents delivered", whole[3], len(whole[0]))
    if not_an_envelope(data):
        # Both read the value whole by the same rules; the chunk-fed decoder reads nothing after it (so trailing
        # bytes are no fault there) and waits for a cut one, which finish() then refuses at the bytes it holds.
        faulty = isinstance(result, Failed) and not result.message.startswith("trailing data")
        expected = result if faulty else None
        got = whole[1] if whole[1] is not None else whole[2]
        check(not whole[0] and _comparable(got) == _comparable(expected),
              "StreamDecoder reads a top-level value otherwise than deserialize_stream", data, got, result)
    if not isinstance(result, Failed):
        check(whole[1] is None and whole[2] is None, "StreamDecoder fails where deserialize_stream does not",
              data, whole[1], whole[2])
        check(is_prefix(whole[0], docs), "StreamDecoder delivered other documents than deserialize_stream", data,
              whole[0], docs)
        check(isinstance(result, (dict, list)) or not docs, "deserialize_stream envelope", result)
    else:
        check(is_prefix(whole[0], docs) or is_prefix(docs, whole[0]),
              "StreamDecoder and deserialize_stream delivered different documents", data, whole[0], docs)
    if sizes:
        parts = fed(data, sizes)
        check_linear_work("StreamDecoder", data, sizes, parts[4], whole[4])
        check(same(parts[0], whole[0]) and parts[1] == whole[1] and _comparable(parts[2]) == _comparable(whole[2])
              and parts[3] == whole[3],
              f"StreamDecoder fed in {sizes} differs from fed whole", data, parts, whole)


# ---------------------------------------------------------------------------
# Work of chunked feeding

def check_linear_work(kind: str, data: bytes, sizes, walked: int, walked_whole: int) -> None:
    """Fed in chunks, a decoder goes on where the last feed left it: over each byte a few times (a first
    decode, a walk, the decode once the walk is done, each step cut by a chunk once more), and a few bytes
    per feed. A decoder that started a document, an envelope or a step again at every feed would go over
    about the body's square over the chunk size. Counted in bytes, not timed, so a busy machine cannot
    pass for a finding."""
    bound = 8 * max(len(data), walked_whole) + 8 * chunk_count(len(data), sizes)
    if walked > bound:
        raise SlowFeeding(f"{kind}: fed {len(data)} bytes in {sizes} chunks, it went over {walked} bytes "
                          f"(fed whole: {walked_whole}; bound {bound})")


# ---------------------------------------------------------------------------
# deserialize_arrow and ArrowStreamDecoder

def arrow_schemas():
    """The fixed schemas the Arrow targets decode with, by name: fields of the Solr bodies in several types,
    and the metadata columns of explode mode."""
    import pyarrow as pa

    ts = pa.timestamp("ms")
    return {
        "select": pa.schema([("id", pa.utf8()), ("title", pa.utf8()), ("price", pa.float32()),
                             ("popularity", pa.int32()), ("inStock", pa.bool_()), ("manufacturedate_dt", ts),
                             ("cat", pa.list_(pa.utf8())), ("weight", pa.float64()), ("payload", pa.binary())]),
        "export": pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("d", pa.float64()), ("f", pa.float32()),
                             ("b", pa.bool_()), ("dt", ts), ("tags", pa.list_(pa.utf8())),
                             ("tags_dv", pa.list_(pa.utf8())), ("a_i", pa.list_(pa.int64()))]),
        "tree": pa.schema([("id", pa.utf8()), ("type_s", pa.utf8()), ("n", pa.int32()), ("_parent_id", pa.utf8()),
                           ("_depth", pa.int32()), ("_child_field", pa.utf8())]),
        "numbers": pa.schema([("id", pa.int64()), ("a_f", pa.list_(pa.float64())), ("price", pa.list_(ts)),
                              ("_parent_id", pa.int64()), ("_depth", pa.int64())]),
    }


def _column_values(batch) -> list[list]:
    import pyarrow as pa

    out = []
    for column in batch.columns:
        t = column.type
        if pa.types.is_timestamp(t):
            column = column.view(pa.int64())
        elif pa.types.is_list(t) and pa.types.is_timestamp(t.value_type):
            column = column.view(pa.list_(pa.int64()))
        out.append(column.to_pylist())
    return out


def rows(batches, schema) -> list[list]:
    """Column by column, the values of all `batches` in turn."""
    columns: list[list] = [[] for _ in schema]
    for batch in batches:
        check(batch.schema.equals(schema, check_metadata=True), "batch schema", batch.schema, schema)
        batch.validate(full=True)
        for values, column in zip(columns, _column_values(batch)):
            values += column
    return columns


def _float32(x: float) -> float:
    import struct
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


_NO_VALUE = object()


def arrow_cell(value, field_type):
    """What a column of `field_type` must hold for a field whose Python value is `value`; `_NO_VALUE` where
    Python cannot say (the value's wire kind is lost, or the value is not one a column takes)."""
    import pyarrow as pa

    if pa.types.is_list(field_type):
        if value is None:
            return None
        items = value if isinstance(value, list) else [value]
        cells = [arrow_cell(x, field_type.value_type) for x in items]
        return _NO_VALUE if any(c is _NO_VALUE for c in cells) else cells
    if isinstance(value, list):
        return arrow_cell(value[0], field_type) if value else None
    if value is None:
        return None
    if pa.types.is_string(field_type):
        return value if type(value) is str else _NO_VALUE
    if pa.types.is_binary(field_type):
        return value if type(value) is bytes else _NO_VALUE
    if pa.types.is_boolean(field_type):
        return value if type(value) is bool else _NO_VALUE
    if pa.types.is_int32(field_type):
        return value if type(value) is int and -2**31 <= value < 2**31 else _NO_VALUE
    if pa.types.is_int64(field_type) or pa.types.is_timestamp(field_type):
        return value if type(value) is int else _NO_VALUE
    if pa.types.is_float64(field_type):
        return value if type(value) is float else _NO_VALUE
    if pa.types.is_float32(field_type):
        return _float32(value) if type(value) is float else _NO_VALUE
    return _NO_VALUE


def arrow_agrees_with_objects(columns, schema, docs, children: str) -> None:
    """Rows of documents against the documents `deserialize_stream` delivered: each cell holds what its field's
    Python value says, wherever Python can tell. In explode mode only the top-level rows (depth 0) are compared,
    and only when the schema has a depth column."""
    names = schema.names
    if children == "explode":
        if "_depth" not in names:
            return
        depth = columns[names.index("_depth")]
        top = [i for i, d in enumerate(depth) if d == 0]
    else:
        top = list(range(len(columns[0]) if columns else 0))
    meta = {"_parent_id", "_depth", "_child_field"}
    if len(top) != len(docs) or not all(isinstance(d, dict) for d in docs):
        return  # the documents were found elsewhere, or are not documents: nothing to line up
    for row, doc in zip(top, docs):
        for i, field in enumerate(schema):
            if field.name in meta or names.index(field.name) != i:
                continue
            value = doc.get(field.name)
            if children == "explode" and (isinstance(value, dict) or
                                          isinstance(value, list) and any(isinstance(x, dict) for x in value)):
                continue  # child documents under a field name are rows of their own
            wanted = arrow_cell(value, field.type)
            if wanted is not _NO_VALUE:
                cell = columns[i][row]
                check(same(cell, wanted) or _float_list_same(cell, wanted),
                      f"Arrow column {field.name!r} row {row} differs from the Python value", cell, value)


def _float_list_same(a, b) -> bool:
    return isinstance(a, list) and isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))


def arrow_fed(data: bytes, schema, children: str, sizes, batch_size: int):
    """An ArrowStreamDecoder fed `data` in `sizes`, then finished: (row columns, first error or None, bytes
    walked). Every batch but the one of finish holds exactly batch_size rows. Feeding stops at the first
    error."""
    decoder = velkora.ArrowStreamDecoder(schema, batch_size, children=children)
    batches = []
    for chunk in chunks(data, sizes):
        got = outcome(decoder.feed, chunk)
        if isinstance(got, Failed):
            return rows(batches, schema), got, decoder._walked
        # A batch is cut after the document that brings it to batch_size rows: in explode mode that document
        # may bring more.
        check(all(b.num_rows == batch_size or children == "explode" and b.num_rows > batch_size for b in got),
              "feed returned a batch of another size than batch_size", [b.num_rows for b in got], batch_size)
        batches += got
    got = outcome(decoder.finish)
    if isinstance(got, Failed):
        return rows(batches, schema), got, decoder._walked
    check(len(got) <= 1 and all(0 < b.num_rows < batch_size for b in got), "finish returned a batch it should not",
          [b.num_rows for b in got], batch_size)
    return rows(batches + got, schema), None, decoder._walked


# Errors in a document's bytes themselves. The chunk-fed decoder walks each document to its end before it decodes
# it, so it meets these first where the whole-body decoder meets a value the columns refuse; offsets differ too,
# since the chunk-fed decoder counts a document's from the document's first byte.
_STRUCTURE = ("unexpected end of input", "unknown javabin tag", "invalid UTF-8", "javabin value nesting exceeds")


def _without_offsets(result: Failed) -> str:
    return _OFFSET.sub("at byte offset N", result.message)


SOLRDOC, ITERATOR, SOLRINPUTDOC, MAP_ENTRY_ITER = 0x0B, 0x0E, 0x10, 0x11


def _holds_any(data: bytes, tags) -> bool:
    return any(bytes([tag]) in data for tag in tags)


def arrow_reads_the_top_level_value(data: bytes, batch, fed_whole) -> None:
    """A top-level value that is no envelope is read through by both Arrow decoders with the skip rules: no rows,
    or the same fault (a cut value: the chunk-fed decoder's at finish, at the bytes it holds). Where `deserialize`
    meets an unknown tag, a cut value or too deep a nesting, so do they, at the same offset, unless the body holds
    a byte of a tag that the skip rules read otherwise (then with some fault of the structure): document items,
    SOLRINPUTDOC and TYPED_ARR, and for the depth the END closing an ITERATOR or MAP_ENTRY_ITER, which the skip
    rules do not count as a part."""
    refused = isinstance(batch, Failed)
    if data[1:2] == b"\x0f":  # an END marker is no value at all there: refused as deserialize refuses it
        check(refused and batch.message == "expected value at byte offset 1, found END marker",
              "deserialize_arrow takes a top-level END marker for a value", data, batch)
    else:
        check(batch.message.startswith(_STRUCTURE) if refused else batch.num_rows == 0,
              "deserialize_arrow reads a top-level value otherwise than the skip rules", data, batch)
    check(_comparable(fed_whole[1]) == _comparable(batch if refused else None),
          "ArrowStreamDecoder and deserialize_arrow read a top-level value differently", data, fed_whole[1], batch)
    fast = outcome(velkora.deserialize, data)
    if not isinstance(fast, Failed):
        return
    exact = not _holds_any(data, (SOLRDOC, SOLRINPUTDOC, TYPED_ARR))
    # An UnexpectedEof of deserialize is a cut value only where the chunk-fed decoder waits for more: a reference
    # beyond the extern-string table, which the skip rules do not look up, fails it at once.
    cut = fast.message.startswith("unexpected end of input") and fed(data, None)[1] is None
    if fast.message.startswith(_DEPTH):
        if exact and not _holds_any(data, (ITERATOR, MAP_ENTRY_ITER)):
            check(batch == fast, "deserialize_arrow and deserialize refuse a deep top-level value differently",
                  data, batch, fast)
    elif cut or fast.message.startswith("unknown javabin tag"):
        check(refused and (batch == fast if exact else batch.message.startswith(_STRUCTURE)),
              "deserialize_arrow passes a broken top-level value that deserialize refuses", data, batch, fast)


def check_arrow(data: bytes, schema_name: str, children: str):
    """`deserialize_arrow` builds a valid batch whose rows say what the Python objects say; fed whole, the
    chunk-fed decoder gives the same rows, or the same error."""
    schema = arrow_schemas()[schema_name]
    batch = outcome(velkora.deserialize_arrow, data, schema, children=children)
    whole = arrow_fed(data, schema, children, None, 65536)
    if not_an_envelope(data):
        arrow_reads_the_top_level_value(data, batch, whole)
    if isinstance(batch, Failed):
        if whole[1] is not None:
            check(_without_offsets(whole[1]) == _without_offsets(batch) or
                  whole[1].message.startswith(_STRUCTURE) or batch.message.startswith(_STRUCTURE),
                  "ArrowStreamDecoder and deserialize_arrow fail differently", data, whole[1], batch)
        return
    columns = rows([batch], schema)
    check(whole[1] is None, "ArrowStreamDecoder fails where deserialize_arrow does not", data, whole[1])
    check(whole[0] == columns or same(whole[0], columns), "ArrowStreamDecoder rows differ from deserialize_arrow",
          data, whole[0], columns)
    docs, result = streamed(data)
    if not isinstance(result, Failed):
        arrow_agrees_with_objects(columns, schema, docs, children)


def check_arrow_stream(data: bytes, schema_name: str, children: str, sizes, batch_size: int) -> None:
    """ArrowStreamDecoder fed in `sizes` with `batch_size` ≡ fed whole; small chunks stay linear in work."""
    schema = arrow_schemas()[schema_name]
    whole = arrow_fed(data, schema, children, None, 65536)
    parts = arrow_fed(data, schema, children, sizes, batch_size)
    if sizes:
        check_linear_work("ArrowStreamDecoder", data, sizes, parts[2], whole[2])
    # After an error the rows returned so far depend on where batches were cut: only the error is compared.
    check(_comparable(parts[1]) == _comparable(whole[1]) and (whole[1] is not None or same(parts[0], whole[0])),
          f"ArrowStreamDecoder fed in {sizes} by {batch_size} rows differs from fed whole", data, parts, whole)


# ---------------------------------------------------------------------------
# The field survey behind velkora.schema.infer

def check_survey(data: bytes) -> None:
    """`_survey` walks where `deserialize_arrow` walks: when both read the whole documents sequence, the survey
    counts the rows explode mode makes; a sample of one document reads a prefix of the same walk; and the
    schema `infer` draws from it decodes the body, or fails with a ValueError."""
    import pyarrow as pa
    from velkora import _core
    from velkora.schema import infer

    survey = outcome(_core._survey, data)
    if isinstance(survey, Failed):
        return
    check(isinstance(survey, dict), "_survey returned no dict", data, survey)
    first = outcome(_core._survey, data, 1)
    check(not isinstance(first, Failed) and first["documents"] <= min(1, survey["documents"]),
          "_survey of one document disagrees with the whole survey", data, first, survey)
    schema = pa.schema([("\x00 not a field", pa.int64())])
    batch = outcome(velkora.deserialize_arrow, data, schema, children="explode")
    if survey["complete"] and survey["rest_error"] is None and not isinstance(batch, Failed):
        check(batch.num_rows == survey["rows"], "_survey counts other rows than explode mode makes", data,
              batch.num_rows, survey)
    try:
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            inferred = infer(data, sample=None)
    except (ValueError, TypeError):
        return
    outcome(velkora.deserialize_arrow, data, inferred, children="explode")
