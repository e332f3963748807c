"""Compiled pricing engines of Orvelta: accurate American and European prices (type information)."""

from typing import Protocol, TypedDict, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

_R_co = TypeVar("_R_co", covariant=True)

class EuropeanSettings(TypedDict):
    route: str
    a: float
    b: float
    terms: int

# European pricing (orvelta.european): params one row, or (two-dimensional) one
# row per option; s, r, q and option_type one value or one per option.
# The parameters of european_price without its defaults, which _european_greeks
# takes too; the type argument is the result.
class _EuropeanBatch(Protocol[_R_co]):
    def __call__(
        self, model_id: int, params: ArrayLike, strikes: ArrayLike, tau: ArrayLike, s: ArrayLike,
        r: ArrayLike, q: ArrayLike, option_type: ArrayLike, tol: float,
    ) -> _R_co: ...  # fmt: skip

def european_price(
    model_id: int, params: ArrayLike, strikes: ArrayLike, tau: ArrayLike, s: ArrayLike,
    r: ArrayLike, q: ArrayLike, option_type: ArrayLike = 1, tol: float = 1e-8,
) -> NDArray[np.float64]: ...  # fmt: skip
def _european_price_plain(
    model_id: int, params: NDArray[np.float64], k: object, tau: object, s: object, r: object,
    q: object, option_type: object, tol: float,
) -> float | NDArray[np.float64] | None: ...  # fmt: skip
def _european_greeks_plain(
    model_id: int, params: NDArray[np.float64], k: object, tau: object, s: object, r: object,
    q: object, option_type: object, tol: float,
) -> dict[str, float | NDArray[np.float64]] | None: ...  # fmt: skip

_european_greeks: _EuropeanBatch[dict[str, NDArray[np.float64]]]

def _european_price_sets(
    model_id: int, params: ArrayLike, strikes: ArrayLike, tau: ArrayLike, s: ArrayLike,
    r: ArrayLike, q: ArrayLike, option_type: ArrayLike = 1, tol: float = 1e-8,
    shared_settings: bool = False,
) -> NDArray[np.float64]: ...  # fmt: skip
def _european_settings(
    model_id: int, params: ArrayLike, tau: float, s: float, r: float, q: float, tol: float = 1e-8
) -> EuropeanSettings: ...
def implied_vol(
    price: ArrayLike, s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike,
) -> NDArray[np.float64]: ...  # fmt: skip
def _exponent(
    model_id: int, params: ArrayLike, u: ArrayLike, tau: float
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
def _characteristic_pair(
    model_id: int, params: ArrayLike, u: ArrayLike, s: float, r: float, q: float, tau: float
) -> tuple[NDArray[np.complex128], NDArray[np.complex128]]: ...
def _csv_lines(
    offsets: list[NDArray[np.int32]],
    data: list[NDArray[np.uint8]],
    floats: list[NDArray[np.float64]],
) -> bytes: ...
def _normalised_black(x: ArrayLike, v: ArrayLike) -> NDArray[np.float64]: ...
def _vector_math(
    x: ArrayLike, y: ArrayLike
) -> tuple[
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
]: ...

# Accurate American pricing (orvelta.american): flat float64 arrays of equal
# length, int32 option types (> 0 call).
# The parameters _american_price and _american_greeks share; the type argument
# is the result.
class _AmericanBatch(Protocol[_R_co]):
    def __call__(
        self, s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike,
        tau: ArrayLike, option_type: ArrayLike, tol: float,
    ) -> _R_co: ...  # fmt: skip

_american_price: _AmericanBatch[NDArray[np.float64]]
_american_greeks: _AmericanBatch[dict[str, NDArray[np.float64]]]

def _american_implied_vol(
    price: ArrayLike, s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, tol: float,
) -> NDArray[np.float64]: ...  # fmt: skip
def _american_price_scheme(
    s: ArrayLike, k: ArrayLike, r: ArrayLike, q: ArrayLike, sigma: ArrayLike, tau: ArrayLike,
    option_type: ArrayLike, nodes: int, quad: int, iterations: int, slow_iterations: int,
    premium: int,
) -> NDArray[np.float64]: ...  # fmt: skip
def _american_scheme(tol: float, strike: float) -> tuple[int, int, int, int, int]: ...
def _vector_kernels(
    x: ArrayLike, coef: ArrayLike, z: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]: ...
def _isa(name: str | None = None) -> str: ...
def _isas() -> list[str]: ...

# Discrete dividends and term structures (orvelta.american with dividends=,
# curves or american=False): per-option float64 arrays of equal length, or an
# empty array where the shared curve (times, values) is given instead.
# The parameters _dividend_price and _dividend_greeks share; the type argument
# is the result.
class _DividendBatch(Protocol[_R_co]):
    def __call__(
        self, s: ArrayLike, k: ArrayLike, tau: ArrayLike, option_type: ArrayLike,
        r: ArrayLike, r_times: ArrayLike, r_values: ArrayLike,
        q: ArrayLike, q_times: ArrayLike, q_values: ArrayLike,
        sigma: ArrayLike, sigma_times: ArrayLike, sigma_values: ArrayLike,
        div_times: ArrayLike, div_amounts: ArrayLike, proportional: bool, american: bool,
        tol: float,
    ) -> _R_co: ...  # fmt: skip

_dividend_price: _DividendBatch[NDArray[np.float64]]
_dividend_greeks: _DividendBatch[dict[str, NDArray[np.float64]]]

def _dividend_implied_vol(
    price: ArrayLike, s: ArrayLike, k: ArrayLike, tau: ArrayLike, option_type: ArrayLike,
    r: ArrayLike, r_times: ArrayLike, r_values: ArrayLike,
    q: ArrayLike, q_times: ArrayLike, q_values: ArrayLike,
    sigma_times: ArrayLike, sigma_values: ArrayLike,
    div_times: ArrayLike, div_amounts: ArrayLike, proportional: bool, american: bool,
    tol: float,
) -> NDArray[np.float64]: ...  # fmt: skip
def _dividend_price_levels(
    s: float, k: float, tau: float, option_type: int,
    r_times: ArrayLike, r_values: ArrayLike, q_times: ArrayLike, q_values: ArrayLike,
    sigma_times: ArrayLike, sigma_values: ArrayLike, div_times: ArrayLike, div_amounts: ArrayLike,
    proportional: bool, american: bool, points: int, steps: int, levels: int,
) -> tuple[float, float]: ...  # fmt: skip
