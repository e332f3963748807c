"""Pricing whole books of options held in CSV and Parquet files.

A book has one option per row, with the columns ``s, k, r, q, sigma, tau,
option_type`` (and optionally ``american``, and ``price`` for implied
volatilities). It is read, priced and written back chunk by chunk, so memory
stays flat whatever the book's length. Each row's price depends only on that
row (the engines price options independently), so the result is the same
whatever the chunking, locally or on a Dask cluster.

pyarrow and tqdm are optional (``pip install 'orvelta[io]'``); they are
imported only when a book is read or a progress bar is shown.
"""

from __future__ import annotations

import csv
import functools
import importlib
import os
import signal
import sys
import tempfile
import threading
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from types import ModuleType
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

from . import _engines

F64 = NDArray[np.float64]

MARKET = ("s", "k", "r", "q", "sigma", "tau")
GREEKS = ("delta", "gamma", "theta", "vega", "rho")
METHODS = ("tree", "accurate", "european")
MODELS = {"bs": 0, "merton": 1, "vg": 2, "heston": 3, "bates": 4}
TREE_TYPES = {"crr": 0, "tian": 1}

# Work per pricing call is bounded so that Ctrl-C and the progress bar are
# honoured between calls; slicing does not change any price.
_TREE_NODES_PER_CALL = 1_000_000_000
_ROWS_PER_CALL = 16_384
_CSV_BLOCK_BYTES = 1 << 20  # the CSV reader reads up to 32 blocks ahead
_PARQUET_BATCH_ROWS = 65_536


class BookError(ValueError):
    """Bad content of a book; the message names the file, line and column."""


class UsageError(ValueError):
    """A method or a combination of options that cannot price the book."""


def require(module: str, extra: str, who: str = "orvelta price") -> ModuleType:
    """Import an optional dependency, or fail with the extra that provides it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise ImportError(f"{who} needs {top}: pip install 'orvelta[{extra}]'") from None


def _pa() -> tuple[Any, Any]:
    pa = require("pyarrow", "io")
    pc = require("pyarrow.compute", "io")
    # Arrow's own SIGINT handler, installed around reads, can swallow a Ctrl-C;
    # with it off, Python's handler raises KeyboardInterrupt once the read returns.
    pa.enable_signal_handlers(False)
    return pa, pc


# --------------------------------------------------------------------------- methods


@dataclass(frozen=True)
class Method:
    """How a book is priced.

    Parameters
    ----------
    name : str
        ``"tree"`` (:func:`orvelta.american_tree_batch`, honouring a per-row
        ``american`` flag), ``"accurate"`` (:func:`orvelta.american_price`, with
        :func:`orvelta.american_greeks` and :func:`orvelta.american_implied_vol`)
        or ``"european"`` (:func:`orvelta.european_price`, and
        :func:`orvelta.implied_vol` for Black-Scholes implied volatilities).
    steps : int, optional
        Lattice steps of the tree (default 200). Tree only.
    tree_type : int, optional
        0 Cox-Ross-Rubinstein (default), 1 Tian. Tree only.
    tol : float, optional
        Absolute price tolerance of the accurate and European pricers
        (default: the pricer's own, 1e-8).
    model : str, optional
        European model: ``"bs"`` (default; each row's ``sigma``), ``"merton"``,
        ``"vg"``, ``"heston"`` or ``"bates"``.
    params : tuple of float, optional
        Model parameters for the models other than ``"bs"`` (default: the
        model's defaults).
    greeks : bool
        Add delta, gamma, theta, vega and rho (accurate method only).
    implied_vol : bool
        Add ``implied_vol`` from the book's ``price`` column.
    """

    name: str = "tree"
    steps: int | None = None
    tree_type: int | None = None
    tol: float | None = None
    model: str | None = None
    params: tuple[float, ...] | None = None
    greeks: bool = False
    implied_vol: bool = False

    def __post_init__(self) -> None:
        if self.name not in METHODS:
            raise UsageError(f"unknown method {self.name!r} (choose tree, accurate or european)")
        if self.name != "tree":
            for flag, value in (("--steps", self.steps), ("--tree-type", self.tree_type)):
                if value is not None:
                    raise UsageError(f"{flag} applies to --method tree only")
        if self.name != "european":
            for flag, given in (("--model", self.model is not None), ("--params", self.params is not None)):
                if given:
                    raise UsageError(f"{flag} applies to --method european only")
        if self.name == "tree":
            if self.tol is not None:
                raise UsageError("--tol applies to --method accurate and european")
            if self.greeks:
                raise UsageError("--greeks needs --method accurate (the lattice batch gives prices only)")
            if self.implied_vol:
                raise UsageError("--implied-vol needs --method accurate or european")
            if self.tree_type is not None and self.tree_type not in (0, 1):
                raise UsageError("--tree-type must be crr (0) or tian (1)")
        if self.tol is not None and not self.tol > 0:
            raise UsageError("--tol must be positive")
        if self.name == "european":
            if self.greeks:
                raise UsageError("--greeks needs --method accurate")
            if self.model is not None and self.model not in MODELS:
                raise UsageError(f"unknown model {self.model!r} (choose {', '.join(MODELS)})")
            if self.model_id == 0 and self.params is not None:
                raise UsageError("--model bs takes its volatility from the book's sigma column; "
                                 "--params is for the other models")
            if self.implied_vol and self.model_id != 0:
                raise UsageError("--implied-vol with --method european inverts Black-Scholes prices: "
                                 "use --model bs")

    @property
    def model_id(self) -> int:
        return MODELS[self.model or "bs"]

    @property
    def exercise(self) -> bool | None:
        """True or False when the method fixes the exercise style; None when each row chooses."""
        return None if self.name == "tree" else self.name == "accurate"

    def needs(self) -> tuple[str, ...]:
        """Input columns the method reads (``american`` is optional and not listed)."""
        uses_sigma = self.greeks or not self.implied_vol
        if self.name == "european" and self.model_id != 0:
            uses_sigma = False
        cols = [c for c in MARKET if c != "sigma" or uses_sigma] + ["option_type"]
        if self.implied_vol:
            cols.append("price")
        return tuple(cols)

    def outputs(self) -> tuple[str, ...]:
        """Columns the method adds, in order."""
        cols = [] if self.implied_vol else ["price"]
        if self.greeks:
            cols += GREEKS
        if self.implied_vol:
            cols.append("implied_vol")
        return tuple(cols)

    def rows_per_call(self) -> int:
        if self.name == "tree":
            steps = max(self.steps if self.steps is not None else 200, 2)
            return max(256, _TREE_NODES_PER_CALL // (steps * steps))
        return _ROWS_PER_CALL


def _engine(name: str) -> Callable[..., Any]:
    import orvelta

    fn = getattr(orvelta, name, None)
    if fn is None:
        raise UsageError(f"this build of orvelta has no {name}")
    return fn  # type: ignore[no-any-return]


def price_columns(cols: Mapping[str, NDArray[Any]], method: Method) -> dict[str, F64]:
    """Prices parsed book columns; returns the new columns in ``method.outputs()`` order.

    ``cols`` holds float64 arrays for the market columns (and ``price``), an
    int32 ``option_type`` and optionally a bool ``american``, all of one length.
    """
    out: dict[str, F64] = {}
    s, k, r, q, tau = (cols[c] for c in ("s", "k", "r", "q", "tau"))
    ot = cols["option_type"]
    if method.name == "tree":
        batch = _engine("american_tree_batch")
        kw = {"steps": 200 if method.steps is None else method.steps,
              "tree_type": 0 if method.tree_type is None else method.tree_type}
        sigma = cols["sigma"]
        am = cols.get("american")
        if am is None or bool(am.all()):
            price = batch(s, k, r, q, sigma, tau, ot, american=True, **kw)
        elif not am.any():
            price = batch(s, k, r, q, sigma, tau, ot, american=False, **kw)
        else:
            price = np.empty(len(s))
            for flag in (True, False):
                i = np.flatnonzero(am == flag)
                price[i] = batch(s[i], k[i], r[i], q[i], sigma[i], tau[i], ot[i], american=flag, **kw)
        out["price"] = np.asarray(price, dtype=np.float64)
        return out

    kw_tol = {} if method.tol is None else {"tol": method.tol}
    if method.name == "accurate":
        if method.greeks:
            g = _engine("american_greeks")(s, k, r, q, cols["sigma"], tau, ot, **kw_tol)
            for c in (("price",) if not method.implied_vol else ()) + GREEKS:
                out[c] = np.asarray(g[c], dtype=np.float64)
        elif not method.implied_vol:
            out["price"] = np.asarray(_engine("american_price")(s, k, r, q, cols["sigma"], tau, ot, **kw_tol),
                                      dtype=np.float64)
        if method.implied_vol:
            # --tol is a price tolerance; the volatility search keeps its own.
            iv = _engine("american_implied_vol")(cols["price"], s, k, r, q, tau, ot)
            out["implied_vol"] = np.asarray(iv, dtype=np.float64)
        return out

    if method.implied_vol:
        iv = _engine("implied_vol")(cols["price"], s, k, r, q, tau, ot)
        out["implied_vol"] = np.asarray(iv, dtype=np.float64)
        return out
    out["price"] = _european_by_group(cols, method, kw_tol)
    return out


def _european_by_group(cols: Mapping[str, NDArray[Any]], method: Method, kw_tol: dict[str, float]) -> F64:
    """European prices, one call per (s, r, q, option type[, sigma]) group of rows."""
    fn = _engine("european_price")
    n = len(cols["s"])
    price = np.empty(n)
    if n == 0:
        return price
    call = (cols["option_type"] > 0).astype(np.float64)
    keys = [cols["s"], cols["r"], cols["q"], call]
    if method.model_id == 0:
        keys.append(cols["sigma"])
    _, inverse = np.unique(np.stack(keys, axis=1), axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    order = np.argsort(inverse, kind="stable")
    bounds = np.flatnonzero(np.diff(inverse[order])) + 1
    k, tau = cols["k"], cols["tau"]
    for rows in np.split(order, bounds):
        i0 = int(rows[0])
        params = [float(cols["sigma"][i0])] if method.model_id == 0 else list(method.params or ())
        res = fn(method.model_id, np.asarray(params, dtype=np.float64), k[rows], tau[rows],
                 float(cols["s"][i0]), float(cols["r"][i0]), float(cols["q"][i0]),
                 option_type=int(call[i0]), **kw_tol)
        price[rows] = res
    return price


# --------------------------------------------------------------------------- parsing


Where = Callable[[int], str]


def _bad(where: Where, i: int, column: str, what: str) -> BookError:
    return BookError(f"{where(i)}, column {column}: {what}")


def _cell(arr: Any, i: int) -> str:
    v = arr[i].as_py()
    return repr(v) if isinstance(v, str) else str(v)


def _first_failing(arr: Any, convert: Callable[[Any], Any]) -> int:
    """Index of the first element that ``convert`` refuses, by bisection (arr as a whole fails)."""
    pa, _ = _pa()
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
    pa, pc = _pa()
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
    pa, _ = _pa()
    data = value.encode()
    offsets = np.array([0, len(data)], dtype=np.int32)
    return pa.StringArray.from_buffers(1, pa.py_buffer(offsets), pa.py_buffer(data))[0]


def _is_one_of(words: Any, choices: tuple[str, ...]) -> NDArray[np.bool_]:
    _, pc = _pa()
    hit = np.zeros(len(words), dtype=bool)
    for c in choices:
        hit |= _mask(pc.equal(words, _text(c)))
    return hit


def _floats(arr: Any, column: str, where: Where) -> F64:
    pa, pc = _pa()
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


def _option_types(arr: Any, where: Where) -> NDArray[np.int32]:
    pa, pc = _pa()
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
    pa, pc = _pa()
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
    pa, pc = _pa()
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


# --------------------------------------------------------------------------- files


def book_format(path: str) -> str:
    """``"parquet"`` or ``"csv"``, from the name or, failing that, the first bytes."""
    low = path.lower()
    if low.endswith((".parquet", ".pq", ".parq")):
        return "parquet"
    if low.endswith((".csv", ".txt")):
        return "csv"
    try:
        with open(path, "rb") as f:
            return "parquet" if f.read(4) == b"PAR1" else "csv"
    except OSError:
        return "csv"


class _Reader:
    """Record batches of a book with the names, row count and places for messages."""

    names: list[str]
    total: int | None

    def __init__(self, path: str, fmt: str) -> None:
        self.path, self.fmt, self.label = path, fmt, os.path.basename(path) or path
        self.rows = 0  # rows handed out so far
        self.size = os.path.getsize(path)
        pa, _ = _pa()
        if fmt == "parquet":
            pq = require("pyarrow.parquet", "io")
            try:
                self._pf = pq.ParquetFile(path)
            except pa.ArrowInvalid as e:
                raise BookError(f"{self.label}: not a Parquet file ({e})") from None
            self.names = list(self._pf.schema_arrow.names)
            self.schema = self._pf.schema_arrow
            self.total = self._pf.metadata.num_rows
        else:
            try:
                with open(path, newline="", encoding="utf-8-sig") as f:
                    header = next(csv.reader(f), None)
            except UnicodeDecodeError:
                raise BookError(f"{self.label}, line 1: not UTF-8 text") from None
            if not header:
                raise BookError(f"{self.label}, line 1: no header")
            self.names = [h.strip() for h in header]
            self.total = None

    @property
    def header_place(self) -> str:
        return f"{self.label}, line 1" if self.fmt == "csv" else self.label

    def where_from(self, first: int) -> Where:
        """Place of row ``first + i`` (0-based data row) for messages."""
        if self.fmt == "csv":
            return lambda i: f"{self.label}, line {first + i + 2}"
        return lambda i: f"{self.label}, row {first + i + 1}"

    def batches(self) -> Iterator[Any]:
        pa, pc = _pa()
        if self.fmt == "parquet":
            for b in self._pf.iter_batches(batch_size=_PARQUET_BATCH_ROWS):
                self.rows += b.num_rows
                yield b
            return
        pcsv = require("pyarrow.csv", "io")
        # Read through a Python file: given a path, Arrow's own file reads keep
        # memory that grows with the length of the book.
        with open(self.path, "rb") as f:
            try:
                reader = self._open_csv(f, pa, pcsv)
            except pa.ArrowInvalid as e:
                raise self._csv_error(e) from None
            while True:
                try:
                    b = reader.read_next_batch()
                except StopIteration:
                    return
                except pa.ArrowInvalid as e:
                    raise self._csv_error(e) from None
                self.rows += b.num_rows
                yield b

    def _open_csv(self, f: IO[bytes], pa: Any, pcsv: Any) -> Any:
        return pcsv.open_csv(
            f,
            read_options=pcsv.ReadOptions(block_size=_CSV_BLOCK_BYTES, column_names=self.names, skip_rows=1),
            parse_options=pcsv.ParseOptions(ignore_empty_lines=False),
            convert_options=pcsv.ConvertOptions(column_types={n: pa.string() for n in self.names},
                                                strings_can_be_null=False, quoted_strings_can_be_null=False),
        )

    def csv_bytes(self, batch: Any) -> int:
        """Bytes of a CSV batch as it stood in the file (quotes and CR aside)."""
        _, pc = _pa()
        total = int(batch.num_rows) * int(batch.num_columns)
        for col in batch.columns:
            total += int(pc.sum(pc.binary_length(col)).as_py() or 0)
        return total

    def _csv_error(self, e: Exception) -> BookError:
        """Names the line of a malformed CSV row, found by a plain rescan of the file."""
        n = len(self.names)
        with open(self.path, newline="", encoding="utf-8-sig", errors="replace") as f:
            rows = csv.reader(f)
            next(rows, None)
            for row in rows:
                if len(row) != n:
                    return BookError(f"{self.label}, line {rows.line_num}: expected {n} fields, found {len(row)}")
        return BookError(f"{self.label}, after line {self.rows + 1}: {e}")


def _arrow_floats(values: NDArray[Any]) -> Any:
    """A float64 Arrow array over a NumPy array's memory (no pandas look-up)."""
    pa, _ = _pa()
    v = np.ascontiguousarray(values, dtype=np.float64)
    return pa.Array.from_buffers(pa.float64(), len(v), [None, pa.py_buffer(v)])


def _csv_name(name: str) -> str:
    return '"' + name.replace('"', '""') + '"' if any(ch in name for ch in '",\r\n') else name


class _CsvWriter:
    def __init__(self, f: IO[bytes], names: list[str]) -> None:
        self.f = f
        self.f.write((",".join(_csv_name(n) for n in names) + "\n").encode())

    def write(self, text_cols: list[Any], float_cols: list[F64]) -> None:
        """Appends the rows: each text column's cells as they came (quoted
        where needed), then the float columns in their shortest exact text."""
        pa, _ = _pa()
        offsets, data = [], []
        for col in text_cols:
            if isinstance(col, pa.ChunkedArray):
                col = col.combine_chunks()
            n = len(col)
            buffers = col.buffers()
            offsets.append(np.frombuffer(buffers[1], dtype=np.int32)[col.offset:col.offset + n + 1])
            data.append(np.frombuffer(buffers[2], dtype=np.uint8) if buffers[2] is not None
                        else np.zeros(0, dtype=np.uint8))
        self.f.write(_engines._csv_lines(offsets, data, [np.ascontiguousarray(c, dtype=np.float64)
                                                          for c in float_cols]))


class AtomicOutput:
    """A file written under a temporary name in its folder and renamed only when complete."""

    def __init__(self, path: str) -> None:
        self.path = path
        folder = os.path.dirname(os.path.abspath(path))
        fd, self.tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".part", dir=folder)
        self.file: IO[bytes] = os.fdopen(fd, "wb")

    def commit(self) -> None:
        self.file.close()
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(self.tmp, 0o666 & ~umask)
        os.replace(self.tmp, self.path)

    def discard(self) -> None:
        try:
            self.file.close()
        finally:
            try:
                os.unlink(self.tmp)
            except FileNotFoundError:
                pass


# --------------------------------------------------------------------------- driver


class _Progress:
    """tqdm bar of rows on standard error, or nothing."""

    def __init__(self, enabled: bool, total: int | None) -> None:
        self.bar: Any = None
        if enabled:
            tqdm = require("tqdm", "io").tqdm
            self.bar = tqdm(total=total, unit=" rows", unit_scale=True, file=sys.stderr,
                            dynamic_ncols=True, smoothing=0.05, mininterval=0.2)

    def update(self, rows: int, estimated_total: int | None = None) -> None:
        if self.bar is not None:
            if estimated_total is not None:
                self.bar.total = estimated_total
            self.bar.update(rows)

    def close(self, done: int) -> None:
        if self.bar is not None:
            self.bar.total = done
            self.bar.refresh()
            self.bar.close()


class _Interrupts:
    """Ctrl-C raises KeyboardInterrupt and is also remembered, so that one
    swallowed on the way (pyarrow hides some that land in a lazy import) still
    stops the run at the next slice."""

    def __init__(self) -> None:
        self.seen = False
        self.previous: Any = None

    def __enter__(self) -> _Interrupts:
        if threading.current_thread() is threading.main_thread() and \
                signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self.previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def _handler(self, signum: int, frame: Any) -> None:
        self.seen = True
        raise KeyboardInterrupt

    def check(self) -> None:
        if self.seen:
            raise KeyboardInterrupt

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)


def _slices(n: int, size: int) -> Iterator[tuple[int, int]]:
    for start in range(0, n, size):
        yield start, min(n, start + size)


def _take(cols: Mapping[str, NDArray[Any]], a: int, b: int) -> dict[str, NDArray[Any]]:
    return {c: v[a:b] for c, v in cols.items()}


def price_book(src: str, dst: str, method: Method, *, progress: bool = False,
               scheduler: str | None = None) -> int:
    """Prices the book ``src`` into ``dst`` (same format); returns the number of rows.

    Raises BookError for bad content, UsageError for an impossible request,
    ImportError for a missing optional dependency. On any exception, including
    KeyboardInterrupt, ``dst`` is left as it was and no partial file remains.
    """
    with _Interrupts() as stop:
        return _price_book(src, dst, method, progress, scheduler, stop)


def _price_book(src: str, dst: str, method: Method, progress: bool, scheduler: str | None,
                stop: _Interrupts) -> int:
    fmt = book_format(src)
    other = book_format(dst) if dst.lower().endswith((".csv", ".txt", ".parquet", ".pq", ".parq")) else fmt
    if other != fmt:
        raise UsageError(f"the output is written in the book's format ({fmt}); name it accordingly")
    if os.path.exists(dst) and os.path.samefile(src, dst):
        raise UsageError("the output would overwrite the book")
    reader = _Reader(src, fmt)
    check_header(reader.names, method, reader.header_place)
    new = list(method.outputs())
    out = AtomicOutput(dst)
    bar: _Progress | None = None
    pool: _Local | _Pool | None = None
    pw: Any = None
    try:
        pool = _Pool(scheduler, method) if scheduler else _Local(method)
        bar = _Progress(progress, reader.total)
        if fmt == "csv":
            cw = _CsvWriter(out.file, reader.names + new)

            def write(batch: Any, prices: dict[str, F64]) -> None:
                cw.write(list(batch.columns), [prices[c] for c in new])
        else:
            pa, _ = _pa()
            pq = require("pyarrow.parquet", "io")
            schema = reader.schema
            for c in new:
                schema = schema.append(pa.field(c, pa.float64()))
            pw = pq.ParquetWriter(out.file, schema)

            held: list[Any] = []  # slices gathered into row groups of a sensible size

            def flush() -> None:
                if held:
                    pw.write_table(pa.Table.from_batches(held, schema=schema), row_group_size=1 << 20)
                    held.clear()

            def write(batch: Any, prices: dict[str, F64]) -> None:
                arrays = list(batch.columns) + [_arrow_floats(prices[c]) for c in new]
                held.append(pa.RecordBatch.from_arrays(arrays, schema=schema))
                if sum(b.num_rows for b in held) >= _PARQUET_BATCH_ROWS:
                    flush()

        step = method.rows_per_call()
        done = 0
        bytes_done = 0
        for batch in reader.batches():
            first = reader.rows - batch.num_rows
            cols = parse_columns(batch, method, reader.where_from(first))
            estimate = None
            if bar.bar is not None and fmt == "csv" and batch.num_rows:
                bytes_done += reader.csv_bytes(batch)
                estimate = max(reader.rows, int(reader.rows * reader.size / max(bytes_done, 1)))
            for a, b in _slices(batch.num_rows, step):
                for rows, part, prices in pool.submit(batch.slice(a, b - a), _take(cols, a, b)):
                    write(part, prices)
                    done += rows
                    bar.update(rows, estimate)
                    stop.check()
        for rows, part, prices in pool.drain():
            write(part, prices)
            done += rows
            bar.update(rows)
            stop.check()
        if fmt == "parquet":
            flush()
            pw.close()
        stop.check()
        out.commit()
        bar.close(done)
        return done
    except BaseException:
        if bar is not None and bar.bar is not None:
            bar.bar.close()
        if pw is not None:  # else its finaliser writes to the discarded file
            try:
                pw.close()
            except Exception:
                pass
        out.discard()
        raise
    finally:
        if pool is not None:
            pool.close()


class _Local:
    """Slices priced on one background thread (the engines release the
    interpreter lock), so that reading and writing overlap the pricing."""

    def __init__(self, method: Method, window: int = 4) -> None:
        self.method, self.window = method, window
        self.executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="orvelta-price")
        self.pending: deque[tuple[int, Any, Future[dict[str, F64]]]] = deque()

    def submit(self, part: Any, cols: dict[str, NDArray[Any]]) -> Iterator[tuple[int, Any, dict[str, F64]]]:
        self.pending.append((part.num_rows, part, self.executor.submit(price_columns, cols, self.method)))
        while len(self.pending) > self.window:
            rows, p, f = self.pending.popleft()
            yield rows, p, f.result()

    def drain(self) -> Iterator[tuple[int, Any, dict[str, F64]]]:
        while self.pending:
            rows, p, f = self.pending.popleft()
            yield rows, p, f.result()

    def close(self) -> None:
        self.executor.shutdown(wait=False, cancel_futures=True)


class _Pool:
    """Slices of a book priced on a Dask cluster, a bounded number in flight, in order."""

    def __init__(self, address: str, method: Method) -> None:
        distributed = require("distributed", "dask")
        try:
            self.client = distributed.Client(address, timeout="15s")
        except (OSError, ValueError) as e:
            raise UsageError(f"cannot reach the Dask scheduler at {address}: {e}") from None
        self.method = method
        workers = max(1, len(self.client.scheduler_info().get("workers", {})))
        self.window = 2 * workers
        self.pending: deque[tuple[int, Any, Any]] = deque()

    def submit(self, part: Any, cols: dict[str, NDArray[Any]]) -> Iterator[tuple[int, Any, dict[str, F64]]]:
        fut = self.client.submit(price_columns, cols, self.method, pure=False)
        self.pending.append((part.num_rows, part, fut))
        while len(self.pending) > self.window:
            rows, p, f = self.pending.popleft()
            yield rows, p, f.result()

    def drain(self) -> Iterator[tuple[int, Any, dict[str, F64]]]:
        while self.pending:
            rows, p, f = self.pending.popleft()
            yield rows, p, f.result()

    def close(self) -> None:
        for _, _, f in self.pending:
            f.cancel()
        self.client.close()


# --------------------------------------------------------------------------- sample books


def sample_book(n: int, dst: str, seed: int = 0, chunk: int = 1 << 18) -> None:
    """Writes a random book of ``n`` valid options (CSV or Parquet, by the name of ``dst``)."""
    pa, _ = _pa()
    rng = np.random.default_rng(seed)
    fmt = "parquet" if dst.lower().endswith((".parquet", ".pq", ".parq")) else "csv"
    names = ["s", "k", "r", "q", "sigma", "tau", "option_type"]
    out = AtomicOutput(dst)
    pw: Any = None
    try:
        pq: Any = None
        cw: _CsvWriter | None = None
        if fmt == "parquet":
            pq = require("pyarrow.parquet", "io")
            schema = pa.schema([pa.field(c, pa.float64()) for c in names[:-1]] + [pa.field("option_type", pa.int32())])
            pw = pq.ParquetWriter(out.file, schema)
        else:
            cw = _CsvWriter(out.file, names)
        for a, b in _slices(n, chunk):
            m = b - a
            cols = [np.round(rng.uniform(50, 150, m), 2), np.round(rng.uniform(50, 150, m), 2),
                    np.round(rng.uniform(0.0, 0.08, m), 4), np.round(rng.uniform(0.0, 0.05, m), 4),
                    np.round(rng.uniform(0.1, 0.6, m), 4), np.round(rng.uniform(0.05, 3.0, m), 4)]
            ot = rng.integers(0, 2, m).astype(np.int32)
            if pw is not None:
                pw.write_batch(pa.RecordBatch.from_arrays([pa.array(c) for c in cols] + [pa.array(ot)], schema=schema))
            else:
                assert cw is not None
                cw.write([], cols + [ot.astype(np.float64)])  # whole numbers print as "0" and "1"
        if pw is not None:
            pw.close()
        out.commit()
    except BaseException:
        if pw is not None:
            try:
                pw.close()
            except Exception:
                pass
        out.discard()
        raise
