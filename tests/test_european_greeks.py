"""European Greeks under the five models against differences of the accurate price."""

import math

import numpy as np
import pytest

import orvelta
from _helpers import assert_stops_on_ctrl_c
from orvelta import _engines as E
from references import black_scholes as bs_price

S, R, Q = 100.0, 0.03, 0.01
HESTON = (0.04, 2.0, 0.04, 0.6, -0.5)
HARD_HESTON = (0.04, 0.3, 0.04, 0.9, -0.5)
BATES = HESTON + (0.3, -0.05, 0.2)
# A diffusion too narrow for one expansion: the Poisson mixture of Heston parts.
NARROW_BATES = (1e-5, 1.0, 1e-5, 1e-3, -0.5, 0.3, -0.05, 0.2)
VOLATILITY = {0: ("sigma",), 1: ("sigma",), 2: ("sigma",), 3: ("v0", "theta"), 4: ("v0", "theta")}
INDEX = {"sigma": 0, "v0": 0, "theta": 2}


def prices(model, params, k, tau, s=S, r=R, q=Q, kind="put"):
    return orvelta.european_price(model, list(params), k, tau, s, r, q, kind, tol=1e-13)


def richardson(f, x, h, second=False):
    """Central differences at h, h/2 and h/4, extrapolated twice (error O(h^6))."""

    def d(step):
        if second:
            return (f(x + step) - 2.0 * f(x) + f(x - step)) / step**2
        return (f(x + step) - f(x - step)) / (2.0 * step)

    a, b, c = d(h), d(h / 2), d(h / 4)
    return (16.0 * (4.0 * c - b) / 3.0 - (4.0 * b - a) / 3.0) / 15.0


def reference(model, params, k, tau, kind):
    """Each Greek from Richardson-extrapolated differences of prices accurate to 1e-13."""
    h = 0.01 * S * math.sqrt(tau)
    ref = {
        "delta": richardson(lambda s: prices(model, params, k, tau, s=s, kind=kind), S, h),
        "gamma": richardson(
            lambda s: prices(model, params, k, tau, s=s, kind=kind), S, h, second=True
        ),
        "theta": -richardson(lambda t: prices(model, params, k, t, kind=kind), tau, 0.02 * tau),
        "rho": richardson(lambda r: prices(model, params, k, tau, r=r, kind=kind), R, 1e-3),
    }
    names = VOLATILITY[model]
    for name in names:
        i = INDEX[name]

        def bumped(x, i=i):
            p = list(params)
            p[i] = x
            return prices(model, p, k, tau, kind=kind)

        key = "vega" if len(names) == 1 else f"vega_{name}"
        ref[key] = richardson(bumped, params[i], min(0.01 * max(params[i], 0.01), 0.5 * params[i]))
    return ref


CASES = [
    ("bs", 0, (0.25,), 0.1),
    ("bs", 0, (0.25,), 2.0),
    ("merton", 1, (0.2, 0.3, -0.05, 0.2), 0.05),
    ("merton", 1, (0.2, 0.3, -0.05, 0.2), 1.0),
    ("vg gamma clock", 2, (0.2, -0.08, 0.2), 0.5),
    ("vg cos", 2, (0.2, -0.08, 0.2), 2.0),
    ("heston", 3, HESTON, 0.1),
    ("heston", 3, HESTON, 1.0),
    ("heston", 3, HESTON, 5.0),
    ("hard heston", 3, HARD_HESTON, 1.0),
    ("deterministic heston", 3, (0.09, 1.5, 0.04, 0.0, -0.5), 1.0),
    ("bates", 4, BATES, 0.25),
    ("bates", 4, BATES, 2.0),
    ("bates jump series", 4, NARROW_BATES, 0.5),
    ("deterministic bates", 4, (0.09, 1.5, 0.04, 0.0, -0.5, 0.3, -0.05, 0.2), 1.0),
]


@pytest.mark.parametrize("label, model, params, tau", CASES)
@pytest.mark.parametrize("kind", ["put", "call"])
def test_greeks_against_differences_of_the_accurate_price(label, model, params, tau, kind):
    """Every route of every model, at tol 1e-8: each sensitivity within 2e-8
    of the extrapolated differences (whose own error, from prices to 1e-13 and
    steps of 1% of the spot, is a few 1e-10) for strikes from 0.5 to 2 times
    the forward (the narrow Bates avoids the forward, where its density peaks)."""
    forward = S * math.exp((R - Q) * tau)
    ratios = [0.5, 0.8, 1.25, 2.0] if label == "bates jump series" else [0.5, 0.8, 1.0, 1.25, 2.0]
    k = forward * np.array(ratios)
    got = orvelta.european_greeks(model, list(params), k, tau, S, R, Q, kind, tol=1e-8)
    ref = reference(model, params, k, tau, kind)
    assert set(got) == {"price", "delta", "gamma", "theta", "rho", *ref}
    np.testing.assert_array_equal(
        got["price"], orvelta.european_price(model, list(params), k, tau, S, R, Q, kind)
    )
    for name, want in ref.items():
        err = np.max(np.abs(got[name] - want))
        bound = 2e-8 + 1e-9 * np.max(np.abs(want))
        if label == "bates jump series" and name.startswith("vega"):
            # v0 and theta are 1e-5: differences over steps of 5e-6 and less
            # carry about 1e-7 of the prices' own error.
            bound = 2e-7
        assert err <= bound, (name, err, got[name], want)


@pytest.mark.parametrize("tau", [0.02, 1.0, 10.0])
@pytest.mark.parametrize("kind", ["put", "call"])
def test_black_scholes_greeks_are_the_closed_form(tau, kind):
    sigma = 0.3
    k = S * np.exp(np.linspace(-1.0, 1.0, 9))
    g = orvelta.european_greeks("black_scholes", [sigma], k, tau, S, R, Q, kind)
    v = sigma * math.sqrt(tau)
    d1 = (np.log(S / k) + (R - Q) * tau) / v + 0.5 * v
    d2 = d1 - v
    from scipy.special import ndtr

    pdf = np.exp(-0.5 * d1 * d1) / math.sqrt(2.0 * math.pi)
    dq, dr = math.exp(-Q * tau), math.exp(-R * tau)
    call = kind == "call"
    delta = dq * (ndtr(d1) if call else ndtr(d1) - 1.0)
    theta = -S * dq * pdf * sigma / (2.0 * math.sqrt(tau)) + (
        Q * S * dq * ndtr(d1) - R * k * dr * ndtr(d2)
        if call
        else -Q * S * dq * ndtr(-d1) + R * k * dr * ndtr(-d2)
    )
    rho = k * tau * dr * (ndtr(d2) if call else -ndtr(-d2))
    want = {
        "price": [bs_price(S, x, R, Q, sigma, tau, call) for x in k],
        "delta": delta,
        "gamma": dq * pdf / (S * v),
        "vega": S * dq * pdf * math.sqrt(tau),
        "theta": theta,
        "rho": rho,
    }
    for name, w in want.items():
        np.testing.assert_allclose(g[name], w, rtol=1e-12, atol=1e-12, err_msg=name)


def test_shapes_batches_and_special_inputs():
    g = orvelta.european_greeks("heston", HESTON, 100.0, 1.0, S, R, Q, "put")
    assert list(g) == ["price", "delta", "gamma", "theta", "rho", "vega_v0", "vega_theta"]
    assert all(isinstance(v, float) for v in g.values())
    grid = orvelta.european_greeks(
        "heston", HESTON, [[90.0], [110.0]], [0.5, 1.0], [100.0, 105.0], R, Q, "call"
    )
    assert grid["delta"].shape == (2, 2)
    # A batch gives each option the bits it gets alone.
    k = np.array([80.0, 100.0, 120.0, 95.0])
    taus = np.array([0.5, 1.0, 0.5, 2.0])
    spots = np.array([100.0, 100.0, 90.0, 100.0])
    batch = orvelta.european_greeks(
        "bates", BATES, k, taus, spots, R, Q, ["put", "call", "put", "call"]
    )
    for i in range(4):
        alone = orvelta.european_greeks(
            "bates", BATES, k[i], taus[i], spots[i], R, Q, ["put", "call"][i % 2]
        )
        for name, v in alone.items():
            assert batch[name][i] == v, name
    # NaN in, NaN out; at expiry the payoff's slope; NaN option type.
    special = orvelta.european_greeks(
        "heston",
        HESTON,
        [100.0, -1.0, 90.0, 100.0, 100.0],
        [1.0, 1.0, 0.0, 0.0, 1.0],
        S,
        R,
        Q,
        [1, 1, 0, 0, math.nan],
    )
    assert np.isnan(special["delta"][1]) and np.isnan(special["price"][1])
    assert (
        special["delta"][2] == 0.0 and special["gamma"][2] == 0.0 and np.isnan(special["theta"][2])
    )
    assert np.isnan(special["delta"][3])  # at the money at expiry
    assert all(np.isnan(v[4]) for v in special.values())


def test_per_option_volatilities_price_as_one_model_each():
    vols = np.array([0.1, 0.25, np.nan, 0.4])
    k = np.array([90.0, 100.0, 100.0, 110.0])
    g = orvelta.european_greeks("bs", [vols], k, 1.0, S, R, Q, "call")
    for i, v in enumerate(vols):
        if np.isnan(v):
            assert all(np.isnan(x[i]) for x in g.values())
            continue
        alone = orvelta.european_greeks(
            "bs", orvelta.BlackScholes(sigma=v), k[i], 1.0, S, R, Q, "call"
        )
        for name, x in alone.items():
            assert g[name][i] == x, name


@pytest.mark.parametrize("tol", [1e-6, 1e-9])
def test_tolerances_are_met_for_the_sensitivities(tol):
    """Greeks to tol against Greeks to 1e-11 (the same formulas, other settings)."""
    k = S * np.exp(np.linspace(math.log(0.5), math.log(2.0), 7))
    for model, params in ((3, HARD_HESTON), (4, BATES), (2, (0.2, -0.08, 0.2))):
        for tau in (0.25, 3.0):
            got = orvelta.european_greeks(model, list(params), k, tau, S, R, Q, "put", tol=tol)
            ref = orvelta.european_greeks(model, list(params), k, tau, S, R, Q, "put", tol=1e-11)
            for name in got:
                np.testing.assert_allclose(
                    got[name], ref[name], rtol=0, atol=tol, err_msg=f"{model} {tau} {name}"
                )


def test_greeks_answer_ctrl_c(run_python):
    call = "orvelta.european_greeks(3, [0.04, 0.3, 0.04, 0.9, -0.5], np.full(taus.size, 100.0), taus, 100.0, 0.03, 0.01, 1)"
    assert_stops_on_ctrl_c(run_python, 4000, 0.5, call)


def test_engine_hook_takes_option_types_as_floats():
    one = np.ones(3)
    g = E._european_greeks(
        3,
        np.array(HESTON),
        100 * one,
        one,
        np.array(S),
        np.array(R),
        np.array(Q),
        np.array([2.0**40, -(2.0**40), math.nan]),
        1e-8,
    )
    call = orvelta.european_greeks(3, HESTON, 100.0, 1.0, S, R, Q, "call")
    put = orvelta.european_greeks(3, HESTON, 100.0, 1.0, S, R, Q, "put")
    assert (
        g["delta"][0] == call["delta"] and g["delta"][1] == put["delta"] and np.isnan(g["delta"][2])
    )
