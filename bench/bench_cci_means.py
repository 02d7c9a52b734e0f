"""The CCI mean table at its regression size: cci_get_means(tables) with its
default arguments on 20 samples x 200,000 rows (bench_cci's tables), this
build against another one.

    PYTHONPATH=build/dev/stage python -m bench.bench_cci_means [--against STAGE] [--pairs 15]

Each build runs in an interpreter of its own (PYTHONPATH set to its stage),
which builds the tables once and then times one call each time it is asked;
the two are asked in turn (A B, B A, ...), so that both meet the same machine
load, and the ratio is the median of the per-pair ratios. A stage is a folder
holding an importable pelorkit (build/dev/stage after tools/devbuild).

Without --against only this build is timed, and its time is set against the
figure measured when the regression was fixed (see BEFORE_REGRESSION).
"""

from __future__ import annotations

import argparse
import os
import statistics
from pathlib import Path

from bench.common import TimedInterpreter, paired_medians

ROOT = Path(__file__).resolve().parents[1]
# The build before the regression (ceb18f4): 0.19-0.21 s on the 2-core
# development machine, on a quiet hour, when the regression was reported (the
# regressed build took 0.31-0.36 s). Another machine or a loaded one differs:
# use --against there.
BEFORE_REGRESSION = 0.20

SETUP = """
import pelorkit.analyka as pk
from bench.bench_cci import make_tables
tables = make_tables(20, 200_000)
CASES = {"means": lambda: pk.cci_get_means(tables)}
CASES["means"]()
"""


def interpreter(stage: str | None) -> TimedInterpreter:
    paths = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    if stage is not None:
        paths = [stage]
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(p) for p in paths] + [str(ROOT)])
    )
    return TimedInterpreter(SETUP, env, str(ROOT))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", metavar="STAGE", help="the other build's stage folder")
    parser.add_argument("--pairs", type=int, default=15, help="timed calls per build")
    args = parser.parse_args()
    print("building 20 samples x 200,000 rows in each interpreter ...", flush=True)
    ours = interpreter(None)
    print("\ncci_get_means(tables), 20 samples x 200,000 rows, default arguments")
    try:
        if args.against:
            theirs = interpreter(args.against)
            try:
                mine, other, ratio = paired_medians(ours, theirs, "means", args.pairs)
            finally:
                theirs.close()
            print(f"  this build: {mine * 1e3:8.1f} ms (median of {args.pairs})")
            print(f"  {args.against}: {other * 1e3:8.1f} ms")
            print(f"  this build / other: {ratio:.2f}x (median of the paired ratios)")
        else:
            mine = statistics.median(ours.time("means") for _ in range(args.pairs))
            print(f"  this build: {mine * 1e3:8.1f} ms (median of {args.pairs})")
            print(
                f"  time / ceb18f4's {BEFORE_REGRESSION:.2f} s measured then: "
                f"{mine / BEFORE_REGRESSION:.2f}x (another machine: use --against)"
            )
    finally:
        ours.close()


if __name__ == "__main__":
    main()
