"""Every committed regression input through its target, and every seed body through all the
oracles (targets.run_all). Exits non-zero on the first disagreement, naming the input. `--sample N` takes every
Nth corpus input."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import oracles  # noqa: E402
import seeds  # noqa: E402
import targets  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sample", type=int, default=1)
    args = parser.parse_args()
    start = time.perf_counter()
    count = 0
    for name, target in targets.TARGETS.items():
        for path in seeds.regressions(name):
            target(path.read_bytes())
            count += 1
    print(f"{count} regression inputs replayed through their targets")
    bodies = seeds.bodies()[::args.sample]
    for i, body in enumerate(bodies):
        try:
            targets.run_all(body)
        except oracles.Disagreement:
            print(f"seed body {i} ({len(body)} bytes, {body[:32].hex()}...) disagrees", file=sys.stderr)
            raise
    print(f"{len(bodies)} seed bodies replayed through every oracle in {time.perf_counter() - start:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
