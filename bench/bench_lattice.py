"""Throughput of american_tree_batch beside its ceiling and QuantLib.

The ceiling is bench/lattice_reference.cpp: the same American CRR induction, 8
options across the lanes of one AVX-512 register, with nothing else (built here
with g++ -O2 -mavx512f -ffp-contract=off and loaded through ctypes). Both price
the same random valid options on 200-step lattices; their prices must be the
same doubles. The batch runs with 1 and 2 threads, each in its own process so
that OMP_NUM_THREADS takes effect; figures are node updates per second per core.
QuantLib's BinomialVanillaEngine (CRR, 200 steps) prices a subset, single-threaded.
"""

from __future__ import annotations

import ctypes
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from timing import best_of

STEPS = 200
N_OPTIONS = 16_000  # a multiple of 8 for the reference kernel
N_QUANTLIB = 1_000
REPEATS = 7
NODE_UPDATES = STEPS * (STEPS + 1) // 2  # backward induction, per option
HERE = pathlib.Path(__file__).resolve().parent


def book(n: int, seed: int = 2024) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    return dict(
        s=rng.uniform(60, 140, n),
        k=rng.uniform(60, 140, n),
        r=rng.uniform(0.0, 0.08, n),
        q=rng.uniform(0.0, 0.05, n),
        sigma=rng.uniform(0.1, 0.6, n),
        tau=rng.uniform(0.1, 2.0, n),
        option_type=rng.integers(0, 2, n).astype(np.int32),
    )


def build_reference(folder: str) -> str | None:
    """Compiles the reference kernel; None when no compiler or no AVX-512 here."""
    cxx = shutil.which("g++")
    flags = open("/proc/cpuinfo").read() if os.path.exists("/proc/cpuinfo") else ""
    if cxx is None or "avx512f" not in flags:
        return None
    lib = os.path.join(folder, "lattice_reference.so")
    subprocess.run(
        [
            cxx,
            "-O2",
            "-mavx512f",
            "-ffp-contract=off",
            "-shared",
            "-fPIC",
            str(HERE / "lattice_reference.cpp"),
            "-o",
            lib,
        ],
        check=True,
    )
    return lib


def reference_call(lib: str, b: dict[str, np.ndarray]):
    f = ctypes.CDLL(lib).reference_batch
    dp = ctypes.POINTER(ctypes.c_double)
    f.argtypes = [
        ctypes.c_int64,
        dp,
        dp,
        dp,
        dp,
        dp,
        dp,
        ctypes.POINTER(ctypes.c_int),
        ctypes.c_int,
        dp,
    ]
    f.restype = None
    n = len(b["s"])
    out = np.empty(n)
    ptrs = [b[key].ctypes.data_as(dp) for key in ("s", "k", "r", "q", "sigma", "tau")]
    types = b["option_type"].ctypes.data_as(ctypes.POINTER(ctypes.c_int))

    def run() -> np.ndarray:
        f(n, *ptrs, types, STEPS, out.ctypes.data_as(dp))
        return out

    return run


def timed(fn) -> tuple[float, float]:
    """Wall time and CPU time of the whole process (all threads) of one call."""
    w0, c0 = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - w0, time.process_time() - c0


def child(lib: str | None) -> None:
    from orvelta import _kernels as K

    b = book(N_OPTIONS)
    ours = lambda: K.american_tree_batch(**b, steps=STEPS)  # noqa: E731
    ours()  # warm the thread team
    result: dict[str, object] = {"isa": K._isa() if hasattr(K, "_isa") else "before"}
    runs_ours, runs_ref = [], []
    ref = reference_call(lib, b) if lib is not None else None
    for _ in range(REPEATS):  # interleaved, so that both see the same load
        runs_ours.append(timed(ours))
        if ref is not None:
            runs_ref.append(timed(ref))
    result.update(wall=min(w for w, _ in runs_ours), cpu=min(c for _, c in runs_ours))
    if ref is not None:
        result.update(
            ref_cpu=min(c for _, c in runs_ref), same_bits=bool(np.array_equal(ours(), ref()))
        )
    print(json.dumps(result))


def quantlib_seconds(b: dict[str, np.ndarray], n: int) -> tuple[float, np.ndarray]:
    import QuantLib as ql

    today = ql.Date(2, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    spot, rate, div, vol = (
        ql.SimpleQuote(0),
        ql.SimpleQuote(0),
        ql.SimpleQuote(0),
        ql.SimpleQuote(0),
    )
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(spot),
        ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(div), dc)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(rate), dc)),
        ql.BlackVolTermStructureHandle(
            ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(vol), dc)
        ),
    )
    engine = ql.BinomialVanillaEngine(process, "crr", STEPS)
    options = []
    for i in range(n):
        days = max(1, int(round(b["tau"][i] * 365)))
        kind = ql.Option.Call if b["option_type"][i] > 0 else ql.Option.Put
        opt = ql.VanillaOption(
            ql.PlainVanillaPayoff(kind, float(b["k"][i])), ql.AmericanExercise(today, today + days)
        )
        opt.setPricingEngine(engine)
        options.append(opt)
    prices = np.empty(n)

    def run():
        for i, opt in enumerate(options):
            spot.setValue(float(b["s"][i]))
            rate.setValue(float(b["r"][i]))
            div.setValue(float(b["q"][i]))
            vol.setValue(float(b["sigma"][i]))
            prices[i] = opt.NPV()

    return best_of(run, 2)[0], prices


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2] if len(sys.argv) > 2 else None)
        return
    per_option = NODE_UPDATES / 1e9
    print(f"american_tree_batch: {N_OPTIONS:,} random American options, {STEPS} CRR steps")
    with tempfile.TemporaryDirectory() as folder:
        lib = build_reference(folder)
        results = {}
        for t in (1, 2):
            env = dict(os.environ, OMP_NUM_THREADS=str(t))
            cmd = [sys.executable, __file__, "--child"] + ([lib] if lib else [])
            out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
            results[t] = json.loads(out.stdout)
    one, two = results[1], results[2]
    work = N_OPTIONS * per_option
    print(
        f"  build in use: {one['isa']}; per-core rates from CPU time (all threads), best of {REPEATS}"
    )
    rate1 = work / one["cpu"]
    rate2 = work / two["cpu"]
    print(f"  {'':34s} {'G node updates/s per core':>26s}")
    print(f"  {'orvelta, 1 thread':34s} {rate1:26.2f}")
    print(f"  {'orvelta, 2 threads':34s} {rate2:26.2f}")
    if "ref_cpu" in one:
        ref = work / one["ref_cpu"]
        print(f"  {'8-lane reference kernel, 1 thread':34s} {ref:26.2f}")
        print(
            f"  orvelta / reference per core: {rate1 / ref:.2f} on 1 thread, {rate2 / ref:.2f} on 2 threads "
            f"(same prices bit for bit: {one['same_bits']})"
        )
    else:
        print("  (no AVX-512 or no g++ here: reference kernel skipped)")
    print(
        f"  wall-clock speed-up on 2 threads: {one['wall'] / two['wall']:.2f}x "
        f"({work / one['wall']:.2f} and {work / two['wall']:.2f} G node updates/s)"
    )

    from orvelta import _kernels as K

    b = book(N_OPTIONS)
    sub = {k: v[:N_QUANTLIB] for k, v in b.items()}
    ql_time, ql_prices = quantlib_seconds(b, N_QUANTLIB)
    ql_rate = N_QUANTLIB / ql_time
    # Same options with QuantLib's day-count rounding of the expiry, for the price check.
    sub_days = dict(sub, tau=np.maximum(1, np.round(sub["tau"] * 365)) / 365.0)
    ours = K.american_tree_batch(**sub_days, steps=STEPS)
    print(
        f"QuantLib BinomialVanillaEngine (CRR, {STEPS} steps), {N_QUANTLIB:,} of the options, 1 thread:"
    )
    print(f"  {ql_time:.3f} s  {ql_rate:,.0f} options/s")
    print(
        f"  orvelta / QuantLib throughput: {N_OPTIONS / one['wall'] / ql_rate:.1f}x on 1 thread, "
        f"{N_OPTIONS / two['wall'] / ql_rate:.1f}x on 2 (wall time)"
    )
    diff = np.abs(ours - ql_prices)
    print(
        f"  price difference (QuantLib's CRR uses a first-order up-probability): "
        f"max {diff.max():.2e}, mean {diff.mean():.2e}"
    )


if __name__ == "__main__":
    main()
