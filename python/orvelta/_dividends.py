"""Routing of the American functions to the engine for discrete dividends and
term structures (orvelta._engines._dividend_*): argument checks, the
dividend schedule, curves against per-option arrays, broadcasting."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engines
from ._arrays import Broadcast, FloatOrArray, numbers_array
from .curves import Curve

if TYPE_CHECKING:
    from ._engines import _DividendBatch

_R = TypeVar("_R")
_F64 = NDArray[np.float64]

_EMPTY = np.empty(0, dtype=np.float64)
_KINDS = ("cash", "proportional")


def wanted(r: Any, q: Any, sigma: Any, dividends: Any, dividend_kind: str, american: bool) -> bool:
    """True when the call needs the dividend engine (the flat, dividend-free
    American path is left exactly as it is otherwise)."""
    check_kind(dividend_kind)
    if not isinstance(american, (bool, np.bool_)):
        raise TypeError(f"american must be True or False, got {american!r}")
    return dividends is not None or not american or any(isinstance(x, Curve) for x in (r, q, sigma))


def check_kind(kind: str) -> None:
    if not isinstance(kind, str) or kind not in _KINDS:
        raise ValueError(f"dividend_kind must be 'cash' or 'proportional', got {kind!r}")


def schedule(
    dividends: ArrayLike | None, kind: str
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Times and amounts of an (n, 2) array-like of (time in years, amount) rows."""
    if dividends is None:
        return _EMPTY, _EMPTY
    d = numbers_array(dividends, "dividends")
    if d.size == 0:
        return _EMPTY, _EMPTY
    if d.ndim == 1 and d.size == 2:
        d = d.reshape(1, 2)
    if d.ndim != 2 or d.shape[1] != 2:
        raise ValueError(
            f"dividends must be an (n, 2) array of (time, amount) rows, got shape {d.shape}"
        )
    t, a = np.ascontiguousarray(d[:, 0]), np.ascontiguousarray(d[:, 1])
    if np.any(np.isnan(t)) or np.any(np.isinf(t)):
        raise ValueError("dividend times must be finite")
    if np.any(~np.isfinite(a)) or np.any(a < 0.0):
        raise ValueError("dividend amounts must be finite and non-negative")
    if kind == "proportional" and np.any(a > 1.0):
        raise ValueError("proportional dividends must be fractions in [0, 1]")
    return t, a


_CURVE = object()  # stands for an argument given as a Curve (passed whole, not broadcast)


def _split(x: Any) -> tuple[Any, NDArray[np.float64], NDArray[np.float64]]:
    """(array-like, or _CURVE for a curve; curve times; curve values)."""
    if isinstance(x, Curve):
        return _CURVE, np.ascontiguousarray(x.times), np.ascontiguousarray(x.values)
    return x, _EMPTY, _EMPTY


class _Args:
    """Broadcast per-option inputs; curves passed whole."""

    def __init__(
        self,
        per_option: dict[str, Any],
        curves: dict[str, tuple[NDArray[np.float64], NDArray[np.float64]]],
    ) -> None:
        self.names = [n for n, v in per_option.items() if v is not _CURVE]
        self.b = Broadcast(**{n: per_option[n] for n in self.names})
        self.curves = curves

    def f64(self, name: str) -> NDArray[np.float64]:
        return self.b.f64(name) if name in self.names else _EMPTY

    def kind(self, name: str) -> NDArray[np.float64]:
        return self.b.option_type(name)

    def market(self) -> tuple[_F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64]:
        """The engines' arguments from s to the yield: s, k, tau, option_type,
        then r and q, each followed by its curve's times and values."""
        return (
            self.f64("s"),
            self.f64("k"),
            self.f64("tau"),
            self.kind("option_type"),
            self.f64("r"),
            *self.curves["r"],
            self.f64("q"),
            *self.curves["q"],
        )


def _prepare(first: dict[str, Any], r: Any, q: Any, sigma: Any | None) -> _Args:
    r0, rt, rv = _split(r)
    q0, qt, qv = _split(q)
    per = dict(first)
    per.update(r=r0, q=q0)
    curves = {"r": (rt, rv), "q": (qt, qv)}
    if sigma is not None or "sigma_curve" not in first:
        s0, st, sv = _split(sigma)
        per["sigma"] = s0
        curves["sigma"] = (st, sv)
    per.pop("sigma_curve", None)
    return _Args(per, curves)


def run(
    engine: _DividendBatch[_R], s: Any, k: Any, r: Any, q: Any, sigma: Any, tau: Any,
    option_type: Any, tol: float, dividends: Any, kind: str, american: bool,
) -> tuple[Broadcast, _R]:  # fmt: skip
    """The checked, broadcast arguments and ``engine``'s flat result (price or Greeks)."""
    t, a = schedule(dividends, kind)
    x = _prepare(dict(s=s, k=k, tau=tau, option_type=option_type), r, q, sigma)
    sigmas = (x.f64("sigma"), *x.curves["sigma"])
    out = engine(*x.market(), *sigmas, t, a, kind == "proportional", bool(american), tol)
    return x.b, out


def implied_vol(
    price: Any, s: Any, k: Any, r: Any, q: Any, tau: Any, option_type: Any, tol: float,
    dividends: Any, kind: str, american: bool, vol_curve: Curve | None,
) -> FloatOrArray:  # fmt: skip
    t, a = schedule(dividends, kind)
    if vol_curve is not None and not isinstance(vol_curve, Curve):
        raise TypeError(f"vol_curve must be a Curve or None, got {type(vol_curve).__name__}")
    x = _prepare(
        dict(price=price, s=s, k=k, tau=tau, option_type=option_type, sigma_curve=True), r, q, None
    )
    st, sv = (
        (_EMPTY, _EMPTY)
        if vol_curve is None
        else (np.ascontiguousarray(vol_curve.times), np.ascontiguousarray(vol_curve.values))
    )
    out = _engines._dividend_implied_vol(
        x.f64("price"), *x.market(), st, sv, t, a, kind == "proportional", bool(american), tol
    )
    return x.b.result(out)
