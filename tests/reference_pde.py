"""An independent fine-grid reference for options with discrete cash dividends.

A different code path from the engine it checks: the pricing equation in the
stock price itself (not its logarithm) on a uniform grid S_j = j dS from 0 to
S_max, whose step divides every dividend, strike and spot, so that the drop
S -> S - D on an ex-date is an exact shift of nodes (no interpolation) and
the payoff's kink sits on a node; second-order BDF steps (started with two
implicit-Euler quarter steps after expiry and after each ex-date); the
exercise constraint by policy iteration on LAPACK's banded solver; at S = 0
the equation is the ODE V_t = r V, at S_max the value is linear in S.
Successive grids halve dS and dt together; their prices are Richardson-
extrapolated assuming an error expansion in dS^2.

Rate, yield and volatility flat or piecewise constant in calendar time
(given as (times, values) with values[i] up to times[i] and the last value
beyond); knots are extra segment boundaries. Cash dividends only.
"""

from __future__ import annotations

import math

import numpy as np
from scipy.linalg import solve_banded


def solve(s, k, r, q, sigma, tau, call, dividends, american, ds, steps_per_year, s_max):
    """Price on one grid: step ds, about steps_per_year time steps per year."""
    j_max = int(round(s_max / ds))
    grid = np.arange(j_max + 1) * ds
    payoff = np.maximum(grid - k, 0.0) if call else np.maximum(k - grid, 0.0)
    v = payoff.copy()
    events = sorted((t, a) for t, a in dividends if 0.0 < t < tau and a > 0.0)
    knots = sorted(
        {t for c in (r, q, sigma) if isinstance(c, tuple) for t in c[0] if 0.0 < t < tau}
        | {t for t, _ in events}
    )
    # Segments in time to expiry: boundaries at expiry, every ex-date and knot;
    # shift[seg] is the dividend paid at the segment's end (0 for a knot).
    paid = {t: a for t, a in events}
    cuts = [tau - t for t in reversed(knots)]
    starts = [0.0] + cuts
    ends = cuts + [tau]
    shifts = [int(round(paid.get(t, 0.0) / ds)) for t in reversed(knots)]
    for t in knots:
        a = paid.get(t, 0.0)
        assert abs(round(a / ds) * ds - a) < 1e-12 * max(1.0, a), (
            "the grid step must divide each dividend"
        )
    for seg, (t0, t1) in enumerate(zip(starts, ends)):
        mid = tau - 0.5 * (t0 + t1)  # calendar time inside the segment
        r_s, q_s, sig_s = (_at(c, mid) for c in (r, q, sigma))
        a2 = 0.5 * sig_s * sig_s * (grid / ds) ** 2
        b1 = (r_s - q_s) * grid / (2.0 * ds)
        lower = a2 - b1  # coefficient of V_{j-1}
        upper = a2 + b1  # coefficient of V_{j+1}
        diag = -2.0 * a2 - r_s
        length = t1 - t0
        # At least 8 steps, and a number that grows with the level's steps
        # per year (a fixed floor would leave short segments' steps
        # unrefined, and the extrapolations settled on a biased value).
        m = max(8, int(math.ceil(steps_per_year * length)), int(math.ceil(0.08 * steps_per_year)))
        # Steps graded towards the segment's start (a kink there): dt_i ~ (i/m)^2.
        times = t0 + length * (np.arange(m + 1) / m) ** 2
        v_prev = None
        quarter = 2  # implicit-Euler quarter steps first
        i = 1
        while i <= m:
            dt = times[i] - times[i - 1]
            if quarter > 0:
                sub = dt / 4.0
                for _ in range(4):
                    v = _implicit(v, v, None, sub, lower, upper, diag, payoff, american, r, 1.0)
                quarter -= 1
                v_prev = None
            elif v_prev is None:
                v_new = _implicit(v, v, None, dt, lower, upper, diag, payoff, american, r, 1.0)
                v_prev, v = v, v_new
            else:
                # Variable-step BDF2.
                dt_old = times[i - 1] - times[i - 2]
                w = dt / dt_old
                c0 = (1.0 + 2.0 * w) / (1.0 + w)
                c1 = 1.0 + w
                c2 = w * w / (1.0 + w)
                rhs = c1 * v - c2 * v_prev
                v_new = _implicit(
                    rhs, v, None, dt / c0, lower, upper, diag, payoff, american, r, c0
                )
                v_prev, v = v, v_new
            i += 1
        if seg < len(shifts) and shifts[seg] > 0:
            sh = shifts[seg]
            moved = np.empty_like(v)
            moved[sh:] = v[: j_max + 1 - sh]
            # S < D: the stock goes to zero.
            moved[:sh] = v[0]
            if american:
                moved = np.maximum(moved, payoff)
            v = moved
    j = s / ds
    assert abs(j - round(j)) < 1e-9, "the grid step must divide the spot"
    return float(v[int(round(j))])


def _at(curve, t):
    """Value of a flat number or a (times, values) piecewise-constant curve at t."""
    if not isinstance(curve, tuple):
        return curve
    times, values = curve
    for ti, vi in zip(times, values):
        if t < ti:
            return vi
    return values[-1]


def _implicit(rhs, v_old, _unused, dt, lower, upper, diag, payoff, american, r, scale):
    """Solves (I - dt L) v = rhs / scale, subject to v >= payoff when American.

    Row 0 (S = 0) is the ODE V_t = r V by itself (its diffusion and drift
    coefficients vanish); the last row imposes V linear in S there."""
    n = rhs.size
    ab = np.zeros((3, n))  # LAPACK band storage: ab[1 + i - j, j] = A[i, j]
    ab[0, 1:] = -dt * upper[:-1]
    ab[1, :] = 1.0 - dt * diag
    ab[2, :-1] = -dt * lower[1:]
    # Row n-2 with V_{n-1} = 2 V_{n-2} - V_{n-3} substituted; row n-1 is then
    # a placeholder (identity, zero right-hand side) filled in after the solve.
    up = ab[0, n - 1]
    ab[2, n - 3] -= up
    ab[1, n - 2] += 2.0 * up
    ab[0, n - 1] = 0.0
    ab[1, n - 1] = 1.0
    ab[2, n - 2] = 0.0
    b = rhs / scale
    b[n - 1] = 0.0
    if not american:
        x = solve_banded((1, 1), ab, b)
        x[n - 1] = 2.0 * x[n - 2] - x[n - 3]
        return x
    active = v_old <= payoff
    active[n - 1] = False
    for _ in range(n + 2):
        abp = ab.copy()
        bp = b.copy()
        idx = np.nonzero(active)[0]
        abp[1, idx] = 1.0
        abp[0, idx[idx + 1 < n] + 1] = 0.0
        abp[2, idx[idx >= 1] - 1] = 0.0
        bp[idx] = payoff[idx]
        x = solve_banded((1, 1), abp, bp)
        x[n - 1] = 2.0 * x[n - 2] - x[n - 3]
        res = ab[1] * x - b
        res[:-1] += ab[0, 1:] * x[1:]
        res[1:] += ab[2, :-1] * x[:-1]
        new = np.where(active, res >= 0.0, x < payoff)
        new[n - 1] = False
        if np.array_equal(new, active):
            return x
        active = new
    raise RuntimeError("policy iteration did not converge")


def richardson(s, k, r, q, sigma, tau, call, dividends, american, ds0, steps0, levels, s_max):
    """Prices on `levels` grids (ds0 / 2^l, steps0 * 2^l) and their
    extrapolations: returns (raw, once, twice) lists."""
    raw = [
        solve(s, k, r, q, sigma, tau, call, dividends, american, ds0 / 2**l, steps0 * 2**l, s_max)
        for l in range(levels)
    ]
    once = [(4 * raw[i + 1] - raw[i]) / 3 for i in range(levels - 1)]
    twice = [(16 * once[i + 1] - once[i]) / 15 for i in range(levels - 2)]
    return raw, once, twice
