"""The demo behind ``python -m orvelta demo``: one American put and call priced
by every method of the package, and a plot of the put's early-exercise boundary."""

from __future__ import annotations

import math
import os
import textwrap
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np

from . import _kernels as K

PLOTS_EXTRA = "pip install 'orvelta[demo]'"


def pyplot() -> ModuleType | None:
    """matplotlib's pyplot on the file-only Agg backend, or None when matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


# The demo's option: at the money, one year, with a dividend yield.
S, STRIKE, R, Q, SIGMA, TAU = 100.0, 100.0, 0.05, 0.02, 0.2, 1.0
PUT, CALL = 0, 1
TREE_STEPS = 200
REFERENCE_STEPS = 10_000
# Grid of american_pde_psor's defaults: price intervals by time steps.
PSOR_S_STEPS, PSOR_T_STEPS = 160, 120
# Longstaff-Schwartz: antithetic paths over 50 exercise dates; the policy fitted
# on one seed's paths is evaluated out of sample on another seed's.
LSM_PATHS, LSM_DATES, LSM_TRAIN_SEED, LSM_FRESH_SEED = 50_000, 50, 7, 8


def american_rows() -> list[tuple[str, float, float]]:
    """(method, put price, call price) for every American pricer."""
    rows = []
    for tree_type, name in ((0, "Cox-Ross-Rubinstein"), (1, "Tian")):
        put, call = (
            K.american_tree_boundary(S, STRIKE, R, Q, SIGMA, TAU, kind, TREE_STEPS, tree_type)[
                "price"
            ]
            for kind in (PUT, CALL)
        )
        rows.append((f"{name} lattice, {TREE_STEPS} steps", put, call))
    put, call = (
        K.american_pde_psor(S, STRIKE, R, Q, SIGMA, TAU, kind)["price"] for kind in (PUT, CALL)
    )
    rows.append((f"PSOR finite differences, {PSOR_S_STEPS} x {PSOR_T_STEPS} grid", put, call))
    rows.extend(lsm_rows())
    # A fine lattice as the yardstick, priced by the parallel batch pricer.
    put, call = K.american_tree_batch(
        [S] * 2,
        [STRIKE] * 2,
        [R] * 2,
        [Q] * 2,
        [SIGMA] * 2,
        [TAU] * 2,
        [PUT, CALL],
        steps=REFERENCE_STEPS,
    )
    rows.append(
        (f"reference: CRR lattice, {REFERENCE_STEPS} steps (batch)", float(put), float(call))
    )
    from .american import american_price

    put_a, call_a = (
        american_price(S, STRIKE, R, Q, SIGMA, TAU, kind, tol=1e-8) for kind in (PUT, CALL)
    )
    rows.append(("accurate: fixed-point boundary, tol 1e-8", float(put_a), float(call_a)))
    return rows


def lsm_rows() -> list[tuple[str, float, float]]:
    """Longstaff-Schwartz prices: in sample on the training paths, out of sample on fresh ones."""
    train, fresh = (
        K.gbm_paths_antithetic(S, R, Q, SIGMA, TAU, LSM_DATES, LSM_PATHS, seed)
        for seed in (LSM_TRAIN_SEED, LSM_FRESH_SEED)
    )
    fits = {kind: K.lsm_backward(train, STRIKE, R, TAU, kind) for kind in (PUT, CALL)}
    fresh_prices = {
        kind: K.lsm_eval_policy(fresh, STRIKE, R, TAU, kind, fit["coefficients"])["price"]
        for kind, fit in fits.items()
    }
    label = f"{len(train)} paths x {LSM_DATES} dates"
    return [
        (f"Longstaff-Schwartz in-sample, {label}", fits[PUT]["price"], fits[CALL]["price"]),
        (
            f"Longstaff-Schwartz out-of-sample, {len(fresh)} fresh paths",
            fresh_prices[PUT],
            fresh_prices[CALL],
        ),
    ]


def boundary_curves() -> list[tuple[str, list[float], list[float]]]:
    """(label, times, critical spot) of the American put's exercise boundary per method."""
    curves = []
    for tree_type, name in ((0, "CRR"), (1, "Tian")):
        res = K.american_tree_boundary(S, STRIKE, R, Q, SIGMA, TAU, PUT, TREE_STEPS, tree_type)
        curves.append(
            (f"{name} lattice ({TREE_STEPS} steps)", list(res["times"]), list(res["boundary"]))
        )
    # PSOR reports one boundary value per time level; level n lies n * TAU / M
    # after today (level 0 today, level M at expiry), the lattice's time axis.
    psor = list(K.american_pde_psor(S, STRIKE, R, Q, SIGMA, TAU, PUT)["boundary"])
    levels = len(psor) - 1
    times = [n * TAU / levels for n in range(levels + 1)]
    curves.append((f"PSOR grid ({PSOR_S_STEPS} x {PSOR_T_STEPS})", times, psor))
    return curves


def format_table(title: str, header: tuple[str, ...], rows: list[tuple[Any, ...]]) -> str:
    """A plain-text table: first column left-aligned, numbers to 6 decimals."""
    cells = [[str(c) if isinstance(c, str) else f"{c:.6f}" for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, h in enumerate(header)]
    lines = [title, ""]
    lines.append(
        "  ".join(
            h.ljust(w) if i == 0 else h.rjust(w)
            for i, (h, w) in enumerate(zip(header, widths, strict=False))
        )
    )
    lines.append("  ".join("-" * w for w in widths))
    for r in cells:
        lines.append(
            "  ".join(
                c.ljust(w) if i == 0 else c.rjust(w)
                for i, (c, w) in enumerate(zip(r, widths, strict=False))
            )
        )
    return "\n".join(lines)


def plot_boundaries(path: Path) -> Path | None:
    plt = pyplot()
    if plt is None:
        return None
    fig, ax = plt.subplots(figsize=(8, 5))
    for label, times, boundary in boundary_curves():
        pts = [(t, b) for t, b in zip(times, boundary, strict=False) if not math.isnan(b)]
        # Lattice boundaries alternate between odd and even rows' nodes: show the points.
        ax.plot(
            [t for t, _ in pts], [b for _, b in pts], ".-", markersize=3, linewidth=0.6, label=label
        )
    ax.set_xlabel("time (years)")
    ax.set_ylabel("critical spot price")
    ax.set_title(
        f"American put early-exercise boundary (K = {STRIKE:g}, r = {R}, q = {Q}, sigma = {SIGMA})"
    )
    ax.legend()
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


# ---------------------------------------------------------------- Fourier pricing

# European options under the five characteristic-function models. Every model
# but Bates runs on its default parameters (params = []). Bates reads missing
# diffusion entries as zeros raised to their floors, which would leave a pure
# jump model, so it gets the Heston defaults with the default jumps spelled out.
BATES_PARAMS = [0.04, 2.0, 0.04, 0.6, -0.5, 0.3, -0.05, 0.2]
FOURIER_MODELS: tuple[tuple[int, str, list[float]], ...] = (
    (0, "Black-Scholes", []),
    (1, "Merton jumps", []),
    (2, "variance gamma", []),
    (3, "Heston", []),
    (4, "Bates", BATES_PARAMS),
)


def _norm_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def black_scholes(
    s: float, k: float, r: float, q: float, sigma: float, tau: float, call: bool
) -> float:
    """Closed-form European price with a continuous dividend yield."""
    vol = sigma * math.sqrt(tau)
    d1 = (math.log(s / k) + (r - q + 0.5 * sigma * sigma) * tau) / vol
    d2 = d1 - vol
    if call:
        return s * math.exp(-q * tau) * _norm_cdf(d1) - k * math.exp(-r * tau) * _norm_cdf(d2)
    return k * math.exp(-r * tau) * _norm_cdf(-d2) - s * math.exp(-q * tau) * _norm_cdf(-d1)


# The user-level pricer's own model names and records, for the accurate column.
ACCURATE_MODELS = ("black_scholes", "merton", "variance_gamma", "heston", "bates")
ACCURATE_TOL = 1e-10
# The kernels' COS on a wide interval with many terms: what the default
# interval of 10 standard deviations leaves out.
WIDE_TERMS, WIDE_WIDTH = 4096, 40.0


def european_rows() -> list[tuple[Any, ...]]:
    """(model, FFT, direct, COS, accurate) for the call and then the put, per
    model; the accurate price is :func:`orvelta.european_price` to 1e-10."""
    from .european import european_price

    rows = []
    strikes, taus = [STRIKE], [TAU]
    for (model, name, params), accurate_model in zip(FOURIER_MODELS, ACCURATE_MODELS, strict=False):
        row: list[Any] = [name]
        for kind in (CALL, PUT):
            fft = K.fft_prices(model, params, S, R, Q, TAU, option_type=kind)
            # With the default grid the strike at the centre, index 128, is s itself.
            row.append(float(fft["prices"][len(fft["prices"]) // 2]))
            row.append(
                float(K.direct_prices(model, params, strikes, taus, S, R, Q, option_type=kind)[0])
            )
            row.append(
                float(K.cos_prices(model, params, strikes, taus, S, R, Q, option_type=kind)[0])
            )
            # The kernels' empty params are the model's defaults; Bates' are spelled out.
            row.append(
                european_price(
                    accurate_model, params or None, STRIKE, TAU, S, R, Q, kind, tol=ACCURATE_TOL
                )
            )
        rows.append(tuple(row))
    return rows


def cos_truncation_note() -> str:
    """Why the kernels' COS put can differ from the others at their defaults."""
    heston = [
        float(K.cos_prices(3, [], [STRIKE], [TAU], S, R, Q, option_type=PUT)[0]),
        float(
            K.cos_prices(
                3,
                [],
                [STRIKE],
                [TAU],
                S,
                R,
                Q,
                n_terms=WIDE_TERMS,
                truncation_width=WIDE_WIDTH,
                option_type=PUT,
            )[0]
        ),
    ]
    return (
        f"The kernels' COS prices on an interval of truncation_width = 10 standard deviations of the log price "
        f"(their default). Heston's and Bates' left tails (negative rho, jumps) reach beyond it, and the put's "
        f"payoff lives there: the Heston put is {heston[0]:.6f} at the default, {heston[1]:.6f} with "
        f"truncation_width = {WIDE_WIDTH:g} and {WIDE_TERMS} terms, as FFT, direct "
        f"and the accurate pricer give. orvelta.european_price chooses its interval from bounds on the tails "
        f"for the tolerance asked."
    )


def implied_vol(price: float, k: float) -> float:
    """Black-Scholes volatility of a call price, by bisection (NaN when out of range)."""
    lo, hi = 1e-4, 3.0
    if (
        not black_scholes(S, k, R, Q, lo, TAU, True)
        < price
        < black_scholes(S, k, R, Q, hi, TAU, True)
    ):
        return math.nan
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        if black_scholes(S, k, R, Q, mid, TAU, True) < price:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def plot_fft_smiles(path: Path) -> Path | None:
    """FFT call prices and their implied volatilities across strikes, per model."""
    plt = pyplot()
    if plt is None:
        return None
    fig, (ax_price, ax_vol) = plt.subplots(1, 2, figsize=(11, 4.5))
    for model, name, params in FOURIER_MODELS:
        # A finer grid (eta fixed, so the same strike range) for a smooth curve.
        res = K.fft_prices(model, params, S, R, Q, TAU, n=2048)
        pts = [
            (k, c)
            for k, c in zip(res["strikes"], res["prices"], strict=False)
            if 60.0 <= k <= 160.0
        ]
        ks = [k for k, _ in pts]
        ax_price.plot(ks, [c for _, c in pts], label=name)
        ax_vol.plot(ks, [implied_vol(c, k) for k, c in pts], label=name)
    ax_price.set_xlabel("strike")
    ax_price.set_ylabel("call price")
    ax_vol.set_xlabel("strike")
    ax_vol.set_ylabel("Black-Scholes implied volatility")
    for ax in (ax_price, ax_vol):
        ax.grid(True, alpha=0.3)
        ax.legend()
    fig.suptitle(
        "FFT European calls, default model parameters, Bates with Heston defaults "
        f"(s = {S:g}, r = {R}, q = {Q}, tau = {TAU:g})"
    )
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


# ---------------------------------------------------------------- Heston calibration

# A synthetic Heston smile: 45 quotes, 5 maturities x 9 strikes, priced to 1e-10
# from known parameters, then fitted from the model defaults.
HESTON_TRUE = (0.05, 1.5, 0.06, 0.7, -0.6)
HESTON_NAMES = ("v0", "kappa", "theta", "sigma_v", "rho")
SMILE_TAUS = (0.25, 0.5, 1.0, 2.0, 3.0)
SMILE_STRIKES = tuple(70.0 + 7.5 * i for i in range(9))


def heston_calibration() -> dict[str, Any]:
    """Quotes of the synthetic smile and the calibrate() result fitted to them."""
    from .european import calibrate, european_price

    taus = [t for t in SMILE_TAUS for _ in SMILE_STRIKES]
    strikes = [k for _ in SMILE_TAUS for k in SMILE_STRIKES]
    prices = european_price("heston", HESTON_TRUE, strikes, taus, S, R, Q, "call", tol=1e-10)
    fit = calibrate("heston", strikes, taus, prices, S, R, Q, "call")
    return {"strikes": strikes, "taus": taus, "prices": prices, "fit": fit}


def format_calibration(cal: dict[str, Any]) -> str:
    fit = cal["fit"]
    rows = [
        (name, true, float(got))
        for name, true, got in zip(HESTON_NAMES, HESTON_TRUE, fit["params"], strict=False)
    ]
    title = (
        f"Heston calibration to {len(cal['prices'])} synthetic call quotes ({len(SMILE_TAUS)} maturities x "
        f"{len(SMILE_STRIKES)} strikes), from the model defaults: price rmse {fit['rmse']:.2e}, "
        f"{fit['iterations']} iterations, success {fit['success']}"
    )
    return format_table(title, ("parameter", "true", "fitted"), rows)


def plot_calibrated_smile(plt: Any, cal: dict[str, Any], path: Path) -> Path:
    """Market implied volatilities (points) against the fitted model's smile (lines), per maturity."""
    from .european import european_implied_vol, implied_vol

    fit = cal["fit"]["params"]
    market = np.asarray(implied_vol(cal["prices"], S, cal["strikes"], R, Q, cal["taus"], "call"))
    fine = [60.0 + i for i in range(81)]
    fig, ax = plt.subplots(figsize=(8, 5))
    for j, tau in enumerate(SMILE_TAUS):
        curve = european_implied_vol("heston", fit, fine, tau, S, R, Q, "call")
        (line,) = ax.plot(fine, curve, linewidth=1.2, label=f"fitted, tau = {tau:g}")
        n = len(SMILE_STRIKES)
        ax.plot(
            cal["strikes"][j * n : (j + 1) * n],
            market[j * n : (j + 1) * n],
            "o",
            color=line.get_color(),
            markersize=4,
        )
    ax.set_xlabel("strike")
    ax.set_ylabel("Black-Scholes implied volatility")
    ax.set_title("Heston calibration: market quotes (points) and fitted smile (lines)")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def run(output_dir: str | os.PathLike[str] = ".") -> None:
    out = Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    title = (
        f"American options: s = {S:g}, k = {STRIKE:g}, r = {R:g}, q = {Q:g}, "
        f"sigma = {SIGMA:g}, tau = {TAU:g}"
    )
    print(format_table(title, ("method", "put", "call"), american_rows()))
    print()
    path = plot_boundaries(out / "orvelta-exercise-boundary.png")
    print(
        f"exercise boundary plot: {path.resolve()}"
        if path
        else f"exercise boundary plot: needs matplotlib ({PLOTS_EXTRA})"
    )
    print()
    title = (
        f"European options under the Fourier models (default parameters; Bates: Heston defaults and default jumps): "
        f"s = {S:g}, k = {STRIKE:g}, r = {R:g}, q = {Q:g}, tau = {TAU:g}; the kernels at their default settings "
        f"against the accurate pricer (orvelta.european_price, tol {ACCURATE_TOL:g})"
    )
    header = (
        "model",
        "call FFT",
        "call direct",
        "call COS",
        "call accurate",
        "put FFT",
        "put direct",
        "put COS",
        "put accurate",
    )
    print(format_table(title, header, european_rows()))
    print()
    print(textwrap.fill(cos_truncation_note(), width=110))
    print()
    path = plot_fft_smiles(out / "orvelta-fft-smiles.png")
    print(
        f"FFT price and implied volatility plot: {path.resolve()}"
        if path
        else f"FFT price and implied volatility plot: needs matplotlib ({PLOTS_EXTRA})"
    )
    print()
    try:
        cal = heston_calibration()
    except ImportError:
        # The fit needs scipy, which the [demo] extra brings.
        print(f"Heston calibration to a synthetic smile: needs scipy ({PLOTS_EXTRA})")
        return
    print(format_calibration(cal))
    plt = pyplot()
    path = (
        plot_calibrated_smile(plt, cal, out / "orvelta-heston-smile.png")
        if plt is not None
        else None
    )
    print(
        f"Heston calibrated smile plot: {path.resolve()}"
        if path
        else f"Heston calibrated smile plot: needs matplotlib ({PLOTS_EXTRA})"
    )
