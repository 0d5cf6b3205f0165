"""Decoder objects across threads and interpreters: owner checks, drops on another thread, bytes after the
documents, and no second interpreter."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velkora
from helpers import export
from test_memory_pressure import growth
from test_stream_decoder import ARROW as SCHEMA, DOCS, THREAD_OPS, fed_whole, in_thread

DROPPED = "_core::{} is unsendable, but is being dropped on another thread"


def fed_pair(data, callback=lambda doc: None):
    """A StreamDecoder and an ArrowStreamDecoder, each fed `data`."""
    dec, arrow = velkora.StreamDecoder(), velkora.ArrowStreamDecoder(SCHEMA)
    dec.feed(data, callback)
    arrow.feed(data)
    return [dec, arrow]


@pytest.mark.parametrize("finished", [False, True], ids=["made here", "made in a finished thread"])
@pytest.mark.parametrize("op", THREAD_OPS)
def test_use_from_other_thread_panics(op, finished, monkeypatch):
    make, use = THREAD_OPS[op]
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((type(u.exc_value), str(u.exc_value))))
    # A new thread often gets the identifier of one that has exited; it must still be a stranger.
    for _ in range(20 if finished else 1):
        made = [] if finished else [make()]
        assert not finished or in_thread(lambda: made.append(make())) is None
        dec = made.pop()
        label, exc = type(dec).__name__, in_thread(lambda: use(dec))
        assert type(exc) is velkora.PanicException
        assert str(exc) == f"_core::{label} is unsendable, but sent to another thread"
        if not finished:  # still usable on its own thread
            assert fed_whole(dec, export(DOCS)) == (DOCS if label == "StreamDecoder" else [d["id"] for d in DOCS])
        del dec, exc  # one made in a finished thread is dropped here, not there: reported as unraisable
    assert seen == [(RuntimeError, DROPPED.format(label))] * 20 * finished


@pytest.mark.rss
def test_decoders_keep_no_memory_they_are_done_with(monkeypatch):
    seen, out = [], []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
    partial, raised = export([{"id": "big", "blob": "z" * 2_000_000}])[:-10], []
    # The other thread drops the last references: 192 MB in all.
    assert growth(lambda: raised.append(in_thread(fed_pair(partial).clear)), 40) < 60 << 20 and raised == [None] * 48
    assert len(seen) == 96 and set(seen) == {DROPPED.format("StreamDecoder"), DROPPED.format("ArrowStreamDecoder")}
    # Bytes after the documents are not kept.
    dec, arrow = fed_pair(export(DOCS), out.append)
    garbage = b"\x16" * (1 << 20)
    assert growth(lambda: (dec.feed(garbage, out.append), arrow.feed(garbage)), 64) < 16 << 20
    assert out == DOCS and dec.finish() is None and dec.count == len(DOCS)
    assert [b.num_rows for b in arrow.finish()] == [len(DOCS)]


SUBINTERPRETER = """if True:
    import sys, velkora._core
    interpreters = __import__("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    try:
        print(interpreters.run_string(interpreters.create(), "import velkora._core") or "loaded")
    except Exception as e:
        print(e)
"""


@pytest.mark.parametrize("version", ["3.12", "3.13"])
def test_second_interpreters_are_refused(version):
    # A working python{version}: on the PATH, or among pyenv's versions.
    pyenv = sorted(map(str, Path.home().glob(f".pyenv/versions/{version}*/bin/python{version}")))
    works = [p for p in filter(None, [shutil.which(f"python{version}"), *pyenv])
             if subprocess.run([p, "-c", "pass"], capture_output=True).returncode == 0]
    if not works:
        pytest.skip(f"python{version} is not installed")
    run = subprocess.run([works[0], "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=str(Path(velkora.__file__).resolve().parents[1])))
    if run.returncode != 0 and "ModuleNotFoundError" in run.stderr:
        pytest.skip(run.stderr.strip().splitlines()[-1])
    assert run.returncode == 0, run.stderr
    assert "does not support loading in subinterpreters" in run.stdout, run.stdout
