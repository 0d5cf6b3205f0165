"""The native tests of the layers that run without Python, built beside the extension."""

import os
import subprocess
from pathlib import Path

import pytest

from descriptions import SOLR_DATA

BUILD = Path(__file__).resolve().parents[1] / "build"


def native_program(name):
    """The newest build of one native test program in build/<folder>/ (cross builds sit deeper, in build/cross/)."""
    found = sorted(BUILD.glob(f"*/{name}"), key=lambda p: p.stat().st_mtime)
    if not found:
        assert not os.environ.get("CI"), "make test builds the native tests into build/"
        pytest.skip("the native tests are built by `make test` from this checkout")
    return str(found[-1])


def test_arrow_builders():
    result = subprocess.run([native_program("velkora_native_tests")], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr


def test_tree_on_solr_bodies():
    """The tree layer alone, on Solr's own bodies: the node count and JSON text the module gives. The same
    program is what `make test-big-endian` runs under emulation and compares line for line."""
    import velkora
    from velkora import _core

    program = native_program("velkora_tree_tests")
    bodies = sorted(SOLR_DATA.glob("*.bin"))
    if not bodies:
        pytest.skip(f"{SOLR_DATA} is absent")
    result = subprocess.run([program, *map(str, bodies)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr  # the byte-order and 128-bit checks, then the bodies
    lines = result.stdout.splitlines()
    assert [line.split(" ", 1)[0] for line in lines] == [body.name for body in bodies]
    for body, line in zip(bodies, lines):
        data = body.read_bytes()
        if " error=" in line:
            failure = pytest.raises(velkora.DecodeError, velkora.deserialize_json, data)
            assert line == f"{body.name} error={failure.value}"
            continue
        fields = dict(part.split("=") for part in line.split(" ")[1:])
        assert int(fields["nodes"]) == _core._bench_parse_only(data), body.name
        text = subprocess.run([program, "--json", str(body)], capture_output=True, timeout=60, check=True).stdout
        assert text == velkora.deserialize_json(data).encode(), body.name
        assert int(fields["json_bytes"]) == len(text), body.name


def test_only_the_module_entry_is_exported():
    import ctypes

    from velkora import _core

    library = ctypes.CDLL(_core.__file__)
    assert library.PyInit__core
    for private in ("VelkoraArrowArrowArrayInitFromType", "ArrowArrayInitFromType", "ArrowSchemaInit"):
        with pytest.raises(AttributeError):
            getattr(library, private)  # nanoarrow is compiled in under a private prefix, not exported
