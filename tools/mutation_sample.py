"""Measures what the test suite catches: small faults planted one at a time in a copy of the C++ sources.

    python tools/mutation_sample.py list                      # write tools/mutants.json (seeded, deterministic)
    python tools/mutation_sample.py run before                # the suite of now, frozen on first run
    python tools/mutation_sample.py run after                 # the suite of now, over the same mutants
    python tools/mutation_sample.py report

Each phase works in its own folder (build/mutation/<phase>/ by default, or --root): a copy of src/,
CMakeLists.txt, python/, fuzz/ and tests/ taken when the phase first runs and never refreshed, so the tests a
phase measures do not change under it. This worktree's src/ is only ever read. For every mutant the script
plants the fault in the copy, rebuilds there with CMake (incrementally: one translation unit and the link),
runs the suite with `pytest -x` under a timeout, puts the original file back and records "caught", "escaped",
"timeout" (counted as caught: the fault made a test hang) or "not viable" (it did not compile; the next
candidate of the seeded list takes its place, so every phase measures the same first viable mutants).
Results go to <root>/results.json after each mutant, so an interrupted run resumes where it stopped.
Not run by `make test`: a phase takes hours on a small machine.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
MUTANTS = REPO / "tools" / "mutants.json"
SEED = 20261207
WANTED = 60
CANDIDATES = 160
# Faults go into .cpp files only: a planted fault in a header would rebuild most of the module each time.
SOURCES = "src/**/*.cpp"
# Suites that measure the Python layers or the packaging, not the decoders, and take minutes: left out of
# every phase alike.
LEFT_OUT = {"test_wheel.py", "test_typing.py", "test_dask.py"}
# Run first: the quick suites of the decoders, so a caught fault stops the run early.
FIRST = ["test_wire.py", "test_decode_error.py", "test_deserialize.py", "test_json.py", "test_native.py",
         "test_stream_decoder.py", "test_deserialize_stream.py", "test_arrow.py", "test_arrow_stream.py",
         "test_arrow_children.py", "test_schema_infer.py", "test_module.py", "test_decoder_objects.py"]


# ---------------------------------------------------------------------------
# Sites: where a fault can be planted, found by regular expressions on code with comments and strings blanked.

@dataclass(frozen=True)
class Mutant:
    id: str
    file: str      # relative to the repository
    line: int      # 1-based
    column: int    # 0-based, in the line as written
    old: str
    new: str
    kind: str
    text: str      # the whole original line, checked before planting

    def describe(self) -> str:
        return f"{self.file}:{self.line}: {self.kind}: {self.old.strip()!r} -> {self.new.strip()!r}"


_STRING = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'')
_SWAPS = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ", " == ": " != ", " != ": " == ",
          " && ": " || ", " || ": " && "}
_KINDS = {" < ": "comparison", " <= ": "comparison", " > ": "comparison", " >= ": "comparison",
          " == ": "equality", " != ": "equality", " && ": "logic", " || ": "logic"}
_OPERATOR = re.compile("|".join(re.escape(k) for k in _SWAPS))
_OFF_BY_ONE = re.compile(r"(?<=[\w)\]]) ([+-]) 1\b(?!\.)")
_BOOLEAN = re.compile(r"\breturn (true|false);")
_IF = re.compile(r"\bif \(")
_CALL_PAIR = re.compile(r"\b([a-z_][a-z0-9_]*)\(([a-z_][a-z0-9_.]*), ([a-z_][a-z0-9_.]*)\)")
_NOT_CALLS = {"if", "while", "for", "switch", "return", "sizeof", "static_cast", "reinterpret_cast",
              "min", "max", "memcpy", "memcmp"}


def _code_of(line: str) -> str:
    """The line with string and character literals and any // comment blanked, positions kept."""
    code = _STRING.sub(lambda m: " " * len(m.group()), line)
    cut = code.find("//")
    return code if cut < 0 else code[:cut] + " " * (len(code) - cut)


def _closing_paren(code: str, opening: int) -> int:
    depth = 0
    for i in range(opening, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def sites_in(path: Path, relative: str) -> list[Mutant]:
    found: list[Mutant] = []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith(("#", "//", "*", "/*")) or "static_assert" in line:
            continue
        code = _code_of(line)

        def add(column: int, old: str, new: str, kind: str) -> None:
            found.append(Mutant(f"{relative}:{number}:{column}:{kind}", relative, number, column, old, new, kind,
                                line))

        for m in _OPERATOR.finditer(code):
            add(m.start(), m.group(), _SWAPS[m.group()], _KINDS[m.group()])
        for m in _OFF_BY_ONE.finditer(code):
            add(m.start(), m.group(), "", "off by one")
        for m in _BOOLEAN.finditer(code):
            flipped = "false" if m.group(1) == "true" else "true"
            add(m.start(), m.group(), f"return {flipped};", "boolean")
        for m in _IF.finditer(code):
            end = _closing_paren(code, m.end() - 1)
            if end > 0 and code[end + 1:].strip():  # a one-line check: `if (...) return ...;`
                add(m.end(), line[m.end():end], "false", "dropped check")
        for m in _CALL_PAIR.finditer(code):
            a, b = m.group(2), m.group(3)
            if m.group(1) not in _NOT_CALLS and a != b:
                add(m.start(2), f"{a}, {b}", f"{b}, {a}", "swapped arguments")
    return found


def all_sites(repo: Path) -> list[Mutant]:
    sites = []
    for path in sorted(repo.glob(SOURCES)):
        sites += sites_in(path, path.relative_to(repo).as_posix())
    return sites


def command_list(args: argparse.Namespace) -> int:
    """The candidates in seeded order, the kinds taken in turn so each kind of fault is sampled."""
    by_kind: dict[str, list[Mutant]] = {}
    for mutant in all_sites(REPO):
        by_kind.setdefault(mutant.kind, []).append(mutant)
    rng = random.Random(SEED)
    for mutants in by_kind.values():
        rng.shuffle(mutants)
    kinds = sorted(by_kind)
    chosen: list[Mutant] = []
    while len(chosen) < CANDIDATES and any(by_kind.values()):
        for kind in kinds:
            if by_kind[kind] and len(chosen) < CANDIDATES:
                chosen.append(by_kind[kind].pop())
    MUTANTS.write_text(json.dumps([asdict(m) for m in chosen], indent=1) + "\n", encoding="utf-8")
    print(f"{len(chosen)} candidates written to {MUTANTS.relative_to(REPO)}")
    return 0


def load_mutants() -> list[Mutant]:
    if not MUTANTS.exists():
        raise SystemExit(f"{MUTANTS} is missing: run `python tools/mutation_sample.py list` first")
    return [Mutant(**m) for m in json.loads(MUTANTS.read_text(encoding="utf-8"))]


# ---------------------------------------------------------------------------
# A phase's copy of the tree, its build and its test run.

class Tree:
    def __init__(self, root: Path, python: Path, jobs: int) -> None:
        self.root = root
        self.tree = root / "tree"
        self.build = self.tree / "build" / "mutation"
        self.python = python
        self.jobs = jobs
        self.backup = root / "planted.json"

    def prepare(self, refresh: bool) -> None:
        """Copies the tree on the phase's first run; later runs reuse the copy as it was frozen. `refresh` takes
        this worktree's tests, package and oracles again (the build is kept), for a phase not yet begun."""
        self.root.mkdir(parents=True, exist_ok=True)
        ignore = shutil.ignore_patterns("__pycache__", "*.so", ".pytest_cache", ".hypothesis")
        if refresh and self.tree.exists():
            for name in ("python", "fuzz", "tests"):
                shutil.rmtree(self.tree / name)
                shutil.copytree(REPO / name, self.tree / name, ignore=ignore)
        if not self.tree.exists():
            staging = self.root / "tree.partial"
            shutil.rmtree(staging, ignore_errors=True)
            staging.mkdir()
            for name in ("src", "python", "fuzz", "tests"):
                shutil.copytree(REPO / name, staging / name, ignore=ignore)
            for name in ("CMakeLists.txt", "pyproject.toml"):
                shutil.copy2(REPO / name, staging / name)
            staging.rename(self.tree)
        shared = REPO.parent / "shared"
        link = self.root / "shared"  # the tests find the real Solr bodies two folders above themselves
        if shared.exists() and not link.exists():
            link.symlink_to(shared)
        self.restore_planted()

    def restore_planted(self) -> None:
        """Puts back a file left mutated by a run that was killed outright."""
        if self.backup.exists():
            planted = json.loads(self.backup.read_text(encoding="utf-8"))
            (self.tree / planted["file"]).write_text(planted["original"], encoding="utf-8")
            self.backup.unlink()

    def configure(self) -> None:
        if (self.build / "build.ninja").exists():
            return
        run_checked(["cmake", "-S", str(self.tree), "-B", str(self.build), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={self.python}"], "configuring")

    def compile(self) -> subprocess.CompletedProcess:
        done = subprocess.run(["cmake", "--build", str(self.build), "-j", str(self.jobs)], capture_output=True,
                              text=True)
        if done.returncode == 0:
            modules = list(self.build.glob("_core*.so"))
            if len(modules) != 1:
                raise RuntimeError(f"expected one _core module in {self.build}, found {modules}")
            shutil.copy2(modules[0], self.tree / "python" / "velkora" / modules[0].name)
        return done

    def test_files(self) -> list[str]:
        present = sorted(p.name for p in (self.tree / "tests").glob("test_*.py") if p.name not in LEFT_OUT)
        return [f"tests/{n}" for n in FIRST if n in present] + [f"tests/{n}" for n in present if n not in FIRST]

    def run_tests(self, timeout: float) -> tuple[str, str, float]:
        """("passed" | "failed" | "timeout", the last lines of the output, seconds)."""
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(self.tree / "python"), str(self.tree / "tests")]),
                   PYTHONDONTWRITEBYTECODE="1")
        env.pop("CI", None)
        start = time.monotonic()
        process = subprocess.Popen([str(self.python), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                                    *self.test_files()], cwd=self.tree, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, start_new_session=True)
        try:
            output, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            output, _ = process.communicate()
            return "timeout", tail(output), time.monotonic() - start
        except BaseException:  # interrupted: the suite and everything it started go with the run
            os.killpg(process.pid, signal.SIGKILL)
            raise
        status = "passed" if process.returncode == 0 else "failed"
        return status, tail(output), time.monotonic() - start


def tail(output: str, lines: int = 6) -> str:
    return "\n".join(output.strip().splitlines()[-lines:])


def run_checked(command: list[str], what: str) -> None:
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{what} failed ({' '.join(command)}):\n{done.stdout}\n{done.stderr}")


def plant(tree: Tree, mutant: Mutant) -> str:
    """Writes the fault into the copy and returns the file's original text (also saved for a crash)."""
    path = tree.tree / mutant.file
    original = path.read_text(encoding="utf-8")
    lines = original.split("\n")
    line = lines[mutant.line - 1]
    if line != mutant.text or line[mutant.column:mutant.column + len(mutant.old)] != mutant.old:
        raise RuntimeError(f"{mutant.describe()}: the source no longer holds this line; run `list` again "
                           f"(found {line!r})")
    lines[mutant.line - 1] = line[:mutant.column] + mutant.new + line[mutant.column + len(mutant.old):]
    tree.backup.write_text(json.dumps({"file": mutant.file, "original": original}), encoding="utf-8")
    path.write_text("\n".join(lines), encoding="utf-8")
    return original


def unplant(tree: Tree, mutant: Mutant, original: str) -> None:
    (tree.tree / mutant.file).write_text(original, encoding="utf-8")
    tree.backup.unlink(missing_ok=True)


# ---------------------------------------------------------------------------
# A phase

def load_results(path: Path) -> dict:
    return json.loads(path.read_text(encoding="utf-8")) if path.exists() else {"baseline": None, "mutants": {}}


def save_results(path: Path, results: dict) -> None:
    partial = path.with_suffix(".partial")
    partial.write_text(json.dumps(results, indent=1) + "\n", encoding="utf-8")
    partial.replace(path)


def schedule(mutants: list[Mutant], results: dict, other: dict) -> list[Mutant]:
    """The first WANTED candidates, each one that did not compile replaced by the next candidate; what is
    still to run: first those the other phase caught (what a smaller suite must not lose), then those it has not
    run, then those that escaped it, so the two phases meet on as many mutants as possible; within each, by
    file, so that consecutive builds recompile one translation unit."""
    done = results["mutants"]
    chosen, reserve = [], list(mutants)
    while reserve and len(chosen) < WANTED:
        m = reserve.pop(0)
        if done.get(m.id, {}).get("status") != "not viable" and \
                other.get(m.id, {}).get("status") != "not viable":
            chosen.append(m)
    rank = {"caught": 0, "timeout": 0, "escaped": 3}  # a mutant the other phase has not run yet: 2
    return sorted((m for m in chosen if m.id not in done),
                  key=lambda m: (rank.get(other.get(m.id, {}).get("status"), 2), m.file, m.line, m.column))


def command_run(args: argparse.Namespace) -> int:
    root = Path(args.root or REPO / "build" / "mutation" / args.phase).resolve()
    tree = Tree(root, Path(args.python).absolute(), args.jobs)
    mutants = load_mutants()
    results_path = root / "results.json"
    results = load_results(results_path)
    if args.refresh and (results["baseline"] is not None or results["mutants"]):
        raise SystemExit(f"--refresh: the phase in {root} has begun; its tests stay as they were")
    tree.prepare(args.refresh)
    tree.configure()

    def interrupted(signum, frame):
        raise KeyboardInterrupt(f"signal {signum}")

    signal.signal(signal.SIGTERM, interrupted)
    if results["baseline"] is None:
        built = tree.compile()
        if built.returncode != 0:
            raise RuntimeError(f"the unmutated copy does not build:\n{tail(built.stdout + built.stderr, 30)}")
        status, output, seconds = tree.run_tests(args.timeout * 4)
        if status != "passed":
            raise RuntimeError(f"the unmutated suite does not pass in {tree.tree}:\n{output}")
        results["baseline"] = {"seconds": round(seconds), "tests": tree.test_files()}
        save_results(results_path, results)
        log(f"baseline passed in {seconds:.0f}s")
    timeout = max(args.timeout, 3 * results["baseline"]["seconds"])
    other_phase = "after" if args.phase == "before" else "before"
    while True:
        # A phase's folder sits beside the other's (as `report --root` expects), so it can be read for the order.
        other = load_results(root.parent / other_phase / "results.json")["mutants"]
        todo = schedule(mutants, results, other)
        if not todo:
            break
        mutant = todo[0]
        original = plant(tree, mutant)
        try:
            built = tree.compile()
            if built.returncode != 0:
                record = {"status": "not viable"}
            else:
                status, output, seconds = tree.run_tests(timeout)
                record = {"status": {"failed": "caught", "passed": "escaped", "timeout": "timeout"}[status],
                          "seconds": round(seconds), "output": output}
        finally:
            unplant(tree, mutant, original)
        record["mutant"] = mutant.describe()
        results["mutants"][mutant.id] = record
        save_results(results_path, results)
        log(f"{record['status']:>10}  {mutant.describe()}")
    built = tree.compile()  # leaves the copy's build matching its unmutated sources
    if built.returncode != 0:
        raise RuntimeError(f"the restored copy does not build:\n{tail(built.stdout + built.stderr, 30)}")
    log("phase complete")
    return 0


def log(text: str) -> None:
    print(f"{time.strftime('%H:%M:%S')} {text}", flush=True)


# ---------------------------------------------------------------------------
# Report

def tally(results: dict) -> dict[str, int]:
    counts: dict[str, int] = {}
    for record in results["mutants"].values():
        counts[record["status"]] = counts.get(record["status"], 0) + 1
    return counts


def command_report(args: argparse.Namespace) -> int:
    base = Path(args.root or REPO / "build" / "mutation")
    phases = {phase: load_results(base / phase / "results.json") for phase in ("before", "after")}
    for phase, results in phases.items():
        counts = tally(results)
        viable = sum(n for s, n in counts.items() if s != "not viable")
        caught = counts.get("caught", 0) + counts.get("timeout", 0)
        print(f"{phase}: {viable} viable mutants run, {caught} caught ({counts.get('timeout', 0)} by timeout), "
              f"{counts.get('escaped', 0)} escaped, {counts.get('not viable', 0)} not viable")
    before, after = phases["before"]["mutants"], phases["after"]["mutants"]
    both = [i for i in before if i in after and before[i]["status"] != "not viable"]
    lost = [i for i in both if before[i]["status"] in ("caught", "timeout") and after[i]["status"] == "escaped"]
    gained = [i for i in both if before[i]["status"] == "escaped" and after[i]["status"] in ("caught", "timeout")]
    print(f"run in both phases: {len(both)}; caught before and escaped after: {len(lost)}; "
          f"escaped before and caught after: {len(gained)}")
    for i in lost:
        print(f"  lost: {before[i]['mutant']}")
    for i in gained:
        print(f"  gained: {before[i]['mutant']}")
    if args.escaped:
        for phase, results in phases.items():
            for record in results["mutants"].values():
                if record["status"] == "escaped":
                    print(f"  {phase} escaped: {record['mutant']}")
    return 1 if lost else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(required=True)
    p = sub.add_parser("list", help="write the seeded list of candidate mutants")
    p.set_defaults(run=command_list)
    p = sub.add_parser("run", help="run one phase over the mutants, resuming from its results")
    p.add_argument("phase", choices=["before", "after"])
    p.add_argument("--root", help="the phase's folder (default build/mutation/<phase>)")
    p.add_argument("--python", default=str(REPO / ".venv" / "bin" / "python"),
                   help="the interpreter that builds and runs the tests")
    p.add_argument("--jobs", type=int, default=1, help="parallel compile jobs")
    p.add_argument("--timeout", type=float, default=600, help="seconds one test run may take, at least")
    p.add_argument("--refresh", action="store_true",
                   help="take the tests, package and oracles again (only before the phase's first result)")
    p.set_defaults(run=command_run)
    p = sub.add_parser("report", help="compare the two phases")
    p.add_argument("--root", help="the folder holding before/ and after/ (default build/mutation)")
    p.add_argument("--escaped", action="store_true", help="list the mutants that escaped")
    p.set_defaults(run=command_report)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
