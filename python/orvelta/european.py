"""European prices and their sensitivities to a requested accuracy,
Black-Scholes implied volatility and least-squares calibration of the five
characteristic-function models.

Models are chosen by name (``"black_scholes"`` or ``"bs"``, ``"merton"``,
``"variance_gamma"`` or ``"vg"``, ``"heston"``, ``"bates"``) or by their ids
0 to 4, and their parameters given as the model's record
(:class:`orvelta.models.Heston` etc.), a mapping by field name or a sequence
in the record's order; the table of :mod:`orvelta.models` lists the fields,
their defaults and their domains. Every market argument (``k``, ``tau``,
``s``, ``r``, ``q``, ``option_type``) broadcasts as NumPy does.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypedDict, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engines
from ._arrays import Broadcast, FloatOrArray, check_tol, numbers_array, option_type_array
from .models import MODEL_NAMES, model_id, resolve_model

if TYPE_CHECKING:
    from ._engines import _EuropeanBatch

__all__ = [
    "european_price",
    "european_greeks",
    "implied_vol",
    "european_implied_vol",
    "calibrate",
    "CalibrationResult",
    "EuropeanGreeks",
]

_R = TypeVar("_R")


class CalibrationResult(TypedDict):
    params: NDArray[np.float64]
    rmse: float
    iterations: int
    success: bool


class EuropeanGreeks(TypedDict, total=False):
    price: FloatOrArray
    delta: FloatOrArray
    gamma: FloatOrArray
    theta: FloatOrArray
    rho: FloatOrArray
    vega: FloatOrArray
    vega_v0: FloatOrArray
    vega_theta: FloatOrArray


def _priced(
    engine: _EuropeanBatch[_R], model: Any, params: Any, k: ArrayLike, tau: ArrayLike,
    s: ArrayLike, r: ArrayLike, q: ArrayLike, option_type: ArrayLike, tol: float,
) -> tuple[Broadcast, _R]:  # fmt: skip
    """The checked, broadcast market arguments and ``engine``'s flat result
    (params one row, or one row per option)."""
    mid, p = resolve_model(model, params)
    tol = check_tol(tol)
    extra = {} if p.ndim == 1 else {f"params[{i}]": p[i] for i in range(p.shape[0])}
    b = Broadcast(k=k, tau=tau, s=s, r=r, q=q, option_type=option_type, **extra)
    if p.ndim > 1:
        rows = np.stack([b.f64(f"params[{i}]") for i in range(p.shape[0])], axis=1)
        nan = np.isnan(rows).any(axis=1)
        if nan.any():
            # Options whose parameters are NaN are priced on the defaults and given NaN.
            rows[nan] = resolve_model(mid, None)[1]
            b.add_nan(nan)
        p = np.ascontiguousarray(rows)
    out = engine(
        mid,
        p,
        b.f64("k"),
        b.f64("tau"),
        b.compact("s"),
        b.compact("r"),
        b.compact("q"),
        b.compact_option_type(),
        tol,
    )
    return b, out


# Parameter rows already checked, by model and bytes: a chain priced again
# under the same row skips the domain checks. Bounded: emptied when full.
_checked_rows: dict[tuple[Any, bytes], tuple[int, NDArray[np.float64]]] = {}


def _resolved_row(model: Any, params: Any) -> tuple[int, NDArray[np.float64]]:
    """resolve_model, remembered for a one-row float64 array of parameters."""
    if not (
        type(params) is np.ndarray
        and params.dtype == np.float64
        and params.ndim == 1
        and type(model) in (str, int)
    ):
        return resolve_model(model, params)
    key = (model, params.tobytes())
    hit = _checked_rows.get(key)
    if hit is None:
        mid, p = resolve_model(model, params)
        p = p.copy()
        p.flags.writeable = False
        if len(_checked_rows) >= 64:
            _checked_rows.clear()
        hit = _checked_rows[key] = (mid, p)
    return hit


def european_price(
    model: Any, params: Any, k: ArrayLike, tau: ArrayLike, s: ArrayLike, r: ArrayLike,
    q: ArrayLike, option_type: ArrayLike, tol: float = 1e-8,
) -> FloatOrArray:  # fmt: skip
    """European option prices under a characteristic-function model, to a requested accuracy.

    The method and its settings are chosen per maturity (and spot, rate and
    yield): the closed form for Black-Scholes (and Heston with a deterministic
    variance), the Poisson series of Black-Scholes prices for Merton, the
    Black-Scholes price integrated over the gamma clock for variance gamma with
    a short clock (tau / nu < 4), and otherwise the COS expansion of the put,
    with a truncation range from Chernoff bounds on the tails of the log return
    and as many terms as the decay of the characteristic function requires
    (Bates with a diffusion too narrow for one expansion: a Poisson mixture over
    the number of jumps of such expansions). Calls follow by put-call parity.
    Options sharing a maturity, spot, rate and yield share the work; the
    settings depend on those and the model only, so an option gets the same
    bits alone or in any batch.

    Parameters
    ----------
    model : str or int
        ``"black_scholes"`` (``"bs"``, 0), ``"merton"`` (1), ``"variance_gamma"``
        (``"vg"``, 2), ``"heston"`` (3) or ``"bates"`` (4).
    params : record, mapping, sequence or None
        The model's parameters (:mod:`orvelta.models`): its record (e.g.
        ``Heston(v0=0.04, kappa=2, theta=0.04, sigma_v=0.6, rho=-0.5)``), a
        mapping by field name, one entry per field in the record's order, or
        None for the defaults. Checked against the model's domain. A field
        may be an array that broadcasts with the market arguments (one model
        per option, e.g. each option's Black-Scholes volatility,
        ``BlackScholes(sigma=vols)`` or ``[vols]``); a NaN there gives NaN for
        its option.
    k, tau : array_like
        Strikes and times to expiry in years. ``tau == 0`` gives the intrinsic value.
    s, r, q : array_like
        Spot, continuously compounded rate and dividend yield (per year).
    option_type : array_like
        ``'call'``/``'put'`` or numbers (> 0 call, else put); NaN gives NaN.
    tol : float, default 1e-8
        Absolute price error allowed for every option (guaranteed for strikes
        from 0.2 to 5 times the forward). Rounding sets a floor below it: a
        tol under about 1e-13 of max(s, k) gives errors of up to that size,
        not tol.

    Returns
    -------
    float or ndarray
        Prices in the broadcast shape of ``k, tau, s, r, q, option_type`` (a
        float when all are scalars). NaN for NaN or out-of-domain market inputs
        (s <= 0, k <= 0, tau < 0) and where the accuracy cannot be reached
        within the work limits.

    Raises
    ------
    ValueError
        For an unknown model, a wrong number of parameters, a parameter outside
        its model's domain (the message names the model, the parameter and its
        range), or a ``tol`` that is not a positive finite number.
    TypeError
        For arguments that are not numbers (None, strings, dates, complex
        numbers, object arrays, masked arrays).

    Examples
    --------
    >>> import numpy as np
    >>> from orvelta import Heston, european_price
    >>> puts = european_price("heston", Heston(), [90.0, 100.0, 110.0], 1.0, 100.0, 0.03, 0.01, "put")
    >>> np.round(puts, 6).tolist()
    [3.121203, 6.165977, 11.371222]

    Each option's Black-Scholes volatility, broadcast with the market:

    >>> np.round(european_price("bs", [[0.1, 0.2, 0.3]], 100.0, 1.0, 100.0, 0.03, 0.01, "call"), 6).tolist()
    [4.967061, 8.827321, 12.694005]
    """
    mid, p = _resolved_row(model, params)
    tol = check_tol(tol)
    if p.ndim == 1:
        # Flat float64 arrays and Python floats go straight to the engine
        # (the checks below cost more than a chain's price); None otherwise.
        plain = _engines._european_price_plain(mid, p, k, tau, s, r, q, option_type, tol)
        if plain is not None:
            return plain
    b, out = _priced(_engines.european_price, mid, p, k, tau, s, r, q, option_type, tol)
    return b.result(out)


def european_greeks(
    model: Any, params: Any, k: ArrayLike, tau: ArrayLike, s: ArrayLike, r: ArrayLike,
    q: ArrayLike, option_type: ArrayLike, tol: float = 1e-8,
) -> EuropeanGreeks:  # fmt: skip
    """Prices and sensitivities of European options under a characteristic-function model.

    Each pricing route of :func:`european_price` is differentiated
    analytically, on settings chosen for the sensitivities: delta and gamma
    from the distribution function and density of the log return (COS
    series of the put's strike derivatives, or each term's Black-Scholes
    Greeks), theta and the volatility sensitivities from the characteristic
    exponent differentiated in tau and in the parameters (Heston's through
    its Riccati equations), rho from delta and the price. Each sensitivity
    is accurate to ``tol`` in its own units for strikes from 0.2 to 5 times
    the forward; where that cannot be reached it is NaN.

    Parameters
    ----------
    model, params, k, tau, s, r, q, option_type, tol
        As for :func:`european_price`.

    Returns
    -------
    dict
        "price" (equal to :func:`european_price`), "delta" (dV/ds), "gamma"
        (d2V/ds2), "theta" (dV/dt = -dV/dtau, per year), "rho" (dV/dr, per
        1.0 of r) and the volatility sensitivities: "vega" (dV/dsigma, per 1.0
        of sigma) for Black-Scholes, Merton and variance gamma; "vega_v0" and
        "vega_theta" (dV/dv0 and dV/dtheta, per 1.0 of variance) for Heston
        and Bates. Each a float for scalar inputs, else an array of the
        broadcast shape. At expiry (tau = 0) delta is the payoff's slope,
        gamma and the vegas 0 and theta NaN (all NaN but rho at s = k).

    Examples
    --------
    >>> from orvelta import Heston, european_greeks
    >>> g = european_greeks("heston", Heston(), 100.0, 1.0, 100.0, 0.03, 0.01, "put")
    >>> {name: round(value, 6) for name, value in g.items()}  # doctest: +NORMALIZE_WHITESPACE
    {'price': 6.165977, 'delta': -0.339912, 'gamma': 0.022121, 'theta': -2.550945, 'rho': -40.157142,
     'vega_v0': 39.955426, 'vega_theta': 57.964327}
    """
    mid, p = _resolved_row(model, params)
    tol = check_tol(tol)
    if p.ndim == 1:
        # As in european_price: plain inputs go straight to the engine.
        plain = _engines._european_greeks_plain(mid, p, k, tau, s, r, q, option_type, tol)
        if plain is not None:
            return plain  # type: ignore[return-value]
    b, res = _priced(_engines._european_greeks, mid, p, k, tau, s, r, q, option_type, tol)
    out: EuropeanGreeks = {name: b.result(v) for name, v in res.items()}  # type: ignore[assignment]
    return out


def implied_vol(
    price: ArrayLike, s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike,
) -> FloatOrArray:  # fmt: skip
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
    option_type : array_like
        ``'call'``/``'put'`` or numbers (> 0 call, else put); required, since
        a put's price inverted as a call's gives a wrong volatility.

    Returns
    -------
    float or ndarray
        Volatility per square-root year, broadcast shape. 0 at exactly the
        discounted intrinsic value; NaN where no volatility reproduces the
        price (below intrinsic value, at or above the upper bound) and for
        NaN or out-of-domain inputs.

    Examples
    --------
    >>> from orvelta import implied_vol
    >>> round(implied_vol(6.165977342944881, 100.0, 100.0, 0.03, 0.01, 1.0, "put"), 6)
    0.181895
    """
    b = Broadcast(price=price, s=s, k=k, r=r, q=q, tau=tau, option_type=option_type)
    out = _engines.implied_vol(*b.f64s("price", "s", "k", "r", "q", "tau"), b.option_type())
    return b.result(out)


def european_implied_vol(
    model: Any, params: Any, k: ArrayLike, tau: ArrayLike, s: ArrayLike, r: ArrayLike,
    q: ArrayLike, option_type: ArrayLike, tol: float = 1e-10,
) -> FloatOrArray:  # fmt: skip
    """Black-Scholes implied volatilities of a model's European prices (a smile from any model).

    Parameters
    ----------
    model, params, k, tau, s, r, q, option_type
        As for :func:`european_price`.
    tol : float, default 1e-10
        Absolute accuracy of the model prices, so a volatility is accurate to
        about tol / vega.

    Returns
    -------
    float or ndarray
        Implied volatilities in the broadcast shape of the market arguments;
        NaN where the price carries no volatility (e.g. a price at the bound)
        or is NaN.

    Examples
    --------
    >>> import numpy as np
    >>> from orvelta import Heston, european_implied_vol
    >>> smile = european_implied_vol("heston", Heston(), [90.0, 100.0, 110.0], 1.0, 100.0, 0.03, 0.01, "put")
    >>> np.round(smile, 6).tolist()
    [0.204168, 0.181895, 0.166203]
    """
    b, prices = _priced(_engines.european_price, model, params, k, tau, s, r, q, option_type, tol)
    vols = _engines.implied_vol(prices, *b.f64s("s", "k", "r", "q", "tau"), b.option_type())
    return b.result(vols)


# ------------------------------------------------------------------ calibration

# Parameter vectors fitted per model: starting point (the kernels' defaults)
# and box bounds inside each model's domain. For variance gamma the box keeps
# 1 - theta nu - sigma^2 nu / 2 >= 0.1, so E[S_T] exists everywhere in it.
_FIT: dict[int, tuple[tuple[float, ...], tuple[float, ...], tuple[float, ...]]] = {
    0: ((0.2,), (1e-4,), (5.0,)),
    1: ((0.2, 0.3, -0.05, 0.2), (1e-4, 0.0, -2.0, 1e-4), (3.0, 10.0, 2.0, 2.0)),
    2: ((0.2, -0.08, 0.2), (1e-3, -1.0, 1e-4), (1.0, 0.4, 1.0)),
    3: (
        (0.04, 2.0, 0.04, 0.6, -0.5),
        (1e-4, 1e-3, 1e-4, 1e-3, -0.999),
        (2.0, 20.0, 2.0, 5.0, 0.999),
    ),
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


def _fit_spec(mid: int) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    x0, lo, hi = _FIT[mid]
    return np.array(x0), np.array(lo), np.array(hi)


def _per_quote(value: ArrayLike, name: str, n: int) -> NDArray[np.float64]:
    a = numbers_array(value, name)
    if a.ndim == 0:
        return np.full(n, float(a))
    a = a.reshape(-1)
    if a.size != n:
        raise ValueError(
            f"{name} must be a scalar or have one entry per quote (got {a.size} for {n} quotes)"
        )
    return a


def calibrate(
    model: Any, k: ArrayLike, tau: ArrayLike, price: ArrayLike, s: ArrayLike, r: ArrayLike,
    q: ArrayLike, option_type: ArrayLike, weights: ArrayLike | None = None, x0: Any = None,
) -> CalibrationResult:  # fmt: skip
    """Least-squares fit of a model's parameters to quoted European prices.

    Minimises sum_i (w_i (model_i - quote_i))^2 with scipy's trust-region
    reflective ``least_squares`` inside box bounds that keep every parameter
    in its model's domain. Model prices are computed to 1e-10; the Jacobian
    comes from forward differences priced in one batched call, the bumped
    parameters on the COS settings (truncation range and terms) the unbumped
    ones get at 1e-4, so that the differences carry no change of settings.

    Parameters
    ----------
    model : str or int
        As in :func:`european_price`; the fitted vector is that model's full
        parameter record in its order (:mod:`orvelta.models`).
    k, tau, price : array_like
        The quotes: strike, time to expiry in years (>= 0) and price, each
        one-dimensional (of one length) or a scalar shared by every quote.
    s, r, q : array_like
        Spot, rate and dividend yield: scalars or one per quote.
    option_type : array_like
        ``'call'``/``'put'`` or numbers (> 0 call); a scalar or one per quote.
    weights : array_like, optional
        Residual weights, one per quote (default all 1): finite, >= 0 and not
        all zero. A quote of weight 0 does not move the fit but counts in the rmse.
    x0 : record, mapping or sequence, optional
        Starting parameters (default: the model's defaults), checked against
        the model's domain and clipped into the bounds. Where the model cannot
        price every quote at the start (to 1e-10), the start moves towards the
        defaults until it can.

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
        For arrays of different lengths, an empty quote set, a quote with a
        non-positive strike or spot, a negative or NaN maturity, a NaN option
        type or price, a price below its intrinsic value (or at or above the
        price bound), weights that are negative, not finite or all zero, and
        quotes the model cannot price even from its defaults.

    Examples
    --------
    >>> from orvelta import calibrate, european_price
    >>> k = [90.0, 100.0, 110.0]
    >>> quotes = european_price("bs", [0.25], k, 1.0, 100.0, 0.03, 0.01, "call", tol=1e-12)
    >>> fit = calibrate("bs", k, 1.0, quotes, 100.0, 0.03, 0.01, "call")
    >>> round(float(fit["params"][0]), 8), fit["success"]
    (0.25, True)
    """
    try:
        from scipy.optimize import least_squares  # type: ignore[import-untyped, unused-ignore]
    except ImportError as exc:
        raise ImportError("orvelta.calibrate needs scipy: pip install 'orvelta[fit]'") from exc

    mid = model_id(model)
    name = MODEL_NAMES[mid]
    arrays = [numbers_array(x, nm) for x, nm in ((k, "k"), (tau, "tau"), (price, "price"))]
    if any(a.ndim > 1 for a in arrays) or len({a.size for a in arrays if a.ndim == 1}) > 1:
        raise ValueError(
            "k, tau and price must be one-dimensional of the same length (or scalars), got shapes "
            + ", ".join(str(a.shape) for a in arrays)
        )
    n = max((a.size for a in arrays if a.ndim == 1), default=1)
    kq, t, v = (np.full(n, float(a)) if a.ndim == 0 else a for a in arrays)
    if n == 0:
        raise ValueError("calibrate needs at least one quote")
    types = option_type_array(option_type)
    if types.ndim == 0:
        types = np.full(n, float(types))
    types = types.reshape(-1)
    if types.size != n:
        raise ValueError(
            f"option_type must be a scalar or have one entry per quote (got {types.size} for {n} quotes)"
        )
    sq, rq, qq = (_per_quote(x, nm, n) for x, nm in ((s, "s"), (r, "r"), (q, "q")))
    w = np.ones(n) if weights is None else _per_quote(weights, "weights", n)
    if not np.all(np.isfinite(w)) or np.any(w < 0):
        raise ValueError("weights must be finite and >= 0")
    if not np.any(w > 0):
        raise ValueError("weights must not all be zero: the fit would have nothing to match")
    _check_quotes(kq, t, v, types, sq, rq, qq)
    kinds = types > 0

    start, lo, hi = _fit_spec(mid)
    if x0 is not None:
        start = resolve_model(mid, x0)[1]
    start = np.clip(start, lo, hi)
    groups = [
        (kind, np.flatnonzero(kinds == kind)) for kind in (True, False) if np.any(kinds == kind)
    ]
    cache: dict[bytes, NDArray[np.float64]] = {}

    def model_prices(
        rows: NDArray[np.float64], tol: float = _CALIBRATION_TOL, shared: bool = False
    ) -> NDArray[np.float64]:
        out = np.empty((rows.shape[0], n))
        for kind, idx in groups:
            out[:, idx] = _engines._european_price_sets(
                mid,
                rows,
                kq[idx],
                t[idx],
                sq[idx],
                rq[idx],
                qq[idx],
                np.int32(1 if kind else 0),
                tol,
                shared,
            )
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
        jac = (w[None, :] * (priced[1:] - priced[0]) / step[:, None]).T
        # A bumped set the pricer cannot price leaves that direction flat.
        return np.where(np.isfinite(jac), jac, 0.0)

    default = np.clip(np.array(_FIT[mid][0]), lo, hi)
    for frac in (0.0, 0.5, 0.75, 0.875, 0.9375, 1.0):
        trial = start + frac * (default - start)
        if np.all(np.isfinite(residuals(trial))):
            start = trial
            break
    else:
        bad = int(np.flatnonzero(~np.isfinite(residuals(default)))[0])
        raise ValueError(
            f"{name} cannot price quote {bad} (strike {kq[bad]:g}, tau {t[bad]:g}) to "
            f"{_CALIBRATION_TOL:g} at its default parameters, nor at the start"
        )

    fit = least_squares(
        residuals,
        start,
        jac=jacobian,
        bounds=(lo, hi),
        method="trf",
        x_scale="jac",
        ftol=1e-12,
        xtol=1e-12,
        gtol=1e-12,
        max_nfev=200 * lo.size,
    )
    x_fit = np.asarray(fit.x, dtype=np.float64)
    # The residuals at the fit are usually the optimiser's last evaluation (cached).
    errors = residuals(x_fit) / w if np.all(w != 0.0) else model_prices(x_fit[None, :])[0] - v
    return {
        "params": x_fit,
        "rmse": float(math.sqrt(float(np.mean(errors**2)))),
        "iterations": int(fit.njev if fit.njev is not None else fit.nfev),
        "success": bool(fit.success) and bool(np.all(np.isfinite(errors))),
    }


def _check_quotes(
    k: NDArray[np.float64],
    t: NDArray[np.float64],
    v: NDArray[np.float64],
    types: NDArray[np.float64],
    s: NDArray[np.float64],
    r: NDArray[np.float64],
    q: NDArray[np.float64],
) -> None:
    def refuse(mask: NDArray[np.bool_], what: str | Callable[[int], str]) -> None:
        bad = np.flatnonzero(mask)
        if bad.size:
            i = int(bad[0])
            raise ValueError(
                f"quote {i} (strike {k[i]:g}, tau {t[i]:g}) {what(i) if callable(what) else what}"
            )

    refuse(~(k > 0) | ~np.isfinite(k), "needs a positive finite strike")
    refuse(~(t >= 0) | ~np.isfinite(t), "needs a maturity tau >= 0 (years)")
    refuse(~(s > 0) | ~np.isfinite(s), "needs a positive finite spot")
    refuse(~np.isfinite(r) | ~np.isfinite(q), "needs finite r and q")
    refuse(np.isnan(types), "has no option type (NaN)")
    refuse(~np.isfinite(v), "has a price that is not a finite number")
    calls = types > 0
    fs = s * np.exp(-q * t)
    fk = k * np.exp(-r * t)
    intrinsic = np.where(calls, np.maximum(fs - fk, 0.0), np.maximum(fk - fs, 0.0))
    upper = np.where(calls, fs, fk)
    slack = 1e-12 * np.maximum(fs, fk)
    refuse(
        ~(v >= intrinsic - slack),
        lambda i: f"is {v[i]:g}, below its intrinsic value {intrinsic[i]:g}",
    )
    refuse(~(v < upper), lambda i: f"is {v[i]:g}, at or above its upper bound {upper[i]:g}")
