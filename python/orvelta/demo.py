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
# Grid of american_pde_psor's defaults: price intervals by time steps.
PSOR_S_STEPS, PSOR_T_STEPS = 160, 120


def american_rows() -> list[tuple[str, float, float]]:
    """(method, put price, call price) for every American pricer."""
    rows = []
    for tree_type, name in ((0, "Cox-Ross-Rubinstein"), (1, "Tian")):
        put, call = (
            K.american_tree_boundary(S, STRIKE, R, Q, SIGMA, TAU, kind, TREE_STEPS, tree_type)["price"]
            for kind in (PUT, CALL)
        )
        rows.append((f"{name} lattice, {TREE_STEPS} steps", put, call))
    put, call = (K.american_pde_psor(S, STRIKE, R, Q, SIGMA, TAU, kind)["price"] for kind in (PUT, CALL))
    rows.append((f"PSOR finite differences, {PSOR_S_STEPS} x {PSOR_T_STEPS} grid", put, call))
    return rows


def boundary_curves() -> list[tuple[str, list[float], list[float]]]:
    """(label, times, critical spot) of the American put's exercise boundary per method."""
    curves = []
    for tree_type, name in ((0, "CRR"), (1, "Tian")):
        res = K.american_tree_boundary(S, STRIKE, R, Q, SIGMA, TAU, PUT, TREE_STEPS, tree_type)
        curves.append((f"{name} lattice ({TREE_STEPS} steps)", list(res["times"]), list(res["boundary"])))
    # PSOR reports one boundary value per time level; level n lies n * TAU / M
    # after today (level 0 today, level M at expiry), the lattice's time axis.
    psor = list(K.american_pde_psor(S, STRIKE, R, Q, SIGMA, TAU, PUT)["boundary"])
    levels = len(psor) - 1
    times = [n * TAU / levels for n in range(levels + 1)]
    curves.append((f"PSOR grid ({PSOR_S_STEPS} x {PSOR_T_STEPS})", times, psor))
    return curves


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
        # Lattice boundaries alternate between odd and even rows' nodes: show the points.
        ax.plot([t for t, _ in pts], [b for _, b in pts], ".-", markersize=3, linewidth=0.6, label=label)
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
