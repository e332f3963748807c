"""The ten compiled kernels, documented and typed.

Each function here passes its arguments unchanged, in order, to the function
of the same name in the compiled module ``orvelta._kernels`` and returns its
result untouched: results are bit for bit those of the compiled kernel, and
conversion errors (a float for an integer, a string for an array) come out as
the binding's ``TypeError``.

Conventions shared by all ten:

* Market inputs: ``s``/``s0`` spot and ``k``/``strike`` strike in currency
  units; ``r`` the continuously compounded risk-free rate per year; ``q`` the
  continuous dividend yield per year; ``sigma`` the volatility per square-root
  year; ``tau`` the time to expiry in years. None is validated: out-of-range
  values give intrinsic values, NaN or clamped counts as each function says.
* ``option_type`` > 0 is a call (payoff max(S - K, 0)), 0 or less a put
  (payoff max(K - S, 0)).
* Integer parameters take anything with ``__index__`` (a float is refused with
  ``TypeError``); float parameters take anything convertible to float.
* Array parameters take array-likes, converted to C-contiguous float64
  (int32 for ``option_type``) and copied only when needed. Results are new
  arrays and dictionaries owned by the caller.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypedDict

import numpy as np
from numpy.typing import NDArray

from . import _kernels
from ._docs import fill

__all__ = [
    "american_tree_batch",
    "american_tree_boundary",
    "american_pde_psor",
    "american_pde_psor_batch",
    "gbm_paths_antithetic",
    "lsm_backward",
    "lsm_eval_policy",
    "fft_prices",
    "direct_prices",
    "cos_prices",
]

#: A float parameter: anything convertible to float (an int too).
Float: TypeAlias = SupportsFloat | SupportsIndex
#: An integer parameter: anything with ``__index__``; a float is refused.
Int: TypeAlias = SupportsIndex
_Number: TypeAlias = float | np.number[Any] | np.bool_


class SupportsArray(Protocol):
    """An object NumPy converts through ``__array__`` (a pandas Series, say)."""

    def __array__(self) -> NDArray[Any]: ...


#: A one-dimensional array argument: an array, or a sequence of numbers (not a string).
Array1D: TypeAlias = NDArray[Any] | SupportsArray | Sequence[_Number]
#: A two-dimensional array argument: an array, or a sequence of rows.
Array2D: TypeAlias = NDArray[Any] | SupportsArray | Sequence[Sequence[_Number]]
F64: TypeAlias = NDArray[np.float64]


class TreeBoundary(TypedDict):
    """Result of :func:`american_tree_boundary`."""

    times: F64
    boundary: F64
    price: float


class PsorResult(TypedDict):
    """Result of :func:`american_pde_psor`."""

    price: float
    s_grid: F64
    boundary: F64
    residuals: F64
    values: F64


class PsorBatch(TypedDict):
    """Result of :func:`american_pde_psor_batch`."""

    prices: F64
    residuals: F64


class LsmFit(TypedDict):
    """Result of :func:`lsm_backward`."""

    price: float
    exercise_time: NDArray[np.int32]
    coefficients: F64


class LsmEvaluation(TypedDict):
    """Result of :func:`lsm_eval_policy`."""

    price: float
    exercise_time: NDArray[np.int32]


class FftPrices(TypedDict):
    """Result of :func:`fft_prices`."""

    strikes: F64
    prices: F64


@fill
def american_tree_batch(
    s: Array1D, k: Array1D, r: Array1D, q: Array1D, sigma: Array1D, tau: Array1D,
    option_type: Array1D, steps: Int = 200, tree_type: Int = 0, american: bool = True,
) -> F64:  # fmt: skip
    """Binomial-lattice prices of many options at once, in parallel.

    Each option is priced on its own recombining lattice by backward
    induction, with early exercise at every step when ``american`` is true.
    Batches of 64 options or more run on the OpenMP team (its size is set by
    ``OMP_NUM_THREADS`` or threadpoolctl) with the interpreter lock released;
    the result is the same on any number of threads, and equals the "price"
    of :func:`american_tree_boundary` bit for bit for every valid option.

    Parameters
    ----------
    {{market_arrays}}
    option_type : array_like of int, shape (n,)
        > 0 call, <= 0 put (cast to int32, so 0.5 is a put).
    steps : int, default 200
        Lattice time steps; fewer than 2 gives the intrinsic value.
    {{lattice_settings}}

    Returns
    -------
    ndarray of float64, shape (n,)
        One price per option: NaN where the spot or strike is not positive,
        the intrinsic value where ``tau`` or ``sigma`` is not positive.

    {{batch_errors}}

    Examples
    --------
    >>> import numpy as np
    >>> import orvelta
    >>> n = 3
    >>> prices = orvelta.american_tree_batch([90.0, 100.0, 110.0], np.full(n, 100.0), np.full(n, 0.05),
    ...                                      np.full(n, 0.02), np.full(n, 0.2), np.full(n, 1.0),
    ...                                      np.zeros(n, dtype=np.int32), steps=500)
    >>> print(prices.round(4))
    [12.0588  6.6588  3.3968]
    """
    return _kernels.american_tree_batch(
        s, k, r, q, sigma, tau, option_type, steps, tree_type, american
    )


@fill
def american_tree_boundary(
    s: Float, k: Float, r: Float, q: Float, sigma: Float, tau: Float, option_type: Int,
    steps: Int = 200, tree_type: Int = 0, american: bool = True,
) -> TreeBoundary:  # fmt: skip
    """One option on a binomial lattice, with its early-exercise boundary.

    Backward induction over ``n = max(steps, 2)`` steps records, at every
    step, the critical stock price where immediate exercise first beats
    holding: for a call the lowest exercised node price, for a put the
    highest.

    Parameters
    ----------
    {{market_scalars}}
    steps : int, default 200
        Lattice time steps, raised to at least 2.
    {{lattice_settings}}

    Returns
    -------
    dict
        "times": ndarray (n + 1,), step times ``j * tau / n`` in years.
        "boundary": ndarray (n + 1,), critical spot per step, NaN where no
        node is exercised; the last entry is ``k`` (also for European
        options). "price": float, the option value. Invalid inputs (spot,
        strike, ``tau`` or ``sigma`` not positive) give the intrinsic value
        and an all-NaN boundary.
    """
    return _kernels.american_tree_boundary(
        s, k, r, q, sigma, tau, option_type, steps, tree_type, american
    )


@fill
def american_pde_psor(
    s: Float, k: Float, r: Float, q: Float, sigma: Float, tau: Float, option_type: Int,
    s_steps: Int = 160, t_steps: Int = 120, s_max_mult: Float = 3.0, omega: Float = 1.35,
    tol: Float = 1e-7, max_iter: Int = 5000, american: bool = True,
) -> PsorResult:  # fmt: skip
    """One option by fully implicit finite differences solved with projected SOR.

    The price grid is uniform from 0 to ``max(1.5, s_max_mult) * max(s, k)``
    with ``N = max(s_steps, 20)`` intervals; ``M = max(t_steps, 4)`` implicit
    time steps run from expiry back to today. Each level's system is solved
    by successive over-relaxation, projected onto the payoff when
    ``american`` is true; the price at ``s`` is interpolated linearly.

    Parameters
    ----------
    {{market_scalars}}
    s_steps : int, default 160
        Price intervals (at least 20).
    t_steps : int, default 120
        Time steps (at least 4).
    s_max_mult : float, default 3.0
        Top of the grid as a multiple of max(s, k); below 1.5 acts as 1.5.
    omega : float, default 1.35
        Over-relaxation factor.
    tol : float, default 1e-7
        A level stops once a sweep changes no value by ``tol`` or more
        (currency units).
    max_iter : int, default 5000
        Most sweeps per time level; 0 or less runs none.
    american : bool, default True
        True allows early exercise; False prices the European option.

    Returns
    -------
    dict
        "price": float, the value at ``s``. "s_grid": ndarray (N + 1,), the
        node prices. "boundary": ndarray (M + 1,), the exercise boundary per
        time level (level 0 today, level M expiry, where it is ``k``), NaN
        where no node is exercised. "residuals": ndarray (M,), the largest
        change of each level's last sweep. "values": ndarray (M + 1, N + 1),
        the option value at every level and node.
    """
    return _kernels.american_pde_psor(
        s, k, r, q, sigma, tau, option_type, s_steps, t_steps, s_max_mult, omega, tol, max_iter,
        american,
    )  # fmt: skip


@fill
def american_pde_psor_batch(
    s: Array1D, k: Array1D, r: Array1D, q: Array1D, sigma: Array1D, tau: Array1D,
    option_type: Array1D, s_steps: Int = 100, t_steps: Int = 80, s_max_mult: Float = 3.0,
    omega: Float = 1.35, tol: Float = 1e-7, max_iter: Int = 3000, american: bool = True,
) -> PsorBatch:  # fmt: skip
    """:func:`american_pde_psor` over arrays of options, one after another.

    Every option is solved on its own grid with the shared grid and
    iteration settings; no value surface is kept. Each price equals the
    single solve's "price" for the same settings.

    Parameters
    ----------
    {{market_arrays}}
    option_type : array_like of int, shape (n,)
        > 0 call, <= 0 put.
    s_steps : int, default 100
        Price intervals (at least 20).
    t_steps : int, default 80
        Time steps (at least 4).
    s_max_mult : float, default 3.0
        Top of the grid as a multiple of max(s, k); below 1.5 acts as 1.5.
    omega : float, default 1.35
        Over-relaxation factor.
    tol : float, default 1e-7
        Convergence tolerance per sweep (currency units).
    max_iter : int, default 3000
        Most sweeps per time level.
    american : bool, default True
        True allows early exercise; False prices the European option.

    Returns
    -------
    dict
        "prices": ndarray (n,), one price per option. "residuals": ndarray
        (n,), each option's largest last-sweep residual over its levels.

    {{batch_errors}}
    """
    return _kernels.american_pde_psor_batch(
        s, k, r, q, sigma, tau, option_type, s_steps, t_steps, s_max_mult, omega, tol, max_iter,
        american,
    )  # fmt: skip


def gbm_paths_antithetic(
    s0: Float, r: Float, q: Float, sigma: Float, tau: Float, steps: Int, paths: Int, seed: Int = 7
) -> F64:
    """Seeded antithetic geometric-Brownian-motion paths.

    Normals come from MT19937 seeded with ``seed`` and the Box-Muller
    transform; rows ``i`` and ``i + rows // 2`` take exactly opposite shocks.
    The seed alone determines the array.

    Parameters
    ----------
    s0 : float
        Price at date 0 (currency units).
    r, q : float
        Risk-free rate and dividend yield, continuously compounded, per year
        (the drift is r - q - sigma**2 / 2).
    sigma : float
        Volatility per square-root year.
    tau : float
        Horizon in years; the dates are equally spaced from 0 to ``tau``.
    steps : int
        Time steps (at least 1).
    paths : int
        Requested paths: ``2 * (paths // 2)`` rows, at least 2 (an odd count
        loses one path).
    seed : int, default 7
        Seed of the generator, 0 to 2**32 - 1.

    Returns
    -------
    ndarray of float64, shape (rows, max(steps, 1) + 1)
        Row i is path i, column j the price at time ``j * tau / steps``;
        column 0 is ``s0``.
    """
    return _kernels.gbm_paths_antithetic(s0, r, q, sigma, tau, steps, paths, seed)


@fill
def lsm_backward(
    paths: Array2D, strike: Float, r: Float, tau: Float, option_type: Int, degree: Int = 3
) -> LsmFit:
    """Longstaff-Schwartz price of an American option on simulated paths.

    Working back from the last date, the discounted cash flows of the
    in-the-money paths are regressed on powers of ``x = ln(S / strike)`` up
    to ``degree``; a path exercises where the exercise value beats the
    regression's continuation estimate. Date 0 is not an exercise date.

    Parameters
    ----------
    paths : array_like, shape (n, m)
        Prices, rows paths and columns dates equally spaced from 0 to ``tau``
        (the layout of :func:`gbm_paths_antithetic`).
    {{policy_args}}
    degree : int, default 3
        Highest power in the regression basis; negative counts as 0.

    Returns
    -------
    dict
        "price": float, the mean cash flow discounted to date 0.
        "exercise_time": ndarray of int32 (n,), each path's date index of its
        cash flow (m - 1 for paths held to the last date).
        "coefficients": ndarray (m, degree + 1), the regression coefficients
        per date (zeros where no regression ran), for :func:`lsm_eval_policy`.

    Raises
    ------
    RuntimeError
        "paths must be a 2D array".
    """
    return _kernels.lsm_backward(paths, strike, r, tau, option_type, degree)


@fill
def lsm_eval_policy(
    paths: Array2D, strike: Float, r: Float, tau: Float, option_type: Int, coefficients: Array2D
) -> LsmEvaluation:
    """Price of a fitted Longstaff-Schwartz exercise policy on other paths.

    Each path exercises at the first date where the exercise value beats the
    continuation estimate given by ``coefficients`` (from
    :func:`lsm_backward`); an out-of-sample, low-biased price.

    Parameters
    ----------
    paths : array_like, shape (n, m)
        Fresh paths in the layout of :func:`gbm_paths_antithetic`.
    {{policy_args}}
    coefficients : array_like, shape (m, nb)
        Regression coefficients per date, as "coefficients" of
        :func:`lsm_backward`.

    Returns
    -------
    dict
        "price": float, the mean discounted cash flow. "exercise_time":
        ndarray of int32 (n,), each path's exercise date index.

    Raises
    ------
    RuntimeError
        "paths and coefficients must be 2D arrays".
    """
    return _kernels.lsm_eval_policy(paths, strike, r, tau, option_type, coefficients)


@fill
def fft_prices(
    model_id: Int, params: Array1D, s: Float, r: Float, q: Float, tau: Float, alpha: Float = 1.5,
    n: Int = 256, eta: Float = 0.25, option_type: Int = 1,
) -> FftPrices:  # fmt: skip
    """European prices on a grid of strikes by the Carr-Madan FFT.

    The damped call ``exp(alpha * ln K) * C(K)`` is inverted by one radix-2
    FFT of ``N`` points, the smallest power of two >= max(n, 16), on a
    log-strike grid of spacing ``2 * pi / (N * eta)`` centred on ``ln s``
    (index N // 2 is the strike ``s``). Puts follow by put-call parity.

    Parameters
    ----------
    {{model_params}}
    {{spot_rates}}
    tau : float
        Time to expiry in years.
    alpha : float, default 1.5
        Damping exponent of the call transform.
    n : int, default 256
        Requested grid size, rounded up to a power of two of at least 16.
    eta : float, default 0.25
        Frequency spacing of the integration grid.
    option_type : int, default 1
        > 0 call, <= 0 put.

    Returns
    -------
    dict
        "strikes": ndarray (N,), the strikes in ascending order.
        "prices": ndarray (N,), the price at each strike (calls floored at 0;
        far out-of-the-money puts may be slightly negative).

    {{model_table}}
    """
    return _kernels.fft_prices(model_id, params, s, r, q, tau, alpha, n, eta, option_type)


@fill
def direct_prices(
    model_id: Int, params: Array1D, strikes: Array1D, tau: Array1D, s: Float, r: Float, q: Float,
    n_terms: Int = 512, u_max: Float = 120.0, option_type: Int = 1,
) -> F64:  # fmt: skip
    """European prices by direct (Gil-Pelaez) integration of the characteristic function.

    The call is ``s e^(-q tau) P1 - K e^(-r tau) P2`` with the two exercise
    probabilities integrated by the midpoint rule on [0, u_max]; puts follow
    by put-call parity. Option m has strike ``strikes[m]`` and expiry
    ``tau[m]``.

    Parameters
    ----------
    {{model_params}}
    {{strikes_tau}}
    {{spot_rates}}
    n_terms : int, default 512
        Quadrature nodes (at least 64).
    u_max : float, default 120.0
        Upper end of the frequency range (at least 10).
    option_type : int, default 1
        > 0 call, <= 0 put.

    Returns
    -------
    ndarray of float64, shape (n,)
        One price per strike (calls floored at 0; puts by parity, not floored).

    {{strike_tau_error}}

    {{model_table}}
    """
    return _kernels.direct_prices(
        model_id, params, strikes, tau, s, r, q, n_terms, u_max, option_type
    )


@fill
def cos_prices(
    model_id: Int, params: Array1D, strikes: Array1D, tau: Array1D, s: Float, r: Float, q: Float,
    n_terms: Int = 256, truncation_width: Float = 10.0, option_type: Int = 1,
) -> F64:  # fmt: skip
    """European prices by the Fourier-cosine (COS) expansion.

    The density of ``ln(S_T / K)`` is expanded in ``max(n_terms, 8)`` cosine
    terms on an interval centred on the forward log-moneyness, of half-width
    ``truncation_width`` standard deviations (a model-based estimate over
    the option's life); calls and puts are priced from their own payoff
    coefficients. Option m has strike ``strikes[m]`` and expiry ``tau[m]``.

    Parameters
    ----------
    {{model_params}}
    {{strikes_tau}}
    {{spot_rates}}
    n_terms : int, default 256
        Cosine terms (at least 8).
    truncation_width : float, default 10.0
        Half-width of the expansion interval in standard deviations of the
        log price; wide intervals need more terms.
    option_type : int, default 1
        > 0 call, <= 0 put.

    Returns
    -------
    ndarray of float64, shape (n,)
        One price per strike; a negative price is floored at 0.

    {{strike_tau_error}}

    {{model_table}}

    Examples
    --------
    Heston calls with the default parameters (an empty ``params``):

    >>> import orvelta
    >>> print(orvelta.cos_prices(3, [], [90.0, 100.0, 110.0], [1.0, 1.0, 1.0], 100.0, 0.05, 0.02).round(4))
    [15.3086  8.6167  3.9606]
    """
    return _kernels.cos_prices(
        model_id, params, strikes, tau, s, r, q, n_terms, truncation_width, option_type
    )
