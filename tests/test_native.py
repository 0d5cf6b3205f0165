"""The native tests of the layers that run without Python, built beside the extension."""

import os
import subprocess
from pathlib import Path

import pytest

BUILD = Path(__file__).resolve().parents[1] / "build"


def test_arrow_builders():
    found = sorted(BUILD.glob("*/velkora_native_tests"), key=lambda p: p.stat().st_mtime)
    if not found:
        assert not os.environ.get("CI"), "make test builds the native tests into build/"
        pytest.skip("the native tests are built by `make test` from this checkout")
    result = subprocess.run([str(found[-1])], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr


def test_only_the_module_entry_is_exported():
    import ctypes

    from velkora import _core

    library = ctypes.CDLL(_core.__file__)
    assert library.PyInit__core
    for private in ("VelkoraArrowArrowArrayInitFromType", "ArrowArrayInitFromType", "ArrowSchemaInit"):
        with pytest.raises(AttributeError):
            getattr(library, private)  # nanoarrow is compiled in under a private prefix, not exported
