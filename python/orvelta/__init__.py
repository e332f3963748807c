"""Orvelta: fast, exactly specified option-pricing kernels.

The ten kernels live in the compiled module ``orvelta._kernels`` (documented,
typed wrappers in ``orvelta.kernels``) and the accurate pricing engines in
``orvelta._engines``; the package exports the kernels and the user-level API
built on both. ``help(orvelta.<name>)`` documents each function.
"""

from ._version import __version__ as __version__
from .kernels import american_pde_psor as american_pde_psor
from .kernels import american_pde_psor_batch as american_pde_psor_batch
from .kernels import american_tree_batch as american_tree_batch
from .kernels import american_tree_boundary as american_tree_boundary
from .kernels import cos_prices as cos_prices
from .kernels import direct_prices as direct_prices
from .kernels import fft_prices as fft_prices
from .kernels import gbm_paths_antithetic as gbm_paths_antithetic
from .kernels import lsm_backward as lsm_backward
from .kernels import lsm_eval_policy as lsm_eval_policy

from .european import calibrate as calibrate
from .european import european_implied_vol as european_implied_vol
from .european import european_price as european_price
from .european import implied_vol as implied_vol

from .american import american_greeks as american_greeks
from .american import american_implied_vol as american_implied_vol
from .american import american_price as american_price
from .american import lsm_price as lsm_price
from .curves import Curve as Curve

__all__ = [
    "Curve",
    "american_greeks",
    "american_implied_vol",
    "american_price",
    "lsm_price",
    "calibrate",
    "european_implied_vol",
    "european_price",
    "implied_vol",
    "american_pde_psor",
    "american_pde_psor_batch",
    "american_tree_batch",
    "american_tree_boundary",
    "cos_prices",
    "direct_prices",
    "fft_prices",
    "gbm_paths_antithetic",
    "lsm_backward",
    "lsm_eval_policy",
]
