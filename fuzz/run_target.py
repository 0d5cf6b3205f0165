"""Runs one target of fuzz/targets.py under atheris (libFuzzer): `run_target.py NAME [libFuzzer
arguments]`. Coverage comes from the instrumented extension only; the Python oracles are not instrumented."""

import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent))
import targets  # noqa: E402


def main() -> None:
    name, args = sys.argv[1], sys.argv[:1] + sys.argv[2:]
    target = targets.TARGETS[name]
    import pyarrow  # noqa: F401  imported before fuzzing starts, so its start-up is not part of the first input

    atheris.Setup(args, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
