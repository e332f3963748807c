"""The user-level API's conventions: checked inputs, option types, models by name, broadcasting."""

import datetime
import math
import re

import numpy as np
import pytest

import orvelta
from orvelta import models
from references import black_scholes as bs_price

S, R, Q = 100.0, 0.03, 0.01
HESTON = (0.04, 2.0, 0.04, 0.6, -0.5)

AMERICAN = dict(s=100.0, k=100.0, r=0.05, q=0.01, sigma=0.2, tau=1.0, option_type="put")
IMPLIED = dict(price=7.0, s=100.0, k=100.0, r=0.05, q=0.01, tau=1.0, option_type="put")
EUROPEAN = dict(
    model="heston", params=HESTON, k=100.0, tau=1.0, s=100.0, r=0.05, q=0.01, option_type="put"
)
# Each user-level function with its market arguments and a valid call.
CALLS = {
    "american_price": (orvelta.american_price, AMERICAN, {"tol": 1e-6}),
    "american_greeks": (orvelta.american_greeks, AMERICAN, {"tol": 1e-6}),
    "american_implied_vol": (orvelta.american_implied_vol, IMPLIED, {}),
    "implied_vol": (orvelta.implied_vol, IMPLIED, {}),
    "european_price": (orvelta.european_price, EUROPEAN, {}),
    "european_greeks": (orvelta.european_greeks, EUROPEAN, {}),
    "european_implied_vol": (orvelta.european_implied_vol, EUROPEAN, {}),
}
MARKET = ("s", "k", "r", "q", "sigma", "tau", "price")


def market_args(name):
    fn, args, extra = CALLS[name]
    return fn, dict(args), extra, [a for a in args if a in MARKET]


NOT_NUMBERS = [
    (None, "got None"),
    ("100", "got str '100'"),
    (100 + 5j, "got complex numbers"),
    (np.datetime64("2025-01-01"), "got dates (datetime64) (times are in years)"),
    (np.timedelta64(30, "D"), "got time spans (timedelta64) (times are in years)"),
    (datetime.date(2025, 1, 1), "must hold numbers only, got date datetime.date(2025, 1, 1)"),
    (np.array([(100.0,)], dtype=[("a", "f8")]), "got a structured array"),
    ([100.0, None], "must hold numbers only, got None"),
    (np.array([100.0, "x"], dtype=object), "must hold numbers only, got str 'x'"),
]


@pytest.mark.parametrize("name", sorted(CALLS))
@pytest.mark.parametrize("value, text", NOT_NUMBERS, ids=[t for _, t in NOT_NUMBERS])
def test_what_is_not_a_number_is_a_type_error_naming_the_argument(name, value, text):
    fn, args, extra, market = market_args(name)
    for arg in market:
        bad = dict(args, **{arg: value})
        with pytest.raises(TypeError, match=rf"^{arg} .*{re.escape(text)}"):
            fn(**bad, **extra)


def test_pandas_missing_values_are_type_errors():
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match=r"^s must hold numbers only, got NAType <NA>$"):
        orvelta.american_price(pd.NA, 100.0, 0.05, 0.0, 0.2, 1.0, "put")
    series = pd.Series([100.0, None], dtype="Float64")  # a nullable column: pd.NA, not NaN
    with pytest.raises(TypeError, match=r"^k holds missing values \(pd\.NA\): fill them first"):
        orvelta.european_price("bs", [0.2], series, 1.0, S, R, Q, "call")
    # A plain float Series with NaN is numbers: NaN in, NaN out.
    got = orvelta.european_price("bs", [0.2], pd.Series([100.0, np.nan]), 1.0, S, R, Q, "call")
    assert not np.isnan(got[0]) and np.isnan(got[1])


@pytest.mark.parametrize("name", sorted(CALLS))
def test_masked_arrays_are_refused(name):
    fn, args, extra, market = market_args(name)
    masked = np.ma.array([args[market[0]], -5.0], mask=[False, True])
    with pytest.raises(TypeError, match=rf"^{market[0]} is a masked array; masks are not honoured"):
        fn(**dict(args, **{market[0]: masked}), **extra)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_option_type_is_required_and_read_one_way(name):
    fn, args, extra, _ = market_args(name)
    del args["option_type"]
    with pytest.raises(TypeError, match="option_type"):
        fn(**args, **extra)
    values = {}
    for ot in (
        "put",
        "PUT",
        " Put ",
        "p",
        0,
        -3,
        0.0,
        False,
        "call",
        "Call",
        "c",
        1,
        0.5,
        2**40,
        2.0**40,
        10**30,
        np.int64(2**40),
        True,
    ):
        out = fn(**args, option_type=ot, **extra)
        values[repr(ot)] = out["price"] if isinstance(out, dict) else out
    puts = {
        v
        for k, v in values.items()
        if k in ("'put'", "'PUT'", "' Put '", "'p'", "0", "-3", "0.0", "False")
    }
    calls = {
        v
        for k, v in values.items()
        if k not in ("'put'", "'PUT'", "' Put '", "'p'", "0", "-3", "0.0", "False")
    }
    # (A model's smile is one for puts and calls: its implied volatilities agree.)
    assert len(puts) == 1 and len(calls) == 1 and (puts != calls or name == "european_implied_vol")
    nan = fn(**args, option_type=math.nan, **extra)
    assert all(math.isnan(v) for v in (nan.values() if isinstance(nan, dict) else [nan]))
    mixed = fn(**args, option_type=["put", 1, math.nan, "C"], **extra)
    mixed = mixed["price"] if isinstance(mixed, dict) else mixed
    assert mixed[0] in puts and mixed[1] in calls and np.isnan(mixed[2]) and mixed[3] in calls
    with pytest.raises(
        ValueError,
        match=r"^option_type must be 'call', 'put' or a number \(> 0 call\), got 'straddle'$",
    ):
        fn(**args, option_type="straddle", **extra)
    with pytest.raises(TypeError, match="^option_type must be 'call', 'put' or a number"):
        fn(**args, option_type=None, **extra)


def test_implied_vol_of_a_put_needs_its_type():
    """The put's price inverted as a call's gave 0.5515 instead of 0.25."""
    put = bs_price(S, 100.0, R, Q, 0.25, 1.0, False)
    with pytest.raises(TypeError, match="option_type"):
        orvelta.implied_vol(put, S, 100.0, R, Q, 1.0)  # type: ignore[call-arg]
    assert orvelta.implied_vol(put, S, 100.0, R, Q, 1.0, "put") == pytest.approx(0.25, rel=1e-14)


@pytest.mark.parametrize(
    "name", ["european_price", "european_greeks", "american_price", "implied_vol"]
)
def test_every_market_argument_broadcasts(name):
    """Arrays of spots (european_price refused them), rates, yields and maturities
    broadcast as NumPy does; each entry equals the scalar call."""
    fn, args, extra, market = market_args(name)
    grid = {
        a: np.array([[0.9], [1.1]]) * args[a] if a != "r" else np.array([0.01, 0.05, 0.09])
        for a in market
    }
    out = fn(**dict(args, **grid), **extra)
    out = out["price"] if isinstance(out, dict) else out
    assert out.shape == (2, 3)
    for i in range(2):
        for j in range(3):
            one = {a: float(np.broadcast_to(v, (2, 3))[i, j]) for a, v in grid.items()}
            single = fn(**dict(args, **one), **extra)
            single = single["price"] if isinstance(single, dict) else single
            assert isinstance(single, float) and out[i, j] == single


def test_arguments_that_do_not_broadcast_are_value_errors():
    with pytest.raises(
        ValueError, match=r"^the arguments do not broadcast to one shape: s \(2,\), k \(3,\)"
    ):
        orvelta.american_price([100.0, 90.0], [1.0, 2.0, 3.0], 0.05, 0.0, 0.2, 1.0, "put")


@pytest.mark.parametrize("tol", [0.0, -1.0, math.nan, math.inf, "1e-8", None, True])
@pytest.mark.parametrize(
    "name",
    [
        "american_price",
        "american_greeks",
        "american_implied_vol",
        "european_price",
        "european_greeks",
        "european_implied_vol",
    ],
)
def test_one_tolerance_message(name, tol):
    fn, args, _, _ = market_args(name)
    error = TypeError if isinstance(tol, (str, bool)) or tol is None else ValueError
    with pytest.raises(error, match=r"^tol must be a positive finite number, got "):
        fn(**args, tol=tol)


# ---------------------------------------------------------------- models


@pytest.mark.parametrize("model", ["heston", "Heston", " HESTON ", 3, np.int64(3), orvelta.Heston])
def test_models_by_name_id_or_record(model):
    want = orvelta.european_price(3, list(HESTON), 100.0, 1.0, S, R, Q, "put")
    assert orvelta.european_price(model, HESTON, 100.0, 1.0, S, R, Q, "put") == want
    assert (
        orvelta.european_price(model, orvelta.Heston(*HESTON), 100.0, 1.0, S, R, Q, "put") == want
    )
    by_name = dict(zip(orvelta.Heston._fields, HESTON))
    assert orvelta.european_price(model, by_name, 100.0, 1.0, S, R, Q, "put") == want
    assert orvelta.european_price(
        model, None, 100.0, 1.0, S, R, Q, "put"
    ) == orvelta.european_price(model, orvelta.Heston(), 100.0, 1.0, S, R, Q, "put")


@pytest.mark.parametrize(
    "model, params, message",
    [
        # Out-of-domain values were clamped or floored without a word.
        (
            "heston",
            (0.04, 2.0, 0.04, 0.6, -1.5),
            "heston parameter rho must lie in [-1, 1], got -1.5",
        ),
        (
            "heston",
            (0.04, 2.0, 0.04, -0.6, -0.5),
            "heston parameter sigma_v must lie in [0, inf), got -0.6",
        ),
        (
            "heston",
            (-0.04, 2.0, 0.04, 0.6, -0.5),
            "heston parameter v0 must lie in [0, inf), got -0.04",
        ),
        (
            "heston",
            (0.04, -2.0, 0.04, 0.6, -0.5),
            "heston parameter kappa must lie in [0, inf), got -2.0",
        ),
        (
            "heston",
            (0.04, 2.0, -0.04, 0.6, -0.5),
            "heston parameter theta must lie in [0, inf), got -0.04",
        ),
        ("bs", (-0.2,), "black_scholes parameter sigma must lie in [0, inf), got -0.2"),
        (
            "merton",
            (0.2, 0.3, -0.05, -0.2),
            "merton parameter delta_j must lie in [0, inf), got -0.2",
        ),
        (
            "bates",
            HESTON + (0.3, -0.05, -0.1),
            "bates parameter delta_j must lie in [0, inf), got -0.1",
        ),
        # Extra parameters were ignored: three volatilities priced all strikes at the first.
        ("bs", (0.1, 0.2, 0.3), "black_scholes takes 1 parameter (sigma), got 3"),
        ("heston", HESTON[:4], "heston takes 5 parameters (v0, kappa, theta, sigma_v, rho), got 4"),
        # An unknown id meant Black-Scholes; a name dumped pybind11's signatures.
        (
            99,
            (0.2,),
            "unknown model id 99: the ids are 0 (black_scholes), 1 (merton), 2 (variance_gamma), 3 (heston) "
            "and 4 (bates)",
        ),
        (
            "hestn",
            HESTON,
            "unknown model 'hestn': choose 'black_scholes', 'merton', 'variance_gamma', 'heston', 'bates' "
            "(or 'bs', 'vg', or the ids 0 to 4)",
        ),
    ],
)
def test_out_of_domain_parameters_counts_and_models_are_refused(model, params, message):
    for fn in (orvelta.european_price, orvelta.european_greeks, orvelta.european_implied_vol):
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            fn(model, params, [90.0, 100.0, 110.0], 1.0, S, R, Q, "call")


def test_boundary_values_of_the_domain_are_priced_as_given():
    """rho = -1 and 1, v0 = theta = 0 and kappa = 0 are the model's own values:
    priced, not clipped to the kernels' 0.999 or 1e-8 (whose prices differ)."""
    k = np.array([80.0, 100.0, 120.0])
    for rho in (-1.0, 1.0):
        edge = orvelta.european_price("heston", HESTON[:4] + (rho,), k, 1.0, S, R, Q, "put")
        clipped = orvelta.european_price(
            "heston", HESTON[:4] + (0.999 * rho,), k, 1.0, S, R, Q, "put"
        )
        assert np.all(np.isfinite(edge)) and np.max(np.abs(edge - clipped)) > 1e-5
    zero = orvelta.european_price("heston", (0.0, 2.0, 0.0, 0.6, -0.5), k, 1.0, S, R, Q, "put")
    np.testing.assert_allclose(
        zero, np.maximum(k * math.exp(-R) - S * math.exp(-Q), 0.0), rtol=0, atol=1e-12
    )
    slow = orvelta.european_price("heston", (0.09, 0.0, 0.04, 0.0, -0.5), k, 1.0, S, R, Q, "put")
    np.testing.assert_allclose(
        slow, [bs_price(S, x, R, Q, 0.3, 1.0, False) for x in k], rtol=0, atol=1e-12
    )


def test_per_option_parameters_broadcast_with_the_market():
    vols = np.array([0.1, 0.2, 0.3])
    got = orvelta.european_price(
        "bs", orvelta.BlackScholes(sigma=vols), [[90.0], [110.0]], 1.0, S, R, Q, "call"
    )
    assert got.shape == (2, 3)
    for i, k in enumerate((90.0, 110.0)):
        for j, v in enumerate(vols):
            assert got[i, j] == orvelta.european_price("bs", [v], k, 1.0, S, R, Q, "call")
    with pytest.raises(
        ValueError, match=r"^black_scholes parameter sigma must lie in \[0, inf\), got -0\.1$"
    ):
        orvelta.european_price("bs", [[0.2, -0.1]], 100.0, 1.0, S, R, Q, "call")


def test_model_records_document_their_order():
    assert orvelta.Heston._fields == ("v0", "kappa", "theta", "sigma_v", "rho")
    assert orvelta.Bates._fields == orvelta.Heston._fields + orvelta.Merton._fields[1:]
    assert models.resolve_model("vg", {"nu": 0.5})[1].tolist() == [0.2, -0.08, 0.5]
    for name in models.MODEL_NAMES:
        assert name in models.__doc__


# ---------------------------------------------------------------- calibration and Monte Carlo


def test_calibration_from_a_start_inside_the_bounds():
    """The box corner v0 = theta = 1e-4, sigma_v = 5, rho = -0.999 cannot be
    priced to 1e-10 (scipy stopped with "Residuals are not finite"): the start
    moves towards the defaults and the fit recovers the parameters."""
    k = np.array([80.0, 100.0, 120.0] * 2)
    taus = np.repeat([0.1, 2.0], 3)
    quotes = orvelta.european_price("heston", HESTON, k, taus, S, R, Q, "call", tol=1e-12)
    fit = orvelta.calibrate(
        "heston", k, taus, quotes, S, R, Q, "call", x0=[1e-4, 1e-3, 1e-4, 5.0, -0.999]
    )
    assert fit["success"] and fit["rmse"] < 1e-8
    np.testing.assert_allclose(fit["params"], HESTON, rtol=1e-4)


def test_calibration_with_per_quote_spots_and_types_by_name():
    k = np.array([90.0, 100.0, 110.0, 95.0])
    spots = np.array([100.0, 100.0, 102.0, 98.0])
    kinds = ["put", "call", "call", "put"]
    quotes = orvelta.european_price("bs", [0.27], k, 1.0, spots, R, Q, kinds, tol=1e-12)
    fit = orvelta.calibrate("black_scholes", k, 1.0, quotes, spots, R, Q, kinds)
    assert fit["success"] and fit["params"][0] == pytest.approx(0.27, rel=1e-9)


def test_lsm_price_rejects_what_its_docstring_forbids():
    with pytest.raises(ValueError, match="even"):
        orvelta.lsm_price(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, "put", paths=1001)
    with pytest.raises(
        ValueError, match=r"^paths must be in \[4, 2147483646\], got 1000000000000$"
    ):
        orvelta.lsm_price(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, "put", paths=10**12)
    with pytest.raises(ValueError, match=r"^degree must be in \[0, 8\], got -1$"):
        orvelta.lsm_price(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, "put", degree=-1)
    with pytest.raises(TypeError, match=r"^paths must be an integer, got float 1000.5$"):
        orvelta.lsm_price(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, "put", paths=1000.5)


def test_the_docstrings_examples_run():
    import doctest

    from orvelta import european

    result = doctest.testmod(european, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0 and result.attempted >= 15
