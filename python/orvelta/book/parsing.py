"""Columns of a book read from Arrow record batches, checked and converted.

Header names are matched without regard to case or surrounding blanks. A row
is bad when a cell it needs is empty or not a number (or not a call or put,
or not true or false), when a number is not finite, or when it lies outside
the domain every pricer shares: s > 0, k > 0, tau >= 0, sigma >= 0 and, for
implied volatilities, price >= 0. Each bad row is reported once, for its
first bad cell in column order.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .errors import BookError, arrow
from .methods import F64, Method

Where = Callable[[int], str]

# What a number cell may hold: Arrow's float syntax, blanks around allowed.
_NUMBER = re.compile(
    r"^\s*[+-]?(?:(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?|nan|inf|infinity)\s*$", re.I
)
_CELL_SHOWN = 40


def key(name: str) -> str:
    """A header name as the book's columns are matched: blanks stripped, lower case."""
    return name.strip().lower()


def column_index(names: Sequence[str]) -> dict[str, int]:
    """Matched name -> position (the first of equal names)."""
    out: dict[str, int] = {}
    for i, n in enumerate(names):
        out.setdefault(key(n), i)
    return out


def _cell(arr: Any, i: int) -> str:
    v = arr[i].as_py()
    if isinstance(v, str):
        if len(v) > _CELL_SHOWN:
            return repr(v[:_CELL_SHOWN]) + f"... ({len(v)} characters)"
        return repr(v)
    return str(v)


class Problems:
    """Bad rows of one batch: a mask, and the message of each bad row's first
    bad cell for the first ``limit`` of them."""

    def __init__(self, n: int, where: Where, limit: int) -> None:
        self.bad = np.zeros(n, dtype=bool)
        self.messages: dict[int, str] = {}
        self.where, self.limit = where, limit

    def add(self, mask: NDArray[np.bool_], column: str, what: Callable[[int], str]) -> None:
        new = np.flatnonzero(mask & ~self.bad)
        room = self.limit - len(self.messages)
        for i in new[: max(room, 0)]:
            self.messages[int(i)] = f"{self.where(int(i))}, column {column}: {what(int(i))}"
        self.bad |= mask

    def first(self) -> list[str]:
        """Messages in row order."""
        return [self.messages[i] for i in sorted(self.messages)]


@functools.cache
def _text(value: str) -> Any:
    """An Arrow string scalar built from buffers: pyarrow's conversion of a
    Python str looks pandas up, and importing pandas costs half a second."""
    pa, _ = arrow()
    data = value.encode()
    offsets = np.array([0, len(data)], dtype=np.int32)
    return pa.StringArray.from_buffers(1, pa.py_buffer(offsets), pa.py_buffer(data))[0]


def indices(rows: NDArray[np.integer[Any]]) -> Any:
    """Row numbers as an Arrow array built from their buffer (``pa.array``
    on a NumPy array imports pandas too)."""
    pa, _ = arrow()
    data = np.ascontiguousarray(rows, dtype=np.int64)
    return pa.Array.from_buffers(pa.int64(), len(data), [None, pa.py_buffer(data)])


def _numbers(arr: Any) -> F64:
    """A null-free Arrow array as float64 NumPy, read from its buffer.

    (pyarrow's own conversion imports pandas, slowly, and that import can
    swallow a Ctrl-C.)"""
    pa, pc = arrow()
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.combine_chunks()
    if arr.type != pa.float64():
        arr = pc.cast(arr, pa.float64(), safe=False)
    return np.frombuffer(
        arr.buffers()[1], dtype=np.float64, count=len(arr), offset=8 * arr.offset
    ).copy()


def _mask(arr: Any) -> NDArray[np.bool_]:
    """A null-free Arrow boolean array as NumPy."""
    return np.asarray(_numbers(arr) != 0, dtype=bool)


def _is_one_of(words: Any, choices: tuple[str, ...]) -> NDArray[np.bool_]:
    _, pc = arrow()
    hit = np.zeros(len(words), dtype=bool)
    for c in choices:
        hit |= _mask(pc.equal(words, _text(c)))
    return hit


def _nulls(arr: Any) -> NDArray[np.bool_]:
    return _mask(arr.is_null()) if arr.null_count else np.zeros(len(arr), dtype=bool)


def _floats(arr: Any, column: str, problems: Problems) -> F64:
    """A column's numbers; empty cells and text that is no number are bad
    rows (their values NaN)."""
    pa, pc = arrow()
    null = _nulls(arr)
    if null.any():
        problems.add(null, column, lambda i: "empty cell")
        arr = pc.fill_null(arr, _text("") if pa.types.is_string(arr.type) else 0)
    t = arr.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        try:
            return _numbers(
                pc.cast(arr, pa.float64())
            )  # the usual book: plain numbers, no blanks around them
        except pa.ArrowInvalid:
            pass
        text = pc.utf8_trim_whitespace(arr)
        try:
            return _numbers(pc.cast(text, pa.float64()))
        except pa.ArrowInvalid:
            pass
        cells = text.to_pylist()
        ok = np.array([bool(_NUMBER.match(c)) for c in cells], dtype=bool)
        empty = np.array([c == "" for c in cells], dtype=bool)
        problems.add(empty, column, lambda i: "empty cell")
        problems.add(~ok & ~empty, column, lambda i: f"{_cell(arr, i)} is not a number")
        out = np.full(len(cells), np.nan)
        if ok.any():
            good = np.flatnonzero(ok)
            out[good] = _numbers(pc.cast(text.take(indices(good)), pa.float64()))
        return out
    if (
        pa.types.is_integer(t)
        or pa.types.is_floating(t)
        or pa.types.is_decimal(t)
        or pa.types.is_boolean(t)
    ):
        out = _numbers(arr)
        out[null] = np.nan
        return out
    problems.add(np.ones(len(arr), dtype=bool), column, lambda i: f"holds {t}, not numbers")
    return np.full(len(arr), np.nan)


def names_column(arr: Any, column: str, problems: Problems, empty_ok: bool = False) -> list[str]:
    """A column of names (text, or numbers read as their text), trimmed; an
    empty cell is a bad row unless ``empty_ok``."""
    pa, pc = arrow()
    if not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
        arr = pc.cast(arr, pa.string())
    out = ["" if v is None else str(v).strip() for v in arr.to_pylist()]
    if not empty_ok:
        problems.add(np.array([not v for v in out], dtype=bool), column, lambda i: "empty cell")
    return out


def _option_types(arr: Any, problems: Problems) -> F64:
    """1.0 call, 0.0 put; NaN in bad rows. Words (call, c, put, p in any case)
    or numbers (> 0 call), one rule everywhere."""
    pa, pc = arrow()
    t = arr.type
    out = np.full(len(arr), np.nan)
    null = _nulls(arr)
    if null.any():
        problems.add(null, "option_type", lambda i: "empty cell")
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        filled = pc.fill_null(arr, _text("")) if null.any() else arr
        word = pc.utf8_lower(pc.utf8_trim_whitespace(filled))
        is_call = _is_one_of(word, ("call", "c"))
        is_put = _is_one_of(word, ("put", "p"))
        out[is_call] = 1.0
        out[is_put] = 0.0
        empty = _is_one_of(word, ("",)) & ~null
        problems.add(empty, "option_type", lambda i: "empty cell")
        rest = np.flatnonzero(~(is_call | is_put | empty) & ~null)
        if rest.size:
            text = pc.utf8_trim_whitespace(filled.take(indices(rest)))
            try:
                # The usual book: every type written as a number, read in one cast.
                out[rest] = _numbers(pc.cast(text, pa.float64()))
            except pa.ArrowInvalid:
                cells = text.to_pylist()
                ok = np.array([bool(_NUMBER.match(c)) for c in cells], dtype=bool)
                bad = np.zeros(len(arr), dtype=bool)
                bad[rest[~ok]] = True
                problems.add(
                    bad,
                    "option_type",
                    lambda i: f"{_cell(arr, i)} is not a number, 'call' or 'put'",
                )
                if ok.any():
                    good = rest[ok]
                    out[good] = _numbers(
                        pc.cast(text.take(indices(np.flatnonzero(ok))), pa.float64())
                    )
    elif (
        pa.types.is_integer(t)
        or pa.types.is_floating(t)
        or pa.types.is_decimal(t)
        or pa.types.is_boolean(t)
    ):
        out = _numbers(pc.fill_null(arr, 0) if null.any() else arr)
        out[null] = np.nan
    else:
        problems.add(
            np.ones(len(arr), dtype=bool), "option_type", lambda i: f"holds {t}, not numbers"
        )
    nan = np.isnan(out) & ~problems.bad
    problems.add(nan, "option_type", lambda i: f"{_cell(arr, i)} is not a number, 'call' or 'put'")
    # > 0 on the number itself: no value wraps
    return np.where(np.isnan(out), np.nan, (out > 0).astype(np.float64))


_TRUE = ("true", "t", "yes", "y", "1")
_FALSE = ("false", "f", "no", "n", "0")


def _flags(arr: Any, problems: Problems) -> NDArray[np.bool_]:
    pa, pc = arrow()
    null = _nulls(arr)
    if null.any():
        problems.add(null, "american", lambda i: "empty cell")
    t = arr.type
    if pa.types.is_boolean(t) or pa.types.is_integer(t) or pa.types.is_floating(t):
        return _mask(pc.fill_null(arr, 0) if null.any() else arr)
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        filled = pc.fill_null(arr, _text("")) if null.any() else arr
        word = pc.utf8_lower(pc.utf8_trim_whitespace(filled))
        yes = _is_one_of(word, _TRUE)
        no = _is_one_of(word, _FALSE)
        problems.add(
            ~(yes | no) & ~null, "american", lambda i: f"{_cell(arr, i)} is not true or false"
        )
        return yes
    problems.add(
        np.ones(len(arr), dtype=bool), "american", lambda i: f"holds {t}, not true or false"
    )
    return np.zeros(len(arr), dtype=bool)


# The domain every pricer shares: (column, test that holds for a good value, what a bad value is).
_DOMAIN: tuple[tuple[str, Callable[[F64], NDArray[np.bool_]], str], ...] = (
    ("s", lambda v: v > 0, "the spot must be positive"),
    ("k", lambda v: v > 0, "the strike must be positive"),
    ("sigma", lambda v: v >= 0, "negative volatility"),
    ("tau", lambda v: v >= 0, "negative time to expiry"),
    ("price", lambda v: v >= 0, "negative price"),
)


def _not_finite(arr: Any) -> Callable[[int], str]:
    return lambda i: f"{_cell(arr, i)} is not a finite number"


def _outside(values: F64, what: str) -> Callable[[int], str]:
    return lambda i: f"{what} ({float(values[i])!r})"


def parse_columns(
    batch: Any, method: Method, where: Where, limit: int = 20
) -> tuple[dict[str, NDArray[Any]], Problems]:
    """The columns ``method`` reads from an Arrow record batch, checked and
    converted, and the batch's bad rows (their entries NaN or False).

    The market columns (and ``price``) come as float64, ``option_type`` as
    int32 (1 call, 0 put) and, when the book has the column, ``american`` as
    bool."""
    index = column_index(batch.schema.names)
    problems = Problems(batch.num_rows, where, limit)
    cols: dict[str, NDArray[Any]] = {}
    types = None
    names: NDArray[Any] = np.empty(0, dtype=object)
    for c in method.needs():
        arr = batch.column(index[c])
        if c == "option_type":
            types = _option_types(arr, problems)
        elif c == "underlying":
            names = np.array(names_column(arr, c, problems), dtype=object)
        else:
            cols[c] = _floats(arr, c, problems)
    for c, values in list(cols.items()):
        problems.add(~problems.bad & ~np.isfinite(values), c, _not_finite(batch.column(index[c])))
    for c, good, what in _DOMAIN:
        if c in cols:
            problems.add(~problems.bad & ~good(cols[c]), c, _outside(cols[c], what))
    if "american" in index:
        am = _flags(batch.column(index["american"]), problems)
        if method.exercise is None or method.model_id == 0:
            cols["american"] = am
        else:
            problems.add(
                am & ~problems.bad,
                "american",
                lambda i: (
                    f"true, but --model {method.model} prices European options only "
                    "(American rows need --model bs)"
                ),
            )
            cols["american"] = am & False
    assert types is not None
    cols["option_type"] = np.where(np.isnan(types), 0, types).astype(np.int32)
    if "underlying" in method.needs():
        cols["underlying"] = names
    return cols, problems


def check_header(names: list[str], method: Method, where_header: str) -> list[str]:
    """The names of the columns the run adds; refuses a header without the
    method's columns or with a column it would add (names matched without
    regard to case or blanks)."""
    seen: set[str] = set()
    for n in names:
        if key(n) in seen:
            raise BookError(f"{where_header}: column {n!r} appears twice")
        seen.add(key(n))
    missing = [c for c in method.needs() if c not in seen]
    if missing:
        word = "column" if len(missing) == 1 else "columns"
        raise BookError(f"{where_header}: missing {word} {', '.join(repr(c) for c in missing)}")
    new = method.outputs(names)
    clash = [c for c in new if key(c) in seen]
    if clash:
        raise BookError(
            f"{where_header}: the book already has a column {clash[0]!r}, which this run would add"
        )
    return list(new)
