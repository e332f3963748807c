"""Fourier pricers: fft_prices, direct_prices and cos_prices under the five models."""

import math
import re

import numpy as np
import pytest

from orvelta import _kernels as K
from references import black_scholes as bs_price
from references import quantlib_heston, quantlib_options

S, R, Q, T = 100.0, 0.05, 0.02, 1.0
HESTON = [0.04, 2.0, 0.04, 0.6, -0.5]  # the model-3 defaults, written out
MERTON = (0.2, 0.3, -0.05, 0.2)  # sigma, lambda, mu_J, delta_J defaults


# ---------------------------------------------------------------- references


def merton_price(s, k, r, q, tau, sigma, lam, mu_j, delta_j, call=True, terms=80):
    """Merton's Poisson-weighted series of Black-Scholes prices: with j jumps the
    log price has variance sigma^2 + j delta^2 / tau and rate r_j."""
    kappa = math.exp(mu_j + 0.5 * delta_j * delta_j) - 1.0
    lam_p = lam * (1.0 + kappa)
    total = 0.0
    for j in range(terms):
        weight = math.exp(-lam_p * tau + j * math.log(lam_p * tau) - math.lgamma(j + 1))
        sigma_j = math.sqrt(sigma * sigma + j * delta_j * delta_j / tau)
        r_j = r - lam * kappa + j * math.log(1.0 + kappa) / tau
        # Discounting at r_j instead of r is absorbed by the weights' lambda'.
        total += weight * bs_price(s, k, r_j, q, sigma_j, tau, call)
    return total


def bs_phi(u, s, r, q, sigma, tau):
    """Characteristic function of ln S_T under Black-Scholes, for complex u."""
    x0 = math.log(s)
    return np.exp(1j * u * (x0 + (r - q - 0.5 * sigma**2) * tau) - 0.5 * sigma**2 * u * u * tau)


def heston_quantlib(strikes, tau_days, params, call=True):
    ql = pytest.importorskip("QuantLib")
    today, engine = quantlib_heston(ql, S, R, Q, params, 1e-13, 100000)
    kind = ql.Option.Call if call else ql.Option.Put
    options = quantlib_options(ql, kind, strikes, ql.EuropeanExercise(today + tau_days), engine)
    return np.array([o.NPV() for o in options])


def fft(model, params, **kw):
    return K.fft_prices(model, params, S, R, Q, T, **kw)


def direct(model, params, strikes, tau=None, **kw):
    tau = np.full(len(strikes), T) if tau is None else tau
    return K.direct_prices(model, params, strikes, tau, S, R, Q, **kw)


def cos(model, params, strikes, tau=None, **kw):
    tau = np.full(len(strikes), T) if tau is None else tau
    return K.cos_prices(model, params, strikes, tau, S, R, Q, **kw)


def all_methods(model, params):
    """Prices of the same options by the three methods (FFT on its own grid)."""
    strikes = [80.0, 100.0, 125.0]
    return [
        fft(model, params)["prices"],
        fft(model, params, option_type=0)["prices"],
        direct(model, params, strikes),
        direct(model, params, strikes, option_type=0),
        cos(model, params, strikes),
        cos(model, params, strikes, option_type=0),
    ]


def assert_all_equal(a, b):
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


# ---------------------------------------------------------------- the module


def test_registration_order_and_defaults():
    names = [n for n, v in vars(K).items() if callable(v) and not n.startswith("_")]
    assert names[-3:] == ["fft_prices", "direct_prices", "cos_prices"]
    a = K.fft_prices(1, [], 100.0, 0.05, 0.0, 1.0, n=512)
    b = K.fft_prices(1, [], 100.0, 0.05, 0.0, 1.0, 1.5, 512, 0.25, 1)
    assert list(a) == ["strikes", "prices"]
    np.testing.assert_array_equal(a["prices"], b["prices"])
    np.testing.assert_array_equal(
        cos(3, [], [90.0]), cos(3, [], [90.0], n_terms=256, truncation_width=10.0)
    )
    np.testing.assert_array_equal(
        direct(2, [], [90.0]), direct(2, [], [90.0], n_terms=512, u_max=120.0)
    )


# ---------------------------------------------------------------- the models


# With u = -i and u = 0 the COS series of call - put reproduces
# e^{-rT} (phi(-i) - K phi(0)); over several strikes it equals the forward
# parity s e^{-qT} - K e^{-rT} only when phi(-i) = s e^{(r-q)T} and phi(0) = 1.
@pytest.mark.parametrize(
    "model, params, tol",
    [
        (0, [], 1e-10),
        (-1, [0.35], 1e-9),
        (1, [], 1e-10),
        (1, [0.15, 1.0, 0.1, 0.3], 1e-9),
        (2, [], 1e-10),
        (2, [0.3, -0.3, 0.5], 1e-9),
        (3, [], 1e-8),
        (3, [0.09, 1.0, 0.05, 0.4, 0.3], 1e-8),
        (4, HESTON, 1e-9),
        (4, HESTON + [0.5, 0.1, 0.15], 1e-9),
        # Floored diffusion: the point mass of the no-jump paths slows the
        # series; a missing jump compensator would be off by about 0.9.
        (4, [], 1e-3),
    ],
)
def test_martingale_and_normalisation(model, params, tol):
    strikes = np.array([70.0, 100.0, 140.0])
    tau = np.full(3, 1.5)
    call = K.cos_prices(model, params, strikes, tau, S, R, Q, 4096, 20.0, 1)
    put = K.cos_prices(model, params, strikes, tau, S, R, Q, 4096, 20.0, 0)
    parity = S * math.exp(-Q * 1.5) - strikes * math.exp(-R * 1.5)
    np.testing.assert_allclose(call - put, parity, rtol=0, atol=tol)


def test_model_ids_outside_the_table_are_lognormal():
    ref = all_methods(0, [])
    for model in (-1, 5, 99):
        assert_all_equal(all_methods(model, []), ref)
    # An empty params means sigma = 0.2.
    assert_all_equal(all_methods(7, [0.2]), ref)


@pytest.mark.parametrize(
    "model, short, explicit",
    [
        (3, [], HESTON),
        (3, HESTON[:4], HESTON),  # the missing rho is -0.5
        (3, HESTON[:4] + [1.5], HESTON[:4] + [0.999]),
        (3, HESTON[:4] + [-7.0], HESTON[:4] + [-0.999]),
        (3, [-1.0, 0.0, -3.0], [1e-8, 1e-8, 1e-8]),
        (1, [], list(MERTON)),
        (1, [0.25], [0.25, 0.3, -0.05, 0.2]),
        (2, [], [0.2, -0.08, 0.2]),
        (4, HESTON, HESTON + [0.3, -0.05, 0.2]),
    ],
)
def test_defaults_and_floors_equal_explicit_values(model, short, explicit):
    for a, b in zip(all_methods(model, short), all_methods(model, explicit)):
        np.testing.assert_allclose(a, b, rtol=1e-14, atol=1e-14)


def test_variance_gamma_nu_floor():
    # nu below 1e-6 is raised to it in the characteristic function.
    for nu in (0.0, -1.0):
        np.testing.assert_array_equal(
            fft(2, [0.2, -0.1, nu])["prices"], fft(2, [0.2, -0.1, 1e-6])["prices"]
        )
        np.testing.assert_array_equal(
            direct(2, [0.2, -0.1, nu], [90.0, 110.0]), direct(2, [0.2, -0.1, 1e-6], [90.0, 110.0])
        )


def test_bates_without_jumps_is_heston():
    params = [0.06, 1.5, 0.05, 0.5, -0.7]
    assert_all_equal(all_methods(4, params + [0.0, -0.1, 0.3]), all_methods(3, params))


def test_bates_missing_diffusion_entries_are_floored_zeros():
    # Missing Bates diffusion entries are zeros raised to the floors, never the
    # Heston defaults: four entries leave rho = 0 where Heston takes -0.5, and
    # none at all leave v0 = kappa = theta = sigma_v = 1e-8.
    short = HESTON[:4]
    jumps_off = [0.0]
    for method in (
        lambda m, p: fft(m, p)["prices"],
        lambda m, p: direct(m, p, [90.0, 100.0, 110.0]),
    ):
        np.testing.assert_array_equal(method(4, short), method(4, short + [0.0]))
        np.testing.assert_array_equal(method(4, []), method(4, [1e-8, 1e-8, 1e-8, 0.0, 0.0]))
        # Without jumps: five entries give Heston, four do not (rho differs).
        np.testing.assert_array_equal(method(4, HESTON + jumps_off), method(3, HESTON))
        np.testing.assert_array_equal(
            method(4, short + [0.0] + jumps_off), method(3, short + [0.0])
        )
        assert not np.allclose(
            method(4, short + [0.0] + jumps_off), method(3, short), rtol=1e-6, atol=0
        )
        assert not np.allclose(method(4, short), method(3, short), rtol=1e-6, atol=0)


def test_merton_without_jumps_is_lognormal():
    assert_all_equal(all_methods(1, [0.3, 0.0, -0.2, 0.4]), all_methods(0, [0.3]))


# ---------------------------------------------------------------- FFT grid


@pytest.mark.parametrize(
    "n, size", [(100, 128), (0, 16), (1, 16), (-5, 16), (16, 16), (17, 32), (256, 256), (257, 512)]
)
def test_fft_grid_size(n, size):
    res = fft(0, [], n=n)
    assert res["strikes"].shape == (size,) and res["prices"].shape == (size,)


@pytest.mark.parametrize("n, eta", [(256, 0.25), (512, 0.1), (64, 0.5)])
def test_fft_log_strike_grid(n, eta):
    strikes = fft(0, [], n=n, eta=eta)["strikes"]
    lam = 2.0 * math.pi / (n * eta)
    assert strikes[n // 2] == pytest.approx(S, rel=1e-13)
    np.testing.assert_allclose(strikes[1:] / strikes[:-1], math.exp(lam), rtol=1e-13)
    assert strikes[0] == pytest.approx(S * math.exp(-math.pi / eta), rel=1e-13)


def test_fft_matches_naive_dft_of_the_damped_transform():
    sigma, alpha, eta, n = 0.25, 1.5, 0.25, 256
    res = K.fft_prices(0, [sigma], S, R, Q, T, alpha, n, eta, 1)
    lam = 2.0 * math.pi / (n * eta)
    k0 = math.log(S) - n * lam / 2.0
    v = np.arange(n) * eta
    psi = math.exp(-R * T) * bs_phi(v - (alpha + 1.0) * 1j, S, R, Q, sigma, T)
    psi /= (alpha * alpha + alpha - v * v) + 1j * (2.0 * alpha + 1.0) * v
    x = np.exp(-1j * v * k0) * psi * eta
    x[0] *= 0.5
    jm = np.outer(np.arange(n), np.arange(n)) % n
    X = np.exp(-2j * math.pi * jm / n) @ x
    k = np.arange(n) * lam + k0
    calls = np.maximum(np.exp(-alpha * k) * X.real / math.pi, 0.0)
    np.testing.assert_allclose(res["strikes"], np.exp(k), rtol=1e-14)
    # Both transforms round at the level of sum |x_j|; undamping scales that
    # by e^(-alpha k).
    scale = np.exp(-alpha * k) * np.abs(x).sum() / math.pi
    assert (np.abs(res["prices"] - calls) <= 1e-13 * scale).all()
    # The central part of the grid is a usable price curve.
    mid = slice(n // 2 - 20, n // 2 + 21)
    ref = [bs_price(S, kk, R, Q, sigma, T) for kk in res["strikes"][mid]]
    np.testing.assert_allclose(res["prices"][mid], ref, rtol=0, atol=1e-8)


def test_fft_rejects_grids_above_two_to_the_thirty():
    for n in (2**30 + 1, 2**31 - 1):
        with pytest.raises(RuntimeError, match=re.escape("n must be at most 1073741824")):
            fft(0, [], n=n)
    # params is checked first.
    with pytest.raises(
        ValueError, match=re.escape("array has incorrect number of dimensions: 2; expected 1")
    ):
        fft(0, [[0.2]], n=2**31 - 1)


def test_fft_params_dimension_error():
    with pytest.raises(
        ValueError, match=re.escape("array has incorrect number of dimensions: 0; expected 1")
    ):
        K.fft_prices(0, 0.2, S, R, Q, T)


# ---------------------------------------------------------------- direct integration


def test_direct_shared_and_per_option_modes_agree():
    strikes = np.array([80.0, 95.0, 100.0, 110.0, 130.0])
    base = np.full(5, 1.0)
    for model, params in ((0, []), (3, []), (4, HESTON)):
        shared = direct(model, params, strikes, base)
        # Within 1e-13 of the first maturity: still the shared mode, every
        # option priced at tau[0].
        near = base.copy()
        near[-1] += 1e-14
        np.testing.assert_array_equal(direct(model, params, strikes, near), shared)
        # Beyond 1e-13: one integration per option at its own maturity.
        nudged = base.copy()
        nudged[-1] += 1e-12
        per_option = direct(model, params, strikes, nudged)
        np.testing.assert_allclose(per_option[:-1], shared[:-1], rtol=1e-13, atol=1e-13)
        np.testing.assert_allclose(per_option[-1], shared[-1], rtol=1e-10)


def test_direct_floors_on_nodes_and_range():
    strikes = [85.0, 100.0, 120.0]
    np.testing.assert_array_equal(
        direct(3, [], strikes, n_terms=10), direct(3, [], strikes, n_terms=64)
    )
    np.testing.assert_array_equal(
        direct(3, [], strikes, n_terms=-3), direct(3, [], strikes, n_terms=64)
    )
    np.testing.assert_array_equal(
        direct(3, [], strikes, u_max=5.0), direct(3, [], strikes, u_max=10.0)
    )
    np.testing.assert_array_equal(
        direct(3, [], strikes, u_max=math.nan), direct(3, [], strikes, u_max=10.0)
    )


def test_cos_term_floor():
    strikes = [85.0, 100.0, 120.0]
    np.testing.assert_array_equal(cos(3, [], strikes, n_terms=1), cos(3, [], strikes, n_terms=8))
    np.testing.assert_array_equal(cos(3, [], strikes, n_terms=-1), cos(3, [], strikes, n_terms=8))


# ---------------------------------------------------------------- references


@pytest.mark.parametrize("call", [True, False])
def test_black_scholes_at_the_money(call):
    ref = bs_price(S, 100.0, R, Q, 0.2, T, call)
    kind = 1 if call else 0
    res = fft(0, [], option_type=kind)
    assert res["strikes"][128] == pytest.approx(100.0, rel=1e-14)
    assert abs(res["prices"][128] - ref) < 1e-9
    assert abs(direct(0, [], [100.0], option_type=kind)[0] - ref) < 1e-9
    assert (
        abs(cos(0, [], [100.0], n_terms=256, truncation_width=10.0, option_type=kind)[0] - ref)
        < 1e-9
    )


def test_black_scholes_across_strikes_and_maturities():
    strikes = np.array([60.0, 80.0, 100.0, 120.0, 150.0])
    tau = np.array([0.25, 0.5, 1.0, 2.0, 3.0])
    for kind in (0, 1):
        ref = [bs_price(S, k, R, Q, 0.3, t, kind == 1) for k, t in zip(strikes, tau)]
        np.testing.assert_allclose(
            direct(0, [0.3], strikes, tau, option_type=kind), ref, rtol=0, atol=1e-8
        )
        np.testing.assert_allclose(
            cos(0, [0.3], strikes, tau, option_type=kind), ref, rtol=0, atol=1e-8
        )


def test_cos_width_100_floors_the_at_the_money_call():
    # A width of 100 reaches about e^20: the call series sums to a large
    # negative number and the floor makes it 0; the put stays close.
    assert cos(0, [], [100.0], truncation_width=100.0)[0] == 0.0
    put = cos(0, [], [100.0], truncation_width=100.0, option_type=0)[0]
    assert abs(put - bs_price(S, 100.0, R, Q, 0.2, T, False)) < 5e-5
    assert (
        abs(
            cos(0, [], [100.0], n_terms=1024, truncation_width=100.0)[0]
            - bs_price(S, 100.0, R, Q, 0.2, T)
        )
        < 1e-4
    )


def check_against(model, params, strikes, reference, atol):
    """direct and cos (at their defaults and on a wide range with many terms) on
    strikes, and the FFT at the middle of its grid, against reference(strikes, call)
    for puts and calls: atol holds the four tolerances in that order."""
    for kind in (0, 1):
        ref = reference(strikes, kind == 1)
        np.testing.assert_allclose(
            direct(model, params, strikes, option_type=kind), ref, rtol=0, atol=atol[0]
        )
        np.testing.assert_allclose(
            cos(model, params, strikes, option_type=kind), ref, rtol=0, atol=atol[1]
        )
        wide = cos(model, params, strikes, n_terms=4096, truncation_width=20.0, option_type=kind)
        np.testing.assert_allclose(wide, ref, rtol=0, atol=atol[2])
        res = fft(model, params, option_type=kind)
        assert abs(res["prices"][128] - reference(res["strikes"][128:129], kind == 1)[0]) < atol[3]


@pytest.mark.parametrize("params", [[], [0.15, 1.0, 0.1, 0.3], [0.3, 0.5, -0.2, 0.25]])
def test_merton_against_poisson_series(params):
    sigma, lam, mu_j, delta_j = list(params) + list(MERTON)[len(params) :]

    def reference(strikes, call):
        return [merton_price(S, k, R, Q, T, sigma, lam, mu_j, delta_j, call) for k in strikes]

    # cos at width 10 truncates the jump tail of the skewed case at about 4e-5.
    check_against(1, params, np.array([80.0, 100.0, 125.0]), reference, (1e-12, 1e-4, 1e-10, 1e-12))


@pytest.mark.parametrize(
    "params", [HESTON, [0.09, 1.0, 0.05, 0.4, 0.3], [0.02, 3.0, 0.06, 0.8, -0.8]]
)
def test_heston_against_quantlib(params):
    def reference(strikes, call):
        return heston_quantlib(strikes, 365, params, call=call)

    strikes = np.array([80.0, 90.0, 100.0, 110.0, 125.0])
    check_against(3, params, strikes, reference, (2e-8, 1e-3, 2e-8, 2e-6))


# ---------------------------------------------------------------- floors


def test_calls_are_floored_and_puts_by_parity_are_not():
    for model, params in ((0, []), (3, [])):
        calls = fft(model, params)["prices"]
        puts = fft(model, params, option_type=0)["prices"]
        assert (calls >= 0.0).all()
        assert (puts < 0.0).any()
    deep = [10.0, 20.0, 30.0]
    assert (direct(0, [], deep) >= 0.0).all()
    assert direct(0, [], deep, option_type=0).min() < 0.0


def test_cos_prices_are_never_negative():
    strikes = [10.0, 15.0, 20.0, 300.0, 1e6, 1e-3]
    for kind in (0, 1):
        got = cos(0, [], strikes, option_type=kind)
        assert (got >= 0.0).all()
    # An interval entirely below 0 has no call payoff, entirely above 0 no put payoff.
    assert cos(0, [], [1e6])[0] == 0.0
    assert cos(0, [], [1e-3], option_type=0)[0] == 0.0


# ---------------------------------------------------------------- checks


@pytest.mark.parametrize("pricer", [K.direct_prices, K.cos_prices])
def test_empty_input(pricer):
    out = pricer(3, [], [], [], S, R, Q)
    assert out.shape == (0,) and out.dtype == np.float64


@pytest.mark.parametrize("pricer", [K.direct_prices, K.cos_prices])
def test_length_mismatch_comes_before_params(pricer):
    msg = "strikes and tau must have the same length"
    with pytest.raises(RuntimeError, match=re.escape(msg)) as info:
        pricer(0, [[0.2]], [90.0, 100.0, 110.0], [1.0, 1.0], S, R, Q)
    assert str(info.value) == msg


@pytest.mark.parametrize("pricer", [K.direct_prices, K.cos_prices])
@pytest.mark.parametrize(
    "params, strikes, tau, dims",
    [
        ([], [[90.0, 100.0]], [1.0], 2),  # strikes first, even with a length mismatch
        ([], [90.0, 100.0, 110.0], 1.0, 0),  # then tau
        ([], 100.0, 1.0, 0),
        ([[0.2]], [90.0, 100.0], [1.0, 1.0], 2),  # params after the length test
        (0.2, [100.0], [1.0], 0),
        ([[0.2]], [], [], 2),  # params is read even for no options
    ],
)
def test_dimension_errors(pricer, params, strikes, tau, dims):
    msg = f"array has incorrect number of dimensions: {dims}; expected 1"
    with pytest.raises(ValueError, match=re.escape(msg)):
        pricer(0, params, strikes, tau, S, R, Q)
