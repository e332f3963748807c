"""
Pricing a book
==============

A book of random options, one per row as ``orvelta price`` reads them from a
CSV or Parquet file (``orvelta sample-book`` writes such a file), is priced by
the same code as ``orvelta price``, here through
:func:`orvelta.dask.price_frame` on a pandas frame (a Dask frame is priced
partition by partition the same way). Each row's price depends on that row alone, so the priced book equals
the batch pricer on the same arrays bit for bit.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import orvelta
from orvelta.dask import price_frame

rng = np.random.default_rng(3)
n = 20_000
book = pd.DataFrame(
    {
        "s": rng.uniform(50, 150, n).round(2),
        "k": rng.uniform(50, 150, n).round(2),
        "r": rng.uniform(0.0, 0.08, n).round(4),
        "q": rng.uniform(0.0, 0.05, n).round(4),
        "sigma": rng.uniform(0.1, 0.6, n).round(4),
        "tau": rng.uniform(0.05, 3.0, n).round(4),
        "option_type": rng.integers(0, 2, n),
    }
)
print(book.head())

priced = price_frame(book, method="accurate", greeks=True, tol=1e-6)
print(priced[["s", "k", "tau", "option_type", "price", "delta"]].head())

# %%
# The accurate prices against the 200-step lattice of ``orvelta price``'s default method:
tree = price_frame(book, method="tree")
same = orvelta.american_tree_batch(
    book.s, book.k, book.r, book.q, book.sigma, book.tau, book.option_type.to_numpy(np.int32)
)
assert np.array_equal(tree["price"].to_numpy(), same)
gap = tree["price"] - priced["price"]

fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
for kind, name in ((1, "calls"), (0, "puts")):
    sel = book.option_type == kind
    left.scatter(book.s[sel] / book.k[sel], priced["price"][sel] / book.k[sel], s=2, label=name)
left.set_xlabel("spot / strike")
left.set_ylabel("price / strike")
left.legend()
right.hist(gap, bins=60)
right.set_xlabel("lattice (200 steps) minus accurate price")
fig.tight_layout()
