"""Parser and JSON throughput: _bench_parse_only and deserialize_json against orjson.

On the Solr body select_large.bin (skipped when ../shared/testdata is absent) and on a generated
50,000-document /select response, prints the best-of-N times of:
  - deserialize_json;
  - _bench_parse_only (the same parse, no rendering);
  - orjson.dumps(objects, option=OPT_SORT_KEYS) on the objects deserialize returns (bytes as Base64);
  - the route deserialize + that orjson.dumps;
json.loads of the text for scale. Every figure that has a target is printed beside it with "met" or
"NOT met": rendering (deserialize_json - _bench_parse_only) no slower than orjson.dumps, deserialize_json
at least 2.5x faster than the route, _bench_parse_only at least 500 MB/s, and the peak resident memory
that deserialize_json adds under 3x its UTF-8 output, measured in a fresh subprocess because the tree and
the text buffer live on the C allocator.

Each call of deserialize_json needs its text and its str at once, some tens of MB for these bodies. With
glibc's default settings, a freed block at least as large as the largest freed mapped block so far is
handed back to the system, so a call that allocates the same large sizes every time touches fresh pages
again, and each first touch is a page fault (on a virtual machine, about 2 us per 4 KiB page). The text
buffer and the tree are sized from the input and allocated once, so they stay in the heap; the str, made
by the interpreter, is the one block mapped afresh. orjson.dumps grows its output through blocks of
varying size, which keeps the heap's. So the page faults per call are printed too, and the whole report is
then repeated in a fresh interpreter with the allocator's thresholds fixed, as a long-running service
would set them, where those faults are gone and the difference is the decoders' own work.

Wall clocks move with the load of the machine; the instruction counts that end each body's report do not.
They are counted by callgrind (when valgrind is installed) in a fresh interpreter with PYTHONHASHSEED=0:
each call is run once in a script that otherwise only prepares its arguments, and the same script without
the call is subtracted. Collection is on only inside C functions called with keywords allowed
(METH_FASTCALL | METH_KEYWORDS, as both modules' functions are), so the interpreter's own work between
calls is left out.
"""

from __future__ import annotations

import base64
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
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

# Runs under callgrind: prepares the arguments of every call the same way, then makes the one named by
# argv[2] ("none" makes none, the baseline subtracted from the others).
INSTRUCTION_PROBE = r"""
import base64, sys, orjson, velkora
from pathlib import Path

def b64(value):
    return base64.b64encode(value).decode("ascii")

body = Path(sys.argv[1]).read_bytes()
objects = velkora.deserialize(body)
calls = {
    "none": lambda: None,
    "deserialize_json": lambda: velkora.deserialize_json(body),
    "_bench_parse_only": lambda: velkora._bench_parse_only(body),
    "deserialize": lambda: velkora.deserialize(body),
    "orjson.dumps": lambda: orjson.dumps(objects, option=orjson.OPT_SORT_KEYS, default=b64),
}
calls[sys.argv[2]]()
"""
INSTRUCTION_CALLS = ["none", "deserialize_json", "_bench_parse_only", "deserialize", "orjson.dumps"]


def _base64(value):
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(value).decode("ascii")
    raise TypeError(f"not serializable: {type(value).__name__}")


def _with_body_file(body: bytes, fn):
    with tempfile.NamedTemporaryFile(prefix="velkora-bench-", suffix=".bin") as f:
        f.write(body)
        f.flush()
        return fn(f.name)


def _memory(body: bytes) -> tuple[int, int, int]:
    """Peak resident growth of one deserialize_json call, its UTF-8 output size and its str size."""
    out = _with_body_file(body, lambda path: subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, path], check=True, capture_output=True, text=True).stdout.split())
    before, peak, utf8_size, str_size = map(int, out)
    return peak - before, utf8_size, str_size


def _instructions(body: bytes) -> dict[str, int] | None:
    """Instructions of each call in INSTRUCTION_CALLS but "none", counted by callgrind; None without valgrind."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        return None

    def count(path: str, call: str) -> int:
        run = subprocess.run(
            [valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null", "--collect-atstart=no",
             "--toggle-collect=cfunction_vectorcall_FASTCALL_KEYWORDS", sys.executable, "-c", INSTRUCTION_PROBE,
             path, call],
            env={**os.environ, "PYTHONHASHSEED": "0"}, capture_output=True, text=True, check=True)
        found = re.search(r"Collected\s*:\s*([\d,]+)", run.stderr)
        if not found:
            raise RuntimeError(f"callgrind printed no instruction count for {call}:\n{run.stderr[-2000:]}")
        return int(found.group(1).replace(",", ""))

    def all_calls(path: str) -> dict[str, int]:
        counts = {call: count(path, call) for call in INSTRUCTION_CALLS}
        base = counts.pop("none")
        return {call: n - base for call, n in counts.items()}

    return _with_body_file(body, all_calls)


def timed(fn) -> tuple[float, float]:
    """Best-of-REPEAT seconds of `fn`, and the minor page faults (first touches of fresh pages) per timed call.
    Three calls first let the heap reach the size the calls keep using."""
    for _ in range(3):
        fn()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    best = best_of(fn, REPEAT)
    return best, (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / REPEAT


def line(label: str, figure: str, target: str = "", met: bool | None = None, note: str = "") -> None:
    """One figure; with its target, then "met" or "NOT met"."""
    verdict = "" if met is None else ("met" if met else "NOT met")
    target = f"target {target}" if target else ""
    print(f"  {label:<36} {figure:>16}   {target:<20} {verdict:<8} {note}".rstrip())


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
    line("deserialize_json", f"{to_json * 1e3:.2f} ms", note=f"({mb / to_json:.1f} MB/s, "
         f"{to_json_faults:,.0f} page faults per call)")
    line("_bench_parse_only", f"{mb / parse:.1f} MB/s", ">= 500 MB/s", mb / parse >= 500, f"({parse * 1e3:.2f} ms)")
    line("rendering (json - parse)", f"{render * 1e3:.2f} ms")
    line("orjson.dumps(sorted keys)", f"{dumps * 1e3:.2f} ms", note=f"({dumps_faults:,.0f} page faults per call)")
    line("deserialize + orjson.dumps", f"{route * 1e3:.2f} ms")
    line("json.loads of the text", f"{loads * 1e3:.2f} ms")
    line("rendering / orjson.dumps", f"{render / dumps:.2f}", "<= 1.00", render <= dumps)
    line("route / deserialize_json", f"{route / to_json:.2f}x", ">= 2.50x", route >= 2.5 * to_json)
    if fixed:
        return  # a heap that never shrinks trades memory for those faults: the default's peak is the figure
    growth, utf8_size, str_size = _memory(body)
    line("peak memory / UTF-8 output", f"{growth / utf8_size:.2f}x", "< 3.00x", growth < 3 * utf8_size,
         f"({growth / 1e6:.1f} MB; the str is {str_size / 1e6:.1f} MB)")
    counts = _instructions(body)
    if counts is None:
        print("  instruction counts skipped: valgrind not found")
        return
    json_n, parse_n = counts["deserialize_json"], counts["_bench_parse_only"]
    dumps_n, route_n = counts["orjson.dumps"], counts["deserialize"] + counts["orjson.dumps"]
    for call in ("deserialize_json", "_bench_parse_only", "orjson.dumps", "deserialize"):
        line(f"instructions: {call}", f"{counts[call] / 1e6:,.1f} M")
    line("instructions: rendering / dumps", f"{(json_n - parse_n) / dumps_n:.2f}", "<= 1.00", json_n - parse_n <= dumps_n)
    line("instructions: route / json", f"{route_n / json_n:.2f}x", ">= 2.50x", route_n >= 2.5 * json_n)


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
