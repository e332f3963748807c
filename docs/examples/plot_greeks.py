"""
Greeks across spot
==================

:func:`orvelta.american_greeks` gives the price and its sensitivities from
the accurate pricer. Across spot, the put's delta reaches -1 and its gamma,
vega and theta vanish where the put enters its exercise region.
"""

import matplotlib.pyplot as plt
import numpy as np

import orvelta

spots = np.linspace(60.0, 140.0, 321)
g = orvelta.american_greeks(spots, 100.0, 0.05, 0.02, 0.25, 1.0, 0, tol=1e-9)
european = orvelta.european_price(0, [0.25], 100.0, 1.0, 100.0, 0.05, 0.02, 0)

fig, axes = plt.subplots(2, 3, figsize=(10, 5.5), sharex=True)
for ax, name in zip(axes.flat, ("price", "delta", "gamma", "theta", "vega", "rho"), strict=False):
    ax.plot(spots, g[name])
    ax.set_title(name)
    ax.axvline(100.0, color="0.8", lw=0.8)
for ax in axes[1]:
    ax.set_xlabel("spot")
fig.suptitle("American put, K=100, r=5%, q=2%, sigma=25%, one year")
fig.tight_layout()

# %%
# At the money, the early-exercise premium over the European put:
at = int(np.argmin(abs(spots - 100.0)))
print(
    f"American {g['price'][at]:.6f}, European {european:.6f}, premium {g['price'][at] - european:.6f}"
)
