"""tests/test_wheel.py: each repaired wheel of `make wheel` (the abi3 one, and the version-specific one for this
interpreter) installs into a fresh venv with no compiler on the path, imports the binary it carries, and runs
the demo and the command line."""

import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

DIST = Path(__file__).resolve().parents[1] / "dist"
TAG = f"cp{sys.version_info[0]}{sys.version_info[1]}"

# (build, wheel file pattern, the extension module's file in the wheel)
BUILDS = {
    "abi3": ("velkora-*-cp311-abi3-manylinux_*.whl", "velkora/_core.abi3.so"),
    "version-specific": (f"velkora-*-{TAG}-{TAG}-manylinux_*.whl", "velkora/_core" + sysconfig.get_config_var("EXT_SUFFIX")),
}


def wheel_of(build: str) -> Path:
    found = sorted(DIST.glob(BUILDS[build][0]))
    if not found:
        pytest.skip(f"no repaired {build} wheel in dist/: run `make wheel` (make test does)")
    assert len(found) == 1, found
    return found[0]


@pytest.fixture(scope="module", params=sorted(BUILDS))
def build(request) -> str:
    return request.param


@pytest.fixture(scope="module")
def fresh_venv(build, tmp_path_factory) -> Path:
    wheel = wheel_of(build)
    venv = tmp_path_factory.mktemp(f"wheel-{build}") / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=300)
    python = venv / "bin" / "python"
    # Offline, from the wheel alone: nothing may be built, and nothing else is needed to import.
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel], check=True,
                   timeout=300, env=bare_env(venv))
    return venv


def bare_env(venv: Path) -> dict:
    """An environment whose PATH holds the venv alone: no compiler, no system tools."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV", "CC", "CXX"))}
    env["PATH"] = str(venv / "bin")
    return env


def undefined_symbols(library: bytes, tmp_path: Path) -> set[str]:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    path = tmp_path / "module.so"
    path.write_bytes(library)
    out = subprocess.run([nm, "-D", "--undefined-only", path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def test_wheel_carries_its_binary_stub_and_script(build, tmp_path):
    wheel = wheel_of(build)
    archive = zipfile.ZipFile(wheel)
    names = archive.namelist()
    module = BUILDS[build][1]
    assert [n for n in names if n.startswith("velkora/_core.") and n.endswith(".so")] == [module]
    assert {"velkora/_core.pyi", "velkora/py.typed", "velkora/cli.py", "velkora/schema.py"} <= set(names)
    entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
    assert "velkora = velkora.cli:main" in archive.read(entry_points).decode()
    # The abi3 binary keeps to the limited API; the version-specific one writes strings of known kind and
    # presizes dicts, which only the full API offers.
    needed = undefined_symbols(archive.read(module), tmp_path)
    full_api = {"PyUnicode_New", "_PyDict_NewPresized"}
    assert "PyDict_SetItem" in needed
    if build == "abi3":
        assert not needed & full_api
    else:
        assert full_api <= needed


def test_installed_wheel_imports_and_runs_the_demo(build, fresh_venv):
    env = bare_env(fresh_venv)
    assert shutil.which("cc", path=env["PATH"]) is None and shutil.which("c++", path=env["PATH"]) is None
    python = fresh_venv / "bin" / "python"
    where = subprocess.run([python, "-c", "import velkora; print(velkora._core.__file__, velkora.DecodeError.__mro__[1])"],
                           capture_output=True, text=True, env=env, timeout=120, cwd=fresh_venv)
    assert where.returncode == 0, where.stderr
    module, base = where.stdout.strip().split(" ", 1)
    assert module.startswith(str(fresh_venv)) and module.endswith(BUILDS[build][1]) and base == "<class 'ValueError'>"
    demo = subprocess.run([python, "-m", "velkora._demo"], capture_output=True, text=True, env=env, timeout=120,
                          cwd=fresh_venv)
    assert demo.returncode == 0, demo.stderr
    assert "callback got SKU-3 USB-C cable" in demo.stdout and "velkora inspect" in demo.stdout


def test_installed_wheel_decodes_as_the_tested_build(build, fresh_venv):
    """Real Solr bodies through the installed wheel give what the build under test gives: strings of every
    width (ASCII, Latin-1, wider), dicts of every size, and the same refusals with the same messages."""
    import velkora
    from descriptions import SOLR_DATA

    bodies = sorted(p for p in SOLR_DATA.glob("*.bin") if p.stat().st_size < 1 << 20)  # select_large is left out
    if not bodies:
        pytest.skip(f"{SOLR_DATA} is absent")
    script = (
        "import sys, velkora\n"
        "out = []\n"
        "for path in sys.argv[1:]:\n"
        "    data = open(path, 'rb').read()\n"
        "    for body in (data, data[:len(data) // 2], data + b'\\x00'):\n"
        "        try:\n"
        "            out.append(velkora.deserialize(body))\n"
        "        except ValueError as e:\n"
        "            out.append(str(e))\n"
        "sys.stdout.write(repr(out))\n"
    )
    # Compared by repr: NaN is not equal to itself.
    run = subprocess.run([fresh_venv / "bin" / "python", "-c", script, *map(str, bodies)], capture_output=True,
                         text=True, env=bare_env(fresh_venv), timeout=300, cwd=fresh_venv)
    assert run.returncode == 0, run.stderr

    expected = []
    for path in bodies:
        data = path.read_bytes()
        for body in (data, data[: len(data) // 2], data + b"\x00"):
            try:
                expected.append(velkora.deserialize(body))
            except ValueError as e:
                expected.append(str(e))
    assert run.stdout == repr(expected)


def test_installed_console_script(build, fresh_venv):
    env = bare_env(fresh_venv)
    body = subprocess.run([fresh_venv / "bin" / "python", "-c",
                           "import sys, velkora._demo as d; sys.stdout.buffer.write(d.sample_response())"],
                          capture_output=True, env=env, timeout=120, check=True).stdout
    inspect = subprocess.run(["velkora", "inspect"], input=body, capture_output=True, env=env, timeout=120)
    assert inspect.returncode == 0, inspect.stderr
    assert b"shape: /select" in inspect.stdout and b"documents: 3 (declared 3)" in inspect.stdout
    broken = subprocess.run(["velkora", "json"], input=body[:-4], capture_output=True, env=env, timeout=120)
    assert broken.returncode == 1 and broken.stderr.startswith(b"velkora: error: unexpected end of input at byte")
