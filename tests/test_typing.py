"""mypy --strict over velkora's Python modules and the examples of the README's HTTP section."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SECTION = "## Straight from Solr over HTTP"


def test_mypy_strict_passes_on_the_modules_and_the_readme_examples(tmp_path):
    text = (ROOT / "README.md").read_text()
    section = text[text.index(SECTION):]
    examples = re.findall(r"```python\n(.*?)```", section[:section.index("\n## ", len(SECTION))], re.S)
    for name in ["velkora.http.iter_documents", "velkora.http.read_polars", "velkora.http.iter_select",
                 "velkora.pysolr import Solr", "velkora.dask.read_export", "httpx.Client"]:
        assert name in "\n".join(examples)  # an example for each module
    for module in ("mypy", "requests", "httpx", "pysolr", "dask", "distributed", "polars", "ray"):
        pytest.importorskip(module)
    files = [tmp_path / f"readme_example_{i}.py" for i in range(len(examples))]
    for path, code in zip(files, examples):
        path.write_text(code)
    modules = sorted((ROOT / "python" / "velkora").glob("*.py")) + [ROOT / "python" / "velkora" / "_core.pyi"]
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", ROOT / "pyproject.toml",
                             "--cache-dir", ROOT / "build" / "mypy-cache", *modules, *files],
                            cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
