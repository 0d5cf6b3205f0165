"""Parser throughput: _bench_parse_only and deserialize_json on a 50,000-document /select response.

Prints MB/s of both and the ratio of deserialize_json's time to json.loads of the same JSON text.
"""

from __future__ import annotations

import json

import velkora
from bodies import select_response
from timing import best_of


def main() -> None:
    body = select_response(50_000)
    text = velkora.deserialize_json(body)
    mb = len(body) / 1e6
    parse = best_of(lambda: velkora._bench_parse_only(body))
    to_json = best_of(lambda: velkora.deserialize_json(body))
    loads = best_of(lambda: json.loads(text))
    print(f"/select response: 50,000 documents, {mb:.2f} MB javabin, {len(text) / 1e6:.2f} MB JSON")
    print(f"  _bench_parse_only   {parse * 1e3:8.2f} ms  {mb / parse:8.1f} MB/s   (target >= 500 MB/s)")
    print(f"  deserialize_json    {to_json * 1e3:8.2f} ms  {mb / to_json:8.1f} MB/s")
    print(f"  json.loads of text  {loads * 1e3:8.2f} ms")
    print(f"  deserialize_json / json.loads = {to_json / loads:.2f}")


if __name__ == "__main__":
    main()
