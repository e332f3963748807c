"""Compiled pricing engines of Orvelta: accurate American and European prices (type information)."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Accurate American pricing (orvelta.american): flat float64 arrays of equal
# length, int32 option types (> 0 call).
def _american_price(
    s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float,
) -> NDArray[np.float64]: ...
def _american_greeks(
    s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float,
) -> dict[str, NDArray[np.float64]]: ...
def _american_implied_vol(
    price: ArrayLike, s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float,
) -> NDArray[np.float64]: ...
def _american_price_scheme(
    s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, nodes: int, quad: int, iterations: int, slow_iterations: int,
    premium: int,
) -> NDArray[np.float64]: ...
def _american_scheme(tol: float, strike: float) -> tuple[int, int, int, int, int]: ...
