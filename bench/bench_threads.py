"""Each kernel on the thread pool with one thread against the default pool.

    PYTHONPATH=build/dev/stage python -m bench.bench_threads [--pairs 9] [--scale 1.0]

Two interpreters build the same inputs, one started with
PELORKIT_NUM_THREADS=1 and one with the variable unset (the pool then has as
many threads as the CPUs this process may use); they time each case in turn
(A B, B A, ...), and the speed-up is the median of the per-pair ratios
time(1 thread) / time(default). On a machine shared with other work the
speed-up reads low: the other threads wait for a core.

Cases (the whole call is timed, so the Python glue around each kernel counts
against the speed-up):
- CSR scan: get_gene_expression on a CSR matrix in memory (the sparse scan);
- CSC scan: the same matrix as CSC;
- backed CSR: the same matrix in a backed .h5ad file (each block counted by
  the scan kernel while the next is read, so two threads are busy already);
- dense: a dense float32 X of 100,000 x 500 in memory;
- population: get_population on categorical columns of 4 million cells
  (factorizing both columns and counting the pairs);
- population, text: the same from numpy string arrays (fixed-width records).
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

from bench.common import TimedInterpreter, paired_medians

ROOT = Path(__file__).resolve().parents[1]

SETUP = """
import numpy as np
import pelorkit.analyka as pk
from tests.support import workloads

scale = {scale}
n_cells = int(400_000 * scale)
csr = workloads.expression_adata(n_cells, 2_000, 60, 24)
csc = csr.copy()
csc.X = csc.X.tocsc()
backed = workloads.expression_backed_adata(n_cells, 2_000, 60, 24)
dense = workloads.expression_adata(int(100_000 * scale), 500, 40, 24)
dense.X = dense.X.toarray()
n_pop = int(4_000_000 * scale)
pids, cts = workloads.population_inputs(n_pop, n_samples=40, n_types=25)
rng = np.random.default_rng(1)
words = np.array([f"cell type {{i}}" for i in range(25)])
pid_text = np.array([f"sample {{i}}" for i in range(40)])[rng.integers(0, 40, n_pop)]
ct_text = words[rng.integers(0, 25, n_pop)]
CASES = {{
    "CSR scan": lambda: pk.get_gene_expression(csr),
    "CSC scan": lambda: pk.get_gene_expression(csc),
    "backed CSR": lambda: pk.get_gene_expression(backed),
    "dense": lambda: pk.get_gene_expression(dense),
    "population": lambda: pk.get_population(pids, cts),
    "population, text": lambda: pk.get_population(pid_text, ct_text),
}}
for fn in CASES.values():
    fn()
"""

CASES = ["CSR scan", "CSC scan", "backed CSR", "dense", "population", "population, text"]


def interpreter(threads: str | None, scale: float) -> TimedInterpreter:
    env = dict(os.environ)
    env.pop("PELORKIT_NUM_THREADS", None)
    if threads is not None:
        env["PELORKIT_NUM_THREADS"] = threads
    paths = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([*paths, str(ROOT)])
    return TimedInterpreter(SETUP.format(scale=scale), env, str(ROOT))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=9)
    parser.add_argument("--scale", type=float, default=1.0, help="input size factor")
    args = parser.parse_args()
    print("building the inputs in two interpreters ...", flush=True)
    one = interpreter("1", args.scale)
    default = interpreter(None, args.scale)
    try:
        print(f"\n{'case':<20} {'1 thread (ms)':>14} {'default (ms)':>13} {'speed-up':>9}")
        for case in CASES:
            t_one, t_default, ratio = paired_medians(one, default, case, args.pairs)
            print(f"{case:<20} {t_one * 1e3:>14.1f} {t_default * 1e3:>13.1f} {ratio:>8.2f}x")
    finally:
        one.close()
        default.close()
    affinity = getattr(os, "sched_getaffinity", None)
    cpus = len(affinity(0)) if affinity else os.cpu_count()
    load = " ".join(f"{x:.1f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "?"
    print(f"\nCPUs this process may use: {cpus}; load average: {load}")


if __name__ == "__main__":
    main()
