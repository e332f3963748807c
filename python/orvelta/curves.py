"""Term structures: piecewise-constant forward curves of a rate, a dividend
yield or a volatility, accepted wherever the American functions take ``r``,
``q`` or ``sigma``."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["Curve"]


class Curve:
    """Piecewise-constant forward curve over time in years from today.

    ``values[i]`` holds on the interval ``(times[i-1], times[i]]`` (from 0 for
    the first value) and the last value holds beyond the last time, so a
    curve of one knot is flat. A rate curve gives instantaneous forward rates
    (continuously compounded, per year): the discount factor to ``t`` is
    ``exp(-integral of r from 0 to t)``; a volatility curve gives the local
    volatility of each interval (per square-root year). Negative rates and
    yields are allowed.

    Parameters
    ----------
    times : array_like
        One-dimensional, finite, non-negative and strictly increasing knot
        times, in years.
    values : array_like
        One value per knot, finite.

    Raises
    ------
    ValueError
        For no knots, a length mismatch, unsorted, repeated, negative or
        non-finite times, non-finite values, or arrays of more than one
        dimension.

    Examples
    --------
    >>> Curve([0.5, 1.0], [0.03, 0.04])(0.75)
    0.04

    Curves are immutable: their arrays are read-only copies.
    """

    __slots__ = ("_times", "_values")

    _times: NDArray[np.float64]
    _values: NDArray[np.float64]

    def __init__(self, times: ArrayLike, values: ArrayLike) -> None:
        t = np.array(times, dtype=np.float64, copy=True)
        v = np.array(values, dtype=np.float64, copy=True)
        if t.ndim > 1 or v.ndim > 1:
            raise ValueError("Curve times and values must be one-dimensional")
        t, v = t.reshape(-1), v.reshape(-1)
        if t.size == 0:
            raise ValueError("Curve needs at least one knot")
        if t.size != v.size:
            raise ValueError(
                f"Curve needs as many values as times, got {t.size} times and {v.size} values"
            )
        if not np.all(np.isfinite(t)) or np.any(t < 0.0):
            raise ValueError("Curve times must be finite and non-negative")
        if np.any(np.diff(t) <= 0.0):
            raise ValueError("Curve times must be strictly increasing")
        if not np.all(np.isfinite(v)):
            raise ValueError("Curve values must be finite")
        t.flags.writeable = False
        v.flags.writeable = False
        object.__setattr__(self, "_times", t)
        object.__setattr__(self, "_values", v)

    @property
    def times(self) -> NDArray[np.float64]:
        """Knot times in years (read-only)."""
        return self._times

    @property
    def values(self) -> NDArray[np.float64]:
        """Value of each interval (read-only)."""
        return self._values

    def __call__(self, t: float) -> float:
        """Value at time ``t``: ``values[i]`` for ``times[i-1] < t <= times[i]``."""
        i = int(np.searchsorted(self._times, float(t), side="left"))
        return float(self._values[min(i, self._values.size - 1)])

    def shifted(self, amount: float) -> Curve:
        """The curve with ``amount`` added to every value (a parallel shift)."""
        return Curve(self._times, self._values + float(amount))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Curve is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Curve is immutable")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Curve):
            return NotImplemented
        return bool(
            np.array_equal(self._times, other._times)
            and np.array_equal(self._values, other._values)
        )

    def __hash__(self) -> int:
        return hash((self._times.tobytes(), self._values.tobytes()))

    def __repr__(self) -> str:
        return f"Curve({self._times.tolist()!r}, {self._values.tolist()!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Curve, (self._times.copy(), self._values.copy()))


def flat(value: float) -> Curve:
    """A flat curve (one knot at 0)."""
    if not math.isfinite(value):
        raise ValueError("Curve values must be finite")
    return Curve([0.0], [value])
