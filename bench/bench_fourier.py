"""Throughput of the Fourier pricers at their defaults, per model, beside
QuantLib's analytic Heston engine for model 3.

Figures are options per second (FFT: strikes of its grid per second), best of a
few repetitions, on one at-the-money maturity with 101 strikes from 50 to 150.
"""

from __future__ import annotations

import time

import numpy as np

from orvelta import _kernels as K
from timing import from_tests

S, R, Q, TAU = 100.0, 0.05, 0.02, 1.0
STRIKES = np.linspace(50.0, 150.0, 101)
SAME_TAU = np.full(STRIKES.shape, TAU)
# Distinct maturities force direct_prices onto one integration per option.
OWN_TAU = np.linspace(0.5, 1.5, STRIKES.size)
MODELS = ((0, "Black-Scholes"), (1, "Merton"), (2, "variance gamma"), (3, "Heston"), (4, "Bates"))
HESTON = (0.04, 2.0, 0.04, 0.6, -0.5)  # model 3's defaults
REPEATS = 5


def best_time(fn, min_seconds: float = 0.1) -> float:
    """Best seconds per call over REPEATS batches, each batch at least min_seconds long."""
    fn()
    loops = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        if time.perf_counter() - t0 >= min_seconds:
            break
        loops *= 2
    best = float("inf")
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        best = min(best, (time.perf_counter() - t0) / loops)
    return best


def orvelta_rates(model: int) -> dict[str, float]:
    n_fft = K.fft_prices(model, [], S, R, Q, TAU)["strikes"].size
    n = STRIKES.size
    return {
        "fft": n_fft / best_time(lambda: K.fft_prices(model, [], S, R, Q, TAU)),
        "direct": n / best_time(lambda: K.direct_prices(model, [], STRIKES, SAME_TAU, S, R, Q)),
        "direct, own tau": n
        / best_time(lambda: K.direct_prices(model, [], STRIKES, OWN_TAU, S, R, Q)),
        "cos": n / best_time(lambda: K.cos_prices(model, [], STRIKES, SAME_TAU, S, R, Q)),
    }


def quantlib_heston_rate() -> tuple[float, float]:
    """Options per second of ql.AnalyticHestonEngine (default integration) on
    the same 101 options, and its largest difference from direct_prices."""
    import QuantLib as ql

    references = from_tests("references")
    today, engine = references.quantlib_heston(ql, S, R, Q, HESTON)
    expiry = ql.EuropeanExercise(today + 365)  # Actual/365: exactly one year

    def make_options():
        return references.quantlib_options(ql, ql.Option.Call, STRIKES, expiry, engine)

    prices = np.array([o.NPV() for o in make_options()])
    diff = float(np.abs(prices - K.direct_prices(3, [], STRIKES, SAME_TAU, S, R, Q)).max())
    # Time only the pricing: fresh, unpriced options for every pass.
    best = float("inf")
    for _ in range(REPEATS):
        batches = [make_options() for _ in range(4)]
        t0 = time.perf_counter()
        for options in batches:
            for o in options:
                o.NPV()
        best = min(best, (time.perf_counter() - t0) / len(batches))
    return STRIKES.size / best, diff


def main() -> None:
    print(
        f"Fourier pricers at their defaults: s = {S:g}, r = {R}, q = {Q}, tau = {TAU:g}, "
        f"{STRIKES.size} strikes 50..150; FFT: {K.fft_prices(0, [], S, R, Q, TAU)['strikes'].size}-point grid"
    )
    print("options per second (FFT: strikes per second), best of", REPEATS)
    print()
    header = f"{'model':<16}{'fft':>14}{'direct':>14}{'direct, own tau':>18}{'cos':>14}"
    print(header)
    print("-" * len(header))
    rates = {}
    for model, name in MODELS:
        rates[model] = orvelta_rates(model)
        r = rates[model]
        print(
            f"{name:<16}{r['fft']:>14,.0f}{r['direct']:>14,.0f}{r['direct, own tau']:>18,.0f}{r['cos']:>14,.0f}"
        )
    print()
    try:
        ql_rate, diff = quantlib_heston_rate()
    except ImportError:
        print("QuantLib not installed: no comparison")
        return
    print(
        f"QuantLib AnalyticHestonEngine (model 3 defaults): {ql_rate:,.0f} options per second "
        f"(largest difference from direct_prices {diff:.1e})"
    )
    for method, rate in rates[3].items():
        print(f"  Heston {method:<16} {rate:>14,.0f} options/s   {rate / ql_rate:8.2f} x QuantLib")


if __name__ == "__main__":
    main()
