"""The five European models: names, parameter records and their domains.

A model is chosen by name or by its integer id, and its parameters are given
as the model's record, a mapping by field name, or a sequence in the record's
order:

* ``"black_scholes"`` or ``"bs"`` (id 0): sigma (0.2); sigma >= 0.
* ``"merton"`` (id 1): sigma (0.2), lam (0.3), mu_j (-0.05), delta_j (0.2);
  sigma, lam, delta_j >= 0.
* ``"variance_gamma"`` or ``"vg"`` (id 2): sigma (0.2), theta (-0.08),
  nu (0.2); sigma >= 0, nu > 0, 1 - theta nu - sigma^2 nu / 2 >= 1e-8.
* ``"heston"`` (id 3): v0 (0.04), kappa (2), theta (0.04), sigma_v (0.6),
  rho (-0.5); v0, kappa, theta, sigma_v >= 0, -1 <= rho <= 1.
* ``"bates"`` (id 4): v0, kappa, theta, sigma_v, rho (Heston's defaults),
  lam, mu_j, delta_j (Merton's); as Heston and Merton.

``lam`` is the jump intensity lambda (jumps per year), ``mu_j`` and
``delta_j`` the mean and standard deviation of the log jump; variance gamma's
``theta`` is the drift of its subordinated motion and ``nu`` the variance
rate of its clock; Heston's ``v0`` and ``theta`` are variances (initial and
long-run), ``kappa`` the speed of mean reversion, ``sigma_v`` the volatility
of variance and ``rho`` the correlation. The Feller condition need not hold.
Every parameter must be finite. Values are priced as given: no parameter
inside its domain is floored or clipped.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from ._arrays import numbers_array

__all__ = [
    "BlackScholes",
    "Merton",
    "VarianceGamma",
    "Heston",
    "Bates",
    "MODEL_NAMES",
    "resolve_model",
    "model_name",
]


class BlackScholes(NamedTuple):
    """Black-Scholes: lognormal with volatility ``sigma``."""

    sigma: float = 0.2


class Merton(NamedTuple):
    """Merton's jump diffusion: volatility ``sigma``, jumps at rate ``lam`` with
    normal log sizes of mean ``mu_j`` and standard deviation ``delta_j``."""

    sigma: float = 0.2
    lam: float = 0.3
    mu_j: float = -0.05
    delta_j: float = 0.2


class VarianceGamma(NamedTuple):
    """Variance gamma: ``sigma`` and drift ``theta`` of the Brownian motion run
    on a gamma clock with variance rate ``nu``."""

    sigma: float = 0.2
    theta: float = -0.08
    nu: float = 0.2


class Heston(NamedTuple):
    """Heston: variance starting at ``v0``, reverting at speed ``kappa`` to
    ``theta``, volatility of variance ``sigma_v``, correlation ``rho``."""

    v0: float = 0.04
    kappa: float = 2.0
    theta: float = 0.04
    sigma_v: float = 0.6
    rho: float = -0.5


class Bates(NamedTuple):
    """Bates: Heston's variance with Merton's jumps."""

    v0: float = 0.04
    kappa: float = 2.0
    theta: float = 0.04
    sigma_v: float = 0.6
    rho: float = -0.5
    lam: float = 0.3
    mu_j: float = -0.05
    delta_j: float = 0.2


ModelParams = BlackScholes | Merton | VarianceGamma | Heston | Bates

_RECORDS: tuple[type, ...] = (BlackScholes, Merton, VarianceGamma, Heston, Bates)
MODEL_NAMES = ("black_scholes", "merton", "variance_gamma", "heston", "bates")
_ALIASES = {"bs": 0, "vg": 2}

_NONNEG = (0.0, math.inf, True)
_ANY = (-math.inf, math.inf, True)
_CORR = (-1.0, 1.0, True)
_POS = (0.0, math.inf, False)  # lower end excluded
_DOMAINS: dict[str, tuple[float, float, bool]] = {
    "sigma": _NONNEG,
    "lam": _NONNEG,
    "mu_j": _ANY,
    "delta_j": _NONNEG,
    "nu": _POS,
    "v0": _NONNEG,
    "kappa": _NONNEG,
    "sigma_v": _NONNEG,
    "rho": _CORR,
}
# variance gamma's theta is a drift (any value); Heston's a variance.
_THETA = {2: _ANY, 3: _NONNEG, 4: _NONNEG}


# Per model id: (field, low, high, low end included) in the record's order.
_FIELD_DOMAINS: list[list[tuple[str, float, float, bool]]] = [
    [
        (f, *(_THETA[mid] if f == "theta" else _DOMAINS[f]))
        for f in rec._fields  # type: ignore[attr-defined]
    ]
    for mid, rec in enumerate(_RECORDS)
]


def _range_text(lo: float, hi: float, closed_low: bool) -> str:
    left = "[" if closed_low and math.isfinite(lo) else "("
    right = "]" if math.isfinite(hi) else ")"
    return f"{left}{_number_text(lo)}, {_number_text(hi)}{right}"


def _number_text(x: float) -> str:
    return "inf" if x == math.inf else ("-inf" if x == -math.inf else f"{x:g}")


def model_id(model: Any) -> int:
    """The integer id of a model given by name, id or record class."""
    if type(model) is str and model in MODEL_NAMES:
        return MODEL_NAMES.index(model)  # the common call, spelled as listed
    if isinstance(model, type) and model in _RECORDS:
        return _RECORDS.index(model)
    if isinstance(model, str):
        key = model.strip().lower().replace("-", "_").replace(" ", "_")
        if key in MODEL_NAMES:
            return MODEL_NAMES.index(key)
        if key in _ALIASES:
            return _ALIASES[key]
        raise ValueError(
            f"unknown model {model!r}: choose {', '.join(repr(n) for n in MODEL_NAMES)} "
            "(or 'bs', 'vg', or the ids 0 to 4)"
        )
    if isinstance(model, (int, np.integer)) and not isinstance(model, bool):
        if 0 <= int(model) < len(MODEL_NAMES):
            return int(model)
        raise ValueError(
            f"unknown model id {int(model)}: the ids are 0 (black_scholes), 1 (merton), "
            "2 (variance_gamma), 3 (heston) and 4 (bates)"
        )
    raise TypeError(
        f"model must be a model name or an integer id, got {type(model).__name__} {model!r}"
    )


def model_name(model: Any) -> str:
    return MODEL_NAMES[model_id(model)]


def resolve_model(model: Any, params: Any) -> tuple[int, NDArray[np.float64]]:
    """The model's id and its parameters as a checked float64 array, the first
    axis in the record's order.

    ``params`` may be None (the defaults), the model's record, a mapping by
    field name (missing fields take their defaults) or a sequence with one
    entry per field. Each field is a number, or an array that broadcasts with
    the market arguments (one model per option; the result then has the shape
    ``(fields, *shape)``). ``ValueError`` names the model, the parameter and
    its allowed range for a value outside the domain, and the fields for a
    wrong count; ``TypeError`` for values that are not numbers. A NaN is
    refused in a parameter shared by all options and gives NaN for its option
    in a per-option array.
    """
    mid = model_id(model)
    record = _RECORDS[mid]
    name = MODEL_NAMES[mid]
    fields: tuple[str, ...] = record._fields  # type: ignore[attr-defined]
    if (
        type(params) in (list, tuple)
        and len(params) == len(fields)
        and all(type(v) in (float, int) for v in params)
    ):
        values = np.array(params, dtype=np.float64)  # the common call: plain numbers, checked below
    elif params is None:
        values = np.array(record(), dtype=np.float64)
    elif isinstance(params, tuple) and hasattr(params, "_fields"):
        if type(params) is not record:
            raise ValueError(f"params is a {type(params).__name__} record but the model is {name}")
        values = _stack(
            [numbers_array(v, f"params.{f}") for f, v in zip(fields, params, strict=False)]
        )
    elif type(params) is not np.ndarray and isinstance(params, Mapping):
        unknown = [k for k in params if k not in fields]
        if unknown:
            raise ValueError(
                f"{name} has no parameter {unknown[0]!r} (its parameters: {', '.join(fields)})"
            )
        defaults = record()
        values = _stack(
            [
                numbers_array(params.get(f, defaults[i]), f"params[{f!r}]")
                for i, f in enumerate(fields)
            ]
        )
    else:
        values = numbers_array(params, "params")
        if values.ndim == 0:
            raise ValueError(
                f"params must be a sequence of {len(fields)} number{'s' if len(fields) > 1 else ''} "
                f"({', '.join(fields)}) for {name}, got one number"
            )
        if values.shape[0] != len(fields):
            raise ValueError(
                f"{name} takes {len(fields)} parameter{'s' if len(fields) > 1 else ''} "
                f"({', '.join(fields)}), got {values.shape[0]}"
            )
        values = np.ascontiguousarray(values, dtype=np.float64)
    shared = values.ndim == 1
    for (field, lo, hi, closed), v in zip(
        _FIELD_DOMAINS[mid], values.tolist() if shared else values, strict=False
    ):
        if shared:
            x = float(v)
            if math.isfinite(x) and (lo <= x if closed else lo < x) and x <= hi:
                continue
        ok = (lo <= v if closed else lo < v) & (v <= hi) & np.isfinite(v)
        if not shared:
            ok |= np.isnan(v)
        if not np.all(ok):
            bad = float(np.asarray(v).reshape(-1)[np.flatnonzero(~np.asarray(ok).reshape(-1))[0]])
            raise ValueError(
                f"{name} parameter {field} must lie in {_range_text(lo, hi, closed)}, got {bad!r}"
            )
    if mid == 2:
        sigma, theta, nu = values
        A = np.asarray(1.0 - theta * nu - 0.5 * sigma * sigma * nu)
        bad_a = ~(A >= 1e-8) & ~np.isnan(A)
        if np.any(bad_a):
            raise ValueError(
                "variance_gamma needs 1 - theta*nu - sigma^2*nu/2 >= 1e-8 (E[S_T] must exist), "
                f"got {float(A.reshape(-1)[np.flatnonzero(bad_a.reshape(-1))[0]])!r}"
            )
    return mid, values


def _stack(fields: list[NDArray[np.float64]]) -> NDArray[np.float64]:
    """Fields broadcast to one shape, stacked on a first axis."""
    if all(f.ndim == 0 for f in fields):
        return np.array([float(f) for f in fields], dtype=np.float64)
    try:
        shaped = np.broadcast_arrays(*fields)
    except ValueError:
        raise ValueError(
            "the parameter arrays do not broadcast to one shape: "
            + ", ".join(str(f.shape) for f in fields)
        ) from None
    return np.stack(shaped)


def as_record(model: Any, values: Any) -> ModelParams:
    """The parameter vector of a model as its record."""
    record = _RECORDS[model_id(model)]
    return record(*(float(v) for v in values))  # type: ignore[no-any-return]
