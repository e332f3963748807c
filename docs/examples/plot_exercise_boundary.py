"""
The early-exercise boundary of an American put
===============================================

The accurate pricer and the binomial lattice see the same boundary: the spot
below which holding a put is worth less than exercising it. The lattice kernel
:func:`orvelta.american_tree_boundary` records it step by step; the prices of
the accurate pricer :func:`orvelta.american_price` show it as the point where
the put's value meets its intrinsic value.
"""

import matplotlib.pyplot as plt
import numpy as np

import orvelta

k, r, q, sigma, tau = 100.0, 0.05, 0.02, 0.25, 1.0

fig, ax = plt.subplots(figsize=(7, 4))
for steps in (100, 1000):
    res = orvelta.american_tree_boundary(100.0, k, r, q, sigma, tau, 0, steps=steps)
    remaining = tau - res["times"]
    ax.plot(remaining, res["boundary"], label=f"lattice, {steps} steps", lw=1)

# The accurate pricer: at each time to expiry, the highest spot on a fine grid
# where the put is worth its intrinsic value (to within its tolerance).
spots = np.linspace(60.0, 100.0, 2001)
for remaining in (0.05, 0.25, 0.5, 0.75, 1.0):
    values = orvelta.american_price(spots, k, r, q, sigma, remaining, 0, tol=1e-10)
    exercised = spots[values <= (k - spots) + 1e-9]
    ax.plot(remaining, exercised.max(), "ko")
ax.plot([], [], "ko", label="accurate pricer")
ax.set_xlabel("time to expiry (years)")
ax.set_ylabel("critical spot")
ax.set_title(f"American put, K={k:g}, r={r:g}, q={q:g}, sigma={sigma:g}")
ax.legend()
fig.tight_layout()

# %%
# The price of the at-the-money put by both methods:
lattice = orvelta.american_tree_boundary(100.0, k, r, q, sigma, tau, 0, steps=1000)["price"]
accurate = orvelta.american_price(100.0, k, r, q, sigma, tau, 0, tol=1e-10)
print(f"lattice (1000 steps) {lattice:.6f}, accurate {accurate:.6f}")
