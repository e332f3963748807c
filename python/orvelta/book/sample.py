"""Random books of valid options, for trying the command and benchmarks."""

from __future__ import annotations

from typing import Any

import numpy as np

from .driver import slices
from .errors import Interrupts, arrow, require
from .formats import AtomicOutput, CsvWriter


def sample_book(n: int, dst: str, seed: int = 0, chunk: int = 1 << 18) -> None:
    """Writes a random book of ``n`` valid options (CSV or Parquet, by the name of ``dst``).

    Written as :func:`orvelta.book.price_book` writes its output: under a
    temporary name renamed when complete (a device or FIFO in place), nothing
    left behind on an error, Ctrl-C, SIGTERM or SIGHUP."""
    with Interrupts() as stop:
        _sample_book(n, dst, seed, chunk, stop)


def _sample_book(n: int, dst: str, seed: int, chunk: int, stop: Interrupts) -> None:
    pa, _ = arrow()
    rng = np.random.default_rng(seed)
    fmt = "parquet" if dst.lower().endswith((".parquet", ".pq", ".parq")) else "csv"
    names = ["s", "k", "r", "q", "sigma", "tau", "option_type"]
    out = AtomicOutput(dst)
    pw: Any = None
    try:
        pq: Any = None
        cw: CsvWriter | None = None
        if fmt == "parquet":
            pq = require("pyarrow.parquet", "io")
            schema = pa.schema(
                [pa.field(c, pa.float64()) for c in names[:-1]]
                + [pa.field("option_type", pa.int32())]
            )
            pw = pq.ParquetWriter(out.file, schema)
        else:
            cw = CsvWriter(out.file, names)
        for a, b in slices(n, chunk):
            m = b - a
            cols = [
                np.round(rng.uniform(50, 150, m), 2),
                np.round(rng.uniform(50, 150, m), 2),
                np.round(rng.uniform(0.0, 0.08, m), 4),
                np.round(rng.uniform(0.0, 0.05, m), 4),
                np.round(rng.uniform(0.1, 0.6, m), 4),
                np.round(rng.uniform(0.05, 3.0, m), 4),
            ]
            ot = rng.integers(0, 2, m).astype(np.int32)
            if pw is not None:
                pw.write_batch(
                    pa.RecordBatch.from_arrays(
                        [pa.array(c) for c in cols] + [pa.array(ot)], schema=schema
                    )
                )
            else:
                assert cw is not None
                cw.write([], cols + [ot.astype(np.float64)])  # whole numbers print as "0" and "1"
            stop.check()
        if pw is not None:
            pw.close()
        stop.check()
        out.commit()
    except BaseException:
        out.abandon(pw)
        raise
