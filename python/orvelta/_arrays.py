"""NumPy-style argument handling shared by the user-level API.

Every user-level function takes its numbers through this module, so that one
set of rules holds everywhere:

* Numbers: Python and NumPy integers, floats and booleans, and arrays or
  sequences of them (pandas Series included). ``None``, ``pd.NA`` (also in a
  nullable pandas column), strings,
  dates and times, complex numbers, object arrays holding anything but real
  numbers and structured arrays raise ``TypeError`` naming the argument.
  Masked arrays are refused (``TypeError``) rather than priced with their
  masks ignored: ``np.ma.filled(x, np.nan)`` prices the masked entries as NaN.
* ``option_type``: ``'call'`` or ``'put'`` (also ``'c'``, ``'p'``; any case,
  blanks around ignored) or a number, a call when the number is > 0 and a put
  otherwise; the comparison is made on the number itself, so no value wraps
  (``2**40`` is a call). A NaN option type gives NaN results.
* Array arguments broadcast against each other as NumPy does; the compiled
  engines see flat, C-contiguous float64 arrays (option types 1.0, 0.0, NaN);
  results take the broadcast shape, and all-scalar inputs give Python floats.
* ``tol`` is checked once, with one message.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

F64 = NDArray[np.float64]
FloatOrArray = float | F64

_CALL_WORDS = ("call", "c")
_PUT_WORDS = ("put", "p")


def _describe(value: Any) -> str:
    if value is None:
        return "None"
    text = repr(value)
    if len(text) > 40:
        text = text[:37] + "..."
    return f"{type(value).__name__} {text}"


def _refuse_masked(value: Any, name: str) -> None:
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(
            f"{name} is a masked array; masks are not honoured: pass np.ma.filled({name}, np.nan) "
            "to price the masked entries as NaN"
        )


def _is_real(x: Any) -> bool:
    return isinstance(x, numbers.Real) and not isinstance(x, (np.datetime64, np.timedelta64))


def _refuse_missing(value: Any, name: str) -> None:
    """pandas' nullable columns hand their missing values (pd.NA) to NumPy as
    NaN: refused as pd.NA itself is, rather than priced as NaN unseen."""
    dtype = getattr(value, "dtype", None)
    if dtype is not None and type(dtype).__module__.startswith("pandas") and hasattr(value, "isna"):
        if bool(np.asarray(value.isna()).any()):
            raise TypeError(
                f"{name} holds missing values (pd.NA): fill them first "
                f"(e.g. {name}.astype(float), which makes them NaN, priced as NaN)"
            )


def _as_array(value: Any, name: str, expected: str) -> NDArray[Any]:
    """np.asarray(value), or TypeError naming ``name`` and what it must be."""
    try:
        return np.asarray(value)
    except (ValueError, TypeError) as e:
        raise TypeError(f"{name} must be {expected}: {e}") from None


def numbers_array(value: Any, name: str) -> F64:
    """``value`` as a float64 array (any shape), or TypeError naming ``name``."""
    if type(value) is np.ndarray and value.dtype == np.float64:
        return value  # the common case, with nothing to check
    if type(value) is float:
        return np.asarray(value)
    _refuse_masked(value, name)
    _refuse_missing(value, name)
    if value is None or isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a number or an array of numbers, got {_describe(value)}")
    a = _as_array(value, name, "a number or an array of numbers")
    kind = a.dtype.kind
    if kind in "fiub":
        return np.asarray(a, dtype=np.float64)
    if kind == "O":
        flat = a.reshape(-1)
        for x in flat:
            if not _is_real(x):
                raise TypeError(f"{name} must hold numbers only, got {_describe(x)}")
        return np.array([float(x) for x in flat], dtype=np.float64).reshape(a.shape)
    what = {
        "c": "complex numbers",
        "M": "dates (datetime64)",
        "m": "time spans (timedelta64)",
        "U": "strings",
        "S": "bytes",
        "V": "a structured array",
    }.get(kind, f"dtype {a.dtype}")
    hint = " (times are in years)" if kind in "Mm" else ""
    raise TypeError(f"{name} must be a number or an array of numbers, got {what}{hint}")


def _word_type(word: str, name: str) -> float:
    """A word (call, c, put, p in any case) or a number written out (NumPy
    turns the numbers of a list mixing both into text)."""
    w = word.strip().lower()
    if w in _CALL_WORDS:
        return 1.0
    if w in _PUT_WORDS:
        return 0.0
    try:
        v = float(w)
    except ValueError:
        raise ValueError(
            f"{name} must be 'call', 'put' or a number (> 0 call), got {word!r}"
        ) from None
    return math.nan if math.isnan(v) else (1.0 if v > 0 else 0.0)


def option_type_array(value: Any, name: str = "option_type") -> F64:
    """Option types as float64: 1.0 call, 0.0 put, NaN where the type is NaN."""
    if type(value) is int:
        return np.asarray(1.0 if value > 0 else 0.0)
    if type(value) is str:
        return np.asarray(_word_type(value, name))
    _refuse_masked(value, name)
    _refuse_missing(value, name)
    if value is None:
        raise TypeError(f"{name} must be 'call', 'put' or a number (> 0 call), got None")
    if isinstance(value, (str, np.str_)):
        return np.asarray(_word_type(str(value), name))
    a = _as_array(value, name, "'call', 'put' or numbers")
    kind = a.dtype.kind
    if kind in "iub":
        return (a > 0).astype(np.float64)
    if kind == "f":
        return np.where(np.isnan(a), np.nan, (a > 0).astype(np.float64))
    if kind == "U":
        flat = [_word_type(str(w), name) for w in a.reshape(-1)]
        return np.array(flat, dtype=np.float64).reshape(a.shape)
    if kind == "O":
        out = []
        for x in a.reshape(-1):
            if isinstance(x, (str, np.str_)):
                out.append(_word_type(str(x), name))
            elif _is_real(x):
                v = (1.0 if int(x) > 0 else 0.0) if isinstance(x, numbers.Integral) else float(x)
                out.append(math.nan if math.isnan(v) else (1.0 if v > 0 else 0.0))
            else:
                raise TypeError(f"{name} must hold 'call', 'put' or numbers, got {_describe(x)}")
        return np.array(out, dtype=np.float64).reshape(a.shape)
    raise TypeError(f"{name} must be 'call', 'put' or a number (> 0 call), got dtype {a.dtype}")


def check_tol(tol: Any, name: str = "tol") -> float:
    """A tolerance: a positive finite number (``ValueError`` otherwise, one message everywhere)."""
    try:
        if tol is None or isinstance(tol, (str, bytes, bool, np.bool_)):
            raise TypeError
        value = float(tol)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a positive finite number, got {_describe(tol)}") from None
    if not value > 0.0 or not math.isfinite(value):
        raise ValueError(f"{name} must be a positive finite number, got {value!r}")
    return value


def check_count(value: Any, name: str, low: int, high: int | None = None) -> int:
    """An integer setting in [low, high]: ``TypeError`` for a non-integer (a
    float too, as NumPy does), ``ValueError`` outside the range."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {_describe(value)}")
    v = int(value)
    if v < low or (high is not None and v > high):
        where = f">= {low}" if high is None else f"in [{low}, {high}]"
        raise ValueError(f"{name} must be {where}, got {v}")
    return v


class Broadcast:
    """Checked inputs broadcast to one shape and flattened for a compiled batch call.

    Arguments are given by name (their order is kept); ``option_type`` is
    read with :func:`option_type_array`, every other one with
    :func:`numbers_array`.
    """

    __slots__ = ("shape", "scalar", "arrays", "nan_type")

    def __init__(self, **values: ArrayLike) -> None:
        if all(
            type(v) in (float, int) or (name == "option_type" and type(v) is str)
            for name, v in values.items()
        ):
            self._scalars(values)
            return
        # One pass: each input checked and converted, the distinct shapes of
        # the arrays among them gathered (a chain's call is a few arrays and
        # some Python numbers; its checks must not cost more than its price).
        arrays: dict[str, F64] = {}
        shapes: set[tuple[int, ...]] = set()
        nan_type: F64 | None = None
        for name, v in values.items():
            if name == "option_type":
                a = option_type_array(v, name)
                if a.ndim == 0:
                    if a != a:
                        nan_type = a
                elif np.isnan(a).any():
                    nan_type = a
            else:
                a = numbers_array(v, name)
            arrays[name] = a
            if a.ndim:
                shapes.add(a.shape)
        self.scalar = not shapes
        # The inputs are kept as given; f64 and compact broadcast them on use
        # (np.broadcast_arrays costs more than a small chain's price).
        try:
            self.shape: tuple[int, ...] = (
                next(iter(shapes), ()) if len(shapes) < 2 else np.broadcast_shapes(*shapes)
            )
        except ValueError:
            listed = ", ".join(f"{n} {a.shape}" for n, a in arrays.items())
            raise ValueError(f"the arguments do not broadcast to one shape: {listed}") from None
        self.arrays = arrays
        self.nan_type = None
        if nan_type is not None:
            self.nan_type = np.broadcast_to(np.isnan(nan_type), self.shape).reshape(-1)

    def _scalars(self, values: dict[str, Any]) -> None:
        """The common call on Python numbers: checked and converted without
        NumPy's general machinery (it costs more than a closed-form price)."""
        row = [
            _word_type(v, name)
            if name == "option_type" and type(v) is str
            else (1.0 if v > 0 else 0.0)
            if name == "option_type" and type(v) is int
            else (math.nan if math.isnan(v) else (1.0 if v > 0 else 0.0))
            if name == "option_type"
            else float(v)
            for name, v in values.items()
        ]
        flat = np.array(row, dtype=np.float64)
        self.scalar = True
        self.shape = ()
        self.arrays = {name: flat[i : i + 1] for i, name in enumerate(values)}
        ot = self.arrays.get("option_type")
        self.nan_type = np.isnan(ot) if ot is not None and math.isnan(ot[0]) else None

    def add_nan(self, mask: NDArray[np.bool_]) -> None:
        """Flat options whose results :meth:`result` sets to NaN."""
        self.nan_type = mask if self.nan_type is None else (self.nan_type | mask)

    def f64(self, name: str) -> F64:
        """Input ``name`` as a flat, C-contiguous float64 array."""
        a = self.arrays[name]
        if self.scalar and a.ndim == 1:
            return a  # already flat (the Python-number path)
        if a.ndim == 1 and a.shape == self.shape and a.flags.c_contiguous:
            return a  # already flat and float64 (numbers_array's result)
        if a.shape != self.shape:
            a = np.broadcast_to(a, self.shape)
        return np.ascontiguousarray(a, dtype=np.float64).reshape(-1)

    # Typed by length: mypy takes an unpacked tuple of unknown length to fill
    # every parameter, and refuses the arguments after it, as in
    # ``engine(*b.f64s(...), b.option_type(), tol)``.
    @overload
    def f64s(
        self, n1: str, n2: str, n3: str, n4: str, n5: str, /
    ) -> tuple[F64, F64, F64, F64, F64]: ...
    @overload
    def f64s(
        self, n1: str, n2: str, n3: str, n4: str, n5: str, n6: str, /
    ) -> tuple[F64, F64, F64, F64, F64, F64]: ...
    def f64s(self, *names: str) -> tuple[F64, ...]:
        """The inputs ``names``, in order, each as :meth:`f64` gives it."""
        return tuple(map(self.f64, names))

    def option_type(self, name: str = "option_type") -> F64:
        """Flat float64 option types for the engines: 1.0 call, 0.0 put, NaN
        (no price; :meth:`result` gives NaN there too)."""
        return self.f64(name)

    def compact(self, name: str) -> F64:
        """Input ``name`` flat, or as one value when it is the same everywhere
        (for engines that take one value or one per option)."""
        a = self.arrays[name]
        if self.scalar:
            return self.f64(name)
        if a.size == 1 and a.shape != self.shape and math.prod(self.shape) != 0:
            return np.asarray(a, dtype=np.float64).reshape(1)
        return self.f64(name)

    def compact_option_type(self, name: str = "option_type") -> F64:
        """As :meth:`option_type`, one value when it is the same everywhere."""
        return self.compact(name)

    def result(self, flat: NDArray[Any]) -> FloatOrArray:
        """A flat result back in the broadcast shape; a Python float for scalar
        inputs. Options whose type is NaN give NaN."""
        out = np.asarray(flat, dtype=np.float64).reshape(-1)
        if self.nan_type is not None:
            out = out.copy()
            out[self.nan_type] = np.nan
        if self.scalar:
            return float(out[0])
        return out.reshape(self.shape)
