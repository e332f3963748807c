"""Book files: CSV and Parquet readers and writers, and atomic output."""

from __future__ import annotations

import csv
import io
import os
import stat
import tempfile
from collections.abc import Iterator
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

from .. import _engines
from .errors import BookError, UsageError, arrow, require
from .methods import F64
from .parsing import Where

CSV_BLOCK_BYTES = 1 << 20  # the CSV reader reads up to 32 blocks ahead
PARQUET_BATCH_ROWS = 65_536


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


class Reader:
    """Record batches of a book with the names, row count and places for messages."""

    names: list[str]
    total: int | None

    def __init__(self, path: str, fmt: str) -> None:
        self.path, self.fmt, self.label = path, fmt, os.path.basename(path) or path
        self.rows = 0  # rows handed out so far
        self.size = os.path.getsize(path)
        pa, _ = arrow()
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
                with open(path, newline="", encoding="utf-8-sig") as f, _wide_fields():
                    header = next(csv.reader(f), None)
            except UnicodeDecodeError:
                raise BookError(f"{self.label}, line 1: not UTF-8 text") from None
            except csv.Error as e:
                raise BookError(f"{self.label}, line 1: {e}") from None
            if not header:
                raise BookError(f"{self.label}, line 1: no header")
            self.names = [h.strip() for h in header]
            self.total = None
            self.data_end = _data_end(path)

    @property
    def header_place(self) -> str:
        return f"{self.label}, line 1" if self.fmt == "csv" else self.label

    def where_from(self, first: int) -> Where:
        """Place of row ``first + i`` (0-based data row) for messages."""
        if self.fmt == "csv":
            return lambda i: f"{self.label}, line {first + i + 2}"
        return lambda i: f"{self.label}, row {first + i + 1}"

    def batches(self) -> Iterator[Any]:
        pa, pc = arrow()
        if self.fmt == "parquet":
            for b in self._pf.iter_batches(batch_size=PARQUET_BATCH_ROWS):
                self.rows += b.num_rows
                yield b
            return
        pcsv = require("pyarrow.csv", "io")
        # Read through a Python file: given a path, Arrow's own file reads keep
        # memory that grows with the length of the book.
        with open(self.path, "rb") as raw:
            # Trailing blank lines are not rows, and the last line needs no newline.
            f = _Limited(raw, self.data_end)
            try:
                reader = self._open_csv(f, pa, pcsv)
            except pa.ArrowInvalid as e:
                raise self._csv_error(e) from None
            done = False
            try:
                while True:
                    try:
                        b = reader.read_next_batch()
                    except StopIteration:
                        done = True
                        return
                    except pa.ArrowInvalid as e:
                        raise self._csv_error(e) from None
                    self.rows += b.num_rows
                    yield b
            finally:
                if not done:
                    _end_read_ahead(reader, f, pa)

    def _open_csv(self, f: Any, pa: Any, pcsv: Any) -> Any:
        return pcsv.open_csv(
            f,
            read_options=pcsv.ReadOptions(
                block_size=CSV_BLOCK_BYTES, column_names=self.names, skip_rows=1
            ),
            parse_options=pcsv.ParseOptions(ignore_empty_lines=False),
            convert_options=pcsv.ConvertOptions(
                column_types={n: pa.string() for n in self.names},
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )

    def csv_bytes(self, batch: Any) -> int:
        """Bytes of a CSV batch as it stood in the file (quotes and CR aside)."""
        _, pc = arrow()
        total = int(batch.num_rows) * int(batch.num_columns)
        for col in batch.columns:
            total += int(pc.sum(pc.binary_length(col)).as_py() or 0)
        return total

    def _csv_error(self, e: Exception) -> BookError:
        """Names the line of a malformed CSV row, found by a plain rescan of the file."""
        n = len(self.names)
        with (
            open(self.path, newline="", encoding="utf-8-sig", errors="replace") as f,
            _wide_fields(),
        ):
            rows = csv.reader(f)
            try:
                next(rows, None)
                for row in rows:
                    if len(row) != n:
                        return BookError(
                            f"{self.label}, line {rows.line_num}: expected {n} fields, found {len(row)}"
                        )
            except csv.Error as err:
                return BookError(f"{self.label}, line {rows.line_num}: {err}")
        return BookError(f"{self.label}, after line {self.rows + 1}: {e}")


def arrow_floats(values: NDArray[Any]) -> Any:
    """A float64 Arrow array over a NumPy array's memory (no pandas look-up)."""
    pa, _ = arrow()
    v = np.ascontiguousarray(values, dtype=np.float64)
    return pa.Array.from_buffers(pa.float64(), len(v), [None, pa.py_buffer(v)])


def _csv_name(name: str) -> str:
    return '"' + name.replace('"', '""') + '"' if any(ch in name for ch in '",\r\n') else name


class CsvWriter:
    def __init__(self, f: IO[bytes], names: list[str]) -> None:
        self.f = f
        self.f.write((",".join(_csv_name(n) for n in names) + "\n").encode())

    def write(self, text_cols: list[Any], float_cols: list[F64]) -> None:
        """Appends the rows: each text column's cells as they came (quoted
        where needed), then the float columns in their shortest exact text."""
        pa, _ = arrow()
        offsets, data = [], []
        for col in text_cols:
            if isinstance(col, pa.ChunkedArray):
                col = col.combine_chunks()
            n = len(col)
            buffers = col.buffers()
            offsets.append(
                np.frombuffer(buffers[1], dtype=np.int32)[col.offset : col.offset + n + 1]
            )
            data.append(
                np.frombuffer(buffers[2], dtype=np.uint8)
                if buffers[2] is not None
                else np.zeros(0, dtype=np.uint8)
            )
        self.f.write(
            _engines._csv_lines(
                offsets, data, [np.ascontiguousarray(c, dtype=np.float64) for c in float_cols]
            )
        )


class _wide_fields:
    """The csv module's field limit (128 KiB) lifted while a book is scanned:
    one long cell is a cell to report, not a reason to fail."""

    def __enter__(self) -> None:
        self.old = csv.field_size_limit(2**31 - 1)

    def __exit__(self, *exc: object) -> None:
        csv.field_size_limit(self.old)


_BLANK = b" \t\r\n"


def _data_end(path: str) -> int:
    """Bytes of a CSV file up to the end of its last line that is not blank."""
    size = os.path.getsize(path)
    end = size
    with open(path, "rb") as f:
        while end > 0:
            start = max(0, end - (1 << 16))
            f.seek(start)
            chunk = f.read(end - start)
            kept = chunk.rstrip(_BLANK)
            if kept:
                last = start + len(kept)  # just after the last non-blank byte
                f.seek(last)
                rest = f.read(size - last)
                newline = rest.find(b"\n")
                return last + newline + 1 if newline >= 0 else size
            end = start
    return 0


def _end_read_ahead(reader: Any, f: _Limited, pa: Any) -> None:
    """Lets Arrow's read-ahead finish on a reader left before the end of its
    file (an error, Ctrl-C, SIGTERM). Its threads read the file through
    Python; one still reading while the interpreter shuts down aborts the
    process (Python 3.13: "PyGILState_Release: thread state ... must be
    current"). The file now ends where it stands, and the blocks already read
    ahead are parsed and dropped: at most 32 MB."""
    f.stop()
    while True:
        try:
            reader.read_next_batch()
        except (StopIteration, pa.ArrowException):  # the end, or the line cut short
            return


class _Limited(io.RawIOBase):
    """The first ``limit`` bytes of a file, followed by a newline when they do not end in one."""

    def __init__(self, f: IO[bytes], limit: int) -> None:
        self.f, self.left = f, limit
        self.tail = b""
        if limit > 0:
            f.seek(limit - 1)
            self.tail = b"" if f.read(1) == b"\n" else b"\n"
            f.seek(0)

    def readable(self) -> bool:
        return True

    def stop(self) -> None:
        """Nothing more: the next read gets the end of the file."""
        self.left, self.tail = 0, b""

    def readinto(self, b: Any) -> int:
        want = len(b)
        data = self.f.read(min(want, self.left)) if self.left > 0 else b""
        self.left -= len(data)
        if len(data) < want and (self.left <= 0 or not data):
            self.left = 0
            extra = self.tail[: want - len(data)]
            self.tail = self.tail[len(extra) :]
            data += extra
        b[: len(data)] = data
        return len(data)


class AtomicOutput:
    """Where a result is written.

    A new or regular file is written under a temporary name in its folder
    (a symbolic link's target's folder) and renamed only when complete, so
    an error or an interrupt leaves the old file as it was and nothing
    partial behind. A character device (``/dev/null``) or a FIFO is written
    in place: it is never replaced. A directory, a block device or a socket
    is refused (UsageError).
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.target = os.path.realpath(path)
        self.tmp: str | None = None
        try:
            st = os.stat(self.target)
        except FileNotFoundError:
            st = None
        if st is not None and not stat.S_ISREG(st.st_mode):
            if stat.S_ISDIR(st.st_mode):
                raise UsageError(f"cannot write {path}: it is a folder")
            if not (stat.S_ISCHR(st.st_mode) or stat.S_ISFIFO(st.st_mode)):
                raise UsageError(
                    f"cannot write {path}: not a regular file, a character device or a FIFO"
                )
            self.file: IO[bytes] = open(self.target, "wb")
            return
        folder = os.path.dirname(self.target)
        fd, self.tmp = tempfile.mkstemp(
            prefix="." + os.path.basename(self.target) + ".", suffix=".part", dir=folder
        )
        self.file = os.fdopen(fd, "wb")

    def commit(self) -> None:
        self.file.close()
        if self.tmp is None:
            return
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(self.tmp, 0o666 & ~umask)
        os.replace(self.tmp, self.target)

    def abandon(self, writer: Any = None) -> None:
        """Discards the output after a failure, closing ``writer`` (a Parquet
        writer on the file) first, else its finaliser would write to it later."""
        if writer is not None:
            try:
                writer.close()
            except Exception:
                pass
        self.discard()

    def discard(self) -> None:
        try:
            self.file.close()
        except OSError:
            pass  # the data is being thrown away: a failed flush does not matter
        finally:
            if self.tmp is not None:
                try:
                    os.unlink(self.tmp)
                except FileNotFoundError:
                    pass
