"""European prices to a requested accuracy, Black-Scholes implied volatility
and least-squares calibration of the five characteristic-function models.

Models and parameter layouts are those of the Fourier kernels:

==========  ==================  =============================================
model_id    model               params (defaults)
==========  ==================  =============================================
1           Merton jumps        sigma 0.2, lambda 0.3, mu_J -0.05, delta_J 0.2
2           variance gamma      sigma 0.2, theta -0.08, nu 0.2
3           Heston              v0 0.04, kappa 2, theta 0.04, sigma_v 0.6, rho -0.5
4           Bates               v0, kappa, theta, sigma_v, rho (missing: 0, raised
                                to the Heston floors), lambda 0.3, mu_J -0.05,
                                delta_J 0.2
other       Black-Scholes       sigma 0.2
==========  ==================  =============================================
"""

from __future__ import annotations

import math
from typing import Any, Optional, TypedDict

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engines
from ._arrays import Broadcast, FloatOrArray

__all__ = ["european_price", "implied_vol", "european_implied_vol", "calibrate", "CalibrationResult"]


class CalibrationResult(TypedDict):
    params: NDArray[np.float64]
    rmse: float
    iterations: int
    success: bool


def _params(params: ArrayLike) -> NDArray[np.float64]:
    if type(params) is np.ndarray and params.dtype == np.float64 and params.ndim == 1:
        return params
    p = np.ascontiguousarray(params, dtype=np.float64)
    if p.ndim != 1:
        raise ValueError(f"params must be one-dimensional, got {p.ndim} dimensions")
    return p


def european_price(
    model_id: int,
    params: ArrayLike,
    strikes: ArrayLike,
    tau: ArrayLike,
    s: float,
    r: float,
    q: float,
    option_type: ArrayLike = 1,
    tol: float = 1e-8,
) -> FloatOrArray:
    """European option prices under a characteristic-function model, to a requested accuracy.

    The method and its settings are chosen per maturity: the closed form for
    Black-Scholes, the Poisson series of Black-Scholes prices for Merton, the
    Black-Scholes price integrated over the gamma clock for variance gamma with
    a short clock (tau / nu < 4), and otherwise the COS expansion of the put,
    with a truncation range from Chernoff bounds on the tails of the log return
    and as many terms as the decay of the characteristic function requires
    (Bates with a diffusion too narrow for one expansion: a Poisson mixture over
    the number of jumps of such expansions). Calls follow by put-call parity.
    Options of one maturity share the work; the settings depend on the model
    and maturity only, so an option gets the same bits alone or in any batch.

    Parameters
    ----------
    model_id : int
        1 Merton, 2 variance gamma, 3 Heston, 4 Bates, any other value Black-Scholes.
    params : array_like
        Model parameters in the Fourier kernels' layout; missing entries take
        the model's defaults (module docstring).
    strikes, tau : array_like
        Strikes and times to expiry in years; broadcast against each other.
        ``tau == 0`` gives the intrinsic value.
    s, r, q : float
        Spot, continuously compounded rate and dividend yield (per year).
    option_type : array_like, default 1
        > 0 call, <= 0 put; broadcast with ``strikes`` and ``tau``.
    tol : float, default 1e-8
        Absolute price error allowed for every option (guaranteed for strikes
        from 0.2 to 5 times the forward).

    Returns
    -------
    float or ndarray
        Prices in the broadcast shape (a float for scalar inputs). NaN for NaN
        or out-of-domain market inputs (s <= 0, strike <= 0, tau < 0) and where
        the accuracy cannot be reached within the work limits.

    Raises
    ------
    ValueError
        For parameters that define no model (non-finite entries, negative jump
        intensity, variance gamma with 1 - theta nu - sigma^2 nu / 2 < 1e-8)
        or a tolerance that is not positive.

    Examples
    --------
    A Black-Scholes call, then three Heston calls:

    >>> import orvelta
    >>> round(orvelta.european_price(0, [0.2], 100.0, 1.0, 100.0, 0.05, 0.02), 6)
    9.227006
    >>> heston = [0.04, 2.0, 0.04, 0.6, -0.5]  # v0, kappa, theta, sigma_v, rho
    >>> print(orvelta.european_price(3, heston, [90.0, 100.0, 110.0], 1.0, 100.0, 0.05, 0.02).round(6))
    [15.308641  8.616675  3.960559]
    """
    p = _params(params)
    if (type(strikes) is np.ndarray and type(tau) is np.ndarray and strikes.ndim == 1
            and strikes.shape == tau.shape and isinstance(option_type, (int, np.integer))):
        # Fast path for the common call on flat arrays: no broadcasting needed.
        fast: FloatOrArray = _engines.european_price(
            model_id, p, strikes, tau, float(s), float(r), float(q), 1 if option_type > 0 else 0, float(tol))
        return fast
    b = Broadcast(strikes, tau, option_type)
    k, t, kinds = b.f64(0), b.f64(1), b.option_type(2)
    if kinds.size and np.all(kinds == kinds[0]):
        out = _engines.european_price(model_id, p, k, t, float(s), float(r), float(q), int(kinds[0]), float(tol))
    else:
        calls = _engines.european_price(model_id, p, k, t, float(s), float(r), float(q), 1, float(tol))
        puts = _engines.european_price(model_id, p, k, t, float(s), float(r), float(q), 0, float(tol))
        out = np.where(kinds > 0, calls, puts)
    result: FloatOrArray = b.result(out)
    return result


def implied_vol(
    price: ArrayLike,
    s: ArrayLike,
    k: ArrayLike,
    r: ArrayLike,
    q: ArrayLike,
    tau: ArrayLike,
    option_type: ArrayLike = 1,
) -> FloatOrArray:
    """Black-Scholes implied volatility of European option prices.

    Solves for the volatility whose Black-Scholes price equals ``price`` to the
    last few bits, deep in and out of the money and from very short to very
    long maturities.

    Parameters
    ----------
    price : array_like
        Option prices (present values).
    s, k : array_like
        Spot and strike.
    r, q : array_like
        Continuously compounded rate and dividend yield per year.
    tau : array_like
        Time to expiry in years.
    option_type : array_like, default 1
        > 0 call, <= 0 put.

    Returns
    -------
    float or ndarray
        Volatility per square-root year, broadcast shape. 0 at exactly the
        discounted intrinsic value; NaN where no volatility reproduces the
        price (below intrinsic value, at or above the upper bound) and for
        NaN or out-of-domain inputs.

    Examples
    --------
    >>> import orvelta
    >>> call = orvelta.european_price(0, [0.2], 100.0, 1.0, 100.0, 0.05, 0.02)
    >>> round(orvelta.implied_vol(call, 100.0, 100.0, 0.05, 0.02, 1.0), 10)
    0.2
    """
    b = Broadcast(price, s, k, r, q, tau, option_type)
    out = _engines.implied_vol(b.f64(0), b.f64(1), b.f64(2), b.f64(3), b.f64(4), b.f64(5), b.option_type(6))
    result: FloatOrArray = b.result(out)
    return result


def european_implied_vol(
    model_id: int,
    params: ArrayLike,
    strikes: ArrayLike,
    tau: ArrayLike,
    s: float,
    r: float,
    q: float,
    option_type: ArrayLike = 1,
    tol: float = 1e-10,
) -> FloatOrArray:
    """Black-Scholes implied volatilities of a model's European prices (a smile from any model).

    Parameters
    ----------
    model_id, params, strikes, tau, s, r, q, option_type
        As for :func:`european_price`.
    tol : float, default 1e-10
        Absolute accuracy of the model prices, so a volatility is accurate to
        about tol / vega.

    Returns
    -------
    float or ndarray
        Implied volatilities in the broadcast shape of ``strikes``, ``tau`` and
        ``option_type``; NaN where the price carries no volatility (e.g. a price
        at the bound) or is NaN.
    """
    b = Broadcast(strikes, tau, option_type)
    prices = np.asarray(european_price(model_id, params, b.f64(0), b.f64(1), s, r, q, b.option_type(2), tol))
    n = prices.size
    vols = _engines.implied_vol(
        prices.reshape(-1), np.full(n, float(s)), b.f64(0), np.full(n, float(r)), np.full(n, float(q)),
        b.f64(1), b.option_type(2),
    )
    result: FloatOrArray = b.result(vols)
    return result


# ------------------------------------------------------------------ calibration

# Parameter vectors fitted per model: starting point (the kernels' defaults)
# and box bounds inside each model's domain. For variance gamma the box keeps
# 1 - theta nu - sigma^2 nu / 2 >= 0.1, so E[S_T] exists everywhere in it.
_FIT: dict[int, tuple[tuple[float, ...], tuple[float, ...], tuple[float, ...]]] = {
    0: ((0.2,), (1e-4,), (5.0,)),
    1: ((0.2, 0.3, -0.05, 0.2), (1e-4, 0.0, -2.0, 1e-4), (3.0, 10.0, 2.0, 2.0)),
    2: ((0.2, -0.08, 0.2), (1e-3, -1.0, 1e-4), (1.0, 0.4, 1.0)),
    3: ((0.04, 2.0, 0.04, 0.6, -0.5), (1e-4, 1e-3, 1e-4, 1e-3, -0.999), (2.0, 20.0, 2.0, 5.0, 0.999)),
    4: (
        (0.04, 2.0, 0.04, 0.6, -0.5, 0.3, -0.05, 0.2),
        (1e-4, 1e-3, 1e-4, 1e-3, -0.999, 0.0, -1.0, 1e-3),
        (2.0, 20.0, 2.0, 5.0, 0.999, 5.0, 1.0, 1.0),
    ),
}
_CALIBRATION_TOL = 1e-10
# The Jacobian's rows: the point and its bumps priced on the point's settings
# chosen for this tolerance, so that the pricing error, a smooth function of
# the parameters there, leaves the difference quotients almost untouched.
_JACOBIAN_TOL = 1e-4


def _fit_spec(model_id: int) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    x0, lo, hi = _FIT.get(model_id, _FIT[0])
    return np.array(x0), np.array(lo), np.array(hi)


def calibrate(
    model_id: int,
    strikes: ArrayLike,
    tau: ArrayLike,
    prices: ArrayLike,
    s: float,
    r: float,
    q: float,
    option_type: ArrayLike = 1,
    weights: Optional[ArrayLike] = None,
    x0: Optional[ArrayLike] = None,
) -> CalibrationResult:
    """Least-squares fit of a model's parameters to quoted European prices.

    Minimises sum_i (w_i (model_i - quote_i))^2 with scipy's trust-region
    reflective ``least_squares`` inside box bounds that keep every parameter
    in its model's domain. Model prices are computed to 1e-10; the Jacobian
    comes from forward differences priced in one batched call, the bumped
    parameters on the COS settings (truncation range and terms) the unbumped
    ones get at 1e-4, so that the differences carry no change of settings.

    Parameters
    ----------
    model_id : int
        As in :func:`european_price`; the fitted vector is that model's full
        parameter layout (Black-Scholes: [sigma]; Merton: [sigma, lambda, mu_J,
        delta_J]; variance gamma: [sigma, theta, nu]; Heston: [v0, kappa,
        theta, sigma_v, rho]; Bates: Heston's five and [lambda, mu_J, delta_J]).
    strikes, tau, prices : array_like
        One-dimensional quotes of equal length: strike, time to expiry in
        years, price.
    s, r, q : float
        Spot, rate and dividend yield.
    option_type : array_like, default 1
        > 0 call, <= 0 put; a scalar or one value per quote.
    weights : array_like, optional
        Residual weights, one per quote (default all 1).
    x0 : array_like, optional
        Starting parameters (default: the model's defaults), clipped into the bounds.

    Returns
    -------
    dict
        "params": fitted parameters (ndarray); "rmse": root mean square of the
        price errors at the fit (float); "iterations": number of Jacobian
        evaluations (int); "success": whether the optimiser reported
        convergence (bool).

    Raises
    ------
    ImportError
        When scipy is not installed (extra ``fit``).
    ValueError
        For arrays of different lengths, an empty quote set, or quotes below
        their intrinsic value (or above the price bound).

    Examples
    --------
    Heston parameters recovered from nine prices computed with them:

    >>> import numpy as np
    >>> import orvelta
    >>> strikes, tau = np.linspace(80.0, 120.0, 9), np.full(9, 0.5)
    >>> true = [0.05, 1.5, 0.05, 0.5, -0.6]
    >>> quotes = orvelta.european_price(3, true, strikes, tau, 100.0, 0.03, 0.0)
    >>> fit = orvelta.calibrate(3, strikes, tau, quotes, 100.0, 0.03, 0.0)
    >>> print(fit["params"].round(4), fit["success"], fit["rmse"] < 1e-6)
    [ 0.05  1.5   0.05  0.5  -0.6 ] True True
    """
    try:
        from scipy.optimize import least_squares  # type: ignore[import-untyped, unused-ignore]
    except ImportError as exc:
        raise ImportError("orvelta.calibrate needs scipy: pip install 'orvelta[fit]'") from exc

    k = np.asarray(strikes, dtype=np.float64).reshape(-1)
    t = np.asarray(tau, dtype=np.float64).reshape(-1)
    v = np.asarray(prices, dtype=np.float64).reshape(-1)
    n = k.size
    if t.size != n or v.size != n:
        raise ValueError(f"strikes, tau and prices must have the same length (got {k.size}, {t.size} and {v.size})")
    if n == 0:
        raise ValueError("calibrate needs at least one quote")
    kinds = np.broadcast_to(np.asarray(option_type) > 0, (n,)) if np.ndim(option_type) == 0 else np.asarray(option_type).reshape(-1) > 0
    if kinds.size != n:
        raise ValueError(f"option_type must be a scalar or have one entry per quote (got {kinds.size} for {n} quotes)")
    w = np.ones(n) if weights is None else np.asarray(weights, dtype=np.float64).reshape(-1)
    if w.size != n:
        raise ValueError(f"weights must have one entry per quote (got {w.size} for {n} quotes)")
    _check_quotes(k, t, v, kinds, float(s), float(r), float(q))

    start, lo, hi = _fit_spec(model_id)
    if x0 is not None:
        start = np.asarray(x0, dtype=np.float64).reshape(-1)
        if start.size != lo.size:
            raise ValueError(f"x0 must have {lo.size} entries for model {model_id}, got {start.size}")
    start = np.clip(start, lo, hi)
    groups = [(kind, np.flatnonzero(kinds == kind)) for kind in (True, False) if np.any(kinds == kind)]
    cache: dict[bytes, NDArray[np.float64]] = {}

    def model_prices(rows: NDArray[np.float64], tol: float = _CALIBRATION_TOL,
                     shared: bool = False) -> NDArray[np.float64]:
        out = np.empty((rows.shape[0], n))
        for kind, idx in groups:
            out[:, idx] = _engines._european_price_sets(
                model_id, rows, k[idx], t[idx], float(s), float(r), float(q), 1 if kind else 0, tol, shared)
        return out

    def residuals(x: NDArray[np.float64]) -> NDArray[np.float64]:
        key = x.tobytes()
        if key not in cache:
            cache.clear()
            cache[key] = w * (model_prices(x[None, :])[0] - v)
        return cache[key]

    def jacobian(x: NDArray[np.float64]) -> NDArray[np.float64]:
        step = 1e-6 * np.maximum(np.abs(x), 0.1)
        # Step inwards where the upper bound is near.
        step = np.where(x + step > hi, -step, step)
        rows = np.vstack([x, x[None, :] + np.diag(step)])
        priced = model_prices(rows, _JACOBIAN_TOL, shared=True)
        return (w[None, :] * (priced[1:] - priced[0]) / step[:, None]).T

    fit = least_squares(residuals, start, jac=jacobian, bounds=(lo, hi), method="trf", x_scale="jac",
                        ftol=1e-12, xtol=1e-12, gtol=1e-12, max_nfev=200 * lo.size)
    x_fit = np.asarray(fit.x, dtype=np.float64)
    # The residuals at the fit are usually the optimiser's last evaluation (cached).
    errors = residuals(x_fit) / w if np.all(w != 0.0) else model_prices(x_fit[None, :])[0] - v
    return {
        "params": x_fit,
        "rmse": float(math.sqrt(float(np.mean(errors**2)))),
        "iterations": int(fit.njev if fit.njev is not None else fit.nfev),
        "success": bool(fit.success),
    }


def _check_quotes(k: NDArray[np.float64], t: NDArray[np.float64], v: NDArray[np.float64],
                  calls: NDArray[Any], s: float, r: float, q: float) -> None:
    fs = s * np.exp(-q * t)
    fk = k * np.exp(-r * t)
    intrinsic = np.where(calls, np.maximum(fs - fk, 0.0), np.maximum(fk - fs, 0.0))
    upper = np.where(calls, fs, fk)
    slack = 1e-12 * np.maximum(fs, fk)
    bad = np.flatnonzero(~(v >= intrinsic - slack))
    if bad.size:
        i = int(bad[0])
        raise ValueError(
            f"quote {i} (strike {k[i]:g}, tau {t[i]:g}) is {v[i]:g}, below its intrinsic value {intrinsic[i]:g}")
    bad = np.flatnonzero(~(v < upper))
    if bad.size:
        i = int(bad[0])
        raise ValueError(
            f"quote {i} (strike {k[i]:g}, tau {t[i]:g}) is {v[i]:g}, at or above its upper bound {upper[i]:g}")
