"""Chunk-fed decoding: StreamDecoder over an /export response in 64 KiB and 4 KiB chunks.

Prints each time as a ratio to deserialize_stream on the whole body, and the peak memory traced while
feeding (the decoder's buffer is on Python's allocator) for a 5,000- and a 50,000-document response.
"""

from __future__ import annotations

import tracemalloc

import velkora
from bodies import export_response
from timing import best_of


def noop(_doc) -> None:
    pass


def chunks_of(body: bytes, size: int) -> list[bytes]:
    return [body[i : i + size] for i in range(0, len(body), size)]


def feed_all(chunks: list[bytes]) -> None:
    decoder = velkora.StreamDecoder()
    for chunk in chunks:
        decoder.feed(chunk, noop)
    decoder.finish()


def peak_while_feeding(chunks: list[bytes]) -> int:
    """Peak traced bytes while feeding (the chunks themselves are allocated before tracing starts)."""
    tracemalloc.start()
    try:
        feed_all(chunks)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def main() -> None:
    body = export_response(50_000)
    small = export_response(5_000)
    whole = best_of(lambda: velkora.deserialize_stream(body, noop), repeat=5)
    print(f"/export, 50,000 documents, {len(body) / 1e6:.2f} MB")
    print(f"  deserialize_stream (whole body)  {whole * 1e3:8.1f} ms   1.00 x")
    for size, target in ((65536, 1.1), (4096, 1.3)):
        chunks = chunks_of(body, size)
        t = best_of(lambda: feed_all(chunks), repeat=5)
        peak_large = peak_while_feeding(chunks)
        peak_small = peak_while_feeding(chunks_of(small, size))
        print(f"  StreamDecoder, {size // 1024:2} KiB chunks     {t * 1e3:8.1f} ms   {t / whole:4.2f} x"
              f"   (target <= {target} x)   peak {peak_large / 1024:6.1f} KiB"
              f" (5,000 documents: {peak_small / 1024:6.1f} KiB)")


if __name__ == "__main__":
    main()
