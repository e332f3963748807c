"""Timing helper shared by the benchmark scripts."""

import math
import time


def best_of(fn, repeats: int):
    """Best wall time in seconds of `repeats` calls of fn, and the last call's result."""
    best, out = math.inf, None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out
