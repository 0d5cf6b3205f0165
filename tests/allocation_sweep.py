"""allocation_sweep.py SHIM LIMIT [BODY_FILE...], run with tests/native/fail_alloc.c preloaded: for every entry
point and body, the N-th C allocation made with the extension on the stack fails, N = 1, 2, ... LIMIT. Each call
gives the unfailed result, or MemoryError and then, made again, that result; the blocks alive do not grow. A
crash's last stderr line names the case and N. Prints the outcomes seen and how many failures were injected."""

import ctypes
import gc
import sys
from pathlib import Path

import pyarrow as pa

import velkora
import velkora.schema
from velkora import _core

sys.path.insert(0, str(Path(__file__).parent))
import javabin as jb  # noqa: E402
from helpers import pieces  # noqa: E402

shim = ctypes.CDLL(sys.argv[1])
assert shim.fail_alloc_watch(_core.__file__.encode()), "the extension's mapping was not found"
LIMIT = int(sys.argv[2])


def stream_docs(body, size):
    """The documents of a chunk-fed decode. After a MemoryError the decoder is fed again with nothing: it either
    goes on (the chunk was kept, and the documents must come out whole) or raises it again, as finish then must:
    a chunk it could not keep would leave a hole in the stream."""
    docs, decoder = [], velkora.StreamDecoder()
    for call in [lambda c=chunk: decoder.feed(c, docs.append) for chunk in pieces(body, [size])] + [decoder.finish]:
        try:
            call()
        except MemoryError:
            if raises_memory_error(lambda: decoder.feed(b"", docs.append)):
                if not raises_memory_error(decoder.finish):
                    raise AssertionError("a chunk the decoder could not keep was forgotten") from None
                raise
            if call == decoder.finish:
                decoder.finish()
    return docs, decoder.count


def raises_memory_error(call):
    try:
        call()
    except MemoryError:
        return True
    return False


def arrow_stream(body, schema, children, size):
    """The batches of a chunk-fed decode. A MemoryError in decoding is kept: the next feed and finish raise it
    again. One in handing batches to pyarrow is not: the next feed returns them, and feeding goes on, so the
    result must be whole either way."""
    decoder = velkora.ArrowStreamDecoder(schema, 4, children=children)  # small batches: several are cut
    batches = []
    for call in [lambda c=chunk: decoder.feed(c) for chunk in pieces(body, [size])] + [decoder.finish]:
        try:
            batches += call()
        except MemoryError:
            if raises_memory_error(lambda: batches.extend(decoder.feed(b""))):
                if not (raises_memory_error(decoder.finish) and raises_memory_error(lambda: decoder.feed(b""))):
                    raise AssertionError("a MemoryError in decoding was not kept") from None
                raise
            if call == decoder.finish:
                batches += decoder.finish()
    return batches


def entries(body, schema):
    out = {
        "deserialize": lambda: velkora.deserialize(body),
        "_deserialize_safe": lambda: velkora._deserialize_safe(body),
        "deserialize_json": lambda: velkora.deserialize_json(body),
        "_bench_parse_only": lambda: velkora._bench_parse_only(body),
        "deserialize_stream": lambda: (lambda docs: (velkora.deserialize_stream(body, docs.append), docs))([]),
        "StreamDecoder": lambda: stream_docs(body, len(body) or 1),
        "StreamDecoder in chunks": lambda: stream_docs(body, 7),
        "_survey": lambda: _core._survey(body),
    }
    if schema is not None:
        for children in ("skip", "explode"):
            out[f"deserialize_arrow {children}"] = lambda c=children: velkora.deserialize_arrow(body, schema, children=c)
            out[f"ArrowStreamDecoder {children}"] = lambda c=children: arrow_stream(body, schema, c, len(body) or 1)
            out[f"ArrowStreamDecoder {children} in chunks"] = lambda c=children: arrow_stream(body, schema, c, 5)
    return out


def outcome(call):
    """("ok", comparable result) or ("raised", type name, message); pyarrow's ArrowMemoryError (from a batch
    stream whose schema copy ran out of memory) is a MemoryError, and is recorded as one."""
    try:
        result = call()
    except MemoryError as e:
        seen.add(type(e).__name__)
        return ("raised", "MemoryError")
    except Exception as e:  # noqa: BLE001 - every outcome is recorded and judged
        return ("raised", type(e).__name__, str(e))
    if isinstance(result, pa.RecordBatch) or isinstance(result, list) and result and \
            all(isinstance(b, pa.RecordBatch) for b in result):
        table = pa.Table.from_batches(result if isinstance(result, list) else [result]).combine_chunks()
        table.validate(full=True)
        return ("ok", table.schema, table.to_pylist())
    return ("ok", repr(result))


problems = []
seen = set()


def check(ok, text):
    if not ok:
        problems.append(text)
        print("PROBLEM", text, file=sys.stderr, flush=True)
    return ok


def failed_call(call, n):
    """The outcome of `call` with its n-th allocation failed, and whether that allocation was reached."""
    shim.fail_alloc_arm(n)
    try:
        return outcome(call), shim.fail_alloc_injected()
    finally:
        shim.fail_alloc_disarm()


def sweep(name, call):
    expected = outcome(call)
    outcome(call)  # what the interpreter and pyarrow set up on first use is there before blocks are counted
    for n in range(1, LIMIT + 1):
        print(f"{name}: allocation {n}", file=sys.stderr, flush=True)
        gc.collect()
        live = shim.fail_alloc_live()
        got, injected = failed_call(call, n)
        if not injected:
            check(got == expected, f"{name}: unfailed: {got!r:.300} instead of {expected!r:.300}")
            return n - 1
        if got != expected and check(got == ("raised", "MemoryError"), f"{name}: allocation {n}: {got!r:.500}"):
            again = outcome(call)
            check(again == expected, f"{name}: after a MemoryError at {n}: {again!r:.300} instead of {expected!r:.300}")
        gc.collect()
        if shim.fail_alloc_live() > live:
            # More blocks alive: something set up once (an exception's type, a cache), or a leak. A leak
            # loses blocks again when the same allocation fails again.
            live = shim.fail_alloc_live()
            failed_call(call, n)
            gc.collect()
            lost = shim.fail_alloc_live() - live
            check(lost <= 0, f"{name}: {lost} blocks lost when allocation {n} fails")
    return LIMIT


ID_SELECT = jb.encode({"response": jb.DocList(numFound=1, docs=[jb.Doc({"id": "a"})])})  # a 31-byte /select body
CHILDREN = jb.encode({"response": jb.DocList(numFound=2, docs=[
    jb.Doc({"id": "p", "n": 1}, children=[jb.Doc({"id": "c", "n": 2})]), jb.Doc({"id": "q", "tags": ["x", None]})])})
EXTERNS = jb.encode({"big": jb.Extern("x" * 5000), "response": {"numFound": jb.Extern("v" * 9000), "docs": [
    {"id": jb.Extern("y" * 300), "s": jb.Extern("z" * 6000)}, {"id": jb.Extern("y" * 300)}]}})

bodies = [("id select", ID_SELECT, pa.schema([("id", pa.utf8())])),
          ("children", CHILDREN, pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("tags", pa.list_(pa.utf8())),
                                            ("_parent_id", pa.utf8()), ("_depth", pa.int32())])),
          ("extern strings", EXTERNS, pa.schema([("id", pa.utf8()), ("s", pa.utf8())]))]
for path in map(Path, sys.argv[3:]):
    body = path.read_bytes()
    try:
        schema = velkora.schema.infer(body)
    except Exception:  # noqa: BLE001 - a body with no documents to infer from is swept without Arrow
        schema = None
    bodies.append((path.name, body, schema))

injected = 0
for label, body, schema in bodies:
    for name, call in entries(body, schema).items():
        injected += sweep(f"{label}: {name}", call)
print(sorted(seen), injected)
sys.exit("\n".join(problems) if problems else 0)
