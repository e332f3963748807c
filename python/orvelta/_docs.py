"""Docstring pieces that several functions share, written once.

A docstring names a piece by a line holding only ``{{name}}``; :func:`fill`
replaces that line by the piece, indented as the placeholder was. The
result is an ordinary docstring: ``help()``, Sphinx and doctest see the
whole text.
"""

from __future__ import annotations

import re
import textwrap
from collections.abc import Callable
from typing import TypeVar

F = TypeVar("F", bound=Callable[..., object])

_PLACEHOLDER = re.compile(r"^([ \t]*)\{\{(\w+)\}\}[ \t]*$", re.M)

PIECES = {
    # Market inputs of one option, and of arrays of options.
    "market_scalars": """\
s, k : float
    Spot and strike (currency units).
r, q : float
    Risk-free rate and dividend yield, continuously compounded, per year.
sigma : float
    Volatility per square-root year.
tau : float
    Time to expiry in years.
option_type : int
    > 0 call, <= 0 put.""",
    "market_arrays": """\
s, k : array_like, shape (n,)
    Spot and strike prices (currency units).
r, q : array_like, shape (n,)
    Risk-free rate and dividend yield, continuously compounded, per year.
sigma : array_like, shape (n,)
    Volatility per square-root year.
tau : array_like, shape (n,)
    Time to expiry in years.""",
    # The lattice kernels' settings after the steps.
    "lattice_settings": """\
tree_type : int, default 0
    1 the Tian lattice; any other value Cox-Ross-Rubinstein.
american : bool, default True
    True allows early exercise; False prices the European option.""",
    # What the batch kernels raise for arrays of the wrong shape.
    "batch_errors": """\
Raises
------
RuntimeError
    "all input arrays must have the same length".
ValueError
    "array has incorrect number of dimensions: N; expected 1".""",
    # The policy kernels' shared arguments after the paths.
    "policy_args": """\
strike : float
    Strike (currency units).
r : float
    Risk-free rate, continuously compounded, per year.
tau : float
    Time from the first to the last date in years.
option_type : int
    > 0 call, <= 0 put.""",
    # The Fourier kernels' model selection.
    "model_params": """\
model_id : int
    The model of the log price (table below).
params : array_like, shape (p,)
    The model's parameters (layout below); missing entries take their
    defaults, an empty array selects all defaults.""",
    "strikes_tau": """\
strikes : array_like, shape (n,)
    Strikes (currency units).
tau : array_like, shape (n,)
    Times to expiry in years, one per strike.""",
    "spot_rates": """\
s : float
    Spot (currency units).
r, q : float
    Risk-free rate and dividend yield, continuously compounded, per year.""",
    "model_table": """\
Notes
-----
``model_id`` and the ``params`` layout, defaults in brackets:

* 1, Merton jump diffusion: [sigma 0.2, lambda 0.3 (jumps per year),
  mu_J -0.05 (mean log jump), delta_J 0.2 (std of log jump)].
* 2, variance gamma: [sigma 0.2, theta -0.08, nu 0.2]; nu floored at 1e-6.
* 3, Heston: [v0 0.04, kappa 2.0, theta 0.04, sigma_v 0.6, rho -0.5];
  v0, kappa, theta, sigma_v floored at 1e-8, rho clamped to +-0.999.
* 4, Bates (Heston with Merton jumps): [v0, kappa, theta, sigma_v, rho,
  lambda 0.3, mu_J -0.05, delta_J 0.2]; a missing Heston entry is 0
  (then floored), not the Heston default, so give all five.
* any other value, Black-Scholes: [sigma 0.2].

Variances and rates are per year, volatilities per square-root year.""",
    "strike_tau_error": """\
Raises
------
RuntimeError
    "strikes and tau must have the same length".""",
}


def fill(fn: F) -> F:
    """Replaces each ``{{name}}`` line of ``fn``'s docstring by ``PIECES[name]``."""

    def piece(m: re.Match[str]) -> str:
        return textwrap.indent(PIECES[m.group(2)], m.group(1))

    if fn.__doc__:
        fn.__doc__ = _PLACEHOLDER.sub(piece, fn.__doc__)
    return fn
