"""European pricing to 1e-8 under Heston against QuantLib's AnalyticHestonEngine,
a 45-quote Heston calibration against QuantLib's HestonModel calibration with
Levenberg-Marquardt, and the time per option of european_greeks against one
price under each model and tolerance.

QuantLib runs at the smallest Gauss-Laguerre integration order whose prices are
within 1e-8 of orvelta's at 1e-12 on every strike of the chain. Our side runs in
a subprocess per thread count (OMP_NUM_THREADS = 1 and 2); QuantLib is single
threaded. Figures are best-of-several wall times; ratios > 1 mean orvelta is faster.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import orvelta  # noqa: E402
from timing import best_of, from_tests  # noqa: E402

S, R, Q = 100.0, 0.03, 0.01
DAYS = 365  # one year, Actual/365 in QuantLib
TAU = DAYS / 365.0
HESTON = (0.04, 2.0, 0.04, 0.6, -0.5)
CHAINS = (1, 21, 201)
ORDERS = (8, 16, 24, 32, 40, 48, 64, 96, 128, 160, 192)
# Calibration quotes: 5 maturities x 9 strikes of a synthetic Heston smile.
TRUE = np.array([0.05, 1.5, 0.06, 0.7, -0.6])
CAL_DAYS = (91, 182, 365, 730, 1095)
CAL_STRIKES = np.linspace(70.0, 130.0, 9)


def chain(n: int) -> np.ndarray:
    return np.array([S]) if n == 1 else np.linspace(60.0, 150.0, n)


def calibration_quotes() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    tau = np.repeat(np.array(CAL_DAYS) / 365.0, CAL_STRIKES.size)
    k = np.tile(CAL_STRIKES, len(CAL_DAYS))
    prices = np.asarray(orvelta.european_price("heston", TRUE, k, tau, S, R, Q, "call"))
    return k, tau, prices


def ours() -> dict[str, float]:
    """Our timings (run in a subprocess with its thread count fixed)."""
    out: dict[str, float] = {}
    params = np.array(HESTON)
    for n in CHAINS:
        k = chain(n)
        t = np.full(n, TAU)
        orvelta.european_price("heston", params, k, t, S, R, Q, "call")
        best, _ = best_of(
            lambda: orvelta.european_price("heston", params, k, t, S, R, Q, "call"), 50
        )
        out[f"chain{n}"] = best / n
    k, tau, prices = calibration_quotes()
    orvelta.calibrate("heston", k, tau, prices, S, R, Q, "call")  # imports scipy, warms up
    best, res = best_of(lambda: orvelta.calibrate("heston", k, tau, prices, S, R, Q, "call"), 5)
    out["calibrate"] = best
    out["cal_rmse"] = res["rmse"]
    out["cal_iterations"] = res["iterations"]
    return out


# Greeks against one price: each model at its defaults (Bates: Heston's and
# default jumps), one option and a 21-strike chain of one maturity.
GREEK_MODELS = (
    ("black_scholes", None),
    ("merton", None),
    ("variance_gamma", None),
    ("heston", None),
    ("bates", None),
)
TOLS = (1e-4, 1e-6, 1e-8, 1e-10)


def greeks_against_price() -> list[tuple[str, float, int, float, float]]:
    """(model, tol, strikes, seconds per option for the price, for the Greeks), one thread."""
    rows = []
    for model, params in GREEK_MODELS:
        for tol in TOLS:
            for n in (1, 21):
                k = chain(n)
                t = np.full(n, TAU)
                price, _ = best_of(
                    lambda: orvelta.european_price(model, params, k, t, S, R, Q, "put", tol=tol), 20
                )
                greeks, _ = best_of(
                    lambda: orvelta.european_greeks(model, params, k, t, S, R, Q, "put", tol=tol),
                    20,
                )
                rows.append((model, tol, n, price / n, greeks / n))
    return rows


def quantlib_setup():
    import QuantLib as ql

    today, rts, qts, _ = from_tests("references").quantlib_curves(ql, R, Q)
    return ql, today, rts, qts


def quantlib_chain(order: int, strikes: np.ndarray):
    import QuantLib as ql

    references = from_tests("references")
    today, engine = references.quantlib_heston(ql, S, R, Q, HESTON, order)
    expiry = ql.EuropeanExercise(today + DAYS)
    return lambda: references.quantlib_options(ql, ql.Option.Call, strikes, expiry, engine)


def quantlib_order(strikes: np.ndarray) -> int:
    """Smallest integration order within 1e-8 of our 1e-12 prices on the chain."""
    ref = np.asarray(
        orvelta.european_price(
            "heston", HESTON, strikes, np.full(strikes.size, TAU), S, R, Q, "call", tol=1e-12
        )
    )
    for order in ORDERS:
        prices = np.array([o.NPV() for o in quantlib_chain(order, strikes)()])
        if np.abs(prices - ref).max() <= 1e-8:
            return order
    return ORDERS[-1]


def quantlib_per_option(n: int) -> tuple[float, int]:
    strikes = chain(n)
    order = quantlib_order(strikes)
    make = quantlib_chain(order, strikes)
    reps = max(3, 200 // n)
    best = float("inf")
    import time

    for _ in range(5):
        batches = [make() for _ in range(reps)]
        t0 = time.perf_counter()
        for opts in batches:
            for o in opts:
                o.NPV()
        best = min(best, (time.perf_counter() - t0) / (reps * n))
    return best, order


def quantlib_calibration(order: int) -> tuple[float, float, int]:
    ql, today, rts, qts = quantlib_setup()
    k, tau, prices = calibration_quotes()
    vols = np.asarray(orvelta.implied_vol(prices, S, k, R, Q, tau, 1))

    def run():
        process = ql.HestonProcess(
            rts, qts, ql.QuoteHandle(ql.SimpleQuote(S)), 0.04, 2.0, 0.04, 0.6, -0.5
        )
        model = ql.HestonModel(process)
        engine = ql.AnalyticHestonEngine(model, order)
        helpers = []
        for kk, tt, vv in zip(k, tau, vols):
            h = ql.HestonModelHelper(
                ql.Period(int(round(tt * 365)), ql.Days),
                ql.NullCalendar(),
                S,
                float(kk),
                ql.QuoteHandle(ql.SimpleQuote(float(vv))),
                rts,
                qts,
                ql.BlackCalibrationHelper.PriceError,
            )
            h.setPricingEngine(engine)
            helpers.append(h)
        lm = ql.LevenbergMarquardt(1e-8, 1e-8, 1e-8)
        model.calibrate(helpers, lm, ql.EndCriteria(500, 300, 1e-10, 1e-10, 1e-10))
        errs = np.array([h.calibrationError() for h in helpers])
        return float(np.sqrt(np.mean(errs**2))), list(model.params())

    best, (rmse, params) = best_of(run, 3)
    return best, rmse, params


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--ours":
        print(json.dumps(ours()))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--greeks":
        print(json.dumps(greeks_against_price()))
        return
    env = dict(os.environ, OMP_NUM_THREADS="1")
    proc = subprocess.run(
        [sys.executable, __file__, "--greeks"], capture_output=True, text=True, env=env, check=True
    )
    print(
        f"European Greeks (price, delta, gamma, theta, rho, vegas) against one price, one thread, tau = {TAU:g}, "
        f"per option:"
    )
    print(f"{'model':>16} {'tol':>7} {'strikes':>8} {'price us':>9} {'Greeks us':>10} {'ratio':>6}")
    for model, tol, n, price, greeks in json.loads(proc.stdout.strip().splitlines()[-1]):
        print(
            f"{model:>16} {tol:>7.0e} {n:>8} {price * 1e6:>9.1f} {greeks * 1e6:>10.1f} {greeks / price:>6.1f}"
        )
    print()
    runs = {}
    for threads in (1, 2):
        # OpenBLAS (scipy's solver steps) on one thread, so that its spinning
        # threads do not compete with the pricing team for the cores.
        env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
        proc = subprocess.run(
            [sys.executable, __file__, "--ours"],
            capture_output=True,
            text=True,
            env=env,
            check=True,
        )
        runs[threads] = json.loads(proc.stdout.strip().splitlines()[-1])
    print(
        f"Heston {HESTON}, s = {S:g}, r = {R}, q = {Q}, tau = {TAU:g}: per-option time at tol 1e-8"
    )
    try:
        import QuantLib  # noqa: F401
    except ImportError:
        print("QuantLib not installed: no comparison")
        return
    print(
        f"{'strikes':>8} {'QL order':>9} {'QuantLib us':>12} {'ours 1T us':>11} {'ratio 1T':>9} "
        f"{'ours 2T us':>11} {'ratio 2T':>9}"
    )
    orders = {}
    for n in CHAINS:
        ql_t, order = quantlib_per_option(n)
        orders[n] = order
        o1, o2 = runs[1][f"chain{n}"], runs[2][f"chain{n}"]
        print(
            f"{n:>8} {order:>9} {ql_t * 1e6:>12.2f} {o1 * 1e6:>11.2f} {ql_t / o1:>9.2f} "
            f"{o2 * 1e6:>11.2f} {ql_t / o2:>9.2f}"
        )
    ql_cal, ql_rmse, ql_params = quantlib_calibration(orders[21])
    print()
    print(
        f"Calibration to {len(CAL_DAYS) * CAL_STRIKES.size} quotes (true {TRUE.tolist()}, start at the Heston defaults)"
    )
    print(
        f"  QuantLib LM (order {orders[21]}): {ql_cal * 1e3:.1f} ms, price rmse {ql_rmse:.1e}, "
        f"params {np.round(ql_params, 5).tolist()}"
    )
    for threads in (1, 2):
        r = runs[threads]
        print(
            f"  orvelta {threads} thread(s):     {r['calibrate'] * 1e3:.1f} ms, price rmse {r['cal_rmse']:.1e}, "
            f"{r['cal_iterations']} Jacobians, {ql_cal / r['calibrate']:.1f} x QuantLib"
        )


if __name__ == "__main__":
    main()
