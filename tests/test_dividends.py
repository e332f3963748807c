"""Options with discrete dividends and term structures (the dividend engine
behind american_price / american_greeks / american_implied_vol with
dividends=, curves or american=False), against independent references:
one-dimensional integrals (exact for a European option with one dividend and
for an American call with one dividend and no yield), closed forms, the
dividend-free accurate pricer, and a fine-grid solver in the stock price
(tests/reference_pde.py) whose own convergence is shown below."""

from __future__ import annotations

import math
import pickle

import numpy as np
import pytest
from scipy import integrate, optimize
from scipy.stats import norm

import orvelta
import reference_pde
from orvelta import Curve
from references import black_scholes

# ------------------------------------------------------------- references


def _bs(s, k, r, q, sigma, tau, call):
    if s <= 0.0:
        return 0.0 if call else k * math.exp(-r * tau)
    return black_scholes(s, k, r, q, sigma, tau, call)


def _after_one_dividend(s, r, q, sigma, t_d, fn, kinks=()):
    """E[e^{-r t_d} fn(S_{t_d})] for the lognormal stock at the ex-date, by
    adaptive quadrature over the standard normal variable, piece by piece
    between the stock prices `kinks` where fn has a kink (across one, the
    quadrature's own error estimate is not to be trusted)."""
    drift = (r - q - 0.5 * sigma * sigma) * t_d
    vol = sigma * math.sqrt(t_d)

    def integrand(z):
        return fn(s * math.exp(drift + vol * z)) * norm.pdf(z)

    cuts = sorted((math.log(x / s) - drift) / vol for x in kinks if x > 0.0)
    edges = [-12.0] + [z for z in cuts if -12.0 < z < 12.0] + [12.0]
    val = 0.0
    for a, b in zip(edges[:-1], edges[1:]):
        piece, _ = integrate.quad(integrand, a, b, limit=400, epsabs=1e-13, epsrel=1e-13)
        val += piece
    return math.exp(-r * t_d) * val


def european_one_dividend(s, k, r, q, sigma, tau, call, t_d, d):
    """European price with one cash dividend d at t_d (the stock drops to
    max(S - d, 0)): the Black-Scholes price after the ex-date, integrated
    over the stock's lognormal law at the ex-date."""
    return _after_one_dividend(
        s,
        r,
        q,
        sigma,
        t_d,
        lambda x: _bs(max(x - d, 0.0), k, r, q, sigma, tau - t_d, call),
        kinks=(d,),
    )


def american_call_one_dividend(s, k, r, sigma, tau, t_d, d):
    """American call with one cash dividend, no yield and r >= 0: exercise can
    only pay just before the ex-date, and after it the call is European."""

    def after(x):
        return _bs(max(x - d, 0.0), k, r, 0.0, sigma, tau - t_d, True)

    # Kinks: where the stock would go to zero, the strike, and where
    # exercise starts (the payoff overtakes the call after the drop).
    kinks = [d, k]
    lo = max(d, k)
    if lo - k < after(lo):
        hi = 2.0 * lo
        while hi - k < after(hi) and hi < 1e6 * lo:
            hi *= 2.0
        if hi - k >= after(hi):
            kinks.append(optimize.brentq(lambda x: x - k - after(x), lo, hi, xtol=1e-14))
    return _after_one_dividend(s, r, 0.0, sigma, t_d, lambda x: max(x - k, after(x)), kinks)


# ------------------------------------------------------------------ tests


@pytest.mark.parametrize("call", [False, True])
@pytest.mark.parametrize(
    "s, k, r, q, sigma, tau, t_d, d",
    [
        (100.0, 100.0, 0.05, 0.0, 0.25, 1.0, 0.5, 2.0),
        (100.0, 90.0, 0.03, 0.01, 0.4, 2.0, 0.1, 5.0),
        (100.0, 110.0, -0.01, -0.02, 0.15, 0.5, 0.45, 1.0),
        (100.0, 100.0, 0.05, 0.0, 0.3, 1.0, 0.5, 60.0),  # a dividend of most of the stock
        (100.0, 100.0, 0.05, 0.0, 0.3, 1.0, 0.5, 150.0),  # more than the stock is worth
        (100.0, 100.0, 0.05, 0.0, 0.3, 1.0, 0.999, 3.0),  # a day before expiry
        # A large variance after the ex-date: the value just above where the
        # drop takes the stock to zero varies on every scale of ln S (once
        # 1.6e-5 off at every tol, its error the same on two refinements).
        (100.0, 54.2374240, 0.0140388, 0.0404860, 1.3223872, 6.5626352, 2.3815513, 14.0341129),
    ],
)
@pytest.mark.parametrize("tol", [1e-4, 1e-6, 1e-8])
def test_european_one_dividend_matches_integral(s, k, r, q, sigma, tau, t_d, d, call, tol):
    ref = european_one_dividend(s, k, r, q, sigma, tau, call, t_d, d)
    got = orvelta.american_price(
        s, k, r, q, sigma, tau, 1 if call else -1, tol=tol, dividends=[[t_d, d]], american=False
    )
    assert abs(got - ref) <= tol, (got, ref)


@pytest.mark.parametrize(
    "k, sigma, tau, t_d, d, call, ref",
    [
        # A variance of 40 after the ex-date: the value just above where the
        # drop takes the stock to zero varies with ln(S - D) over thirty
        # decades, and a dividend of more than the stock multiplies the
        # stock's moves there. Once up to 8e-6 off at tol 1e-8, two
        # refinements alike. References: an mpmath integral at 30 digits and
        # nested quadrature in ln(S - D), agreeing to 1e-13.
        (100.0, 2.0, 10.0, 0.3, 120.0, True, 36.7360313484034),
        (300.0, 2.0, 10.0, 0.3, 120.0, True, 36.70989900446643),
        (300.0, 3.0, 5.0, 0.3, 50.0, True, 72.27335170908938),
        (300.0, 2.0, 10.0, 0.3, 120.0, False, 181.89816744251334),
        (50.0, 0.8, 1.0, 0.3, 120.0, False, 40.77082009818432),
    ],
)
@pytest.mark.parametrize("tol", [1e-4, 1e-8])
def test_european_large_variance_after_a_large_dividend(k, sigma, tau, t_d, d, call, ref, tol):
    got = orvelta.american_price(
        100.0, k, 0.05, 0.0, sigma, tau, 1 if call else -1, tol=tol, dividends=[[t_d, d]],
        american=False,
    )  # fmt: skip
    assert abs(got - ref) <= tol, (got, ref)


def test_european_two_dividends_match_nested_integrals():
    # The price after the first ex-date is the one-dividend integral; the
    # price today integrates it over the stock at the first ex-date.
    s, k, r, q, sigma, tau = 100.0, 95.0, 0.04, 0.01, 0.35, 1.5
    (t1, d1), (t2, d2) = (0.3, 4.0), (0.8, 6.0)

    def after_first(x):
        if x <= 0.0:
            return k * math.exp(-r * (tau - t1))
        return european_one_dividend(x, k, r, q, sigma, tau - t1, False, t2 - t1, d2)

    ref = _after_one_dividend(s, r, q, sigma, t1, lambda x: after_first(max(x - d1, 0.0)), (d1,))
    for tol in (1e-6, 1e-8):
        got = orvelta.american_price(
            s, k, r, q, sigma, tau, -1, tol=tol, dividends=[[t1, d1], [t2, d2]], american=False
        )
        assert abs(got - ref) <= tol, (tol, got, ref)


def test_european_dividends_that_take_the_stock_to_zero_against_the_grids():
    # Five dividends worth more than the stock within two months, one stage
    # three days long: the recursion's value after the third ex-date has
    # features a fraction of a standard deviation wide just above where the
    # next drop takes the stock to zero. Two coarse refinements once agreed
    # by chance, 4.2e-6 off at tol 1e-6. The reference is the grids (another
    # method: Crank-Nicolson in ln S, Richardson-extrapolated), two levels
    # of which agree to 1e-9.
    from orvelta import _engines as E

    k, sig, tau, r, q = 86.19985121924847, 0.2104036053, 0.1820560007, 0.0838111614, 0.0395630787
    times = [0.0501335578, 0.0727598133, 0.1022808306, 0.1115838509, 0.1585961097]
    amounts = [7.2934728796, 29.8997293874, 30.1137143929, 22.7224171907, 36.8510791236]
    args = (100.0, k, tau, -1, [0.0], [r], [0.0], [q], [0.0], [sig], times, amounts, False, False)
    ref6, _ = E._dividend_price_levels(*args, 100, 50, 6)
    ref, est = E._dividend_price_levels(*args, 100, 50, 7)
    assert abs(ref - ref6) < 2e-9 and est < 2e-9
    for tol in (1e-4, 1e-6, 1e-8):
        got = orvelta.american_price(
            100.0, k, r, q, sig, tau, -1, tol=tol, dividends=np.c_[times, amounts], american=False
        )
        assert abs(got - ref) <= tol, (tol, got, ref)


def test_grids_resolve_later_dividends_after_a_drop_to_about_zero():
    # The fourth dividend can take the stock to about zero; just after it the
    # value still feels the fifth one's cut. The grids once took it as linear
    # between zero and their lowest node, 3.7e-4 off with an estimate of
    # 4e-7. The reference is the recursion of integrals (within 2e-9 of the
    # fine-grid solver in S, whose extrapolations settle to 93.3409716 ..
    # 93.3409725, and of a Monte Carlo estimate of the cut's effect).
    from orvelta import _engines as E

    k, sig, tau, r, q = 146.0, 0.084, 4.43, 0.0686, 0.0204
    times, amounts = [0.016, 0.083, 0.88, 2.82, 4.03], [38.5, 8.5, 18.0, 22.5, 0.5]
    ref = orvelta.american_price(
        100.0, k, r, q, sig, tau, -1, tol=1e-10, dividends=np.c_[times, amounts], american=False
    )
    args = (100.0, k, tau, -1, [0.0], [r], [0.0], [q], [0.0], [sig], times, amounts, False, False)
    grid, est = E._dividend_price_levels(*args, 100, 50, 6)
    assert abs(grid - ref) <= 1e-7 and est < 1e-7, (grid, ref, est)


def test_european_proportional_dividends_hours_apart_are_exact():
    # Five proportional dividends within an hour before expiry: stages of
    # hours once sent the option to the grids, which gave NaN. Without
    # exercise a proportional drop commutes with the stock's lognormal
    # moves, so the price is Black-Scholes on the spot times every kept
    # fraction.
    k, r, q, sig, tau = 269.4528306362138, 0.0521183014, -0.0378105723, 0.0136016905, 4.891559175
    divs = [[4.8914636551, 0.196], [4.8913820992, 0.2465], [4.8912155661, 0.3383]]
    divs += [[4.8911938193, 0.0304], [4.8911626887, 0.2778]]
    spot = 100.0 * math.prod(1.0 - f for _, f in divs)
    for call in (False, True):
        ref = black_scholes(spot, k, r, q, sig, tau, call)
        for tol in (1e-6, 1e-10):
            got = orvelta.american_price(
                100.0, k, r, q, sig, tau, 1 if call else -1, tol=tol, dividends=divs,
                dividend_kind="proportional", american=False,
            )  # fmt: skip
            assert abs(got - ref) <= tol, (call, tol, got, ref)


def test_dividends_taking_the_stock_to_zero_price_in_bounded_memory(run_python):
    # Two or more cash dividends with a variance of 40: pieces of the
    # integral a few ulps long once stopped the panel walk from advancing,
    # and the process grew until the machine killed it. In a child with
    # 1 GiB of address space to spare. References: an independent recursion
    # with adaptive piecewise Chebyshev tables, at two settings agreeing to
    # 1e-13.
    out = run_python("""
import resource
import orvelta
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (vm + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
for divs, kind in (([[3.0, 2.0], [5.0, 80.0]], 1), ([[1.0, 150.0], [3.0, 2.0]], -1)):
    for tol in (1e-3, 1e-8):
        print(repr(float(orvelta.american_price(
            100.0, 100.0, 0.05, 0.0, 2.0, 10.0, kind, tol=tol, dividends=divs, american=False))))
""")
    refs = [97.522990645933, 97.522990645933, 60.616519598695, 60.616519598695]
    for line, ref, tol in zip(out.split(), refs, [1e-3, 1e-8] * 2):
        assert abs(float(line) - ref) <= tol, (line, ref)


def test_american_call_with_dividends_hours_apart():
    # Two cash dividends 6 hours apart: the stage between them needs more
    # than a thousand nodes, and once the recursion gave up for the grids,
    # which returned NaN. Reference: an independent recursion with adaptive
    # piecewise Chebyshev tables.
    args = (100.0, 28.531018055897743, 0.0033609431254948865, -0.008884499993512011)
    args += (0.7180036872988552, 1.837589910903242, 1)
    divs = [[1.6252568411404997, 3.368576999562069], [1.6259476074285644, 29.60474872617456]]
    for tol in (1e-6, 1e-10):
        got = orvelta.american_price(*args, tol=tol, dividends=divs)
        assert abs(got - 74.78168552949) <= tol + 1e-11, (tol, got)


def test_european_one_dividend_to_1e_8():
    ref = european_one_dividend(100.0, 95.0, 0.04, 0.0, 0.3, 1.0, False, 0.4, 2.5)
    got = orvelta.american_price(
        100.0, 95.0, 0.04, 0.0, 0.3, 1.0, -1, tol=1e-8, dividends=[[0.4, 2.5]], american=False
    )
    assert abs(got - ref) <= 1e-8, (got, ref)


@pytest.mark.parametrize(
    "s, k, r, sigma, tau, t_d, d",
    [
        (100.0, 100.0, 0.05, 0.25, 1.0, 0.5, 3.0),
        (110.0, 100.0, 0.02, 0.2, 0.5, 0.25, 5.0),  # deep enough to be exercised before the ex-date
        (100.0, 80.0, 0.05, 0.4, 1.0, 0.9, 10.0),
        (100.0, 120.0, 0.03, 1.3, 6.5, 2.4, 14.0),  # a large variance after the ex-date
    ],
)
@pytest.mark.parametrize("tol", [1e-4, 1e-8])
def test_american_call_one_dividend_matches_integral(s, k, r, sigma, tau, t_d, d, tol):
    ref = american_call_one_dividend(s, k, r, sigma, tau, t_d, d)
    got = orvelta.american_price(s, k, r, 0.0, sigma, tau, 1, tol=tol, dividends=[[t_d, d]])
    assert abs(got - ref) <= tol, (got, ref)


@pytest.mark.parametrize(
    "s, k, r, q, sigma, tau, call",
    [
        (100.0, 100.0, 0.05, 0.0, 0.25, 1.0, False),
        (90.0, 100.0, 0.08, 0.02, 0.35, 0.5, False),
        (100.0, 100.0, 0.03, 0.06, 0.2, 1.5, True),
        (100.0, 100.0, -0.01, -0.03, 0.2, 1.0, False),  # two exercise boundaries
        (100.0, 100.0, -0.03, -0.01, 0.2, 1.0, True),
        (100.0, 100.0, -0.01, -0.03, 0.2, 10.0, False),  # a band that closes before tau
        (120.0, 100.0, -0.03, -0.01, 0.3, 8.0, True),
    ],
)
def test_flat_without_dividends_agrees_with_american_price(s, k, r, q, sigma, tau, call):
    tol = 1e-5
    opt = 1 if call else -1
    ref = orvelta.american_price(s, k, r, q, sigma, tau, opt, tol=1e-9)
    got = orvelta.american_price(s, k, Curve([tau], [r]), q, sigma, tau, opt, tol=tol)
    assert abs(got - ref) <= tol, (got, ref)


def test_reference_solver_converges():
    """The fine-grid reference at coarse settings: its extrapolated prices
    approach the stored value at the expected rate."""
    case = REFERENCE_CASES["put_atm_3div"]
    raw, once, _ = reference_pde.richardson(*case, True, 1.0, 50, 3, 400.0)
    ref = REFERENCE_VALUES["put_atm_3div"]
    errors = [abs(x - ref) for x in raw]
    # At least second order: each halving divides the error by 3 or more.
    assert errors[1] < errors[0] / 3 and errors[2] < errors[1] / 3, errors
    assert abs(once[-1] - ref) < 1e-4


# Fine-grid references (tests/reference_pde.py, uniform grid in S of step
# dS = 0.5 / 2^l up to S_max = 400, 100 * 2^l time steps a year, l = 0..4;
# about 12 s each). The once-extrapolated sequences, finest last, converge as
#   put_atm_3div        10.6187690 10.6187365 10.61873415 10.61873421
#   put_itm_4div        17.6755808 17.6755227 17.67551745 17.67551727
#   put_negative_rates   8.2513214  8.2513237  8.25132341  8.25132374
#   call_2div            9.6059534  9.6059111  9.60590722  9.60590887
#   put_large_div       46.9789797 46.9789828 46.97898270 46.97898278
# (raw prices move by 1.6e-6 .. 4.5e-6 between the last two grids, at the
# second-order rate); the references below are the last once-extrapolated
# values, within 3e-7 of the limit (2e-6 for the call, whose exercise just
# before each ex-date adds a kink between nodes).
REFERENCE_VALUES: dict[str, float] = {
    "put_atm_3div": 10.618734213031543,
    "put_itm_4div": 17.675517268676057,
    "put_negative_rates": 8.251323744178555,
    "call_2div": 9.605908874892128,
    "put_large_div": 46.97898277788278,
}
REFERENCE_CASES = {
    "put_atm_3div": (
        100.0,
        100.0,
        0.05,
        0.0,
        0.25,
        1.0,
        False,
        [(0.25, 2.0), (0.5, 2.0), (0.75, 2.0)],
    ),
    "put_itm_4div": (
        90.0,
        100.0,
        0.03,
        0.0,
        0.3,
        1.0,
        False,
        [(0.125, 1.0), (0.375, 1.0), (0.625, 1.0), (0.875, 1.0)],
    ),
    "put_negative_rates": (100.0, 100.0, -0.01, -0.03, 0.2, 1.0, False, [(0.5, 2.0)]),
    "call_2div": (100.0, 95.0, 0.04, 0.01, 0.2, 1.0, True, [(0.3, 3.0), (0.8, 3.0)]),
    "put_large_div": (100.0, 100.0, 0.05, 0.0, 0.3, 1.0, False, [(0.5, 50.0)]),
}


@pytest.mark.parametrize("name", sorted(REFERENCE_CASES))
@pytest.mark.parametrize("tol", [1e-4, 1e-5])
def test_american_matches_fine_grid_reference(name, tol):
    s, k, r, q, sigma, tau, call, divs = REFERENCE_CASES[name]
    got = orvelta.american_price(s, k, r, q, sigma, tau, 1 if call else -1, tol=tol, dividends=divs)
    assert abs(got - REFERENCE_VALUES[name]) <= tol, (got, REFERENCE_VALUES[name])


# American puts whose dividends each outweigh the interest on the strike since
# the one before (r, q >= 0) take the recursion of integrals, exercised just
# after each drop and, after the last one, priced by the flat pricer. Their
# references come from the same fine-grid scheme as reference_pde.py carried
# to levels 0..8 (dS = 0.5 / 2^l or 0.25 / 2^l, 100 * 2^l steps a year,
# S_max = 500; a compiled transcription of it, equal to it to 1e-11 on the
# same grids, as level 8 would take the Python solver hours). Their
# once-extrapolated sequences from level 4 on, finest last:
#   put_atm_3div   10.61873430138 10.61873432060 10.61873434103 10.61873427474
#   put_itm_4div   17.67551746213 17.67551751663 17.67551749768 17.67551752602
#   r = 0.0494     9.50601643735  9.50601648456  9.50601648808  9.50601649854
#   r = 0.0505     9.45728666823  9.45728633591  9.45728619282  9.45728607735
# Each reference is the last of its sequence, its own error the larger of the
# last two changes: the exercise boundary crossing nodes leaves the sequence
# wandering by a few 1e-8.
AFTER_DROP_REFERENCES = {
    "put_atm_3div": (10.618734274741163, 6.7e-8),
    "put_itm_4div": (17.675517526017895, 2.9e-8),
}


@pytest.mark.parametrize("name", sorted(AFTER_DROP_REFERENCES))
@pytest.mark.parametrize("tol", [1e-6, 1e-7])
def test_puts_exercised_after_the_drops_to_1e_7(name, tol):
    s, k, r, q, sigma, tau, _, divs = REFERENCE_CASES[name]
    ref, ref_err = AFTER_DROP_REFERENCES[name]
    got = orvelta.american_price(s, k, r, q, sigma, tau, -1, tol=tol, dividends=divs)
    assert abs(got - ref) <= tol + ref_err, (got, ref)


# Dividends of 1.25 a quarter against 100 (e^{r / 4} - 1) of interest: 1.243 at
# r = 4.94% (the recursion prices the put), 1.270 at r = 5.05% (exercise
# between the ex-dates pays: the grids price it).
@pytest.mark.parametrize(
    "r, ref, ref_err", [(0.0494, 9.506016498541063, 1.1e-8), (0.0505, 9.457286077346215, 1.5e-7)]
)
def test_puts_either_side_of_where_exercise_between_ex_dates_pays(r, ref, ref_err):
    divs = [(0.25, 1.25), (0.5, 1.25), (0.75, 1.25)]
    got = orvelta.american_price(100.0, 100.0, r, 0.0, 0.25, 1.0, -1, tol=1e-5, dividends=divs)
    assert abs(got - ref) <= 1e-5 + ref_err, (got, ref)


def test_puts_exercised_after_the_drops_greeks_and_implied_vol():
    s, k, r, q, sigma, tau, _, divs = REFERENCE_CASES["put_atm_3div"]
    g = orvelta.american_greeks(s, k, r, q, sigma, tau, -1, tol=1e-6, dividends=divs)
    price = orvelta.american_price(s, k, r, q, sigma, tau, -1, tol=1e-6, dividends=divs)
    assert g["price"] == price

    def p(s=s, r=r, sigma=sigma):
        return orvelta.american_price(s, k, r, q, sigma, tau, -1, tol=1e-7, dividends=divs)

    # Central differences of prices to 1e-7: their error is 1e-7 / h plus the
    # step's (the third derivatives are of order one).
    hs, h = 1e-2, 1e-3
    assert abs(g["delta"] - (p(s=s + hs) - p(s=s - hs)) / (2 * hs)) < 2e-5
    assert abs(g["gamma"] - (p(s=s + hs) - 2 * p() + p(s=s - hs)) / hs**2) < 2e-3
    assert abs(g["vega"] - (p(sigma=sigma + h) - p(sigma=sigma - h)) / (2 * h)) < 2e-4
    assert abs(g["rho"] - (p(r=r + h) - p(r=r - h)) / (2 * h)) < 2e-4
    iv = orvelta.american_implied_vol(p(), s, k, r, q, tau, -1, tol=1e-7, dividends=divs)
    assert abs(iv - sigma) < 1e-6


def test_puts_exercised_after_the_drops_batch_equals_single_bit_for_bit():
    s = np.array([100.0, 90.0, 120.0, 100.0, 100.0])
    sig = np.array([0.25, 0.3, 0.2, 0.4, 0.25])
    kind = np.array([-1, -1, -1, -1, 1])
    divs = [[0.25, 2.0], [0.5, 2.0], [0.75, 2.0]]
    kw = dict(tol=1e-6, dividends=divs)
    batch = orvelta.american_price(s, 100.0, 0.05, 0.0, sig, 1.0, kind, **kw)
    single = [
        orvelta.american_price(s[i], 100.0, 0.05, 0.0, sig[i], 1.0, kind[i], **kw) for i in range(5)
    ]
    assert batch.tobytes() == np.array(single).tobytes()
    g = orvelta.american_greeks(s, 100.0, 0.05, 0.0, sig, 1.0, kind, **kw)
    assert g["price"].tobytes() == batch.tobytes()


# A call with r < q < 0 (a put with q < r < 0) whose exercise region is a
# band that closes soon after expiry: the grids missed the premium of its
# thin part while their extrapolations agreed (7 tol below at tol 1e-5).
# References: the fine-grid scheme in S with the exercise constraint by
# policy iteration (so that a band is resolved), levels 0..5, once-
# extrapolated, finest last:
#   110.3923841312 110.3923947531 110.3923971165 110.3923983101 110.3923989300
#    60.2137066925  60.2137034799  60.2137039969
# The error taken is the last change.
@pytest.mark.parametrize(
    "args, divs, ref, ref_err",
    [
        ((200.0, 100.0, -0.0149, -0.0116, 0.518, 2.0), [[1.0, 1.0]], 110.39239893, 6.2e-7),
        ((140.0, 100.0, -0.0149, -0.0116, 0.8, 1.0), [[0.5, 1.0]], 60.21370400, 5.2e-7),
    ],
)
@pytest.mark.parametrize("tol", [1e-4, 1e-5])
def test_band_calls_with_a_dividend_against_the_reference(args, divs, ref, ref_err, tol):
    got = orvelta.american_price(*args, 1, tol=tol, dividends=divs)
    assert abs(got - ref) <= tol + ref_err, (got, ref)


@pytest.mark.parametrize("call", [True, False])
def test_curve_of_equal_values_in_the_band_regime_is_the_flat_price(call):
    r, q = (-0.0149, -0.0116) if call else (-0.0116, -0.0149)
    flat = orvelta.american_price(166.0, 100.0, r, q, 0.518, 1.0, call, tol=1e-5)
    curve = orvelta.american_price(
        166.0, 100.0, Curve([0.5, 1.0], [r, r]), q, 0.518, 1.0, call, tol=1e-5
    )
    assert curve == flat


# ------------------------------------------------------------ identities


def test_dividends_after_expiry_or_zero_change_nothing():
    base = orvelta.american_price(
        100.0, 100.0, 0.05, 0.01, 0.3, 1.0, -1, tol=1e-5, dividends=[[0.5, 2.0]]
    )
    same = orvelta.american_price(
        100.0,
        100.0,
        0.05,
        0.01,
        0.3,
        1.0,
        -1,
        tol=1e-5,
        dividends=[[0.5, 2.0], [0.7, 0.0], [1.5, 3.0], [1.0, 4.0], [-0.1, 1.0]],
    )
    assert same == base


@pytest.mark.parametrize(
    "args",
    [
        (100.0, 100.0, 4.5, 0.0, 0.007, 1.0, -1),  # the grids cannot price this corner
        (100.0, 90.0, -0.01, -0.03, 0.2, 2.0, -1),  # an exercise band
        (100.0, 110.0, 0.03, 0.05, 0.3, 0.5, 1),
    ],
)
def test_nothing_before_expiry_is_the_flat_pricer_bit_for_bit(args):
    idle = dict(dividends=[[0.7, 0.0], [5.0, 3.0]])
    flat_r = dict(r=orvelta.Curve([3.0], [args[2]]))
    s, k, r, q, sigma, tau, kind = args
    plain = orvelta.american_price(s, k, r, q, sigma, tau, kind, tol=1e-8)
    assert math.isfinite(plain)
    assert orvelta.american_price(s, k, r, q, sigma, tau, kind, tol=1e-8, **idle) == plain
    assert (
        orvelta.american_price(
            s, k, q=q, sigma=sigma, tau=tau, option_type=kind, tol=1e-8, **flat_r
        )
        == plain
    )
    g = orvelta.american_greeks(s, k, r, q, sigma, tau, kind, tol=1e-6)
    assert orvelta.american_greeks(s, k, r, q, sigma, tau, kind, tol=1e-6, **idle) == g
    v = orvelta.american_implied_vol(g["price"], s, k, r, q, tau, kind, tol=1e-9)
    assert orvelta.american_implied_vol(g["price"], s, k, r, q, tau, kind, tol=1e-9, **idle) == v


def test_no_dividend_call_without_yield_is_european():
    am = orvelta.american_price(
        100.0, 100.0, 0.05, 0.0, 0.3, 1.0, 1, tol=1e-6, dividends=[[2.0, 1.0]]
    )
    eu = black_scholes(100.0, 100.0, 0.05, 0.0, 0.3, 1.0, True)
    assert abs(am - eu) <= 1e-6


def test_many_small_proportional_dividends_approach_the_yield():
    n, q = 200, 0.04
    times = (np.arange(n) + 0.5) / n
    frac = 1.0 - math.exp(-q / n)
    divs = np.column_stack([times, np.full(n, frac)])
    s, k, r, sigma, tau = 100.0, 100.0, 0.05, 0.25, 1.0
    kw = dict(tol=1e-4, dividends=divs, dividend_kind="proportional", american=False)
    got = orvelta.american_price(s, k, r, 0.0, sigma, tau, -1, **kw)
    ref = black_scholes(s, k, r, q, sigma, tau, False)
    assert abs(got - ref) < 2e-3


def test_european_put_call_parity_with_cash_dividends():
    divs = [[0.2, 1.5], [0.6, 1.5]]
    args = (100.0, 95.0, 0.04, 0.01, 0.3, 1.0)
    c = orvelta.american_price(*args, 1, tol=1e-7, dividends=divs, american=False)
    p = orvelta.american_price(*args, -1, tol=1e-7, dividends=divs, american=False)
    pv = sum(a * math.exp(-0.04 * t - 0.01 * (1.0 - t)) for t, a in divs) * math.exp(0.01 * 0.0)
    # E[S_T] e^{-rT} = S e^{-qT} - sum D e^{-r t} e^{-q (T - t)} (the stock never reaches zero here).
    forward = 100.0 * math.exp(-0.01) - pv
    assert abs((c - p) - (forward - 95.0 * math.exp(-0.04))) <= 3e-7


def test_curves_of_a_european_option_average():
    """Without dividends a European price depends on the curves only through
    their averages (and the variance's)."""
    r = Curve([0.25, 0.6, 2.0], [0.01, 0.05, -0.01])
    q = Curve([0.5, 2.0], [0.03, 0.0])
    sig = Curve([0.3, 2.0], [0.4, 0.2])
    tau = 0.9
    rbar = (0.01 * 0.25 + 0.05 * 0.35 - 0.01 * 0.3) / tau
    qbar = (0.03 * 0.5) / tau
    vbar = math.sqrt((0.16 * 0.3 + 0.04 * 0.6) / tau)
    for call in (True, False):
        got = orvelta.american_price(
            100.0, 105.0, r, q, sig, tau, 1 if call else -1, tol=1e-7, american=False
        )
        assert abs(got - black_scholes(100.0, 105.0, rbar, qbar, vbar, tau, call)) <= 1e-7


def test_flat_curve_of_several_knots_equals_flat():
    a = orvelta.american_price(100.0, 100.0, Curve([1.0], [0.04]), 0.0, 0.3, 1.0, -1, tol=1e-5)
    b = orvelta.american_price(
        100.0, 100.0, Curve([0.3, 0.6, 1.0], [0.04, 0.04, 0.04]), 0.0, 0.3, 1.0, -1, tol=1e-5
    )
    assert abs(a - b) <= 1e-5


def test_batch_equals_single_bit_for_bit():
    s = np.array([80.0, 95.0, 100.0, 120.0, 100.0])
    k = np.array([100.0, 100.0, 100.0, 100.0, 90.0])
    sig = np.array([0.2, 0.3, 0.25, 0.4, 0.3])
    kind = np.array([-1, -1, 1, 1, -1])
    divs = [[0.25, 1.0], [0.75, 1.0]]
    batch = orvelta.american_price(s, k, 0.05, 0.0, sig, 1.0, kind, tol=1e-4, dividends=divs)
    single = [
        orvelta.american_price(
            s[i], k[i], 0.05, 0.0, sig[i], 1.0, kind[i], tol=1e-4, dividends=divs
        )
        for i in range(5)
    ]
    assert batch.tobytes() == np.array(single).tobytes()
    g = orvelta.american_greeks(s, k, 0.05, 0.0, sig, 1.0, kind, tol=1e-4, dividends=divs)
    assert g["price"].tobytes() == batch.tobytes()


@pytest.mark.parametrize("american", [True, False])
def test_result_does_not_depend_on_the_options_priced_before(american):
    # Each thread keeps the factors of its last matrix for reuse: a stale
    # factorization would make a result depend on the order of the book.
    s = np.array([80.0, 100.0, 120.0, 100.0, 95.0, 100.0])
    k = np.array([100.0, 100.0, 100.0, 90.0, 100.0, 100.0])
    sig = np.array([0.2, 0.25, 0.4, 0.3, 0.3, 0.25])
    tau = np.array([1.0, 0.5, 1.0, 2.0, 1.0, 1.0])
    kind = np.array([-1, 1, 1, -1, -1, 1])
    divs = [[0.25, 1.0], [0.75, 1.0]]
    kw = dict(tol=1e-5, dividends=divs, american=american)
    fwd = orvelta.american_price(s, k, 0.05, 0.0, sig, tau, kind, **kw)
    rev = orvelta.american_price(
        s[::-1], k[::-1], 0.05, 0.0, sig[::-1], tau[::-1], kind[::-1], **kw
    )
    assert fwd.tobytes() == rev[::-1].tobytes()
    g = orvelta.american_greeks(s, k, 0.05, 0.0, sig, tau, kind, **kw)
    gr = orvelta.american_greeks(
        s[::-1], k[::-1], 0.05, 0.0, sig[::-1], tau[::-1], kind[::-1], **kw
    )
    for name in ("price", "delta", "gamma", "theta", "vega", "rho"):
        assert g[name].tobytes() == gr[name][::-1].tobytes()


# --------------------------------------------------------------- Greeks


def test_greeks_against_differences_of_the_price():
    divs = [[0.25, 1.5], [0.5, 1.5], [0.75, 1.5]]
    s, k, r, q, sig, tau = 100.0, 100.0, 0.05, 0.0, 0.25, 1.0
    tol = 1e-5
    g = orvelta.american_greeks(s, k, r, q, sig, tau, -1, tol=tol, dividends=divs)

    def p(s=s, r=r, sig=sig, tau=tau, divs=divs):
        return orvelta.american_price(s, k, r, q, sig, tau, -1, tol=tol, dividends=divs)

    # Bumps large enough that the prices' error (tol) is small beside them.
    hs, hv, hr, ht = 0.5, 0.01, 0.01, 0.01
    assert abs(g["delta"] - (p(s=s + hs) - p(s=s - hs)) / (2 * hs)) < 2e-4
    assert abs(g["gamma"] - (p(s=s + hs) - 2 * p() + p(s=s - hs)) / hs**2) < 5e-4
    assert abs(g["vega"] - (p(sig=sig + hv) - p(sig=sig - hv)) / (2 * hv)) < 5e-3
    # The price's curvature in r changes near r = 0.06 (where the put's
    # exercise between ex-dates sets in): the rate step stays below it.
    hr = 0.005
    assert abs(g["rho"] - (p(r=r + hr) - p(r=r - hr)) / (2 * hr)) < 5e-3
    # Calendar decay: a day later every ex-date and the expiry are nearer.
    later = [[t - ht, a] for t, a in divs]
    earlier = [[t + ht, a] for t, a in divs]
    theta = (p(tau=tau - ht, divs=later) - p(tau=tau + ht, divs=earlier)) / (2 * ht)
    assert abs(g["theta"] - theta) < 5e-3


@pytest.mark.parametrize("call", [False, True])
@pytest.mark.parametrize("d", [5.0, 60.0, 85.0])
def test_european_greeks_against_the_integral(d, call):
    # Differences of the exact one-dividend integral, Richardson-extrapolated.
    # With a dividend of most of the stock a put's rho was once 0.34 off
    # while its price was right.
    s, k, r, q, sig, tau, t_d = 100.0, 100.0, 0.05, 0.0, 0.3, 1.0, 0.5

    def ref(s=s, r=r, sig=sig):
        return european_one_dividend(s, k, r, q, sig, tau, call, t_d, d)

    def diff(f, x, h):
        one = (f(x + h) - f(x - h)) / (2 * h)
        half = (f(x + h / 2) - f(x - h / 2)) / h
        return (4 * half - one) / 3

    g = orvelta.american_greeks(
        s, k, r, q, sig, tau, 1 if call else -1, tol=1e-7, dividends=[[t_d, d]], american=False
    )
    assert abs(g["price"] - ref()) <= 1e-7
    assert abs(g["delta"] - diff(lambda x: ref(s=x), s, 0.5)) <= 1e-6
    assert abs(g["vega"] - diff(lambda x: ref(sig=x), sig, 0.01)) <= 1e-5
    assert abs(g["rho"] - diff(lambda x: ref(r=x), r, 0.004)) <= 1e-5


@pytest.mark.parametrize("t1", [1e-10, 1e-6, 1e-3])
@pytest.mark.parametrize("american", [True, False])
def test_delta_and_gamma_with_an_ex_date_about_now(t1, american):
    # The first stage's spread s is tiny: the likelihood-ratio weights
    # (z^2 - 1) / s^2 once made gamma 3% off at t1 = 1e-10.
    kw = dict(tol=1e-9, dividends=[[t1, 3.0], [0.5, 3.0]], american=american)

    def p(s):
        return orvelta.american_price(s, 100.0, 0.05, 0.0, 0.3, 1.0, 1, **kw)

    h = 0.5
    d2 = [(p(100.0 + x) - 2.0 * p(100.0) + p(100.0 - x)) / x**2 for x in (h, h / 2)]
    d1 = [(p(100.0 + x) - p(100.0 - x)) / (2.0 * x) for x in (h, h / 2)]
    g = orvelta.american_greeks(100.0, 100.0, 0.05, 0.0, 0.3, 1.0, 1, **kw)
    assert g["gamma"] == pytest.approx((4.0 * d2[1] - d2[0]) / 3.0, rel=1e-4)
    assert g["delta"] == pytest.approx((4.0 * d1[1] - d1[0]) / 3.0, rel=1e-7)


# European options, and American puts that take the recursion (dividends of
# 2.0 outweigh the interest on the strike between ex-dates).
@pytest.mark.parametrize("amount, american", [(1.0, False), (2.0, True)])
def test_every_instruction_set_gives_the_same_bits(amount, american):
    from orvelta import _engines as E

    divs = [[0.25, amount], [0.5, amount], [0.75, amount]]
    kind = np.array([1, -1, 1]) if not american else np.array([-1, -1, -1])
    args = (np.array([90.0, 100.0, 110.0]), 100.0, 0.05, 0.0, 0.3, 1.0, kind)
    paths = []
    try:
        for isa in E._isas():
            E._isa(isa)
            g = orvelta.american_greeks(*args, tol=1e-6, dividends=divs, american=american)
            paths.append(b"".join(g[n].tobytes() for n in sorted(g)))
    finally:
        E._isa("auto")
    assert len(set(paths)) == 1


def test_greeks_in_the_exercise_region():
    g = orvelta.american_greeks(
        50.0, 100.0, 0.05, 0.0, 0.2, 1.0, -1, tol=1e-4, dividends=[[0.5, 1.0]]
    )
    assert g["price"] == 50.0
    assert (g["delta"], g["gamma"], g["theta"], g["vega"], g["rho"]) == (-1.0, 0.0, 0.0, 0.0, 0.0)


def test_grid_rho_where_dividends_take_the_stock_to_the_floor():
    # Ex-dates minutes apart hand this European put to the grids; the three
    # dividends take most paths near the grid's floor, whose value depends on
    # the rate (its rho was 0.6 off when the floor's was left out).
    divs = [[0.5, 30.0], [0.5001, 30.0], [0.5002, 30.0]]
    args = (100.0, 100.0)
    kw = dict(dividends=divs, american=False)
    g = orvelta.american_greeks(*args, 0.05, 0.0, 0.3, 1.0, -1, tol=1e-6, **kw)
    h = 1e-2
    up = orvelta.american_price(*args, 0.05 + h, 0.0, 0.3, 1.0, -1, tol=1e-5, **kw)
    down = orvelta.american_price(*args, 0.05 - h, 0.0, 0.3, 1.0, -1, tol=1e-5, **kw)
    # Differences: 1e-3 from the prices' tol, 2e-3 from the step.
    assert abs(g["rho"] - (up - down) / (2.0 * h)) < 5e-3


# ------------------------------------------------------ implied volatility


@pytest.mark.parametrize("kind, k", [(-1, 95.0), (-1, 110.0), (1, 100.0)])
def test_implied_vol_round_trip(kind, k):
    divs = [[0.25, 1.0], [0.5, 1.0], [0.75, 1.0]]
    price = orvelta.american_price(100.0, k, 0.04, 0.0, 0.3, 1.0, kind, tol=1e-6, dividends=divs)
    iv = orvelta.american_implied_vol(
        price, 100.0, k, 0.04, 0.0, 1.0, kind, tol=1e-6, dividends=divs
    )
    assert abs(iv - 0.3) < 2e-5


def test_implied_vol_below_the_search_range_is_nan_not_negative():
    # The quote lies 1e-9 below the price at the smallest volatility searched
    # (1e-4), where the price hardly moves with it: the last Newton step went
    # to sigma = -0.0042.
    divs = [[0.0224, 3.0], [0.0283, 4.5], [0.0627, 2.5], [0.0727, 5.0]]
    args = (100.0, 80.0, 0.0278, -0.0579)
    floor = orvelta.american_price(*args, 1e-4, 0.075, 1, tol=1e-9, dividends=divs)
    quote = 20.179582232649867
    assert floor - quote == pytest.approx(1e-9, rel=0.05)
    assert math.isnan(
        orvelta.american_implied_vol(quote, *args, 0.075, 1, tol=1e-6, dividends=divs)
    )


def test_implied_vol_shift_of_a_curve():
    curve = Curve([0.5, 1.0], [0.25, 0.3])
    price = orvelta.american_price(
        100.0, 100.0, 0.03, 0.0, curve.shifted(0.02), 1.0, -1, tol=1e-6, dividends=[[0.5, 2.0]]
    )
    shift = orvelta.american_implied_vol(
        price, 100.0, 100.0, 0.03, 0.0, 1.0, -1, tol=1e-6, dividends=[[0.5, 2.0]], vol_curve=curve
    )
    assert abs(shift - 0.02) < 2e-5


@pytest.mark.parametrize("price", [0.0, 4.0, 100.0, float("nan")])
def test_implied_vol_out_of_range_is_nan(price):
    # 4.0 is below the intrinsic value 10 of the put at s = 90.
    assert math.isnan(
        orvelta.american_implied_vol(price, 90.0, 100.0, 0.04, 0.0, 1.0, -1, dividends=[[0.5, 1.0]])
    )


# ----------------------------------------------------- domain and errors


def test_domain():
    divs = [[0.5, 1.0]]
    assert orvelta.american_price(100.0, 110.0, 0.05, 0.0, 0.3, 0.0, -1, dividends=divs) == 10.0
    for bad in (
        dict(s=-1.0),
        dict(k=0.0),
        dict(sigma=0.0),
        dict(sigma=float("nan")),
        dict(tau=float("nan")),
    ):
        args = dict(s=100.0, k=100.0, r=0.05, q=0.0, sigma=0.3, tau=1.0)
        args.update(bad)
        assert math.isnan(orvelta.american_price(**args, option_type=-1, tol=1e-3, dividends=divs))
    # A volatility curve that is zero on part of the option's life.
    assert math.isnan(
        orvelta.american_price(
            100.0, 100.0, 0.05, 0.0, Curve([0.5, 1.0], [0.2, 0.0]), 1.0, -1, tol=1e-3
        )
    )


def test_scalars_and_arrays():
    divs = [[0.5, 1.0]]
    out = orvelta.american_price(
        np.array([[90.0], [110.0]]),
        [95.0, 105.0],
        0.05,
        0.0,
        0.3,
        1.0,
        -1,
        tol=1e-3,
        dividends=divs,
    )
    assert out.shape == (2, 2)
    assert isinstance(
        orvelta.american_price(100.0, 100.0, 0.05, 0.0, 0.3, 1.0, -1, tol=1e-3, dividends=divs),
        float,
    )


@pytest.mark.parametrize(
    "times, values, message",
    [
        ([], [], "Curve needs at least one knot"),
        ([1.0, 2.0], [0.1], "Curve needs as many values as times, got 2 times and 1 values"),
        ([2.0, 1.0], [0.1, 0.2], "Curve times must be strictly increasing"),
        ([1.0, 1.0], [0.1, 0.2], "Curve times must be strictly increasing"),
        ([-1.0], [0.1], "Curve times must be finite and non-negative"),
        ([float("inf")], [0.1], "Curve times must be finite and non-negative"),
        ([1.0], [float("nan")], "Curve values must be finite"),
        ([[1.0]], [0.1], "Curve times and values must be one-dimensional"),
    ],
)
def test_curve_errors(times, values, message):
    with pytest.raises(ValueError) as e:
        Curve(times, values)
    assert str(e.value) == message


def test_curve_is_immutable_and_typed():
    c = Curve([0.5, 1.0], [0.01, 0.02])
    with pytest.raises(AttributeError):
        c.times = np.array([1.0])  # type: ignore[misc]
    with pytest.raises(ValueError):
        c.values[0] = 5.0
    assert c(0.25) == 0.01 and c(0.5) == 0.01 and c(0.75) == 0.02 and c(3.0) == 0.02
    assert c == Curve([0.5, 1.0], [0.01, 0.02]) and hash(c) == hash(Curve([0.5, 1.0], [0.01, 0.02]))
    assert pickle.loads(pickle.dumps(c)) == c
    assert repr(c) == "Curve([0.5, 1.0], [0.01, 0.02])"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (
            dict(dividends=[[0.5, 1.0, 2.0]]),
            ValueError,
            "dividends must be an (n, 2) array of (time, amount) rows, got shape (1, 3)",
        ),
        (
            dict(dividends=[[0.5, -1.0]]),
            ValueError,
            "dividend amounts must be finite and non-negative",
        ),
        (dict(dividends=[[float("nan"), 1.0]]), ValueError, "dividend times must be finite"),
        (
            dict(dividends=[[0.5, 1.5]], dividend_kind="proportional"),
            ValueError,
            "proportional dividends must be fractions in [0, 1]",
        ),
        (
            dict(dividend_kind="yield"),
            ValueError,
            "dividend_kind must be 'cash' or 'proportional', got 'yield'",
        ),
        (dict(american="yes"), TypeError, "american must be True or False, got 'yes'"),
        (dict(dividends=[[0.5, None]]), TypeError, "dividends must hold numbers only, got None"),
        (
            dict(dividends=[["0.5", "1.0"]]),
            TypeError,
            "dividends must be a number or an array of numbers, got strings",
        ),
    ],
)
def test_argument_errors(kwargs, exc, message):
    with pytest.raises(exc) as e:
        orvelta.american_price(100.0, 100.0, 0.05, 0.0, 0.3, 1.0, -1, **kwargs)
    assert str(e.value) == message


def test_plain_path_unchanged():
    """Without dividends or curves the dividend-free pricer runs as before."""
    a = orvelta.american_price(100.0, 100.0, 0.05, 0.0, 0.25, 1.0, -1, tol=1e-8)
    b = float(
        orvelta._engines._american_price(
            np.array([100.0]),
            np.array([100.0]),
            np.array([0.05]),
            np.array([0.0]),
            np.array([0.25]),
            np.array([1.0]),
            np.array([0], dtype=np.int32),
            1e-8,
        )[0]
    )
    assert a == b


# ---------------------------------------------------- randomized sweep


def _sweep_cases(n, seed):
    """Options with independent references: European with one dividend
    (integral), American calls with one dividend and no yield (integral),
    and flat dividend-free American options (the accurate pricer)."""
    rng = np.random.default_rng(seed)
    cases = []
    for i in range(n):
        kind = i % 3
        s = 100.0
        k = float(s * math.exp(rng.uniform(-0.3, 0.3)))
        sigma = float(rng.choice([0.08, 0.2, 0.4, 0.8]))
        tau = float(rng.choice([0.05, 0.5, 1.0, 3.0]))
        r = float(rng.uniform(-0.02, 0.08))
        t_d = float(tau * rng.choice([0.02, 0.5, 0.98]))
        d = float(rng.choice([0.5, 3.0, 30.0, 120.0]))
        if kind == 0:
            q = float(rng.uniform(-0.02, 0.05))
            call = bool(rng.integers(0, 2))
            ref = european_one_dividend(s, k, r, q, sigma, tau, call, t_d, d)
            cases.append(
                ((s, k, r, q, sigma, tau, call), dict(dividends=[[t_d, d]], american=False), ref)
            )
        elif kind == 1:
            r = abs(r)
            ref = american_call_one_dividend(s, k, r, sigma, tau, t_d, d)
            cases.append(((s, k, r, 0.0, sigma, tau, True), dict(dividends=[[t_d, d]]), ref))
        else:
            q = float(rng.uniform(0.0, 0.05))
            call = bool(rng.integers(0, 2))
            r = abs(r)
            ref = orvelta.american_price(s, k, r, q, sigma, tau, 1 if call else -1, tol=1e-10)
            cases.append(((s, k, Curve([tau], [r]), q, sigma, tau, call), dict(), ref))
    return cases


@pytest.mark.slow
@pytest.mark.parametrize("tol", [1e-4, 1e-6])
def test_randomized_sweep_within_tolerance(tol):
    # Size 12 and seed 26: four options of each kind, short and long
    # maturities, low and high volatility, dividends near expiry and larger
    # than the stock, negative rates. Each option's work is bounded (NaN
    # when the finest grid does not certify tol), so all kinds run at both
    # tolerances.
    worst = 0.0
    for _i, (args, kwargs, ref) in enumerate(_sweep_cases(12, 26)):
        s, k, r, q, sigma, tau, call = args
        got = orvelta.american_price(s, k, r, q, sigma, tau, 1 if call else -1, tol=tol, **kwargs)
        if math.isnan(got):
            # Not certified within the work limit: allowed, never a wrong price.
            continue
        worst = max(worst, abs(got - ref) / tol)
        assert abs(got - ref) <= tol, (args, kwargs, got, ref)
    assert worst <= 1.0


def _american_sweep_cases(n, seed):
    """American calls and puts with cash dividends (one to three, some just
    before expiry, some large, some above the spot), flat inputs or
    piecewise-constant curves of rate, yield and volatility with negative
    rates; the spot, strikes and amounts on a grid of 0.5 so that the
    reference's step divides them."""
    rng = np.random.default_rng(seed)
    cases = []
    for i in range(n):
        s = 100.0
        k = float(rng.choice([80.0, 95.0, 100.0, 105.0, 120.0]))
        tau = float(rng.choice([0.1, 0.5, 1.0]))
        call = i % 2 == 1
        count = int(rng.integers(1, 4))
        times = sorted(
            float(tau * f) for f in rng.choice([0.1, 0.3, 0.5, 0.7, 0.98], count, replace=False)
        )
        amounts = [float(rng.choice([0.5, 2.0, 5.0, 20.0])) for _ in times]
        if i % 4 == 2:
            amounts[-1] = 120.0  # above the spot: the stock goes to zero where it is worth less
        divs = [(t, a) for t, a in zip(times, amounts)]
        if i % 3 == 0:
            r = (
                float(rng.uniform(-0.02, 0.08)),
                float(rng.uniform(0.0, 0.03)),
                float(rng.uniform(0.15, 0.4)),
            )
            curves = r
            ref_curves = r
        else:
            knot = 0.5 * tau
            rv = [float(rng.uniform(-0.03, 0.08)), float(rng.uniform(-0.03, 0.08))]
            qv = [float(rng.uniform(0.0, 0.03)), float(rng.uniform(0.0, 0.03))]
            sv = [float(rng.uniform(0.15, 0.4)), float(rng.uniform(0.15, 0.4))]
            curves = tuple(Curve([knot, tau], v) for v in (rv, qv, sv))
            ref_curves = tuple(((knot, tau), tuple(v)) for v in (rv, qv, sv))
        cases.append((s, k, tau, call, divs, curves, ref_curves))
    return cases


@pytest.mark.slow
def test_randomized_american_sweep_against_reference():
    """Size 8, seed 2626: American calls and puts with dividends and curves
    against the fine-grid reference in S (five grids, once-extrapolated; its
    own error taken as the last change of that sequence). Every price is
    within tol plus that error, or NaN (not certified within the work
    limit)."""
    worst = {1e-4: 0.0, 1e-6: 0.0}
    for s, k, tau, call, divs, curves, ref_curves in _american_sweep_cases(8, 2626):
        _, once, _ = reference_pde.richardson(
            s, k, *ref_curves, tau, call, divs, True, 0.5, 100, 5, 500.0
        )
        ref, ref_err = once[-1], abs(once[-1] - once[-2])
        for tol in worst:
            got = orvelta.american_price(
                s, k, *curves, tau, 1 if call else -1, tol=tol, dividends=divs
            )
            if math.isnan(got):
                continue
            worst[tol] = max(worst[tol], abs(got - ref) / (tol + ref_err))
            assert abs(got - ref) <= tol + ref_err, (
                s,
                k,
                tau,
                call,
                divs,
                curves,
                got,
                ref,
                ref_err,
            )


@pytest.mark.parametrize("name", ["s", "k", "sigma", "tau", "r"])
def test_missing_values_on_the_dividend_path_are_type_errors(name):
    """The dividend path checks its arguments as the flat path does (None used
    to be dropped and reported as a length mismatch)."""
    args = dict(s=100.0, k=100.0, r=0.05, q=0.0, sigma=0.25, tau=1.0)
    args[name] = None
    with pytest.raises(
        TypeError, match=f"^{name} must be a number or an array of numbers, got None$"
    ):
        orvelta.american_price(*args.values(), "put", dividends=[[0.5, 2.0]])


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(american=False),
        dict(dividends=[[0.5, 3.0]]),
        dict(r=Curve([0.0], [0.05])),
    ],
)
@pytest.mark.parametrize("tol", [150.0, 1e3, 1e6])
def test_tolerance_beyond_the_strike_still_prices(kwargs, tol):
    # A tolerance above the strike once made the grid's span NaN (and the
    # process crash); any price within tol is right, the finer one included.
    kw = dict(kwargs)
    r = kw.pop("r", 0.05)
    ref = orvelta.american_price(100.0, 100.0, r, 0.0, 0.3, 1.0, -1, tol=1e-4, **kw)
    got = orvelta.american_price(100.0, 100.0, r, 0.0, 0.3, 1.0, -1, tol=tol, **kw)
    assert math.isfinite(got) and abs(got - ref) <= tol
    g = orvelta.american_greeks(100.0, 100.0, r, 0.0, 0.3, 1.0, -1, tol=tol, **kw)
    assert math.isfinite(g["price"]) and abs(g["price"] - ref) <= tol


@pytest.mark.parametrize(
    "args, tol",
    [
        # A volatility so small, or a drift so large, that the monotone
        # space step is tiny: without a work limit the grids would take
        # minutes.
        ((100.0, 100.0, 0.05, 0.0, 0.001, 1.0, -1), 1e-5),
        ((100.0, 100.0, 5.0, 0.0, 0.3, 10.0, -1), 1e-6),
        ((100.0, 100.0, 50.0, 0.0, 0.3, 100.0, -1), 1e-6),
    ],
)
def test_work_limit_gives_nan_not_a_hang(args, tol):
    got = orvelta.american_price(*args, tol=tol, dividends=[[0.5, 3.0]])
    assert math.isnan(got)


@pytest.mark.parametrize("american", [True, False])
def test_call_the_grids_cannot_reach_takes_the_recursion(american):
    # r = 50 over a century: the grids' monotone step is out of reach, but a
    # call exercised only before the ex-date is the recursion's. Its value
    # is the spot less the dividend's and the strike's present values,
    # 3 e^{-25} and 100 e^{-5000}.
    got = orvelta.american_price(
        100.0, 100.0, 50.0, 0.0, 0.3, 100.0, 1, tol=1e-6, dividends=[[0.5, 3.0]], american=american
    )
    assert abs(got - (100.0 - 3.0 * math.exp(-25.0))) <= 1e-6


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((100.0, 100.0, 5.0, 0.0, 0.3, 10.0, -1, 1e-3), dict(dividends=[[0.5, 3.0]])),
        # The double-boundary put's finite-difference fallback.
        ((1000.0, 1000.0, 0.0, -0.05, 0.001, 1.0, -1, 1e-4), {}),
    ],
)
def test_caller_keeps_subnormal_arithmetic(args, kwargs):
    # The grids flush subnormal results to zero while they run (a put at
    # r = 500% over ten years, or at sigma 0.001, underflows through them);
    # the caller's thread must get its own floating-point flags back.
    orvelta.american_price(*args, **kwargs)
    tiny = np.float64(1e-308) * np.float64(1e-3)
    assert tiny > 0.0 and tiny == np.float64(1e-311)


def test_tiny_volatility_prices_the_deterministic_exercise():
    # sigma = 0.001: the put is exercised just after the ex-date, where the
    # stock, 100 e^{0.025} - 3, is below the strike with near certainty.
    det = (100.0 - (100.0 * math.exp(0.025) - 3.0)) * math.exp(-0.025)
    got = orvelta.american_price(
        100.0, 100.0, 0.05, 0.0, 0.001, 1.0, -1, tol=1e-3, dividends=[[0.5, 3.0]]
    )
    assert abs(got - det) <= 1e-3


@pytest.mark.parametrize("tol", [1e-6, 1e-7, 1e-8])
def test_european_proportional_dividends_and_volatility_curve_closed_form(tol):
    # Black-Scholes on the spot times every kept fraction, with the
    # volatility curve's integrated variance. Nine days, five dividends and
    # five knots: on two grids in a row the extrapolations were 1.6e-8 off
    # and agreed with each other, which once passed for tol 1e-8.
    k, tau, r = 35.91678420917642, 0.023806238028698714, 0.08
    times = [0.00436217513176366, 0.018663613003891057, 0.02129188226635872, 0.023952436833532948]
    times.append(0.026060159427927717)
    vols = [0.5195343982064735, 0.4715567136367327, 0.17613852522538037, 0.5288383601405751]
    vols.append(0.5926445809790203)
    divs = [
        [0.0001611261300344829, 0.18733933952144727],
        [0.005293374787255012, 0.05910060178060819],
        [0.012956680487745214, 0.19769366413747264],
        [0.018081815811039917, 0.1758307036443045],
        [0.018939156446748907, 0.23239943258289208],
    ]
    spot = 100.0 * math.prod(1.0 - f for _, f in divs)
    edges = [0.0] + [min(t, tau) for t in times]
    var = sum(v * v * (b - a) for v, a, b in zip(vols, edges[:-1], edges[1:]))
    ref = black_scholes(spot, k, r, 0.0, math.sqrt(var / tau), tau, True)
    got = orvelta.american_price(
        100.0,
        k,
        r,
        0.0,
        Curve(times, vols),
        tau,
        1,
        tol=tol,
        dividends=divs,
        dividend_kind="proportional",
        american=False,
    )
    assert math.isnan(got) or abs(got - ref) <= tol, (got, ref)


def test_no_price_below_zero():
    # Far out of the money the extrapolation once came out below zero.
    eu = orvelta.american_price(100.0, 100.0, 5.0, 0.0, 0.3, 10.0, -1, tol=1e-3, american=False)
    assert 0.0 <= eu <= black_scholes(100.0, 100.0, 5.0, 0.0, 0.3, 10.0, False) + 1e-3
    far = orvelta.american_price(
        100.0, 1e-300, 0.05, 0.0, 0.3, 1.0, -1, tol=1e-6, dividends=[[0.5, 3.0]]
    )
    assert far == 0.0


def test_european_implied_vol_below_the_intrinsic_value():
    # A deep call ahead of a dividend is worth less than s - k; its quote
    # still has a volatility, and one below the zero-volatility value has none.
    kw = dict(dividends=[[0.5, 5.0]], american=False)
    price = orvelta.american_price(100.0, 71.39, 0.0, 0.0, 0.1117, 1.0, 1, tol=1e-8, **kw)
    assert price < 100.0 - 71.39
    iv = orvelta.american_implied_vol(price, 100.0, 71.39, 0.0, 0.0, 1.0, 1, tol=1e-6, **kw)
    assert abs(iv - 0.1117) < 1e-6
    low = orvelta.american_implied_vol(price - 1.0, 100.0, 71.39, 0.0, 0.0, 1.0, 1, tol=1e-6, **kw)
    assert math.isnan(low)


@pytest.mark.parametrize(
    "k, sigma, tau, t_d, d",
    [
        (32.573605753851375, 0.5579753546979811, 0.13631089066516358, 0.13543961716933492, 15.3134),
        (31.10053474090249, 0.42295487388992936, 1.5393690074402144, 0.2488685598370878, 29.164),
    ],
)
def test_deep_call_at_zero_rate_keeps_its_time_value(k, sigma, tau, t_d, d):
    # r = q = 0: the call is worth s - k plus a put's worth to the ex-date
    # (about 4e-8 here); grids whose error exceeded that once all put the spot
    # into exercise and agreed on s - k at tol 1e-8.
    ref = american_call_one_dividend(100.0, k, 0.0, sigma, tau, t_d, d)
    assert ref - (100.0 - k) > 2e-8
    got = orvelta.american_price(100.0, k, 0.0, 0.0, sigma, tau, 1, tol=1e-8, dividends=[[t_d, d]])
    assert math.isnan(got) or abs(got - ref) <= 1e-8, (got, ref)
