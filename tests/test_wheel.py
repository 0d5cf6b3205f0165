"""The repaired wheel of `make wheel` installs into a fresh venv with no compiler on the path, imports, runs
the demo and the command line, and decodes Solr's bodies as the build under test does."""

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

DIST = Path(__file__).resolve().parents[1] / "dist"


def wheels() -> list[Path]:
    return sorted(DIST.glob("velkora-*-cp311-abi3-manylinux_*.whl"))


@pytest.fixture(scope="module")
def fresh_venv(tmp_path_factory) -> Path:
    found = wheels()
    if not found:
        pytest.skip("no repaired wheel in dist/: run `make wheel` (make test does)")
    assert len(found) == 1, found
    venv = tmp_path_factory.mktemp("wheel") / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=300)
    python = venv / "bin" / "python"
    # Offline, from the wheel alone: nothing may be built, and nothing else is needed to import.
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", found[0]], check=True,
                   timeout=300, env=bare_env(venv))
    return venv


def bare_env(venv: Path) -> dict:
    """An environment whose PATH holds the venv alone: no compiler, no system tools."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV", "CC", "CXX"))}
    env["PATH"] = str(venv / "bin")
    return env


def test_wheel_is_abi3_with_stub_and_script():
    found = wheels()
    if not found:
        pytest.skip("no repaired wheel in dist/")
    names = zipfile.ZipFile(found[-1]).namelist()
    assert "velkora/_core.abi3.so" in names
    assert {"velkora/_core.pyi", "velkora/py.typed", "velkora/cli.py", "velkora/schema.py"} <= set(names)
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "velkora = velkora.cli:main" in zipfile.ZipFile(found[-1]).read(entry_points).decode()


def test_installed_wheel_imports_and_runs_the_demo_and_the_script(fresh_venv):
    env, python = bare_env(fresh_venv), fresh_venv / "bin" / "python"
    assert shutil.which("cc", path=env["PATH"]) is None and shutil.which("c++", path=env["PATH"]) is None
    where = subprocess.run([python, "-c", "import velkora; print(velkora.__file__, velkora.DecodeError.__mro__[1])"],
                           capture_output=True, text=True, env=env, timeout=120, cwd=fresh_venv)
    assert where.returncode == 0, where.stderr
    assert where.stdout.startswith(str(fresh_venv)) and "ValueError" in where.stdout
    demo = subprocess.run([python, "-m", "velkora._demo"], capture_output=True, text=True, env=env, timeout=120,
                          cwd=fresh_venv)
    assert demo.returncode == 0, demo.stderr
    assert "callback got SKU-3 USB-C cable" in demo.stdout and "velkora inspect" in demo.stdout
    body = subprocess.run([python, "-c", "import sys, velkora._demo as d; sys.stdout.buffer.write(d.sample_response())"],
                          capture_output=True, env=env, timeout=120, check=True).stdout
    inspect = subprocess.run(["velkora", "inspect"], input=body, capture_output=True, env=env, timeout=120)
    assert inspect.returncode == 0, inspect.stderr
    assert b"shape: /select" in inspect.stdout and b"documents: 3 (declared 3)" in inspect.stdout
    broken = subprocess.run(["velkora", "json"], input=body[:-4], capture_output=True, env=env, timeout=120)
    assert broken.returncode == 1 and broken.stderr.startswith(b"velkora: error: unexpected end of input at byte")


OUTCOMES = """
import velkora


def outcomes(paths):
    out = []
    for path in paths:
        data = open(path, "rb").read()
        for body in (data, data[:len(data) // 2], data + b"\\x00"):
            try:
                out.append(velkora.deserialize(body))
            except ValueError as e:
                out.append(str(e))
    return out
"""


def test_installed_wheel_decodes_as_the_tested_build(fresh_venv):
    """Solr's bodies, whole, cut in half and with a byte too many, through the installed wheel give what the
    build under test gives: the same objects, and the same refusals with the same messages."""
    from descriptions import SOLR_DATA

    bodies = sorted(str(p) for p in SOLR_DATA.glob("*.bin") if p.stat().st_size < 1 << 20)  # not select_large
    if not bodies:
        pytest.skip(f"{SOLR_DATA} is absent")
    script = OUTCOMES + "import sys\nsys.stdout.write(repr(outcomes(sys.argv[1:])))\n"
    run = subprocess.run([fresh_venv / "bin" / "python", "-c", script, *bodies], capture_output=True,
                         text=True, env=bare_env(fresh_venv), timeout=300, cwd=fresh_venv)
    assert run.returncode == 0, run.stderr
    here: dict = {}
    exec(OUTCOMES, here)
    assert run.stdout == repr(here["outcomes"](bodies))  # compared by repr: NaN is not equal to itself
