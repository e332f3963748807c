"""Independent references shared by the test modules: closed forms, and QuantLib set up alike."""

import math

from scipy.stats import norm


def black_scholes(s, k, r, q, sigma, tau, call=True):
    """Closed-form European price with a continuous dividend yield."""
    vol = sigma * math.sqrt(tau)
    d1 = (math.log(s / k) + (r - q + 0.5 * sigma * sigma) * tau) / vol
    d2 = d1 - vol
    if call:
        return s * math.exp(-q * tau) * norm.cdf(d1) - k * math.exp(-r * tau) * norm.cdf(d2)
    return k * math.exp(-r * tau) * norm.cdf(-d2) - s * math.exp(-q * tau) * norm.cdf(-d1)


# QuantLib's engines, set up alike for every comparison (QuantLib is optional: the
# caller imports it and passes the module).


def quantlib_curves(ql, r, q):
    """Valuation date 2 January 2025, made QuantLib's evaluation date, and flat
    continuously compounded Actual/365 curves for r and q: (today, rts, qts, dc)."""
    today = ql.Date(2, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    rts = ql.YieldTermStructureHandle(ql.FlatForward(today, r, dc, ql.Continuous))
    qts = ql.YieldTermStructureHandle(ql.FlatForward(today, q, dc, ql.Continuous))
    return today, rts, qts, dc


def quantlib_black_scholes(ql, s, r, q, sigma):
    """A Black-Scholes-Merton process on quantlib_curves: (today, process)."""
    today, rts, qts, dc = quantlib_curves(ql, r, q)
    vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), sigma, dc))
    return today, ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(s)), qts, rts, vol)


def quantlib_heston(ql, s, r, q, params, *integration):
    """The analytic Heston engine on quantlib_curves, params (v0, kappa, theta, sigma_v,
    rho), with the integration settings given, if any: (today, engine)."""
    today, rts, qts, _ = quantlib_curves(ql, r, q)
    process = ql.HestonProcess(rts, qts, ql.QuoteHandle(ql.SimpleQuote(s)), *params)
    return today, ql.AnalyticHestonEngine(ql.HestonModel(process), *integration)


def quantlib_options(ql, kind, strikes, exercise, engine):
    """A vanilla option of kind (ql.Option.Call or Put) for each strike, priced by engine."""
    options = [ql.VanillaOption(ql.PlainVanillaPayoff(kind, float(k)), exercise) for k in strikes]
    for o in options:
        o.setPricingEngine(engine)
    return options
