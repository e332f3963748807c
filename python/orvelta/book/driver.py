"""The driver of ``orvelta price``: a book read, priced and written slice by slice."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import formats
from .errors import BookError, Interrupts, UsageError, arrow, require
from .executors import Executor, executor
from .formats import AtomicOutput, CsvWriter, Reader, arrow_floats, book_format
from .methods import F64, Method
from .parsing import check_header, indices, parse_columns


class _Progress:
    """tqdm bar of rows on standard error, or nothing."""

    def __init__(self, enabled: bool, total: int | None) -> None:
        self.bar: Any = None
        if enabled:
            tqdm = require("tqdm", "io").tqdm
            self.bar = tqdm(
                total=total,
                unit=" rows",
                unit_scale=True,
                file=sys.stderr,
                dynamic_ncols=True,
                smoothing=0.05,
                mininterval=0.2,
            )

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


def slices(n: int, size: int) -> Iterator[tuple[int, int]]:
    for start in range(0, n, size):
        yield start, min(n, start + size)


def _take(cols: Mapping[str, NDArray[Any]], a: int, b: int) -> dict[str, NDArray[Any]]:
    return {c: v[a:b] for c, v in cols.items()}


# Bad rows listed on standard error at most.
BAD_ROWS_SHOWN = 20


@dataclass
class Summary:
    """What a run did: rows priced, rows with a NaN result, bad rows skipped
    (with the messages of the first ``BAD_ROWS_SHOWN``)."""

    priced: int = 0
    nan: int = 0
    skipped: int = 0
    bad: list[str] = field(default_factory=list)

    def line(self) -> str:
        rows = "row" if self.priced == 1 else "rows"
        text = f"{self.priced} {rows} priced, {self.nan} with a NaN result"
        if self.skipped:
            text += f", {self.skipped} bad {'row' if self.skipped == 1 else 'rows'} skipped"
        return text


def price_book(
    src: str,
    dst: str,
    method: Method,
    *,
    progress: bool = False,
    scheduler: str | None = None,
    skip_bad: bool = False,
) -> Summary:
    """Prices the book ``src`` into ``dst`` (same format); returns what it did.

    A bad row (a cell that is empty, not a number or out of the pricers'
    domain) stops the run after the book has been read on to collect up to
    ``BAD_ROWS_SHOWN`` of them: BookError lists them, and nothing is written.
    With ``skip_bad`` the good rows are priced and written, and the summary
    lists the bad ones. Raises UsageError for an impossible request,
    ImportError for a missing optional dependency. On any exception,
    including KeyboardInterrupt (and SIGTERM and SIGHUP, raised as
    :class:`Signalled`), ``dst`` is left as it was and no partial file
    remains (a device or FIFO written in place may have had part of the
    output).
    """
    with Interrupts() as stop:
        return _price_book(src, dst, method, progress, scheduler, stop, skip_bad)


def _price_book(
    src: str,
    dst: str,
    method: Method,
    progress: bool,
    scheduler: str | None,
    stop: Interrupts,
    skip_bad: bool,
) -> Summary:
    fmt = book_format(src)
    other = (
        book_format(dst)
        if dst.lower().endswith((".csv", ".txt", ".parquet", ".pq", ".parq"))
        else fmt
    )
    if other != fmt:
        raise UsageError(f"the output is written in the book's format ({fmt}); name it accordingly")
    if os.path.exists(dst) and os.path.samefile(src, dst):
        raise UsageError("the output would overwrite the book")
    reader = Reader(src, fmt)
    new = list(check_header(reader.names, method, reader.header_place))
    keys = method.output_keys()
    summary = Summary()
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
                cw.write(list(batch.columns), [prices[c] for c in keys])
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
                    pw.write_table(
                        pa.Table.from_batches(held, schema=schema), row_group_size=1 << 20
                    )
                    held.clear()

            def write(batch: Any, prices: dict[str, F64]) -> None:
                arrays = list(batch.columns) + [arrow_floats(prices[c]) for c in keys]
                held.append(pa.RecordBatch.from_arrays(arrays, schema=schema))
                if sum(b.num_rows for b in held) >= formats.PARQUET_BATCH_ROWS:
                    flush()

        def done(rows: int, part: Any, prices: dict[str, F64], estimate: int | None = None) -> None:
            write(part, prices)
            summary.priced += rows
            if rows:
                nan = np.zeros(rows, dtype=bool)
                for c in keys:
                    nan |= np.isnan(prices[c])
                summary.nan += int(nan.sum())
            bar.update(rows, estimate)
            stop.check()

        step = method.rows_per_call()
        bytes_done = 0
        bad_rows = 0
        read_all = True
        for batch in reader.batches():
            first = reader.rows - batch.num_rows
            cols, problems = parse_columns(
                batch, method, reader.where_from(first), BAD_ROWS_SHOWN - len(summary.bad)
            )
            summary.bad += problems.first()
            stop.check()
            if problems.bad.any():
                bad_rows += int(problems.bad.sum())
                if not skip_bad:
                    if len(summary.bad) >= BAD_ROWS_SHOWN:
                        read_all = False
                        break  # enough to show: the rest of the book is not read
                    continue  # nothing more is priced; the book is read on for its bad rows
                good = np.flatnonzero(~problems.bad)
                batch = batch.take(indices(good))
                cols = {c: v[good] for c, v in cols.items()}
            if bad_rows and not skip_bad:
                continue
            estimate = None
            if bar.bar is not None and fmt == "csv" and batch.num_rows:
                bytes_done += reader.csv_bytes(batch)
                estimate = max(reader.rows, int(reader.rows * reader.size / max(bytes_done, 1)))
            for a, b in slices(batch.num_rows, step):
                for rows, part, prices in pool.submit(batch.slice(a, b - a), _take(cols, a, b)):
                    done(rows, part, prices, estimate)
        if bad_rows and not skip_bad:
            if read_all:
                count = f"{bad_rows} bad {'row' if bad_rows == 1 else 'rows'}"
            else:
                count = f"at least {bad_rows} bad rows in the first {reader.rows} rows"
            raise BookError(
                "\n".join(
                    summary.bad + [f"{count}: nothing written (--skip-bad prices the other rows)"]
                )
            )
        summary.skipped = bad_rows
        for rows, part, prices in pool.drain():
            done(rows, part, prices)
        if fmt == "parquet":
            flush()
            pw.close()
        stop.check()
        out.commit()
        bar.close(summary.priced)
        return summary
    except BaseException:
        if bar is not None and bar.bar is not None:
            bar.bar.close()
        out.abandon(pw)
        raise
    finally:
        if pool is not None:
            pool.close()
