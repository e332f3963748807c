"""Orvelta: fast, exactly specified option-pricing kernels.

Every kernel lives in the compiled module ``orvelta._kernels``; the package
re-exports them, so ``orvelta.american_tree_batch`` is
``orvelta._kernels.american_tree_batch``.
"""

from . import _kernels

__all__ = [name for name in dir(_kernels) if not name.startswith("_")]
globals().update({name: getattr(_kernels, name) for name in __all__})

__version__ = "0.1.0"
