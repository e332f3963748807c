"""Monte Carlo kernels against the same work written in plain NumPy.

Path generation (normals per second) and the Longstaff-Schwartz backward pass
(path-dates per second) at 100,000 paths and 50 dates.
"""

from __future__ import annotations

import math

import numpy as np

from orvelta import _kernels as K
from timing import best_of

S0, STRIKE, R, Q, SIGMA, TAU = 100.0, 100.0, 0.05, 0.0, 0.2, 1.0
PATHS, DATES, DEGREE, PUT = 100_000, 50, 3, 0
REPEATS = 5


def numpy_paths(seed: int) -> np.ndarray:
    """Antithetic GBM paths, vectorised: the same layout as gbm_paths_antithetic."""
    pairs, dt = PATHS // 2, TAU / DATES
    drift = ((R - Q) - 0.5 * SIGMA * SIGMA) * dt
    e = np.random.Generator(np.random.MT19937(seed)).standard_normal((pairs, DATES)) * (math.sqrt(dt) * SIGMA)
    log_steps = np.concatenate((drift + e, drift - e))
    out = np.empty((PATHS, DATES + 1))
    out[:, 0] = S0
    np.cumsum(log_steps, axis=1, out=out[:, 1:])
    np.exp(out[:, 1:], out=out[:, 1:])
    out[:, 1:] *= S0
    return out


def numpy_backward(paths: np.ndarray, solver: str) -> float:
    """Longstaff-Schwartz with a per-date fit over the in-the-money paths."""
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
        if solver == "normal":
            beta = np.linalg.solve(X.T @ X + 1e-10 * np.eye(nb), X.T @ cf[itm])
        else:
            beta = np.linalg.lstsq(X, cf[itm], rcond=None)[0]
        ex = itm[h[itm] > X @ beta]
        cf[ex] = h[ex]
    return float((cf * disc).mean())


def row(label: str, seconds: float, units: float, unit: str) -> str:
    return f"  {label:<44s} {seconds * 1e3:9.1f} ms  {units / seconds / 1e6:8.2f} M {unit}/s"


def main() -> None:
    print(f"paths = {PATHS:,}, dates = {DATES}, degree = {DEGREE}, best of {REPEATS}")

    normals = (PATHS // 2) * DATES
    t_k, paths = best_of(lambda: K.gbm_paths_antithetic(S0, R, Q, SIGMA, TAU, DATES, PATHS, 7), REPEATS)
    t_n, _ = best_of(lambda: numpy_paths(7), REPEATS)
    print("\npath generation")
    print(row("gbm_paths_antithetic (MT19937, Box-Muller)", t_k, normals, "normals"))
    print(row("NumPy (MT19937, ziggurat, cumsum + exp)", t_n, normals, "normals"))
    print(f"  ratio NumPy / orvelta: {t_n / t_k:.2f}")

    path_dates = PATHS * DATES
    t_k, fit = best_of(lambda: K.lsm_backward(paths, STRIKE, R, TAU, PUT, DEGREE), REPEATS)
    t_ne, p_ne = best_of(lambda: numpy_backward(paths, "normal"), REPEATS)
    t_ls, p_ls = best_of(lambda: numpy_backward(paths, "lstsq"), REPEATS)
    print("\nbackward pass (American put, same paths)")
    print(row("lsm_backward", t_k, path_dates, "path-dates"))
    print(row("NumPy normal equations (linalg.solve)", t_ne, path_dates, "path-dates"))
    print(row("NumPy least squares (linalg.lstsq)", t_ls, path_dates, "path-dates"))
    print(f"  ratio NumPy / orvelta: normal equations {t_ne / t_k:.2f}, lstsq {t_ls / t_k:.2f}")
    print(
        f"  prices: orvelta {fit['price']:.10f}, NumPy normal equations {p_ne:.10f}, "
        f"NumPy lstsq {p_ls:.10f}"
    )


if __name__ == "__main__":
    main()
