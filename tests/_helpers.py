"""Small helpers shared by the test modules (and the benchmarks, which put this folder on
their path)."""

import subprocess
import sys

import numpy as np

#: Where random_book draws each market column from, unless told otherwise.
BOOK_RANGES = {
    "s": (60, 140),
    "k": (60, 140),
    "r": (0, 0.08),
    "q": (0, 0.05),
    "sigma": (0.1, 0.6),
    "tau": (0.05, 2),
}


def random_book(rng, n, types=(0, 2), **ranges):
    """n random options as a dict of columns: s, k, r, q, sigma and tau drawn uniformly
    in that order from BOOK_RANGES (or the ranges given by name), then option_type as
    int32 from the integers in [types[0], types[1])."""
    book = {name: rng.uniform(*ranges.pop(name, lo_hi), n) for name, lo_hi in BOOK_RANGES.items()}
    assert not ranges, f"no such column: {sorted(ranges)}"
    book["option_type"] = rng.integers(*types, n).astype(np.int32)
    return book


def demo_output(tmp_path, without=None):
    """The standard output of the demo writing its plots to tmp_path, run in a fresh
    interpreter as `python -m orvelta demo`, or through its main() with the module
    `without` made unimportable; the run must succeed."""
    args = ["demo", "--output-dir", str(tmp_path)]
    if without is None:
        cmd = ["-m", "orvelta", *args]
    else:
        code = (
            "import sys\n"
            f"sys.modules[{without!r}] = None  # import {without} now raises ImportError\n"
            "from orvelta.__main__ import main\n"
            f"sys.exit(main({args!r}))\n"
        )
        cmd = ["-c", code]
    proc = subprocess.run([sys.executable, *cmd], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def assert_stops_on_ctrl_c(run_python, n, delay, call):
    """Runs `call` (a line of code over taus, n maturities from 0.5 to 30 years, with
    numpy as np and orvelta imported) in a fresh interpreter sent SIGINT after delay
    seconds: it must raise KeyboardInterrupt, within 5 seconds of its start."""
    code = f"""
        import os, signal, threading, time, numpy as np, orvelta
        taus = np.linspace(0.5, 30.0, {n})
        threading.Timer({delay}, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        t0 = time.time()
        try:
            {call}
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.time() - t0 < 5.0)
    """
    assert run_python(code).split() == ["interrupted", "True"]
