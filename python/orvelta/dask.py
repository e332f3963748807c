"""Pricing books held in Dask (or pandas) data frames, partition by partition.

Needs the ``dask`` extra: ``pip install 'orvelta[dask]'``. Each partition is
priced by the same code as ``orvelta price``; every row's price depends on
that row alone, so the result equals a local run bit for bit, whatever the
partitioning and wherever the workers run.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from .book import BookError, Method, UsageError, check_header, parse_columns, price_columns, require
from .book.parsing import key


def price_frame(
    frame: Any,
    method: str = "tree",
    *,
    steps: int | None = None,
    tree_type: int | None = None,
    tol: float | None = None,
    model: str | None = None,
    params: Sequence[float] | None = None,
    greeks: bool = False,
    implied_vol: bool = False,
    dividends: Any = None,
) -> Any:
    """Adds price (and Greek or implied-volatility) columns to a book of options.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame or pandas.DataFrame
        One option per row, with columns ``s`` (spot), ``k`` (strike), ``r``
        (rate per year), ``q`` (dividend yield per year), ``sigma``
        (volatility per square-root year), ``tau`` (years to expiry) and
        ``option_type`` (> 0 or ``"call"``: call; <= 0 or ``"put"``: put),
        names matched without regard to case; optionally ``american`` (bool;
        without it rows are American for "tree" and "accurate", European for
        "european") and ``price`` (market prices, kept; read by
        ``implied_vol``).
    method : {"tree", "accurate", "european"}, default "tree"
        ``"tree"``: :func:`orvelta.american_tree_batch`; ``"accurate"``:
        :func:`orvelta.american_price` (and :func:`orvelta.american_greeks`,
        :func:`orvelta.american_implied_vol`); ``"european"``:
        :func:`orvelta.european_price` (and :func:`orvelta.implied_vol`).
    steps : int, optional
        Lattice steps of the tree, default 200 (at least 2).
    tree_type : int, optional
        0 Cox-Ross-Rubinstein (default) or 1 Tian.
    tol : float, optional
        Absolute price tolerance of the accurate and European pricers
        (default: theirs, 1e-8).
    model : {"bs", "merton", "vg", "heston", "bates"}, optional
        European model, default ``"bs"`` with each row's ``sigma``.
    params : sequence of float, optional
        Parameters of the European model (not ``"bs"``), default the model's.
    greeks : bool, default False
        Also add ``delta``, ``gamma``, ``theta``, ``vega`` (Heston and Bates:
        ``vega_v0``, ``vega_theta``) and ``rho`` (accurate and european).
    implied_vol : bool, default False
        Add ``implied_vol`` computed from the ``price`` column instead of a
        price; with ``greeks``, the Greeks are taken at that volatility.
    dividends : str or pandas.DataFrame, optional
        Discrete dividends by underlying (``method="accurate"`` only): the
        path of a CSV or Parquet file, or a pandas frame, with columns
        ``underlying``, ``ex_tau`` (years to the ex-date), ``amount`` and
        optionally ``kind`` (``cash`` or ``proportional``), as
        ``orvelta price --dividends`` reads. The frame then needs an
        ``underlying`` column; each row is priced with its underlying's
        schedule (none when the table has no entry for it).

    Returns
    -------
    dask.dataframe.DataFrame or pandas.DataFrame
        The frame's columns followed by ``price`` (``model_price`` when the
        frame has a ``price`` column; unless ``implied_vol``), the Greeks and
        ``implied_vol``, all float64; lazy for a Dask frame.

    Raises
    ------
    ValueError
        For a bad setting (``steps`` below 2, a ``tol`` that is not positive
        and finite, parameters outside the model's domain), a missing column,
        or (when the partition is computed) bad rows: cells that are not
        numbers or lie outside the pricers' domain (s, k > 0, tau, sigma >= 0),
        naming each row's index label and the column (up to 20 of them).
    """
    pd = require("pandas", "dask", "orvelta.dask")
    table = None
    if dividends is not None:
        from .book.dividends import read_dividends, table_from_frame

        if method != "accurate":
            raise UsageError("--dividends needs --method accurate")
        table = (
            read_dividends(dividends) if isinstance(dividends, str) else table_from_frame(dividends)
        )
    m = Method(
        name=method,
        steps=steps,
        tree_type=tree_type,
        tol=tol,
        model=model,
        params=None if params is None else tuple(float(p) for p in params),
        greeks=greeks,
        implied_vol=implied_vol,
        dividends=table,
    )
    new = check_header([str(c) for c in frame.columns], m, "frame")
    if isinstance(frame, pd.DataFrame):
        return _price_partition(frame, m, new)
    require("dask.dataframe", "dask", "orvelta.dask")
    meta = frame._meta.copy()
    for c in new:
        meta[c] = pd.Series(dtype=np.float64)
    return frame.map_partitions(_price_partition, m, new, meta=meta)


def _label(v: Any) -> Any:
    return v.item() if isinstance(v, np.generic) else v


def _price_partition(pdf: Any, method: Method, new: list[str]) -> Any:
    pa = require("pyarrow", "dask", "orvelta.dask")
    wanted = {*method.needs(), "american"}
    names = [c for c in pdf.columns if key(str(c)) in wanted]
    batch = pa.RecordBatch.from_pandas(pdf[names], preserve_index=False)
    index = pdf.index
    cols, problems = parse_columns(batch, method, lambda i: f"row {_label(index[i])!r}")
    if problems.bad.any():
        lines = problems.first()
        count = int(problems.bad.sum())
        if count > len(lines):
            lines.append(f"{count} bad rows in this partition")
        raise BookError("\n".join(lines))
    priced = price_columns(cols, method)
    out = pdf.copy()
    for name, c in zip(new, method.output_keys(), strict=False):
        out[name] = priced[c]
    return out
