"""Monte Carlo kernels against the same algorithms written in vectorised NumPy.

Path generation: MT19937 outputs (NumPy's generator seeded the same way),
Box-Muller with both values used, antithetic step factors and products along
the rows, at 10^4, 10^5 and 10^6 paths. The Longstaff-Schwartz backward pass
and the policy evaluation on the same paths, with the cost per path-date,
whose growth from 10^4 to 10^6 paths shows how well memory is read.
"""

from __future__ import annotations

import math
import time

import numpy as np

from orvelta import _kernels as K
from timing import best_of


def cpu_best_of(fn, repeats: int):
    """Best CPU time of the calling thread over `repeats` calls, and the last result.

    Everything timed here runs on the calling thread, so its CPU time is the
    cost per core; unlike wall time it does not count the time the thread
    waits for a core, which matters on a machine shared with other jobs."""
    return best_of(fn, repeats, clock=time.thread_time)


def paired_best_of(fns, repeats: int):
    """cpu_best_of for several functions called in turn within each repeat, so
    that a busy spell on the machine falls on all of them alike."""
    best, out = [math.inf] * len(fns), [None] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            t, out[i] = cpu_best_of(fn, 1)
            best[i] = min(best[i], t)
    return best, out


S0, STRIKE, R, Q, SIGMA, TAU = 100.0, 100.0, 0.05, 0.0, 0.2, 1.0
DATES, DEGREE, PUT = 50, 3, 0
SIZES = (10_000, 100_000, 1_000_000)


def repeats(n: int) -> int:
    # Short calls are the most exposed to other jobs on a shared machine, so
    # they get more tries at an undisturbed one.
    return 2 if n >= 1_000_000 else (5 if n >= 100_000 else 15)


def numpy_paths(paths: int, steps: int, seed: int) -> np.ndarray:
    """The antithetic paths of gbm_paths_antithetic, vectorised."""
    pairs = paths // 2 if paths > 3 else 1
    count = pairs * steps
    draws = (count + 1) // 2
    gen = np.random.MT19937()
    key, pos = np.random.RandomState(seed).get_state()[1:3]  # the reference (init_genrand) seeding
    gen.state = {"bit_generator": "MT19937", "state": {"key": key, "pos": pos}}
    x = gen.random_raw(4 * draws).astype(np.float64).reshape(draws, 4)
    u1 = np.minimum((x[:, 0] + x[:, 1] * 4294967296.0) / 18446744073709551616.0, 0.9999999999999999)
    u2 = np.minimum((x[:, 2] + x[:, 3] * 4294967296.0) / 18446744073709551616.0, 0.9999999999999999)
    rho = np.sqrt(-2.0 * np.log(0.999999999999 * u1 + 1e-12))
    theta = 6.283185307179586 * (0.999999999999 * u2 + 1e-12)
    z = np.empty((draws, 2))
    np.multiply(rho, np.cos(theta), out=z[:, 0])
    np.multiply(rho, np.sin(theta), out=z[:, 1])
    dt = TAU / steps
    drift = ((R - Q) - (0.5 * SIGMA) * SIGMA) * dt
    e = z.reshape(-1)[:count].reshape(pairs, steps) * (math.sqrt(dt) * SIGMA)
    out = np.empty((2 * pairs, steps + 1))
    out[:, 0] = S0
    np.exp(drift + e, out=out[:pairs, 1:])
    np.exp(drift - e, out=out[pairs:, 1:])
    np.cumprod(out, axis=1, out=out)
    return out


def numpy_backward(paths: np.ndarray) -> float:
    """Longstaff-Schwartz with a per-date normal-equation fit over the in-the-money paths."""
    n, m = paths.shape
    nb, disc = DEGREE + 1, math.exp(-R * TAU / (m - 1))
    cf = np.maximum(STRIKE - paths[:, -1], 0.0)
    for t in range(m - 2, 0, -1):
        cf *= disc
        h = np.maximum(STRIKE - paths[:, t], 0.0)
        itm = np.flatnonzero(h > 0.0)
        if itm.size < nb:
            cf[itm] = h[itm]
            continue
        X = np.vander(np.log(paths[itm, t] / STRIKE), nb, increasing=True)
        beta = np.linalg.solve(X.T @ X + 1e-10 * np.eye(nb), X.T @ cf[itm])
        ex = itm[h[itm] > X @ beta]
        cf[ex] = h[ex]
    return float((cf * disc).mean())


def main() -> None:
    print(
        f"dates = {DATES}, degree = {DEGREE}, American put; CPU time of the calling thread, "
        "ours and NumPy in turn, best of 15 at 10^4 paths, 5 at 10^5, 2 at 10^6"
    )
    print("\npath generation, ns per normal (MT19937, Box-Muller, antithetic)")
    print(f"  {'paths':>10s} {'orvelta':>10s} {'NumPy':>10s} {'NumPy/orvelta':>14s}")
    kept = {}
    for n in SIZES:
        normals = (n // 2) * DATES
        (t_k, t_n), (p, _) = paired_best_of(
            [
                lambda: K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, DATES, n, 7),
                lambda: numpy_paths(n, DATES, 7),
            ],
            repeats(n),
        )
        kept[n] = p
        print(
            f"  {n:>10,d} {t_k / normals * 1e9:10.2f} {t_n / normals * 1e9:10.2f} {t_n / t_k:14.2f}"
        )

    print("\nLongstaff-Schwartz, ns per path-date (same paths)")
    print(
        f"  {'paths':>10s} {'lsm_backward':>13s} {'NumPy':>10s} {'NumPy/orvelta':>14s} {'lsm_eval_policy':>16s}"
    )
    per = {}
    for n in SIZES:
        p = kept[n]
        path_dates = n * DATES
        (t_k, t_n), (fit, price_np) = paired_best_of(
            [lambda: K.lsm_backward(p, STRIKE, R, TAU, PUT, DEGREE), lambda: numpy_backward(p)],
            repeats(n),
        )
        t_e, _ = cpu_best_of(
            lambda: K.lsm_eval_policy(p, STRIKE, R, TAU, PUT, fit["coefficients"]), repeats(n)
        )
        per[n] = (t_k / path_dates, t_e / path_dates)
        print(
            f"  {n:>10,d} {t_k / path_dates * 1e9:13.2f} {t_n / path_dates * 1e9:10.2f} "
            f"{t_n / t_k:14.2f} {t_e / path_dates * 1e9:16.2f}   (prices {fit['price']:.10f} / {price_np:.10f})"
        )
    lo, hi = SIZES[0], SIZES[-1]
    print(
        f"  cost per path-date at {hi:,} paths / at {lo:,}: lsm_backward {per[hi][0] / per[lo][0]:.2f}, "
        f"lsm_eval_policy {per[hi][1] / per[lo][1]:.2f}"
    )


if __name__ == "__main__":
    main()
