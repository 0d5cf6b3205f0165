"""Runs each fuzz target under atheris for a while and reports executions, coverage and findings.

`campaign.py --seconds N [--seeds small|full] [--seed S] [TARGET ...]` (all targets when none is named). Per target, the
corpus grows in build/fuzz/corpus/TARGET across runs, and an input that crashes or makes an oracle disagree is
written to build/fuzz/findings/TARGET/ (libFuzzer's crash-*, timeout-*, oom-* files). Exits non-zero when any
target found something. Run it with the instrumented interpreter setup of `make fuzz`.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import seeds  # noqa: E402
import targets  # noqa: E402

BUILD = HERE.parent / "build" / "fuzz"
MAX_LEN = 65536  # larger inputs only slow the search; the Solr seeds are cut to this
STATS = re.compile(r"#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+)")


def run(target: str, seconds: int, full: bool, seed: int | None = None) -> dict:
    corpus, seed_dir = BUILD / "corpus" / target, BUILD / "seeds" / ("full" if full else "small") / target
    findings = BUILD / "findings" / target
    for folder in (corpus, findings):
        folder.mkdir(parents=True, exist_ok=True)
    seeds.write(target, seed_dir, full)  # named by content: writing again only adds what is new
    before = set(findings.iterdir())
    args = [sys.executable, str(HERE / "run_target.py"), target, str(corpus), str(seed_dir),
            f"-max_total_time={seconds}", f"-max_len={MAX_LEN}", "-timeout=60", "-rss_limit_mb=4096",
            f"-artifact_prefix={findings}/", "-print_final_stats=1"]
    if seed is not None:
        args.append(f"-seed={seed}")
    if seeds.DICTIONARY.is_file():
        args.append(f"-dict={seeds.DICTIONARY}")
    log = BUILD / "logs" / f"{target}.log"
    log.parent.mkdir(parents=True, exist_ok=True)
    with open(log, "w") as out:
        code = subprocess.run(args, stdout=out, stderr=subprocess.STDOUT).returncode
    text = log.read_text(errors="replace")
    stats = STATS.findall(text)
    execs = re.search(r"stat::number_of_executed_units: (\d+)", text)
    new = sorted(set(findings.iterdir()) - before)
    return {"target": target, "code": code, "execs": int(execs.group(1)) if execs else int(stats[-1][0]) if stats else 0,
            "cov": int(stats[-1][1]) if stats else 0, "ft": int(stats[-1][2]) if stats else 0, "new": new, "log": log}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--seeds", choices=["small", "full"], default="full")
    parser.add_argument("--seed", type=int, help="libFuzzer's random seed, for a repeatable burst")
    parser.add_argument("targets", nargs="*")
    args = parser.parse_args()
    failed = False
    for name in args.targets or list(targets.TARGETS):
        result = run(name, args.seconds, args.seeds == "full", args.seed)
        bad = result["code"] != 0 or result["new"]
        failed |= bool(bad)
        print(f"{name:20} {result['execs']:>9} execs  cov: {result['cov']:>5}  ft: {result['ft']:>6}  "
              f"{'FINDING' if bad else 'ok'}", flush=True)
        if bad:
            print(f"    log: {result['log']}", flush=True)
            for path in result["new"]:
                print(f"    input: {path}", flush=True)
            tail = result["log"].read_text(errors="replace").splitlines()[-40:]
            print("\n".join("    | " + line for line in tail), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
