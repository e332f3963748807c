"""Helpers shared by the benchmark scripts: timing, and the test tree's modules."""

import importlib
import math
import os
import sys
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")


def best_of(fn, repeats: int, clock=time.perf_counter):
    """Best time in seconds of `repeats` calls of fn, and the last call's result: wall
    time, or the time of the clock given."""
    best, out = math.inf, None
    for _ in range(repeats):
        t0 = clock()
        out = fn()
        best = min(best, clock() - t0)
    return best, out


def from_tests(name: str):
    """A module of the test tree by name (its reference solvers, QuantLib set-ups and
    random books); tests/ is not a package, so it joins the path (and stays on it,
    for the processes this one starts)."""
    if TESTS not in sys.path:
        sys.path.append(TESTS)
    return importlib.import_module(name)
