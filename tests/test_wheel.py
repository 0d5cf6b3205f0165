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
from helpers import in_fresh_python, needs_data


def in_venv(venv: Path, *args, stdin: bytes | None = None, status: int = 0) -> subprocess.CompletedProcess:
    """`args`, exiting with `status`, run with a PATH holding the venv alone: no compiler, no system tools."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV", "CC", "CXX"))}
    done = subprocess.run(args, input=stdin, capture_output=True, env={**env, "PATH": str(venv / "bin")},
                          timeout=300, cwd=venv)
    assert done.returncode == status, done.stderr
    return done


@pytest.fixture(scope="module")
def installed(tmp_path_factory) -> tuple[Path, Path]:
    found = sorted((Path(__file__).resolve().parents[1] / "dist").glob("velkora-*-cp311-abi3-manylinux_*.whl"))
    if not found:
        pytest.skip("no repaired wheel in dist/: run `make wheel` (make test does)")
    assert len(found) == 1, found
    venv = tmp_path_factory.mktemp("wheel") / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=300)
    # Offline, from the wheel alone: nothing may be built, and nothing else is needed to import.
    in_venv(venv, "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", found[0])
    return found[0], venv


def test_installed_wheel_is_abi3_with_stub_and_script_and_runs_the_demo_and_the_script(installed):
    wheel, venv = installed
    names = zipfile.ZipFile(wheel).namelist()
    assert {"velkora/_core.abi3.so", "velkora/_core.pyi", "velkora/py.typed", "velkora/cli.py",
            "velkora/schema.py"} <= set(names)
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "velkora = velkora.cli:main" in zipfile.ZipFile(wheel).read(entry_points).decode()
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


# Run by the installed wheel and by the build under test alike.
OUTCOMES = """
import sys, velkora


def outcome(body):
    try:
        return velkora.deserialize(body)
    except ValueError as e:
        return str(e)


datas = [open(path, "rb").read() for path in sys.argv[1:]]
print(repr([outcome(body) for data in datas for body in (data, data[:len(data) // 2], data + b"\\x00")]))
"""


@needs_data
def test_installed_wheel_decodes_as_the_tested_build(installed):
    """Solr's bodies, whole, cut in half and with a byte too many, through the installed wheel give what the
    build under test gives: the same objects, and the same refusals with the same messages."""
    bodies = sorted(str(p) for p in SOLR_DATA.glob("*.bin") if p.stat().st_size < 1 << 20)  # not select_large
    shown = in_venv(installed[1], "python", "-c", OUTCOMES, *bodies).stdout.decode()
    assert shown == in_fresh_python(OUTCOMES, *bodies)  # compared by repr: NaN is not equal to itself
