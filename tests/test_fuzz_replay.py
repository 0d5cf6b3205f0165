"""The fuzzing oracles under the normal build. Every committed regression input goes
through its target, and the seed bodies (shared corpus, Solr bodies, written bodies) through every oracle; the
full corpus replay runs in CI (`make fuzz-ci`), here every third corpus input is taken."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
import oracles  # noqa: E402
import seeds  # noqa: E402
import targets  # noqa: E402

REGRESSIONS = [(name, path) for name in targets.TARGETS for path in seeds.regressions(name)]
SAMPLE = 3  # every third corpus input: the whole corpus takes about 20 s here


@pytest.mark.parametrize("target, path", REGRESSIONS, ids=[f"{t}/{p.name}" for t, p in REGRESSIONS])
def test_regression_input(target, path):
    targets.TARGETS[target](path.read_bytes())


def test_regression_folders_are_named_after_targets():
    folders = {p.name for p in seeds.REGRESSIONS.iterdir() if p.is_dir()}
    assert folders <= set(targets.TARGETS), folders - set(targets.TARGETS)


def test_written_and_solr_bodies_through_every_oracle():
    for body in seeds.bodies(full=False):
        targets.run_all(body)


@pytest.mark.skipif(not seeds.CORPUS.is_dir(), reason="shared fuzz corpus not present")
def test_corpus_sample_through_every_oracle():
    corpus = sorted(seeds.CORPUS.iterdir())[::SAMPLE]
    assert corpus
    for path in corpus:
        try:
            targets.run_all(path.read_bytes())
        except oracles.Disagreement as disagreement:
            raise AssertionError(f"{path.name}: {disagreement}") from None


@pytest.mark.parametrize("data, plan, body", [
    (b"", None, b""), (b"\x00\x02", None, b"\x02"), (b"\x01\x01\x02\x00", [1], b"\x02\x00"),
    (b"\x02\x00\x00\x02", [1], b"\x02"),                # all sizes 0 would never end: one byte at a time
    (b"\x03\x05\x80\x81\x02", [5, 256, 512], b"\x02"),   # from 128 up, (b - 127) * 256 bytes
    (b"\x08\x02", None, b"\x02"),                       # only the low three bits count
])
def test_chunk_plans(data, plan, body):
    assert targets.read_plan(data) == (plan, body)


@pytest.mark.parametrize("sizes, pieces", [
    (None, [b"abcde"]), ([2], [b"ab", b"cd", b"e"]), ([0, 3], [b"", b"abc", b"", b"de"]), ([9], [b"abcde"]),
])
def test_chunks(sizes, pieces):
    assert list(oracles.chunks(b"abcde", sizes)) == pieces


def test_the_oracles_catch_a_disagreement(monkeypatch):
    import velkora

    body = seeds.written_bodies()[0]
    real = velkora._deserialize_safe
    monkeypatch.setattr(velkora, "_deserialize_safe", lambda data: {**real(data), "extra": None})
    with pytest.raises(oracles.Disagreement, match="_deserialize_safe and deserialize disagree"):
        targets.deserialize(body)
