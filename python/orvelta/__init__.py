"""Orvelta: fast, exactly specified option-pricing kernels.

The ten kernels live in the compiled module ``orvelta._kernels`` and the
accurate pricing engines in ``orvelta._engines``; the package re-exports the
kernels and adds the user-level API on top of both.
"""

from . import _kernels

__all__ = [name for name in dir(_kernels) if not name.startswith("_")]
globals().update({name: getattr(_kernels, name) for name in __all__})

from .american import american_greeks, american_implied_vol, american_price, lsm_price  # noqa: E402

__all__ += ["american_price", "american_greeks", "american_implied_vol", "lsm_price"]

__version__ = "0.1.0"
