"""The demo behind ``python -m orvelta demo``: one American put and call priced
by every method of the package, and a plot of the put's early-exercise boundary."""

from __future__ import annotations

import math
import os
from pathlib import Path

from . import _kernels as K

# The demo's option: at the money, one year, with a dividend yield.
S, STRIKE, R, Q, SIGMA, TAU = 100.0, 100.0, 0.05, 0.02, 0.2, 1.0
PUT, CALL = 0, 1
TREE_STEPS = 200
# Longstaff-Schwartz: antithetic paths over 50 exercise dates; the policy fitted
# on one seed's paths is evaluated out of sample on another seed's.
LSM_PATHS, LSM_DATES, LSM_TRAIN_SEED, LSM_FRESH_SEED = 50_000, 50, 7, 8


def american_rows() -> list[tuple[str, float, float]]:
    """(method, put price, call price) for every American pricer."""
    rows = []
    for tree_type, name in ((0, "Cox-Ross-Rubinstein"), (1, "Tian")):
        put, call = (
            K.american_tree_boundary(S, STRIKE, R, Q, SIGMA, TAU, kind, TREE_STEPS, tree_type)["price"]
            for kind in (PUT, CALL)
        )
        rows.append((f"{name} lattice, {TREE_STEPS} steps", put, call))
    rows.extend(lsm_rows())
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
        (f"Longstaff-Schwartz out-of-sample, {len(fresh)} fresh paths", fresh_prices[PUT], fresh_prices[CALL]),
    ]


def boundary_curves() -> list[tuple[str, list[float], list[float]]]:
    """(label, times, critical spot) of the American put's exercise boundary per method."""
    res = K.american_tree_boundary(S, STRIKE, R, Q, SIGMA, TAU, PUT, TREE_STEPS, 0)
    return [(f"CRR lattice ({TREE_STEPS} steps)", list(res["times"]), list(res["boundary"]))]


def format_table(title: str, header: tuple[str, ...], rows: list[tuple]) -> str:
    """A plain-text table: first column left-aligned, numbers to 6 decimals."""
    cells = [[str(c) if isinstance(c, str) else f"{c:.6f}" for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, h in enumerate(header)]
    lines = [title, ""]
    lines.append("  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths))))
    lines.append("  ".join("-" * w for w in widths))
    for r in cells:
        lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


def plot_boundaries(path: Path) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5))
    for label, times, boundary in boundary_curves():
        pts = [(t, b) for t, b in zip(times, boundary) if not math.isnan(b)]
        ax.plot([t for t, _ in pts], [b for _, b in pts], label=label)
    ax.set_xlabel("time (years)")
    ax.set_ylabel("critical spot price")
    ax.set_title(f"American put early-exercise boundary (K = {STRIKE:g}, r = {R}, q = {Q}, sigma = {SIGMA})")
    ax.legend()
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def run(output_dir: str | os.PathLike = ".") -> None:
    out = Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    title = (
        f"American options: s = {S:g}, k = {STRIKE:g}, r = {R:g}, q = {Q:g}, "
        f"sigma = {SIGMA:g}, tau = {TAU:g}"
    )
    print(format_table(title, ("method", "put", "call"), american_rows()))
    print()
    path = plot_boundaries(out / "orvelta-exercise-boundary.png")
    print(f"exercise boundary plot: {path.resolve()}")
