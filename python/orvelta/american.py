"""American options as a desk uses them: prices to a requested accuracy, their
Greeks, implied volatilities for whole chains, and a Longstaff-Schwartz Monte
Carlo price with its confidence interval.

The accurate pricer solves for the early-exercise boundary with the
fixed-point equations of Andersen, Lake and Offengenden (2016) on Chebyshev
nodes in sqrt(tau) and adds the early-exercise premium integral to the
closed-form European price. Calls are priced as puts through put-call
symmetry, call(s, k, r, q) = put(k, s, q, r). Where early exercise is never
optimal (for a put: r <= 0 and q >= r) the price is the European one.

At the edges of the domain closed forms take over wherever bounds on the price
meet within ``tol``: the zero-volatility value for vanishing volatility, and
the premium below the perpetual boundary against the perpetual price for long
maturities; maturities many times the time the boundary takes to settle fit it
over the last stretch only, the earlier premium in closed form.

The settings each ``tol`` uses were chosen on sigma 0.05..1, maturities of a
day to ten years and rates 0..0.12 (those of the put form; a yield down to -2%
where sigma >= 0.1 and tau <= 5). Outside that box a price stands only once
finer settings confirm it (one within ``tol`` of the next coarser, and that
one within its own tolerance of the one before); where they do not, it is
NaN. That costs a few prices' time, and at tol 1e-8 and below gives NaN for
about one option in a hundred of the wider domain.

When both rates are negative with q < r (for a call: r < q < 0) the exercise
region of the put is a band between two boundaries that narrows with the
time to expiry; where sigma > sqrt(-2 q) - sqrt(-2 r) the boundaries cross
and the band closes, after which the holder never exercises. The price comes
from the band's integral equations (both boundaries collocated on Chebyshev
nodes and solved together by Newton's method; a band that closes is solved
up to its crossing, whose time is an unknown of its own), solved up a ladder
of settings until two in a row agree within a quarter of ``tol``. Over 300
such options (r -3%..0, q -8%..r, sigma 0.05..0.8, tau one day..10 years,
moneyness 0.5..2; 206 of them with a band that closes) the largest error
against converged solutions was 0.16 ``tol`` for ``tol`` 1e-3..1e-7 and
0.4 ``tol`` at 1e-8, where 2 gave NaN; a median of 0.1 ms (1e-3), 0.3 ms
(1e-6) and 4 ms (1e-8) per option, up to about 20 ms where the band closes.
Where the settings never agree (very small volatilities, very wide or thin
bands, long maturities), finite differences in the coordinate that follows
the drift take over (the heat equation with the payoff as a moving obstacle,
grids refined until their Richardson extrapolations settle within ``tol``):
about 1.5 ms at 1e-3, 0.1 s at 1e-5, up to a second or two at 1e-6, the
finest they reach; tighter tolerances give NaN there, as does any option whose
grids would take more than about two seconds (its Greeks five times that,
its implied volatility ten).

With discrete dividends (``dividends=``), term structures (a
:class:`~orvelta.Curve` for ``r``, ``q`` or ``sigma``) or ``american=False``,
the functions solve the pricing equation in log-spot instead: a grid aligned
with every ex-date and curve knot, Crank-Nicolson steps started with
implicit-Euler half steps after expiry and each ex-date, the exercise
constraint solved exactly at every step (in one Brennan-Schwartz pass where
the exercise region is one interval, checked, else by policy iteration, which
also covers an exercise region between two boundaries), the value carried
across each ex-date by cubic interpolation (the node next to a kink there,
where the stock would go to zero or where exercise starts, taking its cell's
average), and the grid halved until the difference of two successive
Richardson extrapolations is within ``tol``. Where the exercise region can
be a band (a put with q < r < 0 or a call with r < q < 0 on some stretch)
whose premium matters at ``tol`` (the flat pricer's, at the spot, above a
sixteenth of ``tol``), a price is accepted only from a grid whose step is
within a 128th of the band's width at expiry (a band that closes soon after
expiry is thin for most of its life, and coarser grids miss its premium
while agreeing with each other): 0.1 to 0.3 s at ``tol`` 1e-4 and about a
second at 1e-5; NaN at 1e-6 for most options whose band matters.
Where that does not happen within the work limit (about a second per
option: grids up to 12,800 space points and 6,400 time steps, fewer where a
small volatility or a large drift needs a finer space step to stay
monotone), or cannot happen by then even at the best rate the refinement
reaches, the result is NaN rather than a price of unknown accuracy.
Where exercise can pay only just before an ex-date or at expiry (every
European option; an American call whose rate is never negative and yield
never positive, a put whose rate is never positive and yield never
negative), the stock is lognormal between those dates and the price is
first sought by a backward recursion of one-dimensional integrals
(Chebyshev series of the value after each ex-date, Gauss-Legendre
quadrature split at every kink), refined until two refinements agree within
``tol``: a fraction of a millisecond for a year with four dividends, at any
``tol`` down to about 1e-10 of the strike. An American put with
non-negative rates and yields whose every dividend is worth more than the
interest the strike earns over the time since the one before
(``D > k (exp(r dt) - 1)``) is exercised between ex-dates only where the
stock has fallen to about the size of a dividend: the same recursion prices
it with exercise allowed just after each drop and, after the last one, by
the accurate pricer without dividends, once a bound on the premium that
exercise between ex-dates could add is within a tenth of ``tol``; about
1 ms for a one-year put with four dividends at ``tol`` 1e-6, down to about
1e-9 of the strike. The grids take over where the recursion cannot vouch
for ``tol``.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, TypedDict, TypeVar

import numpy as np
from numpy.typing import ArrayLike

from . import _dividends, _engines, _kernels
from ._arrays import (
    Broadcast,
    FloatOrArray,
    check_count,
    check_tol,
    numbers_array,
    option_type_array,
)
from .curves import Curve

if TYPE_CHECKING:
    from ._engines import _AmericanBatch, _DividendBatch

__all__ = ["american_price", "american_greeks", "american_implied_vol", "lsm_price"]

_R = TypeVar("_R")


class AmericanGreeks(TypedDict):
    price: FloatOrArray
    delta: FloatOrArray
    gamma: FloatOrArray
    theta: FloatOrArray
    vega: FloatOrArray
    rho: FloatOrArray


class LsmResult(TypedDict):
    price: float
    std_error: float
    ci_low: float
    ci_high: float


# The engines of a price and of the Greeks: the flat, dividend-free American
# pricer, and the engine for dividends, curves and European options.
_PRICE = (_engines._american_price, _engines._dividend_price)
_GREEKS = (_engines._american_greeks, _engines._dividend_greeks)


def _solve(
    engines: tuple[_AmericanBatch[_R], _DividendBatch[_R]],
    s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float, dividends: ArrayLike | None, dividend_kind: str,
    american: bool,
) -> tuple[Broadcast, _R]:  # fmt: skip
    """The checked, broadcast inputs and the flat result of the engine they need."""
    flat, dividend = engines
    tol = check_tol(tol)
    if _dividends.wanted(r, q, sigma, dividends, dividend_kind, american):
        return _dividends.run(
            dividend, s, k, r, q, sigma, tau, option_type, tol, dividends, dividend_kind, american
        )
    b = Broadcast(s=s, k=k, r=r, q=q, sigma=sigma, tau=tau, option_type=option_type)
    return b, flat(*b.f64s("s", "k", "r", "q", "sigma", "tau"), b.option_type(), tol)


def american_price(
    s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float = 1e-8, *, dividends: ArrayLike | None = None,
    dividend_kind: str = "cash", american: bool = True,
) -> FloatOrArray:  # fmt: skip
    """Price of American options to an absolute accuracy.

    Parameters
    ----------
    s, k : array_like
        Spot and strike (currency units, positive).
    r, q : array_like or Curve
        Continuously compounded risk-free rate and dividend yield, per year;
        or a :class:`~orvelta.Curve` of forward values shared by every option.
    sigma : array_like or Curve
        Volatility per square-root year, or a Curve of it.
    tau : array_like
        Time to expiry in years.
    option_type : array_like
        ``'call'`` or ``'put'`` (any case), or numbers: greater than 0 for a
        call, 0 or less for a put; NaN gives a NaN price.
    tol : float, default 1e-8
        Absolute price error allowed per option. The numerical settings are
        chosen from ``tol`` relative to the strike of the equivalent put (the
        strike of a put, the spot of a call); measured down to 1e-10 of it,
        while smaller tolerances get the finest settings (about 1e-11). With
        two exercise boundaries (a put with q < r < 0, a call with
        r < q < 0) the integral equations reach about 1e-10 of that strike,
        whether or not the band closes before expiry; where they do not
        settle, finite differences reach about 1e-6 of it (NaN below).
        With dividends or curves, the grid is refined until its error
        estimate is within ``tol``; an option whose estimate stays above it
        at the finest grid is NaN. American puts with dividends (and calls
        with a positive yield) on the grids reach 1e-6 of the strike within
        about a second (a one-year put with four dividends in 0.5 s); 1e-7
        to 1e-8 of it only where the exercise boundary is smooth, else NaN.
        European options, and American calls exercised only just before an
        ex-date, take the recursion of integrals: about 1e-10 of the strike
        in a fraction of a millisecond (a one-year call with four dividends
        at 1e-6 of the strike in 0.5 ms); so do American puts whose
        dividends each outweigh the interest on the strike since the one
        before (see the module notes), down to about 1e-9 of the strike (a
        one-year put with four dividends at 1e-6 of it in about 1 ms).
    dividends : array_like of shape (n, 2), optional
        Rows of (ex-date in years from today, amount) of the one underlying
        that every option of the call is written on. On an ex-date the stock
        drops by the cash amount (to zero when it is worth less: the dividend
        is cut to what the stock is worth). Only ex-dates strictly between 0
        and each option's expiry count. Amounts must be non-negative. An
        American option with no positive amount before its expiry, and curves
        that have no knot before it, gets exactly the price it has without
        them (as do its Greeks and implied volatility).
    dividend_kind : {"cash", "proportional"}, default "cash"
        "proportional": each amount is the fraction of the stock paid (in
        [0, 1]; the stock is multiplied by 1 - amount on the ex-date).
    american : bool, default True
        False prices the European option with the same dividends and curves.

    Returns
    -------
    float or ndarray
        The prices, in the broadcast shape of the inputs (a float when every
        input is a scalar). Non-positive ``s`` or ``k``, or a NaN in any input,
        give NaN; non-positive ``tau`` or ``sigma`` give the intrinsic value.
        NaN also where ``tol`` cannot be met: with two exercise boundaries
        when the finest grid does not settle within it, and at very long
        maturities when the error of fitting the boundary over the last
        stretch only cannot be bounded within it. A price beyond the range of
        doubles (rates times maturities in the thousands) is ``inf``.
        On the dividend and curve path, non-positive ``tau`` gives the
        intrinsic value, while a non-positive volatility anywhere before
        expiry gives NaN.

    Raises
    ------
    TypeError
        For arguments that are not numbers (None, strings other than the
        option types, dates, complex numbers, object or masked arrays).
    ValueError
        For a ``tol`` that is not a positive finite number, or arguments that
        do not broadcast.

    Examples
    --------
    A one-year at-the-money put, then three strikes at once:

    >>> import orvelta
    >>> round(orvelta.american_price(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0), 6)
    6.660686
    >>> print(orvelta.american_price(100.0, [90.0, 100.0, 110.0], 0.05, 0.02, 0.2, 1.0, 0).round(6))
    [ 2.821611  6.660686 12.612041]
    """
    b, out = _solve(
        _PRICE, s, k, r, q, sigma, tau, option_type, tol, dividends, dividend_kind, american
    )
    return b.result(out)


def american_greeks(
    s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float = 1e-8, *, dividends: ArrayLike | None = None,
    dividend_kind: str = "cash", american: bool = True,
) -> AmericanGreeks:  # fmt: skip
    """Price and sensitivities of American options from the accurate pricer.

    Delta and gamma differentiate the premium integral in the spot (the
    exercise boundary does not depend on it); theta follows from the pricing
    equation; vega and rho carry derivatives through the whole computation,
    the boundary fit included (forward-mode differentiation), so they are the
    exact derivatives of the price that ``american_price`` returns.

    Parameters
    ----------
    s, k, r, q, sigma, tau, option_type, tol, dividends, dividend_kind, american
        As for :func:`american_price`.

    With dividends or curves, delta and gamma are differences on the grid,
    vega and rho the derivatives of the grid solution in a parallel shift of
    the volatility and rate curves (carried through every step with the
    exercise set held), theta the calendar decay from the pricing equation
    at the spot with the ex-dates held to their dates; each is Richardson-
    extrapolated on the grids that bring the price within ``tol``, with no
    error estimate of its own: where the exercise boundary crosses nodes
    they converge unevenly (over a sweep of 40 options at tol 1e-5, the
    median relative error of vega and rho against central differences of
    accurate prices was 1e-5; one deep in-the-money put's vega of 0.030
    was 6e-4 off). Where the price comes from the recursion of integrals,
    the sensitivities come from
    the same integrals (likelihood-ratio weights for delta and gamma, the
    derivatives of each stage's integral for vega and rho; a put's last
    stage after its last dividend contributes the accurate pricer's vega
    and rho, from settings for 1e-8 of the strike or tol's own if finer).

    Returns
    -------
    dict
        "price"; "delta" (dV/ds); "gamma" (d2V/ds2); "theta" (dV/dt =
        -dV/dtau, per year); "vega" (dV/dsigma, per 1.0 of sigma); "rho"
        (dV/dr, per 1.0 of r). Each a float for scalar inputs, else an array
        of the broadcast shape. "price" equals ``american_price`` exactly. In
        the exercise region the value is intrinsic: delta is -1 (put) or 1
        (call) and the other sensitivities are 0. Where closed forms give the
        price (vanishing volatility, long maturities) the sensitivities are
        those of the value returned. With two exercise boundaries (a put
        with q < r < 0, a call with r < q < 0) delta and gamma come from the
        premium integral over the band (about twice one price) or from the
        finite-difference grids, and vega and rho are central differences of
        prices at fixed settings, each bumped solve iterated from the price's
        with its Jacobian, accurate to about the price's tolerance divided
        by the step (1e-4 of sigma, 1e-5 or 1e-4 of r).

    Examples
    --------
    >>> import orvelta
    >>> g = orvelta.american_greeks(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0)
    >>> {name: round(value, 4) for name, value in g.items()}
    {'price': 6.6607, 'delta': -0.423, 'gamma': 0.0215, 'theta': -2.6933, 'vega': 38.0364, 'rho': -34.3127}
    """
    b, res = _solve(
        _GREEKS, s, k, r, q, sigma, tau, option_type, tol, dividends, dividend_kind, american
    )
    return AmericanGreeks(
        price=b.result(res["price"]),
        delta=b.result(res["delta"]),
        gamma=b.result(res["gamma"]),
        theta=b.result(res["theta"]),
        vega=b.result(res["vega"]),
        rho=b.result(res["rho"]),
    )


def american_implied_vol(
    price: ArrayLike, s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float = 1e-10, *, dividends: ArrayLike | None = None,
    dividend_kind: str = "cash", american: bool = True, vol_curve: Curve | None = None,
) -> FloatOrArray:  # fmt: skip
    """Volatility at which the accurate American price equals each quote.

    A Newton iteration on the price with its exact vega, safeguarded by a
    bracket, solved for every quote in parallel in compiled code. It starts
    from the European implied volatility of the quote (an upper bound), each
    iterate's exercise boundary starting the next; early iterations use a
    coarse price, the last one a price accurate enough for ``tol``.

    Parameters
    ----------
    price : array_like
        Quoted option prices.
    s, k, r, q, tau, option_type, dividends, dividend_kind, american
        As for :func:`american_price`.
    vol_curve : Curve, optional
        With a volatility curve, the result is the parallel shift of the
        curve that reproduces each quote (added to every value; the
        shifted curve stays within [1e-4, 10]). Without one, the flat
        volatility.
    tol : float, default 1e-10
        Tolerance on sigma. The attainable accuracy is also bounded by the
        price accuracy (at best 1e-8, or tol * vega / 2 when larger) divided by vega.
        Outside the box the price settings were chosen on (see the module
        notes) that price accuracy is the finest, up to 1e-6 of the strike
        (put form), that finer settings confirm; NaN where none is.

    Returns
    -------
    float or ndarray
        Volatilities searched in [1e-4, 10]; NaN where no volatility
        reproduces the quote: at or below the zero-volatility value (for an
        American option at least the intrinsic value), at or above the no-arbitrage bound (the price
        at infinite volatility: the larger of k and k e^{-r tau} for a put,
        of s and s e^{-q tau} for a call), beyond the search range, and for
        invalid inputs (non-positive s, k or tau, NaN anywhere). With two
        exercise boundaries (a put with q < r < 0, a call with r < q < 0)
        the iteration is regula falsi on prices good to 1e-7 of the strike,
        from the zero-volatility value up, which bounds the accuracy in
        sigma: about two to three prices a quote.
        With dividends, curves or ``american=False`` (solved on the dividend
        engine, where every regime is covered): Newton steps on coarse prices
        and then on prices accurate to tol * vega / 4, but no finer than 1e-7
        of max(s, k), so the accuracy in sigma is at best about
        4e-7 * max(s, k) / vega. With a large cash dividend the price need
        not rise with the volatility (a put on a stock a dividend may take
        to zero can be worth less at a higher volatility): where the vega is
        negative the iteration may return NaN for a quote that some
        volatility reproduces, and where two volatilities reproduce it,
        either may be returned.

    Examples
    --------
    The volatility of a price computed at 25% comes back:

    >>> import orvelta
    >>> quote = orvelta.american_price(100.0, 100.0, 0.05, 0.02, 0.25, 1.0, 0)
    >>> round(orvelta.american_implied_vol(quote, 100.0, 100.0, 0.05, 0.02, 1.0, 0), 8)
    0.25
    """
    tol = check_tol(tol)
    if vol_curve is not None or _dividends.wanted(r, q, None, dividends, dividend_kind, american):
        return _dividends.implied_vol(
            price, s, k, r, q, tau, option_type, tol, dividends, dividend_kind, american, vol_curve
        )
    b = Broadcast(price=price, s=s, k=k, r=r, q=q, tau=tau, option_type=option_type)
    out = _engines._american_implied_vol(
        *b.f64s("price", "s", "k", "r", "q", "tau"), b.option_type(), tol
    )
    return b.result(out)


# Most paths per set: the kernels count paths in a C int.
_MAX_PATHS = 2**31 - 2
# The regression on powers of log-moneyness is ill-conditioned beyond this.
_MAX_DEGREE = 8


def lsm_price(
    s: float, k: float, r: float, q: float, sigma: float, tau: float, option_type: Any,
    paths: int = 100_000, steps: int = 50, degree: int = 3, seed: int = 0,
) -> LsmResult:  # fmt: skip
    """Longstaff-Schwartz Monte Carlo price of one American option, with its confidence interval.

    One option per call (the market arguments are scalars): the paths are
    drawn for its spot, rate, yield and volatility. The exercise policy is
    fitted by least squares on antithetic paths drawn with ``seed`` and then
    evaluated on fresh antithetic paths drawn with ``seed + 1`` (modulo
    2**32), which gives a low-biased, out-of-sample price. The cash flow of
    each fresh path is its payoff at the exercise date the policy picks,
    discounted at ``r``; the two paths of each antithetic pair are averaged
    before the standard error is taken.

    Parameters
    ----------
    s, k, r, q, sigma, tau : float
        Spot, strike, rate and dividend yield per year, volatility, years to
        expiry (numbers, or arrays of one element).
    option_type : str or float
        ``'call'``/``'put'`` or a number (> 0 call, else put).
    paths : int, default 100_000
        Paths per set: an even count from 4 to 2**31 - 2. Each set takes
        8 * paths * (steps + 1) bytes; beyond the machine's memory the path
        generator raises MemoryError.
    steps : int, default 50
        Exercise dates after today, equally spaced up to ``tau`` (at least 1).
    degree : int, default 3
        Highest power of log-moneyness in the regression basis, 0 to 8.
    seed : int, default 0
        Seed of the fitting paths (0 to 2**32 - 1); the evaluation paths use
        ``seed + 1``.

    Returns
    -------
    dict
        "price" (mean discounted cash flow on the fresh paths), "std_error"
        (of that mean, from the pair averages), "ci_low" and "ci_high" (95%
        normal confidence interval). Invalid inputs (non-positive s or k, NaN,
        a NaN option type) give NaN in every entry; non-positive tau or sigma
        the intrinsic value with zero error.

    Raises
    ------
    TypeError
        For a market argument that is not one number, or a count that is not
        an integer (a float such as 1000.0 included).
    ValueError
        For an odd or out-of-range ``paths``, ``steps`` < 1, ``degree``
        outside [0, 8] or ``seed`` outside [0, 2**32).

    Examples
    --------
    >>> import orvelta
    >>> res = orvelta.lsm_price(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0, paths=20_000, seed=1)
    >>> {name: round(value, 4) for name, value in res.items()}
    {'price': 6.6328, 'std_error': 0.0314, 'ci_low': 6.5713, 'ci_high': 6.6944}

    The accurate price, 6.6607, lies inside the 95% interval.
    """
    market = []
    for name, value in (("s", s), ("k", k), ("r", r), ("q", q), ("sigma", sigma), ("tau", tau)):
        a = numbers_array(value, name)
        if a.size != 1:
            raise TypeError(
                f"{name} must be one number (lsm_price prices one option per call), "
                f"got an array of shape {a.shape}"
            )
        market.append(float(a.reshape(-1)[0]))
    s, k, r, q, sigma, tau = market
    ot = option_type_array(option_type)
    if ot.size != 1:
        raise TypeError(
            f"option_type must be one value (lsm_price prices one option per call), "
            f"got an array of shape {ot.shape}"
        )
    paths = check_count(paths, "paths", 4, _MAX_PATHS)
    if paths % 2:
        raise ValueError(f"paths must be an even count (antithetic pairs), got {paths}")
    steps = check_count(steps, "steps", 1, 2**31 - 2)
    degree = check_count(degree, "degree", 0, _MAX_DEGREE)
    seed = check_count(seed, "seed", 0, 0xFFFFFFFF)
    kind_value = float(ot.reshape(-1)[0])
    values = (s, k, r, q, sigma, tau, kind_value)
    if any(math.isnan(x) for x in values) or not s > 0.0 or not k > 0.0:
        nan = math.nan
        return LsmResult(price=nan, std_error=nan, ci_low=nan, ci_high=nan)
    call = kind_value > 0
    kind = 1 if call else 0
    if tau <= 0.0 or sigma <= 0.0:
        v = max(s - k, 0.0) if call else max(k - s, 0.0)
        return LsmResult(price=v, std_error=0.0, ci_low=v, ci_high=v)
    fit_paths = _kernels.gbm_paths_antithetic(s, r, q, sigma, tau, steps, paths, seed)
    fit = _kernels.lsm_backward(fit_paths, k, r, tau, kind, degree)
    del fit_paths
    fresh = _kernels.gbm_paths_antithetic(
        s, r, q, sigma, tau, steps, paths, (seed + 1) & 0xFFFFFFFF
    )
    policy = _kernels.lsm_eval_policy(fresh, k, r, tau, kind, fit["coefficients"])
    ex = np.asarray(policy["exercise_time"], dtype=np.int64)
    dates = fresh.shape[1] - 1
    dt = tau / dates
    spot_at = fresh[np.arange(fresh.shape[0]), ex]
    payoff = np.maximum(spot_at - k, 0.0) if call else np.maximum(k - spot_at, 0.0)
    flows = payoff * np.exp(-r * dt * ex)
    pairs = flows.shape[0] // 2
    pair_means = 0.5 * (flows[:pairs] + flows[pairs:])
    price = float(pair_means.mean())
    std_error = float(pair_means.std(ddof=1) / math.sqrt(pairs))
    half = 1.959963984540054 * std_error
    return LsmResult(price=price, std_error=std_error, ci_low=price - half, ci_high=price + half)


def _scheme(tol: float, strike: float) -> Any:
    """Numerical settings the pricer picks for ``tol`` at a put-equivalent strike."""
    return _engines._american_scheme(tol, strike)
