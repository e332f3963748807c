"""The driver of ``orvelta price``: a book read, priced and written slice by slice."""

from __future__ import annotations

import os
import signal
import sys
import threading
from collections.abc import Iterator, Mapping
from typing import Any

from numpy.typing import NDArray

from .errors import UsageError, arrow, require
from .executors import Executor, executor
from . import formats
from .formats import AtomicOutput, CsvWriter, Reader, arrow_floats, book_format
from .methods import F64, Method
from .parsing import check_header, parse_columns

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


def slices(n: int, size: int) -> Iterator[tuple[int, int]]:
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
    reader = Reader(src, fmt)
    check_header(reader.names, method, reader.header_place)
    new = list(method.outputs())
    out = AtomicOutput(dst)
    bar: _Progress | None = None
    pool: Executor | None = None
    pw: Any = None
    try:
        pool = executor(method, scheduler)
        bar = _Progress(progress, reader.total)
        if fmt == "csv":
            cw = CsvWriter(out.file, reader.names + new)

            def write(batch: Any, prices: dict[str, F64]) -> None:
                cw.write(list(batch.columns), [prices[c] for c in new])
        else:
            pa, _ = arrow()
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
                arrays = list(batch.columns) + [arrow_floats(prices[c]) for c in new]
                held.append(pa.RecordBatch.from_arrays(arrays, schema=schema))
                if sum(b.num_rows for b in held) >= formats.PARQUET_BATCH_ROWS:
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
            for a, b in slices(batch.num_rows, step):
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
