"""Every entry point with each of its first allocations failing in turn (Python's through _testcapi, C's through
the preloaded tests/native/fail_alloc.c): success or MemoryError, never a crash. Resident memory stays flat over
100,000 calls of every entry point on a good and a failing body, and of decoders dropped mid-stream; forged counts
reserve no more than the input. All in subprocesses, so other tests leave no noise."""

import gc
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from descriptions import SOLR_DATA, body
from helpers import in_fresh_python, rss

HERE = Path(__file__).resolve().parent
LIMIT = os.environ.get("VELKORA_ALLOCATION_SWEEP", "40")  # the most allocations failed per call, one at a time
# Anything but MemoryError (a ValueError from a failed allocation while building an error message's text, a
# crash) ends the run.
SWEEP = """
    import _testcapi, itertools, velkora
    noop = lambda d: None  # made before the failures: a function made under them crashes 3.12 and 3.13 themselves
    entries = [velkora.deserialize, velkora.deserialize_json, velkora._bench_parse_only,
               lambda b: velkora.deserialize_stream(b, noop), lambda b: velkora.StreamDecoder().feed(b, noop)]
    for body, entry, start in itertools.product(map(bytes.fromhex, sys.argv[2:]), entries, range(int(sys.argv[1]))):
        _testcapi.set_nomemory(start, 0)
        try:
            entry(body)
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
"""
BODIES = ["020a044142434445464748",   # a MAP whose keys are not strings: its entries become pair lists
          "02c2216141216282010e0f"]  # a named list with an array and an empty iterator


def test_allocation_failures_end_in_memory_error():
    pytest.importorskip("_testcapi")
    solr = [body(name).hex() for name in ("updateReq_4_5", "select_small") if SOLR_DATA.is_dir()]
    in_fresh_python(SWEEP, LIMIT, *BODIES, *solr, timeout=1800)


def test_c_allocation_failures_end_in_memory_error(tmp_path):
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc") or shutil.which("clang")
    if not cc:
        pytest.skip("no C compiler to build the allocation-failure shim")
    shim = tmp_path / "fail_alloc.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(shim), str(HERE / "native" / "fail_alloc.c"), "-ldl"],
                   check=True, capture_output=True)
    # The short sweep takes two real bodies, a longer one every body but the 5 MB one.
    bodies = [str(p) for p in sorted(SOLR_DATA.glob("*.bin")) if p.stem in ("select_small", "child_docs")
              or int(LIMIT) > 40 and p.stem != "select_large"]
    # The shim comes first, so the extension's calls reach it and it chains to the next allocator: libc's, or
    # under the sanitizers AddressSanitizer's, which then must not insist on being first.
    env = dict(os.environ, LD_PRELOAD=" ".join([str(shim), *os.environ.get("LD_PRELOAD", "").split()]),
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    run = subprocess.run([sys.executable, str(HERE / "allocation_sweep.py"), str(shim), LIMIT, *bodies],
                         capture_output=True, text=True, timeout=3600, env=env)
    assert run.returncode == 0, (run.stdout + run.stderr)[-3000:]
    outcomes, injected = run.stdout.rsplit("]", 1)
    # Failures injected: the sweep went deep into every entry point (how deep depends on the toolchain's
    # allocations: about 1,000 with the real bodies under libstdc++, fewer under libc++).
    assert set(eval(outcomes + "]")) <= {"MemoryError", "ArrowMemoryError"} and int(injected) > (
        600 if bodies else 400), run.stdout


NESTED = """
    import velkora
    import javabin as jb
    from helpers import cap_address_space, failure
    # 127 nested arrays, each declaring a million elements, then a million NULL bytes.
    body = bytes([2]) + (bytes([0x9F]) + jb.vint((1 << 20) - 31)) * 127 + bytes(1 << 20)
    cap_address_space(256 << 20)
    for entry in (velkora.deserialize, lambda b: velkora.deserialize_stream(b, print),
                  lambda b: velkora.StreamDecoder().feed(b, print)):
        print(failure(entry, body))
"""


@pytest.mark.rss
def test_nested_forged_counts_reserve_no_more_than_the_input():
    # The two whole-body decoders fail at the end of the input; the chunk-fed one waits for more bytes.
    assert in_fresh_python(NESTED, timeout=120).splitlines() == ["unexpected end of input at byte offset 1049085"] * 2 \
        + ["None"]


def growth(call, times):
    """The resident memory `times` calls of `call` leave behind, after a warm-up of a fifth as many."""
    # The warm-up fills caches, pymalloc's arenas and pyarrow's pools.
    for n in (times // 5, times):
        gc.collect()
        before = rss()
        for _ in range(n):
            call()
        gc.collect()
    return rss() - before


LEAKS = """
    import pyarrow as pa
    import velkora
    from arrow_expect import export, select
    from helpers import feed_all, outcome
    from test_memory_pressure import growth

    good = select([("id", "a"), ("n", 1), ("tags", ["x", "y"])], [("id", "b"), ("n", 2), ("tags", [])])
    bad = good[:-3] + bytes([0x16]) + good[-2:]          # an unknown tag inside the last document
    cut = export([("id", "a"), ("n", 1)], [("id", "b"), ("n", 2)])[:-6]
    schema = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("tags", pa.list_(pa.utf8()))])
    noop = lambda doc: None
    cases = {f"{name} {which}": (entry, data) for name, entry in {
        "deserialize": velkora.deserialize, "_deserialize_safe": velkora._deserialize_safe,
        "deserialize_json": velkora.deserialize_json, "_bench_parse_only": velkora._bench_parse_only,
        "deserialize_stream": lambda data: velkora.deserialize_stream(data, noop),
        "deserialize_arrow": lambda data: velkora.deserialize_arrow(data, schema),
        "StreamDecoder": lambda data: feed_all(velkora.StreamDecoder(), data, None, noop),
        "ArrowStreamDecoder": lambda data: feed_all(velkora.ArrowStreamDecoder(schema, 1), data),
    }.items() for which, data in (("good", good), ("bad", bad))}
    cases["dropped StreamDecoder cut"] = (lambda data: velkora.StreamDecoder().feed(data, noop), cut)
    cases["dropped ArrowStreamDecoder cut"] = (lambda data: velkora.ArrowStreamDecoder(schema).feed(data), cut)
    for case, (entry, data) in cases.items():
        print(case, growth(lambda: outcome(entry, data), int(sys.argv[1])), flush=True)
"""
GROWTH_LIMIT = 4 << 20  # one leaked small object per call would be several times this


@pytest.mark.rss
def test_resident_memory_stays_flat():
    output = in_fresh_python(LEAKS, 100000, timeout=600)
    grown = dict(line.rsplit(" ", 1) for line in output.splitlines())
    assert len(grown) == 18 and not {case: n for case, n in grown.items() if int(n) > GROWTH_LIMIT}, output
