"""Decoder objects across threads and interpreters: owner checks, drops on another thread, bytes after the
documents, and no second interpreter."""

import gc
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import velkora
from helpers import export, rss
from test_stream_decoder import ARROW as SCHEMA, DOCS, THREAD_OPS, fed_whole, in_thread


def made_in_a_finished_thread(make):
    box = []
    thread = threading.Thread(target=lambda: box.append(make()))
    thread.start()
    thread.join()
    return box[0]


@pytest.mark.parametrize("finished", [False, True], ids=["made here", "made in a finished thread"])
@pytest.mark.parametrize("op", THREAD_OPS)
def test_use_from_other_thread_panics(op, finished, monkeypatch):
    make, use = THREAD_OPS[op]
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((type(u.exc_value), str(u.exc_value))))
    # A new thread often gets the identifier of one that has exited; it must still be a stranger.
    for _ in range(20 if finished else 1):
        dec = made_in_a_finished_thread(make) if finished else make()
        label, exc = type(dec).__name__, in_thread(lambda: use(dec))
        assert type(exc) is velkora.PanicException
        assert str(exc) == f"_core::{label} is unsendable, but sent to another thread"
        if not finished:  # still usable on its own thread
            assert fed_whole(dec, export(DOCS)) == (DOCS if label == "StreamDecoder" else [d["id"] for d in DOCS])
        del dec, exc  # one made in a finished thread is dropped here, not there: reported as unraisable
    message = f"_core::{label} is unsendable, but is being dropped on another thread"
    assert seen == [(RuntimeError, message)] * 20 * finished


@pytest.mark.rss
def test_drop_on_another_thread_frees_the_decoder(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
    partial = export([{"id": "big", "blob": "z" * 2_000_000}])[:-10]

    def holding():
        dec = velkora.StreamDecoder()
        dec.feed(partial, lambda d: None)
        arrow = velkora.ArrowStreamDecoder(SCHEMA)
        arrow.feed(partial)
        return [dec, arrow]

    gc.collect()
    before = rss()
    for _ in range(40):
        box = [holding()]
        assert in_thread(box.clear) is None  # the other thread drops the last references
    assert rss() - before < 60 << 20  # 160 MB were held in all
    assert len(seen) == 80 and set(seen) == {
        "_core::StreamDecoder is unsendable, but is being dropped on another thread",
        "_core::ArrowStreamDecoder is unsendable, but is being dropped on another thread"}


@pytest.mark.rss
def test_bytes_after_the_documents_are_not_kept():
    complete, out = export(DOCS), []
    dec, arrow = velkora.StreamDecoder(), velkora.ArrowStreamDecoder(SCHEMA)
    dec.feed(complete, out.append)
    arrow.feed(complete)
    garbage = b"\x16" * (1 << 20)
    before = rss()
    for _ in range(64):
        dec.feed(garbage, out.append)
        arrow.feed(garbage)
    assert rss() - before < 16 << 20
    assert out == DOCS and dec.finish() is None and dec.count == len(DOCS)
    assert [b.num_rows for b in arrow.finish()] == [len(DOCS)]


def interpreter(version):
    """A working python{version}: on the PATH, or among pyenv's versions."""
    candidates = [shutil.which(f"python{version}")]
    candidates += sorted(str(p) for p in Path.home().glob(f".pyenv/versions/{version}*/bin/python{version}"))
    for candidate in filter(None, candidates):
        if subprocess.run([candidate, "-c", "pass"], capture_output=True).returncode == 0:
            return candidate
    return None


@pytest.mark.parametrize("version", ["3.12", "3.13"])
def test_second_interpreters_are_refused(version):
    python = interpreter(version)
    if python is None:
        pytest.skip(f"python{version} is not installed")
    site = str(Path(velkora.__file__).resolve().parents[1])
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import velkora._core\n"
        "try:\n    import _interpreters as interpreters\nexcept ImportError:\n"
        "    import _xxsubinterpreters as interpreters\n"
        "inner = f'import sys; sys.path.insert(0, {sys.argv[1]!r}); import velkora._core'\n"
        "try:\n    print(interpreters.run_string(interpreters.create(), inner) or 'loaded')\n"
        "except Exception as e:\n    print(e)\n")
    run = subprocess.run([python, "-c", code, site], capture_output=True, text=True, timeout=60)
    if run.returncode != 0 and "ModuleNotFoundError" in run.stderr:
        pytest.skip(run.stderr.strip().splitlines()[-1])
    assert run.returncode == 0, run.stderr
    assert "does not support loading in subinterpreters" in run.stdout, run.stdout
