"""Timing and reporting shared by the benchmarks.

Every benchmark measures pelorkit, the straightforward pandas transcription of
the algorithm (the baseline) and the peers' idioms in one run, checks that the
results agree, and prints a table of medians and ratios.
"""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable


def median_time(fn: Callable[[], object], repeats: int = 5, min_total: float = 0.0) -> float:
    """Median wall time of `fn()` over `repeats` runs (at least one run)."""
    times = []
    start = time.perf_counter()
    while len(times) < max(repeats, 1) or time.perf_counter() - start < min_total:
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def interleaved_medians(fns: list[Callable[[], object]], repeats: int = 7) -> list[float]:
    """Median wall time of each of `fns`, run in turn `repeats` times.

    Contenders timed in alternation meet the same machine load, so their
    ratio holds where separate medians, taken minutes apart on a shared
    machine, would drift.
    """
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(max(repeats, 1)):
        for fn, kept in zip(fns, times, strict=True):
            t0 = time.perf_counter()
            fn()
            kept.append(time.perf_counter() - t0)
    return [statistics.median(kept) for kept in times]


class Table:
    """Rows of (case, contender, seconds); ratios are contender / pelorkit."""

    def __init__(self, title: str):
        self.title = title
        self.rows: list[tuple[str, str, float, float | None, str]] = []

    def add(self, case: str, contender: str, seconds: float, pelorkit_seconds: float | None = None,
            note: str = "") -> None:  # fmt: skip
        ratio = None if pelorkit_seconds in (None, 0) else seconds / pelorkit_seconds
        self.rows.append((case, contender, seconds, ratio, note))

    def print(self) -> None:
        print(f"\n## {self.title}\n")
        print(f"| {'case':<40} | {'contender':<34} | {'time (ms)':>10} | {'x pelorkit':>10} | note")
        print(f"|{'-' * 42}|{'-' * 36}|{'-' * 12}|{'-' * 12}|------")
        for case, contender, seconds, ratio, note in self.rows:
            r = "" if ratio is None else f"{ratio:.1f}x"
            print(f"| {case:<40} | {contender:<34} | {seconds * 1e3:>10.2f} | {r:>10} | {note}")


class TimedInterpreter:
    """A fresh interpreter that runs `setup` (Python code defining CASES, a
    dict of name -> callable) once, then times one call of a case each time
    it is asked. Two of them, asked in turn, compare two builds or two
    settings under the same machine load without reloading the inputs."""

    CHILD = """
import sys, time
exec(sys.argv[1])
print("ready", flush=True)
for line in sys.stdin:
    fn = CASES[line.strip()]
    t0 = time.perf_counter()
    fn()
    print(time.perf_counter() - t0, flush=True)
"""

    def __init__(self, setup: str, env: dict[str, str], cwd: str):
        import subprocess
        import sys

        self.child = subprocess.Popen(
            [sys.executable, "-c", self.CHILD, setup], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True, env=env, cwd=cwd,
        )  # fmt: skip
        if self.child.stdout.readline().strip() != "ready":
            raise SystemExit("a benchmark interpreter did not start (its error is above)")

    def time(self, case: str) -> float:
        self.child.stdin.write(case + "\n")
        self.child.stdin.flush()
        return float(self.child.stdout.readline())

    def close(self) -> None:
        self.child.stdin.close()
        self.child.wait()


def paired_medians(a: TimedInterpreter, b: TimedInterpreter, case: str, pairs: int):
    """Median times of `case` in a and in b, asked in turn (A B, B A, ...), and
    the median of the per-pair ratios a / b."""
    times_a, times_b, ratios = [], [], []
    for i in range(pairs):
        if i % 2:
            t_b, t_a = b.time(case), a.time(case)
        else:
            t_a, t_b = a.time(case), b.time(case)
        times_a.append(t_a)
        times_b.append(t_b)
        ratios.append(t_a / t_b)
    return statistics.median(times_a), statistics.median(times_b), statistics.median(ratios)
