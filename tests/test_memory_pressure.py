"""Every entry point under allocation failure, each of the first allocations failing in turn: success or
MemoryError, never a crash (in a subprocess). Python's allocators fail through _testcapi, the C allocator
through the preloaded shim tests/native/fail_alloc.c."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from descriptions import SOLR_DATA
from helpers import in_fresh_python

SWEEP = textwrap.dedent("""
    import sys, _testcapi, velkora
    bodies = [bytes.fromhex(h) for h in sys.argv[2:]]
    noop = lambda d: None  # made before the failures: a function made under them crashes 3.12 and 3.13 themselves
    entries = {
        "deserialize": velkora.deserialize,
        "deserialize_json": velkora.deserialize_json,
        "_bench_parse_only": velkora._bench_parse_only,
        "deserialize_stream": lambda b: velkora.deserialize_stream(b, noop),
        "StreamDecoder": lambda b: velkora.StreamDecoder().feed(b, noop),
    }
    outcomes = set()
    for body in bodies:
        for name, entry in entries.items():
            for start in range(int(sys.argv[1])):
                _testcapi.set_nomemory(start, 0)
                try:
                    entry(body)
                    outcome = "ok"
                except MemoryError:
                    outcome = "MemoryError"
                except ValueError:  # a failed allocation while building an error message's text
                    outcome = "ValueError"
                finally:
                    _testcapi.remove_mem_hooks()
                outcomes.add(outcome)
    print(sorted(outcomes))
""")

BODIES = ["020a044142434445464748",   # a MAP whose keys are not strings: its entries become pair lists
          "02c2216141216282010e0f"]  # a named list with an array and an empty iterator


def test_allocation_failures_end_in_memory_error():
    pytest.importorskip("_testcapi")
    failures = os.environ.get("VELKORA_ALLOCATION_SWEEP", "40")  # how many first allocations fail, one at a time
    solr = [(SOLR_DATA / f"{name}.bin").read_bytes().hex() for name in ("updateReq_4_5", "select_small")] \
        if SOLR_DATA.is_dir() else []
    run = subprocess.run([sys.executable, "-c", SWEEP, failures, *BODIES, *solr], capture_output=True, text=True,
                         timeout=1800)
    assert run.returncode == 0, run.stderr[-2000:]
    assert set(eval(run.stdout)) <= {"ok", "MemoryError"}, run.stdout


HERE = Path(__file__).resolve().parent
SANITIZED = os.environ.get("VELKORA_SANITIZED") == "1"


@pytest.fixture(scope="session")
def fail_alloc(tmp_path_factory):
    """The shim, compiled for this run."""
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc") or shutil.which("clang")
    if not cc:
        pytest.skip("no C compiler to build the allocation-failure shim")
    out = tmp_path_factory.mktemp("fail_alloc") / "fail_alloc.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(out), str(HERE / "native" / "fail_alloc.c"), "-ldl"],
                   check=True, capture_output=True)
    return out


def test_c_allocation_failures_end_in_memory_error(fail_alloc):
    limit = os.environ.get("VELKORA_ALLOCATION_SWEEP", "40")  # the most allocations failed per call, one at a time
    # The short sweep takes two real bodies, a longer one every body but the 5 MB one.
    names = ("select_small", "child_docs") if int(limit) <= 40 else \
        sorted(p.stem for p in SOLR_DATA.glob("*.bin") if p.stem != "select_large") if SOLR_DATA.is_dir() else ()
    bodies = [str(SOLR_DATA / f"{name}.bin") for name in names if (SOLR_DATA / f"{name}.bin").is_file()]
    env = dict(os.environ)
    # The shim comes first, so the extension's calls reach it and it chains to the next allocator: libc's, or
    # under the sanitizers AddressSanitizer's, which then must not insist on being first.
    env["LD_PRELOAD"] = " ".join([str(fail_alloc), *env.get("LD_PRELOAD", "").split()])
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    run = subprocess.run([sys.executable, str(HERE / "allocation_sweep.py"), str(fail_alloc), limit, *bodies],
                         capture_output=True, text=True, timeout=3600, env=env)
    assert run.returncode == 0, (run.stdout + run.stderr)[-3000:]
    outcomes, injected = run.stdout.rsplit("]", 1)
    # Failures injected: the sweep went deep into every entry point (how deep depends on the toolchain's
    # allocations: about 1,000 with the real bodies under libstdc++, fewer under libc++).
    reached = 600 if bodies else 400
    assert set(eval(outcomes + "]")) <= {"MemoryError", "ArrowMemoryError"} and int(injected) > reached, run.stdout


NESTED = """
    import velkora
    import javabin as jb
    from helpers import cap_address_space
    size = 1 << 20
    # 127 nested arrays, each declaring a million elements, then a million NULL bytes.
    body = bytes([2]) + (bytes([0x9F]) + jb.vint(size - 31)) * 127 + bytes(size)
    cap_address_space(256 << 20)
    for entry in (velkora.deserialize, lambda b: velkora.deserialize_stream(b, print),
                  lambda b: velkora.StreamDecoder().feed(b, print)):
        try:
            entry(body)
        except ValueError as e:
            print(e)
"""


@pytest.mark.rss
def test_nested_forged_counts_reserve_no_more_than_the_input():
    output = in_fresh_python(NESTED, timeout=120)
    # The two whole-body decoders fail at the end of the input; the chunk-fed one waits for more bytes.
    assert output.splitlines() == ["unexpected end of input at byte offset 1049085"] * 2
