"""Compiled numerical kernels for Orvelta option projects (type information).

Floats accept anything convertible to float, ints anything with ``__index__``
(a float is refused), arrays NumPy arrays or sequences of numbers; arrays are converted
to C-contiguous float64 (int32 for ``option_type``), copying only when needed.
``option_type`` > 0 is a call, 0 or less a put.
"""

# Each compiled function takes the parameters (names, defaults, types) of its
# documented wrapper in orvelta.kernels and returns the same type, so the stub
# declares it as that wrapper (tests/test_module.py checks the wrappers'
# signatures against the compiled ones).

from .kernels import FftPrices as FftPrices
from .kernels import LsmEvaluation as LsmEvaluation
from .kernels import LsmFit as LsmFit
from .kernels import PsorBatch as PsorBatch
from .kernels import PsorResult as PsorResult
from .kernels import TreeBoundary as TreeBoundary
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
