"""Compiled numerical kernels for Orvelta option projects (type information).

Floats accept anything convertible to float, ints anything with ``__index__``
(a float is refused), arrays NumPy arrays or sequences of numbers; arrays are converted
to C-contiguous float64 (int32 for ``option_type``), copying only when needed.
``option_type`` > 0 is a call, 0 or less a put.
"""

from .kernels import (
    F64 as _F64,
)
from .kernels import (
    Array1D,
    Array2D,
)
from .kernels import (
    FftPrices as FftPrices,
)
from .kernels import (
    Float as _Float,
)
from .kernels import (
    Int as _Int,
)
from .kernels import (
    LsmEvaluation as LsmEvaluation,
)
from .kernels import (
    LsmFit as LsmFit,
)
from .kernels import (
    PsorBatch as PsorBatch,
)
from .kernels import (
    PsorResult as PsorResult,
)
from .kernels import (
    TreeBoundary as TreeBoundary,
)

# The documented forms of these functions are the wrappers in orvelta.kernels.

def american_tree_batch(
    s: Array1D,
    k: Array1D,
    r: Array1D,
    q: Array1D,
    sigma: Array1D,
    tau: Array1D,
    option_type: Array1D,
    steps: _Int = 200,
    tree_type: _Int = 0,
    american: bool = True,
) -> _F64:
    """Lattice prices of N options in parallel (tree_type 1: Tian, else CRR); the interpreter
    lock is released while pricing. Spot or strike not positive: NaN; tau or sigma not
    positive, or steps < 2: the intrinsic value. Equal to american_tree_boundary's price bit
    for bit for every valid option."""

def american_tree_boundary(
    s: _Float,
    k: _Float,
    r: _Float,
    q: _Float,
    sigma: _Float,
    tau: _Float,
    option_type: _Int,
    steps: _Int = 200,
    tree_type: _Int = 0,
    american: bool = True,
) -> TreeBoundary:
    """One option on a lattice of max(steps, 2) steps, with the critical exercise price per step
    (NaN where no node is exercised). Invalid inputs give the intrinsic value."""

def american_pde_psor(
    s: _Float,
    k: _Float,
    r: _Float,
    q: _Float,
    sigma: _Float,
    tau: _Float,
    option_type: _Int,
    s_steps: _Int = 160,
    t_steps: _Int = 120,
    s_max_mult: _Float = 3.0,
    omega: _Float = 1.35,
    tol: _Float = 1e-7,
    max_iter: _Int = 5000,
    american: bool = True,
) -> PsorResult:
    """One option on a fully implicit grid solved by projected SOR: price at the spot, grid,
    exercise boundary per level, last-sweep residual per level and the value surface."""

def american_pde_psor_batch(
    s: Array1D,
    k: Array1D,
    r: Array1D,
    q: Array1D,
    sigma: Array1D,
    tau: Array1D,
    option_type: Array1D,
    s_steps: _Int = 100,
    t_steps: _Int = 80,
    s_max_mult: _Float = 3.0,
    omega: _Float = 1.35,
    tol: _Float = 1e-7,
    max_iter: _Int = 3000,
    american: bool = True,
) -> PsorBatch:
    """american_pde_psor over arrays of options: each price, and the largest residual of each."""

def gbm_paths_antithetic(
    s0: _Float,
    r: _Float,
    q: _Float,
    sigma: _Float,
    tau: _Float,
    steps: _Int,
    paths: _Int,
    seed: _Int = 7,
) -> _F64:
    """Antithetic GBM paths, shape (2 * max(paths // 2, 1), max(steps, 1) + 1), from MT19937 and
    Box-Muller; row i and row i + rows // 2 take opposite shocks. The seed alone determines
    the array."""

def lsm_backward(
    paths: Array2D,
    strike: _Float,
    r: _Float,
    tau: _Float,
    option_type: _Int,
    degree: _Int = 3,
) -> LsmFit:
    """Longstaff-Schwartz price on a (paths x dates) array, each path's exercise date index and
    the per-date regression coefficients (dates x (degree + 1))."""

def lsm_eval_policy(
    paths: Array2D,
    strike: _Float,
    r: _Float,
    tau: _Float,
    option_type: _Int,
    coefficients: Array2D,
) -> LsmEvaluation:
    """Price and exercise dates of the policy given by lsm_backward's coefficients on other paths."""

def fft_prices(
    model_id: _Int,
    params: Array1D,
    s: _Float,
    r: _Float,
    q: _Float,
    tau: _Float,
    alpha: _Float = 1.5,
    n: _Int = 256,
    eta: _Float = 0.25,
    option_type: _Int = 1,
) -> FftPrices:
    """Carr-Madan FFT prices on a log-strike grid of the next power of two >= max(n, 16) points
    centred on s. model_id: 1 Merton, 2 variance gamma, 3 Heston, 4 Bates, other lognormal."""

def direct_prices(
    model_id: _Int,
    params: Array1D,
    strikes: Array1D,
    tau: Array1D,
    s: _Float,
    r: _Float,
    q: _Float,
    n_terms: _Int = 512,
    u_max: _Float = 120.0,
    option_type: _Int = 1,
) -> _F64:
    """Gil-Pelaez prices of options (strikes[m], tau[m]) by the midpoint rule on [0, u_max]."""

def cos_prices(
    model_id: _Int,
    params: Array1D,
    strikes: Array1D,
    tau: Array1D,
    s: _Float,
    r: _Float,
    q: _Float,
    n_terms: _Int = 256,
    truncation_width: _Float = 10.0,
    option_type: _Int = 1,
) -> _F64:
    """COS-expansion prices of options (strikes[m], tau[m]), each on its own interval."""
