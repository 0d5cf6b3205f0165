"""The repaired wheel of `make wheel` installs into a fresh venv with no compiler on the path, imports, runs
the demo and the command line, and decodes Solr's bodies as the build under test does."""

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from descriptions import SOLR_DATA

DIST = Path(__file__).resolve().parents[1] / "dist"


@pytest.fixture(scope="module")
def wheel() -> Path:
    found = sorted(DIST.glob("velkora-*-cp311-abi3-manylinux_*.whl"))
    if not found:
        pytest.skip("no repaired wheel in dist/: run `make wheel` (make test does)")
    assert len(found) == 1, found
    return found[0]


def in_venv(venv: Path, *args, stdin: bytes | None = None, status: int = 0) -> subprocess.CompletedProcess:
    """`args`, exiting with `status`, run with a PATH holding the venv alone: no compiler, no system tools."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV", "CC", "CXX"))}
    done = subprocess.run(args, input=stdin, capture_output=True, env={**env, "PATH": str(venv / "bin")},
                          timeout=300, cwd=venv)
    assert done.returncode == status, done.stderr
    return done


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory) -> Path:
    venv = tmp_path_factory.mktemp("wheel") / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=300)
    # Offline, from the wheel alone: nothing may be built, and nothing else is needed to import.
    in_venv(venv, "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel)
    return venv


def test_wheel_is_abi3_with_stub_and_script(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert {"velkora/_core.abi3.so", "velkora/_core.pyi", "velkora/py.typed", "velkora/cli.py",
            "velkora/schema.py"} <= set(names)
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "velkora = velkora.cli:main" in zipfile.ZipFile(wheel).read(entry_points).decode()


def test_installed_wheel_imports_and_runs_the_demo_and_the_script(venv):
    assert shutil.which("cc", path=venv / "bin") is None and shutil.which("c++", path=venv / "bin") is None
    where = in_venv(venv, "python", "-c", "import velkora; print(velkora.__file__, velkora.DecodeError.__mro__[1])")
    assert where.stdout.startswith(bytes(venv)) and b"ValueError" in where.stdout
    demo = in_venv(venv, "python", "-m", "velkora._demo").stdout
    assert b"callback got SKU-3 USB-C cable" in demo and b"velkora inspect" in demo
    body = in_venv(venv, "python", "-c", "import sys, velkora._demo as d; sys.stdout.buffer.write(d.sample_response())")
    inspect = in_venv(venv, "velkora", "inspect", stdin=body.stdout).stdout
    assert b"shape: /select" in inspect and b"documents: 3 (declared 3)" in inspect
    broken = in_venv(venv, "velkora", "json", stdin=body.stdout[:-4], status=1)
    assert broken.stderr.startswith(b"velkora: error: unexpected end of input at byte")


OUTCOMES = """
import velkora


def outcome(body):
    try:
        return velkora.deserialize(body)
    except ValueError as e:
        return str(e)


def outcomes(paths):
    datas = [open(path, "rb").read() for path in paths]
    return [outcome(body) for data in datas for body in (data, data[:len(data) // 2], data + b"\\x00")]
"""


def test_installed_wheel_decodes_as_the_tested_build(venv):
    """Solr's bodies, whole, cut in half and with a byte too many, through the installed wheel give what the
    build under test gives: the same objects, and the same refusals with the same messages."""
    bodies = sorted(str(p) for p in SOLR_DATA.glob("*.bin") if p.stat().st_size < 1 << 20)  # not select_large
    if not bodies:
        pytest.skip(f"{SOLR_DATA} is absent")
    here: dict = {}
    exec(OUTCOMES, here)
    script = OUTCOMES + "import sys\nsys.stdout.write(repr(outcomes(sys.argv[1:])))\n"
    shown = in_venv(venv, "python", "-c", script, *bodies).stdout.decode()
    assert shown == repr(here["outcomes"](bodies))  # compared by repr: NaN is not equal to itself
