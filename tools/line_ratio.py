"""Counts the lines of the tests against the lines of the code they test, and prints the ratio.

    python tools/line_ratio.py [--files]

A line counts when it holds something other than blanks and comments: `#` comment lines in Python and shell,
`//` lines and the inside of `/* ... */` blocks in C and C++. Docstrings count, being part of the code.

- tests: tests/**/*.py, and the native tests in tests/ (*.c, *.cpp, *.hpp, *.h, *.sh);
- code: src/**/*.cpp and *.hpp, python/**/*.py and *.pyi.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TESTS = ("tests", ["*.py", "*.c", "*.cpp", "*.h", "*.hpp", "*.sh"])
CODE = [("src", ["*.cpp", "*.hpp"]), ("python", ["*.py", "*.pyi"])]
C_LIKE = {".c", ".cpp", ".h", ".hpp"}


def counted_lines(path: Path) -> int:
    count, in_block = 0, False
    c_like = path.suffix in C_LIKE
    for raw in path.read_text(encoding="utf-8").splitlines():
        line = raw.strip()
        if c_like:
            if in_block:
                end = line.find("*/")
                if end < 0:
                    continue
                in_block, line = False, line[end + 2:].strip()
            if line.startswith("/*"):
                end = line.find("*/", 2)
                if end < 0:
                    in_block = True
                    continue
                line = line[end + 2:].strip()
            if not line or line.startswith("//"):
                continue
        elif not line or line.startswith("#"):
            continue
        count += 1
    return count


def files(folder: str, patterns: list[str]) -> list[Path]:
    found = {p for pattern in patterns for p in (REPO / folder).rglob(pattern)}
    return sorted(p for p in found if "__pycache__" not in p.parts)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", action="store_true", help="list every file with its count")
    args = parser.parse_args(argv)
    totals = {}
    for folder, patterns in [TESTS, *CODE]:
        paths = files(folder, patterns)
        if not paths:
            raise SystemExit(f"line_ratio: no files under {REPO / folder}")
        counts = {p: counted_lines(p) for p in paths}
        totals[folder] = sum(counts.values())
        if args.files:
            for p, n in counts.items():
                print(f"{n:6d}  {p.relative_to(REPO)}")
    code = totals["src"] + totals["python"]
    print(f"tests {totals['tests']} lines; code {code} lines (src {totals['src']}, python {totals['python']}); "
          f"ratio {totals['tests'] / code:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
