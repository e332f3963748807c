"""How a book is priced: the methods and the columns they read and add."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .errors import UsageError

if TYPE_CHECKING:
    from .dividends import DividendTable

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
    dividends : DividendTable, optional
        Discrete dividends by underlying (accurate method only); the book
        then needs an ``underlying`` column, and each row is priced with the
        schedule of its underlying (none when the table has no entry for it).
    """

    name: str = "tree"
    steps: int | None = None
    tree_type: int | None = None
    tol: float | None = None
    model: str | None = None
    params: tuple[float, ...] | None = None
    greeks: bool = False
    implied_vol: bool = False
    dividends: DividendTable | None = None

    def __post_init__(self) -> None:
        if self.dividends is not None and self.name != "accurate":
            raise UsageError("--dividends needs --method accurate")
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
        if self.dividends is not None:
            cols.append("underlying")
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
    if method.name == "accurate" and method.dividends is not None:
        return _accurate_by_underlying(cols, method, kw_tol)
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


def _accurate_by_underlying(cols: Mapping[str, NDArray[Any]], method: Method,
                            kw_tol: dict[str, float]) -> dict[str, F64]:
    """Accurate prices (Greeks, implied volatilities) with each underlying's
    dividend schedule, one call per underlying."""
    assert method.dividends is not None
    n = len(cols["s"])
    names = method.outputs()
    out = {c: np.empty(n) for c in names}
    under = cols["underlying"]
    for name in dict.fromkeys(under.tolist()):
        rows = np.flatnonzero(under == name)
        sched = method.dividends.get(name)
        kw: dict[str, Any] = dict(kw_tol)
        if sched is not None:
            kw.update(dividends=sched.rows(), dividend_kind=sched.kind)
        part = {c: v[rows] for c, v in cols.items() if c != "underlying"}
        if sched is None:
            res = price_columns(part, Method(name="accurate", tol=method.tol, greeks=method.greeks,
                                             implied_vol=method.implied_vol))
        else:
            res = _accurate_with(part, method, kw)
        for c in names:
            out[c][rows] = res[c]
    return out


def _accurate_with(cols: Mapping[str, NDArray[Any]], method: Method, kw: dict[str, Any]) -> dict[str, F64]:
    s, k, r, q, tau, ot = (cols[c] for c in ("s", "k", "r", "q", "tau", "option_type"))
    out: dict[str, F64] = {}
    if method.greeks:
        g = _engine("american_greeks")(s, k, r, q, cols["sigma"], tau, ot, **kw)
        for c in (("price",) if not method.implied_vol else ()) + GREEKS:
            out[c] = np.asarray(g[c], dtype=np.float64)
    elif not method.implied_vol:
        out["price"] = np.asarray(_engine("american_price")(s, k, r, q, cols["sigma"], tau, ot, **kw),
                                  dtype=np.float64)
    if method.implied_vol:
        kw_iv = {key: v for key, v in kw.items() if key != "tol"}
        iv = _engine("american_implied_vol")(cols["price"], s, k, r, q, tau, ot, **kw_iv)
        out["implied_vol"] = np.asarray(iv, dtype=np.float64)
    return out
