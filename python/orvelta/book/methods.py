"""How a book is priced: the methods and the columns they read and add."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .errors import UsageError

if TYPE_CHECKING:
    from .dividends import DividendTable, Schedule

F64 = NDArray[np.float64]

MARKET = ("s", "k", "r", "q", "sigma", "tau")
GREEKS = ("delta", "gamma", "theta", "vega", "rho")
# Heston and Bates have two volatility sensitivities instead of one vega.
VARIANCE_GREEKS = ("delta", "gamma", "theta", "vega_v0", "vega_theta", "rho")
METHODS = ("tree", "accurate", "european")
MODELS = {"bs": 0, "merton": 1, "vg": 2, "heston": 3, "bates": 4}
TREE_TYPES = {"crr": 0, "tian": 1}
# The model price's column when the book already has a ``price`` column.
MODEL_PRICE = "model_price"

# Work per pricing call is bounded so that Ctrl-C and the progress bar are
# honoured between calls; slicing does not change any price.
_TREE_NODES_PER_CALL = 1_000_000_000
_ROWS_PER_CALL = 16_384
_MAX_STEPS = 2**31 - 2


@dataclass(frozen=True)
class Method:
    """How a book is priced.

    Parameters
    ----------
    name : str
        ``"tree"`` (:func:`orvelta.american_tree_batch`), ``"accurate"`` or
        ``"european"``. Every method honours a per-row ``american`` column;
        without one, rows are American for ``tree`` and ``accurate`` and
        European for ``european``. ``accurate`` and ``european`` price the
        American rows with :func:`orvelta.american_price` (and
        :func:`orvelta.american_greeks`, :func:`orvelta.american_implied_vol`)
        and the European rows with :func:`orvelta.european_price` (and
        :func:`orvelta.european_greeks`, :func:`orvelta.implied_vol`).
    steps : int, optional
        Lattice steps of the tree (default 200, at least 2). Tree only.
    tree_type : int, optional
        0 Cox-Ross-Rubinstein (default), 1 Tian. Tree only.
    tol : float, optional
        Absolute price tolerance of the accurate and European pricers
        (default: the pricer's own, 1e-8).
    model : str, optional
        European model of ``european``: ``"bs"`` (default; each row's
        ``sigma``), ``"merton"``, ``"vg"``, ``"heston"`` or ``"bates"``;
        American rows need ``"bs"``.
    params : tuple of float, optional
        Model parameters for the models other than ``"bs"`` (default: the
        model's defaults), in the order of :mod:`orvelta.models`.
    greeks : bool
        Add delta, gamma, theta, vega (Heston and Bates: vega_v0 and
        vega_theta) and rho (accurate and european).
    implied_vol : bool
        Add ``implied_vol`` from the book's ``price`` column. With ``greeks``
        too, the Greeks are taken at the implied volatility (no ``sigma``
        column is needed).
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
        if self.name not in METHODS:
            raise UsageError(f"unknown method {self.name!r} (choose tree, accurate or european)")
        if self.dividends is not None and self.name != "accurate":
            raise UsageError("--dividends needs --method accurate")
        if self.name != "tree":
            for flag, value in (("--steps", self.steps), ("--tree-type", self.tree_type)):
                if value is not None:
                    raise UsageError(f"{flag} applies to --method tree only")
        if self.name != "european":
            for flag, given in (
                ("--model", self.model is not None),
                ("--params", self.params is not None),
            ):
                if given:
                    raise UsageError(f"{flag} applies to --method european only")
        if self.name == "tree":
            if self.tol is not None:
                raise UsageError("--tol applies to --method accurate and european")
            if self.greeks:
                raise UsageError(
                    "--greeks needs --method accurate or european (the lattice batch gives prices only)"
                )
            if self.implied_vol:
                raise UsageError("--implied-vol needs --method accurate or european")
            if self.tree_type is not None and self.tree_type not in (0, 1):
                raise UsageError("--tree-type must be crr (0) or tian (1)")
            if self.steps is not None and (
                isinstance(self.steps, bool)
                or not isinstance(self.steps, int)
                or not 2 <= self.steps <= _MAX_STEPS
            ):
                raise UsageError(
                    f"--steps must be a whole number from 2 to {_MAX_STEPS}, got {self.steps!r}"
                )
        if self.tol is not None and not (self.tol > 0 and math.isfinite(self.tol)):
            raise UsageError(f"--tol must be a positive finite number, got {self.tol!r}")
        if self.name == "european":
            if self.model is not None and self.model not in MODELS:
                raise UsageError(f"unknown model {self.model!r} (choose {', '.join(MODELS)})")
            if self.model_id == 0 and self.params is not None:
                raise UsageError(
                    "--model bs takes its volatility from the book's sigma column; "
                    "--params is for the other models"
                )
            if self.implied_vol and self.model_id != 0:
                raise UsageError(
                    "--implied-vol with --method european inverts Black-Scholes prices: "
                    "use --model bs"
                )
            if self.model_id != 0:
                from ..models import resolve_model

                try:
                    resolve_model(self.model_id, self.params)
                except (TypeError, ValueError) as e:
                    raise UsageError(f"--params: {e}") from None

    @property
    def model_id(self) -> int:
        return MODELS[self.model or "bs"]

    @property
    def exercise(self) -> bool | None:
        """Whether rows without an ``american`` column are American."""
        return self.name != "european"

    def needs(self) -> tuple[str, ...]:
        """Input columns the method reads (``american`` is optional and not listed)."""
        uses_sigma = self.name == "tree" or (self.model_id == 0 and not self.implied_vol)
        cols = [c for c in MARKET if c != "sigma" or uses_sigma] + ["option_type"]
        if self.implied_vol:
            cols.append("price")
        if self.dividends is not None:
            cols.append("underlying")
        return tuple(cols)

    def greek_names(self) -> tuple[str, ...]:
        return VARIANCE_GREEKS if self.model_id in (3, 4) else GREEKS

    def output_keys(self) -> tuple[str, ...]:
        """What the method adds, in order: ``price`` (the model price), the Greeks, ``implied_vol``."""
        cols = [] if self.implied_vol else ["price"]
        if self.greeks:
            cols += self.greek_names()
        if self.implied_vol:
            cols.append("implied_vol")
        return tuple(cols)

    def outputs(self, names: Sequence[str] = ()) -> tuple[str, ...]:
        """Names of the columns the method adds to a book with the columns
        ``names``: the model price goes to ``price``, or to ``model_price``
        when the book already has a ``price`` column (market prices, kept)."""
        has_price = any(n.strip().lower() == "price" for n in names)
        return tuple(MODEL_PRICE if c == "price" and has_price else c for c in self.output_keys())

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
    """Prices parsed book columns; returns the new columns by ``method.output_keys()``.

    ``cols`` holds float64 arrays for the market columns (and ``price``), an
    int32 ``option_type`` and optionally a bool ``american``, all of one length.
    """
    s, k, r, q, tau = (cols[c] for c in ("s", "k", "r", "q", "tau"))
    ot = cols["option_type"]
    n = len(s)
    am = cols.get("american")
    if method.name == "tree":
        batch = _engine("american_tree_batch")
        kw = {
            "steps": 200 if method.steps is None else method.steps,
            "tree_type": 0 if method.tree_type is None else method.tree_type,
        }
        sigma = cols["sigma"]
        if am is None or bool(am.all()):
            price = batch(s, k, r, q, sigma, tau, ot, american=True, **kw)
        elif not am.any():
            price = batch(s, k, r, q, sigma, tau, ot, american=False, **kw)
        else:
            price = np.empty(n)
            for flag in (True, False):
                i = np.flatnonzero(am == flag)
                price[i] = batch(
                    s[i], k[i], r[i], q[i], sigma[i], tau[i], ot[i], american=flag, **kw
                )
        return {"price": np.asarray(price, dtype=np.float64)}

    if method.dividends is not None:
        return _by_underlying(cols, method, method.dividends)
    out = {c: np.full(n, np.nan) for c in method.output_keys()}
    american = np.full(n, bool(method.exercise)) if am is None else np.asarray(am, dtype=bool)
    kw_tol = {} if method.tol is None else {"tol": method.tol}
    vol = cols.get("sigma")
    groups = [(flag, np.flatnonzero(american == flag)) for flag in (True, False)]
    if method.implied_vol:
        vol = np.full(n, np.nan)
        for flag, i in groups:
            if i.size:
                # --tol is a price tolerance; the volatility search keeps its own.
                fn = _engine("american_implied_vol" if flag else "implied_vol")
                vol[i] = fn(cols["price"][i], s[i], k[i], r[i], q[i], tau[i], ot[i])
        out["implied_vol"] = vol
        if not method.greeks:
            return out
    assert vol is not None or method.model_id != 0
    wanted = [c for c in method.output_keys() if c != "implied_vol"]
    for flag, i in groups:
        if not i.size:
            continue
        if flag:
            assert vol is not None
            am_args = (s[i], k[i], r[i], q[i], vol[i], tau[i], ot[i])
            if method.greeks:
                res = _engine("american_greeks")(*am_args, **kw_tol)
            else:
                res = {"price": _engine("american_price")(*am_args, **kw_tol)}
        else:
            params: Any = [vol[i]] if vol is not None and method.model_id == 0 else method.params
            eu_args = (method.model_id, params, k[i], tau[i], s[i], r[i], q[i], ot[i])
            if method.greeks:
                res = _engine("european_greeks")(*eu_args, **kw_tol)
            else:
                res = {"price": _engine("european_price")(*eu_args, **kw_tol)}
        for c in wanted:
            out[c][i] = np.asarray(res[c], dtype=np.float64)
    return out


def _by_underlying(
    cols: Mapping[str, NDArray[Any]], method: Method, table: DividendTable
) -> dict[str, F64]:
    """Rows priced with their underlying's dividend schedule, one group of
    calls per underlying; underlyings the table does not list pay none."""
    n = len(cols["s"])
    out = {c: np.full(n, np.nan) for c in method.output_keys()}
    plain = replace(method, dividends=None)
    under = cols["underlying"]
    for name in dict.fromkeys(under.tolist()):
        rows = np.flatnonzero(under == name)
        part = {c: v[rows] for c, v in cols.items() if c != "underlying"}
        schedule = table.get(name)
        res = (
            price_columns(part, plain)
            if schedule is None
            else _with_schedule(part, method, schedule)
        )
        for c in out:
            out[c][rows] = res[c]
    return out


def _with_schedule(
    cols: Mapping[str, NDArray[Any]], method: Method, schedule: Schedule
) -> dict[str, F64]:
    """Rows of one underlying on the dividend engine: American and European
    rows alike (``american=`` of the American functions), the Greeks at the
    implied volatility when both are asked for."""
    s, k, r, q, tau, ot = (cols[c] for c in ("s", "k", "r", "q", "tau", "option_type"))
    n = len(s)
    am = cols.get("american")
    american = np.ones(n, dtype=bool) if am is None else np.asarray(am, dtype=bool)
    kw_tol = {} if method.tol is None else {"tol": method.tol}
    out = {c: np.full(n, np.nan) for c in method.output_keys()}
    wanted = [c for c in method.output_keys() if c != "implied_vol"]
    for flag in (True, False):
        i = np.flatnonzero(american == flag)
        if not i.size:
            continue
        kw: dict[str, Any] = {
            "dividends": schedule.rows(),
            "dividend_kind": schedule.kind,
            "american": flag,
        }
        if method.implied_vol:
            # --tol is a price tolerance; the volatility search keeps its own.
            vol = _engine("american_implied_vol")(
                cols["price"][i], s[i], k[i], r[i], q[i], tau[i], ot[i], **kw
            )
            out["implied_vol"][i] = vol
            if not method.greeks:
                continue
        else:
            vol = cols["sigma"][i]
        args = (s[i], k[i], r[i], q[i], vol, tau[i], ot[i])
        if method.greeks:
            res = _engine("american_greeks")(*args, **kw_tol, **kw)
        else:
            res = {"price": _engine("american_price")(*args, **kw_tol, **kw)}
        for c in wanted:
            out[c][i] = np.asarray(res[c], dtype=np.float64)
    return out
