"""Arrow record batches: deserialize_arrow against the other ways of getting the same table.

For the real 50,000-document /select response (select_large.bin, skipped when the shared test data is
absent) and a generated 50,000-document /export response, prints the time and MB/s of deserialize_arrow
and, as ratios to it, the time of
  - deserialize followed by pyarrow.RecordBatch.from_pylist with the same schema,
  - pyarrow.json.read_json and polars.read_ndjson of the same documents as NDJSON (bytes prepared
    beforehand, parse only, with the equivalent explicit schema; dates as ISO text, bytes as Base64),
and the throughput of two threads each decoding the body against one thread decoding it twice. Where
valgrind is there, deserialize_arrow is also counted in instructions (callgrind): per call and per value
appended, which the machine's load does not move. Each figure with a target is printed beside it with "met"
or "NOT met".
"""

from __future__ import annotations

import base64
import hashlib
import io
import json
import tempfile
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pyarrow as pa
import pyarrow.json as pa_json

import instructions
import velkora
from bodies import export_response
from timing import best_of

try:
    import polars as pl
except ImportError:  # the benchmark still runs; that row is left out
    pl = None

TESTDATA = Path(__file__).resolve().parent.parent.parent / "shared/testdata"
REAL_SELECT = TESTDATA / "solr/select_large.bin"

# The fields of select_large.bin's documents (some documents leave some out).
SELECT_SCHEMA = pa.schema([
    ("id", pa.utf8()),
    ("title", pa.utf8()),
    ("price", pa.float32()),
    ("popularity", pa.int32()),
    ("inStock", pa.bool_()),
    ("manufacturedate_dt", pa.timestamp("ms")),
    ("cat", pa.list_(pa.utf8())),
    ("weight", pa.float64()),
    ("views", pa.int64()),
    ("payload", pa.binary()),
])

# The fields of bodies.export_response's documents. sku_dv is left out: bodies.py writes it as an
# extern string, so from its second occurrence on it is a table reference, which no Arrow column takes.
EXPORT_SCHEMA = pa.schema([f for f in SELECT_SCHEMA if f.name != "payload"])

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def iso(ms: int) -> str:
    return (EPOCH + timedelta(milliseconds=ms)).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def json_schema(schema: pa.Schema) -> pa.Schema:
    """The schema the JSON readers get: binary columns arrive as Base64 text."""
    return pa.schema([pa.field(f.name, pa.utf8()) if f.type == pa.binary() else f for f in schema])


def ndjson(docs: list[dict], schema: pa.Schema) -> bytes:
    """The documents, restricted to the schema's fields, one JSON object per line."""
    dates = {f.name for f in schema if pa.types.is_timestamp(f.type)}
    binary = {f.name for f in schema if f.type == pa.binary()}
    lines = []
    for doc in docs:
        row = {}
        for field in schema.names:
            if field not in doc:
                continue
            value = doc[field]
            if field in dates and value is not None:
                value = [iso(v) for v in value] if isinstance(value, list) else iso(value)
            elif field in binary and value is not None:
                value = base64.b64encode(value).decode("ascii")
            row[field] = value
        lines.append(json.dumps(row, ensure_ascii=False, separators=(",", ":")))
    return ("\n".join(lines) + "\n").encode()


def line(label: str, t: float, base: float, target: float | None = None) -> None:
    """A ratio to deserialize_arrow, with its verdict when it has a target (it must reach it)."""
    judged = f"(target >= {target} x: {instructions.verdict(t / base, target, at_most=False)})" if target else ""
    print(f"  {label:44} {t * 1e3:8.1f} ms   {t / base:6.2f} x deserialize_arrow   {judged}".rstrip())


# The largest instruction count one call of deserialize_arrow may take on a body, where it has a target.
INSTRUCTION_TARGETS = {"select_large.bin": 85e6}
COUNTED = """
import pyarrow, velkora
from bench_arrow import {schema} as schema
body = open({path!r}, "rb").read()
"""


def values_of(docs: list[dict], schema: pa.Schema) -> int:
    """The values deserialize_arrow appends: one per present scalar field, one per list item."""
    names = set(schema.names)
    return sum(len(v) if isinstance(v, list) else 1 for doc in docs for k, v in doc.items() if k in names)


def counted(name: str, path: str, schema_name: str, values: int) -> None:
    """deserialize_arrow in instructions (callgrind): per call, per value, and beside its target."""
    count = instructions.per_call(COUNTED.format(schema=schema_name, path=path), "velkora.deserialize_arrow(body, schema)")
    if count is None:
        print(f"  {'deserialize_arrow, instructions':44} valgrind absent")
        return
    target = next((t for key, t in INSTRUCTION_TARGETS.items() if key in name), None)
    judged = f"(target <= {target / 1e6:.0f} M: {instructions.verdict(count, target)})" if target else ""
    print(f"  {'deserialize_arrow, instructions':44} {count / 1e6:8.1f} M   {count / values:6.1f} per value"
          f" ({values:,} values)   {judged}".rstrip())


def report(name: str, body: bytes, schema: pa.Schema, schema_name: str) -> None:
    mb = len(body) / 1e6
    batch = velkora.deserialize_arrow(body, schema)
    docs = velkora.deserialize(body)["response"]["docs"]
    text = ndjson(docs, schema)
    js = json_schema(schema)
    print(f"{name}: {batch.num_rows:,} rows, {mb:.2f} MB javabin, {len(text) / 1e6:.2f} MB NDJSON")

    reference = pa.RecordBatch.from_pylist(docs, schema=schema)
    if not batch.equals(reference):
        print("  !! deserialize_arrow and deserialize + from_pylist give different batches")

    arrow = best_of(lambda: velkora.deserialize_arrow(body, schema), repeat=7)
    print(f"  {'deserialize_arrow':44} {arrow * 1e3:8.1f} ms   {mb / arrow:8.1f} MB/s")
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        f.write(body)
        f.flush()
        counted(name, f.name, schema_name, values_of(docs, schema))

    t = best_of(lambda: pa.RecordBatch.from_pylist(velkora.deserialize(body)["response"]["docs"], schema=schema),
                repeat=5)
    line("deserialize + RecordBatch.from_pylist", t, arrow, 10)

    options = pa_json.ParseOptions(explicit_schema=js, unexpected_field_behavior="ignore")
    t = best_of(lambda: pa_json.read_json(io.BytesIO(text), parse_options=options), repeat=5)
    line("pyarrow.json.read_json", t, arrow, 3)
    single = pa_json.ReadOptions(use_threads=False)
    t = best_of(lambda: pa_json.read_json(io.BytesIO(text), read_options=single, parse_options=options), repeat=5)
    line("pyarrow.json.read_json, use_threads=False", t, arrow)

    if pl is not None:
        pl_schema = pl.from_arrow(js.empty_table()).schema
        t = best_of(lambda: pl.read_ndjson(io.BytesIO(text), schema=pl_schema), repeat=5)
        line("polars.read_ndjson", t, arrow)

    with ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(lambda _: velkora.deserialize_arrow(body, schema), range(2)))  # start both workers
        one = best_of(lambda: [velkora.deserialize_arrow(body, schema) for _ in range(2)], repeat=5)
        two = best_of(lambda: list(pool.map(lambda _: velkora.deserialize_arrow(body, schema), range(2))),
                      repeat=5)
    print(f"  {'two bodies, one thread in turn':44} {one * 1e3:8.1f} ms")
    print(f"  {'two bodies, two threads':44} {two * 1e3:8.1f} ms   {one / two:6.2f} x the throughput"
          f"   (target >= 1.7 x: {instructions.verdict(one / two, 1.7, at_most=False)})")
    print(f"  {'control: hashlib.sha256 in two threads':44} {'':8}      {control_scaling():6.2f} x the throughput"
          f"   (what this machine gives two threads now)")
    print()


def control_scaling() -> float:
    """Two threads hashing (the lock released, no allocation) against one thread doing both: how much of a
    second core the machine gives right now, to read the two-thread figure against."""
    data = b"x" * (16 << 20)

    def digest(_=None):
        return hashlib.sha256(data).digest()

    with ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(digest, range(2)))
        one = best_of(lambda: [digest() for _ in range(2)], repeat=5)
        two = best_of(lambda: list(pool.map(digest, range(2))), repeat=5)
    return one / two


def main() -> None:
    if REAL_SELECT.exists():
        report("/select, select_large.bin", REAL_SELECT.read_bytes(), SELECT_SCHEMA, "SELECT_SCHEMA")
    else:
        print(f"skipping select_large.bin: {TESTDATA} is absent\n")
    report("/export, 50,000 generated documents", export_response(50_000), EXPORT_SCHEMA, "EXPORT_SCHEMA")


if __name__ == "__main__":
    main()
