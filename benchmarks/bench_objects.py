"""Python objects: deserialize against marshal.loads, json.loads and orjson.loads of the same data.

First the targets, each figure beside its target with "met" or "NOT met", by wall clock (best of N) and by
instruction count (callgrind, PYTHONHASHSEED=0, per call = (N-call run - 1-call run) / (N - 1), which is stable
on a loaded machine where wall clocks are not):
  - deserialize at least 1.6x faster than marshal.loads on select_large, each counting the young collection;
  - deserialize at least 1.5x faster than orjson.loads of the same answer's JSON, on select_small and on a
    one-document answer (there the per-call work counts: argument binding, table set-up, first allocations).
Then the detailed table of every route on a 50,000-document /select response and a generated /export response.

A decoder that keeps the collector out of its build does not remove the collection, it defers it: the
young generation then holds every container of the result, and the caller's next allocations pay to
traverse them. So each route with the collector on is timed three times: the call alone; the call followed
by a couple of thousand small allocations, which includes the first young collection after it; and the
call followed by enough allocations to reach the next middle-generation collection, which walks the
survivors of the young one once more (a decoder that lets the collector run pays both inside its call).

`--against BINARY` adds the same figures for another build of the extension (a `_core` shared object, loaded
on its own), side by side with the installed one.
"""

from __future__ import annotations

import gc
import importlib.machinery
import importlib.util
import json
import marshal
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import velkora
from bodies import export_response, select_response
from timing import best_of

try:
    import orjson
except ImportError:  # the benchmark still runs; those rows are left out
    orjson = None

ROOT = Path(__file__).resolve().parent.parent
SOLR = ROOT.parent / "shared/testdata/solr"
REAL_SELECT = SOLR / "select_large.bin"
SMALL_SELECT = SOLR / "select_small.bin"

# Kept alive until the clock stops, so that the young generation's count passes its threshold (700 by
# default) at least once whatever it was after the call.
NEXT_ALLOCATIONS = 2_000
# The middle generation is collected at the young collection after its own count passes its threshold;
# each young collection adds one to that count, and best_of starts from a full collection, so at zero.
_young, _middle, _old = gc.get_threshold()
THROUGH_MIDDLE = _young * (_middle + 3)


def noop(_doc) -> None:
    pass


def then_allocate(fn, count: int):
    """`fn`, then the caller's next `count` container allocations, kept until the clock stops."""

    def run():
        result = fn()
        allocated = [[] for _ in range(count)]
        return result, allocated

    return run


# ---------------------------------------------------------------------------------------------------------
# Builds of the extension


def load(path: Path):
    """The extension module in `path`, loaded on its own (each binary keeps its own tables)."""
    loader = importlib.machinery.ExtensionFileLoader("velkora._core", str(path))
    spec = importlib.util.spec_from_file_location("velkora._core", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def route(core, kind: str, body: bytes):
    """The call measured for `kind` ("deserialize", "deserialize_json", "marshal", "orjson") on `body`."""
    if kind == "marshal":
        frozen = marshal.dumps(core.deserialize(body))
        return lambda: marshal.loads(frozen)
    if kind == "orjson":
        text = core.deserialize_json(body)
        return lambda: orjson.loads(text)
    fn = getattr(core, kind)
    return lambda: fn(body)


# ---------------------------------------------------------------------------------------------------------
# Instruction counts


def count_mode(argv: list[str]) -> None:
    """Run under callgrind by counted(): `--count BINARY KIND BODY CALLS YOUNG`."""
    path, kind, body, calls, young = argv
    fn = route(load(Path(path)), kind, Path(body).read_bytes())
    if young == "1":
        fn = then_allocate(fn, NEXT_ALLOCATIONS)
    for _ in range(int(calls)):
        result = fn()
        del result


def counted(path: Path, kind: str, body: Path, young: bool) -> int | None:
    """Instructions per call of `kind` on `body` with the binary `path`, or None without valgrind."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return None
    calls = 3 if body.stat().st_size > 1 << 20 else 101

    def total(n: int) -> int:
        with tempfile.TemporaryDirectory() as out:
            run = subprocess.run(
                [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}/cg", sys.executable, __file__, "--count",
                 str(path), kind, str(body), str(n), "1" if young else "0"],
                capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"}, timeout=3600)
            if run.returncode != 0:
                raise RuntimeError(f"callgrind of {kind} on {body.name} failed: {run.stderr[-2000:]}")
            for line in run.stderr.splitlines():
                if "Collected :" in line:
                    return int(line.split()[-1])
            raise RuntimeError(f"no instruction count in callgrind's output for {kind} on {body.name}")

    return (total(calls) - total(1)) // (calls - 1)


# ---------------------------------------------------------------------------------------------------------
# Targets


def verdict(ratio: float, target: float) -> str:
    return "met" if ratio >= target else "NOT met"


def line(label: str, ours: str, theirs: str, ratio: float, target: float, unit: str) -> None:
    print(f"  {label:52} {ours:>14} vs {theirs:>14} {unit:5} {ratio:5.2f} x  (target >= {target:.1f} x)  "
          f"{verdict(ratio, target)}")


def targets(builds: dict[str, object], paths: dict[str, Path], bodies: dict[str, Path]) -> None:
    print("Targets (wall clock: best of N, per call; instructions: callgrind, per call)")
    cases = [("select_large", "marshal", 1.6, True)]
    if orjson is not None:
        cases += [("select_small", "orjson", 1.5, False), ("one document", "orjson", 1.5, False)]
    for body_name, baseline, target, young in cases:
        if body_name not in bodies:
            print(f"  {body_name}: absent, skipped")
            continue
        body = bodies[body_name].read_bytes()
        repeat = 7 if len(body) > 1 << 20 else 2_000
        what = "+ young collection" if young else "call"
        for build, core in builds.items():
            ours_fn, theirs_fn = route(core, "deserialize", body), route(core, baseline, body)
            if young:
                ours_fn, theirs_fn = then_allocate(ours_fn, NEXT_ALLOCATIONS), then_allocate(theirs_fn, NEXT_ALLOCATIONS)
            ours, theirs = per_call(ours_fn, repeat), per_call(theirs_fn, repeat)
            label = f"{body_name}, {build}: deserialize / {baseline}.loads, {what}"
            scale, unit = (1e3, "ms") if ours > 1e-3 else (1e6, "us")
            line(label, f"{ours * scale:.2f}", f"{theirs * scale:.2f}", theirs / ours, target, unit)
            ours_i = counted(paths[build], "deserialize", bodies[body_name], young)
            theirs_i = counted(paths[build], baseline, bodies[body_name], young)
            if ours_i is not None:
                line(label, f"{ours_i:,}", f"{theirs_i:,}", theirs_i / ours_i, target, "instr")
    print()


def per_call(fn, repeat: int) -> float:
    """Seconds per call: for a short call the best of 7 loops of `repeat` calls, else the best of `repeat`."""
    if repeat <= 20:
        return best_of(fn, repeat=repeat, collector=True)

    def loop():
        for _ in range(repeat):
            fn()

    return best_of(loop, repeat=7, collector=True) / repeat


# ---------------------------------------------------------------------------------------------------------
# The detailed table, installed build


def report(name: str, body: bytes) -> None:
    frozen = marshal.dumps(velkora.deserialize(body))  # no decoded copy stays alive for the collector to walk
    text = velkora.deserialize_json(body)
    rows = [
        ("deserialize", lambda: velkora.deserialize(body), True),
        # deserialize keeps the collector out of its own decode, so the caller's setting changes little.
        ("deserialize (gc paused)", lambda: velkora.deserialize(body), False),
        ("marshal.loads (gc on)", lambda: marshal.loads(frozen), True),
        ("marshal.loads (gc paused)", lambda: marshal.loads(frozen), False),
        ("json.loads (gc on)", lambda: json.loads(text), True),
        ("json.loads (gc paused)", lambda: json.loads(text), False),
    ]
    if orjson is not None:
        rows += [
            ("orjson.loads (gc on)", lambda: orjson.loads(text), True),
            ("orjson.loads (gc paused)", lambda: orjson.loads(text), False),
        ]
    rows += [
        ("deserialize_stream, no-op", lambda: velkora.deserialize_stream(body, noop), True),
        ("_deserialize_safe (gc on)", lambda: velkora._deserialize_safe(body), True),
    ]
    print(f"{name}: {len(body) / 1e6:.2f} MB javabin, {len(text) / 1e6:.2f} MB JSON ({Path(velkora._core.__file__).name})")
    print(f"  {'':28} {'call':>11} {'x ours':>8}   {'+ young collection':>18} {'x ours':>8}"
          f"   {'+ middle generation':>19} {'x ours':>8}")
    bases: dict[int, float] = {}
    for label, fn, collector in rows:
        t = best_of(fn, repeat=5, collector=collector)
        base = bases.setdefault(0, t)
        row = f"  {label:28} {t * 1e3:8.1f} ms {t / base:6.2f} x"
        # With the collector paused there is no collection to include.
        for count, width in ((NEXT_ALLOCATIONS, 15), (THROUGH_MIDDLE, 16)) if collector else ():
            t = best_of(then_allocate(fn, count), repeat=5, collector=True)
            base = bases.setdefault(count, t)
            row += f"   {t * 1e3:{width}.1f} ms {t / base:6.2f} x"
        print(row)
    print()


def main(against: list[str]) -> None:
    paths = {"installed": Path(velkora._core.__file__)}
    paths.update((f"against {i + 1}", Path(p).resolve()) for i, p in enumerate(against))
    for name, path in paths.items():
        print(f"{name}: {path}")
    builds = {"installed": velkora._core, **{name: load(path) for name, path in paths.items() if name != "installed"}}
    with tempfile.TemporaryDirectory() as scratch:
        bodies = {name: path for name, path in (("select_large", REAL_SELECT), ("select_small", SMALL_SELECT))
                  if path.exists()}
        one = Path(scratch) / "one_document.bin"
        one.write_bytes(select_response(1))
        bodies["one document"] = one
        print(f"one document: a generated /select answer of {one.stat().st_size} bytes")
        print()
        targets(builds, paths, bodies)
    select = REAL_SELECT.read_bytes() if REAL_SELECT.exists() else select_response(50_000)
    report("/select, 50,000 documents" + (" (select_large.bin)" if REAL_SELECT.exists() else ""), select)
    report("/export, 50,000 documents", export_response(50_000))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--count"]:
        count_mode(sys.argv[2:])
    else:
        args = sys.argv[1:]
        if len(args) % 2 or any(flag != "--against" for flag in args[::2]):
            sys.exit("usage: bench_objects.py [--against BINARY]...")
        main(args[1::2])
