"""Finite-difference PSOR pricers: american_pde_psor and american_pde_psor_batch."""

import math
import re

import numpy as np
import pytest

from _helpers import random_book
from orvelta import _kernels as K
from references import black_scholes

PSOR_KEYS = ["price", "s_grid", "boundary", "residuals", "values"]
BATCH_DEFAULTS = dict(s_steps=100, t_steps=80, s_max_mult=3.0, omega=1.35, tol=1e-7, max_iter=3000)


def reference_solve(s, k, r, q, sigma, tau, option_type, *grid):
    """Plain-Python recomputation of the PSOR grid solver, operation by operation.

    Python's max(a, b) keeps a unless b is greater, like the solver's max, and
    math.exp is the C library's exp, so the result must agree to the last bit.
    The grid settings follow option_type in american_pde_psor's order, all of them.
    """
    s_steps, t_steps, s_max_mult, omega, tol, max_iter, american = grid
    N, M = max(s_steps, 20), max(t_steps, 4)
    call = option_type > 0
    m = max(s, k)
    s_max = max(1.5 * m, m * s_max_mult)
    ds = s_max / N
    S = [float(i) * ds for i in range(N + 1)]
    P = [max(x - k, 0.0) if call else max(k - x, 0.0) for x in S]
    old = list(P)
    boundary = [math.nan] * M + [k]
    residuals = [0.0] * M
    values = [None] * M + [list(P)]
    dt = max(tau, 1e-10) / M
    sig2, drift = sigma * sigma, r - q
    for n in range(M - 1, -1, -1):
        tn = tau - float(n) * dt
        if call:
            lower, upper = 0.0, s_max * math.exp(-q * tn) - k * math.exp(-r * tn)
        else:
            lower, upper = k * math.exp(-r * tn), 0.0
        lower, upper = max(P[0], lower), max(P[N], upper)
        rhs = list(old)
        rhs[0], rhs[N] = lower, upper
        new = list(rhs)
        err = 0.0
        for _ in range(max_iter):
            err = 0.0
            for i in range(1, N):
                x = float(i)
                w = sig2 * x * x
                a = (w - x * drift) * (-0.5 * dt)
                c = (x * drift + w) * (-0.5 * dt)
                b = (w + r) * dt + 1.0
                y = ((rhs[i] - a * new[i - 1]) - c * new[i + 1]) / b
                v = (y - new[i]) * omega + new[i]
                if american:
                    v = max(P[i], v)
                err = max(err, abs(v - new[i]))
                new[i] = v
            if err < tol:
                break
        residuals[n] = err
        if american:
            region = [S[i] for i in range(1, N) if abs(new[i] - P[i]) < 5e-5 and P[i] > 0.0]
            if region:
                boundary[n] = min(region) if call else max(region)
        values[n] = new
        old = new
    x = s / ds
    i0 = 0 if not x > 0.0 else N - 1 if x >= N - 1 else math.floor(x)
    w = (s - S[i0]) / ds
    price = (1.0 - w) * old[i0] + w * old[i0 + 1]
    return price, S, boundary, residuals, values


def batch_of(options, **kw):
    cols = list(zip(*options))
    return K.american_pde_psor_batch(
        *(np.array(c, dtype=float) for c in cols[:6]), np.array(cols[6], dtype=np.int32), **kw
    )


MARKETS = [
    (100.0, 100.0, 0.05, 0.02, 0.2, 1.0),
    (90.0, 100.0, 0.03, 0.0, 0.3, 0.5),
    (110.0, 100.0, 0.06, 0.04, 0.25, 2.0),
    (100.0, 120.0, 0.01, 0.03, 0.4, 1.5),
]


# --- the single solver, recomputed bit for bit -------------------------------------------


@pytest.mark.parametrize(
    "args",
    [
        # s, k, r, q, sigma, tau, type, s_steps, t_steps, mult, omega, tol, max_iter, american
        (100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0, 20, 4, 3.0, 1.35, 1e-7, 5000, True),
        (100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 1, 24, 6, 3.0, 1.35, 1e-7, 5000, True),
        (95.0, 100.0, 0.05, 0.0, 0.3, 0.5, -1, 30, 5, 2.0, 1.2, 1e-9, 5000, True),
        (105.0, 100.0, 0.04, 0.07, 0.25, 1.0, 2, 25, 4, 1.0, 1.5, 1e-8, 5000, True),
        (100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0, 20, 4, 3.0, 1.35, 1e-7, 5000, False),
        (100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 1, 20, 4, 3.0, 1.35, 0.0, 7, False),
        (100.0, 100.0, 0.05, 0.02, 0.2, 0.0, 0, 20, 4, 3.0, 1.35, 1e-7, 50, True),
        (100.0, 100.0, 0.05, 0.02, 0.2, -1.0, 1, 20, 4, 3.0, 1.35, 1e-7, 50, True),
        (100.0, 100.0, 0.05, 0.02, 0.0, 1.0, 0, 20, 4, 3.0, 1.35, 1e-7, 50, True),
        (300.0, 100.0, -0.02, 0.01, 0.2, 1.0, 0, 20, 4, 3.0, 1.35, 1e-7, 50, True),
        # Spots off the grid: the node index is clamped, never undefined.
        (0.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 20, 4, 3.0, 1.35, 1e-7, 50, True),
        (-5.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 20, 4, 3.0, 1.35, 1e-7, 50, True),
    ],
)
def test_solver_matches_step_by_step_recomputation(args):
    got = K.american_pde_psor(*args)
    price, S, boundary, residuals, values = reference_solve(*args)
    assert got["price"] == price or (math.isnan(price) and math.isnan(got["price"]))
    np.testing.assert_array_equal(got["s_grid"], S)
    np.testing.assert_array_equal(got["boundary"], boundary)
    np.testing.assert_array_equal(got["residuals"], residuals)
    np.testing.assert_array_equal(got["values"], np.array(values))


def test_keys_in_order_and_shapes():
    res = K.american_pde_psor(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0)
    assert list(res) == PSOR_KEYS
    assert type(res["price"]) is float
    assert [res[key].shape for key in PSOR_KEYS[1:]] == [(161,), (121,), (120,), (121, 161)]
    assert list(K.american_pde_psor_batch([100.0], [100.0], [0.05], [0.0], [0.2], [1.0], [0])) == [
        "prices",
        "residuals",
    ]


@pytest.mark.parametrize(
    "s_steps, t_steps, nodes, levels",
    [(5, 1, 21, 5), (-7, 0, 21, 5), (20, 4, 21, 5), (21, 5, 22, 6)],
)
def test_sizes_below_their_floors_are_raised(s_steps, t_steps, nodes, levels):
    res = K.american_pde_psor(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, s_steps, t_steps)
    assert res["s_grid"].shape == (nodes,)
    assert res["boundary"].shape == (levels,)
    assert res["residuals"].shape == (levels - 1,)
    assert res["values"].shape == (levels, nodes)


def test_grid_and_interpolation_example():
    res = K.american_pde_psor(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0, s_steps=160, s_max_mult=3.0)
    grid, V = res["s_grid"], res["values"][0]
    assert grid[-1] == 300.0
    np.testing.assert_array_equal(grid, np.arange(161) * 1.875)
    assert grid[53] < 100.0 < grid[54]
    w = (100.0 - grid[53]) / 1.875
    assert w == pytest.approx(1.0 / 3.0, abs=1e-15)
    assert res["price"] == (1.0 - w) * V[53] + w * V[54]
    # A multiplier below 1.5 acts as 1.5.
    for mult in (1.0, -2.0):
        assert (
            K.american_pde_psor(100.0, 90.0, 0.05, 0.0, 0.2, 1.0, 0, 20, 4, mult)["s_grid"][-1]
            == 150.0
        )


@pytest.mark.parametrize("option_type, boundary_node", [(0, 19), (1, 21)])
def test_max_iter_zero_leaves_the_payoff(option_type, boundary_node):
    # N = 60 over [0, 300]: ds = 5, the strike on node 20, the spot 97 between nodes 19 and 20.
    res = K.american_pde_psor(97.0, 100.0, 0.05, 0.0, 0.2, 1.0, option_type, 60, 8, max_iter=0)
    grid, values = res["s_grid"], res["values"]
    payoff = np.maximum(grid - 100.0, 0.0) if option_type else np.maximum(100.0 - grid, 0.0)
    np.testing.assert_array_equal(res["residuals"], np.zeros(8))
    np.testing.assert_array_equal(values[:, 1:-1], np.broadcast_to(payoff[1:-1], (9, 59)))
    w = (97.0 - grid[19]) / 5.0
    assert res["price"] == (1.0 - w) * payoff[19] + w * payoff[20]
    np.testing.assert_array_equal(res["boundary"], [grid[boundary_node]] * 8 + [100.0])
    batch = batch_of([(97.0, 100.0, 0.05, 0.0, 0.2, 1.0, option_type)] * 2, max_iter=0)
    np.testing.assert_array_equal(batch["residuals"], [0.0, 0.0])


def test_stopping_rule():
    args = (100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0, 40, 8, 3.0, 1.35)

    def run(tol, max_iter):
        return K.american_pde_psor(*args, tol, max_iter)["residuals"]

    # tol = 0 never stops a level early: every level runs max_iter sweeps.
    assert not np.array_equal(run(0.0, 5), run(0.0, 4))
    # A change below tol stops the level after its first sweep.
    np.testing.assert_array_equal(run(1e30, 5), run(0.0, 1))
    # A converged run ends every level below tol.
    assert np.all(run(1e-7, 5000) < 1e-7)


def test_european_mode_boundary_and_payoff_floor():
    res = K.american_pde_psor(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, american=False)
    assert np.isnan(res["boundary"][:-1]).all() and res["boundary"][-1] == 100.0
    # Deep in the money the European put is worth less than its payoff, but the
    # end value at S = 0 is floored at the payoff k rather than k exp(-r tn).
    assert (res["values"][0, 1:-1] < np.maximum(100.0 - res["s_grid"][1:-1], 0.0)).any()
    np.testing.assert_array_equal(res["values"][:, 0], np.full(121, 100.0))
    # Likewise a call's top value s_max exp(-q tn) - k exp(-r tn) is floored at s_max - k.
    call = K.american_pde_psor(100.0, 100.0, 0.01, 0.1, 0.2, 1.0, 1, american=False)
    np.testing.assert_array_equal(call["values"][:, -1], np.full(121, 200.0))


# --- accuracy against independent references --------------------------------------------


# Measured at the defaults (160 price intervals, 120 time steps) on MARKETS: the
# largest error is 1.7e-2 against Black-Scholes (European mode) and 2.2e-2
# against a 10000-step lattice (American mode); at 320 x 480 both fall below 7e-3.
@pytest.mark.parametrize("market", MARKETS)
@pytest.mark.parametrize("option_type", [0, 1])
def test_european_mode_against_black_scholes(market, option_type):
    got = K.american_pde_psor(*market, option_type, american=False)["price"]
    assert got == pytest.approx(black_scholes(*market, option_type == 1), abs=0.025)


@pytest.mark.parametrize("market", MARKETS)
@pytest.mark.parametrize("option_type", [0, 1])
def test_american_mode_against_fine_lattice(market, option_type):
    ref = K.american_tree_boundary(*market, option_type, steps=10000)["price"]
    coarse = K.american_pde_psor(*market, option_type)["price"]
    fine = batch_of([(*market, option_type)], s_steps=320, t_steps=480)["prices"][0]
    assert coarse == pytest.approx(ref, abs=0.025)
    assert fine == pytest.approx(ref, abs=0.008)
    assert abs(fine - ref) < abs(coarse - ref)


# --- the batch ----------------------------------------------------------------------------


def test_batch_of_one_equals_single_call_with_batch_defaults():
    opt = (100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0)
    batch = batch_of([opt])
    single = K.american_pde_psor(*opt, **BATCH_DEFAULTS, american=True)
    assert batch["prices"][0] == single["price"]
    assert batch["residuals"][0] == max(0.0, single["residuals"].max())


@pytest.mark.parametrize("american", [True, False])
@pytest.mark.parametrize(
    "n, kw",
    [
        (6, dict(s_steps=40, t_steps=30, s_max_mult=2.5, omega=1.2, tol=1e-8, max_iter=2000)),
        (11, dict(s_steps=30, t_steps=12, tol=0.0, max_iter=7)),  # every level runs max_iter sweeps
        (5, dict(s_steps=25, t_steps=6, max_iter=0)),  # no sweep at all
        (9, dict(s_steps=24, t_steps=10, omega=1.9, tol=1e-12)),
    ],
)
def test_batch_equals_single_calls_bit_for_bit(american, n, kw):
    rng = np.random.default_rng(20261208 + n)
    ranges = dict(k=(80, 120), r=(-0.01, 0.08), q=(0.0, 0.06), sigma=(0.1, 0.5), tau=(0.1, 2.0))
    book = random_book(rng, n, types=(-1, 3), **ranges)
    book["tau"][0] = 0.0  # expired: the floored time step
    if n > 6:
        book["sigma"][6] = math.nan  # a NaN volatility has no price
    options = list(zip(*book.values()))
    batch = batch_of(options, **kw, american=american)
    for i, opt in enumerate(options):
        single = K.american_pde_psor(
            *(float(x) for x in opt[:6]), int(opt[6]), **kw, american=american
        )
        np.testing.assert_array_equal(batch["prices"][i], single["price"])
        np.testing.assert_array_equal(
            batch["residuals"][i], np.maximum(0.0, single["residuals"].max())
        )


def test_batch_option_types_call_put_put():
    opt = (100.0, 100.0, 0.05, 0.0, 0.2, 1.0)
    prices = batch_of([(*opt, 1), (*opt, 0), (*opt, -1)], s_steps=20, t_steps=4)["prices"]
    call = K.american_pde_psor(*opt, 1, 20, 4)["price"]
    put = K.american_pde_psor(*opt, 0, 20, 4)["price"]
    np.testing.assert_array_equal(prices, [call, put, put])


def test_empty_batch():
    e = np.empty(0)
    res = K.american_pde_psor_batch(e, e, e, e, e, e, np.empty(0, dtype=np.int32))
    assert list(res) == ["prices", "residuals"]
    assert res["prices"].shape == (0,) and res["residuals"].shape == (0,)
    assert res["prices"].dtype == np.float64


LENGTH_MSG = "all input arrays must have the same length"


def _inputs(n=3):
    return [np.full(n, v) for v in (100.0, 100.0, 0.05, 0.0, 0.2, 1.0)] + [
        np.zeros(n, dtype=np.int32)
    ]


def test_short_option_type_is_a_length_error():
    args = _inputs()
    args[6] = args[6][:2]
    with pytest.raises(RuntimeError, match=re.escape(LENGTH_MSG)):
        K.american_pde_psor_batch(*args)


def test_length_error_comes_before_dimension_error():
    args = _inputs()
    args[2] = np.full((2, 2), 0.05)
    with pytest.raises(RuntimeError, match=re.escape(LENGTH_MSG)):
        K.american_pde_psor_batch(*args)


@pytest.mark.parametrize(
    "bad, shape, ndim",
    [(None, (2, 3), 2), (1, (1, 6), 2), (6, (6, 1), 2), (5, (1, 1, 6), 3)],
)
def test_dimension_errors(bad, shape, ndim):
    # bad = None reshapes all seven arrays; otherwise only the array at that position.
    args = _inputs(6)
    for i in range(7) if bad is None else [bad]:
        args[i] = args[i].reshape(shape)
    msg = f"array has incorrect number of dimensions: {ndim}; expected 1"
    with pytest.raises(ValueError, match=re.escape(msg)):
        K.american_pde_psor_batch(*args)


def test_scalar_inputs_are_zero_dimensional():
    with pytest.raises(
        ValueError, match=re.escape("array has incorrect number of dimensions: 0; expected 1")
    ):
        K.american_pde_psor_batch(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0)


def test_value_surface_too_large_is_a_memory_error():
    # (2^31)^2 cells: counted in 64 bits, the byte size exceeds any address space.
    with pytest.raises(MemoryError):
        K.american_pde_psor(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 2**31 - 1, 2**31 - 1)
