"""Two builds of pelorkit compared on the bench/ scripts: the ratio B / A of
every row of their tables.

    python -m bench.compare_builds STAGE_A STAGE_B [--quick] [--rounds 3] [--scripts NAME ...]

A stage is a folder that holds an importable pelorkit: build/dev/stage after
tools/devbuild, build/<name>/stage after `cmake --install build/<name>
--prefix build/<name>/stage`, or a venv's site-packages. Each script runs in
a fresh interpreter with PYTHONPATH set to one stage, the two builds taking
turns (A B, then B A, ...) for `--rounds` rounds, and each row gets the median
of its per-round ratios. Turns keep the ratio meaningful on a machine whose
load drifts; the rows of the other contenders (pandas, scipy), which run the
same code under both builds, show how far that noise reaches (the scripts time
wall clock: on a busy machine, give more rounds). pelorkit's rows beyond
--limit (default 1.10) are marked.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Each script with its arguments for a full run and for --quick.
SCRIPTS = {
    "bench_composition": ([], ["--quick"]),
    "bench_grouptest": ([], ["--quick"]),
    "bench_tumour": ([], ["--quick"]),
    "bench_cci": ([], ["--quick"]),
    "bench_string_dtypes": ([], ["--quick"]),
    "bench_larger_than_memory": (["--scale", "0.25"], ["--scale", "0.02", "--skip-dask"]),
}

ROW = re.compile(r"^\| (.+?) +\| (.+?) +\| +([\d.]+|nan) +\|")


def parse_tables(text: str) -> dict[tuple[str, str, str], float]:
    """{(table title, case, contender): seconds} of the tables a script printed."""
    rows: dict[tuple[str, str, str], float] = {}
    title = ""
    for line in text.splitlines():
        if line.startswith("## "):
            title = line[3:].strip()
            continue
        match = ROW.match(line)
        if match is None or match.group(1) == "case":
            continue
        case, contender, ms = match.group(1).strip(), match.group(2).strip(), match.group(3)
        seconds = float(ms) / 1e3
        if seconds > 0 and not math.isnan(seconds):
            rows[(title, case, contender)] = seconds
    return rows


def run(script: str, args: list[str], stage: str) -> dict[tuple[str, str, str], float]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [stage, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-m", f"bench.{script}", *args], env=env,
                          capture_output=True, text=True, cwd=HERE.parent)  # fmt: skip
    if done.returncode != 0:
        sys.exit(f"{script} failed with stage {stage}:\n{done.stderr[-3000:]}")
    return parse_tables(done.stdout)


def pelorkit_rows(keys) -> set:
    """Rows that time pelorkit: its contenders, or every row of a table that
    names no pelorkit contender (one that compares pelorkit's own inputs)."""
    titles_with = {title for title, _, contender in keys if "pelorkit" in contender}
    return {k for k in keys if "pelorkit" in k[2] or k[0] not in titles_with}


def compare(script: str, args: list[str], stages: tuple[str, str], rounds: int, limit: float):
    times: dict[tuple, tuple[list[float], list[float]]] = {}
    for r in range(rounds):
        order = (0, 1) if r % 2 == 0 else (1, 0)
        got = [{}, {}]
        for which in order:
            got[which] = run(script, args, stages[which])
        for key in [k for k in got[0] if k in got[1]]:
            a, b = times.setdefault(key, ([], []))
            a.append(got[0][key])
            b.append(got[1][key])
        print(f"  {script}: round {r + 1} of {rounds} done", file=sys.stderr, flush=True)
    ours = pelorkit_rows(times)
    print(f"\n## {script} {' '.join(args)}\n")
    print(f"| {'case':<44} | {'contender':<34} | {'A (ms)':>9} | {'B (ms)':>9} | {'B / A':>6} |")
    print(f"|{'-' * 46}|{'-' * 36}|{'-' * 11}|{'-' * 11}|{'-' * 8}|")
    worst = []
    for key, (a, b) in times.items():
        ratio = statistics.median(y / x for x, y in zip(a, b, strict=True))
        mark = "  <-" if key in ours and ratio > limit else ""
        contender = key[2] if key in ours else f"({key[2]})"
        print(f"| {key[1][:44]:<44} | {contender[:34]:<34} | {statistics.median(a) * 1e3:>9.2f} "
              f"| {statistics.median(b) * 1e3:>9.2f} | {ratio:>6.3f} |{mark}")  # fmt: skip
        worst.append((ratio, key in ours, f"{script}: {key[1]} / {key[2]}"))
    return worst


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("stage_a")
    parser.add_argument("stage_b")
    parser.add_argument("--quick", action="store_true", help="the scripts' small sizes")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--limit", type=float, default=1.10)
    parser.add_argument("--scripts", nargs="+", choices=list(SCRIPTS), default=list(SCRIPTS))
    opts = parser.parse_args()
    stages = (str(Path(opts.stage_a).resolve()), str(Path(opts.stage_b).resolve()))
    print(f"A = {opts.stage_a}\nB = {opts.stage_b}\n"
          "(contenders in parentheses run the same code under both builds: their ratios show "
          "the noise)")  # fmt: skip
    rows = []
    for script in opts.scripts:
        rows += compare(script, SCRIPTS[script][opts.quick], stages, opts.rounds, opts.limit)
    ours = [r for r in rows if r[1]]
    others = [r[0] for r in rows if not r[1]]
    if ours:
        low, high = min(ours), max(ours)
        print(
            f"\npelorkit B / A: {low[0]:.3f} ({low[2]}) to {high[0]:.3f} ({high[2]}); "
            f"{sum(r[0] > opts.limit for r in ours)} of {len(ours)} rows above {opts.limit}"
        )
    if others:
        print(f"other contenders B / A (noise): {min(others):.3f} to {max(others):.3f}")


if __name__ == "__main__":
    main()
