"""
A volatility smile and its calibration
======================================

Heston prices on a strike grid give a smile of Black-Scholes implied
volatilities (:func:`orvelta.european_implied_vol`). Noisy quotes drawn around
them are fitted back by :func:`orvelta.calibrate` (extra ``fit``), and the
fitted model's smile is drawn over the quotes' own implied volatilities
(:func:`orvelta.implied_vol`).
"""

import matplotlib.pyplot as plt
import numpy as np

import orvelta

s, r, q = 100.0, 0.03, 0.01
true = np.array([0.05, 1.5, 0.05, 0.7, -0.7])  # v0, kappa, theta, sigma_v, rho
strikes = np.linspace(70.0, 130.0, 13)
maturities = (0.25, 1.0)

k = np.tile(strikes, len(maturities))
tau = np.repeat(maturities, strikes.size)
kinds = np.where(k >= s, 1, 0)  # out-of-the-money options: puts below the spot, calls above
rng = np.random.default_rng(7)
quotes = orvelta.european_price(3, true, k, tau, s, r, q, kinds) * (
    1.0 + 0.002 * rng.standard_normal(k.size)
)

fit = orvelta.calibrate(3, k, tau, quotes, s, r, q, kinds)
print("true   ", np.round(true, 4))
print("fitted ", np.round(fit["params"], 4), f"rmse {fit['rmse']:.2e}")

fig, ax = plt.subplots(figsize=(7, 4))
fine = np.linspace(70.0, 130.0, 121)
for i, t in enumerate(maturities):
    sel = tau == t
    vols = orvelta.implied_vol(quotes[sel], s, k[sel], r, q, t, kinds[sel])
    ax.plot(k[sel], vols, "o", color=f"C{i}", label=f"quotes, {t:g} y")
    ax.plot(
        fine,
        orvelta.european_implied_vol(3, fit["params"], fine, t, s, r, q, np.where(fine >= s, 1, 0)),
        "-",
        color=f"C{i}",
        label=f"fitted Heston, {t:g} y",
    )
ax.set_xlabel("strike")
ax.set_ylabel("implied volatility")
ax.legend()
fig.tight_layout()
