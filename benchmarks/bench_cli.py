"""`velkora arrow` on /export bodies of 50,000 to 500,000 documents, writing Parquet.

Each run is its own process; its wall time and peak resident memory are measured from outside (wait4), so
the figures include the interpreter, pyarrow and the Parquet writer. Memory should not grow with the number
of documents: the body is read in chunks and only one batch of columns is held at a time, so it levels off
once a body holds more than one batch of rows.
Bodies are written once into build/bench/ by the test suite's javabin writer, streamed to disk.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bodies import _fields, jb  # noqa: E402

FOLDER = Path(__file__).resolve().parent.parent / "build" / "bench"
SIZES = [50_000, 150_000, 500_000]
BATCH_SIZES = [8192, 65536]


def write_export_body(path: Path, n: int, seed: int = 11) -> None:
    """An /export body of n documents (MapWriter documents in an iterator), written as it is built."""
    rng = random.Random(seed)
    w = jb.Writer()
    w.out.append(jb.MAP_ENTRY_ITER)
    w.write(jb.Extern("responseHeader"), jb.MapEntryIter([("status", jb.Int(0))]), jb.Extern("response"))
    w.out.append(jb.MAP_ENTRY_ITER)
    w.write(jb.Extern("numFound"), jb.solr_long(n), jb.Extern("docs"))
    w.out.append(jb.ITERATOR)
    with open(path.with_suffix(".tmp"), "wb") as f:
        for i in range(n):
            w.write(jb.MapEntryIter(_fields(rng, i)))
            if len(w.out) > 1 << 20:
                f.write(w.out)
                w.out = bytearray()  # the extern-string table stays with the writer
        w.out += bytes([jb.END, jb.END, jb.END])
        f.write(w.out)
    os.replace(path.with_suffix(".tmp"), path)


def measure(*args: str) -> tuple[float, int]:
    """Wall seconds and peak resident bytes of one run of the command line."""
    start = time.perf_counter()
    command = [sys.executable, *args] if args[0] == "-c" else [sys.executable, "-m", "velkora", *args]
    process = subprocess.Popen(command)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"velkora {' '.join(args)} failed")
    return elapsed, usage.ru_maxrss * 1024


def main() -> None:
    FOLDER.mkdir(parents=True, exist_ok=True)
    print("velkora arrow BODY -o OUT.parquet --quiet --batch-size B (schema inferred from the first 1000 documents)")
    print(f"{'documents':>10} {'body MB':>9} {'B':>6} {'seconds':>8} {'docs/s':>10} {'MB/s':>7} {'peak RSS MB':>12}"
          f" {'Parquet MB':>11}")
    for n in SIZES:
        body = FOLDER / f"export_{n}.bin"
        if not body.exists():
            write_export_body(body, n)
        out = FOLDER / f"export_{n}.parquet"
        size = body.stat().st_size
        for batch in BATCH_SIZES:
            seconds, peak = min(measure("arrow", str(body), "-o", str(out), "--quiet", "--batch-size", str(batch))
                                for _ in range(3))
            print(f"{n:>10} {size / 1e6:>9.1f} {batch:>6} {seconds:>8.2f} {n / seconds:>10.0f}"
                  f" {size / 1e6 / seconds:>7.1f} {peak / 1e6:>12.1f} {out.stat().st_size / 1e6:>11.1f}")
    baseline = measure("-c", "import velkora, pyarrow.parquet")
    print(f"(the interpreter with velkora and pyarrow.parquet imported: {baseline[1] / 1e6:.1f} MB peak RSS)")


if __name__ == "__main__":
    main()
