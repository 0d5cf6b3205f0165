"""mypy --strict over velkora's Python modules and the examples of the README's HTTP section."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SECTION = "## Straight from Solr over HTTP"
MODULES = ["python/velkora/__init__.py", "python/velkora/__main__.py", "python/velkora/_core.pyi",
           "python/velkora/_demo.py", "python/velkora/http.py", "python/velkora/pysolr.py", "python/velkora/dask.py",
           "python/velkora/cloud.py", "python/velkora/_splits.py", "python/velkora/ray.py",
           "python/velkora/schema.py", "python/velkora/cli.py"]


def examples() -> list[str]:
    text = (ROOT / "README.md").read_text()
    section = text[text.index(SECTION):]
    section = section[:section.index("\n## ", len(SECTION))]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_the_section_has_examples_for_each_module():
    code = "\n".join(examples())
    for name in ["velkora.http.iter_documents", "velkora.http.read_polars", "velkora.http.iter_select",
                 "velkora.pysolr import Solr", "velkora.dask.read_export", "httpx.Client"]:
        assert name in code


def test_mypy_strict_passes(tmp_path):
    pytest.importorskip("mypy")
    for module in ("requests", "httpx", "pysolr", "dask", "distributed", "polars", "ray"):
        pytest.importorskip(module)
    files = []
    for i, code in enumerate(examples()):
        path = tmp_path / f"readme_example_{i}.py"
        path.write_text(code)
        files.append(str(path))
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
                             "--cache-dir", str(ROOT / "build" / "mypy-cache"), *MODULES, *files],
                            cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
