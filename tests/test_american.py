"""Accurate American pricing: prices against converged lattices and QuantLib,
symmetries, Greeks, implied volatilities, domain handling, batches."""

import math
import re

import numpy as np
import pytest
import scipy.special

import orvelta
from orvelta import _engines
from references import black_scholes, quantlib_black_scholes

PUT, CALL = 0, 1


def lattice_reference(s, k, r, q, sigma, tau, kind, n=2000):
    """CRR prices averaged over neighbouring step counts (which removes the
    odd-even oscillation) at n and 2n, extrapolated in 1/n."""
    args = [np.array([x], dtype=float) for x in (s, k, r, q, sigma, tau)]
    kinds = np.array([kind], dtype=np.int32)

    def avg(m):
        return 0.5 * sum(orvelta.american_tree_batch(*args, kinds, steps=j)[0] for j in (m, m + 1))

    return 2.0 * avg(2 * n) - avg(n)


def converged(s, k, r, q, sigma, tau, kind):
    """The pricer itself at settings far beyond those of any tolerance."""
    arrs = [np.atleast_1d(np.asarray(x, dtype=float)) for x in (s, k, r, q, sigma, tau)]
    kinds = np.atleast_1d(np.asarray(kind, dtype=np.int32))
    return _engines._american_price_scheme(*arrs, kinds, 64, 64, 24, 44, 5)


def domain(n, seed):
    """Options over moneyness 0.5..2, sigma 0.05..1, tau one day..10 years, q above and below r."""
    rng = np.random.default_rng(seed)
    k = np.full(n, 100.0)
    s = k * np.exp(rng.uniform(math.log(0.5), math.log(2.0), n))
    r = rng.uniform(0.0, 0.1, n)
    q = rng.uniform(0.0, 0.12, n)
    sigma = np.exp(rng.uniform(math.log(0.05), 0.0, n))
    tau = np.exp(rng.uniform(math.log(1 / 365), math.log(10.0), n))
    kind = rng.integers(0, 2, n)
    return s, k, r, q, sigma, tau, kind


# s, k, r, q, sigma, tau, kind: puts and calls, q > r, extreme sigma and tau
LATTICE_CASES = [
    (100.0, 100.0, 0.05, 0.02, 0.25, 1.0, PUT),
    (80.0, 100.0, 0.06, 0.0, 0.3, 2.0, PUT),
    (100.0, 100.0, 0.03, 0.08, 0.2, 1.0, PUT),  # q > r: boundary starts at k r / q
    (120.0, 100.0, 0.03, 0.07, 0.4, 0.5, CALL),
    (100.0, 80.0, 0.02, 0.06, 0.05, 3.0, CALL),
    (60.0, 100.0, 0.04, 0.02, 1.0, 10.0, PUT),
    (150.0, 100.0, 0.05, 0.03, 0.6, 0.25, PUT),
    (100.0, 100.0, 0.05, 0.02, 0.3, 1.0 / 365, PUT),  # one day
    (160.0, 100.0, 0.05, 0.08, 0.35, 2.0, CALL),
]


@pytest.mark.parametrize("case", LATTICE_CASES)
def test_price_agrees_with_extrapolated_lattice(case):
    ref = lattice_reference(*case)
    price = orvelta.american_price(*case, tol=1e-8)
    assert price == pytest.approx(ref, abs=5e-4)


def test_lattice_reference_separates_american_from_european():
    # The yardstick above is sharp enough to see the early-exercise premium.
    case = (100.0, 100.0, 0.05, 0.0, 0.2, 1.0, PUT)
    euro = black_scholes(*case[:6], call=False)
    assert lattice_reference(*case) - euro > 0.3
    assert orvelta.american_price(*case) == pytest.approx(lattice_reference(*case), abs=2e-4)


def _quantlib_price(s, k, r, q, sigma, days, kind):
    ql = pytest.importorskip("QuantLib")
    today, process = quantlib_black_scholes(ql, s, r, q, sigma)
    engine = ql.QdFpAmericanEngine(
        process, ql.QdFpAmericanEngine.highPrecisionScheme(), ql.QdFpAmericanEngine.FP_A
    )
    payoff = ql.PlainVanillaPayoff(ql.Option.Call if kind > 0 else ql.Option.Put, k)
    option = ql.VanillaOption(payoff, ql.AmericanExercise(today, today + days))
    option.setPricingEngine(engine)
    return option.NPV()


@pytest.mark.parametrize(
    "case",
    [
        (100.0, 100.0, 0.05, 0.02, 0.25, 365, PUT),
        (100.0, 100.0, 0.05, 0.0, 0.2, 365, PUT),
        (80.0, 100.0, 0.05, 0.1, 0.3, 730, PUT),
        (120.0, 100.0, 0.03, 0.07, 0.4, 180, CALL),
        (72.845, 100.0, 0.0672, 0.117, 0.842, 3328, CALL),
        (55.0, 100.0, 0.08, 0.01, 0.12, 1000, PUT),
        (130.0, 100.0, 0.04, 0.04, 0.08, 30, PUT),
        (190.0, 100.0, 0.05, 0.08, 0.35, 1825, CALL),
    ],
)
def test_price_agrees_with_quantlib_fixed_point_engine(case):
    *market, days, kind = case
    ref = _quantlib_price(*market, days, kind)
    price = orvelta.american_price(*market, days / 365.0, kind, tol=1e-8)
    assert price == pytest.approx(ref, abs=1e-7)


@pytest.mark.parametrize("tol", [1e-2, 1e-3, 1e-5, 1e-7])
def test_error_within_tolerance_across_the_domain(tol):
    s, k, r, q, sigma, tau, kind = domain(120, seed=7)
    ref = converged(s, k, r, q, sigma, tau, kind)
    price = orvelta.american_price(s, k, r, q, sigma, tau, kind, tol=tol)
    assert np.max(np.abs(price - ref)) <= tol


@pytest.mark.parametrize("tol", [1e-6, 5e-7])
def test_error_within_tolerance_where_the_value_matching_sweeps_converge_slowly(tol):
    # Put form r / sigma^2 near 27 over three years: the value-matching sweeps
    # need more than the sixteen they once had at this tolerance.
    case = (
        96.75034806030885,
        100.0,
        0.01333328520725932,
        0.09620710981006435,
        0.05950137613374,
        2.9313769731195314,
        CALL,
    )
    assert abs(orvelta.american_price(*case, tol=tol) - converged(*case)[0]) <= tol


def vector_kernel_paths(x, coef, z):
    """(build, e, h, c) of the boundary sweeps' vector passes on every
    instruction-set build this processor runs."""
    out = []
    try:
        for isa in _engines._isas():
            _engines._isa(isa)
            e, c, h = _engines._vector_kernels(x, coef, z)
            out.append((isa, e, h, c))
    finally:
        _engines._isa("auto")
    return out


@pytest.mark.parametrize("degree", [2, 7, 24, 64])
def test_vector_kernels_agree_on_every_instruction_set(degree):
    """The exponential, normal distribution and Chebyshev sums of the boundary
    sweeps give the same bits on the baseline, AVX2 and AVX-512 paths (those
    this processor runs), over counts that leave a partial last register; all
    against NumPy and SciPy."""
    rng = np.random.default_rng(degree)
    x = np.concatenate(
        [
            rng.uniform(-700.0, 700.0, 1001),
            rng.uniform(-1.0, 1.0, 1002),
            rng.uniform(-40.0, 40.0, 999),
            [-800.0, 800.0, 0.0, -0.0],
        ]
    )
    coef = rng.normal(size=degree + 1) / (1.0 + np.arange(degree + 1)) ** 2
    z = np.concatenate([rng.uniform(-1.0, 1.0, 37), [-1.0, 1.0]])
    paths = vector_kernel_paths(x, coef, z)
    assert paths[0][0] == "baseline"
    for _, e, h, c in paths[1:]:
        assert e.tobytes() == paths[0][1].tobytes() and h.tobytes() == paths[0][2].tobytes()
        assert c.tobytes() == paths[0][3].tobytes()
    _, e, h, c = paths[0]
    clamped = np.clip(x, -700.0, 700.0)
    assert np.max(np.abs(e / np.exp(clamped) - 1.0)) <= 4e-16
    ref = np.polynomial.chebyshev.chebval(z, coef)
    assert np.max(np.abs(h - ref)) <= 1e-14 * np.abs(coef).sum()
    # Relative accuracy where the distribution is above 1e-12, absolute beyond.
    nref = scipy.special.ndtr(x)
    big = nref > 1e-12
    assert np.max(np.abs(c[big] / nref[big] - 1.0)) <= 4e-15
    assert np.max(np.abs(c[~big] - nref[~big])) <= 1e-26
    assert np.max(np.abs(c - nref)) <= 4e-16
    assert np.all((c >= 0.0) & (c <= 1.0))


def test_vector_normal_distribution_propagates_nan():
    x = np.array([np.nan, 0.5, -np.inf, np.inf, np.nan])
    for _, _, _, c in vector_kernel_paths(x, np.ones(1), np.zeros(1)):
        assert np.isnan(c[0]) and np.isnan(c[4])
        assert c[2] == 0.0 and c[3] == 1.0
        assert c[1] == pytest.approx(scipy.special.ndtr(0.5), rel=1e-15)


# Found by sampling 30,000 options of the domain: a capped boundary (q > r in
# the put form) days from expiry and at long maturities, r / sigma^2 near 1
# over years, and a large ratio with few sweeps.
HARD_CASES = [
    (
        102.53752416602508,
        100.0,
        0.02752627831272382,
        0.02688119797539872,
        0.2233108005156354,
        0.007294048164064427,
        CALL,
        1e-8,
    ),
    (
        56.394109429312365,
        100.0,
        0.01097261723879982,
        0.0934998107964594,
        0.1048457417435414,
        6.875688202993327,
        PUT,
        1e-8,
    ),
    (108.0403, 100.0, 0.0041, 0.1055, 0.2405, 9.1453, CALL, 1e-9),
    (
        101.19204750184312,
        100.0,
        0.005347437670795896,
        0.11512797429849773,
        0.05756078971761349,
        1.779619766339874,
        CALL,
        1e-3,
    ),
]


@pytest.mark.parametrize("case", HARD_CASES)
def test_error_within_tolerance_on_hard_cases(case):
    *market, tol = case
    ref = _engines._american_price_scheme(
        *[np.array([x], float) for x in market[:6]],
        np.array([market[6]], np.int32),
        64,
        64,
        48,
        48,
        5,
    )[0]
    assert abs(orvelta.american_price(*market, tol=tol) - ref) <= tol


# Puts days from expiry with r / sigma^2 of 8 to 16, the spot about two
# sigma sqrt(tau) below the strike, a hair outside the exercise region. The
# value-matching sweeps overshoot (the boundary passes below the spot) and
# settle only after a hundred or more; capped at the usual count they left
# 3e-7 to 7e-7. Lattices cannot resolve these (8,000 steps still give the
# intrinsic value), so the reference is the pricer with its sweeps run out.
SHORT_DATED_LARGE_RATE = [
    (99.5, 100.0, 0.08, 0.0, 0.07, 0.5 / 365, PUT),
    (
        99.06427979846751,
        100.0,
        0.04168572650104797,
        0.02528063406150394,
        0.07191536299580385,
        0.0029793250424804984,
        PUT,
    ),
    (99.0, 100.0, 0.08, 0.0, 0.10, 1 / 365, PUT),
]


@pytest.mark.parametrize("tol", [1e-7, 1e-8, 1e-9])
@pytest.mark.parametrize("case", SHORT_DATED_LARGE_RATE)
def test_error_within_tolerance_days_from_expiry_with_a_large_rate(case, tol):
    arrays = [np.array([x], float) for x in case[:6]] + [np.array([case[6]], np.int32)]
    settled = _engines._american_price_scheme(*arrays, 64, 64, 24, 256, 5)[0]
    # Settled: the same to 1e-9 on a node set of a quarter the size.
    assert _engines._american_price_scheme(*arrays, 16, 64, 24, 256, 5)[0] == pytest.approx(
        settled, abs=1e-9
    )
    assert abs(orvelta.american_price(*case, tol=tol) - settled) <= tol


def test_put_call_symmetry_holds_exactly():
    s, k, r, q, sigma, tau, _ = domain(40, seed=3)
    calls = orvelta.american_price(s, k, r, q, sigma, tau, CALL, tol=1e-6)
    puts = orvelta.american_price(k, s, q, r, sigma, tau, PUT, tol=1e-6)
    assert np.array_equal(calls, puts)


@pytest.mark.parametrize(
    "case",
    [
        (100.0, 100.0, -0.01, 0.02, 0.3, 1.0, PUT),  # r <= 0, q >= r: never exercised
        (100.0, 100.0, 0.0, 0.0, 0.3, 2.0, PUT),
        (90.0, 100.0, 0.05, 0.0, 0.25, 1.0, CALL),  # call without dividends
        (110.0, 100.0, 0.05, -0.01, 0.25, 1.0, CALL),
    ],
)
def test_european_where_early_exercise_never_pays(case):
    *market, kind = case
    euro = black_scholes(*market, call=kind > 0)
    assert orvelta.american_price(*case) == pytest.approx(euro, abs=1e-12, rel=1e-12)


def test_double_boundary_regime_matches_lattice():
    # q < r < 0: the put's exercise region is a band between two boundaries.
    case = (100.0, 100.0, -0.01, -0.03, 0.2, 1.0, PUT)
    assert orvelta.american_price(*case, tol=1e-4) == pytest.approx(
        lattice_reference(*case, n=1000), abs=1e-3
    )
    assert orvelta.american_price(*case, tol=1e-4) >= black_scholes(*case[:6], call=False)
    g = orvelta.american_greeks(*case, tol=1e-4)
    assert g["price"] == orvelta.american_price(*case, tol=1e-4)
    assert all(math.isfinite(g[key]) for key in ("delta", "gamma", "theta", "vega", "rho"))
    # The same regime seen from a call: r < q < 0.
    call = (100.0, 100.0, -0.03, -0.01, 0.2, 1.0, CALL)
    assert orvelta.american_price(*call, tol=1e-4) == orvelta.american_price(
        100.0, 100.0, -0.01, -0.03, 0.2, 1.0, PUT, tol=1e-4
    )


GREEK_CASES = [
    (100.0, 100.0, 0.05, 0.02, 0.25, 1.0, PUT),
    (90.0, 100.0, 0.03, 0.07, 0.4, 0.5, CALL),
    (110.0, 100.0, 0.02, 0.06, 0.3, 2.0, CALL),
    (100.0, 120.0, 0.05, 0.0, 0.2, 1.0, PUT),
    (100.0, 95.0, 0.09, 0.01, 0.1, 3.0, PUT),  # large r / sigma^2
]


@pytest.mark.parametrize("case", GREEK_CASES)
def test_greeks_match_central_differences(case):
    s, k, r, q, sigma, tau, kind = case
    g = orvelta.american_greeks(*case, tol=1e-9)

    def price(**bump):
        args = dict(s=s, r=r, sigma=sigma, tau=tau)
        args.update(bump)
        return orvelta.american_price(
            args["s"], k, args["r"], q, args["sigma"], args["tau"], kind, tol=1e-11
        )

    hs, h = 1e-2, 1e-4
    fd = {
        "delta": (price(s=s + hs) - price(s=s - hs)) / (2 * hs),
        "gamma": (price(s=s + hs) - 2 * price() + price(s=s - hs)) / hs**2,
        "theta": -(price(tau=tau + h) - price(tau=tau - h)) / (2 * h),
        "vega": (price(sigma=sigma + h) - price(sigma=sigma - h)) / (2 * h),
        "rho": (price(r=r + h) - price(r=r - h)) / (2 * h),
    }
    for key, value in fd.items():
        assert g[key] == pytest.approx(value, rel=2e-5, abs=1e-5), key
    assert g["price"] == orvelta.american_price(*case, tol=1e-9)


def test_greeks_in_the_exercise_region_are_those_of_the_payoff():
    g = orvelta.american_greeks(60.0, 100.0, 0.08, 0.0, 0.2, 1.0, PUT)
    assert (g["price"], g["delta"], g["gamma"], g["theta"], g["vega"], g["rho"]) == (
        40.0,
        -1.0,
        0.0,
        0.0,
        0.0,
        0.0,
    )


def test_greeks_price_equals_price_bit_for_bit_on_arrays():
    s, k, r, q, sigma, tau, kind = domain(30, seed=5)
    g = orvelta.american_greeks(s, k, r, q, sigma, tau, kind, tol=1e-6)
    assert list(g) == ["price", "delta", "gamma", "theta", "vega", "rho"]
    assert np.array_equal(
        g["price"], orvelta.american_price(s, k, r, q, sigma, tau, kind, tol=1e-6)
    )


def test_implied_vol_round_trip():
    rng = np.random.default_rng(1)
    n = 40
    s = 100 * np.exp(rng.uniform(math.log(0.7), math.log(1.4), n))
    r, q = rng.uniform(0, 0.08, n), rng.uniform(0, 0.08, n)
    sigma, tau = rng.uniform(0.1, 0.8, n), rng.uniform(0.05, 3.0, n)
    kind = rng.integers(0, 2, n)
    price = orvelta.american_price(s, 100.0, r, q, sigma, tau, kind, tol=1e-10)
    iv = orvelta.american_implied_vol(price, s, 100.0, r, q, tau, kind)
    intrinsic = np.where(kind > 0, np.maximum(s - 100, 0), np.maximum(100 - s, 0))
    exercised = price <= intrinsic  # at the payoff no volatility is singled out
    assert np.all(np.isnan(iv[exercised]))
    assert np.max(np.abs(iv[~exercised] - sigma[~exercised])) < 1e-8


@pytest.mark.parametrize(
    "price, kind, k",
    [
        (-1.0, PUT, 100.0),
        (0.0, PUT, 100.0),
        (100.0, PUT, 100.0),  # at the bound k
        (150.0, PUT, 100.0),
        (100.0, CALL, 100.0),  # at the bound s
        (19.9, PUT, 120.0),  # below intrinsic
        (math.nan, PUT, 100.0),
    ],
)
def test_implied_vol_nan_where_no_volatility_fits(price, kind, k):
    assert math.isnan(orvelta.american_implied_vol(price, 100.0, k, 0.05, 0.02, 1.0, kind))


@pytest.mark.parametrize(
    "args",
    [
        (0.0, 100.0, 0.05, 0.02, 0.2, 1.0),
        (-5.0, 100.0, 0.05, 0.02, 0.2, 1.0),
        (100.0, 0.0, 0.05, 0.02, 0.2, 1.0),
        (math.nan, 100.0, 0.05, 0.02, 0.2, 1.0),
        (100.0, 100.0, math.nan, 0.02, 0.2, 1.0),
        (100.0, 100.0, 0.05, math.nan, 0.2, 1.0),
        (100.0, 100.0, 0.05, 0.02, math.nan, 1.0),
        (100.0, 100.0, 0.05, 0.02, 0.2, math.nan),
        (100.0, 100.0, math.inf, 0.02, 0.2, 1.0),
    ],
)
@pytest.mark.parametrize("kind", [PUT, CALL])
def test_invalid_inputs_give_nan(args, kind):
    assert math.isnan(orvelta.american_price(*args, kind))
    g = orvelta.american_greeks(*args, kind)
    assert all(math.isnan(v) for v in g.values())


@pytest.mark.parametrize("sigma, tau", [(0.0, 1.0), (-0.2, 1.0), (0.2, 0.0), (0.2, -1.0)])
def test_degenerate_volatility_or_expiry_gives_intrinsic(sigma, tau):
    assert orvelta.american_price(90.0, 100.0, 0.05, 0.02, sigma, tau, PUT) == 10.0
    assert orvelta.american_price(90.0, 100.0, 0.05, 0.02, sigma, tau, CALL) == 0.0
    assert orvelta.american_price(130.0, 100.0, 0.05, 0.02, sigma, tau, 5) == 30.0


def test_broadcasting_and_result_kinds():
    scalar = orvelta.american_price(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, PUT)
    assert type(scalar) is float
    grid = orvelta.american_price(
        100.0, [[90.0], [100.0], [110.0]], 0.05, 0.02, [0.2, 0.3], 1.0, PUT
    )
    assert grid.shape == (3, 2) and grid.dtype == np.float64
    assert grid[1, 0] == scalar
    assert orvelta.american_price([], [], 0.05, 0.02, 0.2, 1.0, PUT).shape == (0,)
    g = orvelta.american_greeks([100.0, 110.0], 100.0, 0.05, 0.02, 0.2, 1.0, PUT)
    assert all(v.shape == (2,) for v in g.values())


@pytest.mark.parametrize("tol", [0.0, -1e-8, math.nan, math.inf])
def test_bad_tolerance_is_rejected(tol):
    with pytest.raises(ValueError, match="tol must be a positive finite number"):
        orvelta.american_price(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, PUT, tol=tol)


def test_batch_is_bit_for_bit_the_single_price_on_any_thread_count(run_python):
    code = """
    import hashlib
    import numpy as np, orvelta
    rng = np.random.default_rng(4)
    n = 300
    s = rng.uniform(50, 200, n); r = rng.uniform(0, 0.1, n); q = rng.uniform(0, 0.1, n)
    v = rng.uniform(0.05, 1.0, n); t = rng.uniform(0.01, 5, n); kind = rng.integers(0, 2, n)
    batch = orvelta.american_price(s, 100.0, r, q, v, t, kind, tol=1e-6)
    single = np.array([orvelta.american_price(*a, tol=1e-6) for a in zip(s, [100.0] * n, r, q, v, t, kind)])
    g = orvelta.american_greeks(s, 100.0, r, q, v, t, kind, tol=1e-5)
    iv = orvelta.american_implied_vol(batch, s, 100.0, r, q, t, kind, tol=1e-6)
    assert np.array_equal(batch, single)
    for a in (batch, *g.values(), iv):
        print(hashlib.sha256(a.tobytes()).hexdigest())
    """
    outs = {threads: run_python(code, env={"OMP_NUM_THREADS": str(threads)}) for threads in (1, 2)}
    assert outs[1] == outs[2]


def test_lsm_price_brackets_the_accurate_price():
    case = (100.0, 100.0, 0.05, 0.02, 0.25, 1.0, PUT)
    res = orvelta.lsm_price(*case, paths=40_000, steps=50)
    assert list(res) == ["price", "std_error", "ci_low", "ci_high"]
    assert res["ci_low"] < res["price"] < res["ci_high"]
    assert res["ci_high"] - res["price"] == pytest.approx(1.959963984540054 * res["std_error"])
    assert 0.0 < res["std_error"] < 0.05
    accurate = orvelta.american_price(*case)
    # Out of sample, 50 dates: a low-biased price within a few standard errors.
    assert res["price"] < accurate + 3 * res["std_error"]
    assert res["price"] > accurate - 0.1
    assert orvelta.lsm_price(*case, paths=40_000, steps=50) == res


def test_lsm_price_equals_policy_evaluation_on_the_fresh_paths():
    from orvelta import _kernels as K

    s, k, r, q, sigma, tau = 100.0, 100.0, 0.05, 0.02, 0.25, 1.0
    res = orvelta.lsm_price(s, k, r, q, sigma, tau, CALL, paths=2_000, steps=20, seed=9)
    fit = K.lsm_backward(K.gbm_paths_antithetic(s, r, q, sigma, tau, 20, 2_000, 9), k, r, tau, 1)
    fresh = K.gbm_paths_antithetic(s, r, q, sigma, tau, 20, 2_000, 10)
    assert res["price"] == pytest.approx(
        K.lsm_eval_policy(fresh, k, r, tau, 1, fit["coefficients"])["price"], rel=1e-12
    )


def test_lsm_price_domain_and_errors():
    nan_res = orvelta.lsm_price(-1.0, 100.0, 0.05, 0.0, 0.2, 1.0, PUT)
    assert all(math.isnan(v) for v in nan_res.values())
    assert orvelta.lsm_price(90.0, 100.0, 0.05, 0.0, 0.2, 0.0, PUT) == {
        "price": 10.0,
        "std_error": 0.0,
        "ci_low": 10.0,
        "ci_high": 10.0,
    }


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"paths": 2}, ValueError, "paths must be in [4, 2147483646], got 2"),
        ({"paths": 1001}, ValueError, "paths must be an even count (antithetic pairs), got 1001"),
        ({"paths": 10**12}, ValueError, "paths must be in [4, 2147483646], got 1000000000000"),
        ({"paths": 1000.0}, TypeError, "paths must be an integer, got float 1000.0"),
        ({"steps": 0}, ValueError, "steps must be in [1, 2147483646], got 0"),
        ({"steps": 10.5}, TypeError, "steps must be an integer, got float 10.5"),
        ({"degree": -1}, ValueError, "degree must be in [0, 8], got -1"),
        ({"degree": 9}, ValueError, "degree must be in [0, 8], got 9"),
        ({"seed": -1}, ValueError, "seed must be in [0, 4294967295], got -1"),
        (
            {"s": [100.0, 90.0]},
            TypeError,
            "s must be one number (lsm_price prices one option per call), "
            "got an array of shape (2,)",
        ),
        ({"s": None}, TypeError, "s must be a number or an array of numbers, got None"),
        (
            {"option_type": "straddle"},
            ValueError,
            "option_type must be 'call', 'put' or a number (> 0 call), got 'straddle'",
        ),
    ],
)
def test_lsm_price_checks_its_counts_and_inputs(kwargs, error, message):
    args = {
        "s": 100.0,
        "k": 100.0,
        "r": 0.05,
        "q": 0.0,
        "sigma": 0.2,
        "tau": 1.0,
        "option_type": PUT,
    }
    args.update({k: v for k, v in kwargs.items() if k in args})
    counts = {k: v for k, v in kwargs.items() if k not in args}
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        orvelta.lsm_price(*args.values(), **counts)


def test_lsm_price_takes_words_and_nan_types():
    put = orvelta.lsm_price(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, "Put", paths=2_000, steps=10)
    assert put == orvelta.lsm_price(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, paths=2_000, steps=10)
    assert all(
        math.isnan(v)
        for v in orvelta.lsm_price(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, math.nan).values()
    )
