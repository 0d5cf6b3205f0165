"""Instructions per call counted by callgrind, and the verdict printed beside a target.

A wall clock on a shared machine moves with the load; the instruction count of the same call does not, so the
benchmarks print both. A call's count is the difference between a run that makes it three times and one that
makes it once (or other numbers of times), halved: the interpreter's start, the imports and the input's
preparation cancel out.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def verdict(value: float, target: float, at_most: bool = True) -> str:
    """"met" or "NOT met", for a figure that must stay at or below (or, `at_most=False`, reach) its target."""
    return "met" if (value <= target if at_most else value >= target) else "NOT met"


def available() -> bool:
    return shutil.which("valgrind") is not None


def per_call(setup: str, call: str, times: tuple[int, int] = (1, 3)) -> int | None:
    """Instructions of one `call` (Python source, run after `setup` in a fresh interpreter started in this folder),
    or None when valgrind is absent: the difference between runs making it `times` times, divided by the
    difference of the two. PYTHONHASHSEED and one OpenBLAS thread keep the runs alike."""
    if not available():
        return None
    counts = []
    for repeat in times:
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "callgrind.out"
            script = f"import sys\nsys.path.insert(0, {str(HERE)!r})\n{setup}\nfor _ in range({repeat}):\n    {call}\n"
            env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
            run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                                  "-c", script], capture_output=True, text=True, env=env)
            if run.returncode != 0:
                raise RuntimeError(f"callgrind run failed: {run.stderr[-2000:]}")
            totals = [line for line in out.read_text().splitlines() if line.startswith("totals:")]
            counts.append(int(totals[0].split()[1]))
    return (counts[1] - counts[0]) // (times[1] - times[0])
