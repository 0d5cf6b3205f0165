"""Resident memory after decoding many bodies whose field names are all new: 400 bodies of 1,000 names each,
400,000 distinct names in all, through deserialize, StreamDecoder and _deserialize_safe, each in a fresh
process. Names a process meets once must not stay with it: a service that decodes documents with
per-tenant or dynamic field names would otherwise grow for as long as it runs.

Run it with any interpreter that has velkora installed (`python benchmarks/bench_names.py`); `--json`
prints one line of figures, for comparing interpreters.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import javabin as jb  # noqa: E402

BODIES = 400
NAMES = 1000

CHILD = r"""
import gc, sys
sys.path.insert(0, {tests!r})
import javabin as jb
import velkora

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

def body(k):
    fields = [(f"attr_{{k:04}}_{{i:04}}_s", i) for i in range({names})]
    return jb.encode(jb.NamedList({{"response": jb.DocList(numFound=1, docs=[jb.Doc(fields)])}}))

def stream(data):
    dec = velkora.StreamDecoder()
    for i in range(0, len(data), 4096):
        dec.feed(data[i:i + 4096], lambda doc: None)
    dec.finish()

decode = {{"deserialize": velkora.deserialize, "_deserialize_safe": velkora._deserialize_safe,
          "StreamDecoder": stream}}[{entry!r}]
bodies = [body(k) for k in range({bodies})]
decode(body(-1)); decode(body(-2))  # warm-up: the module's caches and the allocator's first arenas
gc.collect()
before = rss()
for data in bodies:
    decode(data)
del data
gc.collect()
print(rss() - before)
"""


def growth(entry: str, python: str = sys.executable) -> int:
    """Bytes of resident memory gained by decoding the bodies through `entry`, in a fresh `python`."""
    code = CHILD.format(tests=str(Path(jb.__file__).parent), names=NAMES, bodies=BODIES, entry=entry)
    out = subprocess.run([python, "-c", code], check=True, capture_output=True, text=True).stdout
    return int(out.split()[-1])


def main() -> None:
    entries = ["deserialize", "StreamDecoder", "_deserialize_safe"]
    figures = {entry: growth(entry) for entry in entries}
    if "--json" in sys.argv:
        print(json.dumps({"python": sys.version.split()[0], **figures}))
        return
    print(f"Python {sys.version.split()[0]}: {BODIES} bodies of {NAMES} new field names each")
    for entry, grown in figures.items():
        print(f"  {entry:<18} resident memory +{grown / (1 << 20):7.2f} MiB")


if __name__ == "__main__":
    main()
