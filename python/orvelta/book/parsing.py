"""Columns of a book read from Arrow record batches, checked and converted."""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .errors import BookError, arrow
from .methods import F64, Method

Where = Callable[[int], str]


def _bad(where: Where, i: int, column: str, what: str) -> BookError:
    return BookError(f"{where(i)}, column {column}: {what}")


def _cell(arr: Any, i: int) -> str:
    v = arr[i].as_py()
    return repr(v) if isinstance(v, str) else str(v)


def _first_failing(arr: Any, convert: Callable[[Any], Any]) -> int:
    """Index of the first element that ``convert`` refuses, by bisection (arr as a whole fails)."""
    pa, _ = arrow()
    lo, hi = 0, len(arr)  # arr[lo:hi] holds a failing element; arr[:lo] converts
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            convert(arr.slice(lo, mid - lo))
            lo = mid
        except (pa.ArrowInvalid, ValueError):
            hi = mid
    return lo


def _numbers(arr: Any) -> F64:
    """A null-free Arrow array as float64 NumPy, read from its buffer.

    (pyarrow's own conversion imports pandas, slowly, and that import can
    swallow a Ctrl-C.)"""
    pa, pc = arrow()
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.combine_chunks()
    if arr.type != pa.float64():
        arr = pc.cast(arr, pa.float64(), safe=False)
    return np.frombuffer(arr.buffers()[1], dtype=np.float64, count=len(arr), offset=8 * arr.offset).copy()


def _mask(arr: Any) -> NDArray[np.bool_]:
    """A null-free Arrow boolean array as NumPy."""
    return np.asarray(_numbers(arr) != 0, dtype=bool)


@functools.lru_cache(maxsize=None)
def _text(value: str) -> Any:
    """An Arrow string scalar built from buffers: pyarrow's conversion of a
    Python str looks pandas up, and importing pandas costs half a second."""
    pa, _ = arrow()
    data = value.encode()
    offsets = np.array([0, len(data)], dtype=np.int32)
    return pa.StringArray.from_buffers(1, pa.py_buffer(offsets), pa.py_buffer(data))[0]


def _is_one_of(words: Any, choices: tuple[str, ...]) -> NDArray[np.bool_]:
    _, pc = arrow()
    hit = np.zeros(len(words), dtype=bool)
    for c in choices:
        hit |= _mask(pc.equal(words, _text(c)))
    return hit


def _floats(arr: Any, column: str, where: Where) -> F64:
    pa, pc = arrow()
    if arr.null_count:
        i = int(np.flatnonzero(_mask(arr.is_null()))[0])
        raise _bad(where, i, column, "empty cell")
    t = arr.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        def convert(a: Any) -> Any:
            return pc.cast(a, pa.float64())

        try:
            out = convert(arr)  # the usual book: plain numbers, no blanks around them
        except pa.ArrowInvalid:
            out = None
        if out is None:
            text = pc.utf8_trim_whitespace(arr)
            try:
                out = convert(text)
            except pa.ArrowInvalid:
                out = None
        if out is None:
            i = _first_failing(text, convert)
            what = "empty cell" if text[i].as_py() == "" else f"{_cell(arr, i)} is not a number"
            raise _bad(where, i, column, what) from None
    elif pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t) or pa.types.is_boolean(t):
        out = arr
    else:
        raise _bad(where, 0, column, f"holds {t}, not numbers")
    return _numbers(out)


def _text_column(arr: Any, column: str, where: Where, empty_ok: bool = False) -> list[str]:
    """An Arrow column of names (text, or numbers read as their text), trimmed;
    an empty cell is refused unless ``empty_ok``."""
    pa, pc = arrow()
    if arr.null_count and not empty_ok:
        i = int(np.flatnonzero(_mask(arr.is_null()))[0])
        raise _bad(where, i, column, "empty cell")
    if not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
        arr = pc.cast(arr, pa.string())
    out = ["" if v is None else str(v).strip() for v in arr.to_pylist()]
    if not empty_ok:
        for i, v in enumerate(out):
            if not v:
                raise _bad(where, i, column, "empty cell")
    return out


def _option_types(arr: Any, where: Where) -> NDArray[np.int32]:
    pa, pc = arrow()
    t = arr.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        try:  # the usual book: numbers only
            out = _floats(arr, "option_type", where)
        except BookError:
            out = _named_option_types(arr, where)
    else:
        out = _floats(arr, "option_type", where)
    nan = np.flatnonzero(np.isnan(out))
    if nan.size:
        raise _bad(where, int(nan[0]), "option_type", f"{_cell(arr, int(nan[0]))} is not a number, 'call' or 'put'")
    return (out > 0).astype(np.int32)


def _named_option_types(arr: Any, where: Where) -> F64:
    """Option types given as words (call, c, put, p in any case) mixed with numbers."""
    pa, pc = arrow()
    word = pc.utf8_lower(pc.utf8_trim_whitespace(arr))
    is_call = _is_one_of(word, ("call", "c"))
    is_put = _is_one_of(word, ("put", "p"))
    out = is_call.astype(np.float64)
    rest = np.flatnonzero(~(is_call | is_put))
    if rest.size:
        try:
            out[rest] = _floats(arr.take(pa.array(rest)), "option_type", lambda j: where(int(rest[j])))
        except BookError as e:
            raise BookError(str(e) + ", 'call' or 'put'") from None
    return out


_TRUE = ("true", "t", "yes", "y", "1")
_FALSE = ("false", "f", "no", "n", "0")


def _flags(arr: Any, where: Where) -> NDArray[np.bool_]:
    pa, pc = arrow()
    if arr.null_count:
        i = int(np.flatnonzero(_mask(arr.is_null()))[0])
        raise _bad(where, i, "american", "empty cell")
    t = arr.type
    if pa.types.is_boolean(t) or pa.types.is_integer(t) or pa.types.is_floating(t):
        return _mask(arr)
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        word = pc.utf8_lower(pc.utf8_trim_whitespace(arr))
        yes = _is_one_of(word, _TRUE)
        no = _is_one_of(word, _FALSE)
        bad = np.flatnonzero(~(yes | no))
        if bad.size:
            i = int(bad[0])
            raise _bad(where, i, "american", f"{_cell(arr, i)} is not true or false")
        return yes
    raise _bad(where, 0, "american", f"holds {t}, not true or false")


def parse_columns(batch: Any, method: Method, where: Where) -> dict[str, NDArray[Any]]:
    """The columns ``method`` reads from an Arrow record batch, checked and converted."""
    names = batch.schema.names
    cols: dict[str, NDArray[Any]] = {}
    for c in method.needs():
        arr = batch.column(names.index(c))
        if c == "underlying":
            cols[c] = np.array(_text_column(arr, c, where), dtype=object)
        else:
            cols[c] = _option_types(arr, where) if c == "option_type" else _floats(arr, c, where)
    if "american" in names:
        am = _flags(batch.column(names.index("american")), where)
        if method.exercise is not None:
            wrong = np.flatnonzero(am != method.exercise)
            if wrong.size:
                style = "American" if method.exercise else "European"
                raise _bad(where, int(wrong[0]), "american",
                           f"{str(not method.exercise).lower()}, but --method {method.name} prices {style} "
                           "options only (--method tree honours the column)")
        else:
            cols["american"] = am
    if method.name != "tree" and "sigma" in cols:
        neg = np.flatnonzero(cols["sigma"] < 0)
        if neg.size:
            i = int(neg[0])
            raise _bad(where, i, "sigma", f"negative volatility {float(cols['sigma'][i])!r} "
                                          f"(--method {method.name} needs sigma >= 0)")
    return cols


def check_header(names: list[str], method: Method, where_header: str) -> None:
    """Refuses a header without the method's columns or with one it would add."""
    seen: set[str] = set()
    for n in names:
        if n in seen:
            raise BookError(f"{where_header}: column {n!r} appears twice")
        seen.add(n)
    missing = [c for c in method.needs() if c not in seen]
    if missing:
        word = "column" if len(missing) == 1 else "columns"
        raise BookError(f"{where_header}: missing {word} {', '.join(repr(c) for c in missing)}")
    clash = [c for c in method.outputs() if c in seen]
    if clash:
        hint = " (--implied-vol reads it as market prices)" if clash[0] == "price" else ""
        raise BookError(f"{where_header}: the book already has a column {clash[0]!r}, "
                        f"which this run would add{hint}")
