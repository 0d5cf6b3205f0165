"""mypy --strict over velkora's Python modules and the examples of the README's HTTP section."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_mypy_strict_passes_on_the_modules_and_the_readme_examples(tmp_path):
    section = (ROOT / "README.md").read_text().split("\n## Straight from Solr over HTTP\n", 1)[1]
    examples = re.findall(r"```python\n(.*?)```", section[:section.index("\n## ")], re.S)
    for name in ["velkora.http.iter_documents", "velkora.http.read_polars", "velkora.http.iter_select",
                 "velkora.pysolr import Solr", "velkora.dask.read_export", "httpx.Client"]:
        assert name in "\n".join(examples)  # an example for each module
    for module in ("mypy", "requests", "httpx", "pysolr", "dask", "distributed", "polars", "ray"):
        pytest.importorskip(module)
    for i, code in enumerate(examples):
        (tmp_path / f"readme_example_{i}.py").write_text(code)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", ROOT / "pyproject.toml",
                             "--cache-dir", ROOT / "build" / "mypy-cache", ROOT / "python" / "velkora", tmp_path],
                            cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
