"""Orvelta: option prices, Greeks and implied volatilities to a requested accuracy.

The user-level API: :func:`american_price`, :func:`american_greeks`,
:func:`american_implied_vol` and :func:`lsm_price` (American options);
:func:`european_price`, :func:`european_greeks`, :func:`european_implied_vol`,
:func:`implied_vol` and :func:`calibrate` (European options under five
models, chosen by name with their parameter records in :mod:`orvelta.models`).
Every argument is checked and broadcasts as NumPy does.

Below them, the ten exact kernels of the compiled module ``orvelta._kernels``
(documented, typed wrappers in ``orvelta.kernels``), exported as they are:
lattices, finite differences, Monte Carlo paths and Fourier pricers.
``help(orvelta.<name>)`` documents each function.
"""

import sys as _sys

if _sys.version_info < (3, 12):
    # From 3.12 CPython itself refuses to load the compiled modules into a
    # subinterpreter (they declare no support). 3.10 and 3.11 would run their
    # initialisation there, which waits forever for the main interpreter's
    # lock (3.10) or fails with an unrelated message (3.11): refuse first.
    try:
        import _xxsubinterpreters as _subinterpreters  # type: ignore[import-not-found]
    except ImportError:  # an interpreter built without it has no subinterpreters to refuse
        _subinterpreters = None
    if (
        _subinterpreters is not None
        and _subinterpreters.get_current() != _subinterpreters.get_main()
    ):
        raise ImportError("orvelta does not support loading in subinterpreters")
    del _subinterpreters
del _sys

from ._version import __version__ as __version__
from .american import american_greeks as american_greeks
from .american import american_implied_vol as american_implied_vol
from .american import american_price as american_price
from .american import lsm_price as lsm_price
from .curves import Curve as Curve
from .european import calibrate as calibrate
from .european import european_greeks as european_greeks
from .european import european_implied_vol as european_implied_vol
from .european import european_price as european_price
from .european import implied_vol as implied_vol
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
from .models import Bates as Bates
from .models import BlackScholes as BlackScholes
from .models import Heston as Heston
from .models import Merton as Merton
from .models import VarianceGamma as VarianceGamma

__all__ = [
    "Curve",
    "american_greeks",
    "american_implied_vol",
    "american_price",
    "lsm_price",
    "calibrate",
    "european_greeks",
    "european_implied_vol",
    "european_price",
    "implied_vol",
    "BlackScholes",
    "Merton",
    "VarianceGamma",
    "Heston",
    "Bates",
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
