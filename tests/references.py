"""Independent closed-form references shared by the test modules."""

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
