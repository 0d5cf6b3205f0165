"""Parser and JSON throughput: _bench_parse_only and deserialize_json against orjson.

On the Solr body select_large.bin (skipped when ../shared/testdata is absent) and on a generated
50,000-document /select response, prints the best-of-N times of:
  - deserialize_json;
  - _bench_parse_only (the same parse, no rendering);
  - orjson.dumps(objects, option=OPT_SORT_KEYS) on the objects deserialize returns (bytes as Base64);
  - the route deserialize + that orjson.dumps;
json.loads of the text for scale, and the ratios against the targets: rendering (deserialize_json - parse) no slower than orjson.dumps, and
deserialize_json at least 2.5x faster than the route. Then the peak resident memory that deserialize_json
adds, against the size of its output (target: under 3x), measured in a fresh subprocess because the tree
and the text buffer live on the C allocator.

Each call of deserialize_json needs its text and its str at once, some tens of MB for these bodies. With
glibc's default settings, blocks that large are handed back to the system when freed, so every call touches
fresh pages again, and each first touch is a page fault (on a virtual machine, about 1.5 us per 4 KiB page).
orjson.dumps grows its output within memory the heap keeps. So the page faults per call are printed too, and
the whole report is then repeated in a fresh interpreter with the allocator's thresholds fixed, as a long-
running service would set them, where those faults are gone and the difference is the decoders' own work.
"""

from __future__ import annotations

import base64
import json
import os
import resource
import subprocess
import sys
from pathlib import Path

import orjson

import velkora
from bodies import select_response
from timing import best_of

SOLR_LARGE = Path(__file__).resolve().parent.parent.parent / "shared" / "testdata" / "solr" / "select_large.bin"
REPEAT = 11
# Set in the repeated run: glibc keeps freed memory of up to 256 MiB per block in its heap, and never trims it.
FIXED_ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": str(256 << 20), "MALLOC_TRIM_THRESHOLD_": str(1 << 40)}

# Runs in a fresh interpreter: resident memory before and at the peak of one deserialize_json call, sampled
# from the kernel's high-water mark (VmHWM), which is reset first so that loading the body does not count.
MEMORY_PROBE = r"""
import sys, velkora
from pathlib import Path

def status(key):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024

body = Path(sys.argv[1]).read_bytes()
velkora.deserialize_json(b"\x02\x00")  # warm the module
Path("/proc/self/clear_refs").write_text("5")  # reset VmHWM to the current resident size
before = status("VmRSS")
text = velkora.deserialize_json(body)
peak = status("VmHWM")
print(before, peak, len(text.encode("utf-8")), sys.getsizeof(text))
"""


def _base64(value):
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(value).decode("ascii")
    raise TypeError(f"not serializable: {type(value).__name__}")


def _memory(body: bytes) -> tuple[int, int, int]:
    """Peak resident growth of one deserialize_json call, its UTF-8 output size and its str size."""
    path = Path("/tmp") / f"velkora-bench-{len(body)}.bin"
    path.write_bytes(body)
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)], check=True,
                             capture_output=True, text=True).stdout.split()
    finally:
        path.unlink()
    before, peak, utf8_size, str_size = map(int, out)
    return peak - before, utf8_size, str_size


def timed(fn) -> tuple[float, float]:
    """Best-of-REPEAT seconds of `fn`, and the minor page faults (first touches of fresh pages) per timed call.
    Three calls first let the heap reach the size the calls keep using."""
    for _ in range(3):
        fn()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    best = best_of(fn, REPEAT)
    return best, (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / REPEAT


def report(name: str, body: bytes, fixed: bool) -> None:
    objects = velkora.deserialize(body)
    text = velkora.deserialize_json(body)
    mb = len(body) / 1e6
    to_json, to_json_faults = timed(lambda: velkora.deserialize_json(body))
    parse = best_of(lambda: velkora._bench_parse_only(body), REPEAT)
    dumps, dumps_faults = timed(lambda: orjson.dumps(objects, option=orjson.OPT_SORT_KEYS, default=_base64))
    route = best_of(lambda: orjson.dumps(velkora.deserialize(body), option=orjson.OPT_SORT_KEYS,
                                         default=_base64), REPEAT)
    loads = best_of(lambda: json.loads(text), REPEAT)
    render = to_json - parse
    print(f"{name}: {mb:.2f} MB javabin, {len(text.encode('utf-8')) / 1e6:.2f} MB JSON")
    print(f"  deserialize_json               {to_json * 1e3:8.2f} ms  {mb / to_json:8.1f} MB/s"
          f"   ({to_json_faults:,.0f} page faults per call)")
    print(f"  _bench_parse_only              {parse * 1e3:8.2f} ms  {mb / parse:8.1f} MB/s   (target >= 500 MB/s)")
    print(f"  rendering (json - parse)       {render * 1e3:8.2f} ms")
    print(f"  orjson.dumps(sorted keys)      {dumps * 1e3:8.2f} ms"
          f"                 ({dumps_faults:,.0f} page faults per call)")
    print(f"  deserialize + orjson.dumps     {route * 1e3:8.2f} ms")
    print(f"  json.loads of the text         {loads * 1e3:8.2f} ms")
    ok = lambda met: "met" if met else "NOT met"
    print(f"  rendering / orjson.dumps       {render / dumps:8.2f}     (target <= 1.00: {ok(render <= dumps)})")
    print(f"  route / deserialize_json       {route / to_json:8.2f}x    (target >= 2.50x: {ok(route >= 2.5 * to_json)})")
    if fixed:
        return  # a heap that never shrinks trades memory for those faults: the default's peak is the figure
    growth, utf8_size, str_size = _memory(body)
    print(f"  peak memory of deserialize_json {growth / 1e6:7.1f} MB = {growth / utf8_size:.2f}x the UTF-8 output,"
          f" {growth / str_size:.2f}x the str ({str_size / 1e6:.1f} MB)  (target < 3x: {ok(growth < 3 * utf8_size)})")


def main() -> None:
    fixed = all(os.environ.get(k) == v for k, v in FIXED_ALLOCATOR.items())
    if fixed:
        print("\nThe same, with the C allocator's thresholds fixed (" +
              " ".join(f"{k}={v}" for k, v in FIXED_ALLOCATOR.items()) + "):")
    if SOLR_LARGE.is_file():
        report("select_large.bin", SOLR_LARGE.read_bytes(), fixed)
    else:
        print(f"select_large.bin skipped: {SOLR_LARGE} not found")
    report("generated /select response, 50,000 documents", select_response(50_000), fixed)
    if not fixed:
        sys.stdout.flush()
        subprocess.run([sys.executable, __file__], env={**os.environ, **FIXED_ALLOCATOR}, check=True)


if __name__ == "__main__":
    main()
