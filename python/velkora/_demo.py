"""Builds a small /select response in javabin and shows what each entry point makes of it.

Run with ``python -m velkora._demo`` (``make demo``).
"""

from __future__ import annotations

import struct
import tempfile
from pathlib import Path
from pprint import pprint

import velkora


class _SelectResponse:
    """Writes the javabin body of a tiny /select response, the way Solr lays it out."""

    def __init__(self) -> None:
        self.out = bytearray([2])  # protocol version
        self.names: dict[str, int] = {}

    def size(self, base: int, n: int) -> None:
        if n < 31:
            self.out.append(base | n)
            return
        self.out.append(base | 31)
        n -= 31
        while n >= 0x80:
            self.out.append(n & 0x7F | 0x80)
            n >>= 7
        self.out.append(n)

    def name(self, text: str) -> None:
        # Field and entry names go through the extern-string table: defined once, then referenced.
        if text in self.names:
            self.size(0xE0, self.names[text])
            return
        self.names[text] = len(self.names) + 1
        self.out.append(0xE0)
        self.string(text)

    def string(self, text: str) -> None:
        data = text.encode()
        self.size(0x20, len(data))
        self.out += data

    def value(self, v: object) -> None:
        if v is None:
            self.out.append(0x00)
        elif isinstance(v, bool):
            self.out.append(0x01 if v else 0x02)
        elif isinstance(v, int):
            self.out += b"\x07" + struct.pack(">q", v)
        elif isinstance(v, float):
            self.out += b"\x08" + struct.pack(">f", v)
        elif isinstance(v, str):
            self.string(v)
        elif isinstance(v, list):
            self.size(0x80, len(v))
            for item in v:
                self.value(item)
        elif isinstance(v, dict):
            self.size(0xC0, len(v))
            for key, item in v.items():
                self.name(key)
                self.value(item)
        else:
            raise TypeError(type(v))

    def document(self, fields: dict[str, object]) -> None:
        self.out += b"\x0b"
        self.size(0xA0, len(fields))
        for key, item in fields.items():
            self.name(key)
            self.value(item)


def sample_response() -> bytes:
    """A /select response: a header, then three documents in a SolrDocumentList."""
    docs = [
        {"id": "SKU-1", "title": "Wireless keyboard", "price": 49.5, "inStock": True, "cat": ["electronics"]},
        {"id": "SKU-2", "title": "Café grinder", "price": 89.0, "inStock": False, "cat": ["kitchen", "sale"]},
        {"id": "SKU-3", "title": "USB-C cable", "price": 9.25, "inStock": True, "cat": []},
    ]
    w = _SelectResponse()
    w.size(0xC0, 2)
    w.name("responseHeader")
    w.value({"status": 0, "QTime": 3, "params": {"q": "*:*", "wt": "javabin"}})
    w.name("response")
    w.out += b"\x0c"  # SolrDocumentList: [numFound, start, maxScore, numFoundExact], then the documents
    w.value([len(docs), 0, 1.0, True])
    w.size(0x80, len(docs))
    for doc in docs:
        w.document(doc)
    return bytes(w.out)


def main() -> None:
    body = sample_response()
    print(f"velkora {velkora.__version__}: a {len(body)}-byte /select response\n")

    print("deserialize(body):")
    pprint(velkora.deserialize(body), sort_dicts=False)

    print("\ndeserialize_json(body):")
    print(velkora.deserialize_json(body))

    print("\n_bench_parse_only(body):", velkora._bench_parse_only(body))
    print("_deserialize_safe(body) == deserialize(body):", velkora._deserialize_safe(body) == velkora.deserialize(body))

    print("\ndeserialize_stream(body, callback):")
    envelope = velkora.deserialize_stream(body, lambda doc: print("  callback got", doc["id"], doc["title"]))
    print("  returned", envelope["response"])

    print("\nStreamDecoder, fed 16 bytes at a time:")
    decoder = velkora.StreamDecoder()
    for start in range(0, len(body), 16):
        decoder.feed(body[start : start + 16], lambda doc: print(f"  after byte {start + 16:4}: {doc['id']}"))
    decoder.finish()
    print("  count =", decoder.count)

    show_arrow(body)
    show_command_line(body)


def show_arrow(body: bytes) -> None:
    """deserialize_arrow against a schema of the sample's fields, and the batch as a polars DataFrame."""
    try:
        import pyarrow as pa
    except ImportError:
        print("\ndeserialize_arrow(body, schema): skipped, pyarrow is not installed (pip install velkora[arrow])")
        return
    schema = pa.schema([
        ("id", pa.utf8()),
        ("title", pa.utf8()),
        ("price", pa.float32()),
        ("inStock", pa.bool_()),
        ("cat", pa.list_(pa.utf8())),
    ])
    print("\ndeserialize_arrow(body, schema):")
    batch = velkora.deserialize_arrow(body, schema)
    print(batch)

    print("\nArrowStreamDecoder(schema, batch_size=2), fed 16 bytes at a time:")
    decoder = velkora.ArrowStreamDecoder(schema, batch_size=2)
    for start in range(0, len(body), 16):
        for piece in decoder.feed(body[start : start + 16]):
            print(f"  after byte {start + 16:4}: a batch of {piece.num_rows} rows, ids {piece.column('id').to_pylist()}")
    for piece in decoder.finish():
        print(f"  finish(): a batch of {piece.num_rows} rows, ids {piece.column('id').to_pylist()}")

    try:
        import polars as pl
    except ImportError:
        print("\npolars.from_arrow(batch): skipped, polars is not installed")
        return
    print("\npolars.from_arrow(batch):")
    print(pl.from_arrow(batch))


def show_command_line(body: bytes) -> None:
    """The command line on the same body, saved to a file: `velkora inspect` and `velkora arrow`."""
    from velkora.cli import main as velkora_command

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "select.bin"
        path.write_bytes(body)
        print("\n$ velkora inspect select.bin")
        velkora_command(["inspect", str(path)])
        try:
            import pyarrow.parquet as pq
        except ImportError:
            print("\n$ velkora arrow select.bin -o select.parquet: skipped, pyarrow is not installed "
                  "(pip install velkora[cli])")
            return
        out = Path(folder) / "select.parquet"
        print("\n$ velkora arrow select.bin -o select.parquet --quiet")
        velkora_command(["arrow", str(path), "-o", str(out), "--quiet"])
        print(f"  {out.stat().st_size} bytes of Parquet; read back with pyarrow.parquet.read_table:")
        print(pq.read_table(out))


if __name__ == "__main__":
    main()
