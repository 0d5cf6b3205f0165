"""One fuzz target per entry point, each a function of the fuzzer's bytes that runs the oracles.

The whole-body targets take the bytes as the body. The others read a short prefix first:
- StreamDecoder: a chunk plan (see `read_plan`), then the body;
- deserialize_arrow: a schema byte (`read_arrow_choice`), then the body;
- ArrowStreamDecoder: a schema byte, a batch-size byte, a chunk plan, then the body.
The _survey target (the field survey behind velkora.schema.infer) takes the bytes as the body.
`PREFIXES` gives, per target, the prefixes seeds are written with. Nothing here needs atheris.
"""

from __future__ import annotations

import oracles

SCHEMAS = ("select", "export", "tree", "numbers")


def read_plan(data: bytes) -> tuple[list[int] | None, bytes]:
    """A chunk plan: a count byte n (low three bits), then n size bytes, cycled over the body. A size byte below
    128 is that many bytes (0: an empty chunk); from 128 up it is (b - 127) * 256 bytes. n = 0 feeds the body
    whole. Returns (sizes or None, body)."""
    if not data:
        return None, data
    n = data[0] & 7
    sizes = [b if b < 128 else (b - 127) * 256 for b in data[1:1 + n]]
    if sizes and not any(sizes):
        sizes = [1]
    return sizes or None, data[1 + n:]


def read_arrow_choice(byte: int) -> tuple[str, str]:
    """(schema name, children mode) from a byte: the low two bits pick the schema, the third the mode."""
    return SCHEMAS[byte & 3], "explode" if byte & 4 else "skip"


def read_batch_size(byte: int) -> int:
    """1 to 16 rows from the low four bits; 65536 when the high bit is set."""
    return 65536 if byte & 0x80 else 1 + (byte & 15)


def deserialize(data: bytes) -> None:
    fast = oracles.check_safe(data)
    oracles.check_parse_only(data, fast)
    oracles.check_solr_json(data, fast)


def deserialize_safe(data: bytes) -> None:
    oracles.check_safe(data)


def bench_parse_only(data: bytes) -> None:
    oracles.check_parse_only(data)


def deserialize_json(data: bytes) -> None:
    oracles.check_json(data)


def deserialize_stream(data: bytes) -> None:
    oracles.check_stream(data, None)


def stream_decoder(data: bytes) -> None:
    sizes, body = read_plan(data)
    oracles.check_stream(body, sizes or [len(body) or 1])


def deserialize_arrow(data: bytes) -> None:
    if data:
        oracles.check_arrow(data[1:], *read_arrow_choice(data[0]))


def arrow_stream_decoder(data: bytes) -> None:
    if len(data) < 2:
        return
    schema, children = read_arrow_choice(data[0])
    sizes, body = read_plan(data[2:])
    oracles.check_arrow_stream(body, schema, children, sizes, read_batch_size(data[1]))


def survey(data: bytes) -> None:
    oracles.check_survey(data)


TARGETS = {
    "deserialize": deserialize,
    "_deserialize_safe": deserialize_safe,
    "_bench_parse_only": bench_parse_only,
    "deserialize_json": deserialize_json,
    "deserialize_stream": deserialize_stream,
    "StreamDecoder": stream_decoder,
    "deserialize_arrow": deserialize_arrow,
    "ArrowStreamDecoder": arrow_stream_decoder,
    "_survey": survey,
}

# Seeds are bodies with these prefixes in front: whole, one byte at a time, odd small sizes, large chunks.
_PLANS = [b"\x00", b"\x01\x01", b"\x03\x07\x00\x1d", b"\x01\x81"]
PREFIXES = {
    "StreamDecoder": _PLANS,
    "deserialize_arrow": [bytes([i]) for i in range(8)],
    "ArrowStreamDecoder": [bytes([choice, batch]) + plan for choice, batch, plan in
                           [(0, 0x80, b"\x01\x01"), (1, 2, b"\x03\x07\x00\x1d"), (6, 0, b"\x00"), (7, 0x80, b"\x01\x81")]],
}


def run_all(data: bytes) -> None:
    """A body through every oracle, with every target's reading of its prefix: the replay of a seed."""
    oracles.check_objects(data)
    oracles.check_stream(data, None)
    for plan in _PLANS:
        stream_decoder(plan + data)
    for choice in range(8):
        oracles.check_arrow(data, *read_arrow_choice(choice))
    for prefix in PREFIXES["ArrowStreamDecoder"]:
        arrow_stream_decoder(prefix + data)
    oracles.check_survey(data)
