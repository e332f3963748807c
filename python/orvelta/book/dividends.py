"""Dividend schedules of a book's underlyings, read from a CSV or Parquet file
(``orvelta price --dividends FILE``) or a pandas frame (``orvelta.dask``).

One row per dividend: ``underlying`` (the name the book's ``underlying``
column uses), ``ex_tau`` (years from today to the ex-date), ``amount`` and
optionally ``kind`` (``cash``, the default, or ``proportional``: the fraction
of the stock paid). The rows of one underlying must share a kind.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .errors import BookError, arrow
from .parsing import Problems, _floats, column_index, key, names_column

COLUMNS = ("underlying", "ex_tau", "amount")
KINDS = ("cash", "proportional")

Where = Callable[[int], str]


@dataclass(frozen=True)
class Schedule:
    """The dividends of one underlying: ex-dates in years, amounts, and their kind."""

    times: tuple[float, ...]
    amounts: tuple[float, ...]
    kind: str = "cash"

    def rows(self) -> NDArray[np.float64]:
        """The (n, 2) array of (ex-date, amount) rows the pricers take."""
        return np.column_stack(
            [np.asarray(self.times, dtype=np.float64), np.asarray(self.amounts, dtype=np.float64)]
        ).reshape(-1, 2)


@dataclass(frozen=True)
class DividendTable:
    """Schedules by underlying; an underlying absent from the table pays none."""

    schedules: tuple[tuple[str, Schedule], ...]

    def get(self, underlying: str) -> Schedule | None:
        for name, sched in self.schedules:
            if name == underlying:
                return sched
        return None


def _bad(where: Where, i: int, column: str, what: str) -> BookError:
    return BookError(f"{where(i)}, column {column}: {what}")


def _raise_bad_rows(problems: Problems) -> None:
    """The cells that are empty or not numbers, up to the limit, one per line."""
    if problems.bad.any():
        lines = problems.first()
        more = int(problems.bad.sum()) - len(lines)
        if more > 0:
            lines.append(f"and {more} more bad rows")
        raise BookError("\n".join(lines))


def table_from_batches(
    batches: Any, names: list[str], header_place: str, where_from: Callable[[int], Where]
) -> DividendTable:
    """Builds the table from Arrow record batches, checking every cell.

    ``where_from(first)`` gives the message place of row ``first + i``.
    Header names are matched without regard to case or blanks, as the
    book's are."""
    seen = set()
    for n in names:
        if key(n) in seen:
            raise BookError(f"{header_place}: column {n!r} appears twice")
        seen.add(key(n))
    missing = [c for c in COLUMNS if c not in seen]
    if missing:
        word = "column" if len(missing) == 1 else "columns"
        raise BookError(f"{header_place}: missing {word} {', '.join(repr(c) for c in missing)}")
    found: dict[str, tuple[str, list[float], list[float], str]] = {}
    first = 0
    for batch in batches:
        where = where_from(first)
        cols = column_index(batch.schema.names)
        problems = Problems(batch.num_rows, where, 20)
        under = names_column(batch.column(cols["underlying"]), "underlying", problems)
        times = _floats(batch.column(cols["ex_tau"]), "ex_tau", problems)
        amounts = _floats(batch.column(cols["amount"]), "amount", problems)
        _raise_bad_rows(problems)
        if "kind" in cols:
            kinds = [
                k.lower()
                for k in names_column(batch.column(cols["kind"]), "kind", problems, empty_ok=True)
            ]
        else:
            kinds = ["cash"] * len(times)
        for i in range(len(times)):
            kind = kinds[i] or "cash"
            if kind not in KINDS:
                raise _bad(where, i, "kind", f"{kinds[i]!r} is not cash or proportional")
            if not np.isfinite(times[i]):
                raise _bad(where, i, "ex_tau", f"{times[i]!r} is not a finite time")
            a = float(amounts[i])
            if not (np.isfinite(a) and a >= 0.0):
                raise _bad(where, i, "amount", f"{a!r} is not a finite non-negative amount")
            if kind == "proportional" and a > 1.0:
                raise _bad(
                    where, i, "amount", f"{a!r} is not a fraction in [0, 1] (kind proportional)"
                )
            name = under[i]
            entry = found.setdefault(name, (kind, [], [], where(i)))
            if entry[0] != kind:
                raise _bad(
                    where,
                    i,
                    "kind",
                    f"{kind}, but {name!r} has {entry[0]} dividends ({entry[3]}); "
                    "one underlying takes one kind",
                )
            entry[1].append(float(times[i]))
            entry[2].append(a)
        first += batch.num_rows
    return DividendTable(
        tuple(
            (name, Schedule(tuple(t), tuple(a), kind))
            for name, (kind, t, a, _) in sorted(found.items())
        )
    )


def read_dividends(path: str) -> DividendTable:
    """The dividend file at ``path`` (CSV or Parquet, by its extension)."""
    from .formats import Reader, book_format

    reader = Reader(path, book_format(path))
    return table_from_batches(
        reader.batches(), reader.names, reader.header_place, reader.where_from
    )


def table_from_frame(frame: Any) -> DividendTable:
    """The table of a pandas frame with the dividend file's columns; messages
    name the row's index label."""
    pa, _ = arrow()
    names = [str(c) for c in frame.columns]
    batch = pa.RecordBatch.from_pandas(frame, preserve_index=False)
    index = frame.index

    def where_from(first: int) -> Where:
        def where(i: int) -> str:
            v = index[first + i]
            return f"dividends row {v.item() if isinstance(v, np.generic) else v!r}"

        return where

    return table_from_batches([batch], names, "dividends", where_from)
