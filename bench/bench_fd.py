"""Benchmark of the PSOR finite-difference pricers against QuantLib.

For one solve at the defaults of american_pde_psor and of american_pde_psor_batch,
and for a batch of 1,000 options at the batch defaults, it measures the error
against a fine-lattice reference price, then finds the smallest square grid
(time steps = price nodes) at which QuantLib's FdBlackScholesVanillaEngine for
American options is at least as accurate, and times both. Times are the best of
a few repetitions (time.perf_counter).
"""

from __future__ import annotations

import numpy as np
import QuantLib as ql

from orvelta import _kernels as K
from timing import best_of

TODAY = ql.Date(8, 12, 2026)
DAY_COUNT = ql.Actual365Fixed()
QL_GRIDS = (20, 25, 30, 40, 50, 60, 70, 80, 100, 120, 140, 160, 200, 250, 300, 400, 500, 600, 800)
REFERENCE_STEPS = 10000
BATCH_SIZE = 1000
BATCH_SAMPLE = 16
SINGLE_REPEATS = 20
BATCH_REPEATS = 3

# The demo's option, expiry in whole days so that QuantLib's year fraction is the same tau.
DEMO = (100.0, 100.0, 0.05, 0.02, 0.2, 365)


def reference_price(s, k, r, q, sigma, days, option_type) -> float:
    """CRR lattice price averaged over an even and an odd step count, which
    cancels most of the lattice's odd-even oscillation."""
    tau = days / 365.0
    return 0.5 * sum(
        K.american_tree_boundary(s, k, r, q, sigma, tau, option_type, steps=n)["price"]
        for n in (REFERENCE_STEPS, REFERENCE_STEPS + 1)
    )


def ql_option(s, k, r, q, sigma, days, option_type):
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(s)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, q, DAY_COUNT)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, r, DAY_COUNT)),
        ql.BlackVolTermStructureHandle(
            ql.BlackConstantVol(TODAY, ql.NullCalendar(), sigma, DAY_COUNT)
        ),
    )
    payoff = ql.PlainVanillaPayoff(ql.Option.Call if option_type > 0 else ql.Option.Put, k)
    return ql.VanillaOption(payoff, ql.AmericanExercise(TODAY, TODAY + int(days))), process


def ql_prices(options, grid: int) -> np.ndarray:
    """QuantLib FD prices (Douglas scheme, grid x grid) of a list of options,
    building each option and its process as a QuantLib user would."""
    out = np.empty(len(options))
    for i, opt in enumerate(options):
        option, process = ql_option(*opt)
        option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, grid, grid))
        out[i] = option.NPV()
    return out


def matching_grid(options, refs, target: float) -> tuple[int, float]:
    """Smallest QuantLib grid whose largest error on `options` is at most `target`."""
    err = float("nan")
    for grid in QL_GRIDS:
        err = float(np.max(np.abs(ql_prices(options, grid) - refs)))
        if err <= target:
            return grid, err
    return grid, err


def as_batch(options):
    cols = list(zip(*options))
    arrays = [np.array(c, dtype=float) for c in cols[:5]]
    return (*arrays, np.array(cols[5], dtype=float) / 365.0, np.array(cols[6], dtype=np.int32))


def report(
    label: str, psor_err: float, psor_t: float, grid: int, ql_err: float, ql_t: float
) -> None:
    print(f"{label}")
    print(f"  orvelta   max |error| {psor_err:.2e}   time {psor_t * 1e3:9.3f} ms")
    print(
        f"  QuantLib  max |error| {ql_err:.2e}   time {ql_t * 1e3:9.3f} ms   (FD grid {grid} x {grid})"
    )
    print(f"  time ratio orvelta / QuantLib: {psor_t / ql_t:.2f}")


def single_solves() -> None:
    for option_type, name in ((0, "put"), (1, "call")):
        opt = (*DEMO, option_type)
        ref = reference_price(*opt)
        s, k, r, q, sigma, days = DEMO
        tau = days / 365.0

        def single():
            return K.american_pde_psor(s, k, r, q, sigma, tau, option_type)["price"]

        batch_args = as_batch([opt])

        def batch_one():
            return K.american_pde_psor_batch(*batch_args)["prices"][0]

        print(
            f"\nAmerican {name}, s = k = 100, r = 0.05, q = 0.02, sigma = 0.2, tau = 1;"
            f" reference {ref:.6f} (CRR lattice, {REFERENCE_STEPS}/{REFERENCE_STEPS + 1} steps averaged)"
        )
        for label, fn in (
            ("american_pde_psor, defaults (160 x 120)", single),
            ("american_pde_psor_batch of one, defaults (100 x 80)", batch_one),
        ):
            err = abs(fn() - ref)
            grid, ql_err = matching_grid([opt], np.array([ref]), err)
            psor_t = best_of(fn, SINGLE_REPEATS)[0]
            ql_t = best_of(lambda: ql_prices([opt], grid), SINGLE_REPEATS)[0]
            report(f" one solve, {label}", err, psor_t, grid, ql_err, ql_t)


def batch_solve() -> None:
    rng = np.random.default_rng(7)
    n = BATCH_SIZE
    options = list(
        zip(
            rng.uniform(80.0, 120.0, n),
            np.full(n, 100.0),
            rng.uniform(0.0, 0.06, n),
            rng.uniform(0.0, 0.04, n),
            rng.uniform(0.15, 0.4, n),
            rng.integers(30, 731, n),
            rng.integers(0, 2, n),
        )
    )
    options = [
        (float(a), float(b), float(c), float(d), float(e), int(f), int(g))
        for a, b, c, d, e, f, g in options
    ]
    args = as_batch(options)
    prices = K.american_pde_psor_batch(*args)["prices"]

    sample = list(range(0, n, n // BATCH_SAMPLE))[:BATCH_SAMPLE]
    refs = np.array([reference_price(*options[i]) for i in sample])
    err = float(np.max(np.abs(prices[sample] - refs)))
    grid, ql_err = matching_grid([options[i] for i in sample], refs, err)

    psor_t = best_of(lambda: K.american_pde_psor_batch(*args), BATCH_REPEATS)[0]
    ql_t = best_of(lambda: ql_prices(options, grid), BATCH_REPEATS)[0]
    print(
        f"\nBatch of {n} random American options (s 80..120, k 100, r 0..6%, q 0..4%,"
        f" sigma 15..40%, 30..730 days, puts and calls);"
        f" errors on {len(sample)} of them against the lattice reference"
    )
    report(" american_pde_psor_batch, defaults (100 x 80)", err, psor_t, grid, ql_err, ql_t)
    print(f"  per option: orvelta {psor_t / n * 1e6:.1f} us, QuantLib {ql_t / n * 1e6:.1f} us")


def main() -> None:
    ql.Settings.instance().evaluationDate = TODAY
    print(
        "PSOR finite differences (orvelta) vs QuantLib FdBlackScholesVanillaEngine"
        " (Douglas scheme, American exercise)"
    )
    single_solves()
    batch_solve()


if __name__ == "__main__":
    main()
