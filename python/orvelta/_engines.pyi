"""Compiled pricing engines of Orvelta: accurate American and European prices (type information)."""

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing import TypedDict

class EuropeanSettings(TypedDict):
    route: str
    a: float
    b: float
    terms: int

def european_price(model_id: int, params: ArrayLike, strikes: ArrayLike, tau: ArrayLike, s: float, r: float,
                   q: float, option_type: int = 1, tol: float = 1e-8) -> NDArray[np.float64]: ...
def _european_price_sets(model_id: int, params: ArrayLike, strikes: ArrayLike, tau: ArrayLike, s: float, r: float,
                         q: float, option_type: int = 1, tol: float = 1e-8) -> NDArray[np.float64]: ...
def _european_settings(model_id: int, params: ArrayLike, tau: float, s: float, r: float, q: float,
                       tol: float = 1e-8) -> EuropeanSettings: ...
def implied_vol(price: ArrayLike, s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, tau: ArrayLike,
                option_type: ArrayLike) -> NDArray[np.float64]: ...
def _characteristic_pair(model_id: int, params: ArrayLike, u: ArrayLike, s: float, r: float, q: float,
                         tau: float) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]: ...
def _normalised_black(x: ArrayLike, v: ArrayLike) -> NDArray[np.float64]: ...
